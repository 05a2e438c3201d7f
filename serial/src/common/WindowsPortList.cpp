#include "serial/WindowsPortList.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>

namespace {

// The error box shows at most 255 characters of a text.
constexpr std::size_t kMaxBoxText = 255;

std::string ComName(unsigned number) {
  return "COM" + std::to_string(number);
}

// The first text that fits the error box, else the last cut to fit.
std::string Fit(std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) {
    if (text.size() <= kMaxBoxText) return text;
  }
  std::string last = *(texts.end() - 1);
  // Cut at a character boundary of the UTF-8 text.
  std::size_t cut = kMaxBoxText;
  while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80) --cut;
  last.resize(cut);
  return last;
}

// "COM5 (USB Serial Port)": the friendly name without the "(COM5)" that
// Windows appends to it, since the number is already said.
std::string Named(const WindowsPort& port) {
  const std::string com = ComName(port.number);
  std::string name = port.friendlyName;
  const std::string suffix = " (" + com + ")";
  if (name.size() > suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.resize(name.size() - suffix.size());
  }
  if (name.empty()) return com;
  return com + " (" + name + ")";
}

}  // namespace

unsigned ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  }
  unsigned number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    number = number * 10 + static_cast<unsigned>(name[i] - '0');
  }
  if (name[3] == '0') return 0;  // no leading zero, no COM0
  return number;
}

std::vector<WindowsPort> MergeWindowsPorts(const std::vector<PortDeviceEntry>& devices,
                                           const std::vector<SerialCommEntry>& map) {
  std::map<unsigned, WindowsPort> ports;
  for (const SerialCommEntry& entry : map) {
    const unsigned number = ComNumber(entry.portName);
    if (number == 0) continue;
    WindowsPort& port = ports[number];
    port.number = number;
    if (port.device.empty()) port.device = entry.device;
  }
  for (const PortDeviceEntry& entry : devices) {
    const unsigned number = ComNumber(entry.portName);
    if (number == 0) continue;
    WindowsPort& port = ports[number];
    port.number = number;
    if (port.friendlyName.empty()) port.friendlyName = entry.friendlyName;
  }
  std::vector<WindowsPort> list;
  list.reserve(ports.size());
  for (auto& [number, port] : ports) list.push_back(std::move(port));
  return list;
}

std::vector<WindowsPort> ListWindowsPorts(IWindowsPortSources& sources) {
  return MergeWindowsPorts(sources.PortsClassDevices(), sources.SerialCommMap());
}

std::string DescribeWindowsComPort(unsigned number, const std::vector<WindowsPort>& ports) {
  const auto it = std::find_if(ports.begin(), ports.end(),
                               [number](const WindowsPort& port) { return port.number == number; });
  if (it == ports.end()) {
    return "No serial port " + ComName(number) + " on this computer";
  }
  if (!it->friendlyName.empty()) return it->friendlyName;
  if (!it->device.empty()) return "Serial port " + it->device;
  return "Serial port " + ComName(number);
}

std::string MissingWindowsPortText(unsigned number, const std::vector<WindowsPort>& ports,
                                   const std::string& reason) {
  const std::string com = ComName(number);
  std::vector<const WindowsPort*> others;
  const WindowsPort* self = nullptr;
  for (const WindowsPort& port : ports) {
    if (port.number != number) {
      others.push_back(&port);
    } else {
      self = &port;
    }
  }
  const std::string how =
      "To give one a number from 1 to 4: Device Manager > Ports (COM & LPT) > adapter > "
      "Properties > Port Settings > Advanced > COM Port Number (as administrator)";
  const auto text = [&](bool names, std::size_t listed) {
    std::string out = "There is no " + com + " on this computer. ";
    if (self != nullptr) {
      // The system names the port, but it does not work as one.
      out = (names ? Named(*self) : com) + " cannot be used";
      out += reason.empty() ? ". " : ": " + reason + ". ";
    }
    if (others.empty()) {
      out += self != nullptr ? "No other serial port was found. "
                             : "No serial port was found: plug in the adapter. ";
    } else {
      out += self != nullptr ? "Other serial ports: " : "Serial ports found: ";
      for (std::size_t i = 0; i < others.size() && i < listed; ++i) {
        if (i != 0) out += ", ";
        out += names ? Named(*others[i]) : ComName(others[i]->number);
      }
      if (listed < others.size()) out += " and " + std::to_string(others.size() - listed) + " more";
      out += ". ";
    }
    return out + how;
  };
  const std::size_t all = others.size();
  return Fit({text(true, all), text(true, 1), text(false, all), text(false, 3), text(false, 0)});
}
