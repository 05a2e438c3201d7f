#pragma once
// The update window without a window, over the recording fake: the shared
// windowless host with its real TSerial (and event thread) on a
// FaultPlatform wrapped around a FakePlatform, with the TARN device
// (FakeTarn, the simulator's model) behind the fake, and a timeline that
// decides what happens each time the window processes its messages (by
// default one timer tick). Used by the fault-injection runs and the fuzzer.

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FaultPlatform.h"
#include "testing/FakePlatform.h"
#include "testing/FakeTarn.h"
#include "updatebench/WindowlessHost.h"

// The status list after a successful update, in order.
inline const std::vector<std::string> kSuccessStatus = {
    "Connect TARN to Power !", "TARN detected",           "TARN accepted security code",
    "Flash erase -  Chip:  1", "Flash erase -  Chip:  2", "Flash erase -  Chip:  3",
    "Update is running !!",    "Update succesful !!"};

// Thrown when a run processes more messages than any ending needs: a wait
// that would never end.
class RunawayWait : public std::runtime_error {
 public:
  RunawayWait() : std::runtime_error("runaway wait") {}
};

class ScriptHost : public TWindowlessHost {
 public:
  explicit ScriptHost(std::size_t maxPumps = 20000)
      : ScriptHost(maxPumps, std::make_shared<FakePlatform>()) {}
  ~ScriptHost() override { fake_->SetDeviceHook({}); }
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  FakePlatform& Fake() { return *fake_; }
  FaultPlatform& Faults() { return *faults_; }

  // Runs on every message processing instead of the default single tick.
  void SetTimeline(std::function<void(ScriptHost&)> timeline) { timeline_ = std::move(timeline); }
  // Lets every message processing first give the event thread the chance to
  // catch up (to hand over what it has seen, or to block in its next wait),
  // so its waits and hand-overs interleave with the update as they do in a
  // window, and a run uses the event wait about once a line.
  void SetEventSync(bool on) { eventSync_ = on; }

  // What the window would show now that is not the idle state; empty when
  // the window and the port are idle.
  [[nodiscard]] std::string NotIdle() const {
    std::string why;
    if (Serial().Active()) why += " component-active";
    if (fake_->IsOpen()) why += " port-open";
    if (Serial().BreakState()) why += " break-state-set";
    if (fake_->BreakOn()) why += " line-in-break";
    if (fake_->Dtr() || fake_->Rts()) why += " modem-lines-up";
    if (!ButtonEnabled(HostButton::Start)) why += " Start-disabled";
    if (!ButtonEnabled(HostButton::Exit)) why += " Exit-disabled";
    if (!ButtonEnabled(HostButton::Cancel)) why += " Cancel-disabled";
    if (GaugeProgress() != 0) why += " gauge=" + std::to_string(GaugeProgress());
    if (CancelFlag()) why += " cancel-flag-set";
    return why;
  }

  [[nodiscard]] bool EverDisabled() const { return everDisabled_; }
  [[nodiscard]] std::int32_t HighestProgress() const { return highestProgress_; }
  [[nodiscard]] std::size_t Pumps() const { return pumps_; }
  void ClearRecord() {
    ClearBoxes();
    everDisabled_ = false;
    highestProgress_ = 0;
    pumps_ = 0;
    syncMisses_ = 0;
  }

  // --- IUpdateHost ----------------------------------------------------------
  void ProcessMessages() override {
    if (++pumps_ > maxPumps_) throw RunawayWait();
    if (timeline_) {
      timeline_(*this);
    } else {
      Tick();
    }
    if (eventSync_) SyncEventThread();
    RunHandOvers();
  }
  // Every message processing brings the next moment of the timeline, so
  // there is nothing to wait for.
  void WaitForActivity() override {}
  void SetButtonEnabled(HostButton button, bool enabled) override {
    TWindowlessHost::SetButtonEnabled(button, enabled);
    if (!enabled) everDisabled_ = true;
  }
  void SetGaugeProgress(std::int32_t value) override {
    TWindowlessHost::SetGaugeProgress(value);
    if (value > highestProgress_) highestProgress_ = value;
  }

 private:
  ScriptHost(std::size_t maxPumps, std::shared_ptr<FakePlatform> fake)
      : ScriptHost(maxPumps, fake, std::make_shared<FaultPlatform>(fake)) {}
  ScriptHost(std::size_t maxPumps, std::shared_ptr<FakePlatform> fake,
             std::shared_ptr<FaultPlatform> faults)
      : TWindowlessHost(faults),
        maxPumps_(maxPumps),
        fake_(std::move(fake)),
        faults_(std::move(faults)) {
    // Long runs: keep the recording small.
    for (const char* name : {"WaitCommEvent", "ReadByte", "Write", "ErrorText"}) {
      fake_->SetRecorded(name, false);
    }
    // The platform's texts for the codes the runs use, as strerror gives them.
    for (const std::int32_t code : {2, 5, 9, 13, 16, 22, 25, 95, 110}) {
      fake_->SetErrorText(code, std::string(std::strerror(code)) + ".\n");
    }
  }

  // Bounded: a thread that does not block in a wait (its mask was never
  // set, or it pauses after a failure) costs a few short waits and then
  // ends the syncing for this run.
  void SyncEventThread() {
    if (!Serial().Active() || syncMisses_ >= 3) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    while (!HandOvers().HasPending() &&
           !fake_->WaitForWaiter(fake_->WaitsEntered(), std::chrono::milliseconds(1))) {
      if (std::chrono::steady_clock::now() >= until) {
        ++syncMisses_;
        return;
      }
    }
    syncMisses_ = 0;
  }

  std::size_t maxPumps_;
  std::shared_ptr<FakePlatform> fake_;
  std::shared_ptr<FaultPlatform> faults_;
  std::function<void(ScriptHost&)> timeline_;
  bool everDisabled_ = false;
  std::int32_t highestProgress_ = 0;
  std::size_t pumps_ = 0;
  bool eventSync_ = false;
  int syncMisses_ = 0;
};
