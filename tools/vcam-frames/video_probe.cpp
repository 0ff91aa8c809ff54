#include "video_probe.h"

#include <cstddef>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "vcam.h"

VideoProbe probe_video(const std::string& path, bool decode, bool keepLastLuma) {
    VideoProbe probe;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) return probe;
    if (avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return probe;
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        avformat_close_input(&format);
        return probe;
    }
    const AVStream* stream = format->streams[index];
    probe.opened = true;
    probe.codec = avcodec_get_name(stream->codecpar->codec_id);
    probe.width = stream->codecpar->width;
    probe.height = stream->codecpar->height;
    probe.timeBaseNum = stream->time_base.num;
    probe.timeBaseDen = stream->time_base.den;

    AVCodecContext* codec = nullptr;
    if (decode) {
        const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
        codec = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(codec, stream->codecpar);
        if (avcodec_open2(codec, decoder, nullptr) != 0) avcodec_free_context(&codec);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            probe.frameNumbers.push_back(vcam_read_frame_number(
                frame->data[0], static_cast<uint32_t>(frame->linesize[0]),
                static_cast<uint32_t>(frame->width), static_cast<uint32_t>(frame->height)));
            if (keepLastLuma) {
                probe.lastLuma.resize(static_cast<size_t>(frame->width) * frame->height);
                for (int y = 0; y < frame->height; ++y) {
                    memcpy(&probe.lastLuma[static_cast<size_t>(y) * frame->width],
                           frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                           static_cast<size_t>(frame->width));
                }
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) == 0) {
        if (packet->stream_index == index) {
            probe.durations.push_back(packet->duration);
            probe.keyFlags.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            if (codec != nullptr && avcodec_send_packet(codec, packet) == 0) drain();
        }
        av_packet_unref(packet);
    }
    if (codec != nullptr) {
        avcodec_send_packet(codec, nullptr);
        drain();
        avcodec_free_context(&codec);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    return probe;
}
