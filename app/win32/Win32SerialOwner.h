#pragma once
// The window thread's services for the serial component on Win32: its
// "Fehler" error box, and the hand-over of calls from the serial event
// thread. A handed-over call is queued and a message is posted to the window,
// so the call runs wherever the window thread dispatches its messages: the
// message loop, the pump inside a handler, or the loop of a modal box.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"

class TWin32SerialOwner : public ISerialOwner {
 public:
  TWin32SerialOwner();
  ~TWin32SerialOwner() override;
  TWin32SerialOwner(const TWin32SerialOwner&) = delete;
  TWin32SerialOwner& operator=(const TWin32SerialOwner&) = delete;

  // The window whose procedure calls RunPending() when it receives
  // kHandOverMessage (Win32FormView.h).
  void SetWindow(HWND window);

  void ShowErrorBox(const std::string& text) override;
  bool HandOver(const void* source, std::function<void()> call) override;
  void WithdrawHandOvers(const void* source) override;

  // On the window thread: runs the hand-overs pending now.
  void RunPending() { queue_.RunPending(); }
  // Whether a handed-over call waits to be run.
  [[nodiscard]] bool HasPending() const { return queue_.HasPending(); }

 private:
  void Wake();

  // Written on the window thread before the first port is opened, read by
  // the event thread when it posts.
  std::atomic<HWND> window_{nullptr};
  HandOverQueue queue_;
};
