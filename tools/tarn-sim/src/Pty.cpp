#include "tarnsim/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>

namespace tarnsim {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// How long a write may wait for room in the pty before its bytes are dropped.
constexpr int kWriteWaitMs = 1000;

struct timespec ToTimespec(Nanos d) {
  if (d.count() < 0) d = Nanos{0};
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(d.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(d.count() % 1'000'000'000);
  return ts;
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
  // From here on every opening and closing of the far end is reported.
  events_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (events_ < 0) fail("inotify_init1");
  if (::inotify_add_watch(events_, path_.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) <
      0) {
    const int e = errno;
    ::close(events_);
    events_ = -1;
    errno = e;
    fail("inotify_add_watch");
  }
}

Pty::~Pty() {
  Close();
  if (events_ >= 0) ::close(events_);
}

std::vector<Pty::FarEnd> Pty::TakeFarEndEvents() {
  std::vector<FarEnd> taken;
  alignas(struct inotify_event) char buf[4096];
  while (true) {
    const ssize_t n = ::read(events_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      struct inotify_event event {};
      std::memcpy(&event, buf + at, sizeof event);
      if (event.mask & IN_Q_OVERFLOW) taken.push_back(FarEnd::Lost);
      if (event.mask & IN_OPEN) taken.push_back(FarEnd::Opened);
      if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) taken.push_back(FarEnd::Closed);
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
  return taken;
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

  // Bytes still on their way from the far end belong to the session under way.
  auto readInput = [&]() -> bool {
    char buf[4096];
    while (true) {
      const ssize_t n = ::read(pty.Fd(), buf, sizeof buf);
      if (n > 0) {
        const Nanos at = SteadyNow();
        const std::string_view bytes(buf, static_cast<std::size_t>(n));
        if (options.trace) options.trace(TraceEvent{at, false, std::string(bytes)});
        if (session) session->Receive(bytes, at);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return !(n < 0 && errno == EIO);  // false: nobody holds the far end
    }
  };
  auto beginSession = [&]() {
    discardInput();
    // What the far end's last holder left unread is not for the new one.
    ::tcflush(pty.Fd(), TCOFLUSH);
    session.emplace(options.device);
    if (options.log) session->SetLogger(options.log);
    session->Connect(SteadyNow());
  };
  // How many hold the far end open; a session lasts while anyone does.
  int holders = 0;

  while (true) {
    if (!pty.IsOpen()) return ServeEnd::Failed;
    // While nobody holds the far end the master reports POLLHUP without
    // end, so it is only watched during a session.
    struct pollfd fds[3] = {
        {session ? pty.Fd() : -1, POLLIN, 0}, {stopFd, POLLIN, 0}, {pty.EventFd(), POLLIN, 0}};
    const std::optional<Nanos> due = session ? session->NextDue() : std::nullopt;
    struct timespec ts {};
    if (due) ts = ToTimespec(*due - SteadyNow());
    const int ready = ::ppoll(fds, 3, due ? &ts : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      log(std::string("poll failed: ") + std::system_category().message(errno));
      endSession();
      return ServeEnd::Failed;
    }
    // Any event counts: a stop descriptor that breaks must not make the loop spin.
    if (fds[1].revents != 0) {
      if (session) readInput();
      endSession();
      return ServeEnd::Stopped;
    }
    if (fds[0].revents & POLLIN) readInput();
    bool sessionEnded = false;
    if (fds[2].revents & POLLIN) {
      for (const Pty::FarEnd event : pty.TakeFarEndEvents()) {
        switch (event) {
          case Pty::FarEnd::Opened:
            if (holders++ == 0) beginSession();
            break;
          case Pty::FarEnd::Closed:
            if (holders > 0 && --holders == 0 && session) {
              readInput();
              endSession();
              discardInput();
              sessionEnded = true;
            }
            break;
          case Pty::FarEnd::Lost:
            holders = pty.FarEndOpen() ? 1 : 0;
            if (holders == 0 && session) {
              readInput();
              endSession();
              sessionEnded = true;
            } else if (holders == 1 && !session) {
              beginSession();
            }
            break;
        }
      }
    } else if (session && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      // The far end's close is reported before the line hangs up, so this is
      // a hang-up nobody announced; end the session rather than spin on it.
      holders = 0;
      endSession();
      discardInput();
      sessionEnded = true;
    }
    if (sessionEnded && options.once) return ServeEnd::SessionEnded;
    if (!session) continue;

    const Nanos now = SteadyNow();
    Output out = session->Poll(now);
    if (!out.bytes.empty() && !write(out.bytes, now)) {
      // The far end is gone; its close is on its way as an event.
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
