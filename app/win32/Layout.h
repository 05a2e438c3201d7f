#pragma once
// The update window's layout at the pixel density of the screen it is shown
// on. The layout is made in pixels for 96 dpi (100 %); at any other DPI every
// edge of every control, the client area, the dialog font, the list's line
// height, the logos and the icons are scaled by dpi / 96, so that the window
// looks the same, only larger, and no text is clipped. Edges are scaled, not
// sizes, so controls that touch or keep a gap at 96 dpi do so at every DPI.
// Free of the window system, so that it can be checked by itself.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr unsigned kDesignDpi = 96;

struct LayoutBox {
  int left = 0;
  int top = 0;
  int right = 0;   // exclusive
  int bottom = 0;  // exclusive
  [[nodiscard]] int Width() const { return right - left; }
  [[nodiscard]] int Height() const { return bottom - top; }
};

struct PlacedControl {
  int id = 0;     // the control's resource identifier (resource.h)
  LayoutBox box;  // in the client area's pixels
};

struct WindowLayout {
  unsigned dpi = kDesignDpi;
  int clientWidth = 0;
  int clientHeight = 0;
  std::array<PlacedControl, 12> controls{};
  // The dialog font's character height in pixels: an 8-point font, 11 pixels
  // at 96 dpi.
  int fontHeight = 0;
  int listItemHeight = 0;
  int smallIcon = 0;
  int bigIcon = 0;

  // The box of control `id`; an empty box for an unknown id.
  [[nodiscard]] LayoutBox Box(int id) const;
};

// `value` pixels at 96 dpi as pixels at `dpi`, rounded to the nearest; a dpi
// of 0 counts as 96.
int ScaleToDpi(int value, unsigned dpi);

WindowLayout LayoutForDpi(unsigned dpi);

// A picture of width x height pixels (rows top down, no padding) resized to
// toWidth x toHeight by taking for each target pixel the source pixel it
// covers, so that a logo's colours stay exactly its own. Empty if a size is
// not positive or `pixels` is too small.
std::vector<std::uint32_t> ScalePicture(std::span<const std::uint32_t> pixels, int width,
                                        int height, int toWidth, int toHeight);
