// The TCP side's admission rule: who is let in when places run short, and
// whose connection closes to make room.
#include "connection_admission.h"

#include <gtest/gtest.h>

namespace tessard {
namespace {

using Kind = AdmissionDecision::Kind;

InetAddress Host(std::uint8_t last) {
  InetAddress a;
  a.host[0] = 10;
  a.host[3] = last;
  return a;
}

// n connections from host `last`, accepted at `accepted`, quiet since
// `active` plus their index (the first is the quietest).
void Add(std::vector<OpenConnection>* open, std::size_t n, std::uint8_t last,
         std::uint64_t accepted, std::uint64_t active, bool inCall = false) {
  for (std::size_t i = 0; i < n; ++i) {
    open->push_back(OpenConnection{Host(last), accepted, active + i, inCall});
  }
}

TEST(ConnectionAdmission, DecidesWhoClosesToMakeRoom) {
  const AdmissionLimits limits;  // 64 places, 16 a source, 1 s of grace
  const std::uint64_t now = 100000;
  struct Row {
    const char* what;
    std::vector<OpenConnection> open;
    std::uint8_t from;
    Kind kind;
    std::size_t close;
  };
  std::vector<Row> rows;
  auto row = [&rows](const char* what, std::uint8_t from, Kind kind,
                     std::size_t close = 0) -> std::vector<OpenConnection>& {
    rows.push_back(Row{what, {}, from, kind, close});
    return rows.back().open;
  };
  row("room left: admitted", 1, Kind::kAdmit);
  Add(&rows.back().open, 63, 2, 0, 0);

  // A source at its share makes room from its own connections, grace
  // period or not, even while places are left.
  Add(&row("source at its share: its quietest closes", 1,
           Kind::kAdmitAfterClosing, 3),
      16, 1, now - 10, now - 10);
  rows.back().open.front().inCall = true;  // 0 is in a call
  rows.back().open[1].lastActiveMs = now - 5;
  rows.back().open[2].lastActiveMs = now - 4;
  rows.back().open[3].lastActiveMs = now - 20;  // the quietest not in a call
  Add(&row("source at its share, all in a call: refused", 1, Kind::kRefuse),
      16, 1, 0, 0, true);

  // Full: the quietest past its grace period, of the source holding most.
  {
    auto& open = row("full: from the source that holds most", 9,
                     Kind::kAdmitAfterClosing, 20);
    Add(&open, 16, 1, 0, 0);      // 0..15, quieter than any of host 2
    Add(&open, 4, 3, 0, 0);       // 16..19
    Add(&open, 15, 2, 0, 50000);  // 20..34, 20 the quietest of host 2
    Add(&open, 15, 4, 0, 50000);  // 35..49
    Add(&open, 14, 5, 0, 50000);  // 50..63
    // Hosts 1 and 2 hold 16 and 15; host 1's are all in a call.
    for (std::size_t i = 0; i < 16; ++i) open[i].inCall = true;
  }
  {
    auto& open = row("full: a new connection is in its grace period", 9,
                     Kind::kAdmitAfterClosing, 63);
    Add(&open, 63, 1, now - 10, 0);  // accepted 10 ms ago, quietest
    Add(&open, 1, 2, now - 5000, now - 1000);
    for (std::size_t i = 0; i < 63; ++i) open[i].source = Host(i / 16 + 10);
  }
  {
    auto& open = row("full, every place in grace or in a call: refused", 9,
                     Kind::kRefuse);
    for (std::uint8_t h = 1; h <= 4; ++h) Add(&open, 8, h, now - 999, 0);
    for (std::uint8_t h = 5; h <= 8; ++h) Add(&open, 8, h, 0, 0, true);
  }

  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    AdmissionDecision d = DecideAdmission(r.open, Host(r.from), now, limits);
    EXPECT_EQ(d.kind, r.kind);
    if (r.kind == Kind::kAdmitAfterClosing) EXPECT_EQ(d.close, r.close);
  }
}

}  // namespace
}  // namespace tessard
