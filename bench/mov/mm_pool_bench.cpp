// Pool request and release against malloc and free of the same sizes.
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "mov/mm_pool.h"

namespace {

constexpr int64_t kSizes[] = {1000, 100000, 819200, 2097152, 5242880};

// The camera's configuration: 145 x 800 KiB, 5 x 2 MiB, 5 x 5 MiB.
void ensure_pool() {
    static const bool ready = [] {
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 3;
        cfg.classes[0] = {819200, 145};
        cfg.classes[1] = {2097152, 5};
        cfg.classes[2] = {5242880, 5};
        return MM_POOL_Init(&cfg) == 0;
    }();
    if (!ready) abort();
}

void BM_PoolRequestRelease(benchmark::State& state) {
    ensure_pool();
    const auto size = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) {
        MM_BUFFER_S* b = MM_BUFFER_Request(size);
        benchmark::DoNotOptimize(b);
        MM_BUFFER_Release(b);
    }
}

void BM_MallocFree(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

// The longest scan: 144 of the 145 small blocks are held, the free one is last.
void BM_PoolRequestReleaseNearlyFull(benchmark::State& state) {
    ensure_pool();
    std::vector<MM_BUFFER_S*> held;
    for (int i = 0; i < 144; ++i) held.push_back(MM_BUFFER_Request(1000));
    for (auto _ : state) {
        MM_BUFFER_S* b = MM_BUFFER_Request(1000);
        benchmark::DoNotOptimize(b);
        MM_BUFFER_Release(b);
    }
    for (MM_BUFFER_S* b : held) MM_BUFFER_Release(b);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Arg(size);
}

BENCHMARK(BM_PoolRequestRelease)->Apply(sizes);
BENCHMARK(BM_MallocFree)->Apply(sizes);
BENCHMARK(BM_PoolRequestReleaseNearlyFull);

}  // namespace

int main(int argc, char** argv) {
    std::vector<BenchRatio> ratios;
    for (int64_t size : kSizes) {
        std::string arg = "/";
        arg += std::to_string(size);
        ratios.push_back(
            {"BM_PoolRequestRelease" + arg, "BM_MallocFree" + arg,
             "pool request+release over malloc+free of the same size (below 1: pool faster)"});
    }
    ratios.push_back({"BM_PoolRequestReleaseNearlyFull", "BM_MallocFree/1000",
                      "worst-case class scan (144 of 145 held) over malloc+free"});
    return bench_ratio_main(argc, argv, ratios);
}
