// The namespace hangs together: on every bundled machine, every reference that an association
// publishes names an instance that a lookup by path finds and that its class also enumerates.
// The references to the computer system and its chassis belong to other components and are only
// required to be full paths. Where the sources leave a reference dangling by design, the table
// below names the case, and the test checks that it really dangles (so the table cannot go stale).
#include <gtest/gtest.h>
#include <atlbase.h>
#include <objbase.h>
#include <qzplatform.h>
#include <windows.h>
#include <wbemidl.h>

#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ModuleRoot.h"
#include "tests/support/WbemDoubles.h"

namespace {

const char* const kMachines[] = {"default",   "processor-boards", "smbios-only",       "no-driver",
                                 "real-dump", "board-states",     "mirrored-fallback", "store-not-ready",
                                 // Captured hosts (tests/data/hosts), run as this host.
                                 "host-ghes-two-socket", "host-desktop-sodimm"};

// References owned by other components: the computer system and the chassis.
const wchar_t* const kForeignClasses[] = {L"QZ_WinComputerSystem", L"QZ_ComputerSystemChassis"};

// A reference that dangles by design: on this machine, this role of this association names an
// instance that its class does not publish, or is empty because the lookup behind it failed.
struct Dangling {
  const char* machine;
  const wchar_t* association;
  const wchar_t* role;
  const char* why;
};

const Dangling kDangling[] = {
    {"store-not-ready", L"QZ_WinSystemMemory", L"PartComponent",
     "the extent is published only with data-store data; the association names it by its fixed device ID"},
    {"board-states", L"QZ_SystemMemoryModuleSlot", L"GroupComponent", "no chassis: the pairs keep an empty reference"},
    {"board-states", L"QZ_SystemMemoryBoardSlot", L"GroupComponent", "no chassis: the pairs keep an empty reference"},
    {"mirrored-fallback", L"QZ_SystemMemoryModuleSlot", L"GroupComponent", "no chassis: the pairs keep an empty reference"},
    {"mirrored-fallback", L"QZ_SystemMemoryBoardSlot", L"GroupComponent", "no chassis: the pairs keep an empty reference"},
};

struct Reference {
  std::wstring association;
  std::wstring role;
  std::wstring path;
};

class NamespaceCoherence : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_TRUE(qztest::SetUpModuleRoot(&reason)) << reason;
    char error[256] = {};
    std::string machine = std::string(QZ_MACHINES_DIR) + "/" + GetParam() + ".json";
    if (std::string(GetParam()).rfind("host-", 0) == 0) {
      setenv("QZWMI_HOST_ROOT", (std::string(QZ_SOURCE_DIR "/tests/data/hosts/") + (GetParam() + 5)).c_str(), 1);
      machine = "host";
    }
    ASSERT_TRUE(QzLoadMachine(machine.c_str(), error, sizeof error)) << error;
    services_ = qztest::Connect();
    ASSERT_TRUE(services_);
  }

  void TearDown() override { services_.Release(); }

  // Every instance of the class, with its references.
  void Enumerate(const wchar_t* cls, std::set<std::wstring>* paths, std::vector<Reference>* references) {
    for (const CComPtr<IWbemClassObject>& instance : qztest::Instances(services_, cls)) {
      CComVariant path;
      ASSERT_EQ(instance->Get(L"__PATH", 0, &path, nullptr, nullptr), S_OK);
      ASSERT_EQ(path.vt, VT_BSTR) << cls;
      paths->insert(path.bstrVal);
      instance->BeginEnumeration(WBEM_FLAG_REFS_ONLY);
      BSTR name = nullptr;
      CComVariant value;
      while (instance->Next(0, &name, &value, nullptr, nullptr) == WBEM_S_NO_ERROR) {
        EXPECT_EQ(value.vt, VT_BSTR) << cls << "." << name;
        if (value.vt == VT_BSTR) references->push_back({cls, name, value.bstrVal});
        SysFreeString(name);
        value.Clear();
      }
      instance->EndEnumeration();
    }
  }

  // The class that a full path names.
  static std::wstring ClassOf(const std::wstring& path) {
    const size_t colon = path.find(L':');
    const size_t dot = path.find(L'.', colon == std::wstring::npos ? 0 : colon);
    if (colon == std::wstring::npos || dot == std::wstring::npos) return L"";
    return path.substr(colon + 1, dot - colon - 1);
  }

  CComPtr<IWbemServices> services_;
};

TEST_P(NamespaceCoherence, EveryPublishedReferenceResolvesToAnEnumeratedInstance) {
  const std::string machine = GetParam();
  std::map<std::wstring, std::set<std::wstring>> enumerated;
  std::vector<Reference> references;
  for (const wchar_t* cls : qztest::kModuleClasses) Enumerate(cls, &enumerated[cls], &references);
  ASSERT_FALSE(HasFatalFailure());

  std::set<std::pair<std::wstring, std::wstring>> dangled;
  for (const Reference& ref : references) {
    SCOPED_TRACE(testing::Message() << machine << ": " << ref.association << "." << ref.role << " = " << ref.path);
    bool expectDangling = false;
    for (const Dangling& d : kDangling)
      expectDangling |= machine == d.machine && ref.association == d.association && ref.role == d.role;
    if (ref.path.empty() && expectDangling) {
      dangled.insert({ref.association, ref.role});
      continue;
    }
    ASSERT_EQ(ref.path.rfind(L"\\\\", 0), 0u) << "not a full path";
    const std::wstring cls = ClassOf(ref.path);
    bool foreign = false;
    for (const wchar_t* name : kForeignClasses) foreign |= cls == name;
    if (foreign) continue;
    ASSERT_TRUE(enumerated.count(cls)) << "names a class outside the module";
    CComPtr<IWbemClassObject> object;
    const HRESULT got = services_->GetObject(CComBSTR(ref.path.c_str()), 0, nullptr, &object, nullptr);
    if (expectDangling) {
      EXPECT_EQ(got, WBEM_E_NOT_FOUND);
      EXPECT_EQ(enumerated[cls].count(ref.path), 0u);
      dangled.insert({ref.association, ref.role});
      continue;
    }
    ASSERT_EQ(got, S_OK);
    CComVariant path;
    ASSERT_EQ(object->Get(L"__PATH", 0, &path, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(path.bstrVal), ref.path);
    EXPECT_EQ(enumerated[cls].count(ref.path), 1u) << "found by path but not enumerated";
  }
  // Every case the table names for this machine was seen.
  for (const Dangling& d : kDangling) {
    if (machine != d.machine) continue;
    EXPECT_TRUE(dangled.count({d.association, d.role})) << d.why;
  }
}

INSTANTIATE_TEST_SUITE_P(BundledMachines, NamespaceCoherence, testing::ValuesIn(kMachines),
                         [](const auto& info) { return qztest::ParamName(info.param); });

}  // namespace
