// The fake's automation strings: BSTRs it allocates and counts itself, with
// scripted allocation failures and detection of bad or repeated frees.
#include "fake_state.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace fake {
namespace detail {

namespace {

// Like the real layout: the byte count just before the text, and a wide NUL
// after it. The block starts 8 bytes before the text to keep it aligned.
const size_t kHeader = 8;
const OLECHAR kPoison = 0xDDDD;

UINT& ByteCount(BSTR text) {
  return *reinterpret_cast<UINT*>(reinterpret_cast<char*>(text) -
                                  sizeof(UINT));
}

BSTR Allocate(const void* source, UINT bytes) {
  if (bytes > UINT_MAX - 64) return nullptr;
  char* block = static_cast<char*>(std::calloc(kHeader + bytes + 4, 1));
  if (block == nullptr) return nullptr;
  BSTR text = reinterpret_cast<BSTR>(block + kHeader);
  ByteCount(text) = bytes;
  if (source != nullptr && bytes > 0) std::memcpy(text, source, bytes);
  State& s = S();
  s.bstrs[text] = BstrRecord{s.nextBstrSerial++, true};
  return text;
}

enum class Use { Live, Freed, Unknown };

Use Check(BSTR text, const char* function) {
  auto it = S().bstrs.find(text);
  if (it == S().bstrs.end()) {
    RecordMisuse(std::string(function) + " of unknown string " + Ptr(text));
    return Use::Unknown;
  }
  if (!it->second.live) {
    RecordMisuse(std::string(function) + " of freed string #" +
                 std::to_string(it->second.serial));
    return Use::Freed;
  }
  return Use::Live;
}

}  // namespace

void ReleaseStrings() {
  for (auto& [text, record] : S().bstrs)
    std::free(reinterpret_cast<char*>(text) - kHeader);
  S().bstrs.clear();
}

}  // namespace detail
}  // namespace fake

namespace platform {

using namespace fake;
using namespace fake::detail;

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  Log("SysAllocStringLen", {WStr(strIn, static_cast<int>(ui)), Hex(ui)});
  if (AllocationFails() || ui > (UINT_MAX - 64) / sizeof(OLECHAR))
    return nullptr;
  return Allocate(strIn, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  Log("SysAllocStringByteLen", {StrN(psz, static_cast<int>(len)), Hex(len)});
  if (AllocationFails()) return nullptr;
  return Allocate(psz, len);
}

void SysFreeString(BSTR bstrString) {
  Log("SysFreeString", {Bstr(bstrString)});
  if (bstrString == nullptr) return;
  if (Check(bstrString, "SysFreeString") != Use::Live) return;
  // Poisoned, not returned to the heap: a later use shows up as odd text,
  // and a second free is always recognised.
  const UINT chars = ByteCount(bstrString) / sizeof(OLECHAR);
  for (UINT i = 0; i < chars; ++i) bstrString[i] = kPoison;
  S().bstrs[bstrString].live = false;
}

UINT SysStringLen(BSTR pbstr) {
  if (pbstr == nullptr) return 0;
  if (Check(pbstr, "SysStringLen") == Use::Unknown) return 0;
  return ByteCount(pbstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  if (Check(bstr, "SysStringByteLen") == Use::Unknown) return 0;
  return ByteCount(bstr);
}

HRESULT VarBstrCat(BSTR bstrLeft, BSTR bstrRight, BSTR* pbstrResult) {
  Log("VarBstrCat", {Bstr(bstrLeft), Bstr(bstrRight), Out(pbstrResult)});
  if (pbstrResult == nullptr) return E_INVALIDARG;
  for (BSTR part : {bstrLeft, bstrRight}) {
    if (part != nullptr && Check(part, "VarBstrCat") != Use::Live)
      return E_INVALIDARG;
  }
  const bool allocationFails = AllocationFails();
  if (!S().failVarBstrCat.empty()) {
    const HRESULT hr = S().failVarBstrCat.front();
    S().failVarBstrCat.pop_front();
    *pbstrResult = nullptr;
    return hr;
  }
  if (allocationFails) {
    *pbstrResult = nullptr;
    return E_OUTOFMEMORY;
  }
  const UINT left = bstrLeft ? ByteCount(bstrLeft) : 0;
  const UINT right = bstrRight ? ByteCount(bstrRight) : 0;
  BSTR result = Allocate(nullptr, left + right);
  if (result == nullptr) return E_OUTOFMEMORY;
  if (left) std::memcpy(result, bstrLeft, left);
  if (right) std::memcpy(reinterpret_cast<char*>(result) + left, bstrRight,
                         right);
  *pbstrResult = result;
  return S_OK;
}

}  // namespace platform
