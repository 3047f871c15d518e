// Sockets, the datagram workers, the acceptors and the connection pool.
#include "network_server.h"

#include <algorithm>

namespace tessard {
namespace {

// Threads waiting on each datagram socket: under Wine one thread alone
// leaves the socket unwatched while it replies, and each call then waits
// for its next receive to pass through the wineserver. On a quiet 2-core
// machine (scripts/bench) a do-nothing responder serves 4,300 calls/s with
// one thread and 7,700 with four (1 client), 4,500 and 12,500 (8 clients).
// Only while another program keeps a core busy does one thread win.
constexpr unsigned kDatagramThreads = 4;
constexpr unsigned kDatagramThreads6 = 2;
// Pool threads: one per connection, and room for evicted ones to finish.
// After a burst, threads idle for kSpareIdleMs end, but for kSpareThreads:
// under Wine each thread keeps about a megabyte.
constexpr std::size_t kMaxConnectionThreads = kMaxConnections + 16;
constexpr std::size_t kSpareThreads = 4;
constexpr DWORD kSpareIdleMs = 10000;
// A reply buffer that grew for a large DUMP is given back past this.
constexpr std::size_t kReplyKeep = 64 * 1024;

InetAddress ToInet(const sockaddr_storage& address) {
  InetAddress inet;
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet.v6 = true;
    std::memcpy(inet.host, &in6.sin6_addr, 16);
    inet.port = ntohs(in6.sin6_port);
  } else {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(inet.host, &in.sin_addr, 4);
    inet.port = ntohs(in.sin_port);
  }
  return inet;
}

void SetTimeout(SOCKET socket, int option, DWORD ms) {
  setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms),
             sizeof ms);
}

void SetFlag(SOCKET socket, int level, int option, DWORD value) {
  setsockopt(socket, level, option, reinterpret_cast<const char*>(&value),
             sizeof value);
}

bool SendAll(SOCKET socket, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    int sent = send(socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Whether a datagram socket's wait ended for a reason to try again.
bool Transient(int error) {
  return error == WSAETIMEDOUT || error == WSAEMSGSIZE ||
         error == WSAECONNRESET || error == WSAENETRESET ||
         error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace

NetworkServer::NetworkServer() {
  endpoints_ = {{INVALID_SOCKET, "udp", false, false},
                {INVALID_SOCKET, "tcp", false, true},
                {INVALID_SOCKET, "udp6", true, false},
                {INVALID_SOCKET, "tcp6", true, true}};
}

NetworkServer::~NetworkServer() { Stop(); }

DWORD NetworkServer::OpenEndpoint(Endpoint* e) {
  int family = e->v6 ? AF_INET6 : AF_INET;
  // Receive timeouts, which every wait relies on to see a stop, work only
  // on overlapped sockets (Windows documents it; Wine ignores them too).
  SOCKET s = WSASocketW(family, e->stream ? SOCK_STREAM : SOCK_DGRAM,
                        e->stream ? IPPROTO_TCP : IPPROTO_UDP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return static_cast<DWORD>(WSAGetLastError());
  // Nobody else may bind port 111 beside us and take part of its traffic.
  SetFlag(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  if (e->v6) SetFlag(s, IPPROTO_IPV6, IPV6_V6ONLY, 1);

  sockaddr_storage address = {};
  int length;
  if (e->v6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(kPortMapperPort);
    length = sizeof in6;
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = htons(kPortMapperPort);
    length = sizeof in;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (e->stream && listen(s, SOMAXCONN) != 0)) {
    DWORD error = static_cast<DWORD>(WSAGetLastError());
    closesocket(s);
    return error;
  }
  if (!e->stream) {
    // An ICMP "port unreachable" for an earlier reply must not end up as
    // an error of the next receive.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0,
             &returned, nullptr, nullptr);
    // The address each call came to, to answer wildcard registrations.
    SetFlag(s, e->v6 ? IPPROTO_IPV6 : IPPROTO_IP,
            e->v6 ? IPV6_PKTINFO : IP_PKTINFO, 1);
    SetTimeout(s, SO_RCVTIMEO, kPollMs);
    if (!recvMsg_) {
      GUID guid = WSAID_WSARECVMSG;
      WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid,
               &recvMsg_, sizeof recvMsg_, &returned, nullptr, nullptr);
    }
  }
  e->socket = s;
  return 0;
}

DWORD NetworkServer::Open(const std::function<void()>& progress,
                          std::string* failed) {
  static const char* const kNames[] = {"UDP", "TCP", "UDP over IPv6",
                                       "TCP over IPv6"};
  for (std::size_t i = 0; i < endpoints_.size(); ++i) {
    Endpoint& e = endpoints_[i];
    DWORD error = OpenEndpoint(&e);
    if (error != 0) {
      // No IPv6 on this system, or no IPv6 address: serve IPv4 alone.
      if (e.v6 && (error == WSAEAFNOSUPPORT || error == WSAEPROTONOSUPPORT ||
                   error == WSAEADDRNOTAVAIL || error == WSAEPFNOSUPPORT)) {
        continue;
      }
      *failed = kNames[i];
      for (Endpoint& opened : endpoints_) {
        if (opened.socket != INVALID_SOCKET) closesocket(opened.socket);
        opened.socket = INVALID_SOCKET;
      }
      return error;
    }
    mapper_.AddOwnTransport(e.netid);
    if (progress) progress();
  }
  return 0;
}

std::string NetworkServer::Transports() const {
  std::string names;
  for (const Endpoint& e : endpoints_) {
    if (e.socket == INVALID_SOCKET) continue;
    if (!names.empty()) names += ' ';
    names += e.netid;
  }
  return names;
}

void NetworkServer::Start() {
  for (const Endpoint& e : endpoints_) {
    if (e.socket == INVALID_SOCKET) continue;
    if (e.stream) {
      threads_.emplace_back([this, &e] { AcceptConnections(e); });
      continue;
    }
    unsigned count = e.v6 ? kDatagramThreads6 : kDatagramThreads;
    for (unsigned i = 0; i < count; ++i) {
      threads_.emplace_back([this, &e] { ServeDatagrams(e); });
    }
  }
}

void NetworkServer::Stop() {
  if (stopping_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(poolLock_);
    for (Connection* c : active_) shutdown(c->socket, SD_BOTH);
    for (Connection* c : pending_) {
      closesocket(c->socket);
      delete c;
    }
    pending_.clear();
  }
  poolWake_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  for (std::thread& t : connectionThreads_) t.join();
  connectionThreads_.clear();
  for (Endpoint& e : endpoints_) {
    if (e.socket != INVALID_SOCKET) closesocket(e.socket);
    e.socket = INVALID_SOCKET;
  }
}

void NetworkServer::ServeDatagrams(const Endpoint& e) {
  PortMapper::Worker worker(mapper_);
  std::vector<std::uint8_t> reply;
  reply.reserve(kMaxDatagramReply);
  std::vector<std::uint8_t> call(kMaxCallSize);
  char control[128];
  Caller caller;
  caller.netid = e.netid;
  while (!stopping_.load(std::memory_order_relaxed)) {
    sockaddr_storage from = {};
    WSABUF buffer{static_cast<ULONG>(call.size()),
                  reinterpret_cast<char*>(call.data())};
    WSAMSG message = {};
    message.name = reinterpret_cast<sockaddr*>(&from);
    message.namelen = sizeof from;
    message.lpBuffers = &buffer;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD received = 0;
    if (recvMsg_(e.socket, &message, &received, nullptr, nullptr) != 0) {
      if (Transient(WSAGetLastError())) continue;
      break;
    }
    // Larger than any call: not ours to read.
    if (message.dwFlags & MSG_TRUNC) continue;
    InetAddress source = ToInet(from);
    if (source.port == 0) continue;  // nowhere to answer
    caller.source = source;
    caller.hasDestination = false;
    for (WSACMSGHDR* h = WSA_CMSG_FIRSTHDR(&message); h;
         h = WSA_CMSG_NXTHDR(&message, h)) {
      if (h->cmsg_level == IPPROTO_IP && h->cmsg_type == IP_PKTINFO) {
        const auto* info = reinterpret_cast<IN_PKTINFO*>(WSA_CMSG_DATA(h));
        caller.destination = InetAddress{};
        std::memcpy(caller.destination.host, &info->ipi_addr, 4);
        caller.hasDestination = true;
      } else if (h->cmsg_level == IPPROTO_IPV6 &&
                 h->cmsg_type == IPV6_PKTINFO) {
        const auto* info = reinterpret_cast<IN6_PKTINFO*>(WSA_CMSG_DATA(h));
        caller.destination = InetAddress{};
        caller.destination.v6 = true;
        std::memcpy(caller.destination.host, &info->ipi6_addr, 16);
        caller.hasDestination = true;
      }
    }
    reply.clear();
    if (mapper_.HandleCall(worker, call.data(), received, caller, &reply) ==
        CallOutcome::kReply) {
      sendto(e.socket, reinterpret_cast<const char*>(reply.data()),
             static_cast<int>(reply.size()), 0,
             reinterpret_cast<sockaddr*>(&from), message.namelen);
    }
  }
}

void NetworkServer::AcceptConnections(const Endpoint& e) {
  while (!stopping_.load(std::memory_order_relaxed)) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(e.socket, &readable);
    timeval wait{0, static_cast<long>(kPollMs) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    sockaddr_storage peer = {};
    int length = sizeof peer;
    SOCKET s = accept(e.socket, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
      // Out of sockets or memory for a moment: let connections end.
      int error = WSAGetLastError();
      if (error == WSAEMFILE || error == WSAENOBUFS) Sleep(kPollMs);
      continue;
    }
    Hand(s, e, peer);
  }
}

void NetworkServer::Hand(SOCKET s, const Endpoint& e,
                         const sockaddr_storage& peer) {
  auto* connection = new Connection();
  connection->socket = s;
  connection->caller.netid = e.netid;
  connection->caller.transport = Transport::kStream;
  connection->caller.source = ToInet(peer);
  sockaddr_storage local = {};
  int length = sizeof local;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    connection->caller.destination = ToInet(local);
    connection->caller.hasDestination = true;
  }
  connection->lastActive = GetTickCount64();

  std::unique_lock<std::mutex> lock(poolLock_);
  if (stopping_ || pending_.size() >= kMaxConnections) {
    lock.unlock();
    closesocket(s);
    delete connection;
    return;
  }
  if (active_.size() + pending_.size() >= kMaxConnections) {
    // Full: the connection that has been quiet longest makes room, so that
    // idle or slow clients cannot keep new ones out.
    Connection* victim = nullptr;
    for (Connection* c : active_) {
      if (c->evicted) continue;
      if (!victim || c->lastActive < victim->lastActive) victim = c;
    }
    if (victim) {
      victim->evicted = true;
      shutdown(victim->socket, SD_BOTH);
    }
  }
  pending_.push_back(connection);
  // Threads that ended have returned, or are returning without the lock.
  for (std::thread::id ended : endedThreads_) {
    auto t = std::find_if(
        connectionThreads_.begin(), connectionThreads_.end(),
        [ended](const std::thread& each) { return each.get_id() == ended; });
    if (t == connectionThreads_.end()) continue;
    t->join();
    connectionThreads_.erase(t);
  }
  endedThreads_.clear();
  if (idleThreads_ == 0 && liveThreads_ < kMaxConnectionThreads) {
    try {
      connectionThreads_.emplace_back([this] { ServeConnections(); });
      ++liveThreads_;
    } catch (const std::system_error&) {
      // No thread now: a running one takes the connection when it is free.
    }
  }
  lock.unlock();
  poolWake_.notify_one();
}

void NetworkServer::ServeConnections() {
  PortMapper::Worker worker(mapper_);
  std::vector<std::uint8_t> reply;
  reply.reserve(16 * 1024);
  StreamConnection stream;
  for (;;) {
    Connection* connection = nullptr;
    {
      std::unique_lock<std::mutex> lock(poolLock_);
      ++idleThreads_;
      bool woken = poolWake_.wait_for(
          lock, std::chrono::milliseconds(kSpareIdleMs),
          [this] { return stopping_ || !pending_.empty(); });
      --idleThreads_;
      if (stopping_) return;
      if (!woken) {
        if (idleThreads_ < kSpareThreads) continue;
        --liveThreads_;
        endedThreads_.push_back(std::this_thread::get_id());
        return;
      }
      connection = pending_.front();
      pending_.pop_front();
      active_.push_back(connection);
    }
    Serve(*connection, worker, reply, stream);
    {
      std::lock_guard<std::mutex> lock(poolLock_);
      active_.erase(std::find(active_.begin(), active_.end(), connection));
    }
    closesocket(connection->socket);
    delete connection;
    if (reply.capacity() > kReplyKeep) {
      std::vector<std::uint8_t>().swap(reply);
      reply.reserve(16 * 1024);
    }
  }
}

void NetworkServer::Serve(Connection& c, PortMapper::Worker& worker,
                          std::vector<std::uint8_t>& reply,
                          StreamConnection& stream) {
  SetTimeout(c.socket, SO_RCVTIMEO, kPollMs);
  SetTimeout(c.socket, SO_SNDTIMEO, kSendTimeoutMs);
  SetFlag(c.socket, IPPROTO_TCP, TCP_NODELAY, 1);
  stream.Open(c.caller);
  ULONGLONG recordStart = 0;
  std::uint8_t buffer[4096];
  while (!stopping_.load(std::memory_order_relaxed) && !c.evicted) {
    int received = recv(c.socket, reinterpret_cast<char*>(buffer),
                        sizeof buffer, 0);
    ULONGLONG now = GetTickCount64();
    if (received == 0) return;
    if (received < 0) {
      if (WSAGetLastError() != WSAETIMEDOUT) return;
      if (!stream.inRecord() && now - c.lastActive >= kIdleTimeoutMs) return;
    } else {
      c.lastActive = now;
      for (std::size_t pos = 0; pos < static_cast<std::size_t>(received);) {
        if (!stream.inRecord()) recordStart = now;
        std::size_t used = 0;
        reply.clear();
        bool open = stream.Receive(mapper_, worker, buffer + pos,
                                   received - pos, &used, &reply);
        pos += used;
        if (!reply.empty() && !SendAll(c.socket, reply.data(), reply.size())) {
          return;
        }
        if (!open) return;
      }
    }
    // A caller that sends a call a byte at a time is cut off.
    if (stream.inRecord() && now - recordStart >= kRecordTimeoutMs) return;
  }
}

}  // namespace tessard
