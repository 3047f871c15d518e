// What the server fuzzers hold every reply and stream to, written apart
// from the server's code: the layout of an RPC reply (RFC 5531) and the
// splitting of a record-marked stream into records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace rpc_oracle {

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

inline std::uint32_t Word(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
         std::uint32_t{p[2]} << 8 | p[3];
}

// A reply to the call with this xid: REPLY, then either accepted with an
// empty AUTH_NONE verifier and a known status (PROG_MISMATCH with the range
// 2 to 4), or denied for the RPC version (2 to 2) or the authentication
// (AUTH_TOOWEAK: a listing, or a reply over its bound, refused).
inline void CheckReply(const std::uint8_t* r, std::size_t size,
                       std::uint32_t xid) {
  if (size < 20 || size % 4 != 0) Fail("reply of impossible length");
  if (Word(r) != xid) Fail("reply xid differs from the call's");
  if (Word(r + 4) != 1) Fail("reply is not of type REPLY");
  if (Word(r + 8) == 0 && size < 24) Fail("accepted reply cut short");
  std::uint32_t state = Word(r + 8);
  if (state == 0) {
    if (Word(r + 12) != 0 || Word(r + 16) != 0) Fail("verifier not empty");
    std::uint32_t stat = Word(r + 20);
    if (stat > 5) Fail("unknown accept status");
    if (stat == 2 && (size != 32 || Word(r + 24) != 2 || Word(r + 28) != 4)) {
      Fail("PROG_MISMATCH without the range 2 to 4");
    }
    if (stat != 0 && stat != 2 && size != 24) Fail("error with results");
  } else if (state == 1) {
    std::uint32_t stat = Word(r + 12);
    if (stat == 0) {
      if (size != 24 || Word(r + 16) != 2 || Word(r + 20) != 2) {
        Fail("RPC_MISMATCH without the range 2 to 2");
      }
    } else if (stat == 1) {
      // BADCRED, REJECTEDCRED, BADVERF, or TOOWEAK for a reply refused.
      std::uint32_t why = Word(r + 16);
      if (size != 20 || ((why < 1 || why > 3) && why != 5)) {
        Fail("AUTH_ERROR with an unexpected status");
      }
    } else {
      Fail("unknown reject status");
    }
  } else {
    Fail("reply neither accepted nor denied");
  }
}

// A stream split into records by its marks, as far as it goes within the
// bounds: `closed` when a record passes them.
struct Records {
  std::vector<std::string> records;
  bool closed = false;
};

inline Records SplitStream(const std::uint8_t* data, std::size_t size,
                           std::size_t maxRecord, std::size_t maxFragments) {
  Records out;
  std::string record;
  std::size_t fragments = 0;
  std::size_t pos = 0;
  while (size - pos >= 4) {
    std::uint32_t mark = Word(data + pos);
    pos += 4;
    std::size_t length = mark & 0x7FFFFFFF;
    if (++fragments > maxFragments || record.size() + length > maxRecord) {
      out.closed = true;
      return out;
    }
    if (size - pos < length) break;
    record.append(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    if (mark & 0x80000000u) {
      out.records.push_back(record);
      record.clear();
      fragments = 0;
    }
  }
  return out;
}

}  // namespace rpc_oracle
