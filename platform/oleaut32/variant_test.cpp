// BSTR lengths, the length prefix and termination, and VARIANT ownership: what VariantClear frees
// and what VariantCopy duplicates.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "tests/support/PlatformTest.h"

namespace {

using CountedUnknown = qztest::Counted<>;

TEST(BstrLength, EachAllocatorPrefixesTheByteLengthAndTerminatesTheData) {
  constexpr UINT W = sizeof(OLECHAR);
  struct Case { const char* what; BSTR bstr; UINT chars, bytes; const void* data; };  // data: null, not checked
  const Case cases[] = {
      {"empty", SysAllocStringLen(L"", 0), 0, 0, L""},
      {"one character", SysAllocStringLen(L"a", 1), 1, W, L"a"},
      {"a word", SysAllocStringLen(L"Memory", 6), 6, 6 * W, L"Memory"},
      {"an inner null is kept", SysAllocStringLen(L"Mem\0ory", 7), 7, 7 * W, L"Mem\0ory"},
      {"the length cuts the text", SysAllocStringLen(L"abcdef", 3), 3, 3 * W, L"abc"},
      {"SysAllocString stops at the first null", SysAllocString(L"Mem\0ory"), 3, 3 * W, L"Mem"},
      {"a null source gives a buffer of that length", SysAllocStringLen(nullptr, 5), 5, 5 * W, nullptr},
      {"an odd byte length keeps its bytes", SysAllocStringByteLen("abcdefg", 7), 7 / W, 7, "abcdefg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.bstr, nullptr);
    EXPECT_EQ(SysStringLen(c.bstr), c.chars);
    EXPECT_EQ(SysStringByteLen(c.bstr), c.bytes);
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<char*>(c.bstr) - sizeof(DWORD), sizeof(DWORD));
    EXPECT_EQ(prefix, c.bytes);
    EXPECT_EQ(reinterpret_cast<char*>(c.bstr)[c.bytes], '\0') << "the byte after the data";
    if (c.bytes % W == 0) {
      EXPECT_EQ(c.bstr[c.chars], L'\0');
    }
    if (c.data) {
      EXPECT_EQ(std::memcmp(c.bstr, c.data, c.bytes), 0);
    }
    SysFreeString(c.bstr);
  }
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(VariantClear, ReleasesWhatItOwnsAndLeavesEmpty) {
  CountedUnknown unknown;
  VARIANT v;
  v.vt = VT_UNKNOWN;
  v.punkVal = &unknown;
  unknown.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(unknown.refs, 1u);

  // By reference: the referenced value is not the variant's.
  IUnknown* held = &unknown;
  v.vt = VT_UNKNOWN | VT_BYREF;
  v.byref = &held;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(unknown.refs, 1u);
  EXPECT_EQ(held, &unknown);

  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"freed by ASan's check");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(VariantCopy, DuplicatesStringsAndArraysAddRefsInterfacesAndKeepsNullStringsNull) {
  VARIANT source;
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocString(L"17179869184");
  VARIANT dest = qztest::Poisoned();
  VariantInit(&dest);
  ASSERT_EQ(VariantCopy(&dest, &source), S_OK);
  EXPECT_EQ(dest.vt, VT_BSTR);
  EXPECT_NE(dest.bstrVal, source.bstrVal);
  EXPECT_STREQ(dest.bstrVal, L"17179869184");
  EXPECT_EQ(SysStringByteLen(dest.bstrVal), SysStringByteLen(source.bstrVal));

  // Copying over a value frees the old one first (ASan reports the leak otherwise).
  CountedUnknown unknown;
  VARIANT object;
  object.vt = VT_UNKNOWN;
  object.punkVal = &unknown;
  ASSERT_EQ(VariantCopy(&dest, &object), S_OK);
  EXPECT_EQ(dest.punkVal, &unknown);
  EXPECT_EQ(unknown.refs, 2u);
  EXPECT_EQ(VariantClear(&dest), S_OK);
  EXPECT_EQ(unknown.refs, 1u);

  VARIANT array;
  array.vt = VT_ARRAY | VT_BSTR;
  array.parray = SafeArrayCreateVector(VT_BSTR, 3, 1);
  LONG index = 3;
  ASSERT_EQ(SafeArrayPutElement(array.parray, &index, source.bstrVal), S_OK);
  ASSERT_EQ(VariantCopy(&dest, &array), S_OK);
  ASSERT_NE(dest.parray, array.parray);
  BSTR* original = nullptr;
  BSTR* copied = nullptr;
  ASSERT_EQ(SafeArrayAccessData(array.parray, reinterpret_cast<void**>(&original)), S_OK);
  ASSERT_EQ(SafeArrayAccessData(dest.parray, reinterpret_cast<void**>(&copied)), S_OK);
  EXPECT_NE(copied[0], original[0]);
  EXPECT_STREQ(copied[0], L"17179869184");
  SafeArrayUnaccessData(array.parray);
  SafeArrayUnaccessData(dest.parray);
  LONG lower = -1;
  EXPECT_EQ(SafeArrayGetLBound(dest.parray, 1, &lower), S_OK);
  EXPECT_EQ(lower, 3);

  EXPECT_EQ(VariantClear(&array), S_OK);
  EXPECT_EQ(VariantClear(&source), S_OK);

  // A null string stays null, not an empty one.
  source.vt = VT_BSTR;
  source.bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(&dest, &source), S_OK);
  EXPECT_EQ(dest.vt, VT_BSTR);
  EXPECT_EQ(dest.bstrVal, nullptr);
}

}  // namespace
