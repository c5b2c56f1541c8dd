// The two output formats of the command: `Name = Value` lines and JSON, from the objects that the
// WMI service returned.
#pragma once

#include <wbemcli.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qzwmi {

// One property of an object as the service gave it: its CIM type and its value (VT_NULL for none).
struct PropertyValue {
  std::wstring name;
  CIMTYPE type = CIM_EMPTY;
  VARIANT value{};
};

// An object reduced to what the formats print: its class, its path and its non-system properties
// in the class's property order. Owns the VARIANTs.
class ObjectRecord {
 public:
  ObjectRecord() = default;
  ObjectRecord(const ObjectRecord&) = delete;
  ObjectRecord& operator=(const ObjectRecord&) = delete;
  ObjectRecord(ObjectRecord&& other) noexcept = default;
  ObjectRecord& operator=(ObjectRecord&& other) noexcept = default;
  ~ObjectRecord();

  // Adds a property; the record takes a copy of `value`.
  void Add(const std::wstring& name, CIMTYPE type, const VARIANT& value);

  std::wstring className;
  std::wstring path;
  std::vector<PropertyValue> properties;
};

// The names of the non-system properties of `object`, in the class's order.
HRESULT PropertyNames(IWbemClassObject* object, std::vector<std::wstring>* names);

// Reads __CLASS, __PATH and every non-system property of `object`. Safe on an object that other
// threads read at the same time.
HRESULT ReadObject(IWbemClassObject* object, ObjectRecord* record);

// The value as the list format prints it: strings as they are, TRUE/FALSE, numbers in decimal
// (unsigned CIM types never negative), arrays as `{a, b}`, nothing at all for a property without
// a value.
std::string ListValue(CIMTYPE type, const VARIANT& value);

// Each element of an array value as the list format prints it; a scalar gives one text, a
// property without a value none.
std::vector<std::string> ElementTexts(CIMTYPE type, const VARIANT& value);

// The value as JSON: numbers as numbers (64-bit ones too), booleans, strings, arrays, null.
nlohmann::ordered_json JsonValue(CIMTYPE type, const VARIANT& value);

// One `Name = Value` line per property, objects separated by one blank line; control characters
// in values are escaped, so that every property stays on its line.
std::string FormatList(const std::vector<ObjectRecord>& objects);

// The decoded text of a property, when it has one ("OK" for a HealthState of 5).
using Decoder = std::function<std::optional<nlohmann::ordered_json>(const ObjectRecord&, const PropertyValue&)>;

// An array of objects, each with "__CLASS", "__PATH" and every property, indented by two; with a
// decoder, "Name.text" follows each property that it decodes.
std::string FormatJson(const std::vector<ObjectRecord>& objects, const Decoder& decode = {});

// Tabs, line ends and other control characters as \t, \n, \r and \xHH.
std::string EscapeControls(const std::string& text);

// UTF-8 of a wide string and back (WCHAR is a 32-bit code point here).
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

}  // namespace qzwmi
