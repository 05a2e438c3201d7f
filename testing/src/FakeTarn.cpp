#include "testing/FakeTarn.h"

#include <chrono>
#include <utility>

tarnsim::DeviceOptions FakeTarn::Immediate() {
  tarnsim::DeviceOptions options;
  options.powerUp = tarnsim::PowerUp::AtBreak;
  options.powerOn = tarnsim::Nanos{0};
  return options;
}

FakeTarn::FakeTarn(tarnsim::DeviceOptions options) : options_(std::move(options)) {}

void FakeTarn::Attach(FakePlatform& fake) {
  fake.SetDeviceHook(
      [this](FakePlatform& port, const FakePlatform::DeviceEvent& event) { Take(port, event); });
}

void FakeTarn::Detach(FakePlatform& fake) {
  fake.SetDeviceHook({});
}

void FakeTarn::Take(FakePlatform& fake, const FakePlatform::DeviceEvent& event) {
  using Kind = FakePlatform::DeviceEvent::Kind;
  now_ += std::chrono::microseconds(1);
  switch (event.kind) {
    case Kind::Opened:
      device_.emplace(options_);
      device_->Connect(now_);
      break;
    case Kind::Closed:
      break;
    case Kind::BreakOn:
    case Kind::BreakOff:
      if (device_) device_->SetBreak(event.kind == Kind::BreakOn, now_);
      break;
    case Kind::Written:
      ++linesSeen_;
      if (device_) device_->Receive(event.data, now_);
      break;
  }
  Deliver(fake);
  if (observer_) observer_(event);
}

void FakeTarn::Deliver(FakePlatform& fake) {
  if (!device_) return;
  std::string bytes = device_->Poll(now_).bytes;
  if (budget_ >= 0 && static_cast<int>(bytes.size()) > budget_) {
    bytes.resize(static_cast<std::size_t>(budget_));
  }
  if (budget_ >= 0) budget_ -= static_cast<int>(bytes.size());
  if (!bytes.empty()) fake.PushRx(bytes);
}

tarnsim::Verdict FakeTarn::Verdict() const {
  return device_ ? device_->GetVerdict() : tarnsim::Verdict{};
}
