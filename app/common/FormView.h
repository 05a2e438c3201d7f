#pragma once
// What the update window's form (TTarnUpForm) asks of a window system, and
// what a window system reports to it. A front end implements IFormView with
// its own controls, timer, message pump and boxes, and calls IFormEvents.
// Free of the serial component, so that a front end's files that need the
// system's headers can include it.

#include <cstdint>
#include <string>
#include <vector>

#include "update/UpdateHost.h"

// The radio group's items, "COM 1" to "COM 4".
inline constexpr unsigned kPortItemCount = 4;

// The control that has the keyboard focus, as far as the form's rules care.
enum class FocusedControl : std::uint8_t {
  Other,  // none, the window itself, or a control not named here
  Start,
  Exit,
  Cancel,
  PortChoice,  // an item of the radio group
  StatusList,
};

// The window as the form drives it. Every call comes on the window thread.
class IFormView {
 public:
  virtual ~IFormView() = default;

  // The pump: see IUpdateHost::ProcessMessages and WaitForActivity.
  virtual void ProcessMessages() = 0;
  virtual void WaitForActivity() = 0;

  // The radio group's ItemIndex: 0..3 for "COM 1".."COM 4".
  [[nodiscard]] virtual int PortIndex() const = 0;
  // One text per "COM n" item (COM 1 first), shown as the item's tooltip;
  // an item without a text has no tooltip.
  virtual void SetPortTooltips(const std::vector<std::string>& tips) = 0;

  // The status list, as the top-line rule sees it (AddStatusLineTo). Texts
  // are UTF-8.
  [[nodiscard]] virtual int StatusCount() const = 0;
  // Appends a line; false when the list refused it.
  virtual bool AppendStatus(const std::string& text) = 0;
  [[nodiscard]] virtual int StatusTopIndex() const = 0;
  // Asks the list to make line `index` its top line; the list clamps this so
  // that its last line never leaves the bottom edge.
  virtual void SetStatusTopIndex(int index) = 0;
  virtual void ClearStatus() = 0;

  virtual void SetButtonEnabled(HostButton button, bool enabled) = 0;

  // The gauge.
  [[nodiscard]] virtual std::int32_t GaugeProgress() const = 0;
  virtual void SetGaugeProgress(std::int32_t value) = 0;
  virtual void SetGaugeMaxValue(std::int32_t value) = 0;

  // Writes the button face into the silver pixels of both logos.
  virtual void RecolourLogos() = 0;

  [[nodiscard]] virtual FocusedControl Focused() const = 0;
  // Takes the focus off a push button that is being disabled, to a place
  // where Enter presses the default button Start (and so does nothing while
  // Start is disabled); never to the next push button in the tab order.
  virtual void ParkFocus() = 0;
  // Gives Start the focus (a window that is not active keeps its focus).
  virtual void FocusStart() = 0;

  // The modal error box of an exception that left a handler: `message` with
  // a full stop appended, the application title, the stop icon, one OK
  // button; after any mouse capture has been cancelled. Returns when it is
  // closed.
  virtual void ShowExceptionBox(const std::string& message) = 0;
  // Closes the window, which ends the message loop.
  virtual void CloseWindow() = 0;
};

// What the operator and the window system do to the window, as a front end
// reports it to the form. Every call comes on the window thread.
class IFormEvents {
 public:
  virtual ~IFormEvents() = default;
  // A click on a push button (by mouse, Space or Enter).
  virtual void ButtonClicked(HostButton button) = 0;
  // An event of the 200 ms tick timer.
  virtual void TimerTicked() = 0;
  // A typed character, before the focused control sees it; set to 0 when
  // it is consumed.
  virtual void CharacterTyped(char16_t& key) = 0;
  // A close request from outside the window (Alt+F4, the task bar, the
  // window manager). True when the window is to close now; otherwise the
  // form closes it itself once the running update has ended.
  virtual bool CloseRequested() = 0;
  // The window became the active one.
  virtual void Activated() = 0;
  // The system reports that devices came or went (an adapter plugged in or
  // pulled out), so what stands behind each "COM n" may have changed.
  virtual void DevicesChanged() = 0;
};
