// The Win32 window's own behaviour, with the real dialog manager: the layout
// in pixels at every scale, the tab order, Enter, Esc and typed characters,
// where a parked focus goes, the ports' tooltips and the hand-overs of the
// serial side. Keys are posted as the keyboard would post them and
// dispatched by the window's pump. Needs a display (run under Xvfb).
#include <windows.h>
// After <windows.h>.
#include <commctrl.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Text.h"
#include "Win32FormView.h"
#include "resource.h"
#include "widgets/TGauge.h"

namespace {

class RecordingEvents : public IFormEvents {
 public:
  void ButtonClicked(HostButton button) override { clicks.push_back(button); }
  void TimerTicked() override { ++ticks; }
  void CharacterTyped(char16_t& key) override {
    typed.push_back(key);
    if (key != 27) key = 0;  // the window's rule: only Esc passes
  }
  bool CloseRequested() override {
    ++closes;
    return false;
  }
  void Activated() override { ++activations; }
  void DevicesChanged() override { ++deviceChanges; }

  std::vector<HostButton> clicks;
  std::u16string typed;
  int ticks = 0;
  int closes = 0;
  int activations = 0;
  int deviceChanges = 0;
};

class FormWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<TWin32FormView>(GetModuleHandleW(nullptr));
    window_->SetEvents(&events_);
    hwnd_ = window_->Handle();
    window_->Show();
    SetActiveWindow(hwnd_);
    window_->ProcessMessages();
  }

  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

  void Focus(int id) {
    SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
    window_->ProcessMessages();
  }

  // A key press as the keyboard driver posts it to the focused window.
  void Press(WPARAM key) {
    HWND target = GetFocus() != nullptr ? GetFocus() : hwnd_;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    window_->ProcessMessages();
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    window_->ProcessMessages();
  }
  // The keyboard's repeat of a key held down.
  void Repeat(WPARAM key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 0x40000001);
    window_->ProcessMessages();
  }
  void Type(wchar_t character) {
    PostMessageW(GetFocus(), WM_CHAR, character, 1);
    window_->ProcessMessages();
  }

  RecordingEvents events_;
  std::unique_ptr<TWin32FormView> window_;
  HWND hwnd_ = nullptr;
};

TEST_F(FormWindowTest, ControlsStandAtTheLayoutsPixelsInTheTabOrder) {
  RECT client{};
  GetClientRect(hwnd_, &client);
  EXPECT_EQ(client.right, 412);
  EXPECT_EQ(client.bottom, 164);
  const struct {
    int id;
    RECT rect;
  } layout[] = {
      {IDC_GAUGE, {136, 12, 401, 29}},       {IDC_RGCOM, {48, 8, 121, 113}},
      {IDC_RGCOM_ITEM0, {56, 26, 116, 43}},  {IDC_RGCOM_ITEM3, {56, 89, 116, 106}},
      {IDC_BTNSTART, {336, 128, 401, 153}},  {IDC_BTNEXIT, {256, 128, 321, 153}},
      {IDC_BTNCANCEL, {176, 128, 241, 153}}, {IDC_LISTBOX, {136, 44, 401, 113}},
  };
  for (const auto& c : layout) {
    RECT r{};
    GetWindowRect(Item(c.id), &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_TRUE(EqualRect(&r, &c.rect)) << "control " << c.id << " at " << r.left << "," << r.top
                                        << " " << r.right << "," << r.bottom;
  }
  // Tab order: the chosen port, Start, Exit, Abbruch, the status list.
  EXPECT_EQ(IsDlgButtonChecked(hwnd_, IDC_RGCOM_ITEM0), BST_CHECKED);
  const std::vector<int> order = {IDC_BTNSTART, IDC_BTNEXIT, IDC_BTNCANCEL, IDC_LISTBOX,
                                  IDC_RGCOM_ITEM0};
  Focus(IDC_RGCOM_ITEM0);
  for (int id : order) {
    Press(VK_TAB);
    EXPECT_EQ(GetDlgCtrlID(GetFocus()), id);
  }
  EXPECT_EQ(LOWORD(SendMessageW(hwnd_, DM_GETDEFID, 0, 0)), IDC_BTNSTART);
  EXPECT_EQ(SendDlgItemMessageW(hwnd_, IDC_LISTBOX, LB_GETITEMHEIGHT, 0, 0), 13);
}

TEST_F(FormWindowTest, EnterPressesTheFocusedButtonOrStartAndNeverADisabledOne) {
  Focus(IDC_RGCOM_ITEM0);
  Press(VK_RETURN);
  Repeat(VK_RETURN);  // held down: pressed once
  Repeat(VK_RETURN);
  Focus(IDC_BTNEXIT);
  Press(VK_RETURN);
  EXPECT_EQ(events_.clicks, (std::vector<HostButton>{HostButton::Start, HostButton::Exit}));
  events_.clicks.clear();

  // A run begins: the focused Start is parked and disabled, then Exit;
  // Abbruch stays.
  Focus(IDC_BTNSTART);
  EXPECT_EQ(window_->Focused(), FocusedControl::Start);
  window_->ParkFocus();
  window_->SetButtonEnabled(HostButton::Start, false);
  window_->SetButtonEnabled(HostButton::Exit, false);
  EXPECT_NE(GetFocus(), Item(IDC_BTNCANCEL));
  EXPECT_EQ(window_->Focused(), FocusedControl::StatusList);
  Press(VK_RETURN);
  Press(VK_RETURN);
  EXPECT_TRUE(events_.clicks.empty());

  // The run ends: Enter starts the next one.
  window_->SetButtonEnabled(HostButton::Cancel, true);
  window_->SetButtonEnabled(HostButton::Exit, true);
  window_->SetButtonEnabled(HostButton::Start, true);
  window_->FocusStart();
  EXPECT_EQ(window_->Focused(), FocusedControl::Start);
  Press(VK_RETURN);
  EXPECT_EQ(events_.clicks, (std::vector<HostButton>{HostButton::Start}));
  Focus(IDC_RGCOM_ITEM0);
  EXPECT_EQ(window_->Focused(), FocusedControl::PortChoice);
}

TEST_F(FormWindowTest, TypedCharactersPassTheKeyPreviewFirstAndEscClosesNothing) {
  HWND list = Item(IDC_LISTBOX);
  for (const wchar_t* line : {L"alpha", L"beta"}) {
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
  }
  Focus(IDC_LISTBOX);
  Type(L'b');  // the list would jump to "beta" if it saw the character
  EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
  Press(VK_ESCAPE);
  Focus(IDC_BTNCANCEL);
  Press(VK_ESCAPE);
  EXPECT_EQ(events_.typed, (std::u16string{u'b', 27, 27}));
  EXPECT_TRUE(events_.clicks.empty());
  EXPECT_EQ(events_.closes, 0);
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST_F(FormWindowTest, AHandOverFromAnotherThreadRunsInThePumpAndACloseAsksTheForm) {
  bool ran = false;
  bool handedOver = false;
  std::thread poster([this, &ran, &handedOver] {
    handedOver = window_->SerialOwner().HandOver(this, [&ran] { ran = true; });
  });
  // The poster blocks until the call has run on this thread.
  while (!ran) {
    window_->WaitForActivity();
    window_->ProcessMessages();
  }
  poster.join();
  EXPECT_TRUE(handedOver);

  // A close request is the form's to grant; this one refuses.
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
  EXPECT_EQ(events_.closes, 1);
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST_F(FormWindowTest, EachPortItemShowsTheTooltipItIsGivenAndADeviceChangeAsksAgain) {
  HWND tips = window_->Tooltips();
  ASSERT_NE(tips, nullptr);
  // The item's tool and its text; empty when the item has none.
  const auto tipOf = [&](int item) {
    std::wstring text(512, L'\0');
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(Item(item));
    tool.lpszText = text.data();
    if (SendMessageW(tips, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool)) == FALSE) {
      return std::wstring();
    }
    EXPECT_NE(tool.uFlags & TTF_IDISHWND, 0u);
    text.assign(512, L'\0');
    tool.lpszText = text.data();
    SendMessageW(tips, TTM_GETTEXTW, text.size(), reinterpret_cast<LPARAM>(&tool));
    return std::wstring(text.c_str());
  };
  const int items[] = {IDC_RGCOM_ITEM0, IDC_RGCOM_ITEM1, IDC_RGCOM_ITEM2, IDC_RGCOM_ITEM3};
  const std::vector<std::vector<std::string>> rounds = {
      {"USB Serial Port (COM1)", "No serial port COM2 on this computer", "",
       "USB-Seriell-Adapter f\xC3\xBCr Ger\xC3\xA4te (COM4)"},
      {"", "Serial port \\Device\\Serial1", "USB Serial Port (COM3)"},  // COM 4: none
      {"a", "b", "c", "d"},
  };
  for (const auto& round : rounds) {
    window_->SetPortTooltips(round);
    for (std::size_t i = 0; i < std::size(items); ++i) {
      const std::string expected = i < round.size() ? round[i] : std::string();
      EXPECT_EQ(tipOf(items[i]), Widen(expected)) << "COM " << i + 1;
    }
  }
  EXPECT_EQ(SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0), 4);

  // Plugging a device in or out, or any change of the device tree.
  for (int change : {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED}) {
    SendMessageW(hwnd_, WM_DEVICECHANGE, static_cast<WPARAM>(change), 0);
  }
  SendMessageW(hwnd_, WM_DEVICECHANGE, DBT_QUERYCHANGECONFIG, 0);  // only a question
  EXPECT_EQ(events_.deviceChanges, 3);
}

// Every control's rectangle in the client area's coordinates.
std::vector<std::pair<int, RECT>> ControlRects(HWND window) {
  std::vector<std::pair<int, RECT>> rects;
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    rects.emplace_back(GetDlgCtrlID(c), r);
  }
  return rects;
}

// The extent of `text` in `control`'s font, and the font's cell height.
struct Measured {
  SIZE text;
  int cell;
};
Measured Measure(HWND control, const std::wstring& text) {
  HDC dc = GetDC(control);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  Measured m{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &m.text);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  m.cell = tm.tmHeight;
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return m;
}

std::wstring TextOf(HWND control) {
  std::wstring text(256, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), 256)));
  return text;
}

TEST_F(FormWindowTest, AtEveryScaleEachTextFitsItsControlAndNoControlLeavesTheClientArea) {
  const std::vector<std::pair<int, RECT>> atStart = ControlRects(hwnd_);
  window_->RecolourLogos();
  window_->AppendStatus("Checksum Error in internal data !");  // the widest status line
  const struct {
    UINT dpi;
    SIZE client;
    int fontHeight;
  } scales[] = {
      {120, {515, 205}, 14}, {144, {618, 246}, 17}, {192, {824, 328}, 22}, {96, {412, 164}, 11}};
  UINT before = window_->Dpi();
  for (const auto& scale : scales) {
    SCOPED_TRACE(testing::Message() << scale.dpi << " dpi");
    const UINT dpi = scale.dpi;
    const auto px = [dpi](int at96) { return MulDiv(at96, static_cast<int>(dpi), 96); };
    // As the system suggests it: the window scaled where it stands.
    RECT suggested{};
    GetWindowRect(hwnd_, &suggested);
    suggested.right = suggested.left + MulDiv(suggested.right - suggested.left,
                                              static_cast<int>(dpi), static_cast<int>(before));
    suggested.bottom = suggested.top + MulDiv(suggested.bottom - suggested.top,
                                              static_cast<int>(dpi), static_cast<int>(before));
    SendMessageW(hwnd_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    window_->ProcessMessages();
    before = dpi;
    EXPECT_EQ(window_->Dpi(), dpi);

    RECT client{};
    GetClientRect(hwnd_, &client);
    EXPECT_EQ(client.right, scale.client.cx);
    EXPECT_EQ(client.bottom, scale.client.cy);
    const std::vector<std::pair<int, RECT>> rects = ControlRects(hwnd_);
    RECT group{};
    for (const auto& [id, r] : rects) {
      if (id == IDC_RGCOM) group = r;
    }
    const Measured title = Measure(Item(IDC_RGCOM), TextOf(Item(IDC_RGCOM)));
    for (const auto& [id, r] : rects) {
      SCOPED_TRACE(testing::Message() << "control " << id);
      RECT inside{};
      IntersectRect(&inside, &r, &client);
      EXPECT_TRUE(EqualRect(&inside, &r))
          << r.left << "," << r.top << " " << r.right << "," << r.bottom;
      const bool item = id >= IDC_RGCOM_ITEM0 && id <= IDC_RGCOM_ITEM3;
      for (const auto& [other, o] : rects) {
        const bool otherItem = other >= IDC_RGCOM_ITEM0 && other <= IDC_RGCOM_ITEM3;
        const bool nested = (item && other == IDC_RGCOM) || (otherItem && id == IDC_RGCOM);
        RECT overlap{};
        if (other != id && !nested) {
          EXPECT_FALSE(IntersectRect(&overlap, &r, &o)) << other;
        }
      }
      const int width = r.right - r.left;
      const int height = r.bottom - r.top;
      const std::wstring text = TextOf(Item(id));
      const Measured m = Measure(Item(id), text);
      if (id == IDC_BTNSTART || id == IDC_BTNEXIT || id == IDC_BTNCANCEL) {
        EXPECT_LE(m.text.cx + px(8), width) << "button " << std::string(text.begin(), text.end());
        EXPECT_LE(m.cell + px(4), height);
      } else if (item) {
        // The round box and its gap stand before the text; the items stand
        // in the group's box, below its title.
        EXPECT_LE(m.text.cx + px(16), width);
        EXPECT_LE(m.cell, height);
        EXPECT_GE(r.top, group.top + title.cell);
        EXPECT_LE(r.bottom, group.bottom);
        EXPECT_GE(r.left, group.left);
        EXPECT_LE(r.right, group.right);
      } else if (id == IDC_RGCOM) {
        EXPECT_LE(m.text.cx + px(12), width);
        // The dialog font, 8 points at this DPI.
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Item(id), WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        EXPECT_EQ(-font.lfHeight, scale.fontHeight);
      } else if (id == IDC_LISTBOX) {
        // Five whole lines of the font, the widest line without clipping.
        RECT inner{};
        GetClientRect(Item(id), &inner);
        const auto line = static_cast<int>(SendMessageW(Item(id), LB_GETITEMHEIGHT, 0, 0));
        EXPECT_GE(line, m.cell);
        EXPECT_LE(5 * line, inner.bottom);
        EXPECT_LE(Measure(Item(id), L"Checksum Error in internal data !").text.cx, inner.right);
      } else if (id == IDC_GAUGE) {
        TGauge* gauge = TGauge::FromHandle(Item(id));
        ASSERT_NE(gauge, nullptr);
        EXPECT_EQ(gauge->Dpi(), dpi);
        const Measured full = Measure(Item(id), L"100%");
        EXPECT_LE(full.text.cx + 2, width);
        EXPECT_LE(full.cell + 2, height);
        EXPECT_EQ(full.cell, m.cell);
        EXPECT_GE(full.cell, scale.fontHeight);
      } else if (id == IDC_IMAGE1 || id == IDC_IMAGE2) {
        // The logo fills its control at this scale.
        BITMAP picture{};
        GetObjectW(reinterpret_cast<HBITMAP>(SendMessageW(Item(id), STM_GETIMAGE, IMAGE_BITMAP, 0)),
                   sizeof picture, &picture);
        EXPECT_EQ(picture.bmWidth, width);
        EXPECT_EQ(picture.bmHeight, height);
        EXPECT_EQ(width, px(id == IDC_IMAGE1 ? 35 : 140));
        EXPECT_EQ(height, px(id == IDC_IMAGE1 ? 98 : 38));
      }
    }
  }
  // Back at 96 dpi, every control is where it stood at the start.
  const std::vector<std::pair<int, RECT>> atEnd = ControlRects(hwnd_);
  ASSERT_EQ(atEnd.size(), atStart.size());
  for (std::size_t i = 0; i < atEnd.size(); ++i) {
    EXPECT_EQ(atEnd[i].first, atStart[i].first);
    EXPECT_TRUE(EqualRect(&atEnd[i].second, &atStart[i].second)) << atEnd[i].first;
  }
}

}  // namespace
