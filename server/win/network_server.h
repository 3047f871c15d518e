// The server's sockets and threads: port 111 over UDP and TCP, on IPv4 and,
// where the system offers it, IPv6, every call handed to the protocol core.
//
// Threads block in the socket calls, which is what Wine serves fastest:
// several threads wait on each UDP socket; each TCP connection has a thread
// of a pool while it lasts. Every wait is bounded (kPollMs), so a stop is
// seen within that time without closing a socket under another thread.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port_mapper.h"
#include "stream_connection.h"

namespace tessard {

// Bounds of the TCP side; docs/server.md states them for administrators.
constexpr std::size_t kMaxConnections = 64;      // open at once
constexpr ULONGLONG kIdleTimeoutMs = 20000;      // silence closes
constexpr ULONGLONG kRecordTimeoutMs = 10000;    // a call must arrive whole
constexpr DWORD kSendTimeoutMs = 5000;           // a reply must be taken
// How long any blocking call waits before looking at the stop flag.
constexpr DWORD kPollMs = 250;

class NetworkServer {
 public:
  NetworkServer();
  ~NetworkServer();
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // Opens the sockets, calling progress after each: udp and tcp must open;
  // udp6 and tcp6 are left out where IPv6 is missing. Returns 0, or the
  // socket error with *failed naming the transport ("UDP", "TCP", ...).
  DWORD Open(const std::function<void()>& progress, std::string* failed);
  // Starts the serving threads.
  void Start();
  // Stops every thread (within about kPollMs) and closes every socket.
  void Stop();

  // The transports opened, for the start-up note ("udp tcp udp6 tcp6").
  std::string Transports() const;

 private:
  struct Endpoint {
    SOCKET socket = INVALID_SOCKET;
    const char* netid = "";
    bool v6 = false;
    bool stream = false;
  };
  struct Connection {
    SOCKET socket = INVALID_SOCKET;
    Caller caller;
    std::atomic<ULONGLONG> lastActive{0};
    std::atomic<bool> evicted{false};
  };

  DWORD OpenEndpoint(Endpoint* endpoint);
  void ServeDatagrams(const Endpoint& endpoint);
  void AcceptConnections(const Endpoint& endpoint);
  void Hand(SOCKET socket, const Endpoint& endpoint,
            const sockaddr_storage& peer);
  void ServeConnections();
  void Serve(Connection& connection, PortMapper::Worker& worker,
             std::vector<std::uint8_t>& reply, StreamConnection& stream);

  PortMapper mapper_;
  std::vector<Endpoint> endpoints_;
  LPFN_WSARECVMSG recvMsg_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;  // datagram workers and acceptors

  // The connection pool.
  std::mutex poolLock_;
  std::condition_variable poolWake_;
  std::deque<Connection*> pending_;
  std::vector<Connection*> active_;
  std::size_t idleThreads_ = 0;
  std::vector<std::thread> connectionThreads_;
};

}  // namespace tessard
