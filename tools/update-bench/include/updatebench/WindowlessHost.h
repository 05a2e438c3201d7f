#pragma once
// The update window's host duties without a window, written once for the
// hosts that run the update sequence with no display: the benchmark's and the
// end-to-end tests' HeadlessHost, the fault runs' ScriptHost and the unit
// tests' FakeHost. It owns a serial component on the update's line whose
// event thread hands its calls to a queue that the host's pump runs, and keeps
// the tick counter, the cancel flag, the status list, the buttons, the gauge
// and the texts of the serial component's boxes (which "close" at once). What
// differs between the hosts is their pump: ProcessMessages and
// WaitForActivity.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "update/UpdateHost.h"

class TWindowlessHost : public IUpdateHost {
 public:
  // How one run ended.
  struct Outcome {
    enum Kind : std::uint8_t { Completed, SerialFailure, Aborted } kind = Completed;
    std::string message;  // the ESerialException's text
  };

  ~TWindowlessHost() override;
  TWindowlessHost(const TWindowlessHost&) = delete;
  TWindowlessHost& operator=(const TWindowlessHost&) = delete;

  // The Start button: one update, and how it ended.
  Outcome Start();
  // Any piece of the dialogue, run like the Start handler.
  static Outcome Run(const std::function<void()>& body);

  // One timer event: the tick counter advances by 200.
  void Tick() { ticks_ = AdvanceTicks(ticks_); }
  void SetTicks(std::int32_t ticks) { ticks_ = ticks; }
  // The Cancel button or Esc, pressed now.
  void PressCancel() { cancel_ = true; }

  // --- IUpdateHost --------------------------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] const TSerial& Serial() const { return serial_; }
  [[nodiscard]] int PortIndex() const override { return portIndex_; }
  void ClearStatus() override { status_.clear(); }
  void AddStatus(const std::string& text) override { status_.push_back(text); }
  void SetButtonEnabled(HostButton button, bool enabled) override {
    enabled_[static_cast<std::size_t>(button)] = enabled;
  }
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge_; }
  void SetGaugeProgress(std::int32_t value) override { gauge_ = value; }

  // --- the serial component's owner ---------------------------------------
  // Records the box's text; it "closes" at once.
  virtual void ShowErrorBox(const std::string& text);

  // --- what a test looks at ----------------------------------------------
  void SetPortIndex(int index) { portIndex_ = index; }
  [[nodiscard]] const std::vector<std::string>& Status() const { return status_; }
  [[nodiscard]] std::vector<std::string> Boxes() const;
  void ClearBoxes();
  [[nodiscard]] bool ButtonEnabled(HostButton button) const {
    return enabled_[static_cast<std::size_t>(button)];
  }

 protected:
  // A closed serial component on `platform`, set to the update's line.
  explicit TWindowlessHost(std::shared_ptr<ISerialPlatform> platform);

  // The serial side's part of the pump: runs the hand-overs pending now.
  void RunHandOvers() { queue_.RunPending(); }
  HandOverQueue& HandOvers() { return queue_; }

 private:
  // The component's owner. A member of its own rather than the host itself:
  // the event thread hands its calls over until the component has stopped
  // it, and a host being destroyed changes its dynamic type on the way (its
  // derived parts are gone by then), while this member stays as it is.
  class Owner final : public ISerialOwner {
   public:
    explicit Owner(TWindowlessHost& host) : host_(host) {}
    void ShowErrorBox(const std::string& text) override { host_.ShowErrorBox(text); }
    bool HandOver(const void* source, std::function<void()> call) override {
      return host_.queue_.Post(source, std::move(call));
    }
    void WithdrawHandOvers(const void* source) override { host_.queue_.Withdraw(source); }

   private:
    TWindowlessHost& host_;
  };

  // Declared before the component, so they outlive the component's shutdown.
  HandOverQueue queue_;
  Owner owner_{*this};
  TSerial serial_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  int portIndex_ = 0;
  std::vector<std::string> status_;
  std::array<bool, 3> enabled_ = {true, true, true};
  std::int32_t gauge_ = 0;
  mutable std::mutex boxesMutex_;
  std::vector<std::string> boxes_;
};
