// Playback streaming throughput of the file service on loopback against the
// download of the same MP4 file in the same run: playback reads the file one
// sample at a time through the index and sends pieces of at most one frame,
// a download sends full blocks. The ratio says what the per-sample reading
// and the smaller pieces cost.
#include <filesystem>
#include <thread>
#include <vector>

#include "../../tests/unit/fs/fs_test_phone.h"
#include "bench_board_root.h"
#include "bench_ratio.h"
#include "fs/fs_service.h"
#include "fs/udp_rtt.h"
#include "mp4/mp4_writer.h"
#include "state/fs_stream.h"

namespace {

namespace fsys = std::filesystem;

constexpr uint32_t kSamples = 600;        // 20 s at 30 fps
constexpr uint32_t kSampleBytes = 40000;  // about 10 Mbit/s
constexpr uint32_t kGop = 30;
constexpr char kName[] = "PLAY.MP4";

// An MP4 file of the recorder's writer: one NAL unit per sample (an IDR
// slice every kGop samples), as the recorder writes them.
bool write_fixture(const std::string& path) {
    const uint8_t sps[] = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27};
    const uint8_t pps[] = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
    Mp4WFile* f = MP4W_Create(path.c_str());
    if (f == nullptr) return false;
    const uint32_t track = MP4W_AddH264VideoTrack(f, 30000, 1001, 1920, 1080, 0x64, 0, 0x28, 3);
    bool ok = MP4W_SetTimeScale(f, 30000) == 0 && track != MP4W_INVALID_TRACK_ID &&
              MP4W_AddH264SequenceParameterSet(f, track, sps, sizeof sps) == 0 &&
              MP4W_AddH264PictureParameterSet(f, track, pps, sizeof pps) == 0;
    std::vector<uint8_t> sample(kSampleBytes + 4);
    for (uint32_t i = 0; ok && i < kSamples; ++i) {
        const bool key = i % kGop == 0;
        for (size_t b = 0; b < sample.size(); ++b)
            sample[b] = static_cast<uint8_t>((b * 31 + i) | 1);
        sample[0] = static_cast<uint8_t>(kSampleBytes >> 24);
        sample[1] = static_cast<uint8_t>(kSampleBytes >> 16);
        sample[2] = static_cast<uint8_t>(kSampleBytes >> 8);
        sample[3] = static_cast<uint8_t>(kSampleBytes);
        sample[4] = key ? 0x65 : 0x41;
        ok = MP4W_WriteSample(f, track, sample.data(), static_cast<uint32_t>(sample.size()), key) ==
             0;
    }
    return MP4W_Close(f) == 0 && ok;
}

void stream_off(TestPhone& phone) {
    mavlink_data_stream_t ds{};
    mavlink_message_t msg;
    mavlink_msg_data_stream_pack(0x42, 0, 0, &ds, &msg);
    for (int i = 0; i < 100 && fs_is_stream_on() != 0; ++i) {
        phone.request(msg);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// One whole transfer (download or playback from 0) as the phone does it; the
// bytes received behind `tag`, up to TRANSCOMPLETE.
size_t transfer(TestPhone& phone, uint8_t transfer_type, uint8_t tag) {
    mavlink_resource_request_t req{};
    req.uri_type = FS_URI_VIDEO;
    snprintf(reinterpret_cast<char*>(req.uri), sizeof req.uri, "%s", kName);
    req.transfer_type = transfer_type;
    req.storage[0] = '0';
    mavlink_message_t msg;
    mavlink_msg_resource_request_pack(0x42, 0, 0, &req, &msg);
    phone.request(msg);
    size_t bytes = 0;
    TestFrame f{};
    while (phone.receive(&f, 10000)) {
        if (f.payload[0] == tag) {
            bytes += f.payload.size() - 1;
        } else if (TestPhone::answer(f.payload).rfind("TRANSCOMPLETE:", 0) == 0) {
            break;
        }
    }
    return bytes;
}

void run(benchmark::State& state, uint8_t transfer_type, uint8_t tag) {
    TestPhone phone;
    stream_off(phone);
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = transfer(phone, transfer_type, tag);
        if (bytes == 0) state.SkipWithError("nothing received");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Download(benchmark::State& state) {
    run(state, FS_TRANS_DOWNLOAD, FS_TAG_DATA);
}
void BM_Playback(benchmark::State& state) {
    run(state, FS_TRANS_PLAY, FS_TAG_STREAM);
}

BENCHMARK(BM_Download)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Playback)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const std::string root = bench_make_board_root("fs-play-bench", 32768);
    if (root.empty()) return 1;
    const std::string media = root + "/tmp/SD0/PLRMEDIA";
    for (const char* d : {"/VIDEO", "/THUMB", "/PIC"}) fsys::create_directories(media + d);
    if (!write_fixture(media + "/VIDEO/" + kName)) {
        fprintf(stderr, "cannot write the MP4 fixture\n");
        fsys::remove_all(root);
        return 1;
    }
    PLR_UDP_Init();
    PLR_FS_Init();
    const int rc = bench_ratio_main(
        argc, argv,
        {{"BM_Playback/iterations:3/real_time", "BM_Download/iterations:3/real_time",
          "playback streaming time / download time of the same 24 MB MP4 file"}});
    PLR_FS_Deinit();
    PLR_UDP_Deinit();
    fsys::remove_all(root);
    return rc;
}
