#pragma once
// A component on the recording fake, owned by a hand-pumped owner.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "serial/TSerial.h"
#include "testing/FakePlatform.h"
#include "testing/ManualOwner.h"

class SerialFixture : public ::testing::Test {
 protected:
  SerialFixture() : fake(std::make_shared<FakePlatform>()), serial(owner, fake) {}

  // The owner-side calls, without the event thread's waits and status reads.
  std::vector<std::string> OwnerTrace() const {
    return fake->TraceWithout({"WaitCommEvent", "GetCommModemStatus"});
  }

  void OpenAndForget() {
    serial.SetActive(true);
    ASSERT_TRUE(serial.Active());
    fake->ClearCalls();
  }

  std::vector<FakePlatform::Call> CallsNamed(const std::string& name) const {
    std::vector<FakePlatform::Call> out;
    for (const auto& call : fake->Calls()) {
      if (call.name == name) out.push_back(call);
    }
    return out;
  }

  ManualSerialOwner owner;
  std::shared_ptr<FakePlatform> fake;
  TSerial serial;
};

using Trace = std::vector<std::string>;
