// The vision workers on the simulated camera: switches, the one-worker rule,
// the reports to the phone and the flight controller, and the handling of
// the phone's boxes and of the library's errors.
#include <dirent.h>

#include <fstream>
#include <mutex>
#include <vector>

#include "core/trace_log.h"
#include "mav/mavlink_msgs.h"
#include "platform_test_util.h"
#include "track/track.h"

using namespace ptest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Sent {
    bool toFc;
    uint8_t sysid;
    uint8_t compid;
    TrackReport report;
};

std::mutex g_sentMutex;
std::vector<Sent> g_sent;

int collect(const mavlink_message_t* msg, bool toFc) {
    mavlink_vision_position_estimate_t vp{};
    if (mavlink_msg_vision_position_estimate_decode(msg, &vp) != 0) return -1;
    Sent s{toFc, msg->sysid, msg->compid, {}};
    PLR_TRACK_UnpackReport(vp, &s.report);
    std::lock_guard lock(g_sentMutex);
    g_sent.push_back(s);
    return 0;
}
int to_phone(const mavlink_message_t* msg) {
    return collect(msg, false);
}
int to_fc(const mavlink_message_t* msg) {
    return collect(msg, true);
}

std::vector<Sent> sent() {
    std::lock_guard lock(g_sentMutex);
    return g_sent;
}
void clear_sent() {
    std::lock_guard lock(g_sentMutex);
    g_sent.clear();
}

size_t thread_count() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
        closedir(d);
    }
    return n;
}

int centre_distance(const TrackReport& r, const uint32_t b[4]) {
    return std::max(std::abs(int(r.x + r.w / 2) - int(b[0] + b[2] / 2)),
                    std::abs(int(r.y + r.h / 2) - int(b[1] + b[3] / 2)));
}

class TrackTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_ENABLE();
        open_vi(0, 3, PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT, 1);
        ASSERT_TRUE(eventually([] { return vcam_sensor_running(0); }));
        clear_sent();
        PLR_TRACK_SetSenders(to_phone, to_fc);
        ASSERT_EQ(PLR_TRACK_Init(), 0);
    }
    void TearDown() override {
        PLR_TRACK_Deinit();
        PLR_TRACK_SetSenders(nullptr, nullptr);
        PlatformTest::TearDown();
        plr_trace_log_reset();
    }

    // Marks the target where the scene shows it now.
    void mark_target(uint32_t d = 0) {
        uint32_t b[4];
        vcam_target_box(vcam_sensor_frame_number(0), 640, 360, b);
        ASSERT_EQ(PLR_TRACK_SetPosition(b[0], b[1], b[2], b[3], 0, d), 0);
    }
};

bool fc_has(uint8_t compid, uint32_t kind) {
    for (const Sent& s : sent())
        if (s.toFc && s.compid == compid && s.report.kind == kind) return true;
    return false;
}

}  // namespace

TEST_F(TrackTest, TrackingReportsTheTargetAndStopsWhenSwitchedOff) {
    ASSERT_EQ(PLR_TRACK_SetWork(1), 0);
    mark_target();
    // Once the library confirms the target (state 2), the flight controller gets the boxes too.
    ASSERT_TRUE(
        eventually([] { return fc_has(TRACK_REPORT_COMPID, 2); }, std::chrono::seconds(10)));
    clear_sent();
    ASSERT_TRUE(eventually([] { return sent().size() >= 40; }, std::chrono::seconds(20)));
    for (const Sent& s : sent()) {
        EXPECT_EQ(s.sysid, s.toFc ? 35 : 36);
        EXPECT_EQ(s.compid, TRACK_REPORT_COMPID);
        EXPECT_EQ(s.report.kind, 2u);
        EXPECT_EQ(s.report.count, 1u);
        EXPECT_GT(s.report.timeMs, 0u);
    }
    // The last report lies on the target (give the picture a frame or two).
    uint32_t b[4];
    vcam_target_box(vcam_sensor_frame_number(0), 640, 360, b);
    EXPECT_LE(centre_distance(sent().back().report, b), 24);

    ASSERT_EQ(PLR_TRACK_SetWork(0), 0);
    ASSERT_TRUE(eventually([] { return !PLR_TRACK_Working(); }));
    clear_sent();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sent().empty());
}

TEST_F(TrackTest, LibraryErrorsSendLostReportsAndKeepTheBoxOnlyFor5And7) {
    ASSERT_EQ(PLR_TRACK_SetWork(1), 0);
    mark_target();
    ASSERT_TRUE(
        eventually([] { return fc_has(TRACK_REPORT_COMPID, 2); }, std::chrono::seconds(10)));
    struct Case {
        int32_t code;
        bool keepsBox;
    } cases[] = {{PLR_DETRACK_ERR_NO_IMAGE, true},
                 {PLR_DETRACK_ERR_NO_TARGET, true},
                 {PLR_DETRACK_ERR_LOST, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        uint32_t before[PLR_DETRACK_TARGET_WORDS];
        PLR_TRACK_GetTargetBox(before);
        ASSERT_NE(before[2], 0u);
        clear_sent();
        vcam_vision_fail_next(c.code, 1);
        auto lost = [&] {
            std::vector<Sent> reports;
            // Kind 2 is also the state of a confirmed target: a lost report has no time and no box.
            for (const Sent& s : sent())
                if (s.report.kind == TRACK_KIND_LOST && s.report.timeMs == 0 && s.report.count == 0)
                    reports.push_back(s);
            return reports;
        };
        ASSERT_TRUE(eventually([&] { return lost().size() >= 2; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<Sent> reports = lost();
        ASSERT_EQ(reports.size(), 2u);  // one to the phone, one to the flight controller
        EXPECT_EQ(reports[0].report.code, uint32_t(c.code));
        EXPECT_NE(reports[0].toFc, reports[1].toFc);
        EXPECT_EQ(reports[0].report.timeMs, 0u);
        uint32_t after[PLR_DETRACK_TARGET_WORDS];
        PLR_TRACK_GetTargetBox(after);
        EXPECT_EQ(after[2] != 0, c.keepsBox);
        if (!c.keepsBox) break;
    }
}

TEST_F(TrackTest, CommandThreeLogsTheErrorAndClearsTheTarget) {
    ASSERT_EQ(PLR_TRACK_SetWork(1), 0);
    ASSERT_TRUE(eventually([] { return PLR_TRACK_Working(); }));
    CaptureStdout();
    mark_target(3);
    const bool cleared = eventually([] {
        uint32_t box[PLR_DETRACK_TARGET_WORDS];
        PLR_TRACK_GetTargetBox(box);
        return box[2] == 0 && box[5] == 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string log = GetCapturedStdout();
    EXPECT_TRUE(cleared);
    EXPECT_NE(log.find("Code[3]:err"), std::string::npos) << log;
    // The library never saw the box: nothing was reported.
    for (const Sent& s : sent()) EXPECT_NE(s.report.count, 1u);
}

TEST_F(TrackTest, BoxesReachingOutsideThePictureAreClampedOrRefused) {
    struct Case {
        uint32_t x, y, w, h;
        int ret;
        uint32_t want[4];
    } cases[] = {
        {100, 50, 40, 30, 0, {100, 50, 40, 30}},
        {620, 340, 40, 40, 0, {620, 340, 20, 20}},
        {0xFFF6u, 0xFFECu, 40, 40, 0, {0, 0, 30, 20}},  // -10, -20 as the phone packs them
        {640, 10, 40, 40, -1, {}},
        {10, 360, 40, 40, -1, {}},
        {10, 10, 0, 40, -1, {}},
        {10, 10, 40, 0, -1, {}},
        {0xFFC0u, 10, 40, 40, -1, {}},  // -64 wide 40: ends left of the picture
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << "," << c.w << "," << c.h);
        ASSERT_EQ(PLR_TRACK_SetPosition(1, 2, 3, 4, 0, 2), 0);
        EXPECT_EQ(PLR_TRACK_SetPosition(c.x, c.y, c.w, c.h, 0, 2), c.ret);
        uint32_t box[PLR_DETRACK_TARGET_WORDS];
        PLR_TRACK_GetTargetBox(box);
        const std::vector<uint32_t> got(box, box + 4);
        if (c.ret == 0) {
            EXPECT_EQ(got, std::vector<uint32_t>(c.want, c.want + 4));
        } else {
            EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 3, 4}));  // the old box stays
        }
    }
}

TEST_F(TrackTest, OnlyOneWorkerRunsAndFastSwitchingLeavesNoThreadBehind) {
    const size_t threads = thread_count();
    ASSERT_EQ(PLR_APRON_SetWork(1), 0);
    EXPECT_EQ(PLR_TRACK_SetWork(1), -1);
    EXPECT_EQ(PLR_TRACK_GetWork(), 0u);
    ASSERT_TRUE(eventually([] { return PLR_APRON_Working(); }));
    ASSERT_EQ(PLR_APRON_SetWork(0), 0);

    for (int i = 0; i < 10; ++i) {
        const bool trackNext = i % 2 == 0;
        EXPECT_EQ(PLR_TRACK_SetWork(0), 0);
        EXPECT_EQ(PLR_APRON_SetWork(0), 0);
        EXPECT_EQ(trackNext ? PLR_TRACK_SetWork(1) : PLR_APRON_SetWork(1), 0);
    }
    // The last switch was the landing pad's.
    ASSERT_TRUE(eventually([] { return PLR_APRON_Working() && !PLR_TRACK_Working(); }));
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(PLR_TRACK_Working());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(PLR_TRACK_GetWork(), 0u);
    EXPECT_EQ(thread_count(), threads);
    ASSERT_EQ(PLR_APRON_SetWork(0), 0);
    ASSERT_TRUE(eventually([] { return !PLR_APRON_Working(); }));
}

TEST_F(TrackTest, LandingPadReportsAreScaledForTheFlightController) {
    // The box as the library gives it: 100, 50, 40 x 30 in the 640 x 360 stream.
    PlrDeTrackResult result{};
    result.words[0] = 100;
    result.words[1] = 50;
    result.words[2] = 40;
    result.words[3] = 30;
    result.words[4] = 77;
    result.words[PLR_DETRACK_COUNT_WORD] = 1;
    PLR_APRON_Detect_Notify_Handle(&result);
    result.words[PLR_DETRACK_COUNT_WORD] = 0;
    PLR_APRON_Detect_Notify_Handle(&result);
    PLR_APRON_Lost_Notify(5);
    const std::vector<Sent> s = sent();
    ASSERT_EQ(s.size(), 6u);
    struct Want {
        bool toFc;
        uint32_t x, y, w, h, count, code;
    } want[] = {{true, 200, 100, 80, 60, 1, 0}, {false, 100, 50, 40, 30, 1, 0},
                {false, 0, 0, 0, 0, 0, 0},      {true, 0, 0, 0, 0, 0, 0},
                {false, 0, 0, 0, 0, 0, 5},      {true, 0, 0, 0, 0, 0, 5}};
    for (size_t i = 0; i < s.size(); ++i) {
        SCOPED_TRACE(i);
        const TrackReport& r = s[i].report;
        EXPECT_EQ(s[i].toFc, want[i].toFc);
        EXPECT_EQ(s[i].compid, APRON_REPORT_COMPID);
        EXPECT_EQ(s[i].sysid, want[i].toFc ? 35 : 36);
        EXPECT_EQ((std::vector<uint32_t>{r.x, r.y, r.w, r.h, r.count, r.code}),
                  (std::vector<uint32_t>{want[i].x, want[i].y, want[i].w, want[i].h, want[i].count,
                                         want[i].code}));
        EXPECT_EQ(r.kind, TRACK_KIND_APRON);
    }
    EXPECT_EQ(s[0].report.word4, 77u);
    EXPECT_EQ(s[0].report.frame, (720u << 16) | 1280u);
}

TEST_F(TrackTest, LandingPadWorkerReportsThePadOrNothing) {
    ASSERT_EQ(PLR_APRON_SetWork(1), 0);
    auto boxes = [] {
        size_t n = 0;
        for (const Sent& s : sent()) n += s.report.count == 1 ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return boxes() >= 10; }, std::chrono::seconds(10)));
    uint32_t pad[4];
    vcam_pad_box(vcam_sensor_frame_number(0), 640, 360, pad);
    for (const Sent& s : sent()) {
        if (s.report.count != 1 || s.toFc) continue;
        EXPECT_NEAR(s.report.x, pad[0], 8);
        EXPECT_NEAR(s.report.y, pad[1], 8);
    }
    std::filesystem::create_directories(root_.path() + "/sim");
    std::ofstream(root_.path() + "/sim/scene-nopad").put('\n');
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    clear_sent();
    ASSERT_TRUE(eventually([] { return sent().size() >= 10; }, std::chrono::seconds(10)));
    EXPECT_EQ(boxes(), 0u);
    ASSERT_EQ(PLR_APRON_SetWork(0), 0);
}

TEST(TrackReport, PacksIntegersIntoTheFloatBits) {
    const TrackReport r{1234567, 100, 50, 40, 30, 6, 1, 9, 2, 3, 0x7FC00001u, (720u << 16) | 1280u};
    mavlink_vision_position_estimate_t vp{};
    PLR_TRACK_PackReport(r, &vp);
    mavlink_message_t msg{};
    mavlink_msg_vision_position_estimate_pack(36, 8, 0, &vp, &msg);
    mavlink_vision_position_estimate_t back{};
    ASSERT_EQ(mavlink_msg_vision_position_estimate_decode(&msg, &back), 0);
    TrackReport got{};
    PLR_TRACK_UnpackReport(back, &got);
    EXPECT_EQ(got.timeMs, r.timeMs);
    EXPECT_EQ(
        (std::vector<uint32_t>{got.x, got.y, got.w, got.h, got.code, got.count, got.word5,
                               got.index, got.kind, got.word4, got.frame}),
        (std::vector<uint32_t>{100, 50, 40, 30, 6, 1, 9, 2, 3, 0x7FC00001u, (720u << 16) | 1280u}));
    // The bytes on the wire: x holds X in the low and Y in the high 16 bits.
    EXPECT_EQ(msg.payload[8], 100);
    EXPECT_EQ(msg.payload[10], 50);
    EXPECT_EQ(msg.payload[20 + 3], 3);  // roll: kind in bits 24..31
}
