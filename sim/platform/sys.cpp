// The media layer's system part: channel tables and binding, the video-input
// channels and the virtual sensor thread of each camera, and the RK_MPI_*
// entry points.
#include <pthread.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>

#include "graph.h"
#include "internal.h"
#include "vcam.h"

namespace vsim {
namespace {

constexpr std::array<const char*, 4> kViNodes = {"rkispp_m_bypass", "rkispp_scale0",
                                                 "rkispp_scale1", "rkispp_scale2"};
constexpr uint32_t kMaxSide = 8192;

struct ViChn {
    ViChn(int32_t p, int32_t c)
        : pipe(p),
          chn(c),
          queue(1, false, false),
          drops("vi pipe " + std::to_string(p) + " chn " + std::to_string(c)) {}
    int32_t pipe;
    int32_t chn;
    // Guarded by the registry mutex.
    std::string node;
    RkViChnAttr attr{};
    bool configured = false;
    bool enabled = false;
    std::shared_ptr<MbPool> pool;
    // Own locking.
    OutQueue queue;
    DropCounter drops;
    std::atomic<uint64_t> rendered{0};
    // Sensor thread only.
    SceneRenderer renderer;
};

struct Camera {
    std::thread thread;  // guarded by g_viMutex
    std::mutex mutex;    // guards stop
    std::condition_variable cv;
    bool stop = false;
    std::mutex tickMutex;  // held while a frame is delivered
    std::atomic<uint32_t> nextFrame{0};
    std::atomic<uint32_t> lastFrame{0};
    std::atomic<bool> shown{false};
    std::atomic<bool> running{false};
    DropCounter drops{"sensor"};
};

struct Binding {
    RkChnAddr src;
    RkChnAddr dst;
};

struct Registry {
    std::mutex mutex;  // guards everything but the cameras
    bool sysInit = false;
    std::map<int32_t, std::shared_ptr<ViChn>> vi;  // key pipe * RK_VI_MAX_CHN + chn
    std::array<std::shared_ptr<RgaChn>, RK_RGA_MAX_CHN> rga;
    std::array<std::shared_ptr<VencChn>, RK_VENC_MAX_CHN> venc;
    std::vector<Binding> binds;
    std::array<Camera, kCameras> cameras;
};

// Lives for the whole process: platform threads may run until exit.
Registry& reg() {
    static Registry* r = new Registry;
    return *r;
}

std::mutex g_viMutex;  // serialises enabling and disabling of VI channels (and camera threads)

bool same_addr(const RkChnAddr& a, const RkChnAddr& b) {
    return a.modId == b.modId && a.chnId == b.chnId && (a.modId != RK_MOD_VI || a.devId == b.devId);
}

int32_t vi_key(int32_t pipe, int32_t chn) {
    return pipe * RK_VI_MAX_CHN + chn;
}
bool vi_valid(int32_t pipe, int32_t chn) {
    return pipe >= 0 && pipe < RK_VI_MAX_PIPE && chn >= 0 && chn < RK_VI_MAX_CHN;
}

std::shared_ptr<VencChn> venc_of(int32_t chn) {
    if (chn < 0 || chn >= RK_VENC_MAX_CHN) return nullptr;
    std::lock_guard lock(reg().mutex);
    return reg().venc[static_cast<size_t>(chn)];
}

std::shared_ptr<RgaChn> rga_of(int32_t chn) {
    if (chn < 0 || chn >= RK_RGA_MAX_CHN) return nullptr;
    std::lock_guard lock(reg().mutex);
    return reg().rga[static_cast<size_t>(chn)];
}

std::shared_ptr<ViChn> vi_of(int32_t pipe, int32_t chn) {
    if (!vi_valid(pipe, chn)) return nullptr;
    std::lock_guard lock(reg().mutex);
    auto it = reg().vi.find(vi_key(pipe, chn));
    return it == reg().vi.end() ? nullptr : it->second;
}

// What the sensor thread needs of an enabled channel, copied under the lock.
struct ViSnapshot {
    std::shared_ptr<ViChn> chn;
    std::shared_ptr<MbPool> pool;
    uint32_t width;
    uint32_t height;
    int32_t imageType;
};

void tick_channels(uint32_t camera, uint32_t frameNo, uint64_t timestampUs, const SceneLook& look,
                   bool padShown) {
    std::vector<ViSnapshot> channels;
    {
        std::lock_guard lock(reg().mutex);
        for (auto& [key, ch] : reg().vi) {
            if (ch->pipe == static_cast<int32_t>(camera) && ch->enabled) {
                channels.push_back(
                    ViSnapshot{ch, ch->pool, ch->attr.width, ch->attr.height, ch->attr.imageType});
            }
        }
    }
    for (const ViSnapshot& s : channels) {
        std::vector<std::shared_ptr<Sink>> takers;
        for (const auto& sink : sinks_of(RK_MOD_VI, s.chn->pipe, s.chn->chn)) {
            if (sink->wants_frame()) takers.push_back(sink);
        }
        const bool own = s.chn->queue.has_room();
        if (takers.empty() && !own) continue;  // nobody takes it: no work
        const size_t size = size_t{s.width} * s.height * 3 / 2;
        Frame frame;
        frame.data = s.pool->acquire(size);
        if (!frame.data) {
            s.chn->drops.drop("no free buffer");
            continue;
        }
        s.chn->renderer.render(frameNo, look, s.width, s.height, s.width, frame.data->block.ptr,
                               padShown);
        s.chn->rendered.fetch_add(1);
        frame.size = size;
        frame.modId = RK_MOD_VI;
        frame.chnId = s.chn->chn;
        frame.timestampUs = timestampUs;
        frame.frameNo = frameNo;
        frame.isImage = true;
        frame.image = RkMbImageInfo{s.width, s.height, s.width, s.height, s.imageType};
        for (const auto& sink : takers) sink->push(frame);
        if (own) s.chn->queue.push(frame);
    }
}

// The virtual sensor of a camera: one frame per period of the ISP's frame rate.
void camera_run(uint32_t camera) {
    Camera& cam = reg().cameras[camera];
    uint64_t next = now_us();
    for (;;) {
        const uint32_t frameNo = cam.nextFrame.load();
        const CameraState state = isp_camera_state(camera, frameNo);
        const uint64_t interval =
            static_cast<uint64_t>(std::llround(1e6 / std::max(1.0f, state.fps)));
        {
            std::unique_lock lock(cam.mutex);
            const auto deadline =
                std::chrono::steady_clock::time_point(std::chrono::microseconds(next));
            if (cam.cv.wait_until(lock, deadline, [&] { return cam.stop; })) break;
        }
        const uint64_t now = now_us();
        uint32_t shownNo = frameNo;
        if (now >= next + interval) {
            // Late by whole frames (the machine could not keep up): they are lost.
            const uint64_t missed = (now - next) / interval;
            cam.drops.drop("sensor late", missed);
            shownNo += static_cast<uint32_t>(missed);
            next += missed * interval;
        }
        {
            // The time stamp is the frame's slot on the sensor's clock, as a
            // real sensor stamps its exposures, however late it was rendered.
            std::lock_guard tick(cam.tickMutex);
            const bool padShown = scene_pad_in_view();
            tick_channels(camera, shownNo, next, state.look, padShown);
            if (camera == 0) truth_note(shownNo, padShown);
            cam.lastFrame.store(shownNo);
            cam.shown.store(true);
        }
        cam.nextFrame.store(shownNo + 1);
        next += interval;
    }
}

void camera_start(uint32_t camera) {  // caller holds g_viMutex
    Camera& cam = reg().cameras[camera];
    if (cam.thread.joinable()) return;
    {
        std::lock_guard lock(cam.mutex);
        cam.stop = false;
    }
    cam.running.store(true);
    cam.thread = std::thread(camera_run, camera);
    char name[16];
    snprintf(name, sizeof name, "vsensor%u", camera);
    pthread_setname_np(cam.thread.native_handle(), name);
}

void camera_stop(uint32_t camera) {  // caller holds g_viMutex
    Camera& cam = reg().cameras[camera];
    if (!cam.thread.joinable()) return;
    {
        std::lock_guard lock(cam.mutex);
        cam.stop = true;
    }
    cam.cv.notify_all();
    cam.thread.join();
    cam.running.store(false);
    if (camera == 0) truth_close();
}

int32_t vi_disable(int32_t pipe, int32_t chn) {  // caller holds g_viMutex
    std::shared_ptr<ViChn> ch;
    bool last = true;
    {
        std::lock_guard lock(reg().mutex);
        auto it = reg().vi.find(vi_key(pipe, chn));
        if (it == reg().vi.end() || !it->second->enabled) return RK_ERR_NOT_PERM;
        ch = it->second;
        ch->enabled = false;
        for (auto& [key, other] : reg().vi) {
            if (other->pipe == pipe && other->enabled) last = false;
        }
    }
    // Once a frame in progress is delivered, nothing more comes from this channel.
    { std::lock_guard tick(reg().cameras[static_cast<size_t>(pipe)].tickMutex); }
    ch->queue.clear();
    if (last) camera_stop(static_cast<uint32_t>(pipe));
    return RK_SUCCESS;
}

int32_t check_ready() {
    std::lock_guard lock(reg().mutex);
    return reg().sysInit ? RK_SUCCESS : RK_ERR_SYS_NOTREADY;
}

}  // namespace

std::vector<std::shared_ptr<Sink>> sinks_of(int32_t modId, int32_t devId, int32_t chnId) {
    std::vector<std::shared_ptr<Sink>> sinks;
    const RkChnAddr src{modId, devId, chnId};
    std::lock_guard lock(reg().mutex);
    for (const Binding& b : reg().binds) {
        if (!same_addr(b.src, src)) continue;
        const auto chn = static_cast<size_t>(b.dst.chnId);
        if (b.dst.modId == RK_MOD_VENC && reg().venc[chn]) sinks.push_back(reg().venc[chn]);
        if (b.dst.modId == RK_MOD_RGA && reg().rga[chn]) sinks.push_back(reg().rga[chn]);
    }
    return sinks;
}

uint32_t sensor_frame_number(uint32_t camera) {
    return camera < kCameras ? reg().cameras[camera].lastFrame.load() : 0;
}

}  // namespace vsim

using namespace vsim;

extern "C" {

int32_t RK_MPI_SYS_Init(void) {
    std::lock_guard lock(reg().mutex);
    reg().sysInit = true;
    return RK_SUCCESS;
}

int32_t RK_MPI_SYS_Bind(const RkChnAddr* src, const RkChnAddr* dst) {
    if (src == nullptr || dst == nullptr) return RK_ERR_NULL_PTR;
    if (const int32_t ret = check_ready(); ret != RK_SUCCESS) return ret;
    if (src->modId == RK_MOD_VI) {
        if (!vi_valid(src->devId, src->chnId)) return RK_ERR_INVALID_CHN;
    } else if (src->modId == RK_MOD_RGA) {
        if (!rga_of(src->chnId)) return RK_ERR_UNEXIST;
    } else {
        return RK_ERR_ILLEGAL_PARAM;
    }
    if (dst->modId == RK_MOD_VENC) {
        if (!venc_of(dst->chnId)) return RK_ERR_UNEXIST;
    } else if (dst->modId == RK_MOD_RGA) {
        if (!rga_of(dst->chnId)) return RK_ERR_UNEXIST;
    } else {
        return RK_ERR_ILLEGAL_PARAM;
    }
    std::lock_guard lock(reg().mutex);
    for (const Binding& b : reg().binds) {
        if (same_addr(b.dst, *dst)) return RK_ERR_EXIST;  // a sink has one source
    }
    reg().binds.push_back(Binding{*src, *dst});
    return RK_SUCCESS;
}

int32_t RK_MPI_SYS_UnBind(const RkChnAddr* src, const RkChnAddr* dst) {
    if (src == nullptr || dst == nullptr) return RK_ERR_NULL_PTR;
    std::lock_guard lock(reg().mutex);
    auto& binds = reg().binds;
    auto it = std::find_if(binds.begin(), binds.end(), [&](const Binding& b) {
        return same_addr(b.src, *src) && same_addr(b.dst, *dst);
    });
    if (it == binds.end()) return RK_ERR_UNEXIST;
    binds.erase(it);
    return RK_SUCCESS;
}

int32_t RK_MPI_SYS_RegisterOutCb(const RkChnAddr* chn, RkOutCbFunc cb) {
    if (chn == nullptr) return RK_ERR_NULL_PTR;
    if (chn->modId != RK_MOD_VENC) return RK_ERR_UNSUPPORT;
    auto venc = venc_of(chn->chnId);
    if (!venc) return RK_ERR_UNEXIST;
    venc->set_callback(cb);
    return RK_SUCCESS;
}

int32_t RK_MPI_SYS_StartGetMediaBuffer(int32_t modId, int32_t chnId) {
    if (modId == RK_MOD_VENC) return venc_of(chnId) ? RK_SUCCESS : RK_ERR_UNEXIST;
    if (modId == RK_MOD_RGA) {
        auto rga = rga_of(chnId);
        if (!rga) return RK_ERR_UNEXIST;
        rga->queue.enable();
        return RK_SUCCESS;
    }
    if (modId == RK_MOD_VI) {
        auto vi = vi_of(0, chnId);
        if (!vi) return RK_ERR_UNEXIST;
        vi->queue.enable();
        return RK_SUCCESS;
    }
    return RK_ERR_ILLEGAL_PARAM;
}

MEDIA_BUFFER RK_MPI_SYS_GetMediaBuffer(int32_t modId, int32_t chnId, int32_t timeoutMs) {
    Frame frame;
    bool got = false;
    if (modId == RK_MOD_VENC) {
        if (auto venc = venc_of(chnId)) got = venc->out.pop(&frame, timeoutMs);
    } else if (modId == RK_MOD_RGA) {
        if (auto rga = rga_of(chnId)) got = rga->queue.pop(&frame, timeoutMs);
    } else if (modId == RK_MOD_VI) {
        if (auto vi = vi_of(0, chnId)) got = vi->queue.pop(&frame, timeoutMs);
    }
    return got ? mb_make_handle(frame) : nullptr;
}

int32_t RK_MPI_SYS_SendMediaBuffer(int32_t modId, int32_t chnId, MEDIA_BUFFER mb) {
    const Frame* frame = mb_frame(mb);
    if (frame == nullptr) return RK_ERR_NULL_PTR;
    if (!frame->isImage) return RK_ERR_ILLEGAL_PARAM;
    if (modId == RK_MOD_VENC) {
        auto venc = venc_of(chnId);
        return venc ? venc->send(*frame) : RK_ERR_UNEXIST;
    }
    if (modId == RK_MOD_RGA) {
        auto rga = rga_of(chnId);
        if (!rga) return RK_ERR_UNEXIST;
        rga->push(*frame);
        return RK_SUCCESS;
    }
    return RK_ERR_ILLEGAL_PARAM;
}

// ---- Video input -------------------------------------------------------------------

int32_t RK_MPI_VI_SetChnAttr(int32_t pipe, int32_t chn, const RkViChnAttr* attr) {
    if (attr == nullptr || attr->videoNode == nullptr) return RK_ERR_NULL_PTR;
    if (const int32_t ret = check_ready(); ret != RK_SUCCESS) return ret;
    if (!vi_valid(pipe, chn)) return RK_ERR_INVALID_CHN;
    const bool knownNode = std::any_of(kViNodes.begin(), kViNodes.end(), [&](const char* node) {
        return strcmp(node, attr->videoNode) == 0;
    });
    if (!knownNode || attr->width < 2 || attr->height < 2 || attr->width > kMaxSide ||
        attr->height > kMaxSide ||
        (attr->imageType != RK_IMAGE_NV12 && attr->imageType != RK_IMAGE_ISP_ALT)) {
        return RK_ERR_ILLEGAL_PARAM;
    }
    std::lock_guard lock(reg().mutex);
    auto& slot = reg().vi[vi_key(pipe, chn)];
    if (!slot) slot = std::make_shared<ViChn>(pipe, chn);
    if (slot->enabled) return RK_ERR_NOT_PERM;
    slot->node = attr->videoNode;
    slot->attr = *attr;
    slot->attr.width &= ~1u;
    slot->attr.height &= ~1u;
    slot->attr.videoNode = nullptr;  // the caller's string is not kept
    slot->configured = true;
    return RK_SUCCESS;
}

int32_t RK_MPI_VI_EnableChn(int32_t pipe, int32_t chn) {
    if (!vi_valid(pipe, chn)) return RK_ERR_INVALID_CHN;
    std::lock_guard viLock(g_viMutex);
    {
        std::lock_guard lock(reg().mutex);
        auto it = reg().vi.find(vi_key(pipe, chn));
        if (it == reg().vi.end() || !it->second->configured) return RK_ERR_UNEXIST;
        ViChn& ch = *it->second;
        if (ch.enabled) return RK_ERR_EXIST;
        const uint32_t buffers = std::max(1u, ch.attr.bufCnt);
        ch.pool = MbPool::create(buffers, buffers);
        ch.queue.set_depth(buffers);
        ch.enabled = true;
    }
    camera_start(static_cast<uint32_t>(pipe));
    return RK_SUCCESS;
}

int32_t RK_MPI_VI_DisableChn(int32_t pipe, int32_t chn) {
    if (!vi_valid(pipe, chn)) return RK_ERR_INVALID_CHN;
    std::lock_guard viLock(g_viMutex);
    return vi_disable(pipe, chn);
}

int32_t RK_MPI_VI_StartStream(int32_t pipe, int32_t chn) {
    auto vi = vi_of(pipe, chn);
    if (!vi) return RK_ERR_UNEXIST;
    std::lock_guard lock(reg().mutex);
    return vi->enabled ? RK_SUCCESS : RK_ERR_NOT_PERM;
}

// ---- Encoders ------------------------------------------------------------------------

int32_t RK_MPI_VENC_CreateChn(int32_t chn, const RkVencChnAttr* attr) {
    if (attr == nullptr) return RK_ERR_NULL_PTR;
    if (const int32_t ret = check_ready(); ret != RK_SUCCESS) return ret;
    if (chn < 0 || chn >= RK_VENC_MAX_CHN) return RK_ERR_INVALID_CHN;
    const RkVencTypeAttr& v = attr->vencAttr;
    const int32_t rc = attr->rcAttr.rcMode;
    const bool rcOk = (v.codec == RK_CODEC_H264 && rc == RK_RC_H264_CBR) ||
                      (v.codec == RK_CODEC_H265 && rc == RK_RC_H265_CBR) ||
                      (v.codec == RK_CODEC_MJPEG && rc == RK_RC_MJPEG_CBR) ||
                      v.codec == RK_CODEC_JPEG;
    if (!rcOk || v.picWidth < 16 || v.picHeight < 16 || v.picWidth > kMaxSide ||
        v.picHeight > kMaxSide ||
        (v.imageType != RK_IMAGE_NV12 && v.imageType != RK_IMAGE_ISP_ALT) ||
        (v.codec != RK_CODEC_JPEG && attr->rcAttr.bitRate == 0)) {
        return RK_ERR_ILLEGAL_PARAM;
    }
    RkVencChnAttr copy = *attr;
    copy.vencAttr.picWidth &= ~1u;
    copy.vencAttr.picHeight &= ~1u;
    auto venc = std::make_shared<VencChn>(chn, copy);
    {
        std::lock_guard lock(reg().mutex);
        auto& slot = reg().venc[static_cast<size_t>(chn)];
        if (slot) return RK_ERR_EXIST;
        slot = venc;
    }
    venc->start();
    return RK_SUCCESS;
}

int32_t RK_MPI_VENC_DestroyChn(int32_t chn) {
    if (chn < 0 || chn >= RK_VENC_MAX_CHN) return RK_ERR_INVALID_CHN;
    std::shared_ptr<VencChn> venc;
    {
        std::lock_guard lock(reg().mutex);
        venc.swap(reg().venc[static_cast<size_t>(chn)]);
        if (!venc) return RK_ERR_UNEXIST;
        const RkChnAddr self{RK_MOD_VENC, 0, chn};
        std::erase_if(reg().binds, [&](const Binding& b) { return same_addr(b.dst, self); });
    }
    venc->shutdown();
    return RK_SUCCESS;
}

int32_t RK_MPI_VENC_StartRecvFrame(int32_t chn, const RkVencRecvPicParam* param) {
    if (param == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    return venc ? venc->set_recv(param->recvPicNum) : RK_ERR_UNEXIST;
}

int32_t RK_MPI_VENC_RequestIDR(int32_t chn, int32_t instant) {
    (void)instant;
    auto venc = venc_of(chn);
    if (!venc) return RK_ERR_UNEXIST;
    venc->request_idr();
    return RK_SUCCESS;
}

int32_t RK_MPI_VENC_GetFd(int32_t chn) {
    auto venc = venc_of(chn);
    return venc ? venc->out.fd() : -1;
}

int32_t RK_MPI_VENC_QueryStatus(int32_t chn, RkVencChnStatus* status) {
    if (status == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    if (!venc) return RK_ERR_UNEXIST;
    *status = venc->status();
    return RK_SUCCESS;
}

int32_t RK_MPI_VENC_SetJpegParam(int32_t chn, const RkVencJpegParam* param) {
    if (param == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    return venc ? venc->set_jpeg_quality(param->qfactor) : RK_ERR_UNEXIST;
}

int32_t RK_MPI_VENC_GetRcParam(int32_t chn, RkVencRcParam* param) {
    if (param == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    if (!venc) return RK_ERR_UNEXIST;
    *param = venc->rc_param();
    return RK_SUCCESS;
}

int32_t RK_MPI_VENC_SetRcParam(int32_t chn, const RkVencRcParam* param) {
    if (param == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    return venc ? venc->set_rc_param(*param) : RK_ERR_UNEXIST;
}

int32_t RK_MPI_VENC_SetBitrate(int32_t chn, uint32_t bitrate, uint32_t minBitrate,
                               uint32_t maxBitrate) {
    // The bounds are the hardware rate control's limits; the software encoder
    // keeps the constant bitrate it is given.
    (void)minBitrate;
    (void)maxBitrate;
    auto venc = venc_of(chn);
    return venc ? venc->set_bitrate(bitrate) : RK_ERR_UNEXIST;
}

int32_t RK_MPI_VENC_GetVencChnAttr(int32_t chn, RkVencChnAttr* attr) {
    if (attr == nullptr) return RK_ERR_NULL_PTR;
    auto venc = venc_of(chn);
    if (!venc) return RK_ERR_UNEXIST;
    *attr = venc->attr();
    return RK_SUCCESS;
}

// ---- RGA -----------------------------------------------------------------------------------

namespace {
bool rga_attr_ok(const RkRgaAttr& a) {
    return a.imgIn.width >= 2 && a.imgIn.height >= 2 && a.imgOut.width >= 2 &&
           a.imgOut.height >= 2 && a.imgOut.width <= kMaxSide && a.imgOut.height <= kMaxSide;
}
}  // namespace

int32_t RK_MPI_RGA_CreateChn(int32_t chn, const RkRgaAttr* attr) {
    if (attr == nullptr) return RK_ERR_NULL_PTR;
    if (const int32_t ret = check_ready(); ret != RK_SUCCESS) return ret;
    if (chn < 0 || chn >= RK_RGA_MAX_CHN) return RK_ERR_INVALID_CHN;
    if (!rga_attr_ok(*attr)) return RK_ERR_ILLEGAL_PARAM;
    auto rga = std::make_shared<RgaChn>(chn, *attr);
    {
        std::lock_guard lock(reg().mutex);
        auto& slot = reg().rga[static_cast<size_t>(chn)];
        if (slot) return RK_ERR_EXIST;
        slot = rga;
    }
    rga->start();
    return RK_SUCCESS;
}

int32_t RK_MPI_RGA_DestroyChn(int32_t chn) {
    if (chn < 0 || chn >= RK_RGA_MAX_CHN) return RK_ERR_INVALID_CHN;
    std::shared_ptr<RgaChn> rga;
    {
        std::lock_guard lock(reg().mutex);
        rga.swap(reg().rga[static_cast<size_t>(chn)]);
        if (!rga) return RK_ERR_UNEXIST;
        const RkChnAddr self{RK_MOD_RGA, 0, chn};
        std::erase_if(reg().binds, [&](const Binding& b) {
            return same_addr(b.dst, self) || same_addr(b.src, self);
        });
    }
    rga->shutdown();
    return RK_SUCCESS;
}

int32_t RK_MPI_RGA_GetChnAttr(int32_t chn, RkRgaAttr* attr) {
    if (attr == nullptr) return RK_ERR_NULL_PTR;
    auto rga = rga_of(chn);
    if (!rga) return RK_ERR_UNEXIST;
    *attr = rga->attr();
    return RK_SUCCESS;
}

int32_t RK_MPI_RGA_SetChnAttr(int32_t chn, const RkRgaAttr* attr) {
    if (attr == nullptr) return RK_ERR_NULL_PTR;
    if (!rga_attr_ok(*attr)) return RK_ERR_ILLEGAL_PARAM;
    auto rga = rga_of(chn);
    if (!rga) return RK_ERR_UNEXIST;
    rga->set_attr(*attr);
    return RK_SUCCESS;
}

}  // extern "C"

// ---- Simulation extras ----------------------------------------------------------------------

int64_t vcam_read_frame_number(const uint8_t* luma, uint32_t stride, uint32_t width,
                               uint32_t height) {
    return pattern_read(luma, stride, width, height);
}

void vcam_render_nv12(uint32_t frameNo, uint32_t width, uint32_t height, uint8_t* dst) {
    SceneRenderer renderer;
    renderer.render(frameNo, SceneLook{}, width, height, width, dst);
}

void vcam_target_box(uint32_t frameNo, uint32_t width, uint32_t height, uint32_t box[4]) {
    const PixelBox b = scene_to_pixels(scene_target_box(frameNo), width, height);
    box[0] = b.x;
    box[1] = b.y;
    box[2] = b.w;
    box[3] = b.h;
}

void vcam_pad_box(uint32_t frameNo, uint32_t width, uint32_t height, uint32_t box[4]) {
    const PixelBox b = scene_to_pixels(scene_pad_box(frameNo, width, height), width, height);
    box[0] = b.x;
    box[1] = b.y;
    box[2] = b.w;
    box[3] = b.h;
}

uint32_t vcam_mb_frame_number(MEDIA_BUFFER mb) {
    const Frame* frame = mb_frame(mb);
    return frame != nullptr ? frame->frameNo : 0;
}

uint32_t vcam_sensor_frame_number(uint32_t camera) {
    return sensor_frame_number(camera);
}

bool vcam_sensor_running(uint32_t camera) {
    return camera < kCameras && reg().cameras[camera].running.load() &&
           reg().cameras[camera].shown.load();
}

uint64_t vcam_dropped_frames(int32_t modId, int32_t devId, int32_t chnId) {
    if (modId == RK_MOD_VENC) {
        auto venc = venc_of(chnId);
        return venc ? venc->drops.total() : 0;
    }
    if (modId == RK_MOD_RGA) {
        auto rga = rga_of(chnId);
        return rga ? rga->drops.total() : 0;
    }
    if (modId == RK_MOD_VI) {
        auto vi = vi_of(devId, chnId);
        uint64_t total = vi ? vi->drops.total() : 0;
        if (devId >= 0 && devId < static_cast<int32_t>(kCameras))
            total += reg().cameras[static_cast<size_t>(devId)].drops.total();
        return total;
    }
    return 0;
}

uint64_t vcam_rendered_frames(int32_t pipe, int32_t chn) {
    auto vi = vi_of(pipe, chn);
    return vi ? vi->rendered.load() : 0;
}

void vcam_reset() {
    for (int32_t c = 0; c < RK_VENC_MAX_CHN; ++c) RK_MPI_VENC_DestroyChn(c);
    for (int32_t c = 0; c < RK_RGA_MAX_CHN; ++c) RK_MPI_RGA_DestroyChn(c);
    {
        std::lock_guard viLock(g_viMutex);
        for (int32_t p = 0; p < RK_VI_MAX_PIPE; ++p) {
            for (int32_t c = 0; c < RK_VI_MAX_CHN; ++c) vi_disable(p, c);
            camera_stop(static_cast<uint32_t>(p));
            Camera& cam = reg().cameras[static_cast<size_t>(p)];
            cam.nextFrame.store(0);
            cam.lastFrame.store(0);
            cam.shown.store(false);
        }
        std::lock_guard lock(reg().mutex);
        reg().vi.clear();
        reg().binds.clear();
        reg().sysInit = false;
    }
}
