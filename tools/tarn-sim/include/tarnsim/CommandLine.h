#pragma once
// The arguments of the tarn-sim command.

#include <optional>
#include <string>
#include <vector>

#include "tarnsim/Device.h"

namespace tarnsim {

struct CommandLine {
  std::optional<std::string> as;          // link name in the ports directory
  std::optional<std::string> expectFile;  // Intel HEX file the flash should equal
  bool once = false;                      // exit after the first session
  DeviceOptions device;                   // without `expected`: read by the command
};

struct ParsedCommandLine {
  std::optional<CommandLine> line;  // set when the arguments are sound
  bool help = false;                // --help: print the usage, exit 0
  std::string error;                // otherwise: what is wrong
};

// `args` without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string Usage();

}  // namespace tarnsim
