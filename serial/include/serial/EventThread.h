#pragma once
// TEventThread: the event thread of one TSerial. It waits for the port's
// events and hands the component's notifications over to the owner's thread
// in a fixed order; in rxMessage mode it frames received bytes into messages.
// Created not running; started by the component's first successful open;
// stopped and joined by the component's destructor. A component destroyed
// from inside one of its own handlers releases the thread instead: the body
// ends by itself once that handler has returned, without touching the
// component again.

#include <cstdint>
#include <memory>
#include <thread>

class TSerial;

class TEventThread {
 public:
  explicit TEventThread(TSerial& serial);
  // Requests the stop and waits for the body to return (if it ever started
  // and was not released).
  ~TEventThread();
  TEventThread(const TEventThread&) = delete;
  TEventThread& operator=(const TEventThread&) = delete;

  // Starts the thread; only the first call has an effect.
  void Start();
  // Asks the body to return at its next check.
  void RequestStop();
  // Ends a pause early, so the body looks at the port's state again.
  void WakeUp();
  [[nodiscard]] bool Started() const;
  // How many handed-over calls have raised a failure so far.
  [[nodiscard]] std::uint32_t HandlerFailures() const;
  // On the owner's thread: whether one of this thread's hand-overs is
  // running on it now (the caller is inside a handler of the component).
  [[nodiscard]] bool InHandOver() const;
  // On the owner's thread, inside one of this thread's hand-overs: stops the
  // thread without waiting for it. The body returns as soon as the hand-over
  // it waits for has run, and never touches the component again.
  void Release();

 private:
  struct ThreadState;
  std::shared_ptr<ThreadState> state_;
  std::thread thread_;
};
