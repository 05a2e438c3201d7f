#include "FormSupport.h"

#include <algorithm>

#include <QApplication>
#include <QKeyEvent>
#include <QStringList>
#include <QTimer>

void PrepareProgramStart() {
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING")) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  }
}

void UseProgramStyle() {
  if (!qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) return;
  for (const QString& argument : QCoreApplication::arguments()) {
    if (argument == QLatin1String("-style") || argument.startsWith(QLatin1String("-style="))) {
      return;
    }
  }
  QApplication::setStyle(QStringLiteral("Windows"));
}

QString ApplicationTitle(const QString& programFile) {
  const qsizetype slash = std::max(programFile.lastIndexOf(QLatin1Char('\\')),
                                   programFile.lastIndexOf(QLatin1Char('/')));
  QString name = programFile.mid(slash + 1);
  const qsizetype dot = name.indexOf(QLatin1Char('.'));
  if (dot >= 0) name.truncate(dot);
  if (name.isEmpty()) return name;
  return name.left(1) + name.mid(1).toLower();
}

QPoint CentredTopLeft(QSize screen, QSize window) {
  const int left = (screen.width() - window.width()) / 2;
  const int top = (screen.height() - window.height()) / 2;
  return {std::max(left, 0), std::max(top, 0)};
}

std::int32_t AdvanceTicks(std::int32_t ticks, std::int32_t step) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks) +
                                   static_cast<std::uint32_t>(step));
}

int RecolourSilver(QImage& image, QColor face) {
  if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
    image.convertTo(QImage::Format_RGB32);
  }
  const QRgb silver = qRgb(192, 192, 192);
  const QRgb replacement = face.rgb();
  int changed = 0;
  for (int x = 0; x < image.width(); ++x) {
    for (int y = 0; y < image.height(); ++y) {
      if ((image.pixel(x, y) & RGB_MASK) == (silver & RGB_MASK)) {
        image.setPixel(x, y, replacement);
        ++changed;
      }
    }
  }
  return changed;
}

void StartTickTimer(QTimer& timer) {
  timer.start();
  // A timer the window system refused has no valid id (isActive() still
  // reports the request, not the outcome).
  if (timer.timerId() <= 0) {
    timer.stop();
    throw EOutOfResources(kNoTimerMessage);
  }
}

KeyKind ClassifyKey(const QKeyEvent& event, bool targetIsButton) {
  switch (event.key()) {
    case Qt::Key_Escape:
      return KeyKind::Typed;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Delete:
      return KeyKind::Action;
    case Qt::Key_Space:
      return targetIsButton ? KeyKind::Action : KeyKind::Typed;
    default:
      return event.text().isEmpty() ? KeyKind::Action : KeyKind::Typed;
  }
}

QChar TypedCharacter(const QKeyEvent& event) {
  if (event.key() == Qt::Key_Escape) return QChar(27);
  const QString text = event.text();
  return text.isEmpty() ? QChar(0) : text.front();
}

void AddStatusLine(IStatusLines& lines, const QString& text) {
  if (!lines.Append(text)) throw EOutOfResources(kNoLineMessage);
  const int count = lines.Count();
  if (count > 3 && lines.TopIndex() != count - 3) lines.SetTopIndex(count - 3);
}
