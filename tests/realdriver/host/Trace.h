#pragma once
// What the emulated hardware of one serial line saw, from QEMU's trace
// events, and the checks of one update run on it.
//
// 16550A UART (serial_read / serial_write / serial_update_parameters): the
// registers by offset: LCR (3) gives data bits, stop bits, parity, the break
// bit and the divisor latch; DLL/DLM (0/1 with the latch open) the divisor;
// MCR (4) DTR and RTS; every read of MSR (6) is one look at the modem lines.
// FTDI chip (usb_serial_handle_control / usb_serial_set_baud): the vendor
// requests SET_MODEM_CTRL (0x4001: DTR, RTS with their mask bits), SET_DATA
// (0x4004: data bits, parity, stop bits, break bit 14), SET_LATENCY (0x4009)
// and GET_MODEM_STATUS (0xc005), the only modem-status request the host
// makes (the chip's own status bytes in every bulk-in packet are not
// requests).
//
// One update run on a line is a session: it begins when the updater sets the
// break and ends when DTR or RTS drops, or when the adapter is unplugged.
// Openings without a break (the guest's own look at the serial flags) are
// not sessions. Each session is judged as the run the scenario planned for
// it (a full update, a silent device, Esc in the power wait, an unplug).

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnsim/Device.h"

namespace realdriver {

using tarnsim::Nanos;

enum class LineKind : std::uint8_t { Uart, Ftdi };

// What a trace line changed on this line, for the simulated device.
enum class Change : std::uint8_t { None, BreakOn, BreakOff, Closed };

// What one planned run does, and so what its session must show.
enum class RunKind : std::uint8_t {
  Pass,          // a full update
  Silent,        // the device stops answering after kSilentAfterBlocks blocks
  Esc,           // the device is never switched on; Esc in the power wait
  UnplugPower,   // the adapter is pulled during the power wait
  UnplugBlocks,  // the adapter is pulled after kUnplugAfterBlocks blocks
};
inline constexpr int kSilentAfterBlocks = 5;
inline constexpr int kUnplugAfterBlocks = 50;

const char* RunKindName(RunKind kind);
// Whether the adapter is pulled in a run of this kind.
bool Unplugs(RunKind kind);
// Whether the device is switched on in a run of this kind.
bool PowersOn(RunKind kind);
std::optional<RunKind> ParseRunKind(std::string_view name);

// One planned run: the port (1 or 2) and what happens in it.
struct PlannedRun {
  unsigned port = 0;
  RunKind kind = RunKind::Pass;
};
// "COM1:pass,COM2:unplug-power,...": nullopt when a part is not understood.
std::optional<std::vector<PlannedRun>> ParseRuns(std::string_view text);

// Which updater the guest runs: the static Linux one or tarnup.exe under
// Wine. Some checks differ: Wine samples the modem lines itself every
// millisecond while it waits for port events, so modem-line looks are a
// figure there, not a check.
enum class Build : std::uint8_t { Linux, Windows };

struct Settings {
  std::uint64_t baud = 0;
  unsigned divisor = 0;  // UART only
  int dataBits = 0;
  int stopBits = 0;
  bool parity = false;
  bool dtr = false;
  bool rts = false;
  int latencyMs = -1;  // FTDI only; -1 unknown
};

struct Session {
  RunKind kind = RunKind::Pass;
  Nanos breakOnAt{0};
  std::optional<Nanos> spaceAt;
  std::optional<Nanos> breakOffAt;
  std::optional<Nanos> closedAt;
  bool unplugged = false;  // closedAt is when the adapter was pulled
  Settings atBreak;
  int latencyAtOpen = -1;
  int latencyAtEnd = -1;
  bool bothDropped = false;
  std::vector<Nanos> modemLooks;  // during the power wait
  std::size_t transferLooks = 0;  // from the space to the close
  std::optional<tarnsim::Verdict> verdict;
  std::size_t bytesFromGuest = 0;
  // Turnaround per line: from an acknowledge leaving the device to the
  // first byte of the next line arriving, in milliseconds.
  std::vector<double> turnarounds;
  std::optional<Nanos> ackAt;
  std::vector<std::string> failures;
};

class LineTrace {
 public:
  LineTrace(LineKind kind, Build build) : kind_(kind), build_(build) {}

  // The runs planned on this line, in order; each new session takes the
  // next one's kind.
  void Plan(std::vector<RunKind> kinds) { planned_ = std::move(kinds); }
  // The kind of the session running now, or of the next one.
  [[nodiscard]] RunKind CurrentKind() const;

  // One line of QEMU's trace output; lines of other devices change nothing.
  Change Feed(const std::string& text, Nanos now);
  // The device's space left for the guest at `now`.
  void MarkSpace(Nanos now);
  // The session that just closed: the device's verdict.
  void EndSession(const tarnsim::Verdict& verdict, std::optional<Nanos> spaceAt);
  void CountFromGuest(std::size_t bytes, Nanos now);
  // An acknowledge left the device at `now`.
  void MarkAck(Nanos now);
  // The adapter was pulled at `now`: the session ends with it.
  void Unplug(Nanos now);
  // A failure seen by the host while the session runs.
  void Fail(const std::string& what);

  [[nodiscard]] bool BreakOn() const { return breakOn_; }
  [[nodiscard]] const std::vector<Session>& Sessions() const { return sessions_; }

  // Prints the figures and the checks of every session; true when all pass
  // and the sessions are the runs planned.
  bool Report(std::FILE* out);

 private:
  void Uart(bool write, unsigned addr, unsigned value, Nanos now, Change& change);
  void Ftdi(unsigned request, unsigned value, Nanos now, Change& change);
  void SetBreak(bool on, Nanos now, Change& change);
  void SetModem(bool dtr, bool rts, Nanos now, Change& change);
  void ModemLook(Nanos now);

  LineKind kind_;
  Build build_;
  std::vector<RunKind> planned_;
  Settings now_;
  bool breakOn_ = false;
  unsigned lcr_ = 0;
  bool loop_ = false;  // UART in loopback: the driver probing the chip
  unsigned dll_ = 0;
  unsigned dlm_ = 0;
  int latencyAtDtr_ = -1;
  std::vector<Session> sessions_;
  bool inSession_ = false;  // the last session has not closed yet
};

// Median and 99th percentile of a set of figures; nullopt when empty.
struct Spread {
  double median = 0;
  double p99 = 0;
  double max = 0;
};
std::optional<Spread> SpreadOf(std::vector<double> values);

// The checks of the guest's report lines (mapping, flags, outcomes of the
// planned runs, boxes); prints them and returns true when all pass.
bool JudgeGuestReport(const std::vector<std::string>& lines, const std::vector<PlannedRun>& runs,
                      Build build, std::FILE* out = stdout);

}  // namespace realdriver
