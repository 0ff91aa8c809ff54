// One software encoder on libavcodec: H.264 (libx264), H.265 (libx265),
// JPEG and MJPEG. Takes NV12 pictures and gives encoded pictures in the
// form the platform promises: H.264/H.265 as Annex B with four-byte start
// codes, parameter sets before every IDR, no SEI, AUD or filler units; JPEG
// as complete images.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "mb.h"
#include "platform/media.h"

struct AVCodecContext;
struct AVPacket;
struct SwsContext;

namespace vsim {

struct EncoderSettings {
    int32_t codec = RK_CODEC_H264;
    uint32_t width = 0;  // picture size
    uint32_t height = 0;
    uint32_t outWidth = 0;  // JPEG output size (0: the picture size)
    uint32_t outHeight = 0;
    uint32_t profile = RK_H264_PROFILE_MAIN;
    uint32_t gop = 30;
    uint32_t fpsNum = 30;
    uint32_t fpsDen = 1;
    uint32_t bitrate = 0;
    uint32_t jpegQuality = 90;
    RkVencRcParam rc{};
};

struct EncodedPicture {
    std::vector<uint8_t> bytes;
    int64_t pts = 0;
    bool key = false;
};

class Encoder {
public:
    Encoder() = default;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder();

    int open(const EncoderSettings& settings);  // 0 or -1
    void close();
    bool is_open() const { return ctx_ != nullptr; }
    // Encodes one picture (scaled when its size differs); appends finished
    // pictures to out. 0 or -1.
    int encode(const Frame& in, bool forceKey, int64_t pts, std::vector<EncodedPicture>* out);
    // Gives out the pictures the encoder still holds and closes it.
    void drain(std::vector<EncodedPicture>* out);
    // Applies a new bitrate to the open encoder; false when it has to be
    // reopened for that.
    bool set_bitrate(uint32_t bitrate);
    // Pictures taken in but not given out yet.
    int64_t in_flight() const { return sent_ - received_; }

private:
    int receive(std::vector<EncodedPicture>* out);

    EncoderSettings s_{};
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    SwsContext* sws_ = nullptr;
    uint32_t swsSrcW_ = 0;
    uint32_t swsSrcH_ = 0;
    int encFormat_ = -1;  // AVPixelFormat of the encoder's input
    int64_t sent_ = 0;
    int64_t received_ = 0;
    int64_t padCredit_ = 0;  // bytes the constant bitrate still owes the stream
};

// Constant bitrate as a hardware encoder keeps it: a picture that comes out
// smaller than the bitrate's share is padded with cabac_zero_words (00 00 03)
// at the end of its last NAL unit, which decoders skip. `credit` carries what
// is owed (or overspent) from picture to picture, at most one second's worth
// either way. Returns the bytes appended.
size_t pad_to_bitrate(std::vector<uint8_t>* picture, uint32_t bitrate, uint32_t fpsNum,
                      uint32_t fpsDen, int64_t* credit);

// Rewrites an Annex B stream into the platform's form (see above); for H.264
// the SPS announces `profile` when the encoder chose a compatible lower one.
// Returns whether the picture holds an IDR/IRAP slice.
bool annexb_normalise(int32_t codec, uint32_t profile, std::span<const uint8_t> in,
                      std::vector<uint8_t>* out);

}  // namespace vsim
