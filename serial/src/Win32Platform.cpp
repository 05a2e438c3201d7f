// The Win32 implementation of ISerialPlatform.
//
// <windows.h> declares records named DCB, COMMTIMEOUTS and COMSTAT, as the
// component's interface does. The system's records are renamed while the
// header is read (WinDCB, WinCOMMTIMEOUTS, WinCOMSTAT), so both sets can be
// used side by side in this file and are mapped onto each other field by
// field.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define DCB WinDCB
#define COMMTIMEOUTS WinCOMMTIMEOUTS
#define COMSTAT WinCOMSTAT
#include <windows.h>
#undef DCB
#undef COMMTIMEOUTS
#undef COMSTAT

#include "serial/Win32Platform.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "PortTable.h"

namespace {

// The component's codes and bits are the system's; the mapping below copies
// them one by one all the same, and these checks keep the two in step.
static_assert(kEV_RXCHAR == EV_RXCHAR && kEV_RXFLAG == EV_RXFLAG && kEV_TXEMPTY == EV_TXEMPTY &&
              kEV_CTS == EV_CTS && kEV_DSR == EV_DSR && kEV_RLSD == EV_RLSD &&
              kEV_BREAK == EV_BREAK && kEV_ERR == EV_ERR && kEV_RING == EV_RING);
static_assert(kMS_CTS_ON == MS_CTS_ON && kMS_DSR_ON == MS_DSR_ON && kMS_RING_ON == MS_RING_ON &&
              kMS_RLSD_ON == MS_RLSD_ON);
static_assert(kSETRTS == SETRTS && kCLRRTS == CLRRTS && kSETDTR == SETDTR && kCLRDTR == CLRDTR);
static_assert(kPURGE_TXABORT == PURGE_TXABORT && kPURGE_RXABORT == PURGE_RXABORT);

constexpr std::int32_t kBadHandle = ERROR_INVALID_HANDLE;
// The sampling period of the polled event wait.
constexpr DWORD kPollTickMs = 15;

std::int32_t LastError() {
  return static_cast<std::int32_t>(::GetLastError());
}

DWORD Millis(std::chrono::milliseconds wait) {
  const auto count = std::max<std::chrono::milliseconds::rep>(wait.count(), 0);
  return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(count, INFINITE - 1));
}

bool Bit(std::uint32_t flags, std::uint32_t bit) {
  return (flags & bit) != 0;
}

// The component's flag word holds the system's bit fields at their places:
// fBinary 0, fParity 1, fOutxCtsFlow 2, fOutxDsrFlow 3, fDtrControl 4-5,
// fDsrSensitivity 6, fTXContinueOnXoff 7, fOutX 8, fInX 9, fErrorChar 10,
// fNull 11, fRtsControl 12-13, fAbortOnError 14.
WinDCB ToSystem(const DCB& in) {
  WinDCB out;
  std::memset(&out, 0, sizeof out);
  out.DCBlength = sizeof(WinDCB);
  out.BaudRate = in.BaudRate;
  const std::uint32_t f = in.Flags;
  out.fBinary = Bit(f, 0x0001);
  out.fParity = Bit(f, 0x0002);
  out.fOutxCtsFlow = Bit(f, 0x0004);
  out.fOutxDsrFlow = Bit(f, 0x0008);
  out.fDtrControl = (f >> 4) & 3U;
  out.fDsrSensitivity = Bit(f, 0x0040);
  out.fTXContinueOnXoff = Bit(f, 0x0080);
  out.fOutX = Bit(f, 0x0100);
  out.fInX = Bit(f, 0x0200);
  out.fErrorChar = Bit(f, 0x0400);
  out.fNull = Bit(f, 0x0800);
  out.fRtsControl = (f >> 12) & 3U;
  out.fAbortOnError = Bit(f, 0x4000);
  out.wReserved = in.wReserved;
  out.XonLim = in.XonLim;
  out.XoffLim = in.XoffLim;
  out.ByteSize = in.ByteSize;
  out.Parity = in.Parity;
  out.StopBits = in.StopBits;
  out.XonChar = in.XonChar;
  out.XoffChar = in.XoffChar;
  out.ErrorChar = in.ErrorChar;
  out.EofChar = in.EofChar;
  out.EvtChar = in.EvtChar;
  out.wReserved1 = in.wReserved1;
  return out;
}

WinCOMMTIMEOUTS ToSystem(const COMMTIMEOUTS& in) {
  WinCOMMTIMEOUTS out;
  out.ReadIntervalTimeout = in.ReadIntervalTimeout;
  out.ReadTotalTimeoutMultiplier = in.ReadTotalTimeoutMultiplier;
  out.ReadTotalTimeoutConstant = in.ReadTotalTimeoutConstant;
  out.WriteTotalTimeoutMultiplier = in.WriteTotalTimeoutMultiplier;
  out.WriteTotalTimeoutConstant = in.WriteTotalTimeoutConstant;
  return out;
}

COMSTAT FromSystem(const WinCOMSTAT& in) {
  COMSTAT out;
  out.Flags = (in.fCtsHold ? 0x01U : 0U) | (in.fDsrHold ? 0x02U : 0U) |
              (in.fRlsdHold ? 0x04U : 0U) | (in.fXoffHold ? 0x08U : 0U) |
              (in.fXoffSent ? 0x10U : 0U) | (in.fEof ? 0x20U : 0U) | (in.fTxim ? 0x40U : 0U);
  out.cbInQue = in.cbInQue;
  out.cbOutQue = in.cbOutQue;
  return out;
}

// An event object owned by this file.
class Event {
 public:
  explicit Event(bool manualReset)
      : handle_(::CreateEventA(nullptr, manualReset, FALSE, nullptr)) {}
  ~Event() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// One open port. Every call holds a "use" of it while it runs; Close waits
// for the uses to end before it closes the system handle, so no call can
// reach a handle value that the system has already given to something else.
struct Port {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string name;  // upper case, as opened
  // Set once by Close: every wait of a call on this port ends on it.
  Event closed{true};
  // Set by SetCommMask: releases the event wait.
  Event maskChanged{true};
  // Completion signals, one per kind of transfer, so a read and a write in
  // flight at the same time never share completion state.
  Event readDone{true};
  Event writeDone{true};
  Event waitDone{true};
  // Set by SetEventInterest: the polled wait looks at the interest anew.
  Event interestChanged{false};
  std::mutex readMutex;
  std::mutex writeMutex;
  std::mutex waitMutex;

  std::mutex mutex;
  std::condition_variable idle;
  int uses = 0;
  bool closing = false;
  std::uint32_t mask = 0;
  std::uint64_t maskGeneration = 0;
  std::uint64_t waitedGeneration = 0;  // maskGeneration when the last wait ended

  // The polled event wait (see WaitCommEvent), once the system's own wait
  // has been found to end with nothing for no reason.
  bool settled = false;  // line settings applied since the open
  bool polled = false;
  // The events some handler could receive: the polled wait samples only
  // for these (and not at all when there are none).
  std::uint32_t interest = 0xFFFFFFFF;
  // Received-character edge: bytes taken by ReadByte plus bytes still queued
  // give the bytes received in total; a new report is due when that total
  // has grown since the last one.
  std::uint64_t consumed = 0;
  std::uint64_t reportedArrived = 0;
  bool txPending = false;   // written since the transmit queue was last empty
  bool modemLines = false;  // the modem status can be read
  DWORD lastModem = 0;
  DWORD heldErrors = 0;  // error flags the polled wait read on ClearCommError's behalf

  bool Ready() const {
    return closed && maskChanged && readDone && writeDone && waitDone && interestChanged;
  }
};

// Waits for a transfer started with `ov` to end, at most `wait` ms; a
// transfer still running then (or when the port is being closed) is
// cancelled, and its end is awaited, so that it can no longer touch the
// buffer or the record. Returns the system's result of the transfer, its
// byte count and whether it ran into the time limit.
struct Finished {
  bool ok = false;
  DWORD error = 0;
  DWORD count = 0;
  bool timedOut = false;
};

Finished Finish(Port& port, OVERLAPPED& ov, DWORD wait) {
  Finished result;
  HANDLE handles[2] = {ov.hEvent, port.closed.get()};
  const DWORD woke = ::WaitForMultipleObjects(2, handles, FALSE, wait);
  if (woke != WAIT_OBJECT_0) {
    // Timed out, closing, or the wait itself failed: end the transfer here.
    ::CancelIoEx(port.file, &ov);
    result.timedOut = woke == WAIT_TIMEOUT;
  }
  result.ok = ::GetOverlappedResult(port.file, &ov, &result.count, TRUE) != FALSE;
  if (!result.ok) result.error = ::GetLastError();
  return result;
}

void CloseAll(Port& port) {
  // Releases every wait of the port, waits until no call uses it, closes it.
  {
    std::unique_lock lock(port.mutex);
    port.closing = true;
    ++port.maskGeneration;
    ::SetEvent(port.closed.get());
    ::SetEvent(port.maskChanged.get());
    ::CancelIoEx(port.file, nullptr);
    port.idle.wait(lock, [&] { return port.uses == 0; });
  }
}

class Win32Platform final : public ISerialPlatform {
 public:
  ~Win32Platform() override {
    for (auto& [handle, port] : ports_.RemoveAll()) {
      CloseAll(*port);
      ::CloseHandle(port->file);
    }
  }

  OpenResult Open(const std::string& name) override {
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
      return {kInvalidPortHandle, ERROR_FILE_NOT_FOUND};
    }
    const std::string device = "\\\\.\\" + name;
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto port = std::make_shared<Port>();
    if (!port->Ready()) return {kInvalidPortHandle, LastError()};
    port->name = key;
    // Windows refuses a second opening of a port itself; Wine does not (for
    // any device), so within this program the platform refuses it too, with
    // the code Windows gives.
    const auto sameName = [&key](const Port& open) { return open.name == key; };
    if (ports_.Any(sameName)) return {kInvalidPortHandle, ERROR_ACCESS_DENIED};
    // Read and write, no sharing (a second open is refused), no security,
    // existing devices only, overlapped, no template.
    port->file = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port->file == INVALID_HANDLE_VALUE) return {kInvalidPortHandle, LastError()};
    const HANDLE file = port->file;
    const PortHandle handle = ports_.AddUnless(std::move(port), sameName);
    if (handle == kInvalidPortHandle) {  // opened by another thread meanwhile
      ::CloseHandle(file);
      return {kInvalidPortHandle, ERROR_ACCESS_DENIED};
    }
    // Each opening begins fresh: what arrived before it (left unread by an
    // earlier run, or sent while nobody listened) is discarded. Windows
    // drivers mostly start empty anyway; a line under Wine keeps it.
    ::PurgeComm(file, PURGE_RXCLEAR);
    return {handle, 0};
  }

  std::int32_t Close(PortHandle h) override {
    const std::shared_ptr<Port> port = ports_.Remove(h);
    if (!port) return kBadHandle;
    CloseAll(*port);
    return ::CloseHandle(port->file) ? 0 : LastError();
  }

  std::int32_t SetupComm(PortHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    return ::SetupComm(use.port->file, rxQueue, txQueue) ? 0 : LastError();
  }

  std::int32_t SetCommState(PortHandle h, const DCB& dcb) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    WinDCB wanted = ToSystem(dcb);
    if (!::SetCommState(use.port->file, &wanted)) return LastError();
    bool first = false;
    {
      std::lock_guard lock(use.port->mutex);
      first = !use.port->settled;
      use.port->settled = true;
    }
    // The first setting after the open: bytes that came in under the old
    // settings are not this run's.
    if (first) ::PurgeComm(use.port->file, PURGE_RXCLEAR);
    // Read the settings back: a driver may accept the call and still keep
    // a setting it cannot apply.
    WinDCB back;
    std::memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    if (!::GetCommState(use.port->file, &back)) return LastError();
    if (back.BaudRate != wanted.BaudRate || back.ByteSize != wanted.ByteSize ||
        back.Parity != wanted.Parity || back.StopBits != wanted.StopBits) {
      return ERROR_INVALID_PARAMETER;
    }
    return 0;
  }

  std::int32_t SetCommTimeouts(PortHandle h, const COMMTIMEOUTS& timeouts) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    WinCOMMTIMEOUTS system = ToSystem(timeouts);
    return ::SetCommTimeouts(use.port->file, &system) ? 0 : LastError();
  }

  std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    // Only the four modem-line functions are passed on; the system's other
    // escape functions (break, XON/XOFF, reset) are not this call's business.
    if (function != kSETRTS && function != kCLRRTS && function != kSETDTR && function != kCLRDTR) {
      return ERROR_INVALID_PARAMETER;
    }
    return ::EscapeCommFunction(use.port->file, function) ? 0 : LastError();
  }

  std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    Port& port = *use.port;
    // Setting the mask clears the events the port has seen so far, as the
    // system does: a polled port counts received bytes from here on (no read
    // may take one between the count and the mask change).
    std::lock_guard reads(port.readMutex);
    DWORD errors = 0;
    WinCOMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    const bool counted = Polled(port) && ::ClearCommError(port.file, &errors, &stat);
    std::lock_guard lock(port.mutex);
    if (!::SetCommMask(port.file, mask)) return LastError();
    if (counted) {
      port.heldErrors |= errors;
      port.reportedArrived = port.consumed + stat.cbInQue;
    }
    port.mask = mask;
    ++port.maskGeneration;
    ::SetEvent(port.maskChanged.get());
    return 0;
  }

  std::int32_t PurgeComm(PortHandle h, std::uint32_t flags) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    // Only the abort flags: queued data is never discarded.
    const DWORD abort = flags & (kPURGE_TXABORT | kPURGE_RXABORT);
    if (abort == 0) return 0;
    return ::PurgeComm(use.port->file, abort) ? 0 : LastError();
  }

  WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                    std::chrono::milliseconds wait) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0};
    Port& port = *use.port;
    if (data.empty()) return {0, 0};
    std::lock_guard transfer(port.writeMutex);
    OVERLAPPED ov{};
    ov.hEvent = port.writeDone.get();
    ::ResetEvent(ov.hEvent);
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    {
      // Pending from the start, so that no sample can find the queue empty
      // after the data went out without reporting it.
      std::lock_guard lock(port.mutex);
      port.txPending = true;
    }
    if (!::WriteFile(port.file, data.data(), length, nullptr, &ov) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      return {LastError(), 0};
    }
    const Finished done = Finish(port, ov, Millis(wait));
    if (done.ok) return {0, done.count};
    if (done.timedOut) return {kPlatformTimedOut, done.count};
    return {Closing(port) ? kBadHandle : static_cast<std::int32_t>(done.error), done.count};
  }

  ReadResult ReadByte(PortHandle h, std::chrono::milliseconds wait) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0, 0};
    Port& port = *use.port;
    std::lock_guard transfer(port.readMutex);
    OVERLAPPED ov{};
    ov.hEvent = port.readDone.get();
    ::ResetEvent(ov.hEvent);
    std::uint8_t byte = 0;
    if (!::ReadFile(port.file, &byte, 1, nullptr, &ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) return {LastError(), 0, 0};
      // With the return-at-once time-outs in force a read never waits for
      // data, yet some implementations (Wine) leave it pending until a byte
      // comes. A pending read has found nothing: it is ended at once. A byte
      // that completes it meanwhile is still taken, and one that comes after
      // the cancel stays queued; nothing is lost either way.
      wait = std::chrono::milliseconds(0);
    }
    // The byte is only ever written into this frame, and Finish returns only
    // once the read has ended: an abandoned read cannot reach the caller.
    const Finished done = Finish(port, ov, Millis(wait));
    if (done.ok && done.count > 0) {
      std::lock_guard lock(port.mutex);
      ++port.consumed;
      return {0, 1, byte};
    }
    if (done.ok || done.error == ERROR_OPERATION_ABORTED) {
      if (!Closing(port)) return {0, 0, 0};
    }
    if (done.timedOut) return {kPlatformTimedOut, 0, 0};
    return {Closing(port) ? kBadHandle : static_cast<std::int32_t>(done.error), 0, 0};
  }

  StatusResult ClearCommError(PortHandle h) override {
    Use use(ports_, h);
    StatusResult result;
    if (use.error != 0) {
      result.error = use.error;
      return result;
    }
    DWORD errors = 0;
    WinCOMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    if (!::ClearCommError(use.port->file, &errors, &stat)) {
      result.error = LastError();
      return result;
    }
    {
      std::lock_guard lock(use.port->mutex);
      errors |= use.port->heldErrors;
      use.port->heldErrors = 0;
    }
    result.errors = errors;
    result.stat = FromSystem(stat);
    return result;
  }

  std::int32_t SetCommBreak(PortHandle h) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    return ::SetCommBreak(use.port->file) ? 0 : LastError();
  }

  std::int32_t ClearCommBreak(PortHandle h) override {
    Use use(ports_, h);
    if (use.error != 0) return use.error;
    return ::ClearCommBreak(use.port->file) ? 0 : LastError();
  }

  ModemResult GetCommModemStatus(PortHandle h) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0};
    DWORD status = 0;
    if (!::GetCommModemStatus(use.port->file, &status)) return {LastError(), 0};
    return {0, status & (kMS_CTS_ON | kMS_DSR_ON | kMS_RING_ON | kMS_RLSD_ON)};
  }

  WaitResult WaitCommEvent(PortHandle h) override {
    Use use(ports_, h);
    if (use.error != 0) return {use.error, 0};
    Port& port = *use.port;
    std::lock_guard waiter(port.waitMutex);
    std::uint64_t generation = 0;
    std::uint32_t mask = 0;
    {
      std::lock_guard lock(port.mutex);
      if (port.closing) return {kBadHandle, 0};
      // A mask cleared since the previous wait releases this one at once
      // (the clear may have come just before the wait began).
      if (port.mask == 0 && port.maskGeneration != port.waitedGeneration) {
        port.waitedGeneration = port.maskGeneration;
        return {0, 0};
      }
      generation = port.maskGeneration;
      mask = port.mask;
      ::ResetEvent(port.maskChanged.get());
    }
    if (mask == 0) {
      // The system refuses a wait on an empty mask: wait here instead until
      // the mask changes or the port is closed.
      ::WaitForSingleObject(port.maskChanged.get(), INFINITE);
      return Released(port);
    }
    if (Polled(port)) return PolledWait(port, generation, mask);
    OVERLAPPED ov{};
    ov.hEvent = port.waitDone.get();
    ::ResetEvent(ov.hEvent);
    DWORD events = 0;
    if (!::WaitCommEvent(port.file, &events, &ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        const std::int32_t err = LastError();
        if (Changed(port, generation)) return Released(port);
        if (!CannotWait(err)) return {err, 0};
        return PolledWait(port, generation, mask);
      }
      HANDLE handles[3] = {ov.hEvent, port.maskChanged.get(), port.closed.get()};
      if (::WaitForMultipleObjects(3, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIoEx(port.file, &ov);
      }
      DWORD unused = 0;
      if (!::GetOverlappedResult(port.file, &ov, &unused, TRUE)) {
        const std::int32_t err = LastError();
        // A wait ended by a mask change or a close is a release, not a
        // failure, however the system words its end.
        if (Changed(port, generation)) return Released(port);
        if (!CannotWait(err)) return {err, 0};
        events = 0;
      }
    }
    if (Changed(port, generation)) return Released(port);
    const std::uint32_t found = events & mask;
    if (found != 0) return {0, found};
    // The system refused the wait, or ended it with none of the mask's
    // events although nobody changed the mask or closed the port. Wine does
    // so at once, every time, on a port without modem lines (a pseudo-
    // terminal): it refuses a mask with modem events and aborts any other
    // wait. Waiting on the system again would spin; this port's waits are
    // polled from now on.
    return PolledWait(port, generation, mask);
  }

  std::string PortErrorText(const std::string& name, PortOperation operation,
                            std::int32_t code) override {
    std::string text = ErrorText(code);
    while (!text.empty() &&
           (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back())))) {
      text.pop_back();
    }
    text = name + ": " + text;
    if (operation == PortOperation::Open) {
      if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        text += ". The port is in use by another program";
      } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        text += ". There is no such port on this computer";
      }
    } else if (code == ERROR_NOT_READY || code == ERROR_BAD_COMMAND || code == ERROR_GEN_FAILURE ||
               code == ERROR_DEV_NOT_EXIST || code == ERROR_DEVICE_NOT_CONNECTED ||
               code == ERROR_ACCESS_DENIED) {
      // The codes a port's calls fail with once its device has gone: an
      // unplugged USB adapter, or under Wine a line that has hung up.
      text += ". The port's device is gone: the adapter may have been unplugged";
    }
    return text;
  }

  void SetEventInterest(PortHandle h, std::uint32_t events) override {
    Use use(ports_, h);
    if (use.error != 0) return;
    {
      std::lock_guard lock(use.port->mutex);
      use.port->interest = events;
    }
    ::SetEvent(use.port->interestChanged.get());
  }

  std::string ErrorText(std::int32_t code) override {
    // A transfer that outlived its wait carries the interface's time-out
    // code; it is described with the system's text for a timed-out wait.
    const DWORD system = code == kPlatformTimedOut ? WAIT_TIMEOUT : static_cast<DWORD>(code);
    char buffer[256] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         system, 0, buffer, sizeof buffer, nullptr);
    if (length == 0) return "Error " + std::to_string(code);
    return std::string(buffer, std::min<std::size_t>(length, sizeof buffer - 1));
  }

 private:
  using Use = PortTable<Port>::Use;

  static bool Closing(Port& port) {
    std::lock_guard lock(port.mutex);
    return port.closing;
  }

  static bool Changed(Port& port, std::uint64_t generation) {
    std::lock_guard lock(port.mutex);
    return port.closing || port.maskGeneration != generation;
  }

  // The codes with which a system refuses to wait on a port's events at all
  // (rather than failing because the port is gone).
  static bool CannotWait(std::int32_t code) {
    return code == ERROR_NOT_SUPPORTED || code == ERROR_OPERATION_ABORTED ||
           code == ERROR_INVALID_PARAMETER || code == ERROR_CALL_NOT_IMPLEMENTED;
  }

  static bool Polled(Port& port) {
    std::lock_guard lock(port.mutex);
    return port.polled;
  }

  // The event wait by sampling the port every kPollTick: the queue counts
  // (received characters, transmit queue empty), the error flags (break,
  // line errors) and, where the port has them, the modem lines. Ends like
  // the system's wait: with events of the mask, empty on a mask change, or
  // with the failure of a sample (a port whose device is gone).
  static WaitResult PolledWait(Port& port, std::uint64_t generation, std::uint32_t mask) {
    {
      std::lock_guard lock(port.mutex);
      if (!port.polled) {
        port.polled = true;
        port.reportedArrived = port.consumed;
        port.modemLines = ::GetCommModemStatus(port.file, &port.lastModem) != FALSE;
      }
    }
    HANDLE handles[3] = {port.maskChanged.get(), port.closed.get(), port.interestChanged.get()};
    for (;;) {
      std::uint32_t wanted = 0;
      {
        std::lock_guard lock(port.mutex);
        if (port.closing || port.maskGeneration != generation) break;
        wanted = mask & port.interest;
      }
      if (wanted == 0) {
        // Nothing anybody could receive: no sampling until that changes.
        ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
        continue;
      }
      DWORD errors = 0;
      WinCOMSTAT stat;
      std::memset(&stat, 0, sizeof stat);
      std::uint32_t events = 0;
      {
        // No read may take a byte between the queue count and the tally of
        // bytes taken.
        std::lock_guard reads(port.readMutex);
        // ClearCommError fails on a port whose device is gone on Windows,
        // but Wine answers it from a hung-up pseudo-terminal all the same;
        // reading the line settings fails there.
        WinDCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!::ClearCommError(port.file, &errors, &stat) || !::GetCommState(port.file, &dcb)) {
          const std::int32_t err = LastError();
          if (Changed(port, generation)) return Released(port);
          return {err, 0};
        }
        std::lock_guard lock(port.mutex);
        port.heldErrors |= errors;
        const std::uint64_t arrived = port.consumed + stat.cbInQue;
        if (arrived > port.reportedArrived) {
          port.reportedArrived = arrived;
          events |= kEV_RXCHAR;
        }
        if (port.txPending && stat.cbOutQue == 0) {
          port.txPending = false;
          events |= kEV_TXEMPTY;
        }
      }
      if (errors & CE_BREAK) events |= kEV_BREAK;
      if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) events |= kEV_ERR;
      if (port.modemLines && (wanted & (kEV_CTS | kEV_DSR | kEV_RLSD | kEV_RING))) {
        DWORD lines = 0;
        if (::GetCommModemStatus(port.file, &lines)) {
          const DWORD changed = lines ^ port.lastModem;
          if (changed & MS_CTS_ON) events |= kEV_CTS;
          if (changed & MS_DSR_ON) events |= kEV_DSR;
          if (changed & MS_RLSD_ON) events |= kEV_RLSD;
          if ((changed & MS_RING_ON) && (lines & MS_RING_ON)) events |= kEV_RING;
          port.lastModem = lines;
        }
      }
      if (events & wanted) {
        if (Changed(port, generation)) return Released(port);
        return {0, events & wanted};
      }
      ::WaitForMultipleObjects(3, handles, FALSE, kPollTickMs);
    }
    return Released(port);
  }

  // The end of a wait released by a mask change (empty set) or a close.
  static WaitResult Released(Port& port) {
    std::lock_guard lock(port.mutex);
    if (port.closing) return {kBadHandle, 0};
    port.waitedGeneration = port.maskGeneration;
    return {0, 0};
  }

  PortTable<Port> ports_{kBadHandle};
};

}  // namespace

std::shared_ptr<ISerialPlatform> MakeWin32Platform() {
  return std::make_shared<Win32Platform>();
}
