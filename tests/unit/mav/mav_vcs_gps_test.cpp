// The settings context's status message (its bits decode back to the state),
// the resolution codes, and the GPS store and datum conversion.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

#include "app/mav_dispatch.h"
#include "mav/mav_gps.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "mav_test_util.h"
#include "state/drone_position.h"
#include "vps/vcs.h"

namespace {

uint32_t field(uint32_t word, uint32_t shift, uint32_t width) {
    return (word >> shift) & ((1U << width) - 1U);
}

class VcsTest : public ::testing::Test {
protected:
    void SetUp() override { PLR_VCS_Reset(); }
    void TearDown() override { PLR_VCS_Reset(); }
};

TEST_F(VcsTest, StatusBitsDecodeToTheState) {
    // Fill the context through the paths the notifications take.
    PLR_VCS_SetVpsMode(1);
    PLR_VCS_SetRes(5, 60);                     // code 12
    PLR_VCS_SetAEMode(7);                      // any non-zero: manual
    PLR_VCS_VPSNotiHandle(1, 9, 0, nullptr);   // ISO
    PLR_VCS_VPSNotiHandle(2, 33, 0, nullptr);  // shutter
    PLR_VCS_VPSNotiHandle(3, -3, 0, nullptr);  // EV
    PLR_VCS_SetSDStatus(0, 30000, 12345);
    for (auto [attr, value] :
         {std::pair{0, 4}, {1, 1}, {2, 2}, {4, 17}, {5, 9}, {6, 6}, {7, 21}, {8, 11}, {9, 200}}) {
        PLR_VCS_AttrSetHandle(attr, value);
    }
    PLR_VCS_VPSTlapseHandle(0, 0, 0);          // running
    PLR_VCS_VPSNotiHandle(14, 1, 0, nullptr);  // still capture
    PLR_VCS_SetTimeSync(1);
    PLR_VCS_VPSZoomHandle(35);
    PLR_VCS_VPSNotiHandle(16, 0, 456, nullptr);  // temperature from ival2
    PLR_VCS_CCTSetHandle(1, 5600);
    PLR_VCS_DNModeSetHandle(1);

    const VcsStatusParams p = PLR_VCS_PackStatus();
    EXPECT_EQ(field(p.bits1, 0, 4), 12U);
    EXPECT_EQ(field(p.bits1, 4, 8), 0U);
    EXPECT_EQ(field(p.bits1, 12, 3), 1U);
    EXPECT_EQ(field(p.bits1, 16, 1), 1U);
    EXPECT_EQ(field(p.bits1, 20, 4), 0U);
    EXPECT_EQ(field(p.bits1, 24, 4), 4U);
    EXPECT_EQ(p.bits1 & 0xF0008000U, 0U) << "bits not listed stay 0";
    EXPECT_EQ(field(p.bits2, 0, 4), 9U);
    EXPECT_EQ(field(p.bits2, 4, 6), 33U);
    EXPECT_EQ(field(p.bits2, 10, 1), 0U) << "negative EV";
    EXPECT_EQ(field(p.bits2, 11, 4), 3U);
    EXPECT_EQ(field(p.bits2, 15, 3), 1U);
    EXPECT_EQ(field(p.bits2, 18, 2), 2U);
    EXPECT_EQ(field(p.bits2, 20, 4), 9U);
    EXPECT_EQ(field(p.bits2, 24, 4), 6U);
    EXPECT_EQ(field(p.bits2, 28, 4), 11U);
    EXPECT_EQ(p.sdTotal, 30000.0F);
    EXPECT_EQ(p.sdFree, 12345.0F);
    EXPECT_EQ(field(p.bits5, 0, 5), 21U);
    EXPECT_EQ(field(p.bits5, 5, 5), 17U);
    EXPECT_EQ(field(p.bits5, 10, 4), 2U);
    EXPECT_EQ(field(p.bits5, 14, 2), 1U);
    EXPECT_EQ(field(p.bits5, 16, 1), 1U);
    EXPECT_EQ(field(p.bits5, 17, 7), 35U);
    EXPECT_EQ(field(p.bits5, 24, 8), 200U);
    EXPECT_EQ(p.bits6, 456U);
    EXPECT_EQ(field(p.bits7, 0, 7), 56U);
    EXPECT_EQ(field(p.bits7, 7, 1), 1U);
    EXPECT_EQ(field(p.bits7, 8, 1), 1U);
    EXPECT_EQ(p.bits7 >> 9, 0U);
}

TEST_F(VcsTest, EvSignAndFieldMasks) {
    PLR_VCS_SetAEAttr(2, 3);
    PLR_VCS_SetAEAttr(1, 64);  // too wide for its six bits
    VcsStatusParams p = PLR_VCS_PackStatus();
    EXPECT_EQ(field(p.bits2, 10, 1), 1U);
    EXPECT_EQ(field(p.bits2, 11, 4), 3U);
    EXPECT_EQ(field(p.bits2, 4, 6), 0U);
    EXPECT_EQ(field(p.bits1, 20, 4), 1U) << "no card until told otherwise";
    EXPECT_EQ(field(p.bits1, 0, 4), 1U) << "initial resolution code";
}

TEST_F(VcsTest, ResolutionCodes) {
    struct Case {
        int32_t res, fps;
        uint32_t code;  // 99: unchanged
    };
    for (const Case& c : {Case{15, 25, 0},
                          {15, 60, 2},
                          {14, 30, 4},
                          {6, 25, 6},
                          {6, 120, 9},
                          {5, 25, 10},
                          {5, 120, 13},
                          {15, 120, 9},
                          {14, 120, 9},
                          {15, 50, 99},
                          {7, 30, 99}}) {
        PLR_VCS_SetRes(5, 30);  // code 11
        EXPECT_EQ(PLR_VCS_SetRes(c.res, c.fps), 0);
        EXPECT_EQ(g_vcsCtx.resCode.load(), c.code == 99 ? 11U : c.code) << c.res << "/" << c.fps;
    }
    for (int32_t code = 0; code < 14; ++code) {
        int32_t res = 0, fps = 0;
        ASSERT_EQ(PLR_VCS_Res2SizeFrm(code, &res, &fps), 0);
        PLR_VCS_SetRes(res, fps);
        EXPECT_EQ(g_vcsCtx.resCode.load(), static_cast<uint32_t>(code)) << "round trip";
    }
    int32_t res = 0, fps = 0;
    EXPECT_EQ(PLR_VCS_Res2SizeFrm(14, &res, &fps), -1);
    EXPECT_EQ(PLR_VCS_Res2SizeFrm(-1, &res, &fps), -1);
    EXPECT_EQ(PLR_VCS_Res2SizeFrm(3, nullptr, &fps), -1);
    EXPECT_EQ(PLR_VCS_SetVpsMode(2), -1);
}

// ---- GPS ----

TEST(GpsTest, ConversionOutsideAndInsideTheRegion) {
    float lat = 0, lon = 0;
    testing::internal::CaptureStdout();
    GPSConvert(&lat, &lon, 48.8566, 2.3522);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GPS out of china.\n");
    EXPECT_EQ(lat, 48.8566F);
    EXPECT_EQ(lon, 2.3522F);

    testing::internal::CaptureStdout();
    GPSConvert(&lat, &lon, 39.9, 116.4);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("GPS inside of china.", 0), 0U);
    EXPECT_NEAR(lat - 39.9, 0.0014, 0.0002);
    EXPECT_NEAR(lon - 116.4, 0.0062, 0.0002);

    EXPECT_EQ(isOutOfChina(39.9, 116.4), 0);
    EXPECT_EQ(isOutOfChina(56.0, 116.4), 1);
    EXPECT_EQ(isOutOfChina(39.9, 72.0), 1);
}

TEST(GpsTest, StoreAndHandOverToTheCamera) {
    EventRecorder::install();
    MavlinkResetGPSInfo();
    MavlinkSyncGPSInfo();
    EXPECT_EQ(EventRecorder::events(), (std::vector<PostedEvt>{{VPS_EVT_GPS_SYNC, 0, 0, "0"}}));

    mavlink_pelora_gps_info_t info{123.45F};
    mavlink_message_t msg;
    mavlink_msg_pelora_gps_info_pack(0x32, 0, 0, &info, &msg);
    EXPECT_EQ(MavlinkUpdateGPSInfo(&msg), 0);
    mavlink_gps_raw_int_t raw{};
    raw.lat = 488566000;
    raw.lon = 23522000;
    mavlink_msg_gps_raw_int_pack(0x32, 0, 0, &raw, &msg);
    EXPECT_EQ(MavlinkUpdateGPSInfo(&msg), 0);
    EXPECT_EQ(MavlinkGetGPSAltitude(), 1234);
    EXPECT_EQ(MavlinkGetGPSLatitude(), 488566000);
    EXPECT_EQ(MavlinkGetGPSLongtitude(), 23522000);
    MavlinkSyncGPSInfo();
    EXPECT_EQ(EventRecorder::events().back(),
              (PostedEvt{VPS_EVT_GPS_SYNC, 488566000, 23522000, "1234"}));

    mavlink_msg_clear(&msg);
    mavlink_finalize_message(&msg, 0x32, 0, 0, MAVLINK_MSG_ID_HEARTBEAT, 9);
    EXPECT_EQ(MavlinkUpdateGPSInfo(&msg), -1);
    EXPECT_EQ(MavlinkUpdateGPSInfo(nullptr), -1);
    MavlinkSetEvtPoster(nullptr);
}

}  // namespace
