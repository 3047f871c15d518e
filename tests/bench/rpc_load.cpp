// The server benchmark's load generator: N clients in a closed loop, each
// sending a port-mapper look-up and waiting for the reply with its xid.
//   rpc_load PORT udp|tcp getport|getaddr CLIENTS SECONDS [WARMUP_S]
// Prints "calls=... rate=... p50_us=... p99_us=... lost=... bad=..."; calls
// over TCP use kept-open connections with record marking.
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
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPortMapper = 100000;
constexpr std::uint32_t kLookUp = 3;  // GETPORT (v2) and GETADDR (v4)

struct Options {
  bool tcp = false;
  bool getaddr = false;
  int clients = 1;
  double seconds = 2;
  double warmup = 0.3;
  int port = 0;
};

struct Result {
  std::vector<std::uint32_t> latencies;  // of measured calls, in ns
  long lost = 0;                         // UDP calls without a reply in 1 s
  long bad = 0;                          // replies that are no answer
  bool failed = false;                   // the socket itself failed
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

// The call with xid 0 (set per call at offset 0): AUTH_NONE both ways,
// asking for the port mapper's own entry on the transport in use.
std::vector<std::uint8_t> MakeCall(const Options& o) {
  std::vector<std::uint8_t> b;
  for (std::uint32_t v : {0u, 0u, 2u, kPortMapper, o.getaddr ? 4u : 2u,
                          kLookUp, 0u, 0u, 0u, 0u}) {
    Put(b, v);
  }
  Put(b, kPortMapper);
  Put(b, o.getaddr ? 4 : 2);
  if (o.getaddr) {
    PutString(b, o.tcp ? "tcp" : "udp");
    PutString(b, "");
    PutString(b, "");
  } else {
    Put(b, o.tcp ? 6 : 17);
    Put(b, 0);
  }
  return b;
}

std::uint32_t Get(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

// Whether a reply (its xid already matched) accepts the call and answers
// it: port 111 for GETPORT, a non-empty address for GETADDR.
bool Answers(const std::uint8_t* p, std::size_t n, bool getaddr) {
  if (n < 24 || Get(p + 4) != 1 || Get(p + 8) != 0) return false;
  std::size_t verifier = (Get(p + 16) + 3) & ~3u;
  std::size_t at = 20 + verifier;
  if (verifier > 400 || n < at + 8 || Get(p + at) != 0) return false;
  std::uint32_t value = Get(p + at + 4);
  return getaddr ? value > 0 && n >= at + 8 + value : value == 111;
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

// Reads one record (a single fragment, as every server here sends) into
// reply, keeping what arrives past it in pending.
bool ReadRecord(int fd, std::vector<std::uint8_t>& pending,
                std::vector<std::uint8_t>& reply) {
  std::uint8_t chunk[4096];
  for (;;) {
    if (pending.size() >= 4) {
      std::size_t length = Get(pending.data()) & 0x7fffffff;
      if (pending.size() >= 4 + length) {
        reply.assign(pending.begin() + 4, pending.begin() + 4 + length);
        pending.erase(pending.begin(), pending.begin() + 4 + length);
        return true;
      }
    }
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending.insert(pending.end(), chunk, chunk + got);
  }
}

void RunClient(const Options& o, int index, const std::atomic<int>& phase,
               Result* result) {
  int fd = socket(AF_INET, o.tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(o.port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  int one = 1;
  if (o.tcp) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    result->failed = true;
    close(fd);
    return;
  }
  std::vector<std::uint8_t> call = MakeCall(o);
  if (o.tcp) {
    std::uint32_t mark = htonl(0x80000000u | call.size());
    auto* p = reinterpret_cast<std::uint8_t*>(&mark);
    call.insert(call.begin(), p, p + 4);
  }
  std::size_t xidAt = o.tcp ? 4 : 0;
  std::vector<std::uint8_t> pending, reply(65536);
  result->latencies.reserve(1 << 20);
  std::uint32_t xid = static_cast<std::uint32_t>(index) << 24;
  while (phase.load(std::memory_order_relaxed) < 2) {
    bool measured = phase.load(std::memory_order_relaxed) == 1;
    ++xid;
    std::uint32_t wire = htonl(xid);
    std::memcpy(call.data() + xidAt, &wire, 4);
    auto start = Clock::now();
    if (!SendAll(fd, call.data(), call.size())) {
      result->failed = true;
      break;
    }
    bool answered = false;
    for (;;) {
      std::size_t n;
      if (o.tcp) {
        if (!ReadRecord(fd, pending, reply)) break;
        n = reply.size();
      } else {
        ssize_t got = recv(fd, reply.data(), reply.size(), 0);
        if (got < 0) {
          ++result->lost;  // nothing within the second: send the next
          break;
        }
        n = static_cast<std::size_t>(got);
      }
      if (n < 4 || Get(reply.data()) != xid) continue;  // a late reply
      answered = true;
      if (!Answers(reply.data(), n, o.getaddr)) ++result->bad;
      break;
    }
    if (o.tcp && !answered) {
      result->failed = true;
      break;
    }
    if (answered && measured) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    Clock::now() - start)
                    .count();
      result->latencies.push_back(static_cast<std::uint32_t>(
          std::min<long long>(ns, UINT32_MAX)));
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: %s PORT udp|tcp getport|getaddr CLIENTS SECONDS "
                 "[WARMUP_S]\n",
                 argv[0]);
    return 2;
  }
  Options o;
  o.port = std::atoi(argv[1]);
  o.tcp = std::strcmp(argv[2], "tcp") == 0;
  o.getaddr = std::strcmp(argv[3], "getaddr") == 0;
  o.clients = std::atoi(argv[4]);
  o.seconds = std::atof(argv[5]);
  if (argc > 6) o.warmup = std::atof(argv[6]);

  std::atomic<int> phase{0};  // 0 warm-up, 1 measured, 2 stop
  std::vector<Result> results(static_cast<std::size_t>(o.clients));
  std::vector<std::thread> clients;
  for (int i = 0; i < o.clients; ++i) {
    clients.emplace_back(RunClient, std::cref(o), i, std::cref(phase),
                         &results[static_cast<std::size_t>(i)]);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(o.warmup));
  auto start = Clock::now();
  phase = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
  phase = 2;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : clients) t.join();

  std::vector<std::uint32_t> all;
  long lost = 0, bad = 0;
  bool failed = false;
  for (const Result& r : results) {
    all.insert(all.end(), r.latencies.begin(), r.latencies.end());
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
  auto percentile = [&](double p) {
    return all[std::min(all.size() - 1,
                        static_cast<std::size_t>(p * all.size()))] /
           1000.0;
  };
  std::printf("calls=%zu rate=%.0f p50_us=%.1f p99_us=%.1f lost=%ld bad=%ld\n",
              all.size(), all.size() / elapsed, percentile(0.5),
              percentile(0.99), lost, bad);
  return bad > 0 ? 1 : 0;
}
