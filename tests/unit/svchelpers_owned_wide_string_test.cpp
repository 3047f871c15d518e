// The owned wide string and its narrow copies: null and empty, exact copies,
// appends, conversions in the thread's code page, and their failures.
#include <cstring>
#include <functional>
#include <string>

#include "unit_support.h"

namespace unit {
namespace {

using AtServiceHelpers::NarrowCopy;

class OwnedWideStringTest : public HelperTest {};

HRESULT CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CAtlException& e) {
    return e;
  }
  return S_OK;
}

TEST_F(OwnedWideStringTest, EmptyTextGivesAnEmptyStringThatIsNotNull) {
  OwnedWideString empty("");
  EXPECT_FALSE(empty.IsNull());
  EXPECT_EQ(0u, empty.Length());

  OwnedWideString none(static_cast<LPCSTR>(nullptr));
  EXPECT_TRUE(none.IsNull());
  EXPECT_EQ(0u, none.Length());
  OwnedWideString copyOfNone(none);
  EXPECT_TRUE(copyOfNone.IsNull());
  EXPECT_EQ(1, fake::LiveStrings());  // only for ""
  empty.Release();
  EXPECT_EQ("", fake::LeakReport());
}

TEST_F(OwnedWideStringTest, ConvertsInTheThreadCodePage) {
  // 0xCF is U+041F in the Cyrillic code page, U+00CF in the Western one.
  const LCID before = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(
      MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
  {
    OwnedWideString s("\xCF\xF0");
    ASSERT_EQ(2u, s.Length());
    EXPECT_EQ(L'\x041F', s.Get()[0]);
    EXPECT_STREQ("\xCF\xF0", NarrowCopy(s).Get());
  }
  SetThreadLocale(before);
}

TEST_F(OwnedWideStringTest, CopyKeepsEveryByteIncludingEmbeddedNuls) {
  const char bytes[] = {'a', '\0', 'b', '\0', 'c'};  // odd length too
  OwnedWideString source = OwnedWideString::Attach(
      platform::SysAllocStringByteLen(bytes, sizeof bytes));
  OwnedWideString copy(source);
  ASSERT_FALSE(copy.IsNull());
  EXPECT_NE(source.Get(), copy.Get());
  ASSERT_EQ(sizeof bytes, copy.ByteLength());
  EXPECT_EQ(0, std::memcmp(bytes, copy.Get(), sizeof bytes));

  OwnedWideString assigned("x");
  assigned = source;
  EXPECT_EQ(sizeof bytes, assigned.ByteLength());
  EXPECT_EQ(3, fake::LiveStrings());
}

TEST_F(OwnedWideStringTest, AssigningReleasesTheOldContentFirst) {
  OwnedWideString s("old");
  s = "new";
  EXPECT_EQ("new", Text(s));
  EXPECT_EQ(1, fake::LiveStrings());
  s = static_cast<LPCSTR>(nullptr);
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(0, fake::LiveStrings());
}

TEST_F(OwnedWideStringTest, FailedConversionRaisesOutOfMemoryAndLeavesNull) {
  fake::FailNext("MultiByteToWideChar");  // measuring
  EXPECT_EQ(E_OUTOFMEMORY, CodeOf([] { OwnedWideString s("abc"); }));

  OwnedWideString s("old");
  fake::FailNext("MultiByteToWideChar", 0, 1);  // converting into the string
  EXPECT_EQ(E_OUTOFMEMORY, CodeOf([&] { s = "abc"; }));
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ("", fake::LeakReport());  // neither the old nor the new one left
}

TEST_F(OwnedWideStringTest, FailedAllocationRaisesOutOfMemory) {
  fake::FailAllocation(1);
  EXPECT_EQ(E_OUTOFMEMORY, CodeOf([] { OwnedWideString s("abc"); }));

  OwnedWideString source("abc");
  fake::ClearFailures();
  fake::FailAllocation(1);
  EXPECT_EQ(E_OUTOFMEMORY, CodeOf([&] { OwnedWideString copy(source); }));
  OwnedWideString target("keep");
  fake::ClearFailures();
  fake::FailAllocation(1);
  EXPECT_EQ(E_OUTOFMEMORY, CodeOf([&] { target = source; }));
  EXPECT_EQ("keep", Text(target));
}

TEST_F(OwnedWideStringTest, AppendJoinsAndReleasesThePreviousString) {
  OwnedWideString s("Failed: ");
  s.Append(W("denied"));
  EXPECT_EQ("Failed: denied", Text(s));
  EXPECT_EQ(1, fake::LiveStrings());

  OwnedWideString none;
  none.Append(W("alone"));
  EXPECT_EQ("alone", Text(none));
}

TEST_F(OwnedWideStringTest, AppendingNothingChangesNothing) {
  OwnedWideString s("text");
  const BSTR before = s.Get();
  s.Append(OwnedWideString());
  s.Append(W(""));
  EXPECT_EQ(before, s.Get());
  EXPECT_EQ("text", Text(s));
}

TEST_F(OwnedWideStringTest, FailedAppendRaisesItsCodeAndKeepsTheContent) {
  OwnedWideString s("text");
  const BSTR before = s.Get();
  fake::FailNextVarBstrCat(DISP_E_TYPEMISMATCH);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, CodeOf([&] { s.Append(W("more")); }));
  EXPECT_EQ(before, s.Get());
  EXPECT_EQ("text", Text(s));
  s.Release();
  EXPECT_EQ("", fake::LeakReport());
}

TEST_F(OwnedWideStringTest, NarrowCopyOfNullIsNull) {
  NarrowCopy copy{OwnedWideString()};
  EXPECT_EQ(nullptr, copy.Get());
}

TEST_F(OwnedWideStringTest, NarrowCopyStopsAtTheFirstNul) {
  const char bytes[] = {'a', 0, 'b', 0, 0, 0, 'c', 0};  // L"ab\0c"
  OwnedWideString s = OwnedWideString::Attach(
      platform::SysAllocStringByteLen(bytes, sizeof bytes));
  NarrowCopy copy(s);
  ASSERT_NE(nullptr, copy.Get());
  EXPECT_STREQ("ab", copy.Get());
}

TEST_F(OwnedWideStringTest, NarrowCopyHandlesTextsBeyondTheInlineBuffer) {
  for (size_t length : {0u, 1u, 255u, 256u, 257u, 5000u, 100000u}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'q');
    OwnedWideString s(text.c_str());
    NarrowCopy copy(s);
    ASSERT_NE(nullptr, copy.Get());
    EXPECT_EQ(text, copy.Get());
  }
}

TEST_F(OwnedWideStringTest, FailedNarrowConversionGivesNull) {
  OwnedWideString s("abc");
  fake::FailNext("WideCharToMultiByte");
  NarrowCopy copy(s);
  EXPECT_EQ(nullptr, copy.Get());
}

}  // namespace
}  // namespace unit
