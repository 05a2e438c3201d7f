#pragma once
// The operating system's serial interface as TSerial and its event thread use
// it. The build picks one implementation: the POSIX termios layer on Linux
// (posix/PosixPlatform.h) or the Windows communications functions on Windows
// (win32/Win32Platform.h). Tests and tools put a stand-in in their place
// (testing/FakePlatform.h). What every implementation means alike by its
// event wait is written once in PortEvents.h.
//
// Every operation reports its own outcome: the error code is captured at the
// failing call and returned with the result, so the owner's thread and the
// event thread never see each other's codes. An error code of 0 means
// success; other codes are the platform's (errno values on POSIX).
//
// Handles are plain integers that are never reused: an operation on a closed
// handle fails (EBADF) and can never reach a port that was opened later.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

using PortHandle = std::int64_t;
inline constexpr PortHandle kInvalidPortHandle = -1;

// The code of an operation that did not complete within its bounded wait,
// for a platform that has no code of its own for that (the Win32 one; the
// POSIX one reports ETIMEDOUT). Negative, so that it is no errno value and
// no system error code of Windows either. A read that times out counts as
// "nothing received".
inline constexpr std::int32_t kPlatformTimedOut = -1000;

// The component's records of the line settings, time-outs and queue counts.
// They carry the field names of the Windows communications records, and live
// in a namespace of their own so that they never meet the system's records
// of the same names (<windows.h>) in a file that sees both.
namespace comm {

// Device-control record: line settings, filled field by field by TSerial.
struct DCB {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // the flag word: bits below
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;

  friend bool operator==(const DCB&, const DCB&) = default;
};

// Time-out record.
struct COMMTIMEOUTS {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  friend bool operator==(const COMMTIMEOUTS&, const COMMTIMEOUTS&) = default;
};

// Status record: queue counts.
struct COMSTAT {
  std::uint32_t Flags = 0;
  std::uint32_t cbInQue = 0;   // bytes received and not yet read
  std::uint32_t cbOutQue = 0;  // bytes written and not yet sent

  friend bool operator==(const COMSTAT&, const COMSTAT&) = default;
};

}  // namespace comm

// Flag-word bits of comm::DCB::Flags.
inline constexpr std::uint32_t kDcbBinary = 0x0001;        // fBinary
inline constexpr std::uint32_t kDcbParity = 0x0002;        // fParity: check parity on receive
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;   // fOutxCtsFlow
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;   // fOutxDsrFlow
inline constexpr std::uint32_t kDcbDtrHandshake = 0x0020;  // fDtrControl = 2
inline constexpr std::uint32_t kDcbOutX = 0x0100;          // fOutX
inline constexpr std::uint32_t kDcbInX = 0x0200;           // fInX
inline constexpr std::uint32_t kDcbRtsHandshake = 0x2000;  // fRtsControl = 2

// Escape functions.
inline constexpr std::uint32_t kSETRTS = 3;
inline constexpr std::uint32_t kCLRRTS = 4;
inline constexpr std::uint32_t kSETDTR = 5;
inline constexpr std::uint32_t kCLRDTR = 6;

// Purge flags: abort pending transfers (no flag that discards queued data).
inline constexpr std::uint32_t kPURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t kPURGE_RXABORT = 0x0002;

// Event bits of the event mask and of the set a wait returns.
inline constexpr std::uint32_t kEV_RXCHAR = 0x0001;
inline constexpr std::uint32_t kEV_RXFLAG = 0x0002;
inline constexpr std::uint32_t kEV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t kEV_CTS = 0x0008;
inline constexpr std::uint32_t kEV_DSR = 0x0010;
inline constexpr std::uint32_t kEV_RLSD = 0x0020;
inline constexpr std::uint32_t kEV_BREAK = 0x0040;
inline constexpr std::uint32_t kEV_ERR = 0x0080;
inline constexpr std::uint32_t kEV_RING = 0x0100;

// Error flags of the status read (StatusResult::errors).
inline constexpr std::uint32_t kCE_OVERRUN = 0x0002;   // the receive hardware lost bytes
inline constexpr std::uint32_t kCE_RXPARITY = 0x0004;  // a byte arrived with a parity error
inline constexpr std::uint32_t kCE_FRAME = 0x0008;     // a byte arrived with a framing error

// Modem status bits.
inline constexpr std::uint32_t kMS_CTS_ON = 0x0010;
inline constexpr std::uint32_t kMS_DSR_ON = 0x0020;
inline constexpr std::uint32_t kMS_RING_ON = 0x0040;
inline constexpr std::uint32_t kMS_RLSD_ON = 0x0080;

// The kind of operation a failure belongs to: the component reports a
// failure of one kind with one code once per opening of the port, and the
// platform words its text for the operator by it.
enum class PortOperation : std::uint8_t {
  Open,
  SetupComm,
  SetCommState,
  SetCommTimeouts,
  SetCommMask,
  PurgeComm,
  Close,
  Write,
  Read,
  Status,
  EventWait,
  SetBreak,
};

struct OpenResult {
  PortHandle handle = kInvalidPortHandle;
  std::int32_t error = 0;
};

// Outcome of a write: `count` bytes were handed to the device. A write that
// has not completed within its wait fails with the platform's time-out code;
// the platform may go on sending the rest (the POSIX one does, up to the
// write time-out of SetCommTimeouts, a purge or the close), and the caller's
// buffer is no longer referenced once the call has returned.
struct WriteResult {
  std::int32_t error = 0;
  std::uint32_t count = 0;
};

// Outcome of a one-byte read: count is 0 or 1; the byte is returned by value,
// so an abandoned read can never write into the caller's memory.
struct ReadResult {
  std::int32_t error = 0;
  std::uint32_t count = 0;
  std::uint8_t byte = 0;
};

struct StatusResult {
  std::int32_t error = 0;
  std::uint32_t errors = 0;  // the port's error flags (cleared by the call)
  comm::COMSTAT stat;
};

struct ModemResult {
  std::int32_t error = 0;
  std::uint32_t status = 0;  // kMS_* bits
};

struct WaitResult {
  std::int32_t error = 0;
  std::uint32_t events = 0;  // kEV_* bits; empty when released by a mask change
};

class ISerialPlatform {
 public:
  virtual ~ISerialPlatform() = default;

  // Opens the device by its name ("COM3") for reading and writing, exclusive,
  // existing devices only, for non-blocking use.
  virtual OpenResult Open(const std::string& name) = 0;
  // Releases the handle. Any wait on it is released first; the device is
  // closed only after every call still using the handle has left.
  virtual std::int32_t Close(PortHandle h) = 0;

  // Recommended queue sizes.
  virtual std::int32_t SetupComm(PortHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) = 0;
  virtual std::int32_t SetCommState(PortHandle h, const comm::DCB& dcb) = 0;
  virtual std::int32_t SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) = 0;
  // kSETDTR, kCLRDTR, kSETRTS, kCLRRTS; any other code changes no line.
  virtual std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) = 0;
  // Events a wait reports. Any call releases a pending wait of the port with
  // an empty set. A wait that begins after the mask was cleared, with no wait
  // in between, returns at once with an empty set; later waits on a clear
  // mask block until the mask changes or the port is closed.
  virtual std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) = 0;
  // kPURGE_TXABORT / kPURGE_RXABORT: pending transfers end; no data is lost.
  virtual std::int32_t PurgeComm(PortHandle h, std::uint32_t flags) = 0;

  // Sends `data`, waiting at most `wait` for the device to take all of it.
  virtual WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                            std::chrono::milliseconds wait) = 0;
  // Takes at most one received byte; with nothing received it returns a count
  // of 0 without waiting for data. `wait` bounds the completion of the read.
  virtual ReadResult ReadByte(PortHandle h, std::chrono::milliseconds wait) = 0;

  // Reads the port's status and queue counts and clears its error condition.
  virtual StatusResult ClearCommError(PortHandle h) = 0;
  virtual std::int32_t SetCommBreak(PortHandle h) = 0;
  virtual std::int32_t ClearCommBreak(PortHandle h) = 0;
  virtual ModemResult GetCommModemStatus(PortHandle h) = 0;

  // Blocks until one of the events of the port's mask occurs, or the mask is
  // changed (empty set). A failure (a hung-up line, a closed handle) returns
  // an error code.
  virtual WaitResult WaitCommEvent(PortHandle h) = 0;

  // The platform's description of an error code.
  virtual std::string ErrorText(std::int32_t code) = 0;

  // The operator's text for a failure of `operation` on the port named
  // `name` ("COM1"). A platform that knows what stands behind the name says
  // in plain words what happened to it (a device that is gone, a port held
  // by another program); by default it is the platform's description.
  virtual std::string PortErrorText(const std::string& name, PortOperation operation,
                                    std::int32_t code) {
    static_cast<void>(name);
    static_cast<void>(operation);
    return ErrorText(code);
  }

  // Whether the component reports a refused SetCommBreak. Where a driver
  // refuses the break (an adapter that cannot send one) the device never
  // gets its signal, and the operator must be told; by default the result
  // is ignored.
  [[nodiscard]] virtual bool ReportsRefusedBreak() const { return false; }

  // The events of the port's mask that some handler could receive now. A
  // platform that must poll to find an event (modem lines, break counters)
  // polls only for these; events outside it may go unseen. By default every
  // event of the mask is looked for. Any thread; releases nothing.
  virtual void SetEventInterest(PortHandle h, std::uint32_t events) {
    static_cast<void>(h);
    static_cast<void>(events);
  }
};
