// Table and CSV views, property selection and the decoded text of coded values.
#include "Views.h"

#include <oleauto.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qzwmi {
namespace {

// The columns of the table by class, when no -p names them: what a person looks at first. A constant
// table, so that no command pays for building it before main.
struct ClassColumns {
  std::string_view className;
  std::array<std::string_view, 10> columns;  // the first empty one ends them
};
constexpr ClassColumns kColumns[] = {
    {"QZ_MemoryModule",
     {"Tag", "BankLabel", "Capacity", "MemoryType", "Speed", "FormFactor", "Manufacturer", "PartNumber",
      "SerialNumber", "HealthState"}},
    {"QZ_MemoryBoard",
     {"Tag", "ElementName", "NumberOfSockets", "TotalMemory", "AvailableMemory", "Locked", "RemovalConditions",
      "HealthState"}},
    {"QZ_MemoryModuleSlot", {"Tag", "Number", "ElementName", "HealthState"}},
    {"QZ_MemoryBoardSlot", {"Tag", "Number", "ElementName", "HealthState"}},
    {"QZ_MemoryModuleSlotLocation", {"Name", "PhysicalPosition", "ElementLocationTagDesc", "ElementLocationTag"}},
    {"QZ_MemoryBoardSlotLocation", {"Name", "PhysicalPosition", "ElementLocationTagDesc", "ElementLocationTag"}},
    {"QZ_MemoryRedundancySet",
     {"InstanceID", "CurrentConfiguration", "TargetConfiguration", "ConfigurationsAvailable", "RedundancyStatus",
      "TotalMemory", "AvailableMemory"}},
    {"QZ_MemoryCollection", {"InstanceID", "GroupOperationalStatus", "GroupStatusDescriptions"}},
    {"QZ_WinMemory",
     {"DeviceID", "SystemName", "NumberOfBlocks", "BlockSize", "StartingAddress", "EndingAddress", "HealthState",
      "OperationalStatus"}},
    {"QZ_CommonLogEntry", {"RecordNumber", "Severity", "Description"}},
};

const ClassColumns* PreferredColumns(const std::string& className) {
  for (const ClassColumns& entry : kColumns)
    if (entry.className == className) return &entry;
  return nullptr;
}

constexpr size_t kNarrowest = 8;  // a column is not cut below this many characters

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Characters, not bytes: what the terminal shows of UTF-8 text.
size_t Columns(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

std::string Cut(const std::string& text, size_t width) {
  if (Columns(text) <= width) return text;
  std::string out;
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && ++count == width) break;
    out += text[i];
  }
  return out + "\xE2\x80\xA6";  // the ellipsis
}

std::string Size(unsigned long long bytes) {
  constexpr unsigned long long kMiB = 1ull << 20, kGiB = 1ull << 30;
  char text[64];
  if (bytes >= kGiB && bytes % kGiB == 0) return std::to_string(bytes / kGiB) + " GiB";
  if (bytes >= kGiB) {
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / kGiB);
    return text;
  }
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// A reference by the values of its keys, without the class-name keys that every instance repeats:
// `\\S\root\VXN:QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="T"` reads `T`.
std::string ShortReference(const std::string& path) {
  const size_t dot = path.find('.', path.find(':') == std::string::npos ? 0 : path.find(':'));
  if (dot == std::string::npos) return path;
  std::vector<std::string> values;
  std::string name, value;
  bool inValue = false, quoted = false;
  auto finish = [&] {
    if (name.find("CreationClassName") == std::string::npos) values.push_back(value);
    name.clear();
    value.clear();
    inValue = false;
  };
  for (size_t i = dot + 1; i < path.size(); ++i) {
    const char c = path[i];
    if (quoted) {
      if (c == '\\' && i + 1 < path.size()) value += path[++i];
      else if (c == '"') quoted = false;
      else value += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '=' && !inValue) {
      inValue = true;
    } else if (c == ',') {
      finish();
    } else {
      (inValue ? value : name) += c;
    }
  }
  finish();
  std::string text;
  for (const std::string& each : values) text += (text.empty() ? "" : ", ") + each;
  return text;
}

bool HasValue(const PropertyValue& property) { return property.value.vt != VT_EMPTY && property.value.vt != VT_NULL; }

// Whether the table and --decode show the property otherwise than as stored.
bool Decodes(const PropertyInfo* info) {
  return info && (!info->values.empty() || info->units == "Bytes" || (info->cimType & ~CIM_FLAG_ARRAY) == CIM_REFERENCE);
}

const ClassInfo* ClassOf(const Catalog& catalog, const ObjectRecord& object) {
  auto found = catalog.find(object.className);
  return found == catalog.end() ? nullptr : &found->second;
}

const PropertyValue* FindValue(const ObjectRecord& object, const std::string& name) {
  for (const PropertyValue& property : object.properties) {
    if (Lower(Utf8(property.name)) == Lower(name)) return &property;
  }
  return nullptr;
}

// The table's columns for one class: the chosen properties as they are, else the class's own list
// (or, for another class, every property that is not a list), restricted to what the objects have.
std::vector<std::string> TableColumns(const std::vector<const ObjectRecord*>& group, bool chosen) {
  std::vector<std::string> present;
  for (const ObjectRecord* object : group) {
    for (const PropertyValue& property : object->properties) {
      const std::string name = Utf8(property.name);
      if (std::find(present.begin(), present.end(), name) != present.end()) continue;
      present.push_back(name);
    }
  }
  if (chosen) return present;
  const ClassColumns* preferred = PreferredColumns(Utf8(group.front()->className));
  if (!preferred) {
    // Another class: what is not a list of bytes or texts.
    std::vector<std::string> columns;
    for (const std::string& name : present) {
      const PropertyValue* value = FindValue(*group.front(), name);
      const CIMTYPE element = value ? value->type & ~CIM_FLAG_ARRAY : CIM_EMPTY;
      if (!value || !(value->type & CIM_FLAG_ARRAY) || element == CIM_UINT16) columns.push_back(name);
    }
    return columns;
  }
  std::vector<std::string> columns;
  for (std::string_view name : preferred->columns) {
    if (name.empty()) break;
    if (std::find(present.begin(), present.end(), name) != present.end()) columns.emplace_back(name);
  }
  return columns.empty() ? present : columns;
}

std::string Table(const std::vector<const ObjectRecord*>& group, const Catalog& catalog, bool chosen, size_t width) {
  const std::vector<std::string> columns = TableColumns(group, chosen);
  const ClassInfo* cls = ClassOf(catalog, *group.front());
  std::vector<std::vector<std::string>> rows{columns};
  for (const ObjectRecord* object : group) {
    std::vector<std::string> row;
    for (const std::string& column : columns) {
      const PropertyValue* value = FindValue(*object, column);
      row.push_back(value ? DisplayText(cls ? cls->Find(column) : nullptr, *value) : "");
    }
    rows.push_back(std::move(row));
  }
  std::vector<size_t> widths(columns.size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
  }
  // Too wide for the terminal: the widest column gives way, one character at a time.
  auto total = [&] {
    size_t sum = widths.empty() ? 0 : 2 * (widths.size() - 1);
    for (size_t each : widths) sum += each;
    return sum;
  };
  while (width && total() > width) {
    auto widest = std::max_element(widths.begin(), widths.end());
    if (*widest <= kNarrowest) break;
    --*widest;
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string cell = Cut(row[i], widths[i]);
      line += cell;
      if (i + 1 < row.size()) line += std::string(widths[i] - Columns(cell) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

// Objects one after the other grouped by class, in the order they came.
std::vector<std::vector<const ObjectRecord*>> GroupByClass(const std::vector<ObjectRecord>& objects) {
  std::vector<std::vector<const ObjectRecord*>> groups;
  for (const ObjectRecord& object : objects) {
    if (groups.empty() || groups.back().front()->className != object.className) groups.emplace_back();
    groups.back().push_back(&object);
  }
  return groups;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string RawText(const PropertyValue& property) {
  std::string text;
  for (const std::string& element : ElementTexts(property.type, property.value))
    text += (text.empty() ? "" : ";") + element;
  return text;
}

}  // namespace

bool SelectProperties(const std::vector<std::string>& names, const Catalog& catalog, std::vector<ObjectRecord>* objects,
                      std::string* error) {
  for (ObjectRecord& object : *objects) {
    const ClassInfo* cls = ClassOf(catalog, object);
    ObjectRecord chosen;
    chosen.className = object.className;
    chosen.path = object.path;
    for (const std::string& name : names) {
      const PropertyInfo* info = cls ? cls->Find(name) : nullptr;
      const PropertyValue* value = FindValue(object, name);
      if (!info && !value) {
        const std::vector<std::string> nearest = NearestNames(name, cls ? cls->PropertyNames() : std::vector<std::string>{});
        *error = "no property " + name + " in " + Utf8(object.className) +
                 (nearest.empty() ? "" : "; did you mean " + Alternatives(nearest) + "?") +
                 " (qzwmi describe " + Utf8(object.className) + " lists its properties)";
        return false;
      }
      VARIANT empty;
      VariantInit(&empty);
      if (value) chosen.Add(value->name, value->type, value->value);
      else chosen.Add(Wide(info->name), info->cimType, empty);
    }
    // The record frees what it holds when it goes: `chosen` takes the old values with it.
    std::swap(object.properties, chosen.properties);
  }
  return true;
}

std::string DisplayText(const PropertyInfo* info, const PropertyValue& property) {
  std::string text;
  for (const std::string& element : DisplayTexts(info, property)) text += (text.empty() ? "" : ", ") + element;
  return text;
}

std::vector<std::string> DisplayTexts(const PropertyInfo* info, const PropertyValue& property) {
  if (!HasValue(property)) return {};
  const CIMTYPE type = property.type & ~CIM_FLAG_ARRAY;
  std::vector<std::string> texts;
  for (const std::string& element : ElementTexts(property.type, property.value)) {
    std::string shown = element;
    if (info && !info->values.empty()) {
      const std::string meaning = ValueText(*info, element);
      if (!meaning.empty()) shown = meaning;
    } else if (info && info->units == "Bytes" && !element.empty()) {
      shown = Size(std::strtoull(element.c_str(), nullptr, 10));
    } else if (type == CIM_REFERENCE) {
      shown = ShortReference(element);
    }
    texts.push_back(EscapeControls(shown));
  }
  return texts;
}

std::string FormatTable(const std::vector<ObjectRecord>& objects, const Catalog& catalog, bool chosen, size_t width) {
  const auto groups = GroupByClass(objects);
  std::string text;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i) text += "\n";
    if (groups.size() > 1) text += Utf8(groups[i].front()->className) + "\n";
    text += Table(groups[i], catalog, chosen, width);
  }
  return text;
}

std::string FormatCsv(const std::vector<ObjectRecord>& objects, const Catalog& catalog, bool decode) {
  // One header for every object: the union of their properties, with the class first when the
  // objects are of several classes.
  std::vector<std::string> columns;
  bool classes = false;
  for (const ObjectRecord& object : objects) {
    classes |= object.className != objects.front().className;
    const ClassInfo* cls = ClassOf(catalog, object);
    for (const PropertyValue& property : object.properties) {
      const std::string name = Utf8(property.name);
      if (std::find(columns.begin(), columns.end(), name) != columns.end()) continue;
      columns.push_back(name);
      if (decode && Decodes(cls ? cls->Find(name) : nullptr)) columns.push_back(name + ".text");
    }
  }
  if (objects.empty()) return "";
  std::string text = classes ? "__CLASS" : "";
  for (size_t i = 0; i < columns.size(); ++i) text += (i || classes ? "," : "") + CsvField(columns[i]);
  text += "\n";
  for (const ObjectRecord& object : objects) {
    const ClassInfo* cls = ClassOf(catalog, object);
    std::string line = classes ? CsvField(Utf8(object.className)) : "";
    for (size_t i = 0; i < columns.size(); ++i) {
      const std::string& column = columns[i];
      const bool decoded = column.size() > 5 && column.compare(column.size() - 5, 5, ".text") == 0 &&
                           i > 0 && columns[i - 1] + ".text" == column;
      const std::string name = decoded ? columns[i - 1] : column;
      const PropertyValue* value = FindValue(object, name);
      std::string field;
      if (value) field = decoded ? DisplayText(cls ? cls->Find(name) : nullptr, *value) : RawText(*value);
      line += (i || classes ? "," : "") + CsvField(field);
    }
    text += line + "\n";
  }
  return text;
}

std::string FormatView(const std::vector<ObjectRecord>& objects, const Catalog& catalog, const ViewOptions& options) {
  switch (options.view) {
    case View::Table: return FormatTable(objects, catalog, !options.properties.empty(), options.width);
    case View::Csv: return FormatCsv(objects, catalog, options.decode);
    case View::List: return FormatList(objects);
    case View::Json: break;
  }
  if (!options.decode) return FormatJson(objects);
  return FormatJson(objects, [&](const ObjectRecord& object, const PropertyValue& property) -> std::optional<nlohmann::ordered_json> {
    const ClassInfo* cls = ClassOf(catalog, object);
    const PropertyInfo* info = cls ? cls->Find(Utf8(property.name)) : nullptr;
    if (!Decodes(info) || !HasValue(property)) return std::nullopt;
    // A list decodes to a list, a value to a text: the types stay those of the raw values.
    if (property.type & CIM_FLAG_ARRAY) return nlohmann::ordered_json(DisplayTexts(info, property));
    return nlohmann::ordered_json(DisplayText(info, property));
  });
}

std::vector<ObjectRecord> ClassRecords(const std::vector<ClassInfo>& classes) {
  std::vector<ObjectRecord> records;
  for (const ClassInfo& cls : classes) {
    ObjectRecord record;
    record.className = L"meta_class";
    for (const auto& [name, text] : {std::pair{L"Name", cls.name}, std::pair{L"Description", cls.description}}) {
      VARIANT value;
      VariantInit(&value);
      if (!text.empty()) {
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocString(Wide(text).c_str());
      }
      record.Add(name, CIM_STRING, value);
      VariantClear(&value);
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace qzwmi
