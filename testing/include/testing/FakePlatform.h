#pragma once
// A recording stand-in for the serial platform, for tests. It records every
// call with its arguments, can be scripted to fail any call with a given
// error code, and serves received bytes like a device: tests push bytes into
// the receive queue, and a device hook sees every written text (and every
// break change) and may push a reply. Event waits return the event sets the
// test pushes (received bytes push kEV_RXCHAR, changed modem lines their
// events) and are released by a mask change, by the rules every platform
// shares (serial/PortEvents.h). Thread-safe: the event thread calls into it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortEvents.h"
#include "serial/SerialPlatform.h"

class FakePlatform : public ISerialPlatform {
 public:
  // Error codes the fake uses by itself (errno values, like the real one).
  static constexpr std::int32_t kNoDevice = 2;    // ENOENT
  static constexpr std::int32_t kBadHandle = 9;   // EBADF
  static constexpr std::int32_t kInUse = 16;      // EBUSY
  static constexpr std::int32_t kTimedOut = 110;  // ETIMEDOUT

  // One recorded call. `text` is a readable form with the arguments, e.g.
  // "Open(COM1)", "SetupComm(1024,1024)", "EscapeCommFunction(5)",
  // "SetCommMask(381)", "PurgeComm(3)", "Write(139)", "ReadByte",
  // "SetCommState", "Close". Records with a DCB or time-outs carry them.
  struct Call {
    std::string name;  // "SetCommState"
    std::string text;  // "SetCommState"
    PortHandle handle = kInvalidPortHandle;
    std::vector<std::int64_t> args;
    std::string data;  // written bytes; device name of Open
    comm::DCB dcb;
    comm::COMMTIMEOUTS timeouts;
    std::int32_t result = 0;  // the error code returned
  };

  // What the device hook is told.
  struct DeviceEvent {
    enum Kind { Written, BreakOn, BreakOff, Opened, Closed } kind;
    std::string data;  // the written text (Written), the device name (Opened/Closed)
  };
  using DeviceHook = std::function<void(FakePlatform& fake, const DeviceEvent& event)>;

  FakePlatform();
  ~FakePlatform() override;

  // --- ISerialPlatform --------------------------------------------------
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
  [[nodiscard]] bool ReportsRefusedBreak() const override { return reportsRefusedBreak_; }
  // Kept, not recorded: Interest() tells what the component asked for.
  void SetEventInterest(PortHandle h, std::uint32_t events) override;

  // --- recording --------------------------------------------------------
  [[nodiscard]] std::vector<Call> Calls() const;
  // The `text` of every recorded call, oldest first.
  [[nodiscard]] std::vector<std::string> Trace() const;
  // The trace without the calls named in `skip` (e.g. the event waits).
  [[nodiscard]] std::vector<std::string> TraceWithout(const std::set<std::string>& skip) const;
  [[nodiscard]] std::size_t CountOf(std::string_view name) const;
  void ClearCalls();
  // Whether calls named `name` are recorded (default: all are). Turning off
  // "WaitCommEvent" or "ReadByte" keeps long runs and traces small.
  void SetRecorded(const std::string& name, bool recorded);

  // --- scripting failures -------------------------------------------------
  // The `nth` next use of call `name` (1 = the very next) fails with `code`;
  // with `times` > 1 that many consecutive uses from there fail.
  void FailNext(const std::string& name, std::int32_t code, int nth = 1, int times = 1);
  // Every use of `name` fails with `code` until ClearFailures().
  void FailAlways(const std::string& name, std::int32_t code);
  void ClearFailures();
  // Whether a refused SetCommBreak is reported, as on a platform whose
  // adapters may lack the break (default: not, the result is ignored).
  void SetReportsRefusedBreak(bool reports) { reportsRefusedBreak_ = reports; }
  // The text ErrorText returns for `code` (default: "Fake error <code>.").
  void SetErrorText(std::int32_t code, std::string text);

  // --- the device -------------------------------------------------------
  // Which device names exist (default COM1..COM9).
  void SetDeviceExists(const std::string& name, bool exists);
  // Appends bytes to the receive queue; raises kEV_RXCHAR for a waiter.
  // Opening the port empties the queue, as on the real port.
  void PushRx(std::string_view bytes);
  // Whether PushRx raises kEV_RXCHAR (default true).
  void SetRxRaisesEvent(bool raises);
  [[nodiscard]] std::size_t RxQueued() const;
  // Adds events for the event wait. Like a real port, events that occur
  // while no wait is pending are ORed into one set, which the next wait
  // returns (ANDed with the mask); dropped while no port is open with a
  // non-zero mask.
  void PushEvents(std::uint32_t events);
  // The modem status the next status read returns; raises no event.
  void SetModemStatus(std::uint32_t status);
  // The modem input lines change to `status` (kMS_* bits), as on a real
  // port: the status read returns it, and the change raises its events
  // (ModemChangeEvents) for a waiter.
  void ChangeModemLines(std::uint32_t status);
  void SetTxQueued(std::uint32_t count);
  // Called with every write, break change, open and close, outside the
  // fake's lock, so it may call PushRx / PushEvents.
  void SetDeviceHook(DeviceHook hook);
  // Everything written so far, concatenated.
  [[nodiscard]] std::string Written() const;
  [[nodiscard]] bool BreakOn() const;
  [[nodiscard]] bool IsOpen() const;
  [[nodiscard]] std::string OpenDevice() const;
  [[nodiscard]] std::uint32_t Mask() const;
  [[nodiscard]] bool Dtr() const;
  [[nodiscard]] bool Rts() const;
  [[nodiscard]] std::uint32_t OpenCount() const;
  // The events the component said could reach a handler (all after open).
  [[nodiscard]] std::uint32_t Interest() const;

  // Blocks up to `timeout` until `count` event waits have been entered in
  // total (failed ones included) and one of them is blocked now; true if so.
  bool WaitForWaiter(std::size_t count, std::chrono::milliseconds timeout) const;
  [[nodiscard]] std::size_t WaitsEntered() const;

 private:
  // Under the lock: the scripted failure of this use of `name`, if any.
  std::int32_t Scripted(const std::string& name);
  std::int32_t CheckHandle(PortHandle h) const;
  void Record(Call call, std::int32_t result);
  void Notify(const DeviceEvent& event);

  struct Failure {
    std::string name;
    std::int32_t code;
    int skip;   // uses to let pass first
    int times;  // uses to fail; -1 for always
  };

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
  std::set<std::string> unrecorded_;
  std::vector<Failure> failures_;
  bool reportsRefusedBreak_ = false;
  std::map<std::int32_t, std::string> errorTexts_;
  std::set<std::string> devices_;
  std::string openDevice_;
  PortHandle openHandle_ = kInvalidPortHandle;
  PortHandle nextHandle_ = 100;
  std::uint32_t openCount_ = 0;
  std::deque<std::uint8_t> rx_;
  std::uint64_t received_ = 0;  // bytes pushed in total
  ReceivedEdge receivedEdge_;
  bool rxRaisesEvent_ = true;
  std::uint32_t pendingEvents_ = 0;  // events since the last wait, ORed
  PortEventMask events_;
  std::uint32_t interest_ = 0xFFFFFFFFU;
  std::uint32_t modemStatus_ = 0;
  std::uint32_t txQueued_ = 0;
  bool breakOn_ = false;
  bool dtr_ = false;
  bool rts_ = false;
  std::string written_;
  std::size_t waitsEntered_ = 0;
  std::size_t waitersNow_ = 0;
  DeviceHook hook_;
};
