// The Qt window end to end: the Linux program `tarnup` with a ports directory
// of its own (a private XDG_CONFIG_HOME whose tarnup/ports/COM1 leads to the
// simulator), on an Xvfb display with twm as its window manager, so that
// Alt+F4 is a close request as on a desktop.
//
//   tarnup-qt-e2e --exe tarnup --hex firmware.hex --work DIR --case NAME
//                 [--screenshot FILE]
//
// The boxes' titles are read from their windows. Their texts are drawn by Qt,
// so no X window holds them, and Qt copies a box to the clipboard on Ctrl+C
// only on Windows: a module preloaded into tarnup (BoxTrace.cpp) writes the
// text of every box it shows to the program's output, as Wine's msgbox trace
// does for tarnup.exe.

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OperatorDriver.h"

namespace {

using namespace std::chrono_literals;
using opdrive::Window;
namespace fs = std::filesystem;

// Alt+F4 closes the window under the pointer; no frames, no title bars, and
// every window where the program puts it. twm ends when it lacks a font:
// "fixed" is built into every X server.
constexpr const char* kTwmConfig =
    "NoDefaults\n"
    "NoTitle\n"
    "BorderWidth 0\n"
    "UsePPosition \"on\"\n"
    "RandomPlacement\n"
    "TitleFont \"fixed\"\nResizeFont \"fixed\"\nMenuFont \"fixed\"\n"
    "IconFont \"fixed\"\nIconManagerFont \"fixed\"\n"
    "\"F4\" = m : window : f.delete\n";

// A variable of the environment with `more` appended to its options.
std::string WithOptions(const char* name, const std::string& more) {
  const char* options = std::getenv(name);
  return std::string(name) + "=" + (options != nullptr ? options : "") + ":" + more;
}

class QtFrontEnd final : public opdrive::FrontEnd {
 public:
  QtFrontEnd(std::string exe, std::string boxTrace)
      : exe_(std::move(exe)), boxTrace_(std::move(boxTrace)) {}
  ~QtFrontEnd() override { Finish(); }
  QtFrontEnd(const QtFrontEnd&) = delete;
  QtFrontEnd& operator=(const QtFrontEnd&) = delete;

  [[nodiscard]] std::string ProgramName() const override { return "tarnup"; }
  [[nodiscard]] bool DrawsFrame() const override { return false; }

  bool LinkPort(const fs::path& device, const fs::path& dir) override {
    const fs::path ports = dir / "config" / "tarnup" / "ports";
    std::error_code ec;
    fs::create_directories(ports, ec);
    fs::create_symlink(device, ports / "COM1", ec);
    return !ec;
  }

  bool Prepare(const std::string& display, const fs::path& dir) override {
    const fs::path config = dir / "twmrc";
    std::ofstream(config) << kTwmConfig;
    wm_ = opdrive::Spawn({"twm", "-f", config.string()}, {"DISPLAY=" + display});
    // twm takes over the windows that are there when it starts, too; this
    // only spares the window the move into twm's frame.
    std::this_thread::sleep_for(300ms);
    return wm_ > 0;
  }

  pid_t Launch(const std::string& display, const fs::path& dir, int logFd) override {
    return opdrive::Spawn(
        {exe_},
        {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb",
         "XDG_CONFIG_HOME=" + (dir / "config").string(), "LD_PRELOAD=" + boxTrace_,
         // In a sanitizer build: its runtime need not be loaded before the
         // box trace, and the system's D-Bus library, which Qt uses on a
         // desktop display, may keep a buffer to the end.
         WithOptions("ASAN_OPTIONS", "verify_asan_link_order=0"),
         WithOptions("LSAN_OPTIONS", "suppressions=" + Suppressions(dir).string())},
        logFd, logFd);
  }

  void CloseBox(const std::string& display, const Window& box) override {
    KeyToBox(display, box, "Return");
  }

  [[nodiscard]] std::vector<std::string> BoxTexts(const fs::path& log) const override {
    return opdrive::TextsAfter(log, "box: ");
  }

  void Finish() override {
    if (wm_ > 0) {
      ::kill(wm_, SIGTERM);
      opdrive::Wait(wm_);
      wm_ = -1;
    }
  }

 private:
  static fs::path Suppressions(const fs::path& dir) {
    const fs::path file = dir / "leaks.supp";
    std::ofstream(file) << "leak:libdbus-1.so\n";
    return file;
  }

  // Presses `key` on the keyboard once the box has the focus; false while it
  // has not. Nothing but these keys closes a box, so a key pressed while the
  // box has the focus never reaches the update window (where Enter would
  // press Start).
  static bool KeyToBox(const std::string& display, const Window& box, const std::string& key) {
    const std::vector<std::string> env{"DISPLAY=" + display};
    std::string focused = opdrive::Output({"xdotool", "getwindowfocus"}, env);
    if (!focused.empty() && focused.back() == '\n') focused.pop_back();
    if (focused != box.id) {
      opdrive::Status({"xdotool", "windowfocus", "--sync", box.id}, env);
      return false;
    }
    opdrive::Status({"xdotool", "key", key}, env);
    return true;
  }

  std::string exe_;
  std::string boxTrace_;
  pid_t wm_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  std::string boxTrace;
  const auto options =
      opdrive::ParseOptions(argc, argv, [&](const std::string& a, const auto& value) {
        if (a != "--box-trace") return false;
        boxTrace = value();
        return true;
      });
  if (!options) return 2;
  if (const int skipped = opdrive::MissingTool({"Xvfb", "xdotool", "twm"})) return skipped;
  QtFrontEnd frontEnd(options->exe, boxTrace);
  return opdrive::RunCase(*options, frontEnd);
}
