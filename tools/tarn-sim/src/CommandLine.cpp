#include "tarnsim/CommandLine.h"

#include <charconv>
#include <functional>
#include <map>

#include "tarnsim/PortLink.h"

namespace tarnsim {
namespace {

// A decimal number from `min` to `max`, nothing else.
std::optional<long long> Number(const std::string& text, long long min, long long max) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string Usage() {
  return "usage: tarn-sim [--as NAME] [--expect FILE] [--power-on MS] [--wire] [--once]\n"
         "                [--silent-after K] [--wrong-byte-at K] [--second-space]\n"
         "                [--stray N] [--hang-up-at K] [--ack-delay MS]\n"
         "\n"
         "Plays a TARN device on a pseudo-terminal. Without --as the pty's path is\n"
         "printed; with --as NAME the pty is linked as NAME (e.g. COM1) in the\n"
         "updater's ports directory ($XDG_CONFIG_HOME/tarnup/ports, by default\n"
         "~/.config/tarnup/ports) until the simulator ends; an existing entry of\n"
         "that name is never replaced.\n"
         "\n"
         "A session begins when the far end opens the line: after the power-on\n"
         "delay the device sends \" \" and \"Q\", then checks and acknowledges every\n"
         "record line. When the far end closes the line its verdict is printed.\n"
         "\n"
         "  --expect FILE     compare the flash with this Intel HEX file\n"
         "  --power-on MS     delay from opening to the space (default 2000)\n"
         "  --wire            pace every byte as on a 38400 8N2 line (11 bits)\n"
         "  --once            exit after the first session (status 0 if it passed)\n"
         "faults:\n"
         "  --silent-after K  answer nothing once K blocks are acknowledged\n"
         "  --wrong-byte-at K answer 3F instead of Y to record line K (1-based)\n"
         "  --second-space    send a second space before Q\n"
         "  --stray N         send N stray bytes (E0, E1, ...) before the space\n"
         "  --hang-up-at K    close the line instead of acknowledging block K\n"
         "  --ack-delay MS    wait MS before every answer\n";
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine result;
  CommandLine line;
  constexpr long long kMaxMs = 3'600'000;
  constexpr long long kMaxCount = 1'000'000;
  using Setter = std::function<bool(const std::string&)>;
  auto count = [](std::optional<int>& target, long long min) -> Setter {
    return [&target, min](const std::string& v) {
      const auto n = Number(v, min, kMaxCount);
      if (n) target = static_cast<int>(*n);
      return n.has_value();
    };
  };
  auto millis = [](Nanos& target) -> Setter {
    return [&target](const std::string& v) {
      const auto n = Number(v, 0, kMaxMs);
      if (n) target = std::chrono::milliseconds(*n);
      return n.has_value();
    };
  };
  const std::map<std::string, Setter> withValue = {
      {"--as",
       [&](const std::string& v) {
         line.as = v;
         return IsValidPortName(v);
       }},
      {"--expect",
       [&](const std::string& v) {
         line.expectFile = v;
         return !v.empty();
       }},
      {"--power-on", millis(line.device.powerOn)},
      {"--ack-delay", millis(line.device.faults.ackDelay)},
      {"--silent-after", count(line.device.faults.silentAfterBlock, 0)},
      {"--wrong-byte-at", count(line.device.faults.wrongByteAtLine, 1)},
      {"--hang-up-at", count(line.device.faults.hangUpAtBlock, 1)},
      {"--stray",
       [&](const std::string& v) {
         const auto n = Number(v, 0, 1000);
         if (n) line.device.faults.strayBytes = static_cast<int>(*n);
         return n.has_value();
       }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--wire", [&] { line.device.wire = true; }},
      {"--once", [&] { line.once = true; }},
      {"--second-space", [&] { line.device.faults.secondSpace = true; }},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "--help" || name == "-h") {
      result.help = true;
      return result;
    }
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (value) {
        result.error = name + " takes no value";
        return result;
      }
      flag->second();
      continue;
    }
    const auto option = withValue.find(name);
    if (option == withValue.end()) {
      result.error = "unknown argument: " + args[i];
      return result;
    }
    if (!value) {
      if (i + 1 == args.size()) {
        result.error = name + " needs a value";
        return result;
      }
      value = args[++i];
    }
    if (!option->second(*value)) {
      result.error = "bad value for " + name + ": \"" + *value + "\"";
      return result;
    }
  }
  result.line = std::move(line);
  return result;
}

}  // namespace tarnsim
