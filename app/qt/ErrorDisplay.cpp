#include "ErrorDisplay.h"

#include <exception>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "FormRules.h"

QString WithFullStop(const QString& message) {
  return QString::fromStdString(::WithFullStop(message.toStdString()));
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

void RunGuarded(const QString& title, const std::function<void()>& handler) noexcept {
  RunGuardedWith(handler, [&title](const std::string& message) {
    // A drag or press in progress is ended before the box comes up.
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    ShowExceptionBox(title, QString::fromStdString(message));
  });
}
