#pragma once
// TSerial: a non-visual component that owns one serial port. It opens and
// closes the port by number, applies the line settings, sends text, takes
// received bytes one at a time without waiting, sets the break condition and
// the modem output lines, and reports platform failures as NotifyErrors says.
// Its event thread (TEventThread) turns port events into the On* events,
// always run on the owner's thread through ISerialOwner::HandOver.
//
// Every public operation is called on the owner's thread. The component
// raises no exceptions; failed platform calls set ErrorCode.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serial/SerialOwner.h"
#include "serial/SerialPlatform.h"

enum eParity : std::uint8_t { paNone = 0, PaOdd = 1, paEven = 2, paMark = 3, paSpace = 4 };
enum eDataBits : std::uint8_t { d7bit = 0, d8bit = 1 };
enum eStopBits : std::uint8_t { st1bit = 0, st2bit = 1 };
enum eFlowControl : std::uint8_t { fcNone = 0, fcRTS_CTS = 1, fcDTR_DSR = 2, fcXON_XOF = 3 };
enum eOpModes : std::uint8_t { rxNormal = 0, rxMessage = 1 };
enum eNotifyErr : std::uint8_t { neDialog = 0, neEvent = 1, neNone = 2 };
enum eModemInSignal : std::uint8_t { msCTS = 0, msDSR = 1, msRLSD = 2 };
enum eModemOutSignal : std::uint8_t { osRTS = 0, osDTR = 1 };

// Port number, 1..9 (not checked by the setter).
using sPorts = std::uint8_t;

class TSerial;
class TEventThread;

using TNotifyEvent = std::function<void(TSerial& Sender)>;
using TRxMessageEvent = std::function<void(TSerial& Sender, std::string RxMessage)>;
using TSignalChangeEvent =
    std::function<void(TSerial& Sender, eModemInSignal Signal, bool SignalState)>;
using TWriteCompletedEvent = std::function<void()>;

// A handler slot: assigned on the owner's thread, looked at by the event
// thread, so it is guarded. An empty slot is skipped.
template <typename F>
class TEventSlot {
 public:
  TEventSlot() = default;
  TEventSlot(const TEventSlot&) = delete;
  TEventSlot& operator=(const TEventSlot&) = delete;

  TEventSlot& operator=(F handler) {
    {
      std::lock_guard lock(mutex_);
      handler_ = std::move(handler);
    }
    if (changed_) changed_();
    return *this;
  }
  TEventSlot& operator=(std::nullptr_t) {
    {
      std::lock_guard lock(mutex_);
      handler_ = nullptr;
    }
    if (changed_) changed_();
    return *this;
  }
  // Called on the assigning thread after every assignment (the component
  // uses it to tell the platform which events could reach a handler). Set
  // once, before the slot is used.
  void SetChangedHook(std::function<void()> hook) { changed_ = std::move(hook); }
  [[nodiscard]] bool Assigned() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
  }
  explicit operator bool() const { return Assigned(); }
  [[nodiscard]] F Get() const {
    std::lock_guard lock(mutex_);
    return handler_;
  }

 private:
  mutable std::mutex mutex_;
  F handler_;
  std::function<void()> changed_;
};

class TSerial {
 public:
  // The eleven baud rates the component accepts.
  static constexpr std::int32_t kValidBaudrates[] = {300,   600,   1200,  2400,  4800,  9600,
                                                     14400, 19200, 38400, 57600, 115200};
  // The event mask set on every open.
  static constexpr std::uint32_t kEventMask =
      kEV_RXCHAR | kEV_TXEMPTY | kEV_CTS | kEV_DSR | kEV_RLSD | kEV_BREAK | kEV_RING;  // 0x017D

  TSerial(ISerialOwner& owner, std::shared_ptr<ISerialPlatform> platform);
  // Closes the port if open, stops the event thread and waits for it to end.
  // Destroyed from inside one of its own handlers, it closes the port at once
  // and lets the event thread end by itself when the handler has returned.
  ~TSerial();
  TSerial(const TSerial&) = delete;
  TSerial& operator=(const TSerial&) = delete;

  // Closes the port if it is open and, if `Value` is true, opens it again.
  // Failures are reported, not raised: read Active() afterwards.
  void SetActive(bool Value);
  [[nodiscard]] bool Active() const { return active_.load(); }

  // Line settings: an equal value does nothing (except the queue sizes),
  // otherwise the value is stored and an open port is closed and reopened.
  [[nodiscard]] sPorts Port() const { return port_; }
  void SetPort(sPorts Value);
  [[nodiscard]] std::int32_t Baudrate() const { return baudrate_; }
  void SetBaudrate(std::int32_t Value);
  [[nodiscard]] eParity Parity() const { return parity_; }
  void SetParity(eParity Value);
  [[nodiscard]] eDataBits DataBits() const { return dataBits_; }
  void SetDataBits(eDataBits Value);
  [[nodiscard]] eStopBits StopBits() const { return stopBits_; }
  void SetStopBits(eStopBits Value);
  [[nodiscard]] std::uint16_t RxQueueSize() const { return rxQueueSize_; }
  void SetRxQueueSize(std::uint16_t Value);
  [[nodiscard]] std::uint16_t TxQueueSize() const { return txQueueSize_; }
  void SetTxQueueSize(std::uint16_t Value);
  [[nodiscard]] eFlowControl FlowMode() const { return flowMode_; }
  void SetFlowMode(eFlowControl Value);
  [[nodiscard]] bool CheckParity() const { return checkParity_; }
  void SetCheckParity(bool Value);

  // Queue counts; 0 without any platform call while the port is closed.
  std::int32_t GetRxWaiting();
  std::int32_t GetTxWaiting();

  // Directly stored properties: they never touch the port; the event thread
  // reads them as it goes.
  [[nodiscard]] eOpModes RxEventMode() const { return rxEventMode_.load(); }
  void SetRxEventMode(eOpModes Value) { rxEventMode_.store(Value); }
  [[nodiscard]] std::uint8_t MessageStartChar() const { return messageStartChar_.load(); }
  void SetMessageStartChar(std::uint8_t Value) { messageStartChar_.store(Value); }
  [[nodiscard]] std::uint8_t MessageEndChar() const { return messageEndChar_.load(); }
  void SetMessageEndChar(std::uint8_t Value) { messageEndChar_.store(Value); }
  [[nodiscard]] std::uint16_t MessageAppendCount() const { return messageAppendCount_.load(); }
  void SetMessageAppendCount(std::uint16_t Value) { messageAppendCount_.store(Value); }
  [[nodiscard]] eNotifyErr NotifyErrors() const { return notifyErrors_.load(); }
  void SetNotifyErrors(eNotifyErr Value) { notifyErrors_.store(Value); }

  // The platform's code of the last failure; 0 until the first one.
  [[nodiscard]] std::int32_t ErrorCode() const { return errorCode_.load(); }

  // Sends the characters of S unchanged, nothing appended. Blocks at most
  // about 1000 ms. Does nothing on a closed port.
  void WriteString(std::string_view S);
  // Takes one received byte without waiting for data: returns 1 and sets B,
  // or returns 0 and leaves B as it was (always 0 on a closed port).
  std::int32_t ReadByte(std::uint8_t& B);
  // Sets or clears the break condition; one platform call per change. The
  // state outlives closing and opening. On a closed port it does nothing.
  // Where the platform reports a refused break, a refusal is reported and
  // leaves BreakState() false.
  void SetBreak(bool Value);
  [[nodiscard]] bool BreakState() const { return breakState_; }
  // Raises or drops RTS or DTR; whether the platform accepted the change.
  bool SetModemLine(eModemOutSignal Line, bool State);

  // Events, run on the owner's thread; Sender is this component.
  TEventSlot<TNotifyEvent> OnRxData;
  TEventSlot<TNotifyEvent> OnTxEmpty;
  TEventSlot<TRxMessageEvent> OnMessage;
  TEventSlot<TNotifyEvent> OnError;
  TEventSlot<TNotifyEvent> OnBreak;
  TEventSlot<TNotifyEvent> OnRing;
  TEventSlot<TSignalChangeEvent> OnSignalChange;
  TEventSlot<TWriteCompletedEvent> OnWriteCompleted;  // declared, never raised

  // The modem input states last read by the event thread.
  [[nodiscard]] bool CtsState() const { return ctsState_.load(); }
  [[nodiscard]] bool DsrState() const { return dsrState_.load(); }
  [[nodiscard]] bool RlsdState() const { return rlsdState_.load(); }

  // Whether the event thread has been started (by the first successful open).
  [[nodiscard]] bool EventThreadStarted() const;

  // The events of the mask that could reach a handler now: received
  // characters always (the owner's waits are woken by that hand-over), the
  // others only while their handler is assigned. The platform polls only for
  // these, so a port without signal, break or ring handlers is not sampled.
  [[nodiscard]] std::uint32_t EventInterest() const;

  // The device-control and time-out records as last filled.
  [[nodiscard]] const comm::DCB& DeviceControl() const { return dcb_; }
  [[nodiscard]] const comm::COMMTIMEOUTS& Timeouts() const { return timeouts_; }

 private:
  friend class TEventThread;

  void SetupPort(bool Open);
  void ApplyLineSettings();
  void StartEvents();
  void UpdateStatus();
  // Reports a failure of `operation` as NotifyErrors says. A failure of the
  // same kind with the same code that was already reported for the port as
  // it is now open sets ErrorCode but is not shown or raised again: a port
  // whose device has gone fails every poll, and each failure would otherwise
  // be a box of its own.
  void ReportError(std::int32_t code, PortOperation operation);
  void ShowError(std::int32_t code, PortOperation operation);
  void ShowText(const std::string& text);
  void HandlersChanged();
  [[nodiscard]] std::string PortName() const;
  // A one-byte read that returns its failure instead of reporting it, for the
  // event thread, which hands its reports over.
  std::int32_t ReadByteRaw(std::uint8_t& B, std::int32_t& error);

  ISerialOwner& owner_;
  std::shared_ptr<ISerialPlatform> platform_;

  sPorts port_ = 1;
  std::int32_t baudrate_ = 9600;
  eParity parity_ = paNone;
  eDataBits dataBits_ = d7bit;
  eStopBits stopBits_ = st1bit;
  std::uint16_t rxQueueSize_ = 1024;
  std::uint16_t txQueueSize_ = 1024;
  eFlowControl flowMode_ = fcNone;
  bool checkParity_ = true;

  std::atomic<eOpModes> rxEventMode_{rxNormal};
  std::atomic<std::uint8_t> messageStartChar_{2};
  std::atomic<std::uint8_t> messageEndChar_{3};
  std::atomic<std::uint16_t> messageAppendCount_{0};
  std::atomic<eNotifyErr> notifyErrors_{neDialog};
  std::atomic<std::int32_t> errorCode_{0};

  std::atomic<bool> active_{false};
  std::atomic<PortHandle> handle_{kInvalidPortHandle};
  std::atomic<bool> inWait_{false};
  std::atomic<bool> ctsState_{false};
  std::atomic<bool> dsrState_{false};
  std::atomic<bool> rlsdState_{false};
  bool breakState_ = false;

  comm::DCB dcb_;
  comm::COMMTIMEOUTS timeouts_;
  comm::COMSTAT comStat_;

  // Message framing state, written by the event thread only.
  std::uint8_t msgState_ = 0;  // 0 idle, 1 collecting, 2 appending, 3 complete
  std::uint16_t msgCountdown_ = 0;
  std::string msgText_;

  // Owner's thread only: the failures reported since the port was opened,
  // the name of the port they belong to, and the texts of the boxes up now.
  std::vector<std::pair<PortOperation, std::int32_t>> reported_;
  // The texts of the failure boxes shown since the opening: a text is shown
  // once per opening, whichever operations fail with it.
  std::vector<std::string> shownTexts_;
  std::string reportName_;
  std::vector<std::string> boxesUp_;
  bool closingInHandler_ = false;

  std::unique_ptr<TEventThread> eventThread_;
};
