// The simulated camera as the benchmarks run it: the ISP engine at a frame
// rate, H.264 channel attributes, and a stream thread that takes the encoded
// pictures as the camera core's stream threads do.
#pragma once

#include <sys/select.h>

#include <atomic>
#include <cstdint>

#include "platform/isp.h"
#include "platform/media.h"

struct BenchStreamCount {
    std::atomic<uint64_t> pictures{0};
    std::atomic<uint64_t> bytes{0};
};

// Initialises the media layer and starts the ISP engine of camera 0 for a
// 3840 x 2160 sensor at `fps` (IQ files in the board root's /etc/iqfiles).
inline rk_aiq_sys_ctx_t* bench_start_isp(float fps) {
    RK_MPI_SYS_Init();
    rk_aiq_static_info_t info{};
    rk_aiq_uapi_sysctl_enumStaticMetas(0, &info);
    rk_aiq_sys_ctx_t* isp =
        rk_aiq_uapi_sysctl_init(info.sensorInfo.sensorName, "/etc/iqfiles", nullptr, nullptr);
    rk_aiq_uapi_sysctl_prepare(isp, 3840, 2160, RK_AIQ_WORKING_MODE_NORMAL);
    rk_aiq_exp_sw_attr_t exp{};
    rk_aiq_user_api_ae_getExpSwAttr(isp, &exp);
    exp.frameRate = rk_aiq_ae_frame_rate_t{1, fps};
    rk_aiq_user_api_ae_setExpSwAttr(isp, exp);
    rk_aiq_uapi_sysctl_start(isp);
    return isp;
}

inline RkVencChnAttr bench_h264(uint32_t w, uint32_t h, uint32_t profile, uint32_t srcFps,
                                uint32_t fps, uint32_t bitrate) {
    RkVencChnAttr a{};
    a.vencAttr = RkVencTypeAttr{RK_CODEC_H264, RK_IMAGE_NV12, w, h, profile, 0, w, h, 0, {}};
    a.rcAttr = RkVencRcAttr{RK_RC_H264_CBR, fps, srcFps, 1, fps, 1, bitrate};
    a.gopAttr = RkVencGopAttr{RK_GOP_MODE_NORMAL, fps, 0, 0, 0};
    return a;
}

// A stream thread as the camera core runs it: wait for the descriptor, ask
// for the pending count, take the pictures (counted when `count` is given).
inline void bench_stream_thread(int32_t chn, const std::atomic<bool>* stop,
                                BenchStreamCount* count) {
    const int fd = RK_MPI_VENC_GetFd(chn);
    while (!stop->load() && fd >= 0) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{0, 120000};
        if (select(fd + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
        RkVencChnStatus st{};
        if (RK_MPI_VENC_QueryStatus(chn, &st) != 0) break;
        for (uint32_t i = 0; i < st.pendingPics; ++i) {
            MEDIA_BUFFER mb = RK_MPI_SYS_GetMediaBuffer(RK_MOD_VENC, chn, 2);
            if (mb == nullptr) continue;
            if (count != nullptr) {
                count->pictures.fetch_add(1);
                count->bytes.fetch_add(RK_MPI_MB_GetSize(mb));
            }
            RK_MPI_MB_ReleaseBuffer(mb);
        }
    }
}
