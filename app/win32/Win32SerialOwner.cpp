#include "Win32SerialOwner.h"

#include <windows.h>

#include <utility>

#include "Text.h"
#include "Win32FormView.h"

TWin32SerialOwner::TWin32SerialOwner() : queue_([this] { Wake(); }) {}

TWin32SerialOwner::~TWin32SerialOwner() {
  queue_.Shutdown();
}

void TWin32SerialOwner::SetWindow(HWND window) {
  window_.store(window);
}

void TWin32SerialOwner::Wake() {
  // Called on the posting thread. A posted message is dispatched by every
  // message loop of the thread, modal ones included, and it ends the idle
  // wait of a running update.
  if (HWND window = window_.load()) {
    PostMessageW(window, kHandOverMessage, 0, 0);
  }
}

void TWin32SerialOwner::ShowErrorBox(const std::string& text) {
  // No owner window: the box is centred on the screen and, being task modal,
  // disables the program's windows while it is up. Its own loop dispatches
  // the window's messages, so hand-overs and timer ticks go on.
  // The window that was active gets the activation back afterwards.
  HWND active = GetActiveWindow();
  MessageBoxW(nullptr, Widen(text).c_str(), L"Fehler",
              MB_OK | MB_ICONSTOP | MB_TASKMODAL | MB_SETFOREGROUND);
  if (active != nullptr && IsWindow(active) != FALSE) SetActiveWindow(active);
}

bool TWin32SerialOwner::HandOver(const void* source, std::function<void()> call) {
  return queue_.Post(source, std::move(call));
}

void TWin32SerialOwner::WithdrawHandOvers(const void* source) {
  queue_.Withdraw(source);
}
