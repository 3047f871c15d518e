// The server's network side: port 111 over UDP and TCP on each of the
// machine's addresses (address_endpoint.h), the TCP connections' pool
// (connection_pool.h), and the housekeeping thread, which follows the
// machine's addresses as they come and go and is the home of the server's
// other periodic work.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "address_endpoint.h"
#include "connection_pool.h"
#include "local_addresses.h"
#include "port_mapper.h"
#include "registry_store.h"
#include "settings_reader.h"

namespace tessard {

// How often the machine's addresses are looked at.
constexpr DWORD kAddressCheckMs = 1000;

class NetworkServer {
 public:
  NetworkServer();
  ~NetworkServer();
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // The settings to serve by, before Open, and where their changes come
  // from: the reader's change notification and `paramChange` (the service
  // manager's PARAMCHANGE; nullptr in a console), both followed by the
  // housekeeping. Throws std::bad_alloc.
  void UseSettings(const Settings& settings, SettingsReader* reader,
                   HANDLE paramChange);
  // The store of the port mapper's table, whose key the housekeeping
  // makes again when it is deleted; set before Start.
  void UseStore(RegistryStore* store) { store_ = store; }

  // Opens port 111 on every address the machine has now (of those the
  // settings serve), calling progress
  // after each. Returns 0, or the socket error with *failed naming the
  // transport ("UDP", "TCP", ...): every address must open but for an IPv6
  // one the system cannot bind yet, which is served once it can.
  DWORD Open(const std::function<void()>& progress, std::string* failed);
  // Starts the serving threads and the housekeeping.
  void Start();
  // Stops every thread and closes every socket; progress() is called while
  // it waits for the threads.
  void Stop(const std::function<void()>& progress);

  // What is served, for the start-up note: "udp tcp udp6 tcp6 on
  // 127.0.0.1, ::1, ...".
  std::string Served();
  // What the TCP side has seen, for the note at the stop.
  PoolCounts ConnectionCounts() { return pool_.Counts(); }

  // The port mapper served: its store and records are set, and its stored
  // table restored, between Open and Start.
  PortMapper& mapper() { return mapper_; }

 private:
  void Housekeeping();
  // Serves the addresses that appeared and stops serving those that went.
  void FollowAddresses();
  // Stops serving the addresses that are not among those the machine has
  // `now`, or that the settings no longer allow.
  void CloseGoneAddresses(const std::vector<LocalAddress>& now);
  // Opens port 111 on an address that came, or reports once why it cannot.
  void OpenAddress(const LocalAddress& address);
  // Drops the registrations whose port has no socket bound.
  void DropDeadRegistrations();
  // Whether the sockets of the address are open.
  bool SocketsOpenOn(const LocalAddress& address);
  // Whether the settings in force allow serving the address.
  bool SettingsAllow(const LocalAddress& address) const;
  // Reads the settings again after a change, and applies them when they
  // are good; a bad change is reported and the settings in force stay.
  void FollowSettings();
  // Makes the Parameters key, or the store's key below it, again when it
  // has been deleted, with the table and the new key's settings, and says
  // so in one note. True when the settings were read again.
  bool FollowDeletedKeys();

  PortMapper mapper_;
  // The settings in force, as far as the sockets go; read and written by
  // the housekeeping alone once serving.
  Settings settings_;
  SettingsReader* settingsReader_ = nullptr;
  RegistryStore* store_ = nullptr;
  HANDLE paramChange_ = nullptr;
  HANDLE stopEvent_;
  ConnectionPool pool_;
  std::mutex endpointsLock_;
  std::vector<std::unique_ptr<AddressEndpoint>> endpoints_;
  // Addresses that failed to open for a reason other than "not yet":
  // reported once.
  std::vector<LocalAddress> reported_;
  bool servesIpv6_ = false;
  std::thread housekeeping_;
  bool stopped_ = false;
  // Whether the last sample of the socket tables could not read them all:
  // said once, and again after they could be read.
  bool tablesUnread_ = false;
};

}  // namespace tessard
