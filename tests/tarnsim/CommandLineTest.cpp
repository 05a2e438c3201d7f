// The tarn-sim arguments.
#include <gtest/gtest.h>

#include "tarnsim/CommandLine.h"
#include "tarnsim/PortLink.h"

using namespace std::chrono_literals;
using tarnsim::ParseCommandLine;

TEST(CommandLine, DefaultsAndEveryOption) {
  const auto plain = ParseCommandLine({});
  ASSERT_TRUE(plain.line.has_value());
  EXPECT_FALSE(plain.line->as.has_value());
  EXPECT_EQ(plain.line->device.powerOn, 2000ms);
  EXPECT_FALSE(plain.line->device.wire);

  const auto all =
      ParseCommandLine({"--as", "COM1", "--expect=f.hex", "--power-on", "0", "--wire", "--once",
                        "--silent-after", "0", "--wrong-byte-at=7", "--second-space", "--stray",
                        "3", "--hang-up-at", "12", "--ack-delay", "25"});
  ASSERT_TRUE(all.line.has_value()) << all.error;
  const auto& l = *all.line;
  EXPECT_EQ(l.as, "COM1");
  EXPECT_EQ(l.expectFile, "f.hex");
  EXPECT_EQ(l.device.powerOn, 0ms);
  EXPECT_TRUE(l.device.wire);
  EXPECT_TRUE(l.once);
  EXPECT_EQ(l.device.faults.silentAfterBlock, 0);
  EXPECT_EQ(l.device.faults.wrongByteAtLine, 7);
  EXPECT_TRUE(l.device.faults.secondSpace);
  EXPECT_EQ(l.device.faults.strayBytes, 3);
  EXPECT_EQ(l.device.faults.hangUpAtBlock, 12);
  EXPECT_EQ(l.device.faults.ackDelay, 25ms);

  EXPECT_TRUE(ParseCommandLine({"--help"}).help);
  EXPECT_TRUE(ParseCommandLine({"--wire", "-h"}).help);
}

TEST(CommandLine, BadArgumentsAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"COM1"},
      {"--as"},
      {"--as", ""},
      {"--as", "a/b"},
      {"--as", ".."},
      {"--power-on", "-1"},
      {"--power-on", "12x"},
      {"--power-on", ""},
      {"--power-on", "99999999999999999999"},
      {"--wrong-byte-at", "0"},
      {"--hang-up-at", "0"},
      {"--silent-after", "-3"},
      {"--stray", "1001"},
      {"--wire=1"},
      {"--expect="},
  };
  for (const auto& args : cases) {
    const auto parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.line.has_value()) << args[0];
    EXPECT_FALSE(parsed.error.empty()) << args[0];
  }
}

TEST(PortsDirectory, FollowsXdgConfigHomeThenHome) {
  EXPECT_EQ(tarnsim::PortsDirectory("/x/cfg", "/home/u"), "/x/cfg/tarnup/ports");
  EXPECT_EQ(tarnsim::PortsDirectory(nullptr, "/home/u"), "/home/u/.config/tarnup/ports");
  EXPECT_EQ(tarnsim::PortsDirectory("", "/home/u"), "/home/u/.config/tarnup/ports");
  EXPECT_EQ(tarnsim::PortsDirectory("relative", "/home/u"), "/home/u/.config/tarnup/ports");
  EXPECT_EQ(tarnsim::PortsDirectory(nullptr, nullptr), "");
}
