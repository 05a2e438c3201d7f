#include "serial/EventThread.h"

#include <chrono>
#include <exception>
#include <utility>

#include "serial/TSerial.h"

namespace {
constexpr std::chrono::milliseconds kIdleSleep{100};
// After a failed wait the thread pauses this long before its next pass, so a
// port that keeps failing (a hung-up line) is reported ten times a second
// instead of spinning the CPU. The pause ends early when the port is closed.
constexpr std::chrono::milliseconds kFailurePause{100};
}  // namespace

TEventThread::TEventThread(TSerial& serial) : serial_(serial) {}

TEventThread::~TEventThread() {
  RequestStop();
  if (!thread_.joinable()) return;
  // The body may be blocked in a hand-over the owner will not run any more
  // (it is here, destroying the component): withdraw such hand-overs until
  // the body has returned.
  while (!finished_.load()) {
    serial_.owner_.WithdrawHandOvers(&serial_);
    std::unique_lock lock(sleepMutex_);
    sleepWake_.wait_for(lock, std::chrono::milliseconds(5), [&] { return finished_.load(); });
  }
  thread_.join();
}

void TEventThread::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { Execute(); });
}

void TEventThread::RequestStop() {
  {
    std::lock_guard lock(sleepMutex_);
    stop_.store(true);
  }
  sleepWake_.notify_all();
}

void TEventThread::Execute() {
  while (!stop_.load()) {
    if (!serial_.Active()) {
      serial_.inWait_.store(false);
      Pause(kIdleSleep, false);
      continue;
    }
    serial_.inWait_.store(true);
    Pass();
  }
  serial_.inWait_.store(false);
  {
    std::lock_guard lock(sleepMutex_);
    finished_.store(true);
  }
  sleepWake_.notify_all();
}

void TEventThread::Pause(std::chrono::milliseconds duration, bool whileActive) {
  const auto until = std::chrono::steady_clock::now() + duration;
  std::unique_lock lock(sleepMutex_);
  while (!stop_.load() && (!whileActive || serial_.Active())) {
    if (sleepWake_.wait_until(lock, until) == std::cv_status::timeout) return;
  }
}

void TEventThread::WakeUp() {
  { std::lock_guard lock(sleepMutex_); }
  sleepWake_.notify_all();
}

template <typename F>
bool TEventThread::Hand(F&& call) {
  // A failure raised on the owner's thread comes back here. The thread has
  // no handling for it beyond this: the rest of the pass's event set is
  // dropped and the body goes on with its next pass, its state unchanged.
  try {
    return serial_.owner_.HandOver(&serial_, std::forward<F>(call));
  } catch (...) {
    handlerFailures_.fetch_add(1);
    return false;
  }
}

bool TEventThread::HandReport(std::int32_t code) {
  TSerial& s = serial_;
  return Hand([&s, code] { s.ReportError(code); });
}

void TEventThread::Pass() {
  TSerial& s = serial_;
  ISerialPlatform& platform = *s.platform_;
  const PortHandle h = s.handle_.load();

  const WaitResult waited = platform.WaitCommEvent(h);
  const std::uint32_t events = waited.events;
  if (waited.error != 0) {
    // A wait the close outlasted (it could not be released and ran past the
    // close's bound) returns its failure on the old handle. The port may be
    // open again by then: that failure is not the new port's to report.
    if (s.Active() && s.handle_.load() == h) {
      HandReport(waited.error);
      Pause(kFailurePause, true);
    }
    return;
  }

  // Each signal event reads the modem status anew. A failed read is not
  // reported and leaves the stored state as it was; the notification is
  // still handed over.
  const auto sample = [&](std::atomic<bool>& state, std::uint32_t bit) {
    const ModemResult modem = platform.GetCommModemStatus(h);
    if (modem.error == 0) state.store((modem.status & bit) != 0);
  };
  const auto signal = [&s](eModemInSignal which, const std::atomic<bool>& state) {
    return [&s, which, &state] {
      if (auto handler = s.OnSignalChange.Get()) handler(s, which, state.load());
    };
  };
  const auto notify = [&s](TEventSlot<TNotifyEvent>& slot) {
    return [&s, &slot] {
      if (auto handler = slot.Get()) handler(s);
    };
  };

  if (events & kEV_CTS) {
    sample(s.ctsState_, kMS_CTS_ON);
    if (!Hand(signal(msCTS, s.ctsState_))) return;
  }
  if (events & kEV_DSR) {
    sample(s.dsrState_, kMS_DSR_ON);
    if (!Hand(signal(msDSR, s.dsrState_))) return;
  }
  if (events & kEV_RLSD) {
    sample(s.rlsdState_, kMS_RLSD_ON);
    if (!Hand(signal(msRLSD, s.rlsdState_))) return;
  }
  if ((events & kEV_TXEMPTY) && !Hand(notify(s.OnTxEmpty))) return;
  if ((events & kEV_BREAK) && !Hand(notify(s.OnBreak))) return;
  if ((events & kEV_RING) && !Hand(notify(s.OnRing))) return;
  if (events & kEV_RXCHAR) {
    if (s.RxEventMode() == rxNormal) {
      // Handed over even with an empty slot: running it is what tells an
      // owner waiting for activity that bytes have arrived. Nothing is read.
      Hand(notify(s.OnRxData));
    } else if (s.OnMessage.Assigned()) {
      Frame();
    }
  }
}

void TEventThread::Frame() {
  TSerial& s = serial_;
  const auto deliver = [this, &s] {
    return Hand([&s] {
      if (auto handler = s.OnMessage.Get()) handler(s, s.msgText_);
    });
  };
  for (;;) {
    std::uint8_t c = 0;
    std::int32_t error = 0;
    if (s.ReadByteRaw(c, error) == 0) {
      if (error != 0 && s.Active()) HandReport(error);
      return;
    }
    const char ch = static_cast<char>(c);
    if (s.msgState_ == 2) {
      s.msgText_.push_back(ch);
      if (--s.msgCountdown_ == 0) {
        s.msgState_ = 3;
        if (!deliver()) return;
      }
    } else if (c == s.MessageStartChar()) {
      s.msgState_ = 1;
      s.msgText_.assign(1, ch);
    } else if (c == s.MessageEndChar()) {
      if (s.msgState_ == 1) {
        s.msgText_.push_back(ch);
        s.msgState_ = 2;
        const std::uint16_t append = s.MessageAppendCount();
        if (append == 0) {
          s.msgState_ = 3;
          if (!deliver()) return;
        } else {
          s.msgCountdown_ = append;
        }
      }
    } else if (s.msgState_ == 1) {
      s.msgText_.push_back(ch);
    }
  }
}
