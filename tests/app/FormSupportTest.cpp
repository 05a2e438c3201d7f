#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <QKeyEvent>
#include <QTimer>

#include "FormSupport.h"

TEST(ApplicationTitle, FollowsTheProgramFileName) {
  const struct {
    const char* file;
    const char* title;
  } cases[] = {
      {"UPDATER.EXE", "Updater"},
      {"C:\\TOOLS\\UPDATER.EXE", "Updater"},
      {"/usr/local/bin/tarnup", "tarnup"},   // the first character is kept as it is
      {"/opt/x.y/TarnUp.v2.bin", "Tarnup"},  // up to the first dot of the name
      {"C:\\a.b\\tArN", "tarn"},             // dots in folders do not count
      {"x", "x"},
      {"/usr/bin/", ""},
      {"ÄBC.EXE", "Äbc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationTitle(QString::fromUtf8(c.file)), QString::fromUtf8(c.title)) << c.file;
  }
}

TEST(CentredTopLeft, HalvesTheDifferenceAndNeverGoesNegative) {
  const struct {
    QSize screen, window;
    QPoint expected;
  } cases[] = {
      {{1024, 768}, {418, 190}, {303, 289}},
      {{1025, 769}, {412, 164}, {306, 302}},  // truncated halves
      {{800, 600}, {412, 164}, {194, 218}},
      {{300, 100}, {412, 164}, {0, 0}},  // a window larger than the screen
      {{412, 164}, {412, 164}, {0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(CentredTopLeft(c.screen, c.window), c.expected);
}

TEST(RecolourSilver, ReplacesExactlySilverAndNothingElse) {
  QImage image(3, 2, QImage::Format_RGB32);
  const QRgb near = qRgb(192, 192, 191);
  image.setPixel(0, 0, qRgb(192, 192, 192));
  image.setPixel(1, 0, near);
  image.setPixel(2, 0, qRgb(0, 0, 0));
  image.setPixel(0, 1, qRgb(255, 255, 255));
  image.setPixel(1, 1, qRgb(192, 192, 192));
  image.setPixel(2, 1, qRgb(128, 128, 128));
  const QColor face(212, 208, 200);

  EXPECT_EQ(RecolourSilver(image, face), 2);
  EXPECT_EQ(image.pixel(0, 0), face.rgb());
  EXPECT_EQ(image.pixel(1, 1), face.rgb());
  EXPECT_EQ(image.pixel(1, 0), near);
  EXPECT_EQ(image.pixel(2, 0), qRgb(0, 0, 0));
  EXPECT_EQ(image.pixel(0, 1), qRgb(255, 255, 255));
  EXPECT_EQ(image.pixel(2, 1), qRgb(128, 128, 128));
}

TEST(RecolourSilver, WorksOnPalettedPicturesAndWithASilverFace) {
  QImage indexed(4, 4, QImage::Format_Indexed8);
  indexed.setColorCount(2);
  indexed.setColor(0, qRgb(192, 192, 192));
  indexed.setColor(1, qRgb(0, 0, 255));
  indexed.fill(0);
  indexed.setPixel(2, 3, 1);
  QImage recoloured = indexed;
  EXPECT_EQ(RecolourSilver(recoloured, QColor(10, 20, 30)), 15);
  EXPECT_EQ(recoloured.pixel(0, 0), qRgb(10, 20, 30));
  EXPECT_EQ(recoloured.pixel(2, 3), qRgb(0, 0, 255));

  // Under a scheme whose face is silver nothing visibly changes.
  QImage same = indexed;
  RecolourSilver(same, QColor(192, 192, 192));
  EXPECT_EQ(same.convertToFormat(QImage::Format_RGB32),
            indexed.convertToFormat(QImage::Format_RGB32));
}

TEST(StartTickTimer, ReportsATimerThatCannotBeHad) {
  // A thread without an event dispatcher cannot run a timer, the same
  // situation as a window system that has none left to give.
  std::string message;
  int id = 1;
  std::thread worker([&] {
    QTimer timer;
    timer.setInterval(200);
    try {
      StartTickTimer(timer);
    } catch (const EOutOfResources& e) {
      message = e.what();
    }
    id = timer.timerId();
  });
  worker.join();
  EXPECT_EQ(message, "Nicht genügend Timer verfügbar");
  EXPECT_LE(id, 0);

  QTimer timer;
  timer.setInterval(200);
  EXPECT_NO_THROW(StartTickTimer(timer));
  EXPECT_GT(timer.timerId(), 0);
}

TEST(ClassifyKey, OnlyTypedCharactersReachTheKeyHandler) {
  const struct {
    Qt::Key key;
    const char* text;
    bool onButton;
    KeyKind kind;
  } cases[] = {
      {Qt::Key_A, "a", false, KeyKind::Typed},
      {Qt::Key_A, "A", true, KeyKind::Typed},
      {Qt::Key_5, "5", false, KeyKind::Typed},
      {Qt::Key_Backspace, "\b", false, KeyKind::Typed},
      {Qt::Key_Escape, "\x1b", false, KeyKind::Typed},
      {Qt::Key_Escape, "", true, KeyKind::Typed},
      {Qt::Key_Space, " ", false, KeyKind::Typed},
      {Qt::Key_Space, " ", true, KeyKind::Action},
      {Qt::Key_Tab, "\t", false, KeyKind::Action},
      {Qt::Key_Backtab, "", false, KeyKind::Action},
      {Qt::Key_Return, "\r", true, KeyKind::Action},
      {Qt::Key_Enter, "\r", false, KeyKind::Action},
      {Qt::Key_Down, "", false, KeyKind::Action},
      {Qt::Key_Left, "", true, KeyKind::Action},
      {Qt::Key_Home, "", false, KeyKind::Action},
      {Qt::Key_F1, "", false, KeyKind::Action},
      {Qt::Key_Delete, "\x7f", false, KeyKind::Action},
  };
  for (const auto& c : cases) {
    const QKeyEvent event(QEvent::KeyPress, c.key, Qt::NoModifier, QString::fromLatin1(c.text));
    EXPECT_EQ(ClassifyKey(event, c.onButton), c.kind) << c.key << " on button " << c.onButton;
  }
  const QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  EXPECT_EQ(TypedCharacter(esc), QChar(27));
  const QKeyEvent x(QEvent::KeyPress, Qt::Key_X, Qt::ShiftModifier, QStringLiteral("X"));
  EXPECT_EQ(TypedCharacter(x), QChar(u'X'));
}
