// Support for system tests under Wine: directories, child runs, the
// stand-in's files and the service manager, each failure reported to gtest.
#include "system_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#ifndef TESSARD_CTL_EXE
#error "TESSARD_CTL_EXE (path of tessardctl.exe) must be defined by the build"
#endif
#ifndef TESSARD_STANDIN_EXE
#error "TESSARD_STANDIN_EXE (path of the stand-in) must be defined by the build"
#endif
#ifndef TESSARD_SYSTEM_WORK_ROOT
#error "TESSARD_SYSTEM_WORK_ROOT (folder of test directories) must be defined"
#endif

namespace systest {
namespace {

constexpr DWORD kPollMs = 100;
constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kGoneWaitMs = 15000;

// The build passes Linux paths; Wine sees the Linux root as drive Z:.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string Describe(DWORD error) { return "error " + std::to_string(error); }

std::string ReadWholeFile(const std::string& path) {
  KernelHandle file(
      CreateFileW(Wide(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string text;
  if (!file) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    text.append(buffer, got);
  }
  return text;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  KernelHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()),
                   &written, nullptr) &&
         written == text.size();
}

// Deletes everything inside `directory`, leaving it in place.
void EmptyDirectory(const std::string& directory) {
  WIN32_FIND_DATAW found;
  HANDLE hFind = FindFirstFileW(Wide(directory + "\\*").c_str(), &found);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = Utf8(found.cFileName);
    if (name == "." || name == "..") continue;
    const std::string path = directory + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      EmptyDirectory(path);
      RemoveDirectoryW(Wide(path).c_str());
    } else if (!DeleteFileW(Wide(path).c_str())) {
      const DWORD error = GetLastError();
      ADD_FAILURE() << "cannot delete the leftover " << path << ": "
                    << Describe(error);
    }
  } while (FindNextFileW(hFind, &found));
  FindClose(hFind);
}

void CreateDirectories(const std::string& path) {
  for (size_t slash = path.find('\\', 3); slash != std::string::npos;
       slash = path.find('\\', slash + 1)) {
    CreateDirectoryW(Wide(path.substr(0, slash)).c_str(), nullptr);
  }
  CreateDirectoryW(Wide(path).c_str(), nullptr);
}

std::string CurrentTestLeafName() {
  std::string name = CurrentTestName();
  // Parameterised names carry '/', which a file name may not.
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '_')
      c = '_';
  }
  return name;
}

// Runs a command line, the child's output going to `outputPath` when given.
DWORD RunChild(const std::string& application, const std::string& commandLine,
               const std::string& workingDirectory,
               const std::string& outputPath, DWORD timeoutMs) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  KernelHandle output;
  KernelHandle input;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!outputPath.empty()) {
    output = KernelHandle(CreateFileW(Wide(outputPath).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    input = KernelHandle(CreateFileW(L"NUL", GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr));
    if (!output) {
      const DWORD error = GetLastError();
      ADD_FAILURE() << "cannot create " << outputPath << ": "
                    << Describe(error);
      return kNotRun;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
  }
  std::wstring mutableLine = Wide(commandLine);
  const std::wstring wideApplication = Wide(application);
  const std::wstring wideDirectory = Wide(workingDirectory);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(
          application.empty() ? nullptr : wideApplication.c_str(),
          &mutableLine[0], nullptr, nullptr, !outputPath.empty(), 0, nullptr,
          workingDirectory.empty() ? nullptr : wideDirectory.c_str(), &startup,
          &process)) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "cannot run " << commandLine << ": " << Describe(error);
    return kNotRun;
  }
  KernelHandle hProcess(process.hProcess);
  KernelHandle hThread(process.hThread);
  if (WaitForSingleObject(hProcess.Get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(hProcess.Get(), kNotRun);
    WaitForSingleObject(hProcess.Get(), 5000);
    ADD_FAILURE() << commandLine << " did not end within " << timeoutMs
                  << " ms";
    return kNotRun;
  }
  DWORD exitCode = kNotRun;
  if (!GetExitCodeProcess(hProcess.Get(), &exitCode)) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "no exit code from " << commandLine << ": "
                  << Describe(error);
    return kNotRun;
  }
  return exitCode;
}

ScHandle OpenServiceHandle(const std::string& name, DWORD access,
                           DWORD* error) {
  ScHandle hScm = OpenManager();
  *error = hScm ? NO_ERROR : GetLastError();
  if (!hScm) return ScHandle();
  ScHandle hService(OpenServiceA(hScm.Get(), name.c_str(), access));
  if (!hService) *error = GetLastError();
  return hService;
}

// Ends the service's process when it does not stop by being asked to.
void EndProcess(DWORD processId) {
  if (processId == 0) return;
  KernelHandle process(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  if (!process) return;  // gone already
  TerminateProcess(process.Get(), ERROR_PROCESS_ABORTED);
  WaitForSingleObject(process.Get(), 5000);
}

std::vector<std::string> SplitMultiString(const char* data, size_t size) {
  std::vector<std::string> strings;
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\0') continue;
    if (i == start) break;  // the empty string that ends the list
    strings.emplace_back(data + start, i - start);
    start = i + 1;
  }
  return strings;
}

}  // namespace

std::string SystemText(DWORD code) {
  LPSTR buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 1, nullptr);
  std::string text = length ? std::string(buffer, length) : std::string();
  if (buffer) LocalFree(buffer);
  return text;
}

const char* ServiceNameOf(const std::string& transport) {
  return transport == "spx" ? kSpxService : kTcpService;
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                      &wide[0], n);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(),
                                    static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                      &utf8[0], n, nullptr, nullptr);
  return utf8;
}

std::string CurrentTestName() {
  const ::testing::TestInfo* info =
      ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + " " + info->name()
              : std::string("outside a test");
}

// ---- owners ----------------------------------------------------------------

ScHandle& ScHandle::operator=(ScHandle&& other) noexcept {
  if (this != &other) {
    if (h_) CloseServiceHandle(h_);
    h_ = other.Release();
  }
  return *this;
}

ScHandle::~ScHandle() {
  if (h_) CloseServiceHandle(h_);
}

SC_HANDLE ScHandle::Release() {
  SC_HANDLE h = h_;
  h_ = nullptr;
  return h;
}

KernelHandle& KernelHandle::operator=(KernelHandle&& other) noexcept {
  if (this != &other) {
    if (h_) CloseHandle(h_);
    h_ = other.h_;
    other.h_ = nullptr;
  }
  return *this;
}

KernelHandle::~KernelHandle() {
  if (h_) CloseHandle(h_);
}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    if (h_) RegCloseKey(h_);
    h_ = other.h_;
    other.h_ = nullptr;
  }
  return *this;
}

RegKey::~RegKey() {
  if (h_) RegCloseKey(h_);
}

// ---- the stand-in server ---------------------------------------------------

std::string StandinScript::ToText() const {
  const char* outcomeWord = outcome == StandinOutcome::kRunning ? "running"
                            : outcome == StandinOutcome::kStall ? "stall"
                                                                : "stop";
  std::ostringstream text;
  text << "# written by the system test\n"
       << "start_checkpoints=" << startCheckpoints << "\n"
       << "checkpoint_interval_ms=" << checkpointIntervalMs << "\n"
       << "wait_hint_ms=" << waitHintMs << "\n"
       << "outcome=" << outcomeWord << "\n"
       << "on_stop=" << (honourStop ? "honour" : "ignore") << "\n"
       << "start_delay_ms=" << startDelayMs << "\n"
       << "stop_delay_ms=" << stopDelayMs << "\n"
       << "exit_code=" << exitCode << "\n"
       << "max_life_ms=" << maxLifeMs << "\n";
  return text.str();
}

TestDirectory::TestDirectory() : TestDirectory(CurrentTestLeafName()) {}

TestDirectory::TestDirectory(const std::string& leafName)
    : path_(WindowsPath(TESSARD_SYSTEM_WORK_ROOT) + "\\" + leafName) {
  if (path_.find(' ') == std::string::npos) {
    ADD_FAILURE() << "a test directory must have a space in its path: "
                  << path_;
  }
  CreateDirectories(path_);
  EmptyDirectory(path_);
  const std::pair<std::string, std::string> copies[] = {
      {WindowsPath(TESSARD_CTL_EXE), UtilityPath()},
      {WindowsPath(TESSARD_STANDIN_EXE), ServerPath()},
  };
  for (const auto& copy : copies) {
    if (!CopyFileW(Wide(copy.first).c_str(), Wide(copy.second).c_str(),
                   FALSE)) {
      const DWORD error = GetLastError();
      ADD_FAILURE() << "cannot copy " << copy.first << " to " << copy.second
                    << ": " << Describe(error);
    }
  }
}

std::string TestDirectory::ServerCommandLine(
    const std::string& transport) const {
  return "\"" + ServerPath() + "\" " + transport;
}

void TestDirectory::WriteScript(const StandinScript& script) const {
  if (!WriteWholeFile(File("tessard.script"), script.ToText())) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "cannot write the stand-in's script: " << Describe(error);
  }
}

std::string TestDirectory::ReadLog() const {
  return ReadWholeFile(File("tessard.log"));
}

std::vector<std::string> TestDirectory::LogValues(
    const std::string& key) const {
  std::vector<std::string> values;
  std::istringstream lines(ReadLog());
  std::string line;
  const std::string prefix = key + ": ";
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) == 0)
      values.push_back(line.substr(prefix.size()));
  }
  return values;
}

// ---- child processes -------------------------------------------------------

DWORD RunTessardctl(const TestDirectory& dir, const std::string& arguments,
                    DWORD timeoutMs) {
  // The program's name without its folder, as a script in the folder types
  // it: a folder name that the ANSI code page garbles stays out of the
  // command line the utility reads.
  std::string commandLine = "tessardctl.exe";
  if (!arguments.empty()) commandLine += " " + arguments;
  return RunChild(dir.UtilityPath(), commandLine, dir.Path(), std::string(),
                  timeoutMs);
}

std::string RunSc(const std::string& arguments, DWORD* exitCode) {
  char systemDirectory[MAX_PATH] = "";
  GetSystemDirectoryA(systemDirectory, MAX_PATH);
  char tempDirectory[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, tempDirectory);
  char outputPath[MAX_PATH] = "";
  GetTempFileNameA(tempDirectory, "sc", 0, outputPath);
  const std::string sc = std::string(systemDirectory) + "\\sc.exe";
  const DWORD code =
      RunChild(sc, "sc.exe " + arguments, std::string(), outputPath, 60000);
  if (exitCode) *exitCode = code;
  std::string output = ReadWholeFile(outputPath);
  DeleteFileA(outputPath);
  return output;
}

DWORD ScQueryState(const std::string& name) {
  const std::string output = RunSc("query \"" + name + "\"");
  const size_t label = output.find("STATE");
  if (label == std::string::npos) return 0;
  const size_t colon = output.find(':', label);
  if (colon == std::string::npos) return 0;
  return static_cast<DWORD>(
      std::strtoul(output.c_str() + colon + 1, nullptr, 10));
}

// ---- services --------------------------------------------------------------

ScHandle OpenManager() {
  return ScHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

bool RegisterService(const std::string& name, const std::string& imagePath,
                     DWORD startType) {
  ScHandle hScm = OpenManager();
  if (!hScm) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "OpenSCManagerA: " << Describe(error);
    return false;
  }
  const std::wstring wideName = Wide(name);
  ScHandle hService(CreateServiceW(
      hScm.Get(), wideName.c_str(), wideName.c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
      Wide(imagePath).c_str(), nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
  if (!hService) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "CreateServiceA(" << name << "): " << Describe(error);
    return false;
  }
  return true;
}

bool RegisterStandin(const TestDirectory& dir, const std::string& transport,
                     DWORD startType) {
  return RegisterService(ServiceNameOf(transport),
                         dir.ServerCommandLine(transport), startType);
}

DWORD StartServiceNow(const std::string& name) {
  DWORD error = NO_ERROR;
  ScHandle hService = OpenServiceHandle(name, SERVICE_START, &error);
  if (!hService) return error;
  if (!StartServiceA(hService.Get(), 0, nullptr)) return GetLastError();
  return NO_ERROR;
}

bool ServiceExists(const std::string& name) {
  DWORD error = NO_ERROR;
  return static_cast<bool>(
      OpenServiceHandle(name, SERVICE_QUERY_STATUS, &error));
}

bool QueryStatus(const std::string& name, SERVICE_STATUS_PROCESS& status) {
  DWORD error = NO_ERROR;
  ScHandle hService = OpenServiceHandle(name, SERVICE_QUERY_STATUS, &error);
  if (!hService) return false;
  DWORD needed = 0;
  return QueryServiceStatusEx(hService.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) != 0;
}

DWORD ServiceState(const std::string& name) {
  SERVICE_STATUS_PROCESS status = {};
  return QueryStatus(name, status) ? status.dwCurrentState : 0;
}

bool WaitForState(const std::string& name, DWORD state, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (ServiceState(name) == state) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
}

bool QueryConfig(const std::string& name, ServiceConfig& config) {
  DWORD error = NO_ERROR;
  ScHandle hService = OpenServiceHandle(name, SERVICE_QUERY_CONFIG, &error);
  if (!hService) return false;
  DWORD needed = 0;
  QueryServiceConfigW(hService.Get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
  auto* qsc = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(hService.Get(), qsc,
                           static_cast<DWORD>(buffer.size()), &needed)) {
    error = GetLastError();
    ADD_FAILURE() << "QueryServiceConfigW(" << name << "): " << Describe(error);
    return false;
  }
  auto text = [](const wchar_t* field) {
    return field ? Utf8(field) : std::string();
  };
  config = ServiceConfig();
  config.serviceType = qsc->dwServiceType;
  config.startType = qsc->dwStartType;
  config.errorControl = qsc->dwErrorControl;
  config.binaryPathName = text(qsc->lpBinaryPathName);
  config.startName = text(qsc->lpServiceStartName);
  config.displayName = text(qsc->lpDisplayName);

  HKEY hKey = nullptr;
  const std::string keyPath = "System\\CurrentControlSet\\Services\\" + name;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &hKey) !=
      ERROR_SUCCESS) {
    ADD_FAILURE() << "no registry key for " << name;
    return false;
  }
  RegKey key(hKey);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key.Get(), "DependOnService", nullptr, &type, nullptr,
                       &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    std::vector<char> data(size + 2, '\0');
    RegQueryValueExA(key.Get(), "DependOnService", nullptr, &type,
                     reinterpret_cast<BYTE*>(data.data()), &size);
    config.dependOnService = SplitMultiString(data.data(), data.size());
  }
  RegQueryValueExA(key.Get(), "ImagePath", nullptr, &config.imagePathType,
                   nullptr, &size);
  if (RegQueryValueExA(key.Get(), "Description", nullptr, &type, nullptr,
                       &size) == ERROR_SUCCESS) {
    std::vector<char> data(size + 1, '\0');
    RegQueryValueExA(key.Get(), "Description", nullptr, &type,
                     reinterpret_cast<BYTE*>(data.data()), &size);
    config.hasDescription = true;
    config.description = data.data();
  }
  return true;
}

bool WaitUntilGone(const std::string& name, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (ServiceExists(name)) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
  return true;
}

void ExpectSameConfig(const ServiceConfig& before, const ServiceConfig& after) {
  EXPECT_EQ(before.serviceType, after.serviceType);
  EXPECT_EQ(before.startType, after.startType);
  EXPECT_EQ(before.errorControl, after.errorControl);
  EXPECT_EQ(before.binaryPathName, after.binaryPathName);
  EXPECT_EQ(before.startName, after.startName);
  EXPECT_EQ(before.displayName, after.displayName);
  EXPECT_EQ(before.dependOnService, after.dependOnService);
  EXPECT_EQ(before.imagePathType, after.imagePathType);
  EXPECT_EQ(before.hasDescription, after.hasDescription);
  EXPECT_EQ(before.description, after.description);
}

void RemoveService(const std::string& name) {
  DWORD error = NO_ERROR;
  ScHandle hService = OpenServiceHandle(name, SERVICE_ALL_ACCESS, &error);
  if (!hService) {
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
      ADD_FAILURE() << "cannot open " << name
                    << " to remove it: " << Describe(error);
    }
    return;
  }
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (QueryServiceStatusEx(hService.Get(), SC_STATUS_PROCESS_INFO,
                           reinterpret_cast<BYTE*>(&status), sizeof status,
                           &needed) &&
      status.dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS ignored = {};
    ControlService(hService.Get(), SERVICE_CONTROL_STOP, &ignored);
    if (!WaitForState(name, SERVICE_STOPPED, kStopWaitMs)) {
      // A stand-in told to ignore the stop, or one that stalls: end it.
      EndProcess(status.dwProcessId);
    }
  }
  if (!DeleteService(hService.Get())) {
    error = GetLastError();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
      ADD_FAILURE() << "DeleteService(" << name << "): " << Describe(error);
    }
  }
  hService = ScHandle();  // the name is freed once the last handle closes
  const ULONGLONG deadline = GetTickCount64() + kGoneWaitMs;
  while (ServiceExists(name)) {
    if (GetTickCount64() >= deadline) {
      ADD_FAILURE() << name << " is still registered after its removal";
      return;
    }
    Sleep(kPollMs);
  }
}

ServiceCleanup::ServiceCleanup(std::vector<std::string> names)
    : names_(std::move(names)) {
  for (const std::string& name : names_) RemoveService(name);
}

ServiceCleanup::~ServiceCleanup() {
  for (const std::string& name : names_) RemoveService(name);
}

}  // namespace systest
