#include "TarnupMain.h"

#include <exception>
#include <utility>

#include "FormRules.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSequence.h"

namespace {

FocusedControl ControlOf(HostButton button) {
  switch (button) {
    case HostButton::Start:
      return FocusedControl::Start;
    case HostButton::Exit:
      return FocusedControl::Exit;
    case HostButton::Cancel:
      break;
  }
  return FocusedControl::Cancel;
}

// The status list as AddStatusLineTo sees it.
class TViewLines {
 public:
  explicit TViewLines(IFormView& view) : view_(view) {}
  [[nodiscard]] int Count() const { return view_.StatusCount(); }
  bool Append(const std::string& text) { return view_.AppendStatus(text); }
  [[nodiscard]] int TopIndex() const { return view_.StatusTopIndex(); }
  void SetTopIndex(int index) { view_.SetStatusTopIndex(index); }

 private:
  IFormView& view_;
};

}  // namespace

TTarnUpForm::TTarnUpForm(IFormView& view, ISerialOwner& owner,
                         std::shared_ptr<ISerialPlatform> platform)
    : view_(view), serial_(owner, std::move(platform)) {
  UseUpdateLineSettings(serial_);
}

void TTarnUpForm::Created() {
  Guarded([this] { FormCreate(); });
}

void TTarnUpForm::Guarded(const std::function<void()>& handler) {
  RunGuardedWith(handler, [this](const std::string& message) { view_.ShowExceptionBox(message); });
}

void TTarnUpForm::ButtonClicked(HostButton button) {
  // A click reaches only an enabled button; the form checks again, so that
  // no window system's way of pressing a disabled one (Enter on the default
  // button, say) can start a second run inside the first.
  if (!Enabled(button)) return;
  switch (button) {
    case HostButton::Start:
      if (updating_) return;
      Guarded([this] { BtnStartClick(); });
      // A close asked for while the update ran takes effect now, after the
      // run's box, if any, has been closed.
      if (std::exchange(closeWanted_, false)) view_.CloseWindow();
      return;
    case HostButton::Exit:
      Guarded([this] { BtnExitClick(); });
      return;
    case HostButton::Cancel:
      Guarded([this] { BtnCancelClick(); });
      return;
  }
}

void TTarnUpForm::TimerTicked() {
  Guarded([this] { Timer1Timer(); });
}

void TTarnUpForm::CharacterTyped(char16_t& key) {
  Guarded([this, &key] { FormKeyPress(key); });
}

bool TTarnUpForm::CloseRequested() {
  if (!updating_) return true;
  // Closing waits for the running update to end. While it waits for the
  // device to be switched on, Abbruch is enabled and the close cancels as
  // Abbruch does, so the window closes at once instead of after up to 100 s;
  // once the device is being programmed, Abbruch is disabled and the close
  // waits for the run's end.
  closeWanted_ = true;
  if (Enabled(HostButton::Cancel)) BtnCancelClick();
  return false;
}

void TTarnUpForm::Activated() {
  RefreshPortTooltips();
}

void TTarnUpForm::DevicesChanged() {
  RefreshPortTooltips();
}

void TTarnUpForm::BtnStartClick() {
  RefreshPortTooltips();
  // A cancel given while no update ran (Abbruch or Esc while idle) was meant
  // for no run; it must not end this one silently at its first wait.
  ClearCancelFlag();
  updating_ = true;
  // On every ending, before an error box comes up: the run is over and Enter
  // is back where it starts the next one.
  struct Finished {
    TTarnUpForm& form;
    ~Finished() {
      form.updating_ = false;
      form.FocusForNextRun();
    }
  } finished{*this};
  RunUpdate(*this);
}

void TTarnUpForm::FormCreate() {
  view_.SetGaugeMaxValue(kBlockRecordCount);
  view_.RecolourLogos();
}

void TTarnUpForm::BtnExitClick() {
  cancel_ = true;
  if (CloseRequested()) view_.CloseWindow();
}

void TTarnUpForm::FormKeyPress(char16_t& Key) {
  if (PreviewTypedCharacter(Key)) cancel_ = true;
}

void TTarnUpForm::BtnCancelClick() {
  cancel_ = true;
}

void TTarnUpForm::Timer1Timer() {
  ticks_ = AdvanceTicks(ticks_);
}

void TTarnUpForm::AddStatus(const std::string& text) {
  TViewLines lines(view_);
  AddStatusLineTo(lines, text);
}

void TTarnUpForm::SetButtonEnabled(HostButton button, bool enabled) {
  // Disabling the focused button must not hand the focus (and the next
  // Enter) to the next button in the tab order, which during a run is
  // Abbruch: an Enter meant for Start would cancel.
  if (!enabled && view_.Focused() == ControlOf(button)) {
    view_.ParkFocus();
    focusParked_ = true;
    parkedOn_ = view_.Focused();
  }
  enabled_[static_cast<std::size_t>(button)] = enabled;
  view_.SetButtonEnabled(button, enabled);
}

void TTarnUpForm::FocusForNextRun() {
  // Start takes the focus unless the operator put it on the radio group or
  // the status list (Enter there presses Start too); a push button (Abbruch,
  // say), the window itself or the place the focus was parked at gives it
  // to Start.
  const bool parked = std::exchange(focusParked_, false);
  const FocusedControl focus = view_.Focused();
  const bool operatorsChoice =
      (focus == FocusedControl::PortChoice || focus == FocusedControl::StatusList) &&
      !(parked && focus == parkedOn_);
  if (!operatorsChoice) view_.FocusStart();
}

void TTarnUpForm::SetPortTooltipSource(PortTooltipSource source) {
  portTooltips_ = std::move(source);
  RefreshPortTooltips();
}

void TTarnUpForm::RefreshPortTooltips() {
  if (!portTooltips_) return;
  try {
    view_.SetPortTooltips(portTooltips_(kPortItemCount));
  } catch (const std::exception&) {
    // The tooltips stay as they were; opening the port reports what is wrong.
  }
}
