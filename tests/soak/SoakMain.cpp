// Soak: consecutive updates in one process against the device simulator
// over a real pseudo-terminal. Prints the open descriptors and the resident
// memory at the start and the end and fails unless both stay flat and every
// update succeeds with the simulator's verdict PASS.
//
//   update-soak [--runs N] [--power-on MS]
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tarnsim/PortLink.h"
#include "tarnsim/Pty.h"
#include "updatebench/HeadlessHost.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Resident set size in kB, from /proc/self/status.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// The simulator on a pty, served by a thread of this process. Unlike
// tarnsim::PtySimulator it keeps no trace of the bytes and only the last
// verdict, so the process's memory over a long soak is the updater's.
class LeanSimulator {
 public:
  explicit LeanSimulator(tarnsim::DeviceOptions device)
      : stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    tarnsim::ServeOptions serve;
    serve.device = std::move(device);
    serve.sessionEnded = [this](const tarnsim::Verdict& verdict) {
      {
        const std::lock_guard lock(mutex_);
        ++sessions_;
        passed_ += verdict.Passed() ? 1U : 0U;
        last_ = tarnsim::FormatVerdict(verdict);
      }
      changed_.notify_all();
    };
    thread_ = std::thread([this, serve = std::move(serve)] { Serve(pty_, serve, stopFd_); });
  }
  ~LeanSimulator() {
    const std::uint64_t one = 1;
    if (::write(stopFd_, &one, sizeof one) < 0) std::perror("eventfd");
    thread_.join();
    ::close(stopFd_);
  }
  LeanSimulator(const LeanSimulator&) = delete;
  LeanSimulator& operator=(const LeanSimulator&) = delete;

  [[nodiscard]] const std::string& Path() const { return pty_.Path(); }
  // Waits up to `timeout` until `count` sessions have ended; how many passed.
  std::size_t WaitForSessions(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return sessions_ >= count; });
    return sessions_ >= count ? passed_ : 0;
  }
  std::string LastVerdict() {
    const std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  tarnsim::Pty pty_;
  int stopFd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t sessions_ = 0;
  std::size_t passed_ = 0;
  std::string last_;
  std::thread thread_;
};

int Usage() {
  std::fprintf(stderr, "usage: update-soak [--runs N] [--power-on MS]\n");
  return 2;
}

// Growth of the resident memory after the first update that still counts as
// flat: the allocator's own slack, far below what one leaked update
// (1019 lines, a thread's worth of state) per run would add over 200 runs.
constexpr long kFlatSlackKb = 512;

// Under a sanitizer the memory grows by design (quarantine, shadow memory),
// so only the descriptors are judged there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kJudgeMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kJudgeMemory = false;
#else
constexpr bool kJudgeMemory = true;
#endif
#else
constexpr bool kJudgeMemory = true;
#endif

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  int powerOnMs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--runs" || arg == "--power-on") && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != 0 || value < 0 || value > 1000000) return Usage();
      (arg == "--runs" ? runs : powerOnMs) = static_cast<int>(value);
    } else {
      return Usage();
    }
  }
  if (runs < 1) return Usage();

  char pattern[] = "/tmp/tarn-soak-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  int failures = 0;
  int startFds = 0;
  int endFds = 0;
  long startKb = 0;
  long firstKb = 0;
  long endKb = 0;
  double seconds = 0;
  {
    tarnsim::DeviceOptions device;
    device.powerOn = std::chrono::milliseconds(powerOnMs);
    LeanSimulator sim(device);
    tarnsim::PortLink link(dir.string(), "COM1", sim.Path());
    HeadlessHost host(HeadlessHost::Options{dir, 0, 200ms});

    startFds = OpenDescriptors();
    startKb = ResidentKb();
    std::printf("soak: %d updates against the simulator on %s\n", runs, sim.Path().c_str());
    std::printf("start: %d open descriptors, RSS %ld kB\n", startFds, startKb);
    std::fflush(stdout);
    const auto began = std::chrono::steady_clock::now();
    for (int run = 1; run <= runs; ++run) {
      const HeadlessHost::Outcome outcome = host.RunOnce();
      const bool completed = outcome.kind == HeadlessHost::Outcome::Completed &&
                             !host.Status().empty() &&
                             host.Status().back() == "Update succesful !!" && host.Boxes().empty();
      // The session ends when the port closes; the next Start must not
      // begin before the simulator has seen that.
      const auto done = static_cast<std::size_t>(run);
      const bool passed = sim.WaitForSessions(done, 10000ms) == done;
      if (!completed || !passed) {
        ++failures;
        std::printf("run %d FAILED: %s%s\n", run,
                    completed ? "completed" : ("'" + outcome.message + "'").c_str(),
                    passed ? "" : (", simulator: " + sim.LastVerdict()).c_str());
      }
      if (run == 1) firstKb = ResidentKb();
      if (run % 50 == 0 || run == runs) {
        std::printf("after %3d: %d open descriptors, RSS %ld kB\n", run, OpenDescriptors(),
                    ResidentKb());
        std::fflush(stdout);
      }
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    endFds = OpenDescriptors();
    endKb = ResidentKb();
  }
  fs::remove_all(dir);

  const bool fdsFlat = endFds == startFds;
  const bool rssFlat = !kJudgeMemory || endKb - firstKb <= kFlatSlackKb;
  std::printf("end:   %d open descriptors, RSS %ld kB\n", endFds, endKb);
  std::printf(
      "soak: %d updates, %d succeeded, %.1f s (%.0f ms each); descriptors %d -> %d (%s); "
      "RSS %ld kB -> %ld kB after the first update -> %ld kB (%+ld kB, %s)\n",
      runs, runs - failures, seconds, 1000.0 * seconds / runs, startFds, endFds,
      fdsFlat ? "flat" : "NOT FLAT", startKb, firstKb, endKb, endKb - firstKb,
      !kJudgeMemory ? "not judged under a sanitizer"
      : rssFlat     ? "flat"
                    : "NOT FLAT");
  return failures == 0 && fdsFlat && rssFlat ? 0 : 1;
}
