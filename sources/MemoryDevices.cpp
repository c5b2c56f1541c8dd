// The memory functions the lists share: SMBIOS memory devices and where they sit, the
// location-token parser, and the failing modules the management journal names.
#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <unordered_map>

#include "sources/DataStore.h"
#include "sources/PlatformProbe.h"
#include "support/LittleEndian.h"
#include "support/WmiProperty.h"

namespace {

// The board tokens of a device locator, in the order they are tried.
constexpr const WCHAR* kBoardTokens[] = {L"SLOT", L"Cart", L"PROC", L"CPU"};
constexpr const WCHAR* kModuleToken = L"DIMM";

// The digits of one number, as the parser's buffer of ten characters holds them with its end.
constexpr size_t kMaxTokenDigits = 9;

// Text for the narrow console, in the ANSI code page.
std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

bool IsDecimalDigit(WCHAR c) { return c >= L'0' && c <= L'9'; }

// What may follow a character that the number search passes over.
bool MayFollow(WCHAR c) {
  return std::iswalpha(static_cast<wint_t>(c)) || IsDecimalDigit(c) || std::iswpunct(static_cast<wint_t>(c)) ||
         std::iswblank(static_cast<wint_t>(c));
}

// Every structure of one type, copied once, with the first one that names each device handle. The
// collection below reads the type 20 and type 202 structures for every memory device; the table
// never changes once loaded, so reading them once and looking them up by handle gives the same
// first match as walking them again for each device.
template <size_t Copy>
struct StructuresByHandle {
  struct Copied {
    BYTE bytes[Copy] = {};
    BYTE length = 0;
  };
  std::vector<Copied> structures;
  std::unordered_map<WORD, size_t> firstByHandle;

  StructuresByHandle(BYTE type, size_t handleOffset) {
    for (WORD index = 0;; ++index) {
      Copied copy;
      copy.length = static_cast<BYTE>(Copy);
      SmbiosStrings strings;
      if (!g_SmbiosTable.FindStructure(type, index, copy.bytes, copy.length, strings)) break;
      // A structure too short to name a device names none.
      if (copy.length >= handleOffset + 2)
        firstByHandle.emplace(ReadWord(copy.bytes, handleOffset), structures.size());
      structures.push_back(copy);
      if (index == 0xFFFF) break;
    }
  }
  const Copied* Find(WORD handle) const {
    auto it = firstByHandle.find(handle);
    return it == firstByHandle.end() ? nullptr : &structures[it->second];
  }
};

using MappedAddresses = StructuresByHandle<kType20CopyLength>;
using LocationRecords = StructuresByHandle<kType202CopyLength>;

// The type 20 structure that maps the device with this handle: its partition row and interleave
// position, when there is one.
void FindMappedAddress(WORD handle, const MappedAddresses& mapped, MemoryDeviceEntry& entry) {
  if (const MappedAddresses::Copied* structure = mapped.Find(handle)) {
    entry.partitionRow = structure->bytes[kType20PartitionRow];
    entry.interleavePosition = structure->bytes[kType20InterleavePosition];
  }
}

bool Locate(const BYTE* type17, const SmbiosStrings& strings, const LocationRecords& records, BYTE& board,
            BYTE& module);

}  // namespace

bool ParseTokenNumber(const std::wstring& text, const std::wstring& token, DWORD& number) {
  const size_t start = text.find(token);
  if (start == std::wstring::npos) {
    std::printf("Token %s not found in the %s string \n", Narrow(token).c_str(), Narrow(text).c_str());
    return false;
  }
  for (size_t i = start; i < text.size(); ++i) {
    if (IsDecimalDigit(text[i])) {
      size_t end = i;
      while (end < text.size() && IsDecimalDigit(text[end])) ++end;
      // A run longer than the digit buffer is refused rather than cut: its first nine digits
      // would be a number the locator never gave, and would put a module on a board it is not
      // on. Refusing lets the caller try its next token.
      if (end - i > kMaxTokenDigits) break;
      DWORD value = 0;
      for (size_t d = i; d < end; ++d) value = value * 10 + static_cast<DWORD>(text[d] - L'0');
      number = value;
      return true;
    }
    // The end of the text fails this test too.
    if (i + 1 >= text.size() || !MayFollow(text[i + 1])) break;
  }
  std::printf("No Integer after %s token\n", Narrow(token).c_str());
  return false;
}

bool LocateMemoryDevice(const BYTE* type17, const SmbiosStrings& strings, BYTE& board, BYTE& module) {
  const LocationRecords records(kSmbiosTypeMemoryModuleLocation, kType202DeviceHandle);
  return Locate(type17, strings, records, board, module);
}

namespace {

bool Locate(const BYTE* type17, const SmbiosStrings& strings, const LocationRecords& records, BYTE& board,
            BYTE& module) {
  board = 0;
  module = 0;
  if (const LocationRecords::Copied* found = records.Find(ReadWord(type17, kType17Handle))) {
    const BYTE* record = found->bytes;
    // On processor boards the board is the processor number, which only 9-byte records carry;
    // whether there is a board at all is still told by the board byte.
    const bool hasBoard = record[kType202Board] != 0xFF;
    if (g_bProcessorBoardMemory && found->length >= kType202CopyLength)
      board = hasBoard ? record[kType202Processor] : 0;
    else
      board = hasBoard ? record[kType202Board] : 0;
    module = record[kType202Module] == 0xFF ? 0 : record[kType202Module];
    return true;
  }

  const BYTE locatorNumber = type17[kSmbiosLength] > kType17DeviceLocator ? type17[kType17DeviceLocator] : 0;
  const std::wstring locator = CSmbiosTable::GetString(locatorNumber, strings);
  bool found = false;
  DWORD number = 0;
  for (const WCHAR* token : kBoardTokens) {
    if (ParseTokenNumber(locator, token, number)) {
      board = static_cast<BYTE>(number & 0xFF);
      found = true;
      break;
    }
  }
  if (ParseTokenNumber(locator, kModuleToken, number)) {
    module = static_cast<BYTE>(number & 0xFF);
    found = true;
  }
  return found;
}

}  // namespace

bool CollectMemoryDevices(MemoryDeviceList& devices) {
  devices.clear();
  if (!g_SmbiosTable.IsLoaded() && !g_SmbiosTable.LoadTable()) return false;
  const LocationRecords records(kSmbiosTypeMemoryModuleLocation, kType202DeviceHandle);
  const MappedAddresses mapped(kSmbiosTypeMemoryDeviceMappedAddress, kType20DeviceHandle);
  for (WORD index = 0;; ++index) {
    MemoryDeviceEntry entry;
    BYTE length = kType17CopyLength;
    if (!g_SmbiosTable.FindStructure(kSmbiosTypeMemoryDevice, index, entry.data, length, entry.strings)) break;
    BYTE board = 0;
    BYTE module = 0;
    if (Locate(entry.data, entry.strings, records, board, module)) {
      entry.board = board;
      entry.module = module;
    }
    FindMappedAddress(ReadWord(entry.data, kType17Handle), mapped, entry);
    devices.push_back(std::move(entry));
    if (index == 0xFFFF) break;
  }
  return !devices.empty();
}

void ReadJournalErrors(IWbemContext* context, JournalErrorSet& errors) {
  WmiObjectList entries;
  const HRESULT hr = ExecWmiQuery(kJournalNamespace, kJournalErrorQuery, entries, context);
  if (FAILED(hr)) return;
  for (const CComPtr<IWbemClassObject>& entry : entries) {
    BYTE raw[kJournalRawDataCapacity] = {};
    DWORD count = kJournalRawDataCapacity;
    if (FAILED(GetBytes(entry, L"RawData", raw, count))) continue;
    // Fields past the bytes that were read do not exist.
    const auto has = [count](size_t offset) { return offset < count; };
    if (!has(kJournalCode + 1)) continue;
    const WORD entryClass = ReadWord(raw, kJournalClass);
    const WORD code = ReadWord(raw, kJournalCode);
    if (entryClass != kJournalClassMemory) continue;
    if (code == kJournalCodeOneModule || code == kJournalCodeOneModuleAlso) {
      if (has(kJournalModule)) errors.emplace(raw[kJournalBoard], raw[kJournalModule]);
      continue;
    }
    if (code != kJournalCodeModuleList || !has(kJournalBoard)) continue;
    const size_t pairs = raw[kJournalBoard];
    for (size_t i = 0; i < pairs && has(kJournalPairBoard + 2 * i); ++i)
      errors.emplace(raw[kJournalPairBoard + 2 * i], raw[kJournalPairModule + 2 * i]);
  }
}
