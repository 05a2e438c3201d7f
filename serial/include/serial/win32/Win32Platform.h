#pragma once
// The Win32 implementation of ISerialPlatform: the Windows communications
// functions on the device "\\.\COMn", opened for overlapped use. Error codes
// are the system's (GetLastError values) and their texts the system's own,
// in the language it is installed in.
//
// Only this declaration is visible to users; <windows.h> stays inside the
// implementation, so the component's own DCB, COMMTIMEOUTS and COMSTAT
// records do not meet the system's records of the same names.

#include <memory>

#include "serial/SerialPlatform.h"

// A new Win32 platform. Port names are passed on as "\\.\" followed by the
// name, so "COM3" and "COM12" both reach their device.
std::shared_ptr<ISerialPlatform> MakeWin32Platform();
