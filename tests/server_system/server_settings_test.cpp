// tessard.exe following the administrator's settings, written into the
// service's Parameters key with Wine's reg.exe: where it serves, whom it
// answers, what it lists to other machines, what a bad value does; how it
// bounds its records under a flood, and what it says when port 111 is
// taken. Runs inside in_namespace.sh.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

using rpc_wire::Call;

class SettingsTest : public ServerTest {
 protected:
  // Registers the service, gives it the settings, and starts it.
  void StartWith(const std::vector<std::vector<std::string>>& values) {
    ASSERT_EQ(Ctl("install", "manual", "tcp"), 0);
    for (const auto& v : values) {
      ASSERT_NO_FATAL_FAILURE(SetSetting(v[0].c_str(), v[1].c_str(), v[2]));
    }
    ASSERT_EQ(Ctl("start", "tcp"), 0);
  }
  Result Console() {
    return RunProgram({"wine", dir_ + "/tessard.exe", "tcp"}, dir_, 60);
  }
};

// A connection from `from` that the server closes at once, before any call
// (its grace for a first call is 1 s).
bool ShutOut(const char* from, const char* to) {
  Socket tcp(SOCK_STREAM, from, to);
  auto closed = tcp.Receive(500);
  return tcp.connected() && closed && closed->empty();
}

// A call over TCP from `from`: the reply's state (0 accepted, 1 denied),
// status and first result word, or {-1} without a reply.
std::vector<long> TcpCall(const char* from, const char* to,
                          const rpc_wire::Wire& call) {
  Socket tcp(SOCK_STREAM, from, to);
  tcp.Send(Record(call.bytes));
  auto reply = tcp.ReceiveRecord(3000);
  if (!reply) return {-1};
  rpc_wire::Reply r = rpc_wire::Parse(*reply);
  return {long(r.state), long(r.status), r.Done() ? -1L : long(r.U32())};
}

TEST_F(SettingsTest, ListenAddressesChooseWhereItServesAndFollowChanges) {
  StartWith({{"ListenAddresses", "REG_MULTI_SZ", kOtherAddress}});
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(type == SOCK_DGRAM ? "UDP" : "TCP");
    EXPECT_TRUE(Answers(type, kThirdAddress, kOtherAddress));
    EXPECT_TRUE(Answers(type, "127.0.0.1", "127.0.0.1"));
    EXPECT_TRUE(Answers(type, "::1", "::1"));
    EXPECT_FALSE(Answers(type, kThirdAddress, kSecondAddress));
    EXPECT_FALSE(Answers(type, kSecondAddress6, kOtherAddress6));
  }

  // Moved to the second address; a connection to the first stays open
  // across the change, idle, well inside its 20 s.
  Socket held(SOCK_STREAM, kThirdAddress, kOtherAddress);
  held.Send(Record(Call(2, 3).Mapping(100000, 2, 6, 0).bytes));
  ASSERT_TRUE(held.ReceiveRecord(3000));
  SetSetting("ListenAddresses", "REG_MULTI_SZ", kSecondAddress);
  const auto changed = std::chrono::steady_clock::now();
  long moved = MillisecondsUntil(
      [] { return Answers(SOCK_DGRAM, kThirdAddress, kSecondAddress, 250); },
      6000);
  auto closed = held.Receive(4000);
  long heldFor = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - changed)
          .count());
  std::printf("the new address answered after %ld ms; the connection to the "
              "old one closed after %ld ms\n", moved, heldFor);
  EXPECT_GE(moved, 0);
  EXPECT_LE(moved, 4000);
  ASSERT_TRUE(closed) << "the connection to the old address stays open";
  EXPECT_TRUE(closed->empty());
  EXPECT_LE(heldFor, 4000);
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(type == SOCK_DGRAM ? "UDP" : "TCP");
    EXPECT_TRUE(Answers(type, kThirdAddress, kSecondAddress));
    EXPECT_FALSE(Answers(type, kThirdAddress, kOtherAddress));
    EXPECT_TRUE(Answers(type, "127.0.0.1", "127.0.0.1"));
  }

  // An address listed before the machine has it is served once it appears.
  const char kLater[] = "10.77.0.9";
  SetSetting("ListenAddresses", "REG_MULTI_SZ",
             std::string(kSecondAddress) + "\\0" + kLater);
  usleep(3000000);  // the change is in force
  EXPECT_FALSE(Answers(SOCK_STREAM, kThirdAddress, kLater));
  ASSERT_EQ(RunProgram({"ip", "addr", "add", std::string(kLater) + "/32",
                        "dev", "lo"}, dir_).code, 0);
  long appeared = MillisecondsUntil(
      [&] { return Answers(SOCK_DGRAM, kThirdAddress, kLater, 250); }, 6000);
  std::printf("the address was served %ld ms after it appeared\n", appeared);
  EXPECT_GE(appeared, 0);
  EXPECT_LE(appeared, 3000);
  EXPECT_TRUE(Answers(SOCK_STREAM, kThirdAddress, kLater));
  RunProgram({"ip", "addr", "del", std::string(kLater) + "/32", "dev", "lo"},
             dir_);
}

TEST_F(SettingsTest, RemoteLookupsLetInTheirNetworksAndListingsStayLocal) {
  StartWith({{"RemoteLookups", "REG_MULTI_SZ", std::string(kThirdAddress) + "/32"},
             {"RemoteListings", "REG_DWORD", "0"}});
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(type == SOCK_DGRAM ? "UDP" : "TCP");
    EXPECT_TRUE(Answers(type, kThirdAddress, kOtherAddress));
    EXPECT_TRUE(Answers(type, "127.0.0.1", "127.0.0.1"));
  }
  EXPECT_FALSE(Answers(SOCK_DGRAM, kSecondAddress, kOtherAddress));
  EXPECT_TRUE(ShutOut(kSecondAddress, kOtherAddress));

  // The listings, to a caller RemoteLookups lets in: MSG_DENIED,
  // AUTH_ERROR, AUTH_TOOWEAK; from loopback, answered.
  const std::vector<rpc_wire::Wire> listings = {
      Call(2, 4), Call(3, 4), Call(4, 4),
      Call(4, 11).Rpcb(100000, 4, "tcp", "", ""), Call(4, 12)};
  for (const rpc_wire::Wire& call : listings) {
    SCOPED_TRACE("procedure " + std::to_string(call.bytes[23]) + " of version " +
                 std::to_string(call.bytes[19]));
    EXPECT_EQ(TcpCall(kThirdAddress, kOtherAddress, call),
              (std::vector<long>{1, 1, 5}));
    EXPECT_EQ(TcpCall("127.0.0.1", "127.0.0.1", call)[0], 0);
  }

  // Changes while serving.
  SetSetting("RemoteListings", "REG_DWORD", "1");
  EXPECT_LE(MillisecondsUntil(
                [&] {
                  return TcpCall(kThirdAddress, kOtherAddress, listings[2])[0] ==
                         0;
                },
                6000),
            4000);
  SetSetting("RemoteLookups", "REG_MULTI_SZ", "");
  long shut = MillisecondsUntil(
      [] { return ShutOut(kThirdAddress, kOtherAddress); }, 6000);
  std::printf("an empty RemoteLookups shut the network out after %ld ms\n",
              shut);
  EXPECT_GE(shut, 0);
  EXPECT_LE(shut, 4000);
  EXPECT_FALSE(Answers(SOCK_DGRAM, kThirdAddress, kOtherAddress));
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    EXPECT_TRUE(Answers(type, "127.0.0.1", "127.0.0.1"));
    EXPECT_TRUE(Answers(type, "::1", "::1"));
  }
  SetSetting("RemoteLookups", "REG_MULTI_SZ", "*");
  EXPECT_LE(MillisecondsUntil(
                [] { return Answers(SOCK_DGRAM, kSecondAddress, kOtherAddress, 250); },
                6000),
            4000);
}

TEST_F(SettingsTest, ABadValueServesNothingAndABadChangeKeepsTheSettings) {
  struct Bad {
    const char* value;
    const char* type;
    const char* data;
    const char* text;
  };
  const Bad kBad[] = {
      {"ListenAddresses", "REG_SZ", "10.77.0.1",
       "ListenAddresses: the value is of type REG_SZ: it must be REG_MULTI_SZ"},
      {"ListenAddresses", "REG_MULTI_SZ", "10.77.0.1\\010.77.0.300",
       "ListenAddresses: \"10.77.0.300\": not an IPv4 or IPv6 address"},
      {"RemoteLookups", "REG_MULTI_SZ", "10.77.0.3/32\\010.0.0.0/33",
       "RemoteLookups: \"10.0.0.0/33\": the prefix length must be 0 to 32"},
      {"RemoteListings", "REG_DWORD", "2", "RemoteListings: the value is 2"},
  };
  for (const Bad& bad : kBad) {
    SCOPED_TRACE(std::string(bad.value) + " = " + bad.data);
    ASSERT_EQ(Ctl("install", "manual", "tcp"), 0);
    SetSetting(bad.value, bad.type, bad.data);
    EXPECT_EQ(Ctl("start", "tcp"), 255);
    ServiceState s = Query(kTcpService);
    EXPECT_EQ(s.state, 1);  // STOPPED
    EXPECT_EQ(s.exitCode, 87u);
    // The console follows the installed service's key.
    Result console = Console();
    EXPECT_EQ(console.code, 87);
    EXPECT_NE(console.output.find(bad.text), std::string::npos)
        << console.output;
    RemoveServices();
  }

  StartWith({{"ListenAddresses", "REG_MULTI_SZ", kOtherAddress}});
  SetSetting("ListenAddresses", "REG_SZ", kSecondAddress);
  // Its good line would shut 10.77.0.2 out, were it applied alone.
  SetSetting("RemoteLookups", "REG_MULTI_SZ",
             std::string(kThirdAddress) + "/32\\010.0.0.0/33");
  usleep(3000000);
  EXPECT_TRUE(Answers(SOCK_DGRAM, kSecondAddress, kOtherAddress));
  EXPECT_TRUE(Answers(SOCK_STREAM, kSecondAddress, kOtherAddress));
  EXPECT_FALSE(Answers(SOCK_STREAM, kThirdAddress, kSecondAddress));
  // And the next good change is followed.
  SetSetting("ListenAddresses", "REG_MULTI_SZ", kSecondAddress);
  DeleteSetting("RemoteLookups");
  EXPECT_LE(MillisecondsUntil(
                [] {
                  return Answers(SOCK_STREAM, kThirdAddress, kSecondAddress);
                },
                6000),
            4000);
}

// Lines of the console's log that contain `text`.
int CountLines(const std::string& log, const std::string& text) {
  int n = 0;
  for (std::size_t at = log.find(text); at != std::string::npos;
       at = log.find(text, at + 1)) {
    ++n;
  }
  return n;
}

TEST_F(SettingsTest, RecordsOfAFloodAreBoundedAndTheRestCounted) {
  // The console follows the installed service's settings.
  ASSERT_EQ(Ctl("install", "manual", "tcp"), 0);
  SetSetting("RemoteLookups", "REG_MULTI_SZ", std::string(kOtherAddress) + "/32");
  const std::string log = dir_ + "/console.log";
  pid_t console = Spawn({"wine", dir_ + "/tessard.exe", "tcp"}, dir_, log);
  ASSERT_GE(MillisecondsUntil(
                [] { return Answers(SOCK_DGRAM, "127.0.0.1", "127.0.0.1"); },
                20000),
            0);
  // The registrations' port stays bound, so that none is dropped as dead
  // (a drop is a granted change too).
  int bound = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in port = Address("127.0.0.1", 2049);
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);

  // SETs over UDP: how many were answered true.
  auto setFrom = [](const char* from, std::uint32_t prog, int count) {
    Socket udp(SOCK_DGRAM, from);
    int granted = 0;
    for (int vers = 1; vers <= count; ++vers) {
      udp.Send(Call(2, 1).Mapping(prog, vers, 17, 2049).bytes);
      auto reply = udp.Receive(2000);
      EXPECT_TRUE(reply && reply->size() == 28) << "SET " << vers;
      granted += reply && reply->size() == 28 && (*reply)[27] == 1;
    }
    return granted;
  };
  const auto burst = std::chrono::steady_clock::now();
  EXPECT_EQ(setFrom(kOtherAddress, 400000, 200), 0);
  EXPECT_EQ(setFrom("127.0.0.1", 500000, 150), 150);
  Socket outside(SOCK_DGRAM, kSecondAddress, kOtherAddress);
  for (int i = 0; i < 100; ++i) {
    outside.Send(Call(2, 3).Mapping(100000, 2, 17, 0).bytes);
    usleep(1000);
  }
  const auto burstTook = std::chrono::steady_clock::now() - burst;
  auto read = [&log] {
    std::ifstream file(log);
    return std::string((std::istreambuf_iterator<char>(file)), {});
  };
  const std::string during = read();
  const char kRefused[] = "is on another machine.";
  const char kGranted[] = "tessard: Registered program";
  const char kLeftOut[] = "more records of this kind were left out";
  if (burstTook < std::chrono::seconds(8)) {
    EXPECT_EQ(CountLines(during, kLeftOut), 0) << during;
  }
  long summed = MillisecondsUntil(
      [&] { return CountLines(read(), kLeftOut) >= 3; }, 20000);
  std::printf("the burst took %lld ms; the counts of what was left out "
              "followed %ld ms after it\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(
                      burstTook).count()),
              summed);
  kill(console, SIGINT);
  int status = 0;
  waitpid(console, &status, 0);
  close(bound);
  const std::string all = read();
  EXPECT_EQ(CountLines(all, kRefused), 20) << all;
  EXPECT_EQ(CountLines(all, kGranted), 100);
  EXPECT_NE(all.find("tessard: 180 " + std::string(kLeftOut)),
            std::string::npos) << all;
  EXPECT_NE(all.find("tessard: 50 " + std::string(kLeftOut)),
            std::string::npos) << all;
  EXPECT_EQ(CountLines(all, "tessard: Shut out 10.77.0.2"), 20);
  EXPECT_EQ(CountLines(all, "a TCP connection"), 0);  // they were datagrams
  EXPECT_NE(all.find("tessard: 80 " + std::string(kLeftOut)),
            std::string::npos) << all;
}

TEST_F(SettingsTest, TheStopTextNamesTheHolderOfPort111OnlyWhenTheTablesDo) {
  // A Linux program, on every address and on one the server opens after
  // others: Wine's tables name no process for its socket, and the server's
  // own sockets are not the holder.
  for (const char* on : {"0.0.0.0", kThirdAddress}) {
    SCOPED_TRACE(on);
    int held = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = Address(on, 111);
    ASSERT_EQ(
        bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Result r = Console();
    close(held);
    EXPECT_EQ(r.code, 10048 & 0xFF);  // WSAEADDRINUSE, as a Linux exit code
    EXPECT_NE(r.output.find("cannot serve UDP on port 111: "),
              std::string::npos) << r.output;
    EXPECT_NE(r.output.find("; another program holds the port."),
              std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("process"), std::string::npos) << r.output;
  }
  // The service, a Wine process: named by its program and process id.
  ASSERT_EQ(Ctl("install", "auto", "tcp"), 0);
  Result r = Console();
  EXPECT_EQ(r.code, 10048 & 0xFF);
  std::string image = "Z:" + dir_ + "/tessard.exe";
  std::replace(image.begin(), image.end(), '/', '\\');
  std::smatch m;
  static const std::regex kHeld(
      R"(cannot serve UDP on port 111: the port is held by (.+) \(process (\d+)\)\.)");
  ASSERT_TRUE(std::regex_search(r.output, m, kHeld)) << r.output;
  EXPECT_EQ(m[1], image);
  EXPECT_GT(std::stoul(m[2]), 0u);
}

}  // namespace
}  // namespace server_system
