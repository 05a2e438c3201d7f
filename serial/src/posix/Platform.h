#pragma once
// The POSIX platform's port record and the platform class, shared by the
// files of this folder: Platform.cpp (opening, closing, the small calls),
// LineSettings.cpp (termios), PosixArbitraryBaud.cpp (rates without a
// termios code), Transfer.cpp (writes and reads), EventWait.cpp,
// ErrorTexts.cpp (modem and error mapping), PortHolders.cpp (another
// program holding a port).
#include <linux/serial.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../common/PortTable.h"
#include "serial/PortEvents.h"
#include "serial/posix/PosixPlatform.h"

namespace posix {

// Modem lines and counters are sampled on this tick where the driver has
// them and a handler wants them, and the transmit queue while a write is
// draining and a handler wants to know when it is empty.
constexpr int kTickMs = 15;
// The slice in which a write held up by flow control looks for a close or
// purge.
constexpr int kWriteSliceMs = 10;
constexpr std::uint32_t kModemEvents = kEV_CTS | kEV_DSR | kEV_RLSD | kEV_RING;

// Bytes of one write that did not fit into the driver at once: sent by the
// port's writer thread, within the write time-out in force when they came.
struct TxChunk {
  std::vector<std::uint8_t> bytes;
  std::size_t sent = 0;
  bool hasDeadline = false;
  std::chrono::steady_clock::time_point deadline;
  std::uint64_t abortGeneration = 0;
  bool done = false;
  std::int32_t error = 0;
};

// Keeps the descriptor's non-blocking reads and the other bookkeeping of one
// open port. Every call holds a "use" of the port while it runs; the close
// waits for the uses to end before it closes the descriptors.
struct Port {
  int fd = -1;
  int wakeFd = -1;  // eventfd: releases the waiter
  std::mutex mutex;
  std::condition_variable idle;
  int uses = 0;
  bool closing = false;

  // The serial driver's flags as found at open, restored at close.
  bool serialFound = false;
  serial_struct serialAtOpen{};
  // A line found cooked (a fresh terminal) may have mangled or echoed what
  // arrived before the first line setting: that setting discards it. Bytes
  // that arrived raw are kept, as the original port keeps what arrives
  // after its open.
  bool settled = false;

  // Parity marking (PARMRK) is on: received bytes are decoded, and errors
  // are kept for the status read.
  bool parityMarks = false;
  bool parityOn = false;  // PARENB: a marked byte is taken for a parity error
  ParityMarkDecoder decoder;
  std::uint32_t errorFlags = 0;

  // Write time-out (ms; 0: none) and the writes still being sent.
  std::uint32_t writeTimeoutConstant = 0;
  std::uint32_t writeTimeoutMultiplier = 0;
  std::deque<std::shared_ptr<TxChunk>> txQueue;
  std::condition_variable txChanged;
  std::thread writer;

  // Events some handler could receive (SetEventInterest): polling is only
  // done for these.
  std::uint32_t interest = 0xFFFFFFFFU;

  PortEventMask events;
  std::uint64_t abortGeneration = 0;

  // Received characters: bytes taken by ReadByte plus bytes still queued
  // give the bytes received in total.
  std::uint64_t consumed = 0;
  ReceivedEdge received;
  bool waiterBlind = false;  // the waiter is not watching for input

  bool txPending = false;

  bool modemLines = false;  // the driver answers TIOCMGET
  int lastModem = 0;
  bool counters = false;  // the driver answers TIOCGICOUNT
  serial_icounter_struct lastCount{};
};

std::int32_t Errno();

// Wakes the port's event wait (its eventfd), so it looks at the port anew.
void WakeWaiter(const Port& port);
// Takes the wake-up the event wait has woken on.
void ClearWakeUp(const Port& port);

// The modem status bits (kMS_*) of TIOCMGET's line bits.
std::uint32_t StatusBits(int lines);

// The number n of "COMn", if the name is one.
bool ParseComNumber(std::string_view name, unsigned& number);

class PosixPlatform final : public ISerialPlatform {
 public:
  PosixPlatform(PortMapRoots roots, std::filesystem::path proc);
  ~PosixPlatform() override;

  OpenResult Open(const std::string& name) override;
  std::int32_t Close(PortHandle h) override;
  std::int32_t SetupComm(PortHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) override;
  std::int32_t SetCommState(PortHandle h, const comm::DCB& dcb) override;
  std::int32_t SetCommTimeouts(PortHandle h, const comm::COMMTIMEOUTS& timeouts) override;
  std::int32_t EscapeCommFunction(PortHandle h, std::uint32_t function) override;
  std::int32_t SetCommMask(PortHandle h, std::uint32_t mask) override;
  std::int32_t PurgeComm(PortHandle h, std::uint32_t flags) override;
  WriteResult Write(PortHandle h, std::span<const std::uint8_t> data,
                    std::chrono::milliseconds wait) override;
  ReadResult ReadByte(PortHandle h, std::chrono::milliseconds wait) override;
  StatusResult ClearCommError(PortHandle h) override;
  std::int32_t SetCommBreak(PortHandle h) override;
  std::int32_t ClearCommBreak(PortHandle h) override;
  ModemResult GetCommModemStatus(PortHandle h) override;
  WaitResult WaitCommEvent(PortHandle h) override;
  void SetEventInterest(PortHandle h, std::uint32_t events) override;
  std::string ErrorText(std::int32_t code) override;
  std::string PortErrorText(const std::string& name, PortOperation operation,
                            std::int32_t code) override;

 private:
  using Use = PortTable<Port>::Use;

  // Line settings (LineSettings.cpp): low latency set at open, the driver's
  // flags put back as they were found at the close.
  static void SetLowLatency(Port& port);
  static void RestoreSerialFlags(const Port& port);

  // The port's writer thread (Transfer.cpp): sends the writes that did not
  // fit at once, in order, each within its own time-out. Ends at the close.
  static void Writer(Port& port);

  // Under the port's lock (EventWait.cpp): the events of the mask that have
  // occurred since the last report. Sets whether the waiter should watch
  // for input and whether it needs the sampling tick.
  static std::uint32_t Sample(Port& port, bool& watchInput, bool& tick);

  std::int32_t SimpleIoctl(PortHandle h, unsigned long request);

  // Releases the waiter, waits until no call uses the port and closes it.
  static std::int32_t ClosePort(Port& port);

  // What the last opening of a name found: for the operator's texts.
  struct NameInfo {
    std::string path;
    std::optional<PortHolder> holder;
  };

  PortMapRoots roots_;
  std::filesystem::path proc_;
  std::mutex mapMutex_;  // guards names_
  std::map<std::string, NameInfo> names_;
  PortTable<Port> ports_{EBADF};
};

}  // namespace posix
