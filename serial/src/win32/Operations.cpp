#include "Operations.h"

#include <algorithm>
#include <cstring>

namespace win32 {

namespace {

bool Bit(std::uint32_t flags, std::uint32_t bit) {
  return (flags & bit) != 0;
}

}  // namespace

// The component's flag word holds the system's bit fields at their places:
// fBinary 0, fParity 1, fOutxCtsFlow 2, fOutxDsrFlow 3, fDtrControl 4-5,
// fDsrSensitivity 6, fTXContinueOnXoff 7, fOutX 8, fInX 9, fErrorChar 10,
// fNull 11, fRtsControl 12-13, fAbortOnError 14.
DCB ToSystem(const comm::DCB& in) {
  DCB out;
  std::memset(&out, 0, sizeof out);
  out.DCBlength = sizeof(DCB);
  out.BaudRate = in.BaudRate;
  const std::uint32_t f = in.Flags;
  out.fBinary = Bit(f, 0x0001);
  out.fParity = Bit(f, 0x0002);
  out.fOutxCtsFlow = Bit(f, 0x0004);
  out.fOutxDsrFlow = Bit(f, 0x0008);
  out.fDtrControl = (f >> 4) & 3U;
  out.fDsrSensitivity = Bit(f, 0x0040);
  out.fTXContinueOnXoff = Bit(f, 0x0080);
  out.fOutX = Bit(f, 0x0100);
  out.fInX = Bit(f, 0x0200);
  out.fErrorChar = Bit(f, 0x0400);
  out.fNull = Bit(f, 0x0800);
  out.fRtsControl = (f >> 12) & 3U;
  out.fAbortOnError = Bit(f, 0x4000);
  out.wReserved = in.wReserved;
  out.XonLim = in.XonLim;
  out.XoffLim = in.XoffLim;
  out.ByteSize = in.ByteSize;
  out.Parity = in.Parity;
  out.StopBits = in.StopBits;
  out.XonChar = in.XonChar;
  out.XoffChar = in.XoffChar;
  out.ErrorChar = in.ErrorChar;
  out.EofChar = in.EofChar;
  out.EvtChar = in.EvtChar;
  out.wReserved1 = in.wReserved1;
  return out;
}

COMMTIMEOUTS ToSystem(const comm::COMMTIMEOUTS& in) {
  COMMTIMEOUTS out;
  out.ReadIntervalTimeout = in.ReadIntervalTimeout;
  out.ReadTotalTimeoutMultiplier = in.ReadTotalTimeoutMultiplier;
  out.ReadTotalTimeoutConstant = in.ReadTotalTimeoutConstant;
  out.WriteTotalTimeoutMultiplier = in.WriteTotalTimeoutMultiplier;
  out.WriteTotalTimeoutConstant = in.WriteTotalTimeoutConstant;
  return out;
}

comm::COMSTAT FromSystem(const COMSTAT& in) {
  comm::COMSTAT out;
  out.Flags = (in.fCtsHold ? 0x01U : 0U) | (in.fDsrHold ? 0x02U : 0U) |
              (in.fRlsdHold ? 0x04U : 0U) | (in.fXoffHold ? 0x08U : 0U) |
              (in.fXoffSent ? 0x10U : 0U) | (in.fEof ? 0x20U : 0U) | (in.fTxim ? 0x40U : 0U);
  out.cbInQue = in.cbInQue;
  out.cbOutQue = in.cbOutQue;
  return out;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

Graveyard::~Graveyard() {
  Sweep();
  std::lock_guard lock(mutex_);
  // Still pending: their driver may yet write into them.
  for (auto& op : kept_) static_cast<void>(op.release());
}

void Graveyard::Retire(std::unique_ptr<Operation> op) {
  if (!op || op->Completed()) return;
  std::lock_guard lock(mutex_);
  kept_.push_back(std::move(op));
}

void Graveyard::Sweep() {
  std::lock_guard lock(mutex_);
  std::erase_if(kept_, [](const std::unique_ptr<Operation>& op) { return op->Completed(); });
}

}  // namespace win32
