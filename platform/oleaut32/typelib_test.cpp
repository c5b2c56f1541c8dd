// Type libraries: the image a module carries read back through ITypeLib and ITypeInfo, images that
// are not whole, and what RegisterTypeLib writes (which is also how the library's attributes are seen).
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <qzplatform.h>
#include <qztypelib.h>
#include <windows.h>

#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr GUID kLibId = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr GUID kFirst = {0xA0000001, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSecond = {0xA0000002, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

const QzTypeInfoDesc kTypes[] = {
    {TKIND_COCLASS, kFirst, TYPEFLAG_FCANCREATE, L"FirstProv", L"FirstProv Class \U0001F600"},
    {TKIND_COCLASS, kSecond, 0, L"SecondProv", nullptr},
};
const QzTypeLibDesc kLibrary = {kLibId, 0x409, 10, 11, LIBFLAG_FHASDISKIMAGE, L"SampleLib", L"SampleLib 10.11 Library",
                                kTypes, 2};

std::vector<BYTE> Image(const QzTypeLibDesc& desc) {
  std::vector<BYTE> image(QzWriteTypeLibImage(&desc, nullptr, 0));
  EXPECT_EQ(QzWriteTypeLibImage(&desc, image.data(), image.size()), image.size());
  return image;
}

std::wstring Text(BSTR text) {
  std::wstring out = text ? text : L"(null)";
  SysFreeString(text);
  return out;
}

// Files an image as resource TYPELIB 1 of this program, under the name "QzTypeLibTest.dll".
class TypeLibResource : public testing::Test {
 protected:
  void File(std::vector<BYTE> image) {
    Unfile();
    m_Image = std::move(image);
    m_Entry[0] = {0, 1, 0, static_cast<DWORD>(m_Image.size()), m_Image.data(), L"TYPELIB"};
    QzRegisterResources(&kLibId, "QzTypeLibTest.dll", m_Entry, 1);  // anchored in this program
    m_Filed = true;
  }
  void Unfile() {
    if (m_Filed) QzUnregisterResources(m_Entry);
    m_Filed = false;
  }
  void TearDown() override { Unfile(); }

  std::vector<BYTE> m_Image;
  QzResourceEntry m_Entry[1] = {};
  bool m_Filed = false;
};

TEST_F(TypeLibResource, LibraryAndTypesReadBackAsWritten) {
  File(Image(kLibrary));
  ITypeLib* lib = reinterpret_cast<ITypeLib*>(0x1);
  ASSERT_EQ(LoadTypeLibEx(L"QzTypeLibTest.dll", REGKIND_NONE, &lib), S_OK);
  BSTR name = nullptr, doc = nullptr, helpFile = reinterpret_cast<BSTR>(0x1);
  DWORD context = 0xCCCC;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &context, &helpFile), S_OK);
  EXPECT_EQ(Text(name) + L"|" + Text(doc), L"SampleLib|SampleLib 10.11 Library");
  EXPECT_EQ(context, 0u);
  EXPECT_EQ(helpFile, nullptr);
  ASSERT_EQ(lib->GetTypeInfoCount(), 2u);

  struct { const GUID* guid; UINT index; const wchar_t* text; WORD flags; } cases[] = {  // text: name|doc
      {&kFirst, 0, L"FirstProv|FirstProv Class \U0001F600", TYPEFLAG_FCANCREATE},
      {&kSecond, 1, L"SecondProv|(null)", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TYPEKIND kind = TKIND_MAX;
    EXPECT_EQ(lib->GetTypeInfoType(c.index, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    ASSERT_EQ(lib->GetDocumentation(static_cast<INT>(c.index), &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name) + L"|" + Text(doc), c.text);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*c.guid, &info), S_OK);
    EXPECT_EQ(info->GetDocumentation(0, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
    TYPEATTR* typeAttr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&typeAttr), S_OK);
    EXPECT_EQ(typeAttr->guid, *c.guid);
    const int members = typeAttr->cFuncs + typeAttr->cVars + typeAttr->cImplTypes;
    EXPECT_EQ(std::tuple(typeAttr->typekind, typeAttr->wTypeFlags, members), std::tuple(TKIND_COCLASS, c.flags, 0));
    info->ReleaseTypeAttr(typeAttr);
    ITypeLib* containing = nullptr;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(&containing, &index), S_OK);
    EXPECT_EQ(std::tuple(containing, index), std::tuple(lib, c.index));
    containing->Release();
    info->Release();
  }

  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
  EXPECT_EQ(lib->GetTypeInfoOfGuid(kLibId, &info), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(lib->GetTypeInfo(2, &info), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(lib->GetDocumentation(2, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(lib->GetDocumentation(-2, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

  // A type description keeps its library alive.
  ASSERT_EQ(lib->GetTypeInfo(1, &info), S_OK);
  EXPECT_EQ(lib->Release(), 1u);
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), L"SecondProv");
  info->Release();
}

TEST_F(TypeLibResource, OnlyAWholeImageIsALibrary) {
  const std::vector<BYTE> whole = Image(kLibrary);
  std::vector<std::vector<BYTE>> broken;
  for (size_t size : {size_t{0}, size_t{4}, whole.size() / 2, whole.size() - 1})
    broken.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
  broken.push_back(whole);
  broken.back().push_back(0);  // a byte beyond the last type
  broken.push_back(whole);
  broken.back()[4] = 2;  // another format version
  for (const std::vector<BYTE>& image : broken) {
    SCOPED_TRACE(image.size());
    File(image);
    ITypeLib* lib = reinterpret_cast<ITypeLib*>(0x1);
    EXPECT_EQ(LoadTypeLibEx(L"QzTypeLibTest.dll", REGKIND_NONE, &lib), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(lib, nullptr);
  }
  ITypeLib* lib = nullptr;
  EXPECT_EQ(LoadTypeLibEx(L"NotLoaded.dll", REGKIND_NONE, &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLibEx(L"C:\\Windows\\no such module.dll", REGKIND_NONE, &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLibEx(nullptr, REGKIND_NONE, &lib), E_INVALIDARG);
  EXPECT_EQ(LoadTypeLibEx(L"QzTypeLibTest.dll", REGKIND_NONE, nullptr), E_INVALIDARG);

  QzTypeLibDesc nameless = kLibrary;
  nameless.name = L"";
  EXPECT_EQ(QzWriteTypeLibImage(&nameless, nullptr, 0), 0u);
}

std::wstring ClassesValue(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return L"(missing)";
  WCHAR text[512] = {};
  DWORD size = sizeof text - sizeof(WCHAR);
  LSTATUS status = RegQueryValueExW(handle, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS ? text : L"(missing)";
}

TEST_F(TypeLibResource, RegistrationWritesTheVersionAndLocaleInHexadecimal) {
  QzTypeLibDesc undocumented = kLibrary;
  undocumented.docString = nullptr;
  for (const QzTypeLibDesc* desc : {&kLibrary, static_cast<const QzTypeLibDesc*>(&undocumented)}) {
    File(Image(*desc));
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(L"QzTypeLibTest.dll", REGKIND_NONE, &lib), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib, L"C:\\libs\\sample.dll", desc == &kLibrary ? L"C:\\help\\" : nullptr), S_OK);
    lib->Release();
  }
  const std::wstring key = L"TypeLib\\{11111111-2222-3333-4455-66778899AABB}\\a.b";
  EXPECT_EQ(ClassesValue(key), L"SampleLib") << "without help text, the name";
  EXPECT_EQ(ClassesValue(key + L"\\FLAGS"), L"8");
  EXPECT_EQ(ClassesValue(key + L"\\409\\win64"), L"C:\\libs\\sample.dll");
  EXPECT_EQ(ClassesValue(key + L"\\HELPDIR"), L"C:\\help\\") << "kept from the first registration";
  EXPECT_EQ(RegisterTypeLib(nullptr, L"C:\\x.dll", nullptr), E_INVALIDARG);
}

}  // namespace
