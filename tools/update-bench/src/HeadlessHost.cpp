#include "updatebench/HeadlessHost.h"

#include <algorithm>
#include <utility>

#include "serial/posix/PosixPlatform.h"

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
    : TWindowlessHost(std::move(platform)),
      tickPeriod_(options.tickPeriod),
      nextTick_(std::chrono::steady_clock::now() + options.tickPeriod) {
  SetPortIndex(options.portIndex);
}

HeadlessHost::Outcome HeadlessHost::RunOnce() {
  ClearBoxes();
  highestProgress_ = 0;
  return Start();
}

void HeadlessHost::SetOperator(std::function<void(HeadlessHost&)> hook) {
  operator_ = std::move(hook);
}

void HeadlessHost::Dispatch() {
  RunHandOvers();
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextTick_) {
    // Like a window timer: ticks missed while busy come as one.
    Tick();
    nextTick_ += tickPeriod_;
    if (nextTick_ <= now) nextTick_ = now + tickPeriod_;
  }
  if (operator_) operator_(*this);
}

void HeadlessHost::ProcessMessages() {
  Dispatch();
}

void HeadlessHost::WaitForActivity() {
  ++waits_;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextTick_ && !HandOvers().HasPending()) {
    // Rounded up, so a wait never ends just before the tick is due.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick_ - now);
    HandOvers().WaitPending(std::max(left, std::chrono::milliseconds(1)));
  }
  Dispatch();
}

bool HeadlessHost::Idle() const {
  const TSerial& serial = Serial();
  return !serial.Active() && !serial.BreakState() && ButtonEnabled(HostButton::Start) &&
         ButtonEnabled(HostButton::Exit) && ButtonEnabled(HostButton::Cancel) &&
         GaugeProgress() == 0 && !CancelFlag();
}

void HeadlessHost::SetGaugeProgress(std::int32_t value) {
  TWindowlessHost::SetGaugeProgress(value);
  if (value != 0) {
    ticksAtProgress_ = TickCount();
    highestProgress_ = std::max(highestProgress_, value);
  }
}
