// Port 111 on one of the machine's addresses: a UDP socket with the
// threads that wait on it, and a TCP listener with the thread that accepts
// its connections and hands them to the pool. Bound to the address itself,
// so that each reply leaves from the address its call came to (Wine's
// WSASendMsg ignores a source address given as control data).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "caller.h"
#include "connection_pool.h"
#include "local_addresses.h"
#include "port_mapper.h"

namespace tessard {

class AddressEndpoint {
 public:
  AddressEndpoint(const LocalAddress& address, PortMapper& mapper,
                  ConnectionPool& pool);
  ~AddressEndpoint();
  AddressEndpoint(const AddressEndpoint&) = delete;
  AddressEndpoint& operator=(const AddressEndpoint&) = delete;

  // Binds both sockets. Returns 0, or the socket error with *failed naming
  // the transport ("UDP", "TCP", "UDP over IPv6", "TCP over IPv6").
  DWORD Open(std::string* failed);
  // Starts the threads; false when the system has none to give.
  bool Start();
  // Asks the threads to end, and wakes them; Join waits for them and
  // closes the sockets.
  void SignalStop();
  void Join();

  const LocalAddress& address() const { return address_; }

 private:
  void WakeDatagramThreads();
  void ServeDatagrams();
  void AcceptConnections();
  // The caller of a call from `source` to this address.
  Caller CallerFrom(const InetAddress& source, bool stream) const;

  LocalAddress address_;
  InetAddress served_;  // the address with port 111
  PortMapper& mapper_;
  ConnectionPool& pool_;
  SOCKET udp_ = INVALID_SOCKET;
  SOCKET tcp_ = INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  HANDLE stopped_;  // set with stopping_
  std::vector<std::thread> threads_;
};

}  // namespace tessard
