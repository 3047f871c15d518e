// The server benchmark's load generator: N clients in a closed loop, each
// sending a port-mapper call and waiting for the reply with its xid.
//   rpc_load PORT udp|tcp getport|getaddr|set CLIENTS SECONDS [WARMUP_S]
//            [filled|callits=PROG]
//   rpc_load PORT fill [ENTRIES]
//   rpc_load PORT drain
//   rpc_load PORT hold
// getport and getaddr ask for the port mapper's own entry on the transport
// in use, or with "filled" for the last registration that fill made. set
// measures pairs: a version 4 SET of a (program, version) no client used
// before, then its UNSET. Prints "calls=... rate=... p50_us=... p99_us=...
// lost=... bad=..." (for set, calls and rate count pairs, the percentiles
// are of the pair, and set_* and unset_* of each call); calls over TCP use
// kept-open connections with record marking.
// callits=PROG: while the clients look up, one more client sends version 2
// CALLITs of PROG version 1 procedure 1 (a program that answers slowly)
// from loopback, one every 5 ms without waiting for their replies, and
// the output adds "callits=... callit_replies=...".
// fill registers from loopback over UDP until the table holds ENTRIES
// (default 2048, the server's capacity), then tries one SET more and says
// whether it was refused; drain removes what fill registered. Both count
// the table with a DUMP over TCP and print "entries=...".
// Every registration made here points at port 1111 (kFillPort), which hold
// binds on UDP and TCP (listening) until it is ended: a server that drops
// registrations whose port has no socket must keep these.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPortMapper = 100000;
constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kUnset = 2;
constexpr std::uint32_t kLookUp = 3;  // GETPORT (v2) and GETADDR (v4)
constexpr std::uint32_t kDump = 4;

// What fill registers: (kFillProgram, v) on udp and on tcp for v from the
// highest down to 1, so that (kFillProgram, 1) is the last registration
// made; one (kPadProgram, 1) on udp first when an odd number of places is
// left. The address gives a reply of the same size as the own entry's.
constexpr std::uint32_t kFillProgram = 0x5f000000;
constexpr std::uint32_t kPadProgram = 0x5f000001;
constexpr char kFillAddress[] = "127.0.0.1.4.87";
constexpr std::uint32_t kFillPort = 4 * 256 + 87;
// set's clients register kSetProgram + their index, each pair a new version.
constexpr std::uint32_t kSetProgram = 0x5e000000;

enum class Kind { kGetPort, kGetAddr, kSetUnset };

struct Options {
  bool tcp = false;
  Kind kind = Kind::kGetPort;
  bool filled = false;  // look up fill's last registration, not our own
  std::uint32_t callItProgram = 0;  // CALLITs of it beside, when not 0
  int clients = 1;
  double seconds = 2;
  double warmup = 0.3;
  int port = 0;
};

struct Result {
  std::vector<std::uint32_t> latencies;  // of measured calls (pairs), ns
  std::vector<std::uint32_t> sets, unsets;
  long lost = 0;        // UDP calls without a reply in 1 s
  long bad = 0;         // replies that are no answer, or a refused change
  bool failed = false;  // the socket itself failed
};

void Put(std::vector<std::uint8_t>& b, std::uint32_t v) {
  v = htonl(v);
  auto* p = reinterpret_cast<std::uint8_t*>(&v);
  b.insert(b.end(), p, p + 4);
}

void PutString(std::vector<std::uint8_t>& b, const std::string& s) {
  Put(b, static_cast<std::uint32_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
  b.resize(b.size() + (4 - s.size() % 4) % 4);
}

// A call's header with xid 0 (set per call at offset 0), AUTH_NONE both
// ways.
std::vector<std::uint8_t> Header(std::uint32_t vers, std::uint32_t proc) {
  std::vector<std::uint8_t> b;
  for (std::uint32_t v :
       {0u, 0u, 2u, kPortMapper, vers, proc, 0u, 0u, 0u, 0u}) {
    Put(b, v);
  }
  return b;
}

// A version 4 call with an rpcb argument (program, version, netid,
// address, owner).
std::vector<std::uint8_t> Rpcb(std::uint32_t proc, std::uint32_t prog,
                               std::uint32_t vers, const std::string& netid,
                               const std::string& address) {
  std::vector<std::uint8_t> b = Header(4, proc);
  Put(b, prog);
  Put(b, vers);
  PutString(b, netid);
  PutString(b, address);
  PutString(b, proc == kSet ? "bench" : "");
  return b;
}

std::vector<std::uint8_t> LookUp(const Options& o) {
  std::uint32_t prog = o.filled ? kFillProgram : kPortMapper;
  if (o.kind == Kind::kGetAddr) {
    return Rpcb(kLookUp, prog, o.filled ? 1 : 4, o.tcp ? "tcp" : "udp", "");
  }
  std::vector<std::uint8_t> b = Header(2, kLookUp);
  for (std::uint32_t v : {prog, o.filled ? 1u : 2u, o.tcp ? 6u : 17u, 0u}) {
    Put(b, v);
  }
  return b;
}

std::uint32_t Get(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

// Where the results of an accepted, successful reply (its xid already
// matched) begin; 0 when it is none.
std::size_t Results(const std::uint8_t* p, std::size_t n) {
  if (n < 24 || Get(p + 4) != 1 || Get(p + 8) != 0) return 0;
  std::size_t verifier = (Get(p + 16) + 3) & ~3u;
  std::size_t at = 20 + verifier;
  if (verifier > 400 || n < at + 4 || Get(p + at) != 0) return 0;
  return at + 4;
}

// Whether a reply answers the look-up: the port looked for (GETPORT), the
// address (GETADDR: fill's, or any for our own entry, which the server
// gives as the address the call came to).
bool Answers(const std::uint8_t* p, std::size_t n, const Options& o) {
  std::size_t at = Results(p, n);
  if (at == 0 || n < at + 4) return false;
  std::uint32_t value = Get(p + at);
  if (o.kind == Kind::kGetPort) return value == (o.filled ? kFillPort : 111);
  if (n < at + 4 + value || value == 0) return false;
  return !o.filled || std::string(reinterpret_cast<const char*>(p + at + 4),
                                  value) == kFillAddress;
}

// Whether a reply is an accepted boolean true (SET, UNSET).
bool True(const std::uint8_t* p, std::size_t n) {
  std::size_t at = Results(p, n);
  return at != 0 && n >= at + 4 && Get(p + at) == 1;
}

bool SendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

// One client's socket, connected to the server on loopback.
class Connection {
 public:
  Connection(bool tcp, int port) : tcp_(tcp) {
    fd_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    int one = 1;
    if (tcp) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&server),
                                     sizeof server) == 0;
    reply_.resize(65536);
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  const std::vector<std::uint8_t>& reply() const { return reply_; }

  enum class Outcome { kAnswered, kLost, kFailed };
  // Sends call with xid and waits for the reply that carries it, which is
  // then reply(); replies to earlier calls are skipped. Over UDP a call
  // with no reply within a second is lost; over TCP it is a failure.
  Outcome Exchange(std::vector<std::uint8_t>& call, std::uint32_t xid) {
    std::uint32_t wire = htonl(xid);
    std::memcpy(call.data(), &wire, 4);
    if (tcp_) {
      std::uint32_t mark = htonl(0x80000000u | call.size());
      out_.assign(reinterpret_cast<std::uint8_t*>(&mark),
                  reinterpret_cast<std::uint8_t*>(&mark) + 4);
      out_.insert(out_.end(), call.begin(), call.end());
      if (!SendAll(fd_, out_.data(), out_.size())) return Outcome::kFailed;
    } else if (!SendAll(fd_, call.data(), call.size())) {
      return Outcome::kFailed;
    }
    for (;;) {
      if (tcp_) {
        if (!ReadRecord()) return Outcome::kFailed;
      } else {
        reply_.resize(65536);
        ssize_t got = recv(fd_, reply_.data(), reply_.size(), 0);
        if (got < 0) return Outcome::kLost;
        reply_.resize(static_cast<std::size_t>(got));
      }
      if (reply_.size() >= 4 && Get(reply_.data()) == xid) {
        return Outcome::kAnswered;
      }
    }
  }

 private:
  // Reads one record, of as many fragments as it comes in, into reply_,
  // keeping what arrives past it in pending_.
  bool ReadRecord() {
    reply_.clear();
    std::uint8_t chunk[4096];
    for (;;) {
      if (pending_.size() >= 4) {
        std::uint32_t mark = Get(pending_.data());
        std::size_t length = mark & 0x7fffffff;
        if (pending_.size() >= 4 + length) {
          reply_.insert(reply_.end(), pending_.begin() + 4,
                        pending_.begin() + 4 + length);
          pending_.erase(pending_.begin(), pending_.begin() + 4 + length);
          if (mark & 0x80000000u) return true;
          continue;
        }
      }
      ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) return false;
      pending_.insert(pending_.end(), chunk, chunk + got);
    }
  }

  bool tcp_;
  int fd_ = -1;
  bool connected_ = false;
  std::vector<std::uint8_t> out_, pending_, reply_;
};

std::uint32_t Nanoseconds(Clock::time_point start) {
  auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
          .count();
  return static_cast<std::uint32_t>(std::min<long long>(ns, UINT32_MAX));
}

void RunClient(const Options& o, int index, std::uint32_t firstVersion,
               const std::atomic<int>& phase, Result* result) {
  Connection c(o.tcp, o.port);
  if (!c.connected()) {
    result->failed = true;
    return;
  }
  result->latencies.reserve(1 << 20);
  std::vector<std::uint8_t> call = LookUp(o);
  std::uint32_t xid = static_cast<std::uint32_t>(index) << 24;
  std::uint32_t prog = kSetProgram + static_cast<std::uint32_t>(index);
  std::uint32_t vers = firstVersion;
  // One exchange; false when the client must stop.
  auto exchange = [&](std::vector<std::uint8_t>& bytes, bool& answered) {
    answered = false;
    switch (c.Exchange(bytes, ++xid)) {
      case Connection::Outcome::kAnswered:
        answered = true;
        return true;
      case Connection::Outcome::kLost:
        ++result->lost;  // nothing within the second: go on
        return true;
      case Connection::Outcome::kFailed:
        result->failed = true;
        return false;
    }
    return false;
  };
  while (phase.load(std::memory_order_relaxed) < 2) {
    bool measured = phase.load(std::memory_order_relaxed) == 1;
    bool answered = false;
    auto start = Clock::now();
    if (o.kind != Kind::kSetUnset) {
      if (!exchange(call, answered)) break;
      if (!answered) continue;
      if (!Answers(c.reply().data(), c.reply().size(), o)) ++result->bad;
      if (measured) result->latencies.push_back(Nanoseconds(start));
      continue;
    }
    ++vers;
    std::string netid = o.tcp ? "tcp" : "udp";
    std::vector<std::uint8_t> set = Rpcb(kSet, prog, vers, netid, kFillAddress);
    std::vector<std::uint8_t> unset = Rpcb(kUnset, prog, vers, netid, "");
    bool both = true;
    if (!exchange(set, answered)) break;
    both = both && answered;
    if (answered && !True(c.reply().data(), c.reply().size())) ++result->bad;
    std::uint32_t setNs = Nanoseconds(start);
    auto unsetStart = Clock::now();
    // The UNSET goes even when the SET's reply was lost: it may have been
    // registered all the same.
    if (!exchange(unset, answered)) break;
    both = both && answered;
    if (answered && !True(c.reply().data(), c.reply().size())) ++result->bad;
    if (measured && both) {
      result->latencies.push_back(Nanoseconds(start));
      result->sets.push_back(setNs);
      result->unsets.push_back(Nanoseconds(unsetStart));
    }
  }
}

// The client that sends CALLITs beside the look-ups until phase 2; how
// many it sent and how many replies came back.
void SendCallIts(const Options& o, const std::atomic<int>& phase, long* sent,
                 long* replies) {
  Connection c(false, o.port);
  if (!c.connected()) return;
  std::vector<std::uint8_t> call = Header(2, 5);
  for (std::uint32_t v : {o.callItProgram, 1u, 1u, 4u, 0u}) Put(call, v);
  std::vector<std::uint8_t> reply(65536);
  std::uint32_t xid = 0x7e000000;
  while (phase.load(std::memory_order_relaxed) < 2) {
    std::uint32_t wire = htonl(++xid);
    std::memcpy(call.data(), &wire, 4);
    std::memcpy(call.data() + call.size() - 4, &wire, 4);
    if (SendAll(c.fd(), call.data(), call.size())) ++*sent;
    while (recv(c.fd(), reply.data(), reply.size(), MSG_DONTWAIT) > 0) {
      ++*replies;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

double Percentile(const std::vector<std::uint32_t>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1,
                         static_cast<std::size_t>(p * sorted.size()))] /
         1000.0;
}

int Measure(const Options& o) {
  std::atomic<int> phase{0};  // 0 warm-up, 1 measured, 2 stop
  std::vector<Result> results(static_cast<std::size_t>(o.clients));
  std::vector<std::thread> clients;
  // Versions no earlier run has used, so that each SET is of a new key
  // even if an earlier run left a registration behind.
  auto firstVersion = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count()
      << 8);
  for (int i = 0; i < o.clients; ++i) {
    clients.emplace_back(RunClient, std::cref(o), i, firstVersion,
                         std::cref(phase),
                         &results[static_cast<std::size_t>(i)]);
  }
  long callIts = 0, callItReplies = 0;
  std::thread beside;
  if (o.callItProgram != 0) {
    beside = std::thread(SendCallIts, std::cref(o), std::cref(phase),
                         &callIts, &callItReplies);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(o.warmup));
  auto start = Clock::now();
  phase = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
  phase = 2;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : clients) t.join();
  if (beside.joinable()) beside.join();

  std::vector<std::uint32_t> all, sets, unsets;
  long lost = 0, bad = 0;
  bool failed = false;
  for (const Result& r : results) {
    all.insert(all.end(), r.latencies.begin(), r.latencies.end());
    sets.insert(sets.end(), r.sets.begin(), r.sets.end());
    unsets.insert(unsets.end(), r.unsets.begin(), r.unsets.end());
    lost += r.lost;
    bad += r.bad;
    failed = failed || r.failed;
  }
  if (all.empty() || failed) {
    std::fprintf(stderr, "rpc_load: %s\n",
                 failed ? "a client's socket failed" : "no call answered");
    return 1;
  }
  std::sort(all.begin(), all.end());
  std::printf("calls=%zu rate=%.0f p50_us=%.1f p99_us=%.1f", all.size(),
              all.size() / elapsed, Percentile(all, 0.5),
              Percentile(all, 0.99));
  if (o.kind == Kind::kSetUnset) {
    std::sort(sets.begin(), sets.end());
    std::sort(unsets.begin(), unsets.end());
    std::printf(
        " set_p50_us=%.1f set_p99_us=%.1f unset_p50_us=%.1f "
        "unset_p99_us=%.1f",
        Percentile(sets, 0.5), Percentile(sets, 0.99), Percentile(unsets, 0.5),
        Percentile(unsets, 0.99));
  }
  if (o.callItProgram != 0) {
    std::printf(" callits=%ld callit_replies=%ld", callIts, callItReplies);
  }
  std::printf(" lost=%ld bad=%ld\n", lost, bad);
  if (bad > 0) {
    std::fprintf(stderr, "rpc_load: %ld replies did not answer the call%s\n",
                 bad, o.kind == Kind::kSetUnset ? " (or refused it)" : "");
  }
  return bad > 0 ? 1 : 0;
}

// The table's registrations as (program, version), from a version 4 DUMP
// over TCP; false when the DUMP failed.
bool Dump(int port, std::vector<std::pair<std::uint32_t, std::uint32_t>>* out) {
  Connection c(true, port);
  std::vector<std::uint8_t> call = Header(4, kDump);
  if (!c.connected() || c.Exchange(call, 1) != Connection::Outcome::kAnswered) {
    return false;
  }
  const std::uint8_t* p = c.reply().data();
  std::size_t n = c.reply().size();
  std::size_t at = Results(p, n);
  if (at == 0) return false;
  out->clear();
  for (;;) {
    if (n < at + 4) return false;
    if (Get(p + at) == 0) return true;
    if (n < at + 12) return false;
    out->emplace_back(Get(p + at + 4), Get(p + at + 8));
    at += 12;
    for (int text = 0; text < 3; ++text) {  // netid, address, owner
      if (n < at + 4) return false;
      std::size_t length = (std::size_t{Get(p + at)} + 3) & ~std::size_t{3};
      if (n < at + 4 + length) return false;
      at += 4 + length;
    }
  }
}

// A change from loopback over UDP: whether it was answered true.
bool Change(Connection& c, std::uint32_t proc, std::uint32_t prog,
            std::uint32_t vers, const std::string& netid) {
  static std::uint32_t xid = 0x7f000000;
  std::vector<std::uint8_t> call =
      Rpcb(proc, prog, vers, netid, proc == kSet ? kFillAddress : "");
  return c.Exchange(call, ++xid) == Connection::Outcome::kAnswered &&
         True(c.reply().data(), c.reply().size());
}

int Fill(int port, long entries) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> table;
  Connection c(false, port);
  if (!Dump(port, &table) || !c.connected()) {
    std::fprintf(stderr, "rpc_load: cannot read the table\n");
    return 1;
  }
  long places = entries - static_cast<long>(table.size());
  if (places < 0) {
    std::fprintf(stderr, "rpc_load: the table holds %zu already\n",
                 table.size());
    return 1;
  }
  long refused = 0;
  if (places % 2 == 1) refused += !Change(c, kSet, kPadProgram, 1, "udp");
  for (auto v = static_cast<std::uint32_t>(places / 2); v >= 1; --v) {
    refused += !Change(c, kSet, kFillProgram, v, "udp");
    refused += !Change(c, kSet, kFillProgram, v, "tcp");
  }
  bool beyond = Change(c, kSet, kPadProgram, 2, "udp");
  if (beyond) Change(c, kUnset, kPadProgram, 2, "");
  if (!Dump(port, &table)) {
    std::fprintf(stderr, "rpc_load: cannot read the table\n");
    return 1;
  }
  std::printf("entries=%zu added=%ld refused=%ld beyond=%s\n", table.size(),
              places - refused, refused, beyond ? "accepted" : "refused");
  return refused == 0 && static_cast<long>(table.size()) == entries ? 0 : 1;
}

int Drain(int port) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> table;
  Connection c(false, port);
  if (!Dump(port, &table) || !c.connected()) {
    std::fprintf(stderr, "rpc_load: cannot read the table\n");
    return 1;
  }
  std::set<std::pair<std::uint32_t, std::uint32_t>> ours;
  for (const auto& entry : table) {
    if (entry.first == kFillProgram || entry.first == kPadProgram) {
      ours.insert(entry);
    }
  }
  std::size_t before = table.size();
  long refused = 0;
  for (const auto& [prog, vers] : ours) {
    refused += !Change(c, kUnset, prog, vers, "");
  }
  if (!Dump(port, &table)) {
    std::fprintf(stderr, "rpc_load: cannot read the table\n");
    return 1;
  }
  long left = std::count_if(table.begin(), table.end(), [](const auto& e) {
    return e.first == kFillProgram || e.first == kPadProgram;
  });
  std::printf("before=%zu entries=%zu removed=%ld refused=%ld\n", before,
              table.size(), static_cast<long>(ours.size()) - refused, refused);
  return refused == 0 && left == 0 ? 0 : 1;
}

int Hold(int port) {
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  auto* a = reinterpret_cast<sockaddr*>(&address);
  if (udp < 0 || tcp < 0 || bind(udp, a, sizeof address) != 0 ||
      bind(tcp, a, sizeof address) != 0 || listen(tcp, 16) != 0) {
    std::perror("rpc_load: cannot hold the port");
    return 1;
  }
  std::printf("holding port %d\n", port);
  std::fflush(stdout);
  for (;;) pause();
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s PORT udp|tcp getport|getaddr|set CLIENTS SECONDS "
               "[WARMUP_S] [filled|callits=PROG]\n"
               "       %s PORT fill [ENTRIES]\n"
               "       %s PORT drain\n"
               "       %s PORT hold\n",
               program, program, program, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[2], "fill") == 0) {
    return Fill(std::atoi(argv[1]), argc > 3 ? std::atol(argv[3]) : 2048);
  }
  if (argc == 3 && std::strcmp(argv[2], "drain") == 0) {
    return Drain(std::atoi(argv[1]));
  }
  if (argc == 3 && std::strcmp(argv[2], "hold") == 0) {
    return Hold(std::atoi(argv[1]));
  }
  if (argc < 6) return Usage(argv[0]);
  Options o;
  o.port = std::atoi(argv[1]);
  o.tcp = std::strcmp(argv[2], "tcp") == 0;
  if (!o.tcp && std::strcmp(argv[2], "udp") != 0) return Usage(argv[0]);
  if (std::strcmp(argv[3], "getport") == 0) {
    o.kind = Kind::kGetPort;
  } else if (std::strcmp(argv[3], "getaddr") == 0) {
    o.kind = Kind::kGetAddr;
  } else if (std::strcmp(argv[3], "set") == 0) {
    o.kind = Kind::kSetUnset;
  } else {
    return Usage(argv[0]);
  }
  o.clients = std::atoi(argv[4]);
  o.seconds = std::atof(argv[5]);
  if (argc > 6) o.warmup = std::atof(argv[6]);
  if (argc > 7) {
    if (std::strncmp(argv[7], "callits=", 8) == 0) {
      o.callItProgram = static_cast<std::uint32_t>(std::atol(argv[7] + 8));
      if (o.callItProgram == 0) return Usage(argv[0]);
    } else if (std::strcmp(argv[7], "filled") == 0) {
      o.filled = true;
    } else {
      return Usage(argv[0]);
    }
  }
  if (o.clients < 1 || o.clients > 255) return Usage(argv[0]);
  return Measure(o);
}
