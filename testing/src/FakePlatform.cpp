#include "testing/FakePlatform.h"

#include <utility>

namespace {
constexpr std::int32_t kInvalidArgument = 22;  // EINVAL

std::string TextOf(const std::string& name, const std::vector<std::int64_t>& args) {
  if (args.empty()) return name;
  std::string text = name + "(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) text += ",";
    text += std::to_string(args[i]);
  }
  return text + ")";
}

FakePlatform::Call MakeCall(std::string name, PortHandle h, std::vector<std::int64_t> args = {}) {
  FakePlatform::Call call;
  call.text = TextOf(name, args);
  call.name = std::move(name);
  call.handle = h;
  call.args = std::move(args);
  return call;
}
}  // namespace

FakePlatform::FakePlatform() {
  for (int n = 1; n <= 9; ++n) devices_.insert("COM" + std::to_string(n));
}

FakePlatform::~FakePlatform() = default;

std::int32_t FakePlatform::Scripted(const std::string& name) {
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->name != name) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    const std::int32_t code = it->code;
    if (it->times > 0 && --it->times == 0) failures_.erase(it);
    return code;
  }
  return 0;
}

std::int32_t FakePlatform::CheckHandle(PortHandle h) const {
  return (h != kInvalidPortHandle && h == openHandle_) ? 0 : kBadHandle;
}

void FakePlatform::Record(Call call, std::int32_t result) {
  if (unrecorded_.count(call.name) != 0) return;
  call.result = result;
  calls_.push_back(std::move(call));
}

void FakePlatform::Notify(const DeviceEvent& event) {
  DeviceHook hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(*this, event);
}

OpenResult FakePlatform::Open(const std::string& name) {
  OpenResult result;
  {
    std::lock_guard lock(mutex_);
    Call call = MakeCall("Open", kInvalidPortHandle);
    call.text = "Open(" + name + ")";
    call.data = name;
    result.error = Scripted("Open");
    if (result.error == 0 && devices_.count(name) == 0) result.error = kNoDevice;
    if (result.error == 0 && openHandle_ != kInvalidPortHandle) result.error = kInUse;
    if (result.error == 0) {
      openHandle_ = nextHandle_++;
      openDevice_ = name;
      ++openCount_;
      pendingEvents_ = 0;  // the mask is clear since the close
      // Like the real port, a new opening starts with an empty receive
      // queue: bytes that came while it was closed are gone.
      rx_.clear();
      interest_ = 0xFFFFFFFFU;
      result.handle = openHandle_;
    }
    call.handle = result.handle;
    Record(std::move(call), result.error);
  }
  if (result.error == 0) Notify({DeviceEvent::Opened, name});
  return result;
}

std::int32_t FakePlatform::Close(PortHandle h) {
  std::string device;
  std::int32_t err = 0;
  {
    std::unique_lock lock(mutex_);
    err = Scripted("Close");
    if (err == 0) err = CheckHandle(h);
    if (err == 0) {
      device = openDevice_;
      openHandle_ = kInvalidPortHandle;
      openDevice_.clear();
      events_.Set(0);  // the mask cleared, a pending wait released
      pendingEvents_ = 0;
      dtr_ = rts_ = false;
      breakOn_ = false;
      changed_.notify_all();
      // The handle is released only once no wait is using it any more.
      changed_.wait(lock, [&] { return waitersNow_ == 0; });
    }
    Record(MakeCall("Close", h), err);
  }
  if (err == 0) Notify({DeviceEvent::Closed, device});
  return err;
}

std::int32_t FakePlatform::SetupComm(PortHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("SetupComm");
  if (err == 0) err = CheckHandle(h);
  Record(MakeCall("SetupComm", h, {rxQueue, txQueue}), err);
  return err;
}

std::int32_t FakePlatform::SetCommState(PortHandle h, const comm::DCB& dcb) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("SetCommState");
  if (err == 0) err = CheckHandle(h);
  Call call = MakeCall("SetCommState", h);
  call.dcb = dcb;
  Record(std::move(call), err);
  return err;
}

std::int32_t FakePlatform::SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("SetCommTimeouts");
  if (err == 0) err = CheckHandle(h);
  Call call = MakeCall("SetCommTimeouts", h);
  call.timeouts = timeouts;
  Record(std::move(call), err);
  return err;
}

std::int32_t FakePlatform::EscapeCommFunction(PortHandle h, std::uint32_t function) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("EscapeCommFunction");
  if (err == 0) err = CheckHandle(h);
  if (err == 0) {
    switch (function) {
      case kSETRTS:
        rts_ = true;
        break;
      case kCLRRTS:
        rts_ = false;
        break;
      case kSETDTR:
        dtr_ = true;
        break;
      case kCLRDTR:
        dtr_ = false;
        break;
      default:
        err = kInvalidArgument;
        break;
    }
  }
  Record(MakeCall("EscapeCommFunction", h, {function}), err);
  return err;
}

std::int32_t FakePlatform::SetCommMask(PortHandle h, std::uint32_t mask) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("SetCommMask");
  if (err == 0) err = CheckHandle(h);
  if (err == 0) {
    events_.Set(mask);
    if (mask == 0) pendingEvents_ = 0;
    changed_.notify_all();
  }
  Record(MakeCall("SetCommMask", h, {mask}), err);
  return err;
}

std::int32_t FakePlatform::PurgeComm(PortHandle h, std::uint32_t flags) {
  std::lock_guard lock(mutex_);
  std::int32_t err = Scripted("PurgeComm");
  if (err == 0) err = CheckHandle(h);
  Record(MakeCall("PurgeComm", h, {flags}), err);
  return err;
}

WriteResult FakePlatform::Write(PortHandle h, std::span<const std::uint8_t> data,
                                std::chrono::milliseconds wait) {
  WriteResult result;
  std::string text(data.begin(), data.end());
  {
    std::lock_guard lock(mutex_);
    result.error = Scripted("Write");
    if (result.error == 0) result.error = CheckHandle(h);
    if (result.error == 0) {
      written_ += text;
      result.count = static_cast<std::uint32_t>(data.size());
    }
    Call call = MakeCall("Write", h, {static_cast<std::int64_t>(data.size())});
    call.args.push_back(wait.count());
    call.text = "Write(" + std::to_string(data.size()) + ")";
    call.data = text;
    Record(std::move(call), result.error);
  }
  if (result.error == 0) Notify({DeviceEvent::Written, std::move(text)});
  return result;
}

ReadResult FakePlatform::ReadByte(PortHandle h, std::chrono::milliseconds wait) {
  std::lock_guard lock(mutex_);
  ReadResult result;
  result.error = Scripted("ReadByte");
  if (result.error == 0) result.error = CheckHandle(h);
  if (result.error == 0 && !rx_.empty()) {
    result.byte = rx_.front();
    rx_.pop_front();
    result.count = 1;
  }
  Call call = MakeCall("ReadByte", h);
  call.args.push_back(wait.count());
  Record(std::move(call), result.error);
  return result;
}

StatusResult FakePlatform::ClearCommError(PortHandle h) {
  std::lock_guard lock(mutex_);
  StatusResult result;
  result.error = Scripted("ClearCommError");
  if (result.error == 0) result.error = CheckHandle(h);
  if (result.error == 0) {
    result.stat.cbInQue = static_cast<std::uint32_t>(rx_.size());
    result.stat.cbOutQue = txQueued_;
  }
  Record(MakeCall("ClearCommError", h), result.error);
  return result;
}

std::int32_t FakePlatform::SetCommBreak(PortHandle h) {
  std::int32_t err = 0;
  {
    std::lock_guard lock(mutex_);
    err = Scripted("SetCommBreak");
    if (err == 0) err = CheckHandle(h);
    if (err == 0) breakOn_ = true;
    Record(MakeCall("SetCommBreak", h), err);
  }
  if (err == 0) Notify({DeviceEvent::BreakOn, {}});
  return err;
}

std::int32_t FakePlatform::ClearCommBreak(PortHandle h) {
  std::int32_t err = 0;
  {
    std::lock_guard lock(mutex_);
    err = Scripted("ClearCommBreak");
    if (err == 0) err = CheckHandle(h);
    if (err == 0) breakOn_ = false;
    Record(MakeCall("ClearCommBreak", h), err);
  }
  if (err == 0) Notify({DeviceEvent::BreakOff, {}});
  return err;
}

ModemResult FakePlatform::GetCommModemStatus(PortHandle h) {
  std::lock_guard lock(mutex_);
  ModemResult result;
  result.error = Scripted("GetCommModemStatus");
  if (result.error == 0) result.error = CheckHandle(h);
  if (result.error == 0) result.status = modemStatus_;
  Record(MakeCall("GetCommModemStatus", h), result.error);
  return result;
}

WaitResult FakePlatform::WaitCommEvent(PortHandle h) {
  std::unique_lock lock(mutex_);
  WaitResult result;
  result.error = Scripted("WaitCommEvent");
  if (result.error == 0) result.error = CheckHandle(h);
  Record(MakeCall("WaitCommEvent", h), result.error);
  ++waitsEntered_;
  changed_.notify_all();
  if (result.error != 0) return result;
  // Like the real port: a mask cleared since the previous wait releases this
  // one at once; one still clear from before blocks until it changes.
  if (events_.ClearedSinceLastWait()) return result;
  const PortEventMask::Ticket ticket = events_.Begin();
  ++waitersNow_;
  changed_.notify_all();
  changed_.wait(lock,
                [&] { return (pendingEvents_ & events_.Mask()) != 0 || events_.Released(ticket); });
  --waitersNow_;
  events_.WaitEnded();
  changed_.notify_all();
  if (CheckHandle(h) != 0) {
    result.error = kBadHandle;
  } else if (!events_.Released(ticket)) {
    result.events = pendingEvents_ & events_.Mask();
    pendingEvents_ = 0;
  }
  return result;
}

void FakePlatform::SetEventInterest(PortHandle h, std::uint32_t events) {
  std::lock_guard lock(mutex_);
  if (CheckHandle(h) == 0) interest_ = events;
}

std::uint32_t FakePlatform::Interest() const {
  std::lock_guard lock(mutex_);
  return interest_;
}

std::string FakePlatform::ErrorText(std::int32_t code) {
  std::lock_guard lock(mutex_);
  Record(MakeCall("ErrorText", kInvalidPortHandle, {code}), 0);
  const auto it = errorTexts_.find(code);
  if (it != errorTexts_.end()) return it->second;
  return "Fake error " + std::to_string(code) + ".";
}

std::vector<FakePlatform::Call> FakePlatform::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakePlatform::Trace() const {
  return TraceWithout({});
}

std::vector<std::string> FakePlatform::TraceWithout(const std::set<std::string>& skip) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> trace;
  for (const Call& call : calls_) {
    if (skip.count(call.name) == 0) trace.push_back(call.text);
  }
  return trace;
}

std::size_t FakePlatform::CountOf(std::string_view name) const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const Call& call : calls_) count += call.name == name ? 1U : 0U;
  return count;
}

void FakePlatform::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakePlatform::SetRecorded(const std::string& name, bool recorded) {
  std::lock_guard lock(mutex_);
  if (recorded) {
    unrecorded_.erase(name);
  } else {
    unrecorded_.insert(name);
  }
}

void FakePlatform::FailNext(const std::string& name, std::int32_t code, int nth, int times) {
  std::lock_guard lock(mutex_);
  failures_.push_back({name, code, nth > 1 ? nth - 1 : 0, times > 0 ? times : 1});
}

void FakePlatform::FailAlways(const std::string& name, std::int32_t code) {
  std::lock_guard lock(mutex_);
  failures_.push_back({name, code, 0, -1});
}

void FakePlatform::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

void FakePlatform::SetErrorText(std::int32_t code, std::string text) {
  std::lock_guard lock(mutex_);
  errorTexts_[code] = std::move(text);
}

void FakePlatform::SetDeviceExists(const std::string& name, bool exists) {
  std::lock_guard lock(mutex_);
  if (exists) {
    devices_.insert(name);
  } else {
    devices_.erase(name);
  }
}

void FakePlatform::PushRx(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    for (const char c : bytes) rx_.push_back(static_cast<std::uint8_t>(c));
    received_ += bytes.size();
    if (rxRaisesEvent_ && openHandle_ != kInvalidPortHandle && events_.Mask() != 0) {
      if (receivedEdge_.Report(received_)) pendingEvents_ |= kEV_RXCHAR;
    } else {
      receivedEdge_.Seen(received_);  // bytes that come unannounced
    }
  }
  changed_.notify_all();
}

void FakePlatform::SetRxRaisesEvent(bool raises) {
  std::lock_guard lock(mutex_);
  rxRaisesEvent_ = raises;
}

std::size_t FakePlatform::RxQueued() const {
  std::lock_guard lock(mutex_);
  return rx_.size();
}

void FakePlatform::PushEvents(std::uint32_t events) {
  {
    std::lock_guard lock(mutex_);
    if (openHandle_ != kInvalidPortHandle && events_.Mask() != 0) pendingEvents_ |= events;
  }
  changed_.notify_all();
}

void FakePlatform::SetModemStatus(std::uint32_t status) {
  std::lock_guard lock(mutex_);
  modemStatus_ = status;
}

void FakePlatform::ChangeModemLines(std::uint32_t status) {
  std::uint32_t events = 0;
  {
    std::lock_guard lock(mutex_);
    events = ModemChangeEvents(modemStatus_, status);
    modemStatus_ = status;
  }
  PushEvents(events);
}

void FakePlatform::SetTxQueued(std::uint32_t count) {
  std::lock_guard lock(mutex_);
  txQueued_ = count;
}

void FakePlatform::SetDeviceHook(DeviceHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

std::string FakePlatform::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

bool FakePlatform::BreakOn() const {
  std::lock_guard lock(mutex_);
  return breakOn_;
}

bool FakePlatform::IsOpen() const {
  std::lock_guard lock(mutex_);
  return openHandle_ != kInvalidPortHandle;
}

std::string FakePlatform::OpenDevice() const {
  std::lock_guard lock(mutex_);
  return openDevice_;
}

std::uint32_t FakePlatform::Mask() const {
  std::lock_guard lock(mutex_);
  return events_.Mask();
}

bool FakePlatform::Dtr() const {
  std::lock_guard lock(mutex_);
  return dtr_;
}

bool FakePlatform::Rts() const {
  std::lock_guard lock(mutex_);
  return rts_;
}

std::uint32_t FakePlatform::OpenCount() const {
  std::lock_guard lock(mutex_);
  return openCount_;
}

bool FakePlatform::WaitForWaiter(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return waitsEntered_ >= count && waitersNow_ > 0; });
}

std::size_t FakePlatform::WaitsEntered() const {
  std::lock_guard lock(mutex_);
  return waitsEntered_;
}
