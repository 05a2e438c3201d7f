// realdriver-host: boots a small Linux guest under QEMU with an emulated
// 16550A UART and an emulated FTDI USB-serial chip, plays the TARN device on
// both lines, and judges the updates that the guest's updater runs through
// the kernel's real 8250 and ftdi_sio drivers by what the emulated hardware
// saw, as QEMU's trace events report it. The updater is either the static
// Linux one (tarn-guest) or tarnup.exe under Wine and Xvfb, run from the
// host's own file system (shared read-only over virtio-9p) by the guest's
// operator script, which presses its keys.
//
//   realdriver-host --qemu Q --kernel K --initrd I --runs RUNS [--expect HEX]
//                   [--windows EXE --prefix WINEPREFIX --operator SCRIPT]
//                   [--power-on-ms MS] [--timeout-s S]
//
// RUNS is the plan, e.g. "COM1:pass,COM2:unplug-power,COM2:pass": COM1 is
// the UART, COM2 the FTDI adapter; a run is a full update (pass), a device
// that falls silent (silent), Esc in the power wait (esc), or the adapter
// pulled through QEMU's monitor (device_del) during the power wait
// (unplug-power) or during the blocks (unplug-blocks). A pulled adapter is
// plugged in again (device_add) once the guest has reported the run's end.
//
// Exit status 0 when every check passed, 1 when one failed, 77 (skipped)
// when the emulator cannot run here.
//
// The device on each line: the operator switches it on when the updater has
// put the line into break (as the window tells them to), so the power-on
// delay starts with the break; its space comes while the break is held, and
// its "Q" only once the break is released, as a real device answers the
// release. Nothing is paced here: the emulated UART and USB set the pace.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Trace.h"
#include "tarnsim/Device.h"
#include "tarnsim/Flash.h"
#include "tarnsim/Pty.h"

namespace {

namespace fs = std::filesystem;
using tarnsim::Nanos;
using namespace std::chrono_literals;

constexpr int kSkip = 77;

struct Options {
  std::string qemu = "qemu-system-x86_64";
  std::string kernel;
  std::string initrd;
  std::string expect;
  std::vector<realdriver::PlannedRun> runs;
  std::string runsText;
  // tarnup.exe, its Wine prefix and the operator script; empty for the
  // Linux build.
  std::string windows;
  std::string prefix;
  std::string operatorScript;
  Nanos powerOn = 2000ms;
  std::chrono::seconds timeout{150};
};

// The power-on delay of a device in a run that is not about the power wait.
constexpr Nanos kQuickPowerOn = 500ms;
// A device that is never switched on.
constexpr Nanos kNeverOn = 1000s;
// How often, and how far apart, the plug-in is asked for until the guest
// sees the adapter again.
constexpr Nanos kReplugAgainAfter = 2500ms;
constexpr int kReplugTries = 8;
// A working guest says its first line within seconds of the start.
constexpr std::chrono::seconds kFirstWordWithin{60};
// How long the adapter sits in the power wait before it is pulled.
constexpr Nanos kUnplugInPowerWait = 1500ms;
// QEMU's name of the emulated FTDI adapter, for device_del and device_add.
constexpr const char* kFtdiId = "ftdi0";

// A listening Unix socket that QEMU's chardev connects to.
int Listen(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 1) != 0) {
    std::perror("realdriver-host: socket");
    std::exit(1);
  }
  return fd;
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

// One serial line between the guest and the simulated device.
struct Line {
  Line(realdriver::LineKind k, const char* t, realdriver::Build build)
      : kind(k), title(t), trace(k, build) {}
  realdriver::LineKind kind;
  const char* title;
  int listenFd = -1;
  int fd = -1;
  realdriver::LineTrace trace;
  std::unique_ptr<tarnsim::Device> device;
  realdriver::RunKind run = realdriver::RunKind::Pass;  // of the device's session
  std::string held;        // device output held back while the break is on
  bool spaceSent = false;  // the power-on space has left the device
  std::optional<Nanos> spaceAt;
  std::optional<Nanos> unplugAt;  // when the adapter is to be pulled
  bool pulled = false;            // the adapter is out until the run's end is reported
};

class Host {
 public:
  explicit Host(Options options) : options_(std::move(options)) {
    if (!options_.expect.empty()) {
      expected_ =
          std::make_shared<const tarnsim::Flash>(tarnsim::ReadIntelHexFile(options_.expect));
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      std::vector<realdriver::RunKind> kinds;
      for (const auto& run : options_.runs) {
        if (run.port == i + 1) kinds.push_back(run.kind);
      }
      lines_[i].trace.Plan(std::move(kinds));
    }
  }

  int Run();

 private:
  void Spawn(const fs::path& dir);
  void OnTraceLine(const std::string& text, Nanos now);
  void OnConsoleLine(const std::string& text);
  void PumpDevice(Line& line, Nanos now);
  void Unplug(Line& line, Nanos now);
  void Monitor(const std::string& command);
  int Judge();

  [[nodiscard]] realdriver::Build BuildUnderTest() const {
    return options_.windows.empty() ? realdriver::Build::Linux : realdriver::Build::Windows;
  }

  Options options_;
  std::shared_ptr<const tarnsim::Flash> expected_;
  std::array<Line, 2> lines_{
      Line(realdriver::LineKind::Uart, "16550A UART, 8250 driver", BuildUnderTest()),
      Line(realdriver::LineKind::Ftdi, "FTDI USB-serial, ftdi_sio driver", BuildUnderTest())};
  fs::path monitorPath_;
  int monitorFd_ = -1;
  // QEMU takes a device_add for an adapter whose removal it has not yet
  // finished as a duplicate and drops it; until the guest reports the port
  // back, the plug-in is asked for again now and then.
  std::optional<Nanos> replugAgainAt_;
  int replugTries_ = 0;
  pid_t qemu_ = -1;
  int consoleFd_ = -1;
  int traceFd_ = -1;
  std::string consoleBuf_;
  std::string traceBuf_;
  std::vector<std::string> guest_;  // the guest's report lines
  std::size_t traceEvents_ = 0;
  std::vector<std::string> qemuSays_;  // QEMU's own messages on stderr, the last few
};

void Host::Spawn(const fs::path& dir) {
  int console[2];
  int trace[2];
  if (::pipe2(console, O_CLOEXEC) != 0 || ::pipe2(trace, O_CLOEXEC) != 0) std::exit(1);
  const std::string uart = "socket,id=uart,path=" + (dir / "uart.sock").string();
  const std::string ftdi = "socket,id=ftdi,path=" + (dir / "ftdi.sock").string();
  monitorPath_ = dir / "monitor.sock";
  const bool windows = BuildUnderTest() == realdriver::Build::Windows;
  // What the guest's init runs, on its command line (paths without blanks).
  std::string append = "console=hvc0 quiet panic=-1 tarn_runs=" + options_.runsText;
  if (windows) {
    append += " tarn_build=windows tarn_exe=" + options_.windows +
              " tarn_prefix=" + options_.prefix + " tarn_operator=" + options_.operatorScript;
  }
  std::vector<std::string> args = {
      options_.qemu, "-accel", "tcg", "-smp", "1", "-m", windows ? "1536" : "256", "-nodefaults",
      "-display", "none", "-no-reboot", "-kernel", options_.kernel, "-initrd", options_.initrd,
      "-append", append,
      // The UART under test is the machine's only one: ttyS0 at 0x3f8.
      "-chardev", uart, "-device", "isa-serial,chardev=uart,iobase=0x3f8,irq=4",
      // The FTDI chip on an xHCI controller: ttyUSB0, pulled and plugged in
      // again through the monitor.
      "-device", "qemu-xhci,id=xhci", "-chardev", ftdi, "-device",
      std::string("usb-serial,bus=xhci.0,chardev=ftdi,id=") + kFtdiId, "-monitor",
      "unix:" + monitorPath_.string() + ",server=on,wait=off",
      // The guest's console and report.
      "-device", "virtio-serial-pci", "-chardev", "stdio,id=con,signal=off", "-device",
      "virtconsole,chardev=con",
      // What the hardware sees.
      "-trace", "serial_read", "-trace", "serial_write", "-trace", "serial_update_parameters",
      "-trace", "usb_serial_handle_control", "-trace", "usb_serial_set_baud"};
  if (windows) {
    // The host's root file system, read-only, for Wine, Xvfb and tarnup.exe.
    // Without SMAP off every Wine process oopses in the guest's kernel under
    // software emulation.
    for (const char* a : {"-cpu", "max,smap=off", "-virtfs",
                          "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                          "multidevs=remap"}) {
      args.emplace_back(a);
    }
  }
  qemu_ = ::fork();
  if (qemu_ == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(console[1], 1);
    ::dup2(trace[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "realdriver-host: exec %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(console[1]);
  ::close(trace[1]);
  consoleFd_ = console[0];
  traceFd_ = trace[0];
}

void Host::OnConsoleLine(const std::string& text) {
  std::printf("  guest| %s\n", text.c_str());
  std::fflush(stdout);
  guest_.push_back(text);
  Line& ftdi = lines_[1];
  if (ftdi.pulled && text.rfind("outcome COM2 ", 0) == 0) {
    // The run on the pulled adapter has ended: the operator plugs it in.
    ftdi.pulled = false;
    Monitor(std::string("device_add usb-serial,bus=xhci.0,chardev=ftdi,id=") + kFtdiId);
    replugAgainAt_ = tarnsim::SteadyNow() + kReplugAgainAfter;
    replugTries_ = 1;
  }
  if (text.rfind("replug COM2 ", 0) == 0 || text.rfind("note COM2 ", 0) == 0) {
    replugAgainAt_.reset();
  }
}

void Host::Monitor(const std::string& command) {
  if (monitorFd_ < 0) {
    monitorFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, monitorPath_.c_str(), sizeof addr.sun_path - 1);
    if (::connect(monitorFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      std::printf("realdriver: cannot reach QEMU's monitor: %s\n", std::strerror(errno));
      ::close(monitorFd_);
      monitorFd_ = -1;
      return;
    }
    ::fcntl(monitorFd_, F_SETFL, O_NONBLOCK);
  }
  std::printf("realdriver: monitor: %s\n", command.c_str());
  WriteAll(monitorFd_, command + "\n");
}

void Host::Unplug(Line& line, Nanos now) {
  line.unplugAt.reset();
  Monitor(std::string("device_del ") + kFtdiId);
  line.trace.Unplug(now);
  if (line.device) line.trace.EndSession(line.device->GetVerdict(), line.spaceAt);
  line.device.reset();
  line.held.clear();
  line.pulled = true;
}

void Host::OnTraceLine(const std::string& text, Nanos now) {
  if (text.find("serial_") == std::string::npos) {
    if (qemuSays_.size() == 20) qemuSays_.erase(qemuSays_.begin());
    qemuSays_.push_back(text);
    return;
  }
  ++traceEvents_;
  for (Line& line : lines_) {
    const realdriver::Change change = line.trace.Feed(text, now);
    if (change == realdriver::Change::BreakOn && !line.device) {
      // The operator switches the device on, or, in a run about the power
      // wait, never does.
      using realdriver::RunKind;
      line.run = line.trace.CurrentKind();
      tarnsim::DeviceOptions device;
      device.powerOn = line.run == RunKind::Pass ? options_.powerOn : kQuickPowerOn;
      if (line.run == RunKind::Esc || line.run == RunKind::UnplugPower) device.powerOn = kNeverOn;
      if (line.run == RunKind::Silent)
        device.faults.silentAfterBlock = realdriver::kSilentAfterBlocks;
      if (line.run == RunKind::UnplugPower) line.unplugAt = now + kUnplugInPowerWait;
      device.expected = expected_;
      line.device = std::make_unique<tarnsim::Device>(device);
      line.device->Connect(now);
      line.spaceSent = false;
      line.spaceAt.reset();
      line.held.clear();
    } else if (change == realdriver::Change::BreakOff && line.device) {
      if (!line.spaceSent && realdriver::PowersOn(line.run)) {
        line.trace.Fail("the break was released before the device's space");
      }
      if (!line.held.empty() && line.fd >= 0) WriteAll(line.fd, line.held);
      line.held.clear();
    } else if (change == realdriver::Change::Closed && line.device) {
      line.trace.EndSession(line.device->GetVerdict(), line.spaceAt);
      line.device.reset();
    }
  }
}

void Host::PumpDevice(Line& line, Nanos now) {
  if (!line.device) return;
  const tarnsim::Output out = line.device->Poll(now);
  for (const char c : out.bytes) {
    if (!line.spaceSent && c == ' ') {
      line.spaceSent = true;
      line.spaceAt = now;
      line.trace.MarkSpace(now);
      if (line.fd >= 0) WriteAll(line.fd, std::string(1, c));
    } else if (line.trace.BreakOn()) {
      line.held.push_back(c);  // "Q" answers the release of the break
    } else if (line.fd >= 0) {
      WriteAll(line.fd, std::string(1, c));
      if (c == 'Y') line.trace.MarkAck(now);
    }
  }
}

int Host::Run() {
  char pattern[] = "/tmp/realdriver-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  lines_[0].listenFd = Listen(dir / "uart.sock");
  lines_[1].listenFd = Listen(dir / "ftdi.sock");
  Spawn(dir);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + options_.timeout;
  bool timedOut = false;
  bool speechless = false;
  while (consoleFd_ >= 0 || traceFd_ >= 0) {
    const Nanos now = tarnsim::SteadyNow();
    for (Line& line : lines_) {
      if (line.unplugAt && now >= *line.unplugAt) Unplug(line, now);
      PumpDevice(line, now);
    }
    if (replugAgainAt_ && now >= *replugAgainAt_) {
      Monitor(std::string("device_add usb-serial,bus=xhci.0,chardev=ftdi,id=") + kFtdiId);
      replugAgainAt_ = ++replugTries_ < kReplugTries ? std::optional<Nanos>(now + kReplugAgainAfter)
                                                     : std::nullopt;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      timedOut = true;
      break;
    }
    // A guest whose console never came up reports nothing of its runs, so
    // there is no point in waiting for them: stopped early, so that the
    // caller can boot it once more (it speaks within seconds when it works).
    if (guest_.empty() && std::chrono::steady_clock::now() > start + kFirstWordWithin) {
      timedOut = true;
      speechless = true;
      break;
    }
    int waitMs = 100;
    if (lines_[1].unplugAt) waitMs = 20;
    for (Line& line : lines_) {
      if (!line.device) continue;
      if (const auto due = line.device->NextDue()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(std::max<long long>(left, 0)));
      }
    }
    std::vector<pollfd> fds;
    fds.push_back({consoleFd_, POLLIN, 0});
    fds.push_back({traceFd_, POLLIN, 0});
    fds.push_back({monitorFd_, POLLIN, 0});  // its answers are read and dropped
    for (Line& line : lines_) {
      // Accepting until QEMU connects; nothing once its connection has ended.
      fds.push_back({line.fd == -1 ? line.listenFd : line.fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) break;
    const Nanos at = tarnsim::SteadyNow();
    char buf[65536];
    // The trace first: a byte from the guest follows what the hardware did
    // before it.
    for (const int which : {1, 0}) {
      int& fd = which == 1 ? traceFd_ : consoleFd_;
      if (fd < 0 || (fds[static_cast<std::size_t>(which)].revents & (POLLIN | POLLHUP)) == 0)
        continue;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
        continue;
      }
      std::string& pending = which == 1 ? traceBuf_ : consoleBuf_;
      pending.append(buf, static_cast<std::size_t>(n));
      std::size_t from = 0;
      for (std::size_t nl; (nl = pending.find('\n', from)) != std::string::npos; from = nl + 1) {
        std::string text = pending.substr(from, nl - from);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (which == 1) {
          OnTraceLine(text, at);
        } else {
          OnConsoleLine(text);
        }
      }
      pending.erase(0, from);
    }
    if (monitorFd_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0 &&
        ::read(monitorFd_, buf, sizeof buf) == 0) {
      ::close(monitorFd_);
      monitorFd_ = -1;
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      Line& line = lines_[i];
      if ((fds[3 + i].revents & (POLLIN | POLLHUP)) == 0) continue;
      if (line.fd == -1) {
        line.fd = ::accept4(line.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        continue;
      }
      const ssize_t n = ::read(line.fd, buf, sizeof buf);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        ::close(line.fd);
        line.fd = -2;  // QEMU is gone; do not accept again
        continue;
      }
      line.trace.CountFromGuest(static_cast<std::size_t>(n), at);
      if (line.device) line.device->Receive(std::string_view(buf, static_cast<std::size_t>(n)), at);
      if (line.device && line.run == realdriver::RunKind::UnplugBlocks &&
          line.device->GetVerdict().blocksWritten >= realdriver::kUnplugAfterBlocks) {
        Unplug(line, at);
      }
    }
  }
  if (timedOut) ::kill(qemu_, SIGKILL);
  int status = 0;
  ::waitpid(qemu_, &status, 0);
  for (Line& line : lines_) {
    if (line.fd >= 0) ::close(line.fd);
    ::close(line.listenFd);
  }
  if (monitorFd_ >= 0) ::close(monitorFd_);
  std::error_code ec;
  fs::remove_all(dir, ec);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("realdriver: QEMU ran %.1f s%s\n", wall,
              timedOut ? " and was stopped (time-out)" : "");

  for (const std::string& text : qemuSays_) std::printf("  qemu| %s\n", text.c_str());
  if (speechless) {
    std::printf(
        "realdriver: FAIL: the guest printed nothing in %lld s (its console never came up)\n",
        static_cast<long long>(kFirstWordWithin.count()));
    return 1;
  }
  if (!timedOut && WIFEXITED(status) && WEXITSTATUS(status) != 0 && guest_.empty()) {
    std::printf("realdriver: Skipped\nQEMU could not start the guest (exit status %d)\n",
                WEXITSTATUS(status));
    std::printf("[  SKIPPED ] realdriver\n");
    return kSkip;
  }
  if (traceEvents_ == 0 && !guest_.empty()) {
    std::printf(
        "realdriver: Skipped\nQEMU reported no trace events of the serial devices (built without"
        " the log trace back end?)\n[  SKIPPED ] realdriver\n");
    return kSkip;
  }
  const int verdict = Judge();
  if (timedOut) {
    std::printf("realdriver: FAIL: the guest did not finish within %lld s\n",
                static_cast<long long>(options_.timeout.count()));
    return 1;
  }
  return verdict;
}

int Host::Judge() {
  bool ok = realdriver::JudgeGuestReport(guest_, options_.runs, BuildUnderTest());
  for (Line& line : lines_) {
    std::printf("realdriver: %s\n", line.title);
    ok = line.trace.Report(stdout) && ok;
  }
  // The full updates' figures in one place (the boxes after each unplug and
  // the event-wait calls are in the guest's part above).
  std::printf("realdriver: figures of the %s's full updates under emulation\n",
              BuildUnderTest() == realdriver::Build::Linux ? "Linux build" : "Windows build");
  for (Line& line : lines_) {
    for (const realdriver::Session& s : line.trace.Sessions()) {
      if (s.kind != realdriver::RunKind::Pass || !s.spaceAt || !s.verdict) continue;
      const auto spread = realdriver::SpreadOf(s.turnarounds);
      std::printf(
          "  %s: break held %.3f s until the space; %d/1019 lines intact; turnaround median"
          " %.2f ms, p99 %.2f ms\n",
          line.title, std::chrono::duration<double>(*s.spaceAt - s.breakOnAt).count(),
          s.verdict->violation ? 0 : s.verdict->linesAccepted, spread ? spread->median : 0.0,
          spread ? spread->p99 : 0.0);
    }
  }
  std::printf("realdriver: %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--qemu") {
      options.qemu = value;
    } else if (key == "--kernel") {
      options.kernel = value;
    } else if (key == "--initrd") {
      options.initrd = value;
    } else if (key == "--expect") {
      options.expect = value;
    } else if (key == "--runs") {
      options.runsText = value;
      if (auto runs = realdriver::ParseRuns(value)) options.runs = *runs;
    } else if (key == "--windows") {
      options.windows = value;
    } else if (key == "--prefix") {
      options.prefix = value;
    } else if (key == "--operator") {
      options.operatorScript = value;
    } else if (key == "--power-on-ms") {
      options.powerOn = std::chrono::milliseconds(std::strtol(value.c_str(), nullptr, 10));
    } else if (key == "--timeout-s") {
      options.timeout = std::chrono::seconds(std::strtol(value.c_str(), nullptr, 10));
    } else {
      std::fprintf(stderr, "realdriver-host: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  const bool windowsComplete =
      options.windows.empty() || (!options.prefix.empty() && !options.operatorScript.empty());
  if (argc % 2 == 0 || options.kernel.empty() || options.initrd.empty() || options.runs.empty() ||
      !windowsComplete) {
    std::fprintf(stderr,
                 "usage: realdriver-host --qemu Q --kernel K --initrd I --runs RUNS [--expect HEX]"
                 " [--windows EXE --prefix WINEPREFIX --operator SCRIPT] [--power-on-ms MS]"
                 " [--timeout-s S]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  return Host(options).Run();
}
