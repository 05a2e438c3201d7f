#pragma once
// A queue of calls handed over from other threads to one owner thread, for
// owner implementations to embed. Post() blocks its caller until the owner's
// thread has run the call in RunPending() (or the call was withdrawn); the
// wake callback, invoked on every post, lets an event loop schedule a
// RunPending() (a Qt owner posts a queued invocation; tests pump by hand).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class HandOverQueue {
 public:
  using Wake = std::function<void()>;

  explicit HandOverQueue(Wake wake = {});
  ~HandOverQueue();
  HandOverQueue(const HandOverQueue&) = delete;
  HandOverQueue& operator=(const HandOverQueue&) = delete;

  // From any thread but the owner's. Returns true once `call` has run on the
  // owner's thread, false if it was withdrawn or the queue was shut down;
  // rethrows what `call` threw.
  bool Post(const void* source, std::function<void()> call);

  // On the owner's thread: runs the calls pending now and those posted while
  // it runs, one at a time in order, and returns how many ran. May be called
  // from inside a running call (nested pumps).
  std::size_t RunPending();

  // Withdraws the not yet started calls of `source`.
  void Withdraw(const void* source);

  // Whether a call is waiting to be run.
  [[nodiscard]] bool HasPending() const;

  // Blocks up to `timeout` until a call is pending; true if one is.
  bool WaitPending(std::chrono::milliseconds timeout) const;

  // Withdraws everything and refuses later posts (the owner is going away).
  void Shutdown();

 private:
  struct Item;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<std::shared_ptr<Item>> pending_;
  Wake wake_;
  bool shutDown_ = false;
};
