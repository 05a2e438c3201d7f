#pragma once
// The TARN device as a pure state machine: bytes in, bytes out, on a clock
// that the caller supplies. No I/O, no threads, no real time; the pty
// transport (Pty.h) drives it with the steady clock, tests with any clock.
//
// What the device does, in order:
//   Connect(now)      the far end opened the line. On a line without a break
//                     signal (a pty) the operator switches the device on as
//                     the line opens: after the power-on delay it sends " "
//                     and then "Q" at once.
//   SetBreak(on, now) on a line that carries the break (the recording fake):
//                     switched on while the break is set, the device sends
//                     " " after the power-on delay, and "Q" when the break is
//                     released.
//   Receive(...)      record lines, framed by their count field (no line
//                     terminator); each is checked strictly and answered with
//                     "Y" when accepted, or with a wrong byte when refused.
//   Poll(now)         the bytes whose time has come, and whether the device
//                     hangs up now.
//   GetVerdict()      what the device has seen and whether its flash holds
//                     what it should.
// After a protocol violation the device answers the offending byte or line
// with a wrong byte and then ignores everything until the session ends.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnsim/Flash.h"

namespace tarnsim {

// Time on the device's clock, measured from any fixed origin.
using Nanos = std::chrono::nanoseconds;

// One character at 38400 baud, 8 data bits, no parity, 2 stop bits: 11 bits.
inline constexpr Nanos kWireCharTime{11'000'000'000LL / 38400};

// The byte a device answers with when it refuses a line.
inline constexpr std::uint8_t kRefuseByte = 0x3F;

// Faults the device can be told to show, for tests and operators' training.
// Block counts are 1-based positions among the data lines received, not
// block numbers; line counts are 1-based positions among all record lines.
struct Faults {
  // Answer nothing more once this many blocks have been acknowledged
  // (0: the first data line already gets no answer).
  std::optional<int> silentAfterBlock;
  // Answer kRefuseByte instead of "Y" to this record line.
  std::optional<int> wrongByteAtLine;
  // Send a second space after the first one, before "Q".
  bool secondSpace = false;
  // Send the space but never "Q".
  bool withholdQ = false;
  // Answer nothing more once this many record lines have been acknowledged.
  std::optional<int> silentAfterLine;
  // Send this many stray bytes (0xE0, 0xE1, ... cycling through 0xE0..0xEF)
  // before the space.
  int strayBytes = 0;
  // Close the line instead of acknowledging this data line; the blocks
  // before it are acknowledged.
  std::optional<int> hangUpAtBlock;
  // Wait this long before each acknowledge (and each refusal).
  Nanos ackDelay{0};
};

// When the operator switches the device on.
enum class PowerUp : std::uint8_t {
  AtConnect,  // as the line opens (a line without a break signal)
  AtBreak,    // when the host sets the break, as the window asks for power
  Never,      // not at all: the device stays silent
};

struct DeviceOptions {
  PowerUp powerUp = PowerUp::AtConnect;
  // From switching on to the space.
  Nanos powerOn = std::chrono::milliseconds(2000);
  // Pace every byte in both directions at kWireCharTime.
  bool wire = false;
  Faults faults;
  // What the flash should hold at the end; no comparison when empty.
  std::shared_ptr<const Flash> expected;
};

// The first protocol violation of a session.
struct Violation {
  int line = 0;        // record line (1-based) in which it happened
  std::string reason;  // what is wrong
  std::string text;    // the offending text so far, non-printables as \xNN
};

enum class FlashCheck : std::uint8_t { NotChecked, Equal, Differs };

struct Verdict {
  int linesReceived = 0;  // complete record lines, accepted or not
  int linesAccepted = 0;  // answered with "Y"
  bool securityAccepted = false;
  std::vector<int> chipsErased;  // in the order of their erase lines
  int blocksWritten = 0;
  bool endLineReceived = false;
  std::optional<Violation> violation;
  std::vector<std::string> faultsShown;  // injected faults that took effect
  bool hungUp = false;
  FlashCheck flash = FlashCheck::NotChecked;
  std::string flashDetail;

  // A complete, clean update: the end line was accepted, nothing was
  // violated or injected, and the flash matches when it was checked.
  [[nodiscard]] bool Passed() const;
};

// Several lines of text, the first "verdict: PASS" or "verdict: FAIL".
std::string FormatVerdict(const Verdict& verdict);

// Bytes due now, and whether the device closes the line now.
struct Output {
  std::string bytes;
  bool hangUp = false;
};

class Device {
 public:
  explicit Device(DeviceOptions options);

  // Receives the device's reports (violations, injected faults) as they occur.
  void SetLogger(std::function<void(std::string_view)> logger);

  // The far end opened the line at `now`: power-on begins.
  void Connect(Nanos now);
  // The host set (`on`) or released the break at `now`; only a device that
  // is switched on at the break heeds it.
  void SetBreak(bool on, Nanos now);
  // Bytes read from the line at `now` (in wire mode each byte is taken to
  // complete one character time after the one before it, or after `now`).
  void Receive(std::string_view bytes, Nanos now);
  // The output whose time has come by `now`.
  Output Poll(Nanos now);
  // When the next output or hang-up is due; nullopt when nothing is pending.
  [[nodiscard]] std::optional<Nanos> NextDue() const;

  [[nodiscard]] bool Connected() const { return phase_ != Phase::Off; }
  [[nodiscard]] bool HungUp() const { return verdict_.hungUp; }
  [[nodiscard]] Verdict GetVerdict() const;

 private:
  enum class Phase : std::uint8_t { Off, Listening, Refused, HungUp };
  enum class Stage : std::uint8_t { Locked, Unlocked, Programming, Ended };
  struct Pending {
    Nanos ready;
    char byte;
  };

  // Switched on at `now`: the stray bytes, the space (or two), and "Q"
  // unless it waits for the break's release.
  void PowerOn(Nanos now, bool sendQ);
  void SendQ(Nanos at);
  void ReceiveByte(char c, Nanos at);
  void LineComplete(Nanos at);
  void Refuse(const std::string& reason, Nanos at, int lineNo);
  // An acknowledge or refusal: after the configured delay.
  void Answer(std::uint8_t byte, Nanos at);
  // Queues one byte to leave no earlier than `at`, after the bytes before it.
  void Transmit(std::uint8_t byte, Nanos at);
  void Log(const std::string& text) const;
  // Checks a complete line; returns the reason when it is refused.
  std::optional<std::string> Check(const std::string& line, std::uint8_t count);
  void Apply(const std::string& line, std::uint8_t count);

  DeviceOptions options_;
  std::function<void(std::string_view)> logger_;
  Phase phase_ = Phase::Off;
  Stage stage_ = Stage::Locked;
  bool silent_ = false;
  bool poweredOn_ = false;
  bool qSent_ = false;

  std::vector<Pending> out_;  // in order of readiness
  std::size_t outHead_ = 0;
  Nanos txClock_{0};
  Nanos rxClock_{0};
  Nanos listenFrom_{Nanos::max()};  // "Q" has reached the host
  Nanos lastAnswerReady_{0};        // the last answer has reached the host
  std::optional<Nanos> hangUpAt_;

  std::string line_;            // the record line being received
  std::size_t lineLength_ = 0;  // its full length once the count is known
  int lastChip_ = 0;
  std::optional<std::uint32_t> lastBlock_;

  Flash flash_;
  Verdict verdict_;
};

}  // namespace tarnsim
