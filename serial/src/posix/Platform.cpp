// The POSIX implementation of ISerialPlatform: opening and closing a port,
// the table of open ports and the small calls. Line settings are in
// LineSettings.cpp, writes and reads in Transfer.cpp, the event wait in
// EventWait.cpp, the operator's texts in ErrorTexts.cpp.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

#include "Platform.h"

namespace posix {

std::int32_t Errno() {
  return static_cast<std::int32_t>(errno);
}

void WakeWaiter(const Port& port) {
  const std::uint64_t one = 1;
  // A full counter still wakes the waiter, so a failed write is harmless.
  [[maybe_unused]] const ssize_t n = ::write(port.wakeFd, &one, sizeof one);
}

void ClearWakeUp(const Port& port) {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(port.wakeFd, &value, sizeof value);
}

bool ParseComNumber(std::string_view name, unsigned& number) {
  if (name.size() < 4 || name.substr(0, 3) != "COM") return false;
  const std::string_view digits = name.substr(3);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return ec == std::errc() && end == digits.data() + digits.size() && number >= 1;
}

namespace {

// The device a path leads to, for the operator's texts.
std::string DevicePathOf(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

}  // namespace

PosixPlatform::PosixPlatform(PortMapRoots roots, std::filesystem::path proc)
    : roots_(std::move(roots)), proc_(std::move(proc)) {}

PosixPlatform::~PosixPlatform() {
  for (auto& [handle, port] : ports_.RemoveAll()) ClosePort(*port);
}

OpenResult PosixPlatform::Open(const std::string& name) {
  unsigned number = 0;
  const std::string path =
      ParseComNumber(name, number) ? LookUpComPort(number, roots_).path : std::string();
  NameInfo info;
  info.path = path.empty() ? std::string() : DevicePathOf(path);
  const auto refuse = [&](std::int32_t err) {
    std::lock_guard lock(mapMutex_);
    names_[name] = info;
    return OpenResult{kInvalidPortHandle, err};
  };
  if (path.empty()) return refuse(ENOENT);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse(Errno());
  if (!::isatty(fd)) {
    ::close(fd);
    return refuse(ENOTTY);
  }
  // Each opening begins fresh: what arrived before it (left unread by an
  // earlier run, or sent while nobody listened) is discarded.
  ::tcflush(fd, TCIFLUSH);
  termios found{};
  const bool cooked =
      ::tcgetattr(fd, &found) == 0 && (found.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0;
  // flock is what keeps a second open (this process or another) out; the
  // exclusive-use flag does too for users other than root.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const std::int32_t err = (errno == EWOULDBLOCK) ? EBUSY : Errno();
    ::close(fd);
    return refuse(err);
  }
  // A program that holds the port without a lock would take the device's
  // answers: where the system shows it, the port is refused as in use.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    info.holder = FindPortHolder(proc_, st.st_rdev, st.st_dev, static_cast<int>(::getpid()));
    if (info.holder) {
      ::close(fd);
      return refuse(EBUSY);
    }
  }
  ::ioctl(fd, TIOCEXCL);
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    const std::int32_t err = Errno();
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return refuse(err);
  }
  auto port = std::make_shared<Port>();
  port->fd = fd;
  port->wakeFd = wakeFd;
  port->settled = !cooked;
  SetLowLatency(*port);
  port->modemLines = ::ioctl(fd, TIOCMGET, &port->lastModem) == 0;
  port->counters = ::ioctl(fd, TIOCGICOUNT, &port->lastCount) == 0;
  {
    std::lock_guard lock(mapMutex_);
    names_[name] = info;
  }
  return {ports_.Add(std::move(port)), 0};
}

std::int32_t PosixPlatform::Close(PortHandle h) {
  const std::shared_ptr<Port> port = ports_.Remove(h);
  if (!port) return EBADF;
  return ClosePort(*port);
}

std::int32_t PosixPlatform::SetupComm(PortHandle h, std::uint32_t, std::uint32_t) {
  // The kernel's queues have fixed sizes; the request is only checked.
  Use use(ports_, h);
  return use.error;
}

std::int32_t PosixPlatform::EscapeCommFunction(PortHandle h, std::uint32_t function) {
  Use use(ports_, h);
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

std::int32_t PosixPlatform::SetCommMask(PortHandle h, std::uint32_t mask) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  {
    std::lock_guard lock(use.port->mutex);
    use.port->events.Set(mask);
  }
  WakeWaiter(*use.port);
  return 0;
}

std::int32_t PosixPlatform::PurgeComm(PortHandle h, std::uint32_t flags) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  if (flags & (kPURGE_TXABORT | kPURGE_RXABORT)) {
    {
      std::lock_guard lock(use.port->mutex);
      ++use.port->abortGeneration;
    }
    use.port->txChanged.notify_all();
    WakeWaiter(*use.port);
  }
  return 0;
}

StatusResult PosixPlatform::ClearCommError(PortHandle h) {
  Use use(ports_, h);
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
  std::lock_guard lock(use.port->mutex);
  std::uint64_t backlog = 0;
  for (const auto& chunk : use.port->txQueue) backlog += chunk->bytes.size() - chunk->sent;
  result.stat.cbInQue = static_cast<std::uint32_t>(in);
  result.stat.cbOutQue = static_cast<std::uint32_t>(static_cast<std::uint64_t>(out) + backlog);
  result.errors = std::exchange(use.port->errorFlags, 0);
  return result;
}

std::int32_t PosixPlatform::SetCommBreak(PortHandle h) {
  return SimpleIoctl(h, TIOCSBRK);
}
std::int32_t PosixPlatform::ClearCommBreak(PortHandle h) {
  return SimpleIoctl(h, TIOCCBRK);
}

ModemResult PosixPlatform::GetCommModemStatus(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  int lines = 0;
  if (::ioctl(use.port->fd, TIOCMGET, &lines) != 0) return {Errno(), 0};
  return {0, StatusBits(lines)};
}

std::int32_t PosixPlatform::SimpleIoctl(PortHandle h, unsigned long request) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  return ::ioctl(use.port->fd, request) == 0 ? 0 : Errno();
}

std::int32_t PosixPlatform::ClosePort(Port& port) {
  {
    std::unique_lock lock(port.mutex);
    port.closing = true;
    port.events.ReleaseWaits();
    WakeWaiter(port);
    port.txChanged.notify_all();
    port.idle.wait(lock, [&] { return port.uses == 0; });
  }
  if (port.writer.joinable()) port.writer.join();
  RestoreSerialFlags(port);
  ::ioctl(port.fd, TIOCNXCL);
  std::int32_t err = 0;
  if (::close(port.fd) != 0) err = Errno();
  ::close(port.wakeFd);
  return err;
}

}  // namespace posix

std::shared_ptr<ISerialPlatform> MakePosixPlatform(PortMapRoots roots, std::filesystem::path proc) {
  return std::make_shared<posix::PosixPlatform>(std::move(roots), std::move(proc));
}
