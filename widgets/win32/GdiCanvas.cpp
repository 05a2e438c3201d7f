#include "GdiCanvas.h"

#include <stdexcept>
#include <string>

namespace {

std::wstring Widen(std::string_view text) {
  // The gauge's texts are ASCII digits and a percent sign.
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return wide;
}

RECT ToRect(const TRect& r) {
  return RECT{r.left, r.top, r.right, r.bottom};
}

}  // namespace

COLORREF TGdiCanvas::Resolve(TColor color) {
  if (IsSystemColor(color)) {
    return GetSysColor(static_cast<int>(color & 0xFFu));
  }
  return static_cast<COLORREF>(color & 0xFFFFFFu);  // the same layout: red low
}

TGdiCanvas::TGdiCanvas(HDC dc, int width, int height, HFONT font)
    : TGdiCanvas(dc, nullptr, width, height, font) {}

TGdiCanvas::TGdiCanvas(HDC dc, HBITMAP bitmap, int width, int height, HFONT font)
    : dc_(dc), bitmap_(bitmap), width_(width), height_(height), font_(font) {
  Prepare();
}

void TGdiCanvas::Prepare() {
  // The lent DC gets its state back when the canvas goes.
  savedState_ = SaveDC(dc_);
  if (bitmap_ != nullptr) {
    SelectObject(dc_, bitmap_);
  }
  if (font_ != nullptr) {
    SelectObject(dc_, font_);
  }
  SetBkMode(dc_, TRANSPARENT);
  SetTextAlign(dc_, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  SetArcDirection(dc_, AD_COUNTERCLOCKWISE);
  SetROP2(dc_, R2_COPYPEN);
  SetMapMode(dc_, MM_TEXT);
}

TGdiCanvas::~TGdiCanvas() {
  // Deselects everything of ours before it is deleted.
  RestoreDC(dc_, savedState_);
  if (pen_ != nullptr) {
    DeleteObject(pen_);
  }
  if (brush_ != nullptr) {
    DeleteObject(brush_);
  }
  if (bitmap_ != nullptr) {
    DeleteDC(dc_);
    DeleteObject(bitmap_);
  }
}

std::unique_ptr<TGdiCanvas> TGdiCanvas::MemoryBitmap(HDC reference, int width, int height,
                                                     HFONT font) {
  HDC dc = CreateCompatibleDC(reference);
  if (dc == nullptr) {
    throw std::runtime_error("CreateCompatibleDC failed");
  }
  HBITMAP bitmap = CreateCompatibleBitmap(reference, width, height);
  if (bitmap == nullptr) {
    DeleteDC(dc);
    throw std::runtime_error("CreateCompatibleBitmap failed");
  }
  std::unique_ptr<TGdiCanvas> canvas(new TGdiCanvas(dc, bitmap, width, height, font));
  PatBlt(dc, 0, 0, width, height, BLACKNESS);
  return canvas;
}

std::unique_ptr<IGaugeCanvas> TGdiCanvas::CreateBitmap(int width, int height) const {
  return MemoryBitmap(dc_, width, height, font_);
}

void TGdiCanvas::FillRect(const TRect& r, TColor color) {
  if (r.Empty()) {
    return;  // GDI would turn a reversed rectangle around and fill it
  }
  HBRUSH brush = CreateSolidBrush(Resolve(color));
  const RECT rc = ToRect(r);
  ::FillRect(dc_, &rc, brush);
  DeleteObject(brush);
}

void TGdiCanvas::BitBlt(int x, int y, int width, int height, const IGaugeCanvas* src,
                        TRasterOp op) {
  // Canvases of one paint are all of this platform.
  const auto* from = static_cast<const TGdiCanvas*>(src);
  ::BitBlt(dc_, x, y, width, height, from != nullptr ? from->dc_ : nullptr, 0, 0,
           static_cast<DWORD>(op));
}

void TGdiCanvas::SetPen(TColor color) {
  HPEN pen = CreatePen(PS_SOLID, 1, Resolve(color));
  SelectObject(dc_, pen);
  if (pen_ != nullptr) {
    DeleteObject(pen_);
  }
  pen_ = pen;
}

void TGdiCanvas::SetBrush(TColor color) {
  HBRUSH brush = CreateSolidBrush(Resolve(color));
  SelectObject(dc_, brush);
  if (brush_ != nullptr) {
    DeleteObject(brush_);
  }
  brush_ = brush;
}

void TGdiCanvas::Ellipse(const TRect& box) {
  if (!box.Empty()) {
    ::Ellipse(dc_, box.left, box.top, box.right, box.bottom);
  }
}

void TGdiCanvas::Pie(const TRect& box, int x1, int y1, int x2, int y2) {
  if (!box.Empty()) {
    ::Pie(dc_, box.left, box.top, box.right, box.bottom, x1, y1, x2, y2);
  }
}

void TGdiCanvas::MoveTo(int x, int y) {
  MoveToEx(dc_, x, y, nullptr);
}

void TGdiCanvas::LineTo(int x, int y) {
  ::LineTo(dc_, x, y);
}

void TGdiCanvas::SetFontColor(TColor color) {
  SetTextColor(dc_, Resolve(color));
}

TSize TGdiCanvas::TextExtent(std::string_view text) {
  const std::wstring wide = Widen(text);
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc_, wide.c_str(), static_cast<int>(wide.size()), &size);
  return TSize{size.cx, size.cy};
}

void TGdiCanvas::TextRect(const TRect& clip, int x, int y, std::string_view text) {
  if (clip.Empty()) {
    return;
  }
  const std::wstring wide = Widen(text);
  const RECT rc = ToRect(clip);
  ExtTextOutW(dc_, x, y, ETO_CLIPPED, &rc, wide.c_str(), static_cast<UINT>(wide.size()), nullptr);
}
