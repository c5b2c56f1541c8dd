// The saved compiled result of the kept MOF files. Layout, in the machine's own byte order (a save
// is only read by the build that wrote it):
//   "QZMOFSAV" | format u32 | build (u32 length, bytes) | files: u32 count, each name (u32 length,
//   bytes), size u64, hash u64 | changes: u32 count, each kind u8, namespace, then what the kind
//   needs | HashBytes of everything before, u64.
// Texts are a u32 of their length times two, plus one when their characters are wchar_t rather
// than bytes (ASCII), then the characters; values are a VARTYPE u16, then the scalar, or for an
// array its lower bound i32, count u32 and the elements.
#include "wbem/mofcache.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <utility>

namespace qz::wbem {
namespace {

constexpr char kMagic[8] = {'Q', 'Z', 'M', 'O', 'F', 'S', 'A', 'V'};
// Raised whenever the layout or the meaning of a saved change changes.
constexpr uint32_t kFormat = 1;

constexpr uint8_t kNamespace = 1, kClass = 2, kDeleteClass = 3, kInstance = 4;

uint64_t Rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

uint64_t Avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

// Size in the save of one element of a value of this type; 0 for a type that is not saved.
size_t ScalarSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_R4: return 4;
    case VT_R8: return 8;
    case VT_BSTR: return sizeof(BSTR);
    default: return 0;
  }
}

class Writer {
 public:
  explicit Writer(std::string* out) : m_Out(out) {}
  void Raw(const void* data, size_t size) { m_Out->append(static_cast<const char*>(data), size); }
  template <class T>
  void Number(T value) {
    Raw(&value, sizeof value);
  }
  void Bytes(std::string_view text) {
    Number(static_cast<uint32_t>(text.size()));
    Raw(text.data(), text.size());
  }
  // Texts of ASCII alone (nearly all of them) take a byte a character.
  void Text(std::wstring_view text) {
    bool narrow = true;
    for (wchar_t c : text) narrow = narrow && static_cast<uint32_t>(c) < 0x80;
    Number(static_cast<uint32_t>(text.size() << 1 | (narrow ? 0 : 1)));
    if (!narrow) {
      Raw(text.data(), text.size() * sizeof(wchar_t));
      return;
    }
    const size_t start = m_Out->size();
    m_Out->resize(start + text.size());
    for (size_t i = 0; i < text.size(); ++i) (*m_Out)[start + i] = static_cast<char>(text[i]);
  }
  void Bstr(BSTR text) {
    if (!text) {
      Number(UINT32_MAX);
      return;
    }
    Text(std::wstring_view(text, SysStringLen(text)));
  }
  // False for a value of a type that is not saved.
  bool Value(const VARIANT& value) {
    Number(static_cast<uint16_t>(value.vt));
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) return true;
    const VARTYPE element = value.vt & ~VT_ARRAY;
    const size_t size = ScalarSize(element);
    if (!size || (value.vt & ~(VT_ARRAY | VT_TYPEMASK))) return false;
    if (!(value.vt & VT_ARRAY)) {
      if (element == VT_BSTR) {
        Bstr(value.bstrVal);
      } else {
        Raw(&value.bVal, size);  // the members of the union start at the same place
      }
      return true;
    }
    SAFEARRAY* array = value.parray;
    LONG lower = 0, upper = -1;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || SafeArrayGetElemsize(array) != size)
      return false;
    const uint32_t count = static_cast<uint32_t>(upper - lower + 1);
    Number(static_cast<int32_t>(lower));
    Number(count);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return false;
    if (element == VT_BSTR) {
      for (uint32_t i = 0; i < count; ++i) Bstr(static_cast<BSTR*>(data)[i]);
    } else {
      Raw(data, count * size);
    }
    SafeArrayUnaccessData(array);
    return true;
  }
  void Qualifiers(const QualifierList& qualifiers, bool* saved) {
    Number(static_cast<uint32_t>(qualifiers.size()));
    for (const Qualifier& qualifier : qualifiers) {
      Text(qualifier.name);
      *saved = Value(qualifier.value) && *saved;
      Number(static_cast<int32_t>(qualifier.flavor));
      Number(static_cast<uint8_t>((qualifier.inherited ? 1 : 0) | (qualifier.instanceLocal ? 2 : 0)));
    }
  }
  bool Class(const ClassDef& def) {
    bool saved = true;
    Text(def.name);
    Text(def.superclass);
    Number(static_cast<uint32_t>(def.derivation.size()));
    for (const std::wstring& ancestor : def.derivation) Text(ancestor);
    Qualifiers(def.qualifiers, &saved);
    Number(static_cast<uint32_t>(def.properties.size()));
    for (const PropertyDef& property : def.properties) {
      Text(property.name);
      Number(static_cast<int32_t>(property.type));
      Qualifiers(property.qualifiers, &saved);
      saved = Value(property.value) && saved;
      Text(property.origin);
    }
    return saved;
  }
  // The values an instance reports for its properties, as a copy made of it would be given them.
  bool Instance(IWbemClassObject* instance) {
    std::shared_ptr<const ClassDef> def = ClassObject::DefinitionOf(instance);
    if (!def) return false;
    Text(def->name);
    std::vector<std::pair<const std::wstring*, CComVariant>> values;
    for (const PropertyDef& property : def->properties) {
      CComVariant value;
      if (FAILED(instance->Get(property.name.c_str(), 0, &value, nullptr, nullptr))) return false;
      if (value.vt != VT_EMPTY && value.vt != VT_NULL) values.emplace_back(&property.name, std::move(value));
    }
    Number(static_cast<uint32_t>(values.size()));
    bool saved = true;
    for (const auto& [name, value] : values) {
      Text(*name);
      saved = Value(value) && saved;
    }
    return saved;
  }

 private:
  std::string* m_Out;
};

// Reads a save; every read checks that the bytes are there, and counts are checked against the
// bytes left before anything is made for them.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : m_At(bytes.data()), m_End(bytes.data() + bytes.size()) {}
  size_t Left() const { return static_cast<size_t>(m_End - m_At); }
  bool Raw(void* out, size_t size) {
    if (size > Left()) return false;
    std::memcpy(out, m_At, size);
    m_At += size;
    return true;
  }
  template <class T>
  bool Number(T* value) {
    return Raw(value, sizeof *value);
  }
  // A count of things each at least `least` bytes long.
  bool Count(uint32_t* count, size_t least) { return Number(count) && *count <= Left() / least; }
  bool Bytes(std::string_view* text) {
    uint32_t size = 0;
    if (!Count(&size, 1)) return false;
    *text = std::string_view(m_At, size);
    m_At += size;
    return true;
  }
  // The characters of a text (its size and width read already) widened or copied into `out`.
  bool Characters(uint32_t tag, wchar_t* out) {
    const size_t size = tag >> 1;
    if (tag & 1) return Raw(out, size * sizeof(wchar_t));
    if (size > Left()) return false;
    const auto* at = reinterpret_cast<const unsigned char*>(m_At);
    for (size_t i = 0; i < size; ++i) out[i] = at[i];
    m_At += size;
    return true;
  }
  bool Fits(uint32_t tag) const { return (tag >> 1) <= Left() / ((tag & 1) ? sizeof(wchar_t) : 1); }
  bool Text(std::wstring* text) {
    uint32_t tag = 0;
    if (!Number(&tag) || !Fits(tag)) return false;
    text->resize(tag >> 1);
    return Characters(tag, text->data());
  }
  // A BSTR made in place; false for a damaged one.
  bool Bstr(BSTR* text) {
    uint32_t tag = 0;
    if (!Number(&tag)) return false;
    if (tag == UINT32_MAX) {
      *text = nullptr;
      return true;
    }
    if (!Fits(tag)) return false;
    *text = SysAllocStringLen(nullptr, tag >> 1);
    return *text && Characters(tag, *text);
  }
  bool Value(CComVariant* value) {
    value->Clear();
    uint16_t vt = 0;
    if (!Number(&vt)) return false;
    if (vt == VT_EMPTY || vt == VT_NULL) {
      value->vt = vt;
      return true;
    }
    const VARTYPE element = vt & ~VT_ARRAY;
    const size_t size = ScalarSize(element);
    if (!size || (vt & ~(VT_ARRAY | VT_TYPEMASK))) return false;
    if (!(vt & VT_ARRAY)) {
      if (element == VT_BSTR) {
        if (!Bstr(&value->bstrVal)) return false;
      } else if (!Raw(&value->bVal, size)) {
        return false;
      }
      value->vt = vt;
      return true;
    }
    int32_t lower = 0;
    uint32_t count = 0;
    if (!Number(&lower) || !Count(&count, element == VT_BSTR ? sizeof(uint32_t) : size)) return false;
    SAFEARRAY* array = SafeArrayCreateVector(element, lower, count);
    if (!array) return false;
    void* data = nullptr;
    bool ok = SUCCEEDED(SafeArrayAccessData(array, &data));
    if (ok && element == VT_BSTR) {
      for (uint32_t i = 0; i < count && ok; ++i) ok = Bstr(&static_cast<BSTR*>(data)[i]);
    } else if (ok) {
      ok = Raw(data, count * size);
    }
    if (data) SafeArrayUnaccessData(array);
    if (!ok) {
      SafeArrayDestroy(array);
      return false;
    }
    value->vt = vt;
    value->parray = array;
    return true;
  }
  bool Qualifiers(QualifierList* qualifiers) {
    uint32_t count = 0;
    if (!Count(&count, 11)) return false;
    qualifiers->resize(count);
    for (Qualifier& qualifier : *qualifiers) {
      int32_t flavor = 0;
      uint8_t bits = 0;
      if (!Text(&qualifier.name) || !Value(&qualifier.value) || !Number(&flavor) || !Number(&bits) || bits > 3)
        return false;
      qualifier.flavor = flavor;
      qualifier.inherited = bits & 1;
      qualifier.instanceLocal = bits & 2;
    }
    return true;
  }
  bool Class(ClassDef* def) {
    uint32_t count = 0;
    if (!Text(&def->name) || !Text(&def->superclass) || !Count(&count, sizeof(uint32_t))) return false;
    def->derivation.resize(count);
    for (std::wstring& ancestor : def->derivation)
      if (!Text(&ancestor)) return false;
    if (!Qualifiers(&def->qualifiers) || !Count(&count, 16)) return false;
    def->properties.resize(count);
    for (PropertyDef& property : def->properties) {
      int32_t type = 0;
      if (!Text(&property.name) || !Number(&type) || !Qualifiers(&property.qualifiers) || !Value(&property.value) ||
          !Text(&property.origin))
        return false;
      property.type = type;
    }
    return true;
  }

 private:
  const char* m_At;
  const char* m_End;
};

// A decoded change, ready to be put.
struct Decoded {
  uint8_t kind = 0;
  std::wstring nameSpace;
  ClassDef cls;
  std::wstring className;  // DeleteClass, Instance
  std::vector<std::pair<std::wstring, CComVariant>> values;
};

bool Decode(Reader& reader, Decoded* change) {
  if (!reader.Number(&change->kind) || !reader.Text(&change->nameSpace)) return false;
  switch (change->kind) {
    case kNamespace: return true;
    case kClass: return reader.Class(&change->cls);
    case kDeleteClass: return reader.Text(&change->className);
    case kInstance: {
      uint32_t count = 0;
      if (!reader.Text(&change->className) || !reader.Count(&count, 6)) return false;
      change->values.resize(count);
      for (auto& [name, value] : change->values)
        if (!reader.Text(&name) || !reader.Value(&value)) return false;
      return true;
    }
    default: return false;
  }
}

HRESULT Put(Decoded& change, Repository& repository) {
  switch (change.kind) {
    case kNamespace: return repository.CreateNamespace(change.nameSpace);
    case kClass: return repository.PutClass(change.nameSpace, std::move(change.cls));
    case kDeleteClass: return repository.DeleteClass(change.nameSpace, change.className);
    default: break;
  }
  std::shared_ptr<const ClassDef> def = repository.FindClass(change.nameSpace, change.className);
  if (!def) return WBEM_E_INVALID_CLASS;
  CComPtr<IWbemClassObject> instance;
  HRESULT hr = ClassObject::Create(std::move(def), true, &instance);
  for (auto& [name, value] : change.values) {
    if (FAILED(hr)) break;
    hr = instance->Put(name.c_str(), 0, &value, 0);
  }
  // Made of the repository's own class and let go of here: stored without another copy.
  return FAILED(hr) ? hr : repository.AdoptStaticInstance(change.nameSpace, std::move(instance));
}

// The build id the linker wrote into the object that holds `address`; empty when it has none.
std::string BuildIdOf(const void* address) {
  struct Search {
    uintptr_t address;
    std::string id;
  } search{reinterpret_cast<uintptr_t>(address), {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* search = static_cast<Search*>(data);
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum && !holds; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          holds = segment.p_type == PT_LOAD && search->address >= start && search->address < start + segment.p_memsz;
        }
        if (!holds) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_NOTE) continue;
          const char* at = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
          const char* end = at + segment.p_memsz;
          while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const char* name = at + sizeof note;
            const char* desc = name + ((note.n_namesz + 3) & ~3u);
            if (desc + note.n_descsz > end) break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
              search->id.assign(desc, note.n_descsz);
              return 1;
            }
            at = desc + ((note.n_descsz + 3) & ~3u);
          }
        }
        return 1;
      },
      &search);
  return search.id;
}

}  // namespace

uint64_t HashBytes(std::string_view bytes) {
  constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full;
  uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  const char* at = bytes.data();
  size_t left = bytes.size();
  // Four lanes over 32-byte blocks, so that the multiplications overlap.
  for (; left >= 32; at += 32, left -= 32) {
    for (uint64_t& lane : lanes) {
      uint64_t word;
      std::memcpy(&word, at + (&lane - lanes) * 8, 8);
      lane = Rotate(lane + word * kPrime2, 31) * kPrime1;
    }
  }
  uint64_t h = Rotate(lanes[0], 1) + Rotate(lanes[1], 7) + Rotate(lanes[2], 12) + Rotate(lanes[3], 18);
  h += bytes.size();
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    h = Rotate(h ^ (Rotate(word * kPrime2, 31) * kPrime1), 27) * kPrime1 + kPrime2;
  }
  for (; left; ++at, --left) h = Rotate(h ^ (static_cast<unsigned char>(*at) * kPrime1), 11) * kPrime2;
  return Avalanche(h);
}

const CompiledMofStamp& CurrentCompiledMofStamp() {
  static const CompiledMofStamp* stamp = [] {
    auto* made = new CompiledMofStamp;
    made->format = kFormat;
    made->build = BuildIdOf(reinterpret_cast<const void*>(&CurrentCompiledMofStamp));
    if (made->build.empty()) {
      // A library linked without a build id: its file's size and time of change stand for it.
      Dl_info info{};
      struct stat file{};
      if (dladdr(reinterpret_cast<const void*>(&CurrentCompiledMofStamp), &info) && info.dli_fname &&
          stat(info.dli_fname, &file) == 0)
        made->build = std::string(info.dli_fname) + ":" + std::to_string(file.st_size) + ":" +
                      std::to_string(file.st_mtim.tv_sec) + "." + std::to_string(file.st_mtim.tv_nsec);
    }
    return made;
  }();
  return *stamp;
}

bool EncodeCompiledMofs(const CompiledMofStamp& stamp, const std::vector<KeptFileKey>& files,
                        const std::vector<Repository::Change>& changes, std::string* bytes) {
  bytes->clear();
  Writer writer(bytes);
  writer.Raw(kMagic, sizeof kMagic);
  writer.Number(stamp.format);
  writer.Bytes(stamp.build);
  writer.Number(static_cast<uint32_t>(files.size()));
  for (const KeptFileKey& file : files) {
    writer.Bytes(file.name);
    writer.Number(file.size);
    writer.Number(file.hash);
  }
  writer.Number(static_cast<uint32_t>(changes.size()));
  bool saved = true;
  for (const Repository::Change& change : changes) {
    using Kind = Repository::Change::Kind;
    switch (change.kind) {
      case Kind::Namespace:
        writer.Number(kNamespace);
        writer.Text(change.nameSpace);
        break;
      case Kind::Class:
        writer.Number(kClass);
        writer.Text(change.nameSpace);
        saved = change.cls && writer.Class(*change.cls) && saved;
        break;
      case Kind::DeleteClass:
        writer.Number(kDeleteClass);
        writer.Text(change.nameSpace);
        writer.Text(change.className);
        break;
      case Kind::Instance:
        writer.Number(kInstance);
        writer.Text(change.nameSpace);
        saved = change.instance && writer.Instance(change.instance) && saved;
        break;
    }
  }
  writer.Number(HashBytes(*bytes));
  return saved;
}

CompiledMofsUse ApplyCompiledMofs(std::string_view bytes, const CompiledMofStamp& stamp,
                                  const std::vector<KeptFileKey>& files, Repository& repository) {
  uint64_t hash = 0;
  if (bytes.size() < sizeof kMagic + sizeof hash) return CompiledMofsUse::Refused;
  std::memcpy(&hash, bytes.data() + bytes.size() - sizeof hash, sizeof hash);
  bytes.remove_suffix(sizeof hash);
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 || HashBytes(bytes) != hash) return CompiledMofsUse::Refused;
  Reader reader(bytes.substr(sizeof kMagic));
  uint32_t format = 0, count = 0;
  std::string_view build;
  if (!reader.Number(&format) || format != stamp.format || !reader.Bytes(&build) || build != stamp.build ||
      !reader.Number(&count) || count != files.size())
    return CompiledMofsUse::Refused;
  for (const KeptFileKey& file : files) {
    std::string_view name;
    KeptFileKey saved;
    if (!reader.Bytes(&name) || !reader.Number(&saved.size) || !reader.Number(&saved.hash)) return CompiledMofsUse::Refused;
    saved.name = name;
    if (!(saved == file)) return CompiledMofsUse::Refused;
  }
  if (!reader.Count(&count, 5)) return CompiledMofsUse::Refused;
  std::vector<Decoded> changes(count);
  for (Decoded& change : changes)
    if (!Decode(reader, &change)) return CompiledMofsUse::Refused;
  if (reader.Left()) return CompiledMofsUse::Refused;
  for (Decoded& change : changes)
    if (FAILED(Put(change, repository))) return CompiledMofsUse::Interrupted;
  return CompiledMofsUse::Applied;
}

}  // namespace qz::wbem
