#include "update/Dialogue.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "update/Exceptions.h"

namespace {

// A host with its port open and no device hook, so only scripted bytes arrive.
class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.Serial().SetActive(true);
    ASSERT_TRUE(host_.Serial().Active());
  }
  FakeHost host_;
};

TEST_F(Dialogue, BudgetCountsEveryByteReceived) {
  struct Case {
    const char* name;
    std::string bytes;
    std::int32_t budget;
    std::string failure;  // "" when the wait returns
  };
  const Case cases[] = {
      {"seven wrong then expected", "ABCDEFG ", 8, ""},
      {"expected first", " ", 8, ""},
      {"eight wrong", "ABCDEFGH ", 8, "48 Hardware antwortet falsch !"},
      {"budget 1, wrong first", "? ", 1, "3F Hardware antwortet falsch !"},
      {"budget 1, expected", " ", 1, ""},
      {"budget 2, one wrong then expected", "x ", 2, ""},
      {"budget 0 behaves like 1", "\x0a ", 0, "0A Hardware antwortet falsch !"},
      {"most negative budget", "\xff ", INT32_MIN, "FF Hardware antwortet falsch !"},
      {"budget 0 still accepts the expected byte", " ", 0, ""},
      {"NUL byte", std::string(1, '\0') + " ", 1, "00 Hardware antwortet falsch !"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.Serial().SetActive(true);
    host.BytesAt(1, c.bytes);
    std::string failure;
    try {
      WaitForReply(host, ' ', 100000, c.budget);
    } catch (const ESerialException& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, c.failure);
    // Nothing after the accepted or fatal byte is taken from the queue.
    const std::size_t taken = c.failure.empty() ? c.bytes.find(' ') + 1 : c.bytes.size() - 1;
    EXPECT_EQ(host.Platform().RxQueued(), c.bytes.size() - taken);
  }
}

TEST_F(Dialogue, NoAnswerFailsAtTheFirstDeadlineTestAfterTheFifthTick) {
  // Ticks land on irregular pumps; a turn pumps twice (2k-1 and 2k), so the
  // deadline test after pump p is the one that starts turn p/2 + 1.
  struct Case {
    std::vector<std::size_t> tickPumps;
    std::size_t pumpsAtFailure;
  };
  const Case cases[] = {{{3, 7, 8, 12, 20}, 20}, {{1, 2, 3, 4, 19}, 20}, {{5, 6, 9, 10, 11}, 12}};
  for (const auto& c : cases) {
    FakeHost host;
    host.Serial().SetActive(true);
    host.SetAutoTick(false);
    host.SetTicks(4000);
    for (const std::size_t pump : c.tickPumps) host.TickAt(pump);
    std::string failure;
    try {
      WaitForReply(host, 'Y', 1000, 1);
    } catch (const ESerialException& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "Hardware antwortet nicht !");
    EXPECT_EQ(host.Pumps(), c.pumpsAtFailure) << "fifth tick at pump " << c.tickPumps.back();
    // The last read of the counter is the failing test: 1000 ms since entry.
    EXPECT_EQ(host.Entries("ticks:").back(), "5000");
  }
}

TEST_F(Dialogue, DeadlineSurvivesTheCounterWrappingPastInt32Max) {
  for (const std::int32_t start : {0, INT32_MAX - 299, INT32_MAX - 1000, INT32_MAX, -1000}) {
    SCOPED_TRACE(start);
    FakeHost host;
    host.Serial().SetActive(true);
    host.SetTicks(start);  // a tick on every pump
    std::string failure;
    try {
      WaitForReply(host, 'Y', 1000, 1);
    } catch (const ESerialException& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "Hardware antwortet nicht !");
    // Five ticks reached in the third turn's first pump; the fourth turn's
    // deadline test fails, after six pumps, never earlier.
    EXPECT_EQ(host.Pumps(), 6u);
  }
}

TEST_F(Dialogue, TimeoutOfZeroOrLessFailsBeforeAnythingIsRead) {
  for (const std::int32_t timeout : {0, -1, INT32_MIN}) {
    FakeHost host;
    host.Serial().SetActive(true);
    host.Platform().PushRx("Y");
    EXPECT_THROW(WaitForReply(host, 'Y', timeout, 1), ESerialException) << timeout;
    EXPECT_EQ(host.Pumps(), 0u);
    EXPECT_EQ(host.Platform().RxQueued(), 1u);
  }
}

TEST_F(Dialogue, ByteReadInTheTurnTheDeadlinePassedStillCounts) {
  host_.SetAutoTick(false);
  host_.TickAt(1);
  host_.BytesAt(1, "Y");
  EXPECT_NO_THROW(WaitForReply(host_, 'Y', 200, 1));
  EXPECT_EQ(host_.Ticks(), 200);
}

TEST_F(Dialogue, CancelIsTestedAfterThePumpAndBeforeTheRead) {
  struct Case {
    const char* name;
    bool cancelOnEntry;
    std::size_t cancelPump;  // 0: none
    std::size_t bytePump;    // 0: a byte is waiting on entry
  };
  const Case cases[] = {
      {"cancel on entry, byte waiting", true, 0, 0},
      {"cancel and expected byte in the same pump", false, 3, 3},
      {"cancel arrives in the second pump of a turn", false, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.Serial().SetActive(true);
    host.SetAutoTick(false);
    if (c.cancelOnEntry) host.PressCancel();
    if (c.cancelPump != 0) host.CancelAt(c.cancelPump);
    if (c.bytePump == 0) {
      host.Platform().PushRx("Y");
    } else {
      host.BytesAt(c.bytePump, "Y");
    }
    host.Platform().ClearCalls();
    EXPECT_THROW(WaitForReply(host, 'Y', 1000, 1), EAbort);
    EXPECT_EQ(host.Platform().RxQueued(), 1u) << "the waiting byte stays unread";
    const std::size_t turns = (host.Pumps() + 1) / 2;
    EXPECT_EQ(host.Platform().CountOf("ReadByte"), turns - 1) << "no read in the cancelled turn";
    EXPECT_EQ(host.Log().back(), "pump");
  }
}

TEST_F(Dialogue, TurnOrderAndIdleWaitOnlyWhenNothingWasRead) {
  host_.SetAutoTick(false);
  host_.BytesAt(3, "xY");  // turn 2: read 'x', dropped; turn 3: read 'Y'
  WaitForReply(host_, 'Y', 1000, 2);
  const std::vector<std::string> expected = {
      "ticks:0",                          // start
      "ticks:0", "pump", "idle", "pump",  // turn 1: nothing read
      "ticks:0", "pump", "pump",          // turn 2: 'x' dropped, no idle wait
      "ticks:0", "pump"};                 // turn 3: 'Y' accepted
  std::vector<std::string> log;
  for (const auto& entry : host_.Log()) {
    if (entry == "pump" || entry == "idle" || entry.rfind("ticks:", 0) == 0) log.push_back(entry);
  }
  EXPECT_EQ(log, expected);
}

TEST_F(Dialogue, IdleWaitNeverBeginsWithAByteAlreadyReceived) {
  // A byte that reaches the port while the window sleeps is announced by a
  // hand-over; one that was already there when the sleep began may have had
  // its announcement dispatched already, and would wait for the next tick.
  for (std::size_t pump = 1; pump <= 8; ++pump) {
    SCOPED_TRACE(pump);
    FakeHost host;
    host.Serial().SetActive(true);
    host.SetAutoTick(false);
    host.BytesAt(pump, "Y");
    WaitForReply(host, 'Y', 1000, 1);
    EXPECT_TRUE(host.Entries("idle-with-data").empty());
    EXPECT_EQ(host.Entries("idle").size(), (pump - 1) / 2 + (pump % 2 == 0 ? 1 : 0));
  }
}

TEST_F(Dialogue, SendRecordWritesTheLineAloneAndWaitsForTheAcknowledge) {
  struct Case {
    const char* name;
    std::string reply;
    std::string failure;
  };
  const Case cases[] = {{"acknowledged", "Y", ""},
                        {"refused", "N", "4E Hardware antwortet falsch !"},
                        {"lowercase y is wrong", "y", "79 Hardware antwortet falsch !"},
                        {"silent", "", "Hardware antwortet nicht !"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.Serial().SetActive(true);
    host.SetDevice([&](const FakePlatform::DeviceEvent& event) {
      if (event.kind == FakePlatform::DeviceEvent::Written) host.Platform().PushRx(c.reply);
    });
    std::string failure;
    try {
      SendRecord(host, ":000000FF01", 1000);
    } catch (const ESerialException& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(host.Platform().Written(), ":000000FF01");
  }
}

TEST_F(Dialogue, FailedWriteIsReportedByTheComponentAndTheWaitTimesOut) {
  host_.Platform().FailNext("Write", FakePlatform::kBadHandle);
  std::string failure;
  try {
    SendRecord(host_, ":000000FF01", 1000);
  } catch (const ESerialException& e) {
    failure = e.what();
  }
  EXPECT_EQ(failure, "Hardware antwortet nicht !");
  EXPECT_EQ(host_.Boxes().size(), 1u);
}

}  // namespace

TEST(AdvanceTicks, AddsTwoHundredAndWrapsAtTheSignedLimit) {
  EXPECT_EQ(AdvanceTicks(0), 200);
  EXPECT_EQ(AdvanceTicks(-200), 0);
  EXPECT_EQ(AdvanceTicks(INT32_MAX - 200), INT32_MAX);
  EXPECT_EQ(AdvanceTicks(INT32_MAX - 199), INT32_MIN);
  EXPECT_EQ(AdvanceTicks(INT32_MAX), INT32_MIN + 199);
  std::int32_t t = INT32_MAX - 1000;
  for (int i = 0; i < 10; ++i) t = AdvanceTicks(t);
  EXPECT_EQ(t, INT32_MIN + 999);
}
