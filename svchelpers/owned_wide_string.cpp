// The owned wide string on the automation allocator, its narrow copies for
// platform calls, and the exception that carries a failed string operation.
#include "owned_wide_string.h"

#include <new>
#include <utility>

#include "platform.h"

namespace AtServiceHelpers {

namespace {

// Above this many characters (terminator included) a narrow copy is refused:
// twice the count would no longer fit an int byte count.
constexpr UINT kMaxNarrowChars = 0x3FFFFFFF;

// Converts narrow text (thread code page) into a new BSTR; never null.
BSTR ConvertNarrow(LPCSTR text) {
  const int n =
      platform::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) AtlThrow(E_OUTOFMEMORY);
  BSTR str = platform::SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
  if (str == nullptr) AtlThrow(E_OUTOFMEMORY);
  if (platform::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, str, n) != n) {
    platform::SysFreeString(str);
    AtlThrow(E_OUTOFMEMORY);
  }
  return str;
}

}  // namespace

void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

OwnedWideString::OwnedWideString(LPCSTR text) {
  if (text != nullptr) m_str = ConvertNarrow(text);
}

OwnedWideString::OwnedWideString(const OwnedWideString& other) {
  if (other.m_str == nullptr) return;
  // A byte copy keeps embedded NULs and an odd byte length.
  m_str = platform::SysAllocStringByteLen(reinterpret_cast<LPCSTR>(other.m_str),
                                          other.ByteLength());
  if (m_str == nullptr) AtlThrow(E_OUTOFMEMORY);
}

OwnedWideString::OwnedWideString(OwnedWideString&& other) noexcept
    : m_str(std::exchange(other.m_str, nullptr)) {}

OwnedWideString& OwnedWideString::operator=(const OwnedWideString& other) {
  if (this != &other) {
    OwnedWideString copy(other);  // a failed copy leaves this one as it was
    std::swap(m_str, copy.m_str);
  }
  return *this;
}

OwnedWideString& OwnedWideString::operator=(OwnedWideString&& other) noexcept {
  if (this != &other) {
    Release();
    m_str = std::exchange(other.m_str, nullptr);
  }
  return *this;
}

OwnedWideString& OwnedWideString::operator=(LPCSTR text) {
  Release();
  if (text != nullptr) m_str = ConvertNarrow(text);
  return *this;
}

OwnedWideString::~OwnedWideString() { Release(); }

void OwnedWideString::Append(const OwnedWideString& other) {
  if (other.Length() == 0) return;
  BSTR joined = nullptr;
  const HRESULT hr = platform::VarBstrCat(m_str, other.m_str, &joined);
  if (FAILED(hr)) AtlThrow(hr);
  Release();
  m_str = joined;
}

void OwnedWideString::Release() noexcept {
  if (m_str != nullptr) {
    platform::SysFreeString(m_str);
    m_str = nullptr;
  }
}

OwnedWideString OwnedWideString::Attach(BSTR str) noexcept {
  OwnedWideString owned;
  owned.m_str = str;
  return owned;
}

BSTR OwnedWideString::Detach() noexcept {
  return std::exchange(m_str, nullptr);
}

UINT OwnedWideString::Length() const noexcept {
  return m_str == nullptr ? 0 : platform::SysStringLen(m_str);
}

UINT OwnedWideString::ByteLength() const noexcept {
  return m_str == nullptr ? 0 : platform::SysStringByteLen(m_str);
}

NarrowCopy::NarrowCopy(const OwnedWideString& source) noexcept {
  const BSTR str = source.Get();
  if (str == nullptr) return;
  // The conversion below stops at the first NUL, so only that part counts.
  const UINT length = source.Length();
  UINT c = 0;
  while (c < length && str[c] != L'\0') ++c;
  if (c >= kMaxNarrowChars) return;  // c + 1 above the limit

  const int bytes = static_cast<int>(2 * (c + 1));
  char* buffer = m_inline;
  if (bytes > kInlineBytes) {
    // Long texts go to the heap so that no input can exhaust the stack.
    m_heap = new (std::nothrow) char[static_cast<size_t>(bytes)];
    if (m_heap == nullptr) return;
    buffer = m_heap;
  }
  buffer[0] = '\0';
  if (platform::WideCharToMultiByte(CP_THREAD_ACP, 0, str, -1, buffer, bytes,
                                    nullptr, nullptr) != 0) {
    m_text = buffer;
  }
}

NarrowCopy::~NarrowCopy() { delete[] m_heap; }

}  // namespace AtServiceHelpers
