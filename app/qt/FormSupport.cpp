#include "FormSupport.h"

#include <span>
#include <string_view>

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
  const auto lower = [](std::u16string_view rest) {
    return QString::fromUtf16(rest.data(), static_cast<qsizetype>(rest.size()))
        .toLower()
        .toStdU16String();
  };
  return QString::fromStdU16String(ApplicationTitleWith(programFile.toStdU16String(), lower));
}

QPoint CentredTopLeft(QSize screen, QSize window) {
  const Point at =
      ::CentredTopLeft(screen.width(), screen.height(), window.width(), window.height());
  return {at.x, at.y};
}

int RecolourSilver(QImage& image, QColor face) {
  if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
    image.convertTo(QImage::Format_RGB32);
  }
  // 32-bit pixels 0xAARRGGBB, rows bytesPerLine() apart.
  const int stride = static_cast<int>(image.bytesPerLine() / 4);
  const std::span pixels(
      reinterpret_cast<std::uint32_t*>(image.bits()),
      static_cast<std::size_t>(stride) * static_cast<std::size_t>(image.height()));
  return ::RecolourSilver(pixels, image.width(), image.height(), stride, face.rgb() & RGB_MASK);
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
