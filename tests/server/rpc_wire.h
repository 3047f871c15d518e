// Calls built and replies read for the tests, byte by byte, apart from the
// server's own XDR code, so that a fault there cannot hide itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rpc_wire {

struct Wire {
  std::vector<std::uint8_t> bytes;

  Wire& U32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    return *this;
  }
  Wire& Str(std::string_view s) {
    U32(static_cast<std::uint32_t>(s.size()));
    bytes.insert(bytes.end(), s.begin(), s.end());
    while (bytes.size() % 4) bytes.push_back(0);
    return *this;
  }
  Wire& Rpcb(std::uint32_t prog, std::uint32_t vers, std::string_view netid,
             std::string_view uaddr, std::string_view owner = "0") {
    return U32(prog).U32(vers).Str(netid).Str(uaddr).Str(owner);
  }
  Wire& Mapping(std::uint32_t prog, std::uint32_t vers, std::uint32_t protocol,
                std::uint32_t port) {
    return U32(prog).U32(vers).U32(protocol).U32(port);
  }
};

// A call with AUTH_NONE credential and verifier.
inline Wire Call(std::uint32_t vers, std::uint32_t proc,
                 std::uint32_t prog = 100000, std::uint32_t xid = 0x1234) {
  Wire w;
  w.U32(xid).U32(0).U32(2).U32(prog).U32(vers).U32(proc);
  w.U32(0).U32(0).U32(0).U32(0);
  return w;
}

// A reply as the RFC lays it out, its results left as words to read.
struct Reply {
  std::uint32_t xid = 0;
  std::uint32_t type = 0;
  std::uint32_t state = 0;   // 0 accepted, 1 denied
  std::uint32_t status = 0;  // accept_stat or reject_stat
  std::vector<std::uint8_t> body;  // after the status
  std::size_t at = 0;

  std::uint32_t U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | body.at(at++);
    return v;
  }
  std::string Str() {
    std::uint32_t n = U32();
    std::string s(body.begin() + at, body.begin() + at + n);
    at += (n + 3) & ~3u;
    return s;
  }
  bool Done() const { return at == body.size(); }
};

inline Reply Parse(const std::vector<std::uint8_t>& bytes) {
  Reply r;
  r.body = bytes;
  r.xid = r.U32();
  r.type = r.U32();
  r.state = r.U32();
  if (r.state == 0) {
    r.U32();  // verifier flavour
    r.at += (r.U32() + 3) & ~3u;
  }
  r.status = r.U32();
  r.body.erase(r.body.begin(), r.body.begin() + r.at);
  r.at = 0;
  return r;
}

}  // namespace rpc_wire
