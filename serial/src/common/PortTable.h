#pragma once
// The open ports of a platform layer, by handle: the part of the handle
// contract that is the same on every platform. Handles are never reused, so
// a call on a closed handle fails and can never reach a port opened later;
// every call holds a use of its port while it runs, and the platform's close
// marks the port closing and waits until the uses have ended before it
// releases the device.
//
// `Port` is the platform's record of one open port; it provides
//   std::mutex mutex; std::condition_variable idle; int uses; bool closing;
#include <map>
#include <memory>
#include <mutex>

#include "serial/SerialPlatform.h"

template <typename Port>
class PortTable {
 public:
  // `closedCode` is the platform's code for a handle that is not open.
  explicit PortTable(std::int32_t closedCode) : closedCode_(closedCode) {}

  // Adds an opened port, unless `clash` (asked under the table's lock for
  // each port already open) says it may not be open twice.
  template <typename Clash>
  PortHandle AddUnless(std::shared_ptr<Port> port, Clash clash) {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, open] : ports_) {
      if (clash(*open)) return kInvalidPortHandle;
    }
    const PortHandle handle = next_++;
    ports_[handle] = std::move(port);
    return handle;
  }
  PortHandle Add(std::shared_ptr<Port> port) {
    return AddUnless(std::move(port), [](const Port&) { return false; });
  }

  // Whether any open port satisfies `test` (asked under the table's lock).
  template <typename Test>
  bool Any(Test test) const {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, open] : ports_) {
      if (test(*open)) return true;
    }
    return false;
  }

  // Takes a port out of the table: later calls on its handle fail. Null when
  // the handle is not open.
  std::shared_ptr<Port> Remove(PortHandle h) {
    std::lock_guard lock(mutex_);
    const auto it = ports_.find(h);
    if (it == ports_.end()) return nullptr;
    std::shared_ptr<Port> port = std::move(it->second);
    ports_.erase(it);
    return port;
  }

  // Takes every port out of the table (the platform is going away).
  std::map<PortHandle, std::shared_ptr<Port>> RemoveAll() {
    std::map<PortHandle, std::shared_ptr<Port>> left;
    std::lock_guard lock(mutex_);
    left.swap(ports_);
    return left;
  }

  // Holds one use of a port for the duration of a call; `error` is the
  // closed-handle code when the handle is not open or its port is closing.
  class Use {
   public:
    Use(PortTable& table, PortHandle h) {
      {
        std::lock_guard lock(table.mutex_);
        const auto it = table.ports_.find(h);
        if (it != table.ports_.end()) port = it->second;
      }
      if (!port) {
        error = table.closedCode_;
        return;
      }
      std::lock_guard lock(port->mutex);
      if (port->closing) {
        error = table.closedCode_;
        port.reset();
        return;
      }
      ++port->uses;
    }
    ~Use() {
      if (!port) return;
      {
        std::lock_guard lock(port->mutex);
        --port->uses;
      }
      port->idle.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    std::shared_ptr<Port> port;
    std::int32_t error = 0;
  };

 private:
  const std::int32_t closedCode_;
  mutable std::mutex mutex_;
  std::map<PortHandle, std::shared_ptr<Port>> ports_;
  PortHandle next_ = 1;
};
