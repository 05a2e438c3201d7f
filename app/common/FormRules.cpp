#include "FormRules.h"

#include <algorithm>
#include <exception>

#include "update/Exceptions.h"

std::u16string_view TitleStem(std::u16string_view programFile) {
  const std::size_t slash = programFile.find_last_of(u"\\/");
  std::u16string_view name =
      slash == std::u16string_view::npos ? programFile : programFile.substr(slash + 1);
  const std::size_t dot = name.find(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  return name;
}

Point CentredTopLeft(int screenWidth, int screenHeight, int windowWidth, int windowHeight) {
  const int left = (screenWidth - windowWidth) / 2;
  const int top = (screenHeight - windowHeight) / 2;
  return {std::max(left, 0), std::max(top, 0)};
}

std::string WithFullStop(std::string_view message) {
  std::string text(message);
  text.push_back('.');
  return text;
}

int RecolourSilver(std::span<std::uint32_t> pixels, int width, int height, int stride,
                   std::uint32_t faceRgb) {
  constexpr std::uint32_t kRgbMask = 0x00FFFFFF;
  constexpr std::uint32_t kSilver = 0x00C0C0C0;
  int changed = 0;
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
                             static_cast<std::size_t>(x);
      if (at >= pixels.size()) continue;
      std::uint32_t& pixel = pixels[at];
      if ((pixel & kRgbMask) == kSilver) {
        pixel = (pixel & ~kRgbMask) | (faceRgb & kRgbMask);
        ++changed;
      }
    }
  }
  return changed;
}

bool PreviewTypedCharacter(char16_t& key) {
  if (key == kEscape) return true;
  key = 0;
  return false;
}

void RunGuardedWith(const std::function<void()>& handler,
                    const std::function<void(const std::string& message)>& show) noexcept {
  try {
    try {
      handler();
    } catch (const EAbort&) {
      // Cancelled by the operator: nothing to show.
    } catch (const std::exception& e) {
      show(e.what());
    } catch (...) {
      show(kUnknownErrorMessage);
    }
  } catch (...) {
    // The box itself failed; nothing is left that could report it, and the
    // window stays usable.
  }
}
