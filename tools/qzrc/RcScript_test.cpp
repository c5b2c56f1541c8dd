// Tests of the resource compiler: what it accepts, what it refuses and where, and the block layout.
#include "RcScript.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>

namespace qzrc {
namespace {

struct Refused { const char* script; const char* error; };

TEST(ResourceCompilerScript, RefusesMalformedScriptsNamingFileAndLine) {
  const Refused cases[] = {
      {"STRINGTABLE\nBEGIN\n  100 \"open\nEND\n", "t.rc:3: string not closed on its line"},
      {"STRINGTABLE\nBEGIN\n  100 \"a\"\n", "t.rc:1: STRINGTABLE not closed by END or }"},
      {"STRINGTABLE\n  100 \"a\"\nEND\n", "t.rc:2: STRINGTABLE needs BEGIN or {"},
      {"STRINGTABLE\nBEGIN\n  100 \"a\"\n  100 \"b\"\nEND\n", "t.rc:4: string 100 defined twice for language 1033"},
      {"STRINGTABLE\nBEGIN\n  IDS_NOWHERE \"a\"\nEND\n", "t.rc:3: unknown name 'IDS_NOWHERE'"},
      {"STRINGTABLE\nBEGIN\n  65536 \"a\"\nEND\n", "t.rc:3: string number 65536 out of range 0 to 65535"},
      {"STRINGTABLE\nBEGIN\n  101\n  102 \"b\"\nEND\n", "t.rc:4: expected the text of string 101"},
      {"STRINGTABLE\nBEGIN\n  \"a\" 100\nEND\n", "t.rc:3: expected a string number, found '\"a\"'"},
      {"STRINGTABLE\nBEGIN\n  100 \"bad \\q escape\"\nEND\n", "t.rc:3: unknown escape sequence \\q"},
      {"STRINGTABLE\nBEGIN\n  100 \"\xC3\x28\"\nEND\n", "t.rc:3: string is not valid UTF-8"},
      {"\n\nLANGUAGE 9\nSTRINGTABLE { 1 \"a\" }\n", "t.rc:4: LANGUAGE needs a language and a sublanguage separated by a comma"},
      {"LANGUAGE 0x400, 1\nSTRINGTABLE { 1 \"a\" }\n", "t.rc:1: language out of range"},
      {"1 DIALOG 0, 0, 10, 10\n", "t.rc:1: unsupported statement '1'"},
      {"/* never closed\nSTRINGTABLE { 1 \"a\" }\n", "t.rc:1: comment not closed"},
      {"#if 1\nSTRINGTABLE { 1 \"a\" }\n#endif\n", "t.rc:1: unsupported directive #if"},
      {"#include \"missing.h\"\n", "t.rc:1: cannot find included file 'missing.h'"},
      {"STRINGTABLE { 1 \"a\" ; }\n", "t.rc:1: unexpected character ';'"},
      {"STRINGTABLE { 12ab \"a\" }\n", "t.rc:1: '12ab' is not a number"},
      {"// nothing but a comment\n", "t.rc:2: no STRINGTABLE in the file"},
  };
  for (const Refused& c : cases) {
    ResourceScript script;
    std::string error;
    EXPECT_FALSE(ParseScript(c.script, "t.rc", {}, script, error)) << c.script;
    EXPECT_EQ(error, c.error) << c.script;
  }
}

struct Accepted { const char* script; uint16_t language; uint32_t number; std::u16string text; };

TEST(ResourceCompilerScript, ReadsTextsEscapesLanguagesAndNames) {
  const Accepted cases[] = {
      {"STRINGTABLE\nBEGIN\n  100 \"Memory Module Socket Location %d \"\nEND\n", 1033, 100,
       u"Memory Module Socket Location %d "},
      {"STRINGTABLE { 7, \"say \"\"hi\"\" \\\"now\\\"\" }", 1033, 7, u"say \"hi\" \"now\""},
      {"STRINGTABLE { 7 \"a\\tb\\nc\\\\d\\x41\" }", 1033, 7, u"a\tb\nc\\dA"},
      {"STRINGTABLE { 7 L\"wide\" }", 1033, 7, u"wide"},
      {"STRINGTABLE { 0x1F \"hex\" }", 1033, 31, u"hex"},
      {"STRINGTABLE { 7 \"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\" }", 1033, 7, u"\u00FC\u20AC\U0001F600"},
      {"// a // \"comment\"\nSTRINGTABLE /* x */ { 7 \"not // a comment\" }", 1033, 7, u"not // a comment"},
      {"LANGUAGE LANG_GERMAN, SUBLANG_GERMAN\nSTRINGTABLE { 7 \"Ja\" }", 1031, 7, u"Ja"},
      {"LANGUAGE 0x0c, 1\nSTRINGTABLE DISCARDABLE { 7 \"Oui\" }", 1036, 7, u"Oui"},
      {"STRINGTABLE LANGUAGE LANG_GERMAN, SUBLANG_GERMAN { 7 \"Ja\" }", 1031, 7, u"Ja"},
      {"#define IDS_A 40\n#define IDS_B (IDS_A)\n#pragma code_page(65001)\nSTRINGTABLE { IDS_B \"named\" }", 1033, 40,
       u"named"},
      {"STRINGTABLE { 7 \"\" }", 1033, 7, u""},
  };
  for (const Accepted& c : cases) {
    ResourceScript script;
    std::string error;
    ASSERT_TRUE(ParseScript(c.script, "t.rc", {}, script, error)) << c.script << ": " << error;
    ASSERT_EQ(script.tables.size(), 1u) << c.script;
    EXPECT_EQ(script.tables[0].language, c.language) << c.script;
    ASSERT_EQ(script.tables[0].strings.count(c.number), 1u) << c.script;
    EXPECT_EQ(script.tables[0].strings.at(c.number), c.text) << c.script;
  }
}

TEST(ResourceCompilerScript, HeadersGiveNamesAndErrorsPointIntoThem) {
  std::string dir = ::testing::TempDir();
  std::ofstream(dir + "/ids.h") << "// ids\n#pragma once\n#ifndef X\n#define IDS_ONE 1 /* one */\nint unused;\n#endif\n";
  std::ofstream(dir + "/bad.h") << "#define IDS_ONE 1\n\n#include \"none.h\"\n";
  ResourceScript script;
  std::string error;
  ASSERT_TRUE(ParseScript("#include <ids.h>\nSTRINGTABLE { IDS_ONE \"x\" }", "t.rc", {dir}, script, error)) << error;
  EXPECT_EQ(script.tables[0].strings.at(1), u"x");
  EXPECT_EQ(script.files, std::vector<std::string>{dir + "/ids.h"});
  ResourceScript broken;
  EXPECT_FALSE(ParseScript("#include \"bad.h\"\nSTRINGTABLE { 1 \"x\" }", "t.rc", {dir}, broken, error));
  EXPECT_EQ(error, dir + "/bad.h:3: cannot find included file 'none.h'");
}

TEST(ResourceCompilerScript, TablesOfSeveralLanguagesStaySeparateInLanguageOrder) {
  ResourceScript script;
  std::string error;
  ASSERT_TRUE(ParseScript("LANGUAGE 9, 1\nSTRINGTABLE { 1 \"one\" }\nLANGUAGE 7, 1\nSTRINGTABLE { 1 \"eins\" }\n"
                          "LANGUAGE 9, 1\nSTRINGTABLE { 2 \"two\" }",
                          "t.rc", {}, script, error))
      << error;
  ASSERT_EQ(script.tables.size(), 2u);
  EXPECT_EQ(std::tuple(script.tables[0].language, script.tables[0].strings.size(), script.tables[1].language,
                       script.tables[1].strings.size()),
            std::tuple(1031, 1u, 1033, 2u));
}

TEST(ResourceCompilerBlocks, SixteenCountedEntriesWithEmptyOnesAsZeroLength) {
  StringTable table;
  table.strings = {{17, u"ab"}, {30, u"\U0001F600"}, {32, u"next block"}};
  const std::vector<uint8_t> expected = {
      0, 0,                  // 16
      2, 0, 'a', 0, 'b', 0,  // 17
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 18 to 29
      2, 0, 0x3D, 0xD8, 0x00, 0xDE,  // 30: a surrogate pair
      0, 0,                          // 31
  };
  EXPECT_EQ(BuildStringBlock(table, 2), expected);
  EXPECT_TRUE(BuildStringBlock(table, 1).empty());
  EXPECT_TRUE(BuildStringBlock(table, 0).empty());
  EXPECT_EQ(BuildStringBlock(table, 3).size(), 2u * 16 + 2 * 10);
}

TEST(ResourceCompilerOutput, OneEntryPerBlockAndLanguageFiledUnderTheModuleName) {
  ResourceScript script;
  std::string error;
  ASSERT_TRUE(ParseScript("LANGUAGE 7, 1\nSTRINGTABLE { 100 \"a\" }\nLANGUAGE 9, 1\nSTRINGTABLE { 100 \"a\" 140 \"b\" }",
                          "t.rc", {}, script, error));
  std::string source = GenerateSource(script, "Some.dll", "t.rc");
  EXPECT_NE(source.find("{6, 7, 1031, sizeof(kStrings1031Block7), kStrings1031Block7, nullptr},\n"
                        "    {6, 7, 1033, sizeof(kStrings1033Block7), kStrings1033Block7, nullptr},\n"
                        "    {6, 9, 1033, sizeof(kStrings1033Block9), kStrings1033Block9, nullptr},\n};"),
            std::string::npos)
      << source;
  EXPECT_NE(source.find("QzRegisterResources(kResources, \"Some.dll\", kResources, 3);"), std::string::npos);
}

}  // namespace
}  // namespace qzrc
