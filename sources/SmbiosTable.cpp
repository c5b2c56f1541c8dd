// The SMBIOS table cache: fetching the table, indexing its structures once, and reading them.
#include "sources/SmbiosTable.h"

#include <algorithm>
#include <cstring>

#include "sources/DataStore.h"
#include "sources/HealthDriver.h"
#include "support/AutoHandle.h"
#include "support/LittleEndian.h"
#include "support/WmiProperty.h"

constinit CSmbiosTable g_SmbiosTable;

namespace {

constexpr const WCHAR* kSmbiosNamespace = L"root\\wmi";
constexpr const WCHAR* kSmbiosQuery = L"SELECT Size,SMBiosData FROM MSSmBios_RawSMBiosTables";
constexpr const WCHAR* kSizeProperty = L"Size";
constexpr const WCHAR* kDataProperty = L"SMBiosData";


}  // namespace

// An anchor too close to the area's end to hold its fields is passed over.
long FindSmbiosEntryPoint(const std::vector<BYTE>& area) {
  for (size_t at = 0; at + kEntryPointFullLength <= area.size(); at += kEntryPointSearchStep) {
    const BYTE* entry = area.data() + at;
    if (std::memcmp(entry, "_SM_", 4) != 0) continue;
    BYTE length = entry[kEntryPointLength];
    if (length != 0) {
      if (at + length > area.size()) continue;
      BYTE sum = 0;
      for (BYTE i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + entry[i]);
      if (sum != 0) continue;
    }
    if ((entry[kEntryPointMajor] << 8 | entry[kEntryPointMinor]) < kMinimumSmbiosVersion) continue;
    return static_cast<long>(at);
  }
  return -1;
}

CSmbiosTable::~CSmbiosTable() = default;

HANDLE CSmbiosTable::Mutex() {
  HANDLE mutex = m_hMutex.load(std::memory_order_acquire);
  if (mutex) return mutex;
  HANDLE created = ::CreateMutexW(nullptr, FALSE, nullptr);
  if (m_hMutex.compare_exchange_strong(mutex, created, std::memory_order_acq_rel)) return created;
  if (created) CloseHandle(created);  // another thread created it first
  return mutex;
}

void CSmbiosTable::CreateMutex() { Mutex(); }

void CSmbiosTable::Lock() { WaitForSingleObject(Mutex(), INFINITE); }

void CSmbiosTable::Unlock() { ReleaseMutex(Mutex()); }

void CSmbiosTable::Unload() {
  // The mutex leaves the table while it is held, so that a user after the unload makes a fresh
  // one; it is released on the way out, then closed.
  CAutoHandle retired(Mutex());
  CMutexHandleGuard lock(retired.Get());
  Drop();
  m_hMutex.store(nullptr, std::memory_order_release);
}

bool CSmbiosTable::IsLoaded() {
  return std::atomic_ref<bool>(m_bLoaded).load(std::memory_order_acquire);
}

void CSmbiosTable::Drop() {
  std::atomic_ref<bool>(m_bLoaded).store(false, std::memory_order_release);
  m_Table.clear();
  m_Table.shrink_to_fit();
  m_TableLength = 0;
  for (std::vector<uint32_t>& offsets : m_Index) offsets.clear();
  m_IndexedCount = 0;
}

bool CSmbiosTable::LoadTable() {
  CLockGuard<CSmbiosTable> lock(*this);
  return LoadLocked();
}

bool CSmbiosTable::LoadLocked() {
  Drop();
  HANDLE device = CreateFileW(kSecondaryDriverDevice, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  bool loaded = false;
  if (device != INVALID_HANDLE_VALUE) {
    CloseHandle(device);
    loaded = LoadFromPhysicalMemory();
  } else {
    loaded = LoadFromWmi();
  }
  if (!loaded) {
    Drop();
    return false;
  }
  BuildIndex();
  std::atomic_ref<bool>(m_bLoaded).store(true, std::memory_order_release);
  return true;
}

bool CSmbiosTable::LoadFromPhysicalMemory() {
  std::vector<BYTE> area(kEntryPointSearchLength);
  if (!ReadPhysicalMemory(kEntryPointSearchBase, kEntryPointSearchLength, area.data())) return false;
  long at = FindSmbiosEntryPoint(area);
  if (at < 0) return false;
  const BYTE* entry = area.data() + at;
  std::memcpy(m_EntryPoint.data(), entry, kEntryPointKeptBytes);
  m_TableAddress = ReadDword(entry + kEntryPointTableAddress);
  m_StructureCount = ReadWord(entry + kEntryPointStructureCount);
  m_BcdRevision = entry[kEntryPointBcdRevision];
  WORD length = ReadWord(m_EntryPoint.data() + kEntryPointTableLength);
  // An empty table holds nothing to find; treating it as no table lets the next reader try again.
  if (length == 0) return false;
  m_Table.assign(length, 0);
  if (!ReadPhysicalMemory(m_TableAddress, length, m_Table.data())) return false;
  m_TableLength = length;
  return true;
}

bool CSmbiosTable::LoadFromWmi() {
  WmiObjectList objects;
  HRESULT hr = ExecWmiQuery(kSmbiosNamespace, kSmbiosQuery, objects, nullptr, nullptr, kWmiQueryTimeout);
  if (FAILED(hr) || objects.size() != 1) return false;
  DWORD size = 0;
  if (FAILED(GetUint32(objects[0], kSizeProperty, size)) || size == 0) return false;
  m_Table.assign(size, 0);
  DWORD count = size;
  if (FAILED(GetBytes(objects[0], kDataProperty, m_Table.data(), count))) return false;
  // The length is kept in 16 bits, as the entry point states it; a larger table is walked only
  // that far.
  m_TableLength = static_cast<WORD>(size);
  return m_TableLength != 0;
}

bool CSmbiosTable::SetTableForTesting(std::vector<BYTE> table) {
  CLockGuard<CSmbiosTable> lock(*this);
  Drop();
  bool held = !table.empty() && table.size() <= 0xFFFF;
  if (held) {
    m_TableLength = static_cast<WORD>(table.size());
    m_Table = std::move(table);
    BuildIndex();
    std::atomic_ref<bool>(m_bLoaded).store(true, std::memory_order_release);
  }
  return held;
}

size_t CSmbiosTable::StructureCountForTesting() {
  CLockGuard<CSmbiosTable> lock(*this);
  return m_IndexedCount;
}

void CSmbiosTable::BuildIndex() {
  const size_t end = std::min<size_t>(m_TableLength, m_Table.size());
  const BYTE* table = m_Table.data();
  size_t at = 0;
  // Each check below ends the walk at the first structure that cannot be read whole, keeping the
  // ones before it: past a broken header or an unterminated string set nothing says where the next
  // structure starts, and nothing may be read outside the table.
  while (at + kSmbiosHeaderLength <= end) {
    BYTE length = table[at + kSmbiosLength];
    if (length < kSmbiosHeaderLength) break;    // the header overlaps its own string set
    if (at + length > end) break;                // the formatted area runs past the table
    size_t next = at + length;
    while (next + 1 < end && (table[next] != 0 || table[next + 1] != 0)) ++next;
    if (next + 1 >= end) break;                  // no double zero before the table's end
    m_Index[table[at + kSmbiosType]].push_back(static_cast<uint32_t>(at));
    ++m_IndexedCount;
    at = next + 2;                               // the end structure (127) does not stop the walk
  }
}

bool CSmbiosTable::FindStructure(BYTE type, WORD index, BYTE* buffer, BYTE& length, SmbiosStrings& strings) {
  CLockGuard<CSmbiosTable> lock(*this);
  if (!IsLoaded() && !LoadLocked()) return false;
  const std::vector<uint32_t>& offsets = m_Index[type];
  if (index >= offsets.size()) return false;
  const BYTE* structure = m_Table.data() + offsets[index];
  const BYTE* end = m_Table.data() + std::min<size_t>(m_TableLength, m_Table.size());
  BYTE copied = std::min(structure[kSmbiosLength], length);
  std::memcpy(buffer, structure, copied);
  length = copied;
  ReadStrings(structure + structure[kSmbiosLength], end, strings);
  return true;
}

void CSmbiosTable::ReadStrings(const BYTE* start, const BYTE* end, SmbiosStrings& strings) {
  strings.clear();
  strings.emplace_back();
  const BYTE* text = start;
  while (text < end && *text != 0) {
    const BYTE* stop = std::find(text, end, BYTE{0});
    int bytes = static_cast<int>(stop - text);
    std::wstring wide(static_cast<size_t>(bytes), L'\0');
    int chars = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCSTR>(text), bytes, wide.data(), bytes);
    wide.resize(static_cast<size_t>(std::max(chars, 0)));
    strings.push_back(std::move(wide));
    text = stop + 1;
  }
}

std::wstring CSmbiosTable::GetString(BYTE number, const SmbiosStrings& strings) {
  if (number == 0 || number >= strings.size()) return std::wstring();
  return strings[number];
}
