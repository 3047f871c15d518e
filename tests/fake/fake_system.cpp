// The fake's kernel32 side: system texts and their LocalAlloc'd buffers, its
// own last error, recorded sleeps, the module path, and the conversions and
// string calls that forward to the real ones.
#include "fake_state.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform.h"

namespace fake {
namespace detail {

namespace {

DWORD FailZero(DWORD error) {
  S().lastError = error;
  return 0;
}

// Hands out a copy of the text in a buffer of its own, as
// FORMAT_MESSAGE_ALLOCATE_BUFFER does, counted until LocalFree.
DWORD Deliver(const std::string& text, LPSTR lpBuffer) {
  if (lpBuffer == nullptr) return FailZero(ERROR_INVALID_PARAMETER);
  const DWORD length = static_cast<DWORD>(text.size());
  char* buffer = static_cast<char*>(::LocalAlloc(LMEM_FIXED, length + 1));
  if (buffer == nullptr) return FailZero(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(buffer, text.c_str(), length + 1);
  S().liveLocalAllocs.insert(buffer);
  S().freedLocalAllocs.erase(buffer);
  *reinterpret_cast<LPSTR*>(lpBuffer) = buffer;
  return length;
}

int DefaultAnswer(UINT uType) {
  switch (uType & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    case MB_CANCELTRYCONTINUE: return IDCANCEL;
    default: return IDOK;
  }
}

// What GetModuleFileName reports for any module: the scripted path, cut to
// fit as Windows cuts it.
template <typename Char>
DWORD CopyModulePath(const std::basic_string<Char>& path, Char* out,
                     DWORD nSize) {
  if (nSize == 0) return FailZero(ERROR_INSUFFICIENT_BUFFER);
  if (path.size() >= nSize) {
    std::copy_n(path.c_str(), nSize - 1, out);
    out[nSize - 1] = Char();
    S().lastError = ERROR_INSUFFICIENT_BUFFER;
    return nSize;
  }
  std::copy_n(path.c_str(), path.size() + 1, out);
  return static_cast<DWORD>(path.size());
}

}  // namespace

void ReleaseLocalAllocs() {
  for (void* buffer : S().liveLocalAllocs) ::LocalFree(buffer);
  S().liveLocalAllocs.clear();
}

}  // namespace detail

using namespace detail;

void SetSystemText(DWORD code, const std::string& text) {
  S().textRemoved.erase(code);
  S().textOverrides[code] = text;
}

void RemoveSystemText(DWORD code) {
  S().textOverrides.erase(code);
  S().textRemoved.insert(code);
}

std::string RealSystemText(DWORD code) {
  LPSTR buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = length ? std::string(buffer, length) : std::string();
  if (buffer) ::LocalFree(buffer);
  return text;
}

void SetModulePath(const std::string& path) { S().modulePath = path; }

const std::vector<DWORD>& Sleeps() { return S().sleeps; }

const std::vector<MessageBoxRecord>& MessageBoxes() { return S().boxes; }

void QueueMessageBoxAnswer(int answer) { S().boxAnswers.push_back(answer); }

}  // namespace fake

namespace platform {

using namespace fake;
using namespace fake::detail;

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                     DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
  Log("FormatMessageA",
      {Hex(dwFlags), Ptr(lpSource), Hex(dwMessageId), Hex(dwLanguageId),
       Out(lpBuffer), Hex(nSize), Ptr(Arguments)});
  DWORD error = 0;
  if (ShouldFail("FormatMessageA", &error)) return FailZero(error);
  // The one form the product asks for: a system text, as it is, in a
  // buffer of its own.
  constexpr DWORD kForm = FORMAT_MESSAGE_FROM_SYSTEM |
                          FORMAT_MESSAGE_ALLOCATE_BUFFER |
                          FORMAT_MESSAGE_IGNORE_INSERTS;
  if (dwFlags != kForm || lpSource != nullptr || Arguments != nullptr) {
    RecordMisuse("FormatMessageA in a form the fake does not know: " +
                 Hex(dwFlags));
    return FailZero(ERROR_INVALID_PARAMETER);
  }
  (void)dwLanguageId;
  (void)nSize;
  std::string text;
  if (S().textRemoved.count(dwMessageId)) {
    return FailZero(ERROR_MR_MID_NOT_FOUND);
  } else if (auto it = S().textOverrides.find(dwMessageId);
             it != S().textOverrides.end()) {
    text = it->second;
  } else {
    text = RealSystemText(dwMessageId);
    if (text.empty()) return FailZero(ERROR_MR_MID_NOT_FOUND);
  }
  return Deliver(text, lpBuffer);
}

HLOCAL LocalFree(HLOCAL hMem) {
  Log("LocalFree", {Ptr(hMem)});
  if (hMem == nullptr) return nullptr;
  State& s = S();
  if (s.liveLocalAllocs.erase(hMem) > 0) {
    ::LocalFree(hMem);
    s.freedLocalAllocs.insert(hMem);
    return nullptr;
  }
  RecordMisuse(std::string("LocalFree of ") +
               (s.freedLocalAllocs.count(hMem) ? "a freed" : "an unknown") +
               " buffer " + Ptr(hMem));
  s.lastError = ERROR_INVALID_HANDLE;
  return hMem;
}

DWORD GetLastError() { return S().lastError; }

void SetLastError(DWORD dwErrCode) { S().lastError = dwErrCode; }

void Sleep(DWORD dwMilliseconds) {
  Log("Sleep", {Hex(dwMilliseconds)});
  S().sleeps.push_back(dwMilliseconds);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  Log("GetModuleFileNameA", {Ptr(hModule), Out(lpFilename), Hex(nSize)});
  DWORD error = 0;
  if (ShouldFail("GetModuleFileNameA", &error)) return FailZero(error);
  return CopyModulePath(S().modulePath, lpFilename, nSize);
}

// The module's path as the narrow one reads in the ANSI code page.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  Log("GetModuleFileNameW", {Ptr(hModule), Out(lpFilename), Hex(nSize)});
  DWORD error = 0;
  if (ShouldFail("GetModuleFileNameW", &error)) return FailZero(error);
  const std::string& narrow = S().modulePath;
  std::wstring path(narrow.size(), L'\0');
  path.resize(static_cast<size_t>(::MultiByteToWideChar(
      CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &path[0],
      static_cast<int>(path.size()))));
  return CopyModulePath(path, lpFilename, nSize);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                        int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  Log("MultiByteToWideChar",
      {Hex(CodePage), Hex(dwFlags),
       StrN(lpMultiByteStr, cbMultiByte), Hex(static_cast<DWORD>(cbMultiByte)),
       Out(lpWideCharStr), Hex(static_cast<DWORD>(cchWideChar))});
  DWORD error = 0;
  if (ShouldFail("MultiByteToWideChar", &error))
    return static_cast<int>(FailZero(error));
  const int result = ::MultiByteToWideChar(
      CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr,
      cchWideChar);
  if (result == 0) S().lastError = ::GetLastError();
  return result;
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                        int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCCH lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  Log("WideCharToMultiByte",
      {Hex(CodePage), Hex(dwFlags), WStr(lpWideCharStr, cchWideChar),
       Hex(static_cast<DWORD>(cchWideChar)), Out(lpMultiByteStr),
       Hex(static_cast<DWORD>(cbMultiByte)), Str(lpDefaultChar),
       Out(lpUsedDefaultChar)});
  DWORD error = 0;
  if (ShouldFail("WideCharToMultiByte", &error))
    return static_cast<int>(FailZero(error));
  const int result = ::WideCharToMultiByte(
      CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr,
      cbMultiByte, lpDefaultChar, lpUsedDefaultChar);
  if (result == 0) S().lastError = ::GetLastError();
  return result;
}

int lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  Log("lstrcmpA", {Str(lpString1), Str(lpString2)});
  return ::lstrcmpA(lpString1, lpString2);
}

int CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2,
                         int cchCount2, BOOL bIgnoreCase) {
  Log("CompareStringOrdinal",
      {WStr(lpString1, cchCount1), Hex(static_cast<DWORD>(cchCount1)),
       WStr(lpString2, cchCount2), Hex(static_cast<DWORD>(cchCount2)),
       Hex(static_cast<DWORD>(bIgnoreCase))});
  return ::CompareStringOrdinal(lpString1, cchCount1, lpString2, cchCount2,
                                bIgnoreCase);
}

LPSTR lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  Log("lstrcpyA", {Out(lpString1), Str(lpString2)});
  return ::lstrcpyA(lpString1, lpString2);
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
                int cchBufferMax) {
  Log("LoadStringA", {Ptr(hInstance), Hex(uID), Out(lpBuffer),
                      Hex(static_cast<DWORD>(cchBufferMax))});
  DWORD error = 0;
  if (ShouldFail("LoadStringA", &error))
    return static_cast<int>(FailZero(error));
  HINSTANCE instance = hInstance ? hInstance : ::GetModuleHandleA(nullptr);
  ::SetLastError(0);
  const int length = ::LoadStringA(instance, uID, lpBuffer, cchBufferMax);
  if (length == 0 && ::GetLastError() != 0) S().lastError = ::GetLastError();
  return length;
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  Log("MessageBoxA", {Ptr(hWnd), Str(lpText), Str(lpCaption), Hex(uType)});
  DWORD error = 0;
  if (ShouldFail("MessageBoxA", &error))
    return static_cast<int>(FailZero(error));
  // A null caption shows as "Error", as the real one does.
  S().boxes.push_back(MessageBoxRecord{hWnd, lpText ? lpText : "",
                                       lpCaption ? lpCaption : "Error", uType});
  if (S().boxAnswers.empty()) return DefaultAnswer(uType);
  const int answer = S().boxAnswers.front();
  S().boxAnswers.pop_front();
  return answer;
}

}  // namespace platform
