// win32-turnaround: prints what the Win32 serial component costs the update
// per record line, measured the way the update waits (a read, then a sleep
// until the event thread hands over received data or 200 ms pass):
//   1. turnaround per line: from WriteString of a line until ReadByte has
//      the device's answer, median, 99th percentile and mean;
//   2. the time an update of 1019 lines spends beyond its 40.7 s of wire
//      time at 38400 baud 8N2, from the mean turnaround;
//   3. CPU time while the port is open and nothing comes (5 s), and while
//      lines go back and forth, as a share of one core.
// The far end answers each line after 10 ms, as a device answers a line
// once it has come in over the wire; the turnaround printed is the time
// beyond that. It runs under a far end that answers "W10 Y\n" with "Y" 10 ms
// later, on the port named by TARNUP_TEST_PORT (tests/serial-win32's FarEnd
// does):
//   far-end COM7 wine-run win32-turnaround.exe [lines, default 500]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/TSerial.h"
#include "serial/win32/Win32Comm.h"  // <windows.h> and the system calls on a port
#include "serial/win32/Win32Platform.h"
#include "testing/ManualOwner.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double CpuSeconds() {
  FILETIME created;
  FILETIME exited;
  FILETIME kernel;
  FILETIME user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto seconds = [](const FILETIME& t) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The update's wait for one byte: a read, else a sleep until a hand-over
// arrives (received data) or 200 ms pass. False after `timeout`.
bool Await(TSerial& serial, ManualSerialOwner& owner, std::uint8_t expected,
           std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    std::uint8_t byte = 0;
    if (serial.ReadByte(byte) == 1 && byte == expected) return true;
    owner.PumpFor(200ms);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr double kDeviceMs = 10.0;
  const char* name = std::getenv("TARNUP_TEST_PORT");
  if (name == nullptr || std::string(name).rfind("COM", 0) != 0) {
    std::fprintf(stderr, "run under a far end that sets TARNUP_TEST_PORT\n");
    return 2;
  }
  const int lines = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
  ManualSerialOwner owner;
  TSerial serial(owner, MakeWin32Platform());
  serial.SetPort(static_cast<sPorts>(std::atoi(name + 3)));
  serial.SetBaudrate(38400);
  serial.SetDataBits(d8bit);
  serial.SetStopBits(st2bit);
  serial.SetCheckParity(false);
  serial.SetActive(true);
  if (!serial.Active()) {
    std::fprintf(stderr, "%s did not open\n", name);
    return 1;
  }
  // The first answer settles the event thread into its way of waiting.
  serial.WriteString("TY\n");
  if (!Await(serial, owner, 'Y', 5000ms)) {
    std::fprintf(stderr, "no answer from the far end\n");
    return 1;
  }

  std::vector<double> samples;
  const double cpuBefore = CpuSeconds();
  const auto wallBefore = Clock::now();
  for (int i = 0; i < lines; ++i) {
    const auto sent = Clock::now();
    serial.WriteString("W10 Y\n");
    if (!Await(serial, owner, 'Y', 2000ms)) {
      std::fprintf(stderr, "line %d: no answer\n", i);
      return 1;
    }
    samples.push_back(Ms(Clock::now() - sent) - kDeviceMs);
  }
  const double busyCpu = (CpuSeconds() - cpuBefore) / (Ms(Clock::now() - wallBefore) / 1000.0);

  const double idleCpuBefore = CpuSeconds();
  const auto idleBefore = Clock::now();
  Await(serial, owner, 'Y', 5000ms);  // nothing comes
  const double idleCpu = (CpuSeconds() - idleCpuBefore) / (Ms(Clock::now() - idleBefore) / 1000.0);
  serial.SetActive(false);

  std::sort(samples.begin(), samples.end());
  std::printf("(each line answered %.0f ms after it was sent; the figures are the time beyond)\n",
              kDeviceMs);
  double sum = 0;
  for (const double s : samples) sum += s;
  const double mean = sum / static_cast<double>(samples.size());
  const double median = samples[samples.size() / 2];
  const double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  constexpr int kUpdateLines = 1019;
  constexpr double kWireSeconds = 40.7;
  const double overhead = kUpdateLines * mean / 1000.0 / kWireSeconds * 100.0;
  std::printf("lines %d: turnaround median %.2f ms, p99 %.2f ms, mean %.2f ms\n", lines, median,
              p99, mean);
  std::printf("update of %d lines: %.1f s beyond its %.1f s of wire time (%.1f %%)\n", kUpdateLines,
              kUpdateLines * mean / 1000.0, kWireSeconds, overhead);
  std::printf("CPU: %.2f %% of a core waiting with nothing received, %.2f %% exchanging lines\n",
              idleCpu * 100.0, busyCpu * 100.0);
  return 0;
}
