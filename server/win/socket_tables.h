// This machine's socket tables (GetExtendedTcpTable, GetExtendedUdpTable
// through the server's seam): the sample of bound sockets that the core's
// drop rule reads, the process that owns a local caller's socket, and the
// process that holds a port the server could not bind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "socket_sample.h"
#include "universal_address.h"

namespace tessard {

// UDP bound and TCP listening sockets of both families. A table that could
// not be read has its ...Read flag false and adds no socket.
SocketSample SampleSocketTables();

// The process that owns the TCP connection from `local` to `remote` (both
// seen from that process: for a caller of the server, its source and the
// server's address it reached), or 0 when the table names none, names more
// than one, or cannot be read.
std::uint32_t TcpConnectionOwner(const InetAddress& local,
                                 const InetAddress& remote);

// The process that owns the UDP socket a local caller's datagram came
// from: a socket bound to its source (its port, and its address or the
// wildcard) before it arrived (`arrived`, FILETIME units), as the table
// with each socket's bind time says. 0 when there is none (the caller
// closed its socket, and one bound since holds the port), when sockets of
// two processes could have sent it, when the table gives a candidate no
// time, or when it cannot be read. Only the reading of the table costs:
// the decision is made on its rows.
std::uint32_t UdpSocketOwner(const InetAddress& source, std::uint64_t arrived);

struct PortHolder {
  std::uint32_t processId = 0;
  std::string image;  // UTF-8; empty when the process could not be opened
};

// The process holding `port` (TCP listening when `stream`, else UDP bound)
// on either family, or nothing when the tables name no process for it.
std::optional<PortHolder> FindPortHolder(bool stream, std::uint16_t port);

}  // namespace tessard
