#pragma once
// TTarnUpForm: the program's only window. The operator picks a port, starts
// an update, cancels it or leaves; the window shows the status lines, the
// progress gauge and, when an update fails, an error box. It owns the serial
// component, the gauge, the 200 ms tick timer, the cancel flag and the tick
// counter that the device dialogue reads.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QString>
#include <QTimer>

#include "QtSerialOwner.h"
#include "serial/TSerial.h"
#include "update/UpdateHost.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class TGauge;

namespace Ui {
class TarnUpForm;
}

class TTarnUpForm : public QDialog, public IUpdateHost {
  Q_OBJECT

 public:
  // Creates the window from its fixed layout with every control, a closed
  // serial component on `platform` and the running tick timer, then runs
  // FormCreate. Throws EOutOfResources when no timer can be had.
  explicit TTarnUpForm(std::shared_ptr<ISerialPlatform> platform, QWidget* parent = nullptr);
  ~TTarnUpForm() override;

  TTarnUpForm(const TTarnUpForm&) = delete;
  TTarnUpForm& operator=(const TTarnUpForm&) = delete;

  // Handlers, each run on the window thread inside the exception guard.
  void BtnStartClick();
  void FormCreate();
  void BtnExitClick();
  // Esc sets the cancel flag and leaves the character; any other character
  // is replaced by the null character, which consumes it.
  void FormKeyPress(QChar& Key);
  void BtnCancelClick();
  void Timer1Timer();

  // IUpdateHost.
  [[nodiscard]] std::int32_t TickCount() const override { return ticks_; }
  [[nodiscard]] bool CancelFlag() const override { return cancel_; }
  void ClearCancelFlag() override { cancel_ = false; }
  void ProcessMessages() override;
  void WaitForActivity() override;
  TSerial& Serial() override { return serial_; }
  [[nodiscard]] int PortIndex() const override;
  void ClearStatus() override;
  // Appends a status line (UTF-8) and keeps the newest lines in view; throws
  // EOutOfResources("Kann Zeile nicht einfügen") when the list refuses it.
  void AddStatus(const std::string& text) override;
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override;
  void SetGaugeProgress(std::int32_t value) override;

  // The title of the task-bar entry and of every error box.
  [[nodiscard]] const QString& ApplicationTitleText() const { return title_; }
  // Whether the Start handler is running an update.
  [[nodiscard]] bool UpdateRunning() const { return updating_; }
  // The radio group's ItemIndex (0 for "COM 1").
  [[nodiscard]] int ItemIndex() const { return PortIndex(); }
  void SetItemIndex(int index);

  // What each "COM n" item reaches, one text per item (COM 1 first), shown
  // as the item's tooltip. The window asks anew when it is activated and at
  // every Start, so a device plugged in meanwhile is named. Without a source
  // the items have no tooltips.
  using PortTooltipSource = std::function<std::vector<std::string>(unsigned count)>;
  void SetPortTooltipSource(PortTooltipSource source);
  void RefreshPortTooltips();

  // The controls, named as in the layout; the window owns them.
  TGauge* Gauge = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Image2 = nullptr;
  QGroupBox* RGCom = nullptr;
  QPushButton* BtnStart = nullptr;
  QPushButton* BtnExit = nullptr;
  QPushButton* BtnCancel = nullptr;
  QListWidget* ListBox = nullptr;
  QTimer Timer1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Guarded(const std::function<void()>& handler);
  // Where Enter goes while Start is disabled, and back to Start after a run.
  void ParkFocus();
  void FocusForNextRun();
  void CentreOnScreen();
  void RecentreForFrame();

  // Declared before the serial component: the component's event thread
  // hands its calls to the owner until the component is gone.
  TQtSerialOwner owner_;
  TSerial serial_;
  std::unique_ptr<Ui::TarnUpForm> ui_;
  QButtonGroup* portGroup_ = nullptr;
  PortTooltipSource portTooltips_;
  QString title_;
  std::int32_t ticks_ = 0;
  bool cancel_ = false;
  bool updating_ = false;
  bool closeWanted_ = false;
  bool centred_ = false;
  // The outer size the window was centred for; the frame of the window
  // manager is known only after the first show, which centres once more.
  QSize centredFor_;
  bool frameSeen_ = false;
};
