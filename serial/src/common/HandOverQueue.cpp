#include "serial/HandOverQueue.h"

#include <exception>
#include <utility>

struct HandOverQueue::Item {
  enum State { Pending, Running, Done, Withdrawn };
  const void* source = nullptr;
  std::function<void()> call;
  State state = Pending;
  std::exception_ptr failure;
};

HandOverQueue::HandOverQueue(Wake wake) : wake_(std::move(wake)) {}

HandOverQueue::~HandOverQueue() {
  Shutdown();
}

bool HandOverQueue::Post(const void* source, std::function<void()> call) {
  auto item = std::make_shared<Item>();
  item->source = source;
  item->call = std::move(call);
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return false;
    pending_.push_back(item);
  }
  changed_.notify_all();
  if (wake_) wake_();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return item->state == Item::Done || item->state == Item::Withdrawn; });
  if (item->state == Item::Withdrawn) return false;
  // Take the failure out while the lock is held, and raise it only after
  // releasing the lock, so the owner's thread never touches it again.
  std::exception_ptr failure = std::move(item->failure);
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
  return true;
}

std::size_t HandOverQueue::RunPending() {
  std::size_t ran = 0;
  for (;;) {
    std::shared_ptr<Item> item;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) return ran;
      item = pending_.front();
      pending_.pop_front();
      item->state = Item::Running;
    }
    try {
      item->call();
    } catch (...) {
      item->failure = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      item->state = Item::Done;
      item->call = nullptr;
    }
    changed_.notify_all();
    ++ran;
  }
}

void HandOverQueue::Withdraw(const void* source) {
  {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if ((*it)->source == source) {
        (*it)->state = Item::Withdrawn;
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  changed_.notify_all();
}

bool HandOverQueue::HasPending() const {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}

bool HandOverQueue::WaitPending(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return !pending_.empty(); });
}

void HandOverQueue::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    for (auto& item : pending_) item->state = Item::Withdrawn;
    pending_.clear();
  }
  changed_.notify_all();
}
