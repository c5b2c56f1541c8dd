// Finds the words of an error line by asking the service about what the failed request named.
#include "Explain.h"

#include <dlfcn.h>
#include <windows.h>
#include <winreg.h>
#include <wmiutils.h>

#include <algorithm>
#include <atlbase.h>
#include <cwctype>
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

// Where an object path stops reading, and what was expected there: "column 22: a key name expected".
std::string PathProblem(const std::wstring& path) {
  size_t i = 0;
  auto at = [&](const char* what) { return "column " + std::to_string(i + 1) + ": " + what + " expected"; };
  auto name = [&] {
    if (i >= path.size() || iswdigit(path[i])) return false;
    const size_t start = i;
    while (i < path.size() && (iswalnum(path[i]) || path[i] == L'_')) ++i;
    return i > start;
  };
  auto value = [&] {
    if (i < path.size() && path[i] == L'"') {
      for (++i; i < path.size() && path[i] != L'"'; ++i)
        if (path[i] == L'\\') ++i;
      return i++ < path.size();
    }
    const size_t start = i;
    while (i < path.size() && (iswalnum(path[i]) || path[i] == L'-' || path[i] == L'+' || path[i] == L'@')) ++i;
    return i > start;
  };
  if (path.rfind(L"\\\\", 0) == 0 || path.find(L':') != std::wstring::npos) i = path.find(L':') + 1;
  if (!name()) return at("a class name");
  if (i == path.size()) return "";
  if (path[i] == L'=') {
    ++i;
    return value() && i == path.size() ? "" : at(i == path.size() ? "a value" : "the end");
  }
  if (path[i] != L'.') return at("'.' before the keys");
  do {
    ++i;
    if (!name()) return at("a key name");
    if (i >= path.size() || path[i] != L'=') return at("'=' after the key name");
    ++i;
    if (!value()) return at(i < path.size() && path[i] == L'\'' ? "a value in double quotes" : "a value");
  } while (i < path.size() && path[i] == L',');
  return i == path.size() ? "" : at("',' between the keys or the end");
}

// Why no instance has the path of a class that exists: a key the class does not have, a value that
// no instance holds, a key missing, or no instance with all of them at once.
std::string ExplainNoInstance(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& path,
                              const std::wstring& className, IWbemPath* parser) {
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

std::string ExplainPath(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& path, HRESULT hr) {
  CComPtr<IWbemPath> parser;
  if (FAILED(CoCreateInstance(CLSID_WbemDefPath, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemPath,
                              reinterpret_cast<void**>(&parser))))
    return "";
  if (FAILED(parser->SetText(WBEMPATH_CREATE_ACCEPT_ALL, path.c_str()))) {
    const std::string where = PathProblem(path);
    return "cannot read the object path " + Quoted(path) + (where.empty() ? "" : " at " + where) +
           " (the form is CLASS.KEY=\"VALUE\",..., as the __PATH of enum --format json gives it)";
  }
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
  return ExplainNoInstance(services, nameSpace, path, className, parser);
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

// Why the provider of the class does not load: the system root that cannot be made, the provider
// that is not registered, or its module that does not load.
std::string ExplainProvider(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& className) {
  const std::string root = QzGetSystemRoot();
  std::error_code error;
  std::filesystem::create_directories(root, error);
  if (error) return "the system root " + root + " cannot be created: " + error.message();
  CComPtr<IWbemClassObject> cls;
  CComPtr<IWbemQualifierSet> qualifiers;
  CComVariant provider;
  if (FAILED(services->GetObject(CComBSTR(className.c_str()), 0, nullptr, &cls, nullptr)) ||
      FAILED(cls->GetQualifierSet(&qualifiers)) || FAILED(qualifiers->Get(L"provider", 0, &provider, nullptr)) ||
      provider.vt != VT_BSTR)
    return "";
  const std::wstring name = provider.bstrVal;
  std::vector<ObjectRecord> registrations;
  RunRequest(nameSpace, Request::Query, L"SELECT CLSID FROM __Win32Provider WHERE Name = '" + name + L"'", &registrations);
  std::string clsid;
  for (const ObjectRecord& each : registrations) {
    for (const PropertyValue& property : each.properties) {
      if (property.name == L"CLSID") clsid = ListValue(property.type, property.value);
    }
  }
  const std::string provides = "the provider " + Utf8(name) + " of " + Utf8(className);
  if (clsid.empty()) return provides + " has no __Win32Provider registration";
  const std::wstring key = L"CLSID\\" + Wide(clsid) + L"\\InprocServer32";
  WCHAR module[1024] = L"";
  DWORD size = sizeof module - sizeof(WCHAR);
  HKEY opened = nullptr;
  LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened);
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExW(opened, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(module), &size);
    RegCloseKey(opened);
  }
  if (status != ERROR_SUCCESS || !module[0])
    return provides + " is not registered (no HKCR\\" + Utf8(key) + "; qzwmi register registers the module)";
  return provides + ": " + ExplainModule(Utf8(module));
}

// The class that a request names: the class, the path's class or the query's.
std::wstring ClassOfRequest(Request request, const std::wstring& argument) {
  if (request == Request::Enumerate) return argument;
  if (request == Request::Get) {
    const size_t start = argument.find(L':') == std::wstring::npos ? 0 : argument.find(L':') + 1;
    return argument.substr(start, argument.find_first_of(L".=", start) - start);
  }
  char report[2048] = "";
  if (FAILED(QzCheckWql(Utf8(argument).c_str(), report, sizeof report))) return L"";
  std::string className;
  std::istringstream(report) >> className;
  return Wide(className);
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
  if (hr == WBEM_E_PROVIDER_LOAD_FAILURE) return ExplainProvider(services, nameSpace, ClassOfRequest(request, argument));
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
