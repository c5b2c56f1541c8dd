// BSTR lengths, the length prefix and termination.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

namespace {

DWORD PrefixOf(BSTR bstr) {
  DWORD prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(bstr) - sizeof(DWORD), sizeof(DWORD));
  return prefix;
}

TEST(BstrLength, PrefixHoldsByteLengthAndStringIsTerminated) {
  struct Case {
    const OLECHAR* text;
    UINT chars;  // characters taken from text (SysAllocStringLen)
  };
  const Case cases[] = {{L"", 0}, {L"a", 1}, {L"Memory", 6}, {L"Mem\0ory", 7}, {L"abcdef", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chars);
    BSTR bstr = SysAllocStringLen(c.text, c.chars);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), c.chars);
    EXPECT_EQ(SysStringByteLen(bstr), c.chars * sizeof(OLECHAR));
    EXPECT_EQ(PrefixOf(bstr), c.chars * sizeof(OLECHAR));
    EXPECT_EQ(bstr[c.chars], L'\0');
    EXPECT_EQ(std::memcmp(bstr, c.text, c.chars * sizeof(OLECHAR)), 0);
    SysFreeString(bstr);
  }
}

TEST(BstrLength, EachAllocatorGivesItsLengthAndTerminatesTheData) {
  struct Case {
    const char* what;
    BSTR bstr;
    UINT chars;
    UINT bytes;
  };
  const Case cases[] = {
      {"SysAllocString stops at the first null", SysAllocString(L"Mem\0ory"), 3, 3 * sizeof(OLECHAR)},
      {"a null source gives a buffer of that length", SysAllocStringLen(nullptr, 5), 5, 5 * sizeof(OLECHAR)},
      {"an odd byte length keeps its bytes", SysAllocStringByteLen("abcdefg", 7), 7 / sizeof(OLECHAR), 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.bstr, nullptr);
    EXPECT_EQ(SysStringLen(c.bstr), c.chars);
    EXPECT_EQ(SysStringByteLen(c.bstr), c.bytes);
    EXPECT_EQ(PrefixOf(c.bstr), c.bytes);
    EXPECT_EQ(reinterpret_cast<char*>(c.bstr)[c.bytes], '\0') << "the byte after the data";
    SysFreeString(c.bstr);
  }
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

}  // namespace
