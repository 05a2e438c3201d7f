#include "serial/PortEvents.h"

#include "serial/SerialPlatform.h"

void PortEventMask::Set(std::uint32_t mask) {
  mask_ = mask;
  ++generation_;
}

void PortEventMask::ReleaseWaits() {
  ++generation_;
}

bool PortEventMask::ClearedSinceLastWait() {
  if (mask_ != 0 || generation_ == waited_) return false;
  waited_ = generation_;
  return true;
}

bool ReceivedEdge::Report(std::uint64_t received) {
  if (received <= reported_) return false;
  reported_ = received;
  return true;
}

std::uint32_t ModemChangeEvents(std::uint32_t before, std::uint32_t now) {
  const std::uint32_t changed = before ^ now;
  std::uint32_t events = 0;
  if (changed & kMS_CTS_ON) events |= kEV_CTS;
  if (changed & kMS_DSR_ON) events |= kEV_DSR;
  if (changed & kMS_RLSD_ON) events |= kEV_RLSD;
  if ((changed & kMS_RING_ON) && (now & kMS_RING_ON)) events |= kEV_RING;
  return events;
}
