#pragma once
// How the window shows a failure that leaves one of its handlers: the silent
// abort shows nothing; anything else is a modal box with the message and a
// full stop, titled with the application title. Qt never sees an exception
// cross its event loop, because every handler runs inside RunGuarded.

#include <functional>

#include <QString>

// The text of the box: the message with a full stop appended, always (also
// after a message that already ends in a punctuation mark).
QString WithFullStop(const QString& message);

// Modal box owned by the application (no parent window), stop icon, one OK
// button; `message` gets its full stop here. Returns when it is closed.
void ShowExceptionBox(const QString& title, const QString& message);

// Runs `handler`; an exception leaving it is shown as above (a silent abort
// is dropped). Nothing escapes.
void RunGuarded(const QString& title, const std::function<void()>& handler) noexcept;
