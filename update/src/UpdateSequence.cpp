#include "update/UpdateSequence.h"

#include <string>

#include "serial/TSerial.h"
#include "update/Dialogue.h"
#include "update/FirmwareImage.h"
#include "update/RecordLines.h"

namespace {

// Returns the window to idle, in this order, on every ending of a run.
void CleanUp(IUpdateHost& host) {
  TSerial& serial = host.Serial();
  serial.SetBreak(false);
  serial.SetActive(false);
  host.SetButtonEnabled(HostButton::Cancel, true);
  host.SetButtonEnabled(HostButton::Exit, true);
  host.SetButtonEnabled(HostButton::Start, true);
  host.SetGaugeProgress(0);
  host.ClearCancelFlag();
}

// Everything between the Start click and the clean-up: opens the port,
// waits for the powered device, unlocks it, erases its chips and programs
// the image, ending with the end line. Returns normally on every ending that
// raises nothing (port not opened, checksum error, success).
void OpenAndProgram(IUpdateHost& host, std::span<const std::uint8_t> image) {
  TSerial& serial = host.Serial();
  host.ClearStatus();
  serial.SetPort(static_cast<sPorts>(host.PortIndex() + 1));
  serial.SetActive(true);
  if (!serial.Active()) {
    return;  // the serial component has told the operator why
  }
  host.SetButtonEnabled(HostButton::Start, false);
  host.SetButtonEnabled(HostButton::Exit, false);
  serial.SetBreak(true);
  // An adapter that cannot send the break never gives the device its signal:
  // the port has already said so in its box, and a power wait could only
  // run out. The clean-up below ends the run.
  if (!serial.BreakState()) return;
  host.AddStatus("Connect TARN to Power !");
  WaitForReply(host, ' ', kPowerOnTimeout, kPowerOnBudget);
  serial.SetBreak(false);
  host.SetButtonEnabled(HostButton::Cancel, false);
  WaitForReply(host, 'Q', kReplyTimeout, 1);
  host.AddStatus("TARN detected");
  SendRecord(host, kSecurityLine, kReplyTimeout);
  host.AddStatus("TARN accepted security code");

  ImageWalker walker(image);
  const std::uint8_t chipMask = walker.ChipMask();
  for (int chip = kFirstChip; chip <= kLastChip; ++chip) {
    if ((chipMask >> chip & 1) != 0) {
      host.AddStatus("Flash erase -  Chip:  " + std::to_string(chip));
      SendRecord(host, EraseLine(chip), kEraseTimeout);
    }
  }

  host.AddStatus("Update is running !!");
  while (const auto record = walker.Next()) {
    const DataLine line = FormDataLine(record->number, record->data, record->checksum);
    if (line.sum != 0) {
      host.AddStatus("Checksum Error in internal data !");
      return;
    }
    SendRecord(host, line.text, kReplyTimeout);
    host.SetGaugeProgress(host.GaugeProgress() + 1);
  }
  if (walker.Truncated()) {
    // Without its end marker the image is as corrupt as a bad checksum:
    // the device must not be told that the programming is complete.
    host.AddStatus("Checksum Error in internal data !");
    return;
  }
  SendRecord(host, kEndLine, kReplyTimeout);
  host.AddStatus("Update succesful !!");
}

}  // namespace

void RunUpdate(IUpdateHost& host, std::span<const std::uint8_t> image) {
  try {
    OpenAndProgram(host, image);
  } catch (...) {
    CleanUp(host);
    throw;
  }
  CleanUp(host);
}

void UseUpdateLineSettings(TSerial& serial) {
  serial.SetBaudrate(38400);
  serial.SetDataBits(d8bit);
  serial.SetStopBits(st2bit);
  serial.SetParity(paNone);
  serial.SetCheckParity(false);
}

void RunUpdate(IUpdateHost& host) {
  RunUpdate(host, FirmwareImage());
}
