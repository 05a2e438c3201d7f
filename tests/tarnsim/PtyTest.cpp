// The simulator on a real pseudo-terminal, and the tarn-sim command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Lines.h"
#include "tarnsim/Pty.h"

using namespace std::chrono_literals;
using namespace tarnsim_test;
namespace fs = std::filesystem;

namespace {

tarnsim::DeviceOptions Quick() {
  tarnsim::DeviceOptions o;
  o.powerOn = 20ms;
  return o;
}

int OpenFarEnd(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct termios t {};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// Reads until `count` bytes have come, the line is hung up, or `timeout` passed.
std::string ReadSome(int fd, std::size_t count, std::chrono::milliseconds timeout,
                     bool* hungUp = nullptr) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p {
      fd, POLLIN, 0
    };
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - got.size()));
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno == EIO || (p.revents & POLLHUP)) {
      if (hungUp) *hungUp = true;
      break;
    }
  }
  return got;
}

void Write(int fd, const std::string& text) {
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

}  // namespace

TEST(PtySimulator, ServesOneSessionPerOpening) {
  tarnsim::PtySimulator sim(Quick());
  for (int session = 1; session <= 2; ++session) {
    SCOPED_TRACE(session);
    const int fd = OpenFarEnd(sim.Path());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadSome(fd, 2, 2000ms), " Q");
    Write(fd, kSecurity);
    EXPECT_EQ(ReadSome(fd, 1, 2000ms), "Y");
    Write(fd, kEnd);
    EXPECT_EQ(ReadSome(fd, 1, 2000ms), "Y");
    ::close(fd);
    const auto verdicts = sim.WaitForVerdicts(static_cast<std::size_t>(session), 2000ms);
    ASSERT_EQ(verdicts.size(), static_cast<std::size_t>(session));
    EXPECT_TRUE(verdicts.back().Passed()) << tarnsim::FormatVerdict(verdicts.back());
    EXPECT_EQ(verdicts.back().linesReceived, 2);
  }
  const auto trace = sim.Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(trace.front().fromDevice);
  EXPECT_EQ(trace.front().bytes, " Q");
}

TEST(PtySimulator, ACloseFollowedAtOnceByAnOpenStartsANewSession) {
  tarnsim::PtySimulator sim(Quick());
  for (int round = 1; round <= 20; ++round) {
    SCOPED_TRACE(round);
    const int fd = OpenFarEnd(sim.Path());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ReadSome(fd, 2, 2000ms), " Q");
    Write(fd, kSecurity);
    ASSERT_EQ(ReadSome(fd, 1, 2000ms), "Y");
    ::close(fd);  // and at once the next round opens again
  }
  const auto verdicts = sim.WaitForVerdicts(20, 2000ms);
  ASSERT_EQ(verdicts.size(), 20U);
  for (const auto& v : verdicts) EXPECT_EQ(v.linesReceived, 1);
}

TEST(PtySimulator, NothingIsSentBeforeTheFarEndOpens) {
  tarnsim::DeviceOptions o = Quick();
  o.powerOn = 0ms;
  tarnsim::PtySimulator sim(o);
  std::this_thread::sleep_for(100ms);
  const int fd = OpenFarEnd(sim.Path());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadSome(fd, 3, 300ms), " Q") << "exactly one power-on, after the opening";
  ::close(fd);
}

TEST(PtySimulator, HangUpClosesTheLine) {
  tarnsim::DeviceOptions o = Quick();
  o.faults.hangUpAtBlock = 2;
  tarnsim::PtySimulator sim(o);
  const int fd = OpenFarEnd(sim.Path());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadSome(fd, 2, 2000ms), " Q");
  for (const std::string& line : {kSecurity, Data(0)}) {
    Write(fd, line);
    EXPECT_EQ(ReadSome(fd, 1, 2000ms), "Y");
  }
  Write(fd, Data(1));
  bool hungUp = false;
  EXPECT_EQ(ReadSome(fd, 1, 2000ms, &hungUp), "");
  EXPECT_TRUE(hungUp);
  const auto verdicts = sim.WaitForVerdicts(1, 2000ms);
  ASSERT_EQ(verdicts.size(), 1U);
  EXPECT_TRUE(verdicts[0].hungUp);
  EXPECT_EQ(verdicts[0].blocksWritten, 1);
  ::close(fd);
}

TEST(PtySimulator, StopEndsASessionUnderWayWithAVerdict) {
  tarnsim::PtySimulator sim(Quick());
  const int fd = OpenFarEnd(sim.Path());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadSome(fd, 2, 2000ms), " Q");
  Write(fd, kSecurity + "\r\n");
  EXPECT_EQ(ReadSome(fd, 2, 2000ms), "Y\x3F");
  sim.Stop();
  const auto verdicts = sim.WaitForVerdicts(1, 0ms);
  ASSERT_EQ(verdicts.size(), 1U);
  ASSERT_TRUE(verdicts[0].violation.has_value());
  EXPECT_EQ(verdicts[0].violation->line, 2);
  EXPECT_FALSE(sim.Log().empty());
  ::close(fd);
}

// The command, run as a child process with a private config directory.
class TarnSimCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarnsim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ports_ = dir_ + "/tarnup/ports";
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait(1000ms);
    }
    fs::remove_all(dir_);
  }

  void Start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {TARN_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string xdg = "XDG_CONFIG_HOME=" + dir_;
    std::string home = "HOME=" + dir_ + "/home";
    std::vector<char*> envp = {xdg.data(), home.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // The exit status, or -1 when the child has not ended within `timeout`.
  int Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  bool WaitForLink(const std::string& path) {
    for (int i = 0; i < 300; ++i) {
      if (fs::is_symlink(path)) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;
  std::string ports_;
  pid_t pid_ = -1;
};

TEST_F(TarnSimCommand, BadArgumentsGiveUsageAndStatus2) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--frobnicate"}, {"--power-on", "soon"}, {"--as"}}) {
    Start(args);
    EXPECT_EQ(Wait(5000ms), 2) << args[0];
    EXPECT_NE(Read("err").find("usage: tarn-sim"), std::string::npos);
  }
}

TEST_F(TarnSimCommand, LinksAsPortAndRemovesTheLinkOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Start({"--as", "COM3"});
    const std::string link = ports_ + "/COM3";
    ASSERT_TRUE(WaitForLink(link));
    const std::string target = fs::read_symlink(link).string();
    EXPECT_EQ(target.rfind("/dev/pts/", 0), 0U) << target;
    ::kill(pid_, sig);
    EXPECT_EQ(Wait(5000ms), 0);
    EXPECT_FALSE(fs::is_symlink(link));
  }
}

TEST_F(TarnSimCommand, RefusesToReplaceALinkItDidNotMake) {
  fs::create_directories(ports_);
  const std::string link = ports_ + "/COM1";
  fs::create_symlink("/dev/ttyUSB7", link);
  Start({"--as", "COM1"});
  EXPECT_EQ(Wait(5000ms), 1);
  EXPECT_NE(Read("err").find("already exists"), std::string::npos) << Read("err");
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link).string(), "/dev/ttyUSB7");
}

TEST_F(TarnSimCommand, OnceRunsOneSessionAndPrintsItsVerdict) {
  {
    std::ofstream hex(dir_ + "/fw.hex");
    hex << Record(0x40, 0x0040, 0x00, BlockData(1)) << "\n:00000001FF\n";
  }
  Start({"--power-on", "10", "--once", "--expect", dir_ + "/fw.hex"});
  std::string path;
  for (int i = 0; i < 300 && path.empty(); ++i) {
    std::this_thread::sleep_for(10ms);
    const std::string out = Read("out");
    if (out.find('\n') != std::string::npos) path = out.substr(0, out.find('\n'));
  }
  ASSERT_FALSE(path.empty());
  const int fd = OpenFarEnd(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadSome(fd, 2, 2000ms), " Q");
  for (const std::string& line : {kSecurity, Data(1), kEnd}) {
    Write(fd, line);
    EXPECT_EQ(ReadSome(fd, 1, 2000ms), "Y");
  }
  ::close(fd);
  EXPECT_EQ(Wait(5000ms), 0);
  const std::string out = Read("out");
  EXPECT_NE(out.find("verdict: PASS"), std::string::npos) << out;
  EXPECT_NE(out.find("flash:           equals"), std::string::npos) << out;
}
