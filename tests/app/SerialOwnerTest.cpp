#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include "ModalHelper.h"
#include "QtSerialOwner.h"

namespace {

// Processes events until `done` or about two seconds have passed.
bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 2000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

}  // namespace

TEST(QtSerialOwner, ErrorBoxIsTheModalFehlerBox) {
  TQtSerialOwner owner;
  BoxCloser closer;
  owner.ShowErrorBox("Das System kann die angegebene Datei nicht finden");
  ASSERT_EQ(closer.boxes.size(), 1);
  const SeenBox& box = closer.boxes.front();
  EXPECT_EQ(box.title, QStringLiteral("Fehler"));
  EXPECT_EQ(box.text, QStringLiteral("Das System kann die angegebene Datei nicht finden"));
  EXPECT_EQ(box.icon, QMessageBox::Critical);
  EXPECT_EQ(box.buttonCount, 1);
  EXPECT_TRUE(box.okIsDefault);
  EXPECT_TRUE(box.okIsEscape);
}

TEST(QtSerialOwner, HandedOverCallsRunInOrderOnTheWindowThreadWhilePumping) {
  TQtSerialOwner owner;
  const QThread* window = QThread::currentThread();
  std::vector<int> order;
  std::atomic<int> returned{0};
  std::atomic<bool> allOnWindowThread{true};
  std::thread events([&] {
    for (int i = 0; i < 5; ++i) {
      const bool ran = owner.HandOver(&owner, [&, i] {
        if (QThread::currentThread() != window) allOnWindowThread = false;
        order.push_back(i);
      });
      if (ran) ++returned;
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return returned.load() == 5; }));
  events.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(allOnWindowThread);
}

TEST(QtSerialOwner, HandOverRunsInsideAModalBoxAndCarriesFailuresBack) {
  TQtSerialOwner owner;
  std::atomic<bool> ranInBox{false};
  std::atomic<bool> rethrown{false};
  std::thread events;
  BoxCloser closer([&] {
    // Only close the box once the handed-over call has run inside its loop.
    QElapsedTimer clock;
    clock.start();
    while (!ranInBox && clock.elapsed() < 2000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
  });
  events = std::thread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    owner.HandOver(&owner, [&] { ranInBox = QApplication::activeModalWidget() != nullptr; });
    try {
      owner.HandOver(&owner, [] { throw std::runtime_error("im Fenster"); });
    } catch (const std::runtime_error&) {
      rethrown = true;
    }
  });
  owner.ShowErrorBox("Zugriff verweigert");
  EXPECT_TRUE(PumpUntil([&] { return rethrown.load(); }));
  events.join();
  EXPECT_TRUE(ranInBox);
  EXPECT_TRUE(rethrown);
}

TEST(QtSerialOwner, WithdrawnAndLateHandOversReturnFalse) {
  std::atomic<int> result{-1};
  std::thread events;
  {
    TQtSerialOwner owner;
    events = std::thread([&] { result = owner.HandOver(&owner, [] {}) ? 1 : 0; });
    // Give the post time to arrive, then withdraw it without pumping.
    QElapsedTimer clock;
    clock.start();
    while (!owner.HasPending() && clock.elapsed() < 2000) std::this_thread::yield();
    owner.WithdrawHandOvers(&owner);
    events.join();
    EXPECT_EQ(result.load(), 0);
  }
  // The queued invocation of the destroyed owner must not run afterwards.
  QCoreApplication::processEvents();
}
