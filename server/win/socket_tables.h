// Temporary until the socket tables land.
#pragma once
#include "socket_sample.h"
namespace tessard {
inline SocketSample SampleSocketTables() { return {}; }
}
