// Failures on a real port: the POSIX layer on a pseudo-terminal, with the
// device simulator on the far end. Failing runs must leave no descriptor
// behind, and a device that hangs up in the middle of the update must give
// the operator the time-out, leave the port closed and let the next Start
// work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FaultPlatform.h"
#include "serial/posix/PosixPlatform.h"
#include "tarnsim/PortLink.h"
#include "tarnsim/Pty.h"
#include "updatebench/HeadlessHost.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Outcome = HeadlessHost::Outcome;

namespace {

constexpr const char* kNoAnswer = "Hardware antwortet nicht !";
// Real time per timer tick: a 1000 ms device time-out passes in 500 ms,
// still far above the simulator's answer time on a loaded machine.
constexpr std::chrono::microseconds kTick = 100ms;

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Whether any descriptor of this process refers to `path`.
bool HoldsOpen(const std::string& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec).string() == path) return true;
  }
  return false;
}

tarnsim::DeviceOptions Device() {
  tarnsim::DeviceOptions options;
  options.powerOn = 20ms;
  return options;
}

// A private ports directory with COM1 linked to a simulator, and a window
// whose port goes through a FaultPlatform over the POSIX layer.
class PtyFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-faults-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    baseline_ = OpenDescriptors();
    faults_ = std::make_shared<FaultPlatform>(
        MakePosixPlatform({dir_, dir_ / "no-dev", dir_ / "no-sys"}));
    HeadlessHost::Options options;
    options.tickPeriod = kTick;
    host_ = std::make_unique<HeadlessHost>(options, faults_);
  }
  void TearDown() override {
    host_.reset();
    faults_.reset();
    link_.reset();
    sim_.reset();
    fs::remove_all(dir_);
    // The whole window is gone: so is every descriptor it opened.
    EXPECT_EQ(OpenDescriptors(), baseline_);
  }

  void Connect(tarnsim::DeviceOptions options) {
    link_.reset();
    sim_ = std::make_unique<tarnsim::PtySimulator>(std::move(options));
    link_.emplace(dir_.string(), "COM1", sim_->Path());
  }

  fs::path dir_;
  int baseline_ = 0;
  std::unique_ptr<tarnsim::PtySimulator> sim_;
  std::optional<tarnsim::PortLink> link_;
  std::shared_ptr<FaultPlatform> faults_;
  std::unique_ptr<HeadlessHost> host_;
};

TEST_F(PtyFaults, FailingRealPortRunsLeaveNoDescriptorBehind) {
  struct Case {
    const char* call;
    std::uint64_t use;
    std::int32_t code;
    bool completes;  // the update still succeeds
  };
  const Case cases[] = {
      {"SetCommState", 1, EINVAL, true},
      {"Write", 1, EIO, false},
      {"Write", 300, EIO, false},
      {"ReadByte", 40, EIO, true},
      {"WaitCommEvent", 1, EIO, true},
      {"PurgeComm", 1, EIO, true},
      {"Close", 1, EIO, true},
      {"Open", 1, EACCES, true},  // ends at once, without an exception
  };
  Connect(Device());
  const int before = OpenDescriptors();
  std::size_t sessions = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + "#" + std::to_string(c.use));
    faults_->Reset();
    faults_->Arm(c.call, c.use, c.code);
    const auto began = std::chrono::steady_clock::now();
    const Outcome outcome = host_->RunOnce();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(faults_->Fired().size(), 1U);
    EXPECT_TRUE(host_->Idle());
    // The device's session ends when the port closes. Starting again before
    // the simulator has seen that would continue the old session.
    if (std::string(c.call) != "Open") {
      EXPECT_EQ(sim_->WaitForVerdicts(++sessions, 5000ms).size(), sessions);
    }
    if (c.completes) {
      EXPECT_EQ(outcome.kind, Outcome::Completed) << outcome.message;
    } else {
      EXPECT_NE(outcome.kind, Outcome::Completed);
    }
    EXPECT_FALSE(host_->Boxes().empty()) << "the component reports the failure";
    EXPECT_EQ(OpenDescriptors(), before) << "a descriptor was left open";
    if (!host_->Boxes().empty()) std::printf("  first box: %s\n", host_->Boxes()[0].c_str());
    std::printf("%-14s #%-4llu -> %-30s boxes %zu, descriptors %d -> %d, status '%s' (%.2f s)\n",
                c.call, static_cast<unsigned long long>(c.use),
                outcome.kind == Outcome::Completed ? "completed" : outcome.message.c_str(),
                host_->Boxes().size(), before, OpenDescriptors(),
                host_->Status().empty() ? "" : host_->Status().back().c_str(), seconds);
  }
  // And a clean run after all of them.
  faults_->Reset();
  EXPECT_EQ(host_->RunOnce().kind, Outcome::Completed);
  EXPECT_EQ(OpenDescriptors(), before);
  const auto verdicts = sim_->WaitForVerdicts(++sessions, 5000ms);
  ASSERT_EQ(verdicts.size(), sessions);
  EXPECT_TRUE(verdicts.back().Passed()) << tarnsim::FormatVerdict(verdicts.back());
}

TEST_F(PtyFaults, HangUpMidUpdateClosesThePortAndTheNextStartWorks) {
  for (const int block : {1, 500, 1014}) {
    SCOPED_TRACE("hang-up at block " + std::to_string(block));
    tarnsim::DeviceOptions options = Device();
    options.faults.hangUpAtBlock = block;
    Connect(options);
    const std::string line = sim_->Path();

    const Outcome outcome = host_->RunOnce();
    EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
    EXPECT_EQ(outcome.message, kNoAnswer);
    EXPECT_EQ(host_->HighestProgress(), block - 1);
    EXPECT_EQ(host_->Status().back(), "Update is running !!");
    EXPECT_TRUE(host_->Idle());
    EXPECT_FALSE(HoldsOpen(line)) << "the port was not closed";
    const auto verdicts = sim_->WaitForVerdicts(1, 5000ms);
    ASSERT_EQ(verdicts.size(), 1U);
    EXPECT_TRUE(verdicts[0].hungUp);
    EXPECT_EQ(verdicts[0].blocksWritten, block - 1);
    // The dead line is reported once per kind of failure (the read and the
    // event wait), in words that name the port and its device.
    const std::vector<std::string> boxes = host_->Boxes();
    EXPECT_GE(boxes.size(), 1U);
    EXPECT_LE(boxes.size(), 3U);
    for (const std::string& box : boxes) {
      EXPECT_EQ(box, "COM1 (" + line +
                         ") is gone: the adapter may have been unplugged, or the "
                         "line has hung up");
    }
    std::printf("hang-up at block %4d: '%s', %zu error boxes\n", block, outcome.message.c_str(),
                boxes.size());

    // Start again while the link still names the vanished line: the port
    // does not open, the component says why, and the window stays idle.
    const Outcome dead = host_->RunOnce();
    EXPECT_EQ(dead.kind, Outcome::Completed);
    EXPECT_TRUE(host_->Status().empty());
    EXPECT_EQ(host_->Boxes().size(), 1U);
    EXPECT_TRUE(host_->Idle());

    // The device is back: the next Start runs the whole update.
    Connect(Device());
    const Outcome again = host_->RunOnce();
    EXPECT_EQ(again.kind, Outcome::Completed) << again.message;
    EXPECT_EQ(host_->Status().back(), "Update succesful !!");
    EXPECT_TRUE(host_->Boxes().empty());
    const auto passed = sim_->WaitForVerdicts(1, 5000ms);
    ASSERT_EQ(passed.size(), 1U);
    EXPECT_TRUE(passed[0].Passed()) << tarnsim::FormatVerdict(passed[0]);
  }
}

// The operator pulls the adapter while the list says "Connect TARN to Power
// !": the far end of the line goes away. Counts the boxes the operator has to
// close before the run ends at its own time-out, and checks the next Start.
TEST(PulledLine, PowerWaitShowsAFewBoxesAndEndsAtItsTimeout) {
  char pattern[] = "/tmp/tarn-pulled-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  {
    tarnsim::Pty line;
    tarnsim::PortLink link(dir.string(), "COM1", line.Path());
    // 10 ms per tick: the 100 s power wait passes in 5 s.
    HeadlessHost host(HeadlessHost::Options{dir, 0, std::chrono::milliseconds(10)});
    bool pulled = false;
    std::int32_t pulledAt = 0;
    host.SetOperator([&](HeadlessHost& h) {
      if (!pulled && !h.Status().empty() && h.Status().back() == "Connect TARN to Power !") {
        pulled = true;
        pulledAt = h.TickCount();
        line.Close();
      }
    });
    const Outcome outcome = host.RunOnce();
    const std::vector<std::string> boxes = host.Boxes();
    std::printf("pulled line in the power wait: %zu boxes, run ended with '%s' after %d ticks\n",
                boxes.size(), outcome.message.c_str(), (host.TickCount() - pulledAt) / 200);
    for (const std::string& box : boxes) std::printf("  box: %s\n", box.c_str());
    EXPECT_TRUE(pulled);
    EXPECT_EQ(outcome.kind, Outcome::SerialFailure);
    EXPECT_EQ(outcome.message, kNoAnswer);
    EXPECT_TRUE(host.Idle());
    EXPECT_GE(boxes.size(), 1U);
    EXPECT_LE(boxes.size(), 3U);
    for (const std::string& box : boxes) {
      EXPECT_NE(box.find("COM1"), std::string::npos) << box;
      EXPECT_NE(box.find(line.Path()), std::string::npos) << box;
    }
  }
  fs::remove_all(dir);
}

}  // namespace
