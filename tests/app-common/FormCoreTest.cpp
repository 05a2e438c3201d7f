// The update window's form over a recording view: what both front ends get
// from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FormRules.h"
#include "RecordingView.h"
#include "TarnupMain.h"
#include "testing/FakePlatform.h"
#include "update/Exceptions.h"

namespace {

class FormCore : public ::testing::Test {
 public:
  void SetUp() override {
    platform->SetRecorded("ReadByte", false);
    platform->SetRecorded("WaitCommEvent", false);
    view.form = &form;
    form.Created();
  }

  // A device that powers up `powerAfter` turns after the break is set and
  // then acknowledges every line.
  void DeviceAnswering(int powerAfter = 10) {
    platform->SetDeviceHook(
        [this, powerAfter](FakePlatform& fake, const FakePlatform::DeviceEvent& event) {
          switch (event.kind) {
            case FakePlatform::DeviceEvent::BreakOn:
              powerAt = view.pumps + powerAfter;
              break;
            case FakePlatform::DeviceEvent::BreakOff:
              fake.PushRx("Q");
              break;
            case FakePlatform::DeviceEvent::Written:
              ++linesSent;
              fake.PushRx("Y");
              break;
            default:
              break;
          }
        });
    view.onPump = [this] {
      if (powerAt > 0 && view.pumps == powerAt) platform->PushRx(" ");
      if (operatorAction) operatorAction();
    };
  }

  bool Waiting() const {
    return form.UpdateRunning() && !view.lines.empty() && view.lines.back() == kPowerLine;
  }

  static constexpr const char* kPowerLine = "Connect TARN to Power !";

  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  RecordingView view;
  TTarnUpForm form{view, view, platform};
  std::function<void()> operatorAction;
  int powerAt = 0;
  int linesSent = 0;
};

}  // namespace

TEST_F(FormCore, FormCreateSetsTheGaugeToTheBlockCountAndTheSerialLineTo38400With8N2) {
  EXPECT_EQ(view.gaugeMax, 1014);
  EXPECT_EQ(view.recolours, 1);
  TSerial& serial = form.Serial();
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(serial.Baudrate(), 38400);
  EXPECT_EQ(serial.DataBits(), d8bit);
  EXPECT_EQ(serial.StopBits(), st2bit);
  EXPECT_EQ(serial.Parity(), paNone);
  EXPECT_FALSE(serial.CheckParity());
}

TEST_F(FormCore, ACancelGivenWhileIdleDoesNotCancelTheNextRun) {
  const struct {
    const char* what;
    std::function<void(TTarnUpForm&)> cancel;
  } cases[] = {
      {"Abbruch", [](TTarnUpForm& f) { f.ButtonClicked(HostButton::Cancel); }},
      {"Esc",
       [](TTarnUpForm& f) {
         char16_t esc = 27;
         f.CharacterTyped(esc);
       }},
      {"Esc twice, then Abbruch",
       [](TTarnUpForm& f) {
         for (int i = 0; i < 2; ++i) {
           char16_t esc = 27;
           f.CharacterTyped(esc);
         }
         f.ButtonClicked(HostButton::Cancel);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceAnswering();
    c.cancel(form);
    ASSERT_TRUE(form.CancelFlag());
    linesSent = 0;
    form.ButtonClicked(HostButton::Start);
    EXPECT_TRUE(view.boxes.empty());
    ASSERT_FALSE(view.lines.empty());
    EXPECT_EQ(view.lines.front(), kPowerLine);
    EXPECT_EQ(view.lines.back(), "Update succesful !!");
    EXPECT_EQ(linesSent, 1 + 3 + 1014 + 1);
    EXPECT_FALSE(form.CancelFlag());
  }
  // A cancel during the power wait still ends the run, silently.
  operatorAction = [this] {
    if (Waiting()) form.ButtonClicked(HostButton::Cancel);
  };
  platform->SetDeviceHook({});
  form.ButtonClicked(HostButton::Start);
  EXPECT_EQ(view.lines, std::vector<std::string>{kPowerLine});
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_FALSE(form.UpdateRunning());
}

TEST_F(FormCore, ACloseRequestInThePowerWaitCancelsAndClosesInTheProgrammingItWaitsForTheEnd) {
  const struct {
    const char* what;
    bool device;                          // whether the device powers up at all
    std::function<bool(FormCore&)> when;  // the moment of the close request
    std::string lastLine;
    int linesSent;
  } cases[] = {
      {"in the power wait", false, [](FormCore& t) { return t.Waiting(); }, kPowerLine, 0},
      {"while the blocks are sent", true, [](FormCore& t) { return t.view.gauge == 100; },
       "Update succesful !!", 1019},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceAnswering(c.device ? 10 : 1 << 30);
    linesSent = 0;
    view.closes = 0;
    bool requested = false;
    bool closedAtOnce = true;
    bool runningAfterRequest = false;
    operatorAction = [&] {
      if (requested || !c.when(*this)) return;
      requested = true;
      closedAtOnce = form.CloseRequested();
      runningAfterRequest = form.UpdateRunning();
    };
    const int pumpsBefore = view.pumps;
    form.ButtonClicked(HostButton::Start);
    ASSERT_TRUE(requested);
    EXPECT_FALSE(closedAtOnce);
    EXPECT_TRUE(runningAfterRequest);
    EXPECT_EQ(view.closes, 1);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(view.lines.back(), c.lastLine);
    EXPECT_EQ(linesSent, c.linesSent);
    EXPECT_FALSE(form.CancelFlag());
    if (!c.device) {
      // Not the 100 s of the power wait (500 ticks): the next turn ends it.
      EXPECT_LT(view.pumps - pumpsBefore, 20);
    }
  }
  // While idle a close request is granted at once, and Exit closes.
  operatorAction = {};
  view.closes = 0;
  EXPECT_TRUE(form.CloseRequested());
  EXPECT_EQ(view.closes, 0);
  form.ButtonClicked(HostButton::Exit);
  EXPECT_EQ(view.closes, 1);
  EXPECT_TRUE(form.CancelFlag());
}

TEST_F(FormCore, AfterARunTheFocusIsOnStartUnlessTheOperatorPutItOnTheRadioGroupOrTheList) {
  const struct {
    const char* what;
    FocusedControl atStart;  // where the focus is when Start is pressed
    std::function<void(RecordingView&)> duringRun;
    FocusedControl after;
  } cases[] = {
      {"Enter on Start: parked on the list", FocusedControl::Start, {}, FocusedControl::Start},
      {"Enter on the radio group", FocusedControl::PortChoice, {}, FocusedControl::PortChoice},
      {"Enter on the list", FocusedControl::StatusList, {}, FocusedControl::StatusList},
      {"Tab to Abbruch during the run", FocusedControl::PortChoice,
       [](RecordingView& v) { v.focus = FocusedControl::Cancel; }, FocusedControl::Start},
      {"parked, then the radio group clicked", FocusedControl::Start,
       [](RecordingView& v) { v.focus = FocusedControl::PortChoice; }, FocusedControl::PortChoice},
      {"the window itself", FocusedControl::Other, {}, FocusedControl::Start},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    view.focus = c.atStart;
    FocusedControl inRun = FocusedControl::Other;
    bool startPressedAgain = false;
    operatorAction = [&] {
      if (!Waiting()) return;
      inRun = view.focus;
      if (c.duringRun) c.duringRun(view);
      // Enter on the disabled default button: no second run.
      const auto opens = platform->OpenCount();
      form.ButtonClicked(HostButton::Start);
      startPressedAgain = platform->OpenCount() != opens;
      form.ButtonClicked(HostButton::Cancel);
    };
    view.onPump = [this] { operatorAction(); };
    form.ButtonClicked(HostButton::Start);
    EXPECT_NE(inRun, FocusedControl::Start);
    EXPECT_NE(inRun, FocusedControl::Cancel);
    EXPECT_FALSE(startPressedAgain);
    EXPECT_EQ(view.focus, c.after);
  }
}

TEST_F(FormCore, PortTooltipsComeFromTheSourceWhenSetAtActivationDeviceChangeAndStart) {
  EXPECT_TRUE(view.tips.empty());
  form.Activated();
  EXPECT_TRUE(view.tips.empty());  // no source: never set
  std::vector<std::string> reached = {"a", "b", "c", "d"};
  unsigned asked = 0;
  form.SetPortTooltipSource([&](unsigned count) {
    asked = count;
    return reached;
  });
  EXPECT_EQ(asked, 4u);
  EXPECT_EQ(view.tips, reached);
  reached[1] = "plugged in";
  form.Activated();
  EXPECT_EQ(view.tips, reached);
  reached[3] = "pulled out";
  form.DevicesChanged();
  EXPECT_EQ(view.tips, reached);
  reached[2] = "plugged in too";
  platform->SetDeviceExists("COM1", false);
  form.ButtonClicked(HostButton::Start);
  EXPECT_EQ(view.tips, reached);
  // A source that fails leaves the tooltips as they were.
  form.SetPortTooltipSource(
      [](unsigned) -> std::vector<std::string> { throw std::runtime_error("no list"); });
  EXPECT_EQ(view.tips, reached);
}

// A status list that records top-line requests and clamps like a list
// showing five lines.
TEST_F(FormCore, AddStatusAsksForLineCountMinusThreeOnceMoreThanThreeLinesStand) {
  const struct {
    int lines;
    std::vector<int> requests;
    int top;
  } cases[] = {
      {1, {}, 0},
      {2, {}, 0},
      {3, {}, 0},
      {4, {1}, 0},
      {5, {1, 2}, 0},
      {6, {1, 2, 3}, 1},
      {8, {1, 2, 3, 4, 5}, 3},
  };
  for (const auto& c : cases) {
    form.ClearStatus();
    view.topRequests.clear();
    view.top = 0;
    for (int i = 0; i < c.lines; ++i) form.AddStatus(std::to_string(i));
    EXPECT_EQ(view.topRequests, c.requests) << c.lines << " lines";
    EXPECT_EQ(view.top, c.top) << c.lines << " lines";
    EXPECT_EQ(view.StatusCount(), c.lines);
  }
}

TEST_F(FormCore, AddStatusMakesNoRequestWhenTheLineIsAlreadyOnTop) {
  for (int i = 0; i < 3; ++i) form.AddStatus("x");
  view.top = 1;  // scrolled by the operator so that line 1 is on top
  form.AddStatus("y");
  EXPECT_TRUE(view.topRequests.empty());
}

TEST_F(FormCore, ARefusedStatusLineIsAnOutOfResourcesErrorShownInTheBox) {
  view.refuseLines = true;
  try {
    form.AddStatus("Update is running !!");
    FAIL() << "no error";
  } catch (const EOutOfResources& e) {
    EXPECT_STREQ(e.what(), "Kann Zeile nicht einfügen");
  }
  EXPECT_TRUE(view.topRequests.empty());
  // In a run: the clean-up has run, and the box shows the message.
  form.ButtonClicked(HostButton::Start);
  EXPECT_EQ(view.boxes, std::vector<std::string>{"Kann Zeile nicht einfügen"});
  EXPECT_FALSE(form.Serial().Active());
  EXPECT_TRUE(view.enabled[0] && view.enabled[1] && view.enabled[2]);
}
