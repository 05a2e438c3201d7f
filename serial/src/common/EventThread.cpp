#include "serial/EventThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

#include "serial/TSerial.h"

namespace {
constexpr std::chrono::milliseconds kIdleSleep{100};
// After a failed wait the thread pauses this long before its next pass, so a
// port that keeps failing (a hung-up line) is not polled in a spin. The
// pause ends early when the port is closed.
constexpr std::chrono::milliseconds kFailurePause{100};
}  // namespace

// The thread's own state. The thread holds it too, so a thread released by
// its component keeps what it still looks at after the component is gone.
struct TEventThread::ThreadState : std::enable_shared_from_this<ThreadState> {
  explicit ThreadState(TSerial& s) : serial(s) {}

  void Execute();
  void WaitAndDeliver();
  // Hands `call` over to the owner's thread; false when it was withdrawn or
  // the thread has been released meanwhile (the component may be gone).
  template <typename F>
  bool HandOver(F&& call);
  bool HandOverReport(std::int32_t code, PortOperation operation);
  void FrameMessages();
  // Sleeps up to `duration`; ends early on a stop request and, with
  // `whileActive`, when the port is closed.
  void Pause(std::chrono::milliseconds duration, bool whileActive);

  TSerial& serial;
  std::atomic<bool> started{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> released{false};
  std::atomic<int> handOversRunning{0};
  std::atomic<std::uint32_t> handlerFailures{0};
  std::mutex sleepMutex;
  std::condition_variable sleepWake;
};

TEventThread::TEventThread(TSerial& serial) : state_(std::make_shared<ThreadState>(serial)) {}

TEventThread::~TEventThread() {
  RequestStop();
  if (!thread_.joinable()) return;
  // The body may be blocked in a hand-over the owner will not run any more
  // (it is here, destroying the component): withdraw such hand-overs until
  // the body has returned.
  ThreadState& state = *state_;
  while (!state.finished.load()) {
    state.serial.owner_.WithdrawHandOvers(&state.serial);
    std::unique_lock lock(state.sleepMutex);
    state.sleepWake.wait_for(lock, std::chrono::milliseconds(5),
                             [&] { return state.finished.load(); });
  }
  thread_.join();
}

void TEventThread::Start() {
  if (state_->started.exchange(true)) return;
  thread_ = std::thread([state = state_] { state->Execute(); });
}

void TEventThread::RequestStop() {
  {
    std::lock_guard lock(state_->sleepMutex);
    state_->stop.store(true);
  }
  state_->sleepWake.notify_all();
}

void TEventThread::WakeUp() {
  { std::lock_guard lock(state_->sleepMutex); }
  state_->sleepWake.notify_all();
}

bool TEventThread::Started() const {
  return state_->started.load();
}

std::uint32_t TEventThread::HandlerFailures() const {
  return state_->handlerFailures.load();
}

bool TEventThread::InHandOver() const {
  return state_->handOversRunning.load() > 0;
}

void TEventThread::Release() {
  state_->released.store(true);
  RequestStop();
  if (thread_.joinable()) thread_.detach();
}

void TEventThread::ThreadState::Execute() {
  while (!stop.load()) {
    if (!serial.Active()) {
      serial.inWait_.store(false);
      Pause(kIdleSleep, false);
      continue;
    }
    serial.inWait_.store(true);
    WaitAndDeliver();
  }
  if (!released.load()) serial.inWait_.store(false);
  {
    std::lock_guard lock(sleepMutex);
    finished.store(true);
  }
  sleepWake.notify_all();
}

void TEventThread::ThreadState::Pause(std::chrono::milliseconds duration, bool whileActive) {
  const auto until = std::chrono::steady_clock::now() + duration;
  std::unique_lock lock(sleepMutex);
  while (!stop.load() && (!whileActive || serial.Active())) {
    if (sleepWake.wait_until(lock, until) == std::cv_status::timeout) return;
  }
}

template <typename F>
bool TEventThread::ThreadState::HandOver(F&& call) {
  // The call is counted while it runs on the owner's thread, so the
  // component can tell that it is being destroyed from inside it.
  auto self = shared_from_this();
  auto counted = [self, call = std::forward<F>(call)]() mutable {
    struct Running {
      ThreadState& state;
      explicit Running(ThreadState& c) : state(c) { state.handOversRunning.fetch_add(1); }
      ~Running() { state.handOversRunning.fetch_sub(1); }
      Running(const Running&) = delete;
      Running& operator=(const Running&) = delete;
    } running(*self);
    call();
  };
  // A failure raised on the owner's thread comes back here. The thread has
  // no handling for it beyond this: the rest of the pass's event set is
  // dropped and the body goes on with its next pass, its state unchanged.
  bool ran = false;
  try {
    ran = serial.owner_.HandOver(&serial, std::move(counted));
  } catch (...) {
    handlerFailures.fetch_add(1);
    ran = false;
  }
  return ran && !released.load();
}

bool TEventThread::ThreadState::HandOverReport(std::int32_t code, PortOperation operation) {
  TSerial& s = serial;
  return HandOver([&s, code, operation] { s.ReportError(code, operation); });
}

void TEventThread::ThreadState::WaitAndDeliver() {
  TSerial& s = serial;
  ISerialPlatform& platform = *s.platform_;
  const PortHandle h = s.handle_.load();

  const WaitResult waited = platform.WaitCommEvent(h);
  const std::uint32_t events = waited.events;
  if (waited.error != 0) {
    // A wait the close outlasted (it could not be released and ran past the
    // close's bound) returns its failure on the old handle. The port may be
    // open again by then: that failure is not the new port's to report.
    if (s.Active() && s.handle_.load() == h) {
      HandOverReport(waited.error, PortOperation::EventWait);
      if (released.load()) return;
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
    if (!HandOver(signal(msCTS, s.ctsState_))) return;
  }
  if (events & kEV_DSR) {
    sample(s.dsrState_, kMS_DSR_ON);
    if (!HandOver(signal(msDSR, s.dsrState_))) return;
  }
  if (events & kEV_RLSD) {
    sample(s.rlsdState_, kMS_RLSD_ON);
    if (!HandOver(signal(msRLSD, s.rlsdState_))) return;
  }
  if ((events & kEV_TXEMPTY) && !HandOver(notify(s.OnTxEmpty))) return;
  if ((events & kEV_BREAK) && !HandOver(notify(s.OnBreak))) return;
  if ((events & kEV_RING) && !HandOver(notify(s.OnRing))) return;
  if (events & kEV_RXCHAR) {
    if (s.RxEventMode() == rxNormal) {
      // Handed over even with an empty slot: running it is what tells an
      // owner waiting for activity that bytes have arrived. Nothing is read.
      HandOver(notify(s.OnRxData));
    } else if (s.OnMessage.Assigned()) {
      FrameMessages();
    }
  }
}

void TEventThread::ThreadState::FrameMessages() {
  TSerial& s = serial;
  const auto deliver = [this, &s] {
    return HandOver([&s] {
      if (auto handler = s.OnMessage.Get()) handler(s, s.msgText_);
    });
  };
  for (;;) {
    std::uint8_t c = 0;
    std::int32_t error = 0;
    if (s.ReadByteRaw(c, error) == 0) {
      if (error != 0 && s.Active()) HandOverReport(error, PortOperation::Read);
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
