// The reg command: its switches parsed by hand (they start with '/' or '-', in any case), the key
// roots by short and long name, and each value printed as "    Name    REG_TYPE    data".
#include "RegCommand.h"

#include <windows.h>
#include <winreg.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "Output.h"

namespace qzwmi {
namespace {

constexpr char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr char kSuccess[] = "The operation completed successfully.\n";
constexpr char kCanceled[] = "The operation was canceled by the user.\n";

struct RootName {
  const char* shortName;
  const char* longName;
  HKEY key;
};
const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

struct TypeName {
  DWORD type;
  const char* name;
};
constexpr TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},         {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},       {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},         {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};
// The types that `reg add /t` accepts.
constexpr DWORD kAddTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};

// The message of a registry status, after "ERROR: ".
struct StatusText {
  LONG status;
  const char* text;
};
constexpr StatusText kStatusTexts[] = {
    {ERROR_FILE_NOT_FOUND, "The system was unable to find the specified registry key or value."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BAD_PATHNAME, "Invalid key name."},
    {ERROR_CHILD_MUST_BE_VOLATILE, "Cannot create a stable subkey under a volatile parent key."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string TypeText(DWORD type) {
  for (const TypeName& entry : kTypes)
    if (entry.type == type) return entry.name;
  char text[32];
  std::snprintf(text, sizeof text, "REG_0x%" PRIx32, static_cast<uint32_t>(type));
  return text;
}

std::string StatusMessage(LONG status) {
  for (const StatusText& entry : kStatusTexts)
    if (entry.status == status) return std::string("ERROR: ") + entry.text + "\n";
  return "ERROR: The operation failed with error " + std::to_string(status) + ".\n";
}

// A command line that reg cannot read exits with the command's usage status.
constexpr int kSyntax = 2;

struct UsageText {
  const char* operation;
  const char* text;
};
constexpr UsageText kUsage[] = {
    {"QUERY", "  REG QUERY KeyName [/v ValueName | /ve] [/s]\n"
              "    prints the key's values (and with /s its subkeys', all the way down)\n"},
    {"ADD", "  REG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
            "    Type: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY; /f overwrites without asking\n"},
    {"DELETE", "  REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
               "    deletes the value, all values (/va) or the whole key; /f without asking\n"},
};

std::string SyntaxError(const std::string& operation) {
  return "ERROR: Invalid syntax.\nType \"REG " + (operation.empty() ? std::string("/?") : Upper(operation) + " /?") +
         "\" for usage.\n";
}

// A key given on the command line: its root, the path below it, and the path as printed.
struct KeyName {
  HKEY root = nullptr;
  std::wstring subKey;
  std::string display;
};

std::optional<KeyName> ParseKey(std::string text) {
  while (!text.empty() && text.back() == '\\') text.pop_back();
  const size_t slash = text.find('\\');
  const std::string root = Upper(text.substr(0, slash));
  for (const RootName& entry : kRoots) {
    if (root != entry.shortName && root != entry.longName) continue;
    KeyName key;
    key.root = entry.key;
    key.display = entry.longName;
    if (slash != std::string::npos) {
      key.subKey = Wide(text.substr(slash + 1));
      key.display += "\\" + text.substr(slash + 1);
    }
    return key;
  }
  return std::nullopt;
}

// The switches after the key: `/v NAME` takes a value, the others stand alone. Each may appear once.
struct Switches {
  std::map<std::string, std::string> given;
  bool Has(const char* name) const { return given.count(name) != 0; }
  const std::string& Value(const char* name) const { return given.at(name); }
};

// Which switches each operation accepts, and which of them take a value.
struct OperationSwitches {
  const char* operation;
  std::vector<std::string> flags;
  std::vector<std::string> withValue;
};
const OperationSwitches kOperations[] = {
    {"QUERY", {"VE", "S"}, {"V"}},
    {"ADD", {"VE", "F"}, {"V", "T", "D", "S"}},
    {"DELETE", {"VE", "VA", "F"}, {"V"}},
};

std::optional<Switches> ParseSwitches(const OperationSwitches& allowed, const std::vector<std::string>& args,
                                      size_t first) {
  Switches switches;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return std::nullopt;
    const std::string name = Upper(arg.substr(1));
    if (switches.Has(name.c_str())) return std::nullopt;
    bool takesValue = false, known = false;
    for (const std::string& flag : allowed.flags) known = known || flag == name;
    for (const std::string& flag : allowed.withValue) takesValue = takesValue || flag == name;
    if (!known && !takesValue) return std::nullopt;
    if (takesValue) {
      if (i + 1 >= args.size()) return std::nullopt;
      switches.given[name] = args[++i];
    } else {
      switches.given[name] = "";
    }
  }
  // One value name at most: /v, /ve and /va exclude each other.
  if (switches.Has("V") + switches.Has("VE") + switches.Has("VA") > 1) return std::nullopt;
  return switches;
}

// An open key, closed on every path.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (m_Key) RegCloseKey(m_Key);
  }
  HKEY* operator&() { return &m_Key; }
  operator HKEY() const { return m_Key; }

 private:
  HKEY m_Key = nullptr;
};

struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

std::string HexBytes(const std::vector<BYTE>& data) {
  std::string text;
  char pair[3];
  for (BYTE b : data) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

std::wstring WideChars(const std::vector<BYTE>& data) {
  std::wstring text(data.size() / sizeof(WCHAR), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  return text;
}

std::string DataText(const Value& value) {
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::wstring text = WideChars(value.data);
      return Utf8(text.substr(0, text.find(L'\0')));
    }
    case REG_MULTI_SZ: {
      std::wstring text = WideChars(value.data);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      std::string joined;
      size_t start = 0;
      for (;;) {
        size_t end = text.find(L'\0', start);
        joined += Utf8(text.substr(start, end - start));
        if (end == std::wstring::npos) break;
        joined += "\\0";
        start = end + 1;
      }
      return joined;
    }
    case REG_DWORD:
      if (value.data.size() == sizeof(DWORD)) {
        DWORD number;
        std::memcpy(&number, value.data.data(), sizeof number);
        char text[16];
        std::snprintf(text, sizeof text, "0x%" PRIx32, static_cast<uint32_t>(number));
        return text;
      }
      break;
    case REG_QWORD:
      if (value.data.size() == sizeof(uint64_t)) {
        uint64_t number;
        std::memcpy(&number, value.data.data(), sizeof number);
        char text[24];
        std::snprintf(text, sizeof text, "0x%" PRIx64, number);
        return text;
      }
      break;
    default:
      break;
  }
  return HexBytes(value.data);
}

std::string ValueLine(const Value& value) {
  const std::string name = value.name.empty() ? "(Default)" : Utf8(value.name);
  return "    " + name + "    " + TypeText(value.type) + "    " + DataText(value) + "\n";
}

LONG ReadValue(HKEY key, const std::wstring& name, Value* value) {
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type, nullptr, &size);
  for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt) {
    value->data.resize(size);
    status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type, value->data.empty() ? nullptr : value->data.data(),
                              &size);
    if (status == ERROR_SUCCESS) {
      value->data.resize(size);
      value->name = name;
      return ERROR_SUCCESS;
    }
    if (attempt > 3) break;
  }
  return status;
}

LONG ReadValues(HKEY key, std::vector<Value>* values) {
  DWORD count = 0, maxName = 0, maxData = 0;
  LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName, &maxData,
                                 nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  std::vector<WCHAR> name(maxName + 2);
  for (DWORD i = 0; i < count; ++i) {
    DWORD nameChars = static_cast<DWORD>(name.size());
    DWORD type = REG_NONE;
    status = RegEnumValueW(key, i, name.data(), &nameChars, nullptr, &type, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return status;
    Value value;
    status = ReadValue(key, std::wstring(name.data(), nameChars), &value);
    if (status != ERROR_SUCCESS) return status;
    values->push_back(std::move(value));
  }
  return ERROR_SUCCESS;
}

// The value's name as the key stores it: names compare without case, and the output shows the
// stored spelling, not the one typed.
std::wstring StoredName(HKEY key, const std::wstring& name) {
  std::vector<Value> values;
  if (name.empty() || ReadValues(key, &values) != ERROR_SUCCESS) return name;
  auto upper = [](std::wstring text) {
    for (wchar_t& c : text)
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
  };
  for (const Value& value : values)
    if (upper(value.name) == upper(name)) return value.name;
  return name;
}

LONG ReadSubKeys(HKEY key, std::vector<std::wstring>* names) {
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    LONG status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    names->emplace_back(name, chars);
  }
}

// Opens `sub` under `parent`; the root itself when sub is empty.
LONG Open(HKEY parent, const std::wstring& sub, REGSAM access, HKEY* key) {
  return RegOpenKeyExW(parent, sub.empty() ? nullptr : sub.c_str(), 0, access, key);
}

// Prints a key and, with `recurse`, the keys below it. Without /s the key's own path appears only
// over its values, and its subkeys as one path each; with /s every key's path appears, its values
// below it followed by a blank line.
LONG QueryTree(HKEY key, const std::string& path, bool recurse, std::string* out) {
  std::vector<Value> values;
  std::vector<std::wstring> subKeys;
  LONG status = ReadValues(key, &values);
  if (status == ERROR_SUCCESS) status = ReadSubKeys(key, &subKeys);
  if (status != ERROR_SUCCESS) return status;
  if (recurse || !values.empty()) *out += path + "\n";
  for (const Value& value : values) *out += ValueLine(value);
  if (!values.empty()) *out += "\n";
  for (const std::wstring& name : subKeys) {
    const std::string childPath = path + "\\" + Utf8(name);
    if (!recurse) {
      *out += childPath + "\n";
      continue;
    }
    OpenKey child;
    status = Open(key, name, KEY_READ, &child);
    if (status == ERROR_SUCCESS) status = QueryTree(child, childPath, true, out);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

// `/v NAME /s`: every key of the tree that has the value, then the count.
LONG SearchValue(HKEY key, const std::string& path, const std::wstring& name, std::string* out, int* matches) {
  Value value;
  if (ReadValue(key, name, &value) == ERROR_SUCCESS) {
    value.name = StoredName(key, name);
    *out += path + "\n" + ValueLine(value) + "\n";
    ++*matches;
  }
  std::vector<std::wstring> subKeys;
  LONG status = ReadSubKeys(key, &subKeys);
  if (status != ERROR_SUCCESS) return status;
  for (const std::wstring& sub : subKeys) {
    OpenKey child;
    status = Open(key, sub, KEY_READ, &child);
    if (status == ERROR_SUCCESS) status = SearchValue(child, path + "\\" + Utf8(sub), name, out, matches);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

int Query(const KeyName& name, const Switches& switches, std::string* out, std::string* err) {
  OpenKey key;
  LONG status = Open(name.root, name.subKey, KEY_READ, &key);
  if (status != ERROR_SUCCESS) {
    *err += StatusMessage(status);
    return 1;
  }
  std::string text = "\n";
  if (switches.Has("V") && switches.Has("S")) {
    int matches = 0;
    status = SearchValue(key, name.display, Wide(switches.Value("V")), &text, &matches);
    if (status == ERROR_SUCCESS)
      text += "End of search: " + std::to_string(matches) + " match(es) found.\n";
  } else if (switches.Has("V") || switches.Has("VE")) {
    Value value;
    const std::wstring valueName = switches.Has("V") ? Wide(switches.Value("V")) : std::wstring();
    status = ReadValue(key, valueName, &value);
    if (status == ERROR_SUCCESS) {
      value.name = StoredName(key, valueName);
      text += name.display + "\n" + ValueLine(value) + "\n";
    } else if (status == ERROR_FILE_NOT_FOUND && valueName.empty()) {
      // A key always answers for its default value, set or not.
      text += name.display + "\n    (Default)    REG_SZ    (value not set)\n\n";
      status = ERROR_SUCCESS;
    }
  } else {
    status = QueryTree(key, name.display, switches.Has("S"), &text);
  }
  if (status != ERROR_SUCCESS) {
    *err += StatusMessage(status);
    return 1;
  }
  *out += text;
  return 0;
}

// The bytes that `/t type /d data` store; nullopt when the data does not fit the type.
std::optional<std::vector<BYTE>> EncodeData(DWORD type, const std::string& data, const std::string& separator) {
  std::vector<BYTE> bytes;
  auto appendWide = [&bytes](const std::wstring& text) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.c_str());
    bytes.insert(bytes.end(), begin, begin + (text.size() + 1) * sizeof(WCHAR));
  };
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      appendWide(Wide(data));
      return bytes;
    case REG_MULTI_SZ: {
      size_t start = 0;
      while (start < data.size()) {
        size_t end = data.find(separator, start);
        if (end == start) return std::nullopt;  // an empty string inside the list
        appendWide(Wide(data.substr(start, end - start)));
        if (end == std::string::npos) break;
        start = end + separator.size();
      }
      appendWide(L"");
      return bytes;
    }
    case REG_DWORD: {
      const std::string text = data.empty() ? "0" : data;
      const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
      const std::string digits = hex ? text.substr(2) : text;
      if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return std::nullopt;
      errno = 0;
      unsigned long long number = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
      if (errno || number > 0xFFFFFFFFull) return std::nullopt;
      DWORD value = static_cast<DWORD>(number);
      bytes.resize(sizeof value);
      std::memcpy(bytes.data(), &value, sizeof value);
      return bytes;
    }
    case REG_BINARY: {
      if (data.size() % 2 || data.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
      for (size_t i = 0; i < data.size(); i += 2)
        bytes.push_back(static_cast<BYTE>(std::strtoul(data.substr(i, 2).c_str(), nullptr, 16)));
      return bytes;
    }
    default:
      return std::nullopt;
  }
}

int Add(const KeyName& name, const Switches& switches, std::string* out, std::string* err,
        const ConfirmFunction& confirm) {
  DWORD type = REG_SZ;
  if (switches.Has("T")) {
    const std::string wanted = Upper(switches.Value("T"));
    type = REG_NONE;
    for (DWORD allowed : kAddTypes)
      if (TypeText(allowed) == wanted) type = allowed;
    if (type == REG_NONE) {
      *err += SyntaxError("add");
      return kSyntax;
    }
  }
  // The list separator of REG_MULTI_SZ data is one character; "\0" (as typed) by default.
  const std::string separator = switches.Has("S") ? switches.Value("S") : "\\0";
  if (separator.size() != 1 && separator != "\\0") {
    *err += SyntaxError("add");
    return kSyntax;
  }
  std::optional<std::vector<BYTE>> data =
      EncodeData(type, switches.Has("D") ? switches.Value("D") : std::string(), separator);
  if (!data) {
    *err += SyntaxError("add");
    return kSyntax;
  }
  if (name.subKey.empty()) {
    *err += "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n";
    return kSyntax;
  }
  OpenKey key;
  LONG status = RegCreateKeyExW(name.root, name.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    *err += StatusMessage(status);
    return 1;
  }
  // Without /v or /ve, a type or data given is the key's default value; nothing given only
  // creates the key.
  const bool setsValue = switches.Has("V") || switches.Has("VE") || switches.Has("T") || switches.Has("D");
  if (setsValue) {
    const std::wstring valueName = switches.Has("V") ? Wide(switches.Value("V")) : std::wstring();
    Value existing;
    if (!switches.Has("F") && ReadValue(key, valueName, &existing) == ERROR_SUCCESS &&
        !confirm("Value " + Utf8(valueName) + " exists, overwrite(Yes/No)? ")) {
      *out += kCanceled;
      return 1;
    }
    status = RegSetValueExW(key, valueName.c_str(), 0, type, data->empty() ? nullptr : data->data(),
                            static_cast<DWORD>(data->size()));
    if (status != ERROR_SUCCESS) {
      *err += StatusMessage(status);
      return 1;
    }
  }
  *out += kSuccess;
  return 0;
}

int Delete(const KeyName& name, const Switches& switches, std::string* out, std::string* err,
           const ConfirmFunction& confirm) {
  if (name.subKey.empty()) {
    *err += "ERROR: Invalid key name.\nType \"REG DELETE /?\" for usage.\n";
    return kSyntax;
  }
  OpenKey key;
  LONG status = Open(name.root, name.subKey, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) {
    *err += StatusMessage(status);
    return 1;
  }
  const bool force = switches.Has("F");
  if (switches.Has("V") || switches.Has("VE")) {
    const std::wstring valueName = switches.Has("V") ? Wide(switches.Value("V")) : std::wstring();
    Value existing;
    status = ReadValue(key, valueName, &existing);
    if (status != ERROR_SUCCESS) {
      *err += StatusMessage(status);
      return 1;
    }
    if (!force && !confirm("Delete the registry value " + (valueName.empty() ? std::string("(Default)") : Utf8(valueName)) +
                           " (Yes/No)? ")) {
      *out += kCanceled;
      return 1;
    }
    status = RegDeleteValueW(key, valueName.c_str());
  } else if (switches.Has("VA")) {
    if (!force && !confirm("Delete all values under the registry key " + name.display + " (Yes/No)? ")) {
      *out += kCanceled;
      return 1;
    }
    std::vector<Value> values;
    status = ReadValues(key, &values);
    for (size_t i = 0; status == ERROR_SUCCESS && i < values.size(); ++i)
      status = RegDeleteValueW(key, values[i].name.c_str());
  } else {
    if (!force && !confirm("Permanently delete the registry key " + name.display + " (Yes/No)? ")) {
      *out += kCanceled;
      return 1;
    }
    status = RegDeleteTreeW(name.root, name.subKey.c_str());
  }
  if (status != ERROR_SUCCESS) {
    *err += StatusMessage(status);
    return 1;
  }
  *out += kSuccess;
  return 0;
}

}  // namespace

int RunReg(const std::vector<std::string>& args, std::string* out, std::string* err, const ConfirmFunction& confirm) {
  if (args.size() == 1 && args[0] == "/?") {
    *out += std::string("Usage:\n") + kUsage[0].text + kUsage[1].text + kUsage[2].text;
    return 0;
  }
  if (args.empty()) {
    *err += SyntaxError("");
    return kSyntax;
  }
  const std::string operation = Upper(args[0]);
  const OperationSwitches* allowed = nullptr;
  for (const OperationSwitches& entry : kOperations)
    if (operation == entry.operation) allowed = &entry;
  if (!allowed) {
    *err += SyntaxError("");
    return kSyntax;
  }
  if (args.size() == 2 && args[1] == "/?") {
    for (const UsageText& usage : kUsage)
      if (operation == usage.operation) *out += std::string("Usage:\n") + usage.text;
    return 0;
  }
  if (args.size() < 2) {
    *err += SyntaxError(operation);
    return kSyntax;
  }
  std::optional<Switches> switches = ParseSwitches(*allowed, args, 2);
  if (!switches) {
    *err += SyntaxError(operation);
    return kSyntax;
  }
  std::optional<KeyName> key = ParseKey(args[1]);
  if (!key) {
    *err += "ERROR: Invalid key name.\nType \"REG " + operation + " /?\" for usage.\n";
    return kSyntax;
  }
  if (operation == "QUERY") return Query(*key, *switches, out, err);
  if (operation == "ADD") return Add(*key, *switches, out, err, confirm);
  return Delete(*key, *switches, out, err, confirm);
}

}  // namespace qzwmi
