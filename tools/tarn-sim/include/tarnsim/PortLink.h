#pragma once
// Publishing the simulated device in the updater's ports directory: a
// symbolic link named like a port ("COM1") that points at the pty.

#include <string>

namespace tarnsim {

// $XDG_CONFIG_HOME/tarnup/ports when that variable holds an absolute path,
// otherwise $HOME/.config/tarnup/ports; empty when neither can be used.
// The values are passed in (nullptr for an unset variable).
std::string PortsDirectory(const char* xdgConfigHome, const char* home);

// Whether `name` may be used as a link name: not empty, no '/', not "." or "..".
bool IsValidPortName(const std::string& name);

// A link the simulator made; removed again when this object goes, but only
// while it still points where it was made to point.
class PortLink {
 public:
  // Creates the directory as needed and the link `directory/name` ->
  // `target`. Throws std::runtime_error when anything of that name already
  // exists (a link this process did not make is never replaced) or the link
  // cannot be made.
  PortLink(const std::string& directory, const std::string& name, const std::string& target);
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  [[nodiscard]] const std::string& Path() const { return path_; }
  void Remove();

 private:
  std::string path_;
  std::string target_;
  bool made_ = false;
};

}  // namespace tarnsim
