// Formats the service's objects as `Name = Value` lines or as JSON, reading each value by its CIM
// type: the service keeps uint16/uint32 in VT_I4 and 64-bit integers as decimal strings.
#include "Output.h"

#include <oleauto.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace qzwmi {
namespace {

// The integer held in any integer VARIANT, sign-extended from its own width.
std::optional<int64_t> IntegerOf(const VARIANT& value) {
  switch (value.vt) {
    case VT_I1: return value.cVal;
    case VT_UI1: return value.bVal;
    case VT_I2: return value.iVal;
    case VT_UI2: return value.uiVal;
    case VT_I4: return value.lVal;
    case VT_UI4: return value.ulVal;
    case VT_INT: return value.intVal;
    case VT_UINT: return value.uintVal;
    case VT_I8: return value.llVal;
    case VT_UI8: return static_cast<int64_t>(value.ullVal);
    default: return std::nullopt;
  }
}

// Narrows an integer to the width of its CIM type, as the type reads it: a uint32 kept in a VT_I4
// as -1 is 4294967295.
int64_t NarrowSigned(CIMTYPE type, int64_t raw) {
  switch (type) {
    case CIM_SINT8: return static_cast<int8_t>(raw);
    case CIM_SINT16: return static_cast<int16_t>(raw);
    case CIM_SINT32: return static_cast<int32_t>(raw);
    default: return raw;
  }
}

uint64_t NarrowUnsigned(CIMTYPE type, int64_t raw) {
  switch (type) {
    case CIM_UINT8: return static_cast<uint8_t>(raw);
    case CIM_UINT16: return static_cast<uint16_t>(raw);
    case CIM_UINT32: return static_cast<uint32_t>(raw);
    default: return static_cast<uint64_t>(raw);
  }
}

bool IsUnsigned(CIMTYPE type) {
  return type == CIM_UINT8 || type == CIM_UINT16 || type == CIM_UINT32 || type == CIM_UINT64;
}

bool IsInteger(CIMTYPE type) {
  return IsUnsigned(type) || type == CIM_SINT8 || type == CIM_SINT16 || type == CIM_SINT32 || type == CIM_SINT64;
}

std::string BstrText(BSTR text) { return text ? Utf8(std::wstring(text, SysStringLen(text))) : std::string(); }

std::string RealText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest text that reads back as the same number.
  for (int digits = 1; digits <= 17; ++digits) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

// A scalar as text: the list format's value, and the base of the JSON one.
std::string ScalarText(CIMTYPE type, const VARIANT& value) {
  if (value.vt == VT_BSTR) return BstrText(value.bstrVal);
  if (value.vt == VT_BOOL) return value.boolVal ? "TRUE" : "FALSE";
  if (value.vt == VT_R4) return RealText(value.fltVal);
  if (value.vt == VT_R8) return RealText(value.dblVal);
  if (value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH) return "(object)";
  std::optional<int64_t> raw = IntegerOf(value);
  if (!raw) return {};
  if (type == CIM_CHAR16) return Utf8(std::wstring(1, static_cast<wchar_t>(static_cast<uint16_t>(*raw))));
  if (type == CIM_BOOLEAN) return *raw ? "TRUE" : "FALSE";
  if (IsUnsigned(type)) return std::to_string(NarrowUnsigned(type, *raw));
  return std::to_string(NarrowSigned(type, *raw));
}

nlohmann::ordered_json ScalarJson(CIMTYPE type, const VARIANT& value) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return nullptr;
  if (value.vt == VT_BOOL) return value.boolVal != 0;
  if (value.vt == VT_R4) return static_cast<double>(value.fltVal);
  if (value.vt == VT_R8) return value.dblVal;
  if (value.vt == VT_BSTR) {
    std::string text = BstrText(value.bstrVal);
    // 64-bit integers travel as decimal text; JSON gets them back as numbers.
    if (IsInteger(type) && !text.empty()) {
      const char* begin = text.c_str();
      char* end = nullptr;
      errno = 0;
      if (IsUnsigned(type)) {
        unsigned long long number = std::strtoull(begin, &end, 10);
        if (text[0] != '-' && errno == 0 && *end == 0) return static_cast<uint64_t>(number);
      } else {
        long long number = std::strtoll(begin, &end, 10);
        if (errno == 0 && *end == 0) return static_cast<int64_t>(number);
      }
    }
    return text;
  }
  std::optional<int64_t> raw = IntegerOf(value);
  if (raw && type == CIM_BOOLEAN) return *raw != 0;
  if (raw && IsUnsigned(type)) return NarrowUnsigned(type, *raw);
  if (raw && type != CIM_CHAR16) return NarrowSigned(type, *raw);
  return ScalarText(type, value);
}

// Calls `each` with every element of a one-dimensional array VARIANT, as a VARIANT of the
// array's element type.
template <class Each>
void ForEachElement(const VARIANT& value, Each each) {
  SAFEARRAY* array = value.parray;
  if (!array || SafeArrayGetDim(array) != 1) return;
  VARTYPE vt = static_cast<VARTYPE>(value.vt & VT_TYPEMASK);
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    VARIANT element;
    VariantInit(&element);
    if (vt == VT_VARIANT) {
      if (FAILED(SafeArrayGetElement(array, &i, &element))) continue;
    } else {
      element.vt = vt;
      if (FAILED(SafeArrayGetElement(array, &i, vt == VT_BSTR ? static_cast<void*>(&element.bstrVal)
                                                              : static_cast<void*>(&element.llVal)))) {
        element.vt = VT_EMPTY;
        continue;
      }
    }
    each(element);
    VariantClear(&element);
  }
}

}  // namespace

ObjectRecord::~ObjectRecord() {
  for (PropertyValue& property : properties) VariantClear(&property.value);
}

void ObjectRecord::Add(const std::wstring& name, CIMTYPE type, const VARIANT& value) {
  PropertyValue property;
  property.name = name;
  property.type = type;
  VariantInit(&property.value);
  VariantCopy(&property.value, &value);
  properties.push_back(property);
}

HRESULT PropertyNames(IWbemClassObject* object, std::vector<std::wstring>* names) {
  // GetNames keeps no state in the object, unlike BeginEnumeration and Next: the service may hand
  // one cached instance to several requests at once.
  SAFEARRAY* array = nullptr;
  HRESULT hr = object->GetNames(nullptr, WBEM_FLAG_ALWAYS | WBEM_FLAG_NONSYSTEM_ONLY, nullptr, &array);
  if (FAILED(hr)) return hr;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR name = nullptr;
    if (SUCCEEDED(SafeArrayGetElement(array, &i, &name)) && name) names->emplace_back(name, SysStringLen(name));
    SysFreeString(name);
  }
  SafeArrayDestroy(array);
  return WBEM_S_NO_ERROR;
}

HRESULT ReadObject(IWbemClassObject* object, ObjectRecord* record) {
  for (auto [name, field] : {std::pair{L"__CLASS", &record->className}, std::pair{L"__PATH", &record->path}}) {
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(object->Get(name, 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR && value.bstrVal)
      *field = value.bstrVal;
    VariantClear(&value);
  }
  std::vector<std::wstring> names;
  HRESULT hr = PropertyNames(object, &names);
  if (FAILED(hr)) return hr;
  record->properties.reserve(names.size());
  for (const std::wstring& name : names) {
    PropertyValue property;
    property.name = name;
    VariantInit(&property.value);
    // The record takes the value that Get made; a property that went away since its name was read
    // is passed over.
    if (SUCCEEDED(object->Get(name.c_str(), 0, &property.value, &property.type, nullptr)))
      record->properties.push_back(std::move(property));
  }
  return WBEM_S_NO_ERROR;
}

std::string ListValue(CIMTYPE type, const VARIANT& value) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return {};
  if (!(value.vt & VT_ARRAY)) return ScalarText(type & ~CIM_FLAG_ARRAY, value);
  std::string text = "{";
  bool first = true;
  for (const std::string& element : ElementTexts(type, value)) {
    text += (first ? "" : ", ") + element;
    first = false;
  }
  return text + "}";
}

std::vector<std::string> ElementTexts(CIMTYPE type, const VARIANT& value) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return {};
  if (!(value.vt & VT_ARRAY)) return {ScalarText(type & ~CIM_FLAG_ARRAY, value)};
  std::vector<std::string> texts;
  ForEachElement(value, [&](const VARIANT& element) { texts.push_back(ScalarText(type & ~CIM_FLAG_ARRAY, element)); });
  return texts;
}

nlohmann::ordered_json JsonValue(CIMTYPE type, const VARIANT& value) {
  if (!(value.vt & VT_ARRAY)) return ScalarJson(type & ~CIM_FLAG_ARRAY, value);
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  ForEachElement(value, [&](const VARIANT& element) { array.push_back(ScalarJson(type & ~CIM_FLAG_ARRAY, element)); });
  return array;
}

std::string FormatList(const std::vector<ObjectRecord>& objects) {
  std::string text;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i) text += "\n";
    for (const PropertyValue& property : objects[i].properties) {
      std::string value = EscapeControls(ListValue(property.type, property.value));
      text += Utf8(property.name) + (value.empty() && (property.value.vt == VT_EMPTY || property.value.vt == VT_NULL)
                                          ? " ="
                                          : " = " + value);
      text += "\n";
    }
  }
  return text;
}

std::string FormatJson(const std::vector<ObjectRecord>& objects, const Decoder& decode) {
  // ordered_json: the properties keep the class's order instead of being sorted by name.
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const ObjectRecord& object : objects) {
    nlohmann::ordered_json item;
    item["__CLASS"] = Utf8(object.className);
    item["__PATH"] = object.path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(Utf8(object.path));
    for (const PropertyValue& property : object.properties) {
      item[Utf8(property.name)] = JsonValue(property.type, property.value);
      std::optional<nlohmann::ordered_json> text = decode ? decode(object, property) : std::nullopt;
      if (text) item[Utf8(property.name) + ".text"] = *text;
    }
    array.push_back(std::move(item));
  }
  return array.dump(2) + "\n";
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring Wide(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + extra >= text.size()) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    uint32_t c = extra ? lead & (0x3F >> extra) : lead;
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out += static_cast<wchar_t>(c);
    i += 1 + extra;
  }
  return out;
}

}  // namespace qzwmi
