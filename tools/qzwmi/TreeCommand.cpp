// Draws the memory tree by walking the published associations from the computer system and its
// chassis down to the modules, through nothing but enumerations and ASSOCIATORS OF queries.
#include "TreeCommand.h"

#include <atlbase.h>
#include <oleauto.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "Commands.h"
#include "ErrorNames.h"
#include "Output.h"

namespace qzwmi {
namespace {

using Objects = std::vector<CComPtr<IWbemClassObject>>;

// CIM memory types by code.
constexpr const char* kMemoryTypes[] = {
    "Unknown", "Other", "DRAM",   "Synchronous DRAM", "Cache DRAM", "EDO",   "EDRAM", "VRAM",  "SRAM",  "RAM",
    "ROM",     "Flash", "EEPROM", "FEPROM",           "EPROM",      "CDRAM", "3DRAM", "SDRAM", "SGRAM", "RDRAM",
    "DDR",     "DDR2",  "BRAM",   "FB-DIMM",          "DDR3",       "FBD2",  "DDR4"};

// How intact the protection of the redundancy set is, by RedundancyStatus.
constexpr const char* kRedundancyStatus[] = {"unknown redundancy",  "redundancy status 1", "fully redundant",
                                             "degraded redundancy", "redundancy lost",     "overall failure"};

enum class Tone { Plain, Name, Good, Warning, Bad, Faint };

// HealthState and the operational statuses read the same way: OK is good, degraded a warning,
// anything worse bad.
Tone HealthTone(long health) {
  return health == 5 ? Tone::Good : health == 0 ? Tone::Plain : health <= 15 ? Tone::Warning : Tone::Bad;
}
Tone StatusTone(long status) {
  return status == 2 ? Tone::Good : status == 3 || status == 5 ? Tone::Warning : status == 0 ? Tone::Plain : Tone::Bad;
}
Tone RedundancyTone(long status) {
  return status == 2 ? Tone::Good : status == 3 ? Tone::Warning : status >= 4 ? Tone::Bad : Tone::Plain;
}

struct Node {
  std::string text;
  std::vector<Node> children;
};

class TreeBuilder {
 public:
  TreeBuilder(IWbemServices* services, bool color) : m_Services(services), m_Color(color) {}

  HRESULT Build(std::string* picture, bool json) {
    Objects systems, chassis;
    HRESULT hr = Enumerate(L"QZ_WinComputerSystem", &systems);
    HRESULT chassisHr = Enumerate(L"QZ_ComputerSystemChassis", &chassis);
    if (FAILED(hr) && FAILED(chassisHr)) return hr;
    Node root{systems.empty() ? Paint("Computer system", Tone::Name) + " " + Paint("(not published)", Tone::Faint)
                              : Paint("Computer system " + Text(systems[0], L"Name"), Tone::Name),
              {}};
    if (!systems.empty()) {
      AddLinked(systems[0], L"QZ_HostedMemoryCollection", &root, [this](IWbemClassObject* c) { return Collection(c); });
      AddLinked(systems[0], L"QZ_HostedMemoryRedundancySet", &root,
                [this](IWbemClassObject* r) { return RedundancySet(r); });
    }
    for (IWbemClassObject* each : chassis) root.children.push_back(Chassis(each));
    AddUnplaced(L"QZ_MemoryBoard", "Boards in no slot", &root, [this](IWbemClassObject* b) { return Board(b); });
    AddUnplaced(L"QZ_MemoryModuleSlot", "Sockets on no board", &root,
                [this](IWbemClassObject* s) { return Socket(s, false); });
    AddUnplaced(L"QZ_MemoryModule", "Modules in no socket", &root, [this](IWbemClassObject* m) {
      return Node{Paint(Text(m, L"ElementName"), Tone::Name) + ": " + Module(m), {}};
    });
    picture->clear();
    if (json) {
      nlohmann::ordered_json tree;
      tree["tree"] = Json(root);
      tree["notAvailable"] = m_Notes;
      *picture = tree.dump(2) + "\n";
      return WBEM_S_NO_ERROR;
    }
    Render(root, "", "", picture);
    for (const std::string& note : m_Notes) *picture += Paint("Not available: " + note, Tone::Warning) + "\n";
    return WBEM_S_NO_ERROR;
  }

 private:
  std::string Paint(const std::string& text, Tone tone) const {
    static constexpr const char* kCodes[] = {"", "\x1b[1m", "\x1b[32m", "\x1b[33m", "\x1b[31m", "\x1b[2m"};
    const char* code = kCodes[static_cast<int>(tone)];
    if (!m_Color || !*code) return text;
    return code + text + "\x1b[0m";
  }

  static std::string Text(IWbemClassObject* object, const wchar_t* property) {
    CComVariant value;
    CIMTYPE type = CIM_EMPTY;
    if (FAILED(object->Get(property, 0, &value, &type, nullptr))) return {};
    return ListValue(type, value);
  }

  // The number a property holds (the first element of an array), or -1 when it has none.
  static long Number(IWbemClassObject* object, const wchar_t* property) {
    CComVariant value;
    if (FAILED(object->Get(property, 0, &value, nullptr, nullptr))) return -1;
    if (value.vt == (VT_ARRAY | VT_I4)) {
      LONG index = 0, first = -1;
      if (value.parray->rgsabound[0].cElements == 0 || FAILED(SafeArrayGetElement(value.parray, &index, &first)))
        return -1;
      return first;
    }
    if (value.vt == VT_BSTR) return value.bstrVal ? std::wcstol(value.bstrVal, nullptr, 10) : -1;
    return value.vt == VT_I4 ? value.lVal : -1;
  }

  // The name that the Values qualifier of the property gives the number, else the number itself.
  // Qualifiers stay with the class, so it is read from the service once per class.
  std::string ValueName(IWbemClassObject* object, const wchar_t* property, long number) {
    const std::string className = Text(object, L"__CLASS");
    CComPtr<IWbemClassObject>& cls = m_Classes[className];
    CComPtr<IWbemQualifierSet> qualifiers;
    CComVariant map, names;
    if ((cls || SUCCEEDED(m_Services->GetObject(CComBSTR(Wide(className).c_str()), 0, nullptr, &cls, nullptr))) &&
        SUCCEEDED(cls->GetPropertyQualifierSet(property, &qualifiers)) &&
        SUCCEEDED(qualifiers->Get(L"ValueMap", 0, &map, nullptr)) &&
        SUCCEEDED(qualifiers->Get(L"Values", 0, &names, nullptr)) && map.vt == (VT_ARRAY | VT_BSTR) &&
        names.vt == (VT_ARRAY | VT_BSTR)) {
      for (LONG i = 0; i < static_cast<LONG>(map.parray->rgsabound[0].cElements); ++i) {
        CComBSTR key, name;
        if (SUCCEEDED(SafeArrayGetElement(map.parray, &i, &key)) && key && std::wcstol(key, nullptr, 10) == number &&
            SUCCEEDED(SafeArrayGetElement(names.parray, &i, &name)) && name)
          return Utf8(std::wstring(name, name.Length()));
      }
    }
    return std::to_string(number);
  }

  std::string Health(IWbemClassObject* object) {
    const long health = Number(object, L"HealthState");
    if (health < 0) return Paint("health unknown", Tone::Faint);
    return Paint(ValueName(object, L"HealthState", health), HealthTone(health));
  }

  static std::string Identity(IWbemClassObject* object) { return Text(object, L"__RELPATH"); }

  HRESULT Collect(IEnumWbemClassObject* enumerator, Objects* objects) {
    for (;;) {
      CComPtr<IWbemClassObject> object;
      ULONG returned = 0;
      HRESULT hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned);
      if (FAILED(hr)) return hr;
      if (!returned) return WBEM_S_NO_ERROR;
      objects->push_back(object);
    }
  }

  HRESULT Enumerate(const wchar_t* className, Objects* objects) {
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = m_Services->CreateInstanceEnum(CComBSTR(className), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
    if (SUCCEEDED(hr)) hr = Collect(enumerator, objects);
    if (FAILED(hr)) Note(className, hr);
    return hr;
  }

  // The objects that instances of `association` tie to `object`; `known` false when the
  // association could not be read.
  Objects Linked(IWbemClassObject* object, const wchar_t* association, bool* known = nullptr) {
    Objects objects;
    const std::wstring query =
        L"ASSOCIATORS OF {" + Wide(Text(object, L"__PATH")) + L"} WHERE AssocClass = " + association;
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr =
        m_Services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(query.c_str()), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
    if (SUCCEEDED(hr)) hr = Collect(enumerator, &objects);
    if (FAILED(hr)) {
      Note(association, hr);
      objects.clear();
    }
    if (known) *known = SUCCEEDED(hr);
    return objects;
  }

  void Note(const wchar_t* what, HRESULT hr) {
    const std::string note = Utf8(what) + " (" + HresultText(hr) + ")";
    for (const std::string& known : m_Notes) {
      if (known == note) return;
    }
    m_Notes.push_back(note);
  }

  // True the first time an object is put in the tree: each is drawn once, where it is first reached.
  bool Place(IWbemClassObject* object) { return m_Placed.insert(Identity(object)).second; }

  template <class Draw>
  bool AddLinked(IWbemClassObject* object, const wchar_t* association, Node* parent, Draw draw) {
    bool known = false;
    for (IWbemClassObject* each : Linked(object, association, &known)) {
      if (Place(each)) parent->children.push_back(draw(each));
    }
    return known;
  }

  // The instances of the class that no association placed in the tree, under one heading.
  template <class Draw>
  void AddUnplaced(const wchar_t* className, const char* heading, Node* parent, Draw draw) {
    Objects all;
    if (FAILED(Enumerate(className, &all))) return;
    Node group{Paint(heading, Tone::Warning), {}};
    for (IWbemClassObject* each : all) {
      if (Place(each)) group.children.push_back(draw(each));
    }
    if (!group.children.empty()) parent->children.push_back(std::move(group));
  }

  Node Collection(IWbemClassObject* collection) {
    const long status = Number(collection, L"GroupOperationalStatus");
    const std::string text = status < 0
                                 ? Paint("status unknown", Tone::Faint)
                                 : Paint(ValueName(collection, L"GroupOperationalStatus", status), StatusTone(status));
    return {Paint("Memory collection", Tone::Name) + ": " + text, {}};
  }

  Node RedundancySet(IWbemClassObject* set) const {
    std::string text = Paint("Redundancy set", Tone::Name) + ": " + Text(set, L"CurrentConfiguration");
    const std::string target = Text(set, L"TargetConfiguration");
    if (!target.empty() && target != Text(set, L"CurrentConfiguration")) text += " (" + target + " at the next start)";
    const long status = Number(set, L"RedundancyStatus");
    if (status >= 0 && status < static_cast<long>(std::size(kRedundancyStatus)))
      text += ", " + Paint(kRedundancyStatus[status], RedundancyTone(status));
    return {text, {}};
  }

  Node Chassis(IWbemClassObject* chassis) {
    Node node{Paint(Text(chassis, L"Tag"), Tone::Name), {}};
    AddLinked(chassis, L"QZ_SystemMemoryBoardSlot", &node, [this](IWbemClassObject* slot) {
      Node slotNode{Paint(Text(slot, L"ElementName"), Tone::Name), {}};
      const bool known =
          AddLinked(slot, L"QZ_MemoryBoardInSlot", &slotNode, [this](IWbemClassObject* board) { return Board(board); });
      if (slotNode.children.empty()) slotNode.text += ": " + Paint(known ? "empty" : "board unknown", Tone::Faint);
      return slotNode;
    });
    // The chassis holds every socket; those on a board were drawn with it, the others go here.
    AddLinked(chassis, L"QZ_SystemMemoryModuleSlot", &node,
              [this](IWbemClassObject* socket) { return Socket(socket, false); });
    return node;
  }

  Node Board(IWbemClassObject* board) {
    Node node{Paint(Text(board, L"ElementName"), Tone::Name) + ": " + Health(board), {}};
    AddLinked(board, L"QZ_MemoryModuleSlotOnBoard", &node,
              [this](IWbemClassObject* socket) { return Socket(socket, true); });
    return node;
  }

  // Under its board a socket goes by its number; elsewhere by its full name.
  Node Socket(IWbemClassObject* socket, bool onBoard) {
    const long number = onBoard ? Number(socket, L"Number") : -1;
    Node node{Paint(number >= 0 ? "Socket " + std::to_string(number) : Text(socket, L"ElementName"), Tone::Name) + ": ",
              {}};
    bool known = false;
    Objects modules = Linked(socket, L"QZ_MemoryModuleInSlot", &known);
    if (modules.empty()) node.text += Paint(known ? "empty" : "module unknown", Tone::Faint);
    for (size_t i = 0; i < modules.size(); ++i) {
      Place(modules[i]);
      node.text += (i ? "; " : "") + Module(modules[i]);
    }
    return node;
  }

  // "8 GiB DDR3 1333 MHz, OK": what the module publishes of its size, type, speed and health.
  std::string Module(IWbemClassObject* module) {
    std::vector<std::string> parts;
    const std::string capacity = Text(module, L"Capacity");
    if (!capacity.empty()) {
      const unsigned long long bytes = std::strtoull(capacity.c_str(), nullptr, 10);
      constexpr unsigned long long kMiB = 1ull << 20, kGiB = 1ull << 30;
      parts.push_back(bytes && bytes % kGiB == 0   ? std::to_string(bytes / kGiB) + " GiB"
                      : bytes && bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                                                   : capacity + " bytes");
    }
    // An unknown type (0) says nothing worth a place on the line.
    const long type = Number(module, L"MemoryType");
    if (type > 0 && type < static_cast<long>(std::size(kMemoryTypes))) parts.push_back(kMemoryTypes[type]);
    if (type >= static_cast<long>(std::size(kMemoryTypes))) parts.push_back("type " + std::to_string(type));
    const long speed = Number(module, L"Speed");
    if (speed > 0) parts.push_back(std::to_string(speed) + " MHz");
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : " ") + part;
    return text + (text.empty() ? "" : ", ") + Health(module);
  }

  static nlohmann::ordered_json Json(const Node& node) {
    nlohmann::ordered_json item;
    item["text"] = node.text;
    if (!node.children.empty()) {
      item["children"] = nlohmann::ordered_json::array();
      for (const Node& child : node.children) item["children"].push_back(Json(child));
    }
    return item;
  }

  static void Render(const Node& node, const std::string& lead, const std::string& indent, std::string* out) {
    *out += lead + node.text + "\n";
    for (size_t i = 0; i < node.children.size(); ++i) {
      const bool last = i + 1 == node.children.size();
      Render(node.children[i], indent + (last ? "`-- " : "|-- "), indent + (last ? "    " : "|   "), out);
    }
  }

  IWbemServices* m_Services;
  bool m_Color;
  std::map<std::string, CComPtr<IWbemClassObject>> m_Classes;
  std::set<std::string> m_Placed;  // relative paths of what an association put in the tree
  std::vector<std::string> m_Notes;
};

}  // namespace

bool WantColor(const std::string& mode, int fd) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  // An unset TERM says as little about colours as "dumb" does.
  const char* term = std::getenv("TERM");
  return isatty(fd) && term && *term && std::strcmp(term, "dumb") != 0 && !std::getenv("NO_COLOR");
}

HRESULT DrawMemoryTree(IWbemServices* services, bool color, std::string* picture, bool json) {
  if (!services || !picture) return WBEM_E_INVALID_PARAMETER;
  return TreeBuilder(services, color && !json).Build(picture, json);
}

HRESULT RunTree(const std::wstring& nameSpace, bool color, bool json, std::string* picture) {
  CComPtr<IWbemServices> services;
  HRESULT hr = Connect(nameSpace, &services);
  if (FAILED(hr)) return hr;
  return DrawMemoryTree(services, color, picture, json);
}

}  // namespace qzwmi
