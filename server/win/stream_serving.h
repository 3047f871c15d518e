// Serving one TCP connection: calls in through the message framing, replies
// out, until the caller closes, falls silent, is too slow, or the
// connection is closed to make room or because the server stops.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "connection_pool.h"
#include "port_mapper.h"
#include "stream_connection.h"

namespace tessard {

// stopEvent is set when the server stops: a reply being sent then ends at
// once, as it does when the connection is closed to make room.
void ServeStream(Connection& connection, PortMapper& mapper,
                 PortMapper::ReaderSlot& reader,
                 std::vector<std::uint8_t>& reply, StreamConnection& stream,
                 HANDLE stopEvent);

}  // namespace tessard
