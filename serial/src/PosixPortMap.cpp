#include "serial/PosixPortMap.h"

#include <cstdlib>
#include <system_error>

PortMapRoots DefaultPortMapRoots() {
  PortMapRoots roots;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != 0) {
    roots.portsDir = std::filesystem::path(config) / "tarnup" / "ports";
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
    roots.portsDir = std::filesystem::path(home) / ".config" / "tarnup" / "ports";
  }
  return roots;
}

PortTarget LookUpComPort(unsigned number, const PortMapRoots& roots) {
  if (number == 0) return {};
  const std::string name = "COM" + std::to_string(number);
  if (!roots.portsDir.empty()) {
    std::error_code ec;
    const std::filesystem::path entry = roots.portsDir / name;
    if (std::filesystem::symlink_status(entry, ec).type() !=
            std::filesystem::file_type::not_found &&
        !ec) {
      return {entry.string(), {}, "link"};
    }
  }
  return {(roots.dev / ("ttyS" + std::to_string(number - 1))).string(), {}, "uart"};
}

std::string MissingPortText(unsigned number, const PortMapRoots& /*roots*/) {
  return "COM" + std::to_string(number) + ": no such port";
}
