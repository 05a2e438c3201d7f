#include "OperatorDriver.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tarnsim/Flash.h"
#include "tarnsim/Pty.h"

namespace opdrive {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& command, const std::vector<std::string>& env, int out,
            int err) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(out >= 0 ? out : null, 1);
    ::dup2(err >= 0 ? err : null, 2);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Status(const std::vector<std::string>& command, const std::vector<std::string>& env) {
  return Wait(Spawn(command, env));
}

std::string Output(const std::vector<std::string>& command, const std::vector<std::string>& env) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = Spawn(command, env, fds[1]);
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  Wait(pid);
  return out;
}

Display::Display() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(fds[0]);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string fd = std::to_string(fds[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  // The number comes as a line, maybe in more than one write.
  std::string number;
  char c = 0;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  ::close(fds[0]);
  if (!number.empty()) name_ = ":" + number;
}

Display::~Display() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Display::Answers() const {
  for (auto until = Clock::now() + 10s; !name_.empty() && Clock::now() < until;) {
    if (Status({"xdotool", "getdisplaygeometry"}, {"DISPLAY=" + name_}) == 0) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

std::vector<Window> FindWindows(const std::string& display, const std::string& nameRegex) {
  std::vector<Window> found;
  std::istringstream ids(
      Output({"xdotool", "search", "--onlyvisible", "--name", nameRegex}, {"DISPLAY=" + display}));
  for (std::string id; ids >> id;) {
    Window w{id};
    std::istringstream shell(
        Output({"xdotool", "getwindowgeometry", "--shell", id}, {"DISPLAY=" + display}));
    for (std::string line; std::getline(shell, line);) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq);
      const int value = std::atoi(line.c_str() + eq + 1);
      if (key == "X") w.x = value;
      if (key == "Y") w.y = value;
      if (key == "WIDTH") w.width = value;
      if (key == "HEIGHT") w.height = value;
    }
    if (w.width > 1) found.push_back(w);
  }
  return found;
}

void Click(const std::string& display, int x, int y) {
  Status({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"},
         {"DISPLAY=" + display});
}

std::vector<std::string> TextsAfter(const fs::path& log, const std::string& marker) {
  std::vector<std::string> texts;
  std::ifstream in(log, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (const auto at = line.find(marker); at != std::string::npos) {
      texts.push_back(line.substr(at + marker.size()));
    }
  }
  return texts;
}

std::optional<Options> ParseOptions(int argc, char** argv, const MoreOptions& more) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const std::function<std::string()> value = [&]() -> std::string {
      return i + 1 < argc ? argv[++i] : "";
    };
    if (a == "--exe") {
      options.exe = value();
    } else if (a == "--hex") {
      options.hex = value();
    } else if (a == "--work") {
      options.work = value();
    } else if (a == "--case") {
      options.caseName = value();
    } else if (a == "--screenshot") {
      options.screenshot = value();
    } else if (!more(a, value)) {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return std::nullopt;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ::signal(SIGPIPE, SIG_IGN);
  return options;
}

int MissingTool(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    if (Status({"sh", "-c", std::string("command -v ") + tool}) != 0) {
      std::printf("skipped: %s is not installed (scripts/setup installs it)\n", tool);
      return kSkipped;
    }
  }
  return 0;
}

namespace {

// The window's client area and the centres of its buttons in it.
constexpr int kClientWidth = 412;
constexpr int kClientHeight = 164;
constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;
struct Spot {
  int x;
  int y;
};
constexpr Spot kStart{336 + 32, 128 + 12};
constexpr Spot kExit{256 + 32, 128 + 12};
constexpr Spot kCancel{176 + 32, 128 + 12};

const char* const kWindowName = "^TARN Update Version 1.24$";
const char* const kBoxNames = "^(tarnup|Fehler)$";

// The checks of one case: each is printed, any failure fails the case.
class Report {
 public:
  void Check(bool condition, const std::string& what) {
    std::printf("  %s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    if (!condition) failed_ = true;
  }
  [[nodiscard]] bool Failed() const { return failed_; }

 private:
  bool failed_ = false;
};

// The update window: the client area lies at the bottom of the X window,
// inside the frame the program may draw around it.
struct FormWindow {
  std::string display;
  Window window;

  [[nodiscard]] int Left() const { return window.x + (window.width - kClientWidth) / 2; }
  [[nodiscard]] int Top() const {
    return window.y + window.height - kClientHeight - (window.width - kClientWidth) / 2;
  }
  void Press(Spot spot) const { Click(display, Left() + spot.x, Top() + spot.y); }
  void Key(const std::string& key) const {
    Status({"xdotool", "key", key}, {"DISPLAY=" + display});
  }
};

// CPU time (user + system) of a process, in seconds; negative when gone.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1;
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> f;
  for (std::string s; fields >> s;) f.push_back(s);
  if (f.size() < 13) return -1;
  const double ticks = std::stod(f[11]) + std::stod(f[12]);  // utime, stime
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Box {
  std::string title;
  std::string text;
};

std::string Join(const std::vector<Box>& boxes) {
  std::string all;
  for (const Box& box : boxes) all += (all.empty() ? "" : " | ") + box.title + ": " + box.text;
  return all.empty() ? "(none)" : all;
}

// Host time per line: from an acknowledge leaving the device to the first
// byte of the next line arriving.
void PrintLineTimes(const std::vector<tarnsim::TraceEvent>& trace) {
  std::vector<double> gaps;
  std::optional<tarnsim::Nanos> ackAt;
  for (const auto& e : trace) {
    if (e.fromDevice) {
      if (!e.bytes.empty() && e.bytes.back() == 'Y') ackAt = e.at;
    } else {
      if (ackAt) gaps.push_back(std::chrono::duration<double, std::milli>(e.at - *ackAt).count());
      ackAt.reset();
    }
  }
  if (gaps.empty()) return;
  std::sort(gaps.begin(), gaps.end());
  std::printf(
      "  figure host time per line (ack -> next line), %zu lines: median %.3f ms, "
      "p99 %.3f ms, max %.3f ms\n",
      gaps.size(), gaps[gaps.size() / 2], gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)],
      gaps.back());
}

enum class Action : std::uint8_t {
  Start,
  StartThenEnter,
  CancelButton,
  CancelEsc,
  CancelWhileIdleThenStart,
  ClosePowerWait,
  DeviceVanishes,
};

struct Case {
  std::string name;
  std::string what;
  std::function<void(tarnsim::DeviceOptions&)> device;
  Action action = Action::Start;
  bool passes = false;                                            // the simulator's verdict
  std::vector<Box> boxes;                                         // the boxes expected, in order
  std::function<void(Report&, const tarnsim::Verdict&)> verdict;  // further checks
  bool closesItself = false;  // the program ends without Exit being pressed
};

void NoLineSent(Report& report, const tarnsim::Verdict& v) {
  report.Check(v.linesReceived == 0, "no line sent, got " + std::to_string(v.linesReceived));
}

std::vector<Case> Cases() {
  return {
      {"pass",
       "a full update at the line's pace: Start clicked, the simulator's verdict PASS, no box",
       [](tarnsim::DeviceOptions& d) {
         d.powerOn = 10000ms;
         d.wire = true;
       },
       Action::Start,
       true,
       {},
       {}},
      {"enter-after-start",
       "Start clicked, then Enter pressed twice: the run goes on to PASS (a disabled, focused "
       "Start hands neither the focus nor the Enter to Abbruch)",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 2500ms; },
       Action::StartThenEnter,
       true,
       {},
       {}},
      {"silent",
       "a device that stops answering after 5 blocks: \"Hardware antwortet nicht !.\"",
       [](tarnsim::DeviceOptions& d) {
         d.powerOn = 300ms;
         d.faults.silentAfterBlock = 5;
       },
       Action::Start,
       false,
       {{"tarnup", "Hardware antwortet nicht !."}},
       [](Report& report, const tarnsim::Verdict& v) {
         report.Check(v.blocksWritten == 5,
                      "5 blocks written, got " + std::to_string(v.blocksWritten));
       }},
      {"wrong-byte",
       "3F instead of Y for line 3 (the first erase): \"3F Hardware antwortet falsch !.\"",
       [](tarnsim::DeviceOptions& d) {
         d.powerOn = 300ms;
         d.faults.wrongByteAtLine = 3;
       },
       Action::Start,
       false,
       {{"tarnup", "3F Hardware antwortet falsch !."}},
       [](Report& report, const tarnsim::Verdict& v) {
         report.Check(v.linesReceived == 3,
                      "3 lines received, got " + std::to_string(v.linesReceived));
       }},
      {"cancel-power-wait",
       "Abbruch clicked while waiting for power: the port closes, no box",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::CancelButton,
       false,
       {},
       NoLineSent},
      {"esc-power-wait",
       "Esc pressed while waiting for power: the port closes, no box",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::CancelEsc,
       false,
       {},
       NoLineSent},
      {"cancel-idle-then-start",
       "Esc and Abbruch pressed while idle, then Start: the run is not cancelled by them and "
       "goes on to PASS",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 2500ms; },
       Action::CancelWhileIdleThenStart,
       true,
       {},
       {}},
      {"close-power-wait",
       "Alt+F4 while waiting for power: the run ends as with Abbruch, no box, and the program "
       "ends at once",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::ClosePowerWait,
       false,
       {},
       NoLineSent,
       true},
      {"device-vanishes",
       "the device goes away while the window waits for power: one box says so for that "
       "opening, Abbruch ends the run, and the next Start gives one box that the port leads "
       "nowhere",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::DeviceVanishes,
       false,
       {{"Fehler", "COM1* is gone: the adapter may have been unplugged, or the line has hung up"},
        {"Fehler", "COM1 *"}},
       NoLineSent},
  };
}

void Screenshot(const std::string& display, const Window& w, const std::string& file) {
  const std::string crop = std::to_string(w.width) + "x" + std::to_string(w.height) + "+" +
                           std::to_string(w.x) + "+" + std::to_string(w.y);
  Status({"import", "-display", display, "-window", "root", "-crop", crop, "+repage", file});
  std::printf("  screenshot %s\n", file.c_str());
}

// Waits until the program has ended by itself; its exit status, -1 if not.
int Reap(pid_t program, std::chrono::seconds within) {
  int status = 0;
  for (auto until = Clock::now() + within; Clock::now() < until;) {
    if (::waitpid(program, &status, WNOHANG) == program) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    std::this_thread::sleep_for(100ms);
  }
  return -1;
}

// The window once it has appeared and its place has settled (a program may
// move it when it learns its frame); with `framed`, once its frame is there.
std::optional<Window> WaitForWindow(const std::string& display, bool framed) {
  std::optional<Window> found;
  for (auto until = Clock::now() + 60s; !found && Clock::now() < until;) {
    const auto windows = FindWindows(display, kWindowName);
    if (!windows.empty()) {
      found = windows.front();
    } else {
      std::this_thread::sleep_for(100ms);
    }
  }
  for (auto until = Clock::now() + 10s; found && Clock::now() < until;) {
    std::this_thread::sleep_for(300ms);
    const auto again = FindWindows(display, kWindowName);
    if (again.empty()) continue;
    const Window& w = again.front();
    const bool same =
        w.x == found->x && w.y == found->y && w.width == found->width && w.height == found->height;
    found = w;
    const int frame = w.width - kClientWidth;
    if (same && frame >= 0 && (!framed || w.height - kClientHeight > frame)) break;
  }
  return found;
}

int Run(const Options& options, FrontEnd& frontEnd, const Case& c) {
  std::printf("%s: %s\n", c.name.c_str(), c.what.c_str());
  Report report;
  const fs::path dir = options.work / c.name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  tarnsim::DeviceOptions device;
  c.device(device);
  device.expected = std::make_shared<const tarnsim::Flash>(tarnsim::ReadIntelHexFile(options.hex));
  auto sim = std::make_unique<tarnsim::PtySimulator>(device);
  // The port leads to the device through a link of its own, as a device
  // name the system makes for an adapter, which goes when the adapter goes.
  const fs::path deviceLink = dir / "tarn-device";
  fs::create_symlink(sim->Path(), deviceLink);
  if (!frontEnd.LinkPort(deviceLink, dir)) {
    std::printf("  COM1 cannot be mapped\n");
    return 1;
  }

  Display display;
  if (!display.Answers()) {
    std::printf("  cannot start Xvfb\n");
    return 1;
  }
  const std::string& screen = display.Name();
  if (!frontEnd.Prepare(screen, dir)) return 1;
  const fs::path log = dir / "program.log";
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t program = frontEnd.Launch(screen, dir, logFd);
  ::close(logFd);

  const std::optional<Window> found = WaitForWindow(screen, frontEnd.DrawsFrame());
  report.Check(found.has_value(), "the window \"TARN Update Version 1.24\" appears");
  if (!found) {
    ::kill(program, SIGTERM);
    ::waitpid(program, nullptr, 0);
    return 1;
  }
  const FormWindow form{screen, *found};
  const int frame = found->width - kClientWidth;
  const int caption = found->height - kClientHeight - frame;
  report.Check(frontEnd.DrawsFrame() ? frame >= 0 && frame % 2 == 0 && caption > 0
                                     : frame == 0 && caption == 0,
               "client area 412 x 164 in a window of " + std::to_string(found->width) + " x " +
                   std::to_string(found->height));
  // Centred on the screen by the window's outer size.
  report.Check(
      found->x == (kScreenWidth - found->width) / 2 &&
          found->y == (kScreenHeight - found->height) / 2,
      "centred on the screen at " + std::to_string(found->x) + ", " + std::to_string(found->y));

  if (c.action == Action::CancelWhileIdleThenStart) {
    form.Key("Escape");
    form.Press(kCancel);
    std::this_thread::sleep_for(300ms);
  }
  const auto clicked = Clock::now();
  form.Press(kStart);
  if (c.action == Action::StartThenEnter) {
    std::this_thread::sleep_for(300ms);
    form.Key("Return");
    std::this_thread::sleep_for(300ms);
    form.Key("Return");
  }
  if (c.name == "pass") {
    // The power wait: the program sleeps until the timer or the port wakes it.
    const pid_t helper = frontEnd.Helper();
    std::this_thread::sleep_for(1000ms);
    const double cpu0 = CpuSeconds(program);
    const double helper0 = CpuSeconds(helper);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(8000ms);
    const double cpu1 = CpuSeconds(program);
    const double helper1 = CpuSeconds(helper);
    const double span = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("  figure CPU while waiting for power: %s %.2f %% of a core",
                frontEnd.ProgramName().c_str(), 100 * (cpu1 - cpu0) / span);
    if (helper >= 0) std::printf(", its helper %.2f %%", 100 * (helper1 - helper0) / span);
    std::printf(" (over %.1f s)\n", span);
  }
  const bool inPowerWait = c.action == Action::CancelButton || c.action == Action::CancelEsc ||
                           c.action == Action::ClosePowerWait || c.action == Action::DeviceVanishes;
  if (inPowerWait) std::this_thread::sleep_for(2500ms);
  if (c.action == Action::CancelButton) form.Press(kCancel);
  if (c.action == Action::CancelEsc) form.Key("Escape");
  if (c.action == Action::ClosePowerWait) form.Key("alt+F4");

  // Closes every box that has come, reading the new ones first.
  std::vector<Box> boxes;
  std::vector<std::string> seen;
  const auto closeBoxes = [&] {
    for (const Window& box : FindWindows(screen, kBoxNames)) {
      if (std::find(seen.begin(), seen.end(), box.id) == seen.end()) {
        seen.push_back(box.id);
        std::string title = Output({"xdotool", "getwindowname", box.id}, {"DISPLAY=" + screen});
        if (!title.empty() && title.back() == '\n') title.pop_back();
        boxes.push_back({title, ""});
      }
      frontEnd.CloseBox(screen, box);
      std::this_thread::sleep_for(300ms);
    }
  };
  const auto closeBoxesFor = [&](std::chrono::milliseconds span) {
    for (auto until = Clock::now() + span; Clock::now() < until;) {
      std::this_thread::sleep_for(250ms);
      closeBoxes();
    }
  };
  std::vector<tarnsim::Verdict> verdicts;
  if (c.action == Action::DeviceVanishes) {
    // The device goes, and with it the name the system gave it.
    sim->Stop();
    verdicts = sim->WaitForVerdicts(1, 5000ms);
    sim.reset();
    fs::remove(deviceLink);
    closeBoxesFor(3000ms);
    form.Press(kCancel);
    std::this_thread::sleep_for(500ms);
    form.Press(kStart);
  }
  bool screenshotTaken = options.screenshot.empty();
  for (auto deadline = Clock::now() + 150s; verdicts.empty() && Clock::now() < deadline;) {
    verdicts = sim->WaitForVerdicts(1, 300ms);
    closeBoxes();
    // Mid-run: the power is on and a few seconds of the update have passed.
    if (!screenshotTaken && Clock::now() > clicked + device.powerOn + 5s) {
      Screenshot(screen, *found, options.screenshot);
      screenshotTaken = true;
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - clicked).count();
  report.Check(!verdicts.empty(), "the port was closed at the end of the run");
  // An error box comes after the clean-up that closed the port.
  closeBoxesFor(2000ms);
  if (!verdicts.empty()) {
    const tarnsim::Verdict& v = verdicts.front();
    std::printf("  simulator: %s", tarnsim::FormatVerdict(v).c_str());
    report.Check(v.Passed() == c.passes, std::string("verdict ") + (c.passes ? "PASS" : "FAIL"));
    if (c.verdict) c.verdict(report, v);
    if (c.name == "pass") {
      std::printf(
          "  figure wall time from the click on Start to the verdict: %.2f s "
          "(%.2f s after the power-on)\n",
          wall, wall - std::chrono::duration<double>(device.powerOn).count());
      PrintLineTimes(sim->Trace());
      std::printf("  figure CPU time of %s for the whole run: %.2f s\n",
                  frontEnd.ProgramName().c_str(), CpuSeconds(program));
    }
  }

  int status = -1;
  if (c.closesItself) {
    status = Reap(program, 10s);
    report.Check(status == 0, "the program ended by itself with status 0");
  }
  if (status < 0) {
    // Exit ends the program.
    form.Press(kExit);
    status = Reap(program, 20s);
    report.Check(status == 0, "Exit ends the program with status 0");
  }
  if (status < 0) {
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
  }
  frontEnd.Finish();

  const std::vector<std::string> texts = frontEnd.BoxTexts(log);
  for (std::size_t i = 0; i < boxes.size() || i < texts.size(); ++i) {
    if (i >= boxes.size()) boxes.push_back({"(not seen)", ""});
    boxes[i].text = i < texts.size() ? texts[i] : "(not in the log)";
  }
  bool same = boxes.size() == c.boxes.size();
  for (std::size_t i = 0; same && i < boxes.size(); ++i) {
    same = boxes[i].title == c.boxes[i].title &&
           ::fnmatch(c.boxes[i].text.c_str(), boxes[i].text.c_str(), 0) == 0;
  }
  report.Check(same, "boxes shown: " + Join(boxes) + "; expected: " + Join(c.boxes));
  return report.Failed() ? 1 : 0;
}

}  // namespace

int RunCase(const Options& options, FrontEnd& frontEnd) {
  for (const Case& c : Cases()) {
    if (c.name == options.caseName) return Run(options, frontEnd, c);
  }
  std::fprintf(stderr, "unknown case %s\n", options.caseName.c_str());
  return 2;
}

}  // namespace opdrive
