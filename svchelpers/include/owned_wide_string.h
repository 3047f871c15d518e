// The helper library's owned wide string (an automation BSTR, or null) and
// CAtlException, which carries a result code out of a failed string
// operation.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace AtServiceHelpers {

class CAtlException {
 public:
  explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
  operator HRESULT() const noexcept { return m_hr; }
  HRESULT m_hr;
};

[[noreturn]] void AtlThrow(HRESULT hr);

// Owns at most one BSTR through the platform seam's allocator. Null and
// empty are different states; both have length 0.
class OwnedWideString {
 public:
  OwnedWideString() noexcept = default;
  // Narrow text in the thread's ANSI code page; null gives null. Throws
  // CAtlException(E_OUTOFMEMORY) when the string cannot be made.
  explicit OwnedWideString(LPCSTR text);
  OwnedWideString(const OwnedWideString& other);  // exact byte copy
  OwnedWideString(OwnedWideString&& other) noexcept;
  OwnedWideString& operator=(const OwnedWideString& other);
  OwnedWideString& operator=(OwnedWideString&& other) noexcept;
  OwnedWideString& operator=(LPCSTR text);  // releases first; null -> null
  ~OwnedWideString();

  // Appends `other` (VarBstrCat); a string of length 0 changes nothing.
  // Throws CAtlException with VarBstrCat's code, content unchanged.
  void Append(const OwnedWideString& other);
  void Release() noexcept;
  // Takes over a BSTR from the seam's allocator / hands the held one over.
  static OwnedWideString Attach(BSTR str) noexcept;
  BSTR Detach() noexcept;

  BSTR Get() const noexcept { return m_str; }
  bool IsNull() const noexcept { return m_str == nullptr; }
  UINT Length() const noexcept;  // characters; 0 for null
  UINT ByteLength() const noexcept;

 private:
  BSTR m_str = nullptr;
};

// A narrow copy of an owned wide string in the thread's ANSI code page, for
// a platform call. Ordinary lengths stay in the inline buffer (in the frame
// of the operation that makes the copy); longer ones go to the heap, so no
// input can overflow the stack. Get() is null when the source is null or
// the conversion failed. Never throws.
class NarrowCopy {
 public:
  explicit NarrowCopy(const OwnedWideString& source) noexcept;
  ~NarrowCopy();
  NarrowCopy(const NarrowCopy&) = delete;
  NarrowCopy& operator=(const NarrowCopy&) = delete;
  LPCSTR Get() const noexcept { return m_text; }

 private:
  static constexpr int kInlineBytes = 512;
  char m_inline[kInlineBytes];
  char* m_heap = nullptr;
  LPCSTR m_text = nullptr;
};

}  // namespace AtServiceHelpers
