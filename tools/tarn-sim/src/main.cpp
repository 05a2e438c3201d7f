// tarn-sim: a TARN device on a pseudo-terminal, for trying and testing the
// updater without hardware. See Usage() for the arguments.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarnsim/CommandLine.h"
#include "tarnsim/Flash.h"
#include "tarnsim/PortLink.h"
#include "tarnsim/Pty.h"

namespace {

int Run(const tarnsim::CommandLine& command) {
  tarnsim::DeviceOptions device = command.device;
  if (command.expectFile) {
    device.expected =
        std::make_shared<const tarnsim::Flash>(tarnsim::ReadIntelHexFile(*command.expectFile));
  }

  // SIGINT, SIGTERM and SIGHUP end the simulator through the serving loop,
  // so the link is removed on the way out.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::perror("tarn-sim: sigprocmask");
    return 1;
  }
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::perror("tarn-sim: signalfd");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  tarnsim::Pty pty;
  std::optional<tarnsim::PortLink> link;
  if (command.as) {
    const std::string directory =
        tarnsim::PortsDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (directory.empty()) {
      std::fprintf(stderr, "tarn-sim: neither XDG_CONFIG_HOME nor HOME is set\n");
      return 1;
    }
    link.emplace(directory, *command.as, pty.Path());
    std::fprintf(stderr, "tarn-sim: %s -> %s\n", link->Path().c_str(), pty.Path().c_str());
  } else {
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);
  }

  bool lastPassed = false;
  tarnsim::ServeOptions serve;
  serve.device = std::move(device);
  serve.once = command.once;
  serve.log = [](std::string_view text) {
    std::fprintf(stderr, "tarn-sim: %.*s\n", static_cast<int>(text.size()), text.data());
  };
  serve.sessionEnded = [&lastPassed](const tarnsim::Verdict& verdict) {
    lastPassed = verdict.Passed();
    std::fputs(tarnsim::FormatVerdict(verdict).c_str(), stdout);
    std::fflush(stdout);
  };
  const tarnsim::ServeEnd end = tarnsim::Serve(pty, serve, stopFd);
  close(stopFd);
  if (end == tarnsim::ServeEnd::Failed) return 1;
  if (command.once) return lastPassed ? 0 : 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const tarnsim::ParsedCommandLine parsed = tarnsim::ParseCommandLine(args);
  if (parsed.help) {
    std::fputs(tarnsim::Usage().c_str(), stdout);
    return 0;
  }
  if (!parsed.line) {
    std::fprintf(stderr, "tarn-sim: %s\n%s", parsed.error.c_str(), tarnsim::Usage().c_str());
    return 2;
  }
  try {
    return Run(*parsed.line);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarn-sim: %s\n", e.what());
    return 1;
  }
}
