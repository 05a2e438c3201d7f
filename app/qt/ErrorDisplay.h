#pragma once
// The box in which the window shows a failure that leaves one of its
// handlers: the message and a full stop, titled with the application title.
// The form's guard (app/common) decides what is shown; Qt never sees an
// exception cross its event loop.

#include <QString>

// The text of the box: the message with a full stop appended, always (also
// after a message that already ends in a punctuation mark).
QString WithFullStop(const QString& message);

// Modal box owned by the application (no parent window), stop icon, one OK
// button; `message` gets its full stop here. Returns when it is closed.
void ShowExceptionBox(const QString& title, const QString& message);
