#include "testing/ScriptedDriver.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The one port's handle; any other value is not this driver's.
HANDLE const kFile = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x4C0));

bool AtOnce(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

// The record's Offset field marks a pending operation (serial transfers
// have no file position); Internal holds the outcome, InternalHigh the count.
void MarkPending(OVERLAPPED* ov) {
  ov->Offset = 1;
}

}  // namespace

void ScriptedDriver::Complete(OVERLAPPED* ov, DWORD code, DWORD count) {
  ov->Internal = code;
  ov->InternalHigh = count;
  ov->Offset = 0;
  ::SetEvent(ov->hEvent);
}

void ScriptedDriver::Fail(const std::string& call, DWORD code) {
  std::lock_guard lock(mutex_);
  failures_[call] = code;
  if (call != "Completion" || code == 0) return;
  // Pending transfers and waits end with the code, as a pulled adapter's do.
  for (const PendingOp& op : pending_) {
    if (!op.cancelled) Complete(op.ov, code, 0);
  }
  std::erase_if(pending_, [](const PendingOp& op) { return !op.cancelled; });
}

void ScriptedDriver::Heal() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

void ScriptedDriver::RewriteSettings(std::function<void(DCB&)> rewrite) {
  std::lock_guard lock(mutex_);
  rewrite_ = std::move(rewrite);
}

void ScriptedDriver::ReadsWaitForData(bool wait) {
  std::lock_guard lock(mutex_);
  readsWait_ = wait;
}

void ScriptedDriver::NeverCompleteCancels(bool never) {
  std::lock_guard lock(mutex_);
  neverCompleteCancels_ = never;
}

void ScriptedDriver::HoldWrites(bool hold) {
  std::lock_guard lock(mutex_);
  holdWrites_ = hold;
}

void ScriptedDriver::EndWaitWith(DWORD code) {
  std::lock_guard lock(mutex_);
  const auto wait = std::find_if(pending_.begin(), pending_.end(), [](const PendingOp& op) {
    return op.kind == Kind::Wait && !op.cancelled;
  });
  if (wait == pending_.end()) {
    endWaitWith_ = code;
    return;
  }
  Complete(wait->ov, code, 0);
  pending_.erase(wait);
}

void ScriptedDriver::Receive(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  for (const char c : bytes) rx_.push_back(static_cast<std::uint8_t>(c));
  ServeLocked();
}

void ScriptedDriver::ServeLocked() {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->cancelled) {
      ++it;
      continue;
    }
    if (it->kind == Kind::Read && !rx_.empty()) {
      *it->byte = rx_.front();
      rx_.pop_front();
      Complete(it->ov, 0, 1);
    } else if (it->kind == Kind::Wait && !rx_.empty() && (mask_ & EV_RXCHAR)) {
      *it->events = EV_RXCHAR;
      Complete(it->ov, 0, 0);
    } else {
      ++it;
      continue;
    }
    it = pending_.erase(it);
  }
}

std::size_t ScriptedDriver::CompleteLate(std::size_t& alive) {
  std::lock_guard lock(mutex_);
  alive = 0;
  const std::size_t count = pending_.size();
  for (const PendingOp& op : pending_) {
    // A freed record's event object has been closed with it.
    if (::WaitForSingleObject(op.ov->hEvent, 0) == WAIT_FAILED) continue;
    ++alive;
    lateEvents_.push_back(op.ov->hEvent);
    if (op.kind == Kind::Read) *op.byte = 'L';
    Complete(op.ov, op.cancelled ? ERROR_OPERATION_ABORTED : 0, op.kind == Kind::Read ? 1 : 0);
  }
  pending_.clear();
  return count;
}

bool ScriptedDriver::LateRecordsFreed() {
  std::lock_guard lock(mutex_);
  return std::all_of(lateEvents_.begin(), lateEvents_.end(),
                     [](HANDLE e) { return ::WaitForSingleObject(e, 0) == WAIT_FAILED; });
}

std::size_t ScriptedDriver::Calls(const std::string& call) {
  std::lock_guard lock(mutex_);
  return calls_[call];
}

std::string ScriptedDriver::Written() {
  std::lock_guard lock(mutex_);
  return written_;
}

int ScriptedDriver::AwakeRequests() {
  std::lock_guard lock(mutex_);
  return awake_;
}

std::size_t ScriptedDriver::Pending() {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

DWORD ScriptedDriver::Scripted(const std::string& call) {
  ++calls_[call];
  const auto it = failures_.find(call);
  return it == failures_.end() ? 0 : it->second;
}

HANDLE ScriptedDriver::CreateFile(const std::wstring& device, DWORD& error) {
  std::lock_guard lock(mutex_);
  error = Scripted("CreateFile");
  if (error == 0 && device != L"\\\\.\\COM1") error = ERROR_FILE_NOT_FOUND;
  if (error == 0 && open_) error = ERROR_ACCESS_DENIED;
  if (error != 0) return INVALID_HANDLE_VALUE;
  open_ = true;
  return kFile;
}

DWORD ScriptedDriver::CloseHandle(HANDLE file) {
  std::lock_guard lock(mutex_);
  ++calls_["CloseHandle"];
  if (file != kFile || !open_) return ERROR_INVALID_HANDLE;
  open_ = false;
  // The system cancels what is pending on the handle; a stuck driver does
  // not complete it.
  if (!neverCompleteCancels_) {
    for (const PendingOp& op : pending_) Complete(op.ov, ERROR_OPERATION_ABORTED, 0);
    pending_.clear();
  }
  return 0;
}

DWORD ScriptedDriver::SetupComm(HANDLE, DWORD, DWORD) {
  std::lock_guard lock(mutex_);
  return Scripted("SetupComm");
}

DWORD ScriptedDriver::GetCommState(HANDLE, DCB& dcb) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("GetCommState")) return err;
  dcb = dcb_;
  if (rewrite_) rewrite_(dcb);
  return 0;
}

DWORD ScriptedDriver::SetCommState(HANDLE, const DCB& dcb) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("SetCommState")) return err;
  dcb_ = dcb;
  return 0;
}

DWORD ScriptedDriver::SetCommTimeouts(HANDLE, const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("SetCommTimeouts")) return err;
  timeouts_ = timeouts;
  return 0;
}

DWORD ScriptedDriver::EscapeCommFunction(HANDLE, DWORD) {
  std::lock_guard lock(mutex_);
  return Scripted("EscapeCommFunction");
}

DWORD ScriptedDriver::SetCommMask(HANDLE, DWORD mask) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("SetCommMask")) return err;
  mask_ = mask;
  // A pending wait returns with an empty set, unless the driver is stuck.
  if (!neverCompleteCancels_) {
    std::erase_if(pending_, [](const PendingOp& op) {
      if (op.kind != Kind::Wait) return false;
      *op.events = 0;
      Complete(op.ov, 0, 0);
      return true;
    });
  }
  return 0;
}

DWORD ScriptedDriver::PurgeComm(HANDLE, DWORD flags) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("PurgeComm")) return err;
  if (flags & PURGE_RXCLEAR) rx_.clear();
  if ((flags & (PURGE_RXABORT | PURGE_TXABORT)) && !neverCompleteCancels_) {
    std::erase_if(pending_, [](const PendingOp& op) {
      if (op.kind == Kind::Wait) return false;
      Complete(op.ov, ERROR_OPERATION_ABORTED, 0);
      return true;
    });
  }
  return 0;
}

DWORD ScriptedDriver::ClearCommError(HANDLE, DWORD& errors, COMSTAT& stat) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("ClearCommError")) return err;
  errors = 0;
  std::memset(&stat, 0, sizeof stat);
  stat.cbInQue = static_cast<DWORD>(rx_.size());
  return 0;
}

DWORD ScriptedDriver::SetCommBreak(HANDLE) {
  std::lock_guard lock(mutex_);
  return Scripted("SetCommBreak");
}

DWORD ScriptedDriver::ClearCommBreak(HANDLE) {
  std::lock_guard lock(mutex_);
  return Scripted("ClearCommBreak");
}

DWORD ScriptedDriver::GetCommModemStatus(HANDLE, DWORD& status) {
  std::lock_guard lock(mutex_);
  status = 0;
  return Scripted("GetCommModemStatus");
}

DWORD ScriptedDriver::WaitCommEvent(HANDLE, DWORD* events, OVERLAPPED* ov) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("WaitCommEvent")) return err;
  MarkPending(ov);
  if (const DWORD end = std::exchange(endWaitWith_, 0)) {
    Complete(ov, end, 0);
    return ERROR_IO_PENDING;
  }
  if (const DWORD failed = failures_["Completion"]) {
    Complete(ov, failed, 0);
    return ERROR_IO_PENDING;
  }
  if ((mask_ & EV_RXCHAR) && !rx_.empty()) {
    *events = EV_RXCHAR;
    Complete(ov, 0, 0);
    return 0;
  }
  pending_.push_back({Kind::Wait, ov, nullptr, events, false});
  return ERROR_IO_PENDING;
}

DWORD ScriptedDriver::ReadFile(HANDLE, void* buffer, DWORD length, OVERLAPPED* ov) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("ReadFile")) return err;
  if (length != 1) return ERROR_INVALID_PARAMETER;
  MarkPending(ov);
  auto* byte = static_cast<std::uint8_t*>(buffer);
  if (const DWORD failed = failures_["Completion"]) {
    Complete(ov, failed, 0);
    return ERROR_IO_PENDING;
  }
  if (!rx_.empty()) {
    *byte = rx_.front();
    rx_.pop_front();
    Complete(ov, 0, 1);
    return 0;
  }
  if (AtOnce(timeouts_) && !readsWait_) {
    Complete(ov, 0, 0);
    return 0;
  }
  pending_.push_back({Kind::Read, ov, byte, nullptr, false});
  return ERROR_IO_PENDING;
}

DWORD ScriptedDriver::WriteFile(HANDLE, const void* buffer, DWORD length, OVERLAPPED* ov) {
  std::lock_guard lock(mutex_);
  if (const DWORD err = Scripted("WriteFile")) return err;
  MarkPending(ov);
  written_.append(static_cast<const char*>(buffer), length);
  if (const DWORD failed = failures_["Completion"]) {
    Complete(ov, failed, 0);
    return ERROR_IO_PENDING;
  }
  if (holdWrites_) {
    pending_.push_back({Kind::Write, ov, nullptr, nullptr, false});
    return ERROR_IO_PENDING;
  }
  Complete(ov, 0, length);
  return 0;
}

DWORD ScriptedDriver::GetOverlappedResult(HANDLE, OVERLAPPED* ov, DWORD& count) {
  std::lock_guard lock(mutex_);
  ++calls_["GetOverlappedResult"];
  if (ov->Offset == 1) return ERROR_IO_INCOMPLETE;
  count = static_cast<DWORD>(ov->InternalHigh);
  return static_cast<DWORD>(ov->Internal);
}

DWORD ScriptedDriver::CancelIoEx(HANDLE, OVERLAPPED* ov) {
  std::lock_guard lock(mutex_);
  ++calls_["CancelIoEx"];
  bool found = false;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (ov != nullptr && it->ov != ov) {
      ++it;
      continue;
    }
    found = true;
    if (neverCompleteCancels_) {
      it->cancelled = true;
      ++it;
      continue;
    }
    Complete(it->ov, ERROR_OPERATION_ABORTED, 0);
    it = pending_.erase(it);
  }
  return found || ov == nullptr ? 0 : ERROR_NOT_FOUND;
}

std::wstring ScriptedDriver::FormatMessage(DWORD code) {
  // The texts of a German system.
  switch (code) {
    case ERROR_INVALID_FUNCTION:
      return L"Ungültige Funktion.\r\n";
    case ERROR_NOT_SUPPORTED:
      return L"Die Anforderung wird nicht unterstützt.\r\n";
    case WAIT_TIMEOUT:
      return L"Der Wartevorgang wurde abgebrochen (Zeitüberschreitung).\r\n";
    default:
      return L"Fehler " + std::to_wstring(code) + L".\r\n";
  }
}

HANDLE ScriptedDriver::StayAwake() {
  std::lock_guard lock(mutex_);
  ++awake_;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5A0));
}

void ScriptedDriver::EndStayAwake(HANDLE) {
  std::lock_guard lock(mutex_);
  --awake_;
}
