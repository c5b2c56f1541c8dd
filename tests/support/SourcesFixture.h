// A test of the system's lists with a fresh view of the hardware: the platform flags cleared and no
// SMBIOS table held before and after each test, and machines loaded from text or bundled files.
// Header-only: it reaches the system's globals, which only the system's own tests link.
#pragma once

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <vector>

#include "sources/HealthDriver.h"
#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"
#include "support/CommonLog.h"
#include "tests/support/SystemFixture.h"

namespace qztest {

// Makes the machine described by `json` the current one.
inline void LoadMachine(const std::string& json) {
  char error[512] = {};
  ASSERT_TRUE(QzLoadMachineText(json.c_str(), "test.json", error, sizeof error)) << error;
}

// A machine's "journal": entries of a severity and raw data.
using JournalEntries = std::vector<std::pair<int, std::vector<BYTE>>>;
inline std::string Journal(const JournalEntries& entries) {
  std::string json = "[";
  for (const auto& [severity, raw] : entries) {
    json += (json.size() > 1 ? ", " : "") + (R"({"severity": )" + std::to_string(severity)) + R"(, "rawData": ")";
    for (BYTE b : raw) json += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    json += "\"}";
  }
  return json + "]";
}

// A structure as the walk copies it: its bytes up to the capacity asked for, and its strings.
struct FoundStructure {
  std::vector<BYTE> data;
  SmbiosStrings strings;
};

// Every structure of `type` in the held table (loading one when none is held), in order.
inline std::vector<FoundStructure> FindAll(BYTE type, BYTE capacity = kType17CopyLength) {
  std::vector<FoundStructure> found;
  for (;;) {
    FoundStructure s{std::vector<BYTE>(capacity), {}};
    BYTE length = capacity;
    const WORD index = static_cast<WORD>(found.size());
    if (!g_SmbiosTable.FindStructure(type, index, s.data.data(), length, s.strings)) return found;
    s.data.resize(length);
    found.push_back(std::move(s));
  }
}

class SourcesTest : public SystemTest {
 protected:
  void SetUp() override { ResetSources(); }
  void TearDown() override {
    ResetSources();
    SystemTest::TearDown();
  }
  static void ResetSources() {
    g_bHealthDriverPresent = g_bAmpStatusValid = g_bProcessorBoardMemory = g_bDriverMemoryData = false;
    g_bPrimaryDriverDevice = true;
    g_SmbiosTable.Unload();
  }
  void LoadText(const std::string& json) {
    ResetSources();
    LoadMachine(json);
  }
  // Turns the server log on at the verbose level, as the module does when so configured.
  static void StartLog() {
    SetRegDword(L"Software\\Tarnwell\\WBEM", L"LogLevel", 2);
    g_CommonLog.LogInit(L"QZWBEMServer", L"QZWmiMemory.DLL");
  }
  static std::wstring Log() { return ReadUtf16File(L"C:\\Windows\\system32\\wbem\\logs\\QZWBEMServer.log"); }
  static bool Logged(const std::wstring& line) { return Log().find(line) != std::wstring::npos; }
  void LoadFile(const char* name) {
    ResetSources();
    char error[512] = {};
    ASSERT_TRUE(QzLoadMachine((std::string(QZ_MACHINES_DIR) + "/" + name).c_str(), error, sizeof error)) << error;
  }
};

// A SourcesTest of one record list whose records carry a tag.
template <class List>
class ListTest : public SourcesTest {
 protected:
  // Rebuilds the list and returns its tags in order.
  std::vector<std::wstring> Build() {
    EXPECT_NE(list.Update(nullptr), 0u);
    std::vector<std::wstring> tags;
    for (DWORD i = 0; i < list.GetCount(); ++i) tags.push_back(list.GetAt(i)->GetTag());
    return tags;
  }

  List list;
};

}  // namespace qztest
