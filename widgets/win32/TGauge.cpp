#include "widgets/TGauge.h"

#include "GdiCanvas.h"
#include "widgets/GaugeCanvas.h"

namespace {

constexpr ULONG_PTR kArrowCursor = 32512;  // IDC_ARROW

TGauge* Attached(HWND window) {
  return reinterpret_cast<TGauge*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// The description of `font`, or of the GUI font.
LOGFONTW Describe(HFONT font) {
  LOGFONTW lf{};
  if (font == nullptr || GetObjectW(font, sizeof lf, &lf) == 0) {
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  }
  return lf;
}

}  // namespace

bool TGauge::Register(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(instance, kClassName, &wc) != 0) {
    return true;
  }
  wc = WNDCLASSEXW{};
  wc.cbSize = sizeof wc;
  // A new size moves the text and the figures: repaint all of it.
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &TGauge::WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(kArrowCursor));
  wc.hbrBackground = nullptr;  // paints every pixel itself
  wc.lpszClassName = kClassName;
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

TGauge* TGauge::Create(HWND parent, int id, int x, int y, int width, int height) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!Register(instance)) {
    return nullptr;
  }
  HWND window =
      CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  return window != nullptr ? FromHandle(window) : nullptr;
}

TGauge* TGauge::FromHandle(HWND window) {
  if (window == nullptr ||
      GetWindowLongPtrW(window, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&TGauge::WindowProc)) {
    return nullptr;
  }
  return Attached(window);
}

TGauge::TGauge(HWND window) : window_(window) {}

TGauge::~TGauge() {
  if (font_ != nullptr) {
    DeleteObject(font_);
  }
}

LRESULT CALLBACK TGauge::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* gauge = new (std::nothrow) TGauge(window);
    if (gauge == nullptr) {
      return FALSE;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(gauge));
  }
  TGauge* gauge = Attached(window);
  if (gauge == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    delete gauge;
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return gauge->Dispatch(message, wParam, lParam);
}

LRESULT TGauge::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      // The parent's font, as long as no other is set.
      design_ =
          Describe(reinterpret_cast<HFONT>(SendMessageW(GetParent(window_), WM_GETFONT, 0, 0)));
      MakeFont();
      return 0;
    case WM_ERASEBKGND:
      return 1;  // opaque: nothing behind the gauge is erased or drawn
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_SETFONT:
      SetFont(reinterpret_cast<HFONT>(wParam));
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

void TGauge::OnPaint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window_, &ps);
  if (dc != nullptr) {
    ++paintCount_;
    try {
      Paint(dc);
    } catch (const std::exception&) {
      // No bitmap for this paint: the old picture stays until the next one.
    }
    EndPaint(window_, &ps);
  }
}

void TGauge::Paint(HDC dc) const {
  RECT client{};
  GetClientRect(window_, &client);
  const TGaugeLook look = model_.Look(client.right, client.bottom, Color());
  TGdiCanvas target(dc, look.width, look.height, font_);
  PaintGauge(target, look);
}

void TGauge::Repaint(bool changed) {
  if (changed && IsWindowVisible(window_) && GetParent(window_) != nullptr) {
    // WM_PAINT at once, before the assignment returns; no erasing.
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  }
}

bool TGauge::MakeFont() {
  LOGFONTW lf = design_;
  // Glyph pixels must be exactly the text colour or untouched for the
  // inverse colours to be exact.
  lf.lfQuality = NONANTIALIASED_QUALITY;
  lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi_), 96);
  lf.lfWidth = MulDiv(lf.lfWidth, static_cast<int>(dpi_), 96);
  HFONT font = CreateFontIndirectW(&lf);
  if (font == nullptr) {
    return false;  // the old font stays
  }
  if (font_ != nullptr) {
    DeleteObject(font_);
  }
  font_ = font;
  return true;
}

void TGauge::SetFont(HFONT font) {
  design_ = Describe(font);
  Repaint(MakeFont());
}

void TGauge::SetDpi(UINT dpi) {
  if (dpi == 0 || dpi == dpi_) {
    return;
  }
  dpi_ = dpi;
  Repaint(MakeFont());
}
