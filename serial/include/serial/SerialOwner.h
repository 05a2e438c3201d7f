#pragma once
// The services TSerial asks of the window that owns it.

#include <functional>
#include <string>

class ISerialOwner {
 public:
  virtual ~ISerialOwner() = default;

  // Shows a modal error box centred on the screen: title "Fehler", the stop
  // icon and a single "OK" button (default and cancel button), with `text`
  // word-wrapped. Returns when the operator has closed it. The owner's thread
  // keeps processing its messages meanwhile (including hand-overs).
  virtual void ShowErrorBox(const std::string& text) = 0;

  // Called from another thread (the event thread): runs `call` on the owner's
  // thread the next time that thread processes its messages (its message
  // loop, a nested pump, a modal loop), one call at a time in the order handed
  // over, and blocks the calling thread until it has run. An exception thrown
  // by `call` is carried back and rethrown here. Returns true once the call
  // has run, false when it was withdrawn before it started (see below) or the
  // owner no longer runs calls.
  virtual bool HandOver(const void* source, std::function<void()> call) = 0;

  // Withdraws the hand-overs of `source` that have not started yet: their
  // HandOver calls return false without running them. A call already running
  // is not affected. TSerial uses this when it closes its port, so the close
  // never waits for a notification that would only report on a closed port.
  virtual void WithdrawHandOvers(const void* source) = 0;
};
