// The layers under the procedures: XDR bounds, record marking, universal
// addresses, and the table read by several threads while it changes.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "message_framing.h"
#include "registration_table.h"
#include "rpc_wire.h"
#include "universal_address.h"
#include "xdr.h"

namespace tessard {
namespace {

TEST(Xdr, LengthsAreCheckedBeforeAnythingIsRead) {
  rpc_wire::Wire w;
  w.Str("abcde").U32(2).U32(0xFFFFFFFF);
  XdrReader in(w.bytes.data(), w.bytes.size());
  EXPECT_EQ(in.String(5), "abcde");  // padded to 8
  EXPECT_FALSE(in.Bool());           // 2 is no boolean
  EXPECT_FALSE(in.ok());

  XdrReader huge(w.bytes.data() + 12, 4);
  EXPECT_TRUE(huge.String(0xFFFFFFFF).empty());
  EXPECT_FALSE(huge.ok());
  XdrReader bounded(w.bytes.data(), w.bytes.size());
  bounded.String(4);
  EXPECT_FALSE(bounded.ok());
  // The length fits, the padding does not.
  rpc_wire::Wire cut;
  cut.U32(3).U32(0);
  XdrReader padded(cut.bytes.data(), 7);
  padded.String(8);
  EXPECT_FALSE(padded.ok());

  std::vector<std::uint8_t> out;
  XdrWriter writer(&out, 12);
  writer.String("abcdefgh");
  EXPECT_TRUE(writer.ok());
  writer.U32(1);
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(out.size(), 12u);
}

std::vector<std::uint8_t> Fragment(std::string_view data, bool last) {
  rpc_wire::Wire w;
  w.U32((last ? 0x80000000u : 0) | static_cast<std::uint32_t>(data.size()));
  w.bytes.insert(w.bytes.end(), data.begin(), data.end());
  return w.bytes;
}

// Feeds the stream in pieces of `step` bytes; returns the records, and the
// status that ended the stream.
std::vector<std::string> Assemble(const std::vector<std::uint8_t>& stream,
                                  std::size_t step,
                                  MessageAssembler::Status* end) {
  MessageAssembler assembler(16, 6);
  std::vector<std::string> records;
  *end = MessageAssembler::Status::kNeedMore;
  for (std::size_t pos = 0; pos < stream.size();) {
    std::size_t size = std::min(step, stream.size() - pos);
    std::size_t used = 0;
    *end = assembler.Feed(stream.data() + pos, size, &used);
    pos += used;
    if (*end == MessageAssembler::Status::kMessage) {
      Bytes r = assembler.message();
      records.emplace_back(reinterpret_cast<const char*>(r.data), r.size);
    } else if (*end != MessageAssembler::Status::kNeedMore) {
      break;
    } else {
      EXPECT_EQ(used, size);
    }
  }
  return records;
}

TEST(RecordMarking, RecordsAreAssembledWithinTheirBounds) {
  using Status = MessageAssembler::Status;
  struct Row {
    const char* what;
    std::vector<std::vector<std::uint8_t>> fragments;
    std::vector<std::string> records;
    Status end;
  } rows[] = {
      {"one fragment", {Fragment("call", true)}, {"call"}, Status::kMessage},
      {"two records", {Fragment("ab", true), Fragment("cd", true)},
       {"ab", "cd"}, Status::kMessage},
      {"three fragments, an empty one among them",
       {Fragment("ab", false), Fragment("", false), Fragment("cd", true)},
       {"abcd"}, Status::kMessage},
      {"exactly the bound", {Fragment("0123456789", false),
                             Fragment("abcdef", true)},
       {"0123456789abcdef"}, Status::kMessage},
      {"one byte over", {Fragment("0123456789", false),
                         Fragment("abcdefg", true)},
       {}, Status::kTooLong},
      {"six fragments", {Fragment("a", false), Fragment("b", false),
                         Fragment("c", false), Fragment("d", false),
                         Fragment("e", false), Fragment("f", true)},
       {"abcdef"}, Status::kMessage},
      {"seven fragments", {Fragment("a", false), Fragment("", false),
                           Fragment("", false), Fragment("", false),
                           Fragment("", false), Fragment("", false),
                           Fragment("b", true)},
       {}, Status::kTooManyFragments},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> stream;
    for (const auto& f : row.fragments) {
      stream.insert(stream.end(), f.begin(), f.end());
    }
    for (std::size_t step : {std::size_t{1}, std::size_t{3}, stream.size()}) {
      SCOPED_TRACE(std::string(row.what) + ", pieces of " +
                   std::to_string(step));
      Status end;
      EXPECT_EQ(Assemble(stream, step, &end), row.records);
      EXPECT_EQ(end, row.end);
    }
  }
}

TEST(RecordMarking, AHugeFragmentIsRefusedByItsMarkAlone) {
  MessageAssembler assembler(8192, 8192);
  const std::uint8_t mark[] = {0x7F, 0xFF, 0xFF, 0xF0};
  std::size_t used = 0;
  EXPECT_EQ(assembler.Feed(mark, 4, &used),
            MessageAssembler::Status::kTooLong);
  EXPECT_EQ(used, 4u);
}

TEST(UniversalAddress, ParsedAndWrittenCanonically) {
  struct Row {
    const char* text;
    const char* canonical;  // nullptr: refused
  } rows[] = {
      {"127.0.0.1.0.111", "127.0.0.1.0.111"},
      {"0.0.0.0.8.1", "0.0.0.0.8.1"},
      {"010.1.1.1.0.1", "10.1.1.1.0.1"},
      {"::.0.111", "::.0.111"},
      {"0:0:0:0:0:0:0:1.0.111", "::1.0.111"},
      {"FE80:0:0:1:0:0:0:2.3.4", "fe80:0:0:1::2.3.4"},
      {"1:0:0:2:0:0:0:3.0.1", "1:0:0:2::3.0.1"},
      {"1::.0.1", "1::.0.1"},
      {"::ffff:1.2.3.4.0.1", "::ffff:102:304.0.1"},
      {"1.2.3.4.5", nullptr},
      {"1.2.3.256.0.1", nullptr},
      {"1.2.3.4.0.256", nullptr},
      {"1.2.3.4.0.1 ", nullptr},
      {"-1.2.3.4.0.1", nullptr},
      {"1.2.3.4.0.", nullptr},
      {"::1::2.0.1", nullptr},
      {"12345::.0.1", nullptr},
      {":1.0.1", nullptr},
      {"1:2:3:4:5:6:7:8:9.0.1", nullptr},
      {"1:2.0.1", nullptr},
      {"", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    InetAddress address;
    bool parsed = ParseUniversalAddress(row.text, &address);
    ASSERT_EQ(parsed, row.canonical != nullptr);
    if (!parsed) continue;
    char out[kMaxInetUaddr];
    EXPECT_EQ(std::string_view(out, FormatUniversalAddress(address, out)),
              row.canonical);
    // The host alone: the canonical form without the port's two parts.
    const std::string_view canonical = row.canonical;
    EXPECT_EQ(
        HostAddressText(address),
        canonical.substr(0, canonical.rfind('.', canonical.rfind('.') - 1)));
  }
  InetAddress longest;
  longest.v6 = true;
  std::fill(std::begin(longest.host), std::end(longest.host), 0xAB);
  longest.port = 0xFFFF;
  char out[kMaxInetUaddr];
  EXPECT_EQ(FormatUniversalAddress(longest, out), kMaxInetUaddr - 1);
}

TEST(UniversalAddress, NetbufsOfBothFamilies) {
  InetAddress address;
  ASSERT_TRUE(ParseUniversalAddress("fe80::7.0.111", &address));
  std::uint8_t netbuf[kMaxNetbuf];
  ASSERT_EQ(AddressToNetbuf(address, netbuf), kInet6NetbufSize);
  EXPECT_EQ(netbuf[0], 23);
  netbuf[0] = 10;  // IPv6 as Linux numbers it
  InetAddress back;
  ASSERT_TRUE(NetbufToAddress(netbuf, kInet6NetbufSize, &back));
  char out[kMaxInetUaddr];
  EXPECT_EQ(std::string_view(out, FormatUniversalAddress(back, out)),
            "fe80::7.0.111");
  EXPECT_FALSE(NetbufToAddress(netbuf, 20, &back));
  netbuf[0] = 7;
  EXPECT_FALSE(NetbufToAddress(netbuf, kInet6NetbufSize, &back));
}

// Readers on several threads see whole snapshots while a writer adds and
// removes: never a key twice, never past the bound, never freed memory
// (which AddressSanitizer would report).
TEST(RegistrationTable, ReadersSeeWholeSnapshotsWhileItChanges) {
  RegistrationTable table(8);
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  auto reader = [&] {
    std::size_t slot = table.ClaimSlot();
    while (!done) {
      RegistrationTable::ReadGuard guard(table, slot);
      std::set<std::uint32_t> keys;
      for (const Registration& r : guard.snapshot()) {
        EXPECT_TRUE(keys.insert(r.vers).second);
        EXPECT_EQ(r.uaddr.view(), "0.0.0.0." + std::to_string(r.vers) + ".1");
      }
      EXPECT_LE(guard.snapshot().size(), 8u);
      ++reads;
    }
    table.ReleaseSlot(slot);
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  for (std::uint32_t round = 0; round < 600; ++round) {
    Registration r;
    r.prog = 7;
    r.vers = round % 11;
    r.netid.Assign("udp");
    r.uaddr.Assign("0.0.0.0." + std::to_string(r.vers) + ".1");
    table.Add(r);
    if (round % 3 == 0) table.Remove(7, (round * 7) % 11, {});
  }
  while (reads < 300) std::this_thread::yield();
  done = true;
  for (std::thread& t : readers) t.join();
  // A reader without a slot reads under the writers' lock.
  RegistrationTable::ReadGuard fallback(table, RegistrationTable::kNoSlot);
  EXPECT_LE(fallback.snapshot().size(), 8u);
}

}  // namespace
}  // namespace tessard
