// The system's port list under Wine: the port the far end mapped into the
// prefix is listed by its number (Wine enters its port map into the
// registry's serial device map).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/WindowsPortList.h"

namespace {

TEST(SystemPortList, ListsTheMappedPort) {
  const char* name = std::getenv("TARNUP_TEST_PORT");
  ASSERT_NE(name, nullptr) << "run through FarEnd, which sets TARNUP_TEST_PORT";
  const unsigned number = ComNumber(name);
  ASSERT_NE(number, 0U) << name;
  const auto sources = MakeSystemPortSources();
  // Wine's device manager enters the port map while the prefix starts, which
  // may be just after this program did: the list is read until it has the
  // port (each reading is a new look-up, as at every Start).
  std::vector<WindowsPort> ports;
  const auto listed = [&] {
    return std::any_of(ports.begin(), ports.end(),
                       [number](const WindowsPort& port) { return port.number == number; });
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((ports = ListWindowsPorts(*sources), !listed()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto it = std::find_if(ports.begin(), ports.end(),
                               [number](const WindowsPort& port) { return port.number == number; });
  ASSERT_NE(it, ports.end()) << name << " is not in the system's port list";
  EXPECT_NE(DescribeWindowsComPort(number, ports).find("erial"), std::string::npos);
  // A number nothing is mapped to leads to the box text naming the port.
  EXPECT_NE(MissingWindowsPortText(200, ports).find(std::string(name)), std::string::npos);
}

}  // namespace
