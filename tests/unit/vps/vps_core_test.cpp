// Camera core pieces that run without the event thread: picture sizes, the
// throttled file writer, card handling, status ticks and queries, exposure
// conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "core/trace_log.h"
#include "vps/vcs.h"
#include "vps/vps_ae.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_record.h"
#include "vps/vps_sd.h"
#include "vps/vps_status.h"
#include "vps/vps_switch.h"

namespace {

std::vector<VpsEvt> g_notes;
int record_note(const VpsEvt* evt) {
    g_notes.push_back(*evt);
    return 0;
}

// Notifications of one test, delivered to a recording callback.
class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        PLR_VPS_EvtReset();
        g_notes.clear();
        ASSERT_EQ(PLR_VPS_RegEvtCallback(record_note), 0);
        PLR_VPS_ConfigInit();
    }
    void TearDown() override {
        PLR_VPS_EvtReset();
        g_vpsCtx.vpsStatus.store(VPS_STATUS_IDLE);
    }
};

TEST(PicSizeTest, TableAndInvalidIds) {
    struct Case {
        uint32_t id;
        uint32_t width;
        uint32_t height;
    };
    for (const Case& c : {Case{0, 352, 288}, Case{5, 1280, 720}, Case{10, 800, 1200},
                          Case{15, 3840, 2160}, Case{20, 3840, 8640}}) {
        VpsPicSize size{};
        ASSERT_EQ(PLR_COMM_SYS_GetPicSize(c.id, &size), 0) << c.id;
        EXPECT_EQ(size.width, c.width);
        EXPECT_EQ(size.height, c.height);
    }
    for (uint32_t bad : {9u, 11u, 21u, 1000u}) {
        VpsPicSize size{7, 7};
        EXPECT_EQ(PLR_COMM_SYS_GetPicSize(bad, &size), -1) << bad;
        EXPECT_EQ(size.width, 7u) << "left untouched";
    }
}

TEST(CodeConversionTest, ProfilesCodecsPixelFormats) {
    EXPECT_EQ(PLR_VPS_ConvertRKProfile(0), 66u);
    EXPECT_EQ(PLR_VPS_ConvertRKProfile(1), 77u);
    EXPECT_EQ(PLR_VPS_ConvertRKProfile(2), 100u);
    EXPECT_EQ(PLR_VPS_ConvertRKProfile2(66), 0u);
    EXPECT_EQ(PLR_VPS_ConvertRKProfile2(100), 2u);
    EXPECT_EQ(PLR_VPS_ConvertRKProfile2(5), 1u);
    EXPECT_EQ(PLR_VPS_ConvertRKCodec(7), 1u);
    EXPECT_EQ(PLR_VPS_ConvertRKCodec(9), 2u);
    EXPECT_EQ(PLR_VPS_ConvertRKCodec(6), 0u);
    EXPECT_EQ(PLR_VPS_ConvertRKPixelFmt(3), 26u);
    EXPECT_EQ(PLR_VPS_ConvertRKPixelFmt(4), 26u);
    EXPECT_EQ(PLR_VPS_ConvertRKPixelFmt(1), 36u);
}

// A FILE that records the size of every write reaching it.
std::vector<size_t> g_writes;
ssize_t count_write(void*, const char*, size_t size) {
    g_writes.push_back(size);
    return static_cast<ssize_t>(size);
}

TEST(WriteFileTest, BlocksOfTenAtMostThenTheRemainder) {
    struct Case {
        size_t length;
        std::vector<size_t> calls;
    };
    const Case cases[] = {
        {1000, {1000}},
        {65536, {65536}},
        {11 * 32768 + 5, {10 * 32768, 32768, 5}},
        {0, {}},
    };
    for (const Case& c : cases) {
        g_writes.clear();
        cookie_io_functions_t io{};
        io.write = count_write;
        FILE* file = fopencookie(nullptr, "w", io);
        setvbuf(file, nullptr, _IONBF, 0);
        const std::vector<uint8_t> data(c.length, 0xab);
        EXPECT_EQ(PLR_VENC_WriteFile(data.data(), data.size(), file), c.length);
        fclose(file);
        EXPECT_EQ(g_writes, c.calls) << c.length;
    }
}

TEST(PicBufferSizeTest, AlignmentBitWidthAndFormat) {
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(1920, 1080, 23, 0, 0), 1920u * 1080 * 3 / 2);
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(1920, 1081, 34, 0, 0), 1920u * 1082);
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(100, 10, 25, 0, 64), 128u * 10 * 2);
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(100, 10, 34, 0, 2000), 1024u * 10);
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(1000, 2, 34, 1, 0),
              1280u * 2);  // 1250 bytes of 10-bit pixels
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(64, 2, 1, 4, 0), 128u * 2 * 3);
    EXPECT_EQ(PLR_VENC_GetPicBufferSize(64, 2, 34, 3, 0), 0u);
}

class SdCardTest : public NotifyTest {
protected:
    void SetUp() override {
        NotifyTest::SetUp();
        board.write("/dev/mmcblk2p1", "");
        board.write("/sim/card.mib", "1024\n");
        TRACE_LOG_SET_SD_STATUS(1);
    }
    void TearDown() override {
        NotifyTest::TearDown();
        plr_trace_log_reset();
    }
    TempBoardRoot board{"/sim/card", "/tmp/SD0", "/dev"};
};

TEST_F(SdCardTest, InsertMountsMeasuresAndCreatesMediaDirectories) {
    ASSERT_EQ(PLR_VPS_UpdateSDStatus(VPS_EVT_SD_INSERT), 0);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].eventno, static_cast<uint32_t>(VPS_EVT_SD_INSERT));
    EXPECT_EQ(g_notes[0].retCode, 0);
    EXPECT_EQ(g_notes[0].ival1, 1024);
    EXPECT_GT(g_notes[0].ival2, 1000);
    for (const char* dir : {"VIDEO", "PIC", "THUMB"}) {
        EXPECT_TRUE(board.exists(std::string("/sim/card/PLRMEDIA/") + dir)) << dir;
    }
    EXPECT_EQ(TRACE_LOG_SD_STATUS(), 0u) << "data logs may use the card";

    // A second insert only repeats the state.
    board.write("/sim/card.mib", "2048\n");
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_INSERT);
    EXPECT_EQ(g_notes.back().ival1, 1024);

    // Eject: state 1, sizes 0, counters back to 1, the card no longer visible.
    g_vpsCtx.movFileId.store(7);
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_EJECT);
    EXPECT_EQ(g_notes.back().retCode, 1);
    EXPECT_EQ(g_notes.back().ival1, 0);
    EXPECT_EQ(g_notes.back().ival2, 0);
    EXPECT_EQ(g_vpsCtx.movFileId.load(), 1u);
    EXPECT_FALSE(board.exists("/tmp/SD0/PLRMEDIA"));
    EXPECT_EQ(TRACE_LOG_SD_STATUS(), 1u);
}

TEST_F(SdCardTest, UnwritableCardEndsInStatusTwo) {
    board.write("/sim/card-fail", "");
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_INSERT);
    EXPECT_EQ(g_notes.back().retCode, 2);
    EXPECT_EQ(PLR_VPS_GetSDAvail(), 0);
    EXPECT_EQ(PLR_VPS_GetSDError(), 2);
}

TEST_F(SdCardTest, QueryDuringRecordingKeepsTheValues) {
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_INSERT);
    const int32_t free = g_notes.back().ival2;
    board.write("/tmp/SD0/big.bin", std::string(8 << 20, 'v'));
    g_vpsCtx.recMov.state.store(MOV_ST_RECORDING);
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_QUERY);
    EXPECT_EQ(g_notes.back().ival2, free);
    g_vpsCtx.recMov.state.store(MOV_ST_IDLE);
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_QUERY);
    EXPECT_EQ(g_notes.back().ival2, free - 8);
    EXPECT_EQ(PLR_VPS_UpdateSDStatus(99), -1);
}

TEST_F(SdCardTest, FormatEmptiesTheCardAndReportsStartAndEnd) {
    PLR_VPS_UpdateSDStatus(VPS_EVT_SD_INSERT);
    board.write("/tmp/SD0/PLRMEDIA/VIDEO/x.MP4", "x");
    g_notes.clear();
    PLR_VPS_SdFormatHandle();
    ASSERT_EQ(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[0].ival1, 0);
    EXPECT_EQ(g_notes[1].ival1, 1);
    EXPECT_FALSE(board.exists("/sim/card/PLRMEDIA"));
    EXPECT_EQ(g_vpsCtx.sdStatus.load(), static_cast<uint32_t>(VPS_SD_FORMATTING));
    PLR_VPS_SdFormatHandle();
    EXPECT_EQ(g_notes.size(), 2u) << "a second request while formatting sends nothing";
}

TEST(SdAvailabilityTest, ReserveBoundary) {
    struct Case {
        uint32_t status;
        uint32_t freeMB;
        int avail;
        int error;
    };
    for (const Case& c : {Case{0, 300, 0, 3}, Case{0, 301, 1, 2}, Case{0, 0, 0, 3},
                          Case{1, 5000, 0, 2}, Case{2, 5000, 0, 2}, Case{4, 5000, 0, 2}}) {
        g_vpsCtx.sdStatus.store(c.status);
        g_vpsCtx.sdFreeMB.store(c.freeMB);
        EXPECT_EQ(PLR_VPS_GetSDAvail(), c.avail) << c.status << "/" << c.freeMB;
        EXPECT_EQ(PLR_VPS_GetSDError(), c.error) << c.status << "/" << c.freeMB;
    }
    g_vpsCtx.sdStatus.store(VPS_SD_NONE);
}

TEST(ThermalTest, MillidegreesToTenths) {
    EXPECT_EQ(PLR_VPS_ParseThermal("45678\n"), 456);
    EXPECT_EQ(PLR_VPS_ParseThermal("105000"), 1050);
    EXPECT_EQ(PLR_VPS_ParseThermal(""), -1);
    TempBoardRoot board;
    EXPECT_EQ(PLR_VPS_Update_Thermal(), -1);
    board.write("/sys/class/thermal/thermal_zone0/temp", "45678\n");
    EXPECT_EQ(PLR_VPS_Update_Thermal(), 0);
    EXPECT_EQ(g_vpsCtx.socTemp.load(), 456u);
}

std::vector<int32_t> items_of(uint32_t eventno) {
    std::vector<int32_t> items;
    for (const VpsEvt& e : g_notes) {
        if (e.eventno == eventno) items.push_back(e.retCode);
    }
    return items;
}

TEST_F(NotifyTest, StatusTickTemperatureEveryFourthAndNoZoomWhileSwitching) {
    TempBoardRoot board;
    board.write("/sys/class/thermal/thermal_zone0/temp", "50000\n");
    PLR_VPS_NotiResetTicks();
    for (int i = 0; i < 8; ++i) PLR_VPS_NotiHandler(nullptr);
    std::vector<int32_t> temperatures;
    for (const VpsEvt& e : g_notes) {
        if (e.retCode == VPS_STA_TEMPERATURE) temperatures.push_back(e.ival2);
    }
    EXPECT_EQ(temperatures, (std::vector<int32_t>{500, 500}));
    const std::vector<int32_t> ticked = items_of(VPS_EVT_STATUS);
    EXPECT_EQ(std::count(ticked.begin(), ticked.end(), VPS_STA_ZOOM), 8);

    g_notes.clear();
    g_vpsCtx.vpsStatus.store(VPS_STATUS_TO_RECORD);
    PLR_VPS_NotiHandler(nullptr);
    const std::vector<int32_t> items = items_of(VPS_EVT_STATUS);
    EXPECT_EQ(std::count(items.begin(), items.end(), VPS_STA_ZOOM), 0);
}

TEST_F(NotifyTest, ConfigurationQueryOrder) {
    PLR_VPS_EvtCFGQueryHandle();
    const std::vector<int32_t> order = {VPS_STA_VPS_MODE,  VPS_STA_RESOLUTION, VPS_STA_SNAP_MODE,
                                        VPS_STA_PIC_FMT,   VPS_STA_CTI_SHOT,   VPS_STA_SNAP_TLAPSE,
                                        VPS_STA_PANO_MODE, VPS_STA_CCT_MODE,   VPS_STA_DN_MODE,
                                        VPS_STA_ZOOM};
    EXPECT_EQ(items_of(VPS_EVT_CFG_QUERY), order);
    EXPECT_EQ(g_notes[1].ival1, 15);  // 3840 x 2160
    EXPECT_EQ(g_notes[1].ival2, 30);
    EXPECT_EQ(g_notes[9].ival1, 10);  // zoom 1.0x in tenths

    g_notes.clear();
    g_vpsCtx.vpsStatus.store(VPS_STATUS_TO_PHOTO);
    PLR_VPS_EvtCFGQueryHandle();
    EXPECT_EQ(items_of(VPS_EVT_CFG_QUERY).back(), VPS_STA_DN_MODE);

    g_notes.clear();
    PLR_VPS_ResQueryHandle();
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].ival1, 15);
    EXPECT_EQ(g_notes[0].ival2, 30);
}

// Record starts and mode switches that the camera refuses are notified with a
// failure, so that the phone is answered (COMMAND_ACK 2500 result 4, or the
// mode it stays in with result 4) instead of waiting for a time-out.
TEST_F(NotifyTest, RefusedRecordStartsAndModeSwitchesAreNotified) {
    struct Case {
        const char* what;
        uint32_t vpsMode;
        uint32_t socTemp;
        uint32_t recState;
    };
    g_vpsCtx.sdStatus.store(VPS_SD_OK);
    g_vpsCtx.sdFreeMB.store(5000);
    for (const Case& c : {Case{"photo mode", VPS_MODE_PHOTO, 400, MOV_ST_IDLE},
                          Case{"too hot", VPS_MODE_RECORD, 1050, MOV_ST_IDLE},
                          Case{"file still closing", VPS_MODE_RECORD, 400, MOV_ST_CLOSED}}) {
        g_notes.clear();
        g_vpsCtx.vpsMode.store(c.vpsMode);
        PLR_VCS_SetVpsMode(c.vpsMode);
        g_vpsCtx.socTemp.store(c.socTemp);
        g_vpsCtx.recMov.state.store(c.recState);
        EXPECT_EQ(PLR_VPS_REC_StartHandle(), -1) << c.what;
        ASSERT_EQ(g_notes.size(), 1U) << c.what;
        EXPECT_EQ(g_notes[0].eventno, VPS_EVT_REC_START);
        EXPECT_EQ(g_notes[0].retCode, -1) << c.what;
    }

    // A mode switch while a photo is being written or a recording is closing.
    g_vpsCtx.vpsMode.store(VPS_MODE_RECORD);
    for (const bool snapBusy : {true, false}) {
        g_notes.clear();
        g_vpsCtx.snapBusy.store(snapBusy ? 1 : 0);
        g_vpsCtx.recMov.state.store(snapBusy ? MOV_ST_IDLE : MOV_ST_CLOSED);
        EXPECT_EQ(PLR_VPS_ModeSwitchHandle(VPS_MODE_PHOTO), -1);
        ASSERT_EQ(g_notes.size(), 1U);
        EXPECT_EQ(g_notes[0].eventno, VPS_EVT_MODE_SWITCH);
        EXPECT_EQ(g_notes[0].retCode, -1);
        EXPECT_EQ(g_notes[0].ival1, static_cast<int32_t>(VPS_MODE_RECORD)) << "mode unchanged";
    }
    g_vpsCtx.snapBusy.store(0);
    g_vpsCtx.recMov.state.store(MOV_ST_IDLE);
    g_vpsCtx.vpsMode.store(VPS_MODE_PHOTO);
    PLR_VCS_SetVpsMode(VPS_MODE_PHOTO);
    g_vpsCtx.socTemp.store(0);
    g_vpsCtx.sdStatus.store(VPS_SD_NONE);
}

TEST(ExposureConversionTest, IsoShutterEvTables) {
    struct IsoCase {
        uint32_t iso;
        uint32_t index;
    };
    for (const IsoCase& c :
         {IsoCase{0, 0}, IsoCase{109, 0}, IsoCase{110, 1}, IsoCase{1409, 11}, IsoCase{1410, 12},
          IsoCase{2400, 12}, IsoCase{2401, 13}, IsoCase{3800, 13}, IsoCase{3801, 14}}) {
        uint32_t index = 99;
        PLR_VPS_AE_ISOAlign(c.iso, &index);
        EXPECT_EQ(index, c.index) << c.iso;
    }
    struct ShrCase {
        uint32_t us;
        uint32_t index;
    };
    // 1/30 s -> 24, 1/8000 s -> 0 (above 7000), 1/142 s -> 16 (17 is never chosen), 0 -> 0.
    for (const ShrCase& c :
         {ShrCase{33333, 24}, ShrCase{125, 0}, ShrCase{7000, 16}, ShrCase{7353, 18}, ShrCase{0, 0},
          ShrCase{100000, 28}, ShrCase{1000000, 0}, ShrCase{2500000, 25}}) {
        uint32_t index = 99;
        PLR_VPS_AE_Exptime2SHR(c.us, &index);
        EXPECT_EQ(index, c.index) << c.us;
    }
    float gain = 0;
    EXPECT_EQ(PLR_VPS_AE_ISO2Gain(12, &gain), 0);
    EXPECT_FLOAT_EQ(gain, 16.0f);
    EXPECT_EQ(PLR_VPS_AE_ISO2Gain(13, &gain), -1);
    float luma = 0;
    PLR_VPS_AE_CompCalc(9, &luma);
    EXPECT_FLOAT_EQ(luma, 106.0f);
    PLR_VPS_AE_CompCalc(-8, &luma);
    EXPECT_FLOAT_EQ(luma, 2.0f);
    PLR_VPS_AE_CompCalc(-9, &luma);
    EXPECT_FLOAT_EQ(luma, 1.0f) << "a target luminance stays positive";
    PLR_VPS_AE_CompCalc(10, &luma);
    EXPECT_FLOAT_EQ(luma, 34.0f);
    int32_t step = 0;
    PLR_VPS_AE_HistErrAlign(&step, -12.5f);
    EXPECT_EQ(step, -9);
    PLR_VPS_AE_HistErrAlign(&step, 3.7f);
    EXPECT_EQ(step, 3);
}

TEST(ExposureConversionTest, ShutterLimitInRecordMode) {
    PLR_VPS_ConfigInit();
    float seconds = 0;
    EXPECT_EQ(PLR_VPS_AE_SHR2Exptime(53, &seconds), -1);
    g_vpsCtx.vpsMode.store(VPS_MODE_PHOTO);
    PLR_VPS_AE_SHR2Exptime(30, &seconds);
    EXPECT_FLOAT_EQ(seconds, 1.0f / 6);
    PLR_VPS_AE_SHR2Exptime(52, &seconds);
    EXPECT_FLOAT_EQ(seconds, 30.0f);
    g_vpsCtx.vpsMode.store(VPS_MODE_RECORD);  // 30 frames/s: at most index 24, 1/30 s
    PLR_VPS_AE_SHR2Exptime(30, &seconds);
    EXPECT_FLOAT_EQ(seconds, 1.0f / 30);
    PLR_VPS_AE_SHR2Exptime(45, &seconds);
    EXPECT_FLOAT_EQ(seconds, 1.0f / 30);
    g_vpsCtx.recVenc.dstFps = 60;
    PLR_VPS_AE_SHR2Exptime(24, &seconds);
    EXPECT_FLOAT_EQ(seconds, 1.0f / 60);
    g_vpsCtx.vpsMode.store(VPS_MODE_PHOTO);
    PLR_VPS_ConfigInit();
}

}  // namespace
