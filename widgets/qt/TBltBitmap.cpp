#include "widgets/TBltBitmap.h"

#include <QGuiApplication>
#include <algorithm>
#include <new>

namespace {

void FillRows(QImage& img, int left, int top, int right, int bottom, QRgb value) {
  for (int y = top; y < bottom; ++y) {
    auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
    std::fill(line + left, line + right, value);
  }
}

}  // namespace

TBltBitmap::TBltBitmap(int width, int height) {
  SetSize(width, height);
}

void TBltBitmap::SetSize(int width, int height) {
  if (width <= 0 || height <= 0) {
    width = 0;
    height = 0;
  }
  if (width != width_ || height != height_) {
    image_ = QImage();
  }
  width_ = width;
  height_ = height;
  FillUniform(0xFF000000u);
}

void TBltBitmap::FillUniform(QRgb value) {
  fill_ = value | 0xFF000000u;
  valid_ = QRect();
}

void TBltBitmap::Cover(const QRect& area, bool overwritten) const {
  const QRect need = area.intersected(Whole());
  if (need.isEmpty() || valid_.contains(need)) {
    return;
  }
  if (image_.isNull()) {
    // Left uninitialised: only the covered part is ever written or read.
    image_ = QImage(width_, height_, QImage::Format_RGB32);
    if (image_.isNull()) {
      throw std::bad_alloc();
    }
  }
  if (valid_.isEmpty() && overwritten) {
    valid_ = need;  // the caller writes every pixel of it
    return;
  }
  const QRect grown = valid_.isEmpty() ? need : valid_.united(need);
  // Fill what the covered part gains with the one colour of the rest.
  for (int y = grown.top(); y <= grown.bottom(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image_.scanLine(y));
    if (!valid_.isEmpty() && y >= valid_.top() && y <= valid_.bottom()) {
      std::fill(line + grown.left(), line + valid_.left(), fill_);
      std::fill(line + valid_.right() + 1, line + grown.right() + 1, fill_);
    } else {
      std::fill(line + grown.left(), line + grown.right() + 1, fill_);
    }
  }
  valid_ = grown;
}

QRgb TBltBitmap::PixelAt(int x, int y) const {
  return valid_.contains(x, y) ? image_.pixel(x, y) : fill_;
}

QImage& TBltBitmap::Image() {
  Cover(Whole());
  return image_;
}

const QImage& TBltBitmap::Image() const {
  Cover(Whole());
  return image_;
}

QImage& TBltBitmap::ImageFor(const QRect& area) {
  Cover(area);
  return image_;
}

QImage TBltBitmap::TakeBuffer() {
  QImage buffer = std::move(image_);
  image_ = QImage();
  valid_ = QRect();
  return buffer;
}

void TBltBitmap::AdoptBuffer(QImage buffer) {
  if (image_.isNull() && buffer.width() == width_ && buffer.height() == height_ &&
      buffer.format() == QImage::Format_RGB32) {
    image_ = std::move(buffer);
    valid_ = QRect();  // whatever it holds is not this bitmap's picture yet
  }
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
  if (left == 0 && top == 0 && right == Width() && bottom == Height()) {
    FillUniform(value);
    return;
  }
  Cover(QRect(left, top, right - left, bottom - top));
  FillRows(image_, left, top, right, bottom, value);
}

void TBltBitmap::BitBlt(int x, int y, int width, int height, const TBltBitmap* src, TRasterOp op) {
  // Destination rectangle clipped to this bitmap and, for operations that read
  // a source, to the source's extent.
  int left = std::max(x, 0);
  int top = std::max(y, 0);
  int right = std::min(x + width, Width());
  int bottom = std::min(y + height, Height());
  if (op != TRasterOp::Blackness) {
    if (src == nullptr) {
      return;
    }
    left = std::max(left, x);
    top = std::max(top, y);
    right = std::min(right, x + src->Width());
    bottom = std::min(bottom, y + src->Height());
  }
  if (left >= right || top >= bottom) {
    return;
  }
  if (op == TRasterOp::Blackness) {
    FillRect(left, top, right, bottom, QColor(0, 0, 0));
    return;
  }
  const bool whole = left == 0 && top == 0 && right == Width() && bottom == Height() && x == 0 &&
                     y == 0 && src->Width() == Width() && src->Height() == Height();
  const bool blackSource = src->fill_ == 0xFF000000u;
  if (op == TRasterOp::SrcInvert && blackSource) {
    // Only the source's stored part can change anything.
    const QRect part =
        src->valid_.translated(x, y).intersected(QRect(left, top, right - left, bottom - top));
    if (part.isEmpty()) {
      return;
    }
    left = part.left();
    top = part.top();
    right = part.right() + 1;
    bottom = part.bottom() + 1;
  }
  if (whole && op == TRasterOp::SrcCopy) {
    // The whole picture, complete, so that neither side needs to write to it:
    // the pixels are shared until one does.
    src->Cover(Whole());
    image_ = src->image_;
    valid_ = src->valid_;
    fill_ = src->fill_;
    return;
  }
  const QRect dstArea(left, top, right - left, bottom - top);
  src->Cover(dstArea.translated(-x, -y));
  // XOR onto a black part that holds no pixels yet is a copy.
  if (op == TRasterOp::SrcInvert && valid_.isEmpty() && fill_ == 0xFF000000u) {
    op = TRasterOp::SrcCopy;
  }
  Cover(dstArea, op == TRasterOp::SrcCopy);
  for (int row = top; row < bottom; ++row) {
    QRgb* dst = reinterpret_cast<QRgb*>(image_.scanLine(row)) + left;
    QRgb* const end = dst + (right - left);
    const QRgb* from =
        reinterpret_cast<const QRgb*>(src->image_.constScanLine(row - y)) + (left - x);
    if (op == TRasterOp::SrcCopy) {
      std::copy(from, from + (right - left), dst);
    } else {
      for (; dst != end; ++dst, ++from) {
        *dst = (*dst ^ *from) | 0xFF000000u;
      }
    }
  }
}

void TBltBitmap::BitBlt(const TBltBitmap& src, TRasterOp op) {
  BitBlt(0, 0, src.Width(), src.Height(), &src, op);
}
