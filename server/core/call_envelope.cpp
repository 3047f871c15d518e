// The envelope of a call: its header read, its admission decided once
// (admission.h), the call handed to its procedure (procedures.h) or
// answered with the error that fits, and the reply kept within its bound.
// With it, what the envelope reads: the settings, the store and the sink
// of records.
#include "port_mapper.h"

#include <chrono>
#include <ctime>
#include <new>
#include <random>

#include "procedures.h"

namespace tessard {
namespace {

// Where our xids start: differently at each start, so that an earlier
// run's forwards tell nothing of this one's.
std::uint64_t ForwardSeed() {
  try {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  } catch (const std::exception&) {
    return static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

// A remote call (CALLIT, BCAST, INDIRECT) by its header alone.
bool IsRemoteCall(const CallHeader& header) {
  return header.prog == kPortMapperProgram &&
         (header.proc == kCallItProcedure ||
          (header.vers == 4 && header.proc == kIndirectProcedure));
}

std::uint32_t SystemClock() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

std::uint64_t SystemTicks() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// Answers a call of one of our procedures as its admission says.
CallOutcome Dispatch(const CallContext& call, const Procedure& procedure,
                     XdrReader& args, XdrWriter& out) {
  using Verdict = CallAdmission::Verdict;
  const CallHeader& header = call.header;
  call.statistics.CountCall(call.slot, header.vers, header.proc);
  const RecordedCall recorded{&call.caller, nullptr, header.vers, header.proc};
  const ProcedureKind kind = KindOf(procedure);
  Verdict verdict = call.admission.verdict;
  if (verdict == Verdict::kForward) {
    if (call.forwardTo) return ForwardRemoteCall(call, args, out);
    // A caller that gives nowhere to send a forward gets what RemoteCalls
    // 0 gives.
    verdict = kind == ProcedureKind::kBroadcastForward ? Verdict::kSilent
                                                       : Verdict::kNotOffered;
  }
  if (kind == ProcedureKind::kForward ||
      kind == ProcedureKind::kBroadcastForward) {
    // The program and version of the call to forward, for the record.
    const std::uint32_t prog = args.U32();
    const std::uint32_t vers = args.U32();
    WriteRecord(call.records, RecordKind::kForwardRefused, prog, vers, {}, {},
                recorded);
  }
  if (verdict == Verdict::kServe) {
    Serve(procedure, call, args, out);
  } else if (verdict == Verdict::kNotOffered) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProcUnavail);
  } else if (verdict == Verdict::kTooWeak) {
    // RemoteListings refused it; a datagram's listing never goes to
    // another machine, whatever the settings.
    if (call.caller.stream()) {
      WriteRecord(call.records, RecordKind::kListingRefused, 0, 0, {}, {},
                  recorded);
    }
    WriteAuthError(out, header.xid, AuthStat::kTooWeak);
  } else {
    return CallOutcome::kSilent;
  }
  return CallOutcome::kReply;
}

// Answers a call whose caller is let in: the header's faults, another
// program, version or procedure with the error that says so, and a
// procedure of ours as dispatched.
CallOutcome Answer(const CallContext& call, HeaderOutcome read,
                   const Procedure* procedure, XdrReader& args,
                   XdrWriter& out) {
  const std::uint32_t xid = call.header.xid;
  switch (read) {
    case HeaderOutcome::kNotACall:
    case HeaderOutcome::kTruncated:
      return CallOutcome::kMalformed;
    case HeaderOutcome::kRpcMismatch:
      WriteRpcMismatch(out, xid);
      return CallOutcome::kReply;
    case HeaderOutcome::kBadCredential:
      WriteAuthError(out, xid, AuthStat::kBadCred);
      return CallOutcome::kReply;
    case HeaderOutcome::kBadVerifier:
      WriteAuthError(out, xid, AuthStat::kBadVerf);
      return CallOutcome::kReply;
    case HeaderOutcome::kRejectedFlavor:
      // A remote call to forward is refused by the forwarding rules,
      // which record it and keep a broadcast's refusal silent.
      if (procedure && call.admission.verdict ==
                           CallAdmission::Verdict::kForward) {
        return Dispatch(call, *procedure, args, out);
      }
      WriteAuthError(out, xid, AuthStat::kRejectedCred);
      return CallOutcome::kReply;
    case HeaderOutcome::kCall:
      break;
  }
  if (call.header.prog != kPortMapperProgram) {
    WriteAcceptedReply(out, xid, AcceptStat::kProgUnavail);
  } else if (!IsServedVersion(call.header.vers)) {
    WriteProgMismatch(out, xid, kLowestVersion, kHighestVersion);
  } else if (!procedure) {
    WriteAcceptedReply(out, xid, AcceptStat::kProcUnavail);
  } else {
    return Dispatch(call, *procedure, args, out);
  }
  return CallOutcome::kReply;
}

}  // namespace

PortMapper::PortMapper(std::size_t capacity, Clock clock, Ticks ticks)
    : table_(capacity),
      forwards_(kMaxForwards, kForwardTimeoutMs, ForwardSeed()),
      clock_(clock ? clock : SystemClock),
      ticks_(ticks ? ticks : SystemTicks),
      settings_(std::make_unique<const Settings>()) {}

void PortMapper::SetStore(Store* store) {
  store_ = store;
  table_.SetStore(store);
}

void PortMapper::SetRecordSink(RecordSink* records, RecordLimits limits) {
  limiter_.reset();
  records_ = nullptr;
  if (!records) return;
  limiter_ = std::make_unique<RecordLimiter>(records, ticks_, limits);
  records_ = limiter_.get();
}

void PortMapper::FlushRecords() {
  if (limiter_) limiter_->Flush();
  forwards_.Expire(ticks_());
}

void PortMapper::SetSettings(const Settings& settings) {
  auto next = std::make_unique<const Settings>(settings);
  std::lock_guard<std::mutex> lock(settings_.writers());
  settings_.Publish(std::move(next));
}

PortMapper::ReaderSlot::ReaderSlot(PortMapper& mapper)
    : mapper_(mapper), slot_(mapper.table_.ClaimSlot()) {}

PortMapper::ReaderSlot::~ReaderSlot() { mapper_.table_.ReleaseSlot(slot_); }

bool PortMapper::LetConnectionIn(ReaderSlot& reader, const Caller& caller) {
  Published<Settings>::Guard settings(settings_, reader.slot_);
  if (LetsIn(caller, settings.value())) return true;
  WriteRecord(records_, RecordKind::kOutsideLookups, 0, 0, {}, {}, {&caller});
  return false;
}

CallOutcome PortMapper::HandleCall(ReaderSlot& reader, const std::uint8_t* call,
                                   std::size_t size, const Caller& caller,
                                   std::vector<std::uint8_t>* reply,
                                   InetAddress* forwardTo) {
  XdrReader in(call, size);
  CallHeader header;
  const HeaderOutcome read = ReadCallHeader(in, &header);
  // A remote call whose credential is not ours to judge still goes to the
  // forwarding rules, which refuse to forward it.
  const bool readable =
      read == HeaderOutcome::kCall ||
      (read == HeaderOutcome::kRejectedFlavor && IsRemoteCall(header));
  const Procedure* procedure =
      readable && header.prog == kPortMapperProgram
          ? FindProcedure(header.vers, header.proc)
          : nullptr;
  CallAdmission admission;
  {
    Published<Settings>::Guard settings(settings_, reader.slot_);
    admission = AdmitCall(procedure ? KindOf(*procedure) : ProcedureKind::kNone,
                          caller, settings.value(), size);
  }
  // A caller outside RemoteLookups learns nothing, not even that its
  // message was malformed.
  if (admission.verdict == CallAdmission::Verdict::kShutOut) {
    WriteRecord(records_, RecordKind::kOutsideLookups, 0, 0, {}, {}, {&caller});
    return CallOutcome::kClose;
  }

  const std::size_t start = reply->size();
  const std::size_t limit =
      start + (caller.stream() ? kMaxStreamReply : kMaxDatagramReply);
  const CallContext context{caller,       header,    admission,
                            reader.slot_, table_,    statistics_,
                            clock_,       ticks_,    records_,
                            forwards_,    caller.stream() ? nullptr : forwardTo};
  CallOutcome outcome = CallOutcome::kReply;
  bool systemError = false;
  try {
    XdrWriter out(reply, limit);
    outcome = Answer(context, read, procedure, in, out);
    if (outcome == CallOutcome::kForward) return outcome;
    // The results do not fit what the transport carries.
    systemError = !out.ok();
  } catch (const std::bad_alloc&) {
    // A change of the table, or a reply that outgrew its buffer.
    systemError = true;
    outcome = CallOutcome::kReply;
  }
  if (outcome != CallOutcome::kReply) {
    reply->resize(start);
    return outcome;
  }
  if (systemError) {
    reply->resize(start);
    try {
      XdrWriter again(reply, limit);
      WriteAcceptedReply(again, header.xid, AcceptStat::kSystemErr);
    } catch (const std::bad_alloc&) {
      reply->resize(start);
      return CallOutcome::kOutOfMemory;
    }
  }
  if (reply->size() - start > admission.replyBound) {
    reply->resize(start);
    // A broadcaster hears nothing of a call not answered; anyone else is
    // told at once, in fewer bytes than any call, that it gets no answer
    // this way (and may ask over TCP).
    if (header.prog == kPortMapperProgram && header.proc == kCallItProcedure) {
      return CallOutcome::kSilent;
    }
    XdrWriter refusal(reply, limit);
    WriteAuthError(refusal, header.xid, AuthStat::kTooWeak);
  }
  return CallOutcome::kReply;
}

bool PortMapper::AnswerForward(const std::uint8_t* data, std::size_t size,
                               const InetAddress& from,
                               std::vector<std::uint8_t>* reply,
                               InetAddress* caller) {
  ProgramReply answer;
  PendingForward f;
  if (!ReadProgramReply(data, size, &answer) ||
      !forwards_.Take(answer.xid, from, &f)) {
    return false;
  }
  try {
    if (WriteForwardReply(reply, reply->size() + kMaxDatagramReply, f,
                          answer) != ForwardReply::kSend) {
      return false;
    }
  } catch (const std::bad_alloc&) {
    return false;  // the caller asks again
  }
  *caller = f.caller;
  return true;
}

}  // namespace tessard
