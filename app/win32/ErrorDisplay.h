#pragma once
// The Win32 window's box for a failure that leaves one of its handlers (the
// form's guard decides what is shown): a task-modal box with the message and
// a full stop, titled with the application title.

#include <string>

// The application title of this program file (see ApplicationTitleWith).
std::wstring ApplicationTitle();

// Modal box owned by no window (every window of the program is disabled while
// it is up), stop icon, one OK button; `message` (UTF-8) gets its full stop
// here. The window that was active is made active again afterwards.
void ShowExceptionBox(const std::wstring& title, const std::string& message);
