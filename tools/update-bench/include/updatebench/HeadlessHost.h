#pragma once
// The update window without a window: runs the update sequence over a real
// serial port (the POSIX platform, ports looked up in a given directory, or
// any platform given, such as one that injects faults), with a tick counter
// driven by real time and an "operator" hook that runs wherever the window
// would process its messages. For the end-to-end tests and the update
// benchmark.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "updatebench/WindowlessHost.h"

class HeadlessHost : public TWindowlessHost {
 public:
  struct Options {
    // Where "COM1".."COM4" are looked up: links in this directory only.
    std::filesystem::path portsDir;
    // RGCom.ItemIndex: 0 for "COM 1".
    int portIndex = 0;
    // Real time per timer tick; the tick counter still advances by 200.
    std::chrono::microseconds tickPeriod = std::chrono::milliseconds(200);
  };

  explicit HeadlessHost(Options options);
  // Over the given platform; `options.portsDir` is not used.
  HeadlessHost(Options options, std::shared_ptr<ISerialPlatform> platform);

  // Runs the update sequence once (the Start button) and says how it ended.
  // The boxes and the highest progress are those of this run.
  Outcome RunOnce();

  // Called on every message processing, after the timer; may call Cancel().
  void SetOperator(std::function<void(HeadlessHost&)> hook);
  // The Cancel button or Esc.
  void Cancel() { PressCancel(); }

  // The pump: hand-overs, the timer when its period has passed, the operator.
  void ProcessMessages() override;
  void WaitForActivity() override;
  void SetGaugeProgress(std::int32_t value) override;

  // Port closed, break off, the three buttons enabled, gauge 0, no cancel.
  [[nodiscard]] bool Idle() const;
  // The tick counter when the gauge was last set to a value other than 0.
  [[nodiscard]] std::int32_t TicksAtLastProgress() const { return ticksAtProgress_; }
  [[nodiscard]] std::int32_t HighestProgress() const { return highestProgress_; }
  [[nodiscard]] std::uint64_t Waits() const { return waits_; }

 private:
  void Dispatch();

  std::chrono::microseconds tickPeriod_;
  std::function<void(HeadlessHost&)> operator_;
  std::chrono::steady_clock::time_point nextTick_;
  std::int32_t ticksAtProgress_ = 0;
  std::int32_t highestProgress_ = 0;
  std::uint64_t waits_ = 0;
};
