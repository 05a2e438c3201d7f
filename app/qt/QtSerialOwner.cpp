#include "QtSerialOwner.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include <utility>

TQtSerialOwner::TQtSerialOwner(QObject* parent)
    : QObject(parent), queue_([this] {
        // Called on the posting thread; the invocation runs on ours.
        QMetaObject::invokeMethod(this, &TQtSerialOwner::RunPending, Qt::QueuedConnection);
      }) {}

TQtSerialOwner::~TQtSerialOwner() {
  queue_.Shutdown();
}

void TQtSerialOwner::ShowErrorBox(const std::string& text) {
  // The window that was active gets the focus back once the box is gone.
  QPointer<QWidget> active = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Fehler"), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  if (active) active->activateWindow();
}

bool TQtSerialOwner::HandOver(const void* source, std::function<void()> call) {
  return queue_.Post(source, std::move(call));
}

void TQtSerialOwner::WithdrawHandOvers(const void* source) {
  queue_.Withdraw(source);
}

void TQtSerialOwner::RunPending() {
  queue_.RunPending();
}
