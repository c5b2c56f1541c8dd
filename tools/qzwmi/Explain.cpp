// Finds the words of an error line by asking the service about what the failed request named.
#include "Explain.h"

#include <dlfcn.h>
#include <wmiutils.h>

#include <atlbase.h>
#include <filesystem>
#include <sstream>

#include "ErrorNames.h"
#include "Output.h"
#include "Schema.h"
#include "qzplatform.h"

namespace qzwmi {
namespace {

std::string Quoted(const std::wstring& text) { return "'" + Utf8(text) + "'"; }

bool ClassExists(IWbemServices* services, const std::wstring& className) {
  ClassInfo info;
  return SUCCEEDED(ReadClass(services, className, &info));
}

// The text of a key value as the list view prints the property it names.
std::string KeyText(const VARIANT& value) {
  if (value.vt == VT_BSTR) return ListValue(CIM_STRING, value);
  if (value.vt == VT_BOOL) return ListValue(CIM_BOOLEAN, value);
  return ListValue(CIM_SINT64, value);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ExplainPath(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& path, HRESULT hr) {
  CComPtr<IWbemPath> parser;
  if (FAILED(CoCreateInstance(CLSID_WbemDefPath, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemPath,
                              reinterpret_cast<void**>(&parser))))
    return "";
  if (FAILED(parser->SetText(WBEMPATH_CREATE_ACCEPT_ALL, path.c_str())))
    return "cannot read the object path " + Quoted(path) +
           ": expected CLASS.KEY=\"VALUE\",... as the __PATH of enum --format json gives it";
  WCHAR name[256] = L"";
  ULONG size = 256;
  if (FAILED(parser->GetClassName(&size, name))) return "the object path " + Quoted(path) + " names no class";
  const std::wstring className = name;
  ULONGLONG info = 0;
  parser->GetInfo(0, &info);
  if (hr == WBEM_E_INVALID_OBJECT_PATH && (info & WBEMPATH_INFO_IS_CLASS_REF) && ClassExists(services, className))
    return Utf8(className) + " is a class, not an instance (qzwmi enum " + Utf8(className) + " lists its instances, qzwmi describe " +
           Utf8(className) + " the class)";
  if (hr == WBEM_E_INVALID_CLASS || hr == WBEM_E_NOT_FOUND) {
    const std::string noClass = ExplainClass(services, nameSpace, className);
    if (!noClass.empty()) return noClass;
  }
  if (hr != WBEM_E_NOT_FOUND) return "";
  ClassInfo cls;
  if (FAILED(ReadClass(services, className, &cls))) return "";
  std::vector<std::string> keys;
  for (const PropertyInfo& property : cls.properties) {
    if (property.key) keys.push_back(property.name);
  }
  std::vector<ObjectRecord> instances;
  RunRequest(nameSpace, Request::Enumerate, className, &instances);
  CComPtr<IWbemPathKeyList> keyList;
  ULONG count = 0;
  if (SUCCEEDED(parser->GetKeyList(&keyList))) keyList->GetCount(&count);
  std::vector<std::string> named;
  for (ULONG i = 0; i < count; ++i) {
    WCHAR keyName[256] = L"";
    ULONG keySize = 256;
    CComVariant value;
    ULONG type = 0;
    if (FAILED(keyList->GetKey2(i, 0, &keySize, keyName, &value, &type))) continue;
    const std::string key = keyName[0] ? Utf8(keyName) : (keys.size() == 1 ? keys[0] : "");
    const PropertyInfo* property = cls.Find(key);
    if (!property || !property->key)
      return cls.name + " has no key " + (key.empty() ? "without a name" : key) + "; its keys are " + Alternatives(keys, " and ");
    named.push_back(Lower(property->name));
    const std::string wanted = KeyText(value);
    bool matched = false;
    for (const ObjectRecord& instance : instances) {
      for (const PropertyValue& each : instance.properties) {
        if (Lower(Utf8(each.name)) == Lower(property->name) && Lower(ListValue(each.type, each.value)) == Lower(wanted))
          matched = true;
      }
    }
    if (!matched)
      return "no instance of " + cls.name + " has " + property->name + " \"" + wanted + "\" (qzwmi enum " + cls.name +
             " lists them)";
  }
  for (const std::string& key : keys) {
    if (std::find(named.begin(), named.end(), Lower(key)) == named.end())
      return "the object path " + Quoted(path) + " lacks the key " + key + " of " + cls.name;
  }
  return "no instance of " + cls.name + " has all the keys of " + Quoted(path);
}

std::string ExplainQuery(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& query) {
  char report[2048] = "";
  if (FAILED(QzCheckWql(Utf8(query).c_str(), report, sizeof report))) {
    std::string text = report;
    const size_t at = text.rfind(" at column ");
    if (at == std::string::npos) return "cannot read the query: " + text;
    return "cannot read the query at column " + text.substr(at + 11) + ": " + text.substr(0, at);
  }
  std::istringstream words(report);
  std::string className, property;
  if (!(words >> className) || Lower(className) == "meta_class") return "";
  const std::string noClass = ExplainClass(services, nameSpace, Wide(className));
  if (!noClass.empty()) return noClass;
  ClassInfo cls;
  if (FAILED(ReadClass(services, Wide(className), &cls))) return "";
  while (words >> property) {
    if (property.rfind("__", 0) == 0 || cls.Find(property)) continue;
    const std::vector<std::string> nearest = NearestNames(property, cls.PropertyNames());
    return "no property " + property + " in " + cls.name +
           (nearest.empty() ? "" : "; did you mean " + Alternatives(nearest) + "?") + " (qzwmi describe " + cls.name +
           " lists its properties)";
  }
  return "";
}

}  // namespace

std::string ExplainClass(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& className) {
  if (ClassExists(services, className)) return "";
  std::vector<ClassInfo> classes;
  ReadClasses(services, &classes);
  std::vector<std::string> names;
  for (const ClassInfo& cls : classes) names.push_back(cls.name);
  const std::vector<std::string> nearest = NearestNames(Utf8(className), names);
  return "no class " + Utf8(className) + " in " + Utf8(nameSpace) +
         (nearest.empty() ? "" : "; did you mean " + Alternatives(nearest) + "?") + " (qzwmi classes lists them)";
}

std::string ExplainFailure(const std::wstring& nameSpace, Request request, const std::wstring& argument, HRESULT hr) {
  CComPtr<IWbemServices> services;
  const HRESULT connected = Connect(nameSpace, &services);
  if (connected == WBEM_E_INVALID_NAMESPACE || hr == WBEM_E_INVALID_NAMESPACE)
    return "no namespace " + Utf8(nameSpace) + " (the classes are in root\\VXN)";
  if (FAILED(connected)) return "";
  switch (request) {
    case Request::Enumerate: return hr == WBEM_E_INVALID_CLASS ? ExplainClass(services, nameSpace, argument) : "";
    case Request::Get: return ExplainPath(services, nameSpace, argument, hr);
    case Request::Query: return hr == WBEM_E_INVALID_QUERY || hr == WBEM_E_INVALID_CLASS
                                    ? ExplainQuery(services, nameSpace, argument)
                                    : "";
  }
  return "";
}

std::string ExplainModule(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return "cannot load " + path + ": no such file";
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle) {
    dlclose(handle);
    return "cannot load " + path;
  }
  const std::string message = dlerror();
  return message.rfind(path, 0) == 0 ? "cannot load " + message : "cannot load " + path + ": " + message;
}

std::string ErrorLine(const std::string& words, HRESULT hr) {
  return "qzwmi: " + (words.empty() ? "" : words + ": ") + HresultText(hr) + "\n";
}

}  // namespace qzwmi
