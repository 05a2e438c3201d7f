#pragma once
// The update window without a window, over any serial platform (the POSIX
// layer on a pty, usually wrapped in a FaultPlatform): a real TSerial, a tick
// counter driven by the steady clock, error boxes that close at once, and
// hand-overs run whenever the window would process its messages.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "update/Exceptions.h"
#include "update/UpdateHost.h"
#include "update/UpdateSequence.h"

class RealTimeHost : public IUpdateHost, public ISerialOwner {
 public:
  struct Outcome {
    enum Kind : std::uint8_t { Completed, SerialFailure, Aborted } kind = Completed;
    std::string message;
  };

  // `tickPeriod`: real time per timer tick (the counter still advances by
  // 200), so tests reach the device time-outs quickly.
  RealTimeHost(std::shared_ptr<ISerialPlatform> platform, std::chrono::microseconds tickPeriod)
      : tickPeriod_(tickPeriod), serial_(*this, std::move(platform)) {
    serial_.SetBaudrate(38400);
    serial_.SetDataBits(d8bit);
    serial_.SetStopBits(st2bit);
    serial_.SetParity(paNone);
    serial_.SetCheckParity(false);
  }
  ~RealTimeHost() override {
    serial_.SetActive(false);
    queue_.Shutdown();
  }
  RealTimeHost(const RealTimeHost&) = delete;
  RealTimeHost& operator=(const RealTimeHost&) = delete;

  // The Start button.
  Outcome Start() {
    boxes_.clear();
    highestProgress_ = 0;
    nextTick_ = std::chrono::steady_clock::now() + tickPeriod_;
    try {
      RunUpdate(*this);
      return {};
    } catch (const ESerialException& e) {
      return {Outcome::SerialFailure, e.what()};
    } catch (const EAbort&) {
      return {Outcome::Aborted, {}};
    }
  }

  [[nodiscard]] bool Idle() const {
    return !serial_.Active() && !serial_.BreakState() && enabled_[0] && enabled_[1] &&
           enabled_[2] && gauge_ == 0 && !cancel_;
  }
  [[nodiscard]] const std::vector<std::string>& Status() const { return status_; }
  [[nodiscard]] std::vector<std::string> Boxes() const {
    std::lock_guard lock(boxesMutex_);
    return boxes_;
  }
  [[nodiscard]] std::int32_t HighestProgress() const { return highestProgress_; }

  // --- IUpdateHost ----------------------------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override { Dispatch(); }
  void WaitForActivity() override {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextTick_ && !queue_.HasPending()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick_ - now);
      queue_.WaitPending(std::max(left, std::chrono::milliseconds(1)));
    }
    Dispatch();
  }
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return 0; }
  void ClearStatus() override { status_.clear(); }
  void AddStatus(const std::string& text) override { status_.push_back(text); }
  void SetButtonEnabled(HostButton button, bool enabled) override {
    enabled_[static_cast<std::size_t>(button)] = enabled;
  }
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge_; }
  void SetGaugeProgress(std::int32_t value) override {
    gauge_ = value;
    highestProgress_ = std::max(highestProgress_, value);
  }

  // --- ISerialOwner ---------------------------------------------------------
  void ShowErrorBox(const std::string& text) override {
    std::lock_guard lock(boxesMutex_);
    boxes_.push_back(text);
  }
  bool HandOver(const void* source, std::function<void()> call) override {
    return queue_.Post(source, std::move(call));
  }
  void WithdrawHandOvers(const void* source) override { queue_.Withdraw(source); }

 private:
  void Dispatch() {
    queue_.RunPending();
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextTick_) {
      ticks_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks_) + 200U);
      nextTick_ += tickPeriod_;
      if (nextTick_ <= now) nextTick_ = now + tickPeriod_;
    }
  }

  std::chrono::microseconds tickPeriod_;
  HandOverQueue queue_;
  TSerial serial_;
  std::chrono::steady_clock::time_point nextTick_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  bool enabled_[3] = {true, true, true};
  std::int32_t gauge_ = 0;
  std::int32_t highestProgress_ = 0;
  std::vector<std::string> status_;
  mutable std::mutex boxesMutex_;
  std::vector<std::string> boxes_;
};
