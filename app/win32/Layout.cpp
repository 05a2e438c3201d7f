#include "Layout.h"

#include "resource.h"

namespace {

// The layout at 96 dpi: left, top, width, height.
struct DesignPlace {
  int id;
  int left;
  int top;
  int width;
  int height;
};
constexpr std::array<DesignPlace, 12> kDesign = {{
    {IDC_GAUGE, 136, 12, 265, 17},
    {IDC_IMAGE1, 0, 0, 35, 98},
    {IDC_IMAGE2, 8, 120, 140, 38},
    {IDC_RGCOM, 48, 8, 73, 105},
    {IDC_RGCOM_ITEM0, 56, 26, 60, 17},
    {IDC_RGCOM_ITEM1, 56, 47, 60, 17},
    {IDC_RGCOM_ITEM2, 56, 68, 60, 17},
    {IDC_RGCOM_ITEM3, 56, 89, 60, 17},
    {IDC_BTNSTART, 336, 128, 65, 25},
    {IDC_BTNEXIT, 256, 128, 65, 25},
    {IDC_BTNCANCEL, 176, 128, 65, 25},
    {IDC_LISTBOX, 136, 44, 265, 69},
}};
constexpr int kClientWidth = 412;
constexpr int kClientHeight = 164;
constexpr int kFontHeight = 11;
constexpr int kListItemHeight = 13;

}  // namespace

int ScaleToDpi(int value, unsigned dpi) {
  const std::int64_t d = dpi == 0 ? kDesignDpi : dpi;
  const std::int64_t scaled = static_cast<std::int64_t>(value) * d;
  const std::int64_t half = kDesignDpi / 2;
  return static_cast<int>(scaled >= 0 ? (scaled + half) / kDesignDpi
                                      : -((-scaled + half) / kDesignDpi));
}

LayoutBox WindowLayout::Box(int id) const {
  for (const PlacedControl& c : controls) {
    if (c.id == id) return c.box;
  }
  return {};
}

WindowLayout LayoutForDpi(unsigned dpi) {
  if (dpi == 0) dpi = kDesignDpi;
  WindowLayout layout;
  layout.dpi = dpi;
  layout.clientWidth = ScaleToDpi(kClientWidth, dpi);
  layout.clientHeight = ScaleToDpi(kClientHeight, dpi);
  for (std::size_t i = 0; i < kDesign.size(); ++i) {
    const DesignPlace& p = kDesign[i];
    layout.controls[i] = {p.id,
                          {ScaleToDpi(p.left, dpi), ScaleToDpi(p.top, dpi),
                           ScaleToDpi(p.left + p.width, dpi), ScaleToDpi(p.top + p.height, dpi)}};
  }
  layout.fontHeight = ScaleToDpi(kFontHeight, dpi);
  layout.listItemHeight = ScaleToDpi(kListItemHeight, dpi);
  layout.smallIcon = ScaleToDpi(16, dpi);
  layout.bigIcon = ScaleToDpi(32, dpi);
  return layout;
}

std::vector<std::uint32_t> ScalePicture(std::span<const std::uint32_t> pixels, int width,
                                        int height, int toWidth, int toHeight) {
  if (width <= 0 || height <= 0 || toWidth <= 0 || toHeight <= 0 ||
      pixels.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    return {};
  }
  std::vector<std::uint32_t> out(static_cast<std::size_t>(toWidth) *
                                 static_cast<std::size_t>(toHeight));
  // The source pixel under the target pixel's centre.
  const auto source = [](int i, int from, int to) {
    return static_cast<std::size_t>((2 * static_cast<std::int64_t>(i) + 1) * from / (2 * to));
  };
  for (int y = 0; y < toHeight; ++y) {
    const std::size_t sy = source(y, height, toHeight);
    for (int x = 0; x < toWidth; ++x) {
      const std::size_t sx = source(x, width, toWidth);
      out[static_cast<std::size_t>(y) * static_cast<std::size_t>(toWidth) +
          static_cast<std::size_t>(x)] = pixels[sy * static_cast<std::size_t>(width) + sx];
    }
  }
  return out;
}
