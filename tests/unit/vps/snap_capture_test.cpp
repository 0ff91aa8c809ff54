// Still capture on the whole camera core in this process: the simulated
// platform's JPEG encoder, the event thread, the stream thread and the card of
// a temporary board root, driven by camera events and observed through the
// notification callback and the photos on the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../../support/camera_notes.h"
#include "core/trace_log.h"
#include "mav/mav_gps.h"
#include "mav/mavlink_msgs.h"
#include "photo_probe.h"
#include "vcam.h"
#include "video_probe.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_exif.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_snap.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Board paths of every photo on the card, sorted.
std::vector<std::string> photos(const TempBoardRoot& board) {
    std::vector<std::string> out;
    std::error_code ec;
    const std::string card = board.path("/sim/card");
    for (const auto& entry :
         fs::recursive_directory_iterator(board.path("/sim/card/PLRMEDIA/PIC"), ec)) {
        if (entry.is_regular_file())
            out.push_back("/tmp/SD0" + entry.path().string().substr(card.size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string dir_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

void feed_gps(int32_t lat, int32_t lon, float altitude) {
    mavlink_message_t msg{};
    mavlink_gps_raw_int_t raw{};
    raw.lat = lat;
    raw.lon = lon;
    mavlink_msg_gps_raw_int_pack(0x32, 1, 0, &raw, &msg);
    ASSERT_EQ(MavlinkUpdateGPSInfo(&msg), 0);
    mavlink_pelora_gps_info_t info{};
    info.altitude = altitude;
    mavlink_msg_pelora_gps_info_pack(0x32, 1, 0, &info, &msg);
    ASSERT_EQ(MavlinkUpdateGPSInfo(&msg), 0);
}

class SnapCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(camera_core_start_with_card(board)); }
    void TearDown() override {
        PLR_VPS_Deinit();
        PLR_VPS_EvtReset();
        plr_trace_log_reset();
    }
    void set_attr(int32_t attr, int32_t value) {
        const size_t before = CameraNotes::of(VPS_EVT_ATTR_SET).size();
        PLR_VPS_SendEvent2(VPS_EVT_ATTR_SET, attr, value);
        VpsEvt note{};
        ASSERT_TRUE(CameraNotes::wait(VPS_EVT_ATTR_SET, before + 1, &note));
        ASSERT_EQ(note.retCode, 0);
    }
    // Takes one capture; returns the final stop notification.
    VpsEvt capture() {
        const size_t starts = CameraNotes::of(VPS_EVT_SNAP_START).size();
        const size_t stops = CameraNotes::of(VPS_EVT_SNAP_STOP).size();
        PLR_VPS_SendEvent(VPS_EVT_SNAP_START);
        VpsEvt started{};
        EXPECT_TRUE(CameraNotes::wait(VPS_EVT_SNAP_START, starts + 1, &started));
        EXPECT_EQ(started.retCode, 0);
        VpsEvt stopped{};
        EXPECT_TRUE(CameraNotes::wait(VPS_EVT_SNAP_STOP, stops + 1, &stopped));
        EXPECT_TRUE(wait_until([] { return g_vpsCtx.snapBusy.load() == 0; }));
        return stopped;
    }
    void set_temperature(const char* millidegrees, uint32_t tenths) {
        board.write("/sys/class/thermal/thermal_zone0/temp", millidegrees);
        ASSERT_TRUE(wait_until([&] { return g_vpsCtx.socTemp.load() == tenths; }, 20s));
    }

    TempBoardRoot board{"/etc/iqfiles", "/tmp/SD0", "/sim/card", "/dev", "/usr/data"};
};

// Checks one photo: a 3840 x 2160 JPEG of the virtual camera with the EXIF
// segment and the 75-byte XMP segment right behind its start-of-image marker.
void expect_photo(const TempBoardRoot& board, const std::string& path) {
    SCOPED_TRACE(path);
    const Bytes jpeg = read_bytes(board.path(path));
    ASSERT_GT(jpeg.size(), 1000u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    const std::vector<JpegSegment> segments = app_segments(jpeg);
    ASSERT_GE(segments.size(), 2u);
    EXPECT_EQ(segments[0].offset, 4u) << "EXIF right behind the start-of-image marker";
    EXPECT_EQ(segments[0].marker, 0xE1);
    EXPECT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 12), std::string("Exif\0\0", 6));
    EXPECT_EQ(segments[1].marker, 0xE1);
    EXPECT_EQ(segments[1].length, PLR_XMP_SEGMENT_LENGTH);
    const auto xmp = jpeg.begin() + static_cast<long>(segments[1].offset) + 2;
    EXPECT_EQ(
        std::string(xmp, xmp + 73),
        std::string("http://ns.adobe.com/xap/1.0/\0<?xpacket id=888 Roll=1.0 Yaw=1.1 Pitch=1.2>",
                    73));

    const VideoProbe probe = probe_video(board.path(path), true);
    ASSERT_TRUE(probe.opened);
    EXPECT_EQ(probe.codec, "mjpeg");
    EXPECT_EQ(probe.width, 3840);
    EXPECT_EQ(probe.height, 2160);
    ASSERT_EQ(probe.frameNumbers.size(), 1u) << "decodes to one picture";
    EXPECT_GE(probe.frameNumbers[0], 0) << "the virtual camera's picture";
}

TEST_F(SnapCaptureTest, SinglePhotoCarriesSettingsAndPosition) {
    feed_gps(-338688000, 1512093000, 123.45F);  // 33.8688 S, 151.2093 E
    g_vpsCtx.snapAe.shutter.store(21);          // 1/60 s
    g_vpsCtx.snapAe.iso.store(3);               // ISO 200

    const VpsEvt done = capture();
    ASSERT_EQ(done.retCode, 0);
    const std::string path = done.cval;
    // /tmp/SD0/PLRMEDIA/PIC/<date>/<date>_<time>_0001.JPG
    const std::string dir = "/tmp/SD0/PLRMEDIA/PIC/";
    ASSERT_EQ(path.size(), dir.size() + 8 + 1 + 8 + 1 + 6 + 9) << path;
    const std::string date = path.substr(dir.size(), 8);
    EXPECT_EQ(path.substr(0, dir.size()), dir);
    EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos) << path;
    EXPECT_EQ(path.substr(dir.size() + 8),
              "/" + date + "_" + path.substr(dir.size() + 18, 6) + "_0001.JPG")
        << path;
    EXPECT_EQ(path.substr(dir.size() + 18, 6).find_first_not_of("0123456789"), std::string::npos)
        << path;
    EXPECT_EQ(photos(board), std::vector<std::string>{path});
    expect_photo(board, path);

    const Bytes jpeg = read_bytes(board.path(path));
    const std::vector<JpegSegment> segments = app_segments(jpeg);
    const ExifReader r(&jpeg[segments[0].offset + 2], segments[0].length - 2);
    EXPECT_EQ(r.ascii(EXIF_IFD_0, 0x010F), "Pelora");
    EXPECT_EQ(r.ascii(EXIF_IFD_0, 0x0110), "Kavo Sparrow");
    EXPECT_EQ(r.rationals(EXIF_IFD_EXIF, 0x829A), (std::vector<ExifRational>{{1, 60}}));
    EXPECT_EQ(r.shortValue(EXIF_IFD_EXIF, 0x8827), 200);
    EXPECT_EQ(r.ascii(EXIF_IFD_GPS, 0x0001), "S");
    EXPECT_EQ(r.ascii(EXIF_IFD_GPS, 0x0003), "E");
    const std::vector<ExifRational> lat = r.rationals(EXIF_IFD_GPS, 0x0002);
    ASSERT_EQ(lat.size(), 3u);
    EXPECT_EQ(lat[0].numerator, 33u);
    EXPECT_EQ(lat[1].numerator, 52u);
    EXPECT_NEAR(lat[2].numerator / 1e6, 7.68, 0.05);
    const std::vector<ExifRational> lon = r.rationals(EXIF_IFD_GPS, 0x0004);
    ASSERT_EQ(lon.size(), 3u);
    EXPECT_EQ(lon[0].numerator, 151u);
    EXPECT_EQ(lon[1].numerator, 12u);
    EXPECT_EQ(r.rationals(EXIF_IFD_GPS, 0x0006), (std::vector<ExifRational>{{1234, 10}}));

    // The next single photo takes the next number.
    const VpsEvt second = capture();
    EXPECT_NE(std::string(second.cval).find("_0002.JPG"), std::string::npos) << second.cval;
}

// A record resolution chosen in photo mode must not shrink the still-capture
// input: the photo is the camera's own 4K picture, not a smaller one scaled
// up. The frame-number band tells: its cell edges are as sharp as the
// camera's own 4K rendering only when the picture was taken at 4K.
TEST_F(SnapCaptureTest, PhotoAfterAResolutionChangeIsARealPictureOfThePhotoSize) {
    VpsEvt answer{};
    ASSERT_TRUE(CameraNotes::ask(VPS_EVT_RES_SET, 6, 30, &answer));  // 1920 x 1080
    ASSERT_EQ(answer.retCode, 0);
    const VpsEvt done = capture();
    ASSERT_EQ(done.retCode, 0);
    const VideoProbe probe = probe_video(board.path(done.cval), true, true);
    ASSERT_EQ(probe.width, 3840);
    ASSERT_EQ(probe.height, 2160);
    ASSERT_EQ(probe.frameNumbers.size(), 1u);
    ASSERT_GE(probe.frameNumbers[0], 0);

    constexpr uint32_t kW = 3840;
    constexpr uint32_t kH = 2160;
    std::vector<uint8_t> camera(size_t{kW} * kH * 3 / 2);
    vcam_render_nv12(static_cast<uint32_t>(probe.frameNumbers[0]), kW, kH, camera.data());
    // Luma next to every cell edge of the band's middle row where the bit changes.
    const uint32_t row = 136 / 2;
    const uint32_t cell = kW / 32;
    double error = 0;
    int samples = 0;
    for (uint32_t c = 1; c < 32; ++c) {
        const size_t edge = size_t{row} * kW + c * cell;
        if (camera[edge - 1] == camera[edge]) continue;
        for (size_t x = edge - 2; x < edge + 2; ++x) {
            // The JPEG holds full-range luma; the camera renders video range.
            const int expected = std::clamp((camera[x] - 16) * 255 / 219, 0, 255);
            error += std::abs(static_cast<int>(probe.lastLuma[x]) - expected);
            ++samples;
        }
    }
    ASSERT_GT(samples, 0);
    EXPECT_LT(error / samples, 12.0) << "the band's edges are blurred: a scaled-up picture";
}

TEST_F(SnapCaptureTest, SeriesWriteAllTheirPicturesAndAnswerOnce) {
    const struct {
        int32_t mode;
        const char* suffix;
    } series[] = {{2, "_CTI"}, {1, "_HDR"}, {3, "_AEB"}};
    set_attr(5, 3);  // three continuous shots
    for (const auto& s : series) {
        SCOPED_TRACE(s.suffix);
        set_attr(0, s.mode);
        const std::vector<std::string> before = photos(board);
        const VpsEvt done = capture();
        ASSERT_EQ(done.retCode, 0);
        std::this_thread::sleep_for(500ms);  // time for a stray extra picture
        std::vector<std::string> added;
        for (const std::string& p : photos(board))
            if (std::find(before.begin(), before.end(), p) == before.end()) added.push_back(p);
        ASSERT_EQ(added.size(), 3u);
        const std::string dir = dir_of(added[0]);
        EXPECT_EQ(dir.substr(dir.size() - 4), s.suffix);
        for (size_t i = 0; i < added.size(); ++i) {
            EXPECT_EQ(dir_of(added[i]), dir) << "one directory";
            const std::string tail = "_000" + std::to_string(i + 1) + ".JPG";
            EXPECT_EQ(added[i].substr(added[i].size() - tail.size()), tail);
            expect_photo(board, added[i]);
        }
        EXPECT_EQ(std::string(done.cval), added.back()) << "the answer names the last picture";
    }
    EXPECT_EQ(CameraNotes::of(VPS_EVT_SNAP_STOP).size(), 3u) << "one answer per series";
}

TEST_F(SnapCaptureTest, HotSocRefusesAndCoolerSocShoots) {
    set_temperature("105000\n", 1050);
    PLR_VPS_SendEvent(VPS_EVT_SNAP_START);
    VpsEvt refused{};
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SNAP_START, 1, &refused));
    EXPECT_EQ(refused.retCode, -1);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(photos(board).empty());
    EXPECT_TRUE(CameraNotes::of(VPS_EVT_SNAP_STOP).empty());

    set_temperature("104900\n", 1049);
    const VpsEvt done = capture();
    EXPECT_EQ(done.retCode, 0);
    EXPECT_EQ(photos(board).size(), 1u);
}

TEST_F(SnapCaptureTest, NoCardRefusesWithTheSdErrorAndWritesNothing) {
    PLR_VPS_SendEvent(VPS_EVT_SD_EJECT);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SD_EJECT, 1));
    PLR_VPS_SendEvent(VPS_EVT_SNAP_START);
    VpsEvt refused{};
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SNAP_START, 1, &refused));
    EXPECT_EQ(refused.retCode, VPS_SD_ERR_UNUSABLE);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(photos(board).empty());
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
}

TEST_F(SnapCaptureTest, TimedPhotosFollowTheCountdown) {
    set_attr(0, VPS_SNAP_TIMELAPSE);
    set_attr(7, 1);  // a photo every 2 seconds
    PLR_VPS_SendEvent(VPS_EVT_SNAP_START);
    // Two photos written (each stop notification from the writer names its file).
    ASSERT_TRUE(wait_until([] { return CameraNotes::of(VPS_EVT_SNAP_STOP).size() >= 2; }, 30s));
    PLR_VPS_SendEvent(VPS_EVT_SNAP_STOP);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SNAP_STOP, 3));
    ASSERT_TRUE(
        wait_until([] { return g_vpsCtx.snapRun.load() == 0 && g_vpsCtx.snapBusy.load() == 0; }));
    const size_t taken = photos(board).size();
    EXPECT_GE(taken, 2u);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(photos(board).size(), taken) << "the stop ends the timer";

    std::vector<int32_t> countdown;
    for (const VpsEvt& e : CameraNotes::of(VPS_EVT_SNAP_TLAPSE)) countdown.push_back(e.ival1);
    ASSERT_GE(countdown.size(), 4u);
    EXPECT_EQ(std::vector<int32_t>(countdown.begin(), countdown.begin() + 4),
              (std::vector<int32_t>{1, 0, 1, 0}));
    std::vector<int32_t> states;
    for (const VpsEvt& e : CameraNotes::of(VPS_EVT_STATUS))
        if (e.retCode == VPS_STA_SNAP_STATE) states.push_back(e.ival1);
    EXPECT_EQ(states, (std::vector<int32_t>{1, 0}));
    for (const std::string& p : photos(board)) {
        EXPECT_EQ(dir_of(p).size(), std::string("/tmp/SD0/PLRMEDIA/PIC/20240101").size())
            << "timed photos go to the day directory: " << p;
    }
}

}  // namespace
