#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTest>

#include "FormSupport.h"
#include "ModalHelper.h"
#include "QtFormView.h"
#include "testing/FakePlatform.h"
#include "widgets/TColor.h"
#include "widgets/TGauge.h"

namespace {

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = std::make_shared<FakePlatform>();
    form = std::make_unique<TQtFormView>(platform);
  }

  void ShowActive() {
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get(), 2000));
  }

  QRadioButton* Item(int index) const {
    return form->RGCom->findChild<QRadioButton*>(QStringLiteral("RGComItem%1").arg(index));
  }

  // Sends a key press and release to whatever has the focus.
  static void Press(Qt::Key key, const QString& text = {}) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    QTest::sendKeyEvent(QTest::Click, target, key, text, Qt::NoModifier);
  }

  std::shared_ptr<FakePlatform> platform;
  std::unique_ptr<TQtFormView> form;
};

}  // namespace

TEST_F(FormTest, StartsIdleWithPortOneAnEmptyListAndTheGaugeAtZero) {
  ShowActive();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("TARN Update Version 1.24"));
  EXPECT_EQ(form->size(), QSize(412, 164));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());

  const Qt::WindowFlags flags = form->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  for (Qt::WindowType hint :
       {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint,
        Qt::WindowCloseButtonHint, Qt::WindowContextHelpButtonHint}) {
    EXPECT_FALSE(flags.testFlag(hint)) << hint;
  }

  const QRect screen = form->screen()->geometry();
  EXPECT_EQ(form->frameGeometry().topLeft(),
            screen.topLeft() + CentredTopLeft(screen.size(), form->frameGeometry().size()));

  EXPECT_EQ(form->ItemIndex(), 0);
  EXPECT_TRUE(Item(0)->isChecked());
  EXPECT_EQ(form->ListBox->count(), 0);
  EXPECT_EQ(form->Gauge->Progress(), 0);
  EXPECT_EQ(form->Gauge->MaxValue(), 1014);
  EXPECT_EQ(form->Gauge->PercentDone(), 0);
  EXPECT_EQ(form->Gauge->ForeColor(), clBlue);
  for (QPushButton* b : {form->BtnStart, form->BtnExit, form->BtnCancel}) {
    EXPECT_TRUE(b->isEnabled()) << b->text().toStdString();
  }
  EXPECT_TRUE(form->BtnStart->isDefault());
  EXPECT_FALSE(form->Form().CancelFlag());
  EXPECT_EQ(form->Form().TickCount(), 0);
  EXPECT_EQ(form->palette().color(QPalette::Window), ResolveColor(clBtnFace, form->palette()));

  EXPECT_EQ(form->Timer1.interval(), 200);
  EXPECT_TRUE(form->Timer1.isActive());
  TSerial& serial = form->Form().Serial();
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(serial.Baudrate(), 38400);
  EXPECT_EQ(serial.DataBits(), d8bit);
  EXPECT_EQ(serial.StopBits(), st2bit);
  EXPECT_FALSE(serial.CheckParity());
  EXPECT_EQ(serial.Parity(), paNone);
  EXPECT_EQ(platform->OpenCount(), 0u);
}

TEST_F(FormTest, ControlsStandWhereTheLayoutPutsThemAndTheirCaptionsFit) {
  ShowActive();
  const struct {
    QWidget* widget;
    QRect geometry;
    QString caption;
  } cases[] = {
      {form->Gauge, {136, 12, 265, 17}, {}},
      {form->Image1, {0, 0, 35, 98}, {}},
      {form->Image2, {8, 120, 140, 38}, {}},
      {form->RGCom, {48, 8, 73, 105}, QStringLiteral(" Serial Port ")},
      {form->BtnStart, {336, 128, 65, 25}, QStringLiteral("Start")},
      {form->BtnExit, {256, 128, 65, 25}, QStringLiteral("Exit")},
      {form->BtnCancel, {176, 128, 65, 25}, QStringLiteral("Abbruch")},
      {form->ListBox, {136, 44, 265, 69}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.widget->geometry(), c.geometry) << c.widget->objectName().toStdString();
    EXPECT_EQ(c.widget->font().pixelSize(), 11);
    if (auto* button = qobject_cast<QAbstractButton*>(c.widget)) {
      EXPECT_EQ(button->text(), c.caption);
    }
  }
  EXPECT_EQ(form->RGCom->title(), QStringLiteral(" Serial Port "));

  // The captions fit, drawn in the style the program draws in (the test
  // program starts the application as the program does) and with the face
  // the program's font resolves to on this machine.
  const QFontMetrics metrics(form->font());
  for (QPushButton* button : {form->BtnStart, form->BtnExit, form->BtnCancel}) {
    EXPECT_LT(metrics.horizontalAdvance(button->text()), button->width() - 8)
        << button->text().toStdString();
  }
  QStyleOptionGroupBox frame;
  frame.initFrom(form->RGCom);
  frame.text = form->RGCom->title();
  frame.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
  const QRect title = form->style()->subControlRect(QStyle::CC_GroupBox, &frame,
                                                    QStyle::SC_GroupBoxLabel, form->RGCom);
  EXPECT_LE(title.right(), form->RGCom->width() - 2)
      << QFontInfo(form->font()).family().toStdString();
  for (int i = 0; i < 4; ++i) {
    QRadioButton* item = Item(i);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("COM %1").arg(i + 1));
    EXPECT_LE(item->geometry().right(), form->RGCom->width() - 2);
    EXPECT_GE(item->width(), item->sizeHint().width()) << i;
  }
  // Five 13-pixel lines fill the list's client area.
  form->ListBox->addItem(QStringLiteral("x"));
  EXPECT_EQ(form->ListBox->sizeHintForRow(0), 13);
  EXPECT_EQ(form->ListBox->viewport()->height(), 5 * 13);
  // The layout does not overlap.
  for (const auto& a : cases) {
    for (const auto& b : cases) {
      if (a.widget != b.widget) {
        EXPECT_FALSE(a.geometry.intersects(b.geometry))
            << a.widget->objectName().toStdString() << " / "
            << b.widget->objectName().toStdString();
      }
    }
  }
}

TEST_F(FormTest, StatusLinesStandFromTheTopUntilTheSixthThenTheNewestFiveShow) {
  ShowActive();
  QListWidget* list = form->ListBox;
  for (int n = 1; n <= 7; ++n) {
    form->Form().AddStatus("line " + std::to_string(n));
    QApplication::processEvents();
    const int top = list->indexAt(QPoint(3, 3)).row();
    EXPECT_EQ(top, std::max(0, n - 5)) << n << " lines";
    const QRect newest = list->visualItemRect(list->item(n - 1));
    EXPECT_TRUE(list->viewport()->rect().contains(newest)) << n << " lines";
    EXPECT_EQ(list->verticalScrollBar()->isVisible(), n > 5) << n << " lines";
  }
  form->ClearStatus();
  EXPECT_EQ(list->count(), 0);
}

TEST_F(FormTest, TabAndArrowsMoveWhileTypedLettersReachNoControl) {
  ShowActive();
  form->Form().AddStatus("Alpha");
  form->Form().AddStatus("Connect TARN to Power !");
  form->Form().AddStatus("TARN detected");
  form->ListBox->setCurrentRow(0);

  Item(0)->setFocus();
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), Item(0));
  const QWidget* expected[] = {form->BtnStart, form->BtnExit, form->BtnCancel, form->ListBox,
                               Item(0)};
  for (const QWidget* next : expected) {
    Press(Qt::Key_Tab, QStringLiteral("\t"));
    EXPECT_EQ(QApplication::focusWidget(), next);
  }

  // Arrows move within the radio group and choose the port.
  Press(Qt::Key_Down);
  EXPECT_EQ(QApplication::focusWidget(), Item(1));
  EXPECT_EQ(form->ItemIndex(), 1);
  // A letter or a blank on the radio group does nothing.
  Press(Qt::Key_C, QStringLiteral("c"));
  Press(Qt::Key_Space, QStringLiteral(" "));
  EXPECT_EQ(form->ItemIndex(), 1);
  Press(Qt::Key_Up);
  EXPECT_EQ(form->ItemIndex(), 0);

  // Tab into the group lands on the chosen port.
  form->SetItemIndex(2);
  form->ListBox->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Tab, QStringLiteral("\t"));
  EXPECT_EQ(QApplication::focusWidget(), Item(2));
  Press(Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), form->ListBox);

  // The list's jump to the line beginning with a letter does not act.
  form->ListBox->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_C, QStringLiteral("c"));
  Press(Qt::Key_T, QStringLiteral("T"));
  EXPECT_EQ(form->ListBox->currentRow(), 0);
  Press(Qt::Key_Down);
  EXPECT_EQ(form->ListBox->currentRow(), 1);
  EXPECT_FALSE(form->Form().CancelFlag());
}

TEST_F(FormTest, EscAndAbbruchSetTheCancelFlagWhileIdleAndEscNeverCloses) {
  ShowActive();
  form->ListBox->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Escape);
  EXPECT_TRUE(form->Form().CancelFlag());
  EXPECT_TRUE(form->isVisible());
  form->Form().ClearCancelFlag();

  form->BtnExit->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Escape);
  EXPECT_TRUE(form->Form().CancelFlag());
  EXPECT_TRUE(form->isVisible());
  form->Form().ClearCancelFlag();

  QTest::mouseClick(form->BtnCancel, Qt::LeftButton);
  EXPECT_TRUE(form->Form().CancelFlag());
  EXPECT_TRUE(form->isVisible());

  char16_t esc = 27;
  char16_t letter = u'q';
  form->Form().FormKeyPress(esc);
  form->Form().FormKeyPress(letter);
  EXPECT_EQ(esc, 27);
  EXPECT_EQ(letter, 0);
}

TEST_F(FormTest, EnterPressesTheFocusedButtonOrStartButNeverADisabledOne) {
  ShowActive();
  QSignalSpy starts(form->BtnStart, &QPushButton::clicked);

  // Esc while idle, then Enter: the update it starts is not cancelled by
  // that Esc; it waits for power until the operator presses Abbruch there.
  bool cancelledWhenPowerAsked = true;
  platform->SetDeviceHook(
      [this, &cancelledWhenPowerAsked](FakePlatform&, const FakePlatform::DeviceEvent& event) {
        if (event.kind != FakePlatform::DeviceEvent::BreakOn) return;
        cancelledWhenPowerAsked = form->Form().CancelFlag();
        QMetaObject::invokeMethod(
            form.get(), [this] { QTest::mouseClick(form->BtnCancel, Qt::LeftButton); },
            Qt::QueuedConnection);
      });
  form->ListBox->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Escape);
  Press(Qt::Key_Return, QStringLiteral("\r"));
  EXPECT_EQ(starts.count(), 1);
  EXPECT_EQ(platform->OpenCount(), 1u);
  EXPECT_FALSE(cancelledWhenPowerAsked);
  EXPECT_EQ(form->ListBox->count(), 1);
  EXPECT_FALSE(form->Form().CancelFlag());  // cleared by the ended update
  platform->SetDeviceHook({});

  form->BtnCancel->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Return, QStringLiteral("\r"));
  EXPECT_EQ(starts.count(), 1);
  EXPECT_TRUE(form->Form().CancelFlag());
  form->Form().ClearCancelFlag();
  Press(Qt::Key_Space, QStringLiteral(" "));
  EXPECT_TRUE(form->Form().CancelFlag());

  form->Form().SetButtonEnabled(HostButton::Start, false);
  form->ListBox->setFocus();
  QApplication::processEvents();
  Press(Qt::Key_Return, QStringLiteral("\r"));
  Press(Qt::Key_Enter, QStringLiteral("\r"));
  EXPECT_EQ(starts.count(), 1);
  EXPECT_EQ(platform->OpenCount(), 1u);
  form->Form().SetButtonEnabled(HostButton::Start, true);
}

TEST_F(FormTest, TheTickCounterCountsTimerEvents) {
  form->Form().Timer1Timer();
  EXPECT_EQ(form->Form().TickCount(), 200);
  // With the message loop running, the timer advances it in steps of 200.
  QElapsedTimer clock;
  clock.start();
  while (form->Form().TickCount() < 800 && clock.elapsed() < 3000) form->WaitForActivity();
  EXPECT_GE(form->Form().TickCount(), 800);
  EXPECT_EQ(form->Form().TickCount() % 200, 0);
}

TEST_F(FormTest, LogosHaveTheirSilverBackgroundInTheFaceColour) {
  const QColor face = ResolveColor(clBtnFace, form->palette());
  const struct {
    QLabel* label;
    const char* file;
  } cases[] = {{form->Image1, ":/tarnup/Image1.bmp"}, {form->Image2, ":/tarnup/Image2.bmp"}};
  for (const auto& c : cases) {
    const QImage original =
        QImage(QString::fromLatin1(c.file)).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(original.isNull()) << c.file;
    const QImage shown = c.label->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shown.size(), original.size()) << c.file;
    int silver = 0;
    int other = 0;
    for (int x = 0; x < original.width(); ++x) {
      for (int y = 0; y < original.height(); ++y) {
        const QRgb was = original.pixel(x, y) & RGB_MASK;
        const QRgb now = shown.pixel(x, y) & RGB_MASK;
        if (was == (qRgb(192, 192, 192) & RGB_MASK)) {
          ++silver;
          ASSERT_EQ(now, face.rgb() & RGB_MASK) << c.file << " at " << x << "," << y;
        } else {
          ++other;
          ASSERT_EQ(now, was) << c.file << " at " << x << "," << y;
        }
      }
    }
    EXPECT_GT(silver, 0) << c.file;
    EXPECT_GT(other, 0) << c.file;
    EXPECT_EQ(c.label->size(), original.size());
  }
  // The pictures are 4-bit bitmaps with a 16-colour palette.
  for (const char* file : {":/tarnup/Image1.bmp", ":/tarnup/Image2.bmp"}) {
    QFile bmp(QString::fromLatin1(file));
    ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
    const QByteArray head = bmp.read(54);
    EXPECT_EQ(head.left(2), QByteArray("BM"));
    EXPECT_EQ(static_cast<int>(head[28]), 4);   // bits per pixel
    EXPECT_EQ(static_cast<int>(head[30]), 0);   // no compression
    EXPECT_EQ(static_cast<int>(head[46]), 16);  // palette entries
  }
}

TEST_F(FormTest, ExitEndsTheMessageLoop) {
  ShowActive();
  QTimer::singleShot(0, form->BtnExit,
                     [this] { QTest::mouseClick(form->BtnExit, Qt::LeftButton); });
  QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(7); });  // safety net
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->Form().CancelFlag());
}

TEST_F(FormTest, ACloseRequestFromOutsideClosesTheIdleWindow) {
  ShowActive();
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->isVisible());
}

TEST_F(FormTest, PortTooltipsAreLookedUpAgainWhenTheWindowIsActivatedAndAtStart) {
  std::vector<std::string> reached = {"/dev/ttyS0, serial port of this computer", "No device",
                                      "No device", "No device"};
  form->Form().SetPortTooltipSource([&reached](unsigned count) {
    EXPECT_EQ(count, 4u);
    return reached;
  });
  ShowActive();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Item(i)->toolTip().toStdString(), reached[static_cast<std::size_t>(i)]);
  }

  // An adapter plugged in while another window was active.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other, 2000));
  reached[1] = "/dev/ttyUSB0, USB adapter usb-FTDI_A";
  EXPECT_EQ(Item(1)->toolTip().toStdString(), "No device");
  ShowActive();
  EXPECT_EQ(Item(1)->toolTip().toStdString(), reached[1]);

  // One plugged in while the window stayed active is named at Start (which
  // ends at once here: COM 1 leads nowhere).
  reached[2] = "/dev/ttyUSB1, USB adapter usb-FTDI_B";
  platform->SetDeviceExists("COM1", false);
  BoxCloser closer;
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  EXPECT_EQ(closer.boxes.size(), 1);
  EXPECT_EQ(Item(2)->toolTip().toStdString(), reached[2]);
}
