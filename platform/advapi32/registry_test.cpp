// The registry: value sizes and error codes, deleted keys, volatile keys in the key order, a damaged
// hive, and changes made by another process. Creating, listing and deleting keys and values of every
// type is run through the registry tool's tests, HKCR through the module's registration tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "qzplatform.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PlatformTest.h"

namespace {

using qztest::ReadBytes;
using qztest::RegDword;
using qztest::RegSetDword;

HKEY Create(HKEY root, const wchar_t* path, DWORD options = 0, REGSAM access = KEY_ALL_ACCESS,
            DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, options, access, nullptr, &key, disposition), ERROR_SUCCESS)
      << path;
  return key;
}

LONG Open(HKEY root, const wchar_t* path, HKEY* key, REGSAM access = KEY_ALL_ACCESS) {
  *key = nullptr;
  return RegOpenKeyExW(root, path, 0, access, key);
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  ASSERT_EQ(RegSetDword(key, nullptr, name, value), ERROR_SUCCESS);
}

TEST(RegistryValues, QueryReportsSizesAndErrors) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Sizes");
  const wchar_t text[] = L"ab";
  ASSERT_EQ(RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3 * sizeof(WCHAR)),
            ERROR_SUCCESS);
  DWORD type = 99, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"TEXT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(type, size), std::tuple(DWORD{REG_SZ}, DWORD{12}));

  BYTE small[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  size = sizeof small;
  type = 99;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(std::tuple(type, size), std::tuple(DWORD{REG_SZ}, DWORD{12}));

  wchar_t back[3] = {1, 1, 1};
  size = sizeof back;
  EXPECT_EQ(RegQueryValueExW(key, L"text", nullptr, nullptr, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(back), L"ab");

  size = 77;
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST(RegistryKeys, KeyDeletedThroughAnotherHandleFailsEveryOperation) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Doomed");
  SetDword(key, L"V", 1);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"software\\doomed"), ERROR_SUCCESS);
  wchar_t name[8];
  DWORD chars = 8;
  HKEY child = nullptr;
  DWORD value = 1, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, L"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExW(key, L"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExW(key, L"Sub", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryKeys, DeleteKeyRefusesSubkeysAndDeleteTreeRemovesThem) {
  HKEY top = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree");
  RegCloseKey(Create(top, L"A\\B\\C"));
  RegCloseKey(Create(top, L"Vol", REG_OPTION_VOLATILE));
  SetDword(top, L"V", 1);
  EXPECT_EQ(RegDeleteKeyW(top, L"A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(top, L"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(top, L"A"), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(Open(top, L"A", &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(top, L"A"), ERROR_FILE_NOT_FOUND);

  // Without a subkey the key stays, emptied of its subkeys (volatile ones too) and values.
  EXPECT_EQ(RegDeleteTreeW(top, nullptr), ERROR_SUCCESS);
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyW(top, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(subKeys, values), std::tuple(0u, 0u));
  RegCloseKey(top);
}

// Values come in name order through the registry tool's query; here volatile subkeys among the
// others, and the buffer sizes.
TEST(RegistryEnum, VolatileKeysTakeTheirPlaceInTheOrderAndNamesAskForTheirSizes) {
  HKEY top = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Order");
  for (const wchar_t* name : {L"beta", L"Alpha", L"gamma", L"Delta"}) {
    RegCloseKey(Create(top, name, name[0] == L'g' ? REG_OPTION_VOLATILE : 0));
    SetDword(top, name, 1);
  }
  std::vector<std::wstring> seen;
  wchar_t key[16];
  for (DWORD index = 0, chars = 16; RegEnumKeyExW(top, index, key, &chars, nullptr, nullptr, nullptr, nullptr) ==
                                    ERROR_SUCCESS;
       ++index, chars = 16)
    seen.emplace_back(key);
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"Alpha", L"beta", L"Delta", L"gamma"}));
  // "Alpha" needs 6 characters with its terminator.
  wchar_t name[8];
  DWORD chars = 5;
  EXPECT_EQ(RegEnumKeyExW(top, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 5;
  EXPECT_EQ(RegEnumValueW(top, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 6;
  EXPECT_EQ(RegEnumKeyExW(top, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(chars, 5u);
  BYTE data[2];
  DWORD size = sizeof data;
  chars = 8;
  EXPECT_EQ(RegEnumValueW(top, 0, name, &chars, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyW(top, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ((std::vector<DWORD>{subKeys, maxSubKey, values, maxName, maxData}), (std::vector<DWORD>{4, 5, 4, 5, 4}));
  RegCloseKey(top);
}

TEST(RegistryVolatileKeys, ChildOfVolatileKeyMustBeVolatile) {
  HKEY vol = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Volatile\\Counters", REG_OPTION_VOLATILE);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(vol, L"Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Volatile\\Counters\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  HKEY none = nullptr;
  EXPECT_EQ(Open(vol, L"A", &none), ERROR_FILE_NOT_FOUND);
  // Opening an existing volatile key without the option keeps it volatile.
  DWORD disposition = 0;
  HKEY same = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Volatile\\Counters", 0, KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCreateKeyExW(same, L"Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  RegCloseKey(Create(same, L"Fine", REG_OPTION_VOLATILE));
  RegCloseKey(same);
  RegCloseKey(vol);
}

TEST(RegistryVolatileKeys, VanishWithTheRuntimeArea) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Runtime"));
  HKEY vol = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Runtime\\Counters", REG_OPTION_VOLATILE);
  SetDword(vol, L"Hits", 3);
  RegCloseKey(vol);
  QzRemoveRuntimeArea();
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Runtime\\Counters", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Runtime", &key), ERROR_SUCCESS);  // persistent parent stays
  RegCloseKey(key);
  DWORD disposition = 0;
  vol = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Runtime\\Counters", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(vol);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string InRuntimeArea(const char* name) { return std::string(QzGetRuntimeDir()) + "/" + name; }

// The volatile hive and the generation counter are made by the first call that needs them: reads
// of volatile keys before then find nothing, as in an empty hive, and leave no file behind.
TEST(RegistryVolatileKeys, HiveIsMadeByTheFirstVolatileKey) {
  struct Step {
    const wchar_t* path;
    bool create;
    DWORD options;
    LONG status;
    bool hive, counter;
  };
  const Step steps[] = {
      {L"SOFTWARE\\Lazy\\Vol", false, 0, ERROR_FILE_NOT_FOUND, false, false},
      {L"SOFTWARE\\Lazy", true, 0, ERROR_SUCCESS, false, true},
      {L"SOFTWARE\\Lazy\\Vol", true, REG_OPTION_VOLATILE, ERROR_SUCCESS, true, true},
      {L"SOFTWARE\\Lazy\\Vol", false, 0, ERROR_SUCCESS, true, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "step " << &step - steps);
    HKEY key = nullptr;
    EXPECT_EQ(step.create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, step.path, 0, nullptr, step.options, KEY_ALL_ACCESS,
                                            nullptr, &key, nullptr)
                          : Open(HKEY_LOCAL_MACHINE, step.path, &key),
              step.status);
    RegCloseKey(key);
    EXPECT_EQ(Exists(InRuntimeArea("registry-volatile.db")), step.hive);
    EXPECT_EQ(Exists(InRuntimeArea("registry.gen")), step.counter);
  }
}

// What SOFTWARE\Shared\Vol holds in V (7 once made), else the error as a negative number.
long long ReadSharedVol() { return RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared\\Vol", L"V"); }

// "create" makes the volatile key SOFTWARE\Shared\Vol with V = 7; "read" succeeds when it is
// there, "absent" when it is not.
QZ_CHILD_MAIN(RegistryVolatileStep) {
  if (args.at(0) != "create") return ReadSharedVol() == (args[0] == "read" ? 7 : -ERROR_FILE_NOT_FOUND) ? 0 : 1;
  return RegSetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared\\Vol", L"V", 7, REG_OPTION_VOLATILE) ? 1 : 0;
}

// A process that has found no volatile hive sees the one another process makes at its next call,
// also when it found a file that its maker had not set up yet; the hive goes with its last holder.
TEST(RegistryVolatileKeys, HiveMadeByAnotherProcessIsSeenAndGoesWithTheLastHolder) {
  const std::string hive = InRuntimeArea("registry-volatile.db");
  for (bool halfMade : {true, false}) {
    SCOPED_TRACE(halfMade ? "hive file not set up yet" : "no hive file");
    if (halfMade) {
      ASSERT_TRUE(std::ofstream(hive).good());
    }
    ASSERT_EQ(ReadSharedVol(), -ERROR_FILE_NOT_FOUND);  // decided: no hive (a reader does not set one up)
    EXPECT_EQ(Exists(hive), halfMade);
    EXPECT_EQ(ReadBytes(hive).size(), 0u);
    ASSERT_EQ(qztest::ChildProcess::Start("RegistryVolatileStep", {"create"}).Wait(20000), 0);
    EXPECT_EQ(ReadSharedVol(), 7);
    EXPECT_EQ(qztest::ChildProcess::Start("RegistryVolatileStep", {"read"}).Wait(20000), 0);

    // This process lets go as the last holder, and the hive goes; one made again by a child goes
    // when that child ends.
    QzRemoveRuntimeArea();
    EXPECT_EQ(qztest::ChildProcess::Start("RegistryVolatileStep", {"absent"}).Wait(20000), 0);
    EXPECT_EQ(qztest::ChildProcess::Start("RegistryVolatileStep", {"create"}).Wait(20000), 0);
    EXPECT_EQ(ReadSharedVol(), -ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Exists(hive));
  }
}

QZ_CHILD_MAIN(RegistryOnDamagedHive) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  const long long query = RegDword(HKEY_LOCAL_MACHINE, nullptr, L"X");
  QzRemoveRuntimeArea();
  return status == ERROR_BADDB && query == -ERROR_BADDB && key == nullptr ? 0 : 1;
}

TEST(RegistryStorage, DamagedHiveGivesBadDb) {
  const std::string root = std::string(QzGetSystemRoot()) + "/damaged";
  ASSERT_EQ(system(("mkdir -p " + root + "/registry").c_str()), 0);
  std::ofstream(root + "/registry/system.db") << std::string(8192, 'Z');
  const std::string saved = QzGetSystemRoot();
  setenv("QZWMI_ROOT", root.c_str(), 1);
  qztest::ChildProcess child = qztest::ChildProcess::Start("RegistryOnDamagedHive");
  setenv("QZWMI_ROOT", saved.c_str(), 1);
  EXPECT_EQ(child.Wait(20000), 0);
}

QZ_CHILD_MAIN(RegistryChangeShared) {
  const wchar_t* const inner = L"SOFTWARE\\Seen\\Inner";
  if (RegSetDword(HKEY_LOCAL_MACHINE, inner, L"V", 2) != ERROR_SUCCESS ||
      RegSetDword(HKEY_LOCAL_MACHINE, inner, L"Late", 3) != ERROR_SUCCESS)
    return 3;
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Late"));
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Gone") == ERROR_SUCCESS ? 0 : 4;
}

TEST(RegistryProcesses, ChangesOfAnotherProcessAreSeenAtOnce) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Gone"));
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Inner", REG_OPTION_VOLATILE);
  SetDword(key, L"V", 1);
  HKEY gone = nullptr;
  HKEY late = nullptr;
  for (int i = 0; i < 2; ++i) {  // twice, so that the second read can come from what was read before
    ASSERT_EQ(RegDword(key, nullptr, L"V"), 1);
    ASSERT_EQ(RegDword(key, nullptr, L"Late"), -ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Gone", &gone), ERROR_SUCCESS);
    RegCloseKey(gone);
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Late", &late), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(qztest::ChildProcess::Start("RegistryChangeShared").Wait(20000), 0);
  EXPECT_EQ(RegDword(key, nullptr, L"V"), 2);
  EXPECT_EQ(RegDword(key, nullptr, L"Late"), 3);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Gone", &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Seen\\Late", &late), ERROR_SUCCESS);
  RegCloseKey(late);
  RegCloseKey(key);
}

QZ_CHILD_MAIN(RegistryWriter) { return RegSetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", L"V", 7) ? 3 : 0; }

// Reads, and keeps a counter in a volatile key as commands do.
QZ_CHILD_MAIN(RegistryReader) {
  const long long value = RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", L"V");
  const wchar_t* const counter = L"SOFTWARE\\Kept\\Counter";
  const bool counted = RegSetDword(HKEY_LOCAL_MACHINE, counter, L"N", 1, REG_OPTION_VOLATILE) == ERROR_SUCCESS &&
                       RegSetDword(HKEY_LOCAL_MACHINE, counter, L"N", 2, REG_OPTION_VOLATILE) == ERROR_SUCCESS &&
                       RegDword(HKEY_LOCAL_MACHINE, counter, L"N") == 2;
  QzRemoveRuntimeArea();
  return value != 7 ? 2 : counted ? 0 : 4;
}

// A process that wrote leaves its changes in the hive file and an empty log; one that only reads,
// or writes volatile keys alone, changes none of the hive's files.
TEST(RegistryProcesses, WriterEmptiesTheLogAndReaderWritesNothing) {
  ASSERT_EQ(qztest::ChildProcess::Start("RegistryWriter").Wait(20000), 0);
  const std::string hive = std::string(QzGetSystemRoot()) + "/registry/system.db";
  const std::string db = ReadBytes(hive), log = ReadBytes(hive + "-wal"), index = ReadBytes(hive + "-shm");
  EXPECT_EQ(log.size(), 0u);
  ASSERT_EQ(qztest::ChildProcess::Start("RegistryReader").Wait(20000), 0);
  EXPECT_TRUE(ReadBytes(hive) == db);
  EXPECT_EQ(ReadBytes(hive + "-wal").size(), 0u);
  EXPECT_TRUE(ReadBytes(hive + "-shm") == index);
}

// Sets SOFTWARE\Logged\V to args[0], says so with the file args[1], and stays until the file
// args[2] appears (or it is killed).
QZ_CHILD_MAIN(RegistryWriteAndStay) {
  if (RegSetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Logged", L"V", static_cast<DWORD>(std::stoul(args.at(0)))) !=
      ERROR_SUCCESS)
    return 2;
  std::ofstream(args.at(1)) << "written";
  for (int i = 0; i < 20000 && !Exists(args.at(2)); ++i) usleep(1000);
  return 0;
}

// Succeeds when SOFTWARE\Logged\V holds args[0].
QZ_CHILD_MAIN(RegistryReadLogged) {
  return RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Logged", L"V") == std::stoll(args.at(0)) ? 0 : 1;
}

// A process that only reads sees what another committed while the log still holds it: with the
// writer still running (and so keeping the log's index), and after the writer was killed before it
// could move the log into the hive, when the reader must not touch the index either.
TEST(RegistryProcesses, ReaderSeesCommitsStillInTheLog) {
  const std::string root = QzGetSystemRoot();
  const std::string hive = root + "/registry/system.db";
  struct Case {
    const char* what;
    bool kill;
  };
  const Case cases[] = {{"writer running", false}, {"writer killed", true}};
  int value = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string number = std::to_string(value++);
    const std::string written = root + "/written" + number, go = root + "/go" + number;
    qztest::ChildProcess writer = qztest::ChildProcess::Start("RegistryWriteAndStay", {number, written, go});
    for (int i = 0; i < 20000 && !Exists(written); ++i) usleep(1000);
    ASSERT_TRUE(Exists(written));
    if (c.kill) {
      writer.Kill(SIGKILL);
      EXPECT_EQ(writer.Wait(20000), 128 + SIGKILL);
    }
    const std::string log = ReadBytes(hive + "-wal"), index = ReadBytes(hive + "-shm");
    EXPECT_GT(log.size(), 0u);
    EXPECT_EQ(qztest::ChildProcess::Start("RegistryReadLogged", {number}).Wait(20000), 0);
    if (c.kill) {
      EXPECT_TRUE(ReadBytes(hive + "-wal") == log);
      EXPECT_TRUE(ReadBytes(hive + "-shm") == index);
    }
    std::ofstream(go) << "go";
    if (!c.kill) {
      EXPECT_EQ(writer.Wait(20000), 0);
    }
  }
}

QZ_CHILD_MAIN(RegistryBatchSeen) { return RegDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Batch\\Inner", L"V") == 5 ? 0 : 1; }

// Within a batch each call stands alone (a refused one undoes only itself), and other processes see
// the changes when the batch ends.
TEST(RegistryProcesses, BatchIsSeenWholeWhenItEnds) {
  ASSERT_EQ(QzRegBeginBatch(), ERROR_SUCCESS);
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Batch\\Inner");
  SetDword(key, L"V", 5);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Batch"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(qztest::ChildProcess::Start("RegistryBatchSeen").Wait(20000), 1);
  ASSERT_EQ(QzRegEndBatch(), ERROR_SUCCESS);
  EXPECT_EQ(qztest::ChildProcess::Start("RegistryBatchSeen").Wait(20000), 0);
  EXPECT_EQ(RegDword(key, nullptr, L"V"), 5);
  RegCloseKey(key);
}

}  // namespace
