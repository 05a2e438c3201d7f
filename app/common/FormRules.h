#pragma once
// The update window's rules that need no window system: the application
// title, the centring formula, the full stop of an error box, the logo
// recolouring, the typed-character rule, the status list's top-line rule and
// the exception guard of a handler. The form (TarnupMain.h) and the Qt and
// Win32 views build on these; the tick arithmetic is the update's
// (update/UpdateHost.h).

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "update/UpdateHost.h"

// The window system ran out of a resource (a timer, a list line).
class EOutOfResources : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kNoTimerMessage = "Nicht genügend Timer verfügbar";
inline constexpr const char* kNoLineMessage = "Kann Zeile nicht einfügen";
// The text of a box for an exception that is not a std::exception.
inline constexpr const char* kUnknownErrorMessage = "Unbekannter Fehler";

// The part of the program file's name the application title is made from:
// the text after the last '\' or '/', up to the first '.'.
std::u16string_view TitleStem(std::u16string_view programFile);

// The application title: the stem with every character after the first in
// lower case; `lower` turns a text into lower case as the platform does.
template <typename Lower>
std::u16string ApplicationTitleWith(std::u16string_view programFile, Lower lower) {
  const std::u16string_view stem = TitleStem(programFile);
  std::u16string title(stem.substr(0, 1));
  if (!stem.empty()) title.append(lower(stem.substr(1)));
  return title;
}

struct Point {
  int x = 0;
  int y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// Top-left corner that centres a window of outer size `windowWidth` ×
// `windowHeight` on a screen of the given size: half the difference,
// truncated, at least 0 on each axis.
Point CentredTopLeft(int screenWidth, int screenHeight, int windowWidth, int windowHeight);

// The text of an exception box: the message with a full stop appended,
// always (also after a message that already ends in a punctuation mark).
std::string WithFullStop(std::string_view message);

// Replaces every pixel that is exactly silver (192, 192, 192) by `face`,
// column by column. Pixels are 32-bit words 0xXXRRGGBB (the top byte is
// ignored when comparing and kept when replacing); `stride` is the distance
// between rows in pixels. Returns the number of pixels changed.
int RecolourSilver(std::span<std::uint32_t> pixels, int width, int height, int stride,
                   std::uint32_t faceRgb);

inline constexpr char16_t kEscape = 27;

// The window's key preview for a typed character: Esc sets the cancel flag
// and is passed on; any other character is replaced by the null character,
// which consumes it. Returns whether the cancel flag is to be set.
bool PreviewTypedCharacter(char16_t& key);

// Appends `text` to a status list and keeps the newest lines in view: once
// the list holds more than three lines, line count - 3 is asked to become the
// top line unless it already is. Throws EOutOfResources(kNoLineMessage) when
// the list refuses the line. `Lines` offers Count(), Append(text) (false when
// refused), TopIndex() and SetTopIndex(index), which the list clamps so that
// its last line never leaves the bottom edge.
template <typename Lines, typename Text>
void AddStatusLineTo(Lines& lines, const Text& text) {
  if (!lines.Append(text)) throw EOutOfResources(kNoLineMessage);
  const int count = lines.Count();
  if (count > 3 && lines.TopIndex() != count - 3) lines.SetTopIndex(count - 3);
}

// Runs `handler`. The silent abort (EAbort, a cancel) is dropped; any other
// exception is passed as its message to `show` (a non-standard one as
// kUnknownErrorMessage), which puts up the window's exception box. Nothing
// escapes: the window system never sees an exception cross its loop.
void RunGuardedWith(const std::function<void()>& handler,
                    const std::function<void(const std::string& message)>& show) noexcept;
