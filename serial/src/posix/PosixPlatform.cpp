#include "serial/posix/PosixPlatform.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../common/PortTable.h"
#include "PosixArbitraryBaud.h"

namespace {

// Modem lines and counters are sampled on this tick where the driver has
// them and a handler wants them, and the transmit queue while a write is
// draining and a handler wants to know when it is empty.
constexpr int kTickMs = 15;
// The slice in which a write held up by flow control looks for a close or
// purge.
constexpr int kWriteSliceMs = 10;
constexpr std::uint32_t kModemEvents = kEV_CTS | kEV_DSR | kEV_RLSD | kEV_RING;

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr BaudEntry kBauds[] = {{300, B300},     {600, B600},      {1200, B1200},   {2400, B2400},
                                {4800, B4800},   {9600, B9600},    {19200, B19200}, {38400, B38400},
                                {57600, B57600}, {115200, B115200}};
// 14400 has no termios code; it is set through the arbitrary-rate interface.

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

// Bytes of one write that did not fit into the driver at once: sent by the
// port's writer thread, within the write time-out in force when they came.
struct TxChunk {
  std::vector<std::uint8_t> bytes;
  std::size_t sent = 0;
  bool hasDeadline = false;
  std::chrono::steady_clock::time_point deadline;
  std::uint64_t abortGeneration = 0;
  bool done = false;
  std::int32_t error = 0;
};

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

  // The serial driver's flags as found at open, restored at close.
  bool serialFound = false;
  serial_struct serialAtOpen{};
  // A line found cooked (a fresh terminal) may have mangled or echoed what
  // arrived before the first line setting: that setting discards it. Bytes
  // that arrived raw are kept, as the original port keeps what arrives
  // after its open.
  bool settled = false;

  // Parity marking (PARMRK) is on: received bytes are decoded, and errors
  // are kept for the status read.
  bool parityMarks = false;
  bool parityOn = false;  // PARENB: a marked byte is taken for a parity error
  ParityMarkDecoder decoder;
  std::uint32_t errorFlags = 0;

  // Write time-out (ms; 0: none) and the writes still being sent.
  std::uint32_t writeTimeoutConstant = 0;
  std::uint32_t writeTimeoutMultiplier = 0;
  std::deque<std::shared_ptr<TxChunk>> txQueue;
  std::condition_variable txChanged;
  std::thread writer;

  // Events some handler could receive (SetEventInterest): polling is only
  // done for these.
  std::uint32_t interest = 0xFFFFFFFFU;

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

bool ParseComNumber(std::string_view name, unsigned& number) {
  if (name.size() < 4 || name.substr(0, 3) != "COM") return false;
  const std::string_view digits = name.substr(3);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return ec == std::errc() && end == digits.data() + digits.size() && number >= 1;
}

// The device a path leads to, for the operator's texts.
std::string DevicePathOf(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

class PosixPlatform final : public ISerialPlatform {
 public:
  PosixPlatform(PortMapRoots roots, std::filesystem::path proc)
      : roots_(std::move(roots)), proc_(std::move(proc)) {}

  ~PosixPlatform() override {
    for (auto& [handle, port] : ports_.RemoveAll()) Shut(*port);
  }

  OpenResult Open(const std::string& name) override {
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

  std::int32_t Close(PortHandle h) override {
    const std::shared_ptr<Port> port = ports_.Remove(h);
    if (!port) return EBADF;
    return Shut(*port);
  }

  std::int32_t SetupComm(PortHandle h, std::uint32_t, std::uint32_t) override {
    // The kernel's queues have fixed sizes; the request is only checked.
    Use use(ports_, h);
    return use.error;
  }

  std::int32_t SetCommState(PortHandle h, const DCB& dcb) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    Port& port = *use.port;
    const int fd = port.fd;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return Errno();
    // Raw mode comes first and is applied whatever else is refused, so a
    // refused setting never leaves the line cooked (echoing the device's
    // bytes back to it). A refused field keeps its raw default.
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY | ISTRIP);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    std::int32_t refused = 0;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (dcb.ByteSize >= 5 && dcb.ByteSize <= 8) {
      t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[dcb.ByteSize - 5];
    } else {
      refused = EINVAL;
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
        refused = EINVAL;
        break;
    }
    switch (dcb.StopBits) {
      case 0:
        break;
      case 2:
        t.c_cflag |= CSTOPB;
        break;
      default:
        refused = ENOTSUP;  // one and a half stop bits
        break;
    }
    // Parity checking delivers a byte with a parity or framing error as it
    // arrived, marked (PARMRK) so the read can record the error; without
    // marking the line discipline would hand over 0x00 in its place.
    const bool checkParity = (dcb.Flags & kDcbParity) != 0;
    if (checkParity) t.c_iflag |= INPCK | PARMRK;
    if (dcb.Flags & (kDcbOutxCtsFlow | kDcbRtsHandshake)) t.c_cflag |= CRTSCTS;
    if (dcb.Flags & kDcbOutX) t.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    speed_t speed = B9600;
    const bool coded = SpeedOf(dcb.BaudRate, speed);
    if (coded && (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)) return Errno();
    {
      std::lock_guard lock(port.mutex);
      if (::tcsetattr(fd, TCSANOW, &t) != 0) return Errno();
      port.parityMarks = checkParity;
      port.parityOn = (t.c_cflag & PARENB) != 0;
      port.decoder.Reset();
      if (!port.settled) {
        // The first setting after the open: bytes that came in under the
        // old settings (perhaps echoed, perhaps mangled) are not the run's.
        ::tcflush(fd, TCIFLUSH);
        port.settled = true;
      }
    }
    if (!coded) {
      if (const std::int32_t err = SetArbitraryBaudrate(fd, dcb.BaudRate)) return err;
    }

    // tcsetattr succeeds when any part was applied: read back and compare.
    termios back{};
    if (::tcgetattr(fd, &back) != 0) return Errno();
    const tcflag_t cflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iflags = INPCK | PARMRK | IXON | IXOFF;
    if ((back.c_cflag & cflags) != (t.c_cflag & cflags) ||
        (back.c_iflag & iflags) != (t.c_iflag & iflags) ||
        (coded && (::cfgetispeed(&back) != speed || ::cfgetospeed(&back) != speed))) {
      return EINVAL;
    }
    if (refused != 0) return refused;
    // Handshake by DTR/DSR has no kernel support; everything else is in force.
    if (dcb.Flags & (kDcbOutxDsrFlow | kDcbDtrHandshake)) return ENOTSUP;
    return 0;
  }

  std::int32_t SetCommTimeouts(PortHandle h, const COMMTIMEOUTS& timeouts) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    // Reads always return at once (non-blocking, VMIN = VTIME = 0); any other
    // read time-out is not supported. Writes are bounded by their caller.
    if (timeouts.ReadIntervalTimeout != 0xFFFFFFFFU || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != 0) {
      return ENOTSUP;
    }
    // The write time-out bounds how long a write goes on after its caller
    // has stopped waiting for it (0 and 0: no bound).
    std::lock_guard lock(use.port->mutex);
    use.port->writeTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    use.port->writeTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    return 0;
  }

  std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) override {
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

  std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) override {
    Use use(ports_, h);
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
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    if (flags & (kPURGE_TXABORT | kPURGE_RXABORT)) {
      {
        std::lock_guard lock(use.port->mutex);
        ++use.port->abortGeneration;
      }
      use.port->txChanged.notify_all();
      Kick(*use.port);
    }
    return 0;
  }

  WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                    std::chrono::milliseconds wait) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0};
    Port& port = *use.port;
    const auto began = std::chrono::steady_clock::now();
    std::unique_lock lock(port.mutex);
    WriteResult result;
    std::size_t done = 0;
    // Straight into the driver while no earlier write is still being sent.
    while (port.txQueue.empty() && done < data.size()) {
      const ssize_t n = ::write(port.fd, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        result.error = Errno();
        result.count = static_cast<std::uint32_t>(done);
        return result;
      }
      break;
    }
    if (done == data.size()) {
      result.count = static_cast<std::uint32_t>(done);
      if (done > 0) {
        port.txPending = true;
        Kick(port);
      }
      return result;
    }
    // Held up (flow control, a full driver queue): the rest is sent by the
    // port's writer. The caller waits at most `wait` for it; after that the
    // wait is abandoned, not the write, which goes on up to the port's
    // write time-out, a purge or the close.
    auto chunk = std::make_shared<TxChunk>();
    chunk->bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(done), data.end());
    const std::uint64_t bound =
        port.writeTimeoutConstant +
        static_cast<std::uint64_t>(port.writeTimeoutMultiplier) * data.size();
    chunk->hasDeadline = bound != 0;
    chunk->deadline = began + std::chrono::milliseconds(bound);
    chunk->abortGeneration = port.abortGeneration;
    port.txQueue.push_back(chunk);
    if (!port.writer.joinable()) {
      port.writer = std::thread([p = use.port] { Writer(*p); });
    }
    port.txChanged.notify_all();
    port.txChanged.wait_until(lock, began + wait, [&] { return chunk->done; });
    result.count = static_cast<std::uint32_t>(done + chunk->sent);
    result.error = chunk->done ? chunk->error : ETIMEDOUT;
    return result;
  }

  ReadResult ReadByte(PortHandle h, std::chrono::milliseconds) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0, 0};
    Port& port = *use.port;
    std::lock_guard lock(port.mutex);
    ReadResult result;
    int empty = 0;
    while (empty < 2) {
      std::uint8_t byte = 0;
      const ssize_t n = ::read(port.fd, &byte, 1);
      if (n == 1) {
        empty = 0;
        ++port.consumed;
        if (port.waiterBlind) Kick(port);
        if (port.parityMarks) {
          // A marked sequence is decoded as a whole; its bytes arrive
          // together, so the rest is normally there already.
          std::uint8_t out = 0;
          const auto decoded = port.decoder.Feed(byte, out);
          if (decoded == ParityMarkDecoder::Result::NeedMore) continue;
          if (decoded == ParityMarkDecoder::Result::ByteWithError) {
            port.errorFlags |= (out == 0 || !port.parityOn) ? kCE_FRAME : kCE_RXPARITY;
          }
          byte = out;
        }
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
      ++empty;
    }
    result.error = EIO;
    return result;
  }

  StatusResult ClearCommError(PortHandle h) override {
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

  std::int32_t SetCommBreak(PortHandle h) override { return SimpleIoctl(h, TIOCSBRK); }
  std::int32_t ClearCommBreak(PortHandle h) override { return SimpleIoctl(h, TIOCCBRK); }

  ModemResult GetCommModemStatus(PortHandle h) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0};
    int lines = 0;
    if (::ioctl(use.port->fd, TIOCMGET, &lines) != 0) return {Errno(), 0};
    return {0, StatusBits(lines)};
  }

  WaitResult WaitCommEvent(PortHandle h) override {
    Use use(ports_, h);
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

  void SetEventInterest(PortHandle h, std::uint32_t events) override {
    Use use(ports_, h);
    if (use.error != 0) return;
    Port& port = *use.port;
    {
      std::lock_guard lock(port.mutex);
      const std::uint32_t added = events & ~port.interest;
      port.interest = events;
      // Lines and counters watched from now on start from their present
      // state, not from one sampled long ago.
      if ((added & kModemEvents) && port.modemLines) ::ioctl(port.fd, TIOCMGET, &port.lastModem);
      if ((added & (kModemEvents | kEV_BREAK)) && port.counters) {
        ::ioctl(port.fd, TIOCGICOUNT, &port.lastCount);
      }
    }
    Kick(port);
  }

  std::string PortErrorText(const std::string& name, PortOperation operation,
                            std::int32_t code) override {
    NameInfo info;
    {
      std::lock_guard lock(mapMutex_);
      if (const auto it = names_.find(name); it != names_.end()) info = it->second;
    }
    const std::string port = info.path.empty() ? name : name + " (" + info.path + ")";
    unsigned number = 0;
    if (operation == PortOperation::Open) {
      switch (code) {
        case ENOENT:
          if (ParseComNumber(name, number)) return MissingPortText(number, roots_);
          return name + ": no such port";
        case EBUSY:
          if (info.holder) {
            return port + " is in use by another program: " + info.holder->command + " (process " +
                   std::to_string(info.holder->pid) + ")";
          }
          return port + " is in use by another program";
        case EACCES:
        case EPERM:
          return port +
                 ": no access to the port. The user needs to be a member of the group that owns "
                 "the device (usually dialout)";
        case ENOTTY:
          return port + " is not a serial port";
        default:
          break;
      }
    } else if (code == EIO || code == ENXIO || code == ENODEV) {
      return port + " is gone: the adapter may have been unplugged, or the line has hung up";
    }
    return port + ": " + ErrorText(code);
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
  using Use = PortTable<Port>::Use;

  static std::uint32_t StatusBits(int lines) {
    std::uint32_t status = 0;
    if (lines & TIOCM_CTS) status |= kMS_CTS_ON;
    if (lines & TIOCM_DSR) status |= kMS_DSR_ON;
    if (lines & TIOCM_RI) status |= kMS_RING_ON;
    if (lines & TIOCM_CD) status |= kMS_RLSD_ON;
    return status;
  }

  static void SetLowLatency(Port& port) {
    // USB adapters otherwise hold received bytes for up to 16 ms. A custom
    // speed flag left by another program would silently replace the speed
    // asked for (38400 selects it), so it is cleared in the same call. The
    // flags are restored as found at close.
    serial_struct info{};
    if (::ioctl(port.fd, TIOCGSERIAL, &info) != 0) return;
    port.serialFound = true;
    port.serialAtOpen = info;
    auto flags = static_cast<unsigned>(info.flags);
    flags = (flags | ASYNC_LOW_LATENCY) & ~static_cast<unsigned>(ASYNC_SPD_MASK);
    if (flags == static_cast<unsigned>(info.flags)) return;
    info.flags = static_cast<int>(flags);
    ::ioctl(port.fd, TIOCSSERIAL, &info);
  }

  // Puts the driver's flags back as they were found at open.
  static void RestoreSerialFlags(const Port& port) {
    if (!port.serialFound) return;
    serial_struct info{};
    if (::ioctl(port.fd, TIOCGSERIAL, &info) != 0) return;
    if (info.flags == port.serialAtOpen.flags) return;
    info.flags = port.serialAtOpen.flags;
    ::ioctl(port.fd, TIOCSSERIAL, &info);
  }

  // The port's writer thread: sends the writes that did not fit at once, in
  // order, each within its own time-out. Ends at the close.
  static void Writer(Port& port) {
    std::unique_lock lock(port.mutex);
    for (;;) {
      port.txChanged.wait(lock, [&] { return port.closing || !port.txQueue.empty(); });
      const auto finish = [&](std::int32_t error) {
        const auto chunk = port.txQueue.front();
        chunk->done = true;
        chunk->error = error;
        port.txQueue.pop_front();
        port.txChanged.notify_all();
      };
      if (port.closing) {
        while (!port.txQueue.empty()) finish(ECANCELED);
        return;
      }
      TxChunk& chunk = *port.txQueue.front();
      if (chunk.abortGeneration != port.abortGeneration) {
        finish(ECANCELED);  // purged; writes queued after the purge go on
        continue;
      }
      if (chunk.hasDeadline && std::chrono::steady_clock::now() >= chunk.deadline) {
        finish(ETIMEDOUT);
        continue;
      }
      const ssize_t n =
          ::write(port.fd, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent);
      if (n > 0) {
        chunk.sent += static_cast<std::size_t>(n);
        if (chunk.sent == chunk.bytes.size()) {
          finish(0);
          port.txPending = true;
          Kick(port);
        }
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        finish(Errno());
        continue;
      }
      // No room: wait a slice for it, then look at close, purge and
      // deadline again.
      const int fd = port.fd;
      lock.unlock();
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, kWriteSliceMs);
      lock.lock();
      if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !port.txQueue.empty()) {
        finish(EIO);
      }
    }
  }

  // Under the port's lock: the events of the mask that have occurred since
  // the last report. Sets whether the waiter should watch for input and
  // whether it needs the sampling tick.
  static std::uint32_t Sample(Port& port, bool& watchInput, bool& tick) {
    std::uint32_t events = 0;
    watchInput = false;
    tick = false;
    // Only what is in the mask and could reach a handler is looked for, so
    // a port nobody listens to for signals is not sampled at all.
    const std::uint32_t wanted = port.mask & port.interest;
    if (wanted & kEV_RXCHAR) {
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

    if (port.txPending && (wanted & kEV_TXEMPTY)) {
      int out = 0;
      if (::ioctl(port.fd, TIOCOUTQ, &out) != 0 || out == 0) {
        port.txPending = false;
        events |= kEV_TXEMPTY;
      } else {
        tick = true;
      }
    }

    if (port.modemLines && (wanted & kModemEvents)) {
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
    if (port.counters && (wanted & (kModemEvents | kEV_BREAK))) {
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
    return events & wanted;
  }

  std::int32_t SimpleIoctl(PortHandle h, unsigned long request) {
    Use use(ports_, h);
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

  // What the last opening of a name found: for the operator's texts.
  struct NameInfo {
    std::string path;
    std::optional<PortHolder> holder;
  };

  PortMapRoots roots_;
  std::filesystem::path proc_;
  std::mutex mapMutex_;  // guards names_
  std::map<std::string, NameInfo> names_;
  PortTable<Port> ports_{EBADF};
};

}  // namespace

std::optional<PortHolder> FindPortHolder(const std::filesystem::path& proc, dev_t device,
                                         dev_t filesystem, int selfPid) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string pidText = it->path().filename().string();
    int pid = 0;
    const auto [tail, parsed] =
        std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (parsed != std::errc() || tail != pidText.data() + pidText.size() || pid == selfPid)
      continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      struct stat st {};
      if (::stat(fd->path().c_str(), &st) != 0) continue;
      if (!S_ISCHR(st.st_mode) || st.st_rdev != device || st.st_dev != filesystem) continue;
      PortHolder holder;
      holder.pid = pid;
      std::ifstream comm(it->path() / "comm");
      std::getline(comm, holder.command);
      if (holder.command.empty()) holder.command = "unknown program";
      return holder;
    }
  }
  return std::nullopt;
}

ParityMarkDecoder::Result ParityMarkDecoder::Feed(std::uint8_t in, std::uint8_t& out) {
  switch (state_) {
    case 0:
      if (in == 0xFF) {
        state_ = 1;
        return Result::NeedMore;
      }
      out = in;
      return Result::Byte;
    case 1:
      if (in == 0x00) {
        state_ = 2;
        return Result::NeedMore;
      }
      // 0xFF 0xFF is a received 0xFF; anything else after a lone 0xFF
      // cannot come from the line discipline and is passed on as it is.
      state_ = 0;
      out = in;
      return Result::Byte;
    default:
      state_ = 0;
      out = in;
      return Result::ByteWithError;
  }
}

std::shared_ptr<ISerialPlatform> MakePosixPlatform(PortMapRoots roots, std::filesystem::path proc) {
  return std::make_shared<PosixPlatform>(std::move(roots), std::move(proc));
}
