// Opening the addresses, following them, and the order of a stop.
#include "network_server.h"

#include <algorithm>

#include "reporting.h"
#include "system_calls.h"
#include "socket_tables.h"
#include "stream_serving.h"

namespace tessard {
namespace {

// An IPv6 address the system cannot bind yet, or no IPv6 at all.
bool IsNotYet(const LocalAddress& a, DWORD error) {
  return a.address.v6 &&
         (error == WSAEAFNOSUPPORT || error == WSAEPROTONOSUPPORT ||
          error == WSAEADDRNOTAVAIL || error == WSAEPFNOSUPPORT);
}

std::string AddressText(const LocalAddress& a) {
  std::string text = HostAddressText(a.address);
  if (a.scopeId != 0) text += "%" + std::to_string(a.scopeId);
  return text;
}

}  // namespace

NetworkServer::NetworkServer()
    : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      pool_(mapper_,
            [this](Connection& c, PortMapper::ReaderSlot& reader,
                   std::vector<std::uint8_t>& reply,
                   StreamConnection& stream) {
              ServeStream(c, mapper_, reader, reply, stream, stopEvent_);
            }) {}

NetworkServer::~NetworkServer() {
  Stop(nullptr);
  if (stopEvent_) sys::CloseHandle(stopEvent_);
}

DWORD NetworkServer::Open(const std::function<void()>& progress,
                          std::string* failed) {
  if (!stopEvent_) return GetLastError();
  std::vector<LocalAddress> addresses;
  ListLocalAddresses(&addresses);
  bool servesIpv4 = false;
  for (const LocalAddress& a : addresses) {
    if (!SettingsAllow(a)) continue;
    auto endpoint = std::make_unique<AddressEndpoint>(a, mapper_, pool_);
    DWORD error = endpoint->Open(failed);
    if (error != 0) {
      if (IsNotYet(a, error)) continue;
      endpoints_.clear();
      return error;
    }
    servesIpv4 |= !a.address.v6;
    servesIpv6_ |= a.address.v6;
    endpoints_.push_back(std::move(endpoint));
    if (progress) progress();
  }
  if (servesIpv4) {
    mapper_.AddOwnTransport("udp");
    mapper_.AddOwnTransport("tcp");
  }
  if (servesIpv6_) {
    mapper_.AddOwnTransport("udp6");
    mapper_.AddOwnTransport("tcp6");
  }
  return 0;
}

std::string NetworkServer::Served() {
  std::lock_guard<std::mutex> lock(endpointsLock_);
  std::string text = servesIpv6_ ? "udp tcp udp6 tcp6 on " : "udp tcp on ";
  for (std::size_t i = 0; i < endpoints_.size(); ++i) {
    if (i > 0) text += ", ";
    text += AddressText(endpoints_[i]->address());
  }
  return text;
}

void NetworkServer::Start() {
  std::lock_guard<std::mutex> lock(endpointsLock_);
  for (auto& endpoint : endpoints_) endpoint->Start();
  housekeeping_ = std::thread([this] { Housekeeping(); });
}

void NetworkServer::UseSettings(const Settings& settings,
                                SettingsReader* reader, HANDLE paramChange) {
  mapper_.SetSettings(settings);
  settings_ = settings;
  settingsReader_ = reader;
  paramChange_ = paramChange;
}

bool NetworkServer::SettingsAllow(const LocalAddress& address) const {
  return ServesAddress(settings_, address.address,
                       static_cast<std::uint32_t>(address.scopeId));
}

void NetworkServer::FollowSettings() {
  Settings next;
  SettingsError error;
  if (!settingsReader_->Read(&next, &error)) {
    ReportWarning("the settings were changed to a bad value, and are not "
                  "applied: " + error.text() + "; the settings in force stay (" +
                  DescribeSettings(settings_) + ").");
    return;
  }
  mapper_.SetSettings(next);
  settings_ = next;
  ReportInformation("settings applied: " + DescribeSettings(next) + ".");
}

bool NetworkServer::FollowDeletedKeys() {
  const RegistryStore::Renewal store =
      store_ ? store_->Renew() : RegistryStore::Renewal();
  const bool parameters = settingsReader_ && settingsReader_->Renew();
  if (!store.deleted && !parameters) return false;
  std::string text =
      parameters ? "the service's Parameters key was deleted while it served"
                 : "the key that keeps the registrations "
                   "(Parameters\\Registrations) was deleted while the "
                   "service served";
  if (store.deleted && store.error == ERROR_SUCCESS) {
    text += ": made again, with the " + std::to_string(store.stored) +
            " registration(s) of the table stored in it again";
  } else if (store.deleted) {
    text += "; the key of the registrations cannot be made again: " +
            SystemText(store.error) + " (error " +
            std::to_string(store.error) +
            "); changes of the table answer false until it can";
  }
  if (parameters) {
    Settings next;
    SettingsError error;
    if (settingsReader_->Read(&next, &error)) {
      mapper_.SetSettings(next);
      settings_ = next;
      text += "; the settings are those of the new key, the defaults while "
              "it holds none: " + DescribeSettings(next);
    } else {
      text += "; the new key's settings are bad, and not applied: " +
              error.text() + "; the settings in force stay (" +
              DescribeSettings(settings_) + ")";
    }
  }
  ReportWarning(text + ".");
  return parameters;
}

void NetworkServer::Housekeeping() {
  ULONGLONG lastSample = GetTickCount64();
  HANDLE waits[3] = {stopEvent_};
  DWORD count = 1;
  if (settingsReader_ && settingsReader_->changed()) {
    waits[count++] = settingsReader_->changed();
  }
  if (paramChange_) waits[count++] = paramChange_;
  while (true) {
    DWORD woken = WaitForMultipleObjects(count, waits, FALSE, kAddressCheckMs);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
    try {
      if (!FollowDeletedKeys() && woken != WAIT_TIMEOUT) FollowSettings();
      FollowAddresses();
      mapper_.FlushRecords();
      if (GetTickCount64() - lastSample >= kSamplePeriodMs) {
        lastSample = GetTickCount64();
        DropDeadRegistrations();
      }
    } catch (const std::bad_alloc&) {
      // Tried again at the next round.
    }
  }
}

void NetworkServer::DropDeadRegistrations() {
  SocketSample sample = SampleSocketTables();
  const bool unread =
      !(sample.udpRead && sample.tcpRead && sample.udp6Read && sample.tcp6Read);
  if (unread && !tablesUnread_) {
    ReportWarning(
        "cannot read the socket tables of this machine: registrations whose "
        "port has no socket bound are kept until they can be read.");
  }
  tablesUnread_ = unread;
  mapper_.ApplySample(sample);
}

bool NetworkServer::SocketsOpenOn(const LocalAddress& address) {
  std::lock_guard<std::mutex> lock(endpointsLock_);
  return std::any_of(endpoints_.begin(), endpoints_.end(),
                     [&address](const auto& endpoint) {
                       return SameLocalAddress(endpoint->address(), address);
                     });
}

void NetworkServer::FollowAddresses() {
  std::vector<LocalAddress> now;
  // When the system cannot list its addresses, nothing is closed.
  if (!ListLocalAddresses(&now)) return;
  CloseGoneAddresses(now);
  for (const LocalAddress& a : now) {
    if (SettingsAllow(a) && !SocketsOpenOn(a)) OpenAddress(a);
  }
}

void NetworkServer::CloseGoneAddresses(const std::vector<LocalAddress>& now) {
  std::vector<std::unique_ptr<AddressEndpoint>> gone;
  {
    std::lock_guard<std::mutex> lock(endpointsLock_);
    for (auto& endpoint : endpoints_) {
      bool present = std::any_of(now.begin(), now.end(),
                                 [&endpoint](const LocalAddress& a) {
                                   return SameLocalAddress(
                                       a, endpoint->address());
                                 });
      if (!present || !SettingsAllow(endpoint->address())) {
        gone.push_back(std::move(endpoint));
      }
    }
    endpoints_.erase(std::remove(endpoints_.begin(), endpoints_.end(),
                                 nullptr),
                     endpoints_.end());
  }
  for (auto& endpoint : gone) {
    endpoint->SignalStop();
    const bool allowed = SettingsAllow(endpoint->address());
    // An address no longer served takes its connections with it.
    if (!allowed) pool_.CloseConnectionsTo(endpoint->address().address);
    ReportInformation("stopped serving " + AddressText(endpoint->address()) +
                      (allowed ? ", which the machine no longer has."
                               : ", which ListenAddresses no longer lists."));
  }
  // Leaving joins their threads.
}

void NetworkServer::OpenAddress(const LocalAddress& a) {
  auto endpoint = std::make_unique<AddressEndpoint>(a, mapper_, pool_);
  std::string failed;
  DWORD error = endpoint->Open(&failed);
  auto same = [&a](const LocalAddress& r) { return SameLocalAddress(r, a); };
  if (error != 0) {
    if (!IsNotYet(a, error) &&
        std::none_of(reported_.begin(), reported_.end(), same)) {
      reported_.push_back(a);
      ReportWarning("cannot serve " + failed + " on " + AddressText(a) +
                    " port 111: " + ErrorText(error) +
                    "; tried again while it stays.");
    }
    return;
  }
  if (!endpoint->Start()) return;
  reported_.erase(std::remove_if(reported_.begin(), reported_.end(), same),
                  reported_.end());
  ReportInformation("serving port 111 on " + AddressText(a) + ".");
  std::lock_guard<std::mutex> lock(endpointsLock_);
  endpoints_.push_back(std::move(endpoint));
}

void NetworkServer::Stop(const std::function<void()>& progress) {
  if (stopped_) return;
  stopped_ = true;
  if (stopEvent_) SetEvent(stopEvent_);
  if (housekeeping_.joinable()) housekeeping_.join();
  std::vector<std::unique_ptr<AddressEndpoint>> endpoints;
  {
    std::lock_guard<std::mutex> lock(endpointsLock_);
    endpoints.swap(endpoints_);
  }
  // Everything is asked to end before anything is waited for: serving
  // threads still busy would slow the others' ending.
  for (auto& endpoint : endpoints) endpoint->SignalStop();
  pool_.SignalStop();
  for (auto& endpoint : endpoints) {
    endpoint->Join();
    if (progress) progress();
  }
  endpoints.clear();
  pool_.Stop(progress);
}

}  // namespace tessard
