#pragma once
// Every system call the Win32 platform makes on a port, as one narrow
// interface. The program's implementation (MakeSystemComm) passes each call
// straight to the system; a test can put a scripted driver in its place and
// play what Windows drivers do: complete, refuse, end transfers with the
// codes of a pulled adapter, rewrite the line settings, or never complete a
// cancelled transfer.
//
// Each call returns the system's error code (0 for success) instead of
// leaving it for GetLastError. An overlapped call returns 0 when it has
// completed at once, ERROR_IO_PENDING when it is in progress, or its
// failure. A pending operation completes as the system's do: its record's
// results are written, then its event is signalled. GetOverlappedResult
// never waits: it returns ERROR_IO_INCOMPLETE while the operation is still
// pending, so no call can hang on a driver that never completes one.
//
// The system's records (DCB, COMMTIMEOUTS, COMSTAT) are the ones of
// <windows.h>; the component's records of the same names are comm::DCB,
// comm::COMMTIMEOUTS and comm::COMSTAT, so both sets meet here unchanged.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <string>

#include "serial/SerialPlatform.h"

class IWin32Comm {
 public:
  virtual ~IWin32Comm() = default;

  // CreateFileW(device, GENERIC_READ | GENERIC_WRITE, no sharing, no
  // security, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, no template). The invalid
  // handle value on failure, with `error` set.
  virtual HANDLE CreateFile(const std::wstring& device, DWORD& error) = 0;
  virtual DWORD CloseHandle(HANDLE file) = 0;

  virtual DWORD SetupComm(HANDLE file, DWORD rxQueue, DWORD txQueue) = 0;
  virtual DWORD GetCommState(HANDLE file, DCB& dcb) = 0;
  virtual DWORD SetCommState(HANDLE file, const DCB& dcb) = 0;
  virtual DWORD SetCommTimeouts(HANDLE file, const COMMTIMEOUTS& timeouts) = 0;
  virtual DWORD EscapeCommFunction(HANDLE file, DWORD function) = 0;
  virtual DWORD SetCommMask(HANDLE file, DWORD mask) = 0;
  virtual DWORD PurgeComm(HANDLE file, DWORD flags) = 0;
  virtual DWORD ClearCommError(HANDLE file, DWORD& errors, COMSTAT& stat) = 0;
  virtual DWORD SetCommBreak(HANDLE file) = 0;
  virtual DWORD ClearCommBreak(HANDLE file) = 0;
  virtual DWORD GetCommModemStatus(HANDLE file, DWORD& status) = 0;

  // Overlapped calls: `ov` and what it refers to stay alive until the
  // operation has completed.
  virtual DWORD WaitCommEvent(HANDLE file, DWORD* events, OVERLAPPED* ov) = 0;
  virtual DWORD ReadFile(HANDLE file, void* buffer, DWORD length, OVERLAPPED* ov) = 0;
  virtual DWORD WriteFile(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* ov) = 0;
  // The outcome of a completed operation and its byte count; never waits.
  virtual DWORD GetOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD& count) = 0;
  virtual DWORD CancelIoEx(HANDLE file, OVERLAPPED* ov) = 0;

  // The system's description of a code (FormatMessageW, system message
  // table, default language), empty when it has none.
  virtual std::wstring FormatMessage(DWORD code) = 0;

  // Keeps the system from sleeping until the request is ended; a request
  // that could not be made is null.
  virtual HANDLE StayAwake() = 0;
  virtual void EndStayAwake(HANDLE request) = 0;
};

// The system's own calls.
std::shared_ptr<IWin32Comm> MakeSystemComm();

class IWindowsPortSources;

// The Win32 platform over `comm` (MakeWin32Platform() uses the system's),
// naming the serial ports `ports` lists where a port leads nowhere (null:
// the system's lists).
std::shared_ptr<ISerialPlatform> MakeWin32Platform(
    std::shared_ptr<IWin32Comm> comm, std::shared_ptr<IWindowsPortSources> ports = nullptr);
