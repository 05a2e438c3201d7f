// Where COMn leads, over device trees laid out in a temporary folder: links,
// UARTs that report a port type, USB adapters with and without by-id names.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "serial/posix/PosixPortMap.h"

namespace {

namespace fs = std::filesystem;

// dev/, sys/class/tty/ and a ports directory under a temporary folder.
class DeviceTree {
 public:
  DeviceTree() {
    std::string pattern = (fs::temp_directory_path() / "tarnup-map-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) root_ = fs::canonical(pattern);
    roots.dev = root_ / "dev";
    roots.sys = root_ / "sys";
    roots.portsDir = root_ / "ports";
    fs::create_directories(roots.dev / "serial" / "by-id");
    fs::create_directories(roots.portsDir);
  }
  ~DeviceTree() {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // A device node (a plain file stands in for it).
  void Node(const std::string& name) const { std::ofstream(roots.dev / name).put('\0'); }
  // A ttyS node whose driver reports `type` (0: no UART behind it).
  void Uart(const std::string& name, int type) const {
    Node(name);
    fs::create_directories(roots.sys / "class" / "tty" / name);
    std::ofstream(roots.sys / "class" / "tty" / name / "type") << type << '\n';
  }
  // An adapter node with its by-id link, relative as udev makes it.
  void Adapter(const std::string& name, const std::string& byId = {}) const {
    Node(name);
    if (!byId.empty()) fs::create_symlink("../../" + name, roots.dev / "serial" / "by-id" / byId);
  }
  void Link(unsigned number, const fs::path& to) const {
    fs::create_symlink(to, roots.portsDir / ("COM" + std::to_string(number)));
  }
  [[nodiscard]] std::string Dev(const std::string& name) const {
    return (roots.dev / name).string();
  }
  [[nodiscard]] fs::path ById(const std::string& name) const {
    return roots.dev / "serial" / "by-id" / name;
  }

  PortMapRoots roots;

 private:
  fs::path root_;
};

// "via path [byId]" with the tree's root cut off, "-" for nothing.
std::string Show(const PortTarget& target, const DeviceTree& tree) {
  if (target.path.empty()) return "-";
  std::string path = target.path;
  const std::string dev = tree.roots.dev.string();
  if (path.rfind(dev, 0) == 0) path = "dev" + path.substr(dev.size());
  std::string shown = target.via + " " + path;
  if (!target.byId.empty()) shown += " [" + target.byId + "]";
  return shown;
}

}  // namespace

TEST(PortMap, NumbersLinksThenUartsThenAdaptersByTheirStableNames) {
  const struct {
    const char* what;
    std::function<void(const DeviceTree&)> layout;
    std::vector<std::string> expected;  // COM1 to COM5
  } cases[] = {
      {"nothing there", [](const DeviceTree&) {}, {"-", "-", "-", "-", "-"}},
      {"ttyS nodes without a UART, or without a type, are no ports",
       [](const DeviceTree& t) {
         t.Uart("ttyS0", 0);
         t.Uart("ttyS1", 0);
         t.Node("ttyS3");
         t.Uart("ttyS2", 4);
         // A reported type without a node under dev is no port either.
         fs::create_directories(t.roots.sys / "class" / "tty" / "ttyS7");
         std::ofstream(t.roots.sys / "class" / "tty" / "ttyS7" / "type") << "4\n";
       },
       {"uart dev/ttyS2", "-", "-", "-", "-"}},
      {"UARTs in numeric order, not name order",
       [](const DeviceTree& t) {
         t.Uart("ttyS10", 4);
         t.Uart("ttyS2", 4);
       },
       {"uart dev/ttyS2", "uart dev/ttyS10", "-", "-", "-"}},
      {"UARTs first, then adapters by by-id name, then the unnamed ones by device name",
       [](const DeviceTree& t) {
         t.Adapter("ttyUSB10");
         t.Adapter("ttyUSB2");
         t.Adapter("ttyACM0");
         t.Adapter("ttyUSB0", "usb-Zeta_Serial-if00-port0");
         t.Adapter("ttyACM1", "usb-Alpha_Modem-if00");
         t.Uart("ttyS1", 4);
       },
       {"uart dev/ttyS1", "usb dev/ttyACM1 [usb-Alpha_Modem-if00]",
        "usb dev/ttyUSB0 [usb-Zeta_Serial-if00-port0]", "usb dev/ttyACM0", "usb dev/ttyUSB2"}},
      {"a link takes its number and its device is not counted again",
       [](const DeviceTree& t) {
         t.Uart("ttyS0", 4);
         t.Adapter("ttyUSB0", "usb-A");
         t.Adapter("ttyUSB1", "usb-B");
         t.Link(2, t.ById("usb-B"));
       },
       {"uart dev/ttyS0", "link dev/ttyUSB1 [usb-B]", "usb dev/ttyUSB0 [usb-A]", "-", "-"}},
      {"a link to a missing adapter still holds its number",
       [](const DeviceTree& t) {
         t.Uart("ttyS0", 4);
         t.Link(1, t.ById("usb-Gone"));
       },
       {"link dev/serial/by-id/usb-Gone [usb-Gone]", "uart dev/ttyS0", "-", "-", "-"}},
      {"a relative link to a node that is no serial port",
       [](const DeviceTree& t) {
         t.Node("pts-7");
         t.Link(3, "../dev/pts-7");
         t.Node("tty0");
         t.Node("ttyUSB");
         t.Node("ttyUSBx1");
       },
       {"-", "-", "link dev/pts-7", "-", "-"}},
  };
  for (const auto& c : cases) {
    const DeviceTree tree;
    c.layout(tree);
    std::vector<std::string> shown;
    for (const PortTarget& target : MapComPorts(5, tree.roots)) shown.push_back(Show(target, tree));
    EXPECT_EQ(shown, c.expected) << c.what;
    for (unsigned n = 1; n <= 5; ++n) {
      EXPECT_EQ(Show(LookUpComPort(n, tree.roots), tree), c.expected[n - 1])
          << c.what << " COM" << n;
    }
  }
  EXPECT_EQ(LookUpComPort(0, DeviceTree().roots).path, "");
}

TEST(PortMap, AnAdapterPluggedInLaterIsFoundAndAnUnpluggedOneIsGone) {
  const DeviceTree tree;
  EXPECT_EQ(LookUpComPort(1, tree.roots).path, "");
  tree.Adapter("ttyUSB0", "usb-FTDI_A");
  EXPECT_EQ(LookUpComPort(1, tree.roots).path, tree.Dev("ttyUSB0"));
  fs::remove(tree.roots.dev / "ttyUSB0");
  EXPECT_EQ(LookUpComPort(1, tree.roots).path, "");
}

TEST(PortMap, TooltipsAndTheMissingPortTextSayWhatIsThereAndHowToLinkAnAdapter) {
  const DeviceTree tree;
  tree.Uart("ttyS0", 4);
  tree.Adapter("ttyUSB0", "usb-FTDI_FT232R_A5");
  tree.Link(4, tree.ById("usb-Unplugged"));
  const std::string ports = tree.roots.portsDir.string();
  const std::string byId = (tree.roots.dev / "serial" / "by-id").string();
  // The box text writes the home folder as "~"; here the tree is the home.
  const std::string home = tree.roots.portsDir.parent_path().string();
  const char* realHome = std::getenv("HOME");
  const std::string savedHome = realHome != nullptr ? realHome : "";
  ::setenv("HOME", home.c_str(), 1);

  const std::vector<std::string> tips = ComPortTooltips(4, tree.roots);
  ASSERT_EQ(tips.size(), 4u);
  EXPECT_EQ(tips[0], tree.Dev("ttyS0") + ", serial port of this computer");
  EXPECT_EQ(tips[1], tree.Dev("ttyUSB0") + ", USB adapter usb-FTDI_FT232R_A5");
  EXPECT_EQ(tips[2], "No device: plug in a serial adapter, or link one as " + ports + "/COM3");
  EXPECT_EQ(tips[3], "Nothing at " + byId + "/usb-Unplugged (linked as " + ports +
                         "/COM4): the adapter may be unplugged");

  const struct {
    unsigned number;
    std::vector<std::string> parts;
  } texts[] = {
      {3,
       {"There is no COM3: no link ~/ports/COM3, and the serial ports found are COM1 (" +
            tree.Dev("ttyS0") + "), COM2 (" + tree.Dev("ttyUSB0") + ")",
        ". To use an adapter as COM3, plug it in or link it: ln -sf ~/dev/serial/by-id/ADAPTER "
        "~/ports/COM3"}},
      {4,
       {"COM4 is linked to ~/dev/serial/by-id/usb-Unplugged by ~/ports/COM4",
        "the adapter may be unplugged", "ln -sf ~/dev/serial/by-id/ADAPTER ~/ports/COM4"}},
  };
  for (const auto& t : texts) {
    const std::string text = MissingPortText(t.number, tree.roots);
    for (const std::string& part : t.parts) {
      EXPECT_NE(text.find(part), std::string::npos) << text << "\n  lacks: " << part;
    }
  }
  // A ports directory still to be made is made by the command; long paths
  // give up details, so the text fits the error box and keeps the command.
  PortMapRoots deep = tree.roots;
  deep.portsDir = tree.roots.portsDir / "new" / "tarnup" / "ports";
  EXPECT_NE(MissingPortText(3, deep).find("mkdir -p ~/ports/new/tarnup/ports && ln -sf "),
            std::string::npos)
      << MissingPortText(3, deep);
  ::setenv("HOME", savedHome.c_str(), 1);
  deep.portsDir = tree.roots.portsDir / std::string(40, 'd') / ".config" / "tarnup" / "ports";
  for (unsigned number : {3u, 4u}) {
    const std::string text = MissingPortText(number, deep);
    EXPECT_LE(text.size(), 255u) << text;
    EXPECT_NE(text.find("ln -sf "), std::string::npos) << text;
  }
  PortMapRoots bare = tree.roots;
  bare.portsDir.clear();
  bare.dev = tree.roots.dev / "none";
  EXPECT_EQ(MissingPortText(1, bare),
            "There is no COM1: no serial port was found (no UART reported in " +
                (bare.sys / "class" / "tty").string() + ", no USB adapter in " + bare.dev.string() +
                "). To use an adapter as COM1, plug it in");
}
