// UTF-8 to the platform's wide text: every sequence length, and bytes that form no character.
#include <gtest/gtest.h>

#include <string>

#include "kernel32/text.h"

namespace {

TEST(Utf8Text, DecodesEachSequenceAndReplacesWhatIsNoCharacter) {
  struct Case {
    std::string bytes;
    std::wstring text;
  };
  const Case cases[] = {
      {"", L""},
      {"QZ_MemoryModule", L"QZ_MemoryModule"},
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
      {"\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9"},
      {"\xE2\x82\xAC 5", L"\u20AC 5"},
      {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
      {"\xFF", L"\uFFFD"},
      {"x\x80y", L"x\uFFFDy"},
      {"\xC3", L"\uFFFD"},                     // cut short at the end
      {"\xE2\x82x", L"\uFFFD\uFFFDx"},         // cut short by a character: each byte replaced
      {"\xF0\x9F\x98", L"\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(qz::FromUtf8(c.bytes), c.text);
  }
  EXPECT_EQ(qz::ToUtf8(qz::FromUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

}  // namespace
