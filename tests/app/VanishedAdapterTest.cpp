// The operator pulls the adapter while the window waits for power: the
// line's far end goes away. Every failed poll used to be a box of its own,
// more than an operator can close; now a few boxes say what happened, Abbruch
// ends the run, and the next Start says the port is not there.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ModalHelper.h"
#include "QtFormView.h"
#include "serial/posix/PosixPlatform.h"
#include "serial/posix/PosixPortMap.h"

namespace {

namespace fs = std::filesystem;

TEST(VanishedAdapter, PulledInThePowerWaitGivesAFewBoxesAndAbbruchEndsTheRun) {
  std::string pattern = (fs::temp_directory_path() / "tarnup-vanish-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const PortMapRoots roots{root / "ports", root / "dev", root / "sys"};
  fs::create_directories(roots.portsDir);
  fs::create_directories(root / "proc");
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  char name[128] = {};
  ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
  const std::string line = name;
  fs::create_symlink(line, roots.portsDir / "COM1");
  {
    TQtFormView form(MakePosixPlatform(roots, root / "proc"));
    form.show();
    form.SetItemIndex(0);
    // The operator: pulls the line once the window asks for power, and
    // presses Abbruch two seconds later (boxes permitting).
    QElapsedTimer sincePull;
    QTimer operatorHand;
    operatorHand.setInterval(10);
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
      if (master >= 0 && form.ListBox->count() > 0 &&
          form.ListBox->item(0)->text() == QStringLiteral("Connect TARN to Power !")) {
        ::close(master);
        master = -1;
        sincePull.start();
      }
      if (sincePull.isValid() && sincePull.elapsed() > 2000 && form.BtnCancel->isEnabled() &&
          QApplication::activeModalWidget() == nullptr) {
        QTest::mouseClick(form.BtnCancel, Qt::LeftButton);
        sincePull.invalidate();
      }
    });
    operatorHand.start();
    BoxCloser closer;
    QTest::mouseClick(form.BtnStart, Qt::LeftButton);
    operatorHand.stop();

    std::printf("pulled line in the power wait (window): %lld boxes closed\n",
                static_cast<long long>(closer.boxes.size()));
    ASSERT_GE(closer.boxes.size(), 1);
    EXPECT_LE(closer.boxes.size(), 2);
    for (const SeenBox& box : std::as_const(closer.boxes)) {
      EXPECT_EQ(box.title, QStringLiteral("Fehler"));
      EXPECT_EQ(box.text.toStdString(),
                "COM1 (" + line +
                    ") is gone: the adapter may have been unplugged, or the line "
                    "has hung up");
    }
    EXPECT_EQ(form.ListBox->count(), 1);
    EXPECT_TRUE(form.BtnStart->isEnabled());
    EXPECT_FALSE(form.Form().Serial().Active());

    // The next Start: the link leads nowhere now, one box says so.
    const auto before = closer.boxes.size();
    QTest::mouseClick(form.BtnStart, Qt::LeftButton);
    ASSERT_EQ(closer.boxes.size(), before + 1);
    EXPECT_NE(closer.boxes.back().text.indexOf(QStringLiteral("COM1")), -1);
    EXPECT_EQ(form.ListBox->count(), 0);
    EXPECT_TRUE(form.BtnStart->isEnabled());
  }
  if (master >= 0) ::close(master);
  fs::remove_all(root);
}

}  // namespace
