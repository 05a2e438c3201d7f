#include "TarnupMain.h"

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

// The status list as the top-line rule sees it.
class TListBoxLines : public IStatusLines {
 public:
  explicit TListBoxLines(QListWidget& list) : list_(list) {}

  [[nodiscard]] int Count() const override { return list_.count(); }

  bool Append(const QString& text) override {
    const int before = list_.count();
    try {
      list_.addItem(text);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return list_.count() == before + 1;
  }

  [[nodiscard]] int TopIndex() const override {
    // The list scrolls by whole lines, so the scroll position is the top line.
    return list_.verticalScrollBar()->value();
  }

  void SetTopIndex(int index) override {
    list_.doItemsLayout();
    list_.verticalScrollBar()->setValue(index);
  }

 private:
  QListWidget& list_;
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

TTarnUpForm::TTarnUpForm(std::shared_ptr<ISerialPlatform> platform, QWidget* parent)
    : QDialog(parent),
      serial_(owner_, std::move(platform)),
      ui_(std::make_unique<Ui::TarnUpForm>()),
      title_(ApplicationTitle(QCoreApplication::applicationFilePath())) {
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

  serial_.SetBaudrate(38400);
  serial_.SetDataBits(d8bit);
  serial_.SetStopBits(st2bit);
  serial_.SetCheckParity(false);

  connect(BtnStart, &QPushButton::clicked, this, [this] {
    Guarded([this] { BtnStartClick(); });
    // A close asked for while the update ran takes effect now.
    if (closeWanted_ && !updating_) close();
  });
  connect(BtnExit, &QPushButton::clicked, this, [this] { Guarded([this] { BtnExitClick(); }); });
  connect(BtnCancel, &QPushButton::clicked, this,
          [this] { Guarded([this] { BtnCancelClick(); }); });
  connect(&Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });

  // Key preview: every key press meant for this window or one of its
  // controls passes the window's filter first.
  qApp->installEventFilter(this);

  Timer1.setInterval(200);
  Timer1.setTimerType(Qt::CoarseTimer);
  StartTickTimer(Timer1);

  Guarded([this] { FormCreate(); });
}

TTarnUpForm::~TTarnUpForm() {
  qApp->removeEventFilter(this);
  Timer1.stop();
}

void TTarnUpForm::Guarded(const std::function<void()>& handler) {
  RunGuarded(title_, handler);
}

void TTarnUpForm::BtnStartClick() {
  RefreshPortTooltips();
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
  Gauge->SetMaxValue(kBlockRecordCount);
  const QColor face = ResolveColor(clBtnFace, palette());
  for (QLabel* image : {Image1, Image2}) {
    QImage picture = image->pixmap().toImage();
    RecolourSilver(picture, face);
    image->setPixmap(QPixmap::fromImage(picture));
  }
}

void TTarnUpForm::BtnExitClick() {
  cancel_ = true;
  close();
}

void TTarnUpForm::FormKeyPress(QChar& Key) {
  char16_t key = Key.unicode();
  if (PreviewTypedCharacter(key)) cancel_ = true;
  Key = QChar(key);
}

void TTarnUpForm::BtnCancelClick() {
  cancel_ = true;
}

void TTarnUpForm::Timer1Timer() {
  ticks_ = AdvanceTicks(ticks_);
}

void TTarnUpForm::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TTarnUpForm::WaitForActivity() {
  // Returns once something was dispatched; the tick timer bounds the wait.
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

int TTarnUpForm::PortIndex() const {
  const int id = portGroup_->checkedId();
  return id < 0 ? 0 : id;
}

void TTarnUpForm::SetItemIndex(int index) {
  if (QAbstractButton* button = portGroup_->button(index)) button->setChecked(true);
}

void TTarnUpForm::ClearStatus() {
  ListBox->clear();
}

void TTarnUpForm::AddStatus(const std::string& text) {
  TListBoxLines lines(*ListBox);
  AddStatusLine(lines, QString::fromStdString(text));
}

void TTarnUpForm::SetButtonEnabled(HostButton button, bool enabled) {
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
  // Qt hands the focus of a button it disables to the next control in the
  // tab order, which during a run is Abbruch: an Enter meant for Start would
  // cancel. The window keeps the focus instead, where Enter goes to the
  // default button Start and does nothing while Start is disabled.
  if (!enabled && target->hasFocus()) ParkFocus();
  target->setEnabled(enabled);
}

void TTarnUpForm::ParkFocus() {
  setFocus(Qt::OtherFocusReason);
}

void TTarnUpForm::FocusForNextRun() {
  // The radio group and the status list pass Enter on to Start; a push
  // button (Abbruch, say, or the disabled Start) or the window itself is
  // left for Start.
  QWidget* focused = focusWidget();
  if (focused == nullptr || focused == this || qobject_cast<QPushButton*>(focused) != nullptr) {
    BtnStart->setFocus(Qt::OtherFocusReason);
  }
}

void TTarnUpForm::SetPortTooltipSource(PortTooltipSource source) {
  portTooltips_ = std::move(source);
  RefreshPortTooltips();
}

void TTarnUpForm::RefreshPortTooltips() {
  if (!portTooltips_) return;
  const QList<QAbstractButton*> items = portGroup_->buttons();
  std::vector<std::string> tips;
  try {
    tips = portTooltips_(static_cast<unsigned>(items.size()));
  } catch (const std::exception&) {
    return;  // the tooltips stay as they were; opening reports what is wrong
  }
  for (QAbstractButton* item : items) {
    const auto index = static_cast<std::size_t>(portGroup_->id(item));
    item->setToolTip(index < tips.size() ? QString::fromStdString(tips[index]) : QString());
  }
}

std::int32_t TTarnUpForm::GaugeProgress() const {
  return Gauge->Progress();
}

void TTarnUpForm::SetGaugeProgress(std::int32_t value) {
  Gauge->SetProgress(value);
}

bool TTarnUpForm::eventFilter(QObject* watched, QEvent* event) {
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
  QChar character = TypedCharacter(*key);
  Guarded([this, &character] { FormKeyPress(character); });
  return character.isNull();
}

void TTarnUpForm::keyPressEvent(QKeyEvent* event) {
  // Esc reaches the window as a typed character only; it never closes it.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TTarnUpForm::closeEvent(QCloseEvent* event) {
  if (updating_) {
    // Closing waits for the running update to end.
    closeWanted_ = true;
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::quit();
}

void TTarnUpForm::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    CentreOnScreen();
  }
  QDialog::showEvent(event);
}

void TTarnUpForm::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  RecentreForFrame();
}

void TTarnUpForm::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange) {
    RecentreForFrame();
    if (isActiveWindow()) RefreshPortTooltips();
  }
}

void TTarnUpForm::RecentreForFrame() {
  if (centred_ && !frameSeen_ && frameGeometry().size() != centredFor_) {
    frameSeen_ = true;
    CentreOnScreen();
  }
}

void TTarnUpForm::CentreOnScreen() {
  const QScreen* s = screen();
  if (s == nullptr) return;
  const QRect area = s->geometry();
  centredFor_ = frameGeometry().size();
  move(area.topLeft() + CentredTopLeft(area.size(), centredFor_));
}
