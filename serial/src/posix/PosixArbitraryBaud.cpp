#include "PosixArbitraryBaud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

std::int32_t SetArbitraryBaudrate(int fd, std::uint32_t rate) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (::ioctl(fd, TCSETS2, &t) != 0) return errno;
  struct termios2 back {};
  if (::ioctl(fd, TCGETS2, &back) != 0) return errno;
  // A driver reports the rate its divisor really gives; within 2 % the line
  // still works.
  const auto close = [rate](speed_t got) {
    const std::uint64_t diff = got > rate ? got - rate : rate - got;
    return diff * 50 <= rate;
  };
  return close(back.c_ospeed) && close(back.c_ispeed) ? 0 : EINVAL;
}
