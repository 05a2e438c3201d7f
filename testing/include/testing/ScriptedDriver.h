#pragma once
// A Windows serial driver played behind the Win32 platform's system calls:
// one port, "COM1", whose behaviour the test scripts. It completes
// transfers as the system does (outcome written, then the event signalled),
// refuses calls with the codes it is given, rewrites the settings it reads
// back, ends waits by itself, and can hold on to a cancelled transfer
// until the test completes it, long after the platform let go of it.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/win32/Win32Comm.h"

class ScriptedDriver final : public IWin32Comm {
 public:
  // Calls fail with `code` from now on (by their system name, for example
  // "ReadFile", "SetCommBreak"; "Completion" fails every pending and later
  // transfer and wait at its end); 0 makes the call work again.
  void Fail(const std::string& call, DWORD code);
  void Heal();
  // What the driver makes of the settings it is given, on read-back.
  void RewriteSettings(std::function<void(DCB&)> rewrite);
  // A read with nothing received stays pending until a byte comes (as under
  // Wine) instead of completing with nothing.
  void ReadsWaitForData(bool wait);
  // Cancels of pending transfers and waits are ignored: the operations stay
  // pending until CompleteLate.
  void NeverCompleteCancels(bool never);
  // Writes stay pending (a line held up by flow control).
  void HoldWrites(bool hold);
  // The pending event wait (else the next one) ends with this code
  // although nobody cancelled it.
  void EndWaitWith(DWORD code);

  // Bytes from the device; they complete a pending read, and a pending wait
  // for EV_RXCHAR.
  void Receive(const std::string& bytes);

  // Completes every operation still pending, as a driver that lets go late
  // does: its byte and outcome written into the records the platform gave
  // it. Returns how many there were; `alive` counts those whose event
  // object was still open, which is what the platform frees with a record.
  std::size_t CompleteLate(std::size_t& alive);
  // Whether every event object of the operations completed by CompleteLate
  // has been closed since (their records freed).
  bool LateRecordsFreed();

  [[nodiscard]] std::size_t Calls(const std::string& call);
  [[nodiscard]] std::string Written();
  [[nodiscard]] int AwakeRequests();
  [[nodiscard]] std::size_t Pending();

  // IWin32Comm
  HANDLE CreateFile(const std::wstring& device, DWORD& error) override;
  DWORD CloseHandle(HANDLE file) override;
  DWORD SetupComm(HANDLE file, DWORD rxQueue, DWORD txQueue) override;
  DWORD GetCommState(HANDLE file, DCB& dcb) override;
  DWORD SetCommState(HANDLE file, const DCB& dcb) override;
  DWORD SetCommTimeouts(HANDLE file, const COMMTIMEOUTS& timeouts) override;
  DWORD EscapeCommFunction(HANDLE file, DWORD function) override;
  DWORD SetCommMask(HANDLE file, DWORD mask) override;
  DWORD PurgeComm(HANDLE file, DWORD flags) override;
  DWORD ClearCommError(HANDLE file, DWORD& errors, COMSTAT& stat) override;
  DWORD SetCommBreak(HANDLE file) override;
  DWORD ClearCommBreak(HANDLE file) override;
  DWORD GetCommModemStatus(HANDLE file, DWORD& status) override;
  DWORD WaitCommEvent(HANDLE file, DWORD* events, OVERLAPPED* ov) override;
  DWORD ReadFile(HANDLE file, void* buffer, DWORD length, OVERLAPPED* ov) override;
  DWORD WriteFile(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* ov) override;
  DWORD GetOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD& count) override;
  DWORD CancelIoEx(HANDLE file, OVERLAPPED* ov) override;
  std::wstring FormatMessage(DWORD code) override;
  HANDLE StayAwake() override;
  void EndStayAwake(HANDLE request) override;

 private:
  enum class Kind { Read, Write, Wait };
  struct PendingOp {
    Kind kind;
    OVERLAPPED* ov;
    std::uint8_t* byte;
    DWORD* events;
    bool cancelled;
  };

  DWORD Scripted(const std::string& call);  // under mutex_
  static void Complete(OVERLAPPED* ov, DWORD code, DWORD count);
  void ServeLocked();  // completes what received bytes allow, under mutex_

  std::mutex mutex_;
  std::map<std::string, std::size_t> calls_;
  std::map<std::string, DWORD> failures_;
  std::function<void(DCB&)> rewrite_;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  bool open_ = false;
  bool readsWait_ = false;
  bool neverCompleteCancels_ = false;
  bool holdWrites_ = false;
  DWORD endWaitWith_ = 0;
  std::deque<std::uint8_t> rx_;
  std::string written_;
  std::vector<PendingOp> pending_;
  std::vector<HANDLE> lateEvents_;
  int awake_ = 0;
};
