#pragma once
// The update window in Qt Widgets: the dialog from its stored layout
// (TarnupMain.ui) with its controls, the 200 ms timer, the pump, the key
// preview, the boxes and the centring on the screen. What the window does is
// its form (TTarnUpForm, app/common), which the view owns and reports every
// click, tick, typed character, close request and activation to.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QString>
#include <QTimer>

#include "FormView.h"
#include "QtSerialOwner.h"
#include "TarnupMain.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class TGauge;

namespace Ui {
class TarnUpForm;
}

class TQtFormView : public QDialog, public IFormView {
  Q_OBJECT

 public:
  // Creates the window from its fixed layout with every control, its form
  // with a closed serial component on `platform` and the running tick timer,
  // then runs FormCreate. Throws EOutOfResources when no timer can be had.
  explicit TQtFormView(std::shared_ptr<ISerialPlatform> platform, QWidget* parent = nullptr);
  ~TQtFormView() override;

  TQtFormView(const TQtFormView&) = delete;
  TQtFormView& operator=(const TQtFormView&) = delete;

  TTarnUpForm& Form() { return form_; }

  // The title of the task-bar entry and of every error box.
  [[nodiscard]] const QString& ApplicationTitleText() const { return title_; }
  // The radio group's ItemIndex (0 for "COM 1").
  [[nodiscard]] int ItemIndex() const { return PortIndex(); }
  void SetItemIndex(int index);

  // IFormView.
  void ProcessMessages() override;
  void WaitForActivity() override;
  [[nodiscard]] int PortIndex() const override;
  void SetPortTooltips(const std::vector<std::string>& tips) override;
  [[nodiscard]] int StatusCount() const override;
  bool AppendStatus(const std::string& text) override;
  [[nodiscard]] int StatusTopIndex() const override;
  void SetStatusTopIndex(int index) override;
  void ClearStatus() override;
  void SetButtonEnabled(HostButton button, bool enabled) override;
  [[nodiscard]] std::int32_t GaugeProgress() const override;
  void SetGaugeProgress(std::int32_t value) override;
  void SetGaugeMaxValue(std::int32_t value) override;
  void RecolourLogos() override;
  [[nodiscard]] FocusedControl Focused() const override;
  void ParkFocus() override;
  void FocusStart() override;
  void ShowExceptionBox(const std::string& message) override;
  void CloseWindow() override;

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
  void CentreOnScreen();
  void RecentreForFrame();

  // Declared before the form: the form's serial component hands its calls
  // to the owner until the component is gone.
  TQtSerialOwner owner_;
  std::unique_ptr<Ui::TarnUpForm> ui_;
  QButtonGroup* portGroup_ = nullptr;
  QString title_;
  bool centred_ = false;
  // The outer size the window was centred for; the frame of the window
  // manager is known only after the first show, which centres once more.
  QSize centredFor_;
  bool frameSeen_ = false;
  TTarnUpForm form_;
};
