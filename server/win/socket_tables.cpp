#include "socket_tables.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "process_identity.h"
#include "system_calls.h"

namespace tessard {
namespace {

// A table is read into a buffer of this many bytes first, grown to what
// Windows asks for (with room for rows added in between) while it answers
// ERROR_INSUFFICIENT_BUFFER, at most kReadAttempts times and never past
// kMaxTableBytes: a table that keeps growing, or asks for more, is taken
// as not read.
constexpr DWORD kFirstTableBytes = 16 * 1024;
constexpr DWORD kMaxTableBytes = 16 * 1024 * 1024;
constexpr int kReadAttempts = 4;

// One row of any of the tables, in the core's terms.
struct Row {
  InetAddress local;
  InetAddress remote;  // TCP connections only
  std::uint32_t processId = 0;
  // UDP only: when the socket was bound (FILETIME units); 0 when the table
  // does not say (Wine).
  std::uint64_t bound = 0;
};

// The tables hold ports in network order in the low 16 bits of a DWORD,
// IPv4 addresses in network order as a DWORD: their bytes in memory are
// in network order.
std::uint16_t PortOf(DWORD stored) {
  std::uint8_t bytes[sizeof stored];
  std::memcpy(bytes, &stored, sizeof stored);
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

InetAddress Inet4(DWORD address, DWORD port) {
  InetAddress result;
  std::memcpy(result.host, &address, 4);
  result.port = PortOf(port);
  return result;
}

InetAddress Inet6(const UCHAR (&address)[16], DWORD port) {
  InetAddress result;
  result.v6 = true;
  std::memcpy(result.host, address, 16);
  result.port = PortOf(port);
  return result;
}

// Reads a table through the seam with `get` (its call, given the buffer and
// its size) into `buffer` (8-byte aligned, as the rows need), and hands each
// row to `visit`: no more rows than the buffer holds, whatever count the
// table claims. False when the table could not be read.
template <typename TableType, typename Get, typename Visit>
bool ReadTable(std::vector<std::uint64_t>& buffer, Get get, Visit visit) {
  if (buffer.empty()) buffer.resize(kFirstTableBytes / 8);
  ULONG result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    ULONG size = static_cast<ULONG>(buffer.size() * 8);
    result = get(reinterpret_cast<TableType*>(buffer.data()), &size);
    if (result != ERROR_INSUFFICIENT_BUFFER) break;
    if (size > kMaxTableBytes) return false;
    // A quarter more than asked: the table may grow before the next read.
    const std::size_t wanted = std::size_t{size} + size / 4;
    buffer.resize((wanted + 7) / 8);
  }
  if (result != NO_ERROR) return false;
  const auto* table = reinterpret_cast<const TableType*>(buffer.data());
  const std::size_t header = offsetof(TableType, table);
  const std::size_t fit = (buffer.size() * 8 - header) / sizeof table->table[0];
  const std::size_t count =
      table->dwNumEntries < fit ? std::size_t{table->dwNumEntries} : fit;
  for (std::size_t i = 0; i < count; ++i) visit(table->table[i]);
  return true;
}

// A plain table's call, asked for its rows in no order.
template <typename Call>
auto Unsorted(Call call) {
  return [call](auto* table, ULONG* size) { return call(table, size, FALSE); };
}

enum class Table { kTcpListening, kTcpConnections, kUdp };

// The rows of one table with their owners, or false when it could not be
// read.
bool ReadRows(Table table, bool v6, std::vector<Row>* rows) {
  std::vector<std::uint64_t> buffer;
  const ULONG family = v6 ? AF_INET6 : AF_INET;
  auto udp = [family](void* b, ULONG* size) {
    return sys::GetExtendedUdpTable(b, size, FALSE, family,
                                    UDP_TABLE_OWNER_MODULE, 0);
  };
  auto tcp = [family, table](void* b, ULONG* size) {
    return sys::GetExtendedTcpTable(b, size, FALSE, family,
                                    table == Table::kTcpListening
                                        ? TCP_TABLE_OWNER_PID_LISTENER
                                        : TCP_TABLE_OWNER_PID_CONNECTIONS,
                                    0);
  };
  if (table == Table::kUdp && !v6) {
    return ReadTable<MIB_UDPTABLE_OWNER_MODULE>(
        buffer, udp, [&](const MIB_UDPROW_OWNER_MODULE& r) {
          rows->push_back(Row{Inet4(r.dwLocalAddr, r.dwLocalPort), {},
                              r.dwOwningPid,
                              static_cast<std::uint64_t>(
                                  r.liCreateTimestamp.QuadPart)});
        });
  }
  if (table == Table::kUdp) {
    return ReadTable<MIB_UDP6TABLE_OWNER_MODULE>(
        buffer, udp, [&](const MIB_UDP6ROW_OWNER_MODULE& r) {
          rows->push_back(Row{Inet6(r.ucLocalAddr, r.dwLocalPort), {},
                              r.dwOwningPid,
                              static_cast<std::uint64_t>(
                                  r.liCreateTimestamp.QuadPart)});
        });
  }
  if (!v6) {
    return ReadTable<MIB_TCPTABLE_OWNER_PID>(
        buffer, tcp, [&](const MIB_TCPROW_OWNER_PID& r) {
          rows->push_back(Row{Inet4(r.dwLocalAddr, r.dwLocalPort),
                              Inet4(r.dwRemoteAddr, r.dwRemotePort),
                              r.dwOwningPid});
        });
  }
  return ReadTable<MIB_TCP6TABLE_OWNER_PID>(
      buffer, tcp, [&](const MIB_TCP6ROW_OWNER_PID& r) {
        rows->push_back(Row{Inet6(r.ucLocalAddr, r.dwLocalPort),
                            Inet6(r.ucRemoteAddr, r.dwRemotePort),
                            r.dwOwningPid});
      });
}

bool SameEndpoint(const InetAddress& a, const InetAddress& b) {
  return SameHost(a, b) && a.port == b.port;
}

// The one process the matching rows name: 0 when none matches, a row
// names no process, or two rows name different ones (a port shared by
// two processes does not tell which of them sent a call).
template <typename Match>
std::uint32_t OneOwner(const std::vector<Row>& rows, Match match) {
  std::uint32_t owner = 0;
  for (const Row& row : rows) {
    if (!match(row)) continue;
    if (row.processId == 0 || (owner != 0 && owner != row.processId)) return 0;
    owner = row.processId;
  }
  return owner;
}

}  // namespace

SocketSample SampleSocketTables() {
  SocketSample sample;
  std::vector<std::uint64_t> buffer;  // one for the four tables
  auto add = [&sample](bool stream, const InetAddress& local) {
    sample.sockets.push_back(BoundSocket{stream, local});
  };
  sample.udpRead = ReadTable<MIB_UDPTABLE>(
      buffer, Unsorted(sys::GetUdpTable), [&](const MIB_UDPROW& r) {
        add(false, Inet4(r.dwLocalAddr, r.dwLocalPort));
      });
  sample.udp6Read = ReadTable<MIB_UDP6TABLE>(
      buffer, Unsorted(sys::GetUdp6Table), [&](const MIB_UDP6ROW& r) {
        add(false, Inet6(r.dwLocalAddr.u.Byte, r.dwLocalPort));
      });
  sample.tcpRead = ReadTable<MIB_TCPTABLE>(
      buffer, Unsorted(sys::GetTcpTable), [&](const MIB_TCPROW& r) {
        if (r.dwState == MIB_TCP_STATE_LISTEN) {
          add(true, Inet4(r.dwLocalAddr, r.dwLocalPort));
        }
      });
  sample.tcp6Read = ReadTable<MIB_TCP6TABLE>(
      buffer, Unsorted(sys::GetTcp6Table), [&](const MIB_TCP6ROW& r) {
        if (r.State == MIB_TCP_STATE_LISTEN) {
          add(true, Inet6(r.LocalAddr.u.Byte, r.dwLocalPort));
        }
      });
  return sample;
}

std::uint32_t TcpConnectionOwner(const InetAddress& local,
                                 const InetAddress& remote) {
  if (local.v6 != remote.v6) return 0;
  std::vector<Row> rows;
  if (!ReadRows(Table::kTcpConnections, local.v6, &rows)) return 0;
  return OneOwner(rows, [&](const Row& row) {
    return SameEndpoint(row.local, local) && SameEndpoint(row.remote, remote);
  });
}

std::uint32_t UdpSocketOwner(const InetAddress& source,
                             std::uint64_t arrived) {
  std::vector<Row> rows;
  if (!ReadRows(Table::kUdp, source.v6, &rows)) return 0;
  auto holds = [&](const Row& row) {
    return row.local.port == source.port &&
           (SameHost(row.local, source) || IsWildcard(row.local));
  };
  // A socket the table gives no time for may have existed: it cannot be
  // ruled out, so no one is credited.
  for (const Row& row : rows) {
    if (holds(row) && row.bound == 0) return 0;
  }
  // One bound since the datagram arrived did not send it, whoever holds
  // the port now.
  return OneOwner(rows, [&](const Row& row) {
    return holds(row) && row.bound <= arrived;
  });
}

std::optional<PortHolder> FindPortHolder(bool stream, std::uint16_t port) {
  for (bool v6 : {false, true}) {
    std::vector<Row> rows;
    if (!ReadRows(stream ? Table::kTcpListening : Table::kUdp, v6, &rows)) {
      continue;
    }
    for (const Row& row : rows) {
      // The server's own sockets, opened on other addresses before the
      // one that failed, do not hold it.
      if (row.local.port == port && row.processId != 0 &&
          row.processId != GetCurrentProcessId()) {
        return PortHolder{row.processId, ProcessImage(row.processId)};
      }
    }
  }
  return std::nullopt;
}

}  // namespace tessard
