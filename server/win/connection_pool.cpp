// Admission, closing to make room, and the pool's threads.
#include "connection_pool.h"

#include <algorithm>
#include <chrono>

#include "system_calls.h"
#include "winsock_helpers.h"

namespace tessard {
namespace {

// After a burst, threads idle for kSpareIdleMs end, but for kSpareThreads:
// under Wine each thread keeps about a megabyte.
constexpr std::size_t kSpareThreads = 4;
constexpr DWORD kSpareIdleMs = 10000;
// A reply buffer that grew for a large DUMP is given back past this.
constexpr std::size_t kReplyKeep = 64 * 1024;
constexpr std::size_t kReplyReserve = 16 * 1024;
// How often a stop reports progress while it waits for threads.
constexpr ULONGLONG kProgressMs = 100;

}  // namespace

Connection::Connection(SOCKET s, const Caller& c, const InetAddress& from,
                       ULONGLONG now)
    : socket(s),
      caller(c),
      identity(c),
      source(from),
      acceptedMs(now),
      lastActiveMs(now) {
  caller.identity = &identity;
}

// A serving thread's events, made once for all the connections it serves:
// under Wine each event costs a round trip to the wineserver.
struct ConnectionPool::ThreadEvents {
  ThreadEvents() {
    for (HANDLE* e : {&wake, &receiveDone, &sendDone}) {
      *e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
  }
  ~ThreadEvents() {
    for (HANDLE e : {wake, receiveDone, sendDone}) {
      if (e) sys::CloseHandle(e);
    }
  }
  bool ok() const { return wake && receiveDone && sendDone; }
  HANDLE wake, receiveDone, sendDone;
};

ConnectionPool::ConnectionPool(PortMapper& mapper, ServeFunction serve)
    : mapper_(mapper), serve_(std::move(serve)) {}

ConnectionPool::~ConnectionPool() { Stop(nullptr); }

void ConnectionPool::AdmitConnection(SOCKET s, const Caller& caller,
                                     const InetAddress& source) {
  std::unique_ptr<Connection> connection;
  std::vector<std::unique_ptr<Connection>> closed;  // outside the lock
  std::unique_lock<std::mutex> lock(lock_, std::defer_lock);
  try {
    connection =
        std::make_unique<Connection>(s, caller, source, GetTickCount64());
  } catch (const std::bad_alloc&) {
    closesocket(s);
    return;
  }
  try {
    lock.lock();
    if (stopping_) return;
    JoinEndedThreads();
    std::vector<OpenConnection> views;
    views.reserve(open_.size());
    for (const auto& c : open_) {
      views.push_back(OpenConnection{c->source, c->acceptedMs,
                                     c->lastActiveMs.load(),
                                     c->inCall.load()});
    }
    AdmissionDecision decision = DecideAdmission(
        views, source, connection->acceptedMs, AdmissionLimits{});
    if (decision.kind == AdmissionDecision::Kind::kRefuse) {
      ++counts_.refused;
      return;
    }
    closed.reserve(1);
    open_.reserve(open_.size() + 1);
    closing_.reserve(closing_.size() + 1);
    if (decision.kind == AdmissionDecision::Kind::kAdmitAfterClosing) {
      ++counts_.closedToMakeRoom;
      Close(decision.close, &closed);
    }
    waiting_.push_back(connection.get());
    open_.push_back(std::move(connection));
    counts_.mostOpen = std::max(counts_.mostOpen, open_.size());
    if (idleThreads_ == 0 && liveThreads_ < kMaxConnectionThreads) {
      try {
        threads_.emplace_back([this] { ServeConnections(); });
        ++liveThreads_;
        counts_.mostThreads = std::max(counts_.mostThreads, liveThreads_);
      } catch (const std::exception&) {
        // No thread now (system_error, bad_alloc): a running one takes
        // the connection when it is free.
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory before the new connection was taken in: it closes,
    // and the others go on.
  }
  if (lock.owns_lock()) lock.unlock();
  wake_.notify_one();
}

void ConnectionPool::Close(std::size_t index,
                           std::vector<std::unique_ptr<Connection>>* closed) {
  auto at = open_.begin() + static_cast<std::ptrdiff_t>(index);
  Connection* victim = at->get();
  auto waiting = std::find(waiting_.begin(), waiting_.end(), victim);
  if (waiting != waiting_.end()) {
    // No thread has it yet: it closes now, outside the lock.
    waiting_.erase(waiting);
    closed->push_back(std::move(*at));
  } else {
    victim->closing = true;
    SetEvent(victim->wake);
    closing_.push_back(std::move(*at));
  }
  open_.erase(at);
}

void ConnectionPool::CloseConnectionsTo(const InetAddress& destination) {
  std::vector<std::unique_ptr<Connection>> closed;  // outside the lock
  std::lock_guard<std::mutex> lock(lock_);
  try {
    for (std::size_t i = open_.size(); i-- > 0;) {
      if (SameHost(open_[i]->caller.destination, destination)) {
        closed.reserve(closed.size() + 1);
        closing_.reserve(closing_.size() + 1);
        Close(i, &closed);
      }
    }
  } catch (const std::bad_alloc&) {
    // The rest close when their clients go or fall quiet.
  }
}

void ConnectionPool::JoinEndedThreads() {
  // Threads that ended have returned, or are returning without the lock.
  for (std::thread::id ended : endedThreads_) {
    auto t = std::find_if(
        threads_.begin(), threads_.end(),
        [ended](const std::thread& each) { return each.get_id() == ended; });
    if (t == threads_.end()) continue;
    t->join();
    threads_.erase(t);
  }
  endedThreads_.clear();
}

void ConnectionPool::EndThisThread() {
  --liveThreads_;
  endedThreads_.push_back(std::this_thread::get_id());
}

void ConnectionPool::ServeConnections() {
  ThreadEvents events;
  if (!events.ok()) {
    std::lock_guard<std::mutex> lock(lock_);
    EndThisThread();
    return;
  }
  PortMapper::ReaderSlot reader(mapper_);
  std::vector<std::uint8_t> reply;
  reply.reserve(kReplyReserve);
  StreamConnection stream;
  while (Connection* connection = NextConnection(events)) {
    serve_(*connection, reader, reply, stream);
    Forget(connection);
    if (reply.capacity() > kReplyKeep) {
      std::vector<std::uint8_t>().swap(reply);
      try {
        reply.reserve(kReplyReserve);
      } catch (const std::bad_alloc&) {
        // The buffer grows when a reply needs it.
      }
    }
  }
}

Connection* ConnectionPool::NextConnection(const ThreadEvents& events) {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    ++idleThreads_;
    bool woken =
        wake_.wait_for(lock, std::chrono::milliseconds(kSpareIdleMs),
                       [this] { return stopping_ || !waiting_.empty(); });
    --idleThreads_;
    if (stopping_) return nullptr;
    if (woken) break;
    if (idleThreads_ >= kSpareThreads) {
      EndThisThread();
      return nullptr;
    }
  }
  Connection* connection = waiting_.front();
  waiting_.pop_front();
  ResetEvent(events.wake);
  connection->wake = events.wake;
  connection->receiveDone = events.receiveDone;
  connection->sendDone = events.sendDone;
  return connection;
}

void ConnectionPool::Forget(Connection* connection) {
  std::unique_ptr<Connection> done;  // closes the socket after the lock
  std::lock_guard<std::mutex> lock(lock_);
  for (auto* list : {&open_, &closing_}) {
    auto at = std::find_if(list->begin(), list->end(),
                           [connection](const std::unique_ptr<Connection>& c) {
                             return c.get() == connection;
                           });
    if (at == list->end()) continue;
    done = std::move(*at);
    list->erase(at);
    return;
  }
}

void ConnectionPool::SignalStop() {
  std::vector<std::unique_ptr<Connection>> unserved;  // closed outside
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& c : open_) {
      if (std::find(waiting_.begin(), waiting_.end(), c.get()) !=
          waiting_.end()) {
        unserved.push_back(std::move(c));
        continue;
      }
      c->closing = true;
      SetEvent(c->wake);
    }
    open_.erase(std::remove(open_.begin(), open_.end(), nullptr),
                open_.end());
    waiting_.clear();
  }
  wake_.notify_all();
}

void ConnectionPool::Stop(const std::function<void()>& progress) {
  SignalStop();
  ULONGLONG reported = GetTickCount64();
  for (std::thread& t : threads_) {
    t.join();
    if (progress && GetTickCount64() - reported >= kProgressMs) {
      progress();
      reported = GetTickCount64();
    }
  }
  threads_.clear();
  endedThreads_.clear();
  liveThreads_ = 0;
  open_.clear();
  closing_.clear();
}

PoolCounts ConnectionPool::Counts() {
  std::lock_guard<std::mutex> lock(lock_);
  PoolCounts counts = counts_;
  counts.open = open_.size();
  counts.threads = liveThreads_;
  return counts;
}

}  // namespace tessard
