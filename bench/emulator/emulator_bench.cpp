// Measures how fast gce-emulator starts and how many simple GETs per second
// it serves to concurrent clients on loopback.
//
// Run: build/bin/emulator_bench   (items_per_second of ConcurrentGet is the
// request rate over all client threads; StartUp reports seconds per start).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "EmulatorProcess.h"

namespace {

using gce::testsupport::EmulatorProcess;

// Time from launch until the emulator prints its address, with the demo
// world: arg 0 is the MiB of disk data written, arg 1 whether a fresh RSA
// service-account key is generated (1) or the test suites' cached one is
// reused (0).
void StartUp(benchmark::State& state) {
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        EmulatorProcess emu("demo", {"--demo-data-mib", std::to_string(state.range(0))}, state.range(1) == 0);
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        state.PauseTiming();
        emu.stop();
        state.ResumeTiming();
    }
}
BENCHMARK(StartUp)->Args({256, 1})->Args({256, 0})->Args({8, 0})->Iterations(5)->UseManualTime()->Unit(
    benchmark::kMillisecond);

std::mutex gMu;
std::unique_ptr<EmulatorProcess> gEmu;
std::string gToken;

// Each client thread keeps one connection and GETs one instance.
void ConcurrentGet(benchmark::State& state) {
    {
        std::lock_guard<std::mutex> lock(gMu);
        if (!gEmu) {
            gEmu =
                std::make_unique<EmulatorProcess>("demo", std::vector<std::string>{"--demo-data-mib", "8"});
            gToken = gEmu->accessToken();
        }
    }
    httplib::Client cli("127.0.0.1", gEmu->port());
    cli.set_keep_alive(true);
    cli.set_tcp_nodelay(true);
    httplib::Headers h = {{"Authorization", "Bearer " + gToken}};
    const char* path = "/compute/v1/projects/demo-project/zones/us-central1-b/instances/web-1";
    int64_t failures = 0;
    for (auto _ : state) {
        auto r = cli.Get(path, h);
        if (!r || r->status != 200) ++failures;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] =
        benchmark::Counter(static_cast<double>(failures), benchmark::Counter::kAvgThreads);
}
BENCHMARK(ConcurrentGet)->Threads(8)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gEmu.reset();
    return 0;
}
