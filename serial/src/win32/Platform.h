#pragma once
// The Win32 platform's port record and the platform class, shared by the
// files of this folder.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "../common/PortTable.h"
#include "Operations.h"
#include "serial/PortEvents.h"
#include "serial/WindowsPortList.h"
#include "serial/win32/Win32Comm.h"

namespace win32 {

constexpr std::int32_t kBadHandle = ERROR_INVALID_HANDLE;

// One open port. Every call holds a "use" of it while it runs. The close
// waits a short while for the uses to end; a call that a driver holds up
// beyond that (a system call that does not return) keeps the port, and the
// system handle is closed when the last use ends, so no call can reach a
// handle value that the system has given to something else meanwhile.
struct Port {
  Port(std::shared_ptr<IWin32Comm> c, std::shared_ptr<Graveyard> g)
      : comm(std::move(c)), graveyard(std::move(g)) {}
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  std::shared_ptr<IWin32Comm> comm;
  std::shared_ptr<Graveyard> graveyard;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string name;        // upper case, as opened
  HANDLE awake = nullptr;  // the request that keeps the system awake

  // Set once by Close: every wait of a call on this port ends on it.
  Event closed{true};
  // Set by SetCommMask: releases the event wait.
  Event maskChanged{true};
  // Set by SetEventInterest and by writes: the polled wait looks anew.
  Event wake{false};

  // The port's one read. It may stay in flight across calls: the polled
  // wait leaves a read armed for the first byte, and a read whose cancel
  // the driver has not completed stays in flight until it does; whatever
  // it brings is delivered by the next ReadByte. Guarded by readMutex.
  std::mutex readMutex;
  std::unique_ptr<Operation> read;
  bool reading = false;   // `read` is in flight
  bool heldByte = false;  // a byte taken by the armed read, not yet delivered
  std::uint8_t held = 0;
  COMMTIMEOUTS timeouts{};     // the component's time-outs
  bool armedTimeouts = false;  // the first-byte time-outs are in force instead

  std::mutex writeMutex;
  std::unique_ptr<Operation> write;
  std::mutex waitMutex;
  std::unique_ptr<Operation> wait;

  // The handle table's contract, and the state below, under `mutex`.
  std::mutex mutex;
  std::condition_variable idle;
  int uses = 0;
  bool closing = false;
  PortEventMask events;
  std::uint64_t abortGeneration = 0;  // purges so far: a transfer they end is ours
  // The code the port's device went with; later failures report it too, so
  // a vanished device is one failure, whatever codes its driver goes on with.
  DWORD goneCode = 0;

  // The polled event wait (see WaitCommEvent), once the system's own wait
  // has been found not to work on this port.
  bool settled = false;  // line settings applied since the open
  bool polled = false;
  std::uint32_t interest = 0xFFFFFFFF;
  // Bytes that have come into the held place (the armed read completed with
  // them), and the last of them reported as received characters. Guarded by
  // readMutex.
  std::uint64_t received = 0;
  ReceivedEdge receivedEdge;
  bool txPending = false;   // written since the transmit queue was last empty
  bool modemLines = false;  // the modem status can be read
  DWORD lastModem = 0;
  DWORD heldErrors = 0;  // error flags the polled wait read on ClearCommError's behalf

  [[nodiscard]] bool Ready() const { return closed && maskChanged && wake; }
};

// Whether a code of a call on an open port says that its device has gone:
// the codes Windows drivers end transfers and calls with once a USB adapter
// has been pulled (FTDI 995, Prolific 22, CH340 and the Microsoft CDC
// driver 5, also 1617, 31, 2, 1167), and under Wine 109 for a line that has
// hung up. A 995 counts only where this program did not cancel.
bool DeviceGoneCode(DWORD code);

class Win32Platform final : public ISerialPlatform {
 public:
  Win32Platform(std::shared_ptr<IWin32Comm> comm, std::shared_ptr<IWindowsPortSources> ports);
  ~Win32Platform() override;

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
  std::string ErrorText(std::int32_t code) override;
  std::string PortErrorText(const std::string& name, PortOperation operation,
                            std::int32_t code) override;
  void SetEventInterest(PortHandle h, std::uint32_t events) override;
  bool ReportsRefusedBreak() const override { return true; }

 private:
  using Use = PortTable<Port>::Use;

  // A failure of a system call on `port`: a code that says the device has
  // gone marks the port gone, and a gone port's failures all report the
  // code it went with.
  static std::int32_t Failed(Port& port, DWORD code);
  static bool Closing(Port& port);
  static bool Gone(Port& port);
  // Whether a purge of ours came after `op` started (a 995 is then ours).
  static bool Purged(Port& port, const Operation& op);
  static bool Changed(Port& port, PortEventMask::Ticket ticket);
  static WaitResult Released(Port& port);
  // Ends the port: its waits released, its transfers cancelled, the handle
  // closed once no call uses it (at once when the uses end within a short
  // bound, else by the last use). Returns the close's outcome.
  std::int32_t ClosePort(const std::shared_ptr<Port>& port);

  // Reading (Read.cpp), under the port's readMutex: the outcome of the
  // completed read in flight, a read started with the component's
  // time-outs, and the read armed for the first byte by the polled wait.
  static ReadResult TakeRead(Port& port);
  static DWORD UseComponentTimeouts(Port& port);
  static std::int32_t ArmFirstByte(Port& port);

  // Event waits (EventWait.cpp).
  WaitResult SystemWait(Port& port, PortEventMask::Ticket ticket, std::uint32_t mask);
  static WaitResult PolledWait(Port& port, PortEventMask::Ticket ticket, std::uint32_t mask);
  static bool Polled(Port& port);

  std::shared_ptr<IWin32Comm> comm_;
  std::shared_ptr<Graveyard> graveyard_;
  // The system's serial ports, named in the box for a port that leads nowhere.
  std::shared_ptr<IWindowsPortSources> portSources_;
  PortTable<Port> ports_{kBadHandle};
};

}  // namespace win32
