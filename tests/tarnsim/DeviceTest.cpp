// The device logic on a clock the test moves by hand.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Lines.h"
#include "tarnsim/Device.h"

using namespace std::chrono_literals;
using tarnsim::Device;
using tarnsim::DeviceOptions;
using tarnsim::Nanos;
using tarnsim::Verdict;
using namespace tarnsim_test;

namespace {

constexpr Nanos kPowerOn = 50ms;

// Drives a device as a patient host would: each line is sent once the
// previous answer has come, with the clock moved to when it is due.
class Driver {
 public:
  explicit Driver(DeviceOptions options) : device_(std::move(options)) {
    device_.SetLogger([this](std::string_view text) { log_.emplace_back(text); });
    device_.Connect(now_);
  }

  // Runs the clock until nothing more is due, collecting the output.
  std::string Drain() {
    std::string got;
    while (auto due = device_.NextDue()) {
      now_ = std::max(now_, *due);
      const auto out = device_.Poll(now_);
      got += out.bytes;
      hungUp_ = hungUp_ || out.hangUp;
    }
    return got;
  }

  std::string Send(const std::string& bytes) {
    device_.Receive(bytes, now_);
    return Drain();
  }

  Device& device() { return device_; }
  Nanos& now() { return now_; }
  [[nodiscard]] bool hungUp() const { return hungUp_; }
  [[nodiscard]] const std::vector<std::string>& log() const { return log_; }

 private:
  Device device_;
  Nanos now_{1000s};
  bool hungUp_ = false;
  std::vector<std::string> log_;
};

DeviceOptions Quick() {
  DeviceOptions o;
  o.powerOn = kPowerOn;
  return o;
}

// The lines of a small image: security, erase 1..3, blocks, end.
std::vector<std::string> Session(const std::vector<unsigned>& blocks) {
  std::vector<std::string> lines = {kSecurity, Erase(1), Erase(2), Erase(3)};
  for (unsigned n : blocks) lines.push_back(Data(n));
  lines.push_back(kEnd);
  return lines;
}

std::shared_ptr<const tarnsim::Flash> FlashOf(const std::vector<unsigned>& blocks) {
  auto flash = std::make_shared<tarnsim::Flash>();
  for (unsigned n : blocks) {
    const auto data = BlockData(n);
    for (unsigned i = 0; i < 64; ++i) (*flash)[n * 64 + i] = data[i];
  }
  return flash;
}

}  // namespace

TEST(DevicePowerOn, SpaceThenQAfterTheDelay) {
  Device device(Quick());
  device.Connect(Nanos{0});
  EXPECT_EQ(device.Poll(kPowerOn - 1ns).bytes, "");
  ASSERT_TRUE(device.NextDue().has_value());
  EXPECT_EQ(*device.NextDue(), kPowerOn);
  EXPECT_EQ(device.Poll(kPowerOn).bytes, " Q");
  EXPECT_FALSE(device.NextDue().has_value());
}

TEST(DevicePowerOn, InjectedFaultsBeforeQ) {
  struct Case {
    int stray;
    bool secondSpace;
    std::string expected;
  } cases[] = {
      {0, true, "  Q"},
      {3, false, "\xE0\xE1\xE2 Q"},
      {17, false,
       std::string("\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF\xE0") + " Q"},
  };
  for (const Case& c : cases) {
    DeviceOptions o = Quick();
    o.faults.strayBytes = c.stray;
    o.faults.secondSpace = c.secondSpace;
    Driver d(o);
    EXPECT_EQ(d.Drain(), c.expected) << c.stray;
    d.Send(kSecurity);
    EXPECT_FALSE(d.device().GetVerdict().Passed()) << "an injected fault never passes";
  }
}

// On a line that carries the break the device is switched on while the
// break is set and says "Q" only once it is released; a line sent before
// that is refused, and a device that is never switched on says nothing at
// all.
TEST(DevicePowerOn, AtTheBreakSpaceAtOnceAndQOnRelease) {
  using tarnsim::PowerUp;
  struct Case {
    const char* name;
    PowerUp powerUp;
    bool withholdQ;
    std::string atBreak;    // output after the break went on and the delay passed
    std::string atRelease;  // output after it was released
    std::string answer;     // to the security line sent after the release
  } cases[] = {
      {"switched on at the break", PowerUp::AtBreak, false, " ", "Q", "Y"},
      {"no Q", PowerUp::AtBreak, true, " ", "", "\x3F"},
      {"never switched on", PowerUp::Never, false, "", "", ""},
      {"switched on at the opening", PowerUp::AtConnect, false, " Q", "", "Y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceOptions o = Quick();
    o.powerUp = c.powerUp;
    o.faults.withholdQ = c.withholdQ;
    Driver d(o);
    d.device().SetBreak(true, d.now());
    EXPECT_EQ(d.Drain(), c.atBreak);
    d.now() += kPowerOn;
    d.device().SetBreak(false, d.now());
    EXPECT_EQ(d.Drain(), c.atRelease);
    EXPECT_EQ(d.Send(kSecurity), c.answer);
  }
}

TEST(DeviceSession, AcceptsACompleteUpdateAndRebuildsTheFlash) {
  const std::vector<unsigned> blocks = {0x000, 0x001, 0x0FF, 0x100, 0x17F, 0x400, 0x675};
  DeviceOptions o = Quick();
  o.expected = FlashOf(blocks);
  Driver d(o);
  EXPECT_EQ(d.Drain(), " Q");
  for (const std::string& line : Session(blocks)) EXPECT_EQ(d.Send(line), "Y") << line;
  const Verdict v = d.device().GetVerdict();
  EXPECT_TRUE(v.Passed()) << tarnsim::FormatVerdict(v);
  EXPECT_EQ(v.linesReceived, 12);
  EXPECT_EQ(v.linesAccepted, 12);
  EXPECT_EQ(v.chipsErased, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(v.blocksWritten, 7);
  EXPECT_EQ(v.flash, tarnsim::FlashCheck::Equal);
  EXPECT_NE(tarnsim::FormatVerdict(v).find("verdict: PASS"), std::string::npos);
}

TEST(DeviceSession, LinesMayArriveByteByByte) {
  Driver d(Quick());
  d.Drain();
  std::string got;
  for (char c : kSecurity) got += d.Send(std::string(1, c));
  EXPECT_EQ(got, "Y");
  // An image without chips and blocks: security, then the end line.
  EXPECT_EQ(d.Send(kEnd), "Y");
  EXPECT_TRUE(d.device().GetVerdict().Passed());
}

TEST(DeviceSession, FlashDifferenceIsReported) {
  DeviceOptions o = Quick();
  auto expected = std::make_shared<tarnsim::Flash>(*FlashOf({0, 1}));
  (*expected)[64 + 5] ^= 0xFF;
  o.expected = expected;
  Driver d(o);
  d.Drain();
  for (const std::string& line : Session({0, 1})) d.Send(line);
  const Verdict v = d.device().GetVerdict();
  EXPECT_EQ(v.flash, tarnsim::FlashCheck::Differs);
  EXPECT_NE(v.flashDetail.find("0x00045"), std::string::npos) << v.flashDetail;
  EXPECT_FALSE(v.Passed());
}

// Each case: correct lines first, then the offending bytes; the device must
// refuse with 3F, name the line and the reason, and then ignore everything.
TEST(DeviceViolations, AreRefusedWithAWrongByteAndReported) {
  std::string lowercase = Data(1);
  lowercase[10] = 'a';
  std::string badSum = Data(0);
  badSum[138] = badSum[138] == '0' ? '1' : '0';
  // One code byte changed, with a checksum that fits it.
  const std::string badCode = Record(
      0x0C, 0, 0xB0, {0x6D, 0x03, 0xE8, 0xB1, 0xF4, 0x7A, 0x29, 0xC5, 0x0E, 0x9B, 0x7D, 0x15});
  struct Case {
    const char* name;
    std::vector<std::string> before;
    std::string bad;
    int line;
    const char* reason;
  } cases[] = {
      {"terminator", {kSecurity}, "\r", 2, "stray byte"},
      {"line feed after a line", {kSecurity, Erase(1)}, "\n", 3, "stray byte"},
      {"lowercase digit", {kSecurity, Data(0)}, lowercase, 3, "lowercase"},
      {"not hex", {kSecurity}, ":4G", 2, "not an uppercase hex digit"},
      {"byte sum", {kSecurity}, badSum, 2, "byte sum"},
      {"wrong security code", {}, badCode, 1, "not the security line"},
      {"data before security", {}, Data(0), 1, "before the security line"},
      {"erase before security", {}, Erase(1), 1, "before the security line"},
      {"end before security", {}, kEnd, 1, "before the security line"},
      {"security twice", {kSecurity}, kSecurity, 2, "again"},
      {"erase chip 8",
       {kSecurity},
       Record(0x18, 0, 0xB8, std::vector<std::uint8_t>(24)),
       2,
       "record type 0xB8"},
      {"erase body wrong",
       {kSecurity},
       Record(0x18, 0, 0xB1, std::vector<std::uint8_t>(24)),
       2,
       "not the erase line for chip 1"},
      {"chips out of order", {kSecurity, Erase(2)}, Erase(1), 3, "chip 1 erased after chip 2"},
      {"erase after data", {kSecurity, Data(0)}, Erase(1), 3, "after data lines"},
      {"block not rising", {kSecurity, Data(5)}, Data(5), 3, "does not rise"},
      {"address not a block start",
       {kSecurity},
       Record(0x40, 0x0010, 0, BlockData(0)),
       2,
       "not a block start"},
      {"address and type disagree",
       {kSecurity},
       Record(0x40, 0x4000, 0x00, BlockData(0)),
       2,
       "does not fit record type"},
      {"unknown count", {kSecurity}, Record(0x01, 0, 0, {0x00}), 2, "count of 0x01"},
      {"wrong end line", {kSecurity}, Record(0x00, 0, 0x01, {}), 2, "not the end line"},
      {"line after end", {kSecurity, kEnd}, kEnd, 3, "after the end line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Driver d(Quick());
    d.Drain();
    for (const std::string& line : c.before) ASSERT_EQ(d.Send(line), "Y");
    EXPECT_EQ(d.Send(c.bad), "\x3F");
    EXPECT_EQ(d.Send(kEnd), "") << "ignores everything after a violation";
    const Verdict v = d.device().GetVerdict();
    ASSERT_TRUE(v.violation.has_value());
    EXPECT_EQ(v.violation->line, c.line);
    EXPECT_NE(v.violation->reason.find(c.reason), std::string::npos) << v.violation->reason;
    EXPECT_FALSE(v.Passed());
    ASSERT_FALSE(d.log().empty());
    EXPECT_NE(d.log().back().find("line " + std::to_string(c.line)), std::string::npos);
  }
}

TEST(DeviceViolations, TimingOfTheHost) {
  {
    SCOPED_TRACE("a byte before Q");
    Device device(Quick());
    device.Connect(Nanos{0});
    device.Receive(kSecurity, kPowerOn / 2);
    EXPECT_EQ(device.Poll(kPowerOn).bytes, " Q\x3F");
    EXPECT_NE(device.GetVerdict().violation->reason.find("before"), std::string::npos);
  }
  {
    SCOPED_TRACE("next line before the answer");
    DeviceOptions o = Quick();
    o.faults.ackDelay = 10ms;
    Driver d(o);
    d.Drain();
    d.device().Receive(kSecurity, d.now());
    d.device().Receive(Erase(1), d.now() + 5ms);
    EXPECT_EQ(d.Drain(), "Y\x3F");
    EXPECT_NE(d.device().GetVerdict().violation->reason.find("before the previous one"),
              std::string::npos);
  }
}

TEST(DeviceFaults, SilentAfterBlockK) {
  for (int k : {0, 2}) {
    SCOPED_TRACE(k);
    DeviceOptions o = Quick();
    o.faults.silentAfterBlock = k;
    Driver d(o);
    d.Drain();
    for (const std::string& line : {kSecurity, Erase(1), Erase(2), Erase(3)}) d.Send(line);
    for (int b = 0; b < k; ++b) ASSERT_EQ(d.Send(Data(static_cast<unsigned>(b))), "Y");
    EXPECT_EQ(d.Send(Data(static_cast<unsigned>(k))), "");
    EXPECT_EQ(d.Send(kEnd), "");
    const Verdict v = d.device().GetVerdict();
    EXPECT_EQ(v.blocksWritten, k);
    EXPECT_EQ(v.linesReceived, 4 + k + 2);
    EXPECT_FALSE(v.endLineReceived);
    EXPECT_EQ(v.faultsShown.size(), 1U);
  }
}

TEST(DeviceFaults, WrongByteAtLineK) {
  DeviceOptions o = Quick();
  o.faults.wrongByteAtLine = 3;
  Driver d(o);
  d.Drain();
  EXPECT_EQ(d.Send(kSecurity), "Y");
  EXPECT_EQ(d.Send(Erase(1)), "Y");
  EXPECT_EQ(d.Send(Erase(2)), "\x3F");
  const Verdict v = d.device().GetVerdict();
  EXPECT_EQ(v.chipsErased, (std::vector<int>{1}));
  EXPECT_FALSE(v.violation.has_value()) << "the line itself was sound";
}

TEST(DeviceFaults, HangUpAtBlockK) {
  DeviceOptions o = Quick();
  o.faults.hangUpAtBlock = 3;
  Driver d(o);
  d.Drain();
  for (const std::string& line : {kSecurity, Erase(1)}) d.Send(line);
  EXPECT_EQ(d.Send(Data(0)), "Y");
  EXPECT_EQ(d.Send(Data(1)), "Y");
  EXPECT_FALSE(d.hungUp());
  EXPECT_EQ(d.Send(Data(2)), "");
  EXPECT_TRUE(d.hungUp());
  const Verdict v = d.device().GetVerdict();
  EXPECT_TRUE(v.hungUp);
  EXPECT_EQ(v.blocksWritten, 2);
}

TEST(DeviceTiming, AckDelayAndWirePacing) {
  using tarnsim::kWireCharTime;
  {
    SCOPED_TRACE("ack delay");
    DeviceOptions o = Quick();
    o.faults.ackDelay = 7ms;
    Device device(o);
    device.Connect(Nanos{0});
    EXPECT_EQ(device.Poll(kPowerOn).bytes, " Q") << "power-on is not delayed";
    device.Receive(kSecurity, 1s);
    EXPECT_EQ(device.Poll(1s + 7ms - 1ns).bytes, "");
    EXPECT_EQ(device.Poll(1s + 7ms).bytes, "Y");
  }
  {
    SCOPED_TRACE("wire");
    DeviceOptions o = Quick();
    o.wire = true;
    Device device(o);
    device.Connect(Nanos{0});
    EXPECT_EQ(device.Poll(kPowerOn + kWireCharTime).bytes, " ");
    EXPECT_EQ(device.Poll(kPowerOn + 2 * kWireCharTime).bytes, "Q");
    // A 35-character line written at once still takes 35 character times to
    // arrive, and its answer one more to come back.
    device.Receive(kSecurity, 1s);
    const Nanos ready = 1s + 36 * kWireCharTime;
    EXPECT_EQ(device.Poll(ready - 1ns).bytes, "");
    EXPECT_EQ(device.Poll(ready).bytes, "Y");
  }
  // 141,169 characters out and 1,021 in take about 40.7 s on the wire.
  EXPECT_NEAR(std::chrono::duration<double>(kWireCharTime * (141169 + 1021)).count(), 40.7, 0.05);
}
