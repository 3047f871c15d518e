// Support for system tests of tessardctl.exe under Wine's real service
// manager: test directories, the stand-in's script and log, child runs, and
// registering, querying and removing services.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace systest {

inline constexpr char kTcpService[] = "Veltrane Portmapper for TCP";
inline constexpr char kSpxService[] = "Veltrane Portmapper for SPX";

// tessardctl.exe's exit codes as GetExitCodeProcess reads them.
inline constexpr DWORD kExitSuccess = 0;
inline constexpr DWORD kExitFailure = 0xFFFFFFFF;  // -1
// RunTessardctl's answer when the child could not be run or did not end.
inline constexpr DWORD kNotRun = 0xDEADBEEF;

// The service name of a transport word ("tcp" or "spx").
const char* ServiceNameOf(const std::string& transport);

// Paths, image paths and leaf names are UTF-8 here, so that a test can name
// folders the ANSI code page cannot hold; these convert for the W calls.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// "<suite> <test>" of the running test.
std::string CurrentTestName();

// What the system says for a code, as FormatMessageA gives it (and the
// utility's error texts hold it).
std::string SystemText(DWORD code);

// ---- owners ----------------------------------------------------------------

class ScHandle {
 public:
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ScHandle(ScHandle&& other) noexcept : h_(other.Release()) {}
  ScHandle& operator=(ScHandle&& other) noexcept;
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle();
  SC_HANDLE Get() const { return h_; }
  SC_HANDLE Release();
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_ = nullptr;
};

class KernelHandle {
 public:
  KernelHandle() = default;
  explicit KernelHandle(HANDLE h)
      : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  KernelHandle(KernelHandle&& other) noexcept : h_(other.h_) {
    other.h_ = nullptr;
  }
  KernelHandle& operator=(KernelHandle&& other) noexcept;
  KernelHandle(const KernelHandle&) = delete;
  KernelHandle& operator=(const KernelHandle&) = delete;
  ~KernelHandle();
  HANDLE Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY h) : h_(h) {}
  RegKey(RegKey&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey();
  HKEY Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HKEY h_ = nullptr;
};

// ---- the stand-in server ---------------------------------------------------

enum class StandinOutcome { kRunning, kStall, kStop };

// What tessard.script tells the stand-in (tests/standin/README.md).
struct StandinScript {
  unsigned startCheckpoints = 0;      // START_PENDING reports, checkpoints 1..n
  unsigned checkpointIntervalMs = 0;  // pause after each of those reports
  unsigned waitHintMs = 1000;         // wait hint of every START_PENDING report
  StandinOutcome outcome = StandinOutcome::kRunning;
  bool honourStop = true;
  unsigned startDelayMs = 0;
  unsigned stopDelayMs = 0;
  unsigned exitCode = 0;  // reported with outcome kStop
  // A stand-in a test forgets still ends by itself after this long.
  unsigned maxLifeMs = 180000;

  std::string ToText() const;
};

// A fresh directory whose path contains a space, under the build folder,
// holding copies of tessardctl.exe and the stand-in as tessard.exe. Files of
// an earlier run of the same test are deleted first; the directory is kept
// afterwards for a person to look at. The leaf name may hold any character.
class TestDirectory {
 public:
  // Named after the running test: "<suite> <test>".
  TestDirectory();
  explicit TestDirectory(const std::string& leafName);

  const std::string& Path() const {
    return path_;
  }  // Windows path, no final '\'
  std::string File(const std::string& name) const {
    return path_ + "\\" + name;
  }
  std::string UtilityPath() const { return File("tessardctl.exe"); }
  std::string ServerPath() const { return File("tessard.exe"); }
  // The image path install registers: "\"<dir>\\tessard.exe\" <transport>".
  std::string ServerCommandLine(const std::string& transport) const;

  void WriteScript(const StandinScript& script) const;
  // tessard.log as the stand-in wrote it; empty when it never ran.
  std::string ReadLog() const;
  // The values of the log lines "key: value" with this key, in order.
  std::vector<std::string> LogValues(const std::string& key) const;

 private:
  std::string path_;
};

// ---- child processes -------------------------------------------------------

// Runs the directory's tessardctl.exe with `arguments` as the text after the
// program name, waits for it and returns its exit code. A child that cannot
// be started or does not end within the timeout (it is then ended) fails the
// test and gives kNotRun.
DWORD RunTessardctl(const TestDirectory& dir, const std::string& arguments,
                    DWORD timeoutMs = 120000);

// Runs Wine's own sc.exe with `arguments` and returns what it printed; the
// independent witness of what the service manager holds.
std::string RunSc(const std::string& arguments, DWORD* exitCode = nullptr);
// The state number that "sc query" prints for the service, 0 when none.
DWORD ScQueryState(const std::string& name);

// ---- services --------------------------------------------------------------

ScHandle OpenManager();

// Registers a service as install does: own process, error normal, depends
// on RPCSS, LocalSystem, display name = name. Fails the test on error.
// The image path is UTF-8 and may hold any character.
bool RegisterService(const std::string& name, const std::string& imagePath,
                     DWORD startType = SERVICE_AUTO_START);
// Registers the directory's stand-in for a transport, stopped.
bool RegisterStandin(const TestDirectory& dir, const std::string& transport,
                     DWORD startType = SERVICE_AUTO_START);
// StartServiceA; returns its error code (NO_ERROR on success).
DWORD StartServiceNow(const std::string& name);

bool ServiceExists(const std::string& name);
// QueryServiceStatusEx; false when the service is absent or will not answer.
bool QueryStatus(const std::string& name, SERVICE_STATUS_PROCESS& status);
// dwCurrentState, or 0 when the service is absent.
DWORD ServiceState(const std::string& name);
bool WaitForState(const std::string& name, DWORD state,
                  DWORD timeoutMs = 30000);

struct ServiceConfig {
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::string binaryPathName;  // QueryServiceConfigW, as UTF-8
  std::string startName;
  std::string displayName;
  // From the registry: Wine 8's QueryServiceConfigA lists no dependencies.
  std::vector<std::string> dependOnService;
  DWORD imagePathType = REG_NONE;  // registry type of "ImagePath"
  bool hasDescription = false;
  std::string description;
};
bool QueryConfig(const std::string& name, ServiceConfig& config);

// Waits until no service of the name is registered: a deleted service
// goes once its last handle is closed and its process has ended. False when
// it is still there after the timeout.
bool WaitUntilGone(const std::string& name, DWORD timeoutMs = 15000);

// Expects two readings of a service's configuration to be the same in
// every field.
void ExpectSameConfig(const ServiceConfig& before, const ServiceConfig& after);

// Stops the service (ending its process if it will not stop), deletes it and
// waits until the name is free. Nothing happens when it does not exist.
void RemoveService(const std::string& name);

// Removes the named services now, the leftovers of a crashed run, and again
// when it goes out of scope.
class ServiceCleanup {
 public:
  ServiceCleanup() : ServiceCleanup({kTcpService, kSpxService}) {}
  explicit ServiceCleanup(std::vector<std::string> names);
  ~ServiceCleanup();
  ServiceCleanup(const ServiceCleanup&) = delete;
  ServiceCleanup& operator=(const ServiceCleanup&) = delete;

 private:
  std::vector<std::string> names_;
};

}  // namespace systest
