#include "TarnupMain.h"

#include <exception>
#include <utility>

#include "ErrorDisplay.h"
#include "FormRules.h"
#include "Startup.h"
#include "serial/win32/Win32Platform.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSequence.h"

TTarnUpForm::TTarnUpForm(void* instance, std::shared_ptr<ISerialPlatform> platform)
    : title_(ApplicationTitle()), serial_(owner_, std::move(platform)) {
  window_ = std::make_unique<TFormWindow>(instance, *this);
  owner_.SetWindow(window_->Handle());

  serial_.SetBaudrate(38400);
  serial_.SetDataBits(d8bit);
  serial_.SetStopBits(st2bit);
  serial_.SetCheckParity(false);

  window_->StartTimer();
  Guarded([this] { FormCreate(); });
}

TTarnUpForm::~TTarnUpForm() = default;

int TTarnUpForm::ShowAndRun() {
  window_->Show();
  return window_->Run();
}

void TTarnUpForm::Guarded(const std::function<void()>& handler) {
  RunGuarded(title_, handler);
}

void TTarnUpForm::ButtonClicked(HostButton button) {
  switch (button) {
    case HostButton::Start:
      if (updating_) return;
      Guarded([this] { BtnStartClick(); });
      // A close asked for while the update ran takes effect now.
      if (closeWanted_ && !updating_) Close();
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

void TTarnUpForm::CloseRequested() {
  Close();
}

void TTarnUpForm::Close() {
  if (updating_) {
    // Closing waits for the running update to end.
    closeWanted_ = true;
    return;
  }
  window_->Quit();
}

void TTarnUpForm::BtnStartClick() {
  updating_ = true;
  struct Finished {
    TTarnUpForm& form;
    ~Finished() {
      form.updating_ = false;
      form.window_->FocusForNextRun();
    }
  } finished{*this};
  RunUpdate(*this);
}

void TTarnUpForm::FormCreate() {
  window_->SetGaugeMaxValue(kBlockRecordCount);
  window_->LoadLogos();
}

void TTarnUpForm::BtnExitClick() {
  cancel_ = true;
  Close();
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
  window_->AddStatus(text);
}

void TTarnUpForm::SetButtonEnabled(HostButton button, bool enabled) {
  window_->SetButtonEnabled(button, enabled);
}

std::int32_t TTarnUpForm::GaugeProgress() const {
  return window_->GaugeProgress();
}

void TTarnUpForm::SetGaugeProgress(std::int32_t value) {
  window_->SetGaugeProgress(value);
}

int TarnUpMain(void* instance) {
  std::unique_ptr<TTarnUpForm> form;
  try {
    form = std::make_unique<TTarnUpForm>(instance, MakeWin32Platform());
  } catch (const std::exception& e) {
    ShowExceptionBox(ApplicationTitle(), e.what());
    return 1;
  }
  const int result = form->ShowAndRun();
  form.reset();  // closes the port if it is still open
  return result;
}
