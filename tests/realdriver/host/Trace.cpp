#include "Trace.h"

#include <chrono>
#include <cinttypes>
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

}  // namespace

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

void LineTrace::CountFromGuest(std::size_t bytes) {
  if (inSession_ && !sessions_.back().closedAt) sessions_.back().bytesFromGuest += bytes;
}

void LineTrace::Fail(const std::string& what) {
  if (inSession_) sessions_.back().failures.push_back(what);
}

bool LineTrace::Report(std::FILE* out) {
  bool ok = sessions_.size() == 1;
  if (sessions_.empty()) std::fprintf(out, "  no update run reached this line   FAIL\n");
  if (sessions_.size() > 1) {
    std::fprintf(out, "  %zu update runs on this line, one expected   FAIL\n", sessions_.size());
  }
  if (inSession_) sessions_.back().latencyAtEnd = now_.latencyMs;
  int n = 0;
  for (const Session& s : sessions_) {
    std::fprintf(out, "  run %d:\n", ++n);
    const Settings& b = s.atBreak;
    const bool settings = b.baud == 38400 && b.dataBits == 8 && b.stopBits == 2 && !b.parity &&
                          (kind_ == LineKind::Ftdi || b.divisor == 3);
    std::fprintf(out, "    line at the break: %" PRIu64 " baud", b.baud);
    if (kind_ == LineKind::Uart) std::fprintf(out, " (divisor %u)", b.divisor);
    std::fprintf(out, ", %d data bits, %d stop bits, %s   %s\n", b.dataBits, b.stopBits,
                 b.parity ? "parity" : "no parity", Mark(settings));

    const bool ended = s.verdict && s.verdict->endLineReceived;
    const bool modem = b.dtr && b.rts && s.closedAt && ended && s.bothDropped;
    std::fprintf(out, "    DTR and RTS: %s at the break, %s, %s at close   %s\n",
                 b.dtr && b.rts ? "raised" : "NOT raised",
                 ended ? "held until the end line" : "dropped before the end line",
                 s.bothDropped ? "both dropped" : "NOT both dropped", Mark(modem));

    bool brk = s.spaceAt && s.breakOffAt && *s.breakOffAt >= *s.spaceAt &&
               (!s.closedAt || *s.breakOffAt <= *s.closedAt);
    if (s.spaceAt && s.breakOffAt) {
      std::fprintf(out,
                   "    break: held %.3f s until the space, released %.3f s after it; \"Q\" sent"
                   " after the release   %s\n",
                   Seconds(*s.spaceAt - s.breakOnAt), Seconds(*s.breakOffAt - *s.spaceAt),
                   Mark(brk));
    } else {
      std::fprintf(out, "    break: %s   FAIL\n",
                   s.spaceAt ? "never released after the space" : "the device never got its power");
    }

    const double wait = s.spaceAt ? Seconds(*s.spaceAt - s.breakOnAt) : 0.0;
    const bool quiet = s.spaceAt && s.modemLooks.size() <= kMaxModemLooks;
    std::fprintf(
        out, "    modem-line %s while waiting for power: %zu in %.2f s = %.1f a second   %s\n",
        kind_ == LineKind::Uart ? "status reads (MSR)" : "status requests (GET_MODEM_STATUS)",
        s.modemLooks.size(), wait, wait > 0 ? static_cast<double>(s.modemLooks.size()) / wait : 0.0,
        Mark(quiet));

    bool latency = true;
    if (kind_ == LineKind::Ftdi) {
      latency = s.latencyAtOpen >= 0 && s.latencyAtEnd == s.latencyAtOpen;
      std::fprintf(out,
                   "    latency timer: %d ms before the run, %d ms during it, %d ms after   %s\n",
                   s.latencyAtOpen, b.latencyMs, s.latencyAtEnd, Mark(latency));
    }

    const bool passed = s.verdict && s.verdict->Passed();
    if (s.verdict) {
      std::istringstream verdict(tarnsim::FormatVerdict(*s.verdict));
      std::string textLine;
      while (std::getline(verdict, textLine))
        std::fprintf(out, "    device %s\n", textLine.c_str());
    } else {
      std::fprintf(out, "    device: no verdict (the run never closed the port)   FAIL\n");
    }
    if (s.spaceAt && s.closedAt) {
      std::fprintf(
          out,
          "    the update took %.2f s from the space to the close, %zu bytes from the updater\n",
          Seconds(*s.closedAt - *s.spaceAt), s.bytesFromGuest);
    }
    if (kind_ == LineKind::Ftdi && s.verdict && s.verdict->linesReceived > 0) {
      std::fprintf(
          out, "    modem-status requests during the transfer: %zu (%.2f per record line)\n",
          s.transferLooks, static_cast<double>(s.transferLooks) / s.verdict->linesReceived);
    }
    for (const std::string& f : s.failures) std::fprintf(out, "    %s   FAIL\n", f.c_str());

    ok = ok && settings && modem && brk && quiet && latency && passed && s.failures.empty();
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

bool JudgeGuestReport(const std::vector<std::string>& lines, std::FILE* out) {
  std::map<std::string, std::map<std::string, std::string>> map;
  std::map<std::string, std::map<std::string, std::string>> flags;
  std::map<std::string, std::map<std::string, std::string>> outcome;
  std::map<std::string, std::string> how;
  std::map<std::string, std::string> stale;
  bool exited = false;
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string kind;
    std::string port;
    words >> kind >> port;
    if (kind == "map") map[port] = Fields(line);
    if (kind == "flags") flags[port] = Fields(line);
    if (kind == "outcome") outcome[port] = Fields(line);
    if (kind == "run") how[port] = Fields(line)["how"];
    if (kind == "stale") stale[port] = line.substr(line.find(port) + port.size() + 1);
    if (line == "guest: tarn-guest exit 0") exited = true;
  }
  bool ok = exited;
  std::fprintf(out, "realdriver: the updater in the guest\n");
  for (const auto& [port, what] : stale) {
    std::fprintf(out, "  %s left with a stale custom speed before its run: %s\n", port.c_str(),
                 what.c_str());
  }
  if (!exited) std::fprintf(out, "  the guest program did not finish cleanly   FAIL\n");

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
                 "    expected: COM1 the 16550A (/dev/ttyS0), COM2 the FTDI adapter (/dev/ttyUSB0,"
                 " with its by-id name), nothing behind COM3 and COM4\n");
  }
  ok = ok && mapping;

  for (const char* port : {"COM1", "COM2"}) {
    auto& o = outcome[port];
    auto& f = flags[port];
    const bool completed = o["result"] == "completed" && o["status"] == "8" && o["boxes"] == "0";
    std::fprintf(out, "  %s (%s): update %s, %s status lines, %s boxes%s%s   %s\n", port,
                 how[port].empty() ? "not run" : how[port].c_str(), o["result"].c_str(),
                 o["status"].c_str(), o["boxes"].c_str(), o["message"].empty() ? "" : ": ",
                 o["message"].c_str(), Mark(completed));
    const bool restored =
        !f["before"].empty() && f["before"] != "none" && f["before"] == f["after"];
    std::fprintf(
        out, "  %s serial flags (TIOCGSERIAL): %s before the run, %s after (low latency %s)   %s\n",
        port, f["before"].c_str(), f["after"].c_str(), f["low_latency"].c_str(), Mark(restored));
    ok = ok && completed && restored;
  }
  return ok;
}

}  // namespace realdriver
