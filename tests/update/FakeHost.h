#pragma once
// A window stand-in for the dialogue and the update sequence: the shared
// windowless host with its real TSerial over the recording FakePlatform, and a scripted timeline of
// what happens while the window processes its messages (timer ticks, cancel presses, bytes from the
// device), keyed by the number of the ProcessMessages call. Everything the code under test does to
// the window, and what the device sees, goes into one log in order.

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/FakePlatform.h"
#include "updatebench/WindowlessHost.h"

class FakeHost : public TWindowlessHost {
 public:
  // A bound on message processing: a wait that never ends fails the test
  // instead of hanging it.
  static constexpr std::size_t kRunawayPumps = 200000;

  FakeHost() : FakeHost(std::make_shared<FakePlatform>()) {}
  ~FakeHost() override {
    // The component closes its port when it is destroyed, after the log is
    // gone: stop listening first.
    platform_->SetDeviceHook({});
  }
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // --- the timeline ---------------------------------------------------------
  // Whether every ProcessMessages call brings one timer tick (default true).
  void SetAutoTick(bool on) { autoTick_ = on; }
  void TickAt(std::size_t pump) { ++script_[pump].ticks; }
  void CancelAt(std::size_t pump) { script_[pump].cancel = true; }
  void BytesAt(std::size_t pump, std::string bytes) { script_[pump].bytes += bytes; }

  // The device: sees every open, close, break change and written line.
  void SetDevice(std::function<void(const FakePlatform::DeviceEvent&)> device) {
    device_ = std::move(device);
  }
  FakePlatform& Platform() { return *platform_; }

  // --- what happened ------------------------------------------------------
  [[nodiscard]] const std::vector<std::string>& Log() const { return log_; }
  // The log entries that begin with `prefix`, with the prefix removed.
  [[nodiscard]] std::vector<std::string> Entries(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& entry : log_) {
      if (entry.rfind(prefix, 0) == 0) out.push_back(entry.substr(prefix.size()));
    }
    return out;
  }
  [[nodiscard]] std::size_t Pumps() const { return pumps_; }
  [[nodiscard]] std::int32_t Ticks() const { return TWindowlessHost::TickCount(); }
  [[nodiscard]] bool Enabled(HostButton button) const { return ButtonEnabled(button); }

  // --- IUpdateHost, each call logged ----------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override {
    log_.push_back("ticks:" + std::to_string(Ticks()));
    return Ticks();
  }
  void ClearCancelFlag() override {
    TWindowlessHost::ClearCancelFlag();
    Log("cancel-cleared");
  }
  void ProcessMessages() override {
    ++pumps_;
    if (pumps_ > kRunawayPumps) throw std::runtime_error("runaway wait");
    Log("pump");
    if (autoTick_) Tick();
    if (const auto it = script_.find(pumps_); it != script_.end()) {
      for (int i = 0; i < it->second.ticks; ++i) Tick();
      if (it->second.cancel) PressCancel();
      if (!it->second.bytes.empty()) platform_->PushRx(it->second.bytes);
    }
    RunHandOvers();
  }
  // Never blocks; notes when a byte was already waiting, which a window
  // would sleep through if its announcement had been dispatched.
  void WaitForActivity() override { Log(platform_->RxQueued() > 0 ? "idle-with-data" : "idle"); }
  void ClearStatus() override {
    TWindowlessHost::ClearStatus();
    Log("clear");
  }
  void AddStatus(const std::string& text) override {
    TWindowlessHost::AddStatus(text);
    Log("status:" + text);
  }
  void SetButtonEnabled(HostButton button, bool enabled) override {
    TWindowlessHost::SetButtonEnabled(button, enabled);
    static const char* const names[] = {"Start", "Exit", "Cancel"};
    Log(std::string("button:") + names[static_cast<std::size_t>(button)] + "=" +
        (enabled ? "1" : "0"));
  }
  void SetGaugeProgress(std::int32_t value) override {
    TWindowlessHost::SetGaugeProgress(value);
    Log("gauge=" + std::to_string(value));
  }
  void ShowErrorBox(const std::string& text) override {
    TWindowlessHost::ShowErrorBox(text);
    Log("box:" + text);
  }

 private:
  struct Moment {
    int ticks = 0;
    bool cancel = false;
    std::string bytes;
  };

  explicit FakeHost(std::shared_ptr<FakePlatform> platform)
      : TWindowlessHost(platform), platform_(std::move(platform)) {
    platform_->SetRecorded("WaitCommEvent", false);
    platform_->SetDeviceHook([this](FakePlatform&, const FakePlatform::DeviceEvent& event) {
      switch (event.kind) {
        case FakePlatform::DeviceEvent::Opened:
          Log("open:" + event.data);
          break;
        case FakePlatform::DeviceEvent::Closed:
          Log("closed");
          break;
        case FakePlatform::DeviceEvent::BreakOn:
          Log("break-on");
          break;
        case FakePlatform::DeviceEvent::BreakOff:
          Log("break-off");
          break;
        case FakePlatform::DeviceEvent::Written:
          Log("write:" + event.data);
          break;
      }
      if (device_) device_(event);
    });
  }

  void Log(std::string entry) { log_.push_back(std::move(entry)); }

  std::shared_ptr<FakePlatform> platform_;
  std::function<void(const FakePlatform::DeviceEvent&)> device_;
  std::map<std::size_t, Moment> script_;
  bool autoTick_ = true;
  std::size_t pumps_ = 0;
  mutable std::vector<std::string> log_;
};
