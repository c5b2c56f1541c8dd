// Type libraries: the image a module carries as resource TYPELIB 1, ITypeLib and ITypeInfo over it,
// LoadTypeLibEx and RegisterTypeLib.
#include <objbase.h>
#include <oleauto.h>
#include <qztypelib.h>
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "ole32/comobject.h"

namespace {

// The image: the magic and format version, the library, then its types. Numbers are little-endian,
// a GUID is laid out as in memory on Windows (Data1, Data2, Data3 little-endian, then Data4), and a
// text is a 16-bit count of UTF-16 units followed by the units.
//
//   "QZTL" WORD(1) GUID(libid) DWORD(lcid) WORD(major) WORD(minor) WORD(flags) TEXT(name) TEXT(doc)
//   WORD(count), then per type: WORD(kind) GUID WORD(flags) TEXT(name) TEXT(doc)
constexpr BYTE kMagic[4] = {'Q', 'Z', 'T', 'L'};
constexpr WORD kFormatVersion = 1;

class ImageWriter {
 public:
  ImageWriter(BYTE* buffer, size_t size) : m_Buffer(buffer), m_Size(size) {}

  void Byte(BYTE value) {
    if (m_Buffer && m_At < m_Size) m_Buffer[m_At] = value;
    ++m_At;
  }
  void Word(WORD value) {
    Byte(static_cast<BYTE>(value));
    Byte(static_cast<BYTE>(value >> 8));
  }
  void Dword(DWORD value) {
    Word(static_cast<WORD>(value));
    Word(static_cast<WORD>(value >> 16));
  }
  void Guid(const GUID& guid) {
    Dword(guid.Data1);
    Word(guid.Data2);
    Word(guid.Data3);
    for (BYTE b : guid.Data4) Byte(b);
  }
  // False when the text is longer than a 16-bit count can say.
  bool Text(LPCWSTR text) {
    std::vector<WORD> units;
    for (const WCHAR* c = text ? text : L""; *c; ++c) {
      auto code = static_cast<DWORD>(*c);
      if (code >= 0x10000 && code <= 0x10FFFF) {
        units.push_back(static_cast<WORD>(0xD800 + ((code - 0x10000) >> 10)));
        units.push_back(static_cast<WORD>(0xDC00 + ((code - 0x10000) & 0x3FF)));
      } else {
        units.push_back(static_cast<WORD>(code > 0xFFFF ? 0xFFFD : code));
      }
    }
    if (units.size() > 0xFFFF) return false;
    Word(static_cast<WORD>(units.size()));
    for (WORD unit : units) Word(unit);
    return true;
  }
  size_t Size() const { return m_At; }

 private:
  BYTE* m_Buffer;
  size_t m_Size;
  size_t m_At = 0;
};

class ImageReader {
 public:
  ImageReader(const BYTE* data, size_t size) : m_Data(data), m_Size(size) {}

  bool Byte(BYTE* value) {
    if (m_At >= m_Size) return false;
    *value = m_Data[m_At++];
    return true;
  }
  bool Word(WORD* value) {
    BYTE low = 0, high = 0;
    if (!Byte(&low) || !Byte(&high)) return false;
    *value = static_cast<WORD>(low | (high << 8));
    return true;
  }
  bool Dword(DWORD* value) {
    WORD low = 0, high = 0;
    if (!Word(&low) || !Word(&high)) return false;
    *value = low | (static_cast<DWORD>(high) << 16);
    return true;
  }
  bool Guid(GUID* guid) {
    DWORD data1 = 0;
    if (!Dword(&data1) || !Word(&guid->Data2) || !Word(&guid->Data3)) return false;
    guid->Data1 = data1;
    for (BYTE& b : guid->Data4)
      if (!Byte(&b)) return false;
    return true;
  }
  bool Text(std::wstring* text) {
    WORD count = 0;
    if (!Word(&count)) return false;
    std::vector<WORD> units(count);
    for (WORD& unit : units)
      if (!Word(&unit)) return false;
    text->clear();
    for (size_t i = 0; i < units.size(); ++i) {
      const WORD unit = units[i];
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
        *text += static_cast<WCHAR>(0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00));
        continue;
      }
      *text += static_cast<WCHAR>(unit);
    }
    return true;
  }
  bool AtEnd() const { return m_At == m_Size; }

 private:
  const BYTE* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

struct TypeEntry {
  TYPEKIND kind;
  GUID guid;
  WORD flags;
  std::wstring name;
  std::wstring doc;
};

struct LibraryData {
  TLIBATTR attr;
  std::wstring name;
  std::wstring doc;
  std::vector<TypeEntry> types;
};

bool ParseImage(const BYTE* data, size_t size, LibraryData* lib) {
  ImageReader in(data, size);
  for (BYTE expected : kMagic) {
    BYTE b = 0;
    if (!in.Byte(&b) || b != expected) return false;
  }
  WORD version = 0;
  if (!in.Word(&version) || version != kFormatVersion) return false;
  lib->attr = {};
  lib->attr.syskind = SYS_WIN64;
  DWORD lcid = 0;
  if (!in.Guid(&lib->attr.guid) || !in.Dword(&lcid) || !in.Word(&lib->attr.wMajorVerNum) ||
      !in.Word(&lib->attr.wMinorVerNum) || !in.Word(&lib->attr.wLibFlags) || !in.Text(&lib->name) ||
      !in.Text(&lib->doc))
    return false;
  lib->attr.lcid = lcid;
  WORD count = 0;
  if (!in.Word(&count)) return false;
  for (WORD i = 0; i < count; ++i) {
    TypeEntry type{};
    WORD kind = 0;
    if (!in.Word(&kind) || kind >= TKIND_MAX || !in.Guid(&type.guid) || !in.Word(&type.flags) ||
        !in.Text(&type.name) || !in.Text(&type.doc))
      return false;
    type.kind = static_cast<TYPEKIND>(kind);
    lib->types.push_back(std::move(type));
  }
  return in.AtEnd() && !lib->name.empty();
}

// A BSTR for an out-parameter that may be null; empty text gives a null BSTR, as for a library
// without help text.
HRESULT PutText(BSTR* out, const std::wstring& text) {
  if (!out) return S_OK;
  *out = nullptr;
  if (text.empty()) return S_OK;
  *out = SysAllocString(text.c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT PutDocumentation(const std::wstring& name, const std::wstring& doc, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                         BSTR* pHelpFile) {
  if (pName) *pName = nullptr;
  if (pDoc) *pDoc = nullptr;
  if (pHelpFile) *pHelpFile = nullptr;
  if (pContext) *pContext = 0;
  HRESULT hr = PutText(pName, name);
  if (SUCCEEDED(hr)) hr = PutText(pDoc, doc);
  if (FAILED(hr) && pName) {
    SysFreeString(*pName);
    *pName = nullptr;
  }
  return hr;
}

class CTypeLib;

class CTypeInfo final : public qz::ComObject<ITypeInfo> {
 public:
  CTypeInfo(CTypeLib* lib, UINT index);

  STDMETHODIMP GetTypeAttr(TYPEATTR** ppTypeAttr) override;
  STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override { return NotImplemented(ppTComp); }
  STDMETHODIMP GetFuncDesc(UINT, struct tagFUNCDESC** ppFuncDesc) override { return NotImplemented(ppFuncDesc); }
  STDMETHODIMP GetVarDesc(UINT, struct tagVARDESC** ppVarDesc) override { return NotImplemented(ppVarDesc); }
  STDMETHODIMP GetNames(MEMBERID, BSTR*, UINT, UINT* pcNames) override {
    if (pcNames) *pcNames = 0;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(PVOID, MEMBERID, WORD, struct tagDISPPARAMS*, VARIANT*, struct tagEXCEPINFO*,
                      UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                BSTR* pBstrHelpFile) override;
  STDMETHODIMP GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetRefTypeInfo(HREFTYPE, ITypeInfo** ppTInfo) override { return NotImplemented(ppTInfo); }
  STDMETHODIMP AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override { return NotImplemented(ppv); }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, PVOID* ppvObj) override { return NotImplemented(ppvObj); }
  STDMETHODIMP GetMops(MEMBERID, BSTR* pBstrMops) override { return NotImplemented(pBstrMops); }
  STDMETHODIMP GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
  STDMETHODIMP_(void) ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
  STDMETHODIMP_(void) ReleaseFuncDesc(struct tagFUNCDESC*) override {}
  STDMETHODIMP_(void) ReleaseVarDesc(struct tagVARDESC*) override {}

 private:
  ~CTypeInfo() override;
  template <class T>
  static HRESULT NotImplemented(T** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  const TypeEntry& Entry() const;

  CTypeLib* m_Lib;
  UINT m_Index;
};

class CTypeLib final : public qz::ComObject<ITypeLib> {
 public:
  explicit CTypeLib(LibraryData data) : m_Data(std::move(data)) {}

  const LibraryData& Data() const { return m_Data; }

  STDMETHODIMP_(UINT) GetTypeInfoCount() override { return static_cast<UINT>(m_Data.types.size()); }
  STDMETHODIMP GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= m_Data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = new (std::nothrow) CTypeInfo(this, index);
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
    if (!pTKind) return E_INVALIDARG;
    if (index >= m_Data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = m_Data.types[index].kind;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
    if (!ppTinfo) return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (UINT i = 0; i < m_Data.types.size(); ++i)
      if (m_Data.types[i].guid == guid) return GetTypeInfo(i, ppTinfo);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override {
    if (!ppTLibAttr) return E_INVALIDARG;
    *ppTLibAttr = new (std::nothrow) TLIBATTR(m_Data.attr);
    return *ppTLibAttr ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                BSTR* pBstrHelpFile) override {
    if (index == -1) return PutDocumentation(m_Data.name, m_Data.doc, pBstrName, pBstrDocString, pdwHelpContext,
                                             pBstrHelpFile);
    if (index < 0 || static_cast<size_t>(index) >= m_Data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    const TypeEntry& type = m_Data.types[static_cast<size_t>(index)];
    return PutDocumentation(type.name, type.doc, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
  }
  STDMETHODIMP IsName(LPOLESTR, ULONG, BOOL* pfName) override {
    if (pfName) *pfName = FALSE;
    return E_NOTIMPL;
  }
  STDMETHODIMP FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* pcFound) override {
    if (pcFound) *pcFound = 0;
    return E_NOTIMPL;
  }
  STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

 private:
  LibraryData m_Data;
};

// A type description keeps its library alive.
CTypeInfo::CTypeInfo(CTypeLib* lib, UINT index) : m_Lib(lib), m_Index(index) { m_Lib->AddRef(); }
CTypeInfo::~CTypeInfo() { m_Lib->Release(); }

const TypeEntry& CTypeInfo::Entry() const { return m_Lib->Data().types[m_Index]; }

STDMETHODIMP CTypeInfo::GetTypeAttr(TYPEATTR** ppTypeAttr) {
  if (!ppTypeAttr) return E_INVALIDARG;
  *ppTypeAttr = new (std::nothrow) TYPEATTR{};
  if (!*ppTypeAttr) return E_OUTOFMEMORY;
  TYPEATTR& attr = **ppTypeAttr;
  attr.guid = Entry().guid;
  attr.lcid = m_Lib->Data().attr.lcid;
  attr.memidConstructor = MEMBERID_NIL;
  attr.memidDestructor = MEMBERID_NIL;
  attr.typekind = Entry().kind;
  attr.cbAlignment = 8;
  attr.wTypeFlags = Entry().flags;
  attr.tdescAlias.vt = VT_EMPTY;
  return S_OK;
}

STDMETHODIMP CTypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                         BSTR* pBstrHelpFile) {
  // The types have no members: only the type itself is documented.
  if (memid != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
  return PutDocumentation(Entry().name, Entry().doc, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
}

STDMETHODIMP CTypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (!ppTLib) return E_INVALIDARG;
  m_Lib->AddRef();
  *ppTLib = m_Lib;
  if (pIndex) *pIndex = m_Index;
  return S_OK;
}

// Resource TYPELIB 1 of a module, and the module's full path. A bare name names a loaded module; a
// path is loaded for the time of the call (a module that is loaded already stays as it is).
bool ReadModuleImage(LPCOLESTR file, std::vector<BYTE>* image, std::wstring* fullPath) {
  const bool isPath = std::wcspbrk(file, L"/\\") != nullptr;
  HMODULE loaded = isPath ? LoadLibraryW(file) : GetModuleHandleW(file);
  if (!loaded) return false;
  bool found = false;
  if (HRSRC resource = FindResourceW(loaded, MAKEINTRESOURCEW(1), L"TYPELIB")) {
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(loaded, resource)));
    if (data) {
      image->assign(data, data + SizeofResource(loaded, resource));
      found = true;
    }
  }
  std::vector<WCHAR> path(4096);
  DWORD length = GetModuleFileNameW(loaded, path.data(), static_cast<DWORD>(path.size()));
  *fullPath = length ? std::wstring(path.data(), length) : std::wstring(file);
  if (isPath) FreeLibrary(loaded);
  return found;
}

std::wstring GuidText(const GUID& guid) {
  WCHAR text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

// The default value of a key under HKEY_CLASSES_ROOT, creating the key.
bool WriteDefault(const std::wstring& key, const std::wstring& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LSTATUS status = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

}  // namespace

extern "C" size_t QzWriteTypeLibImage(const QzTypeLibDesc* desc, BYTE* buffer, size_t size) {
  if (!desc || !desc->name || !*desc->name || desc->typeCount > 0xFFFF || (desc->typeCount && !desc->types)) return 0;
  ImageWriter out(buffer, size);
  for (BYTE b : kMagic) out.Byte(b);
  out.Word(kFormatVersion);
  out.Guid(desc->libid);
  out.Dword(desc->lcid);
  out.Word(desc->majorVersion);
  out.Word(desc->minorVersion);
  out.Word(desc->libFlags);
  if (!out.Text(desc->name) || !out.Text(desc->docString)) return 0;
  out.Word(static_cast<WORD>(desc->typeCount));
  for (UINT i = 0; i < desc->typeCount; ++i) {
    const QzTypeInfoDesc& type = desc->types[i];
    out.Word(static_cast<WORD>(type.kind));
    out.Guid(type.guid);
    out.Word(type.typeFlags);
    if (!out.Text(type.name) || !out.Text(type.docString)) return 0;
  }
  return out.Size();
}

extern "C" HRESULT STDAPICALLTYPE LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  if (!szFile) return E_INVALIDARG;
  std::vector<BYTE> image;
  std::wstring fullPath;
  LibraryData data;
  if (!ReadModuleImage(szFile, &image, &fullPath) || !ParseImage(image.data(), image.size(), &data))
    return TYPE_E_CANTLOADLIBRARY;
  auto* lib = new (std::nothrow) CTypeLib(std::move(data));
  if (!lib) return E_OUTOFMEMORY;
  if (regkind == REGKIND_REGISTER) {
    const std::wstring folder = fullPath.substr(0, fullPath.find_last_of(L"/\\") + 1);
    HRESULT hr = RegisterTypeLib(lib, fullPath.c_str(), folder.c_str());
    if (FAILED(hr)) {
      lib->Release();
      return hr;
    }
  }
  *pptlib = lib;
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  HRESULT hr = ptlib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  BSTR name = nullptr, doc = nullptr;
  hr = ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  if (FAILED(hr)) {
    ptlib->ReleaseTLibAttr(attr);
    return hr;
  }
  WCHAR version[32], lcid[16];
  swprintf(version, 32, L"%x.%x", attr->wMajorVerNum, attr->wMinorVerNum);
  swprintf(lcid, 16, L"%x", attr->lcid);
  const std::wstring key = L"TypeLib\\" + GuidText(attr->guid) + L"\\" + version;
  const std::wstring title = doc && *doc ? doc : (name ? name : L"");
  const WCHAR* platform = attr->syskind == SYS_WIN32 ? L"win32" : L"win64";
  bool written = WriteDefault(key, title) &&
                 WriteDefault(key + L"\\FLAGS", std::to_wstring(attr->wLibFlags)) &&
                 WriteDefault(key + L"\\" + lcid + L"\\" + platform, szFullPath) &&
                 (!szHelpDir || WriteDefault(key + L"\\HELPDIR", szHelpDir));
  SysFreeString(name);
  SysFreeString(doc);
  ptlib->ReleaseTLibAttr(attr);
  return written ? S_OK : TYPE_E_REGISTRYACCESS;
}
