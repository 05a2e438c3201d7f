#pragma once
// The window's rules in Qt's terms: the application title, the centring
// formula and the logo recolouring over the shared rules of app/common
// (which also give the out-of-resources error), and what needs Qt itself:
// the program's start-up settings, the key preview's classification of key
// presses and the start of the tick timer.

#include <cstdint>
#include <stdexcept>

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include "FormRules.h"

class QKeyEvent;
class QTimer;

// Program start-up as the program and the window tests share it. Before the
// application object exists: the layout is in pixels and is not rescaled for
// the screen's density (unless the user asks for scaling).
void PrepareProgramStart();
// Once it exists: the classic Windows style, which draws the dialog's controls
// as the layout was designed, unless the user chose a style (-style,
// QT_STYLE_OVERRIDE).
void UseProgramStyle();

// The title of the task-bar entry and of every error box: the program file's
// name without folder and extension (after the last '\' or '/', up to the
// first '.'), every character after the first in lower case.
QString ApplicationTitle(const QString& programFile);

// Top-left corner that centres a window of outer size `window` on a screen of
// size `screen`: half the difference, truncated, at least 0 on each axis.
QPoint CentredTopLeft(QSize screen, QSize window);

// Replaces every pixel that is exactly silver (192, 192, 192) by `face`,
// column by column. The image is converted to 32-bit RGB first if needed.
// Returns the number of pixels changed.
int RecolourSilver(QImage& image, QColor face);

// Starts `timer`; throws EOutOfResources(kNoTimerMessage) when the window
// system cannot supply it.
void StartTickTimer(QTimer& timer);

// What the key preview does with a key press: keys that act when pressed
// (Tab, arrows, Enter, Delete, function keys, and Space on a button) go on
// untouched; everything else that produces a character is a typed character
// and goes through the window's key handler.
enum class KeyKind : std::uint8_t { Action, Typed };
KeyKind ClassifyKey(const QKeyEvent& event, bool targetIsButton);
// The character code a typed key press stands for (Esc is 27).
QChar TypedCharacter(const QKeyEvent& event);
