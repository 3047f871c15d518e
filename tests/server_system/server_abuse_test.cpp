// tessard.exe, installed as a service, under the traffic an attacker sends:
// garbage, lengths that announce gigabytes, connections that never finish,
// a flood of registrations, forged datagrams hoping for amplification.
// After each, it answers normal clients, and its memory stays near where
// it was. Runs inside in_namespace.sh.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <random>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

using rpc_wire::Call;
using rpc_wire::Wire;
using Clock = std::chrono::steady_clock;

// A socket from the given source address to the server's port 111.
class Socket {
 public:
  Socket(int type, const char* from) : fd_(socket(AF_INET, type, 0)) {
    sockaddr_in self = Address(from, 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self);
    sockaddr_in server = Address(from, 111);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&server),
                         sizeof server) == 0;
  }
  ~Socket() { close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool connected() const { return connected_; }
  void Send(const std::vector<std::uint8_t>& bytes) {
    send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // What arrives within `ms`; nothing when nothing does; an empty vector
  // when the server closed the connection.
  std::optional<std::vector<std::uint8_t>> Receive(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(65536);
    ssize_t n = recv(fd_, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? n : 0);
    return bytes;
  }
  // A TCP reply: the record, without its mark.
  std::optional<std::vector<std::uint8_t>> ReceiveRecord(int ms) {
    std::vector<std::uint8_t> all;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (all.size() < 4 ||
           all.size() - 4 < (MarkLength(all) & 0x7FFFFFFF)) {
      int left = static_cast<int>(std::chrono::duration_cast<
          std::chrono::milliseconds>(deadline - Clock::now()).count());
      auto part = Receive(std::max(left, 0));
      if (!part || part->empty()) return std::nullopt;
      all.insert(all.end(), part->begin(), part->end());
    }
    return std::vector<std::uint8_t>(all.begin() + 4, all.end());
  }

 private:
  static std::uint32_t MarkLength(const std::vector<std::uint8_t>& b) {
    return std::uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3];
  }
  int fd_;
  bool connected_ = false;
};

std::vector<std::uint8_t> Record(const Wire& call) {
  Wire framed;
  framed.U32(0x80000000u | static_cast<std::uint32_t>(call.bytes.size()));
  framed.bytes.insert(framed.bytes.end(), call.bytes.begin(), call.bytes.end());
  return framed.bytes;
}

std::uint32_t AcceptStatus(const std::vector<std::uint8_t>& reply) {
  return rpc_wire::Parse(reply).status;
}

class ServerAbuseTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_EQ(Ctl("install", "auto", "tcp"), 0);
    pid_ = ServerPid();
    ASSERT_GT(pid_, 0);
    // Every thread has served once: their buffers are in the baseline.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Answers());
    baseline_ = ResidentKiB();
  }

  // The Linux process of the service started from this test's folder.
  pid_t ServerPid() { return FindWineProcess(dir_, "tessard.exe"); }

  // A line of /proc/PID/status, in KiB: VmRSS (resident now) or VmPeak
  // (the most address space ever taken, touched or not).
  long MemoryKiB(const char* field = "VmRSS:") {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field, 0) == 0) {
        return std::stol(line.substr(std::string(field).size()));
      }
    }
    ADD_FAILURE() << "the server is gone";
    return 0;
  }
  long ResidentKiB() { return MemoryKiB(); }

  // A GETPORT of the port mapper itself over UDP and TCP from loopback.
  bool Answers() {
    Wire call = Call(2, 3).Mapping(100000, 2, 17, 0);
    Socket udp(SOCK_DGRAM, "127.0.0.1");
    udp.Send(call.bytes);
    auto reply = udp.Receive(3000);
    Socket tcp(SOCK_STREAM, "127.0.0.1");
    tcp.Send(Record(call));
    auto record = tcp.ReceiveRecord(3000);
    return reply && reply->size() == 28 && (*reply)[27] == 111 && record &&
           record->size() == 28;
  }

  // A SET from loopback over UDP; whether it was taken.
  bool Register(std::uint32_t prog, std::uint32_t vers) {
    Socket udp(SOCK_DGRAM, "127.0.0.1");
    udp.Send(Call(4, 1).Rpcb(prog, vers, "udp", "127.0.0.1.8.1",
                             std::string(64, 'o')).bytes);
    auto reply = udp.Receive(3000);
    if (!reply) return false;
    rpc_wire::Reply r = rpc_wire::Parse(*reply);
    return r.status == 0 && r.U32() == 1;
  }

  // Serving, and its memory back near the baseline, within `seconds` (the
  // connection pool gives back threads idle for 10 s).
  void ExpectServingWithMemoryNearBaseline(long slackKiB, int seconds = 0) {
    EXPECT_TRUE(Answers());
    EXPECT_EQ(Rpcinfo({"-p", "127.0.0.1"}).code, 0);
    auto giveUp = Clock::now() + std::chrono::seconds(seconds);
    long now = ResidentKiB();
    while (now > baseline_ + slackKiB && Clock::now() < giveUp) {
      usleep(500000);
      now = ResidentKiB();
    }
    std::printf("resident memory: %ld KiB before, %ld KiB after\n", baseline_,
                now);
    EXPECT_LE(now, baseline_ + slackKiB);
  }

  pid_t pid_ = -1;
  long baseline_ = 0;
};

TEST_F(ServerAbuseTest, GarbageAndMutatedCallsLeaveItServingInBoundedMemory) {
  std::mt19937 random(111);
  const std::vector<Wire> valid = {
      Call(2, 3).Mapping(100000, 2, 17, 0),
      Call(4, 3).Rpcb(100000, 4, "udp", "", "x"),
      Call(3, 1).Rpcb(300001, 1, "udp", "127.0.0.1.8.1", "0"),
      Call(4, 4),
      Call(4, 12),
      Call(2, 5).Mapping(100003, 3, 17, 0),
  };
  Socket local(SOCK_DGRAM, "127.0.0.1");
  Socket remote(SOCK_DGRAM, kOtherAddress);
  for (int i = 0; i < 100000; ++i) {
    std::vector<std::uint8_t> bytes;
    if (i % 2 == 0) {
      bytes.resize(random() % 1500);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    } else {
      bytes = valid[random() % valid.size()].bytes;
      for (int flips = 1 + random() % 4; flips > 0 && !bytes.empty();
           --flips) {
        std::size_t at = random() % bytes.size();
        // A length of 0xFFFFFFFF somewhere, a flipped byte, or a cut.
        switch (random() % 3) {
          case 0:
            for (std::size_t k = at & ~3u; k < (at & ~3u) + 4 &&
                                          k < bytes.size(); ++k) {
              bytes[k] = 0xFF;
            }
            break;
          case 1:
            bytes[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
            break;
          default:
            bytes.resize(at);
        }
      }
    }
    (i % 3 ? local : remote).Send(bytes);
    // Now and then, let the server catch up, and read what came back.
    if (i % 64 == 0) {
      while (local.Receive(1)) {
      }
      while (remote.Receive(0)) {
      }
    }
  }
  ExpectServingWithMemoryNearBaseline(4096);
}

TEST_F(ServerAbuseTest, LengthsOfGigabytesAreRefusedAtOnce) {
  const long peak = MemoryKiB("VmPeak:");
  Socket tcp(SOCK_STREAM, "127.0.0.1");
  ASSERT_TRUE(tcp.connected());
  tcp.Send({0x7F, 0xFF, 0xFF, 0xF0});  // a fragment of nearly 2 GiB
  auto closed = tcp.Receive(5000);     // the idle limit is 20 s
  ASSERT_TRUE(closed.has_value()) << "still open after 5 s";
  EXPECT_TRUE(closed->empty());

  Wire hugeNetid = Call(4, 3).U32(100000).U32(4).U32(0xFFFFFFFF);
  Wire hugeOwner = Call(3, 1).U32(300001).U32(1).Str("udp").Str("x").U32(
      0xFFFFFFFF);
  Wire hugeNetbuf = Call(4, 8).U32(16).U32(0xFFFFFFFF);
  for (const Wire* call : {&hugeNetid, &hugeOwner, &hugeNetbuf}) {
    Socket udp(SOCK_DGRAM, "127.0.0.1");
    udp.Send(call->bytes);
    auto reply = udp.Receive(3000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(AcceptStatus(*reply), 4u);  // GARBAGE_ARGS
    Socket stream(SOCK_STREAM, "127.0.0.1");
    stream.Send(Record(*call));
    auto record = stream.ReceiveRecord(3000);
    ASSERT_TRUE(record);
    EXPECT_EQ(AcceptStatus(*record), 4u);
  }
  // An AUTH_SYS credential whose machine name or group list says 2^32 - 1.
  for (bool groups : {false, true}) {
    Wire call;
    call.U32(0x1234).U32(0).U32(2).U32(100000).U32(2).U32(0).U32(1).U32(20);
    call.U32(0);  // stamp
    if (groups) call.Str("").U32(0).U32(0).U32(0xFFFFFFFF).U32(0);
    else call.U32(0xFFFFFFFF).U32(0).U32(0).U32(0);
    call.U32(0).U32(0);
    Socket udp(SOCK_DGRAM, "127.0.0.1");
    udp.Send(call.bytes);
    auto reply = udp.Receive(3000);
    ASSERT_TRUE(reply);
    rpc_wire::Reply denied = rpc_wire::Parse(*reply);
    EXPECT_EQ(denied.state, 1u);
    EXPECT_EQ(denied.U32(), 1u);  // AUTH_BADCRED
  }
  ExpectServingWithMemoryNearBaseline(4096);
  // Not even address space was taken for what the lengths announced.
  EXPECT_LT(MemoryKiB("VmPeak:") - peak, 64 * 1024);
}

TEST_F(ServerAbuseTest, IdleAndSlowConnectionsDoNotKeepClientsOut) {
  // More idle connections than the server keeps, and one slow caller.
  std::vector<std::unique_ptr<Socket>> idle;
  for (int i = 0; i < 80; ++i) {
    idle.push_back(std::make_unique<Socket>(SOCK_STREAM, "127.0.0.1"));
    ASSERT_TRUE(idle.back()->connected());
  }
  std::vector<std::uint8_t> slowCall = Record(Call(2, 0));
  Socket slow(SOCK_STREAM, "127.0.0.1");
  auto start = Clock::now();
  slow.Send({slowCall[0]});
  // New clients are served at once (a client that had to wait for an idle
  // connection to time out would wait 20 s).
  EXPECT_TRUE(Answers());
  EXPECT_EQ(Rpcinfo({"-t", "127.0.0.1", "100000", "4"}).code, 0);
  EXPECT_EQ(Rpcinfo({"-u", "127.0.0.1", "100000", "4"}).code, 0);

  // A byte a second: the call never completes; the server hangs up after
  // 10 s.
  bool hungUp = false;
  for (std::size_t i = 1; i < slowCall.size() && !hungUp; ++i) {
    auto arrived = slow.Receive(1000);
    if (arrived && arrived->empty()) hungUp = true;
    slow.Send({slowCall[i]});
  }
  EXPECT_TRUE(hungUp) << "the slow call was still open when complete";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));

  // Every idle connection is closed by 20 s of silence, or sooner, to make
  // room; none gets an answer.
  int closed = 0;
  for (auto& socket : idle) {
    auto left = std::chrono::seconds(25) - (Clock::now() - start);
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    auto arrived = socket->Receive(std::max(ms, 0));
    closed += arrived && arrived->empty();
  }
  EXPECT_EQ(closed, 80);
  // A thread of the connection pool served each: all but a few end.
  ExpectServingWithMemoryNearBaseline(8192, 20);
}

TEST_F(ServerAbuseTest, TinyFragmentsMakeARecordUpToTheBoundAndNoFurther) {
  // A record of `size` bytes (a NULL call and padding after it, which the
  // call does not read) in one-byte fragments, and `empty` empty ones.
  auto inFragments = [](std::size_t size, std::size_t empty) {
    std::vector<std::uint8_t> call = Call(2, 0).bytes;
    call.resize(size, 0);
    Wire stream;
    for (std::size_t i = 0; i < empty; ++i) stream.U32(0);
    for (std::size_t i = 0; i < call.size(); ++i) {
      stream.U32((i + 1 == call.size() ? 0x80000000u : 0) | 1);
      stream.bytes.push_back(call[i]);
    }
    return stream.bytes;
  };
  struct Row {
    const char* what;
    std::size_t size, empty;
    bool answered;
  } rows[] = {
      {"a call in 40 fragments", 40, 0, true},
      {"8192 bytes in 8192 fragments", 8192, 0, true},
      {"8193 bytes", 8193, 0, false},
      {"8192 fragments and one empty one", 8192, 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Socket tcp(SOCK_STREAM, "127.0.0.1");
    tcp.Send(inFragments(row.size, row.empty));
    auto reply = tcp.ReceiveRecord(5000);
    EXPECT_EQ(reply.has_value(), row.answered);
    if (reply) EXPECT_EQ(AcceptStatus(*reply), 0u);
  }
  ExpectServingWithMemoryNearBaseline(4096);
}

TEST_F(ServerAbuseTest, RegistrationsFillTheTableAndNoFurther) {
  int accepted = 0;
  for (std::uint32_t vers = 1; vers <= 2100; ++vers) {
    accepted += Register(400000, vers);
  }
  // 2048 places; the port mapper's own take 10 (IPv4 and IPv6).
  EXPECT_EQ(accepted, 2038);
  Socket udp(SOCK_DGRAM, "127.0.0.1");
  udp.Send(Call(4, 3).Rpcb(400000, 2000, "udp", "").bytes);
  auto found = udp.Receive(3000);
  ASSERT_TRUE(found);
  rpc_wire::Reply lookup = rpc_wire::Parse(*found);
  EXPECT_EQ(lookup.Str(), "127.0.0.1.8.1");
  Result listing = Rpcinfo({"127.0.0.1"});
  EXPECT_EQ(listing.code, 0);
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = listing.output.find("400000", at)) !=
                           std::string::npos; ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, 2038u);
  ExpectServingWithMemoryNearBaseline(8192);
}

// From another machine, over UDP, every procedure of every version gets
// back at most what it sent; the ones whose replies grow with the table,
// and forwarding, get nothing. Over TCP the caller is proven: DUMP comes.
TEST_F(ServerAbuseTest, RemoteDatagramsAreNeverAmplified) {
  for (std::uint32_t vers = 1; vers <= 60; ++vers) {
    ASSERT_TRUE(Register(400000, vers));
  }
  double worst = 0;
  for (std::uint32_t vers = 1; vers <= 5; ++vers) {
    for (std::uint32_t proc = 0; proc <= 13; ++proc) {
      Wire call = Call(vers, proc).Rpcb(400000, 1, "udp", "", "");
      Socket remote(SOCK_DGRAM, kOtherAddress);
      remote.Send(call.bytes);
      auto reply = remote.Receive(500);
      std::size_t back = reply ? reply->size() : 0;
      SCOPED_TRACE("version " + std::to_string(vers) + " procedure " +
                   std::to_string(proc));
      EXPECT_LE(back, call.bytes.size());
      worst = std::max(worst, double(back) / call.bytes.size());
      bool grows = proc == 4 || proc == 5 || (vers == 4 && proc >= 11 &&
                                              proc <= 12);
      if (vers >= 2 && vers <= 4 && grows) EXPECT_FALSE(reply);
    }
  }
  std::printf("largest reply to a remote datagram: %.2f of its size\n", worst);
  Socket tcp(SOCK_STREAM, kOtherAddress);
  Wire dump = Call(4, 4);
  tcp.Send(Record(dump));
  auto listing = tcp.ReceiveRecord(5000);
  ASSERT_TRUE(listing);
  EXPECT_GT(listing->size(), 20 * dump.bytes.size());
}

}  // namespace
}  // namespace server_system
