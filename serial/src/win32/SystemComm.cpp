// The system's implementation of IWin32Comm: each call is the system's own,
// its failure taken from GetLastError at once.
#include "serial/win32/Win32Comm.h"

namespace {

DWORD Outcome(BOOL ok) {
  return ok ? 0 : ::GetLastError();
}

class SystemComm final : public IWin32Comm {
 public:
  SystemComm() {
    // Power requests (Windows 7 and later) are looked up by name, so the
    // program starts on a system that lacks them; there the thread's
    // execution state is used.
    if (const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
      create_ = reinterpret_cast<CreateRequest>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerCreateRequest")));
      set_ = reinterpret_cast<ChangeRequest>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerSetRequest")));
      clear_ = reinterpret_cast<ChangeRequest>(
          reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerClearRequest")));
    }
  }

  HANDLE CreateFile(const std::wstring& device, DWORD& error) override {
    const HANDLE file = ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    error = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    return file;
  }
  DWORD CloseHandle(HANDLE file) override { return Outcome(::CloseHandle(file)); }
  DWORD SetupComm(HANDLE file, DWORD rx, DWORD tx) override {
    return Outcome(::SetupComm(file, rx, tx));
  }
  DWORD GetCommState(HANDLE file, DCB& dcb) override { return Outcome(::GetCommState(file, &dcb)); }
  DWORD SetCommState(HANDLE file, const DCB& dcb) override {
    DCB copy = dcb;
    return Outcome(::SetCommState(file, &copy));
  }
  DWORD SetCommTimeouts(HANDLE file, const COMMTIMEOUTS& timeouts) override {
    COMMTIMEOUTS copy = timeouts;
    return Outcome(::SetCommTimeouts(file, &copy));
  }
  DWORD EscapeCommFunction(HANDLE file, DWORD function) override {
    return Outcome(::EscapeCommFunction(file, function));
  }
  DWORD SetCommMask(HANDLE file, DWORD mask) override { return Outcome(::SetCommMask(file, mask)); }
  DWORD PurgeComm(HANDLE file, DWORD flags) override { return Outcome(::PurgeComm(file, flags)); }
  DWORD ClearCommError(HANDLE file, DWORD& errors, COMSTAT& stat) override {
    return Outcome(::ClearCommError(file, &errors, &stat));
  }
  DWORD SetCommBreak(HANDLE file) override { return Outcome(::SetCommBreak(file)); }
  DWORD ClearCommBreak(HANDLE file) override { return Outcome(::ClearCommBreak(file)); }
  DWORD GetCommModemStatus(HANDLE file, DWORD& status) override {
    return Outcome(::GetCommModemStatus(file, &status));
  }
  DWORD WaitCommEvent(HANDLE file, DWORD* events, OVERLAPPED* ov) override {
    return Outcome(::WaitCommEvent(file, events, ov));
  }
  DWORD ReadFile(HANDLE file, void* buffer, DWORD length, OVERLAPPED* ov) override {
    return Outcome(::ReadFile(file, buffer, length, nullptr, ov));
  }
  DWORD WriteFile(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* ov) override {
    return Outcome(::WriteFile(file, buffer, length, nullptr, ov));
  }
  DWORD GetOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD& count) override {
    count = 0;
    return Outcome(::GetOverlappedResult(file, ov, &count, FALSE));
  }
  DWORD CancelIoEx(HANDLE file, OVERLAPPED* ov) override { return Outcome(::CancelIoEx(file, ov)); }

  std::wstring FormatMessage(DWORD code) override {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result;
    if (length != 0 && text != nullptr) result.assign(text, length);
    if (text != nullptr) ::LocalFree(text);
    return result;
  }

  HANDLE StayAwake() override {
    if (create_ != nullptr && set_ != nullptr) {
      REASON_CONTEXT reason{};
      reason.Version = POWER_REQUEST_CONTEXT_VERSION;
      reason.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
      wchar_t text[] = L"TarnUp is writing firmware into a device";
      reason.Reason.SimpleReasonString = text;
      const HANDLE request = create_(&reason);
      if (request != INVALID_HANDLE_VALUE && request != nullptr) {
        if (set_(request, PowerRequestSystemRequired)) return request;
        ::CloseHandle(request);
      }
    }
    // The calling thread's state; ended by the same thread's EndStayAwake,
    // which is the owner's thread that opens and closes the port.
    if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) return nullptr;
    return ThreadState();
  }

  void EndStayAwake(HANDLE request) override {
    if (request == nullptr) return;
    if (request == ThreadState()) {
      ::SetThreadExecutionState(ES_CONTINUOUS);
      return;
    }
    if (clear_ != nullptr) clear_(request, PowerRequestSystemRequired);
    ::CloseHandle(request);
  }

 private:
  using CreateRequest = HANDLE(WINAPI*)(PREASON_CONTEXT);
  using ChangeRequest = BOOL(WINAPI*)(HANDLE, POWER_REQUEST_TYPE);
  // Stands for "the thread's execution state" among request handles: the
  // address of this object is no handle.
  HANDLE ThreadState() { return reinterpret_cast<HANDLE>(this); }

  CreateRequest create_ = nullptr;
  ChangeRequest set_ = nullptr;
  ChangeRequest clear_ = nullptr;
};

}  // namespace

std::shared_ptr<IWin32Comm> MakeSystemComm() {
  return std::make_shared<SystemComm>();
}
