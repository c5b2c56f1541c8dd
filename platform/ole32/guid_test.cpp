// GUID text: the exact form StringFromGUID2 writes, and what CLSIDFromString accepts.
#include <gtest/gtest.h>
#include <objbase.h>

#include <cwchar>

namespace {

constexpr GUID kProvider = {0xD57B64F7, 0x8728, 0x4717, {0xBD, 0x9C, 0xA0, 0x97, 0x19, 0xA0, 0x6B, 0xA0}};

TEST(GuidText, WritesUpperCaseBracedFormOfThirtyNineCharacters) {
  WCHAR text[CHARS_IN_GUID + 2];
  wmemset(text, L'#', CHARS_IN_GUID + 2);
  EXPECT_EQ(StringFromGUID2(kProvider, text, CHARS_IN_GUID), 39);
  EXPECT_STREQ(text, L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}");
  EXPECT_EQ(text[CHARS_IN_GUID], L'#');

  wmemset(text, L'#', CHARS_IN_GUID + 2);
  EXPECT_EQ(StringFromGUID2(kProvider, text, CHARS_IN_GUID - 1), 0);
  EXPECT_EQ(text[0], L'#') << "a short buffer is left alone";
  EXPECT_EQ(StringFromGUID2(GUID_NULL, text, 64), 39);
  EXPECT_STREQ(text, L"{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidText, RoundTripsInEitherCase) {
  const GUID guids[] = {kProvider, IID_IUnknown, GUID_NULL,
                        {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};
  for (const GUID& guid : guids) {
    WCHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(guid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromString(text, &clsid), S_OK) << text;
    EXPECT_EQ(clsid, guid);
    for (WCHAR& c : text) c = static_cast<WCHAR>(towlower(c));
    ASSERT_EQ(CLSIDFromString(text, &clsid), S_OK) << text;
    EXPECT_EQ(clsid, guid);
  }
}

TEST(GuidText, MalformedTextIsRefused) {
  const WCHAR* bad[] = {
      L"",
      L"D57B64F7-8728-4717-BD9C-A09719A06BA0",     // no braces
      L"{D57B64F7-8728-4717-BD9C-A09719A06BA0}x",  // trailing text
      L"{D57B64G7-8728-4717-BD9C-A09719A06BA0}",   // not hex
      L"QZWmiMemory.MemoryModule",  // a ProgID that nobody registered
  };
  for (const WCHAR* text : bad) {
    CLSID clsid = kProvider;
    EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING) << text;
    EXPECT_EQ(clsid, CLSID_NULL) << text;
  }
  CLSID clsid = kProvider;
  EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_NULL);
}

}  // namespace
