// The port mapper's records (records.h) as entries of the Application
// event log under the server's source, each kind with its own event id and
// message text (tessard_messages.mc); in a console, the same texts on
// standard error.
#pragma once

#include "records.h"

namespace tessard {

class EventRecords : public RecordSink {
 public:
  void Write(const Record& record) override;
};

// The caller's address for a record: "10.77.0.2 port 734", "::1 port 800".
std::string CallerAddressText(const InetAddress& address);

}  // namespace tessard
