// The registry's storage: the persistent hive and the volatile hive as SQLite databases behind one
// connection per process, with cached statements and write transactions that wait out other writers.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "windows.h"

namespace qz {

// A key as stored: which hive holds its row, and the row's id. Ids are never reused within a hive.
struct RegKeyRef {
  bool volatileKey = false;
  int64_t id = 0;
};

// The id of HKEY_LOCAL_MACHINE's own row in the persistent hive.
constexpr int64_t kRegMachineRootId = 1;

// One child key as enumerated: its name as created, and when it last changed.
struct RegChild {
  RegKeyRef ref;
  std::wstring name;
  int64_t lastWrite = 0;
};

// One value as stored.
struct RegValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// The process's registry connection. Every member expects the caller to hold Lock(); every
// member returns a Win32 error code.
class RegistryStore {
 public:
  static RegistryStore& Get();

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_Mutex); }

  // Opens the persistent hive on first use. The volatile hive is attached once it exists: until
  // then (and again once its runtime area is gone) an empty one stands in for it, so that reads of
  // volatile keys find none and nothing is made on disk.
  LONG Ready();
  // Makes and attaches the volatile hive when the process has none yet, before a volatile key is
  // created. Outside any transaction.
  LONG NeedVolatile();

  // Ends the read transaction that the lookups of a call opened on a cache miss.
  void EndRead();
  // Within a batch, a write is a savepoint of the batch's transaction: it commits or rolls back alone,
  // and other processes see the whole batch when it ends. A write that changes only the volatile
  // hive (`volatileOnly`) leaves the persistent hive read-only, and so its files untouched.
  LONG BeginWrite(bool volatileOnly = false);
  LONG Commit();
  void Rollback();
  // Every change of the process, from any thread, goes into one transaction until EndBatch.
  LONG BeginBatch();
  LONG EndBatch();

  // The row of HKEY_LOCAL_MACHINE\SOFTWARE\Classes, which HKEY_CLASSES_ROOT shows.
  int64_t ClassesRootId() const { return m_ClassesId; }

  LONG KeyExists(const RegKeyRef& key);
  // ERROR_SUCCESS with the child, ERROR_FILE_NOT_FOUND when there is none.
  LONG FindChild(const RegKeyRef& parent, const std::wstring& upperName, RegKeyRef* child);
  LONG CreateChild(const RegKeyRef& parent, const std::wstring& name, bool volatileKey, RegKeyRef* child);
  LONG Children(const RegKeyRef& parent, std::vector<RegChild>* children);
  LONG ChildAt(const RegKeyRef& parent, DWORD index, RegChild* child);
  LONG HasChildren(const RegKeyRef& key, bool* any);
  LONG DeleteKeyRow(const RegKeyRef& key);
  LONG LastWrite(const RegKeyRef& key, int64_t* lastWrite);

  // ERROR_FILE_NOT_FOUND for a value the key does not have.
  LONG ReadValue(const RegKeyRef& key, const std::wstring& upperName, DWORD* type, std::vector<BYTE>* data);
  LONG WriteValue(const RegKeyRef& key, const std::wstring& name, DWORD type, const BYTE* data, DWORD size);
  LONG DeleteValue(const RegKeyRef& key, const std::wstring& upperName);
  LONG DeleteValues(const RegKeyRef& key);
  LONG ValueAt(const RegKeyRef& key, DWORD index, RegValue* value);
  // Counts and longest names (characters) and data (bytes) of a key's subkeys and values.
  LONG Info(const RegKeyRef& key, DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* values, DWORD* maxValueNameLen,
            DWORD* maxValueLen);

 private:
  RegistryStore() = default;
  ~RegistryStore();
  // Opens the persistent hive: read-only unless `write` (or the hive is not set up yet).
  LONG Open(bool write);
  // Reopens the hives read-write before the process's first write; outside any transaction.
  LONG Writable();
  // Attaches the volatile hive's file: ERROR_FILE_NOT_FOUND, with the empty stand-in attached, when
  // there is no hive set up and `create` does not allow making it.
  LONG AttachVolatile(bool create);
  LONG AttachEmptyVolatile();
  sqlite3_stmt* Prepare(const char* sql, LONG* error);
  LONG Touch(const RegKeyRef& key);
  LONG Snapshot();
  // Maps the generation counter; `create` makes its file when there is none (a writer does).
  void MapGeneration(bool create);
  void UnmapGeneration();
  uint64_t Generation();
  void CheckGeneration(uint64_t now);
  static void CheckpointAtExit();
  static std::wstring CacheKey(const RegKeyRef& key, const std::wstring& upperName);

  // A value read, or one found missing (present false).
  struct CachedValue {
    bool present;
    DWORD type;
    std::vector<BYTE> data;
  };

  std::mutex m_Mutex;
  sqlite3* m_Db = nullptr;
  bool m_Ready = false;
  bool m_Writable = false;
  int64_t m_ClassesId = 0;
  std::string m_VolatilePath;
  std::string m_GenerationPath;
  bool m_VolatileFile = false;   // the volatile hive's file is attached (else the empty stand-in)
  uint64_t m_VolatileInode = 0;
  uint64_t m_VolatileHolds = 0;  // RuntimeAreaHoldChanges() when the runtime area was last looked at
  uint64_t m_VolatileLooked = ~0ULL;  // the generation when the process last looked for the hive
  std::unordered_map<const char*, sqlite3_stmt*> m_Statements;
  bool m_InRead = false;
  bool m_InWrite = false;
  bool m_Wrote = false;
  bool m_Batch = false;
  // Lookups are cached while no process has committed a change: every commit bumps a counter that
  // all processes of the root share through the runtime area. What was found missing is cached
  // too (a child as id 0), and so are the keys found to exist.
  uint64_t* m_Generation = nullptr;
  uint64_t m_CacheGeneration = ~0ULL;
  std::unordered_map<std::wstring, RegKeyRef> m_ChildCache;
  std::unordered_map<std::wstring, CachedValue> m_ValueCache;
  std::unordered_set<int64_t> m_ExistCache;  // by id, negated for the volatile hive
};

// The error code for an SQLite result.
LONG RegErrorFromSqlite(int rc);

// Current time as a FILETIME count of 100 ns since 1601.
int64_t RegNow();

}  // namespace qz
