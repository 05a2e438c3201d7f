#pragma once
// An operator at a TarnUp window, for every front end: the program on an Xvfb
// display of its own, its COM1 linked to the device simulator's pty, driven
// with xdotool (clicks and keys) and judged from the simulator's verdict and
// the boxes the program showed. A launcher knows how its front end is
// started, where its COM1 is mapped and how the texts of its boxes are read;
// the cases, the operator's hands and the judging are here, once.
//
// Exit status of a case: 0 passed, 1 failed, 77 skipped (a tool is missing).

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace opdrive {

namespace fs = std::filesystem;

inline constexpr int kSkipped = 77;

// Starts `command` with `env` added to the environment, its standard output
// on `out` and its errors on `err` (-1: /dev/null); returns its process id.
pid_t Spawn(const std::vector<std::string>& command, const std::vector<std::string>& env,
            int out = -1, int err = -1);
// The exit status of a process, -1 when it did not exit.
int Wait(pid_t pid);
int Status(const std::vector<std::string>& command, const std::vector<std::string>& env = {});
// Runs a command and returns its standard output.
std::string Output(const std::vector<std::string>& command,
                   const std::vector<std::string>& env = {});

// An Xvfb display of its own, 1024 x 768.
class Display {
 public:
  Display();
  ~Display();
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  // ":N", or empty when Xvfb did not start.
  [[nodiscard]] const std::string& Name() const { return name_; }
  // Whether the X server takes requests (waits a few seconds for it).
  [[nodiscard]] bool Answers() const;

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// A window on the screen: its X id and outer place.
struct Window {
  std::string id;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The visible windows whose names match `nameRegex`.
std::vector<Window> FindWindows(const std::string& display, const std::string& nameRegex);
void Click(const std::string& display, int x, int y);

// The rest of each line of `log` that holds `marker`, after the marker.
std::vector<std::string> TextsAfter(const fs::path& log, const std::string& marker);

// What a case asks of the launcher's front end.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // The program's name in the figures printed.
  [[nodiscard]] virtual std::string ProgramName() const = 0;
  // Whether the program draws the window frame itself (around the client area).
  [[nodiscard]] virtual bool DrawsFrame() const = 0;
  // Maps the program's COM1 to `device`; `dir` is the case's own directory.
  virtual bool LinkPort(const fs::path& device, const fs::path& dir) = 0;
  // Readies the display before the program starts on it.
  virtual bool Prepare(const std::string& display, const fs::path& dir) = 0;
  // Starts the program on `display`, its output on `logFd`.
  virtual pid_t Launch(const std::string& display, const fs::path& dir, int logFd) = 0;
  // Presses the OK of a box that is up.
  virtual void CloseBox(const std::string& display, const Window& box) = 0;
  // The texts of the boxes shown, in order, from the program's output.
  [[nodiscard]] virtual std::vector<std::string> BoxTexts(const fs::path& log) const = 0;
  // A process that works for the program (its CPU time is a figure too).
  [[nodiscard]] virtual pid_t Helper() const { return -1; }
  // After the program has ended.
  virtual void Finish() {}
};

struct Options {
  std::string exe;
  std::string hex;
  fs::path work;
  std::string caseName;
  std::string screenshot;  // taken of the window in the middle of the run
};

// Takes --exe, --hex, --work, --case and --screenshot; `more` is offered
// every other argument with a reader of its value and says whether it took it.
using MoreOptions = std::function<bool(const std::string&, const std::function<std::string()>&)>;
std::optional<Options> ParseOptions(int argc, char** argv, const MoreOptions& more);

// kSkipped, with the reason printed, when one of `tools` is not installed.
int MissingTool(std::initializer_list<const char*> tools);

// Runs the case named in `options`: 0 passed, 1 failed, 2 unknown case.
int RunCase(const Options& options, FrontEnd& frontEnd);

}  // namespace opdrive
