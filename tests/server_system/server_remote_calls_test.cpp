// Remote calls through tessard.exe, seen from another machine: a second
// network namespace joined to the test's by a veth pair, where the caller
// sits, and RPC programs of the test's own (remote_call_recorder) on this
// machine, registered through the server, which record every call they
// receive. Runs inside in_namespace.sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

using rpc_wire::Wire;

// This machine's end of the link, and the other machine's.
constexpr char kHere[] = "10.89.0.1";
constexpr char kThere[] = "10.89.0.2";
constexpr char kBroadcast[] = "10.89.0.255";
constexpr char kHere6[] = "2001:db8:89::1";
constexpr char kThere6[] = "2001:db8:89::2";

constexpr std::uint32_t kProgram = 300101;      // on the wildcard address
constexpr std::uint32_t kLoopbackOnly = 300102;  // on 127.0.0.1
constexpr std::uint32_t kMount = 100005;         // MNT is never forwarded

// A call with an AUTH_SYS credential of uid 1234.
Wire CallAsUser(std::uint32_t vers, std::uint32_t proc, std::uint32_t xid) {
  Wire w;
  w.U32(xid).U32(0).U32(2).U32(100000).U32(vers).U32(proc);
  Wire body;
  body.U32(7).Str("there").U32(1234).U32(100).U32(0);
  w.U32(1).U32(static_cast<std::uint32_t>(body.bytes.size()));
  w.bytes.insert(w.bytes.end(), body.bytes.begin(), body.bytes.end());
  return w.U32(0).U32(0);
}

// CALLIT, BCAST or INDIRECT of procedure `proc` with one number as its
// arguments.
Wire RemoteCall(std::uint32_t vers, std::uint32_t mapperProc,
                std::uint32_t prog, std::uint32_t proc, std::uint32_t number,
                std::uint32_t xid = 0x1234) {
  Wire w = CallAsUser(vers, mapperProc, xid);
  return w.U32(prog).U32(1).U32(proc).U32(4).U32(number);
}

class ServerRemoteCallsTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(MakeOtherMachine());
    ASSERT_EQ(Ctl("install", "auto", "tcp"), 0);
    // The server serves the link's address once it has seen it.
    bool served = false;
    for (int i = 0; i < 20 && !served; ++i) {
      served = Ask(kHere, rpc_wire::Call(4, 0), 500).has_value();
    }
    ASSERT_TRUE(served) << "the link's address is not served";
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

  // A process that only holds a network namespace of its own: the other
  // machine, joined by the veth pair tsd1 (here) and peer1 (there).
  void MakeOtherMachine() {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    other_ = fork();
    if (other_ == 0) {
      char done = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
      (void)!write(ready[1], &done, 1);
      for (;;) pause();
    }
    char done = 0;
    ASSERT_EQ(read(ready[0], &done, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(done, 1);
    const std::string pid = std::to_string(other_);
    const std::vector<std::vector<std::string>> here = {
        {"ip", "link", "add", "tsd1", "type", "veth", "peer", "name", "peer1",
         "netns", pid},
        {"ip", "addr", "add", std::string(kHere) + "/24", "brd", "+", "dev",
         "tsd1"},
        {"ip", "addr", "add", std::string(kHere6) + "/64", "dev", "tsd1",
         "nodad"},
        {"ip", "link", "set", "tsd1", "up"},
    };
    const std::vector<std::vector<std::string>> there = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "addr", "add", std::string(kThere) + "/24", "brd", "+", "dev",
         "peer1"},
        {"ip", "addr", "add", std::string(kThere6) + "/64", "dev", "peer1",
         "nodad"},
        {"ip", "link", "set", "peer1", "up"},
    };
    for (const auto& argv : here) {
      Result r = RunProgram(argv, "/tmp");
      ASSERT_EQ(r.code, 0) << argv[2] << ": " << r.output;
    }
    for (const auto& argv : there) {
      Result r = There(argv);
      ASSERT_EQ(r.code, 0) << argv[2] << ": " << r.output;
    }
  }

  // A program run on the other machine.
  Result There(const std::vector<std::string>& argv, int seconds = 30) {
    std::vector<std::string> full = {
        "nsenter", "--net=/proc/" + std::to_string(other_) + "/ns/net"};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunProgram(full, dir_, seconds);
  }

  // A UDP socket of the other machine, bound to its address.
  int SocketThere(bool v6) {
    int fd = -1;
    std::thread inside([&] {
      std::string path = "/proc/" + std::to_string(other_) + "/ns/net";
      int ns = open(path.c_str(), O_RDONLY);
      if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) return;
      close(ns);
      fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    });
    inside.join();
    EXPECT_GE(fd, 0);
    sockaddr_storage self;
    socklen_t length = AnyAddress(v6 ? kThere6 : kThere, 0, &self);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), length), 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return fd;
  }

  // Sends a call from the other machine to port 111 of `to`; the first
  // reply within `ms`, if any.
  std::optional<std::vector<std::uint8_t>> Ask(const char* to, const Wire& call,
                                               int ms) {
    const bool v6 = std::string(to).find(':') != std::string::npos;
    int fd = SocketThere(v6);
    sockaddr_storage server;
    socklen_t length = AnyAddress(to, 111, &server);
    sendto(fd, call.bytes.data(), call.bytes.size(), 0,
           reinterpret_cast<sockaddr*>(&server), length);
    std::optional<std::vector<std::uint8_t>> reply;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) == 1) {
      std::vector<std::uint8_t> bytes(9000);
      ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
      if (n >= 0) {
        bytes.resize(static_cast<std::size_t>(n));
        reply = bytes;
      }
    }
    close(fd);
    return reply;
  }

  // Starts a recording program registered as `prog` version 1; its log.
  std::string StartProgram(std::uint32_t prog,
                           const std::vector<std::string>& options = {}) {
    std::string log = dir_ + "/program-" + std::to_string(prog) + ".log";
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::string> argv = {
        std::filesystem::path(self).parent_path() / "remote_call_recorder",
        std::to_string(prog), "1", log};
    argv.insert(argv.end(), options.begin(), options.end());
    programs_.push_back(Spawn(argv, dir_, log + ".out"));
    EXPECT_GE(MillisecondsUntil(
                  [&] { return Calls(log).find("ready") != std::string::npos; },
                  10000),
              0)
        << prog << " did not register: " << Calls(log + ".out");
    return log;
  }

  static std::string Calls(const std::string& log) {
    std::ifstream file(log);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  pid_t other_ = -1;
  std::vector<pid_t> programs_;
};

// rpcinfo -b, run on the other machine, hears this machine through its
// broadcasts (IPv4) and the rpcbind group (IPv6), and the program sees
// each forward come from the address of the link, never from loopback.
TEST_F(ServerRemoteCallsTest, BroadcastDiscoveryFindsThisMachine) {
  std::string log = StartProgram(kProgram);
  Result b = There({"rpcinfo", "-b", std::to_string(kProgram), "1"}, 60);
  EXPECT_NE(b.output.find(std::string(kHere) + "."), std::string::npos)
      << b.output;
  EXPECT_NE(b.output.find(std::string(kHere6) + "."), std::string::npos)
      << b.output;
  std::string calls = Calls(log);
  EXPECT_NE(calls.find(std::string("from ") + kHere + " "), std::string::npos)
      << calls;
  EXPECT_EQ(calls.find("from 127."), std::string::npos) << calls;
  EXPECT_EQ(calls.find("from ::1 "), std::string::npos) << calls;
}

// A unicast CALLIT, BCAST or INDIRECT reaches a program on the wildcard
// address with the caller's credential and returns its results; nothing
// goes to a program registered on loopback or to a refused one, and a
// reply over the size rule is not sent.
TEST_F(ServerRemoteCallsTest, ForwardsReachOnlyWhatTheCallerCouldReach) {
  std::string reachable = StartProgram(kProgram);
  std::string loopback = StartProgram(kLoopbackOnly, {"--bind", "127.0.0.1"});
  std::string mount = StartProgram(kMount);

  // Version 2: the program's port and its results (the number plus one).
  auto v2 = Ask(kHere, RemoteCall(2, 5, kProgram, 1, 41), 3000);
  ASSERT_TRUE(v2);
  rpc_wire::Reply r = rpc_wire::Parse(*v2);
  EXPECT_EQ(r.xid, 0x1234u);
  EXPECT_EQ(r.status, 0u);
  std::uint32_t port = r.U32();
  EXPECT_GT(port, 0u);
  EXPECT_EQ(r.U32(), 4u);
  EXPECT_EQ(r.U32(), 42u);
  // Versions 3 and 4: its address as the caller reaches it.
  const std::string uaddr = std::string(kHere) + "." +
                            std::to_string(port >> 8) + "." +
                            std::to_string(port & 0xFF);
  for (auto [vers, proc] : {std::pair{3u, 5u}, {4u, 5u}, {4u, 10u}}) {
    SCOPED_TRACE(std::to_string(vers) + " " + std::to_string(proc));
    auto reply = Ask(kHere, RemoteCall(vers, proc, kProgram, 1, 7), 3000);
    ASSERT_TRUE(reply);
    rpc_wire::Reply rr = rpc_wire::Parse(*reply);
    EXPECT_EQ(rr.status, 0u);
    EXPECT_EQ(rr.Str(), uaddr);
    EXPECT_EQ(rr.U32(), 4u);
    EXPECT_EQ(rr.U32(), 8u);
  }
  // The forwards came from the address called, on a port of no privilege,
  // with the caller's AUTH_SYS credential.
  std::string calls = Calls(reachable);
  EXPECT_NE(calls.find(std::string("call 1 from ") + kHere), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("flavour 1 uid 1234"), std::string::npos) << calls;
  std::istringstream lines(calls);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("call ", 0) != 0) continue;
    std::istringstream words(line);
    std::string call, proc, from, host;
    unsigned source = 0;
    words >> call >> proc >> from >> host >> source;
    EXPECT_GE(source, 1024u) << line;
  }

  // Not forwarded: a loopback registration, MOUNT's MNT, a reply over
  // twice the call (CALLIT silent; INDIRECT told at once: AUTH_TOOWEAK).
  EXPECT_FALSE(Ask(kHere, RemoteCall(2, 5, kLoopbackOnly, 1, 1), 1500));
  EXPECT_FALSE(Ask(kHere, RemoteCall(3, 5, kMount, 1, 1), 1500));
  EXPECT_FALSE(Ask(kHere, RemoteCall(4, 5, kProgram, 2, 300), 1500));
  auto weak = Ask(kHere, RemoteCall(4, 10, kProgram, 2, 300), 3000);
  ASSERT_TRUE(weak);
  rpc_wire::Reply w = rpc_wire::Parse(*weak);
  EXPECT_EQ(w.state, 1u);
  EXPECT_EQ(w.U32(), 5u);
  auto unknown = Ask(kHere, RemoteCall(4, 10, 300199, 1, 1), 3000);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(rpc_wire::Parse(*unknown).status, 1u);  // PROG_UNAVAIL
  EXPECT_EQ(Calls(loopback).find("call "), std::string::npos);
  EXPECT_EQ(Calls(mount).find("call "), std::string::npos);
}

// A listing asked of this machine over UDP is refused at once, in fewer
// bytes than the call, so that the client asks over TCP instead of
// waiting; RemoteCalls 0 stops forwarding until it is 1 again.
TEST_F(ServerRemoteCallsTest, ListingsAreRefusedAtOnceAndRemoteCallsCanBeOff) {
  for (std::uint32_t vers : {2u, 3u, 4u}) {
    Wire dump = rpc_wire::Call(vers, 4);
    auto reply = Ask(kHere, dump, 1000);
    ASSERT_TRUE(reply) << vers;
    EXPECT_LE(reply->size(), dump.bytes.size());
    rpc_wire::Reply r = rpc_wire::Parse(*reply);
    EXPECT_EQ(r.state, 1u);
    EXPECT_EQ(r.U32(), 5u);  // AUTH_TOOWEAK
  }
  // libtirpc over UDP fails at once rather than after its minute.
  auto started = std::chrono::steady_clock::now();
  Result listing = There({"rpcinfo", "-T", "udp", kHere}, 60);
  EXPECT_NE(listing.code, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(20));

  std::string log = StartProgram(kProgram);
  ASSERT_TRUE(Ask(kHere, RemoteCall(2, 5, kProgram, 1, 1), 3000));
  SetSetting("RemoteCalls", "REG_DWORD", "0");
  // A change is in force within about a second.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::size_t before = Calls(log).size();
  EXPECT_FALSE(Ask(kHere, RemoteCall(2, 5, kProgram, 1, 1), 1500));
  auto indirect = Ask(kHere, RemoteCall(4, 10, kProgram, 1, 1), 3000);
  ASSERT_TRUE(indirect);
  EXPECT_EQ(rpc_wire::Parse(*indirect).status, 3u);  // PROC_UNAVAIL
  EXPECT_EQ(Calls(log).size(), before);
  SetSetting("RemoteCalls", "REG_DWORD", "1");
  EXPECT_GE(MillisecondsUntil(
                [&] {
                  return Ask(kHere, RemoteCall(2, 5, kProgram, 1, 1), 500)
                      .has_value();
                },
                5000),
            0);
}

}  // namespace
}  // namespace server_system
