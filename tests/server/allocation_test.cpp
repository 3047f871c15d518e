// The core when memory runs out: every allocation a change of the table or
// a stream's reply makes is failed in turn, as the utility's sweeps fail
// its platform calls. This program replaces the global operator new and
// delete, so it is a test program of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "callers.h"
#include "port_mapper.h"
#include "rpc_wire.h"
#include "stream_connection.h"

namespace {

std::atomic<long> g_allocations{0};  // made so far
std::atomic<long> g_failFrom{0};     // the first to fail; 0: none fails
std::atomic<long> g_failUntil{0};    // the last to fail
std::atomic<long> g_failed{0};       // failed so far
std::atomic<long> g_live{0};         // allocated and not yet freed

// Fails the nth allocation from now, or every one from it on.
void FailAllocation(long n, bool onwards = false) {
  g_failed = 0;
  g_failUntil = onwards ? 0x7FFFFFFF : g_allocations + n;
  g_failFrom = g_allocations + n;
}

// Stops failing; whether any allocation failed.
bool StopFailing() {
  g_failFrom = 0;
  return g_failed > 0;
}

}  // namespace

void* operator new(std::size_t size) {
  long n = ++g_allocations;
  long from = g_failFrom;
  if (from != 0 && n >= from && n <= g_failUntil) {
    ++g_failed;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  ++g_live;
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept {
  return operator new(size, t);
}
void operator delete(void* p) noexcept {
  if (!p) return;
  --g_live;
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}

namespace tessard {
namespace {

using rpc_wire::Call;
using rpc_wire::Wire;

constexpr std::uint32_t kNfs = 100003;

class AllocationTest : public ::testing::Test {
 protected:
  AllocationTest() {
    mapper_.AddOwnTransport("udp");
    mapper_.AddOwnTransport("tcp");
  }

  std::vector<std::uint8_t> Send(const Wire& call) {
    std::vector<std::uint8_t> reply;
    mapper_.HandleCall(reader_, call.bytes.data(), call.bytes.size(), local_,
                       &reply);
    return reply;
  }

  // The registrations, as the DUMP bytes.
  std::vector<std::uint8_t> Dump() { return Send(Call(4, 4)); }

  // Fails each allocation of a change in turn until it goes through: each
  // failure answers SYSTEM_ERR, leaves the table as it was and leaks
  // nothing.
  void SweepChange(const Wire& change) {
    for (long n = 1;; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
      std::vector<std::uint8_t> before = Dump();
      std::vector<std::uint8_t> reply;
      reply.reserve(kMaxDatagramReply);
      long live = g_live;
      FailAllocation(n);
      mapper_.HandleCall(reader_, change.bytes.data(), change.bytes.size(),
                         local_, &reply);
      bool failed = StopFailing();
      long leaked = g_live - live;
      rpc_wire::Reply r = rpc_wire::Parse(reply);
      if (!failed) {
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.U32(), 1u);
        EXPECT_GT(n, 1) << "no allocation to fail";
        return;
      }
      EXPECT_EQ(r.status, 5u);  // SYSTEM_ERR
      EXPECT_EQ(leaked, 0);
      EXPECT_EQ(Dump(), before);
      ASSERT_LT(n, 100);
    }
  }

  PortMapper mapper_{24};
  PortMapper::ReaderSlot reader_{mapper_};
  const Caller local_ = From("udp", "127.0.0.1.4.1", "127.0.0.1.0.111");
};

TEST_F(AllocationTest, AFailedChangeAnswersSystemErrorAndLeaksNothing) {
  SweepChange(Call(4, 1).Rpcb(kNfs, 3, "udp", "0.0.0.0.8.1", "alice"));
  SweepChange(Call(2, 1).Mapping(kNfs, 2, 6, 2049));
  SweepChange(Call(2, 1).Mapping(kNfs, 2, 17, 2049));
  SweepChange(Call(4, 2).Rpcb(kNfs, 3, "", ""));
  SweepChange(Call(2, 2).Mapping(kNfs, 2, 0, 0));
}

// A stream's reply buffer grows for a large reply; when it cannot, the
// connection answers SYSTEM_ERR or is closed, and serving goes on.
TEST_F(AllocationTest, AStreamOutOfMemoryAnswersOrClosesAndServingGoesOn) {
  for (std::uint32_t vers = 1; vers <= 16; ++vers) {
    Send(Call(4, 1).Rpcb(kNfs, vers, "tcp", "127.0.0.1.8.1",
                         std::string(64, 'o')));
  }
  auto record = [](const Wire& call) {
    Wire framed;
    framed.U32(0x80000000u | static_cast<std::uint32_t>(call.bytes.size()));
    framed.bytes.insert(framed.bytes.end(), call.bytes.begin(),
                        call.bytes.end());
    return framed.bytes;
  };
  const std::vector<std::uint8_t> dump = record(Call(4, 4));
  const std::vector<std::uint8_t> null = record(Call(4, 0));
  const Caller tcp = From("tcp", "127.0.0.1.4.1", "127.0.0.1.0.111");
  for (long n = 1;; ++n) {
    SCOPED_TRACE("allocations from " + std::to_string(n) + " on fail");
    StreamConnection connection;
    connection.Open(tcp);
    std::vector<std::uint8_t> out;  // no room reserved: every reply grows it
    std::size_t used = 0;
    bool open = false;
    FailAllocation(n, true);
    try {
      open = connection.Receive(mapper_, reader_, dump.data(), dump.size(),
                                &used, &out);
    } catch (const std::bad_alloc&) {
      StopFailing();
      FAIL() << "out of memory ended the serving thread";
    }
    bool failed = StopFailing();
    if (!failed) {
      EXPECT_GT(out.size(), 16u * 64);
      EXPECT_GT(n, 1) << "no allocation to fail";
      return;
    }
    if (open) {
      ASSERT_GE(out.size(), 4u);
      std::vector<std::uint8_t> body(out.begin() + 4, out.end());
      EXPECT_EQ(rpc_wire::Parse(body).status, 5u);  // SYSTEM_ERR
      out.clear();
      EXPECT_TRUE(connection.Receive(mapper_, reader_, null.data(),
                                     null.size(), &used, &out));
      EXPECT_EQ(out.size(), 4u + 24u);
    } else {
      EXPECT_TRUE(out.empty());
    }
    ASSERT_LT(n, 100);
  }
}

}  // namespace
}  // namespace tessard
