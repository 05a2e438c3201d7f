#pragma once
// The update sequence: the whole job run by the window's Start button.

#include <cstdint>
#include <span>

#include "update/UpdateHost.h"

class TSerial;

inline constexpr std::int32_t kPowerOnTimeout = 100000;  // ms for the operator to power up
inline constexpr std::int32_t kPowerOnBudget = 8;        // up to seven stray bytes before " "
inline constexpr std::int32_t kReplyTimeout = 1000;      // detection and every record line
inline constexpr std::int32_t kEraseTimeout = 2000;      // each erase line

// The line the update talks on, as every host sets its serial component up
// once: 38400 baud, 8 data bits, 2 stop bits, no parity, parity checking off.
void UseUpdateLineSettings(TSerial& serial);

// Opens the chosen port, holds the break while the operator powers the
// device, detects it, sends the security line, erases the chips of the
// image's mask, sends every block record as a data line and closes with the
// end line. Every ending runs the clean-up first (break off, port closed,
// Cancel, Exit and Start enabled, gauge 0, cancel flag cleared); then an
// ESerialException or EAbort from a wait travels on to the caller. A block
// record with a wrong checksum, or an image that ends without its end marker,
// ends the run with the status line "Checksum Error in internal data !" and
// no exception.
void RunUpdate(IUpdateHost& host);

// The same sequence over another image of the same layout (for tests).
void RunUpdate(IUpdateHost& host, std::span<const std::uint8_t> image);
