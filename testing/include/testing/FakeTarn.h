#pragma once
// The TARN device on the far end of the recording fake's port: the device
// simulator's own model (tarnsim::Device), so the fakes and the simulator
// play one device. The fake's events drive it: an opening connects it, the
// break switches it on (as the operator does once the window asks for
// power) and releasing the break brings "Q", written bytes are its input,
// and whatever it answers is put into the fake's receive queue at once.
//
// Time is the adapter's own: it moves on by a microsecond at every event,
// so answers come without delay (a non-zero power-on delay or acknowledge
// delay would never fall due; the fakes use none). A hang-up shows as
// silence. Every opening starts a new session with the options as they are
// then.

#include <functional>
#include <optional>

#include "tarnsim/Device.h"
#include "testing/FakePlatform.h"

class FakeTarn {
 public:
  // The options a fake needs: switched on at the break, answers at once.
  static tarnsim::DeviceOptions Immediate();

  explicit FakeTarn(tarnsim::DeviceOptions options = Immediate());

  // Makes this device the fake's device hook (and takes it off again).
  void Attach(FakePlatform& fake);
  void Detach(FakePlatform& fake);
  // Takes one event of the fake, for a host that owns the hook itself.
  void Take(FakePlatform& fake, const FakePlatform::DeviceEvent& event);

  // The options of the sessions still to come.
  tarnsim::DeviceOptions& Options() { return options_; }
  // At most this many bytes are answered from now on, in all (negative: no
  // limit); answers beyond it are lost, as on a line that drops them.
  void SetAnswerBudget(int bytes) { budget_ = bytes; }
  void AddAnswers(int bytes) { budget_ = budget_ < 0 ? bytes : budget_ + bytes; }
  // Called after the device has taken each event, with the event.
  void SetObserver(std::function<void(const FakePlatform::DeviceEvent&)> observer) {
    observer_ = std::move(observer);
  }

  // Written transfers (one record line each) over every session.
  [[nodiscard]] int LinesSeen() const { return linesSeen_; }
  // What the current (or last) session's device has seen.
  [[nodiscard]] tarnsim::Verdict Verdict() const;

 private:
  void Deliver(FakePlatform& fake);

  tarnsim::DeviceOptions options_;
  std::optional<tarnsim::Device> device_;
  tarnsim::Nanos now_{0};
  int budget_ = -1;
  int linesSeen_ = 0;
  std::function<void(const FakePlatform::DeviceEvent&)> observer_;
};
