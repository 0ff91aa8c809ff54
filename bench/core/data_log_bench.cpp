// Data-log appends with the write cache on against direct appends of the same
// records (the log files are synchronous, so every direct append waits for the
// disk; the cache turns 64 KiB of records into one write).
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_ratio.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"

namespace {

class BoardRoot {
public:
    BoardRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vboard-bench-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        std::filesystem::create_directories(root_ + "/tmp/SD0");
        std::filesystem::create_directories(root_ + "/dev");
        close(creat((root_ + "/dev/mmcblk2p1").c_str(), 0644));
        board_sim_set_root(root_);
    }
    ~BoardRoot() { std::filesystem::remove_all(root_); }

private:
    std::string root_;
};

void append_records(benchmark::State& state, bool cache) {
    BoardRoot root;
    plr_trace_log_reset();
    TRACE_LOG_SET_SD_STATUS(0);
    if (cache) TRACE_LOG_CACHE_Enable();
    const std::string record(120, 'g');  // a typical gimbal record
    for (auto _ : state) {
        PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record.data(), static_cast<uint32_t>(record.size()));
    }
    TRACE_LOG_CACHE_Disable();
    plr_trace_log_reset();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * record.size()));
}

void BM_DataLogDirect(benchmark::State& state) {
    append_records(state, false);
}
void BM_DataLogCached(benchmark::State& state) {
    append_records(state, true);
}

BENCHMARK(BM_DataLogDirect)->MinTime(1.0);
BENCHMARK(BM_DataLogCached)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    return bench_ratio_main(argc, argv,
                            {{"BM_DataLogDirect/min_time:1.000", "BM_DataLogCached/min_time:1.000",
                              "times faster with the cache (direct / cached per record)"}});
}
