// CPU cost of one browser-loop check (LauncherApp::IsProcessRunning) against process tables of
// growing size, through the fake platform, for both ways of filling the list: the snapshot
// source (what a 32-bit launcher uses on 64-bit Windows) and the module source (32-bit Windows).
// A check fills the list, upper-cases each name and compares it; the browser is the last entry,
// so every entry is filled, upper-cased and walked.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "app/LauncherApp.h"
#include "platform/fake/FakePlatform.h"

namespace {

// The fake's Sleep records the sleep and then scans its whole event log, which would grow by
// every iteration of a benchmark (and stop it at the fake's run limit). The check's one-second
// sleep is not what is measured here: this one only drops the previous check's events, so the
// log holds one check's worth, as in a unit test. Everything else is the fake as the tests use it.
class BenchFake : public FakePlatform {
public:
    void Sleep(std::uint32_t) override { log.clear(); }
};

// The fake looks a process up by walking its whole table, once when the launcher opens it and
// once when it reads its name, which makes a module-source fill through the fake grow with the
// square of the table. This variant answers both from an index and keeps no event log, so what
// remains is the launcher's own work (and one virtual call per operation); comparing the two
// tells the fake's cost from the launcher's.
class IndexedFake : public BenchFake {
public:
    void Index() {
        byId_.clear();
        for (std::size_t i = 0; i < processes.size(); ++i) byId_[processes[i].id] = i;
    }
    // The handle is the process id itself (ids start above 0).
    ProcessHandle OpenProcess(std::uint32_t id, std::uint32_t) override {
        return byId_.count(id) != 0 ? id : 0;
    }
    void CloseHandle(ProcessHandle) override {}
    std::unique_ptr<ModuleSource> OpenModuleSource() override {
        return std::make_unique<Source>(*this);
    }

private:
    class Source : public ModuleSource {
    public:
        explicit Source(IndexedFake& fake) : fake_(fake) {}
        bool EnumProcessIds(std::vector<std::uint32_t>& ids) override {
            ids.clear();
            for (const FakeProcess& p : fake_.processes) ids.push_back(p.id);
            return true;
        }
        ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) override {
            const auto it = fake_.byId_.find(static_cast<std::uint32_t>(process));
            if (it == fake_.byId_.end()) return ModuleNameStatus::NoModule;
            name = fake_.processes[it->second].exeName;
            return ModuleNameStatus::Named;
        }

    private:
        IndexedFake& fake_;
    };
    std::unordered_map<std::uint32_t, std::size_t> byId_;
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
    if constexpr (std::is_same_v<Fake, IndexedFake>) fake.Index();
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
void BM_ModuleSourceIndexed(benchmark::State& state) { RunningCheck<IndexedFake>(state, false); }

}  // namespace

BENCHMARK(BM_SnapshotSource)->Arg(100)->Arg(1000)->Arg(5000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModuleSource)->Arg(100)->Arg(1000)->Arg(5000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_ModuleSourceIndexed)->Arg(100)->Arg(1000)->Arg(5000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
