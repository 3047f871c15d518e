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

const DWORD kFormattingFlags = FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ARGUMENT_ARRAY |
                               FORMAT_MESSAGE_MAX_WIDTH_MASK;

// Runs the real formatter over a text (inserts, escapes, line width), as
// the real FormatMessageA does over a message-table text. False with the
// real error when it fails.
bool FormatText(const std::string& source, DWORD dwFlags, va_list* Arguments,
                std::string* text, DWORD* error) {
  LPSTR buffer = nullptr;
  ::SetLastError(0);
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
          (dwFlags & kFormattingFlags),
      source.c_str(), 0, 0, reinterpret_cast<LPSTR>(&buffer), 0, Arguments);
  if (length == 0) {
    *error = ::GetLastError();
    if (buffer) ::LocalFree(buffer);
    return source.empty();  // an empty text formats to nothing
  }
  text->assign(buffer, length);
  ::LocalFree(buffer);
  return true;
}

// The real formatter for sources this fake does not script (a module's
// message table).
bool RealFormat(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                DWORD dwLanguageId, va_list* Arguments, std::string* text,
                DWORD* error) {
  LPSTR buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      dwFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      lpSource, dwMessageId, dwLanguageId, reinterpret_cast<LPSTR>(&buffer), 0,
      Arguments);
  if (length == 0) {
    *error = ::GetLastError();
    return false;
  }
  text->assign(buffer, length);
  ::LocalFree(buffer);
  return true;
}

DWORD Deliver(const std::string& text, DWORD dwFlags, LPSTR lpBuffer,
              DWORD nSize) {
  if (lpBuffer == nullptr) return FailZero(ERROR_INVALID_PARAMETER);
  const DWORD length = static_cast<DWORD>(text.size());
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const SIZE_T bytes = std::max<SIZE_T>(length + 1, nSize);
    char* buffer = static_cast<char*>(::LocalAlloc(LMEM_FIXED, bytes));
    if (buffer == nullptr) return FailZero(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(buffer, text.c_str(), length + 1);
    S().liveLocalAllocs.insert(buffer);
    S().freedLocalAllocs.erase(buffer);
    *reinterpret_cast<LPSTR*>(lpBuffer) = buffer;
    return length;
  }
  if (length + 1 > nSize) return FailZero(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(lpBuffer, text.c_str(), length + 1);
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

DWORD TotalSleep() {
  DWORD total = 0;
  for (DWORD ms : S().sleeps) total += ms;
  return total;
}

const std::vector<MessageBoxRecord>& MessageBoxes() { return S().boxes; }

void QueueMessageBoxAnswer(int answer) { S().boxAnswers.push_back(answer); }

}  // namespace fake

namespace platform {

using namespace fake;
using namespace fake::detail;

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                     DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
  const bool fromString = (dwFlags & FORMAT_MESSAGE_FROM_STRING) != 0;
  Log("FormatMessageA",
      {Hex(dwFlags),
       fromString ? Str(static_cast<const char*>(lpSource)) : Ptr(lpSource),
       Hex(dwMessageId), Hex(dwLanguageId), Out(lpBuffer), Hex(nSize),
       Ptr(Arguments)});
  DWORD error = 0;
  if (ShouldFail("FormatMessageA", &error)) return FailZero(error);

  std::string text;
  const bool scripted = (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) != 0 &&
                        (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) == 0 &&
                        !fromString;
  if (scripted || fromString) {
    std::string source;
    if (fromString) {
      if (lpSource == nullptr) return FailZero(ERROR_INVALID_PARAMETER);
      source = static_cast<const char*>(lpSource);
    } else if (S().textRemoved.count(dwMessageId)) {
      return FailZero(ERROR_MR_MID_NOT_FOUND);
    } else if (auto it = S().textOverrides.find(dwMessageId);
               it != S().textOverrides.end()) {
      source = it->second;
    } else {
      source = RealSystemText(dwMessageId);
      if (source.empty()) return FailZero(ERROR_MR_MID_NOT_FOUND);
    }
    const bool verbatim = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0 &&
                          (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0;
    if (verbatim) {
      text = source;
    } else if (!FormatText(source, dwFlags, Arguments, &text, &error)) {
      return FailZero(error);
    }
  } else if (!RealFormat(dwFlags, lpSource, dwMessageId, dwLanguageId,
                         Arguments, &text, &error)) {
    return FailZero(error);
  }
  return Deliver(text, dwFlags, lpBuffer, nSize);
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
