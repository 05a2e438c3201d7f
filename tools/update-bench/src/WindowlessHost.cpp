#include "updatebench/WindowlessHost.h"

#include <utility>

#include "update/Exceptions.h"
#include "update/UpdateSequence.h"

TWindowlessHost::TWindowlessHost(std::shared_ptr<ISerialPlatform> platform)
    : serial_(owner_, std::move(platform)) {
  UseUpdateLineSettings(serial_);
}

TWindowlessHost::~TWindowlessHost() {
  // The event thread may be handing something over; nothing runs it any
  // more, so release it before the component stops the thread.
  serial_.SetActive(false);
  queue_.Shutdown();
}

TWindowlessHost::Outcome TWindowlessHost::Start() {
  return Run([this] { RunUpdate(*this); });
}

TWindowlessHost::Outcome TWindowlessHost::Run(const std::function<void()>& body) {
  try {
    body();
    return {};
  } catch (const ESerialException& e) {
    return {Outcome::SerialFailure, e.what()};
  } catch (const EAbort&) {
    return {Outcome::Aborted, {}};
  }
}

void TWindowlessHost::ShowErrorBox(const std::string& text) {
  const std::lock_guard lock(boxesMutex_);
  boxes_.push_back(text);
}

std::vector<std::string> TWindowlessHost::Boxes() const {
  const std::lock_guard lock(boxesMutex_);
  return boxes_;
}

void TWindowlessHost::ClearBoxes() {
  const std::lock_guard lock(boxesMutex_);
  boxes_.clear();
}
