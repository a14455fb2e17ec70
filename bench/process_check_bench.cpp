// CPU cost of one browser-loop check (LauncherApp::IsProcessRunning) against process tables of
// growing size, through the fake platform, for both ways of filling the list: the snapshot
// source (what a 32-bit launcher uses on 64-bit Windows) and the module source (32-bit Windows).
// A check fills the list, upper-cases each name and compares it; the browser is the last entry,
// so every entry is filled, upper-cased and walked.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "platform/fake/FakePlatform.h"

namespace {

// The fake's event log would grow by every iteration of a benchmark, and its run limit would stop
// it. The check's one-second sleep is not what is measured here: this one only drops the
// previous check's events, so the log holds one check's worth, as in a unit test. Everything else
// is the fake as the tests use it.
class BenchFake : public FakePlatform {
public:
    void Sleep(std::uint32_t) override { log.clear(); }
};

// Mixed-case names of ordinary lengths, as a real process table holds them.
const char* const kNames[] = {"svchost.exe",    "explorer.exe", "RuntimeBroker.exe",
                              "conhost.exe",    "dllhost.exe",  "SearchIndexer.exe",
                              "WmiPrvSE.exe",   "taskhostw.exe", "spoolsv.exe",
                              "ctfmon.exe"};

template <typename Fake>
void RunningCheck(benchmark::State& state, bool wow64) {
    const auto count = static_cast<std::size_t>(state.range(0));
    Fake fake;
    fake.wow64 = wow64;  // true: snapshot source; false: module source
    fake.processes.reserve(count);
    for (std::size_t i = 0; i + 1 < count; ++i) {
        fake.AddProcess(kNames[i % (sizeof kNames / sizeof *kNames)]);
    }
    fake.AddProcess("Panoview.exe");
    LauncherApp app(fake);

    for (auto _ : state) {
        const bool running = app.IsProcessRunning("PANOVIEW.EXE");
        benchmark::DoNotOptimize(running);
        if (!running) {
            state.SkipWithError("the browser was not found");
            break;
        }
    }
    state.SetComplexityN(state.range(0));
    state.counters["processes"] = static_cast<double>(count);
}

void BM_SnapshotSource(benchmark::State& state) { RunningCheck<BenchFake>(state, true); }
void BM_ModuleSource(benchmark::State& state) { RunningCheck<BenchFake>(state, false); }

}  // namespace

BENCHMARK(BM_SnapshotSource)->Arg(100)->Arg(1000)->Arg(5000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModuleSource)->Arg(100)->Arg(1000)->Arg(5000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
