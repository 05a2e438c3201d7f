// The POSIX platform's line settings: the device-control record turned into
// termios (raw mode, frame, parity checking with marks, flow control, speed),
// read back and compared; the time-out record; the serial driver's low
// latency flag at open and its flags put back at the close. Speeds without
// a termios code go through PosixArbitraryBaud.cpp.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "Platform.h"
#include "PosixArbitraryBaud.h"

namespace posix {

namespace {

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

}  // namespace

std::int32_t PosixPlatform::SetCommState(PortHandle h, const comm::DCB& dcb) {
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

std::int32_t PosixPlatform::SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) {
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

void PosixPlatform::SetLowLatency(Port& port) {
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

void PosixPlatform::RestoreSerialFlags(const Port& port) {
  if (!port.serialFound) return;
  serial_struct info{};
  if (::ioctl(port.fd, TIOCGSERIAL, &info) != 0) return;
  if (info.flags == port.serialAtOpen.flags) return;
  info.flags = port.serialAtOpen.flags;
  ::ioctl(port.fd, TIOCSSERIAL, &info);
}

}  // namespace posix
