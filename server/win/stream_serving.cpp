// The serving loop of one connection, and sends that a stop can end.
//
// Receives and sends are overlapped and waited for together with the
// connection's wake event and the server's stop event, and cancelled when
// either is set: under Wine shutdown() ends neither a receive nor a send
// blocked in another thread, so a connection closed to make room would
// keep its thread, and a client that reads nothing would hold a stop, for
// as long as the call's timeout.
#include "stream_serving.h"

#include <winsock2.h>

#include <algorithm>

#include "winsock_helpers.h"

namespace tessard {
namespace {

// Waits for an overlapped operation started on the connection's socket;
// false when it failed or was cancelled because the connection or the
// server is closing, or `ms` passed (*timedOut).
bool Finish(Connection& c, WSAOVERLAPPED* overlapped, HANDLE stopEvent,
            DWORD ms, DWORD* transferred, bool* timedOut) {
  HANDLE events[] = {overlapped->hEvent, c.wake, stopEvent};
  DWORD woken = WaitForMultipleObjects(3, events, FALSE, ms);
  if (woken != WAIT_OBJECT_0) {
    CancelIoEx(reinterpret_cast<HANDLE>(c.socket), overlapped);
  }
  DWORD flags = 0;
  // Waits for the operation (or its cancellation) to let go of the buffer.
  if (WSAGetOverlappedResult(c.socket, overlapped, transferred, TRUE,
                             &flags)) {
    return true;  // done, perhaps just before it was cancelled
  }
  *timedOut = woken == WAIT_TIMEOUT;
  return false;
}

// Receives what has arrived, waiting up to `ms`: the byte count, 0 when
// the caller closed, -1 when the connection must close, -2 when `ms`
// passed with nothing.
int ReceiveSome(Connection& c, std::uint8_t* data, std::size_t size,
                HANDLE stopEvent, DWORD ms) {
  WSABUF buffer{static_cast<ULONG>(size), reinterpret_cast<char*>(data)};
  WSAOVERLAPPED overlapped = {};
  overlapped.hEvent = c.receiveDone;
  WSAResetEvent(c.receiveDone);
  DWORD received = 0;
  DWORD flags = 0;
  if (WSARecv(c.socket, &buffer, 1, &received, &flags, &overlapped,
              nullptr) != 0) {
    if (WSAGetLastError() != WSA_IO_PENDING) return -1;
    bool timedOut = false;
    if (!Finish(c, &overlapped, stopEvent, ms, &received, &timedOut)) {
      return timedOut ? -2 : -1;
    }
  }
  return static_cast<int>(received);
}

// Sends all of `size` bytes; false when the connection must close: the
// caller is gone, did not take the reply within kSendTimeoutMs, or the
// connection or the server is closing.
bool SendReply(Connection& c, const std::uint8_t* data, std::size_t size,
               HANDLE stopEvent) {
  while (size > 0) {
    WSABUF buffer{static_cast<ULONG>(std::min<std::size_t>(size, 1 << 20)),
                  reinterpret_cast<char*>(const_cast<std::uint8_t*>(data))};
    WSAOVERLAPPED overlapped = {};
    overlapped.hEvent = c.sendDone;
    WSAResetEvent(c.sendDone);
    DWORD sent = 0;
    if (WSASend(c.socket, &buffer, 1, &sent, 0, &overlapped, nullptr) != 0) {
      if (WSAGetLastError() != WSA_IO_PENDING) return false;
      bool timedOut = false;
      if (!Finish(c, &overlapped, stopEvent, kSendTimeoutMs, &sent,
                  &timedOut)) {
        return false;
      }
    }
    if (sent == 0) return false;
    data += sent;
    size -= sent;
  }
  return true;
}

}  // namespace

void ServeStream(Connection& c, PortMapper& mapper,
                 PortMapper::ReaderSlot& reader,
                 std::vector<std::uint8_t>& reply, StreamConnection& stream,
                 HANDLE stopEvent) {
  SetFlag(c.socket, IPPROTO_TCP, TCP_NODELAY, 1);
  stream.Open(c.caller);
  ULONGLONG messageStart = 0;
  std::uint8_t buffer[4096];
  while (!c.closing.load(std::memory_order_relaxed)) {
    // Until the call under way must be complete, or silence closes.
    ULONGLONG now = GetTickCount64();
    ULONGLONG deadline = stream.inMessage() ? messageStart + kMessageTimeoutMs
                                            : c.lastActiveMs + kIdleTimeoutMs;
    if (now >= deadline) return;
    int received =
        ReceiveSome(c, buffer, sizeof buffer, stopEvent,
                    static_cast<DWORD>(deadline - now));
    now = GetTickCount64();
    if (received == 0 || received == -1) return;
    if (received == -2) continue;  // the deadline is looked at again
    c.lastActiveMs = now;
    c.inCall = true;
    for (std::size_t pos = 0; pos < static_cast<std::size_t>(received);) {
      if (!stream.inMessage()) messageStart = now;
      std::size_t used = 0;
      reply.clear();
      bool open = stream.Receive(mapper, reader, buffer + pos,
                                 received - pos, &used, &reply);
      pos += used;
      if (!reply.empty() &&
          !SendReply(c, reply.data(), reply.size(), stopEvent)) {
        return;
      }
      if (!open) return;
      // Calls sent together are served one by one: a stop or a close for
      // room ends the connection between two of them.
      if (c.closing.load(std::memory_order_relaxed)) return;
    }
    c.inCall = stream.inMessage();
  }
}

}  // namespace tessard
