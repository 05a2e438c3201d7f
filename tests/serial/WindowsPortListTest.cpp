// The Windows port list and its texts, over the entries a system reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/WindowsPortList.h"

namespace {

TEST(WindowsPortList, MergesBothSourcesByNumber) {
  // Ports-class devices carry the friendly names; the registry's map also
  // has ports without such an entry, and names in any letter case. Names
  // that are no COM port are left out.
  const std::vector<PortDeviceEntry> devices = {
      {"COM12", "USB-SERIAL CH340 (COM12)"},
      {"COM5", "USB Serial Port (COM5)"},
      {"LPT1", "Printer Port (LPT1)"},
  };
  const std::vector<SerialCommEntry> map = {
      {"\\Device\\VCP0", "COM5"},
      {"\\Device\\Serial0", "com1"},
      {"\\Device\\Weird", "COM05"},
  };
  const std::vector<WindowsPort> expected = {
      {1, "", "\\Device\\Serial0"},
      {5, "USB Serial Port (COM5)", "\\Device\\VCP0"},
      {12, "USB-SERIAL CH340 (COM12)", ""},
  };
  EXPECT_EQ(MergeWindowsPorts(devices, map), expected);
}

TEST(WindowsPortList, ComNumbers) {
  const struct {
    const char* name;
    unsigned number;
  } cases[] = {{"COM1", 1},  {"com7", 7},  {"COM256", 256}, {"COM0", 0},   {"COM", 0},
               {"COM01", 0}, {"COM1x", 0}, {"LPT1", 0},     {"COM1234", 0}};
  for (const auto& c : cases) EXPECT_EQ(ComNumber(c.name), c.number) << c.name;
}

TEST(WindowsPortList, TooltipNamesWhatIsThere) {
  const std::vector<WindowsPort> ports = {
      {1, "", "\\Device\\Serial0"}, {2, "", ""}, {5, "USB Serial Port (COM5)", "\\Device\\VCP0"}};
  EXPECT_EQ(DescribeWindowsComPort(5, ports), "USB Serial Port (COM5)");
  EXPECT_EQ(DescribeWindowsComPort(1, ports), "Serial port \\Device\\Serial0");
  EXPECT_EQ(DescribeWindowsComPort(2, ports), "Serial port COM2");
  EXPECT_EQ(DescribeWindowsComPort(3, ports), "No serial port COM3 on this computer");
}

TEST(WindowsPortList, MissingPortTextListsPortsAndSaysHowToRenumber) {
  const std::string how =
      "To give one a number from 1 to 4: Device Manager > Ports (COM & LPT) > adapter > "
      "Properties > Port Settings > Advanced > COM Port Number (as administrator)";
  const std::vector<WindowsPort> one = {{5, "USB Serial Port (COM5)", "\\Device\\VCP0"}};
  EXPECT_EQ(
      MissingWindowsPortText(1, one),
      "There is no COM1 on this computer. Serial ports found: COM5 (USB Serial Port). " + how);
  EXPECT_EQ(MissingWindowsPortText(2, {}),
            "There is no COM2 on this computer. No serial port was found: plug in the "
            "adapter. " +
                how);

  // A port the system lists but that does not work: the box says so, with
  // the system's reason, and offers the others.
  const std::vector<WindowsPort> two = {{1, "COM Port (COM1)", "\\Device\\Serial0"},
                                        {5, "USB Serial Port (COM5)", "\\Device\\VCP0"}};
  EXPECT_EQ(MissingWindowsPortText(1, two, "Ungültige Funktion"),
            "COM1 (COM Port) cannot be used: Ungültige Funktion. Other serial ports: "
            "COM5 (USB Serial Port). " +
                how);

  // Many ports with long names (umlauts included): details go first, the
  // text always fits the box and never ends inside a character.
  std::vector<WindowsPort> many;
  for (unsigned n = 5; n < 30; ++n) {
    many.push_back(
        {n, "Serielles USB-Gerät mit sehr langem Namen (COM" + std::to_string(n) + ")", ""});
  }
  for (const auto* ports : {&one, static_cast<const std::vector<WindowsPort>*>(&many)}) {
    const std::string text = MissingWindowsPortText(3, *ports);
    EXPECT_LE(text.size(), 255U) << text;
    EXPECT_NE(text.find("COM3"), std::string::npos) << text;
    EXPECT_NE(text.find("COM5"), std::string::npos) << text;
    EXPECT_NE(text.find("COM Port Number"), std::string::npos) << text;
  }
}

}  // namespace
