#pragma once
// The window thread's services for the serial component: its "Fehler" error
// box, and the hand-over of calls from the serial event thread. A handed-over
// call is queued and a queued invocation is posted to this object's thread,
// so the call runs wherever that thread processes its events: the message
// loop, a nested processEvents pump, or the loop of a modal box.

#include <functional>
#include <string>

#include <QObject>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"

class TQtSerialOwner : public QObject, public ISerialOwner {
  Q_OBJECT

 public:
  explicit TQtSerialOwner(QObject* parent = nullptr);
  ~TQtSerialOwner() override;

  void ShowErrorBox(const std::string& text) override;
  bool HandOver(const void* source, std::function<void()> call) override;
  void WithdrawHandOvers(const void* source) override;

  // Whether a handed-over call waits to be run.
  [[nodiscard]] bool HasPending() const { return queue_.HasPending(); }

 private:
  void RunPending();

  HandOverQueue queue_;
};
