// A test of providers as the services drive them: the module's classes compiled into root\VXN,
// the server log on, a machine loaded and providers initialised on it, and helpers that enumerate,
// look up by path and spawn instances while checking the one status every request owes.
// Header-only, like SourcesFixture.h: it reaches the system's globals.
#pragma once

#include <gtest/gtest.h>
#include <qzplatform.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/InstanceProvider.h"
#include "support/EventCounters.h"
#include "tests/support/SourcesFixture.h"
#include "tests/support/WbemDoubles.h"
#include "wbem/repository.h"

namespace qztest {

class ProviderTest : public SourcesTest {
 protected:
  void SetUp() override {
    SourcesTest::SetUp();
    StartLog();
    char error[512] = {};
    ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, error, sizeof error), WBEM_S_NO_ERROR)
        << error;
  }
  void TearDown() override {
    Stop();
    SourcesTest::TearDown();
  }

  // Loads a machine, bundled (a file name) or described (JSON text), and probes it as the module
  // does at load. The lists are static and, once built, wait for a memory event: one is raised so
  // that a second machine in the same test counts.
  void Machine(const std::string& machine) {
    if (machine.front() == '{') {
      LoadText(machine);
    } else {
      LoadFile(machine.c_str());
    }
    g_MemAmpChecker.ProbePlatform();
    AdvanceEventCounters();
    if (!ns) {
      ASSERT_EQ(qz::wbem::CreateServices(L"root\\VXN", &ns), WBEM_S_NO_ERROR);
    }
  }
  // A new provider on the namespace, initialised; released when the test ends.
  template <class Provider, class... Args>
  Provider* Start(Args&&... args) {
    Provider* provider = new Provider(std::forward<Args>(args)...);
    providers.push_back(provider);
    TestInitSink init;
    EXPECT_EQ(provider->Initialize(nullptr, 0, nullptr, nullptr, ns, nullptr, &init), WBEM_S_NO_ERROR);
    EXPECT_EQ(init.calls, 1);
    return provider;
  }
  void Stop() {
    for (CQZInstanceProvider* provider : providers) provider->Release();
    providers.clear();
    if (ns) ns->Release();
    ns = nullptr;
  }

  // Enumerates into `sink`; the request succeeds with one status.
  static void Enumerate(CQZInstanceProvider* provider, TestSink& sink) {
    EXPECT_EQ(provider->CreateInstanceEnumAsync(nullptr, 0, nullptr, &sink), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink.statuses, 1);
    EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
  }

  // Looks up `path` into `sink`: a hit indicates one object with one status, anything else leaves
  // the sink alone.
  static HRESULT Get(CQZInstanceProvider* provider, const std::wstring& path, TestSink& sink) {
    BSTR text = SysAllocString(path.c_str());
    const HRESULT result = provider->GetObjectAsync(text, 0, nullptr, &sink);
    SysFreeString(text);
    const int owed = result == WBEM_S_NO_ERROR ? 1 : 0;
    EXPECT_EQ(sink.indicates, owed);
    EXPECT_EQ(sink.objects.size(), static_cast<size_t>(owed));
    EXPECT_EQ(sink.statuses, owed);
    return result;
  }

  // A fresh instance of a class of root\VXN or, with `without`, of a copy of it that lacks that
  // property (to make one put fail).
  static IWbemClassObject* Spawn(const WCHAR* className, const std::wstring& without = L"") {
    qz::wbem::Repository& repository = qz::wbem::Repository::Instance();
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(repository.GetClass(L"root\\VXN", className, &cls), WBEM_S_NO_ERROR);
    if (!cls) return nullptr;
    if (!without.empty()) {
      const std::wstring copyName = std::wstring(className) + L"_Without";
      qz::wbem::ClassBuilder builder(copyName.c_str());
      BSTR name = nullptr;
      CIMTYPE type = 0;
      cls->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
      while (cls->Next(0, &name, nullptr, &type, nullptr) == WBEM_S_NO_ERROR) {
        if (without != name) builder.AddProperty(name, type);
        SysFreeString(name);
      }
      cls->Release();
      cls = nullptr;
      const auto def = builder.Build();
      EXPECT_TRUE(def);
      if (!def) return nullptr;
      EXPECT_EQ(repository.PutClass(L"root\\VXN", *def), WBEM_S_NO_ERROR);
      EXPECT_EQ(repository.GetClass(L"root\\VXN", copyName.c_str(), &cls), WBEM_S_NO_ERROR);
      if (!cls) return nullptr;
    }
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
    cls->Release();
    return instance;
  }

  IWbemServices* ns = nullptr;
  std::vector<CQZInstanceProvider*> providers;
};

// A property and its expected form as Describe gives it, for the tables of the provider tests.
struct PropertyCase {
  const WCHAR* name;
  std::wstring value;
};

// A path's key value: quoted, with its backslashes and quotes escaped.
inline std::wstring Quoted(const std::wstring& text) {
  std::wstring out = L"\"";
  for (WCHAR ch : text) {
    if (ch == L'\\' || ch == L'"') out += L'\\';
    out += ch;
  }
  return out + L"\"";
}

// Checks every row of a property table against one instance.
inline void ExpectProperties(IWbemClassObject* object, std::initializer_list<PropertyCase> cases) {
  for (const PropertyCase& c : cases) EXPECT_EQ(Describe(object, c.name), c.value) << c.name;
}

}  // namespace qztest
