#pragma once
// How the Win32 window shows a failure that leaves one of its handlers: the
// silent abort shows nothing; anything else is a task-modal box with the
// message and a full stop, titled with the application title.

#include <functional>
#include <string>

// The application title of this program file (see ApplicationTitleWith).
std::wstring ApplicationTitle();

// Modal box owned by no window (every window of the program is disabled while
// it is up), stop icon, one OK button; `message` (UTF-8) gets its full stop
// here. The window that was active is made active again afterwards.
void ShowExceptionBox(const std::wstring& title, const std::string& message);

// Runs `handler`; an exception leaving it is shown as above, after any mouse
// capture has been cancelled. Nothing escapes.
void RunGuarded(const std::wstring& title, const std::function<void()>& handler) noexcept;
