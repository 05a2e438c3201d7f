// update-bench: figures for one full update over a pseudo-terminal against
// the device simulator, which runs in a child process so that the CPU time
// measured here is the updater's alone (its window thread and the serial
// event thread).
//
//   update-bench [--wait-ms MS]
//
// Prints: the wall time of the update, the host's time per line (from the
// acknowledge leaving the device to the next line's first byte arriving,
// measured by the simulator), the updater's CPU time, and its CPU share
// while it waits for the device's power-on space; and compares the run with
// the wire time of a real 38400 8N2 line.

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tarnsim/PortLink.h"
#include "tarnsim/Pty.h"
#include "updatebench/HeadlessHost.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double CpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// What the simulator saw of one session.
struct SimFigures {
  std::size_t samples = 0;
  double medianMs = 0;
  double p99Ms = 0;
  double maxMs = 0;
  std::size_t charsIn = 0;   // from the updater
  std::size_t charsOut = 0;  // from the device
  bool passed = false;
};

// Host time per line from the simulator's trace: an acknowledge written,
// then the first bytes read after it.
SimFigures Analyse(const std::vector<tarnsim::TraceEvent>& trace, bool passed) {
  SimFigures f;
  f.passed = passed;
  std::vector<double> gaps;
  std::optional<tarnsim::Nanos> ackAt;
  for (const auto& e : trace) {
    if (e.fromDevice) {
      f.charsOut += e.bytes.size();
      if (!e.bytes.empty() && e.bytes.back() == 'Y') ackAt = e.at;
    } else {
      f.charsIn += e.bytes.size();
      if (ackAt) gaps.push_back(std::chrono::duration<double, std::milli>(e.at - *ackAt).count());
      ackAt.reset();
    }
  }
  if (!gaps.empty()) {
    std::sort(gaps.begin(), gaps.end());
    f.samples = gaps.size();
    f.medianMs = gaps[gaps.size() / 2];
    f.p99Ms = gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)];
    f.maxMs = gaps.back();
  }
  return f;
}

// A simulator in a child process on a fresh pty, linked as COM1 in `dir`.
class ChildSimulator {
 public:
  ChildSimulator(const std::filesystem::path& dir, tarnsim::Nanos powerOn) {
    tarnsim::Pty pty;
    path_ = pty.Path();
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::close(fds[0]);
      std::vector<tarnsim::TraceEvent> trace;
      bool passed = false;
      tarnsim::ServeOptions serve;
      serve.device.powerOn = powerOn;
      serve.once = true;
      serve.trace = [&trace](const tarnsim::TraceEvent& e) { trace.push_back(e); };
      serve.sessionEnded = [&passed](const tarnsim::Verdict& v) { passed = v.Passed(); };
      const int neverFd = ::eventfd(0, 0);  // a stop signal that never comes
      tarnsim::Serve(pty, serve, neverFd);
      const SimFigures f = Analyse(trace, passed);
      [[maybe_unused]] const ssize_t n = ::write(fds[1], &f, sizeof f);
      ::_exit(0);
    }
    ::close(fds[1]);
    resultFd_ = fds[0];
    pty.Close();
    link_.emplace(dir.string(), "COM1", path_);
  }

  SimFigures Finish() {
    SimFigures f;
    [[maybe_unused]] const ssize_t n = ::read(resultFd_, &f, sizeof f);
    ::close(resultFd_);
    ::waitpid(pid_, nullptr, 0);
    link_.reset();
    return f;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
  int resultFd_ = -1;
  std::optional<tarnsim::PortLink> link_;
};

}  // namespace

int main(int argc, char** argv) {
  long waitMs = 5000;
  if (argc == 3 && std::string(argv[1]) == "--wait-ms") {
    waitMs = std::strtol(argv[2], nullptr, 10);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: update-bench [--wait-ms MS]\n");
    return 2;
  }
  char pattern[] = "/tmp/update-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path dir = pattern;

  // 1. A full update against a device that answers at once.
  SimFigures full;
  double wall = 0;
  double transfer = 0;
  double cpu = 0;
  {
    ChildSimulator sim(dir, 100ms);
    HeadlessHost host({dir, 0, 200ms});
    std::optional<Clock::time_point> detected;
    host.SetOperator([&detected](HeadlessHost& h) {
      if (!detected && h.Status().size() >= 2) detected = Clock::now();
    });
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    const auto outcome = host.RunOnce();
    const auto t1 = Clock::now();
    cpu = CpuSeconds() - cpu0;
    wall = Seconds(t1 - t0);
    transfer = detected ? Seconds(t1 - *detected) : 0;
    full = sim.Finish();
    if (outcome.kind != HeadlessHost::Outcome::Completed || !full.passed) {
      std::fprintf(stderr, "update-bench: the update did not complete: %s\n",
                   outcome.message.c_str());
      return 1;
    }
  }

  // 2. The updater waiting for the space: the device powers on after waitMs.
  double waitWall = 0;
  double waitCpu = 0;
  std::uint64_t waits = 0;
  {
    ChildSimulator sim(dir, std::chrono::milliseconds(waitMs));
    HeadlessHost host({dir, 0, 200ms});
    std::optional<std::pair<Clock::time_point, double>> from;
    std::optional<std::pair<Clock::time_point, double>> to;
    std::uint64_t waitsFrom = 0;
    host.SetOperator([&](HeadlessHost& h) {
      if (!from && h.Status().size() == 1) {
        from.emplace(Clock::now(), CpuSeconds());
        waitsFrom = h.Waits();
      }
      if (!to && h.Status().size() == 2) {
        to.emplace(Clock::now(), CpuSeconds());
        waits = h.Waits() - waitsFrom;
      }
    });
    host.RunOnce();
    sim.Finish();
    if (from && to) {
      waitWall = Seconds(to->first - from->first);
      waitCpu = to->second - from->second;
    }
  }
  std::filesystem::remove_all(dir);

  constexpr double kBitsPerChar = 11;
  constexpr double kBaud = 38400;
  const double wire = static_cast<double>(full.charsIn + full.charsOut) * kBitsPerChar / kBaud;
  std::printf("update-bench: one full update over a pty, simulator acknowledging at once\n");
  std::printf("  wall time, Start to the end:          %8.3f s (100 ms of it the power-on delay)\n",
              wall);
  std::printf("  wall time, \"TARN detected\" to end:    %8.3f s\n", transfer);
  std::printf("  characters out / in:                  %8zu / %zu\n", full.charsIn, full.charsOut);
  std::printf(
      "  host time per line (ack -> next line): median %.3f ms, p99 %.3f ms, max %.3f ms"
      " over %zu lines  [goal <= 1 ms]\n",
      full.medianMs, full.p99Ms, full.maxMs, full.samples);
  std::printf("  updater CPU time (user + system):     %8.3f s\n", cpu);
  std::printf(
      "  the same on a 38400 8N2 line:         %8.3f s of wire time (11 bits a character)"
      "\n",
      wire);
  std::printf("update-bench: waiting %.1f s for the power-on space\n", waitWall);
  std::printf(
      "  updater CPU time:                     %8.4f s = %.3f %% of one core"
      "  [goal <= 1 %%]\n",
      waitCpu, waitWall > 0 ? 100.0 * waitCpu / waitWall : 0.0);
  std::printf("  activity waits:                       %8llu\n",
              static_cast<unsigned long long>(waits));
  return 0;
}
