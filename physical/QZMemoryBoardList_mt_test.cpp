// The shared board list under many readers: however many requests arrive at once, the list is
// rebuilt once per memory event, not once per reader.
#include <atlbase.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <qzplatform.h>

#include <thread>
#include <vector>

#include "physical/QZMemoryBoardList.h"
#include "physical/QZMemoryBoardProv.h"
#include "sources/PlatformProbe.h"
#include "tests/support/ModuleRoot.h"
#include "tests/support/WbemDoubles.h"

namespace {

// The list's generation, read the way a request reads it.
DWORD Generation() {
  CQZMemoryBoardList& list = g_MemoryBoardList.Get();
  list.Lock();
  const DWORD generation = list.Update(nullptr);
  list.Unlock();
  return generation;
}

// 8 threads, each with a provider of its own, enumerate the boards 25 times.
void EnumerateFromManyThreads(IWbemServices* services) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([services] {
      CComPtr<CQZMemoryBoardProv> provider;
      provider.Attach(new CQZMemoryBoardProv());
      qztest::TestInitSink init;
      provider->Initialize(nullptr, 0, const_cast<LPWSTR>(L"root\\VXN"), nullptr, services, nullptr, &init);
      for (int i = 0; i < 25; ++i) {
        qztest::TestSink sink;
        provider->CreateInstanceEnumAsync(CComBSTR(L"QZ_MemoryBoard"), 0, nullptr, &sink);
        EXPECT_EQ(sink.status, WBEM_S_NO_ERROR);
        EXPECT_EQ(sink.objects.size(), 2u);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(SharedBoardList, RebuiltOncePerMemoryEventNotOncePerReader) {
  ASSERT_TRUE(QzLoadMachine(QZ_MACHINES_DIR "/default.json", nullptr, 0));
  ASSERT_EQ(QzCompileMofFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", FALSE, nullptr, 0), S_OK);
  CComPtr<IWbemServices> services = qztest::Connect();
  ASSERT_TRUE(services);
  g_MemAmpChecker.ProbePlatform();
  qztest::SetMemoryEvent(1);
  Generation();  // the first build, before the list watches the counter
  const DWORD settled = Generation();  // the list has now seen the counter once

  EnumerateFromManyThreads(services);
  EXPECT_EQ(Generation(), settled) << "the counter stood: no reader rebuilt";

  qztest::SetMemoryEvent(2);
  EnumerateFromManyThreads(services);
  EXPECT_EQ(Generation(), settled + 1) << "one memory event, one rebuild";
}

}  // namespace
