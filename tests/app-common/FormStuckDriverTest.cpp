// The update window's form over the Win32 platform and a driver that stops
// completing what it is given, as some adapters' drivers do after an unplug
// (Windows builds only): the window goes on turning, Esc and Abbruch still
// end the power wait, a write stuck in the blocks ends the run by its own
// time-out, the port is closed within its bound either way, and once the
// driver has let go of what it held the next Start updates the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "RecordingView.h"
#include "TarnupMain.h"
#include "serial/win32/Win32Platform.h"
#include "testing/ScriptedDriver.h"

namespace {

using Clock = std::chrono::steady_clock;

// No wait of the window's may outlast the bound of the component's close,
// whatever the driver does (the longest the component means to wait on the
// window's thread is a write's 1 s and the cancel's 100 ms after it).
constexpr double kBoundMs = 7500.0;
constexpr const char* kPowerLine = "Connect TARN to Power !";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The TARN device on the driver's far end, played at each turn of the
// window: " " a few turns after the break is set, "Q" once it is released,
// "Y" for every line. After the answer to the line given, or in the power
// wait, the driver stops completing: reads and the event wait stay pending,
// writes are held, cancels are ignored.
struct StuckDevice {
  StuckDevice(ScriptedDriver& d, int stuckAt)
      : driver(d),
        stuckAtLine(stuckAt),
        breaks(d.Calls("SetCommBreak")),
        releases(d.Calls("ClearCommBreak")),
        answered(Lines(d)) {}

  static int Lines(ScriptedDriver& d) {
    const std::string written = d.Written();
    return static_cast<int>(std::count(written.begin(), written.end(), ':'));
  }

  ScriptedDriver& driver;
  // Stuck once this many lines have been written to the driver in all and
  // answered; 0: stuck in the power wait, the device never powers up.
  int stuckAtLine;
  // The driver's break calls and lines from earlier runs, which this run's
  // device does not answer again.
  std::size_t breaks;
  std::size_t releases;
  int answered;
  int breakTurn = 0;
  bool powered = false;
  bool qSent = false;
  bool stuck = false;

  void Turn(int turn) {
    if (stuck) return;
    if (breakTurn == 0 && driver.Calls("SetCommBreak") > breaks) breakTurn = turn;
    if (breakTurn == 0) return;
    if (stuckAtLine == 0) {
      if (turn >= breakTurn + 5) GetStuck();
      return;
    }
    if (!powered && turn >= breakTurn + 5) {
      driver.Receive(" ");
      powered = true;
    }
    if (powered && !qSent && driver.Calls("ClearCommBreak") > releases) {
      driver.Receive("Q");
      qSent = true;
    }
    for (const int lines = Lines(driver); answered < lines;) {
      driver.Receive("Y");
      if (++answered == stuckAtLine) {
        GetStuck();  // the next line's write is held
        return;
      }
    }
  }

  void GetStuck() {
    stuck = true;
    driver.NeverCompleteCancels(true);
    driver.ReadsWaitForData(true);
    driver.HoldWrites(true);
  }
};

}  // namespace

TEST(FormOverAStuckDriver, TheWindowGoesOnTurningAndTheRunEndsWithThePortClosedInTime) {
  const struct {
    const char* what;
    int stuckAtLine;
    void (*operatorEnds)(TTarnUpForm&);  // pressed 20 turns after the driver got stuck
    std::vector<std::string> boxes;
  } cases[] = {
      {"stuck in the power wait, Esc",
       0,
       [](TTarnUpForm& f) {
         char16_t esc = 27;
         f.CharacterTyped(esc);
       },
       {}},
      {"stuck in the power wait, Abbruch",
       0,
       [](TTarnUpForm& f) { f.ButtonClicked(HostButton::Cancel); },
       {}},
      // The held write is reported as the component's write time-out, then
      // the run's own time-out ends it.
      {"a write stuck in the blocks",
       10,
       nullptr,
       {"Fehler: COM1: Der Wartevorgang wurde abgebrochen (Zeitüberschreitung)",
        "Hardware antwortet nicht !"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto driver = std::make_shared<ScriptedDriver>();
    RecordingView view;
    TTarnUpForm form{view, view, MakeWin32Platform(driver)};
    view.form = &form;
    form.Created();

    StuckDevice device{*driver, c.stuckAtLine};
    int stuckTurn = 0;
    double longestTurnMs = 0;
    auto last = Clock::now();
    view.onPump = [&] {
      const auto now = Clock::now();
      longestTurnMs = std::max(longestTurnMs, Ms(now - last));
      last = now;
      device.Turn(view.pumps);
      if (device.stuck && stuckTurn == 0) stuckTurn = view.pumps;
      if (stuckTurn > 0 && view.pumps == stuckTurn + 20 && c.operatorEnds) c.operatorEnds(form);
    };
    form.ButtonClicked(HostButton::Start);
    const double closeMs = Ms(Clock::now() - last);
    std::printf("%-36s turns %5d, longest turn %6.1f ms, last turn to the end %6.1f ms\n", c.what,
                view.pumps, longestTurnMs, closeMs);

    ASSERT_TRUE(device.stuck);
    EXPECT_FALSE(form.UpdateRunning());
    EXPECT_FALSE(form.Serial().Active());
    EXPECT_EQ(driver->AwakeRequests(), 0);
    EXPECT_EQ(view.boxes, c.boxes);
    if (c.stuckAtLine == 0) {
      EXPECT_EQ(view.lines, std::vector<std::string>{kPowerLine});
    }
    EXPECT_LT(longestTurnMs, kBoundMs);
    EXPECT_LT(closeMs, kBoundMs);
    EXPECT_TRUE(view.enabled[0] && view.enabled[1] && view.enabled[2]);

    // The driver lets go long after the close, into records still alive.
    std::size_t alive = 0;
    const std::size_t late = driver->CompleteLate(alive);
    EXPECT_GE(late, 1U);
    EXPECT_EQ(alive, late);

    // The next Start, with a driver that works again, updates the device.
    driver->NeverCompleteCancels(false);
    driver->ReadsWaitForData(false);
    driver->HoldWrites(false);
    StuckDevice healthy{*driver, 1 << 30};
    const int linesBefore = healthy.answered;
    view.onPump = [&] { healthy.Turn(view.pumps); };
    view.boxes.clear();
    form.ButtonClicked(HostButton::Start);
    EXPECT_TRUE(view.boxes.empty());
    ASSERT_FALSE(view.lines.empty());
    EXPECT_EQ(view.lines.back(), "Update succesful !!");
    EXPECT_EQ(healthy.answered - linesBefore, 1 + 3 + 1014 + 1);
    EXPECT_TRUE(driver->LateRecordsFreed());
  }
}
