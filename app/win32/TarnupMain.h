#pragma once
// TTarnUpForm on Win32: the program's only window. The operator picks a
// port, starts an update, cancels it or leaves; the window shows the status
// lines, the progress gauge and, when an update fails, an error box. It owns
// the serial component, the gauge, the 200 ms tick timer, the cancel flag and
// the tick counter that the device dialogue reads. The update runs inside the
// Start handler; its waits pump the window thread's messages.
//
// The window system's side is TFormWindow; this file meets only the serial
// component (whose records share their names with <windows.h>).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FormWindow.h"
#include "Win32SerialOwner.h"
#include "serial/TSerial.h"
#include "update/UpdateHost.h"

class TTarnUpForm : public IUpdateHost, public IFormEvents {
 public:
  // Creates the window (an HINSTANCE is passed as `instance`) with every
  // control, a closed serial component on `platform` and the running tick
  // timer, then runs FormCreate; the window is not shown yet. Throws
  // EOutOfResources when no timer can be had.
  TTarnUpForm(void* instance, std::shared_ptr<ISerialPlatform> platform);
  ~TTarnUpForm() override;
  TTarnUpForm(const TTarnUpForm&) = delete;
  TTarnUpForm& operator=(const TTarnUpForm&) = delete;

  // Shows the window centred on the screen and runs the message loop until
  // the window is closed; returns the quit code.
  int ShowAndRun();

  // Handlers, each run on the window thread inside the exception guard.
  void BtnStartClick();
  void FormCreate();
  void BtnExitClick();
  // Esc sets the cancel flag and leaves the character; any other character
  // is replaced by the null character, which consumes it.
  void FormKeyPress(char16_t& Key);
  void BtnCancelClick();
  void Timer1Timer();

  // IUpdateHost.
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override { window_->ProcessMessages(); }
  void WaitForActivity() override { window_->WaitForActivity(); }
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override { return window_->PortIndex(); }
  void ClearStatus() override { window_->ClearStatus(); }
  // Appends a status line (UTF-8) and keeps the newest lines in view; throws
  // EOutOfResources("Kann Zeile nicht einfügen") when the list refuses it.
  void AddStatus(const std::string& text) override;
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override;
  void SetGaugeProgress(std::int32_t value) override;

 private:
  // IFormEvents.
  void ButtonClicked(HostButton button) override;
  void TimerTicked() override;
  void CharacterTyped(char16_t& key) override;
  void CloseRequested() override;
  void RunHandOvers() override { owner_.RunPending(); }
  [[nodiscard]] bool HandOversPending() const override { return owner_.HasPending(); }

  void Guarded(const std::function<void()>& handler);
  void Close();

  std::wstring title_;
  // Destroyed in reverse order: the serial component hands its calls to the
  // owner, and the owner posts them to the window, until they are gone.
  std::unique_ptr<TFormWindow> window_;
  TWin32SerialOwner owner_;
  TSerial serial_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  bool updating_ = false;
  bool closeWanted_ = false;
};
