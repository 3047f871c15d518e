// The administrator's settings, as a plain value: which addresses are
// served, which networks may use the port mapper, whether listings go to
// other machines. The Windows program reads the service's Parameters key,
// hands the values to ParseSettings and publishes the result
// (PortMapper::SetSettings). Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "universal_address.h"

namespace tessard {

// The names of the values, as the administrator writes them.
constexpr char kListenAddressesValue[] = "ListenAddresses";
constexpr char kRemoteLookupsValue[] = "RemoteLookups";
constexpr char kRemoteListingsValue[] = "RemoteListings";
constexpr char kRemoteCallsValue[] = "RemoteCalls";

// The most networks RemoteLookups may list.
constexpr std::size_t kMaxRemoteLookups = 1024;

// An address to serve on, with its IPv6 zone ("fe80::1%3"); scope 0: none
// given.
struct ListenAddress {
  InetAddress address;  // the port is 0
  std::uint32_t scope = 0;
};

// A network: the addresses whose first `length` bits are those of `prefix`
// (the bits after them are zero).
struct Network {
  InetAddress prefix;  // the port is 0
  unsigned length = 0;
};

struct Settings {
  // ListenAddresses. Absent: every address. Loopback is served either way.
  bool everyAddress = true;
  std::vector<ListenAddress> listen;
  // RemoteLookups. Absent, or the line "*": every network. Otherwise only
  // callers in one of `lookups` (none: this machine only).
  bool everyNetwork = true;
  std::vector<Network> lookups;
  // RemoteListings: DUMP, GETADDRLIST and GETSTAT answered to other
  // machines over TCP (1, absent) or to this machine only (0).
  bool remoteListings = true;
  // RemoteCalls: CALLIT, BCAST and INDIRECT forwarded (1, absent) or not
  // offered (0).
  bool remoteCalls = true;
};

// A value as the Windows program read it from the registry.
struct MultiStringValue {
  enum class State { kAbsent, kPresent, kWrongType } state = State::kAbsent;
  std::vector<std::string> lines;  // kPresent: the strings, in order
  std::string typeFound;           // kWrongType: its type, e.g. "REG_SZ"
};
struct DwordValue {
  enum class State { kAbsent, kPresent, kWrongType } state = State::kAbsent;
  std::uint32_t value = 0;
  std::string typeFound;
};

struct SettingsValues {
  MultiStringValue listenAddresses;
  MultiStringValue remoteLookups;
  DwordValue remoteListings;
  DwordValue remoteCalls;
};

// What is wrong with the first value that is wrong: its name and the
// problem, which names the line at fault. text() is both, as the event log
// and the console show it:
//   RemoteLookups: "10.0.0.0/33": the prefix length must be 0 to 32 for an
//   IPv4 network
struct SettingsError {
  const char* value = nullptr;
  std::string problem;
  std::string text() const;
};

// The settings the values say, or false and the first error. A value of
// the wrong type, a line that does not parse, a RemoteListings or
// RemoteCalls other than 0 or 1, or more than kMaxRemoteLookups networks,
// is an error: a bad value never opens the server wider than it was.
// Blanks around a line are ignored, and so are empty lines.
bool ParseSettings(const SettingsValues& values, Settings* settings,
                   SettingsError* error);

// One line of each list: true, or false and the problem (without the
// value's name).
bool ParseListenAddress(std::string_view text, ListenAddress* address,
                        std::string* problem);
bool ParseNetwork(std::string_view text, Network* network,
                  std::string* problem);

// Whether `address` is in the network. An address of the other family never
// is, and neither is an IPv4-mapped IPv6 address (::ffff:a.b.c.d): the
// sockets of IPv6 addresses are IPv6-only, and the dual-stack socket that
// serves an IPv4 address's datagrams hands its sources on as IPv4, so only
// a forged packet comes from one.
bool InNetwork(const Network& network, const InetAddress& address);

// Whether a call or connection from `source` is let in by RemoteLookups.
// Loopback callers are let in by admission.h before this is asked.
bool InRemoteLookups(const Settings& settings, const InetAddress& source);

// Whether the Windows program serves on `address` (of zone `scope`, 0 for
// none): a loopback address always, every address when ListenAddresses is
// absent, else an address listed (a listed address without a zone matches
// it in every zone).
bool ServesAddress(const Settings& settings, const InetAddress& address,
                   std::uint32_t scope = 0);

}  // namespace tessard
