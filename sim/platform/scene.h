// The virtual sensor's scene: a textured background that scrolls, a target
// moving on a known path, a landing-pad marker and the frame number as a row
// of black and white blocks in the top rows. Everything depends only on the
// frame number and is defined in picture-relative coordinates, so every
// channel size shows the same scene.
#pragma once

#include <cstdint>
#include <vector>

namespace vsim {

// Look of the scene as the ISP model sets it.
struct SceneLook {
    float brightness = 1.0f;  // luma gain of the scene (the pattern is not affected)
    int uOffset = 0;          // chroma shift of a mismatched white balance
    int vOffset = 0;
    bool operator==(const SceneLook&) const = default;
};

// A box in picture-relative coordinates (centre and size, 0..1).
struct SceneBox {
    double cx;
    double cy;
    double w;
    double h;
};

// A box in pixels of a picture of a given size.
struct PixelBox {
    uint32_t x;
    uint32_t y;
    uint32_t w;
    uint32_t h;
};

SceneBox scene_target_box(uint32_t frameNo);
// The pad is square in pixels, so its relative size depends on the aspect.
SceneBox scene_pad_box(uint32_t frameNo, uint32_t width, uint32_t height);
PixelBox scene_to_pixels(const SceneBox& box, uint32_t width, uint32_t height);

// Frame-number pattern.
inline constexpr uint32_t kPatternCells = 32;
inline constexpr uint8_t kPatternWhite = 235;
inline constexpr uint8_t kPatternBlack = 16;
uint32_t pattern_band_rows(uint32_t height);
uint32_t pattern_word(uint32_t frameNo);
// Writes the pattern of frameNo into the top rows of an NV12 luma plane (the
// chroma of those rows is set neutral separately by the renderer).
void pattern_write(uint8_t* luma, uint32_t stride, uint32_t width, uint32_t height,
                   uint32_t frameNo);
// Reads the frame number (its low 24 bits) back; -1 when the check fails.
int64_t pattern_read(const uint8_t* luma, uint32_t stride, uint32_t width, uint32_t height);

// Renders NV12 pictures of one size (keeps the texture of that size).
class SceneRenderer {
public:
    // Renders frame frameNo into dst: luma rows of `stride` bytes, then the
    // interleaved chroma plane at dst + stride * height. Without `padShown`
    // the landing pad is out of view.
    void render(uint32_t frameNo, const SceneLook& look, uint32_t width, uint32_t height,
                uint32_t stride, uint8_t* dst, bool padShown = true);

private:
    void build_base(uint32_t width, uint32_t height);
    void apply_look(const SceneLook& look);

    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<uint8_t> base_;  // NV12 texture at brightness 1
    std::vector<uint8_t> tex_;   // the texture with the current look
    SceneLook look_{};
    bool lookValid_ = false;
};

}  // namespace vsim
