#pragma once
// The Win32 platform's records: the system's line-setting records mapped
// from the component's, event objects, overlapped operations and the place
// where operations a driver has not completed are kept.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/win32/Win32Comm.h"

namespace win32 {

DCB ToSystem(const comm::DCB& in);
COMMTIMEOUTS ToSystem(const comm::COMMTIMEOUTS& in);
comm::COMSTAT FromSystem(const COMSTAT& in);

// The system's UTF-16 text as UTF-8, the component's encoding.
std::string Utf8(const std::wstring& text);

// An event object owned by its holder.
class Event {
 public:
  explicit Event(bool manualReset)
      : handle_(::CreateEventW(nullptr, manualReset, FALSE, nullptr)) {}
  ~Event() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  [[nodiscard]] HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// One overlapped operation: the record the system writes its outcome into,
// the signal it completes with and the memory it reads or writes. The
// system may write to all of these until it has completed the operation, so
// an operation is only ever freed once it has (see Graveyard).
struct Operation {
  OVERLAPPED ov{};
  Event done{true};
  std::uint8_t byte = 0;              // a read's byte
  std::vector<std::uint8_t> data;     // a write's own copy of the bytes
  DWORD events = 0;                   // an event wait's event set
  bool cancelled = false;             // cancelled by this program
  std::uint64_t abortGeneration = 0;  // the port's purge count at the start

  // Ready for a new start: the record cleared, the signal reset.
  OVERLAPPED* Begin(std::uint64_t generation) {
    ov = OVERLAPPED{};
    ov.hEvent = done.get();
    ::ResetEvent(done.get());
    events = 0;
    cancelled = false;
    abortGeneration = generation;
    return &ov;
  }
  // Whether the system has completed the operation (it signals the event
  // after writing the outcome). Never waits.
  [[nodiscard]] bool Completed() const {
    return ::WaitForSingleObject(done.get(), 0) == WAIT_OBJECT_0;
  }
};

// Operations that were cancelled but that their driver has not completed
// yet. They are kept here, memory and event object alive, until the driver
// completes them; those still pending when the last holder goes are leaked
// on purpose, since the driver may still write into them.
class Graveyard {
 public:
  Graveyard() = default;
  ~Graveyard();
  Graveyard(const Graveyard&) = delete;
  Graveyard& operator=(const Graveyard&) = delete;

  // Frees a completed operation at once, keeps a pending one.
  void Retire(std::unique_ptr<Operation> op);
  // Frees the kept operations that have completed meanwhile.
  void Sweep();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Operation>> kept_;
};

}  // namespace win32
