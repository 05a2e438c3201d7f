#include "serial/PosixPlatform.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

namespace {

// Modem lines and counters are sampled on this tick where the driver has
// them, and the transmit queue while a write is draining.
constexpr int kTickMs = 15;
// The slice in which a blocked write looks for a close or purge.
constexpr int kWriteSliceMs = 10;

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr BaudEntry kBauds[] = {{300, B300},     {600, B600},      {1200, B1200},   {2400, B2400},
                                {4800, B4800},   {9600, B9600},    {19200, B19200}, {38400, B38400},
                                {57600, B57600}, {115200, B115200}};
// 14400 has no termios code; it is refused as not supported.

bool SpeedOf(std::uint32_t rate, speed_t& code) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.rate == rate) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

// strerror_r comes in two flavours; either result is turned into text.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* StrerrorResult(const char* result, const char*) {
  return result;
}

std::int32_t Errno() {
  return static_cast<std::int32_t>(errno);
}

// Keeps the descriptor's non-blocking reads and the other bookkeeping of one
// open port. Every call holds a "use" of the port while it runs; Close waits
// for the uses to end before it closes the descriptors.
struct Port {
  int fd = -1;
  int wakeFd = -1;  // eventfd: releases the waiter
  std::mutex mutex;
  std::condition_variable idle;
  int uses = 0;
  bool closing = false;

  std::uint32_t mask = 0;
  std::uint64_t maskGeneration = 0;
  std::uint64_t waitedGeneration = 0;  // maskGeneration when the last wait ended
  std::uint64_t abortGeneration = 0;

  // Received-character edge: bytes taken by ReadByte plus bytes still queued
  // give the bytes received in total; a new report is due when that total
  // has grown since the last one.
  std::uint64_t consumed = 0;
  std::uint64_t reportedArrived = 0;
  bool waiterBlind = false;  // the waiter is not watching for input

  bool txPending = false;

  bool modemLines = false;  // the driver answers TIOCMGET
  int lastModem = 0;
  bool counters = false;  // the driver answers TIOCGICOUNT
  serial_icounter_struct lastCount{};
};

void Kick(const Port& port) {
  const std::uint64_t one = 1;
  // A full counter still wakes the waiter, so a failed write is harmless.
  [[maybe_unused]] const ssize_t n = ::write(port.wakeFd, &one, sizeof one);
}

void Drain(const Port& port) {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(port.wakeFd, &value, sizeof value);
}

class PosixPlatform final : public ISerialPlatform {
 public:
  explicit PosixPlatform(PortPathMapper mapper) : mapper_(std::move(mapper)) {}

  ~PosixPlatform() override {
    std::map<PortHandle, std::shared_ptr<Port>> left;
    {
      std::lock_guard lock(mapMutex_);
      left.swap(ports_);
    }
    for (auto& [handle, port] : left) Shut(*port);
  }

  OpenResult Open(const std::string& name) override {
    const std::string path = mapper_ ? mapper_(name) : std::string();
    if (path.empty()) return {kInvalidPortHandle, ENOENT};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {kInvalidPortHandle, Errno()};
    if (!::isatty(fd)) {
      ::close(fd);
      return {kInvalidPortHandle, ENOTTY};
    }
    // flock is what keeps a second open (this process or another) out; the
    // exclusive-use flag does too for users other than root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const std::int32_t err = (errno == EWOULDBLOCK) ? EBUSY : Errno();
      ::close(fd);
      return {kInvalidPortHandle, err};
    }
    ::ioctl(fd, TIOCEXCL);
    SetLowLatency(fd);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      const std::int32_t err = Errno();
      ::ioctl(fd, TIOCNXCL);
      ::close(fd);
      return {kInvalidPortHandle, err};
    }
    auto port = std::make_shared<Port>();
    port->fd = fd;
    port->wakeFd = wakeFd;
    port->modemLines = ::ioctl(fd, TIOCMGET, &port->lastModem) == 0;
    port->counters = ::ioctl(fd, TIOCGICOUNT, &port->lastCount) == 0;
    std::lock_guard lock(mapMutex_);
    const PortHandle handle = nextHandle_++;
    ports_[handle] = std::move(port);
    return {handle, 0};
  }

  std::int32_t Close(PortHandle h) override {
    std::shared_ptr<Port> port;
    {
      std::lock_guard lock(mapMutex_);
      const auto it = ports_.find(h);
      if (it == ports_.end()) return EBADF;
      port = std::move(it->second);
      ports_.erase(it);
    }
    return Shut(*port);
  }

  std::int32_t SetupComm(PortHandle h, std::uint32_t, std::uint32_t) override {
    // The kernel's queues have fixed sizes; the request is only checked.
    Use use(*this, h);
    return use.error;
  }

  std::int32_t SetCommState(PortHandle h, const DCB& dcb) override {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    const int fd = use.port->fd;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return Errno();
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);

    switch (dcb.ByteSize) {
      case 5:
        t.c_cflag |= CS5;
        break;
      case 6:
        t.c_cflag |= CS6;
        break;
      case 7:
        t.c_cflag |= CS7;
        break;
      case 8:
        t.c_cflag |= CS8;
        break;
      default:
        return EINVAL;
    }
    switch (dcb.Parity) {
      case 0:
        break;
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        return EINVAL;
    }
    switch (dcb.StopBits) {
      case 0:
        break;
      case 2:
        t.c_cflag |= CSTOPB;
        break;
      default:
        return ENOTSUP;  // one and a half stop bits
    }
    if (dcb.Flags & kDcbParity) t.c_iflag |= INPCK;
    if (dcb.Flags & (kDcbOutxCtsFlow | kDcbRtsHandshake)) t.c_cflag |= CRTSCTS;
    if (dcb.Flags & kDcbOutX) t.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    speed_t speed = B9600;
    if (!SpeedOf(dcb.BaudRate, speed)) return ENOTSUP;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return Errno();
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return Errno();

    // tcsetattr succeeds when any part was applied: read back and compare.
    termios back{};
    if (::tcgetattr(fd, &back) != 0) return Errno();
    const tcflag_t cflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iflags = INPCK | IXON | IXOFF;
    if ((back.c_cflag & cflags) != (t.c_cflag & cflags) ||
        (back.c_iflag & iflags) != (t.c_iflag & iflags) || ::cfgetispeed(&back) != speed ||
        ::cfgetospeed(&back) != speed) {
      return EINVAL;
    }
    // Handshake by DTR/DSR has no kernel support; everything else is in force.
    if (dcb.Flags & (kDcbOutxDsrFlow | kDcbDtrHandshake)) return ENOTSUP;
    return 0;
  }

  std::int32_t SetCommTimeouts(PortHandle h, const COMMTIMEOUTS& timeouts) override {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    // Reads always return at once (non-blocking, VMIN = VTIME = 0); any other
    // read time-out is not supported. Writes are bounded by their caller.
    if (timeouts.ReadIntervalTimeout != 0xFFFFFFFFU || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != 0) {
      return ENOTSUP;
    }
    return 0;
  }

  std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) override {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    int bits = 0;
    unsigned long request = 0;
    switch (function) {
      case kSETRTS:
        bits = TIOCM_RTS;
        request = TIOCMBIS;
        break;
      case kCLRRTS:
        bits = TIOCM_RTS;
        request = TIOCMBIC;
        break;
      case kSETDTR:
        bits = TIOCM_DTR;
        request = TIOCMBIS;
        break;
      case kCLRDTR:
        bits = TIOCM_DTR;
        request = TIOCMBIC;
        break;
      default:
        return EINVAL;
    }
    return ::ioctl(use.port->fd, request, &bits) == 0 ? 0 : Errno();
  }

  std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) override {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    {
      std::lock_guard lock(use.port->mutex);
      use.port->mask = mask;
      ++use.port->maskGeneration;
    }
    Kick(*use.port);
    return 0;
  }

  std::int32_t PurgeComm(PortHandle h, std::uint32_t flags) override {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    if (flags & (kPURGE_TXABORT | kPURGE_RXABORT)) {
      {
        std::lock_guard lock(use.port->mutex);
        ++use.port->abortGeneration;
      }
      Kick(*use.port);
    }
    return 0;
  }

  WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                    std::chrono::milliseconds wait) override {
    Use use(*this, h);
    if (use.error != 0) return {use.error, 0};
    Port& port = *use.port;
    std::uint64_t abortAtStart = 0;
    {
      std::lock_guard lock(port.mutex);
      abortAtStart = port.abortGeneration;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::size_t done = 0;
    WriteResult result;
    while (done < data.size()) {
      const ssize_t n = ::write(port.fd, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        result.error = Errno();
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result.error = ETIMEDOUT;
        break;
      }
      {
        std::lock_guard lock(port.mutex);
        if (port.closing || port.abortGeneration != abortAtStart) {
          result.error = ECANCELED;
          break;
        }
      }
      pollfd p{port.fd, POLLOUT, 0};
      const int slice = static_cast<int>(std::min<std::int64_t>(left.count(), kWriteSliceMs));
      if (::poll(&p, 1, slice) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        result.error = EIO;
        break;
      }
    }
    result.count = static_cast<std::uint32_t>(done);
    if (done > 0) {
      {
        std::lock_guard lock(port.mutex);
        port.txPending = true;
      }
      Kick(port);
    }
    return result;
  }

  ReadResult ReadByte(PortHandle h, std::chrono::milliseconds) override {
    Use use(*this, h);
    if (use.error != 0) return {use.error, 0, 0};
    Port& port = *use.port;
    std::lock_guard lock(port.mutex);
    ReadResult result;
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::uint8_t byte = 0;
      const ssize_t n = ::read(port.fd, &byte, 1);
      if (n == 1) {
        ++port.consumed;
        if (port.waiterBlind) Kick(port);
        result.count = 1;
        result.byte = byte;
        return result;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        result.error = Errno();  // EIO once the far end has hung up
        return result;
      }
      // Nothing read. A line that is readable but yields nothing has hung up.
      pollfd p{port.fd, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return result;
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        result.error = EIO;
        return result;
      }
      if (!(p.revents & POLLIN)) return result;
      // Readable: a byte may have arrived just now; one more try decides.
    }
    result.error = EIO;
    return result;
  }

  StatusResult ClearCommError(PortHandle h) override {
    Use use(*this, h);
    StatusResult result;
    if (use.error != 0) {
      result.error = use.error;
      return result;
    }
    int in = 0;
    int out = 0;
    if (::ioctl(use.port->fd, FIONREAD, &in) != 0 || ::ioctl(use.port->fd, TIOCOUTQ, &out) != 0) {
      result.error = Errno();
      return result;
    }
    result.stat.cbInQue = static_cast<std::uint32_t>(in);
    result.stat.cbOutQue = static_cast<std::uint32_t>(out);
    return result;
  }

  std::int32_t SetCommBreak(PortHandle h) override { return SimpleIoctl(h, TIOCSBRK); }
  std::int32_t ClearCommBreak(PortHandle h) override { return SimpleIoctl(h, TIOCCBRK); }

  ModemResult GetCommModemStatus(PortHandle h) override {
    Use use(*this, h);
    if (use.error != 0) return {use.error, 0};
    int lines = 0;
    if (::ioctl(use.port->fd, TIOCMGET, &lines) != 0) return {Errno(), 0};
    return {0, StatusBits(lines)};
  }

  WaitResult WaitCommEvent(PortHandle h) override {
    Use use(*this, h);
    if (use.error != 0) return {use.error, 0};
    Port& port = *use.port;
    std::unique_lock lock(port.mutex);
    // A mask cleared since the previous wait releases this one at once (the
    // clear may have come just before the wait began); a mask that is still
    // clear from before blocks until it is changed, so it cannot spin.
    if (port.mask == 0 && port.maskGeneration != port.waitedGeneration) {
      port.waitedGeneration = port.maskGeneration;
      return {0, 0};
    }
    const std::uint64_t generation = port.maskGeneration;
    bool wokeByInput = false;
    for (;;) {
      if (port.closing) return {EBADF, 0};
      if (port.maskGeneration != generation) {
        port.waitedGeneration = port.maskGeneration;
        return {0, 0};
      }
      bool watchInput = false;
      bool tick = false;
      const std::uint32_t events = Sample(port, watchInput, tick);
      if (events != 0) {
        port.waiterBlind = false;
        port.waitedGeneration = port.maskGeneration;
        return {0, events};
      }
      if (wokeByInput && watchInput) {
        // Readiness without anything to read: look again on the tick rather
        // than poll for input in a loop.
        watchInput = false;
        tick = true;
      }
      port.waiterBlind = !watchInput;
      const int fd = port.fd;
      const int wakeFd = port.wakeFd;
      lock.unlock();

      pollfd fds[2] = {{fd, static_cast<short>(watchInput ? POLLIN : 0), 0}, {wakeFd, POLLIN, 0}};
      const int ready = ::poll(fds, 2, tick ? kTickMs : -1);
      const std::int32_t pollError = ready < 0 && errno != EINTR ? Errno() : 0;
      if (fds[1].revents & POLLIN) Drain(port);
      wokeByInput = (fds[0].revents & POLLIN) != 0;

      lock.lock();
      port.waiterBlind = false;
      if (pollError != 0) return {pollError, 0};
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return {EIO, 0};
    }
  }

  std::string ErrorText(std::int32_t code) override {
    char buffer[256] = {};
    std::string text = StrerrorResult(::strerror_r(code, buffer, sizeof buffer), buffer);
    if (code == EACCES) {
      text +=
          ": no access to the port. The user needs to be a member of the group that owns the "
          "device (usually dialout).";
    } else if (code == EBUSY) {
      text += ": the port is in use by another program.";
    } else if (code == ENOENT) {
      text += ": no such port.";
    }
    return text;
  }

 private:
  // Holds one use of a port for the duration of a call.
  struct Use {
    Use(PosixPlatform& platform, PortHandle h) {
      {
        std::lock_guard lock(platform.mapMutex_);
        const auto it = platform.ports_.find(h);
        if (it != platform.ports_.end()) port = it->second;
      }
      if (!port) {
        error = EBADF;
        return;
      }
      std::lock_guard lock(port->mutex);
      if (port->closing) {
        error = EBADF;
        port.reset();
        return;
      }
      ++port->uses;
    }
    ~Use() {
      if (!port) return;
      {
        std::lock_guard lock(port->mutex);
        --port->uses;
      }
      port->idle.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    std::shared_ptr<Port> port;
    std::int32_t error = 0;
  };

  static std::uint32_t StatusBits(int lines) {
    std::uint32_t status = 0;
    if (lines & TIOCM_CTS) status |= kMS_CTS_ON;
    if (lines & TIOCM_DSR) status |= kMS_DSR_ON;
    if (lines & TIOCM_RI) status |= kMS_RING_ON;
    if (lines & TIOCM_CD) status |= kMS_RLSD_ON;
    return status;
  }

  static void SetLowLatency(int fd) {
    // USB adapters otherwise hold received bytes for up to 16 ms.
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    info.flags = static_cast<int>(static_cast<unsigned>(info.flags) | ASYNC_LOW_LATENCY);
    ::ioctl(fd, TIOCSSERIAL, &info);
  }

  // Under the port's lock: the events of the mask that have occurred since
  // the last report. Sets whether the waiter should watch for input and
  // whether it needs the sampling tick.
  static std::uint32_t Sample(Port& port, bool& watchInput, bool& tick) {
    std::uint32_t events = 0;
    watchInput = false;
    tick = false;
    if (port.mask & kEV_RXCHAR) {
      int queued = 0;
      if (::ioctl(port.fd, FIONREAD, &queued) != 0) queued = 0;
      const std::uint64_t arrived = port.consumed + static_cast<std::uint64_t>(queued);
      if (arrived > port.reportedArrived) {
        port.reportedArrived = arrived;
        events |= kEV_RXCHAR;
      }
      // Input is watched only while nothing sits unread: bytes left unread
      // are not reported again, and new ones behind them are found on the
      // tick (or when a read takes some and kicks the waiter).
      watchInput = queued == 0;
      tick = queued != 0;
    }

    if (port.txPending) {
      int out = 0;
      if (::ioctl(port.fd, TIOCOUTQ, &out) != 0 || out == 0) {
        port.txPending = false;
        events |= kEV_TXEMPTY;
      } else {
        tick = true;
      }
    }

    if (port.modemLines) {
      tick = true;
      int lines = 0;
      if (::ioctl(port.fd, TIOCMGET, &lines) == 0) {
        const int changed = lines ^ port.lastModem;
        if (changed & TIOCM_CTS) events |= kEV_CTS;
        if (changed & TIOCM_DSR) events |= kEV_DSR;
        if (changed & TIOCM_CD) events |= kEV_RLSD;
        if ((changed & TIOCM_RI) && (lines & TIOCM_RI)) events |= kEV_RING;
        port.lastModem = lines;
      }
    }
    if (port.counters) {
      tick = true;
      serial_icounter_struct count{};
      if (::ioctl(port.fd, TIOCGICOUNT, &count) == 0) {
        // Counters catch pulses shorter than the tick.
        if (count.cts != port.lastCount.cts) events |= kEV_CTS;
        if (count.dsr != port.lastCount.dsr) events |= kEV_DSR;
        if (count.dcd != port.lastCount.dcd) events |= kEV_RLSD;
        if (count.rng != port.lastCount.rng) events |= kEV_RING;
        if (count.brk != port.lastCount.brk) events |= kEV_BREAK;
        port.lastCount = count;
      }
    }
    return events & port.mask;
  }

  std::int32_t SimpleIoctl(PortHandle h, unsigned long request) {
    Use use(*this, h);
    if (use.error != 0) return use.error;
    return ::ioctl(use.port->fd, request) == 0 ? 0 : Errno();
  }

  // Releases the waiter, waits until no call uses the port and closes it.
  static std::int32_t Shut(Port& port) {
    {
      std::unique_lock lock(port.mutex);
      port.closing = true;
      ++port.maskGeneration;
      Kick(port);
      port.idle.wait(lock, [&] { return port.uses == 0; });
    }
    ::ioctl(port.fd, TIOCNXCL);
    std::int32_t err = 0;
    if (::close(port.fd) != 0) err = Errno();
    ::close(port.wakeFd);
    return err;
  }

  PortPathMapper mapper_;
  std::mutex mapMutex_;
  std::map<PortHandle, std::shared_ptr<Port>> ports_;
  PortHandle nextHandle_ = 1;
};

bool ParseComNumber(std::string_view name, unsigned& number) {
  if (name.size() < 4 || name.substr(0, 3) != "COM") return false;
  const std::string_view digits = name.substr(3);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return ec == std::errc() && end == digits.data() + digits.size() && number >= 1;
}

}  // namespace

PortPathMapper PortsDirectoryMapper(std::filesystem::path portsDir, std::string fallbackPrefix) {
  return [dir = std::move(portsDir), prefix = std::move(fallbackPrefix)](std::string_view name) {
    unsigned number = 0;
    if (!ParseComNumber(name, number)) return std::string();
    if (!dir.empty()) {
      std::error_code ec;
      const std::filesystem::path entry = dir / std::string(name);
      if (std::filesystem::symlink_status(entry, ec).type() !=
              std::filesystem::file_type::not_found &&
          !ec) {
        return entry.string();
      }
    }
    return prefix + std::to_string(number - 1);
  };
}

std::filesystem::path DefaultPortsDirectory() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != 0) {
    return std::filesystem::path(config) / "tarnup" / "ports";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
    return std::filesystem::path(home) / ".config" / "tarnup" / "ports";
  }
  return {};
}

PortPathMapper DefaultPortPathMapper() {
  return PortsDirectoryMapper(DefaultPortsDirectory());
}

std::shared_ptr<ISerialPlatform> MakePosixPlatform(PortPathMapper mapper) {
  return std::make_shared<PosixPlatform>(std::move(mapper));
}
