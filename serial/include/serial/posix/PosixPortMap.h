#pragma once
// Where "COMn" leads on Linux: the user's explicit links first, then the
// serial ports that exist, numbered in a stable order. Every directory it
// looks at comes from PortMapRoots, so tests can lay out a device tree of
// their own.
//
// The order, looked up anew on every call (nothing is cached, so an adapter
// plugged in later is found):
//  1. A link COMn in the ports directory is COMn, whatever it points to; a
//     link whose target is missing still holds its number.
//  2. The remaining numbers, from COM1 upwards, go to the serial ports found
//     in this order, leaving out any device a link already reaches:
//     a. built-in UARTs: the dev/ttyS<k> nodes whose driver reports a port
//        type other than 0 (unknown) in sys/class/tty/ttyS<k>/type, by k;
//     b. USB adapters that have a stable name in dev/serial/by-id, ordered
//        by that name;
//     c. other USB and ACM adapters (dev/ttyUSB<k>, dev/ttyACM<k>) without
//        such a name, by device name (ttyACM before ttyUSB, then by k).
#include <filesystem>
#include <string>
#include <vector>

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
  std::string via;   // how it was found: "link", "uart", "usb"; empty: nothing
  std::string link;  // for "link": the link itself (path is where it leads)
};

PortTarget LookUpComPort(unsigned number, const PortMapRoots& roots);

// COM1 to COM`count` in one look-up: element n - 1 is COMn.
std::vector<PortTarget> MapComPorts(unsigned count, const PortMapRoots& roots);

// One line saying what COMn reaches, for the port's tooltip: the device
// path and the adapter's by-id name, or that no device is there.
std::string DescribeComPort(unsigned number, const PortTarget& target, const PortMapRoots& roots);

// The tooltips of COM1 to COM`count`, from one look-up.
std::vector<std::string> ComPortTooltips(unsigned count, const PortMapRoots& roots);

// The operator's text for a COMn with nothing behind it (no port found, or a
// link or device that is not there): names the port, what was tried and how
// to link an adapter. It fits the error box (at most 255 characters), giving
// up details first; paths in the home folder are written with "~".
std::string MissingPortText(unsigned number, const PortMapRoots& roots);
