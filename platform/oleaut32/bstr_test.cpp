// BSTR lengths, the length prefix, termination and reallocation.
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

TEST(BstrLength, SysAllocStringStopsAtTheFirstNull) {
  BSTR bstr = SysAllocString(L"Mem\0ory");
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 3u);
  EXPECT_STREQ(bstr, L"Mem");
  SysFreeString(bstr);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(BstrLength, NullSourceGivesATerminatedBufferOfThatLength) {
  BSTR bstr = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 5u);
  EXPECT_EQ(bstr[5], L'\0');
  SysFreeString(bstr);
}

TEST(BstrLength, OddByteLengthKeepsItsBytesAndRoundsDownInCharacters) {
  BSTR bstr = SysAllocStringByteLen("abcdefg", 7);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringByteLen(bstr), 7u);
  EXPECT_EQ(SysStringLen(bstr), 1u);
  EXPECT_EQ(std::memcmp(bstr, "abcdefg", 7), 0);
  EXPECT_EQ(reinterpret_cast<char*>(bstr)[7], '\0') << "the byte after the data";
  EXPECT_EQ(bstr[2], L'\0');
  SysFreeString(bstr);
}

TEST(BstrLength, NullStringHasLengthZeroAndFreesSilently) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(BstrLength, LengthsBeyondThirtyTwoBitBytesAreRefused) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x40000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(BstrRealloc, ReplacesTheStringAndAcceptsItsOwnCharacters) {
  BSTR bstr = SysAllocString(L"DIMM A1");
  ASSERT_TRUE(SysReAllocString(&bstr, bstr + 5));
  EXPECT_STREQ(bstr, L"A1");
  EXPECT_EQ(SysStringLen(bstr), 2u);
  ASSERT_TRUE(SysReAllocString(&bstr, nullptr));
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 0u);
  ASSERT_TRUE(SysReAllocStringLen(&bstr, L"Board 2", 5));
  EXPECT_STREQ(bstr, L"Board");
  SysFreeString(bstr);
  EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
}

}  // namespace
