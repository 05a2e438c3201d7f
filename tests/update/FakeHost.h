#pragma once
// A window stand-in for the dialogue and the update sequence: a real TSerial
// over the recording FakePlatform, and a scripted timeline of what happens
// while the window processes its messages (timer ticks, cancel presses,
// bytes from the device), keyed by the number of the ProcessMessages call.
// Everything the code under test does to the window, and what the device
// sees, goes into one log in order.

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "testing/FakePlatform.h"
#include "update/UpdateHost.h"

class FakeHost : public IUpdateHost, public ISerialOwner {
 public:
  // A bound on message processing: a wait that never ends fails the test
  // instead of hanging it.
  static constexpr std::size_t kRunawayPumps = 200000;

  FakeHost() : platform_(std::make_shared<FakePlatform>()), serial_(*this, platform_) {
    serial_.SetBaudrate(38400);
    serial_.SetDataBits(d8bit);
    serial_.SetStopBits(st2bit);
    serial_.SetParity(paNone);
    serial_.SetCheckParity(false);
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
  ~FakeHost() override {
    // The component closes its port when it is destroyed, after the log is
    // gone: stop listening first. And refuse further hand-overs so that its
    // shutdown never waits for this thread to pump.
    platform_->SetDeviceHook({});
    queue_.Shutdown();
  }

  // --- the timeline ---------------------------------------------------------
  // Whether every ProcessMessages call brings one timer tick (default true).
  void SetAutoTick(bool on) { autoTick_ = on; }
  void TickAt(std::size_t pump) { ++script_[pump].ticks; }
  void CancelAt(std::size_t pump) { script_[pump].cancel = true; }
  void BytesAt(std::size_t pump, std::string bytes) { script_[pump].bytes += bytes; }
  void SetTicks(std::int32_t ticks) { ticks_ = ticks; }
  // The Cancel button or Esc, pressed now.
  void PressCancel() { cancel_ = true; }

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
  [[nodiscard]] const std::vector<std::string>& Status() const { return status_; }
  [[nodiscard]] const std::vector<std::string>& Boxes() const { return boxes_; }
  [[nodiscard]] std::size_t Pumps() const { return pumps_; }
  [[nodiscard]] std::int32_t Ticks() const { return ticks_; }
  [[nodiscard]] bool Enabled(HostButton button) const {
    return enabled_.at(static_cast<std::size_t>(button));
  }

  // --- IUpdateHost ----------------------------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override {
    log_.push_back("ticks:" + std::to_string(ticks_));
    return ticks_;
  }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override {
    cancel_ = false;
    Log("cancel-cleared");
  }
  void ProcessMessages() override {
    ++pumps_;
    if (pumps_ > kRunawayPumps) throw std::runtime_error("runaway wait");
    Log("pump");
    if (autoTick_) Tick();
    if (const auto it = script_.find(pumps_); it != script_.end()) {
      for (int i = 0; i < it->second.ticks; ++i) Tick();
      if (it->second.cancel) cancel_ = true;
      if (!it->second.bytes.empty()) platform_->PushRx(it->second.bytes);
    }
    queue_.RunPending();
  }
  // Never blocks; notes when a byte was already waiting, which a window
  // would sleep through if its announcement had been dispatched.
  void WaitForActivity() override { Log(platform_->RxQueued() > 0 ? "idle-with-data" : "idle"); }
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return portIndex_; }
  void SetPortIndex(int index) { portIndex_ = index; }
  void ClearStatus() override {
    status_.clear();
    Log("clear");
  }
  void AddStatus(const std::string& text) override {
    status_.push_back(text);
    Log("status:" + text);
  }
  void SetButtonEnabled(HostButton button, bool enabled) override {
    enabled_.at(static_cast<std::size_t>(button)) = enabled;
    static const char* const names[] = {"Start", "Exit", "Cancel"};
    Log(std::string("button:") + names[static_cast<std::size_t>(button)] + "=" +
        (enabled ? "1" : "0"));
  }
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge_; }
  void SetGaugeProgress(std::int32_t value) override {
    gauge_ = value;
    Log("gauge=" + std::to_string(value));
  }

  // --- ISerialOwner -------------------------------------------------------
  void ShowErrorBox(const std::string& text) override {
    boxes_.push_back(text);
    Log("box:" + text);
  }
  bool HandOver(const void* source, std::function<void()> call) override {
    return queue_.Post(source, std::move(call));
  }
  void WithdrawHandOvers(const void* source) override { queue_.Withdraw(source); }

 private:
  struct Moment {
    int ticks = 0;
    bool cancel = false;
    std::string bytes;
  };

  void Log(std::string entry) { log_.push_back(std::move(entry)); }
  // The window's counter: +200 a tick, wrapping past INT32_MAX.
  void Tick() { ticks_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks_) + 200u); }

  // Declared before the component, so it outlives the component's shutdown.
  HandOverQueue queue_;
  std::shared_ptr<FakePlatform> platform_;
  TSerial serial_;
  std::function<void(const FakePlatform::DeviceEvent&)> device_;

  std::map<std::size_t, Moment> script_;
  bool autoTick_ = true;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  std::size_t pumps_ = 0;
  int portIndex_ = 0;
  std::int32_t gauge_ = 0;
  std::vector<bool> enabled_ = {true, true, true};
  std::vector<std::string> status_;
  std::vector<std::string> boxes_;
  mutable std::vector<std::string> log_;
};
