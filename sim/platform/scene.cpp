#include "scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vsim {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Scene colours (video-range YUV).
constexpr uint8_t kTargetY = 82, kTargetU = 90, kTargetV = 240;  // red
constexpr uint8_t kPadY = 48, kPadMarkY = 225;                   // dark pad, white H and rim
constexpr uint8_t kNeutral = 128;

uint32_t even_down(uint32_t v) {
    return v & ~1u;
}

uint8_t clamp_luma(double y) {
    return static_cast<uint8_t>(std::clamp(y, 16.0, 235.0));
}
uint8_t clamp_chroma(int c) {
    return static_cast<uint8_t>(std::clamp(c, 16, 240));
}
uint8_t lit(uint8_t y, const SceneLook& look) {
    return clamp_luma(16.0 + (y - 16.0) * look.brightness + 0.5);
}

// Background scroll of frame n in pixels of a picture of the given size.
uint32_t scroll_x(uint32_t frameNo, uint32_t width) {
    return even_down(static_cast<uint32_t>((uint64_t{frameNo} * 3u * width / 1000u) % width));
}
uint32_t scroll_y(uint32_t frameNo, uint32_t height) {
    return even_down(static_cast<uint32_t>((uint64_t{frameNo} * height / 1500u) % height));
}

}  // namespace

SceneBox scene_target_box(uint32_t frameNo) {
    const double n = frameNo;
    return SceneBox{0.5 + 0.3 * std::sin(kTwoPi * n / 360.0),
                    0.55 + 0.2 * std::sin(kTwoPi * n / 240.0 + 0.5), 0.08, 0.12};
}

SceneBox scene_pad_box(uint32_t frameNo, uint32_t width, uint32_t height) {
    const double n = frameNo;
    const double side = even_down(static_cast<uint32_t>(0.16 * height));
    return SceneBox{0.25 + 0.04 * std::cos(kTwoPi * n / 900.0),
                    0.72 + 0.04 * std::sin(kTwoPi * n / 900.0), side / width, side / height};
}

PixelBox scene_to_pixels(const SceneBox& box, uint32_t width, uint32_t height) {
    auto span = [](double centre, double size, uint32_t extent, uint32_t* start, uint32_t* len) {
        double lo = (centre - size / 2.0) * extent;
        double hi = (centre + size / 2.0) * extent;
        lo = std::clamp(lo, 0.0, static_cast<double>(extent));
        hi = std::clamp(hi, 0.0, static_cast<double>(extent));
        *start = even_down(static_cast<uint32_t>(lo + 0.5));
        const uint32_t end = even_down(static_cast<uint32_t>(hi + 0.5));
        *len = end > *start ? end - *start : 0;
    };
    PixelBox out{};
    span(box.cx, box.w, width, &out.x, &out.w);
    span(box.cy, box.h, height, &out.y, &out.h);
    return out;
}

uint32_t pattern_band_rows(uint32_t height) {
    return std::max(8u, even_down(height / 16u + 1u));
}

uint32_t pattern_word(uint32_t frameNo) {
    const uint32_t n = frameNo & 0xFFFFFFu;
    const uint32_t check = ((n >> 16) ^ (n >> 8) ^ n ^ 0x5Au) & 0xFFu;
    return (n << 8) | check;
}

void pattern_write(uint8_t* luma, uint32_t stride, uint32_t width, uint32_t height,
                   uint32_t frameNo) {
    const uint32_t rows = std::min(pattern_band_rows(height), height);
    const uint32_t cell = width / kPatternCells;
    const uint32_t word = pattern_word(frameNo);
    uint8_t* first = luma;
    memset(first, kNeutral, width);
    for (uint32_t i = 0; i < kPatternCells; ++i) {
        const bool one = ((word >> (kPatternCells - 1 - i)) & 1u) != 0;
        memset(first + i * cell, one ? kPatternWhite : kPatternBlack, cell);
    }
    for (uint32_t r = 1; r < rows; ++r) memcpy(luma + size_t{r} * stride, first, width);
}

int64_t pattern_read(const uint8_t* luma, uint32_t stride, uint32_t width, uint32_t height) {
    const uint32_t rows = pattern_band_rows(height);
    const uint32_t cell = width / kPatternCells;
    if (luma == nullptr || cell < 4 || rows > height) return -1;
    const uint32_t r0 = rows / 4, r1 = std::max(r0 + 1, rows * 3 / 4);
    uint32_t word = 0;
    for (uint32_t i = 0; i < kPatternCells; ++i) {
        const uint32_t c0 = i * cell + cell / 4, c1 = i * cell + cell * 3 / 4;
        uint64_t sum = 0;
        for (uint32_t r = r0; r < r1; ++r) {
            const uint8_t* row = luma + size_t{r} * stride;
            for (uint32_t c = c0; c < c1; ++c) sum += row[c];
        }
        const uint64_t mean = sum / (uint64_t{r1 - r0} * (c1 - c0));
        word = (word << 1) | (mean > 125 ? 1u : 0u);
    }
    const uint32_t n = word >> 8;
    if (pattern_word(n) != word) return -1;
    return n;
}

void SceneRenderer::build_base(uint32_t width, uint32_t height) {
    width_ = width;
    height_ = height;
    base_.assign(size_t{width} * height * 3 / 2, 0);
    std::vector<float> waveX(width);
    std::vector<uint32_t> coarseX(width), fineX(width);
    for (uint32_t x = 0; x < width; ++x) {
        const double u = static_cast<double>(x) / width;
        waveX[x] = static_cast<float>(std::sin(kTwoPi * 2.0 * u));
        coarseX[x] = static_cast<uint32_t>(u * 24.0);
        fineX[x] = static_cast<uint32_t>(u * 96.0);
    }
    for (uint32_t y = 0; y < height; ++y) {
        const double v = static_cast<double>(y) / height;
        const float waveY = static_cast<float>(std::cos(kTwoPi * 3.0 * v));
        const uint32_t coarseY = static_cast<uint32_t>(v * 14.0),
                       fineY = static_cast<uint32_t>(v * 54.0);
        uint8_t* row = base_.data() + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x) {
            float l = 118.0f + 34.0f * waveX[x] * waveY;
            l += ((coarseX[x] + coarseY) & 1u) != 0 ? 22.0f : -22.0f;
            l += ((fineX[x] + fineY) & 1u) != 0 ? 5.0f : -5.0f;
            row[x] = clamp_luma(l);
        }
    }
    uint8_t* chroma = base_.data() + size_t{width} * height;
    for (uint32_t y = 0; y < height / 2; ++y) {
        const double v = 2.0 * y / height;
        const int vBase = 128 + static_cast<int>(18.0 * std::cos(kTwoPi * 2.0 * v));
        uint8_t* row = chroma + size_t{y} * width;
        for (uint32_t x = 0; x + 1 < width; x += 2) {
            const double u = static_cast<double>(x) / width;
            row[x] = clamp_chroma(128 + static_cast<int>(18.0 * std::sin(kTwoPi * u)));
            row[x + 1] = clamp_chroma(
                vBase + (((coarseX[x] + static_cast<uint32_t>(v * 14.0)) & 1u) != 0 ? 6 : -6));
        }
    }
    lookValid_ = false;
}

void SceneRenderer::apply_look(const SceneLook& look) {
    std::array<uint8_t, 256> lumaLut{}, uLut{}, vLut{};
    for (int i = 0; i < 256; ++i) {
        lumaLut[i] = lit(static_cast<uint8_t>(i), look);
        uLut[i] = clamp_chroma(i + look.uOffset);
        vLut[i] = clamp_chroma(i + look.vOffset);
    }
    tex_.resize(base_.size());
    const size_t lumaSize = size_t{width_} * height_;
    for (size_t i = 0; i < lumaSize; ++i) tex_[i] = lumaLut[base_[i]];
    for (size_t i = lumaSize; i + 1 < base_.size(); i += 2) {
        tex_[i] = uLut[base_[i]];
        tex_[i + 1] = vLut[base_[i + 1]];
    }
    look_ = look;
    lookValid_ = true;
}

void SceneRenderer::render(uint32_t frameNo, const SceneLook& look, uint32_t width, uint32_t height,
                           uint32_t stride, uint8_t* dst, bool padShown) {
    if (width < 2 || height < 2 || dst == nullptr) return;
    width = even_down(width);
    height = even_down(height);
    if (width != width_ || height != height_) build_base(width, height);
    if (!lookValid_ || !(look == look_)) apply_look(look);

    const uint32_t band = std::min(pattern_band_rows(height), height);
    const uint32_t ox = scroll_x(frameNo, width), oy = scroll_y(frameNo, height);
    const uint8_t* texLuma = tex_.data();
    const uint8_t* texChroma = tex_.data() + size_t{width} * height;
    uint8_t* dstChroma = dst + size_t{stride} * height;

    // Background: each row is the texture row shifted by the scroll, wrapping.
    for (uint32_t y = band; y < height; ++y) {
        const uint8_t* src = texLuma + size_t{(y + oy) % height} * width;
        uint8_t* out = dst + size_t{y} * stride;
        memcpy(out, src + ox, width - ox);
        memcpy(out + (width - ox), src, ox);
    }
    for (uint32_t y = 0; y < height / 2; ++y) {
        uint8_t* out = dstChroma + size_t{y} * stride;
        if (y * 2 < band) {
            memset(out, kNeutral, width);
            continue;
        }
        const uint8_t* src = texChroma + size_t{(y + oy / 2) % (height / 2)} * width;
        memcpy(out, src + ox, width - ox);
        memcpy(out + (width - ox), src, ox);
    }

    // Landing pad: a dark square with a light rim and a light "H".
    const PixelBox pad = padShown
                             ? scene_to_pixels(scene_pad_box(frameNo, width, height), width, height)
                             : PixelBox{};
    const uint8_t padY = lit(kPadY, look), markY = lit(kPadMarkY, look);
    const uint32_t rim = std::max(2u, pad.w / 16);
    for (uint32_t r = 0; r < pad.h; ++r) {
        uint8_t* out = dst + size_t{pad.y + r} * stride + pad.x;
        const bool rimRow = r < rim || r + rim >= pad.h;
        const bool hRow = r >= pad.h / 5 && r < pad.h * 4 / 5;
        const bool barRow = r >= pad.h * 9 / 20 && r < pad.h * 11 / 20;
        for (uint32_t c = 0; c < pad.w; ++c) {
            const bool rimCol = c < rim || c + rim >= pad.w;
            const bool leg =
                (c >= pad.w / 4 && c < pad.w * 3 / 8) || (c >= pad.w * 5 / 8 && c < pad.w * 3 / 4);
            const bool bar = c >= pad.w / 4 && c < pad.w * 3 / 4;
            out[c] = (rimRow || rimCol || (hRow && leg) || (barRow && bar)) ? markY : padY;
        }
    }
    for (uint32_t r = 0; r < pad.h / 2; ++r)
        memset(dstChroma + size_t{pad.y / 2 + r} * stride + pad.x, kNeutral, pad.w);

    // Target: a red block.
    const PixelBox target = scene_to_pixels(scene_target_box(frameNo), width, height);
    const uint8_t targetY = lit(kTargetY, look);
    for (uint32_t r = 0; r < target.h; ++r)
        memset(dst + size_t{target.y + r} * stride + target.x, targetY, target.w);
    for (uint32_t r = 0; r < target.h / 2; ++r) {
        uint8_t* out = dstChroma + size_t{target.y / 2 + r} * stride + target.x;
        for (uint32_t c = 0; c + 1 < target.w; c += 2) {
            out[c] = kTargetU;
            out[c + 1] = kTargetV;
        }
    }

    pattern_write(dst, stride, width, height, frameNo);
}

}  // namespace vsim
