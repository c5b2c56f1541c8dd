// The module's type library: the 22 coclasses with their help texts, laid out when the module is
// loaded and carried as its resource TYPELIB 1, where LoadTypeLibEx and registration find it.
#include <objbase.h>
#include <qzplatform.h>
#include <qztypelib.h>

#include <vector>

#include "module/Coclasses.h"

namespace {

class CTypeLibraryResource {
 public:
  CTypeLibraryResource() {
    std::vector<QzTypeInfoDesc> types;
    for (const CoclassEntry& coclass : Coclasses()) {
      QzTypeInfoDesc& type = types.emplace_back();
      type.kind = TKIND_COCLASS;
      CLSIDFromString(coclass.clsid, &type.guid);
      type.typeFlags = TYPEFLAG_FCANCREATE;
      type.name = coclass.providerClass + 1;  // the coclass is the provider class without its "C"
      type.docString = coclass.typeLibHelp;
    }
    QzTypeLibDesc library = {};
    CLSIDFromString(kLibId, &library.libid);
    library.majorVersion = kTypeLibMajorVersion;
    library.minorVersion = kTypeLibMinorVersion;
    library.name = kTypeLibName;
    library.docString = kTypeLibHelp;
    library.types = types.data();
    library.typeCount = static_cast<UINT>(types.size());
    m_Image.resize(QzWriteTypeLibImage(&library, nullptr, 0));
    QzWriteTypeLibImage(&library, m_Image.data(), m_Image.size());
    m_Entry[0] = {0, 1, 0, static_cast<DWORD>(m_Image.size()), m_Image.data(), L"TYPELIB"};
    QzRegisterResources(m_Entry, "QZWmiMemory.DLL", m_Entry, 1);
  }
  ~CTypeLibraryResource() { QzUnregisterResources(m_Entry); }
  CTypeLibraryResource(const CTypeLibraryResource&) = delete;
  CTypeLibraryResource& operator=(const CTypeLibraryResource&) = delete;

 private:
  std::vector<BYTE> m_Image;
  QzResourceEntry m_Entry[1] = {};
};

const CTypeLibraryResource g_TypeLibraryResource;

}  // namespace
