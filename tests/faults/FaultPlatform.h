#pragma once
// A serial platform that wraps another one (the recording fake or the POSIX
// layer) and makes chosen uses of chosen calls fail with a given error code.
// It counts every use of every call, so a clean run tells how often each
// call is made, and a later run can fail exactly the n-th use.
//
// A failed call is not passed on: like a refused ioctl it has no effect on
// the port, and a failed write sends nothing, a failed read takes nothing.
// Close is the exception: it is passed on and then reports the failure, as
// close(2) on Linux releases the descriptor even when it returns an error.
// Thread-safe: the event thread calls in too.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serial/SerialPlatform.h"

class FaultPlatform : public ISerialPlatform {
 public:
  // The calls one update can make, in the order a port is used.
  static const std::vector<std::string>& CallNames() {
    static const std::vector<std::string> names = {"Open",
                                                   "SetupComm",
                                                   "SetCommState",
                                                   "SetCommTimeouts",
                                                   "EscapeCommFunction",
                                                   "SetCommMask",
                                                   "Write",
                                                   "ReadByte",
                                                   "ClearCommError",
                                                   "SetCommBreak",
                                                   "ClearCommBreak",
                                                   "GetCommModemStatus",
                                                   "WaitCommEvent",
                                                   "PurgeComm",
                                                   "Close"};
    return names;
  }

  explicit FaultPlatform(std::shared_ptr<ISerialPlatform> inner) : inner_(std::move(inner)) {}

  // The `use`-th use (1-based, counted from the last Reset) of `call` fails
  // with `code`. Several uses may be armed.
  void Arm(const std::string& call, std::uint64_t use, std::int32_t code) {
    std::lock_guard lock(mutex_);
    armed_.push_back({call, use, code});
  }
  // Clears the counts and every armed failure that has not fired.
  void Reset() {
    std::lock_guard lock(mutex_);
    uses_.clear();
    armed_.clear();
    fired_.clear();
  }
  [[nodiscard]] std::uint64_t Uses(const std::string& call) const {
    std::lock_guard lock(mutex_);
    const auto it = uses_.find(call);
    return it == uses_.end() ? 0 : it->second;
  }
  // The failures that took effect, as "call#use".
  [[nodiscard]] std::vector<std::string> Fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
  }

  OpenResult Open(const std::string& name) override {
    if (const auto code = Count("Open")) return {kInvalidPortHandle, *code};
    return inner_->Open(name);
  }
  std::int32_t Close(PortHandle h) override {
    const auto code = Count("Close");
    const std::int32_t err = inner_->Close(h);
    return (code && err == 0) ? *code : err;
  }
  std::int32_t SetupComm(PortHandle h, std::uint32_t rx, std::uint32_t tx) override {
    if (const auto code = Count("SetupComm")) return *code;
    return inner_->SetupComm(h, rx, tx);
  }
  std::int32_t SetCommState(PortHandle h, const comm::DCB& dcb) override {
    if (const auto code = Count("SetCommState")) return *code;
    return inner_->SetCommState(h, dcb);
  }
  std::int32_t SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) override {
    if (const auto code = Count("SetCommTimeouts")) return *code;
    return inner_->SetCommTimeouts(h, timeouts);
  }
  std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) override {
    if (const auto code = Count("EscapeCommFunction")) return *code;
    return inner_->EscapeCommFunction(h, function);
  }
  std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) override {
    if (const auto code = Count("SetCommMask")) return *code;
    return inner_->SetCommMask(h, mask);
  }
  std::int32_t PurgeComm(PortHandle h, std::uint32_t flags) override {
    if (const auto code = Count("PurgeComm")) return *code;
    return inner_->PurgeComm(h, flags);
  }
  WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                    std::chrono::milliseconds wait) override {
    if (const auto code = Count("Write")) return {*code, 0};
    return inner_->Write(h, data, wait);
  }
  ReadResult ReadByte(PortHandle h, std::chrono::milliseconds wait) override {
    if (const auto code = Count("ReadByte")) return {*code, 0, 0};
    return inner_->ReadByte(h, wait);
  }
  StatusResult ClearCommError(PortHandle h) override {
    if (const auto code = Count("ClearCommError")) {
      StatusResult failed;
      failed.error = *code;
      return failed;
    }
    return inner_->ClearCommError(h);
  }
  std::int32_t SetCommBreak(PortHandle h) override {
    if (const auto code = Count("SetCommBreak")) return *code;
    return inner_->SetCommBreak(h);
  }
  std::int32_t ClearCommBreak(PortHandle h) override {
    if (const auto code = Count("ClearCommBreak")) return *code;
    return inner_->ClearCommBreak(h);
  }
  ModemResult GetCommModemStatus(PortHandle h) override {
    if (const auto code = Count("GetCommModemStatus")) return {*code, 0};
    return inner_->GetCommModemStatus(h);
  }
  WaitResult WaitCommEvent(PortHandle h) override {
    if (const auto code = Count("WaitCommEvent")) return {*code, 0};
    return inner_->WaitCommEvent(h);
  }
  std::string ErrorText(std::int32_t code) override { return inner_->ErrorText(code); }
  std::string PortErrorText(const std::string& name, PortOperation operation,
                            std::int32_t code) override {
    return inner_->PortErrorText(name, operation, code);
  }
  void SetEventInterest(PortHandle h, std::uint32_t events) override {
    inner_->SetEventInterest(h, events);
  }

 private:
  struct Armed {
    std::string call;
    std::uint64_t use;
    std::int32_t code;
  };

  // Counts one use of `call`; the code to fail it with, if it is armed.
  std::optional<std::int32_t> Count(const std::string& call) {
    std::lock_guard lock(mutex_);
    const std::uint64_t use = ++uses_[call];
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
      if (it->call == call && it->use == use) {
        const std::int32_t code = it->code;
        armed_.erase(it);
        fired_.push_back(call + "#" + std::to_string(use));
        return code;
      }
    }
    return std::nullopt;
  }

  std::shared_ptr<ISerialPlatform> inner_;
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> uses_;
  std::vector<Armed> armed_;
  std::vector<std::string> fired_;
};
