// The port mapper: program 100000, versions 2 (portmap) and 3 and 4
// (rpcbind), over one registration table. HandleCall takes one call message
// as it arrived on a datagram or as one message of a stream and writes the
// reply, if any. Its parts: the envelope of a call (call_envelope.cpp), who
// may call what (admission.h), the procedures (procedures.h), and the
// upkeep of the table (table_upkeep.h). Free of Windows headers: the
// Windows program and the native tests and fuzzers link it unchanged.
//
// How a serving thread uses it: it keeps a ReaderSlot for its life and one
// reply buffer; for each datagram it fills a Caller (caller.h) and calls
// HandleCall, and sends the reply only on kReply, or on kForward the
// forwarded call to the program (kSilent, kClose, kMalformed and
// kOutOfMemory send nothing). Whatever comes back to a forwarding socket
// goes to AnswerForward, which says what its caller hears. A TCP connection goes
// through StreamConnection, which closes on anything but kReply and
// kSilent; before it is served, LetConnectionIn says whether it may stay.
// Neither throws: running out of memory answers SYSTEM_ERR or closes that
// one connection.
//
// A table that lasts, and owners:
// - At start-up, after AddOwnTransport for every transport served:
//   SetStore (the service's store; none in console mode), SetRecordSink,
//   then Restore with every value of the store and a sample of the socket
//   tables; the values of report.damaged are to be kept aside (moved,
//   never deleted) and the sink has been told of each.
// - Every kSamplePeriodMs (socket_sample.h): ApplySample with a fresh
//   sample; a table that could not be read is marked not read.
// - The administrator's settings (settings.h): SetSettings before serving
//   and at every change that parses, from any thread; the calls being
//   served read them without a lock. Before the first, the defaults:
//   every address, every network, listings over TCP.
// - FlushRecords about every second (record_limiter.h).
// - For a local caller, Caller::identity points to an IdentitySource
//   (caller.h) that finds the caller's process, account and program when
//   asked; SET and UNSET ask once per call, nothing else asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "caller.h"
#include "published.h"
#include "record_limiter.h"
#include "records.h"
#include "registration_table.h"
#include "remote_calls.h"
#include "settings.h"
#include "statistics.h"
#include "stored_registration.h"
#include "table_upkeep.h"

namespace tessard {

constexpr std::uint16_t kPortMapperPort = 111;

// The largest call we read: a datagram, or a message on a stream.
constexpr std::size_t kMaxCallSize = 8192;
// A message on a stream may come in at most this many fragments.
constexpr std::size_t kMaxFragments = kMaxCallSize;
// The largest reply sent in a datagram: what RPC clients commonly read.
constexpr std::size_t kMaxDatagramReply = 8800;
// The largest reply on a stream: a DUMP of a full table.
constexpr std::size_t kMaxStreamReply =
    64 + kMaxRegistrations * (4 + 8 + (4 + kMaxNetid) + (4 + kMaxUaddr) +
                              (4 + kMaxOwner));

enum class CallOutcome {
  kReply,        // send what was written
  kSilent,       // send nothing; the message was a call we do not answer
  kClose,        // send nothing, and close a stream at once: a caller
                 // outside RemoteLookups
  kMalformed,    // not a call we can read: drop it, or close the stream
  kOutOfMemory,  // not even an error reply could be written: the same
  kForward,      // send what was written (a call forwarded) to the program,
                 // from the forwarding socket of the address called
};

class PortMapper {
 public:
  // The time of day in seconds since 1970 (GETTIME), and a monotonic
  // count of milliseconds (grace periods); nullptr: the system's.
  using Clock = std::uint32_t (*)();
  using Ticks = std::uint64_t (*)();

  explicit PortMapper(std::size_t capacity = kMaxRegistrations,
                      Clock clock = nullptr, Ticks ticks = nullptr);
  PortMapper(const PortMapper&) = delete;
  PortMapper& operator=(const PortMapper&) = delete;

  // Where changes of the table are stored before they are answered
  // (nullptr, the start: memory only), and where records go (nullptr:
  // nowhere), through a RecordLimiter on the port mapper's Ticks. Both are
  // set before serving and outlive the port mapper.
  void SetStore(Store* store);
  void SetRecordSink(RecordSink* records, RecordLimits limits = {});
  // Writes the counts of records a burst left out, once they are due, and
  // frees the places of forwards whose program never answered. About
  // every second.
  void FlushRecords();

  // Publishes the settings that calls and connections are admitted by
  // from then on. Any thread, never one serving a call; calls being
  // served finish under the settings they began with. Throws
  // std::bad_alloc, and the settings in force stay.
  void SetSettings(const Settings& settings);

  // What came back from storage at start-up.
  struct RestoreReport {
    std::size_t restored = 0;
    std::size_t dropped = 0;  // no socket serves them: deleted from storage
    struct Damaged {
      std::string name;     // the value's name, as read
      const char* problem;  // what is wrong, for the event log
    };
    // Not loaded, to be kept aside: values that do not decode, break a
    // rule of SET, repeat a registration, or do not fit in the table.
    std::vector<Damaged> damaged;
  };
  // Loads the stored registrations that a socket of the sample may serve,
  // after the port mapper's own entries are made and before serving; the
  // others are dropped, a change like any other (stored, counted as an
  // UNSET of the version that made them, recorded). Never half an entry,
  // never past the table's capacity, never a registration twice.
  RestoreReport Restore(const std::vector<StoredValue>& values,
                        const SocketSample& sample);

  // Drops the registrations that are dead by the sample (IsDead): each
  // removal stored, counted as an UNSET of the version that made it and
  // recorded. A removal the store does not keep stays for the next
  // sample. Returns how many went. Call it every kSamplePeriodMs with
  // a sample of the socket tables, from any thread.
  std::size_t ApplySample(const SocketSample& sample);

  // Registers the port mapper itself on a transport it serves, on the
  // wildcard address and port 111: versions 2 to 4 on udp and tcp, 3 and 4
  // on udp6 and tcp6. These registrations cannot be removed.
  void AddOwnTransport(std::string_view netid);

  // A serving thread's claim on a reader slot (published.h), through which
  // it reads the table and the settings and counts its calls.
  class ReaderSlot {
   public:
    explicit ReaderSlot(PortMapper& mapper);
    ~ReaderSlot();
    ReaderSlot(const ReaderSlot&) = delete;
    ReaderSlot& operator=(const ReaderSlot&) = delete;

   private:
    friend class PortMapper;
    PortMapper& mapper_;
    std::size_t slot_;
  };

  // Whether a TCP connection just accepted may stay: false (and recorded)
  // for a caller outside RemoteLookups, which is to be closed at once.
  // The caller's source and destination are those of the connection.
  bool LetConnectionIn(ReaderSlot& reader, const Caller& caller);

  // Handles one call. The reply is appended to *reply, which is left as it
  // was when the outcome is not kReply or kForward; a datagram's reply is
  // at most kMaxDatagramReply bytes, a stream's at most kMaxStreamReply.
  // Running out of memory answers SYSTEM_ERR (or kOutOfMemory); nothing
  // throws. kForward (only for a datagram, with forwardTo given): *reply
  // holds the call to send to *forwardTo; if it cannot be sent, say so
  // with CancelForward.
  CallOutcome HandleCall(ReaderSlot& reader, const std::uint8_t* call,
                         std::size_t size, const Caller& caller,
                         std::vector<std::uint8_t>* reply,
                         InetAddress* forwardTo = nullptr);

  // A datagram that came back to a forwarding socket from `from`: true
  // when it answers a forward in flight and its caller is to hear *reply
  // (at *caller, from port 111 of the address the forward left from).
  bool AnswerForward(const std::uint8_t* data, std::size_t size,
                     const InetAddress& from, std::vector<std::uint8_t>* reply,
                     InetAddress* caller);
  // Frees the place of a forward that could not be sent: the xid of the
  // call HandleCall wrote.
  void CancelForward(std::uint32_t xid) { forwards_.Cancel(xid); }

  RegistrationTable& table() { return table_; }
  const Statistics& statistics() const { return statistics_; }

 private:
  RegistrationTable table_;
  Statistics statistics_;
  ForwardTable forwards_;
  Clock clock_;
  Ticks ticks_;
  Store* store_ = nullptr;
  std::unique_ptr<RecordLimiter> limiter_;
  RecordSink* records_ = nullptr;  // limiter_, when there is a sink
  Published<Settings> settings_;
};

}  // namespace tessard
