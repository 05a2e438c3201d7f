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
