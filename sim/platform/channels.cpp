// RGA and encoder channels, their queues and worker threads.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "graph.h"
#include "internal.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace vsim {

namespace {

constexpr size_t kInputDepth = 2;  // pictures waiting at a channel's input
constexpr size_t kMaxPending = 8;  // encoder: pictures queued in and out together
constexpr uint64_t kLogEveryUs = 5'000'000;

uint32_t even_down(uint32_t v) {
    return v & ~1u;
}

void name_thread(std::thread& t, const char* prefix, int32_t chn) {
    char name[16];
    snprintf(name, sizeof name, "%s%d", prefix, chn);
    pthread_setname_np(t.native_handle(), name);
}

}  // namespace

uint64_t now_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void sim_log(const char* format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    fprintf(stderr, "[vsim] %s\n", text);
}

// ---- DropCounter ---------------------------------------------------------------

void DropCounter::drop(const char* why, uint64_t count) {
    const uint64_t total = total_.fetch_add(count) + count;
    const uint64_t now = now_us();
    uint64_t last = lastLogUs_.load();
    if ((last == 0 || now - last >= kLogEveryUs) && lastLogUs_.compare_exchange_strong(last, now)) {
        sim_log("%s: dropping frames (%s), %llu dropped so far", name_.c_str(), why,
                static_cast<unsigned long long>(total));
    }
}

// ---- OutQueue --------------------------------------------------------------------

OutQueue::OutQueue(size_t depth, bool withFd, bool enabled)
    : depth_(std::max<size_t>(depth, 1)), enabled_(enabled) {
    if (withFd) fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
}

OutQueue::~OutQueue() {
    close();
    if (fd_ >= 0) ::close(fd_);
}

void OutQueue::enable() {
    std::lock_guard lock(mutex_);
    enabled_ = true;
}

void OutQueue::set_depth(size_t depth) {
    std::lock_guard lock(mutex_);
    depth_ = std::max<size_t>(depth, 1);
}

bool OutQueue::has_room() {
    std::lock_guard lock(mutex_);
    return enabled_ && !closed_ && frames_.size() < depth_;
}

void OutQueue::push(const Frame& frame) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        frames_.push_back(frame);
        if (fd_ >= 0) {
            const uint64_t one = 1;
            const ssize_t n = write(fd_, &one, sizeof one);
            (void)n;
        }
    }
    cv_.notify_one();
}

void OutQueue::take_fd_count() {
    if (fd_ < 0) return;
    uint64_t value = 0;
    const ssize_t n = read(fd_, &value, sizeof value);
    (void)n;
}

bool OutQueue::pop(Frame* frame, int32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    auto ready = [&] { return closed_ || !frames_.empty(); };
    if (timeoutMs < 0) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    if (frames_.empty()) return false;
    *frame = std::move(frames_.front());
    frames_.pop_front();
    take_fd_count();
    return true;
}

size_t OutQueue::size() {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

void OutQueue::clear() {
    std::deque<Frame> gone;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < frames_.size(); ++i) take_fd_count();
        gone.swap(frames_);
    }
}

void OutQueue::close() {
    clear();
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

// ---- RGA channel ---------------------------------------------------------------------

RgaChn::RgaChn(int32_t chn, const RkRgaAttr& attr)
    : queue(std::max<uint32_t>(attr.bufPoolCnt, 1), false, false),
      drops("rga chn " + std::to_string(chn)),
      chn_(chn),
      attr_(attr),
      pool_(MbPool::create(attr.bufPoolCnt != 0 ? attr.bufPoolCnt : 4,
                           attr.bufPoolCnt != 0 ? attr.bufPoolCnt : 4)) {}

RgaChn::~RgaChn() {
    shutdown();
    sws_freeContext(sws_);
}

void RgaChn::start() {
    worker_ = std::thread([this] { run(); });
    name_thread(worker_, "rga", chn_);
}

void RgaChn::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        in_.clear();
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    queue.close();
}

bool RgaChn::wants_frame() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return false;
        if (in_.size() >= kInputDepth) {
            drops.drop("input queue full");
            return false;
        }
    }
    bool wanted = queue.has_room();
    for (const auto& sink : sinks_of(RK_MOD_RGA, 0, chn_)) wanted = sink->wants_frame() || wanted;
    return wanted;
}

void RgaChn::push(const Frame& frame) {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (in_.size() >= kInputDepth) {
            drops.drop("input queue full");
            return;
        }
        in_.push_back(frame);
    }
    cv_.notify_one();
}

RkRgaAttr RgaChn::attr() {
    std::lock_guard lock(mutex_);
    return attr_;
}

void RgaChn::set_attr(const RkRgaAttr& attr) {
    std::lock_guard lock(mutex_);
    attr_ = attr;
}

bool RgaChn::process(const Frame& in, const RkRgaAttr& attr, Frame* out) {
    if (!in.isImage || !in.data) return false;
    const RkMbImageInfo& src = in.image;
    // The crop, kept inside the source picture and on even positions.
    const uint32_t cx = even_down(std::min(attr.imgIn.x, src.width - 2));
    const uint32_t cy = even_down(std::min(attr.imgIn.y, src.height - 2));
    const uint32_t cw = even_down(std::clamp(attr.imgIn.width, 2u, src.width - cx));
    const uint32_t ch = even_down(std::clamp(attr.imgIn.height, 2u, src.height - cy));
    const uint32_t ow = even_down(std::clamp(attr.imgOut.width, 2u, 8192u));
    const uint32_t oh = even_down(std::clamp(attr.imgOut.height, 2u, 8192u));
    *out = in;
    out->modId = RK_MOD_RGA;
    out->chnId = chn_;
    if (cx == 0 && cy == 0 && cw == src.width && ch == src.height && ow == src.width &&
        oh == src.height) {
        return true;  // nothing to change: the picture passes as it is
    }
    out->data = pool_->acquire(size_t{ow} * oh * 3 / 2);
    if (!out->data) {
        drops.drop("no free buffer");
        return false;
    }
    if (sws_ == nullptr || swsKey_[0] != cw || swsKey_[1] != ch || swsKey_[2] != ow ||
        swsKey_[3] != oh) {
        sws_freeContext(sws_);
        sws_ = sws_getContext(static_cast<int>(cw), static_cast<int>(ch), AV_PIX_FMT_NV12,
                              static_cast<int>(ow), static_cast<int>(oh), AV_PIX_FMT_NV12,
                              SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
        swsKey_[0] = cw;
        swsKey_[1] = ch;
        swsKey_[2] = ow;
        swsKey_[3] = oh;
    }
    if (sws_ == nullptr) return false;
    const uint8_t* base = in.ptr();
    const uint8_t* srcData[4] = {
        base + size_t{cy} * src.horStride + cx,
        base + size_t{src.horStride} * src.verStride + size_t{cy / 2} * src.horStride + cx, nullptr,
        nullptr};
    const int srcLines[4] = {static_cast<int>(src.horStride), static_cast<int>(src.horStride), 0,
                             0};
    uint8_t* dst = out->data->block.ptr;
    uint8_t* dstData[4] = {dst, dst + size_t{ow} * oh, nullptr, nullptr};
    const int dstLines[4] = {static_cast<int>(ow), static_cast<int>(ow), 0, 0};
    sws_scale(sws_, srcData, srcLines, 0, static_cast<int>(ch), dstData, dstLines);
    out->size = size_t{ow} * oh * 3 / 2;
    out->image = RkMbImageInfo{ow, oh, ow, oh,
                               attr.imgOut.imageType != 0 ? attr.imgOut.imageType : src.imageType};
    return true;
}

void RgaChn::run() {
    for (;;) {
        Frame in;
        RkRgaAttr attr;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stop_ || !in_.empty(); });
            if (stop_) return;
            in = std::move(in_.front());
            in_.pop_front();
            attr = attr_;  // new attributes apply from the next picture on
        }
        Frame out;
        if (!process(in, attr, &out)) continue;
        in = Frame{};
        for (const auto& sink : sinks_of(RK_MOD_RGA, 0, chn_)) {
            if (sink->wants_frame()) sink->push(out);
        }
        if (queue.has_room()) queue.push(out);
    }
}

// ---- Encoder channel ------------------------------------------------------------------

VencChn::VencChn(int32_t chn, const RkVencChnAttr& attr)
    : out(kMaxPending, true, true),
      drops("venc chn " + std::to_string(chn)),
      chn_(chn),
      attr_(attr),
      rc_{1, 2, 26, 4, 48, 8, 48, 8},
      pool_(MbPool::create(0, 8)) {}

VencChn::~VencChn() {
    shutdown();
}

void VencChn::start() {
    worker_ = std::thread([this] { run(); });
    name_thread(worker_, "venc", chn_);
}

void VencChn::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        in_.clear();
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    out.close();
}

bool VencChn::wants_frame() {
    std::lock_guard lock(mutex_);
    if (stop_ || recvLeft_ == 0) return false;
    if (in_.size() >= kInputDepth || in_.size() + out.size() >= kMaxPending) {
        drops.drop(in_.size() >= kInputDepth ? "encoder busy" : "output not taken");
        return false;
    }
    return true;
}

bool VencChn::take_locked(const Frame& frame) {
    if (stop_ || recvLeft_ == 0) return false;
    if (in_.size() >= kInputDepth) {
        drops.drop("encoder busy");
        return false;
    }
    // A target frame rate below the source's keeps only that share of pictures.
    const RkVencRcAttr& rc = attr_.rcAttr;
    if (rc.srcFrameRateNum != 0 && rc.dstFrameRateNum != 0 && rc.srcFrameRateDen != 0 &&
        rc.dstFrameRateDen != 0) {
        const double share = (static_cast<double>(rc.dstFrameRateNum) / rc.dstFrameRateDen) /
                             (static_cast<double>(rc.srcFrameRateNum) / rc.srcFrameRateDen);
        if (share < 1.0) {
            rateAcc_ += share;
            if (rateAcc_ < 1.0) return false;
            rateAcc_ -= 1.0;
        }
    }
    in_.push_back(frame);
    if (recvLeft_ > 0) --recvLeft_;
    return true;
}

void VencChn::push(const Frame& frame) {
    bool taken;
    {
        std::lock_guard lock(mutex_);
        taken = take_locked(frame);
    }
    if (taken) cv_.notify_one();
}

int32_t VencChn::send(const Frame& frame) {
    std::unique_lock lock(mutex_);
    if (recvLeft_ == 0) return RK_ERR_NOT_PERM;
    cv_.wait_for(lock, std::chrono::seconds(1), [&] { return stop_ || in_.size() < kInputDepth; });
    if (stop_) return RK_ERR_UNEXIST;
    if (in_.size() >= kInputDepth) {
        drops.drop("encoder busy");
        return RK_ERR_BUSY;
    }
    const bool taken = take_locked(frame);
    lock.unlock();
    if (taken) cv_.notify_all();
    return RK_SUCCESS;
}

int32_t VencChn::set_recv(int32_t count) {
    if (count < RK_VENC_RECV_UNLIMITED) return RK_ERR_ILLEGAL_PARAM;
    std::lock_guard lock(mutex_);
    recvLeft_ = count;
    return RK_SUCCESS;
}

void VencChn::request_idr() {
    std::lock_guard lock(mutex_);
    idr_ = true;
}

RkVencChnStatus VencChn::status() {
    RkVencChnStatus st{};
    std::lock_guard lock(mutex_);
    st.pendingPics = static_cast<uint32_t>(out.size());
    st.leftRecvPics = static_cast<int32_t>(recvLeft_);
    st.droppedPics = static_cast<uint32_t>(drops.total());
    return st;
}

int32_t VencChn::set_jpeg_quality(uint32_t quality) {
    if (quality < 1 || quality > 99) return RK_ERR_ILLEGAL_PARAM;
    std::lock_guard lock(mutex_);
    if (attr_.vencAttr.codec != RK_CODEC_JPEG && attr_.vencAttr.codec != RK_CODEC_MJPEG)
        return RK_ERR_NOT_PERM;
    jpegQuality_ = quality;
    reopen_ = true;
    return RK_SUCCESS;
}

RkVencRcParam VencChn::rc_param() {
    std::lock_guard lock(mutex_);
    return rc_;
}

int32_t VencChn::set_rc_param(const RkVencRcParam& param) {
    if (param.maxQp > 51 || param.minQp > param.maxQp || param.maxIQp > 51 ||
        param.minIQp > param.maxIQp) {
        return RK_ERR_ILLEGAL_PARAM;
    }
    std::lock_guard lock(mutex_);
    if (attr_.vencAttr.codec != RK_CODEC_H264 && attr_.vencAttr.codec != RK_CODEC_H265)
        return RK_ERR_NOT_PERM;
    rc_ = param;
    reopen_ = true;  // the QP limits apply from the next key frame on
    return RK_SUCCESS;
}

int32_t VencChn::set_bitrate(uint32_t bitrate) {
    if (bitrate == 0) return RK_ERR_ILLEGAL_PARAM;
    std::lock_guard lock(mutex_);
    if (attr_.vencAttr.codec == RK_CODEC_JPEG) return RK_ERR_NOT_PERM;
    attr_.rcAttr.bitRate = bitrate;
    bitrateChanged_ = true;
    return RK_SUCCESS;
}

RkVencChnAttr VencChn::attr() {
    std::lock_guard lock(mutex_);
    return attr_;
}

void VencChn::set_callback(RkOutCbFunc cb) {
    std::lock_guard lock(mutex_);
    cb_ = cb;
}

EncoderSettings VencChn::settings_locked() const {
    EncoderSettings s;
    const RkVencTypeAttr& v = attr_.vencAttr;
    s.codec = v.codec;
    s.width = v.picWidth;
    s.height = v.picHeight;
    s.outWidth = v.codecAttr.outWidth;
    s.outHeight = v.codecAttr.outHeight;
    s.profile = v.profile;
    s.gop = attr_.rcAttr.gop != 0 ? attr_.rcAttr.gop : attr_.gopAttr.gopSize;
    s.fpsNum = attr_.rcAttr.dstFrameRateNum;
    s.fpsDen = attr_.rcAttr.dstFrameRateDen;
    s.bitrate = attr_.rcAttr.bitRate;
    s.jpegQuality = jpegQuality_;
    s.rc = rc_;
    return s;
}

void VencChn::deliver(std::vector<EncodedPicture>* pics) {
    RkOutCbFunc cb;
    {
        std::lock_guard lock(mutex_);
        cb = cb_;
    }
    for (EncodedPicture& pic : *pics) {
        PtsInfo info{pic.pts, 0, 0};
        while (!ptsInfo_.empty() && ptsInfo_.front().pts <= pic.pts) {
            info = ptsInfo_.front();
            ptsInfo_.pop_front();
        }
        Frame frame;
        frame.data = pool_->acquire(pic.bytes.size());
        if (!frame.data) {
            drops.drop("no memory for output");
            continue;
        }
        memcpy(frame.data->block.ptr, pic.bytes.data(), pic.bytes.size());
        frame.size = pic.bytes.size();
        frame.modId = RK_MOD_VENC;
        frame.chnId = chn_;
        frame.timestampUs = info.timestampUs;
        frame.frameNo = info.frameNo;
        frame.keyFrame = pic.key;
        if (cb != nullptr) {
            cb(mb_make_handle(frame));
        } else {
            out.push(frame);
        }
    }
    pics->clear();
}

void VencChn::drain() {
    std::vector<EncodedPicture> pics;
    enc_.drain(&pics);
    deliver(&pics);
}

void VencChn::run() {
    std::vector<EncodedPicture> pics;
    for (;;) {
        Frame frame;
        bool idr = false, reopen = false, bitrateChanged = false;
        EncoderSettings settings;
        {
            std::unique_lock lock(mutex_);
            auto ready = [&] { return stop_ || !in_.empty(); };
            if (enc_.in_flight() > 0) {
                // Pictures held inside the encoder come out when the input pauses.
                const uint32_t fps = std::max(1u, attr_.rcAttr.dstFrameRateNum);
                const auto idle = std::chrono::milliseconds(std::max(200u, 3000u / fps));
                if (!cv_.wait_for(lock, idle, ready)) {
                    lock.unlock();
                    drain();
                    continue;
                }
            } else {
                cv_.wait(lock, ready);
            }
            if (stop_) break;
            frame = std::move(in_.front());
            in_.pop_front();
            std::swap(idr, idr_);
            std::swap(reopen, reopen_);
            std::swap(bitrateChanged, bitrateChanged_);
            settings = settings_locked();
        }
        cv_.notify_all();  // a sender may wait for room
        if (enc_.is_open() && (reopen || (bitrateChanged && !enc_.set_bitrate(settings.bitrate))))
            drain();
        if (!enc_.is_open() && enc_.open(settings) != 0) {
            drops.drop("encoder cannot open");
            continue;
        }
        const int64_t pts = nextPts_++;
        ptsInfo_.push_back(PtsInfo{pts, frame.timestampUs, frame.frameNo});
        if (enc_.encode(frame, idr, pts, &pics) != 0) {
            ptsInfo_.pop_back();
            drops.drop("picture not encodable");
        }
        frame = Frame{};
        deliver(&pics);
    }
    enc_.close();
    ptsInfo_.clear();
}

}  // namespace vsim
