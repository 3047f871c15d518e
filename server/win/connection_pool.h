// The TCP side's connections and the threads that serve them. Every open
// connection, waiting for a thread or served, holds one of the places;
// AdmitConnection decides, by one rule (connection_admission.h), who is
// let in and who is closed to make room. Each served connection has
// a thread of the pool for as long as it lasts; after a burst, idle threads
// end but for a few.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "caller_identity.h"
#include "connection_admission.h"
#include "port_mapper.h"
#include "stream_connection.h"

namespace tessard {

// The TCP side's other bounds (AdmissionLimits holds the places);
// docs/server.md states them for administrators.
constexpr ULONGLONG kIdleTimeoutMs = 20000;    // silence closes
constexpr ULONGLONG kMessageTimeoutMs = 10000;  // a call must arrive whole
constexpr DWORD kSendTimeoutMs = 5000;         // a reply must be taken
// How long a blocked datagram receive or accept waits before looking at
// the stop flag.
constexpr DWORD kPollMs = 250;
// Pool threads: one per connection, and room for closed ones to finish.
constexpr std::size_t kMaxConnectionThreads =
    AdmissionLimits{}.maxConnections + 16;

// One accepted connection.
struct Connection {
  Connection(SOCKET s, const Caller& c, const InetAddress& from,
             ULONGLONG now);
  ~Connection() { closesocket(socket); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SOCKET socket;
  Caller caller;
  // Who the caller is, looked up once, when a SET or UNSET first asks.
  CallerIdentity identity;
  InetAddress source;
  ULONGLONG acceptedMs;
  std::atomic<ULONGLONG> lastActiveMs;
  std::atomic<bool> inCall{false};
  // Set when the connection is closed to make room or the server stops:
  // its thread ends it, a send in progress included.
  std::atomic<bool> closing{false};
  // The serving thread's events (null while the connection waits for a
  // thread): `wake` is signalled together with `closing`; the others are
  // those of the overlapped receives and sends.
  HANDLE wake = nullptr;
  HANDLE receiveDone = nullptr;
  HANDLE sendDone = nullptr;
};

// What the pool has seen, for the stop note and the tests.
struct PoolCounts {
  std::size_t open = 0;
  std::size_t mostOpen = 0;
  std::size_t threads = 0;
  std::size_t mostThreads = 0;
  std::size_t refused = 0;
  std::size_t closedToMakeRoom = 0;
};

class ConnectionPool {
 public:
  // Serves one connection until it ends, with the thread's claim on the
  // table and its buffers, which it keeps from one connection to the next.
  using ServeFunction =
      std::function<void(Connection&, PortMapper::ReaderSlot&,
                         std::vector<std::uint8_t>& reply, StreamConnection&)>;

  ConnectionPool(PortMapper& mapper, ServeFunction serve);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Takes a connection just accepted: admits it (closing another to make
  // room when the rule says so) or closes it.
  void AdmitConnection(SOCKET socket, const Caller& caller,
                       const InetAddress& source);
  // Closes the connections made to an address no longer served.
  void CloseConnectionsTo(const InetAddress& destination);
  // Asks every connection to close, and the threads to end; Stop then
  // waits for them, calling progress() while it does.
  void SignalStop();
  void Stop(const std::function<void()>& progress);

  PoolCounts Counts();

 private:
  struct ThreadEvents;
  void ServeConnections();
  // The next connection waiting for a thread, which serves it with its
  // events; nullptr when the thread is to end: the server stops, or the
  // thread was idle long enough and others stay.
  Connection* NextConnection(const ThreadEvents& events);
  // Takes a served connection out of the pool and closes it.
  void Forget(Connection* connection);
  // Counts the calling thread as ended, to be joined (under the lock).
  void EndThisThread();
  // Closes open_[index] (under the lock): one waiting for a thread is
  // moved to *closed, to be closed outside the lock; one being served is
  // ended by its thread.
  void Close(std::size_t index,
             std::vector<std::unique_ptr<Connection>>* closed);
  void JoinEndedThreads();

  PortMapper& mapper_;
  ServeFunction serve_;

  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  // Every open connection; waiting_ lists those without a thread yet.
  std::vector<std::unique_ptr<Connection>> open_;
  std::deque<Connection*> waiting_;
  // Connections closed while a thread serves them: the thread ends them.
  std::vector<std::unique_ptr<Connection>> closing_;
  std::size_t idleThreads_ = 0;
  std::size_t liveThreads_ = 0;  // threads that have not ended
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> endedThreads_;  // to be joined
  PoolCounts counts_;
};

}  // namespace tessard
