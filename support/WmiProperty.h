// Writing property values into WMI instances and reading them back out of WMI objects, each kind
// of value in the representation the WMI service keeps for it.
#pragma once

#include <wbemcli.h>

#include <string>
#include <vector>

// Writers. Each puts the value into a VARIANT of the type that the service stores for the
// property's CIM type and calls Put(name, 0, &value, 0), so the class definition decides whether
// the value fits. They return the result of Put; the VARIANT is always cleared afterwards. A null
// instance gives WBEM_E_INVALID_PARAMETER.

// VT_BOOL: VARIANT_TRUE or VARIANT_FALSE.
[[nodiscard]] HRESULT PutBool(IWbemClassObject* instance, LPCWSTR name, bool value);
// VT_I4, zero-extended: 0xFFFF is stored as 65535.
[[nodiscard]] HRESULT PutUint16(IWbemClassObject* instance, LPCWSTR name, WORD value);
// VT_I4 holding the same 32 bits.
[[nodiscard]] HRESULT PutUint32(IWbemClassObject* instance, LPCWSTR name, DWORD value);
[[nodiscard]] HRESULT PutInt32(IWbemClassObject* instance, LPCWSTR name, LONG value);
// VT_BSTR with the decimal text: no sign, no leading zeros, no separators.
[[nodiscard]] HRESULT PutUint64(IWbemClassObject* instance, LPCWSTR name, ULONGLONG value);
// VT_BSTR with a copy of the text; a null C string is stored as the empty text.
[[nodiscard]] HRESULT PutString(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value);
[[nodiscard]] HRESULT PutString(IWbemClassObject* instance, LPCWSTR name, const wchar_t* value);
// One-dimensional arrays with lower bound 0, in list order. An empty list is an empty array,
// never a null value.
[[nodiscard]] HRESULT PutStringList(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& values);
// Elements VT_I4, each zero-extended.
[[nodiscard]] HRESULT PutUint16List(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& values);
// Elements VT_UI1.
[[nodiscard]] HRESULT PutByteList(IWbemClassObject* instance, LPCWSTR name, const std::vector<BYTE>& values);

// Readers. Each calls Get(name, 0, &value, nullptr, nullptr) and converts. A value of a type the
// reader does not accept gives WBEM_E_FAILED; a failing Get passes its own code through, except
// for GetUint16 and GetUint8, which report every failure as WBEM_E_FAILED. On failure the out
// value is left untouched.

// VT_BOOL only; any non-zero value is true.
[[nodiscard]] HRESULT GetBool(IWbemClassObject* object, LPCWSTR name, bool& value);
// VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT or VT_UINT: signed types sign-extended,
// unsigned ones zero-extended to 32 bits.
[[nodiscard]] HRESULT GetUint32(IWbemClassObject* object, LPCWSTR name, DWORD& value);
// The low 16 or 8 bits of what GetUint32 reads.
[[nodiscard]] HRESULT GetUint16(IWbemClassObject* object, LPCWSTR name, WORD& value);
[[nodiscard]] HRESULT GetUint8(IWbemClassObject* object, LPCWSTR name, BYTE& value);
// VT_BSTR only; a null BSTR reads as the empty text.
[[nodiscard]] HRESULT GetString(IWbemClassObject* object, LPCWSTR name, std::wstring& value);
// An array of VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4 or VT_UI4: the lowest byte of each element, in
// index order, into at most `count` bytes of `buffer`. Elements past the capacity are read and
// dropped. On success `count` becomes the number of bytes stored; on failure it is untouched,
// though bytes before the failing element may already have been stored.
[[nodiscard]] HRESULT GetBytes(IWbemClassObject* object, LPCWSTR name, BYTE* buffer, DWORD& count);
