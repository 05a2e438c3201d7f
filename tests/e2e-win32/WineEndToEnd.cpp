// tarnup.exe end to end under Wine: the Windows program in a Wine prefix of
// its own, on an Xvfb display, its COM1 mapped to the device simulator's pty,
// driven with xdotool like an operator (clicks and keys). A Linux program,
// built for the build machine; CTest runs one case per invocation.
//
//   tarnup-wine-e2e --exe tarnup.exe --wine-run wine-run --hex firmware.hex
//                   --work DIR (--prepare | --case NAME [--screenshot FILE]
//                               | --run TEST.EXE)
//
// --prepare creates the prefix and maps COM1 to DIR/com1, a link that each
// case points at its simulator's pty. Wine's mount manager reads the port
// map only when the prefix starts, so a stable link is mapped once, instead
// of a fresh pty per case. --run runs a Windows test program in the same
// prefix on a display of its own and returns its status. The message boxes' texts come from Wine's
// msgbox trace (WINEDEBUG=+msgbox), their titles from the window names.
//
// Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tarnsim/Flash.h"
#include "tarnsim/Pty.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSkipped = 77;
constexpr int kClientWidth = 412;
constexpr int kClientHeight = 164;

// Centres of the controls in the client area.
struct Spot {
  int x;
  int y;
};
constexpr Spot kStart{336 + 32, 128 + 12};
constexpr Spot kExit{256 + 32, 128 + 12};
constexpr Spot kCancel{176 + 32, 128 + 12};

struct Options {
  std::string exe;
  std::string wineRun;
  std::string hex;
  fs::path work;
  bool prepare = false;
  std::string caseName;
  std::string screenshot;
  std::string run;
};

bool failed = false;

void Check(bool condition, const std::string& what) {
  std::printf("  %s %s\n", condition ? "ok  " : "FAIL", what.c_str());
  if (!condition) failed = true;
}

// Starts `command` with `env` added to the environment, its standard output
// on `out` and its errors on `err` (-1: /dev/null); returns its process id.
pid_t Spawn(const std::vector<std::string>& command, const std::vector<std::string>& env,
            int out = -1, int err = -1) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
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

int Status(const std::vector<std::string>& command, const std::vector<std::string>& env = {}) {
  return Wait(Spawn(command, env));
}

// Runs a command and returns its standard output.
std::string Output(const std::vector<std::string>& command,
                   const std::vector<std::string>& env = {}) {
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

bool OnPath(const std::string& program) {
  return Status({"sh", "-c", "command -v " + program}) == 0;
}

// An Xvfb display of this case's own.
class Display {
 public:
  Display() {
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
  ~Display() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  [[nodiscard]] const std::string& Name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

bool DisplayAnswers(const std::string& display) {
  for (auto until = Clock::now() + 10s; Clock::now() < until;) {
    if (Status({"xdotool", "getdisplaygeometry"}, {"DISPLAY=" + display}) == 0) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

struct Wine {
  const Options& options;
  std::string display;

  [[nodiscard]] std::vector<std::string> Env(const std::string& debug) const {
    return {"WINEPREFIX=" + (options.work / "wineprefix").string(), "WINEDEBUG=" + debug,
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY=" + display};
  }
  int Run(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{options.wineRun};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Status(command, Env("-all"));
  }
  // Waits until the prefix's wineserver has gone (it lingers a few seconds
  // after its last program), so the next case starts it on its own display.
  void WaitForServerExit() const { Status({"wineserver", "-w"}, Env("-all")); }
};

struct Window {
  std::string id;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

std::vector<Window> FindWindows(const std::string& display, const std::string& nameRegex) {
  std::vector<Window> found;
  std::istringstream ids(
      Output({"xdotool", "search", "--name", nameRegex}, {"DISPLAY=" + display}));
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

// The update window: the client area lies at the bottom of the X window, in
// the frame Wine draws around it.
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

// The wineserver of the prefix: it works in a directory named after the
// prefix's device and inode numbers.
pid_t FindWineServer(const fs::path& prefix) {
  struct stat s {};
  if (::stat(prefix.c_str(), &s) != 0) return -1;
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "/server-%llx-%llx",
                static_cast<unsigned long long>(s.st_dev),
                static_cast<unsigned long long>(s.st_ino));
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string command;
    std::getline(cmdline, command, '\0');
    if (command.find("wineserver") == std::string::npos) continue;
    const std::string cwd = fs::read_symlink(entry.path() / "cwd", ec).string();
    if (!ec && cwd.size() >= std::strlen(suffix) &&
        cwd.compare(cwd.size() - std::strlen(suffix), std::string::npos, suffix) == 0) {
      return static_cast<pid_t>(std::stoi(name));
    }
  }
  return -1;
}

// The texts of the message boxes the program showed, from Wine's trace.
std::vector<std::string> BoxTexts(const fs::path& log) {
  std::vector<std::string> texts;
  std::ifstream in(log, std::ios::binary);
  const std::string marker = "MSGBOX_OnInit L\"";
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(marker);
    if (at == std::string::npos) continue;
    std::string text = line.substr(at + marker.size());
    if (const auto end = text.rfind('"'); end != std::string::npos) text.resize(end);
    texts.push_back(text);
  }
  return texts;
}

std::string Join(const std::vector<std::string>& items) {
  std::string all;
  for (const std::string& item : items) all += (all.empty() ? "" : " | ") + item;
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
};

struct Case {
  std::string name;
  std::string what;
  std::function<void(tarnsim::DeviceOptions&)> device;
  Action action = Action::Start;
  bool passes = false;                                   // the simulator's verdict
  std::vector<std::string> boxes;                        // texts of the boxes expected, in order
  std::function<void(const tarnsim::Verdict&)> verdict;  // further checks
  bool closesItself = false;  // the program ends without Exit being pressed
};

std::vector<Case> Cases() {
  return {
      {"pass",
       "a full update: Start clicked, the simulator's verdict PASS, no box",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 10000ms; },
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
       {"Hardware antwortet nicht !."},
       [](const tarnsim::Verdict& v) {
         Check(v.blocksWritten == 5, "5 blocks written, got " + std::to_string(v.blocksWritten));
       }},
      {"wrong-byte",
       "3F instead of Y for line 3 (the first erase): \"3F Hardware antwortet falsch !.\"",
       [](tarnsim::DeviceOptions& d) {
         d.powerOn = 300ms;
         d.faults.wrongByteAtLine = 3;
       },
       Action::Start,
       false,
       {"3F Hardware antwortet falsch !."},
       [](const tarnsim::Verdict& v) {
         Check(v.linesReceived == 3, "3 lines received, got " + std::to_string(v.linesReceived));
       }},
      {"cancel-power-wait",
       "Abbruch clicked while waiting for power: the port closes, no box",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::CancelButton,
       false,
       {},
       [](const tarnsim::Verdict& v) {
         Check(v.linesReceived == 0, "no line sent, got " + std::to_string(v.linesReceived));
       }},
      {"esc-power-wait",
       "Esc pressed while waiting for power: the port closes, no box",
       [](tarnsim::DeviceOptions& d) { d.powerOn = 100s; },
       Action::CancelEsc,
       false,
       {},
       [](const tarnsim::Verdict& v) {
         Check(v.linesReceived == 0, "no line sent, got " + std::to_string(v.linesReceived));
       }},
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
       [](const tarnsim::Verdict& v) {
         Check(v.linesReceived == 0, "no line sent, got " + std::to_string(v.linesReceived));
       },
       true},
  };
}

int Prepare(const Options& options) {
  Display display;
  if (display.Name().empty()) {
    std::printf("cannot start Xvfb\n");
    return 1;
  }
  const Wine wine{options, display.Name()};
  fs::create_directories(options.work);
  const fs::path link = options.work / "com1";
  fs::remove(link);
  fs::create_symlink("/dev/null", link);
  const auto started = Clock::now();
  // The first start creates the prefix (tens of seconds).
  bool ok = wine.Run({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ",
                      "/d", link.string(), "/f"}) == 0;
  // Wine draws the window frame itself, as Windows does (Xvfb has no
  // window manager).
  ok = ok && wine.Run({"reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/t",
                       "REG_SZ", "/d", "N", "/f"}) == 0;
  Status({"wineserver", "-k"}, wine.Env("-all"));
  wine.WaitForServerExit();
  std::printf("prefix %s ready in %.1f s, COM1 -> %s\n", (options.work / "wineprefix").c_str(),
              std::chrono::duration<double>(Clock::now() - started).count(), link.c_str());
  return ok ? 0 : 1;
}

int RunProgram(const Options& options) {
  Display display;
  if (display.Name().empty()) {
    std::printf("cannot start Xvfb\n");
    return 1;
  }
  const Wine wine{options, display.Name()};
  wine.WaitForServerExit();
  if (!DisplayAnswers(display.Name())) {
    std::printf("the display %s does not answer\n", display.Name().c_str());
    return 1;
  }
  // The program's output goes to ours, for CTest's log.
  const int status = Wait(Spawn({options.wineRun, options.run}, wine.Env("-all"), 1, 2));
  wine.WaitForServerExit();
  return status < 0 ? 1 : status;
}

int RunCase(const Options& options, const Case& c) {
  std::printf("%s: %s\n", c.name.c_str(), c.what.c_str());
  const fs::path link = options.work / "com1";
  if (!fs::is_symlink(link)) {
    std::printf("  the prefix is not prepared (run with --prepare first)\n");
    return 1;
  }
  tarnsim::DeviceOptions device;
  c.device(device);
  device.expected = std::make_shared<const tarnsim::Flash>(tarnsim::ReadIntelHexFile(options.hex));
  tarnsim::PtySimulator sim(device);
  fs::remove(link);
  fs::create_symlink(sim.Path(), link);

  Display display;
  if (display.Name().empty()) {
    std::printf("  cannot start Xvfb\n");
    return 1;
  }
  // The display answers before Wine is started on it, and no server of the
  // prefix from an earlier case is left over.
  Check(DisplayAnswers(display.Name()), "the display " + display.Name() + " answers");
  const Wine wine{options, display.Name()};
  wine.WaitForServerExit();
  const fs::path log = options.work / (c.name + ".log");
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t program = Spawn({options.wineRun, options.exe}, wine.Env("+msgbox"), logFd, logFd);
  ::close(logFd);

  std::optional<Window> found;
  for (auto until = Clock::now() + 60s; !found && Clock::now() < until;) {
    const auto windows = FindWindows(display.Name(), "^TARN Update Version 1.24$");
    if (!windows.empty()) {
      found = windows.front();
    } else {
      std::this_thread::sleep_for(100ms);
    }
  }
  Check(found.has_value(), "the window \"TARN Update Version 1.24\" appears");
  if (!found) {
    ::kill(program, SIGTERM);
    ::waitpid(program, nullptr, 0);
    return 1;
  }
  // The window is created at the template's size and takes the layout's
  // before it is shown; wait until its frame has settled.
  for (auto until = Clock::now() + 10s; Clock::now() < until;) {
    std::this_thread::sleep_for(300ms);
    const auto again = FindWindows(display.Name(), "^TARN Update Version 1.24$");
    if (again.empty()) continue;
    const Window& w = again.front();
    const bool same =
        w.x == found->x && w.y == found->y && w.width == found->width && w.height == found->height;
    found = w;
    if (same && w.width >= kClientWidth && w.height - kClientHeight > w.width - kClientWidth) break;
  }
  const FormWindow form{display.Name(), *found};
  const int frame = found->width - kClientWidth;
  Check(frame >= 0 && frame % 2 == 0 && found->height - kClientHeight > frame,
        "client area 412 x 164 inside a frame of " + std::to_string(found->width) + " x " +
            std::to_string(found->height));
  // Centred on the 1024 x 768 screen by the window's outer size.
  Check(found->x == (1024 - found->width) / 2 && found->y == (768 - found->height) / 2,
        "centred on the screen at " + std::to_string(found->x) + ", " + std::to_string(found->y));
  if (!options.screenshot.empty()) {
    const std::string crop = std::to_string(found->width) + "x" + std::to_string(found->height) +
                             "+" + std::to_string(found->x) + "+" + std::to_string(found->y);
    Status({"import", "-display", display.Name(), "-window", "root", "-crop", crop, "+repage",
            options.screenshot});
    std::printf("  screenshot %s\n", options.screenshot.c_str());
  }

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
    const pid_t server = FindWineServer(options.work / "wineprefix");
    std::this_thread::sleep_for(1000ms);
    const double cpu0 = CpuSeconds(program);
    const double server0 = CpuSeconds(server);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(8000ms);
    const double cpu1 = CpuSeconds(program);
    const double server1 = CpuSeconds(server);
    const double span = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf(
        "  figure CPU while waiting for power: tarnup.exe %.2f %% of a core, "
        "wineserver %.2f %% (over %.1f s)\n",
        100 * (cpu1 - cpu0) / span, server >= 0 ? 100 * (server1 - server0) / span : -1.0, span);
  }
  if (c.action == Action::CancelButton || c.action == Action::CancelEsc ||
      c.action == Action::ClosePowerWait) {
    std::this_thread::sleep_for(2500ms);
    if (c.action == Action::CancelButton) {
      form.Press(kCancel);
    } else if (c.action == Action::CancelEsc) {
      form.Key("Escape");
    } else {
      form.Key("alt+F4");
    }
  }

  // Waits for the verdict (the port closed), closing every box that comes.
  std::vector<std::string> titles;
  std::vector<std::string> seen;
  const auto closeBoxes = [&] {
    for (const Window& box : FindWindows(display.Name(), "^(tarnup|Fehler)$")) {
      if (std::find(seen.begin(), seen.end(), box.id) == seen.end()) {
        seen.push_back(box.id);
        std::string title =
            Output({"xdotool", "getwindowname", box.id}, {"DISPLAY=" + display.Name()});
        if (!title.empty() && title.back() == '\n') title.pop_back();
        titles.push_back(title);
      }
      Click(display.Name(), box.x + box.width / 2, box.y + box.height - 22);
      std::this_thread::sleep_for(300ms);
    }
  };
  std::vector<tarnsim::Verdict> verdicts;
  const auto deadline = Clock::now() + 150s;
  while (verdicts.empty() && Clock::now() < deadline) {
    verdicts = sim.WaitForVerdicts(1, 300ms);
    closeBoxes();
  }
  const double wall = std::chrono::duration<double>(Clock::now() - clicked).count();
  Check(!verdicts.empty(), "the port was closed at the end of the run");
  // An error box comes after the clean-up that closed the port.
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(250ms);
    closeBoxes();
  }
  if (!verdicts.empty()) {
    const tarnsim::Verdict& v = verdicts.front();
    std::printf("  simulator: %s", tarnsim::FormatVerdict(v).c_str());
    Check(v.Passed() == c.passes, std::string("verdict ") + (c.passes ? "PASS" : "FAIL"));
    if (c.verdict) c.verdict(v);
    if (c.name == "pass") {
      std::printf(
          "  figure wall time from the click on Start to the verdict: %.2f s "
          "(%.2f s after the power-on)\n",
          wall, wall - std::chrono::duration<double>(device.powerOn).count());
      PrintLineTimes(sim.Trace());
      std::printf("  figure CPU time of tarnup.exe for the whole run: %.2f s\n",
                  CpuSeconds(program));
    }
  }

  int status = -1;
  bool reaped = false;
  if (c.closesItself) {
    for (auto until = Clock::now() + 10s; !reaped && Clock::now() < until;) {
      reaped = ::waitpid(program, &status, WNOHANG) == program;
      if (!reaped) std::this_thread::sleep_for(100ms);
    }
    Check(reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the program ended by itself with status 0");
    if (!reaped) form.Press(kExit);
  } else {
    // Exit ends the program.
    form.Press(kExit);
  }
  for (auto until = Clock::now() + 20s; Clock::now() < until;) {
    if (reaped || ::waitpid(program, &status, WNOHANG) == program) break;
    std::this_thread::sleep_for(100ms);
  }
  const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  Check(exited, "Exit ends the program with status 0");
  if (!exited && ::waitpid(program, &status, WNOHANG) == 0) {
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
  }
  wine.WaitForServerExit();

  const std::vector<std::string> texts = BoxTexts(log);
  Check(texts == c.boxes, "boxes shown: " + Join(texts) + "; expected: " + Join(c.boxes));
  std::vector<std::string> expectedTitles(c.boxes.size(), "tarnup");
  Check(titles == expectedTitles, "box titles: " + Join(titles));
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--exe")
      options.exe = value();
    else if (a == "--wine-run")
      options.wineRun = value();
    else if (a == "--hex")
      options.hex = value();
    else if (a == "--work")
      options.work = value();
    else if (a == "--prepare")
      options.prepare = true;
    else if (a == "--case")
      options.caseName = value();
    else if (a == "--run")
      options.run = value();
    else if (a == "--screenshot")
      options.screenshot = value();
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (const char* tool : {"Xvfb", "xdotool", "wineserver"}) {
    if (!OnPath(tool)) {
      std::printf("skipped: %s is not installed (scripts/setup installs it)\n", tool);
      return kSkipped;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (options.prepare) return Prepare(options);
  if (!options.run.empty()) return RunProgram(options);
  for (const Case& c : Cases()) {
    if (c.name == options.caseName) return RunCase(options, c);
  }
  std::fprintf(stderr, "unknown case %s\n", options.caseName.c_str());
  return 2;
}
