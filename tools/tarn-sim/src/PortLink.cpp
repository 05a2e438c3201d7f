#include "tarnsim/PortLink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tarnsim {

std::string PortsDirectory(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
    return std::string(xdgConfigHome) + "/tarnup/ports";
  }
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/tarnup/ports";
  return {};
}

bool IsValidPortName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

PortLink::PortLink(const std::string& directory, const std::string& name, const std::string& target)
    : path_(directory + "/" + name), target_(target) {
  if (!IsValidPortName(name)) throw std::runtime_error("not a port name: \"" + name + "\"");
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) throw std::runtime_error("cannot create " + directory + ": " + ec.message());
  // symlink() never replaces anything: an existing entry of that name, ours
  // from an earlier run or the operator's real adapter, stays as it is.
  if (::symlink(target.c_str(), path_.c_str()) != 0) {
    const int e = errno;
    if (e == EEXIST) {
      std::string what = path_ + " already exists";
      std::error_code rec;
      const auto points = std::filesystem::read_symlink(path_, rec);
      if (!rec) what += " (a link to " + points.string() + ")";
      throw std::runtime_error(what +
                               "; it was not made by this simulator and is left alone: "
                               "remove it or use another name");
    }
    throw std::runtime_error("cannot make " + path_ + ": " + std::strerror(e));
  }
  made_ = true;
}

PortLink::~PortLink() {
  Remove();
}

void PortLink::Remove() {
  if (!made_) return;
  made_ = false;
  std::error_code ec;
  const auto points = std::filesystem::read_symlink(path_, ec);
  // Someone may have replaced the link meanwhile; theirs is not ours to remove.
  if (!ec && points.string() == target_) ::unlink(path_.c_str());
}

}  // namespace tarnsim
