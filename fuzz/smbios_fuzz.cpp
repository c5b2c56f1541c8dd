// Fuzzes the SMBIOS structure walk and what reads it: any bytes held as the table are indexed and
// read without a read outside the table, every copy stays within the structure and the buffer, every
// string number gives a string or the empty one, the memory devices are collected and located, and
// the location-token parser reads any text.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sources/PlatformProbe.h"
#include "sources/SmbiosTable.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Reads every structure of `type` until the walk says there is none, with a buffer of `capacity`.
void ReadAll(BYTE type, BYTE capacity) {
  for (WORD index = 0;; ++index) {
    // A heap buffer of exactly the capacity, so that the sanitizer sees any byte written past it.
    std::vector<BYTE> buffer(capacity ? capacity : 1);
    BYTE length = capacity;
    SmbiosStrings strings;
    if (!g_SmbiosTable.FindStructure(type, index, buffer.data(), length, strings)) {
      Check(length == capacity);
      return;
    }
    Check(length <= capacity);
    Check(length == capacity || length == buffer[1]);
    Check(length < 1 || buffer[0] == type);
    Check(!strings.empty() && strings[0].empty());
    for (unsigned number = 0; number < 256; ++number) {
      std::wstring text = CSmbiosTable::GetString(static_cast<BYTE>(number), strings);
      if (number == 0 || number >= strings.size()) Check(text.empty());
      else Check(text == strings[number] && !text.empty());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_SmbiosTable.SetTableForTesting(std::vector<BYTE>(data, data + size))) {
    Check(size == 0 || size > 0xFFFF);
    return 0;
  }
  ReadAll(kSmbiosTypeMemoryDevice, kType17CopyLength);
  ReadAll(kSmbiosTypeMemoryDeviceMappedAddress, kType20CopyLength);
  ReadAll(kSmbiosTypeMemoryModuleLocation, kType202CopyLength);
  ReadAll(data[0], 255);
  ReadAll(data[0], 0);

  MemoryDeviceList devices;
  const bool found = CollectMemoryDevices(devices);
  Check(found == !devices.empty());
  for (const MemoryDeviceEntry& device : devices) {
    Check(!device.strings.empty() && device.strings[0].empty());
    BYTE board = 0xEE, module = 0xEE;
    LocateMemoryDevice(device.data, device.strings, board, module);
  }

  // The same bytes as a locator text, read for each token.
  std::wstring text(data, data + size);
  for (const wchar_t* token : {L"SLOT", L"Cart", L"PROC", L"CPU", L"DIMM", L""}) {
    DWORD number = 0xDEADBEEF;
    if (ParseTokenNumber(text, token, number)) Check(number <= 999999999);
  }
  return 0;
}
