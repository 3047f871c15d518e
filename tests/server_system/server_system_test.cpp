// tessard.exe installed and removed by tessardctl.exe on Wine's service
// manager, and used by clients nobody here wrote: Debian's rpcinfo and
// libtirpc's calls. Runs inside in_namespace.sh.
#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_clnt.h>
#include <rpc/rpcb_prot.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rpc_wire.h"
#include "support.h"

namespace server_system {
namespace {

constexpr rpcprog_t kProgram = 300001;

// A libtirpc client of the port mapper whose socket is bound to the
// namespace's non-loopback address, as a caller on another machine is.
class OtherMachine {
 public:
  OtherMachine(bool tcp, rpcvers_t vers) {
    socket_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in self = Address(kOtherAddress, 0);
    sockaddr_in server = Address(kOtherAddress, 111);
    bind(socket_, reinterpret_cast<sockaddr*>(&self), sizeof self);
    if (tcp) {
      connect(socket_, reinterpret_cast<sockaddr*>(&server), sizeof server);
      client_ = clnttcp_create(&server, PMAPPROG, vers, &socket_, 0, 0);
    } else {
      client_ = clntudp_create(&server, PMAPPROG, vers, timeval{2, 0},
                               &socket_);
    }
  }
  ~OtherMachine() {
    if (client_) clnt_destroy(client_);
    close(socket_);
  }
  template <typename Args>
  bool_t Call(rpcproc_t proc, xdrproc_t encode, Args* args) {
    bool_t result = 99;
    EXPECT_NE(client_, nullptr);
    if (client_) {
      timeval wait{5, 0};
      clnt_stat status = clnt_call(client_, proc, encode,
                                   reinterpret_cast<char*>(args),
                                   reinterpret_cast<xdrproc_t>(xdr_bool),
                                   reinterpret_cast<char*>(&result), wait);
      EXPECT_EQ(status, RPC_SUCCESS);
    }
    return result;
  }
  CLIENT* client() { return client_; }

 private:
  int socket_ = -1;
  CLIENT* client_ = nullptr;
};

class ServerSystemTest : public ServerTest {
 protected:
  void InstallAndServe() {
    ASSERT_EQ(Ctl("install", "auto", "tcp"), 0);
    ServiceState s = Query(kTcpService);
    ASSERT_TRUE(s.exists);
    ASSERT_EQ(s.state, 4);  // RUNNING
  }
  std::string Listing() { return Rpcinfo({"127.0.0.1"}).output; }
};

TEST_F(ServerSystemTest, RpcinfoSeesThePortMapperInEveryVersion) {
  InstallAndServe();
  Result p = Rpcinfo({"-p", "127.0.0.1"});
  ASSERT_EQ(p.code, 0) << p.output;
  for (const char* proto : {"udp", "tcp"}) {
    for (const char* vers : {"2", "3", "4"}) {
      std::string line = std::string("100000    ") + vers + "   " + proto +
                         "    111  portmapper";
      EXPECT_NE(p.output.find(line), std::string::npos) << p.output;
    }
  }
  std::string all = Listing();
  EXPECT_NE(all.find("100000    4    tcp6      ::.0.111"), std::string::npos)
      << all;
  Result s = Rpcinfo({"-s", "127.0.0.1"});
  EXPECT_NE(s.output.find("100000  2,3,4     tcp6,udp6,tcp,udp"),
            std::string::npos)
      << s.output;
  Result m = Rpcinfo({"-m", "127.0.0.1"});
  EXPECT_EQ(m.code, 0) << m.output;
  EXPECT_NE(m.output.find("PORTMAP (version 2) statistics"), std::string::npos);
  EXPECT_NE(m.output.find("VERADDR INDRECT GETLIST GETSTAT"), std::string::npos)
      << m.output;
  for (const char* option : {"-t", "-u"}) {
    for (const char* vers : {"2", "3", "4"}) {
      Result r = Rpcinfo({option, "127.0.0.1", "100000", vers});
      EXPECT_EQ(r.output, std::string("program 100000 version ") + vers +
                              " ready and waiting\n");
    }
  }
  Result six = Rpcinfo({"-T", "udp6", "::1", "100000", "4"});
  EXPECT_EQ(six.output, "program 100000 version 4 ready and waiting\n");
}

TEST_F(ServerSystemTest, LibtirpcRegistersLooksUpAndRemoves) {
  InstallAndServe();
  sockaddr_in server = Address("127.0.0.1", 111);
  // Through the version 2 calls.
  ASSERT_TRUE(pmap_set(kProgram, 1, IPPROTO_UDP, 2049));
  EXPECT_EQ(pmap_getport(&server, kProgram, 1, IPPROTO_UDP), 2049);
  EXPECT_NE(Listing().find("300001    1    udp       0.0.0.0.8.1"),
            std::string::npos);
  ASSERT_TRUE(pmap_unset(kProgram, 1));
  EXPECT_EQ(pmap_getport(&server, kProgram, 1, IPPROTO_UDP), 0);

  // Through the rpcbind calls, and seen through version 2.
  netconfig* tcp = getnetconfigent("tcp");
  ASSERT_NE(tcp, nullptr);
  sockaddr_in at = Address("127.0.0.1", 4000);
  netbuf address = {sizeof at, sizeof at, &at};
  ASSERT_TRUE(rpcb_set(kProgram, 2, tcp, &address));
  // The very same registration again is granted, as libtirpc's servers
  // that register a transport twice need.
  EXPECT_TRUE(rpcb_set(kProgram, 2, tcp, &address));
  sockaddr_in found = {};
  netbuf answer = {sizeof found, 0, &found};
  ASSERT_TRUE(rpcb_getaddr(kProgram, 2, tcp, &answer, "127.0.0.1"));
  EXPECT_EQ(ntohs(found.sin_port), 4000);
  EXPECT_EQ(pmap_getport(&server, kProgram, 2, IPPROTO_TCP), 4000);
  ASSERT_TRUE(rpcb_unset(kProgram, 2, tcp));
  EXPECT_EQ(Listing().find("300001"), std::string::npos);

  // rpcinfo -d unregisters every netid of a program version.
  ASSERT_TRUE(rpcb_set(kProgram, 3, tcp, &address));
  ASSERT_TRUE(pmap_set(kProgram, 3, IPPROTO_UDP, 2049));
  EXPECT_EQ(Rpcinfo({"-d", "300001", "3"}).code, 0);
  EXPECT_EQ(Listing().find("300001"), std::string::npos);
  freenetconfigent(tcp);
}

TEST_F(ServerSystemTest, AnotherMachineLooksUpButCannotChangeTheTable) {
  InstallAndServe();
  ASSERT_TRUE(pmap_set(kProgram, 1, IPPROTO_UDP, 2049));
  const std::string before = Listing();
  for (bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP" : "UDP");
    OtherMachine v2(tcp, PMAPVERS);
    pmap map = {kProgram, 5, IPPROTO_UDP, 2050};
    EXPECT_EQ(v2.Call(PMAPPROC_SET, reinterpret_cast<xdrproc_t>(xdr_pmap),
                      &map), FALSE);
    map.pm_vers = 1;
    EXPECT_EQ(v2.Call(PMAPPROC_UNSET, reinterpret_cast<xdrproc_t>(xdr_pmap),
                      &map), FALSE);
    // A look-up is answered.
    u_short port = 0;
    timeval wait{5, 0};
    clnt_stat status = clnt_call(v2.client(), PMAPPROC_GETPORT,
                                 reinterpret_cast<xdrproc_t>(xdr_pmap),
                                 reinterpret_cast<char*>(&map),
                                 reinterpret_cast<xdrproc_t>(xdr_u_short),
                                 reinterpret_cast<char*>(&port), wait);
    EXPECT_EQ(status, RPC_SUCCESS);
    EXPECT_EQ(port, 2049);

    OtherMachine v4(tcp, RPCBVERS4);
    rpcb args = {kProgram, 6, const_cast<char*>("tcp"),
                 const_cast<char*>("10.77.0.1.8.1"), const_cast<char*>("0")};
    EXPECT_EQ(v4.Call(RPCBPROC_SET, reinterpret_cast<xdrproc_t>(xdr_rpcb),
                      &args), FALSE);
    args.r_vers = 1;
    args.r_netid = const_cast<char*>("");
    EXPECT_EQ(v4.Call(RPCBPROC_UNSET, reinterpret_cast<xdrproc_t>(xdr_rpcb),
                      &args), FALSE);
    // The registration on the wildcard address comes back with the
    // address this caller reached the server at.
    args.r_netid = const_cast<char*>("udp");
    char* address = nullptr;
    status = clnt_call(v4.client(), RPCBPROC_GETADDR,
                                 reinterpret_cast<xdrproc_t>(xdr_rpcb),
                                 reinterpret_cast<char*>(&args),
                                 reinterpret_cast<xdrproc_t>(xdr_wrapstring),
                                 reinterpret_cast<char*>(&address), wait);
    ASSERT_EQ(status, RPC_SUCCESS);
    EXPECT_STREQ(address, "10.77.0.1.8.1");
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_wrapstring),
             reinterpret_cast<char*>(&address));
  }
  EXPECT_EQ(Listing(), before);
}

// The longest IPv6 address a look-up gives: a version 3 GETADDR over UDP
// from another machine is answered with it, within the bound of a reply
// to a remote datagram (twice the call, 256 bytes).
TEST_F(ServerSystemTest, ARemoteLookUpGetsALongIPv6Address) {
  InstallAndServe();
  const char kLong[] = "2001:db8:b6c0:1f00:d5f3:9a2e:7c41:1b2e.0.200";
  Socket local(SOCK_STREAM, "127.0.0.1");
  local.Send(Record(rpc_wire::Call(4, 1).Rpcb(kProgram, 1, "udp6", kLong)
                        .bytes));
  auto set = local.ReceiveRecord(5000);
  ASSERT_TRUE(set);
  rpc_wire::Reply taken = rpc_wire::Parse(*set);
  ASSERT_EQ(taken.U32(), 1u);
  const auto call = rpc_wire::Call(3, 3).Rpcb(kProgram, 1, "udp6", "", "")
                        .bytes;
  Socket remote(SOCK_DGRAM, kSecondAddress6, kOtherAddress6);
  remote.Send(call);
  auto reply = remote.Receive(3000);
  ASSERT_TRUE(reply) << "no answer";
  EXPECT_LE(reply->size(), std::min<std::size_t>(2 * call.size(), 256));
  rpc_wire::Reply found = rpc_wire::Parse(*reply);
  EXPECT_EQ(found.Str(), kLong);
}

TEST_F(ServerSystemTest, RemoveStopsTheServerAndFreesThePortForTheNext) {
  InstallAndServe();
  ASSERT_EQ(Ctl("remove", "tcp"), 0);
  EXPECT_FALSE(Query(kTcpService).exists);
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in any = Address("0.0.0.0", 111);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0)
        << "port 111 still held";
    close(s);
  }
  EXPECT_NE(Rpcinfo({"-p", "127.0.0.1"}).code, 0);
  InstallAndServe();
  EXPECT_EQ(Rpcinfo({"-t", "127.0.0.1", "100000", "2"}).code, 0);
}

// With port 111 taken, or over SPX, the install fails and the stopped
// service's exit code says why.
TEST_F(ServerSystemTest, AServerThatCannotServeStopsWithItsCause) {
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(type == SOCK_DGRAM ? "UDP taken" : "TCP taken");
    int holder = socket(AF_INET, type, 0);
    sockaddr_in any = Address("0.0.0.0", 111);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    if (type == SOCK_STREAM) listen(holder, 1);
    EXPECT_EQ(Ctl("install", "auto", "tcp"), 255);
    ServiceState s = Query(kTcpService);
    EXPECT_EQ(s.state, 1);  // STOPPED
    EXPECT_EQ(s.exitCode, 10048u);  // WSAEADDRINUSE
    close(holder);
    RemoveServices();
  }
  EXPECT_EQ(Ctl("install", "auto", "spx"), 255);
  ServiceState spx = Query(kSpxService);
  EXPECT_EQ(spx.state, 1);
  // Wine lists an SPX provider, but opening an SPX socket fails with
  // WSAESOCKTNOSUPPORT: the server passes that error on.
  EXPECT_EQ(spx.exitCode, 10044u);
}

TEST_F(ServerSystemTest, ConsoleModeServesAndExplainsWhatStopsIt) {
  Result bad = RunProgram({"wine", "tessard.exe", "ipx"}, dir_, 60);
  EXPECT_EQ(bad.code, 87);  // ERROR_INVALID_PARAMETER
  EXPECT_NE(bad.output.find("tessard: unknown argument \"ipx\""),
            std::string::npos)
      << bad.output;

  pid_t console = Spawn({"wine", "tessard.exe", "tcp"}, dir_,
                        dir_ + "/console.log");
  Result ready;
  for (int i = 0; i < 100 && ready.code != 0; ++i) {
    usleep(100000);
    ready = Rpcinfo({"-u", "127.0.0.1", "100000", "2"});
  }
  EXPECT_EQ(ready.code, 0) << ready.output;
  // A console keeps its table in memory only.
  EXPECT_TRUE(pmap_set(kProgram, 1, IPPROTO_UDP, 2049));
  EXPECT_FALSE(RegistryValues(kStoredKey)) << "a console stores its table";
  Result taken = RunProgram({"wine", "tessard.exe", "tcp"}, dir_, 60);
  EXPECT_EQ(taken.code, 10048 & 0xFF);  // the low byte, as Wine passes it
  EXPECT_NE(taken.output.find("cannot serve UDP on port 111"),
            std::string::npos)
      << taken.output;
  // Ctrl+C (Wine turns SIGINT into it) stops it and frees the port.
  kill(console, SIGINT);
  int status = -1;
  waitpid(console, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(Rpcinfo({"-u", "127.0.0.1", "100000", "2"}).code, 0);
}

// A client whose UDP socket is connected to the address it called hears
// only a reply that leaves from that address; an address the machine gets
// while the server runs is served within a few seconds, and one it loses
// stops being served.
TEST_F(ServerSystemTest, RepliesLeaveFromTheAddressCalled) {
  InstallAndServe();
  auto answers = [](const char* from, const char* to) {
    for (int tries = 0; tries < 3; ++tries) {
      Socket udp(SOCK_DGRAM, from, to);
      udp.Send(rpc_wire::Call(4, 0).bytes);
      if (udp.Receive(1000)) return true;
    }
    return false;
  };
  EXPECT_TRUE(answers(kSecondAddress, kOtherAddress));
  EXPECT_TRUE(answers(kSecondAddress6, kOtherAddress6));
  EXPECT_TRUE(answers("127.0.0.1", kOtherAddress));

  const char kLate[] = "10.77.0.9";
  ASSERT_EQ(RunProgram({"ip", "addr", "add", "10.77.0.9/32", "dev", "lo"},
                       dir_).code, 0);
  bool served = false;
  for (int i = 0; i < 10 && !served; ++i) {
    served = answers(kSecondAddress, kLate);
  }
  EXPECT_TRUE(served) << "a new address is not served";
  ASSERT_EQ(RunProgram({"ip", "addr", "del", "10.77.0.9/32", "dev", "lo"},
                       dir_).code, 0);
  EXPECT_EQ(Rpcinfo({"-u", kOtherAddress, "100000", "2"}).code, 0);
}

}  // namespace
}  // namespace server_system
