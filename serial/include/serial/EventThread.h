#pragma once
// TEventThread: the event thread of one TSerial. It waits for the port's
// events and hands the component's notifications over to the owner's thread
// in a fixed order; in rxMessage mode it frames received bytes into messages.
// Created not running; started by the component's first successful open;
// stopped and joined by the component's destructor.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TSerial;

class TEventThread {
 public:
  explicit TEventThread(TSerial& serial);
  // Requests the stop and waits for the body to return (if it ever started).
  ~TEventThread();
  TEventThread(const TEventThread&) = delete;
  TEventThread& operator=(const TEventThread&) = delete;

  // Starts the thread; only the first call has an effect.
  void Start();
  // Asks the body to return at its next check.
  void RequestStop();
  // Ends a pause early, so the body looks at the port's state again.
  void WakeUp();
  [[nodiscard]] bool Started() const { return started_.load(); }
  // How many handed-over calls have raised a failure so far.
  [[nodiscard]] std::uint32_t HandlerFailures() const { return handlerFailures_.load(); }

 private:
  void Execute();
  void Pass();
  // Hands `call` over to the owner's thread; false when it was withdrawn.
  template <typename F>
  bool Hand(F&& call);
  bool HandReport(std::int32_t code);
  void Frame();
  // Sleeps up to `duration`; ends early on a stop request and, with
  // `whileActive`, when the port is closed.
  void Pause(std::chrono::milliseconds duration, bool whileActive);

  TSerial& serial_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::uint32_t> handlerFailures_{0};
  std::mutex sleepMutex_;
  std::condition_variable sleepWake_;
  std::thread thread_;
};
