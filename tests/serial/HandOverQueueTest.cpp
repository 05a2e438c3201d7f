// The hand-over queue: blocking posts, order, failures carried back,
// withdrawal, nested pumps and shutdown.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/HandOverQueue.h"

namespace {

using namespace std::chrono_literals;

// Waits (bounded) until the queue holds a call.
void AwaitPending(const HandOverQueue& queue) {
  ASSERT_TRUE(queue.WaitPending(5s));
}

TEST(HandOverQueue, RunsCallsOnThePumpingThreadInOrderAndUnblocksThePoster) {
  std::atomic<int> wakes{0};
  HandOverQueue queue([&] { ++wakes; });
  std::vector<std::string> ran;
  const auto pumper = std::this_thread::get_id();
  std::atomic<bool> firstReturned{false};
  std::thread a([&] {
    EXPECT_TRUE(queue.Post(&queue, [&] {
      EXPECT_EQ(std::this_thread::get_id(), pumper);
      ran.push_back("a");
    }));
    firstReturned = true;
  });
  AwaitPending(queue);
  std::thread b([&] { EXPECT_TRUE(queue.Post(&queue, [&] { ran.push_back("b"); })); });
  // Both are waiting: nothing has run without a pump.
  for (int i = 0; i < 500 && wakes.load() < 2; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(ran.empty());
  EXPECT_FALSE(firstReturned.load());
  EXPECT_EQ(queue.RunPending(), 2U);
  a.join();
  b.join();
  EXPECT_EQ(ran, std::vector<std::string>({"a", "b"}));
  EXPECT_EQ(wakes.load(), 2);
  EXPECT_FALSE(queue.HasPending());
}

TEST(HandOverQueue, FailureOfTheCallIsRaisedInThePoster) {
  HandOverQueue queue;
  std::string caught;
  std::thread poster([&] {
    try {
      queue.Post(nullptr, [] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  AwaitPending(queue);
  EXPECT_EQ(queue.RunPending(), 1U);  // the pump itself is not disturbed
  poster.join();
  EXPECT_EQ(caught, "handler failed");
}

TEST(HandOverQueue, WithdrawDropsOnlyThatSourcesPendingCalls) {
  std::atomic<int> posts{0};
  HandOverQueue queue([&] { ++posts; });
  int mine = 0;
  int other = 0;
  const int sourceA = 0;
  const int sourceB = 0;
  bool resultA = true;
  bool resultB = false;
  std::thread a([&] { resultA = queue.Post(&sourceA, [&] { ++mine; }); });
  std::thread b([&] { resultB = queue.Post(&sourceB, [&] { ++other; }); });
  for (int i = 0; i < 5000 && posts.load() < 2; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(posts.load(), 2);
  queue.Withdraw(&sourceA);
  a.join();
  EXPECT_FALSE(resultA);
  EXPECT_EQ(queue.RunPending(), 1U);
  b.join();
  EXPECT_TRUE(resultB);
  EXPECT_EQ(mine, 0);
  EXPECT_EQ(other, 1);
}

TEST(HandOverQueue, NestedPumpRunsCallsPostedWhileACallRuns) {
  HandOverQueue queue;
  std::vector<std::string> ran;
  std::thread second;
  std::thread first([&] {
    queue.Post(nullptr, [&] {
      ran.push_back("outer begins");
      second = std::thread([&] { queue.Post(nullptr, [&] { ran.push_back("inner"); }); });
      ASSERT_TRUE(queue.WaitPending(5s));
      queue.RunPending();  // a modal loop inside a handler
      ran.push_back("outer ends");
    });
  });
  AwaitPending(queue);
  queue.RunPending();
  first.join();
  second.join();
  EXPECT_EQ(ran, std::vector<std::string>({"outer begins", "inner", "outer ends"}));
}

TEST(HandOverQueue, ShutdownReleasesWaitersAndRefusesLaterPosts) {
  HandOverQueue queue;
  bool result = true;
  std::thread poster([&] { result = queue.Post(nullptr, [] { FAIL() << "must not run"; }); });
  AwaitPending(queue);
  queue.Shutdown();
  poster.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(queue.Post(nullptr, [] { FAIL() << "must not run"; }));
  EXPECT_EQ(queue.RunPending(), 0U);
}

}  // namespace
