// Vision library of the simulated board. Like the camera board's library it
// takes its own pictures from VI channel 3 (640 x 360 NV12) and knows nothing
// of the scene: the tracker follows the box it was given by template matching
// on luma, and the detector looks for a landing-pad marker (a square with a
// light rim around a dark field) in each picture.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "internal.h"
#include "platform/media.h"
#include "platform/vision.h"
#include "vcam.h"

namespace {

constexpr int32_t kVisionChn = 3;
constexpr int32_t kImageWaitMs = 100;
constexpr uint64_t kStaleUs = 100000;  // a picture older than this is not current
constexpr int kW = PLR_DETRACK_IMG_WIDTH;
constexpr int kH = PLR_DETRACK_IMG_HEIGHT;
// The tracker works on a half-size luma picture.
constexpr int kHalfW = kW / 2;
constexpr int kHalfH = kH / 2;
constexpr int kMinBox = 4;       // smallest box side the tracker takes (pixels)
constexpr int kMaxSamples = 24;  // template samples per side at most
constexpr int kSearch = 20;      // search radius around the prediction (half-size pixels)
constexpr int kLostMad = 48;
constexpr uint8_t kMiddleWeight = 4;
constexpr int kChromaWeight = 2;    // mean difference per sample above which a match is poor
constexpr uint32_t kLostAfter = 8;  // poor matches in a row before the target is lost
constexpr uint32_t kLockAfter = 3;  // good matches before the track is confirmed
constexpr uint8_t kStateAcquire = 1;
constexpr uint8_t kStateLocked = 2;

using Luma = std::vector<uint8_t>;

// Takes the current picture of the vision stream: its full-size luma plane
// and, when asked for, its red-difference chroma (V) at half size. A picture
// that waited in the queue since long ago is not current: it is dropped for
// the next one.
bool grab_picture(Luma* luma, Luma* chromaV = nullptr) {
    MEDIA_BUFFER mb = nullptr;
    for (int tries = 0; tries < 2 && mb == nullptr; ++tries) {
        mb = RK_MPI_SYS_GetMediaBuffer(RK_MOD_VI, kVisionChn, kImageWaitMs);
        if (mb == nullptr) return false;
        if (vsim::now_us() - RK_MPI_MB_GetTimestamp(mb) > kStaleUs) {
            RK_MPI_MB_ReleaseBuffer(mb);
            mb = nullptr;
        }
    }
    if (mb == nullptr) return false;
    const auto* data = static_cast<const uint8_t*>(RK_MPI_MB_GetPtr(mb));
    const bool ok = data != nullptr && RK_MPI_MB_GetSize(mb) >= size_t{kW} * kH * 3 / 2;
    if (ok) {
        luma->assign(data, data + size_t{kW} * kH);
        if (chromaV != nullptr) {
            chromaV->resize(size_t{kHalfW} * kHalfH);
            const uint8_t* uv = data + size_t{kW} * kH;
            for (size_t i = 0; i < chromaV->size(); ++i) (*chromaV)[i] = uv[2 * i + 1];
        }
    }
    RK_MPI_MB_ReleaseBuffer(mb);
    return ok;
}

void half_size(const Luma& full, Luma* half) {
    half->resize(size_t{kHalfW} * kHalfH);
    for (int y = 0; y < kHalfH; ++y) {
        const uint8_t* r0 = full.data() + size_t{2u * y} * kW;
        const uint8_t* r1 = r0 + kW;
        uint8_t* out = half->data() + size_t{static_cast<unsigned>(y)} * kHalfW;
        for (int x = 0; x < kHalfW; ++x) {
            out[x] = static_cast<uint8_t>(
                (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 2) / 4);
        }
    }
}

// ---- tracker -------------------------------------------------------------------------

struct Tracker {
    bool tracking = false;
    // Box in half-size pixels; the template is sampled every `step` pixels.
    int x = 0, y = 0, w = 0, h = 0;
    int step = 1;
    int cols = 0, rows = 0;
    // Samples x 16 (fixed point, so that updates blend smoothly) of luma and
    // of the red-difference chroma, which sets a coloured subject apart from
    // a textured background moving behind it.
    std::vector<int> tmpl;
    std::vector<int> tmplV;
    // Weight of each sample: the middle of a box is on the subject, its rim
    // often on the background around it.
    std::vector<uint8_t> weight;
    uint32_t weightSum = 0;
    int vx = 0, vy = 0;  // last motion
    uint32_t good = 0;
    uint32_t poor = 0;
    uint32_t score = 0;
};

struct Vision {
    std::mutex mutex;  // everything below
    bool initialised = false;
    Tracker tracker;
    Luma luma;
    Luma half;
    Luma halfV;
    // Errors a test asked for: the next `failCount` tracking calls give `failCode`.
    int32_t failCode = 0;
    uint32_t failCount = 0;
};

Vision& vision() {
    static Vision* v = new Vision;
    return *v;
}

// Mean absolute difference of the template against the picture at (px, py),
// giving up once it exceeds `limit` (the sum).
uint32_t sad_at(const Tracker& t, const Luma& half, const Luma& halfV, int px, int py,
                uint32_t limit) {
    uint32_t sum = 0;
    const int* s = t.tmpl.data();
    const int* sv = t.tmplV.data();
    const uint8_t* wt = t.weight.data();
    for (int r = 0; r < t.rows; ++r) {
        const size_t at = size_t(py + r * t.step) * kHalfW + px;
        const uint8_t* row = half.data() + at;
        const uint8_t* rowV = halfV.data() + at;
        for (int c = 0; c < t.cols; ++c) {
            const int diff = std::abs(row[c * t.step] * 16 - *s++) +
                             kChromaWeight * std::abs(rowV[c * t.step] * 16 - *sv++);
            sum += *wt++ * static_cast<uint32_t>(diff);
        }
        if (sum > limit) return sum;
    }
    return sum;
}

void take_template(Tracker* t, const Luma& half, const Luma& halfV) {
    t->step = std::max(1, (std::max(t->w, t->h) + kMaxSamples - 1) / kMaxSamples);
    t->cols = std::max(1, (t->w + t->step - 1) / t->step);
    t->rows = std::max(1, (t->h + t->step - 1) / t->step);
    t->tmpl.resize(size_t(t->cols) * t->rows);
    t->tmplV.resize(t->tmpl.size());
    t->weight.resize(t->tmpl.size());
    t->weightSum = 0;
    for (int r = 0; r < t->rows; ++r) {
        for (int c = 0; c < t->cols; ++c) {
            const bool middle = std::abs(2 * c + 1 - t->cols) * 10 <= t->cols * 6 &&
                                std::abs(2 * r + 1 - t->rows) * 10 <= t->rows * 6;
            t->weight[size_t(r) * t->cols + c] = middle ? kMiddleWeight : 1;
            t->weightSum += middle ? kMiddleWeight : 1;
            const int sy = std::min(t->y + r * t->step, kHalfH - 1);
            const int sx = std::min(t->x + c * t->step, kHalfW - 1);
            t->tmpl[size_t(r) * t->cols + c] = half[size_t(sy) * kHalfW + sx] * 16;
            t->tmplV[size_t(r) * t->cols + c] = halfV[size_t(sy) * kHalfW + sx] * 16;
        }
    }
}

// Positions where the whole template fits.
int max_x(const Tracker& t) {
    return std::max(0, kHalfW - 1 - (t.cols - 1) * t.step);
}
int max_y(const Tracker& t) {
    return std::max(0, kHalfH - 1 - (t.rows - 1) * t.step);
}

// Finds the template near its predicted place: a coarse pass over every
// second position, then the neighbours of the best one. Returns the mean
// difference per sample (0..255).
uint32_t match(Tracker* t, const Luma& half, const Luma& halfV) {
    const int cx = std::clamp(t->x + t->vx, 0, max_x(*t));
    const int cy = std::clamp(t->y + t->vy, 0, max_y(*t));
    uint32_t best = UINT32_MAX;
    int bx = cx, by = cy;
    auto probe = [&](int px, int py) {
        if (px < 0 || py < 0 || px > max_x(*t) || py > max_y(*t)) return;
        const uint32_t sad = sad_at(*t, half, halfV, px, py, best);
        if (sad < best) {
            best = sad;
            bx = px;
            by = py;
        }
    };
    for (int dy = -kSearch; dy <= kSearch; dy += 2)
        for (int dx = -kSearch; dx <= kSearch; dx += 2) probe(cx + dx, cy + dy);
    const int rx = bx, ry = by;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) probe(rx + dx, ry + dy);
    t->vx = bx - t->x;
    t->vy = by - t->y;
    t->x = bx;
    t->y = by;
    return best / (16u * (1 + kChromaWeight) * t->weightSum);
}

// Lets the template follow slow changes of the target's look (light, scale
// of the background around it) while the match is good.
void blend_template(Tracker* t, const Luma& half, const Luma& halfV) {
    for (int r = 0; r < t->rows; ++r) {
        const size_t at = size_t(t->y + r * t->step) * kHalfW + t->x;
        const uint8_t* row = half.data() + at;
        const uint8_t* rowV = halfV.data() + at;
        for (int c = 0; c < t->cols; ++c) {
            // Only the subject's part follows: the background around it moves on its own.
            if (t->weight[size_t(r) * t->cols + c] == 1) continue;
            int& s = t->tmpl[size_t(r) * t->cols + c];
            s += (row[c * t->step] * 16 - s) / 16;
            int& sv = t->tmplV[size_t(r) * t->cols + c];
            sv += (rowV[c * t->step] * 16 - sv) / 16;
        }
    }
}

void fill_box(PlrDeTrackResult* result, const uint32_t box[4], uint32_t score, uint32_t count) {
    memset(result, 0, sizeof *result);
    if (count == 0) return;
    for (int i = 0; i < 4; ++i) result->words[i] = box[i];
    result->words[4] = score;
    result->words[5] = 0;
    result->words[PLR_DETRACK_COUNT_WORD] = count;
}

// A box from the caller inside the picture, in half-size pixels; false when
// nothing usable is left of it.
bool start_box(const uint32_t* box, Tracker* t) {
    const uint64_t x0 = box[PLR_DETRACK_BOX_X], y0 = box[PLR_DETRACK_BOX_Y];
    const uint64_t x1 = std::min<uint64_t>(x0 + box[PLR_DETRACK_BOX_W], kW);
    const uint64_t y1 = std::min<uint64_t>(y0 + box[PLR_DETRACK_BOX_H], kH);
    if (x0 >= kW || y0 >= kH || x1 < x0 + kMinBox || y1 < y0 + kMinBox) return false;
    t->x = static_cast<int>(x0 / 2);
    t->y = static_cast<int>(y0 / 2);
    t->w = std::max(2, static_cast<int>((x1 - x0) / 2));
    t->h = std::max(2, static_cast<int>((y1 - y0) / 2));
    return true;
}

// ---- landing-pad detector ----------------------------------------------------------

struct Blob {
    int x0, y0, x1, y1;  // inclusive bounds
    uint32_t pixels;
};

// Bright regions of the picture (4-connected).
std::vector<Blob> bright_blobs(const Luma& luma, uint8_t threshold) {
    std::vector<Blob> blobs;
    std::vector<uint8_t> seen(luma.size(), 0);
    std::vector<uint32_t> stack;
    for (uint32_t i = 0; i < luma.size(); ++i) {
        if (seen[i] != 0 || luma[i] < threshold) continue;
        Blob b{kW, kH, -1, -1, 0};
        seen[i] = 1;
        stack.push_back(i);
        while (!stack.empty()) {
            const uint32_t p = stack.back();
            stack.pop_back();
            const int px = static_cast<int>(p % kW), py = static_cast<int>(p / kW);
            b.x0 = std::min(b.x0, px);
            b.x1 = std::max(b.x1, px);
            b.y0 = std::min(b.y0, py);
            b.y1 = std::max(b.y1, py);
            ++b.pixels;
            auto visit = [&](uint32_t q) {
                if (seen[q] == 0 && luma[q] >= threshold) {
                    seen[q] = 1;
                    stack.push_back(q);
                }
            };
            if (px > 0) visit(p - 1);
            if (px + 1 < kW) visit(p + 1);
            if (py > 0) visit(p - kW);
            if (py + 1 < kH) visit(p + kW);
        }
        blobs.push_back(b);
    }
    return blobs;
}

// How much a bright region looks like the pad's rim: a square outline whose
// inside is mostly darker than the picture around it. 0 when not at all.
uint32_t pad_score(const Luma& luma, const Blob& b, uint32_t meanLuma, uint8_t threshold) {
    const int w = b.x1 - b.x0 + 1, h = b.y1 - b.y0 + 1;
    if (w < 12 || h < 12 || w * 5 > h * 6 || h * 5 > w * 6) return 0;
    // The outline: most of the box's border is bright.
    uint32_t border = 0, borderBright = 0;
    for (int x = b.x0; x <= b.x1; ++x) {
        for (int y : {b.y0, b.y1}) {
            ++border;
            if (luma[size_t(y) * kW + x] >= threshold) ++borderBright;
        }
    }
    for (int y = b.y0 + 1; y < b.y1; ++y) {
        for (int x : {b.x0, b.x1}) {
            ++border;
            if (luma[size_t(y) * kW + x] >= threshold) ++borderBright;
        }
    }
    if (borderBright * 10 < border * 6) return 0;
    // The field inside the rim is mostly dark (the marking on it is light).
    const int inset = std::max(2, w / 8);
    const uint32_t dark = meanLuma > 30 ? meanLuma - 30 : 0;
    uint32_t n = 0, darkCount = 0;
    for (int y = b.y0 + inset; y <= b.y1 - inset; ++y) {
        for (int x = b.x0 + inset; x <= b.x1 - inset; ++x) {
            darkCount += luma[size_t(y) * kW + x] < dark ? 1 : 0;
            ++n;
        }
    }
    if (n == 0 || darkCount * 10 < n * 4) return 0;
    return std::min<uint32_t>(100, 50 + borderBright * 50 / border);
}

}  // namespace

void vcam_vision_fail_next(int32_t code, uint32_t calls) {
    std::lock_guard lock(vision().mutex);
    vision().failCode = code;
    vision().failCount = calls;
}

extern "C" {

int32_t PLR_DeTrack_Init(void) {
    Vision& v = vision();
    std::lock_guard lock(v.mutex);
    v.initialised = true;
    v.tracker = Tracker{};
    return 0;
}

int32_t PLR_DeTrack_Crtl(const uint32_t* targetBox, PlrDeTrackResult* result,
                         PlrDeTrackCtrl* ctrl) {
    if (targetBox == nullptr || result == nullptr || ctrl == nullptr) return PLR_DETRACK_ERR_PARAM;
    Vision& v = vision();
    std::lock_guard lock(v.mutex);
    if (!v.initialised) return PLR_DETRACK_ERR_NOT_INIT;
    if (v.failCount > 0) {
        --v.failCount;
        if (v.failCode == PLR_DETRACK_ERR_LOST) v.tracker.tracking = false;
        return v.failCode;
    }
    Tracker& t = v.tracker;
    // The continuous mark says the caller is following: the marks of the
    // start stay set in its control block meanwhile.
    const bool start = ctrl->cmd == 0 && ctrl->firstFrame == 1 && ctrl->continuous == 0;
    Tracker fresh;
    if (start && !start_box(targetBox, &fresh)) return PLR_DETRACK_ERR_PARAM;
    if (!start && !t.tracking) return PLR_DETRACK_ERR_NO_TARGET;
    if (!grab_picture(&v.luma, &v.halfV)) return PLR_DETRACK_ERR_NO_IMAGE;
    half_size(v.luma, &v.half);
    if (start) {
        t = fresh;
        take_template(&t, v.half, v.halfV);
        t.tracking = true;
        t.score = 100;
        ctrl->state = kStateAcquire;
    } else {
        const uint32_t mad = match(&t, v.half, v.halfV);
        t.score = mad >= 100 ? 0 : 100 - mad;
        if (mad > kLostMad) {
            t.good = 0;
            if (++t.poor >= kLostAfter) {
                t.tracking = false;
                return PLR_DETRACK_ERR_LOST;
            }
        } else {
            t.poor = 0;
            blend_template(&t, v.half, v.halfV);
            if (++t.good >= kLockAfter) ctrl->state = kStateLocked;
        }
    }
    const uint32_t box[4] = {static_cast<uint32_t>(t.x * 2), static_cast<uint32_t>(t.y * 2),
                             static_cast<uint32_t>(t.w * 2), static_cast<uint32_t>(t.h * 2)};
    fill_box(result, box, t.score, 1);
    return 0;
}

int32_t PLR_LandPad_Detrack(PlrDeTrackResult* result, uint8_t* stop) {
    if (result == nullptr || stop == nullptr) return PLR_DETRACK_ERR_PARAM;
    Vision& v = vision();
    std::lock_guard lock(v.mutex);
    if (!v.initialised) return PLR_DETRACK_ERR_NOT_INIT;
    if (*stop != 0) return 0;  // detection ends; nothing to look at
    if (!grab_picture(&v.luma)) return PLR_DETRACK_ERR_NO_IMAGE;
    // Bright is well above the picture's mean, towards its brightest pixels.
    uint64_t sum = 0;
    uint8_t brightest = 0;
    for (size_t i = 0; i < v.luma.size(); i += 7) {
        sum += v.luma[i];
        brightest = std::max(brightest, v.luma[i]);
    }
    const auto mean = static_cast<uint32_t>(sum / ((v.luma.size() + 6) / 7));
    const auto threshold =
        static_cast<uint8_t>(mean + (brightest - std::min<uint32_t>(mean, brightest)) * 3 / 5);
    uint32_t bestScore = 0;
    uint32_t box[4] = {0, 0, 0, 0};
    for (const Blob& b : bright_blobs(v.luma, std::max<uint8_t>(threshold, 1))) {
        const uint32_t score = pad_score(v.luma, b, mean, threshold);
        if (score > bestScore) {
            bestScore = score;
            box[0] = static_cast<uint32_t>(b.x0);
            box[1] = static_cast<uint32_t>(b.y0);
            box[2] = static_cast<uint32_t>(b.x1 - b.x0 + 1);
            box[3] = static_cast<uint32_t>(b.y1 - b.y0 + 1);
        }
    }
    fill_box(result, box, bestScore, bestScore > 0 ? 1 : 0);
    return 0;
}

int32_t PLR_DeTrack_DeInit(void) {
    Vision& v = vision();
    std::lock_guard lock(v.mutex);
    v.initialised = false;
    v.tracker = Tracker{};
    v.failCount = 0;
    return 0;
}

}  // extern "C"
