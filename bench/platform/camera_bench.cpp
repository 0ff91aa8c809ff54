// The simulated camera in record mode: 3840 x 2160 at 30 frames/s into the
// H.264 record encoder and 1280 x 720 at 25 frames/s through an RGA channel
// into the H.264 live-view encoder, both read by stream threads as the camera
// core reads them. Printed as achieved over nominal frames per second (goal
// 1.0), with the CPU the process used.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench_camera.h"
#include "bench_ratio.h"
#include "board/sim/board_sim.h"
#include "platform/isp.h"
#include "platform/media.h"
#include "vcam.h"

namespace {

constexpr double kSeconds = 10.0;
constexpr double kWarmUpSeconds = 1.5;

struct CameraRun {
    double wall = 0.0;
    double pictures4k = 0.0;
    double pictures720 = 0.0;
    double cpuSeconds = 0.0;
    uint64_t drops = 0;
    double mbps4k = 0.0;
};

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

CameraRun run_camera() {
    CameraRun result;
    char pattern[] = "/tmp/vsim-bench-XXXXXX";
    const std::string root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/etc/iqfiles");
    board_sim_set_root(root);

    rk_aiq_sys_ctx_t* isp = bench_start_isp(30.0f);

    const RkViChnAttr vi4k{"rkispp_m_bypass", 3840, 2160, RK_IMAGE_NV12, 6, 0, 0};
    const RkViChnAttr vi720{"rkispp_scale1", 1280, 720, RK_IMAGE_NV12, 6, 0, 0};
    RK_MPI_VI_SetChnAttr(0, 0, &vi4k);
    RK_MPI_VI_EnableChn(0, 0);
    RK_MPI_VI_SetChnAttr(0, 2, &vi720);
    RK_MPI_VI_EnableChn(0, 2);

    const RkVencChnAttr rec = bench_h264(3840, 2160, RK_H264_PROFILE_MAIN, 30, 30, 100000000);
    const RkVencChnAttr fpv = bench_h264(1280, 720, RK_H264_PROFILE_BASELINE, 30, 25, 1024000);
    RK_MPI_VENC_CreateChn(0, &rec);
    RK_MPI_VENC_CreateChn(2, &fpv);
    RkRgaAttr rga{};
    rga.imgIn = RkRgaImage{RK_IMAGE_NV12, 0, 0, 1280, 720, 1280, 720};
    rga.imgOut = rga.imgIn;
    rga.bufPoolEnable = 1;
    rga.bufPoolCnt = 6;
    RK_MPI_RGA_CreateChn(2, &rga);
    const RkChnAddr viRec{RK_MOD_VI, 0, 0}, viFpv{RK_MOD_VI, 0, 2}, rgaFpv{RK_MOD_RGA, 0, 2};
    const RkChnAddr encRec{RK_MOD_VENC, 0, 0}, encFpv{RK_MOD_VENC, 0, 2};
    RK_MPI_SYS_Bind(&viRec, &encRec);
    RK_MPI_SYS_Bind(&viFpv, &rgaFpv);
    RK_MPI_SYS_Bind(&rgaFpv, &encFpv);

    std::atomic<bool> stop{false};
    BenchStreamCount rec4k, live720;
    std::thread recThread(bench_stream_thread, 0, &stop, &rec4k);
    std::thread fpvThread(bench_stream_thread, 2, &stop, &live720);

    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpu_seconds();
    const uint64_t rec0 = rec4k.pictures.load(), fpv0 = live720.pictures.load(),
                   bytes0 = rec4k.bytes.load();
    const uint64_t drops0 = vcam_dropped_frames(RK_MOD_VENC, 0, 0) +
                            vcam_dropped_frames(RK_MOD_VENC, 0, 2) +
                            vcam_dropped_frames(RK_MOD_VI, 0, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpuSeconds = cpu_seconds() - cpuStart;
    result.pictures4k = static_cast<double>(rec4k.pictures.load() - rec0);
    result.pictures720 = static_cast<double>(live720.pictures.load() - fpv0);
    result.mbps4k = static_cast<double>(rec4k.bytes.load() - bytes0) * 8.0 / result.wall / 1e6;
    result.drops = vcam_dropped_frames(RK_MOD_VENC, 0, 0) + vcam_dropped_frames(RK_MOD_VENC, 0, 2) +
                   vcam_dropped_frames(RK_MOD_VI, 0, 0) - drops0;

    stop.store(true);
    recThread.join();
    fpvThread.join();
    vcam_reset();
    rk_aiq_uapi_sysctl_stop(isp, 0);
    rk_aiq_uapi_sysctl_deinit(isp);
    std::filesystem::remove_all(root);
    return result;
}

const CameraRun& camera_run() {
    static const CameraRun run = run_camera();
    return run;
}

// Manual times: the nominal duration of the pictures that came out, against
// the wall time they took. Their ratio is achieved / nominal frames per second.
void BM_Camera4k30_Achieved(benchmark::State& state) {
    const CameraRun& r = camera_run();
    for (auto _ : state) state.SetIterationTime(r.pictures4k / 30.0);
    state.counters["fps"] = r.pictures4k / r.wall;
    state.counters["cpu_cores"] = r.cpuSeconds / r.wall;
    state.counters["drops"] = static_cast<double>(r.drops);
    state.counters["Mbit_s"] = r.mbps4k;
}

void BM_Live720p25_Achieved(benchmark::State& state) {
    const CameraRun& r = camera_run();
    for (auto _ : state) state.SetIterationTime(r.pictures720 / 25.0);
    state.counters["fps"] = r.pictures720 / r.wall;
}

void BM_Camera_Wall(benchmark::State& state) {
    const CameraRun& r = camera_run();
    for (auto _ : state) state.SetIterationTime(r.wall);
    state.counters["cpu_cores"] = r.cpuSeconds / r.wall;
}

BENCHMARK(BM_Camera4k30_Achieved)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Live720p25_Achieved)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Wall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return bench_ratio_main(argc, argv,
                            {
                                {"BM_Camera4k30_Achieved/iterations:1/manual_time",
                                 "BM_Camera_Wall/iterations:1/manual_time",
                                 "3840x2160 H.264: achieved / nominal 30 frames/s (goal 1.0)"},
                                {"BM_Live720p25_Achieved/iterations:1/manual_time",
                                 "BM_Camera_Wall/iterations:1/manual_time",
                                 "1280x720 H.264: achieved / nominal 25 frames/s (goal 1.0)"},
                            });
}
