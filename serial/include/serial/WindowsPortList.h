#pragma once
// The serial ports a Windows system has, by their COM numbers, and the texts
// that tell the operator about them: what stands behind each "COM n" of the
// window, and what to do when the chosen number leads nowhere (a USB adapter
// usually gets COM5 or higher, which the window does not offer).
//
// The list merges two sources: the Ports-class devices with their friendly
// names ("USB Serial Port (COM5)") and the registry's map of serial devices
// to COM names (HARDWARE\DEVICEMAP\SERIALCOMM), which also holds ports that
// have no Ports-class entry (Wine fills only this one). The texts are
// platform-free, so they are the same wherever they are tested.
#include <memory>
#include <string>
#include <vector>

struct WindowsPort {
  unsigned number = 0;       // n of COMn
  std::string friendlyName;  // UTF-8; empty where the system gives none
  std::string device;        // the kernel device (\Device\Serial0); may be empty

  friend bool operator==(const WindowsPort&, const WindowsPort&) = default;
};

// What the system reports, before merging. Names are UTF-8.
struct PortDeviceEntry {
  std::string portName;      // "COM5", as the device's PortName value says
  std::string friendlyName;  // "USB Serial Port (COM5)"
};
struct SerialCommEntry {
  std::string device;    // the value's name: "\Device\VCP0"
  std::string portName;  // its data: "COM5"
};

class IWindowsPortSources {
 public:
  virtual ~IWindowsPortSources() = default;
  virtual std::vector<PortDeviceEntry> PortsClassDevices() = 0;
  virtual std::vector<SerialCommEntry> SerialCommMap() = 0;
};

// The system's own sources (SetupAPI and the registry); Windows only.
std::unique_ptr<IWindowsPortSources> MakeSystemPortSources();

// The n of a name "COMn" (any letter case, n from 1), else 0.
unsigned ComNumber(const std::string& name);

// Every COM port either source names, once, ordered by number.
std::vector<WindowsPort> MergeWindowsPorts(const std::vector<PortDeviceEntry>& devices,
                                           const std::vector<SerialCommEntry>& map);
std::vector<WindowsPort> ListWindowsPorts(IWindowsPortSources& sources);

// The tooltip of "COM n": the port's friendly name, or that nothing is there.
std::string DescribeWindowsComPort(unsigned number, const std::vector<WindowsPort>& ports);

// The error box's text for a COMn with nothing usable behind it: names the
// port, lists the serial ports present with their friendly names and says
// how to give one of them a number from 1 to 4. At most 255 characters,
// giving up details first. Where the system lists the port but it cannot be
// used, `reason` (the system's text for the failure) says why.
std::string MissingWindowsPortText(unsigned number, const std::vector<WindowsPort>& ports,
                                   const std::string& reason = {});
