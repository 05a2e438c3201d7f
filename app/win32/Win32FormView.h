#pragma once
// The update window in Win32: the dialog made from the resource template
// IDD_TARNUPFORM, laid out in pixels for the DPI of the screen it is shown
// on and again when that changes (Layout.h), the tick timer, the message
// loop, the pump inside a handler and the idle wait, the key preview, the
// boxes, the ports' tooltips and the serial component's window-thread
// services. What the window does is its form (TTarnUpForm, app/common),
// which drives it as an IFormView and is told of every click, tick, typed
// character, close request, activation and device change. A held Enter
// presses once, and closes no box that came up while it was held.

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "FormRules.h"
#include "FormView.h"
#include "Layout.h"
#include "Win32SerialOwner.h"

class TGauge;

// The message that asks the window to run the pending hand-overs.
inline constexpr UINT kHandOverMessage = WM_APP + 1;

class TWin32FormView : public IFormView {
 public:
  // Creates the dialog (hidden) on `instance`, places its
  // controls, chooses "COM 1" and makes Start the default button. Throws
  // std::runtime_error on failure.
  explicit TWin32FormView(HINSTANCE instance);
  ~TWin32FormView() override;
  TWin32FormView(const TWin32FormView&) = delete;
  TWin32FormView& operator=(const TWin32FormView&) = delete;

  // Where the window reports what happens to it; nothing is reported
  // without (nullptr).
  void SetEvents(IFormEvents* events) { events_ = events; }
  [[nodiscard]] HWND Handle() const { return window_; }
  // The tooltip control of the "COM n" items; null if it could not be made.
  [[nodiscard]] HWND Tooltips() const { return tooltips_; }
  // The serial component's owner on this window's thread.
  ISerialOwner& SerialOwner() { return owner_; }

  // Starts the tick timer; throws EOutOfResources(kNoTimerMessage).
  void StartTimer();
  // The DPI the window is laid out for.
  [[nodiscard]] UINT Dpi() const { return dpi_; }
  // Shows the window centred on the screen.
  void Show();
  // The message loop: runs until a quit request is fetched (here or by
  // ProcessMessages); returns its code.
  int Run();

  // IFormView: the window and its boxes.
  // Hides the window and posts the quit request.
  void CloseWindow() override;
  // Task-modal, owned by no window, titled with the application title.
  void ShowExceptionBox(const std::string& message) override;
  // The dialog manager's focus; a parked focus is on the status list.
  [[nodiscard]] FocusedControl Focused() const override;
  void FocusStart() override;
  void ParkFocus() override;
  // The controls. The gauge is a TGauge child window; the logos are loaded
  // with their silver pixels in the button face.
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] int PortIndex() const override;
  void RecolourLogos() override;
  void SetGaugeMaxValue(std::int32_t value) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override;
  // One tool of the window's tooltip control per item with a text.
  void SetPortTooltips(const std::vector<std::string>& tips) override;
  void SetGaugeProgress(std::int32_t value) override;
  void ClearStatus() override;
  bool AppendStatus(const std::string& text) override;
  [[nodiscard]] int StatusCount() const override;
  void SetStatusTopIndex(int index) override;
  [[nodiscard]] int StatusTopIndex() const override;
  // The pump; the wait blocks until a message or a hand-over is pending, at
  // most one tick.
  void WaitForActivity() override;
  void ProcessMessages() override;

 private:
  friend struct FormWindowProc;
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Command(int id, int code, HWND control);
  void Dispatch(MSG& message);
  // A logo: its picture recoloured, and the bitmap shown at the window's DPI.
  struct Logo {
    std::vector<std::uint32_t> pixels;
    int width = 0;
    int height = 0;
    HBITMAP shown = nullptr;
  };
  void LoadLogo(Logo& logo, int resource);
  void ShowLogos();
  // Lays the window out for `dpi`: client size, controls, fonts, the list's
  // line height, logos, gauge and icons.
  void LayOut(UINT dpi);

  HINSTANCE instance_;
  IFormEvents* events_ = nullptr;
  std::wstring title_;
  HWND window_ = nullptr;
  TGauge* gauge_ = nullptr;  // owned by its window
  std::array<Logo, 2> logos_{};
  UINT dpi_ = kDesignDpi;
  HFONT font_ = nullptr;                       // the controls' font at dpi_
  std::array<HICON, 2> icons_{};               // the window's big and small icon at dpi_
  HHOOK boxFilter_ = nullptr;                  // the message-filter hook for held Enter in boxes
  HWND tooltips_ = nullptr;                    // owned by the window
  std::array<bool, kPortItemCount> tipped_{};  // which items have a tool
  bool quitSeen_ = false;
  int quitCode_ = 0;
  // Posts the hand-overs of the form's serial component to this window; the
  // form (and with it the component) goes before the view.
  TWin32SerialOwner owner_;
};
