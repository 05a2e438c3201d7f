// The POSIX platform's words for the operator: the modem status of the
// terminal's line bits, the system's texts for its error codes, and what
// happened to a port in plain words.
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "Platform.h"

namespace posix {

namespace {

// strerror_r comes in two flavours; either result is turned into text.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* StrerrorResult(const char* result, const char*) {
  return result;
}

}  // namespace

std::uint32_t StatusBits(int lines) {
  std::uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= kMS_CTS_ON;
  if (lines & TIOCM_DSR) status |= kMS_DSR_ON;
  if (lines & TIOCM_RI) status |= kMS_RING_ON;
  if (lines & TIOCM_CD) status |= kMS_RLSD_ON;
  return status;
}

std::string PosixPlatform::PortErrorText(const std::string& name, PortOperation operation,
                                         std::int32_t code) {
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

std::string PosixPlatform::ErrorText(std::int32_t code) {
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

}  // namespace posix
