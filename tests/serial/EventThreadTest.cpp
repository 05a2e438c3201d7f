// The event thread over the recording fake: the order of a wake-up, the
// received-data notification, message framing, release on close and the
// handling of failures.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SerialFixture.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kBound = 5s;

class EventThread : public SerialFixture {
 protected:
  EventThread() : ownerThread(std::this_thread::get_id()) {}

  // Assigns every handler; each records its name on the owner's thread.
  void RecordAll() {
    const auto note = [this](std::string what) {
      EXPECT_EQ(std::this_thread::get_id(), ownerThread) << what;
      seen.push_back(std::move(what));
    };
    serial.OnSignalChange = [note](TSerial&, eModemInSignal signal, bool state) {
      const char* names[] = {"CTS", "DSR", "RLSD"};
      note(std::string(names[signal]) + (state ? ":on" : ":off"));
    };
    serial.OnTxEmpty = [note](TSerial&) { note("TxEmpty"); };
    serial.OnBreak = [note](TSerial&) { note("Break"); };
    serial.OnRing = [note](TSerial&) { note("Ring"); };
    serial.OnRxData = [note](TSerial&) { note("RxData"); };
    serial.OnWriteCompleted = [note] { note("WriteCompleted"); };
  }

  // Pumps until the thread has entered `waits` waits in total and is
  // blocked in the last one with nothing left to hand over.
  bool PumpUntilIdle(std::size_t waits) {
    return owner.PumpUntil([&] { return !owner.HasPending() && fake->WaitForWaiter(waits, 0ms); },
                           kBound);
  }

  // With the thread settled in a wait: runs `push`, then pumps until the
  // thread has handled it and blocks in its next wait.
  bool Settle(const std::function<void()>& push) {
    if (!PumpUntilIdle(fake->WaitsEntered())) return false;
    const std::size_t waits = fake->WaitsEntered();
    push();
    return PumpUntilIdle(waits + 1);
  }
  bool SettleRx(std::string_view bytes) {
    return Settle([&] { fake->PushRx(bytes); });
  }
  bool SettleEvents(std::uint32_t events) {
    return Settle([&] { fake->PushEvents(events); });
  }

  void OpenIdle() {
    serial.SetActive(true);
    ASSERT_TRUE(serial.Active());
    ASSERT_TRUE(fake->WaitForWaiter(fake->WaitsEntered() + 0, kBound));
  }

  std::thread::id ownerThread;
  std::vector<std::string> seen;
};

TEST_F(EventThread, WakeUpIsDeliveredInItsFixedOrder) {
  RecordAll();
  fake->SetModemStatus(kMS_CTS_ON | kMS_RLSD_ON);
  OpenIdle();
  fake->SetRxRaisesEvent(false);
  fake->PushRx("x");
  ASSERT_TRUE(
      SettleEvents(kEV_RING | kEV_BREAK | kEV_TXEMPTY | kEV_RLSD | kEV_DSR | kEV_CTS | kEV_RXCHAR));
  EXPECT_EQ(seen, std::vector<std::string>(
                      {"CTS:on", "DSR:off", "RLSD:on", "TxEmpty", "Break", "Ring", "RxData"}));
  EXPECT_TRUE(serial.CtsState());
  EXPECT_FALSE(serial.DsrState());
  EXPECT_TRUE(serial.RlsdState());
  // The events outside the mask never come through.
  ASSERT_TRUE(SettleEvents(kEV_RXFLAG | kEV_ERR | kEV_TXEMPTY));
  EXPECT_EQ(seen.back(), "TxEmpty");
  EXPECT_EQ(seen.size(), 8U);
}

TEST_F(EventThread, EachSignalEventReadsTheModemStatusAnew) {
  RecordAll();
  OpenIdle();
  fake->SetRecorded("WaitCommEvent", false);
  fake->ClearCalls();
  fake->SetModemStatus(kMS_DSR_ON);
  ASSERT_TRUE(SettleEvents(kEV_CTS | kEV_DSR));
  EXPECT_EQ(fake->CountOf("GetCommModemStatus"), 2U);
  EXPECT_EQ(seen, std::vector<std::string>({"CTS:off", "DSR:on"}));
  // A failed status read is not reported; the state stays and the
  // notification still comes.
  fake->FailNext("GetCommModemStatus", 5);
  fake->SetModemStatus(0);
  ASSERT_TRUE(SettleEvents(kEV_DSR));
  EXPECT_EQ(seen.back(), "DSR:on");
  EXPECT_EQ(serial.ErrorCode(), 0);
  EXPECT_TRUE(owner.Boxes().empty());
}

TEST_F(EventThread, ChangedModemLinesAreTheirEventsAndTheRingOnlyWhenItComesOn) {
  RecordAll();
  OpenIdle();
  ASSERT_TRUE(Settle([&] { fake->ChangeModemLines(kMS_CTS_ON | kMS_RING_ON); }));
  EXPECT_EQ(seen, std::vector<std::string>({"CTS:on", "Ring"}));
  ASSERT_TRUE(Settle([&] { fake->ChangeModemLines(kMS_CTS_ON | kMS_DSR_ON); }));
  EXPECT_EQ(seen, std::vector<std::string>({"CTS:on", "Ring", "DSR:on"}));
}

TEST_F(EventThread, ReceivedDataIsOneNotificationPerWakeUpAndNothingIsRead) {
  RecordAll();
  OpenIdle();
  fake->SetRxRaisesEvent(false);
  fake->PushRx("abc");
  ASSERT_TRUE(SettleEvents(kEV_RXCHAR));
  EXPECT_EQ(seen, std::vector<std::string>({"RxData"}));
  EXPECT_EQ(fake->RxQueued(), 3U);
  EXPECT_EQ(fake->CountOf("ReadByte"), 0U);
}

TEST_F(EventThread, ReceivedDataIsHandedOverEvenWithoutAHandler) {
  // The hand-over is what wakes an owner waiting for activity.
  OpenIdle();
  ASSERT_TRUE(SettleRx("Y"));
  EXPECT_EQ(owner.HandOversRun(), 1U);
  std::uint8_t b = 0;
  EXPECT_EQ(serial.ReadByte(b), 1);
  EXPECT_EQ(b, 'Y');
}

TEST_F(EventThread, MessageModeWithoutAHandlerReadsNothing) {
  serial.SetRxEventMode(rxMessage);
  OpenIdle();
  ASSERT_TRUE(
      SettleRx("\x02"
               "ab\x03"));
  EXPECT_EQ(fake->RxQueued(), 4U);
  EXPECT_EQ(owner.HandOversRun(), 0U);
}

struct FramingCase {
  const char* name;
  std::uint8_t start;
  std::uint8_t end;
  std::uint16_t append;
  std::string input;
  std::vector<std::string> messages;
};

class Framing : public EventThread, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, DeliversFramedMessages) {
  const FramingCase& c = GetParam();
  std::vector<std::string> got;
  serial.SetRxEventMode(rxMessage);
  serial.SetMessageStartChar(c.start);
  serial.SetMessageEndChar(c.end);
  serial.SetMessageAppendCount(c.append);
  serial.OnMessage = [&](TSerial& sender, std::string message) {
    EXPECT_EQ(&sender, &serial);
    got.push_back(std::move(message));
  };
  OpenIdle();
  ASSERT_TRUE(SettleRx(c.input));
  EXPECT_EQ(got, c.messages);
  EXPECT_EQ(fake->RxQueued(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Framing,
    ::testing::Values(
        FramingCase{
            "DropsBytesOutsideAMessage", 2, 3, 0, "\x78\x02\x41\x42\x03\x79", {"\x02\x41\x42\x03"}},
        FramingCase{"AppendsAnyBytesAfterTheEnd",
                    2,
                    3,
                    2,
                    "\x02\x41\x03\x02\x03",
                    {"\x02\x41\x03\x02\x03"}},
        FramingCase{"StartRestartsAMessage", 2, 3, 0, "\x02\x41\x02\x42\x03", {"\x02\x42\x03"}},
        FramingCase{
            "EndOutsideAMessageIsDropped", 2, 3, 0, "\x03\x41\x03\x02\x43\x03", {"\x02\x43\x03"}},
        FramingCase{"StartEqualToEndNeverDelivers", 2, 2, 0, "\x02\x41\x02\x42\x02", {}},
        FramingCase{"ZeroBytesAreKept",
                    2,
                    3,
                    0,
                    std::string("\x02\x00\x41\x03", 4),
                    {std::string("\x02\x00\x41\x03", 4)}},
        FramingCase{"SeveralMessagesInOneWakeUp",
                    2,
                    3,
                    1,
                    "\x02\x41\x03\x58\x02\x42\x03\x59",
                    {"\x02\x41\x03\x58", "\x02\x42\x03\x59"}},
        FramingCase{"OtherFramingCharacters", '<', '>', 0, "x<ab>y<c", {"<ab>"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(EventThread, FramingStateSurvivesCloseAndReopen) {
  std::vector<std::string> got;
  serial.SetRxEventMode(rxMessage);
  serial.SetMessageAppendCount(1);
  serial.OnMessage = [&](TSerial&, std::string message) { got.push_back(std::move(message)); };
  OpenIdle();
  ASSERT_TRUE(
      SettleRx("\x02"
               "AB"));
  serial.SetActive(false);
  serial.SetActive(true);
  ASSERT_TRUE(SettleRx("C\x03"));
  EXPECT_TRUE(got.empty());  // one appended byte still due
  ASSERT_TRUE(SettleRx("Z"));
  EXPECT_EQ(got, std::vector<std::string>({"\x02"
                                           "ABC\x03Z"}));
}

TEST_F(EventThread, AppendCountIsTakenAtTheEndCharacter) {
  std::vector<std::string> got;
  serial.SetRxEventMode(rxMessage);
  serial.SetMessageAppendCount(2);
  serial.OnMessage = [&](TSerial&, std::string message) { got.push_back(std::move(message)); };
  OpenIdle();
  ASSERT_TRUE(
      SettleRx("\x02"
               "A\x03"
               "1"));
  serial.SetMessageAppendCount(0);  // too late for this message
  ASSERT_TRUE(
      SettleRx("2\x02"
               "B\x03"));
  EXPECT_EQ(got, std::vector<std::string>({"\x02"
                                           "A\x03"
                                           "12",
                                           "\x02"
                                           "B\x03"}));
}

TEST_F(EventThread, FailedReadWhileFramingIsReportedOnTheOwnersThread) {
  serial.SetRxEventMode(rxMessage);
  serial.SetNotifyErrors(neEvent);
  int reports = 0;
  serial.OnError = [&](TSerial&) {
    EXPECT_EQ(std::this_thread::get_id(), ownerThread);
    ++reports;
  };
  serial.OnMessage = [](TSerial&, std::string) {};
  OpenIdle();
  fake->FailNext("ReadByte", 44);
  ASSERT_TRUE(SettleRx("x"));
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(serial.ErrorCode(), 44);
  EXPECT_EQ(fake->RxQueued(), 1U);  // the pass ended at the failure
}

TEST_F(EventThread, FailedWaitIsReportedOnTheOwnersThread) {
  serial.SetNotifyErrors(neEvent);
  int reports = 0;
  serial.OnError = [&](TSerial&) {
    EXPECT_EQ(std::this_thread::get_id(), ownerThread);
    ++reports;
  };
  fake->FailNext("WaitCommEvent", 33);
  serial.SetActive(true);
  ASSERT_TRUE(PumpUntilIdle(2));  // the failed wait, then one that blocks
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(serial.ErrorCode(), 33);
  // The thread goes on serving the port.
  RecordAll();
  ASSERT_TRUE(SettleEvents(kEV_BREAK));
  EXPECT_EQ(seen, std::vector<std::string>({"Break"}));
}

TEST_F(EventThread, CloseDuringAWaitHandsNothingOverAndReportsNothing) {
  RecordAll();
  OpenIdle();
  serial.SetActive(false);
  EXPECT_EQ(owner.PumpFor(50ms), 0U);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(serial.ErrorCode(), 0);
  EXPECT_TRUE(owner.Boxes().empty());
  EXPECT_FALSE(fake->IsOpen());
}

TEST_F(EventThread, CloseWithdrawsANotificationNotYetRun) {
  RecordAll();
  OpenIdle();
  fake->PushRx("Y");
  ASSERT_TRUE(owner.Queue().WaitPending(kBound));
  // The owner closes without processing its messages first.
  serial.SetActive(false);
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(owner.PumpFor(50ms), 0U);
  EXPECT_TRUE(seen.empty());
  // The thread is back to serving the next open.
  serial.SetActive(true);
  fake->PushEvents(kEV_RING);
  ASSERT_TRUE(owner.PumpUntil([&] { return !seen.empty(); }, kBound));
  EXPECT_EQ(seen, std::vector<std::string>({"Ring"}));
}

TEST_F(EventThread, HandlerFailureDropsTheRestOfThatWakeUpOnly) {
  RecordAll();
  int failures = 0;
  serial.OnSignalChange = [&](TSerial&, eModemInSignal, bool) {
    ++failures;
    throw std::runtime_error("handler failed");
  };
  OpenIdle();
  ASSERT_TRUE(SettleEvents(kEV_CTS | kEV_RING));
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(SettleEvents(kEV_RING));
  EXPECT_EQ(seen, std::vector<std::string>({"Ring"}));
}

TEST_F(EventThread, WriteCompletedIsNeverRaised) {
  RecordAll();
  OpenIdle();
  serial.WriteString(":000000FF01");
  fake->SetRxRaisesEvent(false);
  fake->PushRx("Y");
  ASSERT_TRUE(SettleEvents(TSerial::kEventMask));
  for (const auto& name : seen) EXPECT_NE(name, "WriteCompleted");
  EXPECT_EQ(seen.size(), 7U);
}

TEST_F(EventThread, StartsOnlyWithTheFirstSuccessfulOpen) {
  fake->FailNext("Open", 2);
  serial.SetNotifyErrors(neNone);
  serial.SetActive(true);
  EXPECT_FALSE(serial.EventThreadStarted());
  serial.SetActive(true);
  EXPECT_TRUE(serial.EventThreadStarted());
  // After closing, the thread idles and waits on nothing.
  serial.SetActive(false);
  const std::size_t waits = fake->WaitsEntered();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(fake->WaitsEntered(), waits);
}

}  // namespace

namespace {

TEST_F(EventThread, ClearMaskFromAFailedOpenStepDoesNotSpinTheThread) {
  serial.SetNotifyErrors(neNone);
  fake->FailNext("SetCommMask", 9);  // the open's event mask is not set
  serial.SetActive(true);
  ASSERT_TRUE(serial.Active());
  ASSERT_TRUE(fake->WaitForWaiter(1, kBound));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(fake->WaitsEntered(), 2U);  // blocked, not returning over and over
  serial.SetActive(false);              // the close still releases it
  EXPECT_FALSE(fake->IsOpen());
}

}  // namespace

namespace {

// Holds back the result of a failed event wait until the test lets it go,
// so the wait can be made to return after the port has been opened again.
class HeldFailurePlatform : public FakePlatform {
 public:
  WaitResult WaitCommEvent(PortHandle h) override {
    WaitResult result = FakePlatform::WaitCommEvent(h);
    if (result.error == 0) return result;
    std::unique_lock lock(gateMutex_);
    held_ = true;
    gate_.notify_all();
    gate_.wait(lock, [this] { return released_; });
    return result;
  }
  bool WaitHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lock(gateMutex_);
    return gate_.wait_for(lock, timeout, [this] { return held_; });
  }
  void Release() {
    {
      std::lock_guard lock(gateMutex_);
      released_ = true;
    }
    gate_.notify_all();
  }

 private:
  std::mutex gateMutex_;
  std::condition_variable gate_;
  bool held_ = false;
  bool released_ = false;
};

// The close cannot release the thread's wait (clearing the mask fails), so
// it waits out its bound and closes the handle under the wait. That wait
// fails on the old handle, and when it returns only after the next open,
// its failure must not be reported against the new port.
TEST(EventThreadStaleWait, FailureOfAWaitOnTheClosedHandleIsNotReportedOnTheNextOpen) {
  ManualSerialOwner owner;
  const auto fake = std::make_shared<HeldFailurePlatform>();
  std::vector<std::int32_t> reported;
  {
    TSerial serial(owner, fake);
    serial.SetNotifyErrors(neEvent);
    serial.OnError = [&](TSerial& s) { reported.push_back(s.ErrorCode()); };
    serial.SetActive(true);
    ASSERT_TRUE(fake->WaitForWaiter(1, kBound));
    fake->FailNext("SetCommMask", 5);
    serial.SetActive(false);  // takes the close's full bound
    ASSERT_FALSE(fake->IsOpen());
    ASSERT_TRUE(fake->WaitHeld(kBound));  // the old wait failed: EBADF
    serial.SetActive(true);
    ASSERT_TRUE(serial.Active());
    fake->Release();
    // The thread goes on to serve the new port.
    ASSERT_TRUE(owner.PumpUntil([&] { return fake->WaitForWaiter(2, 0ms); }, kBound));
    owner.PumpFor(100ms);
    EXPECT_EQ(reported, std::vector<std::int32_t>({5}));
    EXPECT_EQ(serial.ErrorCode(), 5);
    EXPECT_TRUE(serial.Active());
  }
}

}  // namespace

namespace {

// The component destroyed from inside one of its own handlers: the
// destructor cannot wait for the event thread, which waits for the handler.
TEST(EventThreadRelease, ComponentDestroyedInItsOwnHandlerEnds) {
  ManualSerialOwner owner;
  auto fake = std::make_shared<FakePlatform>();
  for (const bool inErrorHandler : {false, true}) {
    SCOPED_TRACE(inErrorHandler ? "OnError" : "OnBreak");
    auto serial = std::make_unique<TSerial>(owner, fake);
    bool ringRan = false;
    if (inErrorHandler) {
      serial->SetNotifyErrors(neEvent);
      serial->OnError = [&](TSerial&) { serial.reset(); };
    } else {
      serial->OnBreak = [&](TSerial&) { serial.reset(); };
      serial->OnRing = [&](TSerial&) { ringRan = true; };
    }
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active());
    ASSERT_TRUE(fake->WaitForWaiter(fake->WaitsEntered(), kBound));
    if (inErrorHandler) {
      fake->FailNext("WaitCommEvent", 5);
      fake->PushRx("x");  // releases the wait; the next one fails
    } else {
      fake->PushEvents(kEV_BREAK | kEV_RING);
    }
    ASSERT_TRUE(owner.PumpUntil([&] { return !serial; }, kBound));
    EXPECT_FALSE(fake->IsOpen());
    // The rest of that wake-up is dropped, and the released thread ends by
    // itself without handing anything more over.
    EXPECT_FALSE(ringRan);
    owner.PumpUntil([] { return false; }, 300ms);
    EXPECT_FALSE(owner.HasPending());
  }
}

}  // namespace
