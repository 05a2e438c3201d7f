// The window rules both front ends share, in the forms the Win32 side meets
// them: Windows paths, 32-bit DIB pixels with a stride, UTF-16 keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "FormRules.h"
#include "update/Exceptions.h"

namespace {

std::u16string AsciiLower(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

TEST(ApplicationTitle, StemOfTheProgramFileWithTheRestInLowerCase) {
  const struct {
    std::u16string file;
    std::u16string title;
  } cases[] = {
      {u"C:\\Programme\\TARN\\UPDATER.EXE", u"Updater"},
      {u"C:\\tools.d\\tarnup.exe", u"tarnup"},  // a dot in a folder name is no extension
      {u"/usr/bin/TarnUp", u"Tarnup"},
      {u"Z:\\x/y\\TARN.UP.EXE", u"Tarn"},  // up to the first dot
      {u"\\\\server\\share\\", u""},
      {u"A", u"A"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationTitleWith(c.file, AsciiLower), c.title);
  }
}

TEST(RecolourSilver, ExactSilverOnlyWithinTheRowsWidthKeepingTheTopByte) {
  constexpr std::uint32_t kFace = 0x00D4D0C8;
  // Two rows of three pixels, stride four: the fourth word of each row is
  // padding and is never touched.
  std::vector<std::uint32_t> pixels = {
      0xFFC0C0C0, 0x00C0C0C1, 0x00C0C0C0, 0x00C0C0C0,  //
      0x12C0C0C0, 0xFF808080, 0xFFC0C0C0, 0xFFC0C0C0,
  };
  EXPECT_EQ(RecolourSilver(pixels, 3, 2, 4, kFace), 4);
  EXPECT_EQ(pixels, (std::vector<std::uint32_t>{0xFFD4D0C8, 0x00C0C0C1, 0x00D4D0C8, 0x00C0C0C0,
                                                0x12D4D0C8, 0xFF808080, 0xFFD4D0C8, 0xFFC0C0C0}));
  // A buffer shorter than width x height is never written past its end.
  std::vector<std::uint32_t> shorter = {0x00C0C0C0};
  EXPECT_EQ(RecolourSilver(shorter, 2, 2, 2, kFace), 1);
}

TEST(PreviewTypedCharacter, EscCancelsAndPassesEveryOtherCharacterIsConsumed) {
  for (const char16_t key : {u'a', u' ', u'\r', u'\x03', u'\u00E4'}) {
    char16_t typed = key;
    EXPECT_FALSE(PreviewTypedCharacter(typed));
    EXPECT_EQ(typed, 0);
  }
  char16_t esc = kEscape;
  EXPECT_TRUE(PreviewTypedCharacter(esc));
  EXPECT_EQ(esc, kEscape);
}

TEST(RunGuardedWith, ShowsEveryFailureButTheSilentAbortAndLetsNothingEscape) {
  std::vector<std::string> shown;
  const auto show = [&shown](const std::string& message) { shown.push_back(message); };
  RunGuardedWith([] { throw EAbort(); }, show);
  RunGuardedWith([] { throw ESerialException("Hardware antwortet nicht !"); }, show);
  RunGuardedWith([] { throw 42; }, show);
  RunGuardedWith([] {}, show);
  EXPECT_EQ(shown, (std::vector<std::string>{"Hardware antwortet nicht !", kUnknownErrorMessage}));
  // A box that fails itself does not take the window down.
  EXPECT_NO_THROW(RunGuardedWith([] { throw std::runtime_error("x"); },
                                 [](const std::string&) { throw std::runtime_error("no box"); }));
  EXPECT_EQ(WithFullStop("Hardware antwortet nicht !"), "Hardware antwortet nicht !.");
}

}  // namespace
