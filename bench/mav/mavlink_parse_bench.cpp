// MAVLink parser throughput on the recorded noisy stream (frames, garbage,
// corrupted and truncated frames) against a plain copy of the same bytes: the
// cost per byte of the receive path relative to only moving the bytes.
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "bench_ratio.h"
#include "mav/mavlink_frame.h"

namespace {

const std::vector<uint8_t>& noisy_stream() {
    static const std::vector<uint8_t> stream = [] {
        std::ifstream in(VBOARD_TESTDATA_DIR "/mavlink/noisy-v1.bin", std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
    }();
    return stream;
}

// Reads of the receive thread's size.
constexpr size_t kReadSize = 4096;

void count_frame(const mavlink_message_t* msg, void* context) {
    *static_cast<uint32_t*>(context) += msg->len;
}

void BM_NoisyStreamCopy(benchmark::State& state) {
    const std::vector<uint8_t>& stream = noisy_stream();
    if (stream.empty()) {
        state.SkipWithError("noisy-v1.bin not found");
        return;
    }
    std::vector<uint8_t> target(kReadSize);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kReadSize) {
            const size_t chunk = std::min(kReadSize, stream.size() - at);
            memcpy(target.data(), stream.data() + at, chunk);
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_NoisyStreamParse(benchmark::State& state) {
    const std::vector<uint8_t>& stream = noisy_stream();
    if (stream.empty()) {
        state.SkipWithError("noisy-v1.bin not found");
        return;
    }
    mavlink_status_t status{};
    uint32_t payloadBytes = 0;
    int frames = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kReadSize) {
            const size_t chunk = std::min(kReadSize, stream.size() - at);
            frames += mavlink_parse_bytes(&status, std::span(stream.data() + at, chunk),
                                          count_frame, &payloadBytes);
        }
        benchmark::DoNotOptimize(payloadBytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames/pass"] =
        static_cast<double>(frames) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_NoisyStreamCopy);
BENCHMARK(BM_NoisyStreamParse);

}  // namespace

int main(int argc, char** argv) {
    return bench_ratio_main(argc, argv,
                            {{"BM_NoisyStreamParse", "BM_NoisyStreamCopy",
                              "parser time per byte over a plain copy of the same bytes"}});
}
