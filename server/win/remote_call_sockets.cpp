// Forwarding, the programs' replies, and broadcasts and the multicast
// group of one address.
#include "remote_call_sockets.h"

#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <cstring>

#include "caller_identity.h"
#include "connection_pool.h"
#include "system_calls.h"
#include "winsock_helpers.h"

namespace tessard {
namespace {

// The largest reply of a program we read: any datagram. What goes on to
// the caller is bounded by the core.
constexpr int kMaxProgramReply = 65536;

// libtirpc's udp6 broadcasts go to this group (RPCB_MULTICAST_ADDR).
constexpr std::uint8_t kRpcbMulticast[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0,
                                             0,    0,    0, 0, 0, 0, 0x02,
                                             0x02};

// The forwarding socket of an IPv4 address other than loopback is, like
// its port 111 socket, an IPv6 socket on the IPv4-mapped address: Wine
// binds a plain IPv4 socket to its interface instead (docs/wine-notes.md).
bool Mapped(const LocalAddress& a) { return !a.address.v6 && !a.loopback; }

// A socket bound to `at` (port included) of `family`; INVALID_SOCKET and
// *error when the system refuses.
SOCKET OpenDatagramSocket(int family, const InetAddress& at, unsigned long scopeId,
                   bool v6only, bool shared, DWORD* error) {
  SOCKET s = WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    *error = static_cast<DWORD>(WSAGetLastError());
    return s;
  }
  // A socket of 255.255.255.255 is shared by each interface's owner; the
  // others are ours alone.
  SetFlag(s, SOL_SOCKET, shared ? SO_REUSEADDR : SO_EXCLUSIVEADDRUSE, 1);
  if (family == AF_INET6) SetFlag(s, IPPROTO_IPV6, IPV6_V6ONLY, v6only);
  sockaddr_storage address;
  int length = ToSockaddr(at, scopeId, &address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    *error = static_cast<DWORD>(WSAGetLastError());
    closesocket(s);
    return INVALID_SOCKET;
  }
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0,
           &returned, nullptr, nullptr);
  return s;
}

// An IPv4 network's broadcast address, or false for a network too small
// to have one (a /31 or /32).
bool SubnetBroadcast(const LocalAddress& a, InetAddress* out) {
  if (a.address.v6 || a.prefixLength >= 31) return false;
  *out = a.address;
  for (unsigned bit = a.prefixLength; bit < 32; ++bit) {
    out->host[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
  }
  return true;
}

bool IsLinkLocal6(const InetAddress& a) {
  return a.v6 && a.host[0] == 0xFE && (a.host[1] & 0xC0) == 0x80;
}

LPFN_WSARECVMSG ReceiveMessageFunction(SOCKET s) {
  GUID id = WSAID_WSARECVMSG;
  LPFN_WSARECVMSG function = nullptr;
  DWORD returned = 0;
  if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
               &function, sizeof function, &returned, nullptr,
               nullptr) != 0) {
    return nullptr;
  }
  return function;
}

// Where a datagram was sent and on which interface it came, from its
// packet information.
void ReadPacketInfo(WSAMSG* message, InetAddress* destination,
                    unsigned long* interfaceIndex) {
  for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(message); c;
       c = WSA_CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      const auto* info = reinterpret_cast<const IN_PKTINFO*>(WSA_CMSG_DATA(c));
      *destination = InetAddress();
      std::memcpy(destination->host, &info->ipi_addr, 4);
      *interfaceIndex = info->ipi_ifindex;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      const auto* info =
          reinterpret_cast<const IN6_PKTINFO*>(WSA_CMSG_DATA(c));
      InetAddress a;
      a.v6 = true;
      std::memcpy(a.host, &info->ipi6_addr, 16);
      *destination = FromMapped(a);
      *interfaceIndex = info->ipi6_ifindex;
    }
  }
}

}  // namespace

RemoteCallSockets::RemoteCallSockets(const LocalAddress& address,
                                     PortMapper& mapper)
    : address_(address), served_(address.address), mapper_(mapper),
      stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  served_.port = kPortMapperPort;
}

RemoteCallSockets::~RemoteCallSockets() {
  SignalStop();
  Join();
  if (stopped_) sys::CloseHandle(stopped_);
}

DWORD RemoteCallSockets::Open(SOCKET answerFrom) {
  if (!stopped_) return GetLastError();
  answerFrom_ = answerFrom;
  const bool mapped = Mapped(address_);
  // Port 0: the system chooses one of its dynamic ports, all above 1023,
  // so that no program takes a forward for a call from a privileged port.
  InetAddress at = mapped ? ToMapped(address_.address) : address_.address;
  at.port = 0;
  DWORD error = 0;
  forwarding_ = OpenDatagramSocket(address_.address.v6 || mapped ? AF_INET6 : AF_INET,
                            at, address_.scopeId, !mapped, false, &error);
  if (forwarding_ == INVALID_SOCKET) return error;
  if (!address_.loopback) OpenBroadcastSockets();
  return 0;
}

void RemoteCallSockets::OpenBroadcastSockets() {
  DWORD error = 0;
  DWORD on = 1;
  if (!address_.address.v6) {
    // Wine delivers an interface's broadcasts to a socket bound to the
    // broadcast address, which Windows refuses: there they reach the
    // socket of the interface's address itself. The first address of a
    // network binds its broadcast, and then 255.255.255.255, shared with
    // the other networks' first addresses, taking its interface's
    // datagrams only.
    InetAddress subnet;
    if (!SubnetBroadcast(address_, &subnet)) return;
    InetAddress limited;
    std::memset(limited.host, 0xFF, 4);
    for (bool shared : {false, true}) {
      InetAddress at = ToMapped(shared ? limited : subnet);
      at.port = kPortMapperPort;
      SOCKET s = OpenDatagramSocket(AF_INET6, at, 0, false, shared, &error);
      if (s == INVALID_SOCKET) return;
      setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<char*>(&on),
                 sizeof on);
      setsockopt(s, IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<char*>(&on),
                 sizeof on);
      broadcasts_.push_back(s);
    }
    return;
  }
  // One socket of the group per interface: a link-local address leaves
  // it to the interface's other addresses, whose replies any caller can
  // answer again.
  if (IsLinkLocal6(address_.address)) return;
  ipv6_mreq group = {};
  std::memcpy(&group.ipv6mr_multiaddr, kRpcbMulticast, 16);
  group.ipv6mr_interface = address_.interfaceIndex;
  // Wine delivers the group's datagrams only to a socket bound to the
  // group (or to ::, which port 111's other sockets exclude); Windows
  // refuses that bind and delivers them to the socket of the interface's
  // address that joined.
  InetAddress at;
  at.v6 = true;
  std::memcpy(at.host, kRpcbMulticast, 16);
  at.port = kPortMapperPort;
  SOCKET s = OpenDatagramSocket(AF_INET6, at, address_.interfaceIndex, true, false,
                         &error);
  SOCKET joins = s != INVALID_SOCKET ? s : answerFrom_;
  if (setsockopt(joins, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP,
                 reinterpret_cast<char*>(&group), sizeof group) != 0 ||
      s == INVALID_SOCKET) {
    if (s != INVALID_SOCKET) closesocket(s);
    return;
  }
  setsockopt(s, IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<char*>(&on),
             sizeof on);
  broadcasts_.push_back(s);
}

bool RemoteCallSockets::Start() {
  if (forwarding_ == INVALID_SOCKET) return true;
  try {
    thread_ = std::thread([this] { ServeSockets(); });
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void RemoteCallSockets::SignalStop() {
  stopping_ = true;
  if (stopped_) SetEvent(stopped_);
}

void RemoteCallSockets::Join() {
  if (thread_.joinable()) thread_.join();
  if (forwarding_ != INVALID_SOCKET) closesocket(forwarding_);
  forwarding_ = INVALID_SOCKET;
  for (SOCKET s : broadcasts_) closesocket(s);
  broadcasts_.clear();
}

void RemoteCallSockets::Serve(PortMapper::ReaderSlot& reader,
                              const std::uint8_t* call, std::size_t size,
                              const sockaddr_storage& from, int fromLength,
                              const InetAddress& destination,
                              std::vector<std::uint8_t>* reply) {
  // The dual-stack socket's callers arrive as ::ffff:a.b.c.d: the rules
  // see them as the IPv4 callers they are.
  InetAddress source = FromMapped(ToInet(from));
  if (source.port == 0) return;  // nowhere to answer
  Caller caller;
  caller.netid = address_.address.v6 ? "udp6" : "udp";
  caller.transport = Transport::kDatagram;
  caller.source = source;
  caller.destination = destination;
  caller.receivedOn = served_;
  // Looked up only when a SET or UNSET asks who sent it.
  CallerIdentity identity(caller);
  caller.identity = &identity;
  reply->clear();
  InetAddress program;
  switch (mapper_.HandleCall(reader, call, size, caller, reply, &program)) {
    case CallOutcome::kReply:
      sendto(answerFrom_, reinterpret_cast<const char*>(reply->data()),
             static_cast<int>(reply->size()), 0,
             reinterpret_cast<const sockaddr*>(&from), fromLength);
      break;
    case CallOutcome::kForward: {
      sockaddr_storage to;
      InetAddress target = Mapped(address_) ? ToMapped(program) : program;
      int length = ToSockaddr(target, address_.scopeId, &to);
      if (forwarding_ == INVALID_SOCKET ||
          sendto(forwarding_, reinterpret_cast<const char*>(reply->data()),
                 static_cast<int>(reply->size()), 0,
                 reinterpret_cast<sockaddr*>(&to), length) < 0) {
        mapper_.CancelForward(LoadU32(reply->data()));
      }
      break;
    }
    default:
      break;
  }
}

// One thread serves every socket of the address's remote calls: it waits
// until one of them has a datagram, or the stop, and then reads each in
// turn until none has one left, so that no socket's traffic can keep the
// others unread.
void RemoteCallSockets::ServeSockets() {
  PortMapper::ReaderSlot reader(mapper_);
  Buffers buffers;
  try {
    buffers.received.resize(std::max<std::size_t>(kMaxProgramReply,
                                                  kMaxCallSize));
    buffers.reply.reserve(kMaxDatagramReply);
  } catch (const std::bad_alloc&) {
    return;  // forwards from this address then time out
  }
  HANDLE readable = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!readable) return;
  // Makes each socket non-blocking, and sets the event while it has a
  // datagram to read.
  bool watched = WSAEventSelect(forwarding_, readable, FD_READ) == 0;
  LPFN_WSARECVMSG receive =
      broadcasts_.empty() ? nullptr : ReceiveMessageFunction(broadcasts_[0]);
  for (SOCKET s : broadcasts_) {
    if (receive) watched = watched && WSAEventSelect(s, readable, FD_READ) == 0;
  }
  const HANDLE waits[] = {readable, stopped_};
  while (watched && !stopping_.load(std::memory_order_relaxed)) {
    // The sockets are also read every kPollMs, in case an event was
    // missed.
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kPollMs);
    if (woken == WAIT_FAILED) break;
    if (woken == WAIT_OBJECT_0 + 1) continue;  // the stop
    for (bool more = true;
         more && !stopping_.load(std::memory_order_relaxed);) {
      more = TakeReply(buffers);
      for (SOCKET s : broadcasts_) {
        if (receive && TakeBroadcast(s, receive, reader, buffers)) more = true;
      }
    }
  }
  sys::CloseHandle(readable);
}

// Reads one reply of a program from the forwarding socket and passes it to
// the caller it answers; false when there was none to read.
bool RemoteCallSockets::TakeReply(Buffers& buffers) {
  std::vector<std::uint8_t>& received = buffers.received;
  sockaddr_storage from = {};
  int fromLength = sizeof from;
  int n = recvfrom(forwarding_, reinterpret_cast<char*>(received.data()),
                   static_cast<int>(received.size()), 0,
                   reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) {
    int error = WSAGetLastError();
    return error != WSAEWOULDBLOCK && IsTransientDatagramError(error);
  }
  buffers.reply.clear();
  InetAddress caller;
  if (!mapper_.AnswerForward(received.data(), static_cast<std::size_t>(n),
                             FromMapped(ToInet(from)), &buffers.reply,
                             &caller)) {
    return true;
  }
  // A caller on a link-local address is reached through this interface.
  sockaddr_storage to;
  InetAddress target = Mapped(address_) ? ToMapped(caller) : caller;
  int length = ToSockaddr(
      target, IsLinkLocal6(caller) ? address_.interfaceIndex : 0, &to);
  sendto(answerFrom_, reinterpret_cast<const char*>(buffers.reply.data()),
         static_cast<int>(buffers.reply.size()), 0,
         reinterpret_cast<sockaddr*>(&to), length);
  return true;
}

// Reads one call from a broadcast or multicast socket and serves it; false
// when there was none to read.
bool RemoteCallSockets::TakeBroadcast(SOCKET s, LPFN_WSARECVMSG receive,
                                      PortMapper::ReaderSlot& reader,
                                      Buffers& buffers) {
  std::vector<std::uint8_t>& call = buffers.received;
  sockaddr_storage from = {};
  char control[128];
  WSABUF buffer{static_cast<ULONG>(kMaxCallSize),
                reinterpret_cast<char*>(call.data())};
  WSAMSG message = {};
  message.name = reinterpret_cast<sockaddr*>(&from);
  message.namelen = sizeof from;
  message.lpBuffers = &buffer;
  message.dwBufferCount = 1;
  message.Control.buf = control;
  message.Control.len = sizeof control;
  DWORD received = 0;
  if (receive(s, &message, &received, nullptr, nullptr) != 0) {
    int error = WSAGetLastError();
    return error != WSAEWOULDBLOCK && IsTransientDatagramError(error);
  }
  InetAddress destination = served_;
  unsigned long interfaceIndex = address_.interfaceIndex;
  ReadPacketInfo(&message, &destination, &interfaceIndex);
  // 255.255.255.255 reaches every interface's socket: each takes its own
  // interface's.
  if (interfaceIndex == address_.interfaceIndex) {
    Serve(reader, call.data(), received, from, message.namelen, destination,
          &buffers.reply);
  }
  return true;
}

}  // namespace tessard
