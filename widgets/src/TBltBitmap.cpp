#include "widgets/TBltBitmap.h"

#include <QGuiApplication>
#include <algorithm>
#include <new>

TBltBitmap::TBltBitmap(int width, int height) {
  SetSize(width, height);
}

void TBltBitmap::SetSize(int width, int height) {
  if (width == image_.width() && height == image_.height()) {
    return;
  }
  if (width <= 0 || height <= 0) {
    image_ = QImage();
    return;
  }
  image_ = QImage(width, height, QImage::Format_RGB32);
  if (image_.isNull()) {
    throw std::bad_alloc();
  }
  image_.fill(Qt::black);
}

void TBltBitmap::MakeLike(const TBltBitmap& tmpl, const QPalette& palette) {
  SetSize(tmpl.Width(), tmpl.Height());
  FillRect(0, 0, Width(), Height(), ResolveColor(clWindowFrame, palette));
}

void TBltBitmap::MakeLike(const TBltBitmap& tmpl) {
  MakeLike(tmpl, qGuiApp != nullptr ? QGuiApplication::palette() : QPalette());
}

void TBltBitmap::FillRect(const QRect& r, QColor c) {
  FillRect(r.left(), r.top(), r.left() + r.width(), r.top() + r.height(), c);
}

void TBltBitmap::FillRect(int left, int top, int right, int bottom, QColor c) {
  left = std::max(left, 0);
  top = std::max(top, 0);
  right = std::min(right, Width());
  bottom = std::min(bottom, Height());
  if (left >= right || top >= bottom) {
    return;
  }
  const QRgb value = c.rgb() | 0xFF000000u;
  for (int y = top; y < bottom; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image_.scanLine(y));
    std::fill(line + left, line + right, value);
  }
}

void TBltBitmap::BitBlt(int x, int y, int width, int height, const TBltBitmap* src, TRasterOp op) {
  // Destination rectangle clipped to this bitmap and, for operations that read
  // a source, to the source's extent.
  int left = std::max(x, 0);
  int top = std::max(y, 0);
  int right = std::min(x + width, Width());
  int bottom = std::min(y + height, Height());
  if (op != TRasterOp::BLACKNESS) {
    if (src == nullptr) {
      return;
    }
    right = std::min(right, x + src->Width());
    bottom = std::min(bottom, y + src->Height());
  }
  if (left >= right || top >= bottom) {
    return;
  }
  for (int row = top; row < bottom; ++row) {
    auto* dst = reinterpret_cast<QRgb*>(image_.scanLine(row));
    const QRgb* from = nullptr;
    if (src != nullptr && op != TRasterOp::BLACKNESS) {
      from = reinterpret_cast<const QRgb*>(src->image_.constScanLine(row - y));
    }
    for (int col = left; col < right; ++col) {
      switch (op) {
        case TRasterOp::BLACKNESS:
          dst[col] = 0xFF000000u;
          break;
        case TRasterOp::SRCCOPY:
          dst[col] = from[col - x] | 0xFF000000u;
          break;
        case TRasterOp::SRCINVERT:
          dst[col] = ((dst[col] ^ from[col - x]) & 0x00FFFFFFu) | 0xFF000000u;
          break;
      }
    }
  }
}

void TBltBitmap::BitBlt(const TBltBitmap& src, TRasterOp op) {
  BitBlt(0, 0, src.Width(), src.Height(), &src, op);
}
