// The POSIX platform's writes and reads: a write goes straight into the
// driver while nothing is queued before it, and what does not fit goes to
// the port's writer thread; a read takes one byte without waiting and
// decodes the parity marks of a line that checks parity.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "Platform.h"

namespace posix {

WriteResult PosixPlatform::Write(PortHandle h, std::span<const std::uint8_t> data,
                                 std::chrono::milliseconds wait) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0};
  Port& port = *use.port;
  const auto began = std::chrono::steady_clock::now();
  std::unique_lock lock(port.mutex);
  WriteResult result;
  std::size_t done = 0;
  // Straight into the driver while no earlier write is still being sent.
  while (port.txQueue.empty() && done < data.size()) {
    const ssize_t n = ::write(port.fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      result.error = Errno();
      result.count = static_cast<std::uint32_t>(done);
      return result;
    }
    break;
  }
  if (done == data.size()) {
    result.count = static_cast<std::uint32_t>(done);
    if (done > 0) {
      port.txPending = true;
      WakeWaiter(port);
    }
    return result;
  }
  // Held up (flow control, a full driver queue): the rest is sent by the
  // port's writer. The caller waits at most `wait` for it; after that the
  // wait is abandoned, not the write, which goes on up to the port's
  // write time-out, a purge or the close.
  auto chunk = std::make_shared<TxChunk>();
  chunk->bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(done), data.end());
  const std::uint64_t bound = port.writeTimeoutConstant +
                              static_cast<std::uint64_t>(port.writeTimeoutMultiplier) * data.size();
  chunk->hasDeadline = bound != 0;
  chunk->deadline = began + std::chrono::milliseconds(bound);
  chunk->abortGeneration = port.abortGeneration;
  port.txQueue.push_back(chunk);
  if (!port.writer.joinable()) {
    port.writer = std::thread([p = use.port] { Writer(*p); });
  }
  port.txChanged.notify_all();
  port.txChanged.wait_until(lock, began + wait, [&] { return chunk->done; });
  result.count = static_cast<std::uint32_t>(done + chunk->sent);
  result.error = chunk->done ? chunk->error : ETIMEDOUT;
  return result;
}

void PosixPlatform::Writer(Port& port) {
  std::unique_lock lock(port.mutex);
  for (;;) {
    port.txChanged.wait(lock, [&] { return port.closing || !port.txQueue.empty(); });
    const auto finish = [&](std::int32_t error) {
      const auto chunk = port.txQueue.front();
      chunk->done = true;
      chunk->error = error;
      port.txQueue.pop_front();
      port.txChanged.notify_all();
    };
    if (port.closing) {
      while (!port.txQueue.empty()) finish(ECANCELED);
      return;
    }
    TxChunk& chunk = *port.txQueue.front();
    if (chunk.abortGeneration != port.abortGeneration) {
      finish(ECANCELED);  // purged; writes queued after the purge go on
      continue;
    }
    if (chunk.hasDeadline && std::chrono::steady_clock::now() >= chunk.deadline) {
      finish(ETIMEDOUT);
      continue;
    }
    const ssize_t n =
        ::write(port.fd, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent);
    if (n > 0) {
      chunk.sent += static_cast<std::size_t>(n);
      if (chunk.sent == chunk.bytes.size()) {
        finish(0);
        port.txPending = true;
        WakeWaiter(port);
      }
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      finish(Errno());
      continue;
    }
    // No room: wait a slice for it, then look at close, purge and
    // deadline again.
    const int fd = port.fd;
    lock.unlock();
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, kWriteSliceMs);
    lock.lock();
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !port.txQueue.empty()) {
      finish(EIO);
    }
  }
}

ReadResult PosixPlatform::ReadByte(PortHandle h, std::chrono::milliseconds) {
  Use use(ports_, h);
  if (use.error != 0) return {use.error, 0, 0};
  Port& port = *use.port;
  std::lock_guard lock(port.mutex);
  ReadResult result;
  int empty = 0;
  while (empty < 2) {
    std::uint8_t byte = 0;
    const ssize_t n = ::read(port.fd, &byte, 1);
    if (n == 1) {
      empty = 0;
      ++port.consumed;
      if (port.waiterBlind) WakeWaiter(port);
      if (port.parityMarks) {
        // A marked sequence is decoded as a whole; its bytes arrive
        // together, so the rest is normally there already.
        std::uint8_t out = 0;
        const auto decoded = port.decoder.Feed(byte, out);
        if (decoded == ParityMarkDecoder::Result::NeedMore) continue;
        if (decoded == ParityMarkDecoder::Result::ByteWithError) {
          port.errorFlags |= (out == 0 || !port.parityOn) ? kCE_FRAME : kCE_RXPARITY;
        }
        byte = out;
      }
      result.count = 1;
      result.byte = byte;
      return result;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      result.error = Errno();  // EIO once the far end has hung up
      return result;
    }
    // Nothing read. A line that is readable but yields nothing has hung up.
    pollfd p{port.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return result;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      result.error = EIO;
      return result;
    }
    if (!(p.revents & POLLIN)) return result;
    // Readable: a byte may have arrived just now; one more try decides.
    ++empty;
  }
  result.error = EIO;
  return result;
}

}  // namespace posix

ParityMarkDecoder::Result ParityMarkDecoder::Feed(std::uint8_t in, std::uint8_t& out) {
  switch (state_) {
    case 0:
      if (in == 0xFF) {
        state_ = 1;
        return Result::NeedMore;
      }
      out = in;
      return Result::Byte;
    case 1:
      if (in == 0x00) {
        state_ = 2;
        return Result::NeedMore;
      }
      // 0xFF 0xFF is a received 0xFF; anything else after a lone 0xFF
      // cannot come from the line discipline and is passed on as it is.
      state_ = 0;
      out = in;
      return Result::Byte;
    default:
      state_ = 0;
      out = in;
      return Result::ByteWithError;
  }
}
