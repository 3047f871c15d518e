// Reading the administrator's settings, and the rules that use them.
#include "settings.h"

#include <algorithm>

namespace tessard {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted.append(text.data(), text.size());
  quoted += "\": ";
  return quoted;
}

// A decimal number of at most `digits` digits.
bool ParseDecimal(std::string_view text, std::size_t digits,
                  std::uint64_t* value) {
  if (text.empty() || text.size() > digits) return false;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = n;
  return true;
}

bool Fail(std::string* problem, std::string_view line, const char* what) {
  *problem = Quoted(line) + what;
  return false;
}

const char* TypeProblem(bool multiString) {
  return multiString ? ": it must be REG_MULTI_SZ" : ": it must be REG_DWORD";
}

// Parses each line of a list; empty lines are skipped.
template <typename Item, typename Parse>
bool ParseLines(const std::vector<std::string>& lines, Parse parse,
                std::vector<Item>* items, std::string* problem) {
  for (const std::string& raw : lines) {
    std::string_view line = Trim(raw);
    if (line.empty()) continue;
    Item item;
    if (!parse(line, &item, problem)) return false;
    items->push_back(item);
  }
  return true;
}

}  // namespace

std::string SettingsError::text() const {
  return std::string(value ? value : "") + ": " + problem;
}

bool ParseListenAddress(std::string_view text, ListenAddress* address,
                        std::string* problem) {
  std::string_view line = Trim(text);
  std::string_view host = line;
  ListenAddress parsed;
  std::size_t percent = line.find('%');
  if (percent != std::string_view::npos) {
    host = line.substr(0, percent);
    std::uint64_t scope = 0;
    if (!ParseDecimal(line.substr(percent + 1), 10, &scope) ||
        scope > 0xFFFFFFFFu) {
      return Fail(problem, line,
                  "the zone after % must be an interface number, 0 to "
                  "4294967295");
    }
    parsed.scope = static_cast<std::uint32_t>(scope);
  }
  if (!ParseHostAddress(host, &parsed.address)) {
    return Fail(problem, line, "not an IPv4 or IPv6 address");
  }
  if (percent != std::string_view::npos && !parsed.address.v6) {
    return Fail(problem, line, "only an IPv6 address has a zone");
  }
  // Only a link-local address (fe80::/10) is bound on one interface; any
  // other is the machine's on every interface, so a zone would match none.
  if (percent != std::string_view::npos &&
      !(parsed.address.host[0] == 0xFE &&
        (parsed.address.host[1] & 0xC0) == 0x80)) {
    return Fail(problem, line,
                "only a link-local address (fe80::/10) has a zone: write "
                "this address without one");
  }
  if (IsWildcard(parsed.address)) {
    return Fail(problem, line,
                "the wildcard address: leave ListenAddresses out to serve on "
                "every address");
  }
  if (IsIpv4Mapped(parsed.address)) {
    *problem = Quoted(line) +
               "an IPv4-mapped address, which the IPv6-only sockets never "
               "serve: write " +
               HostAddressText(FromMapped(parsed.address));
    return false;
  }
  *address = parsed;
  return true;
}

bool ParseNetwork(std::string_view text, Network* network,
                  std::string* problem) {
  std::string_view line = Trim(text);
  std::size_t slash = line.find('/');
  std::string_view host = line.substr(0, slash);
  if (host.find('%') != std::string_view::npos) {
    return Fail(problem, line, "a network has no zone (%)");
  }
  Network parsed;
  if (!ParseHostAddress(host, &parsed.prefix)) {
    return Fail(problem, line,
                "not an IPv4 or IPv6 network (address/prefix length)");
  }
  const unsigned bits = parsed.prefix.v6 ? 128 : 32;
  parsed.length = bits;  // a bare address: that address alone
  if (slash != std::string_view::npos) {
    std::uint64_t length = 0;
    if (!ParseDecimal(line.substr(slash + 1), 3, &length) || length > bits) {
      return Fail(problem, line,
                  parsed.prefix.v6
                      ? "the prefix length must be 0 to 128 for an IPv6 "
                        "network"
                      : "the prefix length must be 0 to 32 for an IPv4 "
                        "network");
    }
    parsed.length = static_cast<unsigned>(length);
  }
  // Bits after the prefix length are a typing error more often than not:
  // say which network was meant rather than guess.
  Network masked = parsed;
  for (unsigned bit = parsed.length; bit < bits; ++bit) {
    masked.prefix.host[bit / 8] &=
        static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  }
  if (!std::equal(masked.prefix.host, masked.prefix.host + 16,
                  parsed.prefix.host)) {
    *problem =
        Quoted(line) + "bits are set after the prefix length: the network is " +
        HostAddressText(masked.prefix) + "/" + std::to_string(parsed.length);
    return false;
  }
  if (parsed.length >= 96 && IsIpv4Mapped(parsed.prefix)) {
    return Fail(problem, line,
                "an IPv4-mapped network, which no caller comes from (the "
                "IPv6 sockets are IPv6-only): write the IPv4 network");
  }
  *network = parsed;
  return true;
}

bool ParseSettings(const SettingsValues& values, Settings* settings,
                   SettingsError* error) {
  using MultiState = MultiStringValue::State;
  Settings parsed;
  auto wrongType = [&](const char* value, const std::string& found,
                       bool multiString) {
    error->value = value;
    error->problem = "the value is of type " +
                     (found.empty() ? std::string("another") : found) +
                     TypeProblem(multiString);
    return false;
  };

  const MultiStringValue& listen = values.listenAddresses;
  if (listen.state == MultiState::kWrongType) {
    return wrongType(kListenAddressesValue, listen.typeFound, true);
  }
  if (listen.state == MultiState::kPresent) {
    parsed.everyAddress = false;
    if (!ParseLines(listen.lines, ParseListenAddress, &parsed.listen,
                    &error->problem)) {
      error->value = kListenAddressesValue;
      return false;
    }
  }

  const MultiStringValue& lookups = values.remoteLookups;
  if (lookups.state == MultiState::kWrongType) {
    return wrongType(kRemoteLookupsValue, lookups.typeFound, true);
  }
  if (lookups.state == MultiState::kPresent) {
    parsed.everyNetwork = false;
    for (const std::string& raw : lookups.lines) {
      if (Trim(raw) == "*") parsed.everyNetwork = true;
    }
    auto parseNetwork = [](std::string_view line, Network* network,
                           std::string* problem) {
      return line == "*" || ParseNetwork(line, network, problem);
    };
    // Each remote call is matched against every network: a bound keeps
    // that cheap, and wider networks say the same in fewer lines.
    const std::size_t listed = static_cast<std::size_t>(std::count_if(
        lookups.lines.begin(), lookups.lines.end(), [](const std::string& raw) {
          std::string_view line = Trim(raw);
          return !line.empty() && line != "*";
        }));
    if (listed > kMaxRemoteLookups) {
      error->value = kRemoteLookupsValue;
      error->problem = std::to_string(listed) + " networks: at most " +
                       std::to_string(kMaxRemoteLookups) +
                       " are taken; list wider networks (a /24 rather than "
                       "its addresses)";
      return false;
    }
    std::vector<Network> networks;
    if (!ParseLines(lookups.lines, parseNetwork, &networks, &error->problem)) {
      error->value = kRemoteLookupsValue;
      return false;
    }
    if (!parsed.everyNetwork) parsed.lookups = std::move(networks);
  }

  // A switch: 0 or 1, absent for the default.
  auto readSwitch = [&](const DwordValue& value, const char* name,
                        const char* off, const char* on, bool* out) {
    if (value.state == DwordValue::State::kWrongType) {
      return wrongType(name, value.typeFound, false);
    }
    if (value.state == DwordValue::State::kPresent) {
      if (value.value > 1) {
        error->value = name;
        error->problem = "the value is " + std::to_string(value.value) +
                         ": it must be 0 (" + off + ") or 1 (" + on + ")";
        return false;
      }
      *out = value.value == 1;
    }
    return true;
  };
  if (!readSwitch(values.remoteListings, kRemoteListingsValue,
                  "listings to this machine only",
                  "listings over TCP to every caller",
                  &parsed.remoteListings) ||
      !readSwitch(values.remoteCalls, kRemoteCallsValue,
                  "no remote calls", "remote calls forwarded",
                  &parsed.remoteCalls)) {
    return false;
  }
  *settings = std::move(parsed);
  return true;
}

bool InNetwork(const Network& network, const InetAddress& address) {
  if (network.prefix.v6 != address.v6 || IsIpv4Mapped(address)) return false;
  unsigned whole = network.length / 8;
  for (unsigned i = 0; i < whole; ++i) {
    if (network.prefix.host[i] != address.host[i]) return false;
  }
  unsigned rest = network.length % 8;
  if (rest == 0) return true;
  auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
  return (network.prefix.host[whole] & mask) == (address.host[whole] & mask);
}

bool InRemoteLookups(const Settings& settings, const InetAddress& source) {
  if (settings.everyNetwork) return true;
  for (const Network& network : settings.lookups) {
    if (InNetwork(network, source)) return true;
  }
  return false;
}

bool ServesAddress(const Settings& settings, const InetAddress& address,
                   std::uint32_t scope) {
  if (IsLoopback(address) || settings.everyAddress) return true;
  for (const ListenAddress& listen : settings.listen) {
    if (SameHost(listen.address, address) &&
        (listen.scope == 0 || listen.scope == scope)) {
      return true;
    }
  }
  return false;
}

}  // namespace tessard
