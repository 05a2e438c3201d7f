#pragma once
// The simulated device on a real pseudo-terminal: the updater opens the
// pty's far end (its slave side) as if it were the serial port.
//
// A session is one opening of the far end: the device's power-on delay
// starts when the far end is opened (a pty carries no break and no power
// signal, so the opening is the closest thing to "the operator switches the
// device on"), and the session ends when the far end is closed again, when
// the device hangs up, or when the simulator is stopped. Each session gets a
// fresh device and ends with a verdict. Openings and closings are taken from
// the kernel's queue of file events on the far end (inotify), not from the
// master's hang-up state, which a quick close and reopen would hide.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tarnsim/Device.h"

namespace tarnsim {

// The near (master) side of a pseudo-terminal in raw mode.
class Pty {
 public:
  // Throws std::system_error when no pty can be had.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }
  // The far end's device path, e.g. /dev/pts/3.
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  // Whether anyone holds the far end open now.
  [[nodiscard]] bool FarEndOpen() const;
  // Hangs up: the far end reads end of line / gets an error from then on.
  void Close();

  // Openings and closings of the far end, queued by the kernel in the order
  // they happened, so that a close followed at once by a new open is never
  // missed. EventFd() becomes readable when some are pending.
  enum class FarEnd : std::uint8_t { Opened, Closed, Lost };  // Lost: the queue overflowed
  [[nodiscard]] int EventFd() const { return events_; }
  std::vector<FarEnd> TakeFarEndEvents();

 private:
  int fd_ = -1;
  int events_ = -1;
  std::string path_;
};

// One chunk of bytes that crossed the line, with the time it was read or written.
struct TraceEvent {
  Nanos at;
  bool fromDevice = false;
  std::string bytes;
};

struct ServeOptions {
  DeviceOptions device;
  // Return once the first session has ended.
  bool once = false;
  std::function<void(std::string_view)> log;
  std::function<void(const Verdict&)> sessionEnded;
  std::function<void(const TraceEvent&)> trace;
};

enum class ServeEnd : std::uint8_t { Stopped, SessionEnded, HungUp, Failed };

// The steady clock as device time.
Nanos SteadyNow();

// Plays the device on `pty` until `stopFd` becomes readable, the device
// hangs up (the pty is closed then), or, with `once`, the first session has
// ended. Failed: the pty broke in a way no session explains.
ServeEnd Serve(Pty& pty, const ServeOptions& options, int stopFd);

// The device on a pty, served by a thread of its own: for tests and tools
// that run the updater in the same process.
class PtySimulator {
 public:
  explicit PtySimulator(DeviceOptions options);
  ~PtySimulator();
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  [[nodiscard]] const std::string& Path() const { return pty_.Path(); }

  // Waits at most `timeout` until `count` sessions have ended; returns the
  // verdicts of all sessions ended so far.
  std::vector<Verdict> WaitForVerdicts(std::size_t count, std::chrono::milliseconds timeout);
  [[nodiscard]] std::vector<std::string> Log() const;
  [[nodiscard]] std::vector<TraceEvent> Trace() const;
  // Ends the serving thread (a session under way ends with a verdict).
  void Stop();

 private:
  Pty pty_;
  int stopFd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Verdict> verdicts_;
  std::vector<std::string> log_;
  std::vector<TraceEvent> trace_;
  std::thread thread_;
};

}  // namespace tarnsim
