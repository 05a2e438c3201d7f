// The POSIX platform's event wait: one poll on the port and its eventfd,
// woken by input, by a mask change, a close or a write, and, only for the
// events a handler could receive, a sampling tick for the modem lines, the
// driver's counters and the transmit queue.
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "Platform.h"

namespace posix {

WaitResult PosixPlatform::WaitCommEvent(PortHandle h) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  Port& port = *use.port;
  std::unique_lock lock(port.mutex);
  if (port.events.ClearedSinceLastWait()) return {0, 0};
  const PortEventMask::Ticket ticket = port.events.Begin();
  bool wokeByInput = false;
  for (;;) {
    if (port.closing) return {EBADF, 0};
    if (port.events.Released(ticket)) {
      port.events.WaitEnded();
      return {0, 0};
    }
    bool watchInput = false;
    bool tick = false;
    const std::uint32_t events = Sample(port, watchInput, tick);
    if (events != 0) {
      port.waiterBlind = false;
      port.events.WaitEnded();
      return {0, events};
    }
    if (wokeByInput && watchInput) {
      // Readiness without anything to read: look again on the tick rather
      // than poll for input in a loop.
      watchInput = false;
      tick = true;
    }
    port.waiterBlind = !watchInput;
    const int fd = port.fd;
    const int wakeFd = port.wakeFd;
    lock.unlock();

    pollfd fds[2] = {{fd, static_cast<short>(watchInput ? POLLIN : 0), 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, tick ? kTickMs : -1);
    const std::int32_t pollError = ready < 0 && errno != EINTR ? Errno() : 0;
    if (fds[1].revents & POLLIN) ClearWakeUp(port);
    wokeByInput = (fds[0].revents & POLLIN) != 0;

    lock.lock();
    port.waiterBlind = false;
    if (pollError != 0) return {pollError, 0};
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return {EIO, 0};
  }
}

void PosixPlatform::SetEventInterest(PortHandle h, std::uint32_t events) {
  Use use(ports_, h);
  if (use.error != 0) return;
  Port& port = *use.port;
  {
    std::lock_guard lock(port.mutex);
    const std::uint32_t added = events & ~port.interest;
    port.interest = events;
    // Lines and counters watched from now on start from their present
    // state, not from one sampled long ago.
    if ((added & kModemEvents) && port.modemLines) ::ioctl(port.fd, TIOCMGET, &port.lastModem);
    if ((added & (kModemEvents | kEV_BREAK)) && port.counters) {
      ::ioctl(port.fd, TIOCGICOUNT, &port.lastCount);
    }
  }
  WakeWaiter(port);
}

std::uint32_t PosixPlatform::Sample(Port& port, bool& watchInput, bool& tick) {
  std::uint32_t events = 0;
  watchInput = false;
  tick = false;
  // Only what is in the mask and could reach a handler is looked for, so
  // a port nobody listens to for signals is not sampled at all.
  const std::uint32_t wanted = port.events.Mask() & port.interest;
  if (wanted & kEV_RXCHAR) {
    int queued = 0;
    if (::ioctl(port.fd, FIONREAD, &queued) != 0) queued = 0;
    const std::uint64_t arrived = port.consumed + static_cast<std::uint64_t>(queued);
    if (port.received.Report(arrived)) events |= kEV_RXCHAR;
    // Input is watched only while nothing sits unread: bytes left unread
    // are not reported again, and new ones behind them are found on the
    // tick (or when a read takes some and kicks the waiter).
    watchInput = queued == 0;
    tick = queued != 0;
  }

  if (port.txPending && (wanted & kEV_TXEMPTY)) {
    int out = 0;
    if (::ioctl(port.fd, TIOCOUTQ, &out) != 0 || out == 0) {
      port.txPending = false;
      events |= kEV_TXEMPTY;
    } else {
      tick = true;
    }
  }

  if (port.modemLines && (wanted & kModemEvents)) {
    tick = true;
    int lines = 0;
    if (::ioctl(port.fd, TIOCMGET, &lines) == 0) {
      events |= ModemChangeEvents(StatusBits(port.lastModem), StatusBits(lines));
      port.lastModem = lines;
    }
  }
  if (port.counters && (wanted & (kModemEvents | kEV_BREAK))) {
    tick = true;
    serial_icounter_struct count{};
    if (::ioctl(port.fd, TIOCGICOUNT, &count) == 0) {
      // Counters catch pulses shorter than the tick.
      if (count.cts != port.lastCount.cts) events |= kEV_CTS;
      if (count.dsr != port.lastCount.dsr) events |= kEV_DSR;
      if (count.dcd != port.lastCount.dcd) events |= kEV_RLSD;
      if (count.rng != port.lastCount.rng) events |= kEV_RING;
      if (count.brk != port.lastCount.brk) events |= kEV_BREAK;
      port.lastCount = count;
    }
  }
  return events & wanted;
}

}  // namespace posix
