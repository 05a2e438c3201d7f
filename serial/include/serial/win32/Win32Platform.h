#pragma once
// The Win32 implementation of ISerialPlatform: the Windows communications
// functions on the device "\\.\COMn", opened for overlapped use. Error codes
// are the system's (GetLastError values) and their texts the system's own,
// in the language it is installed in.
//
// This header is all the program needs to pick the platform, and it stays
// free of <windows.h>; win32/Win32Comm.h has the system calls the platform
// makes, for a test that plays a driver behind them.

#include <memory>

#include "serial/SerialPlatform.h"

// A new Win32 platform. Port names are passed on as "\\.\" followed by the
// name, so "COM3" and "COM12" both reach their device.
std::shared_ptr<ISerialPlatform> MakeWin32Platform();
