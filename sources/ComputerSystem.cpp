// The computer's name, the references to the computer system and its chassis, and full object paths.
#include "sources/ComputerSystem.h"

#include <wbemcli.h>

#include <cstdarg>
#include <memory>
#include <new>

#include "sources/DataStore.h"
#include "support/CommonLog.h"
#include "support/WmiProperty.h"

namespace {

// The name formats, in the order they are tried.
constexpr COMPUTER_NAME_FORMAT kNameFormats[] = {ComputerNameDnsFullyQualified, ComputerNameDnsHostname,
                                                 ComputerNameNetBIOS};


// One format: a buffer of the usual size, then one of the size the system asks for.
DWORD TryComputerName(COMPUTER_NAME_FORMAT format, std::wstring& name) {
  DWORD size = kComputerNameBufferLength;
  std::unique_ptr<WCHAR[]> buffer(new (std::nothrow) WCHAR[size]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  if (!GetComputerNameExW(format, buffer.get(), &size)) {
    DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) return error;
    size += 1;
    buffer.reset(new (std::nothrow) WCHAR[size]);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    if (!GetComputerNameExW(format, buffer.get(), &size)) return GetLastError();
  }
  name = buffer.get();
  return ERROR_SUCCESS;
}

HRESULT QueryComputerSystemClass(WmiObjectList& classes) {
  return ExecWmiQuery(kComputerSystemNamespace, FormatText(kComputerSystemClassQuery, kComputerSystemClass), classes);
}

}  // namespace

DWORD GetLocalComputerName(std::wstring& name) {
  name.clear();
  DWORD error = ERROR_SUCCESS;
  for (COMPUTER_NAME_FORMAT format : kNameFormats) {
    error = TryComputerName(format, name);
    if (error == ERROR_SUCCESS) return ERROR_SUCCESS;
  }
  return error;
}

void GetComputerSystemClassName(std::wstring& name) { name = kComputerSystemClass; }

HRESULT GetComputerSystemReference(std::wstring& reference) {
  reference.clear();
  WmiObjectList classes;
  HRESULT hr = QueryComputerSystemClass(classes);
  if (FAILED(hr)) return hr;
  if (classes.size() != 1) return WBEM_E_FAILED;
  std::wstring classPath;
  // An unreadable path leaves the reference empty but is not reported: the query itself went well.
  if (FAILED(GetString(classes[0], L"__PATH", classPath))) return hr;
  std::wstring computerName;
  if (GetLocalComputerName(computerName) != ERROR_SUCCESS) return WBEM_E_FAILED;
  reference = FormatText(kComputerSystemReferenceFormat, classPath.c_str(), kComputerSystemClass, computerName.c_str());
  return hr;
}

HRESULT GetChassisReference(std::wstring& reference) {
  reference.clear();
  WmiObjectList chassis;
  HRESULT hr = ExecWmiQuery(kComputerSystemNamespace, FormatText(kChassisQuery, kChassisClass), chassis);
  if (FAILED(hr)) return hr;
  if (chassis.size() != 1) return WBEM_E_FAILED;
  std::wstring path;
  if (FAILED(GetString(chassis[0], L"__PATH", path))) return WBEM_E_FAILED;
  reference = path;
  return hr;
}

void MakeFullPath(const WCHAR* nameSpace, const WCHAR* relativePath, std::wstring& fullPath) {
  fullPath.clear();
  std::wstring server;
  WmiObjectList classes;
  // A server name that cannot be read leaves the path without one.
  if (SUCCEEDED(QueryComputerSystemClass(classes)) && !classes.empty())
    static_cast<void>(GetString(classes[0], L"__SERVER", server));
  fullPath = FormatText(kFullPathFormat, server.c_str(), nameSpace ? nameSpace : L"", relativePath ? relativePath : L"");
}
