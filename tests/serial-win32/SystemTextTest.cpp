// The system's texts as the operator reads them: taken from the system in
// UTF-16 and handed on as UTF-8, whatever the system's language. Run once
// as the build machine's Wine starts, and once with a German locale, where
// the texts have umlauts (TARNUP_TEST_LANGUAGE=de).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "serial/win32/Win32Platform.h"

namespace {

// Whether `text` is well-formed UTF-8 without the replacement character
// that a wrong conversion leaves.
bool CleanUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80         ? 1
                               : (lead >> 5) == 6  ? 2
                               : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    if (text.compare(i, length, "\xEF\xBF\xBD") == 0) return false;
    i += length;
  }
  return true;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '.' || static_cast<unsigned char>(text.back()) <= ' ')) {
    text.pop_back();
  }
  return text;
}

TEST(SystemTexts, ReachTheOperatorInTheSystemsLanguageIntact) {
  const auto platform = MakeWin32Platform();
  for (const std::int32_t code : {1, 2, 5, 31, 87, 995, 1167}) {
    const std::string text = platform->ErrorText(code);
    EXPECT_FALSE(Trimmed(text).empty()) << code;
    EXPECT_TRUE(CleanUtf8(text)) << code << ": " << text;
  }
  const char* language = std::getenv("TARNUP_TEST_LANGUAGE");
  if (language != nullptr && std::string(language) == "de") {
    EXPECT_EQ(Trimmed(platform->ErrorText(1)), "Ung\xC3\xBCltige Funktion");
    EXPECT_EQ(platform->PortErrorText("COM1", PortOperation::Write, 1),
              "COM1: Ung\xC3\xBCltige Funktion");
    EXPECT_EQ(Trimmed(platform->ErrorText(1167)), "Das Ger\xC3\xA4t ist nicht verbunden");
  }
}

}  // namespace
