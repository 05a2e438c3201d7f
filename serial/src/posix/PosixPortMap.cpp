#include "serial/posix/PosixPortMap.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

namespace fs = std::filesystem;

namespace {

// `name` is `prefix` followed by a decimal number, stored in `number`.
bool NumberedName(std::string_view name, std::string_view prefix, unsigned& number) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = name.substr(prefix.size());
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return ec == std::errc() && end == digits.data() + digits.size();
}

std::string Canonical(const fs::path& path) {
  std::error_code ec;
  const fs::path resolved = fs::canonical(path, ec);
  return ec ? std::string() : resolved.string();
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec) && !ec;
}

// The names in `dir`, sorted; none when it cannot be read.
std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The port type the UART driver reports for `node` (0: unknown, no UART);
// -1 when it reports none.
long UartType(const PortMapRoots& roots, const std::string& node) {
  std::ifstream in(roots.sys / "class" / "tty" / node / "type");
  long type = -1;
  if (!(in >> type)) return -1;
  return type;
}

fs::path ByIdDir(const PortMapRoots& roots) {
  return roots.dev / "serial" / "by-id";
}

// Device (canonical path) → its by-id name; the first name in order when a
// device has several.
std::map<std::string, std::string> ByIdNames(const PortMapRoots& roots) {
  std::map<std::string, std::string> names;
  const fs::path dir = ByIdDir(roots);
  for (const std::string& name : Names(dir)) {
    const std::string device = Canonical(dir / name);
    if (!device.empty()) names.emplace(device, name);
  }
  return names;
}

struct Found {
  PortTarget target;
  std::string device;  // canonical path
};

// Where the user's link `entry` leads.
Found FollowLink(const fs::path& entry, const std::map<std::string, std::string>& byId) {
  Found found;
  found.target.via = "link";
  found.target.link = entry.string();
  found.device = Canonical(entry);
  if (!found.device.empty()) {
    found.target.path = found.device;
    if (const auto it = byId.find(found.device); it != byId.end()) found.target.byId = it->second;
    return found;
  }
  // Nothing behind it: name what the link points at, the way it says it.
  std::error_code ec;
  fs::path to = fs::read_symlink(entry, ec);
  if (ec) {
    found.target.path = entry.string();
    return found;
  }
  if (to.is_relative()) to = entry.parent_path() / to;
  to = to.lexically_normal();
  found.target.path = to.string();
  if (to.parent_path().filename() == "by-id") found.target.byId = to.filename().string();
  return found;
}

// COMn → link target, for every COMn entry of the ports directory.
std::map<unsigned, Found> Links(const PortMapRoots& roots,
                                const std::map<std::string, std::string>& byId) {
  std::map<unsigned, Found> links;
  if (roots.portsDir.empty()) return links;
  for (const std::string& name : Names(roots.portsDir)) {
    unsigned number = 0;
    if (NumberedName(name, "COM", number) && number >= 1 &&
        name == "COM" + std::to_string(number)) {
      links.emplace(number, FollowLink(roots.portsDir / name, byId));
    }
  }
  return links;
}

// The serial ports that exist, in numbering order (see the header).
std::vector<Found> Discover(const PortMapRoots& roots,
                            const std::map<std::string, std::string>& byId) {
  std::vector<std::pair<unsigned, Found>> uarts;
  std::vector<std::pair<std::string, Found>> named;
  std::vector<std::tuple<std::string, unsigned, Found>> unnamed;
  std::set<std::string> seen;

  for (const std::string& name : Names(roots.dev)) {
    unsigned number = 0;
    const fs::path node = roots.dev / name;
    if (NumberedName(name, "ttyS", number)) {
      if (UartType(roots, name) > 0) {
        const std::string device = Canonical(node);
        if (device.empty() || !seen.insert(device).second) continue;
        uarts.push_back({number, {{node.string(), {}, "uart", {}}, device}});
      }
      continue;
    }
    for (std::string_view prefix : {"ttyACM", "ttyUSB"}) {
      if (!NumberedName(name, prefix, number)) continue;
      const std::string device = Canonical(node);
      if (device.empty() || !seen.insert(device).second) break;
      if (const auto it = byId.find(device); it != byId.end()) {
        named.push_back({it->second, {{node.string(), it->second, "usb", {}}, device}});
      } else {
        unnamed.emplace_back(std::string(prefix), number,
                             Found{{node.string(), {}, "usb", {}}, device});
      }
      break;
    }
  }
  // Adapters of other drivers that have a by-id name, kept under their node
  // in dev when it is there.
  for (const auto& [device, name] : byId) {
    if (seen.count(device) != 0) continue;
    const fs::path node = roots.dev / fs::path(device).filename();
    unsigned number = 0;
    if (NumberedName(node.filename().string(), "ttyS", number)) continue;
    const std::string shown = Canonical(node) == device ? node.string() : device;
    seen.insert(device);
    named.push_back({name, {{shown, name, "usb", {}}, device}});
  }

  std::sort(uarts.begin(), uarts.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(unnamed.begin(), unnamed.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });

  std::vector<Found> ports;
  for (auto& entry : uarts) ports.push_back(std::move(entry.second));
  for (auto& entry : named) ports.push_back(std::move(entry.second));
  for (auto& entry : unnamed) ports.push_back(std::move(std::get<2>(entry)));
  return ports;
}

std::string ComName(unsigned number) {
  return "COM" + std::to_string(number);
}

// The error box shows at most 255 characters of a text.
constexpr std::size_t kMaxBoxText = 255;

// The first text that fits the error box, else the last.
std::string Fit(std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) {
    if (text.size() <= kMaxBoxText) return text;
  }
  return *(texts.end() - 1);
}

// A path as the operator types it: the home folder as "~".
std::string Shown(const fs::path& path) {
  std::string text = path.string();
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
    std::string prefix = home;
    if (prefix.back() != '/') prefix += '/';
    if (text.rfind(prefix, 0) == 0) text = "~/" + text.substr(prefix.size());
  }
  return text;
}

}  // namespace

PortMapRoots DefaultPortMapRoots() {
  PortMapRoots roots;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != 0) {
    roots.portsDir = std::filesystem::path(config) / "tarnup" / "ports";
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
    roots.portsDir = std::filesystem::path(home) / ".config" / "tarnup" / "ports";
  }
  return roots;
}

std::vector<PortTarget> MapComPorts(unsigned count, const PortMapRoots& roots) {
  const std::map<std::string, std::string> byId = ByIdNames(roots);
  const std::map<unsigned, Found> links = Links(roots, byId);
  std::set<std::string> linked;
  for (const auto& [number, found] : links) {
    if (!found.device.empty()) linked.insert(found.device);
  }

  std::vector<PortTarget> map(count);
  const std::vector<Found> ports = Discover(roots, byId);
  auto next = ports.begin();
  for (unsigned number = 1; number <= count; ++number) {
    if (const auto it = links.find(number); it != links.end()) {
      map[number - 1] = it->second.target;
      continue;
    }
    while (next != ports.end() && linked.count(next->device) != 0) ++next;
    if (next == ports.end()) continue;
    map[number - 1] = next->target;
    ++next;
  }
  return map;
}

PortTarget LookUpComPort(unsigned number, const PortMapRoots& roots) {
  if (number == 0) return {};
  return MapComPorts(number, roots).back();
}

std::string DescribeComPort(unsigned number, const PortTarget& target, const PortMapRoots& roots) {
  if (target.path.empty()) {
    std::string text = "No device: plug in a serial adapter";
    if (!roots.portsDir.empty())
      text += ", or link one as " + (roots.portsDir / ComName(number)).string();
    return text;
  }
  if (target.via == "link" && !Exists(target.path)) {
    return "Nothing at " + target.path + " (linked as " + target.link +
           "): the adapter may be unplugged";
  }
  std::string text = target.path;
  if (target.via == "uart") text += ", serial port of this computer";
  if (!target.byId.empty()) {
    text += ", USB adapter " + target.byId;
  } else if (target.via == "usb") {
    text += ", USB adapter";
  }
  if (target.via == "link") text += " (linked as " + target.link + ")";
  return text;
}

std::vector<std::string> ComPortTooltips(unsigned count, const PortMapRoots& roots) {
  const std::vector<PortTarget> map = MapComPorts(count, roots);
  std::vector<std::string> tips;
  tips.reserve(map.size());
  for (unsigned number = 1; number <= count; ++number) {
    tips.push_back(DescribeComPort(number, map[number - 1], roots));
  }
  return tips;
}

std::string MissingPortText(unsigned number, const PortMapRoots& roots) {
  if (number == 0) return "There is no COM0: ports are numbered from COM1";
  const std::string com = ComName(number);
  const std::vector<PortTarget> map = MapComPorts(number, roots);
  const PortTarget& target = map.back();

  if (!target.path.empty() && target.via != "link") {
    std::string name = target.path;
    if (!target.byId.empty()) name += " (" + target.byId + ")";
    return Fit({com + " was " + name +
                    ", which is not there any more: the adapter may have been unplugged. Plug it "
                    "in and press Start again",
                com + " was " + target.path +
                    ", which is not there any more: the adapter may have been unplugged"});
  }

  // The shell command that links an adapter as COMn, with or without making
  // the ports directory first (only offered when it is missing).
  const std::string dir = Shown(roots.portsDir);
  const std::string link = roots.portsDir.empty() ? std::string() : dir + "/" + com;
  const auto command = [&](bool withMkdir) {
    if (link.empty()) return std::string();
    std::string text;
    if (withMkdir && !Exists(roots.portsDir)) text = "mkdir -p " + dir + " && ";
    return text + "ln -sf " + Shown(ByIdDir(roots)) + "/ADAPTER " + link;
  };

  if (target.via == "link") {
    const std::string where = Shown(target.path);
    const auto text = [&](bool detail, bool withMkdir) {
      std::string out = detail ? com + " is linked to " + where + " by " + Shown(target.link) +
                                     ", but " + where + " is not there"
                               : com + " leads to " + where + ", which is not there";
      return out +
             ": the adapter may be unplugged. Plug it in or link another: " + command(withMkdir);
    };
    return Fit({text(true, true), text(false, true), text(false, false)});
  }

  std::vector<std::string> found;
  for (unsigned other = 1; other < number; ++other) {
    const PortTarget& port = map[other - 1];
    if (port.via == "uart" || port.via == "usb") {
      found.push_back(ComName(other) + " (" + port.path + ")");
    }
  }
  // From the most to the least detailed: the ports found, the link that was
  // looked for (the command names it too), making the ports directory.
  const auto text = [&](bool detail, bool withMkdir, bool mentionLink) {
    std::string out = "There is no " + com + ": ";
    if (!link.empty() && mentionLink) out += "no link " + link + ", and ";
    if (found.empty()) {
      out += "no serial port was found";
      if (detail) {
        out += " (no UART reported in " + (roots.sys / "class" / "tty").string() +
               ", no USB adapter in " + roots.dev.string() + ")";
      }
    } else if (detail) {
      out += "the serial ports found are ";
      for (std::size_t i = 0; i < found.size(); ++i) out += (i == 0 ? "" : ", ") + found[i];
    } else {
      out += "only " + std::to_string(found.size()) + " serial port" +
             (found.size() == 1 ? " was" : "s were") + " found";
    }
    out += ". To use an adapter as " + com + ", plug it in";
    if (!link.empty()) out += " or link it: " + command(withMkdir);
    return out;
  };
  return Fit({text(true, true, true), text(false, true, true), text(false, true, false),
              text(false, false, false)});
}
