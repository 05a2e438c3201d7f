// tarnup.exe end to end under Wine: the Windows program in a Wine prefix of
// its own, its COM1 mapped to the device simulator's pty, driven by the
// operator's cases of tests/window-e2e. A Linux program, built for the build
// machine; CTest runs one case per invocation.
//
//   tarnup-wine-e2e --exe tarnup.exe --wine-run wine-run --hex firmware.hex
//                   --work DIR (--prepare | --case NAME [--screenshot FILE]
//                               | --run TEST.EXE)
//
// --prepare creates the prefix and maps COM1 to DIR/com1, a link that each
// case points at its simulator. Wine's mount manager reads the port map only
// when the prefix starts, so a stable link is mapped once, instead of a fresh
// pty per case. --run runs a Windows test program in the same prefix on a
// display of its own and returns its status. The message boxes' texts come
// from Wine's msgbox trace (WINEDEBUG=+msgbox), their titles from the window
// names. Wine draws the window frames itself, as Windows does (Xvfb has no
// window manager here).

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "OperatorDriver.h"

namespace {

namespace fs = std::filesystem;
using opdrive::Status;
using Clock = std::chrono::steady_clock;

struct Wine {
  std::string wineRun;
  fs::path prefix;
  std::string display;

  [[nodiscard]] std::vector<std::string> Env(const std::string& debug) const {
    return {"WINEPREFIX=" + prefix.string(), "WINEDEBUG=" + debug,
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY=" + display};
  }
  [[nodiscard]] int Run(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{wineRun};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Status(command, Env("-all"));
  }
  // Waits until the prefix's wineserver has gone (it lingers a few seconds
  // after its last program), so the next program starts it on its own display.
  void WaitForServerExit() const { Status({"wineserver", "-w"}, Env("-all")); }
};

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

class WineFrontEnd final : public opdrive::FrontEnd {
 public:
  WineFrontEnd(std::string exe, Wine wine) : exe_(std::move(exe)), wine_(std::move(wine)) {}

  [[nodiscard]] std::string ProgramName() const override { return "tarnup.exe"; }
  [[nodiscard]] bool DrawsFrame() const override { return true; }

  bool LinkPort(const fs::path& device, const fs::path& /*dir*/) override {
    const fs::path link = wine_.prefix.parent_path() / "com1";
    if (!fs::is_symlink(link)) {
      std::printf("  the prefix is not prepared (run with --prepare first)\n");
      return false;
    }
    fs::remove(link);
    fs::create_symlink(device, link);
    return true;
  }

  bool Prepare(const std::string& display, const fs::path& /*dir*/) override {
    // No server of the prefix from an earlier case is left over.
    wine_.display = display;
    wine_.WaitForServerExit();
    return true;
  }

  pid_t Launch(const std::string& /*display*/, const fs::path& /*dir*/, int logFd) override {
    return opdrive::Spawn({wine_.wineRun, exe_}, wine_.Env("+msgbox"), logFd, logFd);
  }

  void CloseBox(const std::string& display, const opdrive::Window& box) override {
    opdrive::Click(display, box.x + box.width / 2, box.y + box.height - 22);
  }

  [[nodiscard]] std::vector<std::string> BoxTexts(const fs::path& log) const override {
    std::vector<std::string> texts = opdrive::TextsAfter(log, "MSGBOX_OnInit L\"");
    for (std::string& text : texts) {
      if (const auto end = text.rfind('"'); end != std::string::npos) text.resize(end);
    }
    return texts;
  }

  [[nodiscard]] pid_t Helper() const override { return FindWineServer(wine_.prefix); }
  void Finish() override { wine_.WaitForServerExit(); }

 private:
  std::string exe_;
  Wine wine_;
};

int Prepare(Wine wine, const fs::path& work) {
  opdrive::Display display;
  if (display.Name().empty()) {
    std::printf("cannot start Xvfb\n");
    return 1;
  }
  wine.display = display.Name();
  fs::create_directories(work);
  const fs::path link = work / "com1";
  fs::remove(link);
  fs::create_symlink("/dev/null", link);
  const auto started = Clock::now();
  // The first start creates the prefix (tens of seconds).
  bool ok = wine.Run({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ",
                      "/d", link.string(), "/f"}) == 0;
  ok = ok && wine.Run({"reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/t",
                       "REG_SZ", "/d", "N", "/f"}) == 0;
  Status({"wineserver", "-k"}, wine.Env("-all"));
  wine.WaitForServerExit();
  std::printf("prefix %s ready in %.1f s, COM1 -> %s\n", wine.prefix.c_str(),
              std::chrono::duration<double>(Clock::now() - started).count(), link.c_str());
  return ok ? 0 : 1;
}

int RunProgram(Wine wine, const std::string& program) {
  opdrive::Display display;
  if (!display.Answers()) {
    std::printf("cannot start Xvfb\n");
    return 1;
  }
  wine.display = display.Name();
  wine.WaitForServerExit();
  // The program's output goes to ours, for CTest's log.
  const int status = opdrive::Wait(opdrive::Spawn({wine.wineRun, program}, wine.Env("-all"), 1, 2));
  wine.WaitForServerExit();
  return status < 0 ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string wineRun;
  std::string run;
  bool prepare = false;
  const auto options =
      opdrive::ParseOptions(argc, argv, [&](const std::string& a, const auto& value) {
        if (a == "--wine-run") {
          wineRun = value();
        } else if (a == "--run") {
          run = value();
        } else if (a == "--prepare") {
          prepare = true;
        } else {
          return false;
        }
        return true;
      });
  if (!options) return 2;
  if (const int skipped = opdrive::MissingTool({"Xvfb", "xdotool", "wineserver"})) return skipped;
  const Wine wine{wineRun, options->work / "wineprefix", ""};
  if (prepare) return Prepare(wine, options->work);
  if (!run.empty()) return RunProgram(wine, run);
  WineFrontEnd frontEnd(options->exe, wine);
  return opdrive::RunCase(*options, frontEnd);
}
