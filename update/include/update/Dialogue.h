#pragma once
// The two dialogue primitives of the update window: waiting for one reply
// byte, and sending a record line that the device must acknowledge.

#include <cstdint>
#include <string_view>

#include "update/UpdateHost.h"

// The device's acknowledge of every record line it accepts.
inline constexpr std::uint8_t kAcknowledge = 'Y';

inline constexpr const char* kNoAnswerMessage = "Hardware antwortet nicht !";
inline constexpr const char* kWrongAnswerSuffix = " Hardware antwortet falsch !";

// Waits until `expected` arrives on the host's serial port.
//
// Each turn: deadline test, pump the window messages, cancel test, one
// non-blocking ReadByte, pump again. Every byte received counts against
// `budget`, the expected one too; wrong bytes are dropped while budget is
// left, and the one that uses it up is fatal. A turn that read nothing calls
// host.WaitForActivity() between the read and the second pump, so the wait
// sleeps instead of spinning.
//
// Throws ESerialException("Hardware antwortet nicht !") once the tick counter
// has advanced by `timeout` ms or more since entry (tested only at the top of
// a turn; a timeout <= 0 fails at the first test), ESerialException("XX
// Hardware antwortet falsch !") with the fatal byte in hex, or EAbort when
// the cancel flag is set (tested before the read, so a cancel wins over a
// byte waiting in the same turn, and that byte stays unread).
void WaitForReply(IUpdateHost& host, std::uint8_t expected, std::int32_t timeout,
                  std::int32_t budget);

// Writes `line` unchanged (no terminator) and waits for the acknowledge:
// WaitForReply(host, 'Y', timeout, 1). The outcome of the write is not looked
// at; a failed write has been reported by the serial component, and the wait
// then normally ends with the timeout.
void SendRecord(IUpdateHost& host, std::string_view line, std::int32_t timeout);
