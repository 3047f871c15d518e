// A table that lasts: changes stored before they are answered, the stored
// table restored at start-up, dead registrations dropped by a sample of the
// socket tables, and the owner of a registration as the caller's account.
#include <gtest/gtest.h>

#include <algorithm>

#include "callers.h"
#include "memory_store.h"
#include "port_mapper.h"
#include "rpc_wire.h"

namespace tessard {
namespace {

using rpc_wire::Call;
using rpc_wire::Reply;
using rpc_wire::Wire;

constexpr std::uint32_t kNfs = 100003;

std::uint64_t g_now = 0;  // the core's monotonic clock, moved by the tests
std::uint64_t Now() { return g_now; }

struct Written {
  RecordKind kind;
  std::string netid, account, valueName, problem;
  std::uint32_t prog;
};

class Records : public RecordSink {
 public:
  void Write(const Record& r) override {
    written.push_back(
        {r.kind, std::string(r.netid), r.identity ? r.identity->account : "",
         std::string(r.valueName), std::string(r.problem), r.prog});
  }
  std::vector<Written> written;
};

// A caller's identity, counting how often it is asked for.
class Who : public IdentitySource {
 public:
  explicit Who(std::string account, bool administrator = false) {
    identity.known = !account.empty();
    identity.account = std::move(account);
    identity.administrator = administrator;
    identity.processId = 4711;
  }
  Identity Identify() override {
    ++asked;
    return identity;
  }
  Identity identity;
  int asked = 0;
};

class StorageTest : public ::testing::Test {
 protected:
  StorageTest() {
    g_now = 1000000;
    mapper_.AddOwnTransport("udp");
    mapper_.AddOwnTransport("tcp");
    mapper_.SetStore(&store_);
    mapper_.SetRecordSink(&records_);
  }

  Reply Results(const Wire& call, const Caller& caller) {
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(mapper_.HandleCall(reader_, call.bytes.data(), call.bytes.size(),
                                 caller, &reply),
              CallOutcome::kReply);
    Reply r = rpc_wire::Parse(reply);
    EXPECT_EQ(r.status, 0u);
    return r;
  }
  const Caller& As(Who* who) {
    caller_.identity = who;
    return caller_;
  }
  bool Set(std::uint32_t vers, std::string_view netid, std::string_view uaddr,
           Who* who = nullptr) {
    return Results(Call(4, 1).Rpcb(kNfs, vers, netid, uaddr, "claimed"),
                   As(who))
               .U32() == 1;
  }
  bool Unset(std::uint32_t vers, std::string_view netid, Who* who = nullptr) {
    return Results(Call(4, 2).Rpcb(kNfs, vers, netid, ""), As(who)).U32() == 1;
  }
  // The registrations besides our own, "vers netid uaddr owner".
  std::vector<std::string> Table() {
    Reply r = Results(Call(4, 4), caller_);
    std::vector<std::string> lines;
    while (r.U32() == 1) {
      std::uint32_t prog = r.U32();
      std::string line = std::to_string(r.U32());
      for (int i = 0; i < 3; ++i) line += " " + r.Str();
      if (prog != 100000) lines.push_back(line);
    }
    return lines;
  }
  // The stored registrations, read back the way a restart reads them.
  std::vector<std::string> Stored() {
    std::vector<std::string> lines;
    for (const StoredValue& v : store_.Values()) {
      Registration r;
      const char* problem = nullptr;
      EXPECT_TRUE(DecodeStoredRegistration(v.data.data(), v.data.size(), &r,
                                           &problem))
          << v.name << ": " << problem;
      EXPECT_EQ(v.name, StoredValueName(r));
      lines.push_back(std::to_string(r.vers) + " " +
                      std::string(r.netid.view()) + " " +
                      std::string(r.uaddr.view()) + " " +
                      std::string(r.owner.view()));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::vector<std::string> SortedTable() {
    std::vector<std::string> t = Table();
    std::sort(t.begin(), t.end());
    return t;
  }
  // UNSETs counted in GETSTAT for versions 2, 3 and 4.
  std::vector<std::uint32_t> Unsets() {
    Reply r = Results(Call(4, 12), caller_);
    std::vector<std::uint32_t> unsets;
    for (int v = 0; v < 3; ++v) {
      for (int p = 0; p < 13; ++p) r.U32();
      r.U32();
      unsets.push_back(r.U32());
      while (r.U32() == 1) {
        for (int i = 0; i < 4; ++i) r.U32();
        r.Str();
      }
      r.U32();
    }
    return unsets;
  }

  MemoryStore store_;
  Records records_;
  PortMapper mapper_{24, nullptr, Now};
  PortMapper::ReaderSlot reader_{mapper_};
  Caller caller_ = From("udp", "127.0.0.1.4.1", "127.0.0.1.0.111");
};

TEST_F(StorageTest, ChangesAreStoredBeforeTheyAreAnswered) {
  Who alice("BOX\\alice");
  ASSERT_TRUE(Set(3, "udp", "0.0.0.0.8.1", &alice));
  ASSERT_EQ(Results(Call(2, 1).Mapping(kNfs, 2, 6, 2049), As(nullptr)).U32(),
            1u);
  // Netids that differ only in case are two values in a registry too.
  ASSERT_TRUE(Set(3, "Ab", "x"));
  ASSERT_TRUE(Set(3, "ab", "y"));
  EXPECT_EQ(Stored(), SortedTable());
  EXPECT_EQ(Stored().size(), 4u);
  // The same registration again, from any local account: true, and
  // nothing stored (the failing store would say) or recorded.
  Who bob("BOX\\bob");
  records_.written.clear();
  store_.FailNext(1);
  EXPECT_TRUE(Set(3, "udp", "0.0.0.0.8.1", &bob));
  EXPECT_TRUE(records_.written.empty());
  EXPECT_EQ(Table().front(), "3 udp 0.0.0.0.8.1 BOX\\alice");

  // A store that fails: SET false, UNSET false, nothing changes.
  const std::vector<std::string> before = SortedTable();
  records_.written.clear();
  store_.FailNext(1);
  EXPECT_FALSE(Set(4, "udp", "0.0.0.0.8.1"));
  store_.FailNext(1);
  EXPECT_FALSE(Unset(3, "udp", &alice));
  EXPECT_EQ(SortedTable(), before);
  EXPECT_EQ(Stored(), before);
  ASSERT_EQ(records_.written.size(), 2u);
  EXPECT_EQ(records_.written[0].kind, RecordKind::kSetNotStored);
  EXPECT_EQ(records_.written[1].kind, RecordKind::kUnsetNotStored);
  EXPECT_EQ(records_.written[1].account, "BOX\\alice");

  // An UNSET of several values whose second fails: false, and the first
  // is gone from both the table and the store.
  store_.FailNext(1, 1);
  EXPECT_FALSE(Unset(3, "", &alice));
  EXPECT_EQ(SortedTable().size(), before.size() - 1);
  EXPECT_EQ(Stored(), SortedTable());
  EXPECT_EQ(Unsets(), (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_TRUE(Unset(3, "", &alice));
  EXPECT_EQ(Stored(), SortedTable());
  EXPECT_EQ(Unsets(), (std::vector<std::uint32_t>{0, 0, 1}));
}

TEST_F(StorageTest, OwnersAreTheAccountsFoundAndOnlyTheyRemove) {
  Who alice("BOX\\alice");
  Who bob("BOX\\bob");
  Who admin("BOX\\admin", true);
  Who nobody("");
  Who accented("BOX\\M\xC3\xBCller");
  ASSERT_TRUE(Set(1, "udp", "0.0.0.0.8.1", &alice));
  ASSERT_EQ(Results(Call(2, 1).Mapping(kNfs, 2, 17, 1), As(&bob)).U32(), 1u);
  ASSERT_TRUE(Set(3, "udp", "0.0.0.0.8.3", &nobody));
  ASSERT_TRUE(Set(4, "udp", "0.0.0.0.8.4", &accented));
  EXPECT_EQ(Table(), (std::vector<std::string>{
                         "1 udp 0.0.0.0.8.1 BOX\\alice",
                         "2 udp 0.0.0.0.0.1 BOX\\bob",
                         "3 udp 0.0.0.0.8.3 unknown",
                         "4 udp 0.0.0.0.8.4 BOX\\M%C3%BCller"}));
  EXPECT_EQ(alice.asked + bob.asked, 2);

  // Look-ups never ask who the caller is.
  Results(Call(4, 3).Rpcb(kNfs, 1, "udp", ""), As(&alice));
  Results(Call(2, 3).Mapping(kNfs, 1, 17, 0), As(&alice));
  Results(Call(4, 4), As(&alice));
  EXPECT_EQ(alice.asked, 1);

  EXPECT_FALSE(Unset(1, "udp", &bob));
  EXPECT_FALSE(Unset(1, "udp", &nobody));
  EXPECT_FALSE(Unset(1, "", &accented));
  EXPECT_EQ(Results(Call(2, 2).Mapping(kNfs, 2, 0, 0), As(&alice)).U32(), 0u);
  EXPECT_EQ(Table().size(), 4u);
  // Each SET granted, then each UNSET refused, with the caller's account.
  ASSERT_EQ(records_.written.size(), 8u);
  EXPECT_EQ(records_.written[1].kind, RecordKind::kSetGranted);
  EXPECT_EQ(records_.written[1].account, "BOX\\bob");
  EXPECT_EQ(records_.written[4].kind, RecordKind::kUnsetRefused);
  EXPECT_EQ(records_.written[4].account, "BOX\\bob");
  records_.written.clear();

  EXPECT_TRUE(Unset(1, "udp", &alice));
  EXPECT_TRUE(Unset(3, "udp", &bob));  // unknown: anyone local
  EXPECT_TRUE(Unset(4, "", &accented));
  EXPECT_TRUE(Unset(2, "", &admin));
  EXPECT_TRUE(Table().empty());
  ASSERT_EQ(records_.written.size(), 4u);
  EXPECT_EQ(records_.written[3].kind, RecordKind::kUnsetGranted);
  EXPECT_EQ(records_.written[3].account, "BOX\\admin");

  // Who sent a change is asked only when it decides something: not for
  // the same registration again, another address for a key held, or an
  // UNSET of nothing.
  ASSERT_TRUE(Set(1, "udp", "0.0.0.0.8.1", &alice));
  Who carol("BOX\\carol");
  EXPECT_TRUE(Set(1, "udp", "0.0.0.0.8.1", &carol));
  EXPECT_FALSE(Set(1, "udp", "0.0.0.0.8.2", &carol));
  EXPECT_FALSE(Unset(2, "udp", &carol));
  EXPECT_EQ(carol.asked, 0);
  EXPECT_FALSE(Unset(1, "udp", &carol));
  EXPECT_EQ(carol.asked, 1);
}

// Each SET and UNSET, granted or refused, and each refusal of a caller
// leaves one record of its own kind, naming what was asked.
TEST_F(StorageTest, EveryChangeAndRefusalIsRecorded) {
  const Caller remote = From("udp", "10.77.0.2.4.1", "10.77.0.1.0.111");
  const Caller remoteTcp = From("tcp", "10.77.0.2.4.1", "10.77.0.1.0.111");
  const Caller outside = From("tcp", "10.78.0.2.4.1", "10.77.0.1.0.111");
  using K = RecordKind;
  constexpr std::uint32_t kOther = 300002;  // forwarded to, unlike NFS
  Wire dh;
  dh.U32(0x1234).U32(0).U32(2).U32(100000).U32(2).U32(5).U32(3).U32(4).U32(
      0).U32(0).U32(0);
  dh.Mapping(kOther, 1, 1, 0);
  struct Row {
    const char* what;
    Wire call;
    const Caller& caller;
    RecordKind kind;
    std::string netid;
    std::uint32_t prog;
    std::string problem;
  } rows[] = {
      {"SET", Call(4, 1).Rpcb(kNfs, 3, "udp", "0.0.0.0.8.1"), caller_,
       K::kSetGranted, "udp", kNfs, ""},
      {"SET again", Call(3, 1).Rpcb(kNfs, 3, "udp", "0.0.0.0.8.2"), caller_,
       K::kSetExists, "udp", kNfs, ""},
      {"SET from another machine",
       Call(4, 1).Rpcb(kNfs, 4, "tcp", "0.0.0.0.8.1"), remote, K::kSetNotLocal,
       "tcp", kNfs, ""},
      {"version 2 SET of protocol 99", Call(2, 1).Mapping(kNfs, 4, 99, 1),
       caller_, K::kSetInvalid, "", kNfs,
       "the protocol is neither 6 (TCP) nor 17 (UDP)"},
      {"SET of the port mapper", Call(4, 1).Rpcb(100000, 9, "tcp", "x"),
       caller_, K::kSetInvalid, "tcp", 100000,
       "program 100000 is the port mapper's own"},
      {"UNSET from another machine", Call(4, 2).Rpcb(kNfs, 3, "", ""),
       remoteTcp, K::kUnsetNotLocal, "", kNfs, ""},
      {"UNSET", Call(2, 2).Mapping(kNfs, 3, 0, 0), caller_, K::kUnsetGranted,
       "udp", kNfs, ""},
      {"CALLIT of NFS", Call(2, 5).Mapping(kNfs, 3, 1, 0), caller_,
       K::kForwardRefusedProgram, "udp", kNfs, RefusedForward(kNfs, 1)},
      {"SET on loopback", Call(4, 1).Rpcb(kOther, 1, "udp", "127.0.0.1.4.1"),
       caller_, K::kSetGranted, "udp", kOther, ""},
      {"BCAST to it from another machine",
       Call(4, 5).Mapping(kOther, 1, 1, 0), remote,
       K::kForwardNotReachable, "udp", kOther, ""},
      {"CALLIT of a program not registered",
       Call(3, 5).Mapping(kOther + 1, 1, 1, 0), remote,
       K::kForwardNotRegistered, "udp", kOther + 1, ""},
      {"CALLIT with an AUTH_DH credential", dh, remote, K::kForwardCredential,
       "udp", kOther, ""},
      {"INDIRECT", Call(4, 10).Mapping(kNfs + 1, 3, 1, 0), remoteTcp,
       K::kForwardRefused, "", kNfs + 1, ""},
      {"a call from outside RemoteLookups", Call(4, 0), outside,
       K::kOutsideLookups, "", 0, ""},
      {"DUMP kept to this machine", Call(4, 4), remoteTcp, K::kListingRefused,
       "", 0, ""},
  };
  Settings settings;
  settings.everyNetwork = false;
  settings.remoteListings = false;
  std::string problem;
  ASSERT_TRUE(
      ParseNetwork("10.77.0.0/24", &settings.lookups.emplace_back(), &problem));
  mapper_.SetSettings(settings);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    records_.written.clear();
    std::vector<std::uint8_t> reply;
    InetAddress to;
    mapper_.HandleCall(reader_, row.call.bytes.data(), row.call.bytes.size(),
                       row.caller, &reply, &to);
    ASSERT_EQ(records_.written.size(), 1u);
    const Written& w = records_.written[0];
    EXPECT_EQ(w.kind, row.kind);
    EXPECT_EQ(w.netid, row.netid);
    EXPECT_EQ(w.prog, row.prog);
    EXPECT_EQ(w.problem, row.problem);
  }
  // Forwards beyond the places in flight are dropped, and recorded.
  Wire callit = Call(2, 5).Mapping(kOther, 1, 1, 0);
  InetAddress to;
  for (std::size_t i = 0; i <= kMaxForwards; ++i) {
    std::vector<std::uint8_t> sent;
    records_.written.clear();
    EXPECT_EQ(mapper_.HandleCall(reader_, callit.bytes.data(),
                                 callit.bytes.size(), caller_, &sent, &to),
              i < kMaxForwards ? CallOutcome::kForward : CallOutcome::kSilent);
  }
  ASSERT_EQ(records_.written.size(), 1u);
  EXPECT_EQ(records_.written[0].kind, K::kForwardTooMany);
  records_.written.clear();
  EXPECT_FALSE(mapper_.LetConnectionIn(reader_, outside));
  EXPECT_TRUE(mapper_.LetConnectionIn(reader_, remoteTcp));
  ASSERT_EQ(records_.written.size(), 1u);
  EXPECT_EQ(records_.written[0].kind, K::kOutsideLookups);

  Wire unset = Call(4, 2).Rpcb(kOther, 1, "", "");
  std::vector<std::uint8_t> removed;
  mapper_.HandleCall(reader_, unset.bytes.data(), unset.bytes.size(), caller_,
                     &removed);

  // 24 places, 6 taken by our own.
  for (std::uint32_t vers = 1; vers <= 18; ++vers) {
    ASSERT_TRUE(Set(vers, "udp", "0.0.0.0.8.1"));
  }
  EXPECT_FALSE(Set(19, "udp", "0.0.0.0.8.1"));
  EXPECT_EQ(records_.written.back().kind, K::kSetTableFull);
}

Registration Made(std::string_view netid, std::string_view uaddr,
                  std::uint64_t at = 0) {
  Registration r;
  r.prog = kNfs;
  r.vers = 3;
  r.netid.Assign(netid);
  r.uaddr.Assign(uaddr);
  r.owner.Assign("BOX\\alice");
  r.setVersion = 4;
  r.madeAt = at;
  return r;
}

BoundSocket Bound(bool stream, std::string_view uaddr) {
  BoundSocket s;
  s.stream = stream;
  EXPECT_TRUE(ParseUniversalAddress(uaddr, &s.address));
  return s;
}

TEST(DropRule, ARegistrationGoesOnlyWhenNoSocketMayServeIt) {
  const std::uint64_t now = 100000;
  struct Row {
    const char* what;
    Registration r;
    std::vector<BoundSocket> sockets;
    bool dead;
    bool v6Read = true;  // the IPv6 tables
  } rows[] = {
      {"wildcard, bound on the wildcard", Made("udp", "0.0.0.0.8.1"),
       {Bound(false, "0.0.0.0.8.1")}, false},
      {"wildcard, bound on one address", Made("udp", "0.0.0.0.8.1"),
       {Bound(false, "10.0.0.1.8.1")}, false},
      {"its address, bound on the wildcard", Made("tcp", "192.0.2.7.8.1"),
       {Bound(true, "0.0.0.0.8.1")}, false},
      {"its address, bound on another", Made("tcp", "192.0.2.7.8.1"),
       {Bound(true, "10.0.0.1.8.1")}, true},
      {"another port", Made("udp", "0.0.0.0.8.1"),
       {Bound(false, "0.0.0.0.8.2")}, true},
      {"the other protocol", Made("udp", "0.0.0.0.8.1"),
       {Bound(true, "0.0.0.0.8.1")}, true},
      {"IPv4, an IPv6 socket on ::", Made("udp", "192.0.2.7.8.1"),
       {Bound(false, "::.8.1")}, false},
      {"IPv4, its address mapped", Made("udp", "192.0.2.7.8.1"),
       {Bound(false, "::ffff:c000:207.8.1")}, false},
      {"IPv6, an IPv4 socket", Made("udp6", "::.8.1"),
       {Bound(false, "0.0.0.0.8.1")}, true},
      {"within the grace period", Made("udp", "0.0.0.0.8.1", now - 9000), {},
       false},
      {"past the grace period", Made("udp", "0.0.0.0.8.1", now - 10000), {},
       true},
      {"a netid that is not inet", Made("local", "/run/x"), {}, false},
      {"its table not read", Made("tcp6", "::.8.1"), {}, false, false},
      {"IPv4, the IPv6 table not read", Made("udp", "192.0.2.7.8.1"), {},
       false, false},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    SocketSample sample;
    sample.udpRead = sample.tcpRead = true;
    sample.udp6Read = sample.tcp6Read = row.v6Read;
    sample.sockets = row.sockets;
    EXPECT_EQ(IsDead(row.r, sample, now), row.dead);
  }
}

TEST_F(StorageTest, ASampleDropsDeadRegistrationsAsUnsets) {
  SocketSample sample;
  sample.udpRead = sample.tcpRead = sample.udp6Read = sample.tcp6Read = true;
  sample.sockets = {Bound(false, "0.0.0.0.8.1")};
  ASSERT_TRUE(Set(1, "udp", "0.0.0.0.8.1"));
  ASSERT_TRUE(Set(2, "udp", "0.0.0.0.8.2"));
  ASSERT_EQ(Results(Call(2, 1).Mapping(kNfs, 3, 6, 2051), As(nullptr)).U32(),
            1u);
  EXPECT_EQ(mapper_.ApplySample(sample), 0u);  // in their grace period
  records_.written.clear();
  g_now += kDropGraceMs;
  store_.FailNext(1);
  EXPECT_EQ(mapper_.ApplySample(sample), 0u);
  ASSERT_EQ(records_.written.size(), 1u);
  EXPECT_EQ(records_.written[0].kind, RecordKind::kDropNotStored);
  EXPECT_EQ(mapper_.ApplySample(sample), 2u);
  EXPECT_EQ(Table(), (std::vector<std::string>{"1 udp 0.0.0.0.8.1 unknown"}));
  EXPECT_EQ(Stored(), Table());
  EXPECT_EQ(Unsets(), (std::vector<std::uint32_t>{1, 0, 1}));
  EXPECT_EQ(records_.written.back().kind, RecordKind::kDropped);
  // Nothing is dropped from tables not read, and never our own entries.
  EXPECT_EQ(mapper_.ApplySample(SocketSample{}), 0u);
  sample.sockets.clear();
  EXPECT_EQ(mapper_.ApplySample(sample), 1u);
  EXPECT_EQ(Results(Call(2, 3).Mapping(100000, 2, 6, 0), caller_).U32(), 111u);
}

TEST_F(StorageTest, RestoreLoadsWhatIsValidAndServedAndKeepsTheRestAside) {
  auto value = [](const Registration& r) {
    return StoredValue{StoredValueName(r), EncodeStoredRegistration(r)};
  };
  Registration wrongFamily = Made("udp6", "10.0.0.1.8.1");
  Registration ours = Made("udp", "0.0.0.0.8.1");
  ours.prog = 100000;
  Registration superuser = Made("udp", "0.0.0.0.8.1");
  superuser.vers = 8;
  superuser.owner.Assign(kOwnOwner);
  StoredValue cut = value(Made("udp", "0.0.0.0.8.1"));
  cut.data.pop_back();
  StoredValue longer = value(Made("udp", "0.0.0.0.8.1"));
  longer.data.push_back(0);
  StoredValue renamed = value(Made("udp", "0.0.0.0.8.1"));
  renamed.name = "100003 4 udp";
  StoredValue layout = value(Made("udp", "0.0.0.0.8.1"));
  layout.data[3] = 2;
  StoredValue setVersion = value(Made("udp", "0.0.0.0.8.1"));
  setVersion.data[setVersion.data.size() - 13] = 5;
  Registration dead = Made("tcp", "0.0.0.0.8.9");
  dead.vers = 9;
  Registration local = Made("local", "/run/x");
  store_.Put(value(dead).name, value(dead).data);

  std::vector<StoredValue> values = {
      cut, longer, renamed, layout, setVersion, value(wrongFamily),
      value(ours), value(superuser), value(Made("udp", "0.0.0.0.8.1")),
      value(Made("udp", "0.0.0.0.8.1")), value(dead), value(local)};
  for (std::uint32_t vers = 10; vers < 30; ++vers) {
    Registration r = Made("udp", "0.0.0.0.8.1");
    r.vers = vers;
    values.push_back(value(r));
  }
  SocketSample sample;
  sample.udpRead = sample.tcpRead = sample.udp6Read = sample.tcp6Read = true;
  sample.sockets = {Bound(false, "0.0.0.0.8.1")};
  PortMapper::RestoreReport report = mapper_.Restore(values, sample);
  // 24 places, 6 our own: the valid udp one, the local one, 16 more.
  EXPECT_EQ(report.restored, 18u);
  EXPECT_EQ(report.dropped, 1u);
  ASSERT_EQ(report.damaged.size(), 13u);
  const char* problems[] = {
      "does not decode", "does not decode", "its name is not",
      "a layout this server does not know", "not 2, 3 or 4",
      "not an IPv6 address", "the port mapper's own", "owner is superuser",
      "a second value", "more registrations than the table holds"};
  for (std::size_t i = 0; i < std::size(problems); ++i) {
    EXPECT_NE(std::string(report.damaged[i].problem).find(problems[i]),
              std::string::npos)
        << i << ": " << report.damaged[i].problem;
  }
  EXPECT_EQ(Table().size(), 18u);
  EXPECT_TRUE(store_.Values().empty());  // the dead one was deleted
  EXPECT_EQ(Unsets(), (std::vector<std::uint32_t>{0, 0, 1}));
}

}  // namespace
}  // namespace tessard
