// What the command reads of class definitions: descriptions, properties with their types, keys,
// units and value maps, for `classes`, `describe`, decoded views and the names in error messages.
#pragma once

#include <wbemcli.h>

#include <string>
#include <utility>
#include <vector>

namespace qzwmi {

struct PropertyInfo {
  std::string name;
  std::string type;  // as the class declares it: "uint16", "string", "ref:QZ_MemoryModule"
  CIMTYPE cimType = CIM_EMPTY;
  bool key = false;
  std::string units;
  std::string description;
  std::vector<std::pair<std::string, std::string>> values;  // ValueMap entry and its Values text
};

struct ClassInfo {
  std::string name;
  std::string superclass;
  std::string description;
  bool abstract = false;
  bool association = false;
  std::vector<PropertyInfo> properties;  // non-system properties, in the class's order

  // The property of that name, compared without regard to case; null when the class has none.
  const PropertyInfo* Find(const std::string& property) const;
  std::vector<std::string> PropertyNames() const;
};

// Reads a class object (not an instance).
HRESULT ReadClassInfo(IWbemClassObject* cls, ClassInfo* info);

// The class `name` of the namespace.
HRESULT ReadClass(IWbemServices* services, const std::wstring& name, ClassInfo* info);

// Every class of the namespace but the system classes (those named "__..."), sorted by name.
HRESULT ReadClasses(IWbemServices* services, std::vector<ClassInfo>* classes);

// The Values text that the property's value map gives `value` (a number as text), or empty.
std::string ValueText(const PropertyInfo& property, const std::string& value);

// `describe`: the class line, its description, then one block per property.
std::string FormatDescription(const ClassInfo& info);

// `describe --format json`.
std::string FormatDescriptionJson(const ClassInfo& info);

// Up to three names from `candidates` nearest to `name` by edit distance (case ignored), nearest
// first; only names close enough to be a plausible typo.
std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& candidates);

// "A", "A or B", "A, B or C" (`last` joins the last two).
std::string Alternatives(const std::vector<std::string>& names, const std::string& last = " or ");

}  // namespace qzwmi
