#pragma once
// The update window without a window: runs the update sequence over a real
// serial port (the POSIX platform, ports looked up in a given directory, or
// any platform given, such as one that injects faults),
// with a tick counter driven by real time and an "operator" hook that runs
// wherever the window would process its messages. For the end-to-end tests
// and the update benchmark.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "update/UpdateHost.h"

class HeadlessHost : public IUpdateHost, public ISerialOwner {
 public:
  struct Options {
    // Where "COM1".."COM4" are looked up: links in this directory only.
    std::filesystem::path portsDir;
    // RGCom.ItemIndex: 0 for "COM 1".
    int portIndex = 0;
    // Real time per timer tick; the tick counter still advances by 200.
    std::chrono::microseconds tickPeriod = std::chrono::milliseconds(200);
  };

  // How one run ended.
  struct Outcome {
    enum Kind : std::uint8_t { Completed, SerialFailure, Aborted } kind = Completed;
    std::string message;  // the ESerialException's text
  };

  explicit HeadlessHost(Options options);
  // Over the given platform; `options.portsDir` is not used.
  HeadlessHost(Options options, std::shared_ptr<ISerialPlatform> platform);
  ~HeadlessHost() override;
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  // Runs the update sequence once (the Start button) and says how it ended.
  // The boxes and the highest progress are those of this run.
  Outcome RunOnce();

  // Called on every message processing, after the timer; may call Cancel().
  void SetOperator(std::function<void(HeadlessHost&)> hook);
  // The Cancel button or Esc.
  void Cancel() { cancel_ = true; }

  // --- IUpdateHost --------------------------------------------------------
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override;
  void WaitForActivity() override;
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return options_.portIndex; }
  void ClearStatus() override { status_.clear(); }
  void AddStatus(const std::string& text) override { status_.push_back(text); }
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge_; }
  void SetGaugeProgress(std::int32_t value) override;

  // --- ISerialOwner -------------------------------------------------------
  // Records the box; it "closes" at once.
  void ShowErrorBox(const std::string& text) override;
  bool HandOver(const void* source, std::function<void()> call) override;
  void WithdrawHandOvers(const void* source) override;

  // --- what a test looks at ----------------------------------------------
  [[nodiscard]] const std::vector<std::string>& Status() const { return status_; }
  [[nodiscard]] std::vector<std::string> Boxes() const;
  [[nodiscard]] bool ButtonEnabled(HostButton button) const;
  // Port closed, break off, the three buttons enabled, gauge 0, no cancel.
  [[nodiscard]] bool Idle() const;
  // The tick counter when the gauge was last set to a value other than 0.
  [[nodiscard]] std::int32_t TicksAtLastProgress() const { return ticksAtProgress_; }
  [[nodiscard]] std::int32_t HighestProgress() const { return highestProgress_; }
  [[nodiscard]] std::uint64_t Waits() const { return waits_; }

 private:
  void Dispatch();

  Options options_;
  HandOverQueue queue_;
  TSerial serial_;
  std::function<void(HeadlessHost&)> operator_;
  std::chrono::steady_clock::time_point nextTick_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  std::vector<std::string> status_;
  bool buttons_[3] = {true, true, true};
  std::int32_t gauge_ = 0;
  std::int32_t ticksAtProgress_ = 0;
  std::int32_t highestProgress_ = 0;
  std::uint64_t waits_ = 0;
  mutable std::mutex boxesMutex_;
  std::vector<std::string> boxes_;
};
