#include "update/UpdateSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "testing/FakeTarn.h"
#include "update/Exceptions.h"
#include "update/FirmwareImage.h"
#include "update/RecordLines.h"

namespace {

using DeviceEvent = FakePlatform::DeviceEvent;

// The TARN device (the simulator's model) on the far end of the fake port,
// switched on at the break, with what the window showed when the break went
// on and when the first line left, and every line it was sent.
struct Device {
  FakeTarn tarn;
  tarnsim::Faults& faults = tarn.Options().faults;
  std::function<void(int line)> onLine;

  struct Window {
    bool start, exit, cancel, breakOn;
  };
  std::vector<std::string> lines;
  std::vector<std::int32_t> gaugeAtWrite;
  std::vector<std::size_t> unreadAtWrite;
  std::optional<Window> atBreakOn;
  std::optional<Window> atFirstLine;

  void NeverPowered() { tarn.Options().powerUp = tarnsim::PowerUp::Never; }

  void Attach(FakeHost& host) {
    host.SetDevice([this, &host](const DeviceEvent& event) {
      FakePlatform& port = host.Platform();
      const Window window{host.Enabled(HostButton::Start), host.Enabled(HostButton::Exit),
                          host.Enabled(HostButton::Cancel), port.BreakOn()};
      if (event.kind == DeviceEvent::BreakOn) atBreakOn = window;
      if (event.kind == DeviceEvent::Written) {
        if (lines.empty()) atFirstLine = window;
        unreadAtWrite.push_back(port.RxQueued());
        gaugeAtWrite.push_back(host.GaugeProgress());
        lines.push_back(event.data);
        if (onLine) onLine(static_cast<int>(lines.size()));
      }
      tarn.Take(port, event);
    });
  }
};

std::vector<std::uint8_t> BuiltInCopy() {
  const auto image = FirmwareImage();
  return {image.begin(), image.end()};
}

// The record lines a full run with `image` sends, in order.
std::vector<std::string> LinesFor(std::span<const std::uint8_t> image) {
  std::vector<std::string> lines = {std::string(kSecurityLine)};
  ImageWalker walker(image);
  for (int chip = kFirstChip; chip <= kLastChip; ++chip) {
    if ((walker.ChipMask() >> chip & 1) != 0) lines.push_back(EraseLine(chip));
  }
  while (const auto record = walker.Next()) {
    lines.push_back(FormDataLine(record->number, record->data, record->checksum).text);
  }
  lines.push_back(std::string(kEndLine));
  return lines;
}

// What happened to the window and the port, without the wait's own turns.
std::vector<std::string> Actions(const FakeHost& host) {
  std::vector<std::string> actions;
  for (const auto& entry : host.Log()) {
    if (entry == "pump" || entry == "idle" || entry.rfind("ticks:", 0) == 0 ||
        entry.rfind("write:", 0) == 0 || (entry.rfind("gauge=", 0) == 0 && entry != "gauge=0")) {
      continue;
    }
    actions.push_back(entry);
  }
  return actions;
}

std::vector<std::string> CleanUpTail(bool breakWasOn, bool portWasOpen) {
  std::vector<std::string> tail;
  if (breakWasOn) tail.push_back("break-off");
  if (portWasOpen) tail.push_back("closed");
  for (const char* entry :
       {"button:Cancel=1", "button:Exit=1", "button:Start=1", "gauge=0", "cancel-cleared"}) {
    tail.push_back(entry);
  }
  return tail;
}

void ExpectIdle(FakeHost& host) {
  EXPECT_TRUE(host.Enabled(HostButton::Start));
  EXPECT_TRUE(host.Enabled(HostButton::Exit));
  EXPECT_TRUE(host.Enabled(HostButton::Cancel));
  EXPECT_EQ(host.GaugeProgress(), 0);
  EXPECT_FALSE(host.CancelFlag());
  EXPECT_FALSE(host.Platform().IsOpen());
  EXPECT_FALSE(host.Platform().BreakOn());
  EXPECT_FALSE(host.Serial().Active());
}

// How a run ended: "" normally, "abort" for EAbort, else the failure text.
std::string Ending(FakeHost& host, std::span<const std::uint8_t> image) {
  try {
    RunUpdate(host, image);
  } catch (const ESerialException& failure) {
    return failure.what();
  } catch (const EAbort&) {
    return "abort";
  }
  return "";
}

TEST(UpdateSequence, FullRunSendsEveryLineInOrderEachAfterTheAcknowledge) {
  FakeHost host;
  Device device;
  device.Attach(host);
  host.SetPortIndex(2);
  RunUpdate(host);

  EXPECT_EQ(host.Entries("open:"), std::vector<std::string>{"COM3"});
  ASSERT_EQ(device.lines.size(), 1019u);
  EXPECT_EQ(device.lines, LinesFor(FirmwareImage()));
  EXPECT_EQ(host.Platform().Written().size(), 35u + 3 * 59u + 1014 * 139u + 11u);
  // No line leaves before the previous acknowledge has been read.
  EXPECT_TRUE(std::all_of(device.unreadAtWrite.begin(), device.unreadAtWrite.end(),
                          [](std::size_t unread) { return unread == 0; }));
  const std::vector<std::string> status = {"Connect TARN to Power !",     "TARN detected",
                                           "TARN accepted security code", "Flash erase -  Chip:  1",
                                           "Flash erase -  Chip:  2",     "Flash erase -  Chip:  3",
                                           "Update is running !!",        "Update succesful !!"};
  EXPECT_EQ(host.Status(), status);
  // The gauge counts the acknowledged blocks: full before the end line.
  EXPECT_EQ(device.gaugeAtWrite[4], 0);
  EXPECT_EQ(device.gaugeAtWrite[5], 1);
  EXPECT_EQ(device.gaugeAtWrite.back(), 1014);
  EXPECT_TRUE(host.Boxes().empty());
  ExpectIdle(host);
}

TEST(UpdateSequence, WindowStateFollowsThePhasesOfTheRun) {
  FakeHost host;
  Device device;
  device.Attach(host);
  RunUpdate(host);
  const std::vector<std::string> expectedStart = {
      "clear",         "open:COM1",       "button:Start=0",
      "button:Exit=0", "break-on",        "status:Connect TARN to Power !",
      "break-off",     "button:Cancel=0", "status:TARN detected"};
  const auto actions = Actions(host);
  ASSERT_GE(actions.size(), expectedStart.size());
  EXPECT_EQ(std::vector<std::string>(actions.begin(), actions.begin() + 9), expectedStart);
  // Awaiting power: Start and Exit off, Cancel on, break on.
  ASSERT_TRUE(device.atBreakOn.has_value());
  EXPECT_FALSE(device.atBreakOn->start);
  EXPECT_FALSE(device.atBreakOn->exit);
  EXPECT_TRUE(device.atBreakOn->cancel);
  // Talking to the device: all three off, break off.
  ASSERT_TRUE(device.atFirstLine.has_value());
  EXPECT_FALSE(device.atFirstLine->start);
  EXPECT_FALSE(device.atFirstLine->exit);
  EXPECT_FALSE(device.atFirstLine->cancel);
  EXPECT_FALSE(device.atFirstLine->breakOn);
}

TEST(UpdateSequence, EveryWayOutRunsTheCleanUpBeforeTheFailureLeaves) {
  struct Way {
    const char* name;
    std::function<void(FakeHost&, Device&, std::vector<std::uint8_t>&)> arrange;
    std::string ending;      // "" normal, "abort", or the failure text
    std::string lastStatus;  // "" for an empty status list
    std::size_t lines;
    bool breakWasOn;
    bool opened;
  };
  const auto none = [](FakeHost&, Device&, std::vector<std::uint8_t>&) {};
  const Way ways[] = {
      {"success", none, "", "Update succesful !!", 1019, false, true},
      {"seven stray bytes before the space",
       [](FakeHost&, Device& d, auto&) { d.faults.strayBytes = 7; }, "", "Update succesful !!",
       1019, false, true},
      {"port does not open",
       [](FakeHost& h, Device&, auto&) { h.Platform().SetDeviceExists("COM1", false); }, "", "", 0,
       false, false},
      {"no power within 100 s", [](FakeHost&, Device& d, auto&) { d.NeverPowered(); },
       "Hardware antwortet nicht !", "Connect TARN to Power !", 0, true, true},
      {"eight stray bytes", [](FakeHost&, Device& d, auto&) { d.faults.strayBytes = 8; },
       "E7 Hardware antwortet falsch !", "Connect TARN to Power !", 0, true, true},
      {"second space instead of Q",
       [](FakeHost&, Device& d, auto&) { d.faults.secondSpace = true; },
       "20 Hardware antwortet falsch !", "Connect TARN to Power !", 0, false, true},
      {"no Q", [](FakeHost&, Device& d, auto&) { d.faults.withholdQ = true; },
       "Hardware antwortet nicht !", "Connect TARN to Power !", 0, false, true},
      {"security line refused", [](FakeHost&, Device& d, auto&) { d.faults.wrongByteAtLine = 1; },
       "3F Hardware antwortet falsch !", "TARN detected", 1, false, true},
      {"silent after erasing chip 1",
       [](FakeHost&, Device& d, auto&) { d.faults.silentAfterLine = 2; },
       "Hardware antwortet nicht !", "Flash erase -  Chip:  2", 3, false, true},
      {"silent after block 100",
       [](FakeHost&, Device& d, auto&) { d.faults.silentAfterLine = 104; },
       "Hardware antwortet nicht !", "Update is running !!", 105, false, true},
      {"wrong byte for the end line",
       [](FakeHost&, Device& d, auto&) { d.faults.wrongByteAtLine = 1019; },
       "3F Hardware antwortet falsch !", "Update is running !!", 1019, false, true},
      {"cancel while awaiting power",
       [](FakeHost& h, Device& d, auto&) {
         d.NeverPowered();
         h.CancelAt(7);
       },
       "abort", "Connect TARN to Power !", 0, true, true},
      {"Esc during programming",
       [](FakeHost& h, Device& d, auto&) {
         d.onLine = [&h](int line) {
           if (line == 10) h.PressCancel();
         };
       },
       "abort", "Update is running !!", 10, false, true},
      {"corrupt record 500",
       [](FakeHost&, Device&, std::vector<std::uint8_t>& image) {
         image[1 + 67 * 500 + 2] ^= 0x10;
       },
       "", "Checksum Error in internal data !", 4 + 500, false, true},
      {"image without end marker",
       [](FakeHost&, Device&, std::vector<std::uint8_t>& image) { image.resize(1 + 67 * 10); }, "",
       "Checksum Error in internal data !", 4 + 10, false, true},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    FakeHost host;
    Device device;
    device.Attach(host);
    std::vector<std::uint8_t> image = BuiltInCopy();
    way.arrange(host, device, image);

    EXPECT_EQ(Ending(host, image), way.ending);
    EXPECT_EQ(host.Status().empty() ? "" : host.Status().back(), way.lastStatus);
    EXPECT_EQ(device.lines.size(), way.lines);
    const bool endLineSent = !device.lines.empty() && device.lines.back() == kEndLine;
    EXPECT_EQ(endLineSent, way.lines == 1019);
    if (way.lines > 4) {
      // The gauge showed every acknowledged block: data line j went out
      // with j blocks counted, the end line with all 1014.
      const auto shown = static_cast<std::int32_t>(way.lines == 1019 ? 1014 : way.lines - 5);
      EXPECT_EQ(device.gaugeAtWrite.back(), shown);
    }
    EXPECT_EQ(host.Boxes().size(), way.opened ? 0u : 1u);
    const auto actions = Actions(host);
    const auto tail = CleanUpTail(way.breakWasOn, way.opened);
    ASSERT_GE(actions.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(actions.end() - static_cast<std::ptrdiff_t>(tail.size()),
                                       actions.end()),
              tail);
    ExpectIdle(host);
  }
}

TEST(UpdateSequence, CancelWhileIdleEndsTheNextRunAtItsFirstWait) {
  FakeHost host;
  Device device;
  device.Attach(host);
  host.PressCancel();
  EXPECT_EQ(Ending(host, FirmwareImage()), "abort");
  EXPECT_EQ(host.Status(), std::vector<std::string>{"Connect TARN to Power !"});
  EXPECT_EQ(host.Pumps(), 1u);
  EXPECT_EQ(host.Platform().CountOf("ReadByte"), 0u) << "the space stays unread";
  EXPECT_TRUE(device.lines.empty());
  ExpectIdle(host);

  // The flag was cleared by the clean-up: the next Start runs through. The
  // fake port keeps received bytes across a close (a real one drops them),
  // so take the space and the "Q" sent on break release off it first.
  host.Serial().SetActive(true);
  std::uint8_t stale = 0;
  while (host.Serial().ReadByte(stale) == 1) {
  }
  host.Serial().SetActive(false);
  Device again;
  again.Attach(host);
  EXPECT_EQ(Ending(host, FirmwareImage()), "");
  EXPECT_EQ(again.lines.size(), 1019u);
}

TEST(UpdateSequence, RunThatCannotOpenThePortClearsAPendingCancel) {
  FakeHost host;
  host.Platform().SetDeviceExists("COM1", false);
  host.PressCancel();
  EXPECT_EQ(Ending(host, FirmwareImage()), "");
  EXPECT_FALSE(host.CancelFlag());
  EXPECT_TRUE(host.Status().empty());
  EXPECT_EQ(host.Boxes().size(), 1u);
}

TEST(UpdateSequence, AdapterThatRefusesTheBreakEndsTheRunWithItsBoxAndNoPowerWait) {
  FakeHost host;
  host.Platform().SetReportsRefusedBreak(true);
  host.Platform().FailAlways("SetCommBreak", 1);
  host.Platform().SetErrorText(1, "no break here");
  Device device;
  device.Attach(host);
  EXPECT_EQ(Ending(host, FirmwareImage()), "");
  EXPECT_TRUE(host.Status().empty());
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_NE(host.Boxes()[0].find("no break here"), std::string::npos);
  EXPECT_TRUE(device.lines.empty());
  ExpectIdle(host);
  // Once the adapter sends the break, the next Start runs the update.
  host.Platform().ClearFailures();
  EXPECT_EQ(Ending(host, FirmwareImage()), "");
  EXPECT_EQ(device.lines.size(), 1019u);
}

TEST(UpdateSequence, ChipMaskSelectsTheErasedChipsInOrder) {
  struct Case {
    std::uint8_t mask;
    std::vector<int> chips;
  };
  const Case cases[] = {{0x0E, {1, 2, 3}}, {0x01, {}},    {0x00, {}}, {0xFF, {1, 2, 3, 4, 5, 6, 7}},
                        {0x80, {7}},       {0x22, {1, 5}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mask));
    // Mask, one record of the built-in image, end marker.
    std::vector<std::uint8_t> image(FirmwareImage().begin(), FirmwareImage().begin() + 1 + 67);
    image[0] = c.mask;
    image.push_back(0xFF);
    image.push_back(0xFF);

    FakeHost host;
    Device device;
    device.Attach(host);
    EXPECT_EQ(Ending(host, image), "");
    std::vector<std::string> expectedLines = {std::string(kSecurityLine)};
    std::vector<std::string> erases;
    for (const int chip : c.chips) {
      expectedLines.push_back(EraseLine(chip));
      erases.push_back("Flash erase -  Chip:  " + std::to_string(chip));
    }
    expectedLines.push_back(
        FormDataLine(0, std::span<const std::uint8_t, 64>(image.data() + 3, 64), image[67]).text);
    expectedLines.push_back(std::string(kEndLine));
    EXPECT_EQ(device.lines, expectedLines);
    std::vector<std::string> statusErases;
    for (const auto& line : host.Status()) {
      if (line.rfind("Flash erase", 0) == 0) statusErases.push_back(line);
    }
    EXPECT_EQ(statusErases, erases);
  }
}

TEST(UpdateSequence, ImageOfMaskAndEndMarkerGoesStraightToTheEndLine) {
  const std::vector<std::uint8_t> image = {0x0E, 0xFF, 0xFF};
  FakeHost host;
  Device device;
  device.Attach(host);
  EXPECT_EQ(Ending(host, image), "");
  ASSERT_EQ(device.lines.size(), 5u);
  EXPECT_EQ(device.lines.back(), kEndLine);
  EXPECT_EQ(host.Status().back(), "Update succesful !!");
  EXPECT_EQ(host.Status()[host.Status().size() - 2], "Update is running !!");
}

}  // namespace
