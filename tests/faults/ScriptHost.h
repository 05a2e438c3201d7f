#pragma once
// The update window without a window, over the recording fake: a real
// TSerial (with its event thread) on a FaultPlatform wrapped around a
// FakePlatform, a TARN device model behind the fake, and a timeline that
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
#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "testing/FakePlatform.h"
#include "update/Exceptions.h"
#include "update/UpdateHost.h"
#include "update/UpdateSequence.h"

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

// The device on the far end of the fake port. It enters its update mode
// when it is switched on while the break is set (the operator switches it on
// as soon as "Connect TARN to Power !" is shown, which the break's rising
// edge stands for), answers "Q" when the break is released, and acknowledges
// every record line. A device that never sees the break, or never sees it
// released, stays silent. `answers` limits how many answers it gives in all
// (negative: no limit).
struct TarnModel {
  int answers = -1;
  int linesSeen = 0;
  bool inUpdateMode = false;

  void Attach(FakePlatform& fake) {
    fake.SetDeviceHook([this](FakePlatform& port, const FakePlatform::DeviceEvent& event) {
      switch (event.kind) {
        case FakePlatform::DeviceEvent::BreakOn:
          inUpdateMode = true;
          Answer(port, " ");
          break;
        case FakePlatform::DeviceEvent::BreakOff:
          if (inUpdateMode) Answer(port, "Q");
          break;
        case FakePlatform::DeviceEvent::Written:
          ++linesSeen;
          if (inUpdateMode) Answer(port, "Y");
          break;
        case FakePlatform::DeviceEvent::Closed:
          inUpdateMode = false;
          break;
        case FakePlatform::DeviceEvent::Opened:
          break;
      }
    });
  }

 private:
  void Answer(FakePlatform& port, const char* reply) {
    if (answers == 0) return;
    if (answers > 0) --answers;
    port.PushRx(reply);
  }
};

class ScriptHost : public IUpdateHost, public ISerialOwner {
 public:
  struct Outcome {
    enum Kind : std::uint8_t { Completed, SerialFailure, Aborted } kind = Completed;
    std::string message;
  };

  explicit ScriptHost(std::size_t maxPumps = 20000)
      : maxPumps_(maxPumps),
        fake_(std::make_shared<FakePlatform>()),
        faults_(std::make_shared<FaultPlatform>(fake_)),
        serial_(*this, faults_) {
    // The line settings of the update window.
    serial_.SetBaudrate(38400);
    serial_.SetDataBits(d8bit);
    serial_.SetStopBits(st2bit);
    serial_.SetParity(paNone);
    serial_.SetCheckParity(false);
    // Long runs: keep the recording small.
    for (const char* name : {"WaitCommEvent", "ReadByte", "Write", "ErrorText"}) {
      fake_->SetRecorded(name, false);
    }
    // The platform's texts for the codes the runs use, as strerror gives them.
    for (const std::int32_t code : {2, 5, 9, 13, 16, 22, 25, 95, 110}) {
      fake_->SetErrorText(code, std::string(std::strerror(code)) + ".\n");
    }
  }
  ~ScriptHost() override {
    fake_->SetDeviceHook({});
    // Nothing pumps any more: the event thread must not wait for this thread.
    serial_.SetActive(false);
    queue_.Shutdown();
  }
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  FakePlatform& Fake() { return *fake_; }
  FaultPlatform& Faults() { return *faults_; }

  // Runs on every message processing instead of the default single tick.
  void SetTimeline(std::function<void(ScriptHost&)> timeline) { timeline_ = std::move(timeline); }
  void Tick() { ticks_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks_) + 200U); }
  void SetTicks(std::int32_t ticks) { ticks_ = ticks; }
  void PressCancel() { cancel_ = true; }
  // Lets every message processing first give the event thread the chance to
  // catch up (to hand over what it has seen, or to block in its next wait),
  // so its waits and hand-overs interleave with the update as they do in a
  // window, and a run uses the event wait about once a line.
  void SetEventSync(bool on) { eventSync_ = on; }

  // The Start button: one update, and how it ended.
  Outcome Start() {
    return Run([this] { RunUpdate(*this); });
  }
  // Any piece of the dialogue, run like the Start handler.
  Outcome Run(const std::function<void()>& body) {
    try {
      body();
      return {};
    } catch (const ESerialException& e) {
      return {Outcome::SerialFailure, e.what()};
    } catch (const EAbort&) {
      return {Outcome::Aborted, {}};
    }
  }

  // What the window would show now that is not the idle state; empty when
  // the window and the port are idle.
  [[nodiscard]] std::string NotIdle() const {
    std::string why;
    if (serial_.Active()) why += " component-active";
    if (fake_->IsOpen()) why += " port-open";
    if (serial_.BreakState()) why += " break-state-set";
    if (fake_->BreakOn()) why += " line-in-break";
    if (fake_->Dtr() || fake_->Rts()) why += " modem-lines-up";
    if (!enabled_[0]) why += " Start-disabled";
    if (!enabled_[1]) why += " Exit-disabled";
    if (!enabled_[2]) why += " Cancel-disabled";
    if (gauge_ != 0) why += " gauge=" + std::to_string(gauge_);
    if (cancel_) why += " cancel-flag-set";
    return why;
  }

  [[nodiscard]] const std::vector<std::string>& Status() const { return status_; }
  [[nodiscard]] const std::vector<std::string>& Boxes() const { return boxes_; }
  [[nodiscard]] bool EverDisabled() const { return everDisabled_; }
  [[nodiscard]] std::int32_t HighestProgress() const { return highestProgress_; }
  [[nodiscard]] std::size_t Pumps() const { return pumps_; }
  void ClearRecord() {
    boxes_.clear();
    everDisabled_ = false;
    highestProgress_ = 0;
    pumps_ = 0;
    syncMisses_ = 0;
  }

  // --- IUpdateHost ----------------------------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override {
    if (++pumps_ > maxPumps_) throw RunawayWait();
    if (timeline_) {
      timeline_(*this);
    } else {
      Tick();
    }
    if (eventSync_) SyncEventThread();
    queue_.RunPending();
  }
  // Every message processing brings the next moment of the timeline, so
  // there is nothing to wait for.
  void WaitForActivity() override {}
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return 0; }
  void ClearStatus() override { status_.clear(); }
  void AddStatus(const std::string& text) override { status_.push_back(text); }
  void SetButtonEnabled(HostButton button, bool enabled) override {
    enabled_[static_cast<std::size_t>(button)] = enabled;
    if (!enabled) everDisabled_ = true;
  }
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge_; }
  void SetGaugeProgress(std::int32_t value) override {
    gauge_ = value;
    if (value > highestProgress_) highestProgress_ = value;
  }

  // --- ISerialOwner ---------------------------------------------------------
  void ShowErrorBox(const std::string& text) override { boxes_.push_back(text); }
  bool HandOver(const void* source, std::function<void()> call) override {
    return queue_.Post(source, std::move(call));
  }
  void WithdrawHandOvers(const void* source) override { queue_.Withdraw(source); }

 private:
  // Bounded: a thread that does not block in a wait (its mask was never
  // set, or it pauses after a failure) costs a few short waits and then
  // ends the syncing for this run.
  void SyncEventThread() {
    if (!serial_.Active() || syncMisses_ >= 3) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    while (!queue_.HasPending() &&
           !fake_->WaitForWaiter(fake_->WaitsEntered(), std::chrono::milliseconds(1))) {
      if (std::chrono::steady_clock::now() >= until) {
        ++syncMisses_;
        return;
      }
    }
    syncMisses_ = 0;
  }

  std::size_t maxPumps_;
  // Declared before the component, so it outlives the component's shutdown.
  HandOverQueue queue_;
  std::shared_ptr<FakePlatform> fake_;
  std::shared_ptr<FaultPlatform> faults_;
  TSerial serial_;
  std::function<void(ScriptHost&)> timeline_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  bool enabled_[3] = {true, true, true};
  bool everDisabled_ = false;
  std::int32_t gauge_ = 0;
  std::int32_t highestProgress_ = 0;
  std::size_t pumps_ = 0;
  bool eventSync_ = false;
  int syncMisses_ = 0;
  std::vector<std::string> status_;
  std::vector<std::string> boxes_;
};
