// serial-measure: prints figures of the serial component over a
// pseudo-terminal (the test plays the device on the master side):
//   1. CPU time of an open port with unread bytes, over 5 s;
//   2. CPU time of a port whose far end has hung up, over 5 s;
//   3. delay from a byte's arrival to the hand-over of its notification;
//   4. the time to close the port right after the last acknowledge, while
//      its received-data notification is still pending, with the pending
//      hand-over withdrawn by the close and (for comparison) without.
// Usage: serial-measure [seconds for 1 and 2, default 5]

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"
#include "serial/TSerial.h"
#include "serial/posix/PosixPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// An owner whose hand-over wake is timestamped, and which can be told to
// ignore withdrawals (the behaviour of a close that waits for everything).
class MeasuringOwner : public ISerialOwner {
 public:
  MeasuringOwner()
      : queue_([this] {
          std::lock_guard lock(mutex_);
          lastPost_ = Clock::now();
          ++posts_;
        }) {}

  void ShowErrorBox(const std::string& text) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back(text);
  }
  bool HandOver(const void* source, std::function<void()> call) override {
    return queue_.Post(source, std::move(call));
  }
  void WithdrawHandOvers(const void* source) override {
    if (withdraw_) queue_.Withdraw(source);
  }

  void SetWithdraw(bool withdraw) { withdraw_ = withdraw; }
  HandOverQueue& Queue() { return queue_; }
  std::size_t Posts() {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  Clock::time_point LastPost() {
    std::lock_guard lock(mutex_);
    return lastPost_;
  }
  void PumpFor(std::chrono::milliseconds span) {
    const auto end = Clock::now() + span;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      queue_.WaitPending(std::chrono::duration_cast<std::chrono::milliseconds>(end - now) +
                         std::chrono::milliseconds(1));
      queue_.RunPending();
    }
  }

 private:
  HandOverQueue queue_;
  std::atomic<bool> withdraw_{true};
  std::mutex mutex_;
  std::size_t posts_ = 0;
  Clock::time_point lastPost_;
  std::vector<std::string> boxes_;
};

struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
      std::fprintf(stderr, "no pseudo-terminal\n");
      std::exit(1);
    }
    slave = name;
  }
  ~Pty() { HangUp(); }
  void Send(const char* bytes) const {
    const std::size_t n = std::char_traits<char>::length(bytes);
    if (::write(master, bytes, n) != static_cast<ssize_t>(n)) std::perror("write");
  }
  void HangUp() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  int master = -1;
  std::string slave;
};

struct Rig {
  Rig() {
    std::string pattern = (fs::temp_directory_path() / "serial-measure-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
    dir = pattern;
    fs::create_symlink(pty.slave, dir / "COM1");
    serial =
        std::make_unique<TSerial>(owner, MakePosixPlatform({dir, dir / "no-dev", dir / "no-sys"}));
    serial->SetBaudrate(38400);
    serial->SetDataBits(d8bit);
    serial->SetStopBits(st2bit);
    serial->SetCheckParity(false);
    serial->SetNotifyErrors(neNone);
  }
  ~Rig() {
    serial.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  bool Open() {
    serial->SetActive(true);
    return serial->Active();
  }

  Pty pty;
  fs::path dir;
  MeasuringOwner owner;
  std::unique_ptr<TSerial> serial;
};

// Wall and CPU time, and the hand-overs posted, while the owner pumps for
// `seconds` after a settling pause of 100 ms.
struct Usage {
  double wall = 0;
  double cpu = 0;
  std::size_t posts = 0;
};

Usage MeasureIdle(Rig& rig, int seconds) {
  rig.owner.PumpFor(std::chrono::milliseconds(100));
  const std::size_t postsBefore = rig.owner.Posts();
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  rig.owner.PumpFor(std::chrono::seconds(seconds));
  Usage usage;
  usage.wall = Ms(Clock::now() - t0) / 1000.0;
  usage.cpu = CpuSeconds() - cpu0;
  usage.posts = rig.owner.Posts() - postsBefore;
  return usage;
}

void CpuWithUnreadBytes(int seconds) {
  Rig rig;
  if (!rig.Open()) return;
  rig.pty.Send("unread bytes");
  const Usage usage = MeasureIdle(rig, seconds);
  std::printf(
      "open port, %d bytes unread, %.1f s: CPU %.1f ms (%.3f %% of one core), %zu "
      "notifications meanwhile\n",
      rig.serial->GetRxWaiting(), usage.wall, usage.cpu * 1000.0, 100.0 * usage.cpu / usage.wall,
      usage.posts);
}

void CpuWhenHungUp(int seconds) {
  Rig rig;
  if (!rig.Open()) return;
  rig.pty.HangUp();
  const Usage usage = MeasureIdle(rig, seconds);
  std::printf("hung-up port, %.1f s: CPU %.1f ms (%.3f %% of one core), %zu failure reports\n",
              usage.wall, usage.cpu * 1000.0, 100.0 * usage.cpu / usage.wall, usage.posts);
}

void ArrivalToHandOver() {
  Rig rig;
  if (!rig.Open()) return;
  std::vector<double> delays;
  std::uint8_t b = 0;
  for (int i = 0; i < 200; ++i) {
    const std::size_t before = rig.owner.Posts();
    const auto sent = Clock::now();
    rig.pty.Send("Y");
    const auto limit = sent + std::chrono::seconds(2);
    while (rig.owner.Posts() == before && Clock::now() < limit) {
      rig.owner.Queue().WaitPending(std::chrono::milliseconds(1));
    }
    if (rig.owner.Posts() == before) continue;
    delays.push_back(Ms(rig.owner.LastPost() - sent));
    rig.owner.Queue().RunPending();
    while (rig.serial->ReadByte(b) == 0 && Clock::now() < limit) {
    }
  }
  if (delays.empty()) return;
  std::sort(delays.begin(), delays.end());
  const auto over1ms =
      std::count_if(delays.begin(), delays.end(), [](double d) { return d > 1.0; });
  std::printf(
      "arrival to hand-over of the received-data notification (%zu bytes): median %.3f "
      "ms, 99th percentile %.3f ms, max %.3f ms, %td over 1 ms\n",
      delays.size(), delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back(),
      over1ms);
}

void CloseAfterLastAcknowledge(bool withdraw) {
  Rig rig;
  rig.owner.SetWithdraw(withdraw);
  if (!rig.Open()) return;
  rig.owner.PumpFor(std::chrono::milliseconds(50));
  // The last record line goes out and its acknowledge comes back; the window
  // reads it by polling, so the notification handed over for it has not run
  // when the clean-up closes the port.
  rig.serial->WriteString(":000000FF01");
  rig.owner.PumpFor(std::chrono::milliseconds(20));  // transmit-empty notification
  rig.pty.Send("Y");
  std::uint8_t b = 0;
  const auto limit = Clock::now() + std::chrono::seconds(2);
  while (!rig.owner.Queue().HasPending() && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  while (rig.serial->ReadByte(b) == 0 && Clock::now() < limit) {
  }
  const bool pending = rig.owner.Queue().HasPending();
  const auto t0 = Clock::now();
  rig.serial->SetActive(false);
  std::printf("close after the last acknowledge, notification %s, %s: %.1f ms\n",
              pending ? "pending" : "not pending",
              withdraw ? "withdrawn by the close" : "not withdrawn (as before the mend)",
              Ms(Clock::now() - t0));
  rig.owner.SetWithdraw(true);  // lets the destructor release the thread
}

void CloseIdle() {
  Rig rig;
  if (!rig.Open()) return;
  rig.owner.PumpFor(std::chrono::milliseconds(50));
  const auto t0 = Clock::now();
  rig.serial->SetActive(false);
  std::printf("close of an idle port: %.1f ms\n", Ms(Clock::now() - t0));
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  CpuWithUnreadBytes(seconds);
  CpuWhenHungUp(seconds);
  ArrivalToHandOver();
  CloseIdle();
  CloseAfterLastAcknowledge(true);
  CloseAfterLastAcknowledge(false);
  return 0;
}
