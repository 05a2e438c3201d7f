#pragma once
// Closes the modal boxes that the code under test opens, and remembers what
// they showed. A box is looked for every few milliseconds while the test's
// own call is running (inside the box's loop); the watcher gives up after a
// bounded time so no test can hang on a box.

#include <functional>
#include <utility>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QVector>

struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttonCount = 0;
  bool okIsDefault = false;
  bool okIsEscape = false;
  bool hasParent = true;
  Qt::WindowModality modality = Qt::NonModal;
};

class BoxCloser : public QObject {
 public:
  // `onBox` runs while a box is up, before it is closed.
  explicit BoxCloser(std::function<void()> onBox = {}) : onBox_(std::move(onBox)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }

  QVector<SeenBox> boxes;

 private:
  void Poll() {
    if (busy_) return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    SeenBox seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttonCount = static_cast<int>(box->buttons().size());
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    seen.okIsDefault = ok != nullptr && box->defaultButton() == ok;
    seen.okIsEscape = ok != nullptr && box->escapeButton() == ok;
    seen.hasParent = box->parentWidget() != nullptr;
    seen.modality = box->windowModality();
    boxes.push_back(seen);
    busy_ = true;
    if (onBox_) onBox_();
    busy_ = false;
    if (ok != nullptr) {
      ok->click();
    } else {
      box->reject();
    }
  }

  std::function<void()> onBox_;
  QTimer timer_;
  bool busy_ = false;
};
