#include "QtCanvas.h"

#include <QFontMetrics>
#include <QPainter>
#include <QString>

#include "Raster.h"

namespace {

raster::Box ToBox(const TRect& r) {
  return raster::Box{r.left, r.top, r.right, r.bottom};
}

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// `font` made `scale` times as large on an image: a fractional size is set in
// points, which the image converts with its own resolution.
QFont ScaledFont(const QFont& font, qreal scale, const QImage& device) {
  if (scale == 1.0) {
    return font;
  }
  QFont scaled(font);
  const qreal points =
      font.pixelSize() > 0 ? font.pixelSize() * 72.0 / device.logicalDpiY() : font.pointSizeF();
  scaled.setPointSizeF(points * scale);
  return scaled;
}

}  // namespace

QImage TQtPixelStore::Take(int width, int height) {
  for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
    // Memory still shared with a picture handed out is not free yet.
    if (it->width() == width && it->height() == height && it->isDetached()) {
      QImage buffer = std::move(*it);
      buffers_.erase(it);
      return buffer;
    }
  }
  return QImage();
}

void TQtPixelStore::Give(QImage buffer) {
  if (buffer.isNull()) {
    return;
  }
  // Bitmaps of one paint share memory with the picture; keep each block once.
  // It is taken again only when nothing else holds it.
  std::erase_if(buffers_,
                [&](const QImage& kept) { return kept.constBits() == buffer.constBits(); });
  buffers_.push_back(std::move(buffer));
  qsizetype bytes = 0;
  for (auto it = buffers_.end(); it != buffers_.begin();) {
    --it;
    bytes += it->sizeInBytes();
    if (bytes > kKeptBytes) {
      // The oldest go first; big gauges keep nothing.
      buffers_.erase(buffers_.begin(), it + 1);
      break;
    }
  }
}

TQtCanvas::TQtCanvas(int width, int height, const QFont& font, const QPalette& palette,
                     TQtPixelStore* store, qreal textScale)
    : bitmap_(width, height),
      palette_(palette),
      metricsDevice_(1, 1, QImage::Format_RGB32),
      store_(store) {
  if (store_ != nullptr) {
    bitmap_.AdoptBuffer(store_->Take(width, height));
  }
  font_ = ScaledFont(font, textScale, metricsDevice_);
  // Glyph pixels must be exactly the font colour or untouched for the XOR of
  // the text overlay to stay exact.
  font_.setStyleStrategy(QFont::NoAntialias);
  // Whole-pixel glyphs fitted to the pixel grid. Left to its default, Qt
  // switches hinting off in a program whose screens are scaled (any
  // QT_SCALE_FACTOR or screen factor but 1), and unsmoothed glyphs without
  // hinting, at fractional positions, come out as broken, overlapping digits.
  font_.setHintingPreference(QFont::PreferFullHinting);
}

TQtCanvas::~TQtCanvas() {
  if (store_ != nullptr) {
    store_->Give(bitmap_.TakeBuffer());
  }
}

QRgb TQtCanvas::Resolve(TColor color) const {
  return ResolveColor(color, palette_).rgb();
}

std::unique_ptr<IGaugeCanvas> TQtCanvas::CreateBitmap(int width, int height) const {
  return std::make_unique<TQtCanvas>(width, height, font_, palette_, store_);
}

void TQtCanvas::FillRect(const TRect& r, TColor color) {
  if (!r.Empty()) {
    bitmap_.FillRect(r.left, r.top, r.right, r.bottom, ResolveColor(color, palette_));
  }
}

void TQtCanvas::BitBlt(int x, int y, int width, int height, const IGaugeCanvas* src, TRasterOp op) {
  // Canvases of one paint are all of this platform.
  const auto* from = static_cast<const TQtCanvas*>(src);
  bitmap_.BitBlt(x, y, width, height, from != nullptr ? &from->bitmap_ : nullptr, op);
}

void TQtCanvas::Ellipse(const TRect& box) {
  raster::Ellipse(bitmap_.Image(), ToBox(box), Resolve(pen_), Resolve(brush_));
}

void TQtCanvas::Pie(const TRect& box, int x1, int y1, int x2, int y2) {
  raster::Pie(bitmap_.Image(), ToBox(box), x1, y1, x2, y2, Resolve(pen_), Resolve(brush_));
}

void TQtCanvas::MoveTo(int x, int y) {
  penX_ = x;
  penY_ = y;
}

void TQtCanvas::LineTo(int x, int y) {
  raster::Line(bitmap_.Image(), penX_, penY_, x, y, Resolve(pen_));
  MoveTo(x, y);
}

TSize TQtCanvas::TextExtent(std::string_view text) {
  const QFontMetrics metrics(font_, &metricsDevice_);
  return TSize{metrics.horizontalAdvance(ToQString(text)), metrics.height()};
}

void TQtCanvas::TextRect(const TRect& clip, int x, int y, std::string_view text) {
  if (clip.Empty()) {
    return;
  }
  const QString s = ToQString(text);
  const QFontMetrics metrics(font_, &metricsDevice_);
  // Glyphs stay near their advance box; a margin of a line height on every
  // side takes any overhang, and nothing beyond it is touched.
  const int margin = metrics.height();
  const QRect area =
      QRect(x - margin, y - margin, metrics.horizontalAdvance(s) + 2 * margin,
            metrics.height() + 2 * margin)
          .intersected(QRect(clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top));
  if (area.isEmpty()) {
    return;
  }
  QPainter painter(&bitmap_.ImageFor(area));
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, false);
  painter.setFont(font_);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(ResolveColor(fontColor_, palette_));
  painter.setClipRect(area);
  painter.drawText(x, y + metrics.ascent(), s);
}
