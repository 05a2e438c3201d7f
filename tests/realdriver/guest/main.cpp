// tarn-guest: the updater without a window, inside the emulated machine of
// the real-driver test. It opens each COMn the way the program does (the
// default port mapping, no links), runs the planned update on it and prints
// what the host checks, one fact a line:
//
//   map COMn path=P via=V byid=B        what COM1..COM4 reach without links
//   run COMn kind=K device=D how=mapped|linked  the update on COMn begins
//   flags COMn before=0xF after=0xF low_latency=B->A   serial flags (TIOCGSERIAL)
//   box COMn TEXT                        each box the operator saw in the run
//   outcome COMn kind=K result=completed|failure|aborted status=N boxes=N closed=yes|no
//           [message=M]
//   replug COMn after=S                  the pulled adapter is back
//
//   stale COMn custom_divisor=N flags=0xF   a custom speed left behind
//
//   tarn-guest COMn=DEVICE[,stale-speed][,KIND]...
//
// KIND is what the host does in the run: pass (the default), silent, esc,
// unplug-power or unplug-blocks. The operator here acts as at the window:
// Esc after 1.5 s in the power wait for "esc", and Esc once a box has come
// while waiting for power (the adapter was pulled). "closed" says that the
// program holds no descriptor of the device any more. After a run on a
// pulled adapter the next run waits until the adapter is back.
//
// DEVICE is where COMn should lead. When the mapping leads elsewhere, the
// run still goes to DEVICE, through a link in the ports directory, so the
// driver's figures are measured either way; the host judges the mapping from
// the "map" lines. With ",stale-speed" the driver is first left with a custom
// speed (ASYNC_SPD_CUST, as an earlier program may leave it), which turns
// 38400 into 9600 for anyone who keeps it; the host checks that the line
// still runs at 38400.

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "serial/posix/PosixPlatform.h"
#include "serial/posix/PosixPortMap.h"
#include "updatebench/HeadlessHost.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const kPowerPrompt = "Connect TARN to Power !";

// Whether this process still holds a descriptor of `device` (also one whose
// node has gone with its adapter).
bool HoldsDevice(const std::string& device) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link;
    const std::string target = fs::read_symlink(entry.path(), link).string();
    if (!link && target.rfind(device, 0) == 0) return true;
  }
  return false;
}

// Waits until `device` is there again, up to `limit`; the seconds it took.
std::optional<double> WaitForDevice(const std::string& device, std::chrono::seconds limit) {
  const auto start = Clock::now();
  while (Clock::now() - start < limit) {
    std::error_code ec;
    if (fs::exists(device, ec)) return std::chrono::duration<double>(Clock::now() - start).count();
    ::usleep(50000);
  }
  return std::nullopt;
}

// The serial flags of `device` as the driver holds them, read on a short
// opening of our own; nullopt when the driver has none.
std::optional<int> SerialFlags(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  serial_struct info{};
  const int rc = ::ioctl(fd, TIOCGSERIAL, &info);
  ::close(fd);
  if (rc != 0) return std::nullopt;
  return info.flags;
}

// Leaves `device` with a custom speed, as a program that used one may: the
// driver takes 38400 to mean baud_base / custom_divisor (9600 on a 16550A)
// until the flag is cleared.
void LeaveCustomSpeed(const std::string& name, const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  serial_struct info{};
  if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &info) != 0) {
    std::printf("note %s cannot read the serial flags of %s\n", name.c_str(), device.c_str());
    if (fd >= 0) ::close(fd);
    return;
  }
  info.flags = static_cast<int>(
      (static_cast<unsigned>(info.flags) & ~static_cast<unsigned>(ASYNC_SPD_MASK)) |
      static_cast<unsigned>(ASYNC_SPD_CUST));
  info.custom_divisor = info.baud_base > 0 ? info.baud_base / 9600 : 12;
  const int rc = ::ioctl(fd, TIOCSSERIAL, &info);
  ::close(fd);
  std::printf("stale %s custom_divisor=%d flags=0x%x%s\n", name.c_str(), info.custom_divisor,
              static_cast<unsigned>(info.flags), rc != 0 ? " refused" : "");
}

std::string Hex(const std::optional<int>& flags) {
  if (!flags) return "none";
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(*flags));
  return text;
}

std::string LowLatency(const std::optional<int>& flags) {
  if (!flags) return "?";
  return (static_cast<unsigned>(*flags) & static_cast<unsigned>(ASYNC_LOW_LATENCY)) != 0 ? "1"
                                                                                         : "0";
}

std::string Resolved(const std::string& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? path : real.string();
}

const char* OutcomeName(HeadlessHost::Outcome::Kind kind) {
  switch (kind) {
    case HeadlessHost::Outcome::Completed:
      return "completed";
    case HeadlessHost::Outcome::SerialFailure:
      return "failure";
    case HeadlessHost::Outcome::Aborted:
      return "aborted";
  }
  return "?";
}

// One update on COM`number`, which should lead to `device`.
void Run(unsigned number, const std::string& device, bool staleSpeed, const std::string& kind) {
  const std::string name = "COM" + std::to_string(number);
  const bool unplug = kind == "unplug-power" || kind == "unplug-blocks";
  if (staleSpeed) LeaveCustomSpeed(name, device);
  const PortMapRoots roots = DefaultPortMapRoots();
  const PortTarget target = LookUpComPort(number, roots);
  std::optional<fs::path> link;
  if (target.path.empty() || Resolved(target.path) != device) {
    // The mapping leads elsewhere: reach the device through a link.
    std::error_code ec;
    fs::create_directories(roots.portsDir, ec);
    link = roots.portsDir / name;
    fs::remove(*link, ec);
    fs::create_symlink(device, *link, ec);
    if (ec)
      std::printf("note %s cannot link %s: %s\n", name.c_str(), device.c_str(),
                  ec.message().c_str());
  }
  std::printf("run %s kind=%s device=%s how=%s\n", name.c_str(), kind.c_str(), device.c_str(),
              link ? "linked" : "mapped");
  std::fflush(stdout);

  const std::optional<int> before = SerialFlags(device);
  HeadlessHost::Outcome outcome;
  std::size_t statusLines = 0;
  std::vector<std::string> boxes;
  bool closed = false;
  {
    HeadlessHost::Options options;
    options.portIndex = static_cast<int>(number) - 1;
    HeadlessHost host(options, MakePosixPlatform());
    std::optional<Clock::time_point> prompted;
    host.SetOperator([&](HeadlessHost& h) {
      const bool waiting = !h.Status().empty() && h.Status().back() == kPowerPrompt;
      if (!waiting) return;
      if (!prompted) prompted = Clock::now();
      if ((kind == "esc" && Clock::now() - *prompted > 1500ms) ||
          (kind == "unplug-power" && !h.Boxes().empty())) {
        h.Cancel();
      }
    });
    outcome = host.RunOnce();
    statusLines = host.Status().size();
    boxes = host.Boxes();
    closed = !host.Serial().Active() && !HoldsDevice(device);
  }
  // The window shows the sequence's failure in a box of its own.
  if (outcome.kind == HeadlessHost::Outcome::SerialFailure) boxes.push_back(outcome.message + ".");
  const std::optional<int> after = SerialFlags(device);
  if (link) {
    std::error_code ec;
    fs::remove(*link, ec);
  }

  if (!unplug) {
    std::printf("flags %s before=%s after=%s low_latency=%s->%s\n", name.c_str(),
                Hex(before).c_str(), Hex(after).c_str(), LowLatency(before).c_str(),
                LowLatency(after).c_str());
  }
  for (const std::string& box : boxes) std::printf("box %s %s\n", name.c_str(), box.c_str());
  std::printf("outcome %s kind=%s result=%s status=%zu boxes=%zu closed=%s", name.c_str(),
              kind.c_str(), OutcomeName(outcome.kind), statusLines, boxes.size(),
              closed ? "yes" : "no");
  if (!outcome.message.empty()) std::printf(" message=%s", outcome.message.c_str());
  std::printf("\n");
  std::fflush(stdout);
  if (unplug) {
    // The host plugs the adapter in again once it has read the outcome.
    if (const auto back = WaitForDevice(device, 30s)) {
      std::printf("replug %s after=%.2f\n", name.c_str(), *back);
    } else {
      std::printf("note %s %s did not come back\n", name.c_str(), device.c_str());
    }
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The mapping as the program finds it, before any run adds a link.
  const PortMapRoots roots = DefaultPortMapRoots();
  for (unsigned n = 1; n <= 4; ++n) {
    const PortTarget target = LookUpComPort(n, roots);
    std::printf("map COM%u path=%s via=%s byid=%s\n", n,
                target.path.empty() ? "-" : Resolved(target.path).c_str(),
                target.via.empty() ? "-" : target.via.c_str(),
                target.byId.empty() ? "-" : target.byId.c_str());
  }
  std::fflush(stdout);

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (arg.rfind("COM", 0) != 0 || eq == std::string::npos) {
      std::fprintf(stderr, "usage: tarn-guest COMn=DEVICE[,stale-speed][,KIND]...\n");
      return 2;
    }
    const unsigned long number = std::strtoul(arg.substr(3, eq - 3).c_str(), nullptr, 10);
    if (number < 1 || number > 4) {
      std::fprintf(stderr, "tarn-guest: %s: COM1 to COM4 only\n", arg.c_str());
      return 2;
    }
    std::string device = arg.substr(eq + 1);
    bool staleSpeed = false;
    std::string kind = "pass";
    for (auto comma = device.rfind(','); comma != std::string::npos; comma = device.rfind(',')) {
      const std::string option = device.substr(comma + 1);
      device.resize(comma);
      if (option == "stale-speed") {
        staleSpeed = true;
      } else {
        kind = option;
      }
    }
    Run(static_cast<unsigned>(number), device, staleSpeed, kind);
  }
  return 0;
}
