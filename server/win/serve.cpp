// Checking the transport argument and running the network server.
#include "serve.h"

#include <winsock2.h>
#include <wsipx.h>
#include <ws2tcpip.h>

#include <optional>
#include <vector>

#include "event_records.h"
#include "network_server.h"
#include "reporting.h"
#include "registry_store.h"
#include "settings_reader.h"
#include "socket_tables.h"
#include "tessard_messages.h"
#include "text_conversion.h"

namespace tessard {
namespace {

// Whether SPX can be served here: a provider must be listed and must open
// a socket. Wine lists one that cannot, so both are asked. Returns the
// error that says why not, or 0.
DWORD CheckSpx(std::string* why) {
  DWORD size = 0;
  WSAEnumProtocolsW(nullptr, nullptr, &size);
  std::vector<char> storage(size);
  auto* protocols = reinterpret_cast<WSAPROTOCOL_INFOW*>(storage.data());
  int count = size ? WSAEnumProtocolsW(nullptr, protocols, &size) : 0;
  bool listed = false;
  for (int i = 0; i < count; ++i) {
    if (protocols[i].iAddressFamily == AF_IPX &&
        (protocols[i].iProtocol == NSPROTO_SPX ||
         protocols[i].iProtocol == NSPROTO_SPXII)) {
      listed = true;
    }
  }
  if (!listed) {
    *why = "no IPX/SPX provider is installed on this system";
    return WSAEPROTONOSUPPORT;
  }
  SOCKET s = socket(AF_IPX, SOCK_SEQPACKET, NSPROTO_SPX);
  if (s == INVALID_SOCKET) {
    DWORD error = static_cast<DWORD>(WSAGetLastError());
    *why = "the IPX/SPX provider of this system cannot open a socket (" +
           SystemText(error) + ")";
    return error;
  }
  closesocket(s);
  *why =
      "an IPX/SPX provider is installed, but this server serves the port "
      "mapper over TCP/IP only: install the TCP service instead";
  return ERROR_NOT_SUPPORTED;
}

// 0 when `argument` is "tcp", the transport served; otherwise the error
// that says why not, reported.
DWORD CheckArgument(const std::string& argument) {
  if (argument == "tcp") return 0;
  if (argument == "spx") {
    std::string why;
    DWORD error = CheckSpx(&why);
    ReportError("cannot serve over SPX: " + ErrorText(error, why) + ".");
    return error;
  }
  ReportError("unknown argument \"" + argument +
              "\": the server runs as tessard.exe tcp (or spx).");
  return ERROR_INVALID_PARAMETER;
}

// Opens and reads the settings of the service `serviceName` (a console's:
// empty). A bad value serves nothing, rather than more than the
// administrator meant. Returns 0, or the error, reported.
DWORD ReadSettings(const std::wstring& serviceName, SettingsReader* reader,
                   Settings* settings) {
  const bool service = !serviceName.empty();
  LSTATUS opened = reader->Open(
      service ? serviceName : std::wstring(kTcpServiceName), service);
  if (opened != ERROR_SUCCESS) {
    ReportError("cannot open the settings (HKLM\\" +
                Narrow(ServiceKeyPath(serviceName)) + "\\Parameters): " +
                ErrorText(static_cast<DWORD>(opened)) + ".");
    return static_cast<DWORD>(opened);
  }
  SettingsError bad;
  if (!reader->Read(settings, &bad)) {
    ReportError("cannot serve with the settings: " + bad.text() +
                "; nothing is served.");
    return ERROR_INVALID_PARAMETER;
  }
  return 0;
}

// Why port 111 could not be opened over `failed` ("UDP", "TCP", ...):
// the program that holds it when the socket tables name one.
std::string OpenFailure(const std::string& failed, DWORD error) {
  std::string text = "cannot serve " + failed + " on port 111: ";
  std::optional<PortHolder> holder;
  if (error == WSAEADDRINUSE) {
    holder = FindPortHolder(failed.rfind("TCP", 0) == 0, kPortMapperPort);
  }
  if (holder) {
    text += "the port is held by " +
            (holder->image.empty() ? std::string("a program") : holder->image) +
            " (process " + std::to_string(holder->processId) + ")";
  } else {
    text += ErrorText(error);
    if (error == WSAEADDRINUSE) text += "; another program holds the port";
  }
  return text + ".";
}

// Loads what the service stored before it last stopped (or crashed):
// the registrations whose port has a socket bound now come back, the
// others go from storage, and damaged values are moved aside.
void RestoreStored(PortMapper& mapper, RegistryStore& store) {
  std::vector<StoredValue> values;
  LSTATUS read = store.ReadAll(&values);
  if (read != ERROR_SUCCESS) {
    ReportWarning("cannot read the stored registrations: " +
                  ErrorText(static_cast<DWORD>(read)) +
                  "; serving without them, and they stay stored.");
    return;
  }
  PortMapper::RestoreReport report =
      mapper.Restore(values, SampleSocketTables());
  for (const PortMapper::RestoreReport::Damaged& damaged : report.damaged) {
    if (!store.SetAside(damaged.name)) {
      ReportWarning("cannot move the damaged stored registration \"" +
                    RecordText(damaged.name) +
                    "\" aside; it stays where it is and is not loaded.");
    }
  }
  ReportEntry(EVENTLOG_INFORMATION_TYPE, MSG_RESTORED,
              {std::to_string(report.restored), std::to_string(report.dropped),
               std::to_string(report.damaged.size())});
}

// Keeps the table in the key of the service `serviceName`, and restores
// what it holds. Returns 0, or the error, reported.
DWORD UseStore(const std::wstring& serviceName, PortMapper& mapper,
               RegistryStore& store) {
  LSTATUS opened = store.Open(serviceName);
  if (opened != ERROR_SUCCESS) {
    ReportError("cannot open the key that keeps the registrations (HKLM\\" +
                Narrow(ServiceKeyPath(serviceName)) +
                "\\Parameters\\Registrations): " +
                ErrorText(static_cast<DWORD>(opened)) + ".");
    return static_cast<DWORD>(opened);
  }
  mapper.SetStore(&store);
  RestoreStored(mapper, store);
  return 0;
}

// Serves until stopEvent is set, then stops and reports what the TCP side
// has seen.
void Run(NetworkServer& server, const Settings& settings, HANDLE stopEvent,
         const ServeHooks& hooks) {
  server.Start();
  ReportInformation("serving port 111 over " + server.Served() + "; " +
                    DescribeSettings(settings) + ".");
  if (hooks.running) hooks.running();
  WaitForSingleObject(stopEvent, INFINITE);
  server.Stop(hooks.stopping);
  PoolCounts tcp = server.ConnectionCounts();
  ReportInformation(
      "stopped; port 111 released. TCP: at most " +
      std::to_string(tcp.mostOpen) + " connections open at once, " +
      std::to_string(tcp.mostThreads) + " threads, " +
      std::to_string(tcp.closedToMakeRoom) + " closed to make room, " +
      std::to_string(tcp.refused) + " refused.");
}

}  // namespace

DWORD Serve(const std::string& argument, HANDLE stopEvent,
            const ServeHooks& hooks) {
  WSADATA data;
  int started = WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    ReportError("cannot start Windows Sockets: " + SystemText(started));
    return static_cast<DWORD>(started);
  }
  struct Cleanup {
    ~Cleanup() { WSACleanup(); }
  } cleanup;

  DWORD error = CheckArgument(argument);
  if (error != 0) return error;
  SettingsReader settingsReader;
  Settings settings;
  error = ReadSettings(hooks.serviceName, &settingsReader, &settings);
  if (error != 0) return error;

  NetworkServer server;
  try {
    server.UseSettings(settings, &settingsReader, hooks.paramChange);
  } catch (const std::bad_alloc&) {
    ReportError("cannot serve: " + SystemText(ERROR_NOT_ENOUGH_MEMORY) + ".");
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  std::string failed;
  error = server.Open(hooks.progress, &failed);
  if (error != 0) {
    ReportError(OpenFailure(failed, error));
    return error;
  }
  EventRecords records;
  server.mapper().SetRecordSink(&records);
  RegistryStore store;
  if (!hooks.serviceName.empty()) {
    error = UseStore(hooks.serviceName, server.mapper(), store);
    if (error != 0) return error;
    server.UseStore(&store);
  }
  Run(server, settings, stopEvent, hooks);
  return 0;
}

}  // namespace tessard
