// Enter around a running update, with key events delivered as the window
// system delivers them, while the window runs a real update that waits for a
// device that never powers up.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "ErrorDisplay.h"
#include "ModalHelper.h"
#include "QtFormView.h"
#include "testing/FakePlatform.h"

namespace {

class FormEnterTest : public ::testing::Test {
 public:
  void SetUp() override {
    platform = std::make_shared<FakePlatform>();
    platform->SetRecorded("ReadByte", false);
    platform->SetRecorded("WaitCommEvent", false);
    form = std::make_unique<TQtFormView>(platform);
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get(), 2000));
    // No test waits out the 100 s power wait: cancel after 10 s.
    safety.setSingleShot(true);
    safety.setInterval(10000);
    QObject::connect(&safety, &QTimer::timeout, form.get(), [this] {
      char16_t esc = 27;
      form->Form().FormKeyPress(esc);
    });
    safety.start();
  }

  // A key press, and its release unless `hold`, sent where the window system
  // sends it: to the focused control, or to the window when none has the
  // focus. Presses other than auto-repeats take the window system's path.
  void Key(Qt::Key key, bool hold = false) {
    QTest::keyPress(form->windowHandle(), key);
    if (!hold) QTest::keyRelease(form->windowHandle(), key);
  }
  void RepeatEnter(int times) {
    for (int i = 0; i < times; ++i) {
      QWidget* target =
          QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : form.get();
      QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"),
                       true);
      QApplication::sendEvent(target, &repeat);
    }
  }

  // Runs `action` once, from inside the update's wait for power.
  void WhenWaitingForPower(std::function<void()> action) {
    auto* poll = new QTimer(form.get());
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, form.get(), [this, poll, action = std::move(action)] {
      if (!form->Form().UpdateRunning() || form->BtnStart->isEnabled() ||
          form->ListBox->count() == 0) {
        return;
      }
      poll->stop();
      poll->deleteLater();
      action();
    });
    poll->start();
  }

  std::shared_ptr<FakePlatform> platform;
  std::unique_ptr<TQtFormView> form;
  QTimer safety;
};

}  // namespace

TEST_F(FormEnterTest, EnterAfterStartNeitherCancelsNorLeavesACancelAndTheNextEnterStartsAgain) {
  const struct {
    const char* what;
    std::function<void(FormEnterTest&)> start;
    std::function<void(FormEnterTest&)> duringRun;
    bool held;
    int boxes;
  } cases[] = {
      {"click Start, then Enter",
       [](FormEnterTest& t) { QTest::mouseClick(t.form->BtnStart, Qt::LeftButton); },
       [](FormEnterTest& t) {
         t.Key(Qt::Key_Return);
         // A box over the window (the serial component's, say) and back.
         ShowExceptionBox(QStringLiteral("Fehler"), QStringLiteral("gone"));
         t.Key(Qt::Key_Enter);
       },
       false, 1},
      {"Tab to Start, then Enter twice",
       [](FormEnterTest& t) {
         t.form->ListBox->setFocus();
         t.Key(Qt::Key_Tab);
         t.Key(Qt::Key_Tab);
         ASSERT_EQ(QApplication::focusWidget(), t.form->BtnStart);
         t.Key(Qt::Key_Return);
       },
       [](FormEnterTest& t) { t.Key(Qt::Key_Return); }, false, 0},
      {"Enter held down on Start",
       [](FormEnterTest& t) {
         t.form->BtnStart->setFocus();
         t.Key(Qt::Key_Return, true);
       },
       [](FormEnterTest& t) {
         t.RepeatEnter(20);
         // Nor does it close a box that comes up meanwhile.
         QMessageBox box(QMessageBox::Critical, QStringLiteral("Fehler"), QStringLiteral("x"),
                         QMessageBox::Ok);
         box.show();
         box.button(QMessageBox::Ok)->setFocus();
         QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"),
                          true);
         QApplication::sendEvent(box.focusWidget(), &repeat);
         EXPECT_TRUE(box.isVisible());
         box.close();
         t.form->activateWindow();
         EXPECT_TRUE(QTest::qWaitForWindowActive(t.form.get(), 2000));
       },
       true, 0},
  };
  unsigned opens = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool ranOn = false;
    bool cancelled = false;
    QWidget* focusInRun = nullptr;
    WhenWaitingForPower([&] {
      c.duringRun(*this);
      ranOn = form->Form().UpdateRunning();
      cancelled = form->Form().CancelFlag();
      focusInRun = QApplication::focusWidget();
      Key(Qt::Key_Escape);  // Esc still ends the run
    });
    BoxCloser closer;
    c.start(*this);
    EXPECT_EQ(platform->OpenCount(), ++opens);
    EXPECT_TRUE(ranOn);
    EXPECT_FALSE(cancelled);
    EXPECT_NE(focusInRun, form->BtnCancel);
    EXPECT_EQ(closer.boxes.size(), c.boxes);

    // Over: Enter is back on Start, no cancel waits, and repeats of a held
    // Enter start nothing.
    EXPECT_FALSE(form->Form().UpdateRunning());
    EXPECT_FALSE(form->Form().CancelFlag());
    EXPECT_EQ(QApplication::focusWidget(), form->BtnStart);
    if (c.held) {
      RepeatEnter(5);
      QTest::keyRelease(form->windowHandle(), Qt::Key_Return);
      EXPECT_EQ(platform->OpenCount(), opens);
    }

    // The next Enter starts a run that waits as the first did.
    bool waited = false;
    WhenWaitingForPower([&] {
      waited = !form->Form().CancelFlag();
      Key(Qt::Key_Escape);
    });
    Key(Qt::Key_Return);
    EXPECT_EQ(platform->OpenCount(), ++opens);
    EXPECT_TRUE(waited);
    EXPECT_EQ(closer.boxes.size(), c.boxes);
  }
}
