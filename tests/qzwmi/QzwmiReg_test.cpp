// `qzwmi reg`: what it writes is what the registry holds, what it prints is the registry tool's
// format byte for byte, and what it cannot parse it refuses with the tool's messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <winreg.h>

#include <vector>

#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::ExpectRun;
using qzwmitest::Outcome;
using qzwmitest::RunQzwmi;

const std::string kDone = "The operation completed successfully.\n";
const std::string kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";
const std::string kCanceled = "The operation was canceled by the user.\n";

// The type and bytes of a value, read in this process from the root the command wrote.
struct Stored {
  LSTATUS status = -1;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
Stored ReadStored(const wchar_t* key, const wchar_t* name) {
  Stored stored;
  HKEY handle = nullptr;
  stored.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
  if (stored.status != ERROR_SUCCESS) return stored;
  DWORD size = 0;
  stored.status = RegQueryValueExW(handle, name, nullptr, &stored.type, nullptr, &size);
  stored.data.resize(size);
  if (stored.status == ERROR_SUCCESS)
    stored.status = RegQueryValueExW(handle, name, nullptr, &stored.type, stored.data.data(), &size);
  RegCloseKey(handle);
  return stored;
}

std::vector<BYTE> WideBytes(const std::wstring& text) {
  const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
  return std::vector<BYTE>(begin, begin + text.size() * sizeof(WCHAR));
}

// A REG_SZ as stored: the text and its terminating NUL.
std::vector<BYTE> Sz(const wchar_t* text) { return WideBytes(std::wstring(text, wcslen(text) + 1)); }

TEST(QzwmiReg, AddStoresEachTypeAsTheRegistryKeepsIt) {
  const std::wstring multi(L"a\0bc\0\0", 6);
  const struct {
    std::vector<std::string> args;
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
  } cases[] = {
      {{"/v", "Text", "/d", "hello world"}, L"Text", REG_SZ, Sz(L"hello world")},
      {{"/v", "Empty"}, L"Empty", REG_SZ, Sz(L"")},
      {{"/v", "Count", "/t", "REG_DWORD", "/d", "74"}, L"Count", REG_DWORD, {74, 0, 0, 0}},
      {{"/v", "Hex", "/t", "reg_dword", "/d", "0x1A2b"}, L"Hex", REG_DWORD, {0x2B, 0x1A, 0, 0}},
      {{"/v", "Max", "/t", "REG_DWORD", "/d", "4294967295"}, L"Max", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
      {{"/v", "Zero", "/t", "REG_DWORD"}, L"Zero", REG_DWORD, {0, 0, 0, 0}},
      {{"/v", "Bytes", "/t", "REG_BINARY", "/d", "00ff10Ab"}, L"Bytes", REG_BINARY, {0x00, 0xFF, 0x10, 0xAB}},
      {{"/v", "NoBytes", "/t", "REG_BINARY"}, L"NoBytes", REG_BINARY, {}},
      {{"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\x"}, L"Path", REG_EXPAND_SZ, Sz(L"%SystemRoot%\\x")},
      {{"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, L"List", REG_MULTI_SZ, WideBytes(multi)},
      {{"/v", "Sep", "/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,bc"}, L"Sep", REG_MULTI_SZ, WideBytes(multi)},
      {{"/ve", "/d", "default"}, L"", REG_SZ, Sz(L"default")},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"reg", "add", "HKLM\\Software\\QzTest"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ExpectRun(args, 0, kDone, "");
    Stored stored = ReadStored(L"Software\\QzTest", c.name);
    EXPECT_EQ(stored.status, ERROR_SUCCESS) << c.args[1];
    EXPECT_EQ(stored.type, c.type) << c.args[1];
    EXPECT_EQ(stored.data, c.data) << c.args[1];
  }
}

TEST(QzwmiReg, QueryPrintsValuesAndSubkeysInTheToolsFormat) {
  for (const std::vector<std::string>& add : std::vector<std::vector<std::string>>{
           {"/v", "Name", "/d", "hello"},
           {"/v", "Count", "/t", "REG_DWORD", "/d", "74"},
           {"/v", "Bytes", "/t", "REG_BINARY", "/d", "0102fF"},
           {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"},
           {"/ve", "/d", "def"}}) {
    std::vector<std::string> args = {"reg", "add", "HKEY_LOCAL_MACHINE\\Software\\QzTest"};
    args.insert(args.end(), add.begin(), add.end());
    ExpectRun(args, 0, kDone, "");
  }
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest\\Sub", "/v", "X", "/d", "y"}, 0, kDone, "");
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest\\Empty"}, 0, kDone, "");

  const std::string values =
      "    (Default)    REG_SZ    def\n"
      "    Bytes    REG_BINARY    0102FF\n"
      "    Count    REG_DWORD    0x4a\n"
      "    List    REG_MULTI_SZ    a\\0b\n"
      "    Name    REG_SZ    hello\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"HKLM\\Software\\QzTest"},
       "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\n" + values +
           "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\\Empty\nHKEY_LOCAL_MACHINE\\Software\\QzTest\\Sub\n"},
      // The path is printed as typed, after the root's long name, without a trailing backslash.
      {{"hklm\\software\\qztest\\", "/S"},
       "\nHKEY_LOCAL_MACHINE\\software\\qztest\n" + values +
           "\nHKEY_LOCAL_MACHINE\\software\\qztest\\Empty\nHKEY_LOCAL_MACHINE\\software\\qztest\\Sub\n"
           "    X    REG_SZ    y\n\n"},
      {{"HKLM\\Software\\QzTest\\Empty"}, "\n"},
      // A value name shows as stored, whatever its case on the command line.
      {{"HKLM\\Software\\QzTest", "-v", "count"}, "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\n    Count    REG_DWORD    0x4a\n\n"},
      {{"HKLM\\Software\\QzTest", "/ve"}, "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\n    (Default)    REG_SZ    def\n\n"},
      {{"HKLM\\Software\\QzTest\\Sub", "/ve"},
       "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\\Sub\n    (Default)    REG_SZ    (value not set)\n\n"},
      {{"HKLM\\Software\\QzTest", "/v", "X", "/s"},
       "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\\Sub\n    X    REG_SZ    y\n\nEnd of search: 1 match(es) found.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"reg", "query"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ExpectRun(args, 0, c.out, "");
  }
  ExpectRun({"reg", "query", "HKLM\\Software\\QzTest", "/v", "Missing"}, 1, "", kNotFound);
  ExpectRun({"reg", "query", "HKLM\\Software\\QzMissing"}, 1, "", kNotFound);
}

TEST(QzwmiReg, DeleteRemovesOneValueEveryValueOrTheWholeKey) {
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest", "/v", "A", "/d", "1"}, 0, kDone, "");
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest", "/v", "B", "/d", "2"}, 0, kDone, "");
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest", "/ve", "/d", "3"}, 0, kDone, "");
  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest\\Sub\\Leaf", "/v", "C", "/d", "4"}, 0, kDone, "");

  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/v", "a", "/f"}, 0, kDone, "");
  EXPECT_EQ(ReadStored(L"Software\\QzTest", L"A").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadStored(L"Software\\QzTest", L"B").status, ERROR_SUCCESS);
  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/v", "A", "/f"}, 1, "", kNotFound);

  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/ve", "/f"}, 0, kDone, "");
  EXPECT_EQ(ReadStored(L"Software\\QzTest", L"").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadStored(L"Software\\QzTest", L"B").status, ERROR_SUCCESS);

  ExpectRun({"reg", "add", "HKLM\\Software\\QzTest", "/v", "A", "/d", "1"}, 0, kDone, "");
  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/va", "/f"}, 0, kDone, "");
  ExpectRun({"reg", "query", "HKLM\\Software\\QzTest"}, 0, "\nHKEY_LOCAL_MACHINE\\Software\\QzTest\\Sub\n", "");
  // Values below the key are kept by /va.
  EXPECT_EQ(ReadStored(L"Software\\QzTest\\Sub\\Leaf", L"C").status, ERROR_SUCCESS);

  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/f"}, 0, kDone, "");
  EXPECT_EQ(ReadStored(L"Software\\QzTest\\Sub\\Leaf", L"C").status, ERROR_FILE_NOT_FOUND);
  ExpectRun({"reg", "query", "HKLM\\Software\\QzTest"}, 1, "", kNotFound);
  ExpectRun({"reg", "delete", "HKLM\\Software\\QzTest", "/f"}, 1, "", kNotFound);
}

TEST(QzwmiReg, AsksBeforeOverwritingOrDeletingUnlessForced) {
  const std::string key = "HKLM\\Software\\QzTest", full = "HKEY_LOCAL_MACHINE\\Software\\QzTest";
  const std::string overwrite = "Value A exists, overwrite(Yes/No)? ";
  ExpectRun({"reg", "add", key, "/v", "A", "/d", "old"}, 0, kDone, "");
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    LSTATUS after;  // the value A afterwards
    std::vector<BYTE> data;
  } cases[] = {
      {{"add", key, "/v", "A", "/d", "new"}, "n\n", 1, overwrite + kCanceled, ERROR_SUCCESS, Sz(L"old")},
      // An empty answer, or none at all (standard input closed), declines.
      {{"add", key, "/v", "A", "/d", "new"}, "\n", 1, overwrite + kCanceled, ERROR_SUCCESS, Sz(L"old")},
      {{"add", key, "/v", "A", "/d", "new"}, "", 1, overwrite + "\n" + kCanceled, ERROR_SUCCESS, Sz(L"old")},
      {{"add", key, "/v", "A", "/d", "new"}, "yes\n", 0, overwrite + kDone, ERROR_SUCCESS, Sz(L"new")},
      {{"add", key, "/v", "A", "/d", "forced", "/f"}, "n\n", 0, kDone, ERROR_SUCCESS, Sz(L"forced")},
      {{"delete", key, "/v", "A"}, "N\n", 1, "Delete the registry value A (Yes/No)? " + kCanceled, ERROR_SUCCESS, Sz(L"forced")},
      {{"delete", key}, "no\n", 1, "Permanently delete the registry key " + full + " (Yes/No)? " + kCanceled, ERROR_SUCCESS,
       Sz(L"forced")},
      {{"delete", key, "/va"}, "y\n", 0, "Delete all values under the registry key " + full + " (Yes/No)? " + kDone,
       ERROR_FILE_NOT_FOUND, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"reg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.input);
    ExpectRun(args, c.status, c.out, "", c.input);
    Stored stored = ReadStored(L"Software\\QzTest", L"A");
    EXPECT_EQ(stored.status, c.after);
    if (c.after == ERROR_SUCCESS) {
      EXPECT_EQ(stored.data, c.data);
    }
  }
}

TEST(QzwmiReg, RefusesWhatItCannotParse) {
  const std::string addUsage = "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n";
  const std::string queryUsage = "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n";
  const std::string deleteUsage = "ERROR: Invalid syntax.\nType \"REG DELETE /?\" for usage.\n";
  const std::string regUsage = "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, regUsage},
      {{"copy", "HKLM\\Software"}, regUsage},
      {{"query"}, queryUsage},
      {{"query", "HKLM\\Software", "/v"}, queryUsage},                  // /v without a name
      {{"query", "HKLM\\Software", "/v", "A", "/ve"}, queryUsage},      // two value names
      {{"query", "HKLM\\Software", "/s", "/s"}, queryUsage},            // a switch twice
      {{"query", "HKLM\\Software", "/f"}, queryUsage},                  // add's switch
      {{"query", "HKLM\\Software", "extra"}, queryUsage},               // a stray argument
      {{"query", "HKXX\\Software"}, "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
      {{"query", "\\\\server\\HKLM\\Software"}, "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_QWORD", "/d", "1"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_DWORD", "/d", "4294967296"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_DWORD", "/d", "0x100000000"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_DWORD", "/d", "12x"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_DWORD", "/d", "-1"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_BINARY", "/d", "123"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_BINARY", "/d", "zz"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/v", "A", "/t", "REG_MULTI_SZ", "/s", "ab", "/d", "a"}, addUsage},
      {{"add", "HKLM\\Software\\QzTest", "/va"}, addUsage},
      {{"add", "HKLM"}, "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n"},
      {{"delete", "HKLM\\Software", "/v", "A", "/va"}, deleteUsage},
      {{"delete", "HKLM\\Software", "/s"}, deleteUsage},
      {{"delete", "HKCR", "/f"}, "ERROR: Invalid key name.\nType \"REG DELETE /?\" for usage.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"reg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ExpectRun(args, 2, "", c.err);
  }
  // What the errors point to exists.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"reg", "/?"}, {"reg", "query", "/?"}, {"reg", "delete", "/?"}}) {
    Outcome run = RunQzwmi(args);
    EXPECT_EQ(run.status, 0) << args.back();
    EXPECT_EQ(run.out.rfind("Usage:\n  REG ", 0), 0u) << run.out;
  }
  // Nothing refused was written.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QzTest", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
