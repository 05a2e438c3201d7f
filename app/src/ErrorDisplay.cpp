#include "ErrorDisplay.h"

#include <exception>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "update/Exceptions.h"

QString WithFullStop(const QString& message) {
  return message + QLatin1Char('.');
}

void ShowExceptionBox(const QString& title, const QString& message) {
  // The window that was active gets the focus back once the box is gone.
  QPointer<QWidget> active = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Critical, title, WithFullStop(message), QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  if (active) active->activateWindow();
}

namespace {

void ShowQuietly(const QString& title, const QString& message) noexcept {
  try {
    ShowExceptionBox(title, message);
  } catch (...) {
    // Nothing is left that could report it; the window stays usable.
  }
}

}  // namespace

void RunGuarded(const QString& title, const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const EAbort&) {
    // Cancelled by the operator: nothing to show.
  } catch (const std::exception& e) {
    // A drag or press in progress is ended before the box comes up.
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    ShowQuietly(title, QString::fromUtf8(e.what()));
  } catch (...) {
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    ShowQuietly(title, QStringLiteral("Unbekannter Fehler"));
  }
}
