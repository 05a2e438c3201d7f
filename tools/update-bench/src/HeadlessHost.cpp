#include "updatebench/HeadlessHost.h"

#include <algorithm>

#include "serial/posix/PosixPlatform.h"
#include "update/Exceptions.h"
#include "update/UpdateSequence.h"

namespace {
// Only the links of the given directory: the machine's own serial ports
// (its /dev and /sys) are never reached.
PortMapRoots LinksOnly(const std::filesystem::path& portsDir) {
  return {portsDir, portsDir / "no-dev", portsDir / "no-sys"};
}
}  // namespace

HeadlessHost::HeadlessHost(Options options)
    : HeadlessHost(options, MakePosixPlatform(LinksOnly(options.portsDir))) {}

HeadlessHost::HeadlessHost(Options options, std::shared_ptr<ISerialPlatform> platform)
    : options_(std::move(options)),
      serial_(*this, std::move(platform)),
      nextTick_(std::chrono::steady_clock::now() + options_.tickPeriod) {
  // The line settings of the update window.
  serial_.SetBaudrate(38400);
  serial_.SetDataBits(d8bit);
  serial_.SetStopBits(st2bit);
  serial_.SetParity(paNone);
  serial_.SetCheckParity(false);
}

HeadlessHost::~HeadlessHost() {
  // The event thread may be handing something over; nothing runs it any
  // more, so release it before the component stops the thread.
  serial_.SetActive(false);
  queue_.Shutdown();
}

HeadlessHost::Outcome HeadlessHost::RunOnce() {
  {
    const std::lock_guard lock(boxesMutex_);
    boxes_.clear();
  }
  highestProgress_ = 0;
  try {
    RunUpdate(*this);
    return {};
  } catch (const ESerialException& e) {
    return {Outcome::SerialFailure, e.what()};
  } catch (const EAbort&) {
    return {Outcome::Aborted, {}};
  }
}

void HeadlessHost::SetOperator(std::function<void(HeadlessHost&)> hook) {
  operator_ = std::move(hook);
}

void HeadlessHost::Dispatch() {
  queue_.RunPending();
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextTick_) {
    // Like a window timer: ticks missed while busy come as one.
    // The counter wraps past its maximum like the window's, without overflow.
    ticks_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks_) + 200U);
    nextTick_ += options_.tickPeriod;
    if (nextTick_ <= now) nextTick_ = now + options_.tickPeriod;
  }
  if (operator_) operator_(*this);
}

void HeadlessHost::ProcessMessages() {
  Dispatch();
}

void HeadlessHost::WaitForActivity() {
  ++waits_;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextTick_ && !queue_.HasPending()) {
    // Rounded up, so a wait never ends just before the tick is due.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick_ - now);
    queue_.WaitPending(std::max(left, std::chrono::milliseconds(1)));
  }
  Dispatch();
}

void HeadlessHost::SetButtonEnabled(HostButton button, bool enabled) {
  buttons_[static_cast<int>(button)] = enabled;
}

bool HeadlessHost::ButtonEnabled(HostButton button) const {
  return buttons_[static_cast<int>(button)];
}

bool HeadlessHost::Idle() const {
  return !serial_.Active() && !serial_.BreakState() && buttons_[0] && buttons_[1] && buttons_[2] &&
         gauge_ == 0 && !cancel_;
}

void HeadlessHost::SetGaugeProgress(std::int32_t value) {
  gauge_ = value;
  if (value != 0) {
    ticksAtProgress_ = ticks_;
    highestProgress_ = std::max(highestProgress_, value);
  }
}

void HeadlessHost::ShowErrorBox(const std::string& text) {
  const std::lock_guard lock(boxesMutex_);
  boxes_.push_back(text);
}

bool HeadlessHost::HandOver(const void* source, std::function<void()> call) {
  return queue_.Post(source, std::move(call));
}

void HeadlessHost::WithdrawHandOvers(const void* source) {
  queue_.Withdraw(source);
}

std::vector<std::string> HeadlessHost::Boxes() const {
  const std::lock_guard lock(boxesMutex_);
  return boxes_;
}
