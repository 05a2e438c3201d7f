// The whole update over a real pseudo-terminal: the update sequence, the
// serial component with its POSIX platform and event thread, against the
// device simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarnsim/Flash.h"
#include "tarnsim/PortLink.h"
#include "tarnsim/Pty.h"
#include "updatebench/HeadlessHost.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Outcome = HeadlessHost::Outcome;

namespace {

const std::vector<std::string> kSuccessStatus = {
    "Connect TARN to Power !", "TARN detected",           "TARN accepted security code",
    "Flash erase -  Chip:  1", "Flash erase -  Chip:  2", "Flash erase -  Chip:  3",
    "Update is running !!",    "Update succesful !!"};

// A simulator linked as COM1 in a private ports directory, and a host that
// uses that directory.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    host_.reset();
    link_.reset();
    sim_.reset();
    fs::remove_all(dir_);
  }

  // `tick` is the real time per timer tick: 200 ms as in the window where
  // the timeouts are what a test is about, longer elsewhere so that a busy
  // machine cannot turn a slow acknowledge into a timeout.
  void Start(tarnsim::DeviceOptions device, std::chrono::milliseconds tick = 1000ms) {
    sim_ = std::make_unique<tarnsim::PtySimulator>(std::move(device));
    link_.emplace(dir_.string(), "COM1", sim_->Path());
    host_ = std::make_unique<HeadlessHost>(HeadlessHost::Options{dir_, 0, tick});
  }

  tarnsim::Verdict Verdict() {
    const auto verdicts = sim_->WaitForVerdicts(1, 5000ms);
    EXPECT_EQ(verdicts.size(), 1U);
    return verdicts.empty() ? tarnsim::Verdict{} : verdicts.front();
  }

  // Every ending leaves the window idle.
  void ExpectIdle() {
    EXPECT_FALSE(host_->Serial().Active());
    EXPECT_FALSE(host_->Serial().BreakState());
    EXPECT_TRUE(host_->ButtonEnabled(HostButton::Start));
    EXPECT_TRUE(host_->ButtonEnabled(HostButton::Exit));
    EXPECT_TRUE(host_->ButtonEnabled(HostButton::Cancel));
    EXPECT_EQ(host_->GaugeProgress(), 0);
    EXPECT_FALSE(host_->CancelFlag());
  }

  fs::path dir_;
  std::unique_ptr<tarnsim::PtySimulator> sim_;
  std::optional<tarnsim::PortLink> link_;
  std::unique_ptr<HeadlessHost> host_;
};

// A device that is switched on 100 ms after the port opens.
tarnsim::DeviceOptions Device() {
  tarnsim::DeviceOptions o;
  o.powerOn = 100ms;
  return o;
}

tarnsim::DeviceOptions Expecting() {
  tarnsim::DeviceOptions o = Device();
  o.expected = std::make_shared<const tarnsim::Flash>(tarnsim::ReadIntelHexFile(TARN_FIRMWARE_HEX));
  return o;
}

}  // namespace

TEST_F(EndToEnd, FullUpdateWritesTheFirmwareIntoTheFlash) {
  Start(Expecting());
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::Completed) << outcome.message;
  EXPECT_EQ(host_->Status(), kSuccessStatus);
  EXPECT_EQ(host_->HighestProgress(), 1014);
  ExpectIdle();
  EXPECT_TRUE(host_->Boxes().empty());
  const tarnsim::Verdict v = Verdict();
  EXPECT_TRUE(v.Passed()) << tarnsim::FormatVerdict(v);
  EXPECT_EQ(v.linesReceived, 1019);
  EXPECT_EQ(v.chipsErased, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(v.blocksWritten, 1014);
  EXPECT_EQ(v.flash, tarnsim::FlashCheck::Equal) << v.flashDetail;
}

TEST_F(EndToEnd, DeviceSilentAfterBlockK) {
  tarnsim::DeviceOptions o = Device();
  o.faults.silentAfterBlock = 40;
  Start(o, 200ms);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
  EXPECT_EQ(outcome.message, "Hardware antwortet nicht !");
  EXPECT_EQ(host_->HighestProgress(), 40);
  // Five ticks after block 41 was sent, at the first deadline test.
  EXPECT_EQ(host_->TickCount() - host_->TicksAtLastProgress(), 1000);
  EXPECT_EQ(host_->Status().back(), "Update is running !!");
  ExpectIdle();
  const tarnsim::Verdict v = Verdict();
  EXPECT_EQ(v.blocksWritten, 40);
  EXPECT_EQ(v.linesReceived, 4 + 41) << "block 41 was sent, nothing after it";
  EXPECT_FALSE(v.endLineReceived);
}

TEST_F(EndToEnd, WrongByteInsteadOfTheAcknowledge) {
  tarnsim::DeviceOptions o = Device();
  o.faults.wrongByteAtLine = 3;  // the erase line for chip 2
  Start(o);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
  EXPECT_EQ(outcome.message, "3F Hardware antwortet falsch !");
  EXPECT_EQ(host_->Status().back(), "Flash erase -  Chip:  2");
  ExpectIdle();
  EXPECT_EQ(Verdict().linesReceived, 3);
}

TEST_F(EndToEnd, SecondSpaceIsTheWrongByteForDetection) {
  tarnsim::DeviceOptions o = Device();
  o.faults.secondSpace = true;
  Start(o);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
  EXPECT_EQ(outcome.message, "20 Hardware antwortet falsch !");
  EXPECT_EQ(host_->Status(), std::vector<std::string>{"Connect TARN to Power !"});
  ExpectIdle();
  EXPECT_EQ(Verdict().linesReceived, 0);
}

TEST_F(EndToEnd, SevenStrayBytesBeforeTheSpaceAreDropped) {
  tarnsim::DeviceOptions o = Device();
  o.faults.strayBytes = 7;
  Start(o);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::Completed) << outcome.message;
  EXPECT_EQ(Verdict().blocksWritten, 1014);
}

TEST_F(EndToEnd, TheEighthStrayByteIsNamed) {
  tarnsim::DeviceOptions o = Device();
  o.faults.strayBytes = 8;
  Start(o);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.message, "E7 Hardware antwortet falsch !");
  ExpectIdle();
}

TEST_F(EndToEnd, DeviceHangsUpAtBlockK) {
  tarnsim::DeviceOptions o = Device();
  o.faults.hangUpAtBlock = 25;
  Start(o, 200ms);
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
  EXPECT_EQ(outcome.message, "Hardware antwortet nicht !");
  EXPECT_EQ(host_->HighestProgress(), 24);
  EXPECT_FALSE(host_->Boxes().empty()) << "the serial component reports the lost line";
  ExpectIdle();
  const tarnsim::Verdict v = Verdict();
  EXPECT_TRUE(v.hungUp);
  EXPECT_EQ(v.blocksWritten, 24);

  // The next Start works against a device that is there again.
  link_.reset();
  sim_ = std::make_unique<tarnsim::PtySimulator>(Expecting());
  link_.emplace(dir_.string(), "COM1", sim_->Path());
  EXPECT_EQ(host_->RunOnce().kind, Outcome::Completed);
  EXPECT_TRUE(Verdict().Passed());
}

TEST_F(EndToEnd, CancelWhileWaitingForPower) {
  tarnsim::DeviceOptions o = Device();
  o.powerOn = 60s;  // the operator never switches the device on
  Start(o, 200ms);
  host_->SetOperator([](HeadlessHost& h) {
    if (h.Status().size() == 1 && h.TickCount() >= 400) h.Cancel();
  });
  const Outcome outcome = host_->RunOnce();
  EXPECT_EQ(outcome.kind, Outcome::Aborted);
  EXPECT_EQ(host_->Status(), std::vector<std::string>{"Connect TARN to Power !"});
  EXPECT_TRUE(host_->Boxes().empty());
  ExpectIdle();
  const tarnsim::Verdict v = Verdict();
  EXPECT_EQ(v.linesReceived, 0);
}
