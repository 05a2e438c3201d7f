// The window running the update sequence against a scripted device on the
// recording serial platform.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QGroupBox>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "ModalHelper.h"
#include "QtFormView.h"
#include "serial/posix/PosixPlatform.h"
#include "serial/posix/PosixPortMap.h"
#include "testing/FakePlatform.h"
#include "testing/FakeTarn.h"
#include "widgets/TGauge.h"

namespace {

// How the device on the far end of the fake port (the simulator's model)
// behaves.
struct Device {
  bool answerPower = true;   // a blank once the break is set
  bool answerDetect = true;  // "Q" once the break is released
  int acknowledge = -1;      // acknowledge this many lines; -1: all
};

class FormUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = std::make_shared<FakePlatform>();
    platform->SetRecorded("ReadByte", false);
    platform->SetRecorded("WaitCommEvent", false);
    form = std::make_unique<TQtFormView>(platform);
    form->show();
    // Never let a test wait for a device that stays silent: cancel after 20 s.
    safety.setSingleShot(true);
    safety.setInterval(20000);
    QObject::connect(&safety, &QTimer::timeout, form.get(), [this] {
      char16_t esc = 27;
      form->Form().FormKeyPress(esc);
    });
    safety.start();
  }

  // Puts the device behind the fake port; `atLine` runs as each line has
  // been written, with its number.
  void Script(Device device, std::function<void(int line)> atLine = {}) {
    tarnsim::DeviceOptions& options = tarn.Options() = FakeTarn::Immediate();
    if (!device.answerPower) options.powerUp = tarnsim::PowerUp::Never;
    options.faults.withholdQ = !device.answerDetect;
    if (device.acknowledge >= 0) options.faults.silentAfterLine = device.acknowledge;
    tarn.SetObserver([this, atLine](const FakePlatform::DeviceEvent& event) {
      if (event.kind != FakePlatform::DeviceEvent::Written) return;
      ++lines;
      progressSeen = std::max(progressSeen.load(), form->Gauge->Progress());
      if (atLine) atLine(lines);
    });
    tarn.Attach(*platform);
  }

  std::vector<std::string> Status() const {
    std::vector<std::string> out;
    for (int i = 0; i < form->ListBox->count(); ++i) {
      out.push_back(form->ListBox->item(i)->text().toStdString());
    }
    return out;
  }

  void ExpectIdle() {
    for (QPushButton* b : {form->BtnStart, form->BtnExit, form->BtnCancel}) {
      EXPECT_TRUE(b->isEnabled()) << b->text().toStdString();
    }
    EXPECT_EQ(form->Gauge->Progress(), 0);
    EXPECT_FALSE(form->Form().CancelFlag());
    EXPECT_FALSE(form->Form().Serial().Active());
    EXPECT_FALSE(form->Form().UpdateRunning());
  }

  FakeTarn tarn;  // outlives the window, whose port calls into it
  std::shared_ptr<FakePlatform> platform;
  std::unique_ptr<TQtFormView> form;
  QTimer safety;
  std::atomic<int> lines{0};
  std::atomic<int> progressSeen{0};
};

}  // namespace

TEST_F(FormUpdateTest, ACompleteUpdateShowsItsStepsAndEndsIdle) {
  Script({});
  form->SetItemIndex(2);
  BoxCloser closer;
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  EXPECT_TRUE(closer.boxes.isEmpty());
  const std::vector<std::string> status = Status();
  ASSERT_GE(status.size(), 4u);
  EXPECT_EQ(status.front(), "Connect TARN to Power !");
  EXPECT_EQ(status.back(), "Update succesful !!");
  EXPECT_EQ(platform->Calls().front().text, "Open(COM3)");
  // Security line, erase lines, 1014 data lines and the end line.
  EXPECT_GT(lines.load(), 1014 + 2);
  EXPECT_GE(progressSeen.load(), 1013);
  ExpectIdle();
}

TEST_F(FormUpdateTest, ACancelGivenWhileIdleDoesNotCancelTheNextUpdate) {
  Script({});
  form->Form().AddStatus("from the last run");
  QTest::mouseClick(form->BtnCancel, Qt::LeftButton);
  ASSERT_TRUE(form->Form().CancelFlag());
  BoxCloser closer;
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  EXPECT_TRUE(closer.boxes.isEmpty());
  const std::vector<std::string> status = Status();
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Connect TARN to Power !");
  EXPECT_EQ(status.back(), "Update succesful !!");
  EXPECT_EQ(platform->OpenCount(), 1u);
  EXPECT_EQ(lines.load(), 1 + 3 + 1014 + 1);
  ExpectIdle();

  // The next Start runs normally too.
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  EXPECT_TRUE(closer.boxes.isEmpty());
  EXPECT_EQ(Status().back(), "Update succesful !!");
  ExpectIdle();
}

TEST_F(FormUpdateTest, ASilentDeviceEndsInTheErrorBoxWithTheFullStopAdded) {
  Script({.answerPower = true, .answerDetect = false});
  BoxCloser closer([this] {
    // The clean-up has run before the box comes up.
    EXPECT_FALSE(form->Form().Serial().Active());
    EXPECT_TRUE(form->BtnStart->isEnabled());
  });
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  ASSERT_EQ(closer.boxes.size(), 1);
  EXPECT_EQ(closer.boxes.front().text, QStringLiteral("Hardware antwortet nicht !."));
  EXPECT_EQ(closer.boxes.front().title, form->ApplicationTitleText());
  EXPECT_EQ(closer.boxes.front().icon, QMessageBox::Critical);
  EXPECT_EQ(Status(), std::vector<std::string>{"Connect TARN to Power !"});
  EXPECT_TRUE(form->isVisible());
  ExpectIdle();
}

TEST_F(FormUpdateTest, EscDuringTheBlocksEndsSilentlyAndKeepsTheStatusLines) {
  Script({.acknowledge = 29}, [this](int line) {
    if (line < 30) return;
    // The operator presses Esc while the device is busy with a block.
    QMetaObject::invokeMethod(
        form.get(), [this] { QTest::keyClick(form->ListBox, Qt::Key_Escape); },
        Qt::QueuedConnection);
  });
  BoxCloser closer;
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  EXPECT_TRUE(closer.boxes.isEmpty());
  EXPECT_EQ(Status().back(), "Update is running !!");
  EXPECT_EQ(lines.load(), 30);
  EXPECT_TRUE(form->isVisible());
  ExpectIdle();
}

TEST_F(FormUpdateTest, ACloseRequestInThePowerWaitCancelsAndClosesInTheBlocksItWaitsForTheEnd) {
  const struct {
    const char* what;
    Device device;
    int closeAtLine;  // 0: 300 ms into the power wait
    std::string lastLine;
    int lines;
  } cases[] = {
      {"in the power wait", {.answerPower = false}, 0, "Connect TARN to Power !", 0},
      {"while the blocks are sent", {}, 100, "Update succesful !!", 1 + 3 + 1014 + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    form = std::make_unique<TQtFormView>(platform);
    form->show();
    lines = 0;
    bool exitDisabled = false;
    bool openAfterRequest = false;
    std::int32_t ticksAtRequest = -1;
    const auto request = [&] {
      exitDisabled = !form->BtnExit->isEnabled();
      ticksAtRequest = form->Form().TickCount();
      form->close();
      openAfterRequest = form->isVisible() && form->Form().UpdateRunning();
    };
    Script(c.device, [&](int line) {
      if (line == c.closeAtLine)
        QMetaObject::invokeMethod(form.get(), request, Qt::QueuedConnection);
    });
    if (c.closeAtLine == 0) QTimer::singleShot(300, form.get(), request);
    BoxCloser closer;
    QTest::mouseClick(form->BtnStart, Qt::LeftButton);
    EXPECT_TRUE(exitDisabled);
    EXPECT_TRUE(openAfterRequest);
    EXPECT_TRUE(closer.boxes.isEmpty());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Status().back(), c.lastLine);
    EXPECT_EQ(lines.load(), c.lines);
    if (c.closeAtLine == 0) {
      // Ended by the close itself, not by a timeout or the test's safety.
      EXPECT_LT(form->Form().TickCount() - ticksAtRequest, 1000);
    }
    ExpectIdle();
  }
}

TEST_F(FormUpdateTest, APortThatDoesNotOpenEndsTheRunWithTheSerialBoxOnly) {
  platform->SetDeviceExists("COM2", false);
  form->SetItemIndex(1);
  form->Form().AddStatus("old line");
  BoxCloser closer;
  QTest::mouseClick(form->BtnStart, Qt::LeftButton);
  ASSERT_EQ(closer.boxes.size(), 1);
  EXPECT_EQ(closer.boxes.front().title, QStringLiteral("Fehler"));
  EXPECT_TRUE(Status().empty());
  ExpectIdle();
}

TEST(FormPortMap, AStartOnACOMWithNothingBehindItNamesThePortWhatWasTriedAndHowToLink) {
  // A machine with one UART and no adapter, laid out in a temporary folder.
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "tarnup-form-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = fs::canonical(pattern);
  const PortMapRoots roots{root / "ports", root / "dev", root / "sys"};
  fs::create_directories(roots.portsDir);
  fs::create_directories(roots.dev);
  fs::create_directories(roots.sys / "class" / "tty" / "ttyS0");
  std::ofstream(roots.dev / "ttyS0").put('\0');
  std::ofstream(roots.sys / "class" / "tty" / "ttyS0" / "type") << "4\n";
  fs::create_directories(root / "proc");

  {
    TQtFormView form(MakePosixPlatform(roots, root / "proc"));
    form.Form().SetPortTooltipSource(
        [&roots](unsigned count) { return ComPortTooltips(count, roots); });
    form.show();
    form.SetItemIndex(2);
    EXPECT_EQ(form.RGCom->findChild<QRadioButton*>(QStringLiteral("RGComItem2"))->toolTip(),
              QString::fromStdString("No device: plug in a serial adapter, or link one as " +
                                     (roots.portsDir / "COM3").string()));
    BoxCloser closer;
    QTest::mouseClick(form.BtnStart, Qt::LeftButton);
    ASSERT_EQ(closer.boxes.size(), 1);
    EXPECT_EQ(closer.boxes.front().title, QStringLiteral("Fehler"));
    // Whole (not cut off by the box's limit), naming the port, the link that
    // was looked for and the command that makes it.
    const std::string text = closer.boxes.front().text.toStdString();
    const std::string link = (roots.portsDir / "COM3").string();
    EXPECT_EQ(text.rfind("There is no COM3: ", 0), 0u) << text;
    EXPECT_NE(text.find("ln -sf " + (roots.dev / "serial" / "by-id").string() + "/ADAPTER " + link),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.size() - link.size()), link) << text;
    EXPECT_EQ(form.ListBox->count(), 0);
    EXPECT_TRUE(form.BtnStart->isEnabled());
    EXPECT_FALSE(form.Form().Serial().Active());
  }
  fs::remove_all(root);
}
