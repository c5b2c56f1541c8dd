// Class objects under threads: instances of one class used from several threads at once, and a
// class changed while instances are spawned from it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "wbem/classobject.h"

namespace {

using qz::wbem::ClassBuilder;

TEST(ClassObjectThreads, InstancesOfOneClassAreIndependentAcrossThreads) {
  CComPtr<IWbemClassObject> cls;
  ASSERT_EQ(ClassBuilder(L"QZ_Threaded").Namespace(L"root\\VXN", L"HOST").AddKey(L"Tag", CIM_STRING)
                .AddProperty(L"Count", CIM_UINT32).Create(&cls),
            WBEM_S_NO_ERROR);
  CComPtr<IWbemClassObject> shared;
  ASSERT_EQ(cls->SpawnInstance(0, &shared), WBEM_S_NO_ERROR);
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        CComPtr<IWbemClassObject> instance;
        if (FAILED(cls->SpawnInstance(0, &instance))) ++failures[t];
        CComVariant tag((L"T" + std::to_wstring(t)).c_str());
        CComVariant count(i);
        if (instance->Put(L"Tag", 0, &tag, 0) != WBEM_S_NO_ERROR) ++failures[t];
        if (instance->Put(L"Count", 0, &count, 0) != WBEM_S_NO_ERROR) ++failures[t];
        CComVariant path;
        if (instance->Get(L"__PATH", 0, &path, nullptr, nullptr) != WBEM_S_NO_ERROR || path.vt != VT_BSTR ||
            std::wstring(path.bstrVal) != L"\\\\HOST\\root\\VXN:QZ_Threaded.Tag=\"T" + std::to_wstring(t) + L"\"")
          ++failures[t];
        // The shared instance: references and reads from every thread, writes from all.
        CComPtr<IWbemClassObject> held = shared;
        if (held->Put(L"Count", 0, &count, 0) != WBEM_S_NO_ERROR) ++failures[t];
        CComVariant read;
        if (held->Get(L"Count", 0, &read, nullptr, nullptr) != WBEM_S_NO_ERROR || read.vt != VT_I4) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
}

TEST(ClassObjectThreads, ChangingAClassLeavesInstancesAlreadySpawnedAsTheyWere) {
  CComPtr<IWbemClassObject> cls;
  ASSERT_EQ(ClassBuilder(L"QZ_Changing").AddProperty(L"Level", CIM_UINT32).Create(&cls), WBEM_S_NO_ERROR);
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      CComVariant level(i);
      cls->Put(L"Level", 0, &level, 0);
      CComPtr<IWbemQualifierSet> qualifiers;
      if (SUCCEEDED(cls->GetPropertyQualifierSet(L"Level", &qualifiers))) {
        CComVariant text(L"x");
        qualifiers->Put(L"Description", &text, 0);
      }
    }
  });
  int bad = 0;
  for (int i = 0; i < 300; ++i) {
    CComPtr<IWbemClassObject> instance;
    if (FAILED(cls->SpawnInstance(0, &instance))) {
      ++bad;
      continue;
    }
    CComVariant first;
    CComVariant second;
    instance->Get(L"Level", 0, &first, nullptr, nullptr);
    instance->Get(L"Level", 0, &second, nullptr, nullptr);
    if (first.vt != second.vt || (first.vt == VT_I4 && first.lVal != second.lVal)) ++bad;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
