// CIM values: what Put accepts for each CIM type and how it is stored, and the text of values in
// object paths and MOF.
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "wbem/classobject.h"

namespace qz::wbem {
namespace {

// The integer CIM types: the VARIANT type they are stored as, and their range.
struct IntegerRule {
  CIMTYPE type;
  VARTYPE stored;
  int bits;
  bool isSigned;
};
constexpr IntegerRule kIntegerRules[] = {
    {CIM_SINT8, VT_I2, 8, true},     {CIM_UINT8, VT_UI1, 8, false},  {CIM_SINT16, VT_I2, 16, true},
    {CIM_UINT16, VT_I4, 16, false},  {CIM_SINT32, VT_I4, 32, true},  {CIM_UINT32, VT_I4, 32, false},
    {CIM_SINT64, VT_BSTR, 64, true}, {CIM_UINT64, VT_BSTR, 64, false}, {CIM_CHAR16, VT_I2, 16, false},
};

// The automation integer types a Put may give for an integer property, and their width.
struct IntegerSource {
  VARTYPE vt;
  int bits;
};
constexpr IntegerSource kIntegerSources[] = {{VT_UI1, 8}, {VT_I2, 16}, {VT_I4, 32}};

struct CimTypeText {
  CIMTYPE type;
  const wchar_t* name;
};
constexpr CimTypeText kCimTypeNames[] = {
    {CIM_SINT8, L"sint8"},     {CIM_UINT8, L"uint8"},       {CIM_SINT16, L"sint16"},       {CIM_UINT16, L"uint16"},
    {CIM_SINT32, L"sint32"},   {CIM_UINT32, L"uint32"},     {CIM_SINT64, L"sint64"},       {CIM_UINT64, L"uint64"},
    {CIM_REAL32, L"real32"},   {CIM_REAL64, L"real64"},     {CIM_BOOLEAN, L"boolean"},     {CIM_STRING, L"string"},
    {CIM_DATETIME, L"datetime"}, {CIM_REFERENCE, L"ref"},   {CIM_CHAR16, L"char16"},       {CIM_OBJECT, L"object"},
};

const IntegerRule* FindIntegerRule(CIMTYPE type) {
  for (const IntegerRule& rule : kIntegerRules)
    if (rule.type == type) return &rule;
  return nullptr;
}

// The signed value and width of an automation integer; false for other types.
bool ReadIntegerSource(const VARIANT& in, long long* value, int* bits) {
  for (const IntegerSource& source : kIntegerSources) {
    if (source.vt != in.vt) continue;
    *bits = source.bits;
    switch (in.vt) {
      case VT_UI1: *value = in.bVal; return true;
      case VT_I2: *value = in.iVal; return true;
      default: *value = in.lVal; return true;
    }
  }
  return false;
}

// The decimal text of a value (with a minus when negative), written without swprintf.
std::wstring DecimalText(unsigned long long magnitude, bool negative) {
  wchar_t digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::wstring text;
  text.reserve(count + 1);
  if (negative) text.push_back(L'-');
  while (count > 0) text.push_back(digits[--count]);
  return text;
}

std::wstring DecimalText(long long value) {
  const bool negative = value < 0;
  return DecimalText(negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value),
                     negative);
}

// Parses decimal text as a 64-bit value: unsigned types take digits only, signed ones an
// optional minus. Leading zeros are allowed; nothing else is.
bool ParseDecimal(const wchar_t* text, bool isSigned, std::wstring* canonical) {
  if (!text) return false;
  bool negative = false;
  if (isSigned && *text == L'-') {
    negative = true;
    ++text;
  }
  if (!*text) return false;
  unsigned long long magnitude = 0;
  for (; *text; ++text) {
    if (*text < L'0' || *text > L'9') return false;
    const unsigned digit = static_cast<unsigned>(*text - L'0');
    if (magnitude > (~0ULL - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  if (isSigned && magnitude > (negative ? 0x8000000000000000ULL : 0x7FFFFFFFFFFFFFFFULL)) return false;
  if (negative && magnitude == 0) negative = false;
  *canonical = DecimalText(magnitude, negative);
  return true;
}

HRESULT CoerceInteger(const IntegerRule& rule, const VARIANT& in, CComVariant* out) {
  if (rule.bits == 64 && in.vt == VT_BSTR) {
    std::wstring text;
    if (!ParseDecimal(in.bstrVal, rule.isSigned, &text)) return WBEM_E_TYPE_MISMATCH;
    *out = text.c_str();
    return WBEM_S_NO_ERROR;
  }
  long long value = 0;
  int bits = 0;
  if (!ReadIntegerSource(in, &value, &bits)) return WBEM_E_TYPE_MISMATCH;
  // A source as wide as the property gives its bits: VT_I4 -1 is the uint32 4294967295, as
  // providers write unsigned 32-bit numbers. A narrower or wider one must keep its value.
  if (bits == rule.bits) {
    const unsigned long long mask = (1ULL << bits) - 1;
    value = static_cast<long long>(static_cast<unsigned long long>(value) & mask);
    if (rule.isSigned && value > static_cast<long long>(mask >> 1)) value -= static_cast<long long>(mask) + 1;
  }
  if (rule.bits < 64) {
    const long long min = rule.isSigned ? -(1LL << (rule.bits - 1)) : 0;
    const long long max = rule.isSigned ? (1LL << (rule.bits - 1)) - 1 : (1LL << rule.bits) - 1;
    if (value < min || value > max) return WBEM_E_TYPE_MISMATCH;
  } else if (!rule.isSigned && value < 0) {
    return WBEM_E_TYPE_MISMATCH;
  }
  out->Clear();
  switch (rule.stored) {
    case VT_UI1: *out = static_cast<BYTE>(value); break;
    case VT_I2: *out = static_cast<SHORT>(static_cast<uint16_t>(value)); break;
    case VT_I4: *out = static_cast<int>(static_cast<uint32_t>(value)); break;
    default: *out = DecimalText(value).c_str(); break;
  }
  return out->vt == rule.stored ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

HRESULT CoerceScalar(CIMTYPE type, const VARIANT& in, CComVariant* out) {
  if (const IntegerRule* rule = FindIntegerRule(type)) return CoerceInteger(*rule, in, out);
  out->Clear();
  switch (type) {
    case CIM_REAL32:
      if (in.vt != VT_R4) return WBEM_E_TYPE_MISMATCH;
      *out = in.fltVal;
      return WBEM_S_NO_ERROR;
    case CIM_REAL64:
      if (in.vt == VT_R4) {
        *out = static_cast<double>(in.fltVal);
        return WBEM_S_NO_ERROR;
      }
      if (in.vt != VT_R8) return WBEM_E_TYPE_MISMATCH;
      *out = in.dblVal;
      return WBEM_S_NO_ERROR;
    case CIM_BOOLEAN:
      if (in.vt != VT_BOOL) return WBEM_E_TYPE_MISMATCH;
      *out = in.boolVal != VARIANT_FALSE;
      return WBEM_S_NO_ERROR;
    case CIM_STRING:
    case CIM_DATETIME:
    case CIM_REFERENCE:
      if (in.vt != VT_BSTR) return WBEM_E_TYPE_MISMATCH;
      // A null BSTR is stored as the empty string, so that every stored string can be read.
      *out = in.bstrVal ? static_cast<LPCOLESTR>(in.bstrVal) : L"";
      return out->vt == VT_BSTR ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
    case CIM_OBJECT: {
      if (in.vt != VT_UNKNOWN && in.vt != VT_DISPATCH) return WBEM_E_TYPE_MISMATCH;
      if (!in.punkVal) return WBEM_S_NO_ERROR;
      CComPtr<IWbemClassObject> object;
      if (FAILED(in.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object))))
        return WBEM_E_TYPE_MISMATCH;
      *out = static_cast<IUnknown*>(object.p);
      return WBEM_S_NO_ERROR;
    }
    default:
      return WBEM_E_TYPE_MISMATCH;
  }
}

VARTYPE StoredType(CIMTYPE element) {
  if (const IntegerRule* rule = FindIntegerRule(element)) return rule->stored;
  switch (element) {
    case CIM_REAL32: return VT_R4;
    case CIM_REAL64: return VT_R8;
    case CIM_BOOLEAN: return VT_BOOL;
    case CIM_STRING:
    case CIM_DATETIME:
    case CIM_REFERENCE: return VT_BSTR;
    case CIM_OBJECT: return VT_UNKNOWN;
    default: return VT_EMPTY;
  }
}

// Reads element `index` of an array as a scalar VARIANT of the array's element type.
HRESULT ReadElement(SAFEARRAY* array, VARTYPE vt, LONG index, CComVariant* element) {
  element->Clear();
  VARIANT raw;
  VariantInit(&raw);
  void* target = &raw.lVal;
  if (vt == VT_VARIANT) target = &raw;
  HRESULT hr = SafeArrayGetElement(array, &index, target);
  if (FAILED(hr)) return hr;
  if (vt != VT_VARIANT) raw.vt = vt;
  return element->Attach(&raw);
}

HRESULT CoerceArray(CIMTYPE type, const VARIANT& in, CComVariant* out) {
  const CIMTYPE elementType = type & ~CIM_FLAG_ARRAY;
  const VARTYPE sourceType = in.vt & VT_TYPEMASK;
  SAFEARRAY* source = in.parray;
  // Arrays of VARIANTs are not CIM values; nor are arrays of more than one dimension.
  if (!source || sourceType == VT_VARIANT || SafeArrayGetDim(source) != 1) return WBEM_E_TYPE_MISMATCH;
  LONG lower = 0;
  LONG upper = -1;
  if (FAILED(SafeArrayGetLBound(source, 1, &lower)) || FAILED(SafeArrayGetUBound(source, 1, &upper)))
    return WBEM_E_TYPE_MISMATCH;
  const ULONG count = static_cast<ULONG>(0LL + upper - lower + 1);
  SAFEARRAY* stored = SafeArrayCreateVector(StoredType(elementType), 0, count);
  if (!stored) return WBEM_E_OUT_OF_MEMORY;
  HRESULT hr = WBEM_S_NO_ERROR;
  CComVariant element;
  CComVariant converted;
  for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
    hr = ReadElement(source, sourceType, static_cast<LONG>(lower + static_cast<LONG>(i)), &element);
    if (FAILED(hr)) break;
    hr = CoerceScalar(elementType, element, &converted);
    if (FAILED(hr)) break;
    if (converted.vt == VT_EMPTY) {
      hr = WBEM_E_TYPE_MISMATCH;
      break;
    }
    LONG index = static_cast<LONG>(i);
    void* value = &converted.lVal;
    if (converted.vt == VT_BSTR) value = converted.bstrVal;
    if (converted.vt == VT_UNKNOWN) value = converted.punkVal;
    hr = SafeArrayPutElement(stored, &index, value);
  }
  if (FAILED(hr)) {
    SafeArrayDestroy(stored);
    return hr == WBEM_E_OUT_OF_MEMORY || hr == E_OUTOFMEMORY ? WBEM_E_OUT_OF_MEMORY : WBEM_E_TYPE_MISMATCH;
  }
  out->Clear();
  out->vt = static_cast<VARTYPE>(VT_ARRAY | StoredType(elementType));
  out->parray = stored;
  return WBEM_S_NO_ERROR;
}

void AppendQuoted(std::wstring_view text, std::wstring* out) {
  out->push_back(L'"');
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out->push_back(L'\\');
    out->push_back(c);
  }
  out->push_back(L'"');
}

std::wstring FormatReal(double value) {
  wchar_t buffer[64];
  std::swprintf(buffer, 64, L"%.17g", value);
  return buffer;
}

// The text of one stored scalar; quoted strings where quote is true.
std::wstring ScalarText(CIMTYPE type, const VARIANT& value, bool quoteStrings) {
  switch (value.vt) {
    case VT_UI1: return DecimalText(value.bVal);
    case VT_I2:
      if (type == CIM_CHAR16) return DecimalText(static_cast<uint16_t>(value.iVal));
      return DecimalText(value.iVal);
    case VT_I4:
      if (type == CIM_UINT32) return DecimalText(static_cast<uint32_t>(value.lVal));
      return DecimalText(value.lVal);
    case VT_R4: return FormatReal(value.fltVal);
    case VT_R8: return FormatReal(value.dblVal);
    case VT_BOOL: return value.boolVal ? L"TRUE" : L"FALSE";
    case VT_BSTR: {
      const std::wstring_view text = value.bstrVal ? std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal))
                                                   : std::wstring_view();
      if (type == CIM_SINT64 || type == CIM_UINT64 || !quoteStrings) return std::wstring(text);
      std::wstring quoted;
      AppendQuoted(text, &quoted);
      return quoted;
    }
    case VT_UNKNOWN: {
      CComPtr<IWbemClassObject> object;
      CComBSTR text;
      if (value.punkVal &&
          SUCCEEDED(value.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object))) &&
          SUCCEEDED(object->GetObjectText(0, &text)) && text.m_str)
        return std::wstring(text.m_str);
      return L"NULL";
    }
    default: return L"NULL";
  }
}

bool EqualText(const wchar_t* a, const wchar_t* b, bool ignoreCase) {
  const std::wstring_view left = a ? a : L"";
  const std::wstring_view right = b ? b : L"";
  return ignoreCase ? EqualNames(left, right) : left == right;
}

}  // namespace

// ASCII letters, which make up nearly every name, fold here; others through the C library.
static inline wint_t FoldName(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wint_t>(c - 32) : static_cast<wint_t>(c);
  return std::towupper(c);
}

bool EqualNames(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  // Names are mostly written alike; the case is folded only where two characters differ.
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && FoldName(a[i]) != FoldName(b[i])) return false;
  return true;
}

bool LessNames(std::wstring_view a, std::wstring_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const wint_t left = FoldName(a[i]);
    const wint_t right = FoldName(b[i]);
    if (left != right) return left < right;
  }
  return a.size() < b.size();
}

std::wstring CimTypeName(CIMTYPE type, std::wstring_view refClass) {
  const CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  for (const CimTypeText& entry : kCimTypeNames) {
    if (entry.type != element) continue;
    std::wstring name = entry.name;
    if ((element == CIM_REFERENCE || element == CIM_OBJECT) && !refClass.empty()) name += L":" + std::wstring(refClass);
    return name;
  }
  return L"";
}

HRESULT CoerceToCimType(CIMTYPE type, const VARIANT& in, CComVariant* out) {
  if (in.vt == VT_EMPTY || in.vt == VT_NULL) {
    out->Clear();
    return WBEM_S_NO_ERROR;
  }
  if (StoredType(type & ~CIM_FLAG_ARRAY) == VT_EMPTY || (in.vt & VT_BYREF)) return WBEM_E_TYPE_MISMATCH;
  const bool isArray = (type & CIM_FLAG_ARRAY) != 0;
  if (isArray != ((in.vt & VT_ARRAY) != 0)) return WBEM_E_TYPE_MISMATCH;
  if (isArray) return CoerceArray(type, in, out);
  CComVariant converted;
  HRESULT hr = CoerceScalar(type, in, &converted);
  if (FAILED(hr)) return hr;
  out->Clear();
  return out->Attach(&converted);
}

bool FormatKeyValue(CIMTYPE type, const VARIANT& value, std::wstring* text) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL || (value.vt & VT_ARRAY) || value.vt == VT_UNKNOWN) return false;
  *text = ScalarText(type, value, true);
  return true;
}

std::wstring FormatMofValue(CIMTYPE type, const VARIANT& value) {
  if (!(value.vt & VT_ARRAY)) return ScalarText(type & ~CIM_FLAG_ARRAY, value, true);
  std::wstring text = L"{";
  const VARTYPE vt = value.vt & VT_TYPEMASK;
  LONG lower = 0;
  LONG upper = -1;
  SafeArrayGetLBound(value.parray, 1, &lower);
  SafeArrayGetUBound(value.parray, 1, &upper);
  CComVariant element;
  for (LONG i = lower; i <= upper; ++i) {
    if (FAILED(ReadElement(value.parray, vt, i, &element))) break;
    if (i != lower) text += L", ";
    text += ScalarText(type & ~CIM_FLAG_ARRAY, element, true);
  }
  return text + L"}";
}

bool EqualValues(const VARIANT& a, const VARIANT& b, bool ignoreCase) {
  const bool aEmpty = a.vt == VT_EMPTY || a.vt == VT_NULL;
  const bool bEmpty = b.vt == VT_EMPTY || b.vt == VT_NULL;
  if (aEmpty || bEmpty) return aEmpty == bEmpty;
  if (a.vt != b.vt) return false;
  if (a.vt & VT_ARRAY) {
    LONG aLower = 0, aUpper = -1, bLower = 0, bUpper = -1;
    SafeArrayGetLBound(a.parray, 1, &aLower);
    SafeArrayGetUBound(a.parray, 1, &aUpper);
    SafeArrayGetLBound(b.parray, 1, &bLower);
    SafeArrayGetUBound(b.parray, 1, &bUpper);
    if (aUpper - aLower != bUpper - bLower) return false;
    const VARTYPE vt = a.vt & VT_TYPEMASK;
    CComVariant left;
    CComVariant right;
    for (LONG i = 0; i <= aUpper - aLower; ++i) {
      if (FAILED(ReadElement(a.parray, vt, aLower + i, &left)) || FAILED(ReadElement(b.parray, vt, bLower + i, &right)))
        return false;
      if (!EqualValues(left, right, ignoreCase)) return false;
    }
    return true;
  }
  switch (a.vt) {
    case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: return a.iVal == b.iVal;
    case VT_I4: return a.lVal == b.lVal;
    case VT_R4: return a.fltVal == b.fltVal;
    case VT_R8: return a.dblVal == b.dblVal;
    case VT_BOOL: return (a.boolVal != 0) == (b.boolVal != 0);
    case VT_BSTR: return EqualText(a.bstrVal, b.bstrVal, ignoreCase);
    case VT_UNKNOWN: {
      if (a.punkVal == b.punkVal) return true;
      CComPtr<IWbemClassObject> left;
      if (!a.punkVal || !b.punkVal ||
          FAILED(a.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&left))))
        return false;
      CComPtr<IWbemClassObject> right;
      if (FAILED(b.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&right)))) return false;
      return left->CompareTo(ignoreCase ? WBEM_FLAG_IGNORE_CASE : 0, right) == WBEM_S_SAME;
    }
    default: return std::memcmp(&a, &b, sizeof(VARIANT)) == 0;
  }
}

HRESULT CoerceQualifierValue(const VARIANT& in, CComVariant* out) {
  const VARTYPE base = in.vt & VT_TYPEMASK;
  if (in.vt & VT_BYREF) return WBEM_E_INVALID_QUALIFIER_TYPE;
  // Qualifiers hold sint32, real64, boolean and string values, and arrays of them.
  CIMTYPE type = CIM_EMPTY;
  switch (base) {
    case VT_UI1:
    case VT_I2:
    case VT_I4: type = CIM_SINT32; break;
    case VT_R4:
    case VT_R8: type = CIM_REAL64; break;
    case VT_BOOL: type = CIM_BOOLEAN; break;
    case VT_BSTR: type = CIM_STRING; break;
    default: return WBEM_E_INVALID_QUALIFIER_TYPE;
  }
  if (in.vt & VT_ARRAY) type |= CIM_FLAG_ARRAY;
  HRESULT hr = CoerceToCimType(type, in, out);
  return FAILED(hr) ? WBEM_E_INVALID_QUALIFIER_TYPE : hr;
}

}  // namespace qz::wbem
