// The Win32 implementation of ISerialPlatform: opening, closing, the line
// settings, writes and the small calls. Reads are in Read.cpp, the event
// wait in EventWait.cpp. Every system call goes through IWin32Comm.
#include "serial/win32/Win32Platform.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "Platform.h"
#include "serial/win32/Win32Comm.h"

namespace win32 {

namespace {

// The component's codes and bits are the system's; the mapping copies them
// one by one all the same, and these checks keep the two in step.
static_assert(kEV_RXCHAR == EV_RXCHAR && kEV_RXFLAG == EV_RXFLAG && kEV_TXEMPTY == EV_TXEMPTY &&
              kEV_CTS == EV_CTS && kEV_DSR == EV_DSR && kEV_RLSD == EV_RLSD &&
              kEV_BREAK == EV_BREAK && kEV_ERR == EV_ERR && kEV_RING == EV_RING);
static_assert(kMS_CTS_ON == MS_CTS_ON && kMS_DSR_ON == MS_DSR_ON && kMS_RING_ON == MS_RING_ON &&
              kMS_RLSD_ON == MS_RLSD_ON);
static_assert(kSETRTS == SETRTS && kCLRRTS == CLRRTS && kSETDTR == SETDTR && kCLRDTR == CLRDTR);
static_assert(kPURGE_TXABORT == PURGE_TXABORT && kPURGE_RXABORT == PURGE_RXABORT);

// How long a close waits for the calls still using the port, and a write for
// the end of a transfer it has cancelled. A driver that takes longer keeps
// what it holds (see Port and Graveyard); the caller goes on.
constexpr DWORD kCloseGraceMs = 100;
constexpr DWORD kCancelGraceMs = 100;
// A baud rate the driver reads back may differ from the one asked for by
// its divisor's rounding; more than this is another speed.
constexpr double kBaudTolerance = 0.02;

DWORD Millis(std::chrono::milliseconds wait) {
  const auto count = std::max<std::chrono::milliseconds::rep>(wait.count(), 0);
  return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(count, INFINITE - 1));
}

std::string Trimmed(std::string text) {
  while (!text.empty() &&
         (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back())))) {
    text.pop_back();
  }
  return text;
}

// Whether the driver's read-back of the settings is the line asked for: the
// same frame, and a speed within the tolerance (a driver that reads back 0
// does not report its speed). Other fields are the driver's business: some
// report fParity as 0 or rewrite XonLim, XoffLim and EofChar.
bool SameLine(const DCB& wanted, const DCB& back) {
  if (back.ByteSize != wanted.ByteSize || back.Parity != wanted.Parity ||
      back.StopBits != wanted.StopBits) {
    return false;
  }
  if (back.BaudRate == 0) return true;
  const double asked = wanted.BaudRate;
  return std::fabs(static_cast<double>(back.BaudRate) - asked) <= asked * kBaudTolerance;
}

}  // namespace

bool DeviceGoneCode(DWORD code) {
  switch (code) {
    case ERROR_OPERATION_ABORTED:     // 995, FTDI
    case ERROR_BAD_COMMAND:           // 22, Prolific
    case ERROR_ACCESS_DENIED:         // 5, WCH CH340, Microsoft CDC
    case ERROR_DEVICE_REMOVED:        // 1617
    case ERROR_GEN_FAILURE:           // 31
    case ERROR_FILE_NOT_FOUND:        // 2
    case ERROR_DEVICE_NOT_CONNECTED:  // 1167
    case ERROR_BROKEN_PIPE:           // 109, Wine: the line has hung up
    case ERROR_NOT_READY:             // 21
    case ERROR_DEV_NOT_EXIST:         // 55
      return true;
    default:
      return false;
  }
}

Port::~Port() {
  graveyard->Retire(std::move(read));
  graveyard->Retire(std::move(write));
  graveyard->Retire(std::move(wait));
  if (file != INVALID_HANDLE_VALUE) comm->CloseHandle(file);
  if (awake != nullptr) comm->EndStayAwake(awake);
}

Win32Platform::Win32Platform(std::shared_ptr<IWin32Comm> comm,
                             std::shared_ptr<IWindowsPortSources> ports)
    : comm_(std::move(comm)),
      graveyard_(std::make_shared<Graveyard>()),
      portSources_(std::move(ports)) {}

Win32Platform::~Win32Platform() {
  for (auto& [handle, port] : ports_.RemoveAll()) ClosePort(port);
}

OpenResult Win32Platform::Open(const std::string& name) {
  graveyard_->Sweep();
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
    return {kInvalidPortHandle, ERROR_FILE_NOT_FOUND};
  }
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto port = std::make_shared<Port>(comm_, graveyard_);
  if (!port->Ready()) return {kInvalidPortHandle, static_cast<std::int32_t>(::GetLastError())};
  port->name = key;
  // Windows refuses a second opening of a port itself; Wine does not (for
  // any device), so within this program the platform refuses it too, with
  // the code Windows gives.
  const auto sameName = [&key](const Port& open) { return open.name == key; };
  if (ports_.Any(sameName)) return {kInvalidPortHandle, ERROR_ACCESS_DENIED};
  const std::wstring device = L"\\\\.\\" + std::wstring(name.begin(), name.end());
  DWORD error = 0;
  port->file = comm_->CreateFile(device, error);
  if (port->file == INVALID_HANDLE_VALUE) {
    return {kInvalidPortHandle, static_cast<std::int32_t>(error != 0 ? error : ERROR_OPEN_FAILED)};
  }
  // A name that leads to something other than a working serial port (a
  // COM1 whose device is gone, or that Wine maps to a missing UART) opens,
  // but every setting on it then fails. It is refused here with the code
  // of its settings read, so the operator gets one box saying that there
  // is no such port, and no run waits on it.
  ::DCB current{};
  current.DCBlength = sizeof current;
  if (const DWORD err = comm_->GetCommState(port->file, current); err != 0) {
    comm_->CloseHandle(std::exchange(port->file, INVALID_HANDLE_VALUE));
    return {kInvalidPortHandle, static_cast<std::int32_t>(err)};
  }
  // The system stays awake while the port is open: a run must not be cut
  // by the machine going to sleep. Ended by the close, or with the port
  // record on every other way out.
  port->awake = comm_->StayAwake();
  const HANDLE file = port->file;
  const PortHandle handle = ports_.AddUnless(port, sameName);
  if (handle == kInvalidPortHandle) return {kInvalidPortHandle, ERROR_ACCESS_DENIED};
  // Each opening begins fresh: what arrived before it (left unread by an
  // earlier run, or sent while nobody listened) is discarded. Windows
  // drivers mostly start empty anyway; a line under Wine keeps it.
  comm_->PurgeComm(file, PURGE_RXCLEAR);
  return {handle, 0};
}

std::int32_t Win32Platform::ClosePort(const std::shared_ptr<Port>& port) {
  std::unique_lock lock(port->mutex);
  port->closing = true;
  port->events.ReleaseWaits();
  ::SetEvent(port->closed.get());
  ::SetEvent(port->maskChanged.get());
  comm_->CancelIoEx(port->file, nullptr);
  const bool idle = port->idle.wait_for(lock, std::chrono::milliseconds(kCloseGraceMs),
                                        [&] { return port->uses == 0; });
  if (port->awake != nullptr) {
    comm_->EndStayAwake(port->awake);
    port->awake = nullptr;
  }
  if (!idle) return 0;  // the last use closes the handle
  const HANDLE file = std::exchange(port->file, INVALID_HANDLE_VALUE);
  lock.unlock();
  return static_cast<std::int32_t>(comm_->CloseHandle(file));
}

std::int32_t Win32Platform::Close(PortHandle h) {
  const std::shared_ptr<Port> port = ports_.Remove(h);
  if (!port) return kBadHandle;
  const std::int32_t result = ClosePort(port);
  graveyard_->Sweep();
  return result;
}

std::int32_t Win32Platform::SetupComm(PortHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  const DWORD err = comm_->SetupComm(use.port->file, rxQueue, txQueue);
  return err == 0 ? 0 : Failed(*use.port, err);
}

std::int32_t Win32Platform::SetCommState(PortHandle h, const comm::DCB& dcb) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  Port& port = *use.port;
  const DCB wanted = ToSystem(dcb);
  if (const DWORD err = comm_->SetCommState(port.file, wanted)) return Failed(port, err);
  bool first = false;
  {
    std::lock_guard lock(port.mutex);
    first = !port.settled;
    port.settled = true;
  }
  // The first setting after the open: bytes that came in under the old
  // settings are not this run's.
  if (first) comm_->PurgeComm(port.file, PURGE_RXCLEAR);
  // Read the settings back: a driver may accept the call and still keep a
  // setting it cannot apply.
  DCB back;
  std::memset(&back, 0, sizeof back);
  back.DCBlength = sizeof back;
  if (const DWORD err = comm_->GetCommState(port.file, back)) return Failed(port, err);
  return SameLine(wanted, back) ? 0 : ERROR_INVALID_PARAMETER;
}

std::int32_t Win32Platform::SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  Port& port = *use.port;
  std::lock_guard reads(port.readMutex);
  port.timeouts = ToSystem(timeouts);
  port.armedTimeouts = false;
  const DWORD err = comm_->SetCommTimeouts(port.file, port.timeouts);
  return err == 0 ? 0 : Failed(port, err);
}

std::int32_t Win32Platform::EscapeCommFunction(PortHandle h, std::uint32_t function) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  // Only the four modem-line functions are passed on; the system's other
  // escape functions (break, XON/XOFF, reset) are not this call's business.
  if (function != kSETRTS && function != kCLRRTS && function != kSETDTR && function != kCLRDTR) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD err = comm_->EscapeCommFunction(use.port->file, function);
  return err == 0 ? 0 : Failed(*use.port, err);
}

std::int32_t Win32Platform::SetCommMask(PortHandle h, std::uint32_t mask) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  Port& port = *use.port;
  // Setting the mask clears the events the port has seen so far, as the
  // system does: a byte a polled port took before the change is not
  // reported after it (it stays to be read).
  std::lock_guard reads(port.readMutex);
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  const bool counted = Polled(port) && comm_->ClearCommError(port.file, errors, stat) == 0;
  const DWORD err = comm_->SetCommMask(port.file, mask);
  // On a port whose device has gone the system's mask is moot: the wait is
  // released here all the same, and the operator has been told.
  if (err != 0 && !Gone(port)) return Failed(port, err);
  port.receivedEdge.Seen(port.received);
  std::lock_guard lock(port.mutex);
  if (counted) port.heldErrors |= errors;
  port.events.Set(mask);
  ::SetEvent(port.maskChanged.get());
  return 0;
}

std::int32_t Win32Platform::PurgeComm(PortHandle h, std::uint32_t flags) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  Port& port = *use.port;
  // Only the abort flags: queued data is never discarded.
  const DWORD abort = flags & (kPURGE_TXABORT | kPURGE_RXABORT);
  if (abort == 0) return 0;
  {
    std::lock_guard lock(port.mutex);
    ++port.abortGeneration;  // transfers this ends are ended by us
  }
  const DWORD err = comm_->PurgeComm(port.file, abort);
  // A gone port has no transfers left to abort.
  if (err == 0 || Gone(port)) return 0;
  return Failed(port, err);
}

WriteResult Win32Platform::Write(PortHandle h, std::span<const std::uint8_t> data,
                                 std::chrono::milliseconds wait) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  Port& port = *use.port;
  if (data.empty()) return {0, 0};
  std::lock_guard transfer(port.writeMutex);
  if (!port.write) port.write = std::make_unique<Operation>();
  Operation& op = *port.write;
  // The operation's own copy: the caller's buffer is free once this returns,
  // whatever the driver does with the transfer afterwards.
  op.data.assign(data.begin(), data.end());
  std::uint64_t generation = 0;
  {
    // Pending from the start, so that no sample can find the queue empty
    // after the data went out without reporting it.
    std::lock_guard lock(port.mutex);
    port.txPending = true;
    generation = port.abortGeneration;
    if (port.polled) ::SetEvent(port.wake.get());
  }
  OVERLAPPED* ov = op.Begin(generation);
  const DWORD length = static_cast<DWORD>(std::min<std::size_t>(op.data.size(), MAXDWORD));
  const DWORD started = comm_->WriteFile(port.file, op.data.data(), length, ov);
  if (started != 0 && started != ERROR_IO_PENDING) return {Failed(port, started), 0};
  HANDLE handles[2] = {op.done.get(), port.closed.get()};
  bool timedOut = false;
  if (::WaitForMultipleObjects(2, handles, FALSE, Millis(wait)) != WAIT_OBJECT_0) {
    timedOut = !Closing(port);
    op.cancelled = true;
    comm_->CancelIoEx(port.file, ov);
    ::WaitForSingleObject(op.done.get(), kCancelGraceMs);
  }
  if (!op.Completed()) {
    // The driver holds on to the cancelled transfer: it keeps its record
    // and its bytes until it lets go; the next write has a record of its own.
    graveyard_->Retire(std::move(port.write));
    return {Closing(port) ? kBadHandle : kPlatformTimedOut, 0};
  }
  DWORD count = 0;
  const DWORD err = comm_->GetOverlappedResult(port.file, ov, count);
  if (err == 0) return {0, count};
  if (Closing(port)) return {kBadHandle, count};
  if (timedOut) return {kPlatformTimedOut, count};
  if (err == ERROR_OPERATION_ABORTED && Purged(port, op)) return {kPlatformTimedOut, count};
  return {Failed(port, err), count};
}

StatusResult Win32Platform::ClearCommError(PortHandle h) {
  Use use(ports_, h);
  StatusResult result;
  if (use.error != 0) {
    result.error = use.error;
    return result;
  }
  std::lock_guard reads(use.port->readMutex);
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  if (const DWORD err = comm_->ClearCommError(use.port->file, errors, stat)) {
    result.error = Failed(*use.port, err);
    return result;
  }
  {
    std::lock_guard lock(use.port->mutex);
    errors |= use.port->heldErrors;
    use.port->heldErrors = 0;
    // A byte the armed read holds is received and not yet read.
    if (use.port->heldByte) ++stat.cbInQue;
  }
  result.errors = errors;
  result.stat = FromSystem(stat);
  return result;
}

std::int32_t Win32Platform::SetCommBreak(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  const DWORD err = comm_->SetCommBreak(use.port->file);
  return err == 0 ? 0 : Failed(*use.port, err);
}

std::int32_t Win32Platform::ClearCommBreak(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return use.error;
  const DWORD err = comm_->ClearCommBreak(use.port->file);
  return err == 0 ? 0 : Failed(*use.port, err);
}

ModemResult Win32Platform::GetCommModemStatus(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  DWORD status = 0;
  if (const DWORD err = comm_->GetCommModemStatus(use.port->file, status)) {
    return {Failed(*use.port, err), 0};
  }
  return {0, status & (kMS_CTS_ON | kMS_DSR_ON | kMS_RING_ON | kMS_RLSD_ON)};
}

std::string Win32Platform::PortErrorText(const std::string& name, PortOperation operation,
                                         std::int32_t code) {
  const DWORD system = static_cast<DWORD>(code);
  if (operation == PortOperation::Open) {
    std::string text = name + ": " + Trimmed(ErrorText(code));
    if (system == ERROR_ACCESS_DENIED || system == ERROR_SHARING_VIOLATION) {
      text += ". The port is in use by another program";
    } else if (system == ERROR_FILE_NOT_FOUND || system == ERROR_PATH_NOT_FOUND ||
               system == ERROR_INVALID_FUNCTION || system == ERROR_NOT_SUPPORTED ||
               DeviceGoneCode(system)) {
      // Nothing usable behind the number: the ports the system has, and how
      // to give one of them this number.
      const std::vector<WindowsPort> ports =
          portSources_ ? ListWindowsPorts(*portSources_) : std::vector<WindowsPort>();
      return MissingWindowsPortText(ComNumber(name), ports, Trimmed(ErrorText(code)));
    }
    return text;
  }
  // The codes a port's calls fail with once its device has gone, worded as
  // the POSIX build words a vanished device. A 995 that reaches a report
  // was not caused by this program: its own cancels are never reported.
  if (code > 0 && DeviceGoneCode(system)) {
    return name + " is gone: the adapter may have been unplugged, or the line has hung up";
  }
  if (operation == PortOperation::SetBreak) {
    return name + ": the adapter cannot send the break signal the device needs (" +
           Trimmed(ErrorText(code)) + ")";
  }
  return name + ": " + Trimmed(ErrorText(code));
}

void Win32Platform::SetEventInterest(PortHandle h, std::uint32_t events) {
  Use use(ports_, h);
  if (use.error != 0) return;
  {
    std::lock_guard lock(use.port->mutex);
    use.port->interest = events;
  }
  ::SetEvent(use.port->wake.get());
}

std::string Win32Platform::ErrorText(std::int32_t code) {
  // A transfer that outlived its wait carries the interface's time-out
  // code; it is described with the system's text for a timed-out wait.
  const DWORD system = code == kPlatformTimedOut ? WAIT_TIMEOUT : static_cast<DWORD>(code);
  const std::string text = Utf8(comm_->FormatMessage(system));
  if (text.empty()) return "Error " + std::to_string(code);
  return text;
}

std::int32_t Win32Platform::Failed(Port& port, DWORD code) {
  std::lock_guard lock(port.mutex);
  if (port.closing) return kBadHandle;
  if (port.goneCode != 0) return static_cast<std::int32_t>(port.goneCode);
  if (DeviceGoneCode(code)) port.goneCode = code;
  return static_cast<std::int32_t>(code);
}

bool Win32Platform::Closing(Port& port) {
  std::lock_guard lock(port.mutex);
  return port.closing;
}

bool Win32Platform::Purged(Port& port, const Operation& op) {
  std::lock_guard lock(port.mutex);
  return port.abortGeneration != op.abortGeneration;
}

bool Win32Platform::Gone(Port& port) {
  std::lock_guard lock(port.mutex);
  return port.goneCode != 0;
}

bool Win32Platform::Changed(Port& port, PortEventMask::Ticket ticket) {
  std::lock_guard lock(port.mutex);
  return port.closing || port.events.Released(ticket);
}

WaitResult Win32Platform::Released(Port& port) {
  std::lock_guard lock(port.mutex);
  if (port.closing) return {kBadHandle, 0};
  port.events.WaitEnded();
  return {0, 0};
}

}  // namespace win32

std::shared_ptr<ISerialPlatform> MakeWin32Platform(std::shared_ptr<IWin32Comm> comm,
                                                   std::shared_ptr<IWindowsPortSources> ports) {
  if (!ports) ports = MakeSystemPortSources();
  return std::make_shared<win32::Win32Platform>(std::move(comm), std::move(ports));
}

std::shared_ptr<ISerialPlatform> MakeWin32Platform() {
  return MakeWin32Platform(MakeSystemComm());
}
