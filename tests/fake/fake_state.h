// The fake platform's whole state in one struct, and the helpers its parts
// share: logging, argument rendering, failure checks and object lookup.
#pragma once

#include <windows.h>

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform.h"

namespace fake {
namespace detail {

struct ServiceRecord {
  Service svc;
  bool playing = false;  // a start was accepted and startScript is being told
};

enum class ScKind { Manager, Service };

struct ScHandleRecord {
  int serial = 0;
  ScKind kind = ScKind::Manager;
  ServiceRecord* service = nullptr;  // for service handles
  DWORD access = 0;
  bool open = true;
};

struct RegValue {
  std::string name;  // as first written
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegKey {
  std::string path;                        // as first written
  std::map<std::string, RegValue> values;  // by lower-case name
};

struct KeyHandleRecord {
  int serial = 0;
  std::string path;  // lower case, "" for the root
  REGSAM access = 0;
  bool open = true;
};

struct BstrRecord {
  int serial = 0;
  bool live = true;
};

struct QueuedFailure {
  std::string function;
  DWORD error = 0;
  int skip = 0;
};

struct State {
  std::vector<Call> calls;

  // Failure injection.
  int fallibleCalls = 0;
  std::vector<std::string> fallibleCallNames;
  std::map<int, DWORD> failCallAt;  // fallible call number -> error
  std::list<QueuedFailure> failNext;
  int allocations = 0;
  std::set<int> failAllocationAt;
  std::list<HRESULT> failVarBstrCat;

  // Service manager.
  std::list<ServiceRecord> services;
  int nextSerial = 1;  // shared by service-manager handles and keys
  std::map<std::uintptr_t, ScHandleRecord> scHandles;

  // Registry, keys by lower-case path; "" is HKEY_LOCAL_MACHINE itself.
  std::map<std::string, RegKey> keys;
  std::map<std::uintptr_t, KeyHandleRecord> keyHandles;

  // System texts: overrides and removals of the real system's texts.
  std::map<DWORD, std::string> textOverrides;
  std::set<DWORD> textRemoved;
  std::set<void*> liveLocalAllocs;
  std::set<void*> freedLocalAllocs;

  // Automation strings; freed ones stay allocated (and poisoned) until the
  // next Reset so that a second free is always recognised.
  std::map<BSTR, BstrRecord> bstrs;
  int nextBstrSerial = 1;

  DWORD lastError = 0;
  std::string modulePath = kDefaultModulePath;
  std::vector<DWORD> sleeps;
  std::vector<MessageBoxRecord> boxes;
  std::list<int> boxAnswers;

  std::vector<std::string> misuse;
};

State& S();

// Releases the memory the state owns (strings, LocalAlloc buffers).
void ReleaseStrings();
void ReleaseLocalAllocs();

// Logs one call.
void Log(const char* name, std::vector<std::string> args);

// Counts one fallible call and tells whether it is scripted to fail; the
// error is then the scripted one, or the function's natural error.
bool ShouldFail(const char* name, DWORD* error);
// Counts one allocation and tells whether it is scripted to fail.
bool AllocationFails();

void RecordMisuse(const std::string& what);

std::string Lower(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);

// Argument rendering for the call log.
std::string Hex(std::uint64_t value);
std::string Str(const char* text);
std::string StrN(const char* text, int length);  // -1: up to the NUL
std::string WStr(const wchar_t* text, int length);  // -1: up to the NUL
std::string Ptr(const void* pointer);
std::string Out(const void* pointer);
std::string MultiStr(const char* list);
std::string ScH(SC_HANDLE handle);
std::string KeyH(HKEY key);
std::string Bstr(BSTR text);

// The key path of a service, as the service manager keeps it.
std::string ServiceKeyPath(const std::string& name);
// Takes a service out of the manager and its key out of the registry.
void RemoveService(ServiceRecord* record);
void DeleteKeyTree(const std::string& path);

}  // namespace detail
}  // namespace fake
