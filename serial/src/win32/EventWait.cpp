// The event wait: the system's own (WaitCommEvent), or, on a port where the
// system's wait does not work, a wait of this platform's that watches the
// port itself.
#include <chrono>
#include <cstring>

#include "Platform.h"

namespace win32 {

namespace {

// How long an event wait waits for the end of its own cancel before it
// leaves the operation to the graveyard and returns.
constexpr DWORD kCancelGraceMs = 100;
// The sampling period of the polled wait, used only for the events a read
// cannot wait for (transmit queue empty, break, line errors, modem lines).
constexpr DWORD kPollTickMs = 15;
// A system wait that ends with 995 although nobody cancelled it is armed
// again (the Windows 11 CDC driver does so now and then). One that does so
// this soon after it was armed, this many times in a row, does not work on
// this port (Wine aborts every wait on a pseudo-terminal at once).
constexpr auto kQuickAbort = std::chrono::milliseconds(50);
constexpr int kQuickAborts = 3;

// The codes with which a system refuses to wait on a port's events at all
// (rather than failing because the port is gone).
bool CannotWait(DWORD code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER ||
         code == ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

WaitResult Win32Platform::WaitCommEvent(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  Port& port = *use.port;
  std::lock_guard waiter(port.waitMutex);
  PortEventMask::Ticket ticket = 0;
  std::uint32_t mask = 0;
  {
    std::lock_guard lock(port.mutex);
    if (port.closing) return {kBadHandle, 0};
    if (port.events.ClearedSinceLastWait()) return {0, 0};
    ticket = port.events.Begin();
    mask = port.events.Mask();
    ::ResetEvent(port.maskChanged.get());
  }
  if (mask == 0) {
    // The system refuses a wait on an empty mask: wait here instead until
    // the mask changes or the port is closed.
    ::WaitForSingleObject(port.maskChanged.get(), INFINITE);
    return Released(port);
  }
  if (Polled(port)) return PolledWait(port, ticket, mask);
  return SystemWait(port, ticket, mask);
}

WaitResult Win32Platform::SystemWait(Port& port, PortEventMask::Ticket ticket, std::uint32_t mask) {
  using Clock = std::chrono::steady_clock;
  int quickAborts = 0;
  for (;;) {
    if (!port.wait) port.wait = std::make_unique<Operation>();
    Operation& op = *port.wait;
    OVERLAPPED* ov = op.Begin(0);
    const auto armed = Clock::now();
    DWORD err = comm_->WaitCommEvent(port.file, &op.events, ov);
    if (err == ERROR_IO_PENDING) {
      HANDLE handles[3] = {op.done.get(), port.maskChanged.get(), port.closed.get()};
      ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
      if (!op.Completed()) {
        // Released by a mask change or the close: the wait is ended here,
        // and never waited for beyond a short bound. A driver that does not
        // complete the cancel keeps the operation.
        op.cancelled = true;
        comm_->CancelIoEx(port.file, ov);
        ::WaitForSingleObject(op.done.get(), kCancelGraceMs);
        if (!op.Completed()) {
          graveyard_->Retire(std::move(port.wait));
          return Released(port);
        }
      }
      DWORD unused = 0;
      err = comm_->GetOverlappedResult(port.file, ov, unused);
    }
    // A wait ended by a mask change or a close is a release, not a failure,
    // however the system words its end.
    if (Changed(port, ticket)) return Released(port);
    if (err == ERROR_OPERATION_ABORTED && !op.cancelled) {
      // Nobody cancelled it: armed again, unless the system does this at
      // once every time.
      quickAborts = Clock::now() - armed < kQuickAbort ? quickAborts + 1 : 0;
      if (quickAborts < kQuickAborts) continue;
      return PolledWait(port, ticket, mask);
    }
    if (err != 0 && CannotWait(err)) return PolledWait(port, ticket, mask);
    if (err != 0) return {Failed(port, err), 0};
    const std::uint32_t found = op.events & mask;
    if (found != 0) return {0, found};
    // Ended with none of the mask's events although nobody changed the
    // mask: waiting on the system again would spin; this port's waits are
    // polled from now on.
    return PolledWait(port, ticket, mask);
  }
}

bool Win32Platform::Polled(Port& port) {
  std::lock_guard lock(port.mutex);
  return port.polled;
}

// Watches the port for the events of the mask: received characters by a
// read armed for the first byte (it completes as soon as one is there, the
// byte is kept for the next ReadByte, and its coming is the event; bytes the
// owner's own reads take need no event), and only where a handler could
// receive them, by sampling every kPollTick: the transmit queue (while a
// write is pending), the error flags (break, line errors) and the modem
// lines. Ends like the system's wait: with events of the mask, empty on a
// mask change, or with a failure (a port whose device is gone).
WaitResult Win32Platform::PolledWait(Port& port, PortEventMask::Ticket ticket, std::uint32_t mask) {
  IWin32Comm& comm = *port.comm;
  {
    std::lock_guard lock(port.mutex);
    if (!port.polled) {
      port.polled = true;
      port.modemLines = comm.GetCommModemStatus(port.file, port.lastModem) == 0;
    }
  }
  for (;;) {
    std::uint32_t wanted = 0;
    {
      std::lock_guard lock(port.mutex);
      if (port.closing || port.events.Released(ticket)) break;
      wanted = mask & port.interest;
    }
    HANDLE handles[4] = {port.maskChanged.get(), port.closed.get(), port.wake.get(), nullptr};
    if (wanted == 0) {
      // Nothing anybody could receive: nothing is watched until that changes.
      ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
      continue;
    }
    DWORD errors = 0;
    std::uint32_t events = 0;
    bool sampling = false;
    DWORD count = 3;
    {
      // No read may take a byte between the queue count and the tally of
      // bytes taken.
      std::lock_guard reads(port.readMutex);
      if (port.reading && port.read->Completed()) {
        const ReadResult taken = TakeRead(port);
        if (taken.error != 0) return {taken.error, 0};
        if (taken.count == 1) {
          port.heldByte = true;
          port.held = taken.byte;
          ++port.received;
        }
      }
      // ClearCommError fails on a port whose device is gone on Windows,
      // but Wine answers it from a hung-up pseudo-terminal all the same;
      // reading the line settings fails there.
      COMSTAT stat;
      std::memset(&stat, 0, sizeof stat);
      DCB dcb;
      std::memset(&dcb, 0, sizeof dcb);
      dcb.DCBlength = sizeof dcb;
      DWORD err = comm.ClearCommError(port.file, errors, stat);
      if (err == 0) err = comm.GetCommState(port.file, dcb);
      if (err != 0) {
        if (Changed(port, ticket)) return Released(port);
        return {Failed(port, err), 0};
      }
      // Received bytes pass through the armed read: it completes at once
      // while bytes are queued, and the next one is awaited once the owner
      // has taken the held byte (ReadByte wakes this wait then).
      if (wanted & kEV_RXCHAR) {
        if (const std::int32_t failed = ArmFirstByte(port)) {
          if (Changed(port, ticket)) return Released(port);
          return {failed, 0};
        }
      }
      std::lock_guard lock(port.mutex);
      port.heldErrors |= errors;
      if (port.receivedEdge.Report(port.received)) events |= kEV_RXCHAR;
      if (port.txPending && stat.cbOutQue == 0) {
        port.txPending = false;
        events |= kEV_TXEMPTY;
      }
      sampling = (port.txPending && (wanted & kEV_TXEMPTY)) ||
                 (wanted & (kEV_BREAK | kEV_ERR | kEV_CTS | kEV_DSR | kEV_RLSD | kEV_RING));
      if ((wanted & kEV_RXCHAR) && port.reading) handles[count++] = port.read->done.get();
    }
    if (errors & CE_BREAK) events |= kEV_BREAK;
    if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) events |= kEV_ERR;
    if (port.modemLines && (wanted & (kEV_CTS | kEV_DSR | kEV_RLSD | kEV_RING))) {
      DWORD lines = 0;
      if (comm.GetCommModemStatus(port.file, lines) == 0) {
        events |= ModemChangeEvents(port.lastModem, lines);
        port.lastModem = lines;
      }
    }
    if (events & wanted) {
      if (Changed(port, ticket)) return Released(port);
      return {0, events & wanted};
    }
    ::WaitForMultipleObjects(count, handles, FALSE, sampling ? kPollTickMs : INFINITE);
  }
  return Released(port);
}

}  // namespace win32
