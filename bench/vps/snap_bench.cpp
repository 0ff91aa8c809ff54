// Photo capture on the simulated board, p50 of two spans, each against the
// same baseline measured in the same run: opening a file on the card, writing
// the photo's bytes and closing it, which is the least any capture must do.
//   capture: from posting VPS_EVT_SNAP_START to the notification that the
//            file is closed (camera frame, JPEG encoding, stream thread, writer);
//   writer:  the picture writer alone, handed the encoder's picture (metadata
//            block built and spliced in, file written and closed, counters).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "bench_board_root.h"
#include "board/board.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"
#include "platform/media.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_snap.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kCaptureWarmup = 2;
constexpr int kCaptures = 25;
constexpr int kWrites = 200;

std::mutex g_mutex;
std::condition_variable g_changed;
uint32_t g_stops = 0;    // guarded by g_mutex
uint32_t g_sdNotes = 0;  // guarded by g_mutex
std::string g_lastPath;  // guarded by g_mutex

int on_note(const VpsEvt* evt) {
    {
        std::lock_guard lock(g_mutex);
        if (evt->eventno == VPS_EVT_SNAP_STOP) {
            ++g_stops;
            g_lastPath = evt->cval;
        } else if (evt->eventno == VPS_EVT_SD_INSERT) {
            ++g_sdNotes;
        }
    }
    g_changed.notify_all();
    return 0;
}

bool wait_for(const uint32_t& counter, uint32_t target) {
    std::unique_lock lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(60), [&] { return counter >= target; });
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double p50(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The encoder's picture inside a written photo: the photo without the two
// APP1 segments behind its start-of-image marker.
Bytes encoder_picture(const Bytes& photo) {
    size_t at = 2;
    for (int i = 0; i < 2 && at + 4 <= photo.size() && photo[at + 1] == 0xE1; ++i)
        at += 2 + (static_cast<size_t>(photo[at + 2]) << 8 | photo[at + 3]);
    Bytes out(photo.begin(), photo.begin() + 2);
    out.insert(out.end(), photo.begin() + static_cast<long>(at), photo.end());
    return out;
}

// The baseline: the bytes stored in a new file on the card.
double plain_write(const std::string& path, const Bytes& bytes) {
    const auto t0 = Clock::now();
    FILE* file = fopen(path.c_str(), "wbe");
    if (file == nullptr) return 0.0;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    board_sync();
    const double us = micros(Clock::now() - t0);
    unlink(path.c_str());
    return us;
}

MEDIA_BUFFER picture_buffer(const Bytes& bytes) {
    const RkMbImageInfo info = {2048, 2048, 2048, 2048, RK_IMAGE_NV12};
    MEDIA_BUFFER mb = RK_MPI_MB_CreateImageBuffer(&info, 0, 0);
    if (mb == nullptr || RK_MPI_MB_GetSize(mb) < bytes.size()) return nullptr;
    memcpy(RK_MPI_MB_GetPtr(mb), bytes.data(), bytes.size());
    RK_MPI_MB_SetSize(mb, bytes.size());
    return mb;
}

}  // namespace

int main() {
    const std::string root = bench_make_board_root("vboard-snap-bench", 4096);
    if (root.empty()) return 1;
    TRACE_LOG_DISABLE();

    PLR_VPS_RegEvtCallback(on_note);
    PLR_VPS_Init();
    PLR_VPS_SendEvent(VPS_EVT_SD_INSERT);
    if (!wait_for(g_sdNotes, 1) || g_vpsCtx.sdStatus.load() != VPS_SD_OK) {
        fprintf(stderr, "the simulated card did not mount\n");
        return 1;
    }

    std::vector<double> captures;
    std::string lastPath;
    for (int i = 0; i < kCaptureWarmup + kCaptures; ++i) {
        uint32_t target = 0;
        {
            std::lock_guard lock(g_mutex);
            target = g_stops + 1;
        }
        const auto t0 = Clock::now();
        PLR_VPS_SendEvent(VPS_EVT_SNAP_START);
        if (!wait_for(g_stops, target)) {
            fprintf(stderr, "capture %d did not finish\n", i);
            return 1;
        }
        const double us = micros(Clock::now() - t0);
        if (i >= kCaptureWarmup) captures.push_back(us);
        while (g_vpsCtx.snapBusy.load() != 0) usleep(1000);
        std::lock_guard lock(g_mutex);
        lastPath = g_lastPath;
    }
    PLR_VPS_Deinit();

    const Bytes photo = read_bytes(board_path(lastPath));
    const Bytes picture = encoder_picture(photo);
    const std::string scratch = board_path("/tmp/SD0/PLRMEDIA/PIC/bench.JPG");

    // Alternating samples, so that load from elsewhere falls on both alike.
    std::vector<double> writes;
    std::vector<double> photoWrites;
    std::vector<double> writers;
    g_vpsCtx.snapMode.store(VPS_SNAP_SINGLE);
    PLR_VPS_GenPicFilePath();
    for (int i = 0; i < kWrites; ++i) {
        MEDIA_BUFFER mb = picture_buffer(picture);
        if (mb == nullptr) {
            fprintf(stderr, "no media buffer for the picture\n");
            return 1;
        }
        char path[512] = {};
        PLR_VPS_GenPicFullPath(path, sizeof path);
        g_vpsCtx.snapBusy.store(VPS_SNAP_BUSY);
        const auto t0 = Clock::now();
        PLR_VPS_SNPStreamCb(mb);
        writers.push_back(micros(Clock::now() - t0));
        unlink(board_path(path).c_str());
        writes.push_back(plain_write(scratch, picture));
        photoWrites.push_back(plain_write(scratch, photo));
    }
    PLR_VPS_EvtReset();

    const double capture = p50(captures);
    const double writer = p50(writers);
    const double write = p50(writes);
    const double photoWrite = p50(photoWrites);
    printf("photo of %zu bytes (encoder picture %zu bytes), %d captures, %d writes\n", photo.size(),
           picture.size(), kCaptures, kWrites);
    printf("  %-44s p50 %10.1f us\n", "capture: event to file closed", capture);
    printf("  %-44s p50 %10.1f us\n", "baseline: plain write of the photo", photoWrite);
    printf("  %-44s p50 %10.1f us\n", "writer: picture to file closed", writer);
    printf("  %-44s p50 %10.1f us\n", "baseline: plain write of the picture", write);
    printf("\n");
    printf("RATIO %-40s %8.3f  (capture / plain write) a photo against storing its bytes\n",
           "snap_capture_to_closed_p50", photoWrite > 0 ? capture / photoWrite : 0.0);
    printf("RATIO %-40s %8.3f  (writer / plain write) what metadata and bookkeeping add\n",
           "snap_writer_p50", write > 0 ? writer / write : 0.0);
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
