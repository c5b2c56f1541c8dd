// How the module's instances name the computer system and its chassis, which other providers of the
// server publish, and how the lists turn their relative object paths into full ones.
#pragma once

#include <windows.h>

#include <string>

// The computer system's class, also the value of every SystemCreationClassName of the module.
inline constexpr const WCHAR* kComputerSystemClass = L"QZ_WinComputerSystem";
inline constexpr const WCHAR* kChassisClass = L"QZ_ComputerSystemChassis";
// The namespace that both classes live in, and that the lookups query.
inline constexpr const WCHAR* kComputerSystemNamespace = L"root\\VXN";

// The texts of the lookups. Each %ls is filled in the order the functions below describe.
inline constexpr const WCHAR* kComputerSystemClassQuery = L"SELECT * FROM meta_class WHERE __CLASS = \"%ls\"";
inline constexpr const WCHAR* kChassisQuery = L"SELECT * FROM %ls";
inline constexpr const WCHAR* kComputerSystemReferenceFormat = L"%ls.CreationClassName=\"%ls\",Name=\"%ls\"";
inline constexpr const WCHAR* kFullPathFormat = L"\\\\%ls\\%ls:%ls";

// The buffer of the first name lookup, in characters.
inline constexpr DWORD kComputerNameBufferLength = 4096;

// The computer's name: its fully qualified DNS name, else its DNS host name, else its NetBIOS name,
// whichever the system gives first. 0 on success; otherwise the error of the last try (8 when a
// buffer could not be had) and `name` stays empty. Asks the system at every call.
DWORD GetLocalComputerName(std::wstring& name);

// "QZ_WinComputerSystem".
void GetComputerSystemClassName(std::wstring& name);

// The relative path of this computer's system object: the computer system class's __PATH, then
// .CreationClassName="QZ_WinComputerSystem",Name="<computer name>". WBEM_E_FAILED when the class
// query does not give exactly one class or the computer's name cannot be had; the query's own
// failure code when it fails. `reference` is empty on every failure.
HRESULT GetComputerSystemReference(std::wstring& reference);

// The __PATH of the one chassis instance. WBEM_E_FAILED when there is not exactly one or its path
// cannot be read; the query's own failure code when it fails. `reference` is empty on failure.
HRESULT GetChassisReference(std::wstring& reference);

// \\<server>\<namespace>:<relative path>, with the server that the computer system class reports
// in __SERVER; the server part stays empty (three backslashes in front) when the class cannot be
// had. Never fails.
void MakeFullPath(const WCHAR* nameSpace, const WCHAR* relativePath, std::wstring& fullPath);
