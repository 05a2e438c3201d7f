#pragma once
// Line speeds that have no termios speed code (14400 baud), set through
// Linux's arbitrary-rate interface. Kept in a translation unit of its own:
// the kernel's termios structures clash with the C library's <termios.h>.

#include <cstdint>

// Sets both directions of the terminal `fd` to `rate` bits per second and
// reads the setting back. Returns 0, or the errno value of the failure
// (EINVAL when the driver did not take the rate to within 2 %). Every other setting of
// the terminal is left as it is.
std::int32_t SetArbitraryBaudrate(int fd, std::uint32_t rate);
