#include "Trace.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <map>
#include <sstream>

namespace realdriver {

namespace {

double Seconds(Nanos d) {
  return std::chrono::duration<double>(d).count();
}

const char* Mark(bool ok) {
  return ok ? "ok" : "FAIL";
}

// At most this many looks at the modem lines during the power wait: one
// baseline when the wait begins (and one more when it is entered anew) is a
// sample, not polling.
constexpr std::size_t kMaxModemLooks = 2;

// FTDI vendor requests, as QEMU reports them (request type << 8 | request).
constexpr unsigned kSetModemCtrl = 0x4001;
constexpr unsigned kSetData = 0x4004;
constexpr unsigned kSetLatency = 0x4009;
constexpr unsigned kGetModemStatus = 0xc005;

constexpr std::array<std::pair<RunKind, const char*>, 5> kKindNames = {{
    {RunKind::Pass, "pass"},
    {RunKind::Silent, "silent"},
    {RunKind::Esc, "esc"},
    {RunKind::UnplugPower, "unplug-power"},
    {RunKind::UnplugBlocks, "unplug-blocks"},
}};

// Median and 99th percentile of the turnarounds, printed for a run with
// enough lines to make them mean something.
void PrintTurnaround(std::FILE* out, const std::vector<double>& ms) {
  const auto spread = SpreadOf(ms);
  if (ms.size() < 20 || !spread) return;
  std::fprintf(out,
               "    turnaround per line (acknowledge out -> next line in), %zu lines: median %.2f"
               " ms, p99 %.2f ms, max %.2f ms\n",
               ms.size(), spread->median, spread->p99, spread->max);
}

}  // namespace

std::optional<Spread> SpreadOf(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  return Spread{values[values.size() / 2],
                values[std::min(values.size() - 1, values.size() * 99 / 100)], values.back()};
}

bool Unplugs(RunKind kind) {
  return kind == RunKind::UnplugPower || kind == RunKind::UnplugBlocks;
}

bool PowersOn(RunKind kind) {
  return kind != RunKind::Esc && kind != RunKind::UnplugPower;
}

const char* RunKindName(RunKind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "?";
}

std::optional<RunKind> ParseRunKind(std::string_view name) {
  for (const auto& [k, n] : kKindNames) {
    if (name == n) return k;
  }
  return std::nullopt;
}

std::optional<std::vector<PlannedRun>> ParseRuns(std::string_view text) {
  std::vector<PlannedRun> runs;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const std::size_t colon = part.find(':');
    if (part.size() < 5 || part.substr(0, 3) != "COM" || colon != 4) return std::nullopt;
    const unsigned port = static_cast<unsigned>(part[3] - '0');
    const auto kind = ParseRunKind(part.substr(colon + 1));
    if ((port != 1 && port != 2) || !kind) return std::nullopt;
    runs.push_back({port, *kind});
  }
  if (runs.empty()) return std::nullopt;
  return runs;
}

RunKind LineTrace::CurrentKind() const {
  std::size_t index = sessions_.size();
  if (inSession_ && !sessions_.back().closedAt) --index;
  return index < planned_.size() ? planned_[index] : RunKind::Pass;
}

Change LineTrace::Feed(const std::string& text, Nanos now) {
  Change change = Change::None;
  unsigned a = 0;
  unsigned v = 0;
  std::size_t p = 0;
  if (kind_ == LineKind::Uart) {
    if ((p = text.find("serial_write write addr")) != std::string::npos &&
        std::sscanf(text.c_str() + p, "serial_write write addr 0x%x val 0x%x", &a, &v) == 2) {
      Uart(true, a, v, now, change);
    } else if ((p = text.find("serial_read read addr")) != std::string::npos &&
               std::sscanf(text.c_str() + p, "serial_read read addr 0x%x val 0x%x", &a, &v) == 2) {
      Uart(false, a, v, now, change);
    } else if ((p = text.find("serial_update_parameters baudrate=")) != std::string::npos) {
      std::uint64_t baud = 0;
      if (std::sscanf(text.c_str() + p, "serial_update_parameters baudrate=%" SCNu64, &baud) == 1) {
        now_.baud = baud;
      }
    }
  } else {
    if ((p = text.find("usb_serial_handle_control dev")) != std::string::npos &&
        std::sscanf(text.c_str() + p,
                    "usb_serial_handle_control dev %*d:%*u got control 0x%x, value 0x%x", &a,
                    &v) == 2) {
      Ftdi(a, v, now, change);
    } else if ((p = text.find("usb_serial_set_baud dev")) != std::string::npos) {
      int baud = 0;
      if (std::sscanf(text.c_str() + p, "usb_serial_set_baud dev %*d:%*u baud rate %d", &baud) ==
          1) {
        now_.baud = static_cast<std::uint64_t>(baud);
      }
    }
  }
  return change;
}

void LineTrace::Uart(bool write, unsigned addr, unsigned value, Nanos now, Change& change) {
  constexpr unsigned kDlab = 0x80;
  if (!write) {
    if (addr == 6) ModemLook(now);
    return;
  }
  switch (addr) {
    case 0:
    case 1:
      if ((lcr_ & kDlab) != 0) {
        (addr == 0 ? dll_ : dlm_) = value;
        now_.divisor = dll_ | (dlm_ << 8);
      }
      break;
    case 3:
      lcr_ = value;
      now_.dataBits = static_cast<int>(value & 3) + 5;
      now_.stopBits = (value & 4) != 0 ? 2 : 1;
      now_.parity = (value & 8) != 0;
      SetBreak((value & 0x40) != 0, now, change);
      break;
    case 4:
      // Loopback (bit 4) is the driver probing the chip, not the line.
      loop_ = (value & 0x10) != 0;
      SetModem((value & 1) != 0, (value & 2) != 0, now, change);
      break;
    default:
      break;
  }
}

void LineTrace::Ftdi(unsigned request, unsigned value, Nanos now, Change& change) {
  switch (request) {
    case kSetModemCtrl:
      SetModem((value & 0x100) != 0 ? (value & 1) != 0 : now_.dtr,
               (value & 0x200) != 0 ? (value & 2) != 0 : now_.rts, now, change);
      break;
    case kSetData:
      now_.dataBits = static_cast<int>(value & 0xff);
      now_.parity = ((value >> 8) & 7) != 0;
      now_.stopBits = ((value >> 11) & 3) == 2 ? 2 : 1;
      SetBreak((value & 0x4000) != 0, now, change);
      break;
    case kSetLatency:
      now_.latencyMs = static_cast<int>(value & 0xff);
      break;
    case kGetModemStatus:
      ModemLook(now);
      break;
    default:
      break;
  }
}

void LineTrace::SetBreak(bool on, Nanos now, Change& change) {
  if (on == breakOn_) return;
  breakOn_ = on;
  if (on) {
    // An update run: the port is open (DTR and RTS up) and not probed.
    if (!now_.dtr || !now_.rts || loop_) return;
    if (inSession_ && !sessions_.back().closedAt) return;
    if (inSession_) sessions_.back().latencyAtEnd = latencyAtDtr_;
    Session s;
    s.kind = sessions_.size() < planned_.size() ? planned_[sessions_.size()] : RunKind::Pass;
    s.breakOnAt = now;
    s.atBreak = now_;
    s.latencyAtOpen = latencyAtDtr_;
    sessions_.push_back(s);
    inSession_ = true;
    change = Change::BreakOn;
  } else if (inSession_ && !sessions_.back().closedAt && !sessions_.back().breakOffAt) {
    sessions_.back().breakOffAt = now;
    change = Change::BreakOff;
  }
}

void LineTrace::SetModem(bool dtr, bool rts, Nanos now, Change& change) {
  if (dtr && !now_.dtr) latencyAtDtr_ = now_.latencyMs;
  now_.dtr = dtr;
  now_.rts = rts;
  if (!inSession_) return;
  Session& s = sessions_.back();
  if (!s.closedAt && (!dtr || !rts)) {
    s.closedAt = now;
    change = Change::Closed;
  }
  if (s.closedAt && !dtr && !rts) s.bothDropped = true;
}

void LineTrace::ModemLook(Nanos now) {
  if (!inSession_) return;
  Session& s = sessions_.back();
  if (s.closedAt) return;
  if (s.spaceAt) {
    ++s.transferLooks;
  } else {
    s.modemLooks.push_back(now);
  }
}

void LineTrace::MarkSpace(Nanos now) {
  if (inSession_ && !sessions_.back().spaceAt) sessions_.back().spaceAt = now;
}

void LineTrace::EndSession(const tarnsim::Verdict& verdict, std::optional<Nanos> /*spaceAt*/) {
  if (inSession_) sessions_.back().verdict = verdict;
}

void LineTrace::CountFromGuest(std::size_t bytes, Nanos now) {
  if (!inSession_ || sessions_.back().closedAt) return;
  Session& s = sessions_.back();
  s.bytesFromGuest += bytes;
  if (s.ackAt) {
    s.turnarounds.push_back(std::chrono::duration<double, std::milli>(now - *s.ackAt).count());
    s.ackAt.reset();
  }
}

void LineTrace::MarkAck(Nanos now) {
  if (inSession_ && !sessions_.back().closedAt) sessions_.back().ackAt = now;
}

void LineTrace::Unplug(Nanos now) {
  if (inSession_ && !sessions_.back().closedAt) {
    sessions_.back().closedAt = now;
    sessions_.back().unplugged = true;
  }
  // The adapter that comes back is a new chip in its power-on state.
  now_ = Settings{};
  breakOn_ = false;
  latencyAtDtr_ = -1;
}

void LineTrace::Fail(const std::string& what) {
  if (inSession_) sessions_.back().failures.push_back(what);
}

bool LineTrace::Report(std::FILE* out) {
  bool ok = sessions_.size() == planned_.size();
  if (sessions_.size() != planned_.size()) {
    std::fprintf(out, "  %zu update runs on this line, %zu planned   FAIL\n", sessions_.size(),
                 planned_.size());
  }
  if (inSession_) sessions_.back().latencyAtEnd = now_.latencyMs;
  int n = 0;
  for (const Session& s : sessions_) {
    const bool unplug = Unplugs(s.kind);
    std::fprintf(out, "  run %d (%s):\n", ++n, RunKindName(s.kind));
    const Settings& b = s.atBreak;
    const bool settings = b.baud == 38400 && b.dataBits == 8 && b.stopBits == 2 && !b.parity &&
                          (kind_ == LineKind::Ftdi || b.divisor == 3);
    std::fprintf(out, "    line at the break: %" PRIu64 " baud", b.baud);
    if (kind_ == LineKind::Uart) std::fprintf(out, " (divisor %u)", b.divisor);
    std::fprintf(out, ", %d data bits, %d stop bits, %s   %s\n", b.dataBits, b.stopBits,
                 b.parity ? "parity" : "no parity", Mark(settings));

    // DTR and RTS: up at the break; a full update holds them to the end
    // line; every run but an unplugged one drops both at its close.
    const bool ended = s.verdict && s.verdict->endLineReceived;
    const bool held = s.kind != RunKind::Pass || ended;
    const bool dropped = unplug ? s.unplugged : s.closedAt && s.bothDropped;
    const bool modem = b.dtr && b.rts && held && dropped;
    std::fprintf(out, "    DTR and RTS: %s at the break%s, %s   %s\n",
                 b.dtr && b.rts ? "raised" : "NOT raised",
                 s.kind != RunKind::Pass ? ""
                 : ended                 ? ", held until the end line"
                                         : ", dropped before the end line",
                 unplug          ? (s.unplugged ? "the adapter was pulled with the port open"
                                                : "the adapter was NOT pulled")
                 : s.bothDropped ? "both dropped at close"
                                 : "NOT both dropped at close",
                 Mark(modem));

    bool brk = false;
    if (PowersOn(s.kind)) {
      brk = s.spaceAt && s.breakOffAt && *s.breakOffAt >= *s.spaceAt &&
            (!s.closedAt || *s.breakOffAt <= *s.closedAt);
      if (s.spaceAt && s.breakOffAt) {
        std::fprintf(out,
                     "    break: held %.3f s until the space, released %.3f s after it; \"Q\" sent"
                     " after the release   %s\n",
                     Seconds(*s.spaceAt - s.breakOnAt), Seconds(*s.breakOffAt - *s.spaceAt),
                     Mark(brk));
      } else {
        std::fprintf(
            out, "    break: %s   FAIL\n",
            s.spaceAt ? "never released after the space" : "the device never got its power");
      }
    } else if (unplug) {
      // Nothing of the line can be seen once the adapter is gone.
      brk = !s.breakOffAt || (s.closedAt && *s.breakOffAt <= *s.closedAt);
      std::fprintf(out, "    break: held %.3f s until the adapter was pulled   %s\n",
                   s.closedAt ? Seconds(*s.closedAt - s.breakOnAt) : 0.0, Mark(brk));
    } else {
      brk = s.breakOffAt && s.closedAt && *s.breakOffAt <= *s.closedAt;
      std::fprintf(out, "    break: held %.3f s, %s   %s\n",
                   s.breakOffAt ? Seconds(*s.breakOffAt - s.breakOnAt) : 0.0,
                   brk ? "released before the close" : "NOT released before the close", Mark(brk));
    }

    // Until the space, or for the whole wait when the device stays off.
    const std::optional<Nanos> waitEnd = s.spaceAt ? s.spaceAt : s.closedAt;
    const double wait = waitEnd ? Seconds(*waitEnd - s.breakOnAt) : 0.0;
    const bool quiet = build_ == Build::Windows || s.modemLooks.size() <= kMaxModemLooks;
    std::fprintf(
        out, "    modem-line %s while waiting for power: %zu in %.2f s = %.1f a second   %s\n",
        kind_ == LineKind::Uart ? "status reads (MSR)" : "status requests (GET_MODEM_STATUS)",
        s.modemLooks.size(), wait, wait > 0 ? static_cast<double>(s.modemLooks.size()) / wait : 0.0,
        build_ == Build::Windows ? "(Wine's own sampling in its event wait)" : Mark(quiet));

    bool latency = true;
    if (kind_ == LineKind::Ftdi && !unplug) {
      latency = s.latencyAtOpen >= 0 && s.latencyAtEnd == s.latencyAtOpen;
      std::fprintf(out,
                   "    latency timer: %d ms before the run, %d ms during it, %d ms after   %s\n",
                   s.latencyAtOpen, b.latencyMs, s.latencyAtEnd, Mark(latency));
    }

    bool device = false;
    if (s.verdict) {
      const tarnsim::Verdict& v = *s.verdict;
      std::istringstream verdict(tarnsim::FormatVerdict(v));
      std::string textLine;
      while (std::getline(verdict, textLine))
        std::fprintf(out, "    device %s\n", textLine.c_str());
      const bool intact = !v.violation && v.linesAccepted == v.linesReceived;
      switch (s.kind) {
        case RunKind::Pass:
          device = v.Passed();
          break;
        case RunKind::Silent:
          // The line after the last acknowledged block gets no answer.
          device = !v.violation && v.linesAccepted == v.linesReceived - 1 &&
                   v.blocksWritten == kSilentAfterBlocks && !v.endLineReceived;
          std::fprintf(out, "    the device fell silent after %d blocks, got %d   %s\n",
                       kSilentAfterBlocks, v.blocksWritten, Mark(device));
          break;
        case RunKind::Esc:
        case RunKind::UnplugPower:
          device = v.linesReceived == 0;
          std::fprintf(out, "    no line sent to a device that is off: %d received   %s\n",
                       v.linesReceived, Mark(device));
          break;
        case RunKind::UnplugBlocks:
          device = intact && v.blocksWritten >= kUnplugAfterBlocks;
          std::fprintf(out,
                       "    %d lines intact and %d blocks written before the adapter was"
                       " pulled   %s\n",
                       v.linesReceived, v.blocksWritten, Mark(device));
          break;
      }
    } else {
      std::fprintf(out, "    device: no verdict (the run never closed the port)   FAIL\n");
    }
    if (s.spaceAt && s.closedAt) {
      std::fprintf(
          out, "    the update took %.2f s from the space to the %s, %zu bytes from the updater\n",
          Seconds(*s.closedAt - *s.spaceAt), s.unplugged ? "unplug" : "close", s.bytesFromGuest);
    }
    PrintTurnaround(out, s.turnarounds);
    if (kind_ == LineKind::Ftdi && s.verdict && s.verdict->linesReceived > 0) {
      std::fprintf(
          out, "    modem-status requests during the transfer: %zu (%.2f per record line)\n",
          s.transferLooks, static_cast<double>(s.transferLooks) / s.verdict->linesReceived);
    }
    for (const std::string& f : s.failures) std::fprintf(out, "    %s   FAIL\n", f.c_str());

    ok = ok && settings && modem && brk && quiet && latency && device && s.failures.empty();
  }
  return ok;
}

namespace {

// "key=value" fields of a report line after its first two words.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

}  // namespace

bool JudgeGuestReport(const std::vector<std::string>& lines, const std::vector<PlannedRun>& runs,
                      Build build, std::FILE* out) {
  std::map<std::string, std::map<std::string, std::string>> map;
  std::vector<std::map<std::string, std::string>> flags;
  std::vector<std::map<std::string, std::string>> outcomes;
  std::vector<std::vector<std::string>> boxes(1);
  // Per run: the serial calls Wine saw, by name (WAIT_ON_MASK=N ...).
  std::map<std::size_t, std::map<std::string, std::string>> comm;
  std::map<std::string, std::string> stale;
  bool exited = false;
  std::string wineExit;
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string kind;
    std::string port;
    words >> kind >> port;
    if (kind == "map") map[port] = Fields(line);
    if (kind == "flags") {
      flags.push_back(Fields(line));
      flags.back()["port"] = port;
    }
    if (kind == "box") boxes.back().push_back(line.substr(line.find(port) + port.size() + 1));
    if (kind == "outcome") {
      outcomes.push_back(Fields(line));
      outcomes.back()["port"] = port;
      // The message is the rest of the line, blanks and all.
      if (const auto at = line.find(" message="); at != std::string::npos) {
        outcomes.back()["message"] = line.substr(at + 9);
      }
      boxes.emplace_back();
    }
    if (kind == "comm" && !outcomes.empty()) comm[outcomes.size() - 1] = Fields(line);
    if (kind == "stale") stale[port] = line.substr(line.find(port) + port.size() + 1);
    if (line == "guest: runs exit 0") exited = true;
    if (line.rfind("wine: exit status=", 0) == 0) wineExit = line.substr(18);
  }
  bool ok = exited;
  if (build == Build::Windows) {
    // Nothing hangs: Exit ends tarnup.exe after the last run.
    const bool clean = wineExit == "0";
    std::fprintf(out, "  Exit ends tarnup.exe: %s   %s\n",
                 wineExit.empty() ? "it did not end" : ("status " + wineExit).c_str(), Mark(clean));
    ok = ok && clean;
  }
  std::fprintf(out, "realdriver: the updater in the guest (%s)\n",
               build == Build::Linux ? "the Linux build" : "tarnup.exe under Wine");
  for (const auto& [port, what] : stale) {
    std::fprintf(out, "  %s left with a stale custom speed before its first run: %s\n",
                 port.c_str(), what.c_str());
  }
  if (!exited) std::fprintf(out, "  the guest's runs did not finish cleanly   FAIL\n");

  if (build == Build::Linux) {
    // Without links: the 16550A first, then the FTDI adapter by its by-id
    // name, and nothing behind COM3 and COM4.
    const bool mapping = map["COM1"]["path"] == "/dev/ttyS0" &&
                         map["COM2"]["path"] == "/dev/ttyUSB0" && map["COM2"]["byid"] != "-" &&
                         !map["COM2"]["byid"].empty() && map["COM3"]["path"] == "-" &&
                         map["COM4"]["path"] == "-";
    std::fprintf(out, "  mapping without links:");
    for (const char* port : {"COM1", "COM2", "COM3", "COM4"}) {
      auto& m = map[port];
      std::fprintf(out, " %s -> %s (%s%s%s)", port, m["path"].c_str(), m["via"].c_str(),
                   m["byid"].empty() || m["byid"] == "-" ? "" : ", ",
                   m["byid"] == "-" ? "" : m["byid"].c_str());
    }
    std::fprintf(out, "   %s\n", Mark(mapping));
    if (!mapping) {
      std::fprintf(out,
                   "    expected: COM1 the 16550A (/dev/ttyS0), COM2 the FTDI adapter"
                   " (/dev/ttyUSB0, with its by-id name), nothing behind COM3 and COM4\n");
    }
    ok = ok && mapping;
  }

  constexpr std::size_t kMaxBoxes = 3;
  const std::string silentBox = "Hardware antwortet nicht !.";
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const PlannedRun& run = runs[i];
    const std::string port = "COM" + std::to_string(run.port);
    std::fprintf(out, "  run %zu, %s, %s:", i + 1, port.c_str(), RunKindName(run.kind));
    if (i >= outcomes.size()) {
      std::fprintf(out, " never reported an outcome (the guest hung or stopped)   FAIL\n");
      ok = false;
      continue;
    }
    auto& o = outcomes[i];
    const std::vector<std::string>& shown = boxes[i];
    std::string texts;
    for (const std::string& b : shown) texts += (texts.empty() ? "" : " | ") + b;
    const std::string result = o["result"];
    // The Linux build says how the sequence ended; under Wine only the
    // boxes tell.
    const auto resultIs = [&](const char* want) {
      return build == Build::Windows ? result == "ended" : result == want;
    };
    bool good = o["port"] == port && o["closed"] == "yes";
    switch (run.kind) {
      case RunKind::Pass:
        good = good && shown.empty() && resultIs("completed") &&
               (build == Build::Windows || o["status"] == "8");
        break;
      case RunKind::Silent:
        good = good && shown == std::vector<std::string>{silentBox} && resultIs("failure");
        break;
      case RunKind::Esc:
        good = good && shown.empty() && resultIs("aborted");
        break;
      case RunKind::UnplugPower:
        // The operator is told, at most three times, and ends the wait.
        good = good && !shown.empty() && shown.size() <= kMaxBoxes && resultIs("aborted");
        break;
      case RunKind::UnplugBlocks:
        // Told, and the run ends by its own time-out.
        good = good && !shown.empty() && shown.size() <= kMaxBoxes && shown.back() == silentBox &&
               resultIs("failure");
        break;
    }
    std::fprintf(out, " %s, port %s, %zu box%s%s%s%s%s   %s\n", result.c_str(),
                 o["closed"] == "yes" ? "closed" : "NOT closed", shown.size(),
                 shown.size() == 1 ? "" : "es", texts.empty() ? "" : ": ", texts.c_str(),
                 o["message"].empty() ? "" : "; message ", o["message"].c_str(), Mark(good));
    if (Unplugs(run.kind)) {
      std::fprintf(out, "    boxes after the unplug (%s): %zu, at most %zu allowed\n",
                   RunKindName(run.kind), shown.size(), kMaxBoxes);
    }
    if (build == Build::Windows) {
      // The event wait (WaitCommEvent) against the polled one's samples
      // (ClearCommError, GetCommModemStatus), from Wine's comm trace. A full
      // update waits on events throughout.
      const auto& c = comm[i];
      const auto count = [&](const char* name) {
        const auto it = c.find(name);
        return it == c.end() ? 0L : std::atol(it->second.c_str());
      };
      const long waits = count("WAIT_ON_MASK");
      const long polls = count("GET_COMMSTATUS") + count("GET_MODEMSTATUS");
      const bool events = run.kind != RunKind::Pass || (waits > 0 && polls == 0);
      std::fprintf(out, "    event-wait calls %ld, polling calls %ld%s   %s\n", waits, polls,
                   run.kind == RunKind::Pass ? "" : " (a figure)",
                   run.kind == RunKind::Pass ? Mark(events) : "");
      std::string all;
      for (const auto& [name, n] : c) {
        if (name != "kind") all += " " + name + "=" + n;
      }
      std::fprintf(out, "    serial calls:%s\n", all.c_str());
      good = good && events;
    }
    ok = ok && good;
  }
  if (outcomes.size() > runs.size()) {
    std::fprintf(out, "  %zu outcomes reported, %zu runs planned   FAIL\n", outcomes.size(),
                 runs.size());
    ok = false;
  }
  for (auto& f : flags) {
    const bool restored =
        !f["before"].empty() && f["before"] != "none" && f["before"] == f["after"];
    std::fprintf(
        out, "  %s serial flags (TIOCGSERIAL): %s before the run, %s after (low latency %s)   %s\n",
        f["port"].c_str(), f["before"].c_str(), f["after"].c_str(), f["low_latency"].c_str(),
        Mark(restored));
    ok = ok && restored;
  }
  return ok;
}

}  // namespace realdriver
