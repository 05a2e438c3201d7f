// The POSIX layer over a real pseudo-terminal pair: the component opens the
// slave side through a ports directory in a temporary folder, the test plays
// the device on the master side.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/TSerial.h"
#include "serial/posix/PosixPlatform.h"
#include "testing/ManualOwner.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A temporary ports directory, removed again at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarnup-ports-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// The device end of a pseudo-terminal.
class PtyDevice {
 public:
  PtyDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
  }
  ~PtyDevice() { HangUp(); }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  [[nodiscard]] bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  [[nodiscard]] const std::string& SlavePath() const { return slave_; }

  void Send(std::string_view bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Everything that arrives until `count` bytes are in or nothing more comes
  // for `quiet`, bounded by `limit`.
  [[nodiscard]] std::string Receive(std::size_t count, std::chrono::milliseconds quiet = 200ms,
                                    std::chrono::milliseconds limit = 5s) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      const int wait = got.size() >= count ? static_cast<int>(quiet.count()) : 50;
      if (::poll(&p, 1, wait) <= 0) {
        if (got.size() >= count) break;
        continue;
      }
      char buffer[1024];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
      if (n <= 0 && got.size() >= count) break;
    }
    return got;
  }

  void HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // The line settings of the far end, read through this end (which needs
  // no second open of a port held exclusively).
  [[nodiscard]] termios Settings() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(master_, &t), 0);
    return t;
  }
  void SetSettings(const termios& t) const { EXPECT_EQ(::tcsetattr(master_, TCSANOW, &t), 0); }

 private:
  int master_ = -1;
  std::string slave_;
};

class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device.Ok()) << "no pseudo-terminal available";
    ASSERT_FALSE(ports.Path().empty());
    fs::create_symlink(device.SlavePath(), ports.Path() / "COM5");
    platform = MakePosixPlatform(Roots());
    serial = std::make_unique<TSerial>(owner, platform);
    serial->SetPort(5);
    // The update window's line settings.
    serial->SetBaudrate(38400);
    serial->SetDataBits(d8bit);
    serial->SetStopBits(st2bit);
    serial->SetCheckParity(false);
  }
  void TearDown() override { serial.reset(); }

  // Only the links of the temporary folder: the machine's own serial ports
  // are never reached.
  PortMapRoots Roots() const {
    return {ports.Path(), ports.Path() / "no-dev", ports.Path() / "no-sys"};
  }

  void Open() {
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active()) << "error " << serial->ErrorCode();
  }

  // Polls ReadByte (bounded) until a byte comes.
  bool ReadOne(std::uint8_t& b) {
    for (int i = 0; i < 2000; ++i) {
      if (serial->ReadByte(b) == 1) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  TempDir ports;
  PtyDevice device;
  ManualSerialOwner owner;
  std::shared_ptr<ISerialPlatform> platform;
  std::unique_ptr<TSerial> serial;
};

TEST_F(Pty, OpensByMappedNameWithTheLineSettingsInForce) {
  Open();
  EXPECT_EQ(serial->ErrorCode(), 0);
  EXPECT_TRUE(owner.Boxes().empty());
  serial->SetActive(false);
  // The lock is gone with the close: the port opens again.
  Open();
}

TEST_F(Pty, SecondOpenIsRefusedAsInUse) {
  Open();
  // Another platform instance stands for another program.
  TSerial other(owner, MakePosixPlatform(Roots()));
  other.SetPort(5);
  other.SetActive(true);
  EXPECT_FALSE(other.Active());
  EXPECT_EQ(other.ErrorCode(), EBUSY);
  ASSERT_EQ(owner.Boxes().size(), 1U);
  EXPECT_NE(owner.Boxes()[0].find("in use"), std::string::npos) << owner.Boxes()[0];
  EXPECT_NE(owner.Boxes()[0].back(), '.');
}

TEST_F(Pty, MissingPortIsReported) {
  serial->SetNotifyErrors(neNone);
  serial->SetPort(6);
  serial->SetActive(true);
  EXPECT_FALSE(serial->Active());
  EXPECT_EQ(serial->ErrorCode(), ENOENT);
}

TEST_F(Pty, TextsArriveWholeAndUnchanged) {
  Open();
  const std::string record = ":40" + std::string(134, 'C') + "7F";
  ASSERT_EQ(record.size(), 139U);
  serial->WriteString(record);
  EXPECT_EQ(device.Receive(139), record);
  std::string long600;
  for (int i = 0; i < 600; ++i) long600.push_back(static_cast<char>('A' + i % 26));
  serial->WriteString(long600);
  EXPECT_EQ(device.Receive(600), long600);
  serial->WriteString("");
  EXPECT_EQ(device.Receive(0, 100ms), "");
  EXPECT_EQ(serial->ErrorCode(), 0);
}

TEST_F(Pty, ReadByteDoesNotWaitForData) {
  Open();
  std::uint8_t b = 0x55;
  EXPECT_EQ(serial->ReadByte(b), 0);
  EXPECT_EQ(b, 0x55);
  device.Send("Y\r\n");
  ASSERT_TRUE(ReadOne(b));
  EXPECT_EQ(b, 'Y');
  ASSERT_TRUE(ReadOne(b));
  EXPECT_EQ(b, '\r');  // raw: no translation of line ends
  ASSERT_TRUE(ReadOne(b));
  EXPECT_EQ(b, '\n');
  EXPECT_EQ(serial->ReadByte(b), 0);
  EXPECT_EQ(serial->ErrorCode(), 0);
}

TEST_F(Pty, QueueCountsFollowTheLine) {
  Open();
  device.Send("abc");
  for (int i = 0; i < 2000 && serial->GetRxWaiting() < 3; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(serial->GetRxWaiting(), 3);
  EXPECT_EQ(serial->GetTxWaiting(), 0);
}

struct TermiosCase {
  const char* name;
  eParity parity;
  eDataBits data;
  eStopBits stop;
  eFlowControl flow;
  bool check;
  tcflag_t cflagSet;
  tcflag_t cflagClear;
  tcflag_t iflagSet;
  tcflag_t iflagClear;
};

class LineSettings : public Pty, public ::testing::WithParamInterface<TermiosCase> {};

TEST_P(LineSettings, ReachTheTerminal) {
  const TermiosCase& c = GetParam();
  serial->SetParity(c.parity);
  serial->SetDataBits(c.data);
  serial->SetStopBits(c.stop);
  serial->SetFlowMode(c.flow);
  serial->SetCheckParity(c.check);
  Open();
  EXPECT_EQ(serial->ErrorCode(), 0);
  // A second descriptor reads the settings back (refused to non-root users
  // while the port is held exclusively).
  const int fd = ::open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "cannot open the terminal twice here";
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet);
  EXPECT_EQ(t.c_cflag & c.cflagClear, 0U);
  EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet);
  EXPECT_EQ(t.c_iflag & c.iflagClear, 0U);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B38400));
}

// A pseudo-terminal always keeps 8 data bits without parity, so the parity
// and 7-bit cases are only checked for being refused (see below).
INSTANTIATE_TEST_SUITE_P(
    Cases, LineSettings,
    ::testing::Values(TermiosCase{"Update", paNone, d8bit, st2bit, fcNone, false, CS8 | CSTOPB,
                                  PARENB | CMSPAR | CRTSCTS, 0, INPCK | IXON | IXOFF},
                      TermiosCase{"RtsCts", paNone, d8bit, st1bit, fcRTS_CTS, false, CRTSCTS,
                                  PARENB, 0, IXON | IXOFF},
                      TermiosCase{"XonXoff", paNone, d8bit, st1bit, fcXON_XOF, false, 0, CRTSCTS,
                                  IXON | IXOFF, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(Pty, SettingsTheTerminalDoesNotHoldAreReported) {
  // The settings are read back after they are applied; a pseudo-terminal
  // drops parity and data sizes other than 8 bits.
  serial->SetNotifyErrors(neNone);
  const struct {
    eParity parity;
    eDataBits data;
  } cases[] = {{PaOdd, d8bit}, {paEven, d8bit}, {paMark, d8bit}, {paSpace, d8bit}, {paNone, d7bit}};
  for (const auto& c : cases) {
    serial->SetParity(c.parity);
    serial->SetDataBits(c.data);
    Open();
    EXPECT_EQ(serial->ErrorCode(), EINVAL) << int{c.parity} << " " << int{c.data};
    serial->SetActive(false);
    serial->SetParity(paNone);
    serial->SetDataBits(d8bit);
    Open();
    serial->SetActive(false);
  }
}

TEST_F(Pty, LineIsRawWhateverSettingIsRefusedAnd14400IsSet) {
  // The speed code the kernel reports for a rate set by number.
  constexpr speed_t kArbitraryRate = 0010000;
  const struct {
    const char* name;
    eFlowControl flow;
    std::int32_t baud;
    std::int32_t error;
    speed_t speed;
  } cases[] = {{"14400 baud", fcNone, 14400, 0, kArbitraryRate},
               {"DTR/DSR handshake", fcDTR_DSR, 38400, ENOTSUP, B38400},
               {"back to 38400", fcNone, 38400, 0, B38400}};
  std::vector<std::int32_t> reported;
  serial->SetNotifyErrors(neEvent);
  serial->OnError = [&](TSerial& s) { reported.push_back(s.ErrorCode()); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reported.clear();
    // A fresh terminal is cooked, with echo: the device would hear itself.
    termios cooked = device.Settings();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    device.SetSettings(cooked);
    serial->SetFlowMode(c.flow);
    serial->SetBaudrate(c.baud);
    Open();
    EXPECT_EQ(reported,
              c.error == 0 ? std::vector<std::int32_t>{} : std::vector<std::int32_t>{c.error});
    const termios t = device.Settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U);
    EXPECT_EQ(::cfgetospeed(&t), c.speed);
    serial->SetActive(false);
  }
}

TEST_F(Pty, EachOpeningBeginsWithAnEmptyReceiveQueue) {
  Open();
  device.Send(" Q");  // left unread by this run
  ASSERT_TRUE(owner.PumpUntil([&] { return serial->GetRxWaiting() == 2; }, 5s));
  serial->SetActive(false);
  device.Send("Y");  // sent while nobody listens
  Open();
  std::uint8_t b = 0;
  EXPECT_EQ(serial->ReadByte(b), 0);
  EXPECT_EQ(serial->GetRxWaiting(), 0);
  device.Send("Z");
  ASSERT_TRUE(ReadOne(b));
  EXPECT_EQ(b, 'Z');
}

TEST_F(Pty, ParityCheckingDeliversEveryByteAsReceived) {
  // With checking on, the terminal marks bytes (and doubles a 0xFF); the
  // component still hands over exactly what came down the line.
  serial->SetCheckParity(true);
  Open();
  EXPECT_NE(device.Settings().c_iflag & PARMRK, 0U);
  const std::string sent("\xFF\x41\xFF\x00\x42\x00", 6);
  device.Send(sent);
  std::string got;
  std::uint8_t b = 0;
  while (got.size() < sent.size() && ReadOne(b)) got.push_back(static_cast<char>(b));
  EXPECT_EQ(got, sent);
  EXPECT_EQ(serial->ReadByte(b), 0);
}

TEST(ParityMarks, DecodesMarkedSequences) {
  using R = ParityMarkDecoder::Result;
  const struct {
    std::vector<std::uint8_t> in;
    std::vector<R> results;
    std::uint8_t last;
  } cases[] = {{{0x41}, {R::Byte}, 0x41},
               {{0xFF, 0xFF}, {R::NeedMore, R::Byte}, 0xFF},
               {{0xFF, 0x00, 0x55}, {R::NeedMore, R::NeedMore, R::ByteWithError}, 0x55},
               {{0xFF, 0x00, 0x00}, {R::NeedMore, R::NeedMore, R::ByteWithError}, 0x00},
               {{0xFF, 0x00, 0xFF}, {R::NeedMore, R::NeedMore, R::ByteWithError}, 0xFF}};
  for (const auto& c : cases) {
    ParityMarkDecoder decoder;
    std::uint8_t out = 0;
    for (std::size_t i = 0; i < c.in.size(); ++i)
      EXPECT_EQ(decoder.Feed(c.in[i], out), c.results[i]);
    EXPECT_EQ(out, c.last);
    EXPECT_TRUE(decoder.Idle());
  }
}

TEST_F(Pty, WriteHeldByFlowControlGoesOnAfterItsWait) {
  serial->SetFlowMode(fcXON_XOF);
  Open();
  device.Send("\x13");  // XOFF: the far end stops our output
  std::this_thread::sleep_for(50ms);
  serial->WriteString("abc");
  // The 1 s wait is abandoned and reported; the write is not.
  EXPECT_EQ(serial->ErrorCode(), ETIMEDOUT);
  EXPECT_EQ(device.Receive(0, 100ms), "");
  EXPECT_EQ(serial->GetTxWaiting(), 3);
  device.Send("\x11");  // XON
  EXPECT_EQ(device.Receive(3), "abc");
  serial->WriteString("d");  // and later writes follow in order
  EXPECT_EQ(device.Receive(1), "d");
  // The close ends a write that is still held.
  device.Send("\x13");
  std::this_thread::sleep_for(50ms);
  serial->WriteString("lost");
  serial->SetActive(false);
  device.Send("\x11");
  EXPECT_EQ(device.Receive(0, 200ms), "");
}

TEST_F(Pty, PortHeldByAnotherProgramIsRefusedNamingIt) {
  // A process list with one other holder of the port, as /proc shows it.
  const fs::path proc = ports.Path() / "proc";
  fs::create_directories(proc / "4242" / "fd");
  fs::create_symlink(device.SlavePath(), proc / "4242" / "fd" / "5");
  { std::ofstream(proc / "4242" / "comm") << "minicom\n"; }
  fs::create_directories(proc / "4243" / "fd");  // holds something else
  fs::create_symlink("/dev/null", proc / "4243" / "fd" / "0");
  TSerial other(owner, MakePosixPlatform(Roots(), proc));
  other.SetPort(5);
  other.SetActive(true);
  EXPECT_FALSE(other.Active());
  EXPECT_EQ(other.ErrorCode(), EBUSY);
  ASSERT_EQ(owner.Boxes().size(), 1U);
  EXPECT_EQ(owner.Boxes()[0], "COM5 (" + device.SlavePath() +
                                  ") is in use by another program: minicom (process 4242)");
  // Without the other holder the same port opens.
  fs::remove(proc / "4242" / "fd" / "5");
  other.SetActive(true);
  EXPECT_TRUE(other.Active());
}

TEST_F(Pty, HangUpIsAFailureAndDoesNotSpin) {
  serial->SetNotifyErrors(neEvent);
  int reports = 0;
  serial->OnError = [&](TSerial&) { ++reports; };
  Open();
  device.HangUp();
  std::uint8_t b = 0;
  EXPECT_EQ(serial->ReadByte(b), 0);
  EXPECT_EQ(serial->ErrorCode(), EIO);
  // The event thread's wait fails too; over a second it reports about ten
  // times, where a spinning wait would report many thousand times.
  reports = 0;
  owner.PumpUntil([] { return false; }, 1s);
  EXPECT_GE(reports, 1);
  EXPECT_LE(reports, 30);
  serial->SetActive(false);
  EXPECT_FALSE(serial->Active());
}

TEST_F(Pty, OneReceivedDataNotificationPerArrivalAndTheBytesStay) {
  int notes = 0;
  serial->OnRxData = [&](TSerial&) { ++notes; };
  Open();
  device.Send("abc");
  ASSERT_TRUE(owner.PumpUntil([&] { return notes >= 1; }, 5s));
  // Unread bytes are not reported again.
  owner.PumpUntil([] { return false; }, 200ms);
  EXPECT_EQ(notes, 1);
  EXPECT_EQ(serial->GetRxWaiting(), 3);
  // New bytes behind unread ones are a new arrival.
  device.Send("d");
  ASSERT_TRUE(owner.PumpUntil([&] { return notes >= 2; }, 5s));
  std::string got;
  std::uint8_t b = 0;
  while (got.size() < 4 && ReadOne(b)) got.push_back(static_cast<char>(b));
  EXPECT_EQ(got, "abcd");
  // After the queue ran empty, an arrival is seen at once again.
  device.Send("Y");
  ASSERT_TRUE(owner.PumpUntil([&] { return notes >= 3; }, 5s));
  ASSERT_TRUE(ReadOne(b));
  EXPECT_EQ(b, 'Y');
  owner.PumpUntil([] { return false; }, 100ms);
  EXPECT_EQ(notes, 3);
}

TEST_F(Pty, ConsumedAndArrivedWithinOneTickIsStillANewArrival) {
  int notes = 0;
  serial->OnRxData = [&](TSerial&) { ++notes; };
  Open();
  device.Send("1");
  ASSERT_TRUE(owner.PumpUntil([&] { return notes >= 1; }, 5s));
  std::uint8_t b = 0;
  // Each acknowledge is read at once and the next one follows: the number of
  // unread bytes stays the same while new ones keep arriving.
  for (int i = 2; i <= 20; ++i) {
    device.Send(std::string(1, static_cast<char>('0' + i % 10)));
    ASSERT_TRUE(owner.PumpUntil([&] { return notes >= i; }, 5s)) << i;
    ASSERT_TRUE(ReadOne(b));
  }
}

TEST_F(Pty, CloseReleasesTheWaitingThread) {
  Open();
  std::this_thread::sleep_for(20ms);  // let the thread settle in its wait
  serial->SetActive(false);
  EXPECT_FALSE(serial->Active());
  EXPECT_TRUE(owner.Boxes().empty());
  EXPECT_EQ(serial->ErrorCode(), 0);
  Open();
  device.Send("Z");
  int notes = 0;
  serial->OnRxData = [&](TSerial&) { ++notes; };
  ASSERT_TRUE(owner.PumpUntil([&] { return notes >= 1; }, 5s));
}

TEST_F(Pty, OperationsOnAClosedPortReachNoDevice) {
  Open();
  serial->SetActive(false);
  serial->WriteString("lost");
  std::uint8_t b = 0;
  EXPECT_EQ(serial->ReadByte(b), 0);
  serial->SetBreak(true);
  EXPECT_EQ(device.Receive(0, 100ms), "");
  EXPECT_EQ(serial->ErrorCode(), 0);
}

}  // namespace
