// The fake platform's core: its one state, Reset, the call log, scripted
// failures, argument rendering, the accounting of what is still open, and
// the check of its functions against the seam's list.
#include "fake_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>

namespace fake {
namespace detail {

State& S() {
  static State state;
  return state;
}

void Log(const char* name, std::vector<std::string> args) {
  S().calls.push_back(Call{name, std::move(args)});
}

namespace {

// The seam's functions, made from its list. Each one's address is taken: a
// function that the list has and the fake lacks, or defines with another
// signature, is then an undefined reference, and no unit test links.
struct SeamFunction {
  std::string_view name;
  void (*address)();
};
const SeamFunction kSeamFunctions[] = {
#define WINDOWS_CALL(dll, name, result, parameters, arguments) \
  {#name, reinterpret_cast<void (*)()>(&platform::name)},
#define WINDOWS_BYPASS(dll, name, reason)
#include "windows_calls.h"
#undef WINDOWS_CALL
#undef WINDOWS_BYPASS
};

bool IsSeamFunction(const std::string& name) {
  return std::any_of(
      std::begin(kSeamFunctions), std::end(kSeamFunctions),
      [&](const SeamFunction& function) { return function.name == name; });
}

// Seam functions the call log leaves out (see fake_platform.h).
bool IsLogged(const std::string& name) {
  return name != "GetLastError" && name != "SetLastError" &&
         name != "SysStringLen" && name != "SysStringByteLen";
}

// At the end of each test, a failure scripted by name that never fired
// fails the test: the case it was meant to bring about never happened.
// Failures scripted by number (FailCall, FailAllocation) are how a sweep
// finds its end, and may stay unused.
class UnfiredFailures : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override {
    State& s = S();
    for (const QueuedFailure& failure : s.failNext) {
      ADD_FAILURE() << "fake::FailNext(\"" << failure.function
                    << "\") was scripted, but " << failure.function
                    << " was called too few times for it to fail";
    }
    if (!s.failVarBstrCat.empty()) {
      ADD_FAILURE() << "fake::FailNextVarBstrCat was scripted, but VarBstrCat "
                       "was called too few times for it to fail";
    }
    s.failNext.clear();
    s.failVarBstrCat.clear();
  }
};

// Registered before main, so that every test program on the fake has it.
[[maybe_unused]] const bool kUnfiredFailuresChecked = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new UnfiredFailures);
  return true;
}();

DWORD NaturalError(const std::string& name) {
  if (name == "FormatMessageA") return ERROR_MR_MID_NOT_FOUND;
  if (name == "MultiByteToWideChar" || name == "WideCharToMultiByte")
    return ERROR_NO_UNICODE_TRANSLATION;
  if (name == "GetModuleFileNameA" || name == "GetModuleFileNameW")
    return ERROR_INSUFFICIENT_BUFFER;
  if (name == "LoadStringA") return ERROR_RESOURCE_NAME_NOT_FOUND;
  if (name == "MessageBoxA") return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_ACCESS_DENIED;  // the service manager and the registry
}

}  // namespace

bool ShouldFail(const char* name, DWORD* error) {
  State& s = S();
  const int number = ++s.fallibleCalls;
  s.fallibleCallNames.push_back(name);
  bool fail = false;
  DWORD scripted = 0;
  auto at = s.failCallAt.find(number);
  if (at != s.failCallAt.end()) {
    fail = true;
    scripted = at->second;
    s.failCallAt.erase(at);
  }
  // Only the first queued entry of a function counts down; the next one
  // starts counting after it has fired.
  for (auto it = s.failNext.begin(); it != s.failNext.end(); ++it) {
    if (it->function != name) continue;
    if (it->skip > 0) {
      --it->skip;
    } else {
      if (!fail) scripted = it->error;
      fail = true;
      s.failNext.erase(it);
    }
    break;
  }
  if (fail) *error = scripted != 0 ? scripted : NaturalError(name);
  return fail;
}

bool AllocationFails() {
  State& s = S();
  const int number = ++s.allocations;
  return s.failAllocationAt.erase(number) > 0;
}

void RecordMisuse(const std::string& what) { S().misuse.push_back(what); }

std::string Lower(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return lower;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return Lower(a) == Lower(b);
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(value));
  return text;
}

std::string Str(const char* text) { return StrN(text, -1); }

std::string StrN(const char* text, int length) {
  if (text == nullptr) return "null";
  std::string body = length < 0 ? std::string(text) : std::string(text, length);
  return "\"" + body + "\"";
}

std::string WStr(const wchar_t* text, int length) {
  if (text == nullptr) return "null";
  std::string body;
  for (int i = 0; length < 0 ? text[i] != L'\0' : i < length; ++i) {
    const unsigned code = static_cast<unsigned>(text[i]);
    if (code >= 0x20 && code < 0x7f) {
      body += static_cast<char>(code);
    } else {
      char escape[12];
      std::snprintf(escape, sizeof escape, "\\x%04x", code);
      body += escape;
    }
  }
  return "L\"" + body + "\"";
}

std::string Ptr(const void* pointer) {
  if (pointer == nullptr) return "null";
  return Hex(reinterpret_cast<std::uintptr_t>(pointer));
}

std::string Out(const void* pointer) { return pointer ? "out" : "null"; }

std::string MultiStr(const char* list) {
  if (list == nullptr) return "null";
  std::string text = "{";
  for (const char* name = list; *name != '\0'; name += std::strlen(name) + 1) {
    if (name != list) text += ", ";
    text += "\"" + std::string(name) + "\"";
  }
  return text + "}";
}

std::string ScH(SC_HANDLE handle) {
  if (handle == nullptr) return "null";
  auto it = S().scHandles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it != S().scHandles.end()) return "h" + std::to_string(it->second.serial);
  return Ptr(handle);
}

std::string KeyH(HKEY key) {
  if (key == nullptr) return "null";
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  if (key == HKEY_CURRENT_USER) return "HKCU";
  if (key == HKEY_CLASSES_ROOT) return "HKCR";
  if (key == HKEY_USERS) return "HKU";
  auto it = S().keyHandles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it != S().keyHandles.end()) return "h" + std::to_string(it->second.serial);
  return Ptr(key);
}

std::string Bstr(BSTR text) {
  if (text == nullptr) return "null";
  auto it = S().bstrs.find(text);
  if (it == S().bstrs.end() || !it->second.live) return Ptr(text);
  const UINT bytes = *reinterpret_cast<const UINT*>(
      reinterpret_cast<const char*>(text) - sizeof(UINT));
  return WStr(text, static_cast<int>(bytes / sizeof(OLECHAR)));
}

}  // namespace detail

using namespace detail;

void Reset() {
  ReleaseStrings();
  ReleaseLocalAllocs();
  S() = State{};
}

std::string Call::ToString() const {
  std::string text = name + "(";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ", ";
    text += args[i];
  }
  return text + ")";
}

const std::vector<Call>& Calls() { return S().calls; }

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& call : S().calls) names.push_back(call.name);
  return names;
}

int CountCalls(const std::string& name) {
  if (!IsSeamFunction(name) || !IsLogged(name)) {
    ADD_FAILURE() << "fake::CountCalls(\"" << name << "\"): "
                  << (IsSeamFunction(name) ? "the call log leaves it out"
                                           : "not a function of the seam");
  }
  return static_cast<int>(std::count_if(
      S().calls.begin(), S().calls.end(),
      [&](const Call& call) { return call.name == name; }));
}

void ClearCalls() { S().calls.clear(); }

void FailCall(int n, DWORD error) { S().failCallAt[n] = error; }

void FailNext(const std::string& function, DWORD error, int skip) {
  if (FallibleFunctions().count(function) == 0) {
    ADD_FAILURE() << "fake::FailNext(\"" << function << "\"): "
                  << (IsSeamFunction(function) ? "the fake cannot make it fail"
                                               : "not a function of the seam");
    return;
  }
  S().failNext.push_back(QueuedFailure{function, error, skip});
}

int FallibleCallCount() { return S().fallibleCalls; }

const std::vector<std::string>& FallibleCallNames() {
  return S().fallibleCallNames;
}

const std::set<std::string>& FallibleFunctions() {
  static const std::set<std::string> kNames = {
      "OpenSCManagerA",      "OpenServiceA",        "CreateServiceA",
      "StartServiceA",       "QueryServiceStatus",  "ControlService",
      "DeleteService",       "RegOpenKeyExA",       "RegQueryValueExW",
      "RegSetValueExA",      "FormatMessageA",      "GetModuleFileNameA",
      "GetModuleFileNameW",  "MultiByteToWideChar", "WideCharToMultiByte",
      "LoadStringA",         "MessageBoxA"};
  return kNames;
}

void FailAllocation(int n) { S().failAllocationAt.insert(n); }

int AllocationCount() { return S().allocations; }

void FailNextVarBstrCat(HRESULT hr) { S().failVarBstrCat.push_back(hr); }

void ClearFailures() {
  State& s = S();
  s.fallibleCalls = 0;
  s.fallibleCallNames.clear();
  s.failCallAt.clear();
  s.failNext.clear();
  s.allocations = 0;
  s.failAllocationAt.clear();
  s.failVarBstrCat.clear();
}

int OpenServiceHandles() {
  return static_cast<int>(std::count_if(
      S().scHandles.begin(), S().scHandles.end(),
      [](const auto& entry) { return entry.second.open; }));
}

int OpenKeys() {
  return static_cast<int>(std::count_if(
      S().keyHandles.begin(), S().keyHandles.end(),
      [](const auto& entry) { return entry.second.open; }));
}

int LiveStrings() {
  return static_cast<int>(std::count_if(
      S().bstrs.begin(), S().bstrs.end(),
      [](const auto& entry) { return entry.second.live; }));
}

int LiveLocalAllocs() { return static_cast<int>(S().liveLocalAllocs.size()); }

const std::vector<std::string>& Misuse() { return S().misuse; }

std::string LeakReport() {
  State& s = S();
  std::ostringstream report;
  for (const auto& [value, handle] : s.scHandles) {
    if (!handle.open) continue;
    report << "open service-manager handle h" << handle.serial;
    if (handle.kind == ScKind::Manager) {
      report << " (manager)";
    } else {
      report << " (service \""
             << (handle.service ? handle.service->svc.name : "?") << "\")";
    }
    report << "\n";
  }
  for (const auto& [value, key] : s.keyHandles) {
    if (key.open)
      report << "open key h" << key.serial << " (\"" << key.path << "\")\n";
  }
  for (const auto& [text, record] : s.bstrs) {
    if (record.live)
      report << "live string #" << record.serial << " " << Bstr(text) << "\n";
  }
  for (void* buffer : s.liveLocalAllocs)
    report << "FormatMessageA buffer not freed: \""
           << static_cast<const char*>(buffer) << "\"\n";
  for (const std::string& what : s.misuse) report << "misuse: " << what << "\n";
  return report.str();
}

}  // namespace fake
