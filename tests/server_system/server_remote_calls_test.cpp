// Remote calls through tessard.exe, seen from another machine: a second
// network namespace joined to the test's by a veth pair, where the caller
// sits, and RPC programs of the test's own (remote_call_recorder) on this
// machine, registered through the server, which log every call they
// receive. What forwarding decides is checked in the core's tests; here,
// what only real sockets show. Runs inside in_namespace.sh.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

using rpc_wire::Wire;

// This machine's end of the link, and the other machine's.
constexpr char kHere[] = "10.89.0.1";
constexpr char kThere[] = "10.89.0.2";
constexpr char kHere6[] = "2001:db8:89::1";
constexpr char kThere6[] = "2001:db8:89::2";

constexpr std::uint32_t kProgram = 300101;       // on the wildcard address
constexpr std::uint32_t kLoopbackOnly = 300102;  // on 127.0.0.1

// CALLIT, BCAST or INDIRECT of procedure 1 of `prog` version 1, asking
// for `size` bytes back, with an AUTH_SYS credential.
Wire RemoteCall(std::uint32_t vers, std::uint32_t proc, std::uint32_t prog,
                std::uint32_t size) {
  Wire w;
  w.U32(0x1234).U32(0).U32(2).U32(100000).U32(vers).U32(proc);
  w.U32(1).U32(28).U32(7).Str("there").U32(1234).U32(100).U32(0);
  return w.U32(0).U32(0).U32(prog).U32(1).U32(1).U32(4).U32(size);
}

// A call a program logged: "PROC HOST PORT FLAVOUR".
struct Received {
  unsigned proc = 0, port = 0;
  std::string host;
  int flavour = -1;
};

std::vector<Received> Calls(const std::string& log) {
  std::ifstream file(log);
  std::string ready;
  file >> ready;
  std::vector<Received> calls;
  for (Received c; file >> c.proc >> c.host >> c.port >> c.flavour;) {
    calls.push_back(c);
  }
  return calls;
}

// Gives the end `dev` of the link its addresses and brings it up.
std::string LinkEnd(const char* dev, const char* v4, const char* v6) {
  const std::string d = dev;
  return "ip addr add " + std::string(v4) + "/24 brd + dev " + d +
         " && ip addr add " + v6 + "/64 dev " + d + " nodad && ip link set " +
         d + " up";
}

class ServerRemoteCallsTest : public ServerTest {
 protected:
  // The other machine: a process that only holds a network namespace of
  // its own, joined by the veth pair tsd1 (here) and peer1 (there).
  void SetUp() override {
    ServerTest::SetUp();
    other_ = Spawn({"unshare", "--net", "sleep", "infinity"}, dir_,
                   dir_ + "/other.out");
    const auto ns = std::filesystem::read_symlink("/proc/self/ns/net");
    ASSERT_GE(MillisecondsUntil(
                  [&] {
                    std::error_code e;
                    return std::filesystem::read_symlink(NetNs(), e) != ns &&
                           !e;
                  },
                  5000),
              0);
    const std::string setup =
        "ip link add tsd1 type veth peer name peer1 netns " +
        std::to_string(other_) + " && " + LinkEnd("tsd1", kHere, kHere6) +
        " && nsenter --net=" + NetNs() + " sh -c 'ip link set lo up && " +
        LinkEnd("peer1", kThere, kThere6) + "'";
    Result r = RunProgram({"sh", "-c", setup}, "/tmp");
    ASSERT_EQ(r.code, 0) << r.output;
    ASSERT_EQ(Ctl("install", "auto", "tcp"), 0);
    // The server serves the link's address once it has seen it (an empty
    // reply: port 111 unreachable yet).
    auto served = [&] {
      auto reply = Ask(rpc_wire::Call(4, 0), 500);
      return reply && !reply->empty();
    };
    ASSERT_GE(MillisecondsUntil(served, 10000), 0)
        << "the link's address is not served";
  }

  void TearDown() override {
    for (pid_t pid : programs_) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    ServerTest::TearDown();
    if (other_ > 0) {
      kill(other_, SIGKILL);
      waitpid(other_, nullptr, 0);
    }
    RunProgram({"ip", "link", "del", "tsd1"}, "/tmp");
  }

  std::string NetNs() { return "/proc/" + std::to_string(other_) + "/ns/net"; }

  // A program run on the other machine.
  Result There(const std::vector<std::string>& argv) {
    std::vector<std::string> full = {"nsenter", "--net=" + NetNs()};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunProgram(full, dir_, 60);
  }

  // Runs `f` on a thread of the other machine's network namespace.
  void InThere(const std::function<void()>& f) {
    std::thread([&] {
      int ns = open(NetNs().c_str(), O_RDONLY);
      ASSERT_EQ(setns(ns, CLONE_NEWNET), 0);
      close(ns);
      f();
    }).join();
  }

  // A call from the other machine to port 111 here; the reply that comes
  // from there within `ms`.
  std::optional<std::vector<std::uint8_t>> Ask(const Wire& call, int ms) {
    std::optional<std::vector<std::uint8_t>> reply;
    InThere([&] {
      Socket s(SOCK_DGRAM, kThere, kHere);
      s.Send(call.bytes);
      reply = s.Receive(ms);
    });
    return reply;
  }

  // Starts a recording program registered as `prog` version 1; its log.
  std::string StartProgram(std::uint32_t prog,
                           const std::vector<std::string>& options = {}) {
    std::string log = dir_ + "/program-" + std::to_string(prog) + ".log";
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::string> argv = {
        self.parent_path() / "remote_call_recorder", std::to_string(prog), "1",
        log};
    argv.insert(argv.end(), options.begin(), options.end());
    programs_.push_back(Spawn(argv, dir_, log + ".out"));
    EXPECT_GE(MillisecondsUntil(
                  [&] { return std::ifstream(log).peek() == 'r'; }, 10000),
              0)
        << prog << " did not register";
    return log;
  }

  pid_t other_ = -1;
  std::vector<pid_t> programs_;
};

// rpcinfo -b, run on the other machine, hears this machine through its
// broadcasts (IPv4) and the rpcbind group (IPv6), and the program sees
// each forward come from the address of the link, never from loopback.
TEST_F(ServerRemoteCallsTest, BroadcastDiscoveryFindsThisMachine) {
  std::string log = StartProgram(kProgram);
  Result b = There({"rpcinfo", "-b", std::to_string(kProgram), "1"});
  EXPECT_NE(b.output.find(std::string(kHere) + "."), std::string::npos)
      << b.output;
  EXPECT_NE(b.output.find(std::string(kHere6) + "."), std::string::npos)
      << b.output;
  std::vector<Received> calls = Calls(log);
  EXPECT_FALSE(calls.empty());
  for (const Received& c : calls) {
    EXPECT_TRUE(c.host == kHere || c.host == kHere6) << c.host;
  }
}

// A unicast remote call reaches a program on the wildcard address and
// returns its results, sent from the address called, on a port of no
// privilege, with the caller's credential; nothing goes to a program on
// loopback, and a reply over the size rule is not sent.
TEST_F(ServerRemoteCallsTest, ForwardsReachOnlyWhatTheCallerCouldReach) {
  std::string reachable = StartProgram(kProgram);
  std::string loopback = StartProgram(kLoopbackOnly, {"--bind", "127.0.0.1"});
  std::uint32_t port = 0;  // the program's, from the CALLIT version 2
  struct Row {
    const char* what;
    std::uint32_t vers, proc, prog, size;
    bool answered;
  } rows[] = {
      {"CALLIT: the program's port", 2, 5, kProgram, 8, true},
      {"INDIRECT: its address as the caller reaches it", 4, 10, kProgram, 8,
       true},
      {"a program on loopback", 2, 5, kLoopbackOnly, 8, false},
      {"BCAST, a reply over twice the call", 4, 5, kProgram, 300, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto reply = Ask(RemoteCall(row.vers, row.proc, row.prog, row.size),
                     row.answered ? 3000 : 1500);
    EXPECT_EQ(reply.has_value(), row.answered);
    if (!reply || !row.answered) continue;
    rpc_wire::Reply r = rpc_wire::Parse(*reply);
    EXPECT_EQ(r.xid, 0x1234u);
    ASSERT_EQ(r.status, 0u);
    if (row.vers == 2) {
      port = r.U32();
    } else {
      EXPECT_EQ(r.Str(), std::string(kHere) + "." + std::to_string(port >> 8) +
                             "." + std::to_string(port & 0xFF));
    }
    EXPECT_EQ(r.U32(), 4u + row.size);  // the results' length
    EXPECT_EQ(r.U32(), row.size);
  }
  std::vector<Received> calls = Calls(reachable);
  EXPECT_EQ(calls.size(), 3u);
  for (const Received& c : calls) {
    EXPECT_EQ(c.host, kHere);
    EXPECT_GE(c.port, 1024u);
    EXPECT_EQ(c.flavour, 1);  // AUTH_SYS
  }
  EXPECT_TRUE(Calls(loopback).empty());
}

// libtirpc asking this machine for a listing over UDP fails at once (the
// server refuses it) rather than after its minute; RemoteCalls 0 stops
// forwarding until it is 1 again.
TEST_F(ServerRemoteCallsTest, ListingsFailAtOnceAndRemoteCallsCanBeOff) {
  auto started = std::chrono::steady_clock::now();
  Result listing = There({"rpcinfo", "-T", "udp", kHere});
  EXPECT_NE(listing.code, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(20));

  std::string log = StartProgram(kProgram);
  const Wire callIt = RemoteCall(2, 5, kProgram, 0);
  ASSERT_TRUE(Ask(callIt, 3000));
  SetSetting("RemoteCalls", "REG_DWORD", "0");
  // A change is in force within about a second.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_FALSE(Ask(callIt, 1500));
  EXPECT_EQ(Calls(log).size(), 1u);
  SetSetting("RemoteCalls", "REG_DWORD", "1");
  EXPECT_GE(
      MillisecondsUntil([&] { return Ask(callIt, 500).has_value(); }, 5000), 0);
}

}  // namespace
}  // namespace server_system
