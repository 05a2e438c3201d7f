#pragma once
// The update window's Win32 side: the dialog made from the resource template
// IDD_TARNUPFORM with its controls at the layout's pixels, the tick timer,
// the message loop, the pump inside a handler and the idle wait, the key
// preview and the focus rules of the push buttons. What the window does with
// a click, a tick or a typed character is up to its IFormEvents (the form).
// A held Enter presses once, and closes no box that came up while it was held.
//
// The header stays free of <windows.h> (see Win32SerialOwner.h); handles
// cross it as void*.

#include <cstdint>
#include <string>

#include "FormRules.h"
#include "update/UpdateHost.h"

// The message that asks the window to run the pending hand-overs.
inline constexpr unsigned kHandOverMessage = 0x8000 + 1;  // WM_APP + 1

// What the window reports, always on its own thread.
class IFormEvents {
 public:
  virtual ~IFormEvents() = default;
  // A click on an enabled push button (by mouse, Space or Enter).
  virtual void ButtonClicked(HostButton button) = 0;
  virtual void TimerTicked() = 0;
  // A typed character for the key preview; set it to 0 to consume it.
  virtual void CharacterTyped(char16_t& key) = 0;
  // A close request from outside the window (Alt+F4, the task bar).
  virtual void CloseRequested() = 0;
  // kHandOverMessage arrived, or the idle wait asks whether one is pending.
  virtual void RunHandOvers() = 0;
  [[nodiscard]] virtual bool HandOversPending() const = 0;
};

class TFormWindow {
 public:
  // Creates the dialog (hidden), places its controls, chooses "COM 1" and
  // makes Start the default button. Throws std::runtime_error on failure.
  TFormWindow(void* instance, IFormEvents& events);
  ~TFormWindow();
  TFormWindow(const TFormWindow&) = delete;
  TFormWindow& operator=(const TFormWindow&) = delete;

  [[nodiscard]] void* Handle() const { return window_; }

  // Starts the tick timer; throws EOutOfResources(kNoTimerMessage).
  void StartTimer();
  // Loads the two logos with their silver pixels in the button face.
  void LoadLogos();
  // Shows the window centred on the screen.
  void Show();
  // Hides the window and posts the quit request.
  void Quit();

  // The message loop: runs until a quit request is fetched (here or by
  // ProcessMessages); returns its code.
  int Run();
  // Dispatches every pending message and returns when none is left.
  void ProcessMessages();
  // Blocks until a message or a hand-over is pending, at most one tick.
  void WaitForActivity();

  // The gauge (a TGauge child window): its Progress and MaxValue.
  [[nodiscard]] std::int32_t GaugeProgress() const;
  void SetGaugeProgress(std::int32_t value);
  void SetGaugeMaxValue(std::int32_t value);

  [[nodiscard]] int PortIndex() const;
  // Appends a status line (UTF-8) and keeps the newest lines in view; throws
  // EOutOfResources(kNoLineMessage) when the list refuses it.
  void AddStatus(const std::string& text);
  void ClearStatus();
  // A focused button that is disabled gives the focus to the status list,
  // never to the next button.
  void SetButtonEnabled(HostButton button, bool enabled);
  // After a run: the focus goes where Enter starts the next one.
  void FocusForNextRun();

 private:
  friend struct FormWindowProc;
  std::intptr_t HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void Command(int id, int code, void* control);
  void Dispatch(void* message);
  void LoadLogo(int control, int resource, void*& keep);

  void* instance_;
  IFormEvents& events_;
  void* window_ = nullptr;
  void* gauge_ = nullptr;  // the TGauge, owned by its window
  void* logos_[2] = {nullptr, nullptr};
  void* boxFilter_ = nullptr;  // the message-filter hook for held Enter in boxes
  bool quitSeen_ = false;
  int quitCode_ = 0;
  // The status list holds the focus because a disabled button gave it up.
  bool focusParked_ = false;
};
