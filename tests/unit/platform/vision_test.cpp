// The vision library of the simulated board: it works on the pictures of VI
// channel 3 only, and is judged against the scene's true boxes.
#include <cstdlib>
#include <fstream>

#include "platform/vision.h"
#include "platform_test_util.h"

using namespace ptest;

namespace {

class VisionTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        open_vi(0, 3, PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT, 1);
        ASSERT_EQ(RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_VI, 3), 0);
        ASSERT_TRUE(eventually([] { return vcam_sensor_running(0); }));
        ASSERT_EQ(PLR_DeTrack_Init(), 0);
    }
    void TearDown() override {
        PLR_DeTrack_DeInit();
        PlatformTest::TearDown();
    }
};

struct Box {
    int x, y, w, h;
};

Box target_now() {
    uint32_t b[4];
    vcam_target_box(vcam_sensor_frame_number(0), PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT, b);
    return Box{int(b[0]), int(b[1]), int(b[2]), int(b[3])};
}

Box pad_now() {
    uint32_t b[4];
    vcam_pad_box(vcam_sensor_frame_number(0), PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT, b);
    return Box{int(b[0]), int(b[1]), int(b[2]), int(b[3])};
}

Box result_box(const PlrDeTrackResult& r) {
    return Box{int(r.words[0]), int(r.words[1]), int(r.words[2]), int(r.words[3])};
}

// A tracker call that a machine too busy to render in time answers with "no
// picture" is made again: the control block is left as it was.
int32_t track_with_picture(const uint32_t* box, PlrDeTrackResult* result, PlrDeTrackCtrl* ctrl) {
    int32_t ret = PLR_DETRACK_ERR_NO_IMAGE;
    for (int i = 0; i < 20 && ret == PLR_DETRACK_ERR_NO_IMAGE; ++i) {
        ret = PLR_DeTrack_Crtl(box, result, ctrl);
    }
    return ret;
}

int centre_distance(const Box& a, const Box& b) {
    return std::max(std::abs((a.x + a.w / 2) - (b.x + b.w / 2)),
                    std::abs((a.y + a.h / 2) - (b.y + b.h / 2)));
}

}  // namespace

// The phone's box is never exact: the tracker follows the target from a box
// that is on it, shifted, or with background around it.
TEST_F(VisionTest, TrackerFollowsTheTargetFromTheMarkedBox) {
    struct Case {
        const char* name;
        int dx, dy;  // shift of the box
        int grow;    // pixels added on every side
    } cases[] = {
        {"exact", 0, 0, 0},
        {"shifted", 8, -6, 0},
        {"with background", 0, 0, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Box t = target_now();
        const uint32_t box[PLR_DETRACK_TARGET_WORDS] = {uint32_t(t.x + c.dx - c.grow),
                                                        uint32_t(t.y + c.dy - c.grow),
                                                        uint32_t(t.w + 2 * c.grow),
                                                        uint32_t(t.h + 2 * c.grow),
                                                        0,
                                                        0};
        PlrDeTrackResult result{};
        PlrDeTrackCtrl ctrl{0, 1, 0, 0};
        ASSERT_EQ(track_with_picture(box, &result, &ctrl), 0);
        EXPECT_EQ(ctrl.state, 1);
        ctrl = PlrDeTrackCtrl{0, 0, ctrl.state, 1};
        int worst = 0;
        for (int i = 0; i < 60; ++i) {
            // A machine too busy to render in time gives no picture: the target stays.
            const int32_t ret = PLR_DeTrack_Crtl(box, &result, &ctrl);
            if (ret == PLR_DETRACK_ERR_NO_IMAGE) continue;
            ASSERT_EQ(ret, 0) << "round " << i;
            ASSERT_EQ(result.words[PLR_DETRACK_COUNT_WORD], 1u);
            // The picture used is the current one or the one before it.
            worst = std::max(worst, centre_distance(result_box(result), target_now()));
        }
        EXPECT_LE(worst, 16 + std::abs(c.dx) + std::abs(c.dy));
        EXPECT_EQ(ctrl.state, 2);  // confirmed after a few good matches
    }
}

TEST_F(VisionTest, TrackerRefusesBoxesOffThePictureAndFollowsOnlyAfterAStart) {
    PlrDeTrackResult result{};
    PlrDeTrackCtrl follow{0, 0, 1, 1};
    const uint32_t fine[PLR_DETRACK_TARGET_WORDS] = {100, 100, 40, 40, 0, 0};
    EXPECT_EQ(PLR_DeTrack_Crtl(fine, &result, &follow), PLR_DETRACK_ERR_NO_TARGET);
    const uint32_t bad[][PLR_DETRACK_TARGET_WORDS] = {{640, 10, 20, 20, 0, 0},
                                                      {10, 360, 20, 20, 0, 0},
                                                      {10, 10, 0, 20, 0, 0},
                                                      {638, 10, 20, 20, 0, 0},
                                                      {0xFFFFFFF0u, 10, 40, 20, 0, 0}};
    for (const auto& box : bad) {
        PlrDeTrackCtrl start{0, 1, 0, 0};
        EXPECT_EQ(PLR_DeTrack_Crtl(box, &result, &start), PLR_DETRACK_ERR_PARAM) << box[0];
    }
    // A box reaching past the edge is cut at it.
    const uint32_t edge[PLR_DETRACK_TARGET_WORDS] = {600, 300, 100, 100, 0, 0};
    PlrDeTrackCtrl start{0, 1, 0, 0};
    ASSERT_EQ(track_with_picture(edge, &result, &start), 0);
    EXPECT_EQ(result.words[0] + result.words[2], 640u);
    EXPECT_EQ(result.words[1] + result.words[3], 360u);
}

TEST_F(VisionTest, DetectorFindsThePadAndNothingWhenItIsOutOfView) {
    uint8_t stop = 0;
    PlrDeTrackResult result{};
    for (int i = 0; i < 10; ++i) {
        const int32_t ret = PLR_LandPad_Detrack(&result, &stop);
        if (ret == PLR_DETRACK_ERR_NO_IMAGE) continue;  // the machine was too busy to render
        ASSERT_EQ(ret, 0);
        ASSERT_EQ(result.words[PLR_DETRACK_COUNT_WORD], 1u) << "round " << i;
        const Box got = result_box(result), want = pad_now();
        const int tol = std::max(2, want.w / 10);
        EXPECT_NEAR(got.x, want.x, tol);
        EXPECT_NEAR(got.y, want.y, tol);
        EXPECT_NEAR(got.w, want.w, tol);
        EXPECT_NEAR(got.h, want.h, tol);
    }
    std::filesystem::create_directories(root_.path() + "/sim");
    std::ofstream(root_.path() + "/sim/scene-nopad").put('\n');
    ASSERT_TRUE(eventually([&] {
        return PLR_LandPad_Detrack(&result, &stop) == 0 &&
               result.words[PLR_DETRACK_COUNT_WORD] == 0;
    }));
    for (int i = 0; i < 10; ++i) {
        const int32_t ret = PLR_LandPad_Detrack(&result, &stop);
        if (ret == PLR_DETRACK_ERR_NO_IMAGE) continue;
        ASSERT_EQ(ret, 0);
        EXPECT_EQ(result.words[PLR_DETRACK_COUNT_WORD], 0u);
    }
    stop = 1;
    EXPECT_EQ(PLR_LandPad_Detrack(&result, &stop), 0);
}

TEST_F(VisionTest, TruthLogNamesTheBoxesOfEachFrameWhileItExists) {
    std::filesystem::create_directories(root_.path() + "/sim");
    std::ofstream(root_.path() + "/sim/scene-truth.log").flush();
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(root_.path() + "/sim/scene-truth.log");
        std::string line;
        return static_cast<bool>(std::getline(in, line));
    }));
    std::ifstream in(root_.path() + "/sim/scene-truth.log");
    unsigned long long ms = 0;
    uint32_t frame = 0;
    std::string targetWord, padWord;
    uint32_t t[4], p[4];
    in >> ms >> frame >> targetWord >> t[0] >> t[1] >> t[2] >> t[3] >> padWord >> p[0] >> p[1] >>
        p[2] >> p[3];
    ASSERT_TRUE(in) << "line format";
    EXPECT_EQ(targetWord, "target");
    EXPECT_EQ(padWord, "pad");
    EXPECT_GT(ms, 0u);
    uint32_t want[4];
    vcam_target_box(frame, 640, 360, want);
    EXPECT_EQ(std::vector<uint32_t>(t, t + 4), std::vector<uint32_t>(want, want + 4));
    vcam_pad_box(frame, 640, 360, want);
    EXPECT_EQ(std::vector<uint32_t>(p, p + 4), std::vector<uint32_t>(want, want + 4));
}

TEST_F(VisionTest, NoPictureGivesTheErrorThatKeepsTheTarget) {
    vcam_reset();
    ASSERT_EQ(RK_MPI_SYS_Init(), 0);
    uint8_t stop = 0;
    PlrDeTrackResult result{};
    EXPECT_EQ(PLR_LandPad_Detrack(&result, &stop), PLR_DETRACK_ERR_NO_IMAGE);
    const uint32_t box[PLR_DETRACK_TARGET_WORDS] = {100, 100, 40, 40, 0, 0};
    PlrDeTrackCtrl start{0, 1, 0, 0};
    EXPECT_EQ(PLR_DeTrack_Crtl(box, &result, &start), PLR_DETRACK_ERR_NO_IMAGE);
    EXPECT_EQ(PLR_DeTrack_DeInit(), 0);
    EXPECT_EQ(PLR_DeTrack_Crtl(box, &result, &start), PLR_DETRACK_ERR_NOT_INIT);
}
