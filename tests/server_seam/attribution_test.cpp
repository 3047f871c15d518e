// Who a local caller is, through the socket tables and the process behind
// a socket, on the scripted Windows of fake_system.h.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "caller_identity.h"
#include "event_records.h"
#include "fake_system.h"
#include "process_identity.h"
#include "reporting.h"
#include "socket_tables.h"

namespace tessard {
namespace {

InetAddress Address(bool v6, std::uint16_t port, std::uint8_t last = 1) {
  InetAddress address;
  address.v6 = v6;
  if (v6) {
    address.host[15] = last;  // ::1, or :: with last 0
  } else if (last != 0) {
    address.host[0] = 127;
    address.host[3] = last;
  }
  address.port = port;
  return address;
}

// Process ids that are not multiples of four: Windows and Wine never give
// one to a real process, so neither is this test's own, which the search
// for the port's holder passes over.
constexpr std::uint32_t kServer = 901;
constexpr std::uint32_t kClient = 401;
constexpr std::uint16_t kClientPort = 50123;

// The caller's process: an ordinary account whose names are not ASCII.
fake::Process Client() {
  fake::Process p;
  p.pid = kClient;
  p.created = fake::kStartTime - 5000;
  p.image = L"C:\\Tools\\\u00e9t\U0001F600.exe";
  p.domain = L"WORKSTATION";
  p.name = L"j\u00f6rg";
  p.rids = {21, 1, 2, 3, 1001};
  return p;
}

Caller LocalCaller(Transport transport, bool v6) {
  Caller caller;
  caller.transport = transport;
  caller.source = Address(v6, kClientPort);
  caller.destination = Address(v6, 111);
  return caller;
}

// The caller's socket, owned by `pid`, and the server's side of it.
void AddCallerSocket(Transport transport, bool v6, std::uint32_t pid) {
  if (transport == Transport::kStream) {
    fake::AddTcpConnection(Address(v6, 111), Address(v6, kClientPort), kServer);
    fake::AddTcpConnection(Address(v6, kClientPort), Address(v6, 111), pid);
  } else {
    fake::AddUdp(Address(v6, 111, 0), kServer);
    fake::AddUdp(Address(v6, kClientPort, v6 ? 1 : 0), pid);  // ::1, 0.0.0.0
  }
}

class Attribution : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

TEST_F(Attribution, LocalCallersAreNamedByTheirSocketsOwner) {
  struct Case {
    const char* what;
    Transport transport;
    bool v6;
    std::function<void()> script;  // after the caller's socket and process
    bool known;
    std::string account;
    bool administrator;
  } cases[] = {
      {"tcp", Transport::kStream, false, [] {}, true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"udp", Transport::kDatagram, false, [] {}, true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"tcp6", Transport::kStream, true, [] {}, true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"udp6", Transport::kDatagram, true, [] {}, true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"an elevated administrator", Transport::kStream, false,
       [] {
         fake::Process p = Client();
         p.elevated = p.inAdministrators = true;
         fake::StartProcess(p);
       },
       true, "WORKSTATION\\j\xc3\xb6rg", true},
      {"an administrator not elevated", Transport::kStream, false,
       [] {
         fake::Process p = Client();
         p.inAdministrators = true;
         fake::StartProcess(p);
       },
       true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"elevated, the administrators not enabled", Transport::kDatagram, true,
       [] {
         fake::Process p = Client();
         p.elevated = p.inAdministrators = true;
         p.administratorsAttributes = SE_GROUP_MANDATORY;
         fake::StartProcess(p);
       },
       true, "WORKSTATION\\j\xc3\xb6rg", false},
      {"LocalSystem", Transport::kDatagram, false,
       [] {
         fake::Process p = Client();
         p.rids = {18};
         p.domain = L"NT AUTHORITY";
         p.name = L"SYSTEM";
         fake::StartProcess(p);
       },
       true, "NT AUTHORITY\\SYSTEM", true},
      {"an account with a long name", Transport::kStream, true,
       [] {
         fake::Process p = Client();
         p.rids = {21, 1, 2, 3, 1002};
         p.name = std::wstring(100, L'b');
         fake::StartProcess(p);
       },
       true, "WORKSTATION\\" + std::string(100, 'b'), false},
      {"a socket the table names no owner of", Transport::kDatagram, false,
       [] { fake::Reset(); AddCallerSocket(Transport::kDatagram, false, 0); },
       false, "", false},
      {"an owner that has exited", Transport::kDatagram, false,
       [] { fake::EndProcess(kClient); }, false, "", false},
      {"an id reused by a process started after the call", Transport::kDatagram,
       false,
       [] {
         fake::Process p = Client();
         p.created = fake::kStartTime + 1;
         fake::StartProcess(p);
       },
       false, "", false},
      // The caller closed its socket after sending, and an older process
      // bound the port before the call was handled.
      {"a port bound since the call by an older process",
       Transport::kDatagram, false,
       [] {
         fake::CloseUdp(Address(false, kClientPort, 0));
         fake::SetTime(fake::kStartTime + 10);
         fake::AddUdp(Address(false, kClientPort, 0), kServer);
       },
       false, "", false},
      {"a socket the table gives no bind time", Transport::kDatagram, true,
       [] {
         fake::CloseUdp(Address(true, kClientPort));
         fake::SetTime(0);
         fake::AddUdp(Address(true, kClientPort), kClient);
       },
       false, "", false},
      {"a process that cannot be opened", Transport::kStream, false,
       [] {
         fake::Process p = Client();
         p.openable = false;
         fake::StartProcess(p);
       },
       false, "", false},
      {"a port two processes share", Transport::kDatagram, false,
       [] {
         fake::AddUdp(Address(false, kClientPort), kClient + 1);
         fake::Process other = Client();
         other.pid = kClient + 1;
         fake::StartProcess(other);
       },
       false, "", false},
      {"a connection table that cannot be read", Transport::kStream, false,
       [] { fake::FailNext("GetExtendedTcpTable", ERROR_NOT_SUPPORTED); },
       false, "", false},
      {"a token whose user cannot be read", Transport::kStream, false,
       [] { fake::FailNext("GetTokenInformation", ERROR_ACCESS_DENIED); },
       false, "", false},
      {"an account that cannot be looked up", Transport::kDatagram, false,
       [] { fake::FailNext("LookupAccountSidW", ERROR_NONE_MAPPED); }, false,
       "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    AddCallerSocket(c.transport, c.v6, kClient);
    fake::StartProcess(Client());
    fake::StartProcess(fake::Process{kServer, fake::kStartTime - 90000, L"tessard.exe",
                                     L"NT AUTHORITY", L"SYSTEM", {18}});
    CallerIdentity source(LocalCaller(c.transport, c.v6));
    c.script();
    const Identity identity = source.Identify();
    EXPECT_EQ(identity.known, c.known);
    EXPECT_EQ(identity.account, c.account);
    EXPECT_EQ(identity.administrator, c.administrator);
    if (c.known) {
      EXPECT_EQ(identity.processId, kClient);
      EXPECT_EQ(identity.processCreated, fake::kStartTime - 5000);
      EXPECT_EQ(identity.image, "C:\\Tools\\\xc3\xa9t\xf0\x9f\x98\x80.exe");
    }
    EXPECT_EQ(fake::OpenHandles(), 0);
  }
}

TEST_F(Attribution, LooksUpOnceOnFirstUseAndOnlyForALocalCaller) {
  AddCallerSocket(Transport::kStream, false, kClient);
  fake::StartProcess(Client());
  CallerIdentity connection(LocalCaller(Transport::kStream, false));
  EXPECT_EQ(fake::CountCalls("GetExtendedTcpTable"), 0);
  EXPECT_TRUE(connection.Identify().known);
  fake::EndProcess(kClient);  // the answer is the connection's from now on
  EXPECT_TRUE(connection.Identify().known);
  EXPECT_EQ(fake::CountCalls("GetExtendedTcpTable"), 1);
  EXPECT_EQ(fake::CountCalls("OpenProcess"), 1);

  // A source that is not loopback, or no destination: unknown, unlooked.
  fake::Reset();
  AddCallerSocket(Transport::kDatagram, false, kClient);
  fake::StartProcess(Client());
  Caller remote = LocalCaller(Transport::kDatagram, false);
  remote.source.host[0] = 10;
  Caller undestined = LocalCaller(Transport::kDatagram, false);
  undestined.destination = InetAddress();
  for (const Caller& caller : {remote, undestined}) {
    CallerIdentity source(caller);
    EXPECT_FALSE(source.Identify().known);
  }
  EXPECT_EQ(fake::CountCalls("GetExtendedUdpTable"), 0);
  EXPECT_EQ(fake::CountCalls("GetSystemTimeAsFileTime"), 0);
}

TEST_F(Attribution, AnImageThatCannotBeReadLeavesTheCallerKnown) {
  fake::StartProcess(Client());
  fake::FailNext("QueryFullProcessImageNameW", ERROR_ACCESS_DENIED, 2);
  const Identity identity = IdentifyProcess(kClient);
  EXPECT_TRUE(identity.known);
  EXPECT_EQ(identity.image, "");
  EXPECT_FALSE(IdentifyProcess(0).known);
  EXPECT_EQ(fake::CountCalls("OpenProcess"), 1);
  EXPECT_EQ(fake::OpenHandles(), 0);
}

// What the system names a caller goes into a record escaped, as every
// text of a record does: no account or path breaks an entry's lines.
TEST_F(Attribution, AnAccountAndProgramAreRecordedEscaped) {
  SetReportTarget(ReportTo::kEventLog);
  Identity identity;
  identity.known = true;
  identity.account = "BOX\\a\r\nb";
  identity.image = "C:\\100%.exe";
  Record record{RecordKind::kSetGranted};
  record.identity = &identity;
  EventRecords().Write(record);
  SetReportTarget(ReportTo::kConsole);
  ASSERT_EQ(fake::Events().size(), 1u);
  ASSERT_GE(fake::Events()[0].strings.size(), 7u);
  EXPECT_EQ(fake::Events()[0].strings[5], L"BOX\\a%0D%0Ab");
  EXPECT_EQ(fake::Events()[0].strings[6], L"C:\\100%25.exe");
}

class Tables : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::AddUdp(Address(false, 111, 0), kServer);
    fake::AddUdp(Address(true, 111, 0), kServer);
    fake::AddTcpListener(Address(false, 111), kServer);
    fake::AddTcpListener(Address(true, 111, 0), kServer);
    fake::AddTcpConnection(Address(false, 111), Address(false, kClientPort), kServer);
  }
};

std::string Describe(const BoundSocket& socket) {
  char text[kMaxInetUaddr];
  FormatUniversalAddress(socket.address, text);
  return std::string(socket.stream ? "tcp " : "udp ") + text;
}

TEST_F(Tables, ASampleHoldsTheTablesThatCouldBeRead) {
  const std::vector<std::string> all = {"udp 0.0.0.0.0.111", "udp ::.0.111",
                                        "tcp 127.0.0.1.0.111", "tcp ::.0.111"};
  struct Case {
    const char* failing;  // the function failed, after `skip` calls
    int skip;
    bool udp, udp6, tcp, tcp6;
  } cases[] = {{nullptr, 0, true, true, true, true},
               {"GetUdpTable", 0, false, true, true, true},
               {"GetUdp6Table", 0, true, false, true, true},
               {"GetTcpTable", 0, true, true, false, true},
               {"GetTcp6Table", 0, true, true, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failing ? c.failing : "none") + " " +
                 std::to_string(c.skip));
    if (c.failing) fake::FailNext(c.failing, ERROR_NOT_SUPPORTED, 1, c.skip);
    const SocketSample sample = SampleSocketTables();
    EXPECT_EQ(sample.udpRead, c.udp);
    EXPECT_EQ(sample.udp6Read, c.udp6);
    EXPECT_EQ(sample.tcpRead, c.tcp);
    EXPECT_EQ(sample.tcp6Read, c.tcp6);
    std::vector<std::string> expected;
    const bool read[] = {c.udp, c.udp6, c.tcp, c.tcp6};
    for (int i = 0; i < 4; ++i) {
      if (read[i]) expected.push_back(all[i]);
    }
    std::vector<std::string> got;
    for (const BoundSocket& socket : sample.sockets) got.push_back(Describe(socket));
    EXPECT_EQ(got, expected);
  }
}

TEST_F(Tables, BuffersGrowAsTheTablesDoWithinABound) {
  // More than a first buffer holds, and more rows at each asking.
  for (int i = 0; i < 3000; ++i) {
    fake::AddUdp(Address(false, static_cast<std::uint16_t>(20000 + i)), 7);
  }
  fake::GrowTablesWhenAsked(40);
  SocketSample sample = SampleSocketTables();
  EXPECT_TRUE(sample.udpRead && sample.udp6Read && sample.tcpRead && sample.tcp6Read);
  EXPECT_EQ(fake::CountCalls("GetUdpTable"), 2);  // asked again, larger
  EXPECT_GE(sample.sockets.size(), 3004u);
  EXPECT_EQ(UdpSocketOwner(Address(false, 22999), fake::kStartTime), 7u);

  // A table that outgrows every buffer is not read, and invents nothing.
  fake::GrowTablesWhenAsked(20000);
  sample = SampleSocketTables();
  EXPECT_FALSE(sample.udpRead);
  EXPECT_LE(fake::CountCalls("GetUdpTable"), 2 + 4);
}

TEST_F(Tables, ThePortHolderIsNamedOnlyWhenATableNamesIt) {
  fake::StartProcess(Client());
  fake::StartProcess(fake::Process{kServer, 1, L"C:\\x\\tessard.exe", L"D", L"n", {18}});
  std::optional<PortHolder> holder = FindPortHolder(true, 111);
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->processId, kServer);
  EXPECT_EQ(holder->image, "C:\\x\\tessard.exe");

  fake::Reset();
  fake::StartProcess(Client());
  fake::AddUdp(Address(false, 111, 0), 0);
  fake::AddUdp(Address(true, 111, 0), kClient);  // found on IPv6 alone
  fake::AddUdp(Address(false, 112, 0), 55);
  holder = FindPortHolder(false, 111);
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->processId, kClient);
  EXPECT_EQ(holder->image, "C:\\Tools\\\xc3\xa9t\xf0\x9f\x98\x80.exe");
  EXPECT_FALSE(FindPortHolder(true, 111));  // no TCP row at all

  fake::Reset();
  fake::AddTcpListener(Address(false, 111, 0), 0);
  fake::AddTcpListener(Address(true, 111, 0), 0);
  EXPECT_FALSE(FindPortHolder(true, 111));
  EXPECT_EQ(fake::CountCalls("OpenProcess"), 0);
  EXPECT_EQ(fake::OpenHandles(), 0);
}

}  // namespace
}  // namespace tessard
