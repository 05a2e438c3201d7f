#include "tarnsim/Device.h"

#include <algorithm>
#include <cstdio>

#include "Protocol.h"

namespace tarnsim {
namespace {

using protocol::HexValue;

constexpr std::size_t kMaxShownText = 200;

std::string Printable(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, kMaxShownText)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      shown += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      shown += buf;
    }
  }
  if (text.size() > kMaxShownText) shown += "...";
  return shown;
}

std::string HexValueText(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

// Byte i of a record line whose digits have all been checked.
std::uint8_t ByteAt(const std::string& line, std::size_t i) {
  return static_cast<std::uint8_t>(HexValue(line[1 + 2 * i]) * 16 + HexValue(line[2 + 2 * i]));
}

}  // namespace

bool Verdict::Passed() const {
  return endLineReceived && !violation && faultsShown.empty() && !hungUp &&
         flash != FlashCheck::Differs;
}

std::string FormatVerdict(const Verdict& v) {
  std::string text = v.Passed() ? "verdict: PASS\n" : "verdict: FAIL\n";
  text += "  lines received:  " + std::to_string(v.linesReceived) + " (" +
          std::to_string(v.linesAccepted) + " acknowledged)\n";
  text += std::string("  security code:   ") + (v.securityAccepted ? "accepted" : "not received") +
          "\n";
  text += "  chips erased:    ";
  if (v.chipsErased.empty()) text += "none";
  for (std::size_t i = 0; i < v.chipsErased.size(); ++i) {
    text += (i ? ", " : "") + std::to_string(v.chipsErased[i]);
  }
  text += "\n  blocks written:  " + std::to_string(v.blocksWritten) + "\n";
  text +=
      std::string("  end line:        ") + (v.endLineReceived ? "received" : "not received") + "\n";
  switch (v.flash) {
    case FlashCheck::NotChecked:
      text += "  flash:           not checked (no --expect file)\n";
      break;
    case FlashCheck::Equal:
      text += "  flash:           equals the expected image\n";
      break;
    case FlashCheck::Differs:
      text += "  flash:           differs from the expected image: " + v.flashDetail + "\n";
      break;
  }
  if (v.violation) {
    text += "  violation:       line " + std::to_string(v.violation->line) + ": " +
            v.violation->reason + ": " + v.violation->text + "\n";
  }
  for (const std::string& fault : v.faultsShown) text += "  injected fault:  " + fault + "\n";
  if (v.hungUp) text += "  line:            hung up by the device\n";
  return text;
}

Device::Device(DeviceOptions options) : options_(std::move(options)) {}

void Device::SetLogger(std::function<void(std::string_view)> logger) {
  logger_ = std::move(logger);
}

void Device::Log(const std::string& text) const {
  if (logger_) logger_(text);
}

void Device::Connect(Nanos now) {
  if (phase_ != Phase::Off) return;
  phase_ = Phase::Listening;
  rxClock_ = now;
  txClock_ = now;
  if (options_.powerUp == PowerUp::AtConnect) PowerOn(now, true);
}

void Device::SetBreak(bool on, Nanos now) {
  if (phase_ != Phase::Listening || options_.powerUp != PowerUp::AtBreak) return;
  if (on && !poweredOn_) {
    PowerOn(now, false);
  } else if (!on && poweredOn_ && !qSent_) {
    // Released before the space has left: "Q" still follows it.
    SendQ(now);
  }
}

void Device::PowerOn(Nanos now, bool sendQ) {
  poweredOn_ = true;
  txClock_ = std::max(txClock_, now + options_.powerOn);
  // Power-on output is not delayed like an acknowledge.
  auto send = [this](char byte) { Transmit(static_cast<std::uint8_t>(byte), txClock_); };
  for (int i = 0; i < options_.faults.strayBytes; ++i) send(static_cast<char>(0xE0 + (i & 0x0F)));
  if (options_.faults.strayBytes > 0) {
    verdict_.faultsShown.push_back(std::to_string(options_.faults.strayBytes) +
                                   " stray bytes before the space");
  }
  send(' ');
  if (options_.faults.secondSpace) {
    send(' ');
    verdict_.faultsShown.emplace_back("a second space");
  }
  if (sendQ) SendQ(txClock_);
}

void Device::SendQ(Nanos at) {
  qSent_ = true;
  if (options_.faults.withholdQ) {
    verdict_.faultsShown.emplace_back("no \"Q\"");
    return;
  }
  Transmit('Q', at);
  listenFrom_ = txClock_;
}

void Device::Answer(std::uint8_t byte, Nanos at) {
  Transmit(byte, at + options_.faults.ackDelay);
}

void Device::Transmit(std::uint8_t byte, Nanos at) {
  const Nanos start = std::max(at, txClock_);
  const Nanos ready = options_.wire ? start + kWireCharTime : start;
  txClock_ = ready;
  lastAnswerReady_ = ready;
  out_.push_back({ready, static_cast<char>(byte)});
}

void Device::Receive(std::string_view bytes, Nanos now) {
  for (char c : bytes) {
    Nanos at = std::max(rxClock_, now);
    if (options_.wire) at += kWireCharTime;
    rxClock_ = at;
    ReceiveByte(c, at);
  }
}

void Device::Refuse(const std::string& reason, Nanos at, int lineNo) {
  if (!verdict_.violation) verdict_.violation = Violation{lineNo, reason, Printable(line_)};
  Log("line " + std::to_string(lineNo) + ": " + reason + ": " + Printable(line_));
  if (!silent_) Answer(kRefuseByte, at);
  phase_ = Phase::Refused;
}

void Device::ReceiveByte(char c, Nanos at) {
  // A device that is switched off hears nothing.
  if (phase_ == Phase::Refused || phase_ == Phase::HungUp || (Connected() && !poweredOn_)) return;
  if (phase_ == Phase::Off || at < listenFrom_) {
    line_.assign(1, c);
    lineLength_ = 0;
    Refuse("byte received before the device had answered \"Q\"", at, verdict_.linesReceived + 1);
    return;
  }
  if (line_.empty()) {
    line_.assign(1, c);
    lineLength_ = 0;
    if (c != ':') {
      Refuse(stage_ == Stage::Ended ? "byte after the end line" : "stray byte between lines", at,
             verdict_.linesReceived + 1);
    } else if (at < lastAnswerReady_) {
      Refuse("line began before the previous one was answered", at, verdict_.linesReceived + 1);
    } else if (stage_ == Stage::Ended) {
      Refuse("line after the end line", at, verdict_.linesReceived + 1);
    }
    return;
  }
  line_ += c;
  if (HexValue(c) < 0) {
    Refuse(c >= 'a' && c <= 'f' ? "lowercase hex digit" : "not an uppercase hex digit", at,
           verdict_.linesReceived + 1);
    return;
  }
  if (line_.size() == 3) {
    // The count field says how long the line is: colon, count, address,
    // type, data and checksum.
    lineLength_ = 11 + 2 * static_cast<std::size_t>(ByteAt(line_, 0));
  }
  if (lineLength_ != 0 && line_.size() == lineLength_) LineComplete(at);
}

std::optional<std::string> Device::Check(const std::string& line, std::uint8_t count) {
  unsigned sum = 0;
  const std::size_t nBytes = (line.size() - 1) / 2;
  for (std::size_t i = 0; i < nBytes; ++i) sum += ByteAt(line, i);
  if ((sum & 0xFFU) != 0) {
    return "byte sum is " + HexValueText(sum & 0xFFU, 2) + ", not zero";
  }
  const std::uint8_t type = ByteAt(line, 3);
  const unsigned address = ByteAt(line, 1) * 256U + ByteAt(line, 2);
  switch (count) {
    case protocol::kSecurityCount:
      if (stage_ != Stage::Locked) return "security line sent again";
      if (line != protocol::SecurityLine()) return "not the security line";
      return std::nullopt;
    case protocol::kEraseCount: {
      if (stage_ == Stage::Locked) return "erase line before the security line";
      if (stage_ == Stage::Programming) return "erase line after data lines";
      const int chip = type - protocol::kSecurityType;
      if (chip < 1 || chip > 7) return "erase line of record type " + HexValueText(type, 2);
      if (line != protocol::EraseLine(chip))
        return "not the erase line for chip " + std::to_string(chip);
      if (chip <= lastChip_) {
        return "chip " + std::to_string(chip) + " erased after chip " + std::to_string(lastChip_);
      }
      return std::nullopt;
    }
    case protocol::kDataCount: {
      if (stage_ == Stage::Locked) return "data line before the security line";
      if ((address & 0x3FU) != 0)
        return "address " + HexValueText(address, 4) + " is not a block start";
      if (((address >> 14) & 0x3U) != (type & 0x3U)) {
        return "address " + HexValueText(address, 4) + " does not fit record type " +
               HexValueText(type, 2);
      }
      const std::uint32_t block =
          (static_cast<std::uint32_t>(type) << 8) | ((address >> 6) & 0xFFU);
      if (block == 0xFFFF) return "block number 0xFFFF is the end marker";
      if (lastBlock_ && block <= *lastBlock_) {
        return "block number " + HexValueText(block, 3) + " does not rise (previous " +
               HexValueText(*lastBlock_, 3) + ")";
      }
      return std::nullopt;
    }
    case protocol::kEndCount:
      if (stage_ == Stage::Locked) return "end line before the security line";
      if (line != protocol::EndLine()) return "not the end line";
      return std::nullopt;
    default:
      return "no record line has a count of " + HexValueText(count, 2);
  }
}

void Device::Apply(const std::string& line, std::uint8_t count) {
  switch (count) {
    case protocol::kSecurityCount:
      stage_ = Stage::Unlocked;
      verdict_.securityAccepted = true;
      break;
    case protocol::kEraseCount:
      lastChip_ = ByteAt(line, 3) - protocol::kSecurityType;
      verdict_.chipsErased.push_back(lastChip_);
      break;
    case protocol::kDataCount: {
      const std::uint32_t block = (static_cast<std::uint32_t>(ByteAt(line, 3)) << 8) |
                                  ((ByteAt(line, 1) * 256U + ByteAt(line, 2)) >> 6 & 0xFFU);
      for (std::size_t i = 0; i < protocol::kDataCount; ++i) {
        flash_[block * 64 + static_cast<std::uint32_t>(i)] = ByteAt(line, 4 + i);
      }
      lastBlock_ = block;
      stage_ = Stage::Programming;
      ++verdict_.blocksWritten;
      break;
    }
    default:
      stage_ = Stage::Ended;
      verdict_.endLineReceived = true;
      break;
  }
}

void Device::LineComplete(Nanos at) {
  const std::uint8_t count = ByteAt(line_, 0);
  ++verdict_.linesReceived;
  const int lineNo = verdict_.linesReceived;
  if (auto reason = Check(line_, count)) {
    Refuse(*reason, at, lineNo);
    return;
  }
  const std::string line = std::move(line_);
  line_.clear();
  lineLength_ = 0;
  if (count == protocol::kDataCount) {
    const Faults& f = options_.faults;
    if (!silent_ && f.silentAfterBlock && verdict_.blocksWritten >= *f.silentAfterBlock) {
      silent_ = true;
      verdict_.faultsShown.push_back("silent after block " +
                                     std::to_string(verdict_.blocksWritten));
      Log("line " + std::to_string(lineNo) + ": no answer (silent after block " +
          std::to_string(verdict_.blocksWritten) + ")");
    }
    if (!silent_ && f.hangUpAtBlock && verdict_.blocksWritten + 1 == *f.hangUpAtBlock) {
      verdict_.faultsShown.push_back("hang-up at block " + std::to_string(*f.hangUpAtBlock));
      Log("line " + std::to_string(lineNo) + ": hanging up at block " +
          std::to_string(*f.hangUpAtBlock));
      hangUpAt_ = at;
      phase_ = Phase::HungUp;
      return;
    }
  }
  if (!silent_ && options_.faults.silentAfterLine &&
      verdict_.linesAccepted >= *options_.faults.silentAfterLine) {
    silent_ = true;
    verdict_.faultsShown.push_back("silent after line " + std::to_string(verdict_.linesAccepted));
    Log("line " + std::to_string(lineNo) + ": no answer (silent after line " +
        std::to_string(verdict_.linesAccepted) + ")");
  }
  if (silent_) return;
  if (options_.faults.wrongByteAtLine == lineNo) {
    verdict_.faultsShown.push_back("wrong byte at line " + std::to_string(lineNo));
    Log("line " + std::to_string(lineNo) + ": answering " + HexValueText(kRefuseByte, 2) +
        " (injected)");
    Answer(kRefuseByte, at);
    return;
  }
  Apply(line, count);
  ++verdict_.linesAccepted;
  Answer('Y', at);
}

Output Device::Poll(Nanos now) {
  Output output;
  const Nanos until = hangUpAt_ ? std::min(now, *hangUpAt_) : now;
  while (outHead_ < out_.size() && out_[outHead_].ready <= until) {
    output.bytes += out_[outHead_].byte;
    ++outHead_;
  }
  if (outHead_ == out_.size()) {
    out_.clear();
    outHead_ = 0;
  }
  if (hangUpAt_ && now >= *hangUpAt_) {
    output.hangUp = true;
    verdict_.hungUp = true;
    out_.clear();
    outHead_ = 0;
    hangUpAt_.reset();
  }
  return output;
}

std::optional<Nanos> Device::NextDue() const {
  std::optional<Nanos> due = hangUpAt_;
  if (outHead_ < out_.size() && (!due || out_[outHead_].ready < *due)) due = out_[outHead_].ready;
  return due;
}

Verdict Device::GetVerdict() const {
  Verdict v = verdict_;
  if (options_.expected) {
    if (auto diff = DescribeDifference(flash_, *options_.expected)) {
      v.flash = FlashCheck::Differs;
      v.flashDetail = *diff;
    } else {
      v.flash = FlashCheck::Equal;
    }
  }
  return v;
}

}  // namespace tarnsim
