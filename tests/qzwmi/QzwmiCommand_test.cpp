// The built qzwmi as a user runs it: its exit statuses and error lines, both formats of the
// platform's own classes, the separation of provider output from results, registration of modules,
// MOF files kept for later processes, and which machine it manages. The golden outputs run it on
// every bundled machine.
#include <gtest/gtest.h>
#include <windows.h>
#include <winreg.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Setup.h"
#include "tests/qzwmi/QzwmiRun.h"

namespace {

using qzwmitest::ExpectRun;
using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;
using qzwmitest::Outcome;
using qzwmitest::RunQzwmi;
using qzwmitest::WriteWholeFile;

const std::string kLog = "drive_c/windows/system32/wbem/logs/provider-stdout.log";

TEST(QzwmiCommand, HelpShowsExamplesAndVersionNamesTheBuildAndItsRevision) {
  const Outcome help = RunQzwmi({"--help"}), version = RunQzwmi({"--version"});
  for (const Outcome* run : {&help, &version}) {
    EXPECT_EQ(run->status, 0);
    EXPECT_EQ(run->err, "");
  }
  EXPECT_NE(help.out.find("\nExamples:\n  qzwmi enum QZ_MemoryModule\n"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("  qzwmi reg query 'HKLM\\Software\\Tarnwell\\WBEM' /s\n"), std::string::npos) << help.out;
  const std::string name = std::string("qzwmi ") + QZ_PROJECT_VERSION;
  if (std::filesystem::exists(QZ_SOURCE_DIR "/.git")) {
    EXPECT_EQ(version.out.rfind(name + " (git ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.substr(version.out.size() - 2), ")\n") << version.out;
  } else {
    EXPECT_EQ(version.out, name + "\n");
  }
}

// Each bad input: the exit status, and the words that its error must hold (all of them, on the one
// error line of a failed request).
TEST(QzwmiCommand, BadInputsExitNonzeroAndNameWhatIsWrong) {
  const std::string missingModule = RootFile("missing.so");
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> words;
  } cases[] = {
      {{}, "", 2, {"A subcommand is required"}},
      {{"--format", "xml", "enum", "X"}, "", 2, {"--format: xml not in {table,list,json,csv}"}},
      {{"enum"}, "", 2, {"CLASS is required"}},
      {{"tree", "--format", "csv"}, "", 2, {"tree draws a picture", "not --format csv"}},
      {{"enum", "QZ_CommonLogEntry", "--decode"}, "", 2, {"--decode goes with --format json or csv"}},
      {{"enum", "QZ_CommonLogEntr"}, "", 1,
       {"qzwmi: no class QZ_CommonLogEntr in root\\VXN; did you mean QZ_CommonLogEntry? (qzwmi classes lists them): "
        "WBEM_E_INVALID_CLASS (0x80041010)"}},
      {{"enum", "DataStoreStatus"}, "", 1, {"no class DataStoreStatus in root\\VXN", "WBEM_E_INVALID_CLASS"}},
      {{"--namespace", "root\\Nowhere", "enum", "DataStoreStatus"}, "", 1,
       {"no namespace root\\Nowhere", "WBEM_E_INVALID_NAMESPACE (0x8004100E)"}},
      {{"get", "QZ_CommonLogEntry.RecordNumber=9"}, "", 1,
       {"no instance of QZ_CommonLogEntry has RecordNumber \"9\" (qzwmi enum QZ_CommonLogEntry lists them)",
        "WBEM_E_NOT_FOUND (0x80041002)"}},
      {{"get", "QZ_CommonLogEntry.Number=1"}, "", 1, {"QZ_CommonLogEntry has no key Number; its keys are RecordNumber"}},
      {{"get", "QZ_CommonLogEntry.RecordNumber=="}, "", 1,
       {"cannot read the object path 'QZ_CommonLogEntry.RecordNumber==' at column 32: a value expected",
        "WBEM_E_INVALID_OBJECT_PATH (0x8004103A)"}},
      {{"get", "QZ_CommonLogEntry.RecordNumber=1 2"}, "", 1, {"at column 33: ',' between the keys or the end expected"}},
      {{"get", "QZ_CommonLogEntry"}, "", 1,
       {"QZ_CommonLogEntry is a class, not an instance", "qzwmi describe QZ_CommonLogEntry", "WBEM_E_INVALID_OBJECT_PATH"}},
      {{"query", "SELEC * FROM QZ_CommonLogEntry"}, "", 1,
       {"cannot read the query at column 1: SELECT expected", "WBEM_E_INVALID_QUERY (0x80041017)"}},
      {{"query", "SELECT * FROM QZ_CommonLogEntry WHERE Severty > 3"}, "", 1,
       {"no property Severty in QZ_CommonLogEntry; did you mean Severity?", "WBEM_E_INVALID_QUERY"}},
      {{"enum", "QZ_CommonLogEntry", "-p", "RecordNumber,Descripton"}, "", 1,
       {"qzwmi: no property Descripton in QZ_CommonLogEntry; did you mean Description?"}},
      {{"describe", "QZ_CommonLogEntri"}, "", 1, {"did you mean QZ_CommonLogEntry?", "WBEM_E_NOT_FOUND"}},
      {{"register", missingModule}, "", 1, {"cannot load " + missingModule + ": no such file", "CO_E_DLLNOTFOUND"}},
      {{"register", QZ_PLATFORM_MODULE}, "", 1, {std::string(QZ_PLATFORM_MODULE) + " has no DllRegisterServer"}},
      {{"mofcomp", RootFile("missing.mof")}, "", 1, {"missing.mof", "WBEM_E_NOT_FOUND"}},
      {{"passwd", "alice", "--users", RootFile("users")}, "", 1, {"qzwmi: passwd: no password on standard input"}},
  };
  for (const auto& c : cases) {
    const std::string command = c.args.empty() ? "(nothing)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    Outcome run = RunQzwmi(c.args, c.input);
    EXPECT_EQ(run.status, c.status) << command << ": " << run.err;
    EXPECT_EQ(run.out, "") << command;
    for (const std::string& word : c.words) EXPECT_NE(run.err.find(word), std::string::npos) << command << ": " << run.err;
    if (c.status == 1) {
      EXPECT_EQ(run.err.rfind("qzwmi: ", 0), 0u) << command;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << command << ": " << run.err;
    }
  }
}

// The [serve] section of a --config file is read, and its values checked, whatever the subcommand.
TEST(QzwmiCommand, ServeSectionOfAConfigFileIsReadByEveryCommand) {
  const std::string config = RootFile("serve.conf");
  const struct {
    std::string text;
    std::vector<std::string> args;
    int status;
    std::string error;  // what standard error must hold
  } cases[] = {
      {"[serve]\nthreads = 8\n", {"--config", config, "classes"}, 0, ""},
      {"[serve]\nthreads = 8\n", {"classes", "--config=" + config}, 0, ""},
      {"[serve]\nthreads = 0\n", {"--config", config, "classes"}, 2, "--threads: Value 0 not in range 1 to 1024\n"},
      {"[serve]\nthreadz = 8\n", {"--config", config, "classes"}, 2, "INI was not able to parse serve.threadz\n"},
  };
  for (const auto& c : cases) {
    WriteWholeFile(config, c.text);
    Outcome run = RunQzwmi(c.args);
    EXPECT_EQ(run.status, c.status) << c.text << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << c.text << run.err;
    EXPECT_EQ(run.out.rfind("Name = ", 0), c.status == 0 ? 0u : std::string::npos) << c.text << run.out;
  }
}

#ifdef QZWMI_HAS_MODULE
// A provider that does not load is named, with what keeps it from loading.
TEST(QzwmiCommand, ProviderThatDoesNotLoadIsNamed) {
  const std::string root = std::string(QzGetSystemRoot());
  // A module file that is there but is no module (one that is gone is replaced by this build's).
  const std::string broken = RootFile("broken.so");
  std::ofstream(broken) << "not a module";
  const std::string key = "HKCR\\CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32";
  ASSERT_EQ(RunQzwmi({"classes"}).status, 0);  // the first use registers the module
  ASSERT_EQ(RunQzwmi({"reg", "add", key, "/ve", "/d", broken, "/f"}).status, 0);
  Outcome run = RunQzwmi({"enum", "QZ_MemoryModule"});
  EXPECT_EQ(run.err, "qzwmi: the provider CQZMemoryModuleProv of QZ_MemoryModule: cannot load " + broken +
                         ": file too short: WBEM_E_PROVIDER_LOAD_FAILURE (0x80041013)\n");
  ASSERT_EQ(RunQzwmi({"reg", "delete", key, "/f"}).status, 0);
  run = RunQzwmi({"query", "SELECT Tag FROM QZ_MemoryModule"});
  EXPECT_NE(run.err.find("CQZMemoryModuleProv of QZ_MemoryModule is not registered"), std::string::npos) << run.err;
  setenv("QZWMI_ROOT", "/proc/qzwmi-root", 1);
  run = RunQzwmi({"enum", "QZ_MemoryModule"});
  setenv("QZWMI_ROOT", root.c_str(), 1);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("the system root /proc/qzwmi-root cannot be created: "), std::string::npos) << run.err;
}
#endif

TEST(QzwmiCommand, ResultsThatCannotBeWrittenFail) {
  Outcome run = qzwmitest::RunProgram("sh", {"-c", std::string("'") + QZWMI_PATH + "' enum QZ_CommonLogEntry > /dev/full"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "qzwmi: cannot write the results: No space left on device\n");
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
  for (const auto& c : cases) ExpectRun({"--machine", c.file, "enum", "QZ_CommonLogEntry"}, 2, "", c.err);
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
      // A projection keeps the keys, so that its path names the instance it came from.
      {{"--format", "json", "--namespace", "root\\wmi", "query", "SELECT Size FROM MSSmBios_RawSMBiosTables"},
       "[\n  {\n    \"__CLASS\": \"MSSmBios_RawSMBiosTables\",\n"
       "    \"__PATH\": \"\\\\\\\\QZ-SERVER\\\\root\\\\wmi:MSSmBios_RawSMBiosTables.InstanceName=\\\"SMBiosData\\\"\",\n"
       "    \"InstanceName\": \"SMBiosData\",\n    \"Size\": 1566\n  }\n]\n"},
  };
  for (const auto& c : cases) ExpectRun(c.args, 0, c.out, "");
  // The path of a projected object gets it.
  ExpectRun({"--namespace", "root\\wmi", "get", "\\\\QZ-SERVER\\root\\wmi:MSSmBios_RawSMBiosTables.InstanceName=\"SMBiosData\"",
             "-p", "Size"},
            0, "Size = 1566\n", "");
}

// Registration of a module that prints while it loads: its output goes to the log, appended run after
// run, and never to the results; its failures name it.
TEST(QzwmiCommand, ProviderOutputGoesToTheLogAndRegistrationFailuresNameTheModule) {
  const std::string server = QZWMI_PRINTING_SERVER;
  const std::string registered = "PrintingServer: DllMain 1\nPrintingServer: registering\nPrintingServer: DllMain 0\n";
  const struct {
    const char* failure;  // the variable that makes the printing server fail, or nullptr
    const char* command;
    int status;
    std::string out, err;
    std::string log;  // the log afterwards; "" is not looked at
    LSTATUS key;      // the server's key afterwards
  } cases[] = {
      {nullptr, "register", 0, "DllRegisterServer in " + server + " succeeded.\n", "", registered, ERROR_SUCCESS},
      {nullptr, "unregister", 0, "DllUnregisterServer in " + server + " succeeded.\n", "",
       registered + "PrintingServer: DllMain 1\nPrintingServer: unregistering\nPrintingServer: DllMain 0\n", ERROR_FILE_NOT_FOUND},
      {"QZWMI_TEST_REGISTER_FAILS", "register", 1, "", "qzwmi: DllRegisterServer in " + server + " failed: 0x80040201\n", "",
       ERROR_FILE_NOT_FOUND},  // its own code
      {"QZWMI_TEST_DLLMAIN_FAILS", "register", 1, "",
       "qzwmi: the module " + server + " refused to load (its DllMain failed): 0x8007045A\n", "", ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + (c.failure ? c.failure : ""));
    if (c.failure) setenv(c.failure, "1", 1);
    ExpectRun({c.command, server}, c.status, c.out, c.err);
    if (c.failure) unsetenv(c.failure);
    if (!c.log.empty()) {
      EXPECT_EQ(ReadWholeFile(RootFile(kLog)), c.log);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QzwmiTests\\PrintingServer", 0, KEY_READ, &key), c.key);
    if (key) RegCloseKey(key);
  }
}

TEST(QzwmiCommand, CompiledMofIsKeptForLaterRuns) {
  const std::string mof = RootFile("widget.mof");
  WriteWholeFile(mof,
                 "#pragma namespace(\"\\\\\\\\.\\\\root\\\\VXN\")\n"
                 "class QZ_TestWidget\n{\n  [key] string Name;\n  uint32 Size;\n};\n");
  ExpectRun({"mofcomp", mof}, 0, "Compiled " + mof + ".\n", "");
  // Another process sees the class.
  ExpectRun({"describe", "QZ_TestWidget"}, 0, "class QZ_TestWidget\n\nkey  Name  string\n     Size  uint32\n", "");
  ExpectRun({"enum", "QZ_TestWidget"}, 0, "", "");
  // Compiled again with another definition of the same length, the next process sees the new one.
  WriteWholeFile(mof,
                 "#pragma namespace(\"\\\\\\\\.\\\\root\\\\VXN\")\n"
                 "class QZ_TestWidget\n{\n  [key] string Name;\n  uint32 Wide;\n};\n");
  ASSERT_EQ(RunQzwmi({"mofcomp", mof}).status, 0);
  ExpectRun({"describe", "QZ_TestWidget"}, 0, "class QZ_TestWidget\n\nkey  Name  string\n     Wide  uint32\n", "");
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
  // A root whose registered module is gone (a removed build, an earlier installation) registers this one.
  const std::string key = "HKCR\\CLSID\\{D57B64F7-8728-4717-BD9C-A09719A06BA0}\\InprocServer32";
  ASSERT_EQ(RunQzwmi({"reg", "add", key, "/ve", "/d", "/gone/QZWmiMemory.so", "/f"}).status, 0);
  EXPECT_EQ(RegisteredServer(), L"/gone/QZWmiMemory.so");
  EXPECT_EQ(RunQzwmi({"enum", "QZ_MemoryModule"}).status, 0);
  EXPECT_EQ(RegisteredServer(), std::wstring(module.begin(), module.end()));
  // The set-up is done once: an unregistered module stays so.
  run = RunQzwmi({"unregister"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(RunQzwmi({"classes"}).status, 0);
  EXPECT_EQ(RegisteredServer(), L"");
#endif
}

// Which machine it manages: --machine, else $QZWMI_MACHINE, else this host when its SMBIOS table is
// readable, else the bundled server with one line on standard error.
const std::string kHosts = QZ_SOURCE_DIR "/tests/data/hosts/";

TEST(QzwmiMachineChoice, OptionThenVariableThenHostThenTheBundledServer) {
  const struct {
    const char* option;    // --machine, or nullptr
    const char* variable;  // $QZWMI_MACHINE, or nullptr
    const char* hostTree;  // $QZWMI_HOST_ROOT below tests/data/hosts
    std::string name;      // the computer system's name that the machine gives
    std::string err;
  } cases[] = {
      {nullptr, nullptr, "no-edac", "web-3", ""},
      {"host", QZ_MACHINES_DIR "/default.json", "smbios3-only", "edge-01", ""},
      {nullptr, QZ_MACHINES_DIR "/processor-boards.json", "no-edac", "qz-proc.example.net", ""},
      {QZ_MACHINES_DIR "/default.json", nullptr, "unreadable", "qz-server.example.net", ""},
      {nullptr, nullptr, "unreadable", "qz-server.example.net",
       "qzwmi: showing the bundled example server " QZ_MACHINES_DIR "/default.json, not this host: " + kHosts +
           "unreadable/sys/firmware/dmi/tables/DMI: Is a directory\n"},
      {nullptr, nullptr, "no-such-tree", "qz-server.example.net",
       "qzwmi: showing the bundled example server " QZ_MACHINES_DIR "/default.json, not this host: " + kHosts +
           "no-such-tree/sys/firmware/dmi/tables/DMI: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.hostTree) + " " + (c.option ? c.option : "-") + " " + (c.variable ? c.variable : "-"));
    if (c.variable) setenv("QZWMI_MACHINE", c.variable, 1);
    else unsetenv("QZWMI_MACHINE");
    setenv("QZWMI_HOST_ROOT", (kHosts + c.hostTree).c_str(), 1);
    std::vector<std::string> args;
    if (c.option) args = {"--machine", c.option};
    args.insert(args.end(), {"query", "SELECT Name FROM QZ_WinComputerSystem"});
    // A projected result keeps its keys, so that its path names the instance.
    ExpectRun(args, 0, "CreationClassName = QZ_WinComputerSystem\nName = " + c.name + "\n", c.err);
  }
}

}  // namespace
