// The data-store gate and the query function: when the store counts as ready, which queries wait for
// it, what a store without data does to the event counters, batches and time-outs.
#include "sources/DataStore.h"

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>

#include "support/EventCounters.h"
#include "support/WmiProperty.h"
#include "tests/support/SourcesFixture.h"

namespace {

using qztest::LoadMachine;

// The value of a counter, or -1 when it cannot be read.
long long Counter(size_t entry) {
  HKEY key = nullptr;
  const EventCounterEntry& counter = g_EventCounterTable[entry];
  if (RegOpenKeyExW(reinterpret_cast<HKEY>(counter.root), counter.keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  DWORD value = 0, size = sizeof value, type = 0;
  LSTATUS status = RegQueryValueExW(key, counter.valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_DWORD ? value : -1;
}

// `entries` journal entries of one severity.
std::string Journal(size_t entries, int severity) {
  return qztest::Journal(qztest::JournalEntries(entries, {severity, {1, 2}}));
}

TEST(DataStoreGate, ReadinessFollowsTheStoreAndMovesCountersOnlyWithoutData) {
  struct Case {
    const char* dataStore;
    bool ready;
    long long counterAfter;  // every counter, -1: never written
  } cases[] = {
      {R"({"present": true, "dataAvailable": true})", true, -1},
      {R"({"present": false})", true, -1},  // no status instance: nothing to wait for
      {R"({"present": true, "dataAvailable": false})", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataStore);
    // Each case starts without counters.
    for (const EventCounterEntry& entry : g_EventCounterTable)
      RegDeleteKeyW(reinterpret_cast<HKEY>(entry.root), entry.keyPath);
    LoadMachine(std::string(R"({"name": "store", "dataStore": )") + c.dataStore + "}");
    EXPECT_EQ(IsDataStoreReady(), c.ready);
    for (size_t i = 0; i < std::size(g_EventCounterTable); ++i) EXPECT_EQ(Counter(i), c.counterAfter) << i;
  }
  // Each further call without data steps every counter again, with or without a time-out.
  EXPECT_FALSE(WaitForDataStore(nullptr, 0));
  EXPECT_FALSE(WaitForDataStore(nullptr, 1000));
  for (size_t i = 0; i < std::size(g_EventCounterTable); ++i) EXPECT_EQ(Counter(i), 3) << i;
}

TEST(DataStoreGate, RecordClassQueriesOnRootWmiWaitForTheStore) {
  LoadMachine(R"({"name": "store", "dataStore": {"present": true, "dataAvailable": false}})");
  struct Case {
    const wchar_t* nameSpace;
    const wchar_t* query;
    long long memoryCounter;  // after the query
    size_t results;
  } cases[] = {
      {L"ROOT\\WMI", L"select * from memorydimminfo", 1, 0},        // gated, whatever the case
      {L"root\\wmi", L"SELECT * FROM FanInfo WHERE x = 1", 2, 0},   // gated
      {L"root\\VXN", L"SELECT * FROM MEMORYDIMMINFO", 2, 0},        // another namespace: not gated
      {L"root\\wmi", L"SELECT * FROM DataStoreStatus", 2, 1},       // not a record class
  };
  for (const Case& c : cases) {
    WmiObjectList results;
    EXPECT_EQ(ExecWmiQuery(c.nameSpace, c.query, results), WBEM_S_NO_ERROR) << c.query;
    EXPECT_EQ(results.size(), c.results) << c.query;
    EXPECT_EQ(Counter(kMemoryEventEntry), c.memoryCounter) << c.query;
  }
}

TEST(DataStoreQuery, CollectsEveryBatchAndReportsFailuresAsEmpty) {
  LoadMachine(R"({"name": "journal", "journal": )" + Journal(25, 5) + "}");
  WmiObjectList results;
  results.push_back(nullptr);  // emptied first
  EXPECT_EQ(ExecWmiQuery(L"root\\VXN", L"SELECT RawData FROM QZ_CommonLogEntry WHERE Severity > 3", results),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(results.size(), 25u);
  BYTE raw[8] = {};
  DWORD count = sizeof raw;
  ASSERT_EQ(GetBytes(results[24], L"RawData", raw, count), WBEM_S_NO_ERROR);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(raw[1], 2);

  for (const wchar_t* bad : {L"SELECT * FROM QZ_Missing", L"SELECT * FROM", L"SELECT Bogus FROM QZ_CommonLogEntry"}) {
    results.assign(3, nullptr);
    EXPECT_EQ(ExecWmiQuery(L"root\\VXN", bad, results), WBEM_S_NO_ERROR) << bad;
    EXPECT_TRUE(results.empty()) << bad;
  }
  results.assign(1, nullptr);
  EXPECT_EQ(ExecWmiQuery(L"root\\nowhere", L"SELECT * FROM QZ_CommonLogEntry", results), WBEM_S_NO_ERROR);
  EXPECT_TRUE(results.empty());
}

TEST(DataStoreQuery, UsesTheCallersConnection) {
  LoadMachine(R"({"name": "journal", "journal": )" + Journal(2, 4) + "}");
  CComPtr<IWbemLocator> locator;
  ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)),
            S_OK);
  CComPtr<IWbemServices> vxn;
  ASSERT_EQ(locator->ConnectServer(CComBSTR(L"root\\VXN"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &vxn), S_OK);
  WmiObjectList results;
  // The namespace argument names root\wmi, but the given connection decides where the query runs.
  EXPECT_EQ(ExecWmiQuery(L"root\\wmi", L"SELECT * FROM QZ_CommonLogEntry", results, nullptr, vxn, 1000), WBEM_S_NO_ERROR);
  EXPECT_EQ(results.size(), 2u);
}

TEST(DataStoreQuery, AStreamThatTimesOutKeepsWhatArrived) {
  LoadMachine(R"({"name": "slow", "answerDelayMs": {"QZ_CommonLogEntry": 120}, "journal": )" + Journal(3, 5) + "}");
  WmiObjectList results;
  EXPECT_EQ(ExecWmiQuery(L"root\\VXN", L"SELECT * FROM QZ_CommonLogEntry", results, nullptr, nullptr, 200),
            WBEM_S_TIMEDOUT);
  EXPECT_EQ(results.size(), 1u) << "the first entry arrives at 120 ms, the second at 240";
}

TEST(DataStoreGate, AStatusThatDoesNotArriveInTimeCountsAsReady) {
  LoadMachine(R"({"name": "slow", "answerDelayMs": {"DataStoreStatus": 400},
                  "dataStore": {"present": true, "dataAvailable": false}})");
  EXPECT_TRUE(WaitForDataStore(nullptr, 100));
  EXPECT_EQ(Counter(kMemoryEventEntry), -1);
  EXPECT_FALSE(WaitForDataStore(nullptr, 0)) << "without a time-out the answer is awaited";
  EXPECT_EQ(Counter(kMemoryEventEntry), 1);
}

}  // namespace
