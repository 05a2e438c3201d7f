#include "QtFormView.h"

#include <cstddef>
#include <exception>
#include <new>
#include <utility>

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "ErrorDisplay.h"
#include "FormSupport.h"
#include "ui_TarnupMain.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSequence.h"
#include "widgets/TColor.h"
#include "widgets/TGauge.h"

namespace {

constexpr int kListItemHeight = 13;

// Every line of the status list is 13 pixels high, so five fit its client area.
class TFixedHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {QStyledItemDelegate::sizeHint(option, index).width(), kListItemHeight};
  }
};

QFont WindowFont() {
  // The layout's pixel positions assume an 11-pixel "MS Sans Serif"; where
  // that face is missing a sans-serif face of the same height stands in.
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  return font;
}

}  // namespace

TQtFormView::TQtFormView(std::shared_ptr<ISerialPlatform> platform, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::TarnUpForm>()),
      title_(ApplicationTitle(QCoreApplication::applicationFilePath())),
      form_(*this, owner_, std::move(platform)) {
  // A fixed dialog frame with a caption and no system menu or boxes.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(WindowFont());
  ui_->setupUi(this);
  setFixedSize(412, 164);
  setSizeGripEnabled(false);
  setWindowIcon(QIcon(QStringLiteral(":/tarnup/tarnup.ico")));

  // The window's colour is the button face.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, ResolveColor(clBtnFace, pal));
  setPalette(pal);
  setAutoFillBackground(true);

  Gauge = ui_->Gauge;
  Image1 = ui_->Image1;
  Image2 = ui_->Image2;
  RGCom = ui_->RGCom;
  BtnStart = ui_->BtnStart;
  BtnExit = ui_->BtnExit;
  BtnCancel = ui_->BtnCancel;
  ListBox = ui_->ListBox;

  Gauge->SetForeColor(clBlue);
  Gauge->SetProgress(0);

  // The logos size themselves to their pictures.
  for (auto [label, file] :
       {std::pair{Image1, ":/tarnup/Image1.bmp"}, std::pair{Image2, ":/tarnup/Image2.bmp"}}) {
    const QPixmap picture(QString::fromLatin1(file));
    label->setPixmap(picture);
    label->resize(picture.size());
  }

  portGroup_ = new QButtonGroup(this);
  portGroup_->setExclusive(true);
  portGroup_->addButton(ui_->RGComItem0, 0);
  portGroup_->addButton(ui_->RGComItem1, 1);
  portGroup_->addButton(ui_->RGComItem2, 2);
  portGroup_->addButton(ui_->RGComItem3, 3);
  // Like one control in the tab order: Tab enters the group at the chosen
  // port, the arrow keys move (and choose) within it.
  connect(portGroup_, &QButtonGroup::buttonToggled, this, [](QAbstractButton* button, bool on) {
    button->setFocusPolicy(on ? Qt::StrongFocus : Qt::ClickFocus);
  });
  for (QAbstractButton* item : portGroup_->buttons()) {
    item->setFocusPolicy(item->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
  }
  SetItemIndex(0);

  ListBox->setItemDelegate(new TFixedHeightDelegate(ListBox));
  ListBox->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);

  const std::pair<QPushButton*, HostButton> buttons[] = {
      {BtnStart, HostButton::Start}, {BtnExit, HostButton::Exit}, {BtnCancel, HostButton::Cancel}};
  for (const auto& [control, button] : buttons) {
    connect(control, &QPushButton::clicked, this,
            [this, button = button] { form_.ButtonClicked(button); });
  }
  connect(&Timer1, &QTimer::timeout, this, [this] { form_.TimerTicked(); });

  // Key preview: every key press meant for this window or one of its
  // controls passes the window's filter first.
  qApp->installEventFilter(this);

  Timer1.setInterval(kTickInterval);
  Timer1.setTimerType(Qt::CoarseTimer);
  StartTickTimer(Timer1);

  form_.Created();
}

TQtFormView::~TQtFormView() {
  qApp->removeEventFilter(this);
  Timer1.stop();
}

void TQtFormView::SetGaugeMaxValue(std::int32_t value) {
  Gauge->SetMaxValue(value);
}

void TQtFormView::RecolourLogos() {
  const QColor face = ResolveColor(clBtnFace, palette());
  for (QLabel* image : {Image1, Image2}) {
    QImage picture = image->pixmap().toImage();
    RecolourSilver(picture, face);
    image->setPixmap(QPixmap::fromImage(picture));
  }
}

void TQtFormView::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtFormView::WaitForActivity() {
  // Returns once something was dispatched; the tick timer bounds the wait.
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

int TQtFormView::PortIndex() const {
  const int id = portGroup_->checkedId();
  return id < 0 ? 0 : id;
}

void TQtFormView::SetItemIndex(int index) {
  if (QAbstractButton* button = portGroup_->button(index)) button->setChecked(true);
}

void TQtFormView::ClearStatus() {
  ListBox->clear();
}

int TQtFormView::StatusCount() const {
  return ListBox->count();
}

bool TQtFormView::AppendStatus(const std::string& text) {
  const int before = ListBox->count();
  try {
    ListBox->addItem(QString::fromStdString(text));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return ListBox->count() == before + 1;
}

int TQtFormView::StatusTopIndex() const {
  // The list scrolls by whole lines, so the scroll position is the top line.
  return ListBox->verticalScrollBar()->value();
}

void TQtFormView::SetStatusTopIndex(int index) {
  ListBox->doItemsLayout();
  ListBox->verticalScrollBar()->setValue(index);
}

void TQtFormView::SetButtonEnabled(HostButton button, bool enabled) {
  QPushButton* target = BtnStart;
  switch (button) {
    case HostButton::Start:
      break;
    case HostButton::Exit:
      target = BtnExit;
      break;
    case HostButton::Cancel:
      target = BtnCancel;
      break;
  }
  target->setEnabled(enabled);
}

FocusedControl TQtFormView::Focused() const {
  const QWidget* focused = focusWidget();
  if (focused == nullptr) return FocusedControl::Other;
  if (focused == BtnStart) return FocusedControl::Start;
  if (focused == BtnExit) return FocusedControl::Exit;
  if (focused == BtnCancel) return FocusedControl::Cancel;
  if (focused == ListBox) return FocusedControl::StatusList;
  if (RGCom->isAncestorOf(focused)) return FocusedControl::PortChoice;
  return FocusedControl::Other;
}

void TQtFormView::ParkFocus() {
  // Qt would hand the focus of a button it disables to the next control in
  // the tab order. The window itself keeps it instead: Enter there goes to
  // the default button Start.
  setFocus(Qt::OtherFocusReason);
}

void TQtFormView::FocusStart() {
  BtnStart->setFocus(Qt::OtherFocusReason);
}

void TQtFormView::SetPortTooltips(const std::vector<std::string>& tips) {
  for (QAbstractButton* item : portGroup_->buttons()) {
    const auto index = static_cast<std::size_t>(portGroup_->id(item));
    item->setToolTip(index < tips.size() ? QString::fromStdString(tips[index]) : QString());
  }
}

void TQtFormView::ShowExceptionBox(const std::string& message) {
  // A drag or press in progress is ended before the box comes up.
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  ::ShowExceptionBox(title_, QString::fromStdString(message));
}

void TQtFormView::CloseWindow() {
  close();
}

std::int32_t TQtFormView::GaugeProgress() const {
  return Gauge->Progress();
}

void TQtFormView::SetGaugeProgress(std::int32_t value) {
  Gauge->SetProgress(value);
}

bool TQtFormView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  // Enter held down presses a button once, here and in the program's boxes:
  // the repeats would press Start again as soon as a run ends, or close an
  // error box before the operator has seen it.
  if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->isAutoRepeat()) {
    return true;
  }
  auto* widget = static_cast<QWidget*>(watched);
  if (widget != this && !isAncestorOf(widget)) return false;
  // A key press that the focused control leaves travels on to its parents and
  // passes this filter again; a consumed one stops at the first, and handling
  // a passed-on Esc twice only sets the flag twice.
  const bool onButton = qobject_cast<QAbstractButton*>(widget) != nullptr;
  if (ClassifyKey(*key, onButton) != KeyKind::Typed) return false;
  char16_t character = TypedCharacter(*key).unicode();
  form_.CharacterTyped(character);
  return character == 0;
}

void TQtFormView::keyPressEvent(QKeyEvent* event) {
  // Esc reaches the window as a typed character only; it never closes it.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TQtFormView::closeEvent(QCloseEvent* event) {
  if (!form_.CloseRequested()) {
    // The form closes the window once the running update has ended.
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::quit();
}

void TQtFormView::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    CentreOnScreen();
  }
  QDialog::showEvent(event);
}

void TQtFormView::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  RecentreForFrame();
}

void TQtFormView::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange) {
    RecentreForFrame();
    if (isActiveWindow()) form_.Activated();
  }
}

void TQtFormView::RecentreForFrame() {
  if (centred_ && !frameSeen_ && frameGeometry().size() != centredFor_) {
    frameSeen_ = true;
    CentreOnScreen();
  }
}

void TQtFormView::CentreOnScreen() {
  const QScreen* s = screen();
  if (s == nullptr) return;
  const QRect area = s->geometry();
  centredFor_ = frameGeometry().size();
  move(area.topLeft() + CentredTopLeft(area.size(), centredFor_));
}
