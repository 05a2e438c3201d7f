// libFuzzer target: arbitrary device byte streams, interleaved with timer
// ticks, cancel presses and platform failures, fed into the device dialogue
// and the whole update sequence over the recording fake.
//
// The input is a script. Its first byte picks the mode:
//   bits 0-1  0, 1: the update with the built-in image
//             2:    the update with one byte of a copy of the image changed
//             3:    one WaitForReply with expected byte, timeout and budget
//                   taken from the input
//   bit 6     the tick counter starts just below its wrap-around
//   bit 7     received bytes raise the event thread's received-data event
// Every later byte is one moment of the window's message processing:
//   0 one timer tick          4 the device answers the next N things right
//   1 2-8 timer ticks         5 nothing happens (no tick)
//   2 Cancel / Esc pressed    6 the next use (+0..3) of a platform call fails
//   3 1-4 raw device bytes    7 a tick and one raw device byte
// Once the script is used up every moment is one tick, so every wait ends.
//
// After each run: no crash, no hang (message processing is bounded), the
// window and the port idle, the status list a prefix of what the update may
// show, and the outcome one the dialogue can give.
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "ScriptHost.h"
#include "update/Dialogue.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSequence.h"

// The component's close polls the event thread's in-wait flag with 75 ms
// sleeps. In the fuzzer each sleep becomes a yield, so the close still polls
// as often but a million runs fit in minutes instead of a day. Nothing else
// in the code under test sleeps this way (its other waits are bounded
// condition-variable waits).
extern "C" int nanosleep(const struct timespec*, struct timespec*) {
  sched_yield();
  return 0;
}

namespace {

using Outcome = ScriptHost::Outcome;

const std::string kChecksumError = "Checksum Error in internal data !";
const std::string kNoAnswer = "Hardware antwortet nicht !";

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool Done() const { return pos_ >= size_; }
  std::uint8_t Byte() { return Done() ? 0 : data_[pos_++]; }
  std::int32_t Int32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return static_cast<std::int32_t>(v);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "update fuzzer: %s\n", what.c_str());
  std::abort();
}

bool IsWrongByteMessage(const std::string& m) {
  const std::string suffix = " Hardware antwortet falsch !";
  const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  return m.size() == 2 + suffix.size() && hex(m[0]) && hex(m[1]) && m.substr(2) == suffix;
}

// The status list: a prefix of the successful run's lines, or such a prefix
// up to "Update is running !!" followed by the checksum line.
bool StatusAllowed(const std::vector<std::string>& status) {
  std::size_t n = status.size();
  if (n > 0 && status.back() == kChecksumError) {
    --n;
    if (n != 7) return false;  // only after "Update is running !!"
  }
  if (n > kSuccessStatus.size()) return false;
  return std::equal(status.begin(), status.begin() + static_cast<std::ptrdiff_t>(n),
                    kSuccessStatus.begin());
}

std::string Describe(const Outcome& o) {
  switch (o.kind) {
    case Outcome::Completed:
      return "completed";
    case Outcome::SerialFailure:
      return "ESerialException '" + o.message + "'";
    case Outcome::Aborted:
      return "EAbort";
  }
  return "?";
}

// One moment of message processing, taken from the script.
void Moment(ScriptHost& host, FakeTarn& device, Script& script, bool& cancelled) {
  if (script.Done()) {
    host.Tick();
    return;
  }
  const std::uint8_t op = script.Byte();
  switch (op % 8) {
    case 0:
      host.Tick();
      break;
    case 1:
      for (int i = 0; i < 2 + (op >> 3) % 7; ++i) host.Tick();
      break;
    case 2:
      host.PressCancel();
      cancelled = true;
      break;
    case 3: {
      std::string bytes;
      for (int i = 0; i < 1 + (op >> 3) % 4; ++i) bytes.push_back(static_cast<char>(script.Byte()));
      host.Fake().PushRx(bytes);
      break;
    }
    case 4:
      device.AddAnswers(script.Byte());
      break;
    case 5:
      break;
    case 6: {
      const auto& calls = FaultPlatform::CallNames();
      const std::string& call = calls[script.Byte() % calls.size()];
      host.Faults().Arm(call, host.Faults().Uses(call) + 1 + (op >> 3) % 4, 5 /* EIO */);
      break;
    }
    case 7:
      host.Tick();
      host.Fake().PushRx(std::string(1, static_cast<char>(script.Byte())));
      break;
    default:
      break;
  }
}

void RunUpdateMode(Script& script, std::uint8_t mode) {
  ScriptHost host(40000);
  host.Fake().SetRxRaisesEvent((mode & 0x80) != 0);
  if (mode & 0x40) host.SetTicks(std::numeric_limits<std::int32_t>::max() - 200 * script.Byte());
  FakeTarn device;
  device.SetAnswerBudget(0);
  device.Attach(host.Fake());

  std::vector<std::uint8_t> image;
  if ((mode & 3) == 2) {
    const auto builtIn = FirmwareImage();
    image.assign(builtIn.begin(), builtIn.end());
    // Anywhere but the chip mask, which chooses the erase lines.
    const std::size_t high = script.Byte();
    const std::size_t low = script.Byte();
    const std::size_t at = 1 + ((high << 8 | low) * 17U) % (image.size() - 1);
    image[at] = static_cast<std::uint8_t>(image[at] ^ (script.Byte() | 1U));
  }
  bool cancelled = false;
  host.SetTimeline([&](ScriptHost& h) { Moment(h, device, script, cancelled); });

  Outcome outcome;
  try {
    outcome = image.empty() ? host.Start() : host.Run([&] { RunUpdate(host, image); });
  } catch (const RunawayWait&) {
    Fail("the update never ended");
  }

  const std::string notIdle = host.NotIdle();
  if (!notIdle.empty()) Fail("not idle after " + Describe(outcome) + ":" + notIdle);
  const auto& status = host.Status();
  if (!StatusAllowed(status)) {
    Fail("status list not allowed, last line '" + (status.empty() ? "" : status.back()) + "'");
  }
  const std::string last = status.empty() ? "" : status.back();
  switch (outcome.kind) {
    case Outcome::Completed:
      // Success, a checksum error, or a port that did not open.
      if (last != kSuccessStatus.back() && last != kChecksumError && !status.empty()) {
        Fail("completed with last line '" + last + "'");
      }
      // A changed image may end early at a block number that reads as the
      // end marker; the built-in one always sends every block.
      if (image.empty() && last == kSuccessStatus.back() &&
          host.HighestProgress() != kBlockRecordCount) {
        Fail("success without every block counted");
      }
      break;
    case Outcome::SerialFailure:
      if (outcome.message != kNoAnswer && !IsWrongByteMessage(outcome.message)) {
        Fail("unknown message '" + outcome.message + "'");
      }
      if (last == kSuccessStatus.back() || last == kChecksumError || status.empty()) {
        Fail(Describe(outcome) + " after '" + last + "'");
      }
      break;
    case Outcome::Aborted:
      if (!cancelled) Fail("aborted without a cancel");
      if (status.empty()) Fail("aborted before the port was open");
      break;
  }
  if (host.HighestProgress() > kBlockRecordCount) Fail("gauge past its maximum");
}

// One wait on an open port, with arbitrary expected byte, timeout, budget
// and start of the tick counter.
void RunWaitMode(Script& script, std::uint8_t mode) {
  ScriptHost host(40000);
  host.Fake().SetRxRaisesEvent((mode & 0x80) != 0);
  const std::uint8_t expected = script.Byte();
  std::int32_t timeout = script.Int32();
  // Mostly the time-outs of the update, sometimes anything at all.
  if ((mode & 0x20) == 0) timeout = static_cast<std::int32_t>(timeout % 4096);
  const std::int32_t budget = static_cast<std::int8_t>(script.Byte());
  const std::int32_t start = script.Int32();
  host.SetTicks(start);
  FakeTarn device;
  device.SetAnswerBudget(0);
  bool cancelled = false;
  host.SetTimeline([&](ScriptHost& h) { Moment(h, device, script, cancelled); });

  host.Serial().SetActive(true);
  if (!host.Serial().Active()) Fail("the fake port did not open");
  host.Faults().Reset();
  Outcome outcome;
  bool stillWaiting = false;
  try {
    outcome = host.Run([&] { WaitForReply(host, expected, timeout, budget); });
  } catch (const RunawayWait&) {
    // Only a time-out beyond what the ticks of 40000 message processings
    // can reach may keep a wait going this long.
    if (timeout > 0 && timeout < 200 * 30000) Fail("the wait never ended");
    stillWaiting = true;
  }
  const std::uint64_t reads = host.Faults().Uses("ReadByte");
  const std::int32_t elapsed = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(host.TickCount()) - static_cast<std::uint32_t>(start));
  host.Serial().SetActive(false);
  host.ClearCancelFlag();

  switch (stillWaiting ? Outcome::Aborted : outcome.kind) {
    case Outcome::Completed:
      if (timeout <= 0) Fail("a wait with timeout <= 0 returned");
      break;
    case Outcome::SerialFailure:
      if (outcome.message == kNoAnswer) {
        if (timeout <= 0 && reads != 0) Fail("timeout <= 0 read before failing");
        if (timeout > 0 && elapsed >= 0 && elapsed < timeout) Fail("timed out early");
      } else if (!IsWrongByteMessage(outcome.message)) {
        Fail("unknown message '" + outcome.message + "'");
      } else if (timeout <= 0) {
        Fail("a wait with timeout <= 0 read a byte");
      }
      break;
    case Outcome::Aborted:
      if (!cancelled && !stillWaiting) Fail("aborted without a cancel");
      break;
  }
  const std::string notIdle = host.NotIdle();
  if (!notIdle.empty()) Fail("not idle after the wait:" + notIdle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script script(data, size);
  const std::uint8_t mode = script.Byte();
  if ((mode & 3) == 3) {
    RunWaitMode(script, mode);
  } else {
    RunUpdateMode(script, mode);
  }
  return 0;
}
