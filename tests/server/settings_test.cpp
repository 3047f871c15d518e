// The administrator's settings: what the values parse to or why they are
// refused, which callers a network takes in, which addresses are served,
// and the bound on records.
#include "settings.h"

#include <gtest/gtest.h>

#include "record_limiter.h"

namespace tessard {
namespace {

MultiStringValue Lines(std::vector<std::string> lines) {
  MultiStringValue value;
  value.state = MultiStringValue::State::kPresent;
  value.lines = std::move(lines);
  return value;
}

// 10.0.0.1, 10.0.0.2, ... and blank lines between them.
std::vector<std::string> ManyNetworks(std::size_t count) {
  std::vector<std::string> lines;
  for (std::size_t i = 1; i <= count; ++i) {
    lines.push_back("10.0." + std::to_string(i / 256) + "." +
                    std::to_string(i % 256));
    lines.push_back("");
  }
  return lines;
}

InetAddress Host(std::string_view text) {
  InetAddress address;
  EXPECT_TRUE(ParseHostAddress(text, &address)) << text;
  return address;
}

// A value that parses, or the error text of the first that does not.
std::string Outcome(const SettingsValues& values, Settings* settings) {
  SettingsError error;
  if (ParseSettings(values, settings, &error)) return "ok";
  return error.text();
}

TEST(Settings, ValuesParseOrNameWhatIsWrong) {
  DwordValue two;
  two.state = DwordValue::State::kPresent;
  two.value = 2;
  MultiStringValue wrongType;
  wrongType.state = MultiStringValue::State::kWrongType;
  wrongType.typeFound = "REG_SZ";
  DwordValue dwordAsText;
  dwordAsText.state = DwordValue::State::kWrongType;
  dwordAsText.typeFound = "REG_SZ";
  struct Row {
    const char* what;
    SettingsValues values;
    std::string outcome;
  } rows[] = {
      {"all absent", {}, "ok"},
      {"addresses, zones and networks",
       {Lines({"192.168.10.5", " fe80::1%3 ", "", "::1"}),
        Lines({"10.0.0.0/8", "2001:db8::/32", "192.0.2.7", "0.0.0.0/0"}),
        {}},
       "ok"},
      {"IPv4 prefix too long",
       {{}, Lines({"10.0.0.0/8", "10.0.0.0/33"}), {}},
       "RemoteLookups: \"10.0.0.0/33\": the prefix length must be 0 to 32 "
       "for an IPv4 network"},
      {"IPv6 prefix too long",
       {{}, Lines({"2001:db8::/129"}), {}},
       "RemoteLookups: \"2001:db8::/129\": the prefix length must be 0 to "
       "128 for an IPv6 network"},
      {"bits after the prefix",
       {{}, Lines({"192.168.1.0/16"}), {}},
       "RemoteLookups: \"192.168.1.0/16\": bits are set after the prefix "
       "length: the network is 192.168.0.0/16"},
      {"bits after an IPv6 prefix",
       {{}, Lines({"2001:db8::1/64"}), {}},
       "RemoteLookups: \"2001:db8::1/64\": bits are set after the prefix "
       "length: the network is 2001:db8::/64"},
      {"IPv4-mapped network",
       {{}, Lines({"::ffff:10.0.0.0/104"}), {}},
       "RemoteLookups: \"::ffff:10.0.0.0/104\": an IPv4-mapped network, "
       "which no caller comes from (the IPv6 sockets are IPv6-only): write "
       "the IPv4 network"},
      {"no network",
       {{}, Lines({"intranet"}), {}},
       "RemoteLookups: \"intranet\": not an IPv4 or IPv6 network "
       "(address/prefix length)"},
      {"a network with a zone",
       {{}, Lines({"fe80::%3/10"}), {}},
       "RemoteLookups: \"fe80::%3/10\": a network has no zone (%)"},
      {"a line after * is still read",
       {{}, Lines({"*", "10/8"}), {}},
       "RemoteLookups: \"10/8\": not an IPv4 or IPv6 network "
       "(address/prefix length)"},
      {"zone on IPv4",
       {Lines({"192.168.10.5%3"}), {}, {}},
       "ListenAddresses: \"192.168.10.5%3\": only an IPv6 address has a "
       "zone"},
      {"zone on an address that is not link-local",
       {Lines({"fe80::1%3", "2001:db8::1%1"}), {}, {}},
       "ListenAddresses: \"2001:db8::1%1\": only a link-local address "
       "(fe80::/10) has a zone: write this address without one"},
      {"more networks than are taken",
       {{}, Lines(ManyNetworks(kMaxRemoteLookups + 1)), {}},
       "RemoteLookups: 1025 networks: at most 1024 are taken; list wider "
       "networks (a /24 rather than its addresses)"},
      {"as many networks as are taken",
       {{}, Lines(ManyNetworks(kMaxRemoteLookups)), {}},
       "ok"},
      {"zone by name",
       {Lines({"fe80::1%eth0"}), {}, {}},
       "ListenAddresses: \"fe80::1%eth0\": the zone after % must be an "
       "interface number, 0 to 4294967295"},
      {"zone over 32 bits",
       {Lines({"fe80::1%4294967296"}), {}, {}},
       "ListenAddresses: \"fe80::1%4294967296\": the zone after % must be an "
       "interface number, 0 to 4294967295"},
      {"wildcard",
       {Lines({"::"}), {}, {}},
       "ListenAddresses: \"::\": the wildcard address: leave ListenAddresses "
       "out to serve on every address"},
      {"IPv4-mapped address",
       {Lines({"::ffff:192.0.2.7"}), {}, {}},
       "ListenAddresses: \"::ffff:192.0.2.7\": an IPv4-mapped address, which "
       "the IPv6-only sockets never serve: write 192.0.2.7"},
      {"multi-string of another type",
       {{}, wrongType, {}},
       "RemoteLookups: the value is of type REG_SZ: it must be REG_MULTI_SZ"},
      {"DWORD of another type",
       {{}, {}, dwordAsText},
       "RemoteListings: the value is of type REG_SZ: it must be REG_DWORD"},
      {"listings 2",
       {{}, {}, two},
       "RemoteListings: the value is 2: it must be 0 (listings to this "
       "machine only) or 1 (listings over TCP to every caller)"},
      {"remote calls 2",
       {{}, {}, {}, two},
       "RemoteCalls: the value is 2: it must be 0 (no remote calls) or 1 "
       "(remote calls forwarded)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Settings settings;
    settings.remoteListings = false;  // must stay as it was on an error
    EXPECT_EQ(Outcome(row.values, &settings), row.outcome);
    if (row.outcome != "ok") EXPECT_FALSE(settings.remoteListings);
  }

  Settings parsed;
  ASSERT_EQ(Outcome(rows[1].values, &parsed), "ok");
  EXPECT_FALSE(parsed.everyAddress);
  ASSERT_EQ(parsed.listen.size(), 3u);
  EXPECT_EQ(parsed.listen[1].scope, 3u);
  EXPECT_FALSE(parsed.everyNetwork);
  ASSERT_EQ(parsed.lookups.size(), 4u);
  EXPECT_EQ(parsed.lookups[2].length, 32u);  // a bare address: itself
  EXPECT_TRUE(parsed.remoteListings);
  EXPECT_TRUE(parsed.remoteCalls);

  SettingsValues empty{{}, Lines({}), {}};
  DwordValue zero;
  zero.state = DwordValue::State::kPresent;
  empty.remoteListings = zero;
  empty.remoteCalls = zero;
  ASSERT_EQ(Outcome(empty, &parsed), "ok");
  EXPECT_TRUE(parsed.everyAddress);
  EXPECT_FALSE(parsed.everyNetwork);  // this machine only
  EXPECT_TRUE(parsed.lookups.empty());
  EXPECT_FALSE(parsed.remoteListings);
  EXPECT_FALSE(parsed.remoteCalls);
  ASSERT_EQ(Outcome({{}, Lines({" * "}), {}}, &parsed), "ok");
  EXPECT_TRUE(parsed.everyNetwork);
}

TEST(Settings, NetworksTakeInTheirAddressesOnly) {
  struct Row {
    const char* network;
    const char* address;
    bool in;
  } rows[] = {
      {"10.0.0.0/8", "10.255.1.1", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.2.0/23", "192.168.3.255", true},
      {"192.168.2.0/23", "192.168.4.0", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"192.0.2.7", "192.0.2.7", true},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"fe80::/10", "febf::1", true},
      // Another family, and forged IPv4-mapped sources, are never in.
      {"0.0.0.0/0", "::1", false},
      {"::/0", "10.0.0.1", false},
      {"10.0.0.0/8", "::ffff:10.1.1.1", false},
      {"::/0", "::ffff:10.1.1.1", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.network) + " " + row.address);
    Network network;
    std::string problem;
    ASSERT_TRUE(ParseNetwork(row.network, &network, &problem)) << problem;
    EXPECT_EQ(InNetwork(network, Host(row.address)), row.in);
  }
}

TEST(Settings, ServedAddressesAreLoopbackAndThoseListed) {
  Settings settings;
  EXPECT_TRUE(ServesAddress(settings, Host("203.0.113.9")));
  SettingsError error;
  ASSERT_TRUE(
      ParseSettings({Lines({"192.0.2.7", "fe80::1%3", "fe80::2"}), {}, {}},
                    &settings, &error));
  EXPECT_TRUE(ServesAddress(settings, Host("127.0.0.1")));
  EXPECT_TRUE(ServesAddress(settings, Host("::1")));
  EXPECT_TRUE(ServesAddress(settings, Host("192.0.2.7")));
  EXPECT_FALSE(ServesAddress(settings, Host("192.0.2.8")));
  EXPECT_FALSE(ServesAddress(settings, Host("::ffff:192.0.2.7")));
  EXPECT_TRUE(ServesAddress(settings, Host("fe80::1"), 3));
  EXPECT_FALSE(ServesAddress(settings, Host("fe80::1"), 4));
  EXPECT_TRUE(ServesAddress(settings, Host("fe80::2"), 4));
}

std::uint64_t g_now = 0;
std::uint64_t Now() { return g_now; }

class Kinds : public RecordSink {
 public:
  void Write(const Record& r) override {
    written.push_back(r.kind == RecordKind::kLeftOut
                          ? "left out " + std::to_string(r.leftOut) + " of " +
                                std::to_string(static_cast<int>(r.leftOutKind))
                          : std::to_string(static_cast<int>(r.kind)));
  }
  std::vector<std::string> written;
};

std::string Name(RecordKind kind) {
  return std::to_string(static_cast<int>(kind));
}

TEST(RecordLimiter, BoundsEachKindAndTheChangesAndCountsWhatItLeftOut) {
  g_now = 5000;
  Kinds sink;
  RecordLimiter limiter(&sink, Now);
  const std::string outside = Name(RecordKind::kOutsideLookups);
  for (int i = 0; i < 25; ++i)
    limiter.Write(Record{RecordKind::kOutsideLookups});
  limiter.Write(Record{RecordKind::kSetNotLocal});  // a budget of its own
  for (int i = 0; i < 70; ++i) limiter.Write(Record{RecordKind::kSetGranted});
  for (int i = 0; i < 40; ++i) limiter.Write(Record{RecordKind::kUnsetGranted});
  ASSERT_EQ(sink.written.size(), 20u + 1u + 100u);
  EXPECT_EQ(sink.written[19], outside);
  EXPECT_EQ(sink.written[20], Name(RecordKind::kSetNotLocal));
  EXPECT_EQ(sink.written.back(), Name(RecordKind::kUnsetGranted));

  // Nothing more within the window, not even the counts.
  g_now += 9999;
  limiter.Write(Record{RecordKind::kOutsideLookups});
  limiter.Flush();
  EXPECT_EQ(sink.written.size(), 121u);

  // Once the window has passed, the counts come at a flush, each in a
  // place of its kind's budget, and then records pass again.
  g_now += 1;
  sink.written.clear();
  limiter.Flush();
  EXPECT_EQ(sink.written,
            (std::vector<std::string>{
                "left out 10 of " + Name(RecordKind::kUnsetGranted),
                "left out 6 of " + outside}));
  limiter.Flush();
  for (int i = 0; i < 20; ++i)
    limiter.Write(Record{RecordKind::kOutsideLookups});
  EXPECT_EQ(sink.written.size(), 2u + 19u);

  // Without a flush, the count goes before the next record that passes.
  g_now += 10000;
  sink.written.clear();
  limiter.Write(Record{RecordKind::kOutsideLookups});
  EXPECT_EQ(sink.written,
            (std::vector<std::string>{"left out 1 of " + outside, outside}));
}

// Texts a caller sent reach the event log printable and bounded.
TEST(RecordLimiter, RecordTextsArePrintableAndBounded) {
  EXPECT_EQ(RecordText("udp"), "udp");
  EXPECT_EQ(RecordText(std::string_view("a%b\x1b[2J\0\xff", 9)),
            "a%25b%1B[2J%00%FF");
  EXPECT_EQ(RecordText(std::string(200, 'x')), std::string(128, 'x') + "...");
}

}  // namespace
}  // namespace tessard
