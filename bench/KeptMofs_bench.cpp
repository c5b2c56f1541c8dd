// The kept MOF files put into a new repository as a process's start puts them: compiled from the
// module's MOF, or loaded from their saved compiled result. "Empty" is the new repository alone.
#include <benchmark/benchmark.h>
#include <qzplatform.h>

#include <filesystem>
#include <memory>
#include <string>

#include "wbem/autorecover.h"
#include "wbem/repository.h"

namespace {

using qz::wbem::KeptMofsRecovery;

struct KeptFolder {
  std::string folder;
  std::string saved;
};

// A folder holding the module's MOF, and where its save goes.
const KeptFolder& Kept() {
  static const KeptFolder kept = [] {
    KeptFolder made{std::string(QzGetSystemRoot()) + "/bench-kept", std::string(QzGetSystemRoot()) + "/bench-saved/Kept.bin"};
    std::filesystem::create_directories(made.folder);
    std::filesystem::copy_file(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof", made.folder + "/QZWmiMemory.mof",
                               std::filesystem::copy_options::overwrite_existing);
    return made;
  }();
  return kept;
}

void Recover(benchmark::State& state, const std::string& saved, KeptMofsRecovery expected) {
  const KeptFolder& kept = Kept();
  for (auto _ : state) {
    auto repository = std::make_unique<qz::wbem::Repository>();
    if (qz::wbem::RecoverKeptMofs(*repository, kept.folder, saved) != expected) {
      state.SkipWithError("the kept file was not put in as expected");
      return;
    }
    // A process's repository lasts as long as the process: its end is not timed.
    state.PauseTiming();
    repository.reset();
    state.ResumeTiming();
  }
}

void BM_KeptMofsEmpty(benchmark::State& state) {
  for (auto _ : state) {
    auto repository = std::make_unique<qz::wbem::Repository>();
    state.PauseTiming();
    repository.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_KeptMofsEmpty)->Unit(benchmark::kMicrosecond);

void BM_KeptMofsCompiled(benchmark::State& state) { Recover(state, "", KeptMofsRecovery::Compiled); }
BENCHMARK(BM_KeptMofsCompiled)->Unit(benchmark::kMicrosecond);

void BM_KeptMofsLoaded(benchmark::State& state) {
  qz::wbem::Repository first;
  qz::wbem::RecoverKeptMofs(first, Kept().folder, Kept().saved);
  Recover(state, Kept().saved, KeptMofsRecovery::Loaded);
}
BENCHMARK(BM_KeptMofsLoaded)->Unit(benchmark::kMicrosecond);

}  // namespace
