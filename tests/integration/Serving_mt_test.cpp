// Two processes serve one system root at once, each from 8 threads that enumerate every class the
// module serves and look single modules up by path, through the locator, the WMI service, COM and
// the loaded module: the providers' mutexes and the shared lists are taken in every order that
// requests can give them. Every enumeration must return the whole set and every lookup its
// module, and nothing may hang. QZ_SERVING_SECONDS sets how long (30 by default).
#include <gtest/gtest.h>
#include <objbase.h>
#include <qzplatform.h>
#include <atlbase.h>
#include <windows.h>
#include <wbemidl.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ModuleRoot.h"

namespace {

constexpr int kThreads = 8;

// The classes and how many instances the default server has of each.
constexpr struct {
  const wchar_t* name;
  ULONG count;
} kClasses[] = {
    {L"QZ_MemoryModule", 12},       {L"QZ_MemoryBoard", 2},      {L"QZ_MemoryModuleSlot", 16},
    {L"QZ_MemoryBoardSlot", 2},     {L"QZ_MemoryRedundancySet", 1}, {L"QZ_MemoryCollection", 1},
    {L"QZ_WinMemory", 1},           {L"QZ_WinSystemMemory", 1},
    {L"QZ_MemoryModuleSlotLocation", 16},   {L"QZ_MemoryBoardSlotLocation", 2},
    {L"QZ_MemoryModuleSlotElementLocation", 16}, {L"QZ_MemoryBoardSlotElementLocation", 2},
    {L"QZ_HostedMemoryCollection", 1},      {L"QZ_MemberOfMemoryCollection", 14},
    {L"QZ_MemberOfMemoryRedundancySet", 2}, {L"QZ_HostedMemoryRedundancySet", 1},
    {L"QZ_RealizesMemoryModule", 12},       {L"QZ_MemoryModuleInSlot", 12},
    {L"QZ_MemoryBoardInSlot", 2},           {L"QZ_MemoryModuleSlotOnBoard", 16},
    {L"QZ_SystemMemoryModuleSlot", 16},     {L"QZ_SystemMemoryBoardSlot", 2},
};

int ServingSeconds() {
  const char* text = std::getenv("QZ_SERVING_SECONDS");
  return text ? std::atoi(text) : 30;
}

// One thread's work until the deadline: the number of faults it saw.
int Serve(int thread, std::chrono::steady_clock::time_point deadline, std::atomic<long>* requests) {
  CComPtr<IWbemServices> services = qztest::Connect();
  if (!services) return 1;
  int faults = 0;
  for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
    CComPtr<IEnumWbemClassObject> enumerator;
    ULONG total = 0;
    const auto& cls = kClasses[static_cast<size_t>(thread + round) % std::size(kClasses)];
    const HRESULT enumerated = services->CreateInstanceEnum(CComBSTR(cls.name), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
    if (SUCCEEDED(enumerated)) {
      for (;;) {
        IWbemClassObject* batch[5] = {};
        ULONG returned = 0;
        HRESULT hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 5, batch, &returned);
        for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
        total += returned;
        if (hr != WBEM_S_NO_ERROR) break;
      }
    }
    if (total != cls.count && ++faults <= 3)
      std::printf("enumeration of %ls: 0x%08x, %u instances\n", cls.name, static_cast<unsigned>(enumerated),
                  static_cast<unsigned>(total));
    // The default server fills sockets 1-6 of both boards.
    const int board = (thread + round) % 2 + 1;
    const int socket = round % 6 + 1;
    const std::wstring path = L"QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:" +
                              std::to_wstring(board) + L"-" + std::to_wstring(socket) + L"\"";
    CComPtr<IWbemClassObject> module;
    const HRESULT got = services->GetObject(CComBSTR(path.c_str()), 0, nullptr, &module, nullptr);
    if ((FAILED(got) || !module) && ++faults <= 3) std::printf("lookup of %ls: 0x%08x\n", path.c_str(), static_cast<unsigned>(got));
    requests->fetch_add(2);
  }
  return faults;
}

QZ_CHILD_MAIN(ServeModules) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(args.at(0)));
  std::atomic<int> faults{0};
  std::atomic<long> requests{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { faults += Serve(i, deadline, &requests); });
  for (std::thread& thread : threads) thread.join();
  std::printf("%ld requests, %d faults\n", requests.load(), faults.load());
  return faults == 0 && requests > 0 ? 0 : 1;
}

TEST(ServingOneRoot, TwoProcessesOfEightThreadsAlwaysGetEveryWholeSet) {
  // The root is set up once, as the first qzwmi of a fresh root does: the module registered, the
  // module's classes kept.
  std::string reason;
  ASSERT_TRUE(qztest::SetUpModuleRoot(&reason)) << reason;

  const int seconds = ServingSeconds();
  auto first = qztest::ChildProcess::Start("ServeModules", {std::to_string(seconds)});
  auto second = qztest::ChildProcess::Start("ServeModules", {std::to_string(seconds)});
  const int timeout = (seconds + 120) * 1000;  // a hang shows as a child that does not end
  EXPECT_EQ(first.Wait(timeout), 0);
  EXPECT_EQ(second.Wait(timeout), 0);
}

}  // namespace
