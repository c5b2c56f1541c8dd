// GetComputerNameExW: the managed machine's names, with its injected failure.
#include <atomic>
#include <cstring>
#include <string>

#include "kernel32/text.h"
#include "machine/machine.h"
#include "windows.h"

namespace {

// Calls since the current machine was set; a machine whose names fail on call N fails exactly that
// one (the count starts again when another machine becomes current).
std::atomic<const void*> g_CountedMachine{nullptr};
std::atomic<int> g_Calls{0};

bool FailsThisCall(const qz::machine::Machine& machine) {
  const void* identity = &machine;
  if (g_CountedMachine.exchange(identity) != identity) g_Calls = 0;
  const int call = ++g_Calls;
  return machine.names.failOnCall > 0 && call == machine.names.failOnCall;
}

std::string DomainOf(const std::string& fullyQualified) {
  const size_t dot = fullyQualified.find('.');
  return dot == std::string::npos ? std::string() : fullyQualified.substr(dot + 1);
}

}  // namespace

extern "C" BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT NameType, LPWSTR lpBuffer, LPDWORD nSize) {
  if (!nSize || NameType < ComputerNameNetBIOS || NameType >= ComputerNameMax) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<const qz::machine::Machine> machine = qz::machine::Current();
  if (FailsThisCall(*machine)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const qz::machine::ComputerNames& names = machine->names;
  std::string name;
  switch (NameType) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
      name = names.netBios;
      break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
      name = names.dnsHostname;
      break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
      name = DomainOf(names.dnsFullyQualified);
      break;
    default:
      name = names.dnsFullyQualified;
      break;
  }
  const std::wstring wide = qz::FromUtf8(name);
  const DWORD needed = static_cast<DWORD>(wide.size()) + 1;
  if (!lpBuffer || *nSize < needed) {
    *nSize = needed;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::wmemcpy(lpBuffer, wide.c_str(), needed);
  *nSize = needed - 1;
  return TRUE;
}
