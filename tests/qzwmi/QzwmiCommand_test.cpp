// The built qzwmi as a user runs it: its exit statuses and error lines, both formats of the
// platform's own classes, the separation of provider output from results, registration of modules
// and MOF files kept for later processes. The golden outputs run it on every bundled machine.
#include <gtest/gtest.h>
#include <windows.h>
#include <winreg.h>

#include <filesystem>

#include "Setup.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;
using qzwmitest::Outcome;
using qzwmitest::RunQzwmi;
using qzwmitest::WriteWholeFile;

const std::string kLog = "drive_c/windows/system32/wbem/logs/provider-stdout.log";

TEST(QzwmiCommand, HelpExitsZeroAndShowsExamples) {
  Outcome run = RunQzwmi({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("\nExamples:\n  qzwmi enum QZ_MemoryModule\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  qzwmi reg query 'HKLM\\Software\\Tarnwell\\WBEM' /s\n"), std::string::npos) << run.out;
}

TEST(QzwmiCommand, VersionNamesTheBuildAndItsRevision) {
  Outcome run = RunQzwmi({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const std::string version = std::string("qzwmi ") + QZ_PROJECT_VERSION;
  if (std::filesystem::exists(QZ_SOURCE_DIR "/.git")) {
    EXPECT_EQ(run.out.rfind(version + " (git ", 0), 0u) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - 2), ")\n") << run.out;
  } else {
    EXPECT_EQ(run.out, version + "\n");
  }
}

TEST(QzwmiCommand, CommandLineErrorsExitTwoWithoutOutput) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "A subcommand is required\nRun with --help for more information.\n"},
      {{"--format", "xml", "enum", "X"}, "--format: xml not in {list,json}\nRun with --help for more information.\n"},
      {{"enum"}, "CLASS is required\nRun with --help for more information.\n"},
      {{"query"}, "WQL is required\nRun with --help for more information.\n"},
  };
  for (const auto& c : cases) {
    Outcome run = RunQzwmi(c.args);
    EXPECT_EQ(run.status, 2) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

TEST(QzwmiCommand, FailedRequestsNameTheirCodeOnOneLine) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"enum", "QZ_NoSuchClass"}, "qzwmi: WBEM_E_INVALID_CLASS (0x80041010)\n"},
      {{"get", "QZ_CommonLogEntry.RecordNumber=9"}, "qzwmi: WBEM_E_NOT_FOUND (0x80041002)\n"},
      {{"get", "QZ_CommonLogEntry.RecordNumber=="}, "qzwmi: WBEM_E_INVALID_OBJECT_PATH (0x8004103A)\n"},
      {{"query", "SELEC * FROM QZ_CommonLogEntry"}, "qzwmi: WBEM_E_INVALID_QUERY (0x80041017)\n"},
      // Nested far too deep to parse by recursion: refused, not a crash.
      {{"query", "SELECT * FROM QZ_CommonLogEntry WHERE " + std::string(25000, '(') + "RecordNumber = 1" +
                     std::string(25000, ')')},
       "qzwmi: WBEM_E_INVALID_QUERY (0x80041017)\n"},
      {{"--namespace", "root\\Nowhere", "enum", "DataStoreStatus"}, "qzwmi: WBEM_E_INVALID_NAMESPACE (0x8004100E)\n"},
      // A class of another namespace is not found in this one.
      {{"enum", "DataStoreStatus"}, "qzwmi: WBEM_E_INVALID_CLASS (0x80041010)\n"},
  };
  for (const auto& c : cases) {
    Outcome run = RunQzwmi(c.args);
    EXPECT_EQ(run.status, 1) << c.args[1];
    EXPECT_EQ(run.out, "") << c.args[1];
    EXPECT_EQ(run.err, c.err) << c.args[1];
  }
}

TEST(QzwmiCommand, BrokenMachineDescriptionExitsTwoWithItsMessage) {
  const std::string unknownField = RootFile("unknown-field.json");
  const std::string cutShort = RootFile("cut-short.json");
  WriteWholeFile(unknownField, "{ \"bogus\": 1 }\n");
  WriteWholeFile(cutShort, "{\n");
  const struct {
    std::string file;
    std::string err;
  } cases[] = {
      {unknownField, "qzwmi: " + unknownField + ": bogus: unknown field\n"},
      {cutShort, "qzwmi: " + cutShort +
                     ": line 2, column 1: syntax error while parsing object key - unexpected end of input; expected "
                     "string literal\n"},
      {RootFile("missing.json"), "qzwmi: " + RootFile("missing.json") + ": cannot be opened (No such file or directory)\n"},
  };
  for (const auto& c : cases) {
    Outcome run = RunQzwmi({"--machine", c.file, "enum", "QZ_CommonLogEntry"});
    EXPECT_EQ(run.status, 2) << c.file;
    EXPECT_EQ(run.out, "") << c.file;
    EXPECT_EQ(run.err, c.err) << c.file;
  }
}

TEST(QzwmiCommand, PlatformClassesInBothFormats) {
  const std::string journal =
      "RecordNumber = 1\nSeverity = 2\nDescription = System power-on\nRawData = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}\n"
      "\n"
      "RecordNumber = 2\nSeverity = 3\nDescription = Corrected memory error on board 2, socket 3\n"
      "RawData = {0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3}\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--namespace", "root\\wmi", "enum", "DataStoreStatus"},
       "InstanceName = DataStore_0\nActive = TRUE\nDataAvailable = TRUE\n"},
      {{"enum", "QZ_CommonLogEntry"}, journal},
      // A projection has no path.
      {{"--format", "json", "--namespace", "root\\wmi", "query", "SELECT Size FROM MSSmBios_RawSMBiosTables"},
       "[\n  {\n    \"__CLASS\": \"MSSmBios_RawSMBiosTables\",\n    \"__PATH\": null,\n    \"Size\": 1566\n  }\n]\n"},
      {{"--format", "json", "query", "SELECT RecordNumber, RawData FROM QZ_CommonLogEntry WHERE RecordNumber = 1"},
       "[\n  {\n    \"__CLASS\": \"QZ_CommonLogEntry\",\n"
       "    \"__PATH\": \"\\\\\\\\QZ-SERVER\\\\root\\\\VXN:QZ_CommonLogEntry.RecordNumber=1\",\n"
       "    \"RecordNumber\": 1,\n    \"RawData\": [\n      0,\n      0,\n      0,\n      0,\n      0,\n      0,\n"
       "      0,\n      0,\n      1,\n      0,\n      1,\n      0\n    ]\n  }\n]\n"},
  };
  for (const auto& c : cases) {
    Outcome run = RunQzwmi(c.args);
    EXPECT_EQ(run.status, 0) << c.args.back();
    EXPECT_EQ(run.err, "") << c.args.back();
    EXPECT_EQ(run.out, c.out) << c.args.back();
  }
}

TEST(QzwmiCommand, ProviderOutputGoesToTheLogAndNeverToTheResults) {
  Outcome run = RunQzwmi({"register", QZWMI_PRINTING_SERVER});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, std::string("DllRegisterServer in ") + QZWMI_PRINTING_SERVER + " succeeded.\n");
  EXPECT_EQ(ReadWholeFile(RootFile(kLog)),
            "PrintingServer: DllMain 1\nPrintingServer: registering\nPrintingServer: DllMain 0\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QzwmiTests\\PrintingServer", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // The log is appended to, run after run.
  run = RunQzwmi({"unregister", QZWMI_PRINTING_SERVER});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string("DllUnregisterServer in ") + QZWMI_PRINTING_SERVER + " succeeded.\n");
  EXPECT_EQ(ReadWholeFile(RootFile(kLog)),
            "PrintingServer: DllMain 1\nPrintingServer: registering\nPrintingServer: DllMain 0\n"
            "PrintingServer: DllMain 1\nPrintingServer: unregistering\nPrintingServer: DllMain 0\n");
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QzwmiTests\\PrintingServer", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST(QzwmiCommand, RegistrationFailuresNameTheirCode) {
  const struct {
    std::string module;
    const char* failure;  // the variable that makes the printing server fail, if any
    std::string err;
  } cases[] = {
      {RootFile("missing.so"), nullptr, "qzwmi: CO_E_DLLNOTFOUND (0x8004015F)\n"},
      {QZ_PLATFORM_MODULE, nullptr, "qzwmi: CO_E_ERRORINDLL (0x800401F9)\n"},  // no DllRegisterServer
      {QZWMI_PRINTING_SERVER, "QZWMI_TEST_REGISTER_FAILS", "qzwmi: 0x80040201\n"},  // its own code
      {QZWMI_PRINTING_SERVER, "QZWMI_TEST_DLLMAIN_FAILS", "qzwmi: 0x8007045A\n"},   // its DllMain refused
  };
  for (const auto& c : cases) {
    if (c.failure) setenv(c.failure, "1", 1);
    Outcome run = RunQzwmi({"register", c.module});
    if (c.failure) unsetenv(c.failure);
    EXPECT_EQ(run.status, 1) << c.module;
    EXPECT_EQ(run.out, "") << c.module;
    EXPECT_EQ(run.err, c.err) << c.module;
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QzwmiTests\\PrintingServer", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST(QzwmiCommand, CompiledMofIsKeptForLaterRuns) {
  const std::string mof = RootFile("widget.mof");
  WriteWholeFile(mof,
                 "#pragma namespace(\"\\\\\\\\.\\\\root\\\\VXN\")\n"
                 "class QZ_TestWidget\n{\n  [key] string Name;\n  uint32 Size;\n};\n");
  Outcome run = RunQzwmi({"mofcomp", mof});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Compiled " + mof + ".\n");
  // Another process sees the class, and a class has no values.
  run = RunQzwmi({"get", "QZ_TestWidget"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Name =\nSize =\n");
  run = RunQzwmi({"enum", "QZ_TestWidget"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

// The default value of the provider's InprocServer32 key, or an empty string when there is none.
std::wstring RegisteredServer() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return L"";
  WCHAR path[1024] = L"";
  DWORD size = sizeof path - sizeof(WCHAR);
  RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  return path;
}

TEST(QzwmiCommand, FreshRootSetsItselfUpOnFirstUse) {
  const std::string kept = RootFile("drive_c/windows/system32/wbem/AutoRecover/QZWmiMemory.mof");
  ASSERT_FALSE(std::filesystem::exists(kept));
  // reg never sets anything up.
  EXPECT_EQ(RunQzwmi({"reg", "query", "HKLM\\Software"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(kept));
  EXPECT_EQ(RegisteredServer(), L"");
  Outcome run = RunQzwmi({"--namespace", "root\\wmi", "enum", "DataStoreStatus"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::filesystem::exists(kept));
#ifdef QZWMI_HAS_MODULE
  const std::string module = qzwmi::DefaultModulePath();
  EXPECT_EQ(RegisteredServer(), std::wstring(module.begin(), module.end()));
#endif
  run = RunQzwmi({"get", "QZ_MemoryModule"});
  EXPECT_EQ(run.status, 0) << run.err;
#ifdef QZWMI_HAS_MODULE
  // A root whose registered module is gone (a removed build, an earlier installation) registers this one.
  const std::string key = "HKCR\\CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32";
  ASSERT_EQ(RunQzwmi({"reg", "add", key, "/ve", "/d", "/gone/QZWmiMemory.so", "/f"}).status, 0);
  EXPECT_EQ(RegisteredServer(), L"/gone/QZWmiMemory.so");
  EXPECT_EQ(RunQzwmi({"enum", "QZ_MemoryModule"}).status, 0);
  EXPECT_EQ(RegisteredServer(), std::wstring(module.begin(), module.end()));
#endif
}

}  // namespace
