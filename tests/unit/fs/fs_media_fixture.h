// Small media fixtures made in the test: H.264 access units from libx264,
// written into MP4 files with the recorder's own writer, raw byte streams,
// JPEG pictures and a PCM-only WAV file; and a JPEG reader for checking
// thumbnails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "mp4/mp4_writer.h"

namespace fs_fixture {

using Bytes = std::vector<uint8_t>;

// One picture: the luma of its left and right halves (neutral chroma), and
// whether it must be coded as an IDR picture.
struct Paint {
    uint8_t left;
    uint8_t right;
    bool key;
};

inline void paint(AVFrame* pic, const Paint& p) {
    for (int y = 0; y < pic->height; ++y) {
        uint8_t* row = pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0];
        memset(row, p.left, static_cast<size_t>(pic->width / 2));
        memset(row + pic->width / 2, p.right, static_cast<size_t>(pic->width - pic->width / 2));
    }
    for (int plane = 1; plane < 3; ++plane) {
        const int rows = pic->height >> 1;
        for (int y = 0; y < rows; ++y) {
            memset(pic->data[plane] + static_cast<ptrdiff_t>(y) * pic->linesize[plane], 128,
                   static_cast<size_t>(pic->width >> 1));
        }
    }
}

// A picture of the given size and format with its buffers, painted like
// `p` (4:2:0 chroma neutral) and time stamp 0; null when it cannot be made.
inline AVFrame* new_picture(int width, int height, AVPixelFormat format, const Paint& p) {
    AVFrame* pic = av_frame_alloc();
    if (pic == nullptr) return nullptr;
    pic->format = format;
    pic->width = width;
    pic->height = height;
    pic->pts = 0;
    if (av_frame_get_buffer(pic, 0) < 0) {
        av_frame_free(&pic);
        return nullptr;
    }
    paint(pic, p);
    return pic;
}

// Paints picture `index` into a YUV 4:2:0 frame; returns whether it must be
// coded as an IDR picture.
using Painter = std::function<bool(AVFrame* pic, size_t index)>;

// Annex B access units (SPS and PPS in front of every IDR picture, no SEI),
// one per painted picture, in coding order (no B pictures). Empty when
// libx264 is not available.
inline std::vector<Bytes> encode_h264(int width, int height, size_t count, const Painter& painter) {
    std::vector<Bytes> out;
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return out;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 30};
    c->gop_size = 250;
    c->max_b_frames = 0;
    c->thread_count = 1;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "forced-idr", "1", 0);
    av_dict_set(&opts, "x264-params", "repeat-headers=1:aud=0:scenecut=0:bframes=0", 0);
    const int opened = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    AVFrame* pic = new_picture(width, height, AV_PIX_FMT_YUV420P, {0, 0, false});
    AVPacket* pkt = av_packet_alloc();
    const bool ready = opened >= 0 && pic != nullptr;
    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            Bytes au;
            for (const Mp4WNal& nal : MP4W_SplitNals({pkt->data, static_cast<size_t>(pkt->size)})) {
                if (nal.type == 6 || nal.size == 0) continue;
                au.insert(au.end(), {0, 0, 0, 1});
                au.insert(au.end(), nal.data, nal.data + nal.size);
            }
            out.push_back(std::move(au));
            av_packet_unref(pkt);
        }
    };
    for (size_t i = 0; ready && i < count; ++i) {
        av_frame_make_writable(pic);
        const bool key = painter(pic, i);
        pic->pts = static_cast<int64_t>(i);
        pic->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        avcodec_send_frame(c, pic);
        drain();
    }
    if (ready) {
        avcodec_send_frame(c, nullptr);
        drain();
    }
    av_packet_free(&pkt);
    av_frame_free(&pic);
    avcodec_free_context(&c);
    return out;
}

inline std::vector<Bytes> encode_h264(int width, int height, const std::vector<Paint>& pictures) {
    return encode_h264(width, height, pictures.size(), [&](AVFrame* pic, size_t i) {
        paint(pic, pictures[i]);
        return pictures[i].key;
    });
}

inline bool is_idr(const Bytes& au) {
    for (const Mp4WNal& nal : MP4W_SplitNals(au)) {
        if (nal.type == 5) return true;
    }
    return false;
}

// Writes `aus` as an MP4 file with the recorder's writer: a track of the
// given time scale where every sample lasts `sampleDuration`, samples marked
// as sync exactly when they hold an IDR picture. The SPS and PPS are taken
// from the first access unit that has them.
inline bool write_mp4(const std::string& path, int width, int height, const std::vector<Bytes>& aus,
                      uint32_t timeScale, uint32_t sampleDuration) {
    const Mp4WNal* sps = nullptr;
    const Mp4WNal* pps = nullptr;
    std::vector<std::vector<Mp4WNal>> split;
    for (const Bytes& au : aus) split.push_back(MP4W_SplitNals(au));
    for (const auto& nals : split) {
        for (const Mp4WNal& nal : nals) {
            if (nal.type == 7 && sps == nullptr) sps = &nal;
            if (nal.type == 8 && pps == nullptr) pps = &nal;
        }
    }
    if (sps == nullptr || pps == nullptr) return false;
    uint8_t profile = 0, constraints = 0, level = 0;
    if (MP4W_SpsIndication(sps->data, sps->size, &profile, &constraints, &level) != 0) return false;
    // The writer never replaces an existing recording; a fixture rewrites its file.
    std::remove(path.c_str());
    Mp4WFile* f = MP4W_Create(path.c_str());
    if (f == nullptr) return false;
    bool ok = MP4W_SetTimeScale(f, timeScale) == 0;
    const uint32_t track =
        MP4W_AddH264VideoTrack(f, timeScale, sampleDuration, static_cast<uint16_t>(width),
                               static_cast<uint16_t>(height), profile, constraints, level, 3);
    ok =
        ok && track != MP4W_INVALID_TRACK_ID &&
        MP4W_AddH264SequenceParameterSet(f, track, sps->data, static_cast<uint16_t>(sps->size)) ==
            0 &&
        MP4W_AddH264PictureParameterSet(f, track, pps->data, static_cast<uint16_t>(pps->size)) == 0;
    for (size_t i = 0; ok && i < split.size(); ++i) {
        Bytes sample;
        bool sync = false;
        for (const Mp4WNal& nal : split[i]) {
            if (nal.type == 7 || nal.type == 8 || nal.type == 9) continue;
            sync = sync || nal.type == 5;
            const uint32_t n = nal.size;
            sample.insert(sample.end(),
                          {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
            sample.insert(sample.end(), nal.data, nal.data + nal.size);
        }
        ok = MP4W_WriteSample(f, track, sample.data(), static_cast<uint32_t>(sample.size()),
                              sync) == 0;
    }
    return MP4W_Close(f) == 0 && ok;
}

inline bool write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

// A mono 16-bit PCM WAV file of `samples` silent samples at 8000 Hz.
inline bool write_wav(const std::string& path, uint32_t samples) {
    const uint32_t data = samples * 2;
    Bytes b;
    auto text = [&](const char* s) { b.insert(b.end(), s, s + 4); };
    auto le = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    text("RIFF");
    le(36 + data, 4);
    text("WAVE");
    text("fmt ");
    le(16, 4);
    le(1, 2);      // PCM
    le(1, 2);      // mono
    le(8000, 4);   // sample rate
    le(16000, 4);  // byte rate
    le(2, 2);      // block align
    le(16, 2);     // bits per sample
    text("data");
    le(data, 4);
    b.resize(b.size() + data, 0);
    return write_bytes(path, b);
}

// A JPEG picture of the given size and pixel format, painted like Paint; the
// blue-difference plane holds `cb`, the red-difference plane `crTop` in the
// upper half of the picture and `crBottom` in the lower half.
inline Bytes encode_jpeg(int width, int height, AVPixelFormat format, const Paint& p, uint8_t cb,
                         uint8_t crTop, uint8_t crBottom) {
    Bytes out;
    const AVCodec* codec = avcodec_find_encoder_by_name("mjpeg");
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = width;
    c->height = height;
    c->pix_fmt = format;
    c->time_base = AVRational{1, 1};
    AVFrame* pic = new_picture(width, height, format, p);
    AVPacket* pkt = av_packet_alloc();
    if (pic != nullptr && avcodec_open2(c, codec, nullptr) >= 0) {
        const int chromaRows = format == AV_PIX_FMT_YUVJ420P ? height / 2 : height;
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < chromaRows; ++y) {
                const uint8_t cr = y < chromaRows / 2 ? crTop : crBottom;
                memset(pic->data[plane] + static_cast<ptrdiff_t>(y) * pic->linesize[plane],
                       plane == 1 ? cb : cr, static_cast<size_t>(pic->linesize[plane]));
            }
        }
        if (avcodec_send_frame(c, pic) >= 0 && avcodec_receive_packet(c, pkt) >= 0) {
            out.assign(pkt->data, pkt->data + pkt->size);
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&pic);
    avcodec_free_context(&c);
    return out;
}

// A decoded JPEG: size, pixel format and the mean of a rectangle of a plane.
struct Picture {
    int width = 0;
    int height = 0;
    int format = -1;
    std::vector<Bytes> planes;
    std::vector<int> strides;

    double mean(int plane, int x0, int y0, int x1, int y1) const {
        double sum = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x)
                sum += planes[plane][static_cast<size_t>(y * strides[plane] + x)];
        }
        return sum / ((x1 - x0) * (y1 - y0));
    }
};

inline Bytes read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Decodes the JPEG at `path`; width 0 when it is not a JPEG.
inline Picture decode_jpeg(const std::string& path) {
    Picture out;
    Bytes bytes = read_bytes(path);
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = bytes.data();
    pkt->size = static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    if (avcodec_open2(c, codec, nullptr) >= 0 && avcodec_send_packet(c, pkt) >= 0 &&
        avcodec_receive_frame(c, f) >= 0) {
        out.width = f->width;
        out.height = f->height;
        out.format = f->format;
        for (int plane = 0; plane < 3; ++plane) {
            const int rows =
                plane == 0 || f->format != AV_PIX_FMT_YUVJ420P ? f->height : f->height / 2;
            out.planes.emplace_back(f->data[plane], f->data[plane] + rows * f->linesize[plane]);
            out.strides.push_back(f->linesize[plane]);
        }
    }
    pkt->data = nullptr;
    pkt->size = 0;
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&c);
    return out;
}

}  // namespace fs_fixture
