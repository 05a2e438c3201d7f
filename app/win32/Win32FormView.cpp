#include "Win32FormView.h"

#include <windows.h>
// After <windows.h>.
#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "ErrorDisplay.h"
#include "Layout.h"
#include "Text.h"
#include "resource.h"
#include "widgets/TColor.h"
#include "widgets/TGauge.h"

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr std::array<int, 4> kPortItems = {IDC_RGCOM_ITEM0, IDC_RGCOM_ITEM1, IDC_RGCOM_ITEM2,
                                           IDC_RGCOM_ITEM3};

int ButtonId(HostButton button) {
  switch (button) {
    case HostButton::Start:
      return IDC_BTNSTART;
    case HostButton::Exit:
      return IDC_BTNEXIT;
    case HostButton::Cancel:
      break;
  }
  return IDC_BTNCANCEL;
}

bool IsPushButton(int id) {
  return id == IDC_BTNSTART || id == IDC_BTNEXIT || id == IDC_BTNCANCEL;
}

HostButton ButtonOf(int id) {
  return id == IDC_BTNSTART  ? HostButton::Start
         : id == IDC_BTNEXIT ? HostButton::Exit
                             : HostButton::Cancel;
}

// The button face as 0x00RRGGBB.
std::uint32_t FaceRgb() {
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  return (static_cast<std::uint32_t>(GetRValue(face)) << 16) |
         (static_cast<std::uint32_t>(GetGValue(face)) << 8) | GetBValue(face);
}

// A key press the keyboard repeats while the key is held down.
bool IsHeldEnter(const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
         (message.lParam & (LPARAM{1} << 30)) != 0;
}

// In the loop of every modal box of the thread: a held Enter does not close a
// box that came up while it was held (the operator would never see it). Wine's
// message box ignores a repeated Enter by itself, so this cannot be shown
// there; the dialog manager of Windows acts on each repeat.
LRESULT CALLBACK HeldEnterFilter(int code, WPARAM wParam, LPARAM lParam) {
  if (code == MSGF_DIALOGBOX && IsHeldEnter(*reinterpret_cast<const MSG*>(lParam))) return TRUE;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A function of user32 that older systems (and Wine) may lack; null there.
template <typename Function>
Function* UserFunction(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  // Through the type that matches every function type.
  return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// The DPI `window` is shown at: its monitor's where the system tells it,
// else the system's.
UINT DpiOf(HWND window) {
  if (auto* dpiForWindow = UserFunction<decltype(GetDpiForWindow)>("GetDpiForWindow")) {
    if (const UINT dpi = dpiForWindow(window); dpi != 0) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kDesignDpi;
}

// The outer size of the window when its client area has the layout's size
// at the layout's DPI; false where the system cannot say.
bool OuterSizeForDpi(HWND window, const WindowLayout& layout, SIZE& size) {
  auto* adjust = UserFunction<decltype(AdjustWindowRectExForDpi)>("AdjustWindowRectExForDpi");
  if (adjust == nullptr) return false;
  RECT outer{0, 0, layout.clientWidth, layout.clientHeight};
  if (adjust(&outer, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
             static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)), layout.dpi) == FALSE) {
    return false;
  }
  size = {outer.right - outer.left, outer.bottom - outer.top};
  return true;
}

// The dialog font: "MS Sans Serif" as the system's scalable face of it, an
// 8-point font of `height` pixels; any sans-serif face of that height where
// the system has neither.
HFONT MakeDialogFont(int height) {
  LOGFONTW lf{};
  lf.lfHeight = -height;
  lf.lfWeight = FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  const std::wstring_view face = L"Microsoft Sans Serif";
  face.copy(lf.lfFaceName, face.size());
  return CreateFontIndirectW(&lf);
}

}  // namespace

struct FormWindowProc {
  static INT_PTR CALLBACK Run(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
      reinterpret_cast<TWin32FormView*>(lParam)->window_ = window;
      return TRUE;  // the first tab stop, the chosen port, takes the focus
    }
    auto* form = reinterpret_cast<TWin32FormView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr) return FALSE;
    return form->HandleMessage(message, wParam, lParam);
  }
};

TWin32FormView::TWin32FormView(HINSTANCE instance)
    : instance_(instance), title_(ApplicationTitle()) {
  // The template names the gauge's window class.
  if (!TGauge::Register(instance)) {
    throw std::runtime_error("Das Fenster kann nicht erzeugt werden");
  }
  if (CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_TARNUPFORM), nullptr, FormWindowProc::Run,
                         reinterpret_cast<LPARAM>(this)) == nullptr) {
    throw std::runtime_error("Das Fenster kann nicht erzeugt werden");
  }
  gauge_ = TGauge::FromHandle(GetDlgItem(window_, IDC_GAUGE));
  if (gauge_ == nullptr) throw std::runtime_error("Das Fenster kann nicht erzeugt werden");
  gauge_->SetForeColor(clBlue);
  gauge_->SetProgress(0);

  // The dialog manager would scale the template's controls by itself when
  // the DPI changes; the window lays itself out instead (LayOut).
  if (auto* behaviour =
          UserFunction<decltype(SetDialogDpiChangeBehavior)>("SetDialogDpiChangeBehavior")) {
    behaviour(window_, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
  }
  // The gauge takes its font as made for 96 dpi and scales it itself.
  if (HFONT design = MakeDialogFont(LayoutForDpi(kDesignDpi).fontHeight)) {
    gauge_->SetFont(design);
    DeleteObject(design);
  }

  CheckRadioButton(window_, kPortItems.front(), kPortItems.back(), IDC_RGCOM_ITEM0);
  Command(IDC_RGCOM_ITEM0, BN_CLICKED, GetDlgItem(window_, IDC_RGCOM_ITEM0));
  // Enter presses Start when no push button has the focus.
  SendMessageW(window_, DM_SETDEFID, IDC_BTNSTART, 0);
  const INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&classes);
  // Without it the ports simply have no tooltips.
  tooltips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance, nullptr);
  LayOut(DpiOf(window_));
  boxFilter_ = SetWindowsHookExW(WH_MSGFILTER, HeldEnterFilter, nullptr, GetCurrentThreadId());
  owner_.SetWindow(window_);
}

TWin32FormView::~TWin32FormView() {
  if (boxFilter_ != nullptr) UnhookWindowsHookEx(boxFilter_);
  KillTimer(window_, kTimerId);
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  for (Logo& logo : logos_) {
    if (logo.shown != nullptr) DeleteObject(logo.shown);
  }
  if (font_ != nullptr) DeleteObject(font_);
  for (HICON icon : icons_) {
    if (icon != nullptr) DestroyIcon(icon);
  }
}

void TWin32FormView::StartTimer() {
  if (SetTimer(window_, kTimerId, static_cast<UINT>(kTickInterval), nullptr) == 0) {
    throw EOutOfResources(kNoTimerMessage);
  }
}

std::int32_t TWin32FormView::GaugeProgress() const {
  return gauge_->Progress();
}

void TWin32FormView::SetGaugeProgress(std::int32_t value) {
  gauge_->SetProgress(value);
}

void TWin32FormView::SetGaugeMaxValue(std::int32_t value) {
  gauge_->SetMaxValue(value);
}

void TWin32FormView::RecolourLogos() {
  LoadLogo(logos_[0], IDB_IMAGE1);
  LoadLogo(logos_[1], IDB_IMAGE2);
  ShowLogos();
}

namespace {

struct Bitmap {
  HBITMAP handle;
  ~Bitmap() {
    if (handle != nullptr) DeleteObject(handle);
  }
};

// The format of a top-down 32-bit picture of width x height.
BITMAPINFO PictureFormat(int width, int height) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;  // top-down rows
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  return format;
}

}  // namespace

void TWin32FormView::LoadLogo(Logo& logo, int resource) {
  const Bitmap source{static_cast<HBITMAP>(
      LoadImageW(instance_, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION))};
  BITMAP info{};
  if (source.handle == nullptr || GetObjectW(source.handle, sizeof info, &info) == 0 ||
      info.bmWidth <= 0 || info.bmHeight <= 0) {
    throw std::runtime_error("Bild kann nicht geladen werden");
  }
  // As 32-bit pixels, so that any colour can be written into any pixel.
  BITMAPINFO format = PictureFormat(info.bmWidth, info.bmHeight);
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(info.bmWidth) *
                                    static_cast<std::size_t>(info.bmHeight));
  HDC screen = GetDC(nullptr);
  const int rows = GetDIBits(screen, source.handle, 0, static_cast<UINT>(info.bmHeight),
                             pixels.data(), &format, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (rows != info.bmHeight) throw std::runtime_error("Bild kann nicht geladen werden");
  for (std::uint32_t& pixel : pixels) pixel |= 0xFF000000U;  // opaque
  RecolourSilver(pixels, info.bmWidth, info.bmHeight, info.bmWidth, FaceRgb());
  logo.pixels = std::move(pixels);
  logo.width = info.bmWidth;
  logo.height = info.bmHeight;
}

void TWin32FormView::ShowLogos() {
  const WindowLayout layout = LayoutForDpi(dpi_);
  const std::array<int, 2> controls = {IDC_IMAGE1, IDC_IMAGE2};
  for (std::size_t i = 0; i < logos_.size(); ++i) {
    Logo& logo = logos_[i];
    if (logo.pixels.empty()) continue;  // not loaded yet
    // The picture fills its control's box at this DPI.
    const LayoutBox box = layout.Box(controls[i]);
    const std::vector<std::uint32_t> pixels =
        ScalePicture(logo.pixels, logo.width, logo.height, box.Width(), box.Height());
    const BITMAPINFO format = PictureFormat(box.Width(), box.Height());
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    Bitmap shown{CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0)};
    ReleaseDC(nullptr, screen);
    if (shown.handle == nullptr || pixels.empty()) {
      throw std::runtime_error("Bild kann nicht geladen werden");
    }
    std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
    GdiFlush();
    HWND control = GetDlgItem(window_, controls[i]);
    SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(shown.handle));
    // The control sizes itself to its picture; it keeps its box all the same.
    SetWindowPos(control, nullptr, box.left, box.top, box.Width(), box.Height(),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (logo.shown != nullptr) DeleteObject(logo.shown);
    logo.shown = std::exchange(shown.handle, nullptr);
  }
}

void TWin32FormView::LayOut(UINT dpi) {
  dpi_ = dpi;
  const WindowLayout layout = LayoutForDpi(dpi);
  if (HFONT font = MakeDialogFont(layout.fontHeight)) {
    // Every control but the gauge, which scales its own font (below).
    for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if (child != gauge_->Handle())
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    if (tooltips_ != nullptr) {
      SendMessageW(tooltips_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    if (font_ != nullptr) DeleteObject(font_);
    font_ = font;
  }
  gauge_->SetDpi(dpi);
  for (const PlacedControl& c : layout.controls) {
    SetWindowPos(GetDlgItem(window_, c.id), nullptr, c.box.left, c.box.top, c.box.Width(),
                 c.box.Height(), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowLogos();
  // After the font, which sets the line height to the font's.
  SendDlgItemMessageW(window_, IDC_LISTBOX, LB_SETITEMHEIGHT, 0,
                      static_cast<LPARAM>(layout.listItemHeight));

  // The icon's picture nearest each size, made for this DPI (a shared icon
  // would be the one first loaded, whatever the size).
  const std::array<std::pair<WPARAM, int>, 2> icons = {
      {{ICON_BIG, layout.bigIcon}, {ICON_SMALL, layout.smallIcon}}};
  for (std::size_t i = 0; i < icons.size(); ++i) {
    auto* icon = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_TARNUP), IMAGE_ICON,
                                               icons[i].second, icons[i].second, 0));
    if (icon == nullptr) continue;
    SendMessageW(window_, WM_SETICON, icons[i].first, reinterpret_cast<LPARAM>(icon));
    if (icons_[i] != nullptr) DestroyIcon(icons_[i]);
    icons_[i] = icon;
  }

  // The client area takes the layout's size, whatever the frame around it.
  RECT outer{};
  RECT client{};
  GetWindowRect(window_, &outer);
  GetClientRect(window_, &client);
  SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left - client.right + layout.clientWidth,
               outer.bottom - outer.top - client.bottom + layout.clientHeight,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);
}

void TWin32FormView::Show() {
  RECT outer{};
  GetWindowRect(window_, &outer);
  const Point at = CentredTopLeft(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                  outer.right - outer.left, outer.bottom - outer.top);
  SetWindowPos(window_, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
}

void TWin32FormView::CloseWindow() {
  ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

int TWin32FormView::Run() {
  MSG message{};
  while (!quitSeen_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      quitCode_ = static_cast<int>(message.wParam);
      break;
    }
    if (got == -1) break;
    Dispatch(message);
  }
  return quitCode_;
}

void TWin32FormView::ProcessMessages() {
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
    if (message.message == WM_QUIT) {
      // Acted on once control is back in the message loop.
      quitSeen_ = true;
      quitCode_ = static_cast<int>(message.wParam);
      continue;
    }
    Dispatch(message);
  }
}

void TWin32FormView::WaitForActivity() {
  // A hand-over announces itself with a posted message, so waiting for input
  // also waits for the serial side; the tick timer bounds the wait. Input
  // already queued ends the wait at once, even if it was looked at before.
  if (owner_.HasPending()) return;
  MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(kTickInterval), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
}

void TWin32FormView::Dispatch(MSG& message) {
  const bool ours = message.hwnd == window_ || IsChild(window_, message.hwnd) != FALSE;
  if (ours) {
    if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
      // Esc is a typed character for the key preview; the dialog manager
      // would turn it into a cancel command instead.
      TranslateMessage(&message);
      DispatchMessageW(&message);
      return;
    }
    if (message.message == WM_CHAR) {
      // Key preview: the window sees every typed character before the
      // focused control, which gets only what the window leaves of it.
      auto key = static_cast<char16_t>(message.wParam);
      if (events_ != nullptr) events_->CharacterTyped(key);
      if (key == 0) return;
      message.wParam = key;
      DispatchMessageW(&message);
      return;
    }
    // A held Enter presses once.
    if (IsHeldEnter(message)) return;
    // Tab, the arrow keys and Enter as in any dialog.
    if (IsDialogMessageW(window_, &message) != FALSE) return;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

INT_PTR TWin32FormView::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kHandOverMessage:
      owner_.RunPending();
      return TRUE;
    case WM_TIMER:
      if (wParam == kTimerId && events_ != nullptr) events_->TimerTicked();
      return TRUE;
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return TRUE;
    case WM_CLOSE:
      if (events_ == nullptr || events_->CloseRequested()) CloseWindow();
      return TRUE;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && events_ != nullptr) events_->Activated();
      return FALSE;  // the dialog manager restores the focus
    case WM_GETDPISCALEDSIZE: {
      // The size for the new DPI, so that the rectangle WM_DPICHANGED
      // suggests already fits the layout there.
      SIZE size{};
      if (!OuterSizeForDpi(window_, LayoutForDpi(static_cast<UINT>(wParam)), size)) return FALSE;
      *reinterpret_cast<SIZE*>(lParam) = size;
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    }
    case WM_DPICHANGED: {
      // Moved to a screen of another scale, or the scale was changed: the
      // suggested rectangle keeps the window where the operator put it.
      const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested.left, suggested.top,
                   suggested.right - suggested.left, suggested.bottom - suggested.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      LayOut(LOWORD(wParam));
      return TRUE;
    }
    case WM_DEVICECHANGE:
      // Sent to every top-level window; a port's arrival and removal come
      // with their own codes, any other device change as "nodes changed".
      if ((wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL ||
           wParam == DBT_DEVICEREMOVECOMPLETE) &&
          events_ != nullptr) {
        events_->DevicesChanged();
      }
      return FALSE;  // the default answer grants every request
    default:
      return FALSE;
  }
}

void TWin32FormView::Command(int id, int code, HWND control) {
  if (code != BN_CLICKED) return;
  // Enter reaches here for the default button even when it is disabled; a
  // disabled button is never pressed.
  if (control != nullptr && IsWindowEnabled(control) == FALSE) return;
  if (IsPushButton(id)) {
    if (events_ != nullptr) events_->ButtonClicked(ButtonOf(id));
    return;
  }
  // Like one control in the tab order: Tab enters the radio group at the
  // chosen port, the arrow keys move (and choose) within it.
  for (int item : kPortItems) {
    HWND button = GetDlgItem(window_, item);
    const bool chosen = IsDlgButtonChecked(window_, item) == BST_CHECKED;
    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    SetWindowLongPtrW(button, GWL_STYLE, chosen ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP));
  }
}

int TWin32FormView::PortIndex() const {
  for (std::size_t i = 0; i < kPortItems.size(); ++i) {
    if (IsDlgButtonChecked(window_, kPortItems[i]) == BST_CHECKED) {
      return static_cast<int>(i);
    }
  }
  return 0;
}

void TWin32FormView::SetPortTooltips(const std::vector<std::string>& tips) {
  if (tooltips_ == nullptr) return;
  for (std::size_t i = 0; i < kPortItems.size(); ++i) {
    // The tool is the item's window: the control follows the item wherever
    // it is laid out, and relays its mouse messages itself.
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;  // understood by every version of the control
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(window_, kPortItems[i]));
    std::wstring text = i < tips.size() ? Widen(tips[i]) : std::wstring();
    if (text.empty()) {
      if (tipped_[i]) SendMessageW(tooltips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
      tipped_[i] = false;
      continue;
    }
    tool.lpszText = text.data();
    if (tipped_[i]) {
      SendMessageW(tooltips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
      tipped_[i] =
          SendMessageW(tooltips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool)) != FALSE;
    }
  }
}

int TWin32FormView::StatusCount() const {
  return static_cast<int>(SendDlgItemMessageW(window_, IDC_LISTBOX, LB_GETCOUNT, 0, 0));
}

bool TWin32FormView::AppendStatus(const std::string& text) {
  const std::wstring line = Widen(text);
  const LRESULT index = SendDlgItemMessageW(window_, IDC_LISTBOX, LB_ADDSTRING, 0,
                                            reinterpret_cast<LPARAM>(line.c_str()));
  return index != LB_ERR && index != LB_ERRSPACE;
}

int TWin32FormView::StatusTopIndex() const {
  return static_cast<int>(SendDlgItemMessageW(window_, IDC_LISTBOX, LB_GETTOPINDEX, 0, 0));
}

void TWin32FormView::SetStatusTopIndex(int index) {
  SendDlgItemMessageW(window_, IDC_LISTBOX, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

void TWin32FormView::ClearStatus() {
  SendDlgItemMessageW(window_, IDC_LISTBOX, LB_RESETCONTENT, 0, 0);
}

void TWin32FormView::SetButtonEnabled(HostButton button, bool enabled) {
  EnableWindow(GetDlgItem(window_, ButtonId(button)), enabled ? TRUE : FALSE);
}

FocusedControl TWin32FormView::Focused() const {
  HWND focus = GetFocus();
  if (focus == nullptr || IsChild(window_, focus) == FALSE) return FocusedControl::Other;
  switch (GetDlgCtrlID(focus)) {
    case IDC_BTNSTART:
      return FocusedControl::Start;
    case IDC_BTNEXIT:
      return FocusedControl::Exit;
    case IDC_BTNCANCEL:
      return FocusedControl::Cancel;
    case IDC_LISTBOX:
      return FocusedControl::StatusList;
    case IDC_RGCOM_ITEM0:
    case IDC_RGCOM_ITEM1:
    case IDC_RGCOM_ITEM2:
    case IDC_RGCOM_ITEM3:
      return FocusedControl::PortChoice;
    default:
      return FocusedControl::Other;
  }
}

void TWin32FormView::ParkFocus() {
  // Enter on the status list presses the default button, Start, which does
  // nothing while it is disabled.
  SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_LISTBOX)),
               TRUE);
}

void TWin32FormView::FocusStart() {
  // Setting the focus would activate an inactive window: it keeps its focus.
  HWND start = GetDlgItem(window_, IDC_BTNSTART);
  if (GetActiveWindow() != window_ || IsWindowEnabled(start) == FALSE) return;
  SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
}

void TWin32FormView::ShowExceptionBox(const std::string& message) {
  if (HWND capture = GetCapture()) SendMessageW(capture, WM_CANCELMODE, 0, 0);
  ::ShowExceptionBox(title_, message);
}
