#pragma once
// TTarnUpForm: the update window, written once for every window system. It
// owns the serial component (set to the update's line), the cancel flag and
// the tick counter; it has the window's handlers (FormCreate, BtnStartClick,
// BtnExitClick, BtnCancelClick, FormKeyPress, Timer1Timer) and the host
// duties of the update (status list, buttons, gauge, waits that process the
// window's messages), the exception guard around every handler, the deferral
// of a close request while an update runs, which clicks count, where the
// focus goes after a run and the ports' tooltips.
//
// What it asks of a window system is IFormView (FormView.h): the controls,
// the pump, the boxes. A front end implements IFormView and reports the
// operator's doings to the form through IFormEvents.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FormView.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "update/UpdateHost.h"

class TTarnUpForm : public IUpdateHost, public IFormEvents {
 public:
  // What each "COM n" item reaches, one text per item (see IFormView).
  using PortTooltipSource = std::function<std::vector<std::string>(unsigned count)>;

  // A closed serial component on `platform`, set to the update's line, whose
  // calls from its event thread go to `owner`; `view` and `owner` outlive
  // the form. Nothing is asked of the view until Created().
  TTarnUpForm(IFormView& view, ISerialOwner& owner, std::shared_ptr<ISerialPlatform> platform);
  ~TTarnUpForm() override = default;
  TTarnUpForm(const TTarnUpForm&) = delete;
  TTarnUpForm& operator=(const TTarnUpForm&) = delete;

  // The window and its controls exist and the timer runs: FormCreate, inside
  // the guard (a failure is shown and the window still opens).
  void Created();

  // IFormEvents: each runs its handler inside the guard, which shows an
  // exception that leaves it in the view's box (the silent abort shows
  // nothing) and lets nothing escape.
  void ButtonClicked(HostButton button) override;
  void TimerTicked() override;
  void CharacterTyped(char16_t& key) override;
  bool CloseRequested() override;
  void Activated() override;
  void DevicesChanged() override;

  // The handlers.
  // The update sequence; a cancel given before it began does not end it.
  void BtnStartClick();
  // Sets the gauge's maximum and recolours the logos.
  void FormCreate();
  // Sets the cancel flag, then closes the window.
  void BtnExitClick();
  // Esc sets the cancel flag and leaves the character; any other character
  // is replaced by the null character, which consumes it.
  void FormKeyPress(char16_t& Key);
  void BtnCancelClick();
  void Timer1Timer();

  // Where the ports' tooltips come from; asked anew now, when the window is
  // activated, when devices change and at every Start, so a device plugged
  // in meanwhile is named.
  // Without a source the view's tooltips are never set.
  void SetPortTooltipSource(PortTooltipSource source);
  void RefreshPortTooltips();

  // Whether the Start handler is running an update.
  [[nodiscard]] bool UpdateRunning() const { return updating_; }

  // IUpdateHost.
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override { view_.ProcessMessages(); }
  void WaitForActivity() override { view_.WaitForActivity(); }
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return view_.PortIndex(); }
  void ClearStatus() override { view_.ClearStatus(); }
  // Appends a status line and keeps the newest lines in view; throws
  // EOutOfResources("Kann Zeile nicht einfügen") when the list refuses it.
  void AddStatus(const std::string& text) override;
  // A focused button that is disabled gives up the focus (ParkFocus).
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override { return view_.GaugeProgress(); }
  void SetGaugeProgress(std::int32_t value) override { view_.SetGaugeProgress(value); }

 private:
  void Guarded(const std::function<void()>& handler);
  [[nodiscard]] bool Enabled(HostButton button) const {
    return enabled_[static_cast<std::size_t>(button)];
  }
  // After a run: the focus goes where Enter starts the next one.
  void FocusForNextRun();

  IFormView& view_;
  TSerial serial_;
  PortTooltipSource portTooltips_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  bool updating_ = false;
  bool closeWanted_ = false;
  // The buttons as the form last set them (all enabled while idle).
  std::array<bool, 3> enabled_ = {true, true, true};
  // Where ParkFocus put the focus during this run, if it did.
  bool focusParked_ = false;
  FocusedControl parkedOn_ = FocusedControl::Other;
};
