#pragma once
// What the device-update logic needs of the window that runs it. The window's
// form (TTarnUpForm, app/common) implements this; the windowless hosts of the
// tests and the benchmark implement it too, so the dialogue and the update
// sequence run without a display.

#include <cstdint>
#include <string>

class TSerial;

enum class HostButton : std::uint8_t { Start, Exit, Cancel };

// The interval of the window's tick timer, and what each of its events adds
// to the tick counter.
inline constexpr std::int32_t kTickInterval = 200;

// The tick counter after one more timer event. The counter is a signed 32-bit
// value; the addition is done in unsigned arithmetic so that passing the
// largest value wraps to the negative end instead of being undefined.
constexpr std::int32_t AdvanceTicks(std::int32_t ticks, std::int32_t step = kTickInterval) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks) +
                                   static_cast<std::uint32_t>(step));
}

class IUpdateHost {
 public:
  virtual ~IUpdateHost() = default;

  // Signed 32-bit millisecond count, advanced by 200 on every timer event.
  [[nodiscard]] virtual std::int32_t TickCount() const = 0;
  // Set by Abbruch, Esc and Exit; cleared only by ClearCancelFlag().
  [[nodiscard]] virtual bool CancelFlag() const = 0;
  virtual void ClearCancelFlag() = 0;

  // Dispatches every pending window message and returns when none is left,
  // without waiting for new ones.
  virtual void ProcessMessages() = 0;
  // Blocks until a window message is pending or the serial side signals
  // activity, and never past the next timer tick. Returns at once when a
  // message is already pending. It may dispatch the messages that woke it,
  // as ProcessMessages would.
  virtual void WaitForActivity() = 0;

  // The window's serial component.
  virtual TSerial& Serial() = 0;
  // RGCom.ItemIndex: 0..3 for "COM 1".."COM 4".
  [[nodiscard]] virtual int PortIndex() const = 0;

  // The status list.
  virtual void ClearStatus() = 0;
  virtual void AddStatus(const std::string& text) = 0;

  virtual void SetButtonEnabled(HostButton button, bool enabled) = 0;

  // The gauge's Progress.
  [[nodiscard]] virtual std::int32_t GaugeProgress() const = 0;
  virtual void SetGaugeProgress(std::int32_t value) = 0;
};
