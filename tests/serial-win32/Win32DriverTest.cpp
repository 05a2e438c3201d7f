// The Win32 platform, and the component over it, against what Windows
// drivers do, played by ScriptedDriver behind the platform's system calls:
// pulled adapters and their codes, settings a driver rewrites, refused
// calls, and drivers that never complete a cancelled transfer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "serial/TSerial.h"
#include "serial/win32/Win32Comm.h"
#include "testing/ManualOwner.h"
#include "testing/ScriptedDriver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 10s;  // only stops a broken test from hanging
const std::string kGone =
    "COM1 is gone: the adapter may have been unplugged, or the line has hung up";

class Driven : public ::testing::Test {
 protected:
  void OpenSerial() {
    serial = std::make_unique<TSerial>(owner, platform);
    serial->SetBaudrate(38400);
    serial->SetDataBits(d8bit);
    serial->SetStopBits(st2bit);
    serial->SetCheckParity(false);
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active());
  }

  // The update's way of waiting: reads between pumps of the owner.
  void Poll(int turns) {
    std::uint8_t byte = 0;
    for (int i = 0; i < turns; ++i) {
      serial->ReadByte(byte);
      owner.PumpFor(2ms);
    }
  }

  std::string ReadAll(std::size_t count) {
    std::string text;
    std::uint8_t byte = 0;
    owner.PumpUntil(
        [&] {
          while (text.size() < count && serial->ReadByte(byte) == 1) {
            text.push_back(static_cast<char>(byte));
          }
          return text.size() == count;
        },
        kPatience);
    return text;
  }

  std::shared_ptr<ScriptedDriver> driver = std::make_shared<ScriptedDriver>();
  std::shared_ptr<ISerialPlatform> platform = MakeWin32Platform(driver);
  ManualSerialOwner owner;
  std::unique_ptr<TSerial> serial;
};

struct UnplugCase {
  const char* driver;
  DWORD readFile;    // ReadFile refused with this code
  DWORD writeFile;   // WriteFile refused with this code
  DWORD completion;  // pending and later transfers and waits end with it
  DWORD later;       // what every call fails with after the first write
};

// The codes Windows drivers report once the adapter has been pulled with
// the port open. Whatever the codes and however they change, the operator
// reads one plain text, at most once for each kind of call (read, write,
// event wait), and the re-plugged adapter works at the next opening.
TEST_F(Driven, PulledAdapterIsOneVanishedDeviceWhateverTheCodes) {
  const UnplugCase cases[] = {
      {"FTDI: new and pending transfers end with 995", 995, 995, 995, 995},
      {"Prolific: 22", 22, 22, 22, 22},
      {"WCH CH340, Microsoft CDC: 5", 5, 5, 5, 5},
      {"device removed 1617", 1617, 1617, 1617, 1617},
      {"general failure 31", 31, 31, 31, 31},
      {"2 from GetOverlappedResult", 0, 0, 2, 2},
      {"device not connected 1167", 1167, 1167, 1167, 1167},
      {"Wine, hung-up line: 109", 109, 109, 109, 109},
      {"codes that change after the pull", 995, 22, 31, 1167},
  };
  for (const UnplugCase& c : cases) {
    SCOPED_TRACE(c.driver);
    driver = std::make_shared<ScriptedDriver>();
    platform = MakeWin32Platform(driver);
    owner.ClearBoxes();
    OpenSerial();
    Poll(5);
    ASSERT_TRUE(owner.Boxes().empty());

    const auto pull = [&](DWORD read, DWORD write, DWORD completion) {
      driver->Fail("ReadFile", read);
      driver->Fail("WriteFile", write);
      driver->Fail("Completion", completion);
      // The port's other calls fail too (the close's among them).
      for (const char* call : {"ClearCommError", "PurgeComm", "SetCommMask", "GetCommState"}) {
        driver->Fail(call, read);
      }
    };
    pull(c.readFile, c.writeFile, c.completion);
    Poll(40);
    serial->WriteString(":10000000");
    pull(c.later, c.later, c.later);
    Poll(40);
    serial->WriteString(":10004000");
    Poll(10);
    serial->SetActive(false);

    const std::vector<std::string> boxes = owner.Boxes();
    std::printf("%-48s %zu boxes, ErrorCode %d\n", c.driver, boxes.size(), serial->ErrorCode());
    EXPECT_GE(boxes.size(), 1U);
    EXPECT_LE(boxes.size(), 3U);
    for (const std::string& box : boxes) EXPECT_EQ(box, kGone);
    // The code the device went with, whichever call met it first.
    const auto code = static_cast<DWORD>(serial->ErrorCode());
    EXPECT_TRUE(code == c.readFile || code == c.writeFile || code == c.completion) << code;
    EXPECT_FALSE(serial->Active());

    // Plugged in again: the next opening works and reports nothing.
    driver->Heal();
    owner.ClearBoxes();
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active());
    driver->Receive("Q");
    EXPECT_EQ(ReadAll(1), "Q");
    EXPECT_TRUE(owner.Boxes().empty());
    serial.reset();
  }
}

struct ReadBackCase {
  const char* driver;
  void (*rewrite)(DCB&);
  bool accepted;
};

// What drivers make of the record, read back after SetCommState: only
// another frame or another speed (more than 2 % off) refuses the port.
TEST_F(Driven, SettingsReadBackRefusesOnlyAnotherLine) {
  const ReadBackCase cases[] = {
      {"baud rate rounded by the divisor", [](DCB& d) { d.BaudRate = 38461; }, true},
      {"baud rate 1.9 % low", [](DCB& d) { d.BaudRate = 37670; }, true},
      {"baud rate 2.1 % low", [](DCB& d) { d.BaudRate = 37590; }, false},
      {"another speed", [](DCB& d) { d.BaudRate = 9600; }, false},
      {"baud rate not reported (0)", [](DCB& d) { d.BaudRate = 0; }, true},
      {"fParity 0, limits and EofChar rewritten",
       [](DCB& d) {
         d.fParity = 0;
         d.XonLim = 2048;
         d.XoffLim = 512;
         d.EofChar = 0x1A;
       },
       true},
      {"7 data bits", [](DCB& d) { d.ByteSize = 7; }, false},
      {"even parity", [](DCB& d) { d.Parity = EVENPARITY; }, false},
      {"one stop bit", [](DCB& d) { d.StopBits = ONESTOPBIT; }, false},
  };
  const OpenResult opened = platform->Open("COM1");
  ASSERT_EQ(opened.error, 0);
  comm::DCB wanted;
  wanted.DCBlength = 28;
  wanted.BaudRate = 38400;
  wanted.Flags = kDcbBinary | kDcbParity;
  wanted.XonLim = wanted.XoffLim = 341;
  wanted.ByteSize = 8;
  wanted.StopBits = 2;
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(c.driver);
    driver->RewriteSettings(c.rewrite);
    EXPECT_EQ(platform->SetCommState(opened.handle, wanted),
              c.accepted ? 0 : ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(platform->Close(opened.handle), 0);
}

struct StuckCase {
  const char* stuck;
  void (*script)(ScriptedDriver&);
  void (*action)(TSerial&);
};

// A driver that never completes a cancelled transfer or wait: the close
// still returns within its bound, and the records the driver holds stay
// alive until it completes them, long after the close; then they are freed.
TEST_F(Driven, DriverThatNeverCompletesACancelNeitherHoldsTheCloseNorTouchesFreedMemory) {
  const StuckCase cases[] = {
      {"event wait", [](ScriptedDriver&) {}, [](TSerial&) {}},
      {"read (pending until data, as under Wine)",
       [](ScriptedDriver& d) { d.ReadsWaitForData(true); },
       [](TSerial& s) {
         std::uint8_t byte = 0;
         EXPECT_EQ(s.ReadByte(byte), 0);
       }},
      {"write held by the line", [](ScriptedDriver& d) { d.HoldWrites(true); },
       [](TSerial& s) { s.WriteString(":00000001FF"); }},
  };
  for (const StuckCase& c : cases) {
    SCOPED_TRACE(c.stuck);
    driver = std::make_shared<ScriptedDriver>();
    platform = MakeWin32Platform(driver);
    OpenSerial();
    serial->SetNotifyErrors(neNone);
    driver->NeverCompleteCancels(true);
    c.script(*driver);
    owner.PumpUntil([&] { return driver->Pending() > 0; }, kPatience);
    c.action(*serial);

    const auto began = Clock::now();
    serial->SetActive(false);
    const auto took = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    std::printf("%-44s close took %6.1f ms\n", c.stuck, took);
    EXPECT_LT(took, 7500.0);
    EXPECT_FALSE(serial->Active());
    EXPECT_EQ(driver->AwakeRequests(), 0);

    // The driver lets go after the close: into records that are alive.
    std::size_t alive = 0;
    const std::size_t late = driver->CompleteLate(alive);
    EXPECT_GE(late, 1U);
    EXPECT_EQ(alive, late);
    // A failed open sweeps the kept records: freed now that they are done.
    EXPECT_NE(platform->Open("").error, 0);
    EXPECT_TRUE(driver->LateRecordsFreed());

    driver->NeverCompleteCancels(false);
    driver->ReadsWaitForData(false);
    driver->HoldWrites(false);
    serial->SetActive(true);
    EXPECT_TRUE(serial->Active());
    serial.reset();
  }
}

// Calls a driver refuses, told in the system's words (a German system
// here): the break the device needs, and a setting; texts keep their
// umlauts through the conversion from the system's UTF-16.
TEST_F(Driven, RefusedCallsAreToldInTheSystemsWords) {
  driver->Fail("SetupComm", ERROR_INVALID_FUNCTION);
  OpenSerial();
  driver->Heal();
  driver->Fail("SetCommBreak", ERROR_NOT_SUPPORTED);
  serial->SetBreak(true);
  EXPECT_FALSE(serial->BreakState());
  EXPECT_EQ(owner.Boxes(),
            std::vector<std::string>(
                {"COM1: Ung\xC3\xBCltige Funktion",
                 "COM1: the adapter cannot send the break signal the device needs (Die "
                 "Anforderung wird nicht unterst\xC3\xBCtzt)"}));
  // A later Start tries again: a break the driver now accepts is set.
  driver->Heal();
  serial->SetBreak(true);
  EXPECT_TRUE(serial->BreakState());
  EXPECT_EQ(driver->Calls("SetCommBreak"), 2U);
}

// An event wait the driver refuses when armed (reported of CH340 boards)
// is replaced by the platform's own, which waits for the first byte with a
// read and keeps it for the next ReadByte: nothing lost, nothing reordered.
// A wait that ends with 995 while nobody cancelled it is armed again.
TEST_F(Driven, RefusedOrAbortedEventWaitsStillDeliverEveryByte) {
  struct {
    const char* driver;
    void (*script)(ScriptedDriver&);
    bool polled;
  } cases[] = {
      {"WaitCommEvent refused with 87",
       [](ScriptedDriver& d) { d.Fail("WaitCommEvent", ERROR_INVALID_PARAMETER); }, true},
      {"wait ended with 995 by the driver", [](ScriptedDriver& d) { d.EndWaitWith(995); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    driver = std::make_shared<ScriptedDriver>();
    platform = MakeWin32Platform(driver);
    owner.ClearBoxes();
    OpenSerial();
    int received = 0;
    serial->OnRxData = [&](TSerial&) { ++received; };
    owner.PumpUntil([&] { return driver->Pending() > 0; }, kPatience);
    const std::size_t waits = driver->Calls("WaitCommEvent");
    c.script(*driver);
    owner.PumpUntil([&] { return driver->Calls("WaitCommEvent") > waits || c.polled; }, kPatience);
    driver->Receive("QRS");
    EXPECT_TRUE(owner.PumpUntil([&] { return received > 0; }, kPatience));
    EXPECT_EQ(ReadAll(3), "QRS");
    // Polled: the event thread goes over to the first-byte read, whose
    // time-outs it sets (and puts back for the component's own reads); the
    // next byte then comes through the byte that read holds.
    if (c.polled) {
      EXPECT_TRUE(owner.PumpUntil([&] { return driver->Calls("SetCommTimeouts") > 1; }, kPatience));
    }
    driver->Receive("T");
    EXPECT_EQ(ReadAll(1), "T");
    EXPECT_TRUE(owner.Boxes().empty()) << owner.Boxes().front();
    EXPECT_EQ(driver->Calls("SetCommTimeouts") > 1, c.polled);
    serial->OnRxData = nullptr;
    serial.reset();
  }
}

// The system is kept awake while a port is open, and let sleep again on
// every way the opening ends.
TEST_F(Driven, SystemStaysAwakeOnlyWhileThePortIsOpen) {
  OpenSerial();
  EXPECT_EQ(driver->AwakeRequests(), 1);
  serial->SetActive(false);
  EXPECT_EQ(driver->AwakeRequests(), 0);
  serial->SetActive(true);
  serial->SetActive(true);  // reopened
  EXPECT_EQ(driver->AwakeRequests(), 1);
  serial.reset();
  EXPECT_EQ(driver->AwakeRequests(), 0);

  driver->Fail("CreateFile", ERROR_ACCESS_DENIED);
  EXPECT_NE(platform->Open("COM1").error, 0);
  EXPECT_EQ(driver->AwakeRequests(), 0);
  driver->Heal();
  ASSERT_EQ(platform->Open("COM1").error, 0);
  platform.reset();  // the platform goes with the port open
  EXPECT_EQ(driver->AwakeRequests(), 0);
}

}  // namespace
