#pragma once
// What every implementation of ISerialPlatform means alike by its event
// wait, written once. The POSIX and Win32 platforms and the recording fake
// each keep these per port, under their own lock, and differ only in how
// they find out what happened on the line.

#include <cstdint>

// A port's event mask and the release of its waits. A mask change (or the
// close) releases a pending wait with an empty set. A wait that begins after
// the mask was cleared, with no wait in between, returns at once with an
// empty set: the clear may have come just before the wait began, and the
// waiter must still see it. A wait on a mask that is still clear from before
// blocks until the mask changes, so a waiter cannot spin on it.
class PortEventMask {
 public:
  [[nodiscard]] std::uint32_t Mask() const { return mask_; }
  // SetCommMask: the new mask; a pending wait is released.
  void Set(std::uint32_t mask);
  // The port is closing: a pending wait is released.
  void ReleaseWaits();

  // At the start of a wait: whether it returns at once with an empty set.
  // If so, the wait counts as ended.
  bool ClearedSinceLastWait();
  // The mask's state when a wait begins; Released tells whether a mask
  // change or the close has released that wait since.
  using Ticket = std::uint64_t;
  [[nodiscard]] Ticket Begin() const { return generation_; }
  [[nodiscard]] bool Released(Ticket ticket) const { return generation_ != ticket; }
  // A wait has ended (with events or released).
  void WaitEnded() { waited_ = generation_; }

 private:
  std::uint32_t mask_ = 0;
  std::uint64_t generation_ = 0;  // changes of the mask, and the close
  std::uint64_t waited_ = 0;      // generation_ when the last wait ended
};

// The received-character event as an edge: a wait reports EV_RXCHAR only
// when the bytes received in total (taken by reads plus still queued) have
// grown since its last report. Bytes left unread are not reported again.
class ReceivedEdge {
 public:
  // Whether a report of `received`, the total so far, is due; if so it is
  // noted as reported.
  bool Report(std::uint64_t received);
  // Notes `received` as known without a report (bytes the owner took
  // itself, or the mask changed and forgets what came before).
  void Seen(std::uint64_t received) { reported_ = received; }

 private:
  std::uint64_t reported_ = 0;
};

// The events a change of the modem input lines from `before` to `now`
// (kMS_* bits) gives: kEV_CTS, kEV_DSR and kEV_RLSD when their line changed,
// kEV_RING when the ring indicator came on.
std::uint32_t ModemChangeEvents(std::uint32_t before, std::uint32_t now);
