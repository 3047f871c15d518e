// The port mapper: program 100000, versions 2 (portmap) and 3 and 4
// (rpcbind), over one registration table. HandleCall takes one call message
// as it arrived on a datagram or as one record of a stream and writes the
// reply, if any; the procedures are rows of one table (port_mapper.cpp),
// and who may call which is decided by admission.h. Free of Windows
// headers: the Windows program and the native tests and fuzzers link it
// unchanged.
//
// How a serving thread uses it: it keeps a Worker for its life and one
// reply buffer; for each datagram it fills a Caller (caller.h) and calls
// HandleCall, and sends the reply only on kReply (kSilent, kMalformed and
// kOutOfMemory send nothing). A TCP connection goes through
// StreamConnection, which closes on anything but kReply and kSilent.
// Neither throws: running out of memory answers SYSTEM_ERR or closes that
// one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "caller.h"
#include "registration_table.h"
#include "statistics.h"
#include "xdr.h"

namespace tessard {

struct CallHeader;

constexpr std::uint32_t kPortMapperProgram = 100000;
constexpr std::uint32_t kLowestVersion = 2;
constexpr std::uint32_t kHighestVersion = 4;
constexpr std::uint16_t kPortMapperPort = 111;

// The largest call we read: a datagram, or a record on a stream.
constexpr std::size_t kMaxCallSize = 8192;
// A record may come in at most this many fragments.
constexpr std::size_t kMaxFragments = kMaxCallSize;
// The largest reply sent in a datagram: what RPC clients commonly read.
constexpr std::size_t kMaxDatagramReply = 8800;
// The largest reply on a stream: a DUMP of a full table.
constexpr std::size_t kMaxStreamReply =
    64 + kMaxRegistrations * (4 + 8 + (4 + kMaxNetid) + (4 + kMaxUaddr) +
                              (4 + kMaxOwner));

enum class CallOutcome {
  kReply,      // send what was written
  kSilent,     // send nothing; the message was a call we do not answer
  kMalformed,  // not a call we can read: drop it, or close the stream
  kOutOfMemory,  // not even an error reply could be written: the same
};

class PortMapper {
 public:
  using Clock = std::uint32_t (*)();

  explicit PortMapper(std::size_t capacity = kMaxRegistrations,
                      Clock clock = nullptr);

  // Registers the port mapper itself on a transport it serves, on the
  // wildcard address and port 111: versions 2 to 4 on udp and tcp, 3 and 4
  // on udp6 and tcp6. These registrations cannot be removed.
  void AddOwnTransport(std::string_view netid);

  // A serving thread's claim on a table slot and a statistics block.
  class Worker {
   public:
    explicit Worker(PortMapper& mapper);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

   private:
    friend class PortMapper;
    PortMapper& mapper_;
    std::size_t slot_;
  };

  // Handles one call. The reply is appended to *reply, which is left as it
  // was when the outcome is not kReply; a datagram's reply is at most
  // kMaxDatagramReply bytes, a stream's at most kMaxStreamReply. Running
  // out of memory answers SYSTEM_ERR (or kOutOfMemory); nothing throws.
  CallOutcome HandleCall(Worker& worker, const std::uint8_t* call,
                         std::size_t size, const Caller& caller,
                         std::vector<std::uint8_t>* reply);

  RegistrationTable& table() { return table_; }
  const Statistics& statistics() const { return statistics_; }

 private:
  // Reads the call's header and answers it.
  CallOutcome Answer(std::size_t slot, const Caller& caller, XdrReader& in,
                     CallHeader* header, XdrWriter& out);
  // Finds the call's row, admits the caller and serves the call.
  CallOutcome Dispatch(std::size_t slot, const Caller& caller,
                       const CallHeader& header, XdrReader& args,
                       XdrWriter& out);

  RegistrationTable table_;
  Statistics statistics_;
  Clock clock_;
};

}  // namespace tessard
