// Turns intrinsic CIM methods into WMI calls and the objects that come back into CIM-XML: instance
// names from the class's key properties, properties typed from the class definition, references
// as local instance paths parsed from the WMI paths the providers publish.
#include "serve/CimOperations.h"

#include <objbase.h>
#include <oleauto.h>
#include <wmiutils.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cwctype>
#include <set>

#include "Commands.h"
#include "Output.h"
#include "serve/CimXml.h"

namespace qzwmi::serve {
namespace {

using namespace std::string_view_literals;

constexpr LONG kForward = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;

struct PropertyInfo {
  std::string name;
  std::wstring wideName;
  CIMTYPE type = CIM_EMPTY;
  bool key = false;
  std::string referenceClass;
  bool wanted = true;  // in the request's PropertyList, or the request has none
  std::string open;    // its start tag: <PROPERTY NAME="..." TYPE="...">, written once
};

struct ClassInfo {
  std::string name;
  std::wstring wideName;
  std::string superclass;
  std::vector<PropertyInfo> properties;
};

// An instance as the service gave it: its class, and the value of each of the class's properties
// in the class's order. VT_ERROR marks a property the object does not carry (a query that selects
// some properties only).
struct InstanceValues {
  const ClassInfo* info = nullptr;
  std::vector<CComVariant> values;
};

struct Failure {
  int code;
  std::string description;
};

Failure FailureOf(HRESULT hr, const std::string& what) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return {CimStatusOf(hr), what + " (" + text + ")"};
}

std::string StringOf(IWbemClassObject* object, const wchar_t* name) {
  CComVariant value;
  if (FAILED(object->Get(name, 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR || !value.bstrVal) return {};
  return Utf8(value.bstrVal);
}

const char* TypeName(CIMTYPE type) {
  switch (type & ~CIM_FLAG_ARRAY) {
    case CIM_SINT8: return "sint8";
    case CIM_UINT8: return "uint8";
    case CIM_SINT16: return "sint16";
    case CIM_UINT16: return "uint16";
    case CIM_SINT32: return "sint32";
    case CIM_UINT32: return "uint32";
    case CIM_SINT64: return "sint64";
    case CIM_UINT64: return "uint64";
    case CIM_REAL32: return "real32";
    case CIM_REAL64: return "real64";
    case CIM_BOOLEAN: return "boolean";
    case CIM_DATETIME: return "datetime";
    case CIM_CHAR16: return "char16";
    default: return "string";
  }
}

// PROPERTY, PROPERTY.ARRAY or PROPERTY.REFERENCE with its attributes.
std::string OpenTag(const PropertyInfo& property) {
  std::string tag = property.type == CIM_REFERENCE     ? "<PROPERTY.REFERENCE NAME=\""
                    : property.type & CIM_FLAG_ARRAY ? "<PROPERTY.ARRAY NAME=\""
                                                      : "<PROPERTY NAME=\"";
  AppendXmlEscaped(tag, property.name);
  tag += "\"";
  if (property.type != CIM_REFERENCE) {
    tag += " TYPE=\"";
    tag += TypeName(property.type);
    tag += "\"";
  } else if (!property.referenceClass.empty()) {
    tag += " REFERENCECLASS=\"";
    AppendXmlEscaped(tag, property.referenceClass);
    tag += "\"";
  }
  return tag + ">";
}

HRESULT ReadClass(IWbemClassObject* object, ClassInfo* info) {
  info->name = StringOf(object, L"__CLASS");
  info->wideName = Wide(info->name);
  info->superclass = StringOf(object, L"__SUPERCLASS");
  std::vector<std::wstring> names;
  HRESULT hr = PropertyNames(object, &names);
  if (FAILED(hr)) return hr;
  for (const std::wstring& name : names) {
    CIMTYPE type = CIM_EMPTY;
    if (FAILED(object->Get(name.c_str(), 0, nullptr, &type, nullptr))) continue;
    PropertyInfo property;
    property.name = Utf8(name);
    property.wideName = name;
    property.type = type;
    CComPtr<IWbemQualifierSet> qualifiers;
    if (SUCCEEDED(object->GetPropertyQualifierSet(name.c_str(), &qualifiers))) {
      CComVariant key, cimType;
      property.key = SUCCEEDED(qualifiers->Get(L"key", 0, &key, nullptr)) && key.vt == VT_BOOL && key.boolVal;
      if (type == CIM_REFERENCE && SUCCEEDED(qualifiers->Get(L"CIMTYPE", 0, &cimType, nullptr)) && cimType.vt == VT_BSTR) {
        std::string text = Utf8(cimType.bstrVal);
        if (text.rfind("ref:", 0) == 0) property.referenceClass = text.substr(4);
      }
    }
    property.open = OpenTag(property);
    info->properties.push_back(std::move(property));
  }
  return WBEM_S_NO_ERROR;
}

// Reads a WMI object path (`\\server\ns:Class.k="v"`) into an instance name with its namespace.
bool ParseWmiPath(const std::wstring& text, CimInstanceName* name) {
  CComPtr<IWbemPath> path;
  if (FAILED(CoCreateInstance(CLSID_WbemDefPath, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemPath,
                              reinterpret_cast<void**>(&path))) ||
      FAILED(path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, text.c_str())))
    return false;
  std::wstring buffer(text.size() + 2, L'\0');
  ULONG size = static_cast<ULONG>(buffer.size());
  if (FAILED(path->GetClassName(&size, buffer.data()))) return false;
  name->className = Utf8(buffer.c_str());
  ULONG count = 0;
  path->GetNamespaceCount(&count);
  for (ULONG i = 0; i < count; ++i) {
    size = static_cast<ULONG>(buffer.size());
    if (SUCCEEDED(path->GetNamespaceAt(i, &size, buffer.data()))) name->nameSpace.push_back(Utf8(buffer.c_str()));
  }
  CComPtr<IWbemPathKeyList> keys;
  if (FAILED(path->GetKeyList(&keys)) || FAILED(keys->GetCount(&count))) return true;
  for (ULONG i = 0; i < count; ++i) {
    size = static_cast<ULONG>(buffer.size());
    CComVariant value;
    ULONG type = 0;
    if (FAILED(keys->GetKey2(i, 0, &size, buffer.data(), &value, &type))) continue;
    CimKey key;
    key.name = Utf8(buffer.c_str());
    if (value.vt == VT_BOOL) {
      key.valueType = "boolean";
      key.value = value.boolVal ? "true" : "false";
    } else if (value.vt == VT_BSTR) {
      key.value = Utf8(value.bstrVal ? value.bstrVal : L"");
    } else {
      key.valueType = "numeric";
      const std::vector<std::string> texts = ElementTexts(CIM_SINT64, value);
      key.value = texts.empty() ? "" : texts[0];
    }
    name->keys.push_back(std::move(key));
  }
  return true;
}

// A key value as a WMI path writes it: quoted, with backslash and quote escaped.
std::wstring Quoted(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

std::wstring NamespaceText(const std::vector<std::string>& nameSpace) {
  std::wstring text;
  for (const std::string& part : nameSpace) text += (text.empty() ? L"" : L"\\") + Wide(part);
  return text;
}

// The WMI path of an instance name. The keys are written in the order of their names, as the
// providers write the paths they publish; a reference becomes the full path `\\server\ns:path`
// with the server the providers use, whatever host the client put into it, because the providers
// compare references as text.
std::wstring WmiPath(const CimInstanceName& name, const std::vector<std::string>& nameSpace, const std::wstring& server) {
  std::vector<const CimKey*> keys;
  for (const CimKey& key : name.keys) keys.push_back(&key);
  std::stable_sort(keys.begin(), keys.end(), [](const CimKey* a, const CimKey* b) {
    return std::lexicographical_compare(a->name.begin(), a->name.end(), b->name.begin(), b->name.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
  });
  std::wstring path = Wide(name.className);
  for (size_t i = 0; i < keys.size(); ++i) {
    const CimKey& key = *keys[i];
    path += (i ? L"," : L".") + Wide(key.name) + L"=";
    if (key.reference) {
      const CimInstanceName& target = *key.reference;
      path += Quoted(L"\\\\" + server + L"\\" + NamespaceText(target.nameSpace.empty() ? nameSpace : target.nameSpace) +
                     L":" + WmiPath(target, nameSpace, server));
    } else if (key.valueType == "string") {
      path += Quoted(Wide(key.value));
    } else {
      path += Wide(key.value);
    }
  }
  return path;
}

bool Wanted(const std::optional<std::vector<std::string>>& list, const std::string& name) {
  if (!list) return true;
  return std::any_of(list->begin(), list->end(), [&](const std::string& wanted) { return EqualNoCase(wanted, name); });
}

// What one request needs: the service of its namespace, the classes it has met, the server name.
class Call {
 public:
  Call(const CimRequest& request, IWbemServices* services, const std::string& host, RenderedEnumerations& rendered)
      : m_Request(request), m_Services(services), m_Host(host), m_Rendered(rendered) {}

  std::string Run();

 private:
  HRESULT Class(const std::string& name, const ClassInfo** info);
  std::wstring Server();
  // Reads the object's values by its class: `expected` when the object is of that class, else the
  // class its __CLASS names (which falls back to `expected`, if any).
  HRESULT Read(IWbemClassObject* object, const ClassInfo* expected, InstanceValues* instance);
  void AppendInstance(std::string& out, const InstanceValues& instance);
  CimInstanceName NameOf(const InstanceValues& instance);
  std::string ClassXml(const ClassInfo& info, IWbemClassObject* object);

  std::string Instances(bool names);
  std::string Instance();
  std::string Classes(bool names);
  std::string GetClass();
  std::string Associated(bool references, bool names);
  std::string Query();
  HRESULT RunQuery(const std::wstring& query, std::vector<InstanceValues>* instances);
  // The answer's head and each instance with its path (or the paths alone).
  std::string WithPaths(const std::vector<InstanceValues>& instances, bool names);

  std::string Fail(const Failure& failure) {
    return ErrorResponse(m_Request.messageId, m_Request.method, true, failure.code, failure.description);
  }
  // An answer starts with its envelope, so that a large value is written once, where it stays.
  std::string Head() { return ResponseHead(m_Request.messageId, m_Request.method); }
  std::string Answer(std::string value) {
    value += ResponseTail();
    return value;
  }

  const CimRequest& m_Request;
  IWbemServices* m_Services;
  std::string m_Host;
  RenderedEnumerations& m_Rendered;
  std::map<std::string, ClassInfo> m_Classes;
  std::wstring m_Server;
};

HRESULT Call::Class(const std::string& name, const ClassInfo** info) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto found = m_Classes.find(lower);
  if (found == m_Classes.end()) {
    CComPtr<IWbemClassObject> object;
    HRESULT hr = m_Services->GetObject(CComBSTR(Wide(name).c_str()), 0, nullptr, &object, nullptr);
    // The class of an instance operation that does not exist is an invalid class, not a missing object.
    if (hr == WBEM_E_NOT_FOUND) return WBEM_E_INVALID_CLASS;
    if (FAILED(hr)) return hr;
    ClassInfo read;
    hr = ReadClass(object, &read);
    if (FAILED(hr)) return hr;
    for (PropertyInfo& property : read.properties) property.wanted = Wanted(m_Request.propertyList, property.name);
    if (m_Server.empty()) m_Server = Wide(StringOf(object, L"__SERVER"));
    found = m_Classes.emplace(lower, std::move(read)).first;
  }
  *info = &found->second;
  return WBEM_S_NO_ERROR;
}

std::wstring Call::Server() {
  if (m_Server.empty()) {
    const ClassInfo* info = nullptr;
    // Any class tells the server name that the providers put into their paths.
    if (m_Request.instanceName) Class(m_Request.instanceName->className, &info);
  }
  return m_Server;
}


const char* KeyValueType(CIMTYPE type) {
  switch (type) {
    case CIM_STRING: case CIM_DATETIME: case CIM_CHAR16: return "string";
    case CIM_BOOLEAN: return "boolean";
    default: return "numeric";
  }
}

// A scalar value as the list format prints it, escaped. Strings, booleans and the integers the
// service keeps in a VT_I4 are written straight into `out`: they are nearly every value an answer
// carries.
void AppendScalar(std::string& out, CIMTYPE type, const VARIANT& value) {
  type &= ~CIM_FLAG_ARRAY;
  if (value.vt == VT_BSTR) {
    if (value.bstrVal) AppendXmlEscaped(out, std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
    return;
  }
  if (value.vt == VT_BOOL) {
    out += value.boolVal ? "TRUE"sv : "FALSE"sv;
    return;
  }
  if (value.vt == VT_I4) {
    int64_t number = 0;
    switch (type) {
      case CIM_UINT8: number = static_cast<uint8_t>(value.lVal); break;
      case CIM_UINT16: number = static_cast<uint16_t>(value.lVal); break;
      case CIM_UINT32: number = static_cast<uint32_t>(value.lVal); break;
      case CIM_SINT8: number = static_cast<int8_t>(value.lVal); break;
      case CIM_SINT16: number = static_cast<int16_t>(value.lVal); break;
      case CIM_SINT32: number = value.lVal; break;
      default: type = CIM_EMPTY;
    }
    if (type != CIM_EMPTY) {
      char text[24];
      out.append(text, std::to_chars(text, text + sizeof text, number).ptr);
      return;
    }
  }
  const std::vector<std::string> texts = ElementTexts(type, value);
  if (!texts.empty()) AppendXmlEscaped(out, texts[0]);
}

// One property: PROPERTY, PROPERTY.ARRAY or PROPERTY.REFERENCE, with its qualifiers and value
// (`reference` is the VALUE.REFERENCE of a reference, written as it is). No value, no VALUE element.
void AppendProperty(std::string& out, const PropertyInfo& property, std::string_view qualifiers, const VARIANT& value,
                    std::string_view reference) {
  out += property.open;
  out += qualifiers;
  if (property.type == CIM_REFERENCE) {
    out += reference;
    out += "</PROPERTY.REFERENCE>"sv;
    return;
  }
  const bool array = property.type & CIM_FLAG_ARRAY;
  const bool hasValue = value.vt != VT_EMPTY && value.vt != VT_NULL;
  if (array) {
    if (hasValue) {
      out += "<VALUE.ARRAY>"sv;
      for (const std::string& text : ElementTexts(property.type, value)) {
        out += "<VALUE>"sv;
        AppendXmlEscaped(out, text);
        out += "</VALUE>"sv;
      }
      out += "</VALUE.ARRAY>"sv;
    }
    out += "</PROPERTY.ARRAY>"sv;
    return;
  }
  if (hasValue) {
    out += "<VALUE>"sv;
    AppendScalar(out, property.type, value);
    out += "</VALUE>"sv;
  }
  out += "</PROPERTY>"sv;
}

HRESULT Call::Read(IWbemClassObject* object, const ClassInfo* expected, InstanceValues* instance) {
  const ClassInfo* info = expected;
  CComVariant className;
  if (SUCCEEDED(object->Get(L"__CLASS", 0, &className, nullptr, nullptr)) && className.vt == VT_BSTR &&
      className.bstrVal && (!info || info->wideName != className.bstrVal) && FAILED(Class(Utf8(className.bstrVal), &info)))
    info = expected;
  if (!info) return WBEM_E_INVALID_CLASS;
  instance->info = info;
  instance->values.resize(info->properties.size());
  for (size_t i = 0; i < info->properties.size(); ++i) {
    CComVariant& value = instance->values[i];
    value.Clear();
    if (FAILED(object->Get(info->properties[i].wideName.c_str(), 0, &value, nullptr, nullptr))) value.vt = VT_ERROR;
  }
  return WBEM_S_NO_ERROR;
}

void Call::AppendInstance(std::string& out, const InstanceValues& instance) {
  const ClassInfo& info = *instance.info;
  out += "<INSTANCE CLASSNAME=\""sv;
  AppendXmlEscaped(out, info.name);
  out += "\">"sv;
  for (size_t i = 0; i < info.properties.size(); ++i) {
    const PropertyInfo& property = info.properties[i];
    const CComVariant& value = instance.values[i];
    if (value.vt == VT_ERROR || !property.wanted) continue;
    std::string reference;
    CimInstanceName target;
    if (property.type == CIM_REFERENCE && value.vt == VT_BSTR && value.bstrVal && ParseWmiPath(value.bstrVal, &target))
      reference = "<VALUE.REFERENCE>" + LocalInstancePathXml(target, m_Request.nameSpace) + "</VALUE.REFERENCE>";
    AppendProperty(out, property, {}, value, reference);
  }
  out += "</INSTANCE>"sv;
}

CimInstanceName Call::NameOf(const InstanceValues& instance) {
  const ClassInfo& info = *instance.info;
  CimInstanceName name;
  name.className = info.name;
  for (size_t i = 0; i < info.properties.size(); ++i) {
    const PropertyInfo& declared = info.properties[i];
    const CComVariant& value = instance.values[i];
    if (!declared.key || value.vt == VT_ERROR) continue;
    CimKey key;
    key.name = declared.name;
    auto target = std::make_shared<CimInstanceName>();
    if (declared.type == CIM_REFERENCE && value.vt == VT_BSTR && value.bstrVal && ParseWmiPath(value.bstrVal, target.get()) &&
        !target->className.empty()) {
      key.valueType = "reference";
      key.reference = std::move(target);
      if (key.reference->nameSpace.empty()) key.reference->nameSpace = m_Request.nameSpace;
    } else if (declared.type == CIM_REFERENCE) {
      // A reference that names no instance (the provider left it empty) stays the text it is: as
      // a string key it reads back to the same instance.
      key.value = value.vt == VT_BSTR && value.bstrVal ? Utf8(value.bstrVal) : "";
    } else {
      key.valueType = KeyValueType(declared.type);
      std::vector<std::string> texts = ElementTexts(declared.type, value);
      key.value = texts.empty() ? "" : texts[0];
      if (key.valueType == "boolean") key.value = key.value == "TRUE" ? "true" : "false";
    }
    name.keys.push_back(std::move(key));
  }
  return name;
}

std::string Call::ClassXml(const ClassInfo& info, IWbemClassObject* object) {
  std::string out = "<CLASS NAME=\"" + XmlEscape(info.name) + "\"";
  if (!info.superclass.empty()) out += " SUPERCLASS=\"" + XmlEscape(info.superclass) + "\"";
  out += ">";
  const std::string keyQualifier = "<QUALIFIER NAME=\"Key\" TYPE=\"boolean\"><VALUE>TRUE</VALUE></QUALIFIER>";
  for (const PropertyInfo& property : info.properties) {
    if (!Wanted(m_Request.propertyList, property.name)) continue;
    CComVariant value;  // the class's default, if it has one
    if (object) object->Get(property.wideName.c_str(), 0, &value, nullptr, nullptr);
    AppendProperty(out, property, property.key ? keyQualifier : "", value, {});
  }
  return out + "</CLASS>";
}

// DeepInheritance, LocalOnly, IncludeQualifiers and IncludeClassOrigin are read but change nothing
// here: an instance carries every property its class has, as the service gives it, and no
// qualifiers. Each instance is written as it comes, while the next ones are still in the
// service's enumerator.
std::string Call::Instances(bool names) {
  if (!m_Request.className) return Fail({kCimInvalidParameter, "ClassName is required"});
  const ClassInfo* requested = nullptr;
  HRESULT hr = Class(*m_Request.className, &requested);
  if (FAILED(hr)) return Fail(FailureOf(hr, "no class " + *m_Request.className));
  CComPtr<IEnumWbemClassObject> enumerator;
  hr = m_Services->CreateInstanceEnum(CComBSTR(requested->wideName.c_str()), WBEM_FLAG_DEEP | kForward, nullptr,
                                      &enumerator);
  RenderedEnumerations::Objects objects;
  if (SUCCEEDED(hr)) hr = ForEachObject(enumerator, [&](IWbemClassObject* object) {
    objects.emplace_back(object);
    return S_OK;
  });
  if (FAILED(hr)) return Fail(FailureOf(hr, "cannot enumerate " + *m_Request.className));

  // What the text depends on besides the objects: the form, the class asked for, the property
  // list and the namespace that references are written in.
  std::string key = (names ? "names " : "instances ") + requested->name;
  if (m_Request.propertyList)
    for (const std::string& property : *m_Request.propertyList) key += " +" + property;
  for (const std::string& part : m_Request.nameSpace) key += " /" + part;

  std::string out = Head();
  size_t lastSize = 0;
  if (std::shared_ptr<const std::string> text = m_Rendered.Find(key, objects, &lastSize)) {
    out += *text;
    return Answer(std::move(out));
  }
  std::string text;
  text.reserve(lastSize + lastSize / 8);
  InstanceValues instance;
  for (IWbemClassObject* object : objects) {
    hr = Read(object, requested, &instance);
    if (FAILED(hr)) return Fail(FailureOf(hr, "cannot enumerate " + *m_Request.className));
    if (!names) text += "<VALUE.NAMEDINSTANCE>"sv;
    text += InstanceNameXml(NameOf(instance));
    if (names) {
      text += "\n"sv;
    } else {
      AppendInstance(text, instance);
      text += "</VALUE.NAMEDINSTANCE>\n"sv;
    }
  }
  out += text;
  m_Rendered.Store(key, std::move(objects), std::make_shared<const std::string>(std::move(text)));
  return Answer(std::move(out));
}

bool SameKeys(const CimInstanceName& name, const ClassInfo& info) {
  size_t keys = 0;
  for (const PropertyInfo& property : info.properties) {
    if (!property.key) continue;
    ++keys;
    if (std::none_of(name.keys.begin(), name.keys.end(), [&](const CimKey& key) { return EqualNoCase(key.name, property.name); }))
      return false;
  }
  return keys == name.keys.size();
}

std::string KeyList(const ClassInfo& info) {
  std::string list;
  for (const PropertyInfo& property : info.properties)
    if (property.key) list += (list.empty() ? "" : ", ") + property.name;
  return list;
}

std::string Call::Instance() {
  if (!m_Request.instanceName) return Fail({kCimInvalidParameter, "InstanceName is required"});
  const CimInstanceName& name = *m_Request.instanceName;
  const ClassInfo* info = nullptr;
  HRESULT hr = Class(name.className, &info);
  if (FAILED(hr)) return Fail(FailureOf(hr, "no class " + name.className));
  // The keys must be exactly the class's keys: a name with fewer, more or other keys names no
  // instance, and the client hears that its parameter was wrong rather than that nothing matched.
  if (!SameKeys(name, *info)) return Fail({kCimInvalidParameter, "the keys of " + info->name + " are " + KeyList(*info)});
  const std::wstring path = WmiPath(name, m_Request.nameSpace, Server());
  CComPtr<IWbemClassObject> object;
  hr = m_Services->GetObject(CComBSTR(path.c_str()), 0, nullptr, &object, nullptr);
  if (FAILED(hr)) return Fail(FailureOf(hr, "no instance " + Utf8(path)));
  InstanceValues instance;
  hr = Read(object, info, &instance);
  if (FAILED(hr)) return Fail(FailureOf(hr, "cannot read " + Utf8(path)));
  std::string out = Head();
  AppendInstance(out, instance);
  return Answer(std::move(out));
}

std::string Call::Classes(bool names) {
  const std::string base = m_Request.className.value_or("");
  // Class enumerations are shallow unless the client asks for the whole tree.
  const bool deep = m_Request.deepInheritance.value_or(false);
  CComPtr<IEnumWbemClassObject> enumerator;
  CComBSTR superclass(Wide(base).c_str());
  HRESULT hr = m_Services->CreateClassEnum(base.empty() ? nullptr : superclass.m_str,
                                           (deep ? WBEM_FLAG_DEEP : WBEM_FLAG_SHALLOW) | kForward, nullptr, &enumerator);
  std::string out = Head();
  if (SUCCEEDED(hr)) hr = ForEachObject(enumerator, [&](IWbemClassObject* object) {
    ClassInfo info;
    HRESULT read = ReadClass(object, &info);
    if (FAILED(read)) return read;
    if (info.name.rfind("__", 0) == 0) return S_OK;  // the service's own system classes
    out += names ? "<CLASSNAME NAME=\"" + XmlEscape(info.name) + "\"/>\n" : ClassXml(info, object) + "\n";
    return S_OK;
  });
  if (FAILED(hr)) return Fail(FailureOf(hr, "cannot enumerate classes"));
  return Answer(std::move(out));
}

std::string Call::GetClass() {
  if (!m_Request.className) return Fail({kCimInvalidParameter, "ClassName is required"});
  CComPtr<IWbemClassObject> object;
  HRESULT hr = m_Services->GetObject(CComBSTR(Wide(*m_Request.className).c_str()), 0, nullptr, &object, nullptr);
  ClassInfo info;
  if (SUCCEEDED(hr)) hr = ReadClass(object, &info);
  if (FAILED(hr)) return Fail(FailureOf(hr, "no class " + *m_Request.className));
  return Answer(Head() + ClassXml(info, object));
}

std::string Call::WithPaths(const std::vector<InstanceValues>& instances, bool names) {
  std::string out = Head();
  for (const InstanceValues& instance : instances) {
    const std::string path = InstancePathXml(m_Host, m_Request.nameSpace, NameOf(instance));
    if (names) {
      out += "<OBJECTPATH>" + path + "</OBJECTPATH>\n";
      continue;
    }
    out += "<VALUE.OBJECTWITHPATH>" + path;
    AppendInstance(out, instance);
    out += "</VALUE.OBJECTWITHPATH>\n";
  }
  return out;
}

// The objects of a query; one whose class cannot be read is passed over.
HRESULT Call::RunQuery(const std::wstring& query, std::vector<InstanceValues>* instances) {
  CComPtr<IEnumWbemClassObject> enumerator;
  HRESULT hr = m_Services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(query.c_str()), kForward, nullptr, &enumerator);
  if (SUCCEEDED(hr)) hr = ForEachObject(enumerator, [&](IWbemClassObject* object) {
    InstanceValues instance;
    if (SUCCEEDED(Read(object, nullptr, &instance))) instances->push_back(std::move(instance));
    return S_OK;
  });
  return hr;
}

std::string Call::Associated(bool references, bool names) {
  if (!m_Request.instanceName) return Fail({kCimInvalidParameter, "ObjectName is required"});
  const CimInstanceName& name = *m_Request.instanceName;
  const ClassInfo* info = nullptr;
  HRESULT hr = Class(name.className, &info);
  if (FAILED(hr)) return Fail(FailureOf(hr, "no class " + name.className));
  // Only instances have associations here; the class-level form asks about the schema.
  if (name.keys.empty()) return Fail({kCimNotSupported, "association requests on a class are not supported"});
  std::wstring query = std::wstring(references ? L"REFERENCES OF {" : L"ASSOCIATORS OF {") +
                       WmiPath(name, m_Request.nameSpace, Server()) + L"}";
  // Class and role names go into the query as they are, so they must be names and nothing more.
  for (const auto* value : {&m_Request.assocClass, &m_Request.resultClass, &m_Request.role, &m_Request.resultRole}) {
    if (*value && !std::all_of((*value)->begin(), (*value)->end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
        }))
      return Fail({kCimInvalidParameter, "not a name: " + **value});
  }
  std::wstring where;
  auto add = [&](const wchar_t* keyword, const std::optional<std::string>& value) {
    if (value && !value->empty()) where += std::wstring(L" ") + keyword + L" = " + Wide(*value);
  };
  if (!references) add(L"AssocClass", m_Request.assocClass);
  add(L"ResultClass", m_Request.resultClass);
  add(L"Role", m_Request.role);
  if (!references) add(L"ResultRole", m_Request.resultRole);
  if (!where.empty()) query += L" WHERE" + where;
  std::vector<InstanceValues> instances;
  hr = RunQuery(query, &instances);
  if (FAILED(hr)) return Fail(FailureOf(hr, Utf8(query)));
  return Answer(WithPaths(instances, names));
}

std::string Call::Query() {
  if (!m_Request.query || !m_Request.queryLanguage) return Fail({kCimInvalidParameter, "QueryLanguage and Query are required"});
  if (!EqualNoCase(*m_Request.queryLanguage, "WQL"))
    return Fail({kCimQueryLanguageNotSupported, "query language " + *m_Request.queryLanguage});
  std::vector<InstanceValues> instances;
  HRESULT hr = RunQuery(Wide(*m_Request.query), &instances);
  if (FAILED(hr)) return Fail(FailureOf(hr, "query failed"));
  return Answer(WithPaths(instances, false));
}

std::string Call::Run() {
  const std::string& method = m_Request.method;
  if (method == "EnumerateInstances") return Instances(false);
  if (method == "EnumerateInstanceNames") return Instances(true);
  if (method == "GetInstance") return Instance();
  if (method == "EnumerateClassNames") return Classes(true);
  if (method == "EnumerateClasses") return Classes(false);
  if (method == "GetClass") return GetClass();
  if (method == "Associators") return Associated(false, false);
  if (method == "AssociatorNames") return Associated(false, true);
  if (method == "References") return Associated(true, false);
  if (method == "ReferenceNames") return Associated(true, true);
  if (method == "ExecQuery") return Query();
  // Every write, and every operation not listed above: the classes are read-only.
  return Fail({kCimNotSupported, method + " is not supported"});
}

}  // namespace

int CimStatusOf(HRESULT hr) {
  switch (hr) {
    case WBEM_E_NOT_FOUND: return kCimNotFound;
    case WBEM_E_INVALID_CLASS: return kCimInvalidClass;
    case WBEM_E_INVALID_PARAMETER: return kCimInvalidParameter;
    case WBEM_E_NOT_SUPPORTED:
    case WBEM_E_PROVIDER_NOT_CAPABLE: return kCimNotSupported;
    case WBEM_E_INVALID_NAMESPACE: return kCimInvalidNamespace;
    default: return kCimFailed;
  }
}

std::shared_ptr<const std::string> RenderedEnumerations::Find(const std::string& key, const Objects& objects,
                                                              size_t* lastSize) {
  std::lock_guard<std::mutex> hold(m_Lock);
  auto found = m_Entries.find(key);
  if (found == m_Entries.end()) return nullptr;
  if (lastSize) *lastSize = found->second.text->size();
  if (found->second.objects != objects) return nullptr;
  found->second.used = ++m_Uses;
  return found->second.text;
}

void RenderedEnumerations::Store(const std::string& key, Objects objects, std::shared_ptr<const std::string> text) {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (auto old = m_Entries.find(key); old != m_Entries.end()) {
    m_Bytes -= old->first.size() + old->second.text->size();
    m_Entries.erase(old);
  }
  const size_t bytes = key.size() + text->size();
  if (bytes > m_Budget) return;
  // Few keys are asked for again and again; a client that makes up many (property lists, say)
  // only pushes out the ones used longest ago.
  while (!m_Entries.empty() && (m_Bytes + bytes > m_Budget || m_Entries.size() >= kMaxEntries)) {
    auto oldest = m_Entries.begin();
    for (auto entry = m_Entries.begin(); entry != m_Entries.end(); ++entry)
      if (entry->second.used < oldest->second.used) oldest = entry;
    m_Bytes -= oldest->first.size() + oldest->second.text->size();
    m_Entries.erase(oldest);
  }
  m_Bytes += bytes;
  m_Entries[key] = {std::move(objects), std::move(text), ++m_Uses};
}

size_t RenderedEnumerations::Bytes() {
  std::lock_guard<std::mutex> hold(m_Lock);
  return m_Bytes;
}

void RenderedEnumerations::Clear() {
  std::lock_guard<std::mutex> hold(m_Lock);
  m_Entries.clear();
  m_Bytes = 0;
}

HRESULT CimOperations::Connect(const std::vector<std::string>& nameSpace, CComPtr<IWbemServices>& services) {
  const std::wstring text = NamespaceText(nameSpace);
  std::wstring key = text;
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(c));
  std::lock_guard<std::mutex> hold(m_Lock);
  auto found = m_Services.find(key);
  if (found != m_Services.end()) {
    services = found->second;
    return S_OK;
  }
  CComPtr<IWbemServices> connected;
  HRESULT hr = qzwmi::Connect(text, &connected);
  if (FAILED(hr)) return hr;
  m_Services[key] = connected;
  services = connected;
  return S_OK;
}

void CimOperations::Release() {
  m_Rendered.Clear();
  std::lock_guard<std::mutex> hold(m_Lock);
  m_Services.clear();
}

std::string CimOperations::Execute(const CimRequest& request, const std::string& host) {
  if (!request.intrinsic)
    return ErrorResponse(request.messageId, request.method, false, kCimNotSupported, "extrinsic methods are not supported");
  CComPtr<IWbemServices> services;
  HRESULT hr = Connect(request.nameSpace, services);
  if (FAILED(hr)) {
    const Failure failure = FailureOf(hr, "cannot open namespace");
    return ErrorResponse(request.messageId, request.method, true, failure.code, failure.description);
  }
  return Call(request, services, host, m_Rendered).Run();
}

}  // namespace qzwmi::serve
