// Property values in and out of WMI objects: the VARIANT type and conversion for each kind of value.
#include "support/WmiProperty.h"

#include <atlbase.h>
#include <oleauto.h>

#include <cwchar>

namespace {

// Stores the value and clears it, whatever Put answers.
HRESULT PutVariant(IWbemClassObject* instance, LPCWSTR name, CComVariant& value) {
  if (!instance) return WBEM_E_INVALID_PARAMETER;
  const HRESULT hr = instance->Put(name, 0, &value, 0);
  value.Clear();
  return hr;
}

// Hands a new one-dimensional array with lower bound 0 to `value`, which then owns it.
SAFEARRAY* NewVector(CComVariant& value, VARTYPE elementType, size_t count) {
  SAFEARRAY* array = SafeArrayCreateVector(elementType, 0, static_cast<ULONG>(count));
  if (!array) return nullptr;
  value.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
  value.parray = array;
  return array;
}

// Whether the value is of an integer type the readers take; if so, its value widened to 32 bits.
bool WidenInteger(const VARIANT& value, DWORD& result) {
  switch (value.vt) {
    case VT_I1: result = static_cast<DWORD>(static_cast<LONG>(static_cast<signed char>(value.cVal))); return true;
    case VT_UI1: result = value.bVal; return true;
    case VT_I2: result = static_cast<DWORD>(static_cast<LONG>(value.iVal)); return true;
    case VT_UI2: result = value.uiVal; return true;
    case VT_I4: result = static_cast<DWORD>(value.lVal); return true;
    case VT_UI4: result = value.ulVal; return true;
    case VT_INT: result = static_cast<DWORD>(value.intVal); return true;
    case VT_UINT: result = value.uintVal; return true;
    default: return false;
  }
}

// Reads one element of an integer array and keeps its lowest byte.
template <class T>
HRESULT ReadLowByte(SAFEARRAY* array, LONG index, BYTE& low) {
  T element{};
  if (FAILED(SafeArrayGetElement(array, &index, &element))) return WBEM_E_FAILED;
  low = static_cast<BYTE>(element & 0xFF);
  return WBEM_S_NO_ERROR;
}

HRESULT ReadElementByte(SAFEARRAY* array, VARTYPE elementType, LONG index, BYTE& low) {
  switch (elementType) {
    case VT_I1: return ReadLowByte<signed char>(array, index, low);
    case VT_UI1: return ReadLowByte<BYTE>(array, index, low);
    case VT_I2: return ReadLowByte<SHORT>(array, index, low);
    case VT_UI2: return ReadLowByte<USHORT>(array, index, low);
    case VT_I4: return ReadLowByte<LONG>(array, index, low);
    case VT_UI4: return ReadLowByte<ULONG>(array, index, low);
    default: return WBEM_E_FAILED;
  }
}

}  // namespace

HRESULT PutBool(IWbemClassObject* instance, LPCWSTR name, bool value) {
  CComVariant variant(value);
  return PutVariant(instance, name, variant);
}

HRESULT PutUint16(IWbemClassObject* instance, LPCWSTR name, WORD value) {
  CComVariant variant(static_cast<int>(value));
  return PutVariant(instance, name, variant);
}

HRESULT PutUint32(IWbemClassObject* instance, LPCWSTR name, DWORD value) {
  CComVariant variant(static_cast<int>(value));
  return PutVariant(instance, name, variant);
}

HRESULT PutInt32(IWbemClassObject* instance, LPCWSTR name, LONG value) {
  CComVariant variant(static_cast<int>(value));
  return PutVariant(instance, name, variant);
}

HRESULT PutUint64(IWbemClassObject* instance, LPCWSTR name, ULONGLONG value) {
  WCHAR text[64];
  std::swprintf(text, 64, L"%llu", static_cast<unsigned long long>(value));
  return PutString(instance, name, text);
}

HRESULT PutString(IWbemClassObject* instance, LPCWSTR name, const std::wstring& value) {
  CComVariant variant;
  variant.vt = VT_BSTR;
  variant.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  if (!variant.bstrVal) return WBEM_E_OUT_OF_MEMORY;
  return PutVariant(instance, name, variant);
}

HRESULT PutString(IWbemClassObject* instance, LPCWSTR name, const wchar_t* value) {
  CComVariant variant(value ? value : L"");
  if (variant.vt != VT_BSTR) return WBEM_E_OUT_OF_MEMORY;
  return PutVariant(instance, name, variant);
}

HRESULT PutStringList(IWbemClassObject* instance, LPCWSTR name, const std::vector<std::wstring>& values) {
  CComVariant variant;
  SAFEARRAY* array = NewVector(variant, VT_BSTR, values.size());
  if (!array) return WBEM_E_OUT_OF_MEMORY;
  for (LONG index = 0; index < static_cast<LONG>(values.size()); ++index) {
    const std::wstring& text = values[static_cast<size_t>(index)];
    CComBSTR element(static_cast<int>(text.size()), text.data());
    if (!element) element = L"";
    if (FAILED(SafeArrayPutElement(array, &index, element.m_str))) return WBEM_E_OUT_OF_MEMORY;
  }
  return PutVariant(instance, name, variant);
}

HRESULT PutUint16List(IWbemClassObject* instance, LPCWSTR name, const std::vector<WORD>& values) {
  CComVariant variant;
  SAFEARRAY* array = NewVector(variant, VT_I4, values.size());
  if (!array) return WBEM_E_OUT_OF_MEMORY;
  for (LONG index = 0; index < static_cast<LONG>(values.size()); ++index) {
    LONG element = values[static_cast<size_t>(index)];
    if (FAILED(SafeArrayPutElement(array, &index, &element))) return WBEM_E_OUT_OF_MEMORY;
  }
  return PutVariant(instance, name, variant);
}

HRESULT PutByteList(IWbemClassObject* instance, LPCWSTR name, const std::vector<BYTE>& values) {
  CComVariant variant;
  SAFEARRAY* array = NewVector(variant, VT_UI1, values.size());
  if (!array) return WBEM_E_OUT_OF_MEMORY;
  for (LONG index = 0; index < static_cast<LONG>(values.size()); ++index) {
    BYTE element = values[static_cast<size_t>(index)];
    if (FAILED(SafeArrayPutElement(array, &index, &element))) return WBEM_E_OUT_OF_MEMORY;
  }
  return PutVariant(instance, name, variant);
}

HRESULT GetBool(IWbemClassObject* object, LPCWSTR name, bool& value) {
  if (!object) return WBEM_E_INVALID_PARAMETER;
  CComVariant variant;
  const HRESULT hr = object->Get(name, 0, &variant, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (variant.vt != VT_BOOL) return WBEM_E_FAILED;
  value = variant.boolVal != VARIANT_FALSE;
  return WBEM_S_NO_ERROR;
}

HRESULT GetUint32(IWbemClassObject* object, LPCWSTR name, DWORD& value) {
  if (!object) return WBEM_E_INVALID_PARAMETER;
  CComVariant variant;
  const HRESULT hr = object->Get(name, 0, &variant, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  DWORD widened = 0;
  if (!WidenInteger(variant, widened)) return WBEM_E_FAILED;
  value = widened;
  return WBEM_S_NO_ERROR;
}

HRESULT GetUint16(IWbemClassObject* object, LPCWSTR name, WORD& value) {
  DWORD widened = 0;
  if (FAILED(GetUint32(object, name, widened))) return WBEM_E_FAILED;
  value = static_cast<WORD>(widened & 0xFFFF);
  return WBEM_S_NO_ERROR;
}

HRESULT GetUint8(IWbemClassObject* object, LPCWSTR name, BYTE& value) {
  DWORD widened = 0;
  if (FAILED(GetUint32(object, name, widened))) return WBEM_E_FAILED;
  value = static_cast<BYTE>(widened & 0xFF);
  return WBEM_S_NO_ERROR;
}

HRESULT GetString(IWbemClassObject* object, LPCWSTR name, std::wstring& value) {
  if (!object) return WBEM_E_INVALID_PARAMETER;
  CComVariant variant;
  const HRESULT hr = object->Get(name, 0, &variant, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (variant.vt != VT_BSTR) return WBEM_E_FAILED;
  value.assign(variant.bstrVal ? variant.bstrVal : L"", SysStringLen(variant.bstrVal));
  return WBEM_S_NO_ERROR;
}

HRESULT GetBytes(IWbemClassObject* object, LPCWSTR name, BYTE* buffer, DWORD& count) {
  if (!object || (!buffer && count != 0)) return WBEM_E_INVALID_PARAMETER;
  CComVariant variant;
  const HRESULT hr = object->Get(name, 0, &variant, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (!(variant.vt & VT_ARRAY) || (variant.vt & VT_BYREF) || !variant.parray) return WBEM_E_FAILED;
  const VARTYPE elementType = static_cast<VARTYPE>(variant.vt & VT_TYPEMASK);
  switch (elementType) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: break;
    default: return WBEM_E_FAILED;
  }
  LONG lower = 0;
  LONG upper = 0;
  if (FAILED(SafeArrayGetLBound(variant.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(variant.parray, 1, &upper))) {
    return WBEM_E_FAILED;
  }
  DWORD stored = 0;
  for (LONG index = lower; index <= upper; ++index) {
    BYTE low = 0;
    if (FAILED(ReadElementByte(variant.parray, elementType, index, low))) return WBEM_E_FAILED;
    if (stored < count) buffer[stored++] = low;
    if (index == upper) break;  // an upper bound of LONG_MAX must not wrap the index
  }
  count = stored;
  return WBEM_S_NO_ERROR;
}
