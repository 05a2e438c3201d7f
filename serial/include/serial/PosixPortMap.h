#pragma once
// Where "COMn" leads on Linux: the user's explicit links first, then the
// serial ports that exist, numbered in a stable order. Every directory it
// looks at comes from PortMapRoots, so tests can lay out a device tree of
// their own.
#include <filesystem>
#include <string>

struct PortMapRoots {
  std::filesystem::path portsDir;  // the user's COMn links; empty: none
  std::filesystem::path dev = "/dev";
  std::filesystem::path sys = "/sys";
};

// The roots the program uses: the ports directory from the environment
// ($XDG_CONFIG_HOME/tarnup/ports, else ~/.config/tarnup/ports), /dev, /sys.
PortMapRoots DefaultPortMapRoots();

// What COMn reaches.
struct PortTarget {
  std::string path;  // the device path to open; empty: nothing behind COMn
  std::string byId;  // the adapter's stable by-id name, where it has one
  std::string via;   // how it was found: "link", "uart", "usb"
};

PortTarget LookUpComPort(unsigned number, const PortMapRoots& roots);

// The operator's text for a COMn with nothing behind it: names the port,
// what was tried and how to link an adapter.
std::string MissingPortText(unsigned number, const PortMapRoots& roots);
