// Thumbnails and media information with FFmpeg.
//
// A thumbnail is the file's first key frame, decoded alone, scaled to the
// requested size with bicubic filtering into full-range YUV 4:2:0 and written
// as a single MJPEG picture. The JPEG goes to a temporary file beside the
// output and is renamed into place only when complete, so that a failed or
// interrupted run never leaves a file that looks like a thumbnail.
#include "fs/thumbnail.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "core/trace_log.h"

// Trace with the "function(line:N) " prefix of this module.
#define THUMB_LOG(level, format, ...) \
    plr_trace_logf((level), "%s(line:%d) " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr AVPixelFormat kThumbFormat = AV_PIX_FMT_YUVJ420P;
constexpr int64_t kDurationRounding = 5000;  // microseconds added before cutting to seconds

std::string av_error_text(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

// Index of the first video stream, or -1.
int first_video_stream(const AVFormatContext* ic) {
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return static_cast<int>(i);
    }
    return -1;
}

// The decoder's picture is scaled as full-range 4:2:0 (the camera's streams
// and photos); pictures of another plane layout are read as what they are,
// since reading them as 4:2:0 would take the wrong planes.
AVPixelFormat scaler_source_format(int decoded) {
    const auto fmt = static_cast<AVPixelFormat>(decoded);
    if (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P) return kThumbFormat;
    return fmt;
}

// Everything one thumbnail run holds; released by the destructor on every path.
struct ThumbJob {
    AVFormatContext* in = nullptr;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* picture = nullptr;
    AVFrame* out = nullptr;
    SwsContext* sws = nullptr;

    ~ThumbJob() {
        sws_freeContext(sws);
        av_frame_free(&out);
        av_frame_free(&picture);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&in);
    }
};

// Opens the decoder of the stream's codec: 0, -22 or the failing step's code.
int open_decoder(ThumbJob* job, const AVStream* st) {
    const char* name = thumbnail_get_codec_name_by_id(st->codecpar->codec_id);
    const AVCodec* codec = name == nullptr ? nullptr : avcodec_find_decoder_by_name(name);
    if (codec == nullptr) {
        THUMB_LOG(PLR_LOG_E, "no decoder found");
        return AVERROR_DECODER_NOT_FOUND;
    }
    job->dec = avcodec_alloc_context3(codec);
    if (job->dec == nullptr) {
        THUMB_LOG(PLR_LOG_E, "Failed to allocate codec");
        return AVERROR(EINVAL);
    }
    int ret = avcodec_parameters_to_context(job->dec, st->codecpar);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Failed to copy codec parameters to codec context");
        return ret;
    }
    // One picture is decoded: a single thread gives it back without delay.
    job->dec->thread_count = 1;
    ret = avcodec_open2(job->dec, codec, nullptr);
    if (ret < 0) THUMB_LOG(PLR_LOG_E, "open decoder failed");
    return ret;
}

// Reads up to the first key packet of stream `index` into job->pkt: 0, or
// the read's code (AVERROR_EOF when the file has none).
int read_first_key_packet(ThumbJob* job, int index) {
    for (;;) {
        const int ret = av_read_frame(job->in, job->pkt);
        if (ret < 0) return ret;
        if (job->pkt->stream_index == index && (job->pkt->flags & AV_PKT_FLAG_KEY) != 0) return 0;
        av_packet_unref(job->pkt);
    }
}

// Decodes the key packet into job->picture: 0 or the failing step's code. A
// decoder that holds the picture back is drained, so that exactly this
// packet's picture comes out.
int decode_key_picture(ThumbJob* job) {
    int ret = avcodec_send_packet(job->dec, job->pkt);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Decode packet error with %d", ret);
        return ret;
    }
    ret = avcodec_receive_frame(job->dec, job->picture);
    if (ret == AVERROR(EAGAIN)) {
        avcodec_send_packet(job->dec, nullptr);
        ret = avcodec_receive_frame(job->dec, job->picture);
    }
    // A picture the decoder had to conceal is not the key frame's picture.
    if (ret >= 0 && (job->picture->decode_error_flags != 0 ||
                     (job->picture->flags & AV_FRAME_FLAG_CORRUPT) != 0)) {
        ret = AVERROR_INVALIDDATA;
    }
    if (ret < 0) THUMB_LOG(PLR_LOG_E, "Decode frame error with %d", ret);
    return ret;
}

// Scales the decoded picture into job->out: 0 or a negative code.
int scale_picture(ThumbJob* job) {
    const AVFrame* src = job->picture;
    if (src->width < 1 || src->height < 1) return AVERROR_INVALIDDATA;
    job->sws =
        sws_getContext(src->width, src->height, scaler_source_format(src->format), job->out->width,
                       job->out->height, kThumbFormat, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (job->sws == nullptr) {
        THUMB_LOG(PLR_LOG_E, "scaler for %dx%d format %d failed", src->width, src->height,
                  src->format);
        return AVERROR(EINVAL);
    }
    const int rows = sws_scale(job->sws, src->data, src->linesize, 0, src->height, job->out->data,
                               job->out->linesize);
    return rows > 0 ? 0 : AVERROR_EXTERNAL;
}

// Everything one JPEG write holds.
struct JpegJob {
    AVFormatContext* oc = nullptr;
    AVCodecContext* enc = nullptr;
    AVPacket* pkt = nullptr;

    ~JpegJob() {
        av_packet_free(&pkt);
        avcodec_free_context(&enc);
        if (oc != nullptr) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};

int write_jpeg(JpegJob* job, const AVFrame* frame, const char* path) {
    int ret = avformat_alloc_output_context2(&job->oc, nullptr, "mjpeg", path);
    if (ret < 0 || job->oc == nullptr) {
        THUMB_LOG(PLR_LOG_E, "Couldn't open output file.%s", path);
        return ret < 0 ? ret : AVERROR(ENOMEM);
    }
    ret = avio_open(&job->oc->pb, path, AVIO_FLAG_WRITE);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Couldn't open output file.%s", path);
        return ret;
    }
    AVStream* st = avformat_new_stream(job->oc, nullptr);
    if (st == nullptr) return AVERROR(ENOMEM);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = job->oc->oformat->video_codec;
    st->codecpar->format = frame->format;
    st->codecpar->width = frame->width;
    st->codecpar->height = frame->height;
    st->time_base = AVRational{1, 1};

    const AVCodec* codec = avcodec_find_encoder_by_name("mjpeg");
    if (codec == nullptr) {
        THUMB_LOG(PLR_LOG_E, "Could not find codec.");
        return AVERROR_ENCODER_NOT_FOUND;
    }
    job->enc = avcodec_alloc_context3(codec);
    if (job->enc == nullptr) {
        THUMB_LOG(PLR_LOG_E, "Failed to allocate codec");
        return AVERROR(EINVAL);
    }
    ret = avcodec_parameters_to_context(job->enc, st->codecpar);
    if (ret < 0) return ret;
    job->enc->time_base = AVRational{1, 1};
    ret = avcodec_open2(job->enc, codec, nullptr);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Could not open codec.");
        return ret;
    }
    ret = avformat_write_header(job->oc, nullptr);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "vformat_write_header.");
        return ret;
    }
    job->pkt = av_packet_alloc();
    if (job->pkt == nullptr) return AVERROR(ENOMEM);
    ret = avcodec_send_frame(job->enc, frame);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Encode Error.");
        return ret;
    }
    ret = avcodec_receive_packet(job->enc, job->pkt);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Got picture failed.");
        return ret;
    }
    job->pkt->stream_index = st->index;
    ret = av_write_frame(job->oc, job->pkt);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "Write Frame Error.");
        return ret;
    }
    ret = av_write_trailer(job->oc);
    if (ret < 0) return ret;
    return avio_closep(&job->oc->pb);
}

}  // namespace

const char* thumbnail_get_codec_name_by_id(int codecId) {
    switch (codecId) {
        case AV_CODEC_ID_H264:
            return "h264";
        case AV_CODEC_ID_HEVC:
            return "hevc";
        case AV_CODEC_ID_MJPEG:
            return "mjpeg";
        default:
            THUMB_LOG(PLR_LOG_E, "unsupported codec type.%d", codecId);
            return nullptr;
    }
}

int Frame2JPG(const AVFrame* frame, const char* output) {
    if (frame == nullptr || output == nullptr || frame->width < 1 || frame->height < 1) return -1;
    // Written beside the output and renamed into place once complete.
    const std::string part = std::string(output) + ".part";
    unlink(part.c_str());
    int ret;
    {
        JpegJob job;
        ret = write_jpeg(&job, frame, part.c_str());
    }
    if (ret >= 0 && rename(part.c_str(), output) != 0) ret = AVERROR(errno);
    if (ret < 0) {
        unlink(part.c_str());
        return ret;
    }
    return 0;
}

int thumbnail_generate(const char* input, const char* output, int width, int height) {
    if (input == nullptr || output == nullptr || width < 1 || height < 1 ||
        av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            nullptr) < 0) {
        return -1;
    }
    THUMB_LOG(PLR_LOG_D, "handle thumbnail for %s,out:%s", input, output);
    // An earlier output must not pass for this run's thumbnail.
    unlink(output);

    ThumbJob job;
    int ret = avformat_open_input(&job.in, input, nullptr, nullptr);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "open input file error,%s", av_error_text(ret).c_str());
        return -1;
    }
    ret = avformat_find_stream_info(job.in, nullptr);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "no streams found");
        return ret;
    }
    const int index = first_video_stream(job.in);
    if (index < 0) {
        THUMB_LOG(PLR_LOG_E, "no video stream");
        return AVERROR_STREAM_NOT_FOUND;
    }
    ret = open_decoder(&job, job.in->streams[index]);
    if (ret < 0) return ret;

    job.out = av_frame_alloc();
    job.picture = av_frame_alloc();
    job.pkt = av_packet_alloc();
    if (job.out == nullptr || job.picture == nullptr || job.pkt == nullptr) return AVERROR(ENOMEM);
    job.out->format = kThumbFormat;
    job.out->width = width;
    job.out->height = height;
    job.out->pts = 0;
    ret = av_frame_get_buffer(job.out, 1);
    if (ret < 0) return ret;

    ret = read_first_key_packet(&job, index);
    if (ret < 0) {
        THUMB_LOG(PLR_LOG_E, "no key frame in %s", input);
        return ret;
    }
    ret = decode_key_picture(&job);
    if (ret < 0) return ret;
    ret = scale_picture(&job);
    if (ret < 0) return ret;
    return Frame2JPG(job.out, output);
}

int thumbnail_format_duration(int64_t durationUs, char* dur, size_t durSize) {
    if (dur == nullptr || durSize < 1 || durationUs == AV_NOPTS_VALUE || durationUs < 0) return -1;
    if (durationUs <= INT64_MAX - kDurationRounding) durationUs += kDurationRounding;
    snprintf(dur, durSize, "%lld", static_cast<long long>(durationUs / AV_TIME_BASE));
    return 0;
}

int thumbnail_get_meta(const char* path, char* dur, size_t durSize, int* width, int* height) {
    if (path == nullptr || dur == nullptr || durSize < 1) return -1;
    AVFormatContext* ic = nullptr;
    const int ret = avformat_open_input(&ic, path, nullptr, nullptr);
    if (ret < 0) return ret;
    // Containers with a full header (MP4) give both answers at once; others
    // need a look at their streams.
    int index = first_video_stream(ic);
    if (ic->duration == AV_NOPTS_VALUE || index < 0 || ic->streams[index]->codecpar->width < 1) {
        avformat_find_stream_info(ic, nullptr);
        index = first_video_stream(ic);
    }
    if (thumbnail_format_duration(ic->duration, dur, durSize) == 0) {
        THUMB_LOG(PLR_LOG_D, "dur: %s", dur);
    } else {
        THUMB_LOG(PLR_LOG_D, "N/A");
    }
    if (index >= 0) {
        const AVCodecParameters* par = ic->streams[index]->codecpar;
        if (width != nullptr) *width = par->width;
        if (height != nullptr) *height = par->height;
        THUMB_LOG(PLR_LOG_D, "width:%d height:%d", par->width, par->height);
    }
    avformat_close_input(&ic);
    return 0;
}
