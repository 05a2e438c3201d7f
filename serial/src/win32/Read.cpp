// Reading one byte at a time. The port has one read operation. Normally a
// ReadByte starts it and it ends before the call returns; two things can
// leave it in flight across calls, and then the next ReadByte takes what it
// brought before anything else, so no byte is lost or reordered:
//  - on a port whose event wait is polled, it is armed to wait for the
//    first received byte (ArmFirstByte) by the wait and by ReadByte,
//    instead of sampling the port on a timer;
//  - a driver that does not complete a cancelled read within the bound
//    keeps it; its late completion may still carry a byte.
#include <algorithm>

#include "Platform.h"

namespace win32 {

namespace {

// How long a read waits for the end of its own cancel before it leaves the
// read in flight.
constexpr DWORD kCancelGraceMs = 100;
// The first-byte read's time-outs: it returns as soon as one byte is there,
// or with nothing after this long, and is then armed again.
constexpr DWORD kFirstByteWaitMs = 1000;

DWORD Millis(std::chrono::milliseconds wait) {
  const auto count = std::max<std::chrono::milliseconds::rep>(wait.count(), 0);
  return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(count, INFINITE - 1));
}

std::uint64_t AbortGeneration(Port& port) {
  std::lock_guard lock(port.mutex);
  return port.abortGeneration;
}

}  // namespace

ReadResult Win32Platform::ReadByte(PortHandle h, std::chrono::milliseconds wait) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0, 0};
  Port& port = *use.port;
  std::lock_guard reads(port.readMutex);
  const auto delivered = [](std::uint8_t byte) { return ReadResult{0, 1, byte}; };
  if (port.heldByte) {
    port.heldByte = false;
    ::SetEvent(port.wake.get());  // the polled wait arms the read again
    return delivered(port.held);
  }
  if (port.reading) {
    // An armed read that is still pending has found nothing yet; a
    // cancelled one the driver has not ended may still bring a byte later.
    if (!port.read->Completed()) return {0, 0, 0};
    const ReadResult taken = TakeRead(port);
    if (taken.error != 0) return taken;
    if (taken.count == 1) return delivered(taken.byte);
  }
  if (Polled(port)) {
    // The polled wait's read is the port's only reader: armed here, it
    // takes a queued byte at once, or waits for the next one, which the
    // event thread then reports; no read is started and cancelled per call.
    if (const std::int32_t failed = ArmFirstByte(port)) return {failed, 0, 0};
    ::SetEvent(port.wake.get());  // the polled wait waits for this read too
    if (!port.heldByte) return {0, 0, 0};
    port.heldByte = false;
    port.receivedEdge.Seen(port.received);
    return delivered(port.held);
  }
  if (const DWORD err = UseComponentTimeouts(port)) return {Failed(port, err), 0, 0};
  if (!port.read) port.read = std::make_unique<Operation>();
  Operation& op = *port.read;
  OVERLAPPED* ov = op.Begin(AbortGeneration(port));
  const DWORD started = comm_->ReadFile(port.file, &op.byte, 1, ov);
  if (started != 0 && started != ERROR_IO_PENDING) return {Failed(port, started), 0, 0};
  port.reading = true;
  if (started == ERROR_IO_PENDING && !op.Completed()) {
    // With the return-at-once time-outs in force a read never waits for
    // data, yet some implementations (Wine) leave it pending until a byte
    // comes. A pending read has found nothing: it is ended at once. A byte
    // that completes it meanwhile is still taken.
    op.cancelled = true;
    comm_->CancelIoEx(port.file, ov);
    HANDLE handles[2] = {op.done.get(), port.closed.get()};
    ::WaitForMultipleObjects(2, handles, FALSE, std::min(Millis(wait), kCancelGraceMs));
    if (!op.Completed()) return {Closing(port) ? kBadHandle : 0, 0, 0};
  }
  const ReadResult taken = TakeRead(port);
  if (taken.error != 0 || taken.count == 0) return taken;
  return delivered(taken.byte);
}

ReadResult Win32Platform::TakeRead(Port& port) {
  port.reading = false;
  Operation& op = *port.read;
  DWORD count = 0;
  const DWORD err = port.comm->GetOverlappedResult(port.file, &op.ov, count);
  if (err == 0) return {0, count >= 1 ? 1U : 0U, op.byte};
  if (Closing(port)) return {kBadHandle, 0, 0};
  // Ended by a cancel or a purge of ours: nothing was read.
  if (err == ERROR_OPERATION_ABORTED && (op.cancelled || Purged(port, op))) return {0, 0, 0};
  return {Failed(port, err), 0, 0};
}

DWORD Win32Platform::UseComponentTimeouts(Port& port) {
  if (!port.armedTimeouts) return 0;
  if (const DWORD err = port.comm->SetCommTimeouts(port.file, port.timeouts)) return err;
  port.armedTimeouts = false;
  return 0;
}

std::int32_t Win32Platform::ArmFirstByte(Port& port) {
  if (port.heldByte || port.reading) return 0;
  if (!port.armedTimeouts) {
    COMMTIMEOUTS first = port.timeouts;
    first.ReadIntervalTimeout = MAXDWORD;
    first.ReadTotalTimeoutMultiplier = MAXDWORD;
    first.ReadTotalTimeoutConstant = kFirstByteWaitMs;
    if (const DWORD err = port.comm->SetCommTimeouts(port.file, first)) return Failed(port, err);
    port.armedTimeouts = true;
  }
  if (!port.read) port.read = std::make_unique<Operation>();
  Operation& op = *port.read;
  OVERLAPPED* ov = op.Begin(AbortGeneration(port));
  const DWORD started = port.comm->ReadFile(port.file, &op.byte, 1, ov);
  if (started != 0 && started != ERROR_IO_PENDING) return Failed(port, started);
  port.reading = true;
  if (!op.Completed()) return 0;
  const ReadResult taken = TakeRead(port);
  if (taken.count == 1) {
    port.heldByte = true;
    port.held = taken.byte;
    ++port.received;
  }
  return taken.error;
}

}  // namespace win32
