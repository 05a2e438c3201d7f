#pragma once
// The POSIX (termios) implementation of ISerialPlatform.
//
// Port names: "COMn" is resolved with LookUpComPort (PosixPortMap.h): the
// user's explicit links first, then the serial ports that exist.
//
// A port that another program holds open without a lock (a terminal
// program, a modem manager) is refused like a locked one (EBUSY), naming
// that program, wherever /proc shows the other holder's descriptors.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "serial/SerialPlatform.h"
#include "serial/posix/PosixPortMap.h"

// Another process holding a device open.
struct PortHolder {
  int pid = 0;
  std::string command;  // its command name (/proc/PID/comm)
};

// Looks through `proc`/PID/fd of every process but `selfPid` for a
// descriptor of the character device `device` whose node lies on the file
// system `filesystem`: pseudo-terminals of another devpts instance (a chroot,
// a container) share their numbers and are not the same port. Entries it
// may not read are passed over.
std::optional<PortHolder> FindPortHolder(const std::filesystem::path& proc, dev_t device,
                                         dev_t filesystem, int selfPid);

// Turns the bytes the line discipline delivers with parity marking on
// (PARMRK) back into the bytes that arrived: 0xFF 0xFF is a received 0xFF,
// 0xFF 0x00 x is the byte x received with a parity or framing error (x = 0
// also stands for a break). Anything else passes unchanged.
class ParityMarkDecoder {
 public:
  enum class Result : std::uint8_t { NeedMore, Byte, ByteWithError };
  // Feeds one byte from the terminal; on Byte or ByteWithError, `out` holds
  // the received byte.
  Result Feed(std::uint8_t in, std::uint8_t& out);
  [[nodiscard]] bool Idle() const { return state_ == 0; }
  void Reset() { state_ = 0; }

 private:
  std::uint8_t state_ = 0;  // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};

// A new POSIX platform that finds ports under `roots` and other holders of
// a port under `proc`.
std::shared_ptr<ISerialPlatform> MakePosixPlatform(PortMapRoots roots = DefaultPortMapRoots(),
                                                   std::filesystem::path proc = "/proc");
