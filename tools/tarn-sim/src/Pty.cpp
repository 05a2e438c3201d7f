#include "tarnsim/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

namespace tarnsim {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// How often the far end is checked while nobody holds it open: a closed far
// end makes the master report POLLHUP at once, so it cannot be waited for.
constexpr int kOpenCheckMs = 10;
// How long a write may wait for room in the pty before its bytes are dropped.
constexpr int kWriteWaitMs = 1000;

struct timespec ToTimespec(Nanos d) {
  if (d.count() < 0) d = Nanos{0};
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(d.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(d.count() % 1'000'000'000);
  return ts;
}

bool Readable(int fd, int timeoutMs) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  // Any event counts: a stop descriptor that breaks must not make the loop spin.
  return ::poll(&p, 1, timeoutMs) > 0 && p.revents != 0;
}

}  // namespace

Nanos SteadyNow() {
  return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
}

Pty::Pty() {
  fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) ThrowErrno("posix_openpt");
  auto fail = [this](const char* what) {
    const int e = errno;
    ::close(fd_);
    fd_ = -1;
    throw std::system_error(e, std::generic_category(), what);
  };
  if (::grantpt(fd_) != 0) fail("grantpt");
  if (::unlockpt(fd_) != 0) fail("unlockpt");
  char name[128];
  if (::ptsname_r(fd_, name, sizeof name) != 0) fail("ptsname_r");
  path_ = name;
  // Raw: no echo, no line editing, no character translation in either
  // direction. The terminal settings belong to the pty and outlive the far
  // end's openings, so they are set once here.
  struct termios t {};
  if (::tcgetattr(fd_, &t) != 0) fail("tcgetattr");
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) fail("tcsetattr");
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
  // Until the far end has been opened once, the master cannot tell whether
  // anyone holds it; opening and closing it here makes "closed" visible
  // (POLLHUP) from the start.
  const int far = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (far < 0) fail("open far end");
  ::close(far);
}

Pty::~Pty() {
  Close();
}

bool Pty::FarEndOpen() const {
  if (fd_ < 0) return false;
  struct pollfd p {
    fd_, POLLIN, 0
  };
  if (::poll(&p, 1, 0) < 0) return false;
  return (p.revents & POLLHUP) == 0;
}

void Pty::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ServeEnd Serve(Pty& pty, const ServeOptions& options, int stopFd) {
  std::optional<Device> session;
  auto log = [&](const std::string& text) {
    if (options.log) options.log(text);
  };
  auto endSession = [&]() {
    if (!session) return;
    const Verdict verdict = session->GetVerdict();
    session.reset();
    if (options.sessionEnded) options.sessionEnded(verdict);
  };
  // Bytes left over from a closed session are not the next session's.
  auto discardInput = [&]() {
    char buf[4096];
    while (::read(pty.Fd(), buf, sizeof buf) > 0) {
    }
  };
  auto write = [&](const std::string& bytes, Nanos at) -> bool {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(pty.Fd(), bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        struct pollfd p {
          pty.Fd(), POLLOUT, 0
        };
        if (::poll(&p, 1, kWriteWaitMs) > 0 && (p.revents & POLLOUT) != 0) continue;
        log("the far end reads nothing; " + std::to_string(bytes.size() - done) + " bytes dropped");
        return true;
      }
      return false;  // the far end is gone
    }
    if (options.trace) options.trace(TraceEvent{at, true, bytes});
    return true;
  };

  while (true) {
    if (!pty.IsOpen()) return ServeEnd::Failed;
    if (!session) {
      if (pty.FarEndOpen()) {
        discardInput();
        session.emplace(options.device);
        if (options.log) session->SetLogger(options.log);
        session->Connect(SteadyNow());
        continue;
      }
      if (Readable(stopFd, kOpenCheckMs)) return ServeEnd::Stopped;
      continue;
    }

    struct pollfd fds[2] = {{pty.Fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    const std::optional<Nanos> due = session->NextDue();
    struct timespec ts {};
    if (due) ts = ToTimespec(*due - SteadyNow());
    const int ready = ::ppoll(fds, 2, due ? &ts : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      log(std::string("poll failed: ") + std::system_category().message(errno));
      endSession();
      return ServeEnd::Failed;
    }
    bool farClosed = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (fds[0].revents & POLLIN) {
      char buf[4096];
      while (true) {
        const ssize_t n = ::read(pty.Fd(), buf, sizeof buf);
        if (n > 0) {
          const Nanos at = SteadyNow();
          const std::string_view bytes(buf, static_cast<std::size_t>(n));
          if (options.trace) options.trace(TraceEvent{at, false, std::string(bytes)});
          session->Receive(bytes, at);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO) farClosed = true;
        break;
      }
    }
    if (farClosed) {
      endSession();
      discardInput();
      if (options.once) return ServeEnd::SessionEnded;
      continue;
    }
    if (fds[1].revents != 0) {
      endSession();
      return ServeEnd::Stopped;
    }
    const Nanos now = SteadyNow();
    Output out = session->Poll(now);
    if (!out.bytes.empty() && !write(out.bytes, now)) {
      endSession();
      if (options.once) return ServeEnd::SessionEnded;
      continue;
    }
    if (out.hangUp) {
      pty.Close();
      endSession();
      return ServeEnd::HungUp;
    }
  }
}

PtySimulator::PtySimulator(DeviceOptions options) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) ThrowErrno("eventfd");
  ServeOptions serve;
  serve.device = std::move(options);
  serve.log = [this](std::string_view text) {
    const std::lock_guard lock(mutex_);
    log_.emplace_back(text);
  };
  serve.sessionEnded = [this](const Verdict& verdict) {
    {
      const std::lock_guard lock(mutex_);
      verdicts_.push_back(verdict);
    }
    changed_.notify_all();
  };
  serve.trace = [this](const TraceEvent& event) {
    const std::lock_guard lock(mutex_);
    trace_.push_back(event);
  };
  thread_ = std::thread([this, serve = std::move(serve)] { Serve(pty_, serve, stopFd_); });
}

PtySimulator::~PtySimulator() {
  Stop();
  ::close(stopFd_);
}

void PtySimulator::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  if (::write(stopFd_, &one, sizeof one) < 0) {
    // An eventfd write only fails when its counter is full, and then the
    // thread is woken already.
  }
  thread_.join();
}

std::vector<Verdict> PtySimulator::WaitForVerdicts(std::size_t count,
                                                   std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return verdicts_.size() >= count; });
  return verdicts_;
}

std::vector<std::string> PtySimulator::Log() const {
  const std::lock_guard lock(mutex_);
  return log_;
}

std::vector<TraceEvent> PtySimulator::Trace() const {
  const std::lock_guard lock(mutex_);
  return trace_;
}

}  // namespace tarnsim
