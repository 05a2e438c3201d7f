// The Win32 serial platform against a real COM port: under Wine, a
// pseudo-terminal that the FarEnd program maps to the port and answers on
// (the commands are described there). The port's name comes from
// TARNUP_TEST_PORT.
//
// What a pseudo-terminal cannot show, and these tests therefore leave out:
// the break condition (the pty accepts it and nothing reaches the far end),
// the modem lines (a pty has none: DTR/RTS changes and CTS/DSR/RLSD/ring are
// not observable, and the DTR/DSR and RTS/CTS handshakes cannot hold data
// back), and the queue counts of ClearCommError (Wine's counts on a pty are
// not those of the line).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serial/TSerial.h"
#include "serial/win32/Win32Platform.h"
#include "testing/ManualOwner.h"

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kInvalidHandleCode = 6;  // ERROR_INVALID_HANDLE
// Bounds that only stop a broken test from hanging; nothing is timed.
constexpr auto kPatience = 20s;

std::string PortName() {
  const char* name = std::getenv("TARNUP_TEST_PORT");
  return name != nullptr ? name : "";
}

comm::DCB Settings(std::uint32_t rate, std::uint8_t bits, std::uint8_t parity, std::uint8_t stop,
                   std::uint32_t flags) {
  comm::DCB dcb;
  dcb.DCBlength = 28;
  dcb.BaudRate = rate;
  dcb.Flags = kDcbBinary | flags;
  dcb.XonLim = 341;
  dcb.XoffLim = 341;
  dcb.ByteSize = bits;
  dcb.Parity = parity;
  dcb.StopBits = stop;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x3F;
  return dcb;
}

// The far end's command to send back the next `count` bytes.
std::string Echo(std::size_t count) {
  std::string command = "E";
  command += std::to_string(count);
  command += '\n';
  return command;
}

class Win32Port : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = PortName();
    ASSERT_FALSE(name_.empty()) << "run through FarEnd, which sets TARNUP_TEST_PORT";
    platform_ = MakeWin32Platform();
    const OpenResult opened = platform_->Open(name_);
    ASSERT_EQ(opened.error, 0) << platform_->ErrorText(opened.error);
    h_ = opened.handle;
    ASSERT_EQ(platform_->SetupComm(h_, 1024, 1024), 0);
    ASSERT_EQ(platform_->SetCommState(h_, Settings(38400, 8, 0, 2, 0)), 0);
    comm::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    ASSERT_EQ(platform_->SetCommTimeouts(h_, timeouts), 0);
    Drain();
  }
  void TearDown() override {
    if (platform_ && h_ != kInvalidPortHandle) {
      EXPECT_EQ(platform_->Close(h_), 0);
    }
  }

  void Send(const std::string& text) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    const WriteResult written = platform_->Write(h_, bytes, 1000ms);
    ASSERT_EQ(written.error, 0) << platform_->ErrorText(written.error);
    ASSERT_EQ(written.count, text.size());
  }

  // Polls ReadByte until `count` bytes have come (or patience runs out).
  std::string Receive(std::size_t count) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (text.size() < count && std::chrono::steady_clock::now() < deadline) {
      const ReadResult read = platform_->ReadByte(h_, 100ms);
      EXPECT_EQ(read.error, 0) << platform_->ErrorText(read.error);
      if (read.error != 0) break;
      if (read.count == 1) {
        text.push_back(static_cast<char>(read.byte));
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    return text;
  }

  std::string ReceiveLine() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      const std::string next = Receive(1);
      if (next.empty()) break;
      line += next;
    }
    return line;
  }

  // Whatever a previous opening left unread.
  void Drain() {
    for (int i = 0; i < 1000; ++i) {
      if (platform_->ReadByte(h_, 100ms).count == 0) return;
    }
  }

  std::string name_;
  std::shared_ptr<ISerialPlatform> platform_;
  PortHandle h_ = kInvalidPortHandle;
};

TEST_F(Win32Port, IsExclusiveAndHandlesAreNeverReused) {
  const OpenResult second = platform_->Open(name_);
  EXPECT_EQ(second.handle, kInvalidPortHandle);
  EXPECT_NE(second.error, 0);
  EXPECT_FALSE(platform_->ErrorText(second.error).empty());

  const OpenResult absent = platform_->Open("COM99");
  EXPECT_EQ(absent.handle, kInvalidPortHandle);
  EXPECT_NE(absent.error, 0);

  // Closed, then opened again: the old handle reaches nothing, not even the
  // same device opened anew.
  const PortHandle old = h_;
  ASSERT_EQ(platform_->Close(old), 0);
  h_ = kInvalidPortHandle;
  const OpenResult again = platform_->Open(name_);
  ASSERT_EQ(again.error, 0) << platform_->ErrorText(again.error);
  h_ = again.handle;
  EXPECT_NE(h_, old);
  EXPECT_EQ(platform_->Close(old), kInvalidHandleCode);
  EXPECT_EQ(platform_->ReadByte(old, 100ms).error, kInvalidHandleCode);
  EXPECT_EQ(platform_->SetCommMask(old, kEV_RXCHAR), kInvalidHandleCode);
  EXPECT_EQ(platform_->WaitCommEvent(old).error, kInvalidHandleCode);
  const std::uint8_t byte = 'x';
  EXPECT_EQ(platform_->Write(old, {&byte, 1}, 100ms).error, kInvalidHandleCode);
}

struct LineCase {
  std::uint32_t rate;
  std::uint8_t stop;
  std::uint32_t flags;
  const char* line;  // what the far end's side of the line reports
};

// A pty keeps 8 data bits and no parity whatever it is told (the kernel
// resets them), and parity checking without parity is not passed on; so
// only the speed, the stop bits and the flow control are seen at the far
// end.
TEST_F(Win32Port, LineSettingsReachTheLine) {
  const LineCase cases[] = {
      {38400, 2, 0, "38400 8 N 2 -crtscts -ixon -ixoff -inpck"},
      {9600, 0, 0, "9600 8 N 1 -crtscts -ixon -ixoff -inpck"},
      {115200, 0, kDcbOutxCtsFlow | kDcbRtsHandshake, "115200 8 N 1 crtscts -ixon -ixoff -inpck"},
      {1200, 2, kDcbOutX | kDcbInX, "1200 8 N 2 -crtscts ixon ixoff -inpck"},
      {300, 0, kDcbOutX, "300 8 N 1 -crtscts ixon -ixoff -inpck"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_EQ(platform_->SetCommState(h_, Settings(c.rate, 8, 0, c.stop, c.flags)), 0);
    Send("S\n");
    std::string expected = c.line;
    expected += '\n';
    EXPECT_EQ(ReceiveLine(), expected);
  }
}

// Each of the eleven rates is in force at the far end once accepted. A pty
// has no 14400 (Linux has no such standard rate and a pty no divisor for
// it); there the setting must be refused, not reported as done. The same
// holds for 7 data bits and for parity, which a pty does not keep.
TEST_F(Win32Port, SettingsAreInForceOrRefused) {
  for (const std::uint32_t rate :
       {300U, 600U, 1200U, 2400U, 4800U, 9600U, 14400U, 19200U, 38400U, 57600U, 115200U}) {
    SCOPED_TRACE(rate);
    const std::int32_t err = platform_->SetCommState(h_, Settings(rate, 8, 0, 0, 0));
    if (rate == 14400 && err != 0) continue;
    ASSERT_EQ(err, 0);
    Send("S\n");
    const std::string line = ReceiveLine();
    EXPECT_EQ(line.substr(0, line.find(' ')), std::to_string(rate));
  }
  EXPECT_NE(platform_->SetCommState(h_, Settings(1000, 8, 0, 2, 0)), 0);
  EXPECT_NE(platform_->SetCommState(h_, Settings(9600, 7, 0, 0, 0)), 0);
  EXPECT_NE(platform_->SetCommState(h_, Settings(9600, 8, 2, 0, 0)), 0);
  // The DTR/DSR handshake is accepted (a pty cannot show whether it holds).
  EXPECT_EQ(
      platform_->SetCommState(h_, Settings(38400, 8, 0, 2, kDcbOutxDsrFlow | kDcbDtrHandshake)), 0);
}

TEST_F(Win32Port, TextsGoOutWholeAndComeBackWhole) {
  std::string text;
  for (int i = 0; i < 139; ++i) text.push_back(static_cast<char>('0' + i % 43));
  for (const std::string& payload : {text, std::string(255, 'Y'), std::string("\x01\x7f\xff", 3)}) {
    Send(Echo(payload.size()));
    Send(payload);
    EXPECT_EQ(Receive(payload.size()), payload);
  }
  // Nothing was added to any of them.
  EXPECT_EQ(platform_->ReadByte(h_, 100ms).count, 0U);
  // The receive queue count follows what has come and what has been taken.
  Send("Tabcde\n");
  StatusResult status;
  for (int i = 0; i < 2000 && status.stat.cbInQue < 5; ++i) {
    status = platform_->ClearCommError(h_);
    ASSERT_EQ(status.error, 0);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(status.stat.cbInQue, 5U);
  EXPECT_EQ(Receive(2), "ab");
  EXPECT_EQ(platform_->ClearCommError(h_).stat.cbInQue, 3U);
  EXPECT_EQ(Receive(3), "cde");
  // An empty text sends nothing and succeeds.
  const WriteResult empty = platform_->Write(h_, {}, 1000ms);
  EXPECT_EQ(empty.error, 0);
  EXPECT_EQ(empty.count, 0U);
}

TEST_F(Win32Port, ReadsNeverWaitForData) {
  // With nothing received the read returns at once with nothing, however
  // long it may wait for completion: a read that waited for data would not
  // return at all here, since the far end sends nothing unasked.
  for (int i = 0; i < 3; ++i) {
    const ReadResult read = platform_->ReadByte(h_, std::chrono::milliseconds(kPatience));
    EXPECT_EQ(read.error, 0);
    EXPECT_EQ(read.count, 0U);
  }
  Send("TQ\n");
  EXPECT_EQ(Receive(1), "Q");
  EXPECT_EQ(platform_->ReadByte(h_, 100ms).count, 0U);
}

TEST_F(Win32Port, EventWaitReportsReceivedDataAndIsReleasedByMaskAndClose) {
  ASSERT_EQ(platform_->SetCommMask(h_, kEV_RXCHAR), 0);
  auto wait = std::async(std::launch::async, [&] { return platform_->WaitCommEvent(h_); });
  Send("Tz\n");
  ASSERT_EQ(wait.wait_for(kPatience), std::future_status::ready);
  WaitResult result = wait.get();
  EXPECT_EQ(result.error, 0);
  EXPECT_EQ(result.events, kEV_RXCHAR);
  EXPECT_EQ(Receive(1), "z");

  // Data written: the transmit queue runs empty once the far end has it.
  ASSERT_EQ(platform_->SetCommMask(h_, kEV_RXCHAR | kEV_TXEMPTY), 0);
  Send("E1\n");
  Send("w");
  // The echo may be reported on its own by one wait, the empty queue by
  // the next.
  std::uint32_t seen = 0;
  for (int i = 0; i < 3 && !(seen & kEV_TXEMPTY); ++i) {
    wait = std::async(std::launch::async, [&] { return platform_->WaitCommEvent(h_); });
    ASSERT_EQ(wait.wait_for(kPatience), std::future_status::ready);
    result = wait.get();
    EXPECT_EQ(result.error, 0);
    seen |= result.events;
  }
  EXPECT_NE(seen & kEV_TXEMPTY, 0U);
  EXPECT_EQ(Receive(1), "w");
  ASSERT_EQ(platform_->SetCommMask(h_, kEV_RXCHAR), 0);

  // A pending wait is released by a change of the mask, with nothing.
  wait = std::async(std::launch::async, [&] { return platform_->WaitCommEvent(h_); });
  EXPECT_EQ(wait.wait_for(200ms), std::future_status::timeout);
  ASSERT_EQ(platform_->SetCommMask(h_, 0), 0);
  ASSERT_EQ(wait.wait_for(kPatience), std::future_status::ready);
  result = wait.get();
  EXPECT_EQ(result.error, 0);
  EXPECT_EQ(result.events, 0U);

  // On a clear mask, the next wait blocks until the port is closed, and
  // then fails as a wait on a closed handle.
  wait = std::async(std::launch::async, [&] { return platform_->WaitCommEvent(h_); });
  EXPECT_EQ(wait.wait_for(200ms), std::future_status::timeout);
  ASSERT_EQ(platform_->Close(h_), 0);
  ASSERT_EQ(wait.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(wait.get().error, kInvalidHandleCode);
  h_ = kInvalidPortHandle;
}

TEST_F(Win32Port, PurgeAndBreakLeaveTheLineUsable) {
  EXPECT_EQ(platform_->PurgeComm(h_, kPURGE_TXABORT | kPURGE_RXABORT), 0);
  EXPECT_EQ(platform_->SetCommBreak(h_), 0);
  EXPECT_EQ(platform_->ClearCommBreak(h_), 0);
  // A pty has no modem lines: the four line functions fail there, so only
  // the refusal of other codes (which would reach other functions of the
  // system's call) is tested.
  EXPECT_NE(platform_->EscapeCommFunction(h_, 0), 0);
  Send("E2\n");
  Send("ok");
  EXPECT_EQ(Receive(2), "ok");
}

// The component and its event thread over the Win32 platform, as the
// update uses them: open, a received-data event, a non-waiting read, close
// while the event thread waits; nothing is reported on the way.
TEST(Win32Component, RunsOverTheWin32Port) {
  const std::string name = PortName();
  ASSERT_EQ(name.rfind("COM", 0), 0U) << "run through FarEnd, which sets TARNUP_TEST_PORT";
  ManualSerialOwner owner;
  {
    TSerial serial(owner, MakeWin32Platform());
    serial.SetPort(static_cast<sPorts>(std::stoi(name.substr(3))));
    serial.SetBaudrate(38400);
    serial.SetDataBits(d8bit);
    serial.SetStopBits(st2bit);
    serial.SetCheckParity(false);
    serial.SetActive(true);
    ASSERT_TRUE(serial.Active());
    int received = 0;
    serial.OnRxData = [&](TSerial&) { ++received; };
    serial.WriteString("Tk\n");
    EXPECT_TRUE(owner.PumpUntil([&] { return received > 0; }, kPatience));
    std::uint8_t byte = 0;
    EXPECT_TRUE(owner.PumpUntil([&] { return serial.ReadByte(byte) == 1; }, kPatience));
    EXPECT_EQ(byte, 'k');
    serial.OnRxData = nullptr;
    serial.SetActive(false);
    EXPECT_FALSE(serial.Active());
  }
  EXPECT_TRUE(owner.Boxes().empty()) << owner.Boxes().front();
}

// Run on its own (the far end is gone afterwards): every later use of the
// port fails instead of hanging or reporting success, and the port can
// still be closed.
TEST_F(Win32Port, FarEndVanishing) {
  ASSERT_EQ(platform_->SetCommMask(h_, kEV_RXCHAR), 0);
  auto wait = std::async(std::launch::async, [&] { return platform_->WaitCommEvent(h_); });
  Send("H\n");
  ASSERT_EQ(wait.wait_for(kPatience), std::future_status::ready);
  const WaitResult waited = wait.get();
  EXPECT_NE(waited.error, 0) << "events " << waited.events;

  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  ReadResult read;
  while (std::chrono::steady_clock::now() < deadline) {
    read = platform_->ReadByte(h_, 100ms);
    if (read.error != 0) break;
    EXPECT_EQ(read.count, 0U);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(read.error, 0);
  std::printf("far end gone: wait %d (%s), read %d (%s)\n", waited.error,
              platform_->ErrorText(waited.error).c_str(), read.error,
              platform_->ErrorText(read.error).c_str());
}

}  // namespace
