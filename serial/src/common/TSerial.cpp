#include "serial/TSerial.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "serial/EventThread.h"

namespace {

constexpr std::chrono::milliseconds kWriteWait{1000};
constexpr std::chrono::milliseconds kReadWait{100};
constexpr std::chrono::milliseconds kClosePoll{75};
constexpr int kClosePolls = 100;
constexpr std::uint32_t kDcbLength = 28;
constexpr std::uint32_t kWriteTimeoutWithFlowControl = 10000;
constexpr std::size_t kMaxErrorText = 255;

std::uint8_t ByteSizeOf(eDataBits bits) {
  return bits == d8bit ? 8 : 7;
}

std::uint8_t ParityCodeOf(eParity parity) {
  switch (parity) {
    case paNone:
      return 0;
    case PaOdd:
      return 1;
    case paEven:
      return 2;
    case paMark:
      return 3;
    case paSpace:
      return 4;
  }
  return 0;
}

std::uint8_t StopBitsCodeOf(eStopBits bits) {
  return bits == st2bit ? 2 : 0;
}

std::uint32_t FlowFlagsOf(eFlowControl mode) {
  switch (mode) {
    case fcNone:
      return 0;
    case fcRTS_CTS:
      return kDcbOutxCtsFlow | kDcbRtsHandshake;  // 0x2004
    case fcDTR_DSR:
      return kDcbOutxDsrFlow | kDcbDtrHandshake;  // 0x0028
    case fcXON_XOF:
      return kDcbOutX | kDcbInX;  // 0x0300
  }
  return 0;
}

// Trailing blanks, control characters and full stops are cut from the
// platform's texts (they often end in ".\r\n").
bool IsTrimmed(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F || c == '.';
}

}  // namespace

TSerial::TSerial(ISerialOwner& owner, std::shared_ptr<ISerialPlatform> platform)
    : owner_(owner),
      platform_(std::move(platform)),
      eventThread_(std::make_unique<TEventThread>(*this)) {
  OnTxEmpty.SetChangedHook([this] { HandlersChanged(); });
  OnBreak.SetChangedHook([this] { HandlersChanged(); });
  OnRing.SetChangedHook([this] { HandlersChanged(); });
  OnSignalChange.SetChangedHook([this] { HandlersChanged(); });
}

TSerial::~TSerial() {
  if (eventThread_->InHandOver()) {
    // Destroyed from inside one of its own handlers: the event thread is
    // blocked in that hand-over and can only go on once the handler has
    // returned, so neither the close nor the destructor may wait for it.
    // It has been told (Release) that the component is gone and ends by
    // itself without touching it again.
    closingInHandler_ = true;
    SetupPort(false);
    eventThread_->Release();
    return;
  }
  SetupPort(false);
  eventThread_->RequestStop();
  // Joining here (rather than letting the thread release itself) is what
  // guarantees it never touches this component after it is gone.
  eventThread_.reset();
}

bool TSerial::EventThreadStarted() const {
  return eventThread_->Started();
}

void TSerial::SetActive(bool Value) {
  SetupPort(Value);
}

void TSerial::SetPort(sPorts Value) {
  if (Value == port_) return;
  port_ = Value;
  SetupPort(Active());
}

void TSerial::SetBaudrate(std::int32_t Value) {
  if (std::find(std::begin(kValidBaudrates), std::end(kValidBaudrates), Value) ==
      std::end(kValidBaudrates)) {
    ShowText("Baudrate is not valid");
    return;
  }
  if (Value == baudrate_) return;
  baudrate_ = Value;
  SetupPort(Active());
}

void TSerial::SetParity(eParity Value) {
  if (Value == parity_) return;
  parity_ = Value;
  SetupPort(Active());
}

void TSerial::SetDataBits(eDataBits Value) {
  if (Value == dataBits_) return;
  dataBits_ = Value;
  SetupPort(Active());
}

void TSerial::SetStopBits(eStopBits Value) {
  if (Value == stopBits_) return;
  stopBits_ = Value;
  SetupPort(Active());
}

void TSerial::SetRxQueueSize(std::uint16_t Value) {
  rxQueueSize_ = Value;
  SetupPort(Active());
}

void TSerial::SetTxQueueSize(std::uint16_t Value) {
  txQueueSize_ = Value;
  SetupPort(Active());
}

void TSerial::SetFlowMode(eFlowControl Value) {
  if (Value == flowMode_) return;
  flowMode_ = Value;
  SetupPort(Active());
}

void TSerial::SetCheckParity(bool Value) {
  if (Value == checkParity_) return;
  checkParity_ = Value;
  SetupPort(Active());
}

void TSerial::SetupPort(bool Open) {
  if (Active()) {
    const PortHandle h = handle_.load();
    if (const auto err = platform_->PurgeComm(h, kPURGE_TXABORT | kPURGE_RXABORT)) {
      ReportError(err, PortOperation::PurgeComm);
    }
    SetModemLine(osDTR, false);
    SetModemLine(osRTS, false);
    active_.store(false);
    eventThread_->WakeUp();
    // Releases the event thread from its wait.
    if (const auto err = platform_->SetCommMask(h, 0)) ReportError(err, PortOperation::SetCommMask);
    // A notification the event thread has handed over but the owner has not
    // started yet would only report on a closed port, and the owner cannot
    // run it while it sits in this loop: withdraw it, so the thread can leave
    // the port within one poll. A handler that is running (and closes the
    // port itself) is not withdrawn; that close takes the full bound.
    owner_.WithdrawHandOvers(this);
    for (int i = 0; i < kClosePolls && inWait_.load() && !closingInHandler_; ++i) {
      std::this_thread::sleep_for(kClosePoll);
      owner_.WithdrawHandOvers(this);
    }
    if (const auto err = platform_->Close(h)) ReportError(err, PortOperation::Close);
  }
  if (!Open) return;

  // A new opening: what was reported for the old one may be reported again.
  reported_.clear();
  shownTexts_.clear();
  reportName_ = PortName();
  const OpenResult opened = platform_->Open(reportName_);
  if (opened.error != 0 || opened.handle == kInvalidPortHandle) {
    ReportError(opened.error, PortOperation::Open);
    return;
  }
  handle_.store(opened.handle);
  if (const auto err = platform_->SetupComm(opened.handle, rxQueueSize_, txQueueSize_)) {
    ReportError(err, PortOperation::SetupComm);
  }
  active_.store(true);
  ApplyLineSettings();
  SetModemLine(osDTR, true);
  SetModemLine(osRTS, true);
  StartEvents();
}

void TSerial::ApplyLineSettings() {
  comm::DCB d;
  d.DCBlength = kDcbLength;
  d.BaudRate = static_cast<std::uint32_t>(baudrate_);
  d.Flags = kDcbBinary | (checkParity_ ? kDcbParity : 0U) | FlowFlagsOf(flowMode_);
  d.XonLim = static_cast<std::uint16_t>(rxQueueSize_ / 3);
  d.XoffLim = static_cast<std::uint16_t>(rxQueueSize_ / 3);
  d.ByteSize = ByteSizeOf(dataBits_);
  d.Parity = ParityCodeOf(parity_);
  d.StopBits = StopBitsCodeOf(stopBits_);
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = 0x3F;
  dcb_ = d;
  const PortHandle h = handle_.load();
  if (const auto err = platform_->SetCommState(h, dcb_)) {
    ReportError(err, PortOperation::SetCommState);
  }

  timeouts_.ReadIntervalTimeout = 0xFFFFFFFFU;
  timeouts_.ReadTotalTimeoutMultiplier = 0;
  timeouts_.ReadTotalTimeoutConstant = 0;
  // Without flow control the write fields are left as they are.
  if (flowMode_ != fcNone) {
    timeouts_.WriteTotalTimeoutMultiplier = 0;
    timeouts_.WriteTotalTimeoutConstant = kWriteTimeoutWithFlowControl;
  }
  if (const auto err = platform_->SetCommTimeouts(h, timeouts_)) {
    ReportError(err, PortOperation::SetCommTimeouts);
  }
}

void TSerial::StartEvents() {
  const PortHandle h = handle_.load();
  platform_->SetEventInterest(h, EventInterest());
  if (const auto err = platform_->SetCommMask(h, kEventMask)) {
    ReportError(err, PortOperation::SetCommMask);
  }
  eventThread_->Start();
}

std::uint32_t TSerial::EventInterest() const {
  std::uint32_t events = kEV_RXCHAR;
  if (OnTxEmpty.Assigned()) events |= kEV_TXEMPTY;
  if (OnSignalChange.Assigned()) events |= kEV_CTS | kEV_DSR | kEV_RLSD;
  if (OnBreak.Assigned()) events |= kEV_BREAK;
  if (OnRing.Assigned()) events |= kEV_RING;
  return events;
}

void TSerial::HandlersChanged() {
  if (Active()) platform_->SetEventInterest(handle_.load(), EventInterest());
}

std::string TSerial::PortName() const {
  return "COM" + std::to_string(static_cast<unsigned>(port_));
}

void TSerial::UpdateStatus() {
  if (!Active()) return;
  const StatusResult status = platform_->ClearCommError(handle_.load());
  if (status.error != 0) {
    ReportError(status.error, PortOperation::Status);
    return;
  }
  comStat_ = status.stat;
}

std::int32_t TSerial::GetRxWaiting() {
  if (!Active()) return 0;
  UpdateStatus();
  return static_cast<std::int32_t>(std::min<std::uint32_t>(comStat_.cbInQue, INT32_MAX));
}

std::int32_t TSerial::GetTxWaiting() {
  if (!Active()) return 0;
  UpdateStatus();
  return static_cast<std::int32_t>(std::min<std::uint32_t>(comStat_.cbOutQue, INT32_MAX));
}

void TSerial::WriteString(std::string_view S) {
  // The whole text goes out unchanged, whatever its length: the platform
  // copies it before it returns, so nothing refers to S afterwards.
  if (!Active()) return;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(S.data());
  const WriteResult written = platform_->Write(handle_.load(), {bytes, S.size()}, kWriteWait);
  if (written.error != 0) ReportError(written.error, PortOperation::Write);
}

std::int32_t TSerial::ReadByteRaw(std::uint8_t& B, std::int32_t& error) {
  error = 0;
  if (!Active()) return 0;
  const ReadResult read = platform_->ReadByte(handle_.load(), kReadWait);
  if (read.error == kPlatformTimedOut) return 0;  // not completed in time: nothing taken
  if (read.error != 0) {
    error = read.error;
    return 0;
  }
  if (read.count != 1) return 0;
  B = read.byte;
  return 1;
}

std::int32_t TSerial::ReadByte(std::uint8_t& B) {
  std::int32_t error = 0;
  const std::int32_t count = ReadByteRaw(B, error);
  if (error != 0) ReportError(error, PortOperation::Read);
  return count;
}

void TSerial::SetBreak(bool Value) {
  if (!Active()) return;  // reaches no stale handle
  if (Value == breakState_) return;
  breakState_ = Value;
  const PortHandle h = handle_.load();
  if (!Value) {
    static_cast<void>(platform_->ClearCommBreak(h));  // the result is ignored
    return;
  }
  const std::int32_t err = platform_->SetCommBreak(h);
  // Ignored, unless the platform reports a refused break: then the line is
  // not in the break condition (a later SetBreak(true) tries again) and the
  // operator is told that the adapter cannot send the signal.
  if (err != 0 && platform_->ReportsRefusedBreak()) {
    breakState_ = false;
    ReportError(err, PortOperation::SetBreak);
  }
}

bool TSerial::SetModemLine(eModemOutSignal Line, bool State) {
  if (!Active()) return false;
  std::uint32_t function = 0;  // names no function
  if (Line == osRTS) function = State ? kSETRTS : kCLRRTS;
  if (Line == osDTR) function = State ? kSETDTR : kCLRDTR;
  return platform_->EscapeCommFunction(handle_.load(), function) == 0;
}

void TSerial::ReportError(std::int32_t code, PortOperation operation) {
  errorCode_.store(code);
  const std::pair<PortOperation, std::int32_t> failure{operation, code};
  if (std::find(reported_.begin(), reported_.end(), failure) != reported_.end()) return;
  reported_.push_back(failure);
  switch (NotifyErrors()) {
    case neDialog:
      ShowError(code, operation);
      break;
    case neEvent:
      if (auto handler = OnError.Get()) handler(*this);
      break;
    case neNone:
      break;
  }
}

void TSerial::ShowError(std::int32_t code, PortOperation operation) {
  std::string text = platform_->PortErrorText(reportName_, operation, code);
  if (text.size() > kMaxErrorText) {
    // Cut at a character's start: the texts are UTF-8, and a character cut
    // in two would show as a replacement character.
    std::size_t cut = kMaxErrorText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  while (!text.empty() && IsTrimmed(text.back())) text.pop_back();
  // A port whose every call fails with one code would otherwise give a box
  // per kind of call, all saying the same.
  if (std::find(shownTexts_.begin(), shownTexts_.end(), text) != shownTexts_.end()) return;
  shownTexts_.push_back(text);
  ShowText(text);
}

void TSerial::ShowText(const std::string& text) {
  // A box with the same text that is up now (further down this thread's
  // stack, its modal loop running hand-overs) already says it.
  if (std::find(boxesUp_.begin(), boxesUp_.end(), text) != boxesUp_.end()) return;
  boxesUp_.push_back(text);
  try {
    owner_.ShowErrorBox(text);
  } catch (...) {
    boxesUp_.pop_back();
    throw;
  }
  boxesUp_.pop_back();
}
