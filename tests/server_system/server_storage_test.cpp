// The table that outlasts the server: tessard.exe as a service keeps each
// registration in the registry (...\Parameters\Registrations), brings back
// at start those a socket still serves, drops those of programs that have
// died, and moves damaged values aside. Runs inside in_namespace.sh.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

using Clock = std::chrono::steady_clock;
using rpc_wire::Wire;

// "<prog> <vers> <netid>": the stored value's name of a registration.
std::string Key(std::uint32_t prog, std::uint32_t vers,
                const std::string& netid) {
  return std::to_string(prog) + " " + std::to_string(vers) + " " + netid;
}

std::string Uaddr(const std::string& host, unsigned short port) {
  return host + "." + std::to_string(port >> 8) + "." +
         std::to_string(port & 0xFF);
}

// A registration's stored bytes, written here from the layout rather than
// by the server's encoder: layout 1, program, version, netid, address,
// owner, the SET's version, the process's id and creation time.
std::vector<std::uint8_t> StoredBytes(std::uint32_t prog, std::uint32_t vers,
                                      const std::string& uaddr,
                                      std::uint32_t setVersion = 4,
                                      const std::string& owner = "unknown") {
  return Wire().U32(1).U32(prog).U32(vers).Str("udp").Str(uaddr).Str(owner)
      .U32(setVersion).U32(0).U32(0).U32(0).bytes;
}

// A version 4 SET (1) or UNSET (2) on a TCP connection; nothing when no
// reply came.
std::optional<bool> Change(Socket& tcp, std::uint32_t proc,
                           std::uint32_t prog, std::uint32_t vers,
                           const std::string& netid,
                           const std::string& uaddr) {
  tcp.Send(Record(rpc_wire::Call(4, proc).Rpcb(prog, vers, netid, uaddr)
                      .bytes));
  auto reply = tcp.ReceiveRecord(5000);
  if (!reply || reply->size() < 28) return std::nullopt;
  rpc_wire::Reply r = rpc_wire::Parse(*reply);
  return r.status == 0 && r.U32() == 1;
}

bool Set(std::uint32_t prog, std::uint32_t vers, const std::string& netid,
         const std::string& uaddr) {
  Socket tcp(SOCK_STREAM, "127.0.0.1");
  return Change(tcp, 1, prog, vers, netid, uaddr).value_or(false);
}

// A socket bound to host and port (any port for 0), listening when it is
// TCP: what a program serving there holds. IPv6 sockets are IPv6 only.
class Bound {
 public:
  Bound(int type, const char* host, unsigned short port = 0) {
    sockaddr_storage at;
    socklen_t length = AnyAddress(host, port, &at);
    fd_ = socket(at.ss_family, type, 0);
    int one = 1;
    if (at.ss_family == AF_INET6) {
      setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&at), length), 0)
        << host << " port " << port << ": " << std::strerror(errno);
    if (type == SOCK_STREAM) listen(fd_, 4);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.ss_family == AF_INET6
                      ? reinterpret_cast<sockaddr_in6&>(at).sin6_port
                      : reinterpret_cast<sockaddr_in&>(at).sin_port);
  }
  ~Bound() { close(fd_); }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;
  unsigned short port() const { return port_; }

 private:
  int fd_;
  unsigned short port_ = 0;
};

// A program that binds a UDP socket on 127.0.0.1, registers it as "udp"
// over loopback, and waits to be killed.
class Registrant {
 public:
  Registrant(std::uint32_t prog, std::uint32_t vers) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      Bound udp(SOCK_DGRAM, "127.0.0.1");
      char ok = Set(prog, vers, "udp", Uaddr("127.0.0.1", udp.port()));
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char ok = 0;
    registered_ = read(ready[0], &ok, 1) == 1 && ok;
    close(ready[0]);
  }
  ~Registrant() { Kill(); }
  bool registered() const { return registered_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool registered_ = false;
};

class StoredTableTest : public ServerTest {
 protected:
  void Install(const char* start = "auto") {
    ASSERT_EQ(Ctl("install", start, "tcp"), 0);
  }
  void Start() { ASSERT_EQ(Ctl("start", "tcp"), 0); }
  void Stop() {
    RunProgram({"wine", "sc", "stop", kTcpService}, dir_);
    auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (Query(kTcpService).state != 1) {  // STOPPED
      ASSERT_LT(Clock::now(), giveUp) << "the service does not stop";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  // The table by its DUMP, without the port mapper's own: key to address.
  // Fails the test when the DUMP does not decode or lists a key twice.
  std::map<std::string, std::string> Table() {
    auto listed = Dump();
    EXPECT_TRUE(listed) << "the table does not decode";
    std::map<std::string, std::string> table;
    for (const Listed& e : listed.value_or(std::vector<Listed>{})) {
      if (e.prog == 100000) continue;
      EXPECT_TRUE(table.emplace(Key(e.prog, e.vers, e.netid), e.uaddr).second)
          << "listed twice: " << Key(e.prog, e.vers, e.netid);
    }
    return table;
  }
  std::map<std::string, std::string> Values(const std::string& key) {
    return RegistryValues(key).value_or(std::map<std::string, std::string>{});
  }
  template <typename Map>
  static std::set<std::string> Names(const Map& map) {
    std::set<std::string> names;
    for (const auto& [name, value] : map) names.insert(name);
    return names;
  }
};

// Clients change the table while the server's process is killed. Started
// again, it holds every change that was answered true; the one change each
// client had in flight may have gone either way.
TEST_F(StoredTableTest, AKilledServerKeepsEveryChangeItAnswered) {
  Install();
  const pid_t server = ServerPid();
  ASSERT_GT(server, 0);
  Bound udp(SOCK_DGRAM, "127.0.0.1");
  Bound tcp(SOCK_STREAM, "127.0.0.1");
  enum State { kAbsent, kPresent, kInFlight };
  constexpr int kClients = 4;
  constexpr std::uint32_t kVersions = 24;
  std::vector<std::vector<State>> states(kClients,
                                         std::vector<State>(kVersions));
  auto netid = [](std::uint32_t vers) { return vers % 2 ? "udp" : "tcp"; };
  auto uaddr = [&](std::uint32_t vers) {
    return Uaddr("127.0.0.1", vers % 2 ? udp.port() : tcp.port());
  };
  std::atomic<int> answered{0}, refused{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Socket connection(SOCK_STREAM, "127.0.0.1");
      std::minstd_rand pick(c + 1);
      for (;;) {
        std::uint32_t vers = 1 + pick() % kVersions;
        State& state = states[c][vers - 1];
        const State was = state;
        state = kInFlight;
        auto ok = Change(connection, was == kAbsent ? 1 : 2, 380000 + c, vers,
                         netid(vers), uaddr(vers));
        if (!ok) return;  // the server is gone: the change stays in flight
        state = *ok ? (was == kAbsent ? kPresent : kAbsent) : was;
        ++(*ok ? answered : refused);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(server, SIGKILL);
  for (std::thread& t : clients) t.join();
  std::printf("%d changes answered true before the kill\n", answered.load());
  EXPECT_EQ(refused.load(), 0);
  ASSERT_GT(answered.load(), 50) << "too few changes to test anything";

  Start();
  const auto table = Table();
  for (int c = 0; c < kClients; ++c) {
    for (std::uint32_t vers = 1; vers <= kVersions; ++vers) {
      const std::string key = Key(380000 + c, vers, netid(vers));
      auto found = table.find(key);
      if (states[c][vers - 1] == kPresent) {
        EXPECT_TRUE(found != table.end() && found->second == uaddr(vers))
            << key << " was set and is not back";
      } else if (states[c][vers - 1] == kAbsent) {
        EXPECT_TRUE(found == table.end()) << key << " was unset and is back";
      }
    }
  }
  EXPECT_EQ(Names(Values(kStoredKey)), Names(table));
}

// A stop and a start through the service manager bring back what a socket
// still serves, and drop what none serves any more (closed, now of another
// protocol, address or family, its program killed while the server was
// down), deleting it from storage.
TEST_F(StoredTableTest, AStartBringsBackWhatIsServedAndDropsTheRest) {
  constexpr int kKeep = -1, kClose = 0;
  struct Row {
    const char* what;
    int type;
    const char* bound;       // where the socket is bound while serving
    const char* registered;  // the host of the registered address
    int later;               // kKeep, kClose, or the type bound instead
    const char* laterHost;
    bool back;
  };
  const Row rows[] = {
      {"UDP kept", SOCK_DGRAM, "127.0.0.1", "127.0.0.1", kKeep, "", true},
      {"UDP on IPv6 kept", SOCK_DGRAM, "::1", "::1", kKeep, "", true},
      {"TCP on the wildcard", SOCK_STREAM, "0.0.0.0", "127.0.0.1", kKeep, "",
       true},
      {"UDP closed", SOCK_DGRAM, "127.0.0.1", "127.0.0.1", kClose, "", false},
      {"TCP now UDP", SOCK_STREAM, "127.0.0.1", "127.0.0.1", SOCK_DGRAM,
       "127.0.0.1", false},
      {"UDP now on another address", SOCK_DGRAM, kSecondAddress,
       kSecondAddress, SOCK_DGRAM, kThirdAddress, false},
      {"UDP on IPv6 now IPv4", SOCK_DGRAM, "::1", "::1", SOCK_DGRAM,
       "127.0.0.1", false},
  };
  auto key = [](std::uint32_t vers, const Row& row) {
    std::string netid = row.type == SOCK_DGRAM ? "udp" : "tcp";
    return Key(390000, vers, netid + (std::strchr(row.registered, ':') ? "6"
                                                                        : ""));
  };
  Install();
  std::vector<std::unique_ptr<Bound>> sockets;
  std::set<std::string> back;
  for (std::uint32_t vers = 1; vers <= std::size(rows); ++vers) {
    const Row& row = rows[vers - 1];
    sockets.push_back(std::make_unique<Bound>(row.type, row.bound));
    std::string k = key(vers, row);
    ASSERT_TRUE(Set(390000, vers, k.substr(k.rfind(' ') + 1),
                    Uaddr(row.registered, sockets.back()->port())))
        << row.what;
    if (row.back) back.insert(k);
  }
  Registrant dies(390000, 100);
  ASSERT_TRUE(dies.registered());

  ASSERT_NO_FATAL_FAILURE(Stop());
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    if (rows[i].later == kKeep) continue;
    unsigned short port = sockets[i]->port();
    sockets[i].reset();
    if (rows[i].later != kClose) {
      sockets[i] = std::make_unique<Bound>(rows[i].later, rows[i].laterHost,
                                           port);
    }
  }
  dies.Kill();
  Start();
  const auto table = Table();
  for (std::uint32_t vers = 1; vers <= std::size(rows); ++vers) {
    EXPECT_EQ(table.count(key(vers, rows[vers - 1])),
              rows[vers - 1].back ? 1u : 0u)
        << rows[vers - 1].what;
  }
  EXPECT_EQ(Names(table), back);
  EXPECT_EQ(Names(Values(kStoredKey)), back);
}

// While the server runs, a registrant that dies is dropped within 15 s of
// its death (20 s asserted), whether it dies within its SET's grace or long
// after; one that lives stays, for a minute and more.
TEST_F(StoredTableTest, ARegistrantThatDiesIsDroppedAndOneThatLivesStays) {
  Install();
  Registrant lives(400001, 1), diesAtOnce(400001, 2), diesLater(400001, 3);
  ASSERT_TRUE(lives.registered() && diesAtOnce.registered() &&
              diesLater.registered());
  const auto set = Clock::now();
  diesAtOnce.Kill();
  auto seconds = [](Clock::duration d) {
    return std::chrono::duration<double>(d).count();
  };
  std::optional<Clock::time_point> laterKilled;
  std::optional<double> firstGone, laterGone;
  while (Clock::now() - set < std::chrono::seconds(62)) {
    const auto table = Table();
    const auto now = Clock::now();
    EXPECT_EQ(table.count(Key(400001, 1, "udp")), 1u)
        << "a living registrant dropped after " << seconds(now - set) << " s";
    if (!firstGone && !table.count(Key(400001, 2, "udp"))) {
      firstGone = seconds(now - set);
    }
    if (laterKilled && !laterGone && !table.count(Key(400001, 3, "udp"))) {
      laterGone = seconds(now - *laterKilled);
    }
    if (!laterKilled) {
      EXPECT_EQ(table.count(Key(400001, 3, "udp")), 1u);
      if (now - set > std::chrono::seconds(30)) {
        diesLater.Kill();
        laterKilled = Clock::now();
      }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ASSERT_TRUE(firstGone) << "a registrant dead at once is never dropped";
  ASSERT_TRUE(laterGone) << "a registrant dead after 30 s is never dropped";
  std::printf("dropped %.1f s after dying at once, %.1f s after dying later\n",
              *firstGone, *laterGone);
  EXPECT_LE(*firstGone, 20.0);
  EXPECT_LE(*laterGone, 20.0);
  EXPECT_EQ(Names(Values(kStoredKey)),
            std::set<std::string>{Key(400001, 1, "udp")});
}

// Values an administrator damaged with reg.exe: the service starts and
// serves, brings back the value that is whole, and moves each damaged one,
// bytes unchanged, to ...\Parameters\Damaged. So are the values beyond
// the table's 2048 places.
TEST_F(StoredTableTest, DamagedValuesAreMovedAsideAndTheRestServes) {
  Install("manual");
  Bound udp(SOCK_DGRAM, "127.0.0.1");
  const std::string at = Uaddr("127.0.0.1", udp.port());
  const std::pair<std::string, std::vector<std::uint8_t>> damaged[] = {
      {"410001 1 udp", {0, 0, 0, 1, 0, 6}},  // ends inside a field
      {"410002 1 udp", StoredBytes(410002, 1, at, 9)},  // no SET of version 9
      {"410003 1 udp", StoredBytes(410003, 1, at, 4, std::string(65, 'o'))},
      {"410004 1 udp", StoredBytes(410004, 1, "::1.0.1")},  // IPv6 on udp
      {"100000 1 udp", StoredBytes(100000, 1, at)},  // the port mapper's own
      {"410000 1 udp copy", StoredBytes(410000, 1, at)},  // a duplicate
  };
  ASSERT_TRUE(
      RegistryAdd(kStoredKey, "410000 1 udp", StoredBytes(410000, 1, at)));
  for (const auto& [name, bytes] : damaged) {
    ASSERT_TRUE(RegistryAdd(kStoredKey, name, bytes)) << name;
  }
  Start();
  EXPECT_EQ(Table(), (std::map<std::string, std::string>{
                         {"410000 1 udp", at}}));
  EXPECT_EQ(Names(Values(kStoredKey)),
            std::set<std::string>{"410000 1 udp"});
  auto aside = Values(kDamagedKey);
  for (const auto& [name, bytes] : damaged) {
    EXPECT_EQ(aside[name], Hex(bytes)) << name;
  }
  EXPECT_EQ(aside.size(), std::size(damaged));
  EXPECT_TRUE(Set(410005, 1, "udp", at)) << "it does not serve";

  // More values than the table has places: 2038 come back beside the
  // port mapper's own 10, and the rest are moved aside.
  ASSERT_NO_FATAL_FAILURE(Stop());
  std::set<std::string> written = {"410000 1 udp", "410005 1 udp"};
  {
    std::ofstream reg(dir_ + "/many.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n[" << kStoredKey
        << "]\r\n";
    for (std::uint32_t vers = 1; vers <= 2040; ++vers) {
      std::string hex = Hex(StoredBytes(420000, vers, at));
      reg << "\"" << Key(420000, vers, "udp") << "\"=hex:";
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        reg << (i ? "," : "") << hex.substr(i, 2);
      }
      reg << "\r\n";
      written.insert(Key(420000, vers, "udp"));
    }
  }
  ASSERT_EQ(RunProgram({"wine", "reg", "import", "many.reg"}, dir_).code, 0);
  Start();
  const auto table = Table();
  EXPECT_EQ(table.size(), 2038u);
  const auto stored = Names(Values(kStoredKey));
  EXPECT_EQ(stored, Names(table));
  aside = Values(kDamagedKey);
  for (const std::string& name : written) {
    EXPECT_EQ(stored.count(name) + aside.count(name), 1u) << name;
  }
  EXPECT_EQ(aside.size(), std::size(damaged) + written.size() - 2038);
}

// The Parameters key, or the key of the registrations below it, deleted
// with reg.exe while the service runs: within 5 s changes answer true and
// are stored, in a key made again with the whole table, and the settings
// are the defaults until the new key holds some, which are followed.
TEST_F(StoredTableTest, ADeletedKeyIsMadeAgainWithTheTableAndTheDefaults) {
  Install("manual");
  SetSetting("RemoteLookups", "REG_MULTI_SZ",
             std::string(kThirdAddress) + "/32");
  Start();
  Bound udp(SOCK_DGRAM, "127.0.0.1");
  const std::string at = Uaddr("127.0.0.1", udp.port());
  ASSERT_TRUE(Set(440000, 1, "udp", at));
  ASSERT_TRUE(Set(440000, 2, "udp", at));
  ASSERT_FALSE(Answers(SOCK_STREAM, kSecondAddress, kOtherAddress));
  std::set<std::string> expected = {Key(440000, 1, "udp"),
                                    Key(440000, 2, "udp")};
  std::uint32_t vers = 1;
  for (const char* deleted : {kStoredKey, kTcpParameters}) {
    SCOPED_TRACE(deleted);
    ASSERT_EQ(RunProgram({"wine", "reg", "delete", deleted, "/f"}, dir_).code,
              0);
    const auto start = Clock::now();
    Socket tcp(SOCK_STREAM, "127.0.0.1");
    EXPECT_EQ(Change(tcp, 1, 440000, vers + 2, "udp", at), true);
    EXPECT_EQ(Change(tcp, 2, 440000, vers, "udp", at), true);
    expected.insert(Key(440000, vers + 2, "udp"));
    expected.erase(Key(440000, vers, "udp"));
    ++vers;
    if (deleted == kTcpParameters) {
      // Its RemoteLookups went with it.
      ASSERT_GE(MillisecondsUntil(
                    [] {
                      return Answers(SOCK_STREAM, kSecondAddress,
                                     kOtherAddress);
                    },
                    8000),
                0);
    }
    const auto took = Clock::now() - start;
    std::printf("served by a key made again after %.1f s\n",
                std::chrono::duration<double>(took).count());
    EXPECT_LE(took, std::chrono::seconds(5));
    EXPECT_EQ(Names(Values(kStoredKey)), expected);
    EXPECT_EQ(Names(Table()), expected);
  }
  SetSetting("RemoteLookups", "REG_MULTI_SZ",
             std::string(kThirdAddress) + "/32");
  EXPECT_LE(MillisecondsUntil(
                [] {
                  return !Answers(SOCK_STREAM, kSecondAddress, kOtherAddress);
                },
                8000),
            5000)
      << "a setting of the new key is not followed";
}

// The utility's removal takes the stored table with the service, and a new
// installation starts empty, also over a key left in the registry (Wine's
// CreateService keeps what the key of its name holds).
TEST_F(StoredTableTest, RemovalAndANewInstallationStartEmpty) {
  Install();
  Bound udp(SOCK_DGRAM, "127.0.0.1");
  const std::string at = Uaddr("127.0.0.1", udp.port());
  ASSERT_TRUE(Set(430000, 1, "udp", at));
  ASSERT_EQ(Names(Values(kStoredKey)),
            std::set<std::string>{"430000 1 udp"});
  ASSERT_EQ(Ctl("remove", "tcp"), 0);
  EXPECT_FALSE(RegistryValues(kStoredKey)) << "the stored table outlives it";
  Install();
  EXPECT_TRUE(Table().empty());

  // A value written into the key after a removal (a restored .reg file)
  // is held to the same check as any stored registration: nothing listens
  // at its port, so it is dropped and deleted.
  ASSERT_EQ(Ctl("remove", "tcp"), 0);
  const std::string unbound = Uaddr("127.0.0.1", 9);
  ASSERT_TRUE(RegistryAdd(kStoredKey, "430000 1 udp",
                          StoredBytes(430000, 1, unbound)));
  Install();
  EXPECT_TRUE(Table().empty());
  EXPECT_TRUE(Values(kStoredKey).empty());
}

}  // namespace
}  // namespace server_system
