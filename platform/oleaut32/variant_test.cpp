// The automation values: BSTR lengths, the length prefix and termination; SAFEARRAY bounds and
// their errors, and ownership of strings; VARIANT ownership: what VariantClear frees and what
// VariantCopy duplicates.
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

TEST(SafeArrayBounds, VectorBoundsAndTheirErrors) {
  struct Case { LONG lower; ULONG count; LONG upper; };
  const Case cases[] = {{0, 3, 2}, {-5, 2, -4}, {0, 0, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lower);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, c.lower, c.count);
    ASSERT_NE(psa, nullptr) << "an empty vector is still an array";
    LONG value = 0x5A5A5A5A;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, c.lower);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, c.upper);
    value = 0x5A5A5A5A;
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &value), DISP_E_BADINDEX);
    EXPECT_EQ(value, 0x5A5A5A5A);
    LONG element = 1;
    for (LONG index : {c.lower - 1, static_cast<LONG>(c.lower + c.count)}) {
      EXPECT_EQ(SafeArrayPutElement(psa, &index, &element), DISP_E_BADINDEX) << index;
      EXPECT_EQ(SafeArrayGetElement(psa, &index, &element), DISP_E_BADINDEX) << index;
    }
    void* data = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
}

TEST(SafeArrayOwnership, StringsAreCopiedInAndOut) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(psa, nullptr);
  BSTR text = SysAllocString(L"DIMM 1");
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, text), S_OK);
  ASSERT_EQ(SafeArrayPutElement(psa, &index, text), S_OK) << "replacing frees the old copy";
  SysFreeString(text);

  BSTR out = reinterpret_cast<BSTR>(0x1);
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_STREQ(out, L"DIMM 1");
  BSTR* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_NE(out, data[0]);
  EXPECT_EQ(data[1], nullptr);
  SafeArrayUnaccessData(psa);
  SysFreeString(out);

  index = 1;
  out = reinterpret_cast<BSTR>(0x1);
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(out, nullptr) << "a null element comes out as a null string";
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);  // frees "DIMM 1"; ASan reports a leak otherwise
}

}  // namespace
