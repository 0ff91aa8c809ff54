#include "encoder.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vsim {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// The encoders' own chatter (version banners, statistics) stays off the
// board's console; errors still show.
void quiet_libav() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
}

bool drop_nal(int32_t codec, uint8_t header) {
    if (codec == RK_CODEC_H264) {
        const uint8_t type = header & 0x1F;
        return type == 6 || type == 9 || type == 12;  // SEI, AUD, filler
    }
    const uint8_t type = (header >> 1) & 0x3F;
    return type == 35 || type == 38 || type == 39 || type == 40;  // AUD, filler, SEI prefix/suffix
}

bool key_nal(int32_t codec, uint8_t header) {
    if (codec == RK_CODEC_H264) return (header & 0x1F) == 5;
    const uint8_t type = (header >> 1) & 0x3F;
    return type >= 16 && type <= 21;
}

void release_frame_ref(void* opaque, uint8_t* data) {
    (void)data;
    delete static_cast<std::shared_ptr<MbData>*>(opaque);
}

}  // namespace

// libx265 keeps a few small allocations of every encoder it opens until the
// process ends; the leak checker of sanitizer builds is told so.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}

bool annexb_normalise(int32_t codec, uint32_t profile, std::span<const uint8_t> in,
                      std::vector<uint8_t>* out) {
    bool key = false;
    const size_t n = in.size();
    size_t i = 0;
    // Start of the first NAL unit.
    auto next_start = [&](size_t from) -> size_t {
        for (size_t k = from; k + 2 < n; ++k) {
            if (in[k] == 0 && in[k + 1] == 0 && in[k + 2] == 1) return k;
        }
        return n;
    };
    i = next_start(0);
    while (i < n) {
        const size_t begin = i + 3;
        const size_t nextSc = next_start(begin);
        size_t end = nextSc;
        while (end > begin && in[end - 1] == 0) --end;  // zeros belong to the next start code
        if (end > begin && !drop_nal(codec, in[begin])) {
            const size_t at = out->size();
            out->insert(out->end(), std::begin(kStartCode), std::end(kStartCode));
            out->insert(out->end(), in.begin() + static_cast<std::ptrdiff_t>(begin),
                        in.begin() + static_cast<std::ptrdiff_t>(end));
            if (key_nal(codec, in[begin])) key = true;
            // A baseline-compatible stream announced as main profile, as asked.
            if (codec == RK_CODEC_H264 && (in[begin] & 0x1F) == 7 && end - begin > 1 &&
                profile == RK_H264_PROFILE_MAIN && in[begin + 1] == RK_H264_PROFILE_BASELINE) {
                (*out)[at + 5] = RK_H264_PROFILE_MAIN;
            }
        }
        i = nextSc;
    }
    return key;
}

Encoder::~Encoder() {
    close();
}

void Encoder::close() {
    avcodec_free_context(&ctx_);
    av_packet_free(&pkt_);
    sws_freeContext(sws_);
    sws_ = nullptr;
    swsSrcW_ = swsSrcH_ = 0;
    sent_ = received_ = 0;
    padCredit_ = 0;
}

int Encoder::open(const EncoderSettings& settings) {
    close();
    quiet_libav();
    s_ = settings;
    const bool jpeg = s_.codec == RK_CODEC_JPEG || s_.codec == RK_CODEC_MJPEG;
    const char* name = s_.codec == RK_CODEC_H264   ? "libx264"
                       : s_.codec == RK_CODEC_H265 ? "libx265"
                                                   : "mjpeg";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        sim_log("encoder %s not available", name);
        return -1;
    }
    ctx_ = avcodec_alloc_context3(codec);
    pkt_ = av_packet_alloc();
    if (ctx_ == nullptr || pkt_ == nullptr) {
        close();
        return -1;
    }
    const uint32_t fpsNum = s_.fpsNum != 0 ? s_.fpsNum : 30,
                   fpsDen = s_.fpsDen != 0 ? s_.fpsDen : 1;
    uint32_t width = s_.width, height = s_.height;
    if (s_.codec == RK_CODEC_JPEG && s_.outWidth != 0 && s_.outHeight != 0) {
        width = s_.outWidth;
        height = s_.outHeight;
    }
    ctx_->width = static_cast<int>(width);
    ctx_->height = static_cast<int>(height);
    ctx_->time_base = AVRational{static_cast<int>(fpsDen), static_cast<int>(fpsNum)};
    ctx_->framerate = AVRational{static_cast<int>(fpsNum), static_cast<int>(fpsDen)};
    ctx_->max_b_frames = 0;
    AVDictionary* opts = nullptr;
    if (!jpeg) {
        const uint32_t gop = s_.gop != 0 ? s_.gop : 2 * fpsNum / fpsDen;
        ctx_->gop_size = static_cast<int>(gop);
        ctx_->bit_rate = s_.bitrate;
        ctx_->rc_max_rate = s_.bitrate;
        ctx_->rc_buffer_size = static_cast<int>(std::min<uint32_t>(s_.bitrate, INT32_MAX));
        if (s_.rc.maxQp != 0) ctx_->qmax = static_cast<int>(std::min(s_.rc.maxQp, 51u));
        if (s_.rc.minQp != 0) ctx_->qmin = static_cast<int>(std::min(s_.rc.minQp, 51u));
        if (s_.rc.qpStep != 0) ctx_->max_qdiff = static_cast<int>(s_.rc.qpStep);
        // Frame threads (one slice per picture either way) keep large pictures
        // in real time on two cores; three overlap better than two. Small
        // pictures use one thread and come out without delay.
        ctx_->thread_count = width * height >= 1920u * 1080u ? 3 : 1;
        av_dict_set(&opts, "preset", "ultrafast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
        av_dict_set(&opts, "forced-idr", "1", 0);
        const std::string keyint = std::to_string(gop);
        if (s_.codec == RK_CODEC_H264) {
            ctx_->pix_fmt = AV_PIX_FMT_NV12;
            const char* profile = s_.profile == RK_H264_PROFILE_BASELINE ? "baseline"
                                  : s_.profile == RK_H264_PROFILE_HIGH   ? "high"
                                                                         : "main";
            av_dict_set(&opts, "profile", profile, 0);
            std::string params =
                "repeat-headers=1:aud=0:slices=1:sliced-threads=0:annexb=1:scenecut=0:keyint=" +
                keyint + ":min-keyint=" + keyint;
            if (s_.profile == RK_H264_PROFILE_HIGH) params += ":8x8dct=1";
            av_dict_set(&opts, "x264-params", params.c_str(), 0);
        } else {
            ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
            av_dict_set(&opts, "x265-params",
                        ("repeat-headers=1:info=0:aud=0:hrd=0:annexb=1:scenecut=0:log-level=error:"
                         "keyint=" +
                         keyint + ":min-keyint=" + keyint)
                            .c_str(),
                        0);
        }
    } else {
        ctx_->pix_fmt = AV_PIX_FMT_YUVJ420P;
        ctx_->flags |= AV_CODEC_FLAG_BITEXACT;
        if (s_.codec == RK_CODEC_MJPEG && s_.bitrate != 0) {
            ctx_->bit_rate = s_.bitrate;  // average rate; the picture size varies with the content
        } else {
            // Quality factor 99 gives quantiser 2 (best), 1 gives 31.
            const uint32_t q = std::clamp(s_.jpegQuality, 1u, 99u);
            ctx_->flags |= AV_CODEC_FLAG_QSCALE;
            ctx_->global_quality =
                static_cast<int>(FF_QP2LAMBDA * (2.0 + (99.0 - q) * 29.0 / 98.0));
        }
    }
    encFormat_ = ctx_->pix_fmt;
    const int ret = avcodec_open2(ctx_, codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) {
        char text[128];
        av_strerror(ret, text, sizeof text);
        sim_log("cannot open encoder %s at %ux%u: %s", name, width, height, text);
        close();
        return -1;
    }
    return 0;
}

bool Encoder::set_bitrate(uint32_t bitrate) {
    s_.bitrate = bitrate;
    if (ctx_ == nullptr || s_.codec != RK_CODEC_H264) return ctx_ == nullptr;
    // libx264 reconfigures its rate control when these change between pictures.
    ctx_->bit_rate = bitrate;
    ctx_->rc_max_rate = bitrate;
    ctx_->rc_buffer_size = static_cast<int>(std::min<uint32_t>(bitrate, INT32_MAX));
    return true;
}

int Encoder::encode(const Frame& in, bool forceKey, int64_t pts, std::vector<EncodedPicture>* out) {
    if (ctx_ == nullptr || !in.data || !in.isImage) return -1;
    const RkMbImageInfo& img = in.image;
    const size_t needed = size_t{img.horStride} * img.verStride * 3 / 2;
    if (img.width < 2 || img.height < 2 || in.data->block.capacity < needed) return -1;
    uint8_t* base = in.data->block.ptr;
    uint8_t* srcData[4] = {base, base + size_t{img.horStride} * img.verStride, nullptr, nullptr};
    int srcLines[4] = {static_cast<int>(img.horStride), static_cast<int>(img.horStride), 0, 0};

    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return -1;
    frame->format = encFormat_;
    frame->width = ctx_->width;
    frame->height = ctx_->height;
    const bool direct = encFormat_ == AV_PIX_FMT_NV12 &&
                        img.width == static_cast<uint32_t>(ctx_->width) &&
                        img.height == static_cast<uint32_t>(ctx_->height);
    if (direct) {
        // The encoder reads the platform's buffer itself; it holds a reference
        // to the block until it is done with the picture.
        frame->data[0] = srcData[0];
        frame->data[1] = srcData[1];
        frame->linesize[0] = srcLines[0];
        frame->linesize[1] = srcLines[1];
        auto* ref = new std::shared_ptr<MbData>(in.data);
        frame->buf[0] = av_buffer_create(base, in.data->block.capacity, release_frame_ref, ref,
                                         AV_BUFFER_FLAG_READONLY);
        if (frame->buf[0] == nullptr) {
            delete ref;
            av_frame_free(&frame);
            return -1;
        }
    } else {
        if (av_frame_get_buffer(frame, 0) < 0) {
            av_frame_free(&frame);
            return -1;
        }
        if (sws_ == nullptr || swsSrcW_ != img.width || swsSrcH_ != img.height) {
            sws_freeContext(sws_);
            sws_ = sws_getContext(static_cast<int>(img.width), static_cast<int>(img.height),
                                  AV_PIX_FMT_NV12, ctx_->width, ctx_->height,
                                  static_cast<AVPixelFormat>(encFormat_), SWS_FAST_BILINEAR,
                                  nullptr, nullptr, nullptr);
            swsSrcW_ = img.width;
            swsSrcH_ = img.height;
        }
        if (sws_ == nullptr) {
            av_frame_free(&frame);
            return -1;
        }
        sws_scale(sws_, srcData, srcLines, 0, static_cast<int>(img.height), frame->data,
                  frame->linesize);
    }
    frame->pts = pts;
    frame->quality = ctx_->global_quality;  // the fixed quantiser of the JPEG encoders
    if (forceKey) frame->pict_type = AV_PICTURE_TYPE_I;
    const int ret = avcodec_send_frame(ctx_, frame);
    av_frame_free(&frame);
    if (ret < 0) return -1;
    ++sent_;
    return receive(out);
}

int Encoder::receive(std::vector<EncodedPicture>* out) {
    for (;;) {
        const int ret = avcodec_receive_packet(ctx_, pkt_);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
        if (ret < 0) return -1;
        EncodedPicture pic;
        pic.pts = pkt_->pts;
        const std::span<const uint8_t> data(pkt_->data, static_cast<size_t>(pkt_->size));
        if (s_.codec == RK_CODEC_JPEG || s_.codec == RK_CODEC_MJPEG) {
            pic.bytes.assign(data.begin(), data.end());
            pic.key = true;
        } else {
            pic.bytes.reserve(data.size() + 16);
            pic.key = annexb_normalise(s_.codec, s_.profile, data, &pic.bytes);
            pad_to_bitrate(&pic.bytes, s_.bitrate, s_.fpsNum, s_.fpsDen, &padCredit_);
        }
        ++received_;
        av_packet_unref(pkt_);
        out->push_back(std::move(pic));
    }
}

size_t pad_to_bitrate(std::vector<uint8_t>* picture, uint32_t bitrate, uint32_t fpsNum,
                      uint32_t fpsDen, int64_t* credit) {
    if (picture == nullptr || credit == nullptr || picture->empty() || bitrate == 0 ||
        fpsNum == 0 || fpsDen == 0) {
        return 0;
    }
    const int64_t second = bitrate / 8;
    const int64_t share = second * fpsDen / fpsNum;
    *credit = std::clamp<int64_t>(*credit + share - static_cast<int64_t>(picture->size()), -second,
                                  second);
    const size_t words = *credit > 0 ? static_cast<size_t>(*credit / 3) : 0;
    const size_t old = picture->size();
    picture->resize(old + words * 3, 0);
    for (size_t i = 0; i < words; ++i) (*picture)[old + i * 3 + 2] = 3;
    *credit -= static_cast<int64_t>(words * 3);
    return words * 3;
}

void Encoder::drain(std::vector<EncodedPicture>* out) {
    if (ctx_ == nullptr) return;
    if (avcodec_send_frame(ctx_, nullptr) == 0) receive(out);
    close();
}

}  // namespace vsim
