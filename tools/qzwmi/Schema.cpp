// Reads class definitions through IWbemClassObject and its qualifier sets, as any client would.
#include "Schema.h"

#include <atlbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Output.h"

namespace qzwmi {
namespace {

std::string Text(const VARIANT& value) {
  return value.vt == VT_BSTR && value.bstrVal ? Utf8(std::wstring(value.bstrVal, SysStringLen(value.bstrVal))) : "";
}

std::vector<std::string> Texts(const VARIANT& value) {
  std::vector<std::string> texts;
  if (value.vt != (VT_ARRAY | VT_BSTR) || !value.parray) return texts;
  for (LONG i = 0; i < static_cast<LONG>(value.parray->rgsabound[0].cElements); ++i) {
    CComBSTR text;
    texts.push_back(SUCCEEDED(SafeArrayGetElement(value.parray, &i, &text)) && text
                        ? Utf8(std::wstring(text, text.Length()))
                        : "");
  }
  return texts;
}

CComVariant Qualifier(IWbemQualifierSet* qualifiers, const wchar_t* name) {
  CComVariant value;
  if (qualifiers) qualifiers->Get(name, 0, &value, nullptr);
  return value;
}

bool Flag(IWbemQualifierSet* qualifiers, const wchar_t* name) {
  CComVariant value = Qualifier(qualifiers, name);
  return value.vt == VT_BOOL && value.boolVal != VARIANT_FALSE;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

const PropertyInfo* ClassInfo::Find(const std::string& property) const {
  for (const PropertyInfo& each : properties) {
    if (Lower(each.name) == Lower(property)) return &each;
  }
  return nullptr;
}

std::vector<std::string> ClassInfo::PropertyNames() const {
  std::vector<std::string> names;
  for (const PropertyInfo& each : properties) names.push_back(each.name);
  return names;
}

HRESULT ReadClassInfo(IWbemClassObject* cls, ClassInfo* info) {
  CComVariant name, superclass;
  cls->Get(L"__CLASS", 0, &name, nullptr, nullptr);
  cls->Get(L"__SUPERCLASS", 0, &superclass, nullptr, nullptr);
  info->name = Text(name);
  info->superclass = Text(superclass);
  CComPtr<IWbemQualifierSet> own;
  cls->GetQualifierSet(&own);
  info->description = Text(Qualifier(own, L"Description"));
  info->abstract = Flag(own, L"abstract");
  info->association = Flag(own, L"Association");
  std::vector<std::wstring> names;
  HRESULT hr = PropertyNames(cls, &names);
  if (FAILED(hr)) return hr;
  for (const std::wstring& each : names) {
    PropertyInfo property;
    property.name = Utf8(each);
    cls->Get(each.c_str(), 0, nullptr, &property.cimType, nullptr);
    CComPtr<IWbemQualifierSet> qualifiers;
    cls->GetPropertyQualifierSet(each.c_str(), &qualifiers);
    property.type = Text(Qualifier(qualifiers, L"CIMTYPE"));
    if (property.cimType & CIM_FLAG_ARRAY) property.type += "[]";
    property.key = Flag(qualifiers, L"key");
    property.units = Text(Qualifier(qualifiers, L"Units"));
    property.description = Text(Qualifier(qualifiers, L"Description"));
    const std::vector<std::string> map = Texts(Qualifier(qualifiers, L"ValueMap"));
    const std::vector<std::string> texts = Texts(Qualifier(qualifiers, L"Values"));
    for (size_t i = 0; i < map.size() && i < texts.size(); ++i) property.values.emplace_back(map[i], texts[i]);
    info->properties.push_back(std::move(property));
  }
  return WBEM_S_NO_ERROR;
}

HRESULT ReadClass(IWbemServices* services, const std::wstring& name, ClassInfo* info) {
  CComPtr<IWbemClassObject> cls;
  HRESULT hr = services->GetObject(CComBSTR(name.c_str()), 0, nullptr, &cls, nullptr);
  if (FAILED(hr)) return hr;
  CComVariant genus;
  if (SUCCEEDED(cls->Get(L"__GENUS", 0, &genus, nullptr, nullptr)) && genus.vt == VT_I4 &&
      genus.lVal != WBEM_GENUS_CLASS)
    return WBEM_E_INVALID_CLASS;
  return ReadClassInfo(cls, info);
}

HRESULT ReadClasses(IWbemServices* services, std::vector<ClassInfo>* classes) {
  CComPtr<IEnumWbemClassObject> enumerator;
  HRESULT hr = services->CreateClassEnum(nullptr, WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
  if (FAILED(hr)) return hr;
  hr = ForEachObject(enumerator, [&](IWbemClassObject* cls) {
    ClassInfo info;
    HRESULT read = ReadClassInfo(cls, &info);
    if (SUCCEEDED(read) && info.name.rfind("__", 0) != 0) classes->push_back(std::move(info));
    return read;
  });
  std::sort(classes->begin(), classes->end(), [](const ClassInfo& a, const ClassInfo& b) { return a.name < b.name; });
  return hr;
}

std::string ValueText(const PropertyInfo& property, const std::string& value) {
  for (const auto& [number, text] : property.values) {
    if (number == value) return text;
  }
  return {};
}

std::string FormatDescription(const ClassInfo& info) {
  std::string text = (info.abstract ? "abstract " : "") + std::string(info.association ? "association " : "class ") +
                     info.name + (info.superclass.empty() ? "" : " : " + info.superclass) + "\n";
  if (!info.description.empty()) text += info.description + "\n";
  size_t nameWidth = 0, typeWidth = 0;
  for (const PropertyInfo& property : info.properties) {
    nameWidth = std::max(nameWidth, property.name.size());
    typeWidth = std::max(typeWidth, property.type.size());
  }
  text += "\n";
  for (const PropertyInfo& property : info.properties) {
    std::string line = (property.key ? "key  " : "     ") + property.name +
                       std::string(nameWidth - property.name.size() + 2, ' ') + property.type +
                       std::string(typeWidth - property.type.size() + 2, ' ') + property.description;
    if (!property.units.empty()) line += " (" + property.units + ")";
    while (line.back() == ' ') line.pop_back();
    text += line + "\n";
    for (const auto& [number, meaning] : property.values)
      text += std::string(5 + nameWidth + 2 + typeWidth + 2, ' ') + number + " = " + meaning + "\n";
  }
  return text;
}

std::string FormatDescriptionJson(const ClassInfo& info) {
  nlohmann::ordered_json cls;
  cls["name"] = info.name;
  cls["superclass"] = info.superclass.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(info.superclass);
  cls["description"] = info.description;
  cls["abstract"] = info.abstract;
  cls["association"] = info.association;
  cls["properties"] = nlohmann::ordered_json::array();
  for (const PropertyInfo& property : info.properties) {
    nlohmann::ordered_json each;
    each["name"] = property.name;
    each["type"] = property.type;
    each["key"] = property.key;
    each["description"] = property.description;
    if (!property.units.empty()) each["units"] = property.units;
    if (!property.values.empty()) {
      each["values"] = nlohmann::ordered_json::object();
      for (const auto& [number, meaning] : property.values) each["values"][number] = meaning;
    }
    cls["properties"].push_back(std::move(each));
  }
  return cls.dump(2) + "\n";
}

std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& candidates) {
  std::vector<std::pair<size_t, std::string>> ranked;
  const std::string wanted = Lower(name);
  for (const std::string& candidate : candidates) {
    const std::string lower = Lower(candidate);
    const size_t distance = EditDistance(wanted, lower);
    // A name that holds the other whole (QZ_MemoryModule for "MemoryModule") is as plausible as a typo.
    const bool holds = wanted.size() >= 4 && lower.find(wanted) != std::string::npos;
    if (holds || distance <= std::max<size_t>(2, wanted.size() / 3)) ranked.emplace_back(distance, candidate);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // The nearest, and those hardly farther.
  std::vector<std::string> nearest;
  for (size_t i = 0; i < ranked.size() && i < 3 && ranked[i].first <= ranked[0].first + 1; ++i)
    nearest.push_back(ranked[i].second);
  return nearest;
}

std::string Alternatives(const std::vector<std::string>& names, const std::string& last) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
  return text;
}

}  // namespace qzwmi
