// Who a process is, from its handle and its token (through the server's
// seam): the Identity that the core's owner rules read.
#pragma once

#include <cstdint>
#include <string>

#include "caller.h"

namespace tessard {

// The process `pid` now: unknown for pid 0, a process that cannot be
// opened, or one whose creation time or token's account cannot be read.
// Otherwise its id and creation time (FILETIME units), its image path and
// its token's account as DOMAIN\name (both UTF-8; the image empty when it
// cannot be read), and whether it counts as an administrator: LocalSystem
// (S-1-5-18), or an elevated token with BUILTIN\Administrators
// (S-1-5-32-544) enabled among its groups. Every handle opened is closed.
Identity IdentifyProcess(std::uint32_t pid);

// The image path of process `pid` (UTF-8), empty when it cannot be read.
std::string ProcessImage(std::uint32_t pid);

}  // namespace tessard
