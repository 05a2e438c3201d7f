#pragma once
// A window without a window system for the update window's form: it records
// what the form shows (status lines, boxes, gauge, buttons, focus) and its
// pump brings one timer tick per turn, then runs what the test's operator
// does at that turn. It is also the serial component's owner: hand-overs run
// at the next turn.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FormView.h"
#include "TarnupMain.h"
#include "serial/HandOverQueue.h"
#include "serial/SerialOwner.h"

class RecordingView : public IFormView, public ISerialOwner {
 public:
  // Run at every turn of the pump, after the tick; may call the form.
  std::function<void()> onPump;
  TTarnUpForm* form = nullptr;

  std::vector<std::string> lines;
  std::vector<int> topRequests;
  int top = 0;
  bool refuseLines = false;
  std::vector<std::string> boxes;
  std::vector<std::string> tips;
  int closes = 0;
  int pumps = 0;
  std::int32_t gauge = 0;
  std::int32_t gaugeMax = 0;
  int recolours = 0;
  bool enabled[3] = {true, true, true};
  FocusedControl focus = FocusedControl::Start;

  ~RecordingView() override { queue_.Shutdown(); }

  void ProcessMessages() override {
    if (++pumps > 100000) throw std::runtime_error("runaway wait");
    queue_.RunPending();
    form->TimerTicked();
    if (onPump) onPump();
  }
  void WaitForActivity() override {}
  [[nodiscard]] int PortIndex() const override { return 0; }
  void SetPortTooltips(const std::vector<std::string>& t) override { tips = t; }
  [[nodiscard]] int StatusCount() const override { return static_cast<int>(lines.size()); }
  bool AppendStatus(const std::string& text) override {
    if (refuseLines) return false;
    lines.push_back(text);
    return true;
  }
  [[nodiscard]] int StatusTopIndex() const override { return top; }
  // Clamps like a list that shows five lines.
  void SetStatusTopIndex(int index) override {
    topRequests.push_back(index);
    top = std::max(0, std::min(index, StatusCount() - 5));
  }
  void ClearStatus() override { lines.clear(); }
  void SetButtonEnabled(HostButton button, bool on) override {
    enabled[static_cast<int>(button)] = on;
  }
  [[nodiscard]] std::int32_t GaugeProgress() const override { return gauge; }
  void SetGaugeProgress(std::int32_t value) override { gauge = value; }
  void SetGaugeMaxValue(std::int32_t value) override { gaugeMax = value; }
  void RecolourLogos() override { ++recolours; }
  [[nodiscard]] FocusedControl Focused() const override { return focus; }
  // Like the Win32 window: the status list takes a parked focus.
  void ParkFocus() override { focus = FocusedControl::StatusList; }
  void FocusStart() override { focus = FocusedControl::Start; }
  void ShowExceptionBox(const std::string& message) override { boxes.push_back(message); }
  void CloseWindow() override { ++closes; }

  void ShowErrorBox(const std::string& text) override { boxes.push_back("Fehler: " + text); }
  bool HandOver(const void* source, std::function<void()> call) override {
    return queue_.Post(source, std::move(call));
  }
  void WithdrawHandOvers(const void* source) override { queue_.Withdraw(source); }

 private:
  HandOverQueue queue_;
};
