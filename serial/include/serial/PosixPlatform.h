#pragma once
// The POSIX (termios) implementation of ISerialPlatform.
//
// Port names: "COMn" is looked up as a symlink named COMn in a ports
// directory (by default $XDG_CONFIG_HOME/tarnup/ports, or
// ~/.config/tarnup/ports), so a USB adapter or a simulator's pty can stand in
// for a port; without such a link COMn is /dev/ttyS{n-1}.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/SerialPlatform.h"

// Maps a platform device name ("COM3") to a device path; an empty result
// means the name names no device.
using PortPathMapper = std::function<std::string(std::string_view name)>;

// COMn → `portsDir`/COMn when that entry exists, else `fallbackPrefix`{n-1}.
// Names that are not COM followed by a number map to nothing.
PortPathMapper PortsDirectoryMapper(std::filesystem::path portsDir,
                                    std::string fallbackPrefix = "/dev/ttyS");

// The ports directory from the environment: $XDG_CONFIG_HOME/tarnup/ports,
// else $HOME/.config/tarnup/ports (empty when neither variable is set).
std::filesystem::path DefaultPortsDirectory();

// The mapper the program uses: PortsDirectoryMapper(DefaultPortsDirectory()).
PortPathMapper DefaultPortPathMapper();

// A new POSIX platform using `mapper` to find devices.
std::shared_ptr<ISerialPlatform> MakePosixPlatform(PortPathMapper mapper = DefaultPortPathMapper());
