// Every platform call that one complete update makes, failed at each of its
// uses in turn (one failure per run) with a realistic error code. Every run
// must end idle, give the operator what a failure of that call gives, and
// leave the window ready for the next Start, which must then succeed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ScriptHost.h"

namespace {

using Outcome = ScriptHost::Outcome;

constexpr int kRecordLines = 1019;
constexpr const char* kNoAnswer = "Hardware antwortet nicht !";

// What the operator gets when the call fails.
enum class Effect {
  NotOpened,         // the component's box; empty status list; nothing disabled
  BoxThenSuccess,    // the component's box; the update goes on and succeeds
  SilentSuccess,     // the result is ignored: no box, the update succeeds
  BoxThenNoAnswer,   // a failed write: the box, then the wait times out
  NoAnswerAtPower,   // the break never reached the device: time-out at the power wait
  NoAnswerAtDetect,  // the break was never released: time-out waiting for "Q"
};

struct CallPlan {
  std::string call;
  std::int32_t code;
  Effect effect;
  // Sample these uses instead of every one (calls made about once a line).
  bool sampled = false;
};

const std::vector<CallPlan> kPlans = {
    {"Open", ENOENT, Effect::NotOpened},
    {"Open", EACCES, Effect::NotOpened},
    {"Open", EBUSY, Effect::NotOpened},
    {"SetupComm", EINVAL, Effect::BoxThenSuccess},
    {"SetCommState", EINVAL, Effect::BoxThenSuccess},
    {"SetCommTimeouts", ENOTSUP, Effect::BoxThenSuccess},
    {"EscapeCommFunction", ENOTTY, Effect::SilentSuccess},
    {"SetCommMask", EIO, Effect::BoxThenSuccess},
    {"SetCommBreak", EIO, Effect::NoAnswerAtPower},
    {"ClearCommBreak", EIO, Effect::NoAnswerAtDetect},
    {"Write", EIO, Effect::BoxThenNoAnswer, true},
    {"Write", ETIMEDOUT, Effect::BoxThenNoAnswer, true},
    {"ReadByte", EIO, Effect::BoxThenSuccess, true},
    {"WaitCommEvent", EIO, Effect::BoxThenSuccess, true},
    {"ClearCommError", EIO, Effect::BoxThenSuccess},
    {"GetCommModemStatus", EIO, Effect::SilentSuccess},
    {"PurgeComm", EIO, Effect::BoxThenSuccess},
    {"Close", EIO, Effect::BoxThenSuccess},
};

// The component's box text for `code`: the platform's text without its
// trailing full stop and line end.
std::string BoxText(std::int32_t code) {
  return std::strerror(code);
}

// Uses to fail out of `total`: all of them, or for a call made about once a
// record line the first, the second, a few in the middle and the last.
std::vector<std::uint64_t> UsesToFail(const CallPlan& plan, std::uint64_t total) {
  std::set<std::uint64_t> uses;
  if (plan.call == "WaitCommEvent") {
    // How often the event thread waits depends on how its wake-ups fall
    // against the update (bytes that arrive during a hand-over share one
    // wake-up), so only its first uses are fixed points of every run.
    for (const std::uint64_t u : {1U, 2U, 5U, 10U}) uses.insert(u);
  } else if (!plan.sampled) {
    for (std::uint64_t u = 1; u <= total; ++u) uses.insert(u);
  } else if (total > 0) {
    for (const std::uint64_t u : {std::uint64_t{1}, std::uint64_t{2}, total / 4, total / 2,
                                  total / 2 + 1, total * 3 / 4, total}) {
      if (u >= 1) uses.insert(u);
    }
  }
  return {uses.begin(), uses.end()};
}

// Checks the outcome against what the failure must give the operator; empty
// when it matches, else what differs.
std::string CheckEffect(const CallPlan& plan, const Outcome& outcome, ScriptHost& host,
                        const FakeTarn& device, std::uint64_t use, std::uint64_t writes) {
  std::string bad;
  const auto expect = [&bad](bool ok, const std::string& what) {
    if (!ok) bad += " [" + what + "]";
  };
  const std::vector<std::string> oneBox = {BoxText(plan.code)};
  switch (plan.effect) {
    case Effect::NotOpened:
      expect(outcome.kind == Outcome::Completed, "no exception");
      expect(host.Status().empty(), "empty status list");
      expect(host.Boxes() == oneBox, "the component's box");
      expect(!host.EverDisabled(), "no button disabled");
      expect(device.LinesSeen() == 0, "nothing sent");
      break;
    case Effect::BoxThenSuccess:
    case Effect::SilentSuccess:
      expect(outcome.kind == Outcome::Completed, "success, got '" + outcome.message + "'");
      expect(host.Status() == kSuccessStatus, "the eight status lines");
      expect(device.LinesSeen() == kRecordLines, "1019 lines sent");
      expect(host.HighestProgress() == 1014, "gauge reached 1014");
      if (plan.effect == Effect::BoxThenSuccess) {
        expect(host.Boxes() == oneBox, "one box '" + oneBox[0] + "'");
      } else {
        expect(host.Boxes().empty(), "no box");
      }
      break;
    case Effect::BoxThenNoAnswer: {
      expect(outcome.kind == Outcome::SerialFailure && outcome.message == kNoAnswer,
             "time-out, got '" + outcome.message + "'");
      expect(host.Boxes() == oneBox, "one box '" + oneBox[0] + "'");
      expect(static_cast<std::uint64_t>(device.LinesSeen()) == use - 1, "the lines before it sent");
      // Blocks acknowledged before the lost line: lines 5.. are data lines.
      const std::int64_t blocks = std::min<std::int64_t>(
          std::max<std::int64_t>(static_cast<std::int64_t>(use) - 5, 0), 1014);
      expect(host.HighestProgress() == blocks, "gauge showed the blocks before it");
      expect(writes == use, "no line after the lost one");
      break;
    }
    case Effect::NoAnswerAtPower:
    case Effect::NoAnswerAtDetect:
      expect(outcome.kind == Outcome::SerialFailure && outcome.message == kNoAnswer,
             "time-out, got '" + outcome.message + "'");
      expect(host.Boxes().empty(), "no box (the result is ignored)");
      expect(host.Status() == std::vector<std::string>{"Connect TARN to Power !"},
             "only the power line");
      expect(device.LinesSeen() == 0, "nothing sent");
      break;
  }
  return bad;
}

struct Clean {
  std::map<std::string, std::uint64_t> uses;
};

// One clean update: how often it uses each call.
Clean CountUses() {
  ScriptHost host;
  host.SetEventSync(true);
  FakeTarn device;
  device.Attach(host.Fake());
  const Outcome outcome = host.Start();
  EXPECT_EQ(outcome.kind, Outcome::Completed) << outcome.message;
  EXPECT_EQ(host.Status(), kSuccessStatus);
  EXPECT_EQ(host.NotIdle(), "");
  Clean clean;
  for (const std::string& call : FaultPlatform::CallNames()) {
    clean.uses[call] = host.Faults().Uses(call);
  }
  return clean;
}

TEST(FaultInjection, EveryPlatformCallFailingAtEachUseEndsIdle) {
  const Clean clean = CountUses();
  std::printf("uses of each platform call in one clean update:\n");
  for (const auto& [call, count] : clean.uses) {
    std::printf("  %-20s %llu\n", call.c_str(), static_cast<unsigned long long>(count));
  }
  // Every call of an update is covered by a plan.
  for (const auto& [call, count] : clean.uses) {
    if (count == 0) continue;
    bool planned = false;
    for (const CallPlan& plan : kPlans) planned = planned || plan.call == call;
    EXPECT_TRUE(planned) << call << " is used but never failed";
  }

  int runs = 0;
  int idle = 0;
  int nextStartOk = 0;
  int missed = 0;
  std::set<std::string> callsFailed;
  for (const CallPlan& plan : kPlans) {
    const std::uint64_t total = clean.uses.at(plan.call);
    if (total == 0) {
      std::printf("%-20s not used by an update: no run\n", plan.call.c_str());
      continue;
    }
    for (const std::uint64_t use : UsesToFail(plan, total)) {
      SCOPED_TRACE(plan.call + "#" + std::to_string(use) + " (" + std::strerror(plan.code) + ")");
      // A use of the event wait past the first two may not come in a run
      // whose wake-ups fell together (a loaded machine: a clean update has
      // been seen to wait anywhere from 13 to 36 times). Such a run is
      // repeated until the armed use is reached; one that is still not
      // reached is reported and left out, since it tests nothing.
      const bool mayBeMissed = plan.call == "WaitCommEvent" && use > 2;
      const int attempts = mayBeMissed ? 5 : 1;
      std::unique_ptr<ScriptHost> window;
      std::unique_ptr<FakeTarn> tarn;
      Outcome outcome;
      bool ended = true;
      double seconds = 0;
      for (int attempt = 0; attempt < attempts; ++attempt) {
        window.reset();  // before its device: the window's port calls into it
        tarn = std::make_unique<FakeTarn>();
        window = std::make_unique<ScriptHost>();
        window->SetEventSync(true);
        tarn->Attach(window->Fake());
        window->Faults().Arm(plan.call, use, plan.code);
        const auto began = std::chrono::steady_clock::now();
        try {
          outcome = window->Start();
        } catch (const RunawayWait&) {
          ended = false;
          break;
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (!window->Faults().Fired().empty()) break;
      }
      if (!ended) {
        ADD_FAILURE() << "the run never ended";
        continue;
      }
      if (mayBeMissed && window->Faults().Fired().empty()) {
        std::printf("%-20s #%-5llu not reached in %d runs: left out\n", plan.call.c_str(),
                    static_cast<unsigned long long>(use), attempts);
        ++missed;
        continue;
      }
      ScriptHost& host = *window;
      const FakeTarn& device = *tarn;
      ++runs;
      callsFailed.insert(plan.call);
      const std::uint64_t waits = host.Faults().Uses("WaitCommEvent");
      const std::uint64_t writes = host.Faults().Uses("Write");
      EXPECT_EQ(host.Faults().Fired().size(), 1U) << "the armed use was never reached";

      const std::string notIdle = host.NotIdle();
      EXPECT_EQ(notIdle, "") << "not idle after the run";
      if (notIdle.empty()) ++idle;
      const std::string bad = CheckEffect(plan, outcome, host, device, use, writes);
      EXPECT_EQ(bad, "") << "the operator did not get what the failure gives";
      const std::size_t boxes = host.Boxes().size();

      // The next Start, on the same window, works.
      host.Faults().Reset();
      host.ClearRecord();
      FakeTarn next;
      next.Attach(host.Fake());
      const Outcome again = host.Start();
      const bool ok = again.kind == Outcome::Completed && host.Status() == kSuccessStatus &&
                      host.Boxes().empty() && host.NotIdle().empty();
      EXPECT_TRUE(ok) << "the next Start failed: '" << again.message << "'";
      if (ok) ++nextStartOk;

      std::printf("%-20s #%-5llu %-10s -> %-13s %-30s boxes %zu, %s, next Start %s (%.2f s%s)\n",
                  plan.call.c_str(), static_cast<unsigned long long>(use), std::strerror(plan.code),
                  outcome.kind == Outcome::Completed       ? "completed"
                  : outcome.kind == Outcome::SerialFailure ? "ESerialExc."
                                                           : "aborted",
                  outcome.message.c_str(), boxes, notIdle.empty() ? "idle" : "NOT IDLE",
                  ok ? "ok" : "FAILED", seconds,
                  waits > 10000
                      ? (", event thread spun: " + std::to_string(waits) + " waits").c_str()
                      : "");
    }
  }
  std::printf(
      "fault injection: %d runs over %zu platform calls; %d of %d ended idle; the next "
      "Start succeeded after %d; %d late event-wait uses not reached\n",
      runs, callsFailed.size(), idle, runs, nextStartOk, missed);
  EXPECT_EQ(idle, runs);
  EXPECT_EQ(nextStartOk, runs);
  EXPECT_GT(runs, 30);
}

}  // namespace

namespace {

// When the event mask cannot be set on open, the event wait must block (or
// pause) instead of returning at once with an empty set; otherwise the event
// thread spins on one core for as long as the port stays open (about 100,000
// waits in a 0.1 s update over the fake) and the update loses its
// received-data wake-ups.
TEST(FaultInjection, FailedEventMaskDoesNotSpinTheEventThread) {
  ScriptHost host;
  FakeTarn device;
  device.Attach(host.Fake());
  host.Faults().Arm("SetCommMask", 1, EIO);
  const Outcome outcome = host.Start();
  EXPECT_EQ(outcome.kind, Outcome::Completed) << outcome.message;
  EXPECT_EQ(host.NotIdle(), "");
  // A thread that waits once a line needs about 1020 waits.
  EXPECT_LT(host.Faults().Uses("WaitCommEvent"), 2 * static_cast<std::uint64_t>(kRecordLines));
}

}  // namespace
