// The sockets of one address, the datagram threads and the acceptor.
#include "address_endpoint.h"

#include <ws2tcpip.h>
#include <mswsock.h>

#include "system_calls.h"
#include "winsock_helpers.h"

namespace tessard {
namespace {

// Threads waiting on each datagram socket: under Wine one thread alone
// leaves the socket unwatched while it replies, and each call then waits
// for its next receive to pass through the wineserver. On a quiet 2-core
// machine (scripts/bench) a do-nothing responder serves 4,300 calls/s with
// one thread and 7,700 with four (1 client), 4,500 and 12,500 (8 clients).
// Only while another program keeps a core busy does one thread win. Local
// programs call on loopback, which gets the most; other addresses serve
// other machines' look-ups.
constexpr unsigned kDatagramThreads = 4;  // 127.0.0.1
constexpr unsigned kDatagramThreads6 = 2;  // ::1
constexpr unsigned kOtherDatagramThreads = 2;
constexpr unsigned kOtherDatagramThreads6 = 1;

unsigned DatagramThreads(const LocalAddress& a) {
  if (a.loopback) return a.address.v6 ? kDatagramThreads6 : kDatagramThreads;
  return a.address.v6 ? kOtherDatagramThreads6 : kOtherDatagramThreads;
}

// Connections waiting to be accepted, at most: no more than the server
// keeps open. Beyond it the system turns new connections away, and their
// clients try again a second later; a queue of thousands, which a flood
// from one address fills at once, would keep every other client waiting
// behind the flood for seconds.
constexpr int kListenBacklog =
    static_cast<int>(AdmissionLimits{}.maxConnections);

// A UDP socket of an IPv4 address other than loopback is a dual-stack IPv6
// socket bound to the IPv4-mapped address: Wine binds a plain IPv4 UDP
// socket of a non-loopback address to the wildcard address of its
// interface instead (docs/wine-notes.md), and its replies would leave from
// another address. Windows binds both alike. Every other IPv6 socket is
// IPv6-only.
bool IsMappedDatagram(const LocalAddress& a, bool stream) {
  return !stream && !a.address.v6 && !a.loopback;
}

// Opens one socket of port 111 on `address`.
DWORD OpenSocket(const LocalAddress& a, bool stream, SOCKET* out) {
  const bool mapped = IsMappedDatagram(a, stream);
  int family = a.address.v6 || mapped ? AF_INET6 : AF_INET;
  // Receive timeouts, which every wait relies on to see a stop, work only
  // on overlapped sockets (Windows documents it; Wine ignores them too).
  SOCKET s = WSASocketW(family, stream ? SOCK_STREAM : SOCK_DGRAM,
                        stream ? IPPROTO_TCP : IPPROTO_UDP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return static_cast<DWORD>(WSAGetLastError());
  // Nobody else may bind port 111 beside us and take part of its traffic.
  SetFlag(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  if (family == AF_INET6) SetFlag(s, IPPROTO_IPV6, IPV6_V6ONLY, !mapped);
  InetAddress bound = mapped ? ToMapped(a.address) : a.address;
  bound.port = kPortMapperPort;
  sockaddr_storage address;
  int length = ToSockaddr(bound, a.scopeId, &address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (stream && listen(s, kListenBacklog) != 0)) {
    DWORD error = static_cast<DWORD>(WSAGetLastError());
    closesocket(s);
    return error;
  }
  if (!stream) {
    // An ICMP "port unreachable" for an earlier reply must not end up as
    // an error of the next receive.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0,
             &returned, nullptr, nullptr);
    SetFlag(s, SOL_SOCKET, SO_RCVTIMEO, kPollMs);
  }
  *out = s;
  return 0;
}

}  // namespace

AddressEndpoint::AddressEndpoint(const LocalAddress& address,
                                 PortMapper& mapper, ConnectionPool& pool)
    : address_(address), served_(address.address), mapper_(mapper),
      pool_(pool), remote_(address, mapper),
      stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  served_.port = kPortMapperPort;
}

AddressEndpoint::~AddressEndpoint() {
  SignalStop();
  Join();
  if (stopped_) sys::CloseHandle(stopped_);
}

DWORD AddressEndpoint::Open(std::string* failed) {
  if (!stopped_) return GetLastError();
  const bool v6 = address_.address.v6;
  DWORD error = OpenSocket(address_, false, &udp_);
  if (error == 0) {
    error = OpenSocket(address_, true, &tcp_);
    if (error != 0) *failed = v6 ? "TCP over IPv6" : "TCP";
  } else {
    *failed = v6 ? "UDP over IPv6" : "UDP";
  }
  if (error != 0) {
    if (udp_ != INVALID_SOCKET) closesocket(udp_);
    udp_ = INVALID_SOCKET;
    return error;
  }
  // Without a forwarding socket the address is served all the same; its
  // remote calls are dropped.
  remote_.Open(udp_);
  return 0;
}

bool AddressEndpoint::Start() {
  try {
    for (unsigned i = DatagramThreads(address_); i > 0; --i) {
      threads_.emplace_back([this] { ServeDatagrams(); });
    }
    threads_.emplace_back([this] { AcceptConnections(); });
  } catch (const std::exception&) {
    return !threads_.empty();
  }
  remote_.Start();
  return true;
}

void AddressEndpoint::SignalStop() {
  if (stopping_.exchange(true)) return;
  SetEvent(stopped_);
  WakeDatagramThreads();
  remote_.SignalStop();
}

// A datagram thread blocks in its receive: an empty datagram to each wakes
// it to see the stop. (Closing the socket under it would let the system
// give the socket's number to another while the thread still uses it.) A
// datagram lost, or an address already gone, leaves the thread to its
// receive timeout.
void AddressEndpoint::WakeDatagramThreads() {
  if (udp_ == INVALID_SOCKET) return;
  sockaddr_storage to;
  int length = ToSockaddr(served_, address_.scopeId, &to);
  SOCKET s = socket(to.ss_family, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  for (unsigned i = DatagramThreads(address_); i > 0; --i) {
    sendto(s, "", 0, 0, reinterpret_cast<sockaddr*>(&to), length);
  }
  closesocket(s);
}

void AddressEndpoint::Join() {
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  // Its threads answer through the port 111 socket: joined before it closes.
  remote_.Join();
  for (SOCKET* s : {&udp_, &tcp_}) {
    if (*s != INVALID_SOCKET) closesocket(*s);
    *s = INVALID_SOCKET;
  }
}

Caller AddressEndpoint::CallerFrom(const InetAddress& source) const {
  Caller caller;
  const bool v6 = address_.address.v6;
  caller.netid = v6 ? "tcp6" : "tcp";
  caller.transport = Transport::kStream;
  caller.source = source;
  // The socket is bound to the address the call came to.
  caller.destination = served_;
  caller.receivedOn = served_;
  return caller;
}

void AddressEndpoint::ServeDatagrams() {
  PortMapper::ReaderSlot reader(mapper_);
  std::vector<std::uint8_t> reply;
  std::vector<std::uint8_t> call;
  try {
    reply.reserve(kMaxDatagramReply);
    call.resize(kMaxCallSize);
  } catch (const std::bad_alloc&) {
    return;  // the socket's other threads serve it
  }
  while (!stopping_.load(std::memory_order_relaxed)) {
    sockaddr_storage from = {};
    int fromLength = sizeof from;
    int received = recvfrom(udp_, reinterpret_cast<char*>(call.data()),
                            static_cast<int>(call.size()), 0,
                            reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (stopping_.load(std::memory_order_relaxed)) break;
    // A datagram larger than any call (WSAEMSGSIZE) is not ours to read.
    if (received < 0) {
      if (IsTransientDatagramError(WSAGetLastError())) continue;
      break;
    }
    remote_.Serve(reader, call.data(), static_cast<std::size_t>(received),
                  from, fromLength, served_, &reply);
  }
}

void AddressEndpoint::AcceptConnections() {
  // After each wait, every connection that has arrived is taken: a flood
  // must not leave others waiting in the listen queue behind it. The wait
  // ends at once on a stop.
  HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!arrived) return;
  if (WSAEventSelect(tcp_, arrived, FD_ACCEPT) != 0) {
    sys::CloseHandle(arrived);
    return;
  }
  const HANDLE waits[] = {arrived, stopped_};
  PortMapper::ReaderSlot reader(mapper_);
  while (!stopping_.load(std::memory_order_relaxed)) {
    // The queue is also looked at every kPollMs: an event the system
    // failed to set costs a connection that long, no more.
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kPollMs);
    if (woken == WAIT_FAILED) break;
    if (woken == WAIT_OBJECT_0 + 1) continue;  // the stop
    for (;;) {
      sockaddr_storage peer = {};
      int length = sizeof peer;
      SOCKET s = accept(tcp_, reinterpret_cast<sockaddr*>(&peer), &length);
      if (s == INVALID_SOCKET) {
        // Out of sockets or memory for a moment: let connections end, then
        // try the connection that waits again.
        int error = WSAGetLastError();
        if (error == WSAEMFILE || error == WSAENOBUFS) {
          WaitForSingleObject(stopped_, kPollMs);
          SetEvent(arrived);
        }
        break;
      }
      // An accepted socket takes its listener's event selection and mode;
      // the serving thread waits on its own events.
      WSAEventSelect(s, nullptr, 0);
      u_long blocking = 0;
      ioctlsocket(s, FIONBIO, &blocking);
      InetAddress source = ToInet(peer);
      Caller caller = CallerFrom(source);
      // A caller the settings shut out is closed at once, and recorded.
      if (!mapper_.LetConnectionIn(reader, caller)) {
        closesocket(s);
        continue;
      }
      pool_.AdmitConnection(s, caller, source);
      if (stopping_.load(std::memory_order_relaxed)) break;
    }
  }
  sys::CloseHandle(arrived);
}

}  // namespace tessard
