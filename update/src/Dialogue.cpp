#include "update/Dialogue.h"

#include <string>

#include "serial/TSerial.h"
#include "update/Exceptions.h"
#include "update/HexDigits.h"

namespace {

// Whether the deadline has passed. The tick counter is a signed 32-bit count
// that wraps past INT32_MAX, so `start + timeout` may not be formed in signed
// arithmetic. The elapsed time is the modular difference `ticks - start`,
// which stays right across the wrap; it equals the plain comparison
// `start + timeout > ticks` wherever that sum does not overflow.
bool DeadlinePassed(std::int32_t start, std::int32_t now, std::int32_t timeout) {
  if (timeout <= 0) {
    return true;
  }
  const std::uint32_t elapsed = static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(start);
  return elapsed >= static_cast<std::uint32_t>(timeout);
}

std::string WrongByteMessage(std::uint8_t byte) {
  std::string message;
  AppendHexByte(message, byte);
  message.append(kWrongAnswerSuffix);
  return message;
}

}  // namespace

void WaitForReply(IUpdateHost& host, std::uint8_t expected, std::int32_t timeout,
                  std::int32_t budget) {
  const std::int32_t start = host.TickCount();
  for (;;) {
    if (DeadlinePassed(start, host.TickCount(), timeout)) {
      throw ESerialException(kNoAnswerMessage);
    }
    host.ProcessMessages();
    if (host.CancelFlag()) {
      throw EAbort();
    }
    std::uint8_t byte = 0;
    const bool received = host.Serial().ReadByte(byte) == 1;
    if (received) {
      // Counted down only while positive, so a budget of zero or less cannot
      // underflow; the first wrong byte is then fatal, as with budget 1.
      if (budget > 0) {
        --budget;
      }
      if (byte == expected) {
        return;
      }
      if (budget <= 0) {
        throw ESerialException(WrongByteMessage(byte));
      }
    }
    if (!received) {
      // Nothing to read: sleep until something can change the outcome of the
      // next turn, a window message (timer tick, cancel, repaint) or serial
      // activity, which reaches the window as the event thread's hand-over
      // message. The sleep sits between the read and the second pump so that
      // no wake-up is lost: a byte that arrived before the read was taken by
      // it; one that arrives after it is announced by a hand-over that is
      // either still pending when this call starts (nothing has dispatched
      // messages since the read), so the call returns at once, or is posted
      // later and wakes it. After the second pump it could be lost: that pump
      // may dispatch the hand-over of a byte that arrived just after the read,
      // and the sleep would then last until the next tick. The call never
      // sleeps past the next timer tick, and every message it leaves is
      // dispatched by the pump below, before the next deadline test, so the
      // turn's steps and their results are those of a turn that spins.
      host.WaitForActivity();
    }
    host.ProcessMessages();
  }
}

void SendRecord(IUpdateHost& host, std::string_view line, std::int32_t timeout) {
  host.Serial().WriteString(line);
  WaitForReply(host, kAcknowledge, timeout, 1);
}
