// The list interface that every provider reads: a generation per build, the memory-event watch,
// and the records that RebuildList gathers.
#pragma once

#include <wbemidl.h>

#include <memory>
#include <mutex>
#include <vector>

#include "support/Mutex.h"

class CQZList {
 public:
  CQZList() = default;
  virtual ~CQZList() = default;
  CQZList(const CQZList&) = delete;
  CQZList& operator=(const CQZList&) = delete;

  // Rebuilds the list unless it watches memory events and the counter has not moved since its
  // last rebuild; returns the generation, 0 when the list holds no valid data. Lists that are
  // built once, or that depend on other lists, override it with their own rule.
  virtual DWORD Update(IWbemContext* pCtx);

  // Update, then whether the generation differs from the stamp (which then takes it).
  bool HasChanged(IWbemContext* pCtx, DWORD& stamp);

  virtual DWORD GetCount() const = 0;

  void Lock() { m_Mutex.Lock(); }
  void Unlock() { m_Mutex.Unlock(); }

  DWORD Generation() const { return m_Generation; }
  bool WatchesEvents() const { return m_bWatchEvents != 0; }
  DWORD LastEventCount() const { return m_LastEventCount; }

  // 0 and 1 are followed by 2; every other value by the next one, wrapping at 32 bits. So
  // 0xFFFFFFFF is followed by 0, which reads as "no valid data": that one request fails and the
  // next one rebuilds the list to generation 2, as after any failed build.
  static DWORD NextGeneration(DWORD generation);

 protected:
  // Gathers the records from the sources; false when the list has no valid data.
  virtual bool RebuildList(IWbemContext* pCtx) = 0;

  // The memory-event half of Update: true when the list must be rebuilt now (it does not watch
  // events, or the counter moved, in which case the new count is kept).
  bool EventsDemandRebuild();

  // Advances the generation and runs RebuildList; the generation becomes 0 when it fails.
  DWORD Rebuild(IWbemContext* pCtx);

  DWORD m_Generation = 1;
  BYTE m_bWatchEvents = FALSE;
  DWORD m_LastEventCount = 0;
  CMutex m_Mutex;
};

// A list that owns records of one type, in the order RebuildList appended them.
template <class TRecord>
class CQZRecordList : public CQZList {
 public:
  using Record = TRecord;

  DWORD GetCount() const override { return static_cast<DWORD>(m_Records.size()); }
  const TRecord* GetAt(DWORD index) const { return index < m_Records.size() ? m_Records[index].get() : nullptr; }

 protected:
  void ClearRecords() { m_Records.clear(); }
  TRecord& AddRecord() { return *m_Records.emplace_back(std::make_unique<TRecord>()); }

  std::vector<std::unique_ptr<TRecord>> m_Records;
};

// One static list of the module. The holder is constant-initialised, so it can be reached from any
// static constructor of the module; the list is made at its first use and lives until the module
// is unloaded.
template <class TList>
class CQZStaticList {
 public:
  constexpr CQZStaticList() = default;
  CQZStaticList(const CQZStaticList&) = delete;
  CQZStaticList& operator=(const CQZStaticList&) = delete;

  TList& Get() {
    std::call_once(m_Created, [this] { m_pList = std::make_unique<TList>(); });
    return *m_pList;
  }

 private:
  std::once_flag m_Created;
  std::unique_ptr<TList> m_pList;
};
