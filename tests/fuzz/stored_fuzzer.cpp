// libFuzzer target: a stored table read back at start-up, the values as
// a registry could hold them after a crash, a damaged disk or another
// program's writing, and a sample of bound sockets. Every value is
// restored, dropped or reported damaged, none twice; the table never
// passes its bound, never holds a key twice and keeps the port mapper's
// own entries; every registration restored holds to the rules of a SET as
// read here, apart from the server's code, and is still in the store.
//
// Input: a byte of tables read (bits 0 to 3: udp, tcp, udp6, tcp6), a byte
// of socket count (up to 7), each socket three bytes (flags: bit 0 TCP,
// bit 1 IPv6, bit 2 on the wildcard rather than loopback; then the port),
// then values: a byte of name length, the name, two bytes of data length,
// the data. The seeds hold values written by the server's own encoder. A
// name that comes again is skipped: a registry key holds one value of a
// name.
#include <set>
#include <string>
#include <tuple>

#include "memory_store.h"
#include "port_mapper.h"
#include "rpc_oracle.h"

namespace {

using namespace tessard;

constexpr std::size_t kCapacity = 16;
constexpr std::size_t kOwn = 8;

std::uint64_t Ticks() { return 50000; }

bool Printable(std::string_view text, char lowest) {
  for (char c : text) {
    if (c < lowest || c > '~') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  SocketSample sample;
  sample.udpRead = data[0] & 1;
  sample.tcpRead = data[0] & 2;
  sample.udp6Read = data[0] & 4;
  sample.tcp6Read = data[0] & 8;
  std::size_t pos = 2;
  for (int i = 0; i < (data[1] & 7) && size - pos >= 3; ++i, pos += 3) {
    BoundSocket s;
    s.stream = data[pos] & 1;
    s.address.v6 = data[pos] & 2;
    if (!(data[pos] & 4)) s.address.host[s.address.v6 ? 15 : 0] = 127;
    s.address.port = static_cast<std::uint16_t>(data[pos + 1] << 8 |
                                                data[pos + 2]);
    sample.sockets.push_back(s);
  }
  std::vector<StoredValue> values;
  std::set<std::string> seen;
  MemoryStore store;
  while (size - pos >= 1) {
    std::size_t nameLength = std::min<std::size_t>(data[pos], size - pos - 1);
    StoredValue v;
    v.name.assign(reinterpret_cast<const char*>(data + pos + 1), nameLength);
    pos += 1 + nameLength;
    if (size - pos < 2) break;
    std::size_t dataLength =
        std::min<std::size_t>(data[pos] << 8 | data[pos + 1], size - pos - 2);
    v.data.assign(data + pos + 2, data + pos + 2 + dataLength);
    pos += 2 + dataLength;
    if (!seen.insert(v.name).second) continue;
    store.Put(v.name, v.data);
    values.push_back(v);
  }

  PortMapper mapper(kCapacity, nullptr, Ticks);
  for (const char* netid : {"udp", "tcp", "udp6"}) mapper.AddOwnTransport(netid);
  mapper.SetStore(&store);
  PortMapper::RestoreReport report = mapper.Restore(values, sample);
  if (report.restored + report.dropped + report.damaged.size() !=
      values.size()) {
    rpc_oracle::Fail("a value neither restored, dropped nor damaged");
  }

  std::set<std::string> names;
  for (const StoredValue& v : store.Values()) names.insert(v.name);
  RegistrationTable::ReadGuard guard(mapper.table(),
                                     RegistrationTable::kNoSlot);
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::string>> keys;
  std::size_t own = 0;
  for (const Registration& r : guard.snapshot()) {
    if (!keys.emplace(r.prog, r.vers, std::string(r.netid.view())).second) {
      rpc_oracle::Fail("two registrations of one key");
    }
    if (r.permanent) {
      ++own;
      continue;
    }
    if (r.prog == 100000 || r.netid.view().empty() || r.uaddr.view().empty() ||
        !Printable(r.netid.view(), '!') || !Printable(r.uaddr.view(), '!') ||
        !Printable(r.owner.view(), ' ') || r.setVersion < 2 ||
        r.setVersion > 4) {
      rpc_oracle::Fail("a registration restored that a SET would refuse");
    }
    if (!names.count(StoredValueName(r))) {
      rpc_oracle::Fail("a registration restored that is not stored");
    }
  }
  if (guard.snapshot().size() > kCapacity) rpc_oracle::Fail("table over bound");
  if (own != kOwn) rpc_oracle::Fail("an own registration went");
  if (report.restored != guard.snapshot().size() - kOwn) {
    rpc_oracle::Fail("restored count differs from the table");
  }
  return 0;
}
