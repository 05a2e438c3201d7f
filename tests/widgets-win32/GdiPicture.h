// Gauge pictures painted through the GDI drawing surface into a 32-bit DIB.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "GdiCanvas.h"
#include "widgets/GaugeCanvas.h"

// Pixels as 0xRRGGBB.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
  bool operator==(const Picture&) const = default;
};

// The test font: 11 pixels high, unsmoothed.
inline HFONT TestFont() {
  return CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH,
                     L"Tahoma");
}

// Runs `paint` on a memory DC holding a width x height top-down DIB section.
template <typename Paint>
Picture PaintIntoDib(int width, int height, Paint paint) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (dc == nullptr || dib == nullptr) {
    throw std::runtime_error("no DIB section");
  }
  HGDIOBJ old = SelectObject(dc, dib);
  paint(dc);
  GdiFlush();
  Picture picture{width, height, {}};
  const auto* p = static_cast<const std::uint32_t*>(bits);
  picture.pixels.assign(p, p + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (auto& px : picture.pixels) px &= 0xFFFFFFu;
  SelectObject(dc, old);
  DeleteObject(dib);
  DeleteDC(dc);
  return picture;
}

// The picture of `look` painted with the test font.
inline Picture Render(const TGaugeLook& look) {
  HFONT font = TestFont();
  Picture picture = PaintIntoDib(look.width, look.height, [&](HDC dc) {
    TGdiCanvas target(dc, look.width, look.height, font);
    PaintGauge(target, look);
  });
  DeleteObject(font);
  return picture;
}
