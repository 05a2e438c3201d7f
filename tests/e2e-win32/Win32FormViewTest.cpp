// The Win32 window's own behaviour, with the real dialog manager: the layout
// in pixels, the tab order, Enter, Esc and typed characters, where a parked
// focus goes and the hand-overs of the serial side. Keys are posted as the keyboard would post them
// and dispatched by the window's pump. Needs a display (run under Xvfb).
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

}  // namespace
