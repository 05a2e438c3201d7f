#pragma once
// An ISerialOwner without a window system: hand-overs wait in a queue until
// the owning thread calls Pump(), and error boxes are recorded instead of
// shown. For tests and tools on any thread layout.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"

class ManualSerialOwner : public ISerialOwner {
 public:
  ManualSerialOwner();
  ~ManualSerialOwner() override;

  void ShowErrorBox(const std::string& text) override;
  bool HandOver(const void* source, std::function<void()> call) override;
  void WithdrawHandOvers(const void* source) override;

  // Runs every pending hand-over (the owner's "message processing").
  std::size_t Pump() { return queue_.RunPending(); }
  // Waits up to `timeout` for a hand-over, then runs what is pending.
  std::size_t PumpFor(std::chrono::milliseconds timeout);
  // Pumps until `done()` is true or `timeout` has passed; returns done().
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  [[nodiscard]] bool HasPending() const { return queue_.HasPending(); }
  HandOverQueue& Queue() { return queue_; }

  // The texts of the error boxes shown so far, oldest first.
  [[nodiscard]] std::vector<std::string> Boxes() const;
  void ClearBoxes();
  // Called (on the owner's thread) while a box is "up", e.g. to pump.
  void SetBoxHook(std::function<void(const std::string&)> hook);

  [[nodiscard]] std::size_t HandOversRun() const;

 private:
  HandOverQueue queue_;
  mutable std::mutex mutex_;
  std::vector<std::string> boxes_;
  std::function<void(const std::string&)> boxHook_;
  std::size_t handOversRun_ = 0;
};
