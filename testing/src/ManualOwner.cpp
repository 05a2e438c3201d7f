#include "testing/ManualOwner.h"

#include <algorithm>
#include <utility>

ManualSerialOwner::ManualSerialOwner() = default;

ManualSerialOwner::~ManualSerialOwner() {
  queue_.Shutdown();
}

void ManualSerialOwner::ShowErrorBox(const std::string& text) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(mutex_);
    boxes_.push_back(text);
    hook = boxHook_;
  }
  if (hook) hook(text);
}

bool ManualSerialOwner::HandOver(const void* source, std::function<void()> call) {
  return queue_.Post(source, [this, call = std::move(call)] {
    {
      std::lock_guard lock(mutex_);
      ++handOversRun_;
    }
    call();
  });
}

void ManualSerialOwner::WithdrawHandOvers(const void* source) {
  queue_.Withdraw(source);
}

std::size_t ManualSerialOwner::PumpFor(std::chrono::milliseconds timeout) {
  queue_.WaitPending(timeout);
  return queue_.RunPending();
}

bool ManualSerialOwner::PumpUntil(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    PumpFor(std::min(left, std::chrono::milliseconds(5)));
  }
  return true;
}

std::vector<std::string> ManualSerialOwner::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

void ManualSerialOwner::ClearBoxes() {
  std::lock_guard lock(mutex_);
  boxes_.clear();
}

void ManualSerialOwner::SetBoxHook(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(mutex_);
  boxHook_ = std::move(hook);
}

std::size_t ManualSerialOwner::HandOversRun() const {
  std::lock_guard lock(mutex_);
  return handOversRun_;
}
