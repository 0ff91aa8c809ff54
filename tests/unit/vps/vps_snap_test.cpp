// Still capture without the camera: the photo metadata block built from given
// values, the file naming and directory rules, the capture settings, the
// refusals, and the picture writer fed with hand-made buffers.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "board/board.h"
#include "core/trace_log.h"
#include "encoded_buffer.h"
#include "photo_probe.h"
#include "platform/media.h"
#include "vps/vps_ae.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_exif.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_snap.h"

namespace {

const std::string kXmpSegment = std::string("\xFF\xE1\x00\x4B", 4) +
                                "http://ns.adobe.com/xap/1.0/" + std::string(1, '\0') +
                                "<?xpacket id=888 Roll=1.0 Yaw=1.1 Pitch=1.2>";

struct tm march_5_2024() {
    struct tm t {};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 6;
    t.tm_min = 7;
    t.tm_sec = 8;
    return t;
}

PlrExifInfo photo_info(int32_t lat, int32_t lon, int32_t alt) {
    PlrExifInfo info{};
    EXPECT_EQ(PLR_VPS_AE_SHR2Exptime(24, &info.exposureSeconds), 0);  // 1/30 s
    EXPECT_EQ(PLR_VPS_AE_ISO2Gain(2, &info.isoGain), 0);              // ISO 160
    info.aeMode = 1;
    info.latitude = lat;
    info.longitude = lon;
    info.altitude = alt;
    info.localTime = march_5_2024();
    return info;
}

Bytes build(const PlrExifInfo& info) {
    uint32_t length = 0;
    uint8_t* block = PLR_EXIF_BuildBlock(&info, &length);
    Bytes out;
    if (block != nullptr) out.assign(block, block + length);
    free(block);
    return out;
}

// ---- Metadata block --------------------------------------------------------------

TEST(ExifBlock, TwoApp1SegmentsWithTheEntriesInTheirIfds) {
    PLR_VPS_ConfigInit();
    const Bytes block = build(photo_info(-335000000, -587500000, 1234));
    ASSERT_GT(block.size(), PLR_EXIF_BLOCK_EXTRA);
    const size_t exifLen = block.size() - PLR_EXIF_BLOCK_EXTRA;

    // APP1 with the library's EXIF data (Intel byte order), then the XMP segment.
    EXPECT_EQ(block[0], 0xFF);
    EXPECT_EQ(block[1], 0xE1);
    EXPECT_EQ(be16(&block[2]), exifLen + 2);
    EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 14),
              std::string("Exif\0\0II\x2A\0", 10));
    EXPECT_EQ(std::string(block.begin() + 4 + static_cast<long>(exifLen), block.end()),
              kXmpSegment);

    const ExifReader r(&block[4], exifLen);
    struct Text {
        ExifIfd ifd;
        uint32_t tag;
        const char* value;
    };
    const Text texts[] = {
        {EXIF_IFD_0, 0x010E, "Kavo Sparrow"},
        {EXIF_IFD_0, 0x010F, "Pelora"},
        {EXIF_IFD_0, 0x0110, "Kavo Sparrow"},
        {EXIF_IFD_0, 0x013B, "Kavo Sparrow"},
        {EXIF_IFD_0, 0x0131, "1.2.3"},
        {EXIF_IFD_EXIF, 0x0132, "2024:03:05 06:07:08"},
        {EXIF_IFD_EXIF, 0x9003, "2024:03:05 06:07:08"},
        {EXIF_IFD_GPS, 0x0001, "S"},
        {EXIF_IFD_GPS, 0x0003, "W"},
    };
    for (const Text& t : texts) {
        EXPECT_EQ(r.ascii(t.ifd, t.tag), t.value) << std::hex << t.tag;
        EXPECT_EQ(r.components(t.ifd, t.tag), strlen(t.value) + 1) << "count includes the NUL";
    }
    EXPECT_EQ(r.entry(EXIF_IFD_0, 0x0132), nullptr) << "DateTime sits in the Exif IFD only";

    ExifEntry* version = r.entry(EXIF_IFD_EXIF, 0x9000);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->format, EXIF_FORMAT_UNDEFINED);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(version->data), version->size), "0210");

    using R = std::vector<ExifRational>;
    EXPECT_EQ(r.rationals(EXIF_IFD_EXIF, 0x829A), (R{{1, 30}}));
    EXPECT_EQ(r.shortValue(EXIF_IFD_EXIF, 0x8827), 160);
    EXPECT_EQ(r.rationals(EXIF_IFD_EXIF, 0x920A), (R{{35, 1}}));
    EXPECT_EQ(r.rationals(EXIF_IFD_EXIF, 0x829D), (R{{220, 100}}));
    EXPECT_EQ(r.shortValue(EXIF_IFD_EXIF, 0x9207), 2);
    EXPECT_EQ(r.shortValue(EXIF_IFD_EXIF, 0x8822), 1);
    EXPECT_EQ(r.rationals(EXIF_IFD_GPS, 0x0006), (R{{1234, 10}}));
    EXPECT_EQ(r.rationals(EXIF_IFD_GPS, 0x0002), (R{{33, 1}, {30, 1}, {0, 1000000}}));
    EXPECT_EQ(r.rationals(EXIF_IFD_GPS, 0x0004), (R{{58, 1}, {45, 1}, {0, 1000000}}));
    EXPECT_EQ(r.entry(EXIF_IFD_GPS, 0x0005), nullptr) << "no altitude reference";
}

// A gain outside the 16-bit ISO entry (or not a number) is written saturated,
// never converted straight from the float (found by fuzzing the builder).
TEST(ExifBlock, IsoRatingIsSaturatedToItsEntry) {
    PLR_VPS_ConfigInit();
    struct Case {
        float gain;
        uint16_t iso;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.6F, 160},        {-7.3787e+19F, 0}, {-1.0F, 0},     {0.0F, 0},
        {std::nanf(""), 0}, {700.0F, 65535},   {1e30F, 65535}, {inf, 65535},
    };
    for (const Case& c : cases) {
        PlrExifInfo info = photo_info(0, 0, 0);
        info.isoGain = c.gain;
        const Bytes block = build(info);
        ASSERT_GT(block.size(), PLR_EXIF_BLOCK_EXTRA) << c.gain;
        const ExifReader r(&block[4], block.size() - PLR_EXIF_BLOCK_EXTRA);
        EXPECT_EQ(r.shortValue(EXIF_IFD_EXIF, 0x8827), c.iso) << c.gain;
    }
}

TEST(ExifBlock, GpsReferenceLettersAndPositiveDegrees) {
    struct Dms {
        uint32_t degrees;
        uint32_t minutes;
        double seconds;
    };
    struct Case {
        const char* name;
        int32_t lat, lon, alt;
        const char* latRef;
        const char* lonRef;
        Dms latDms, lonDms;
        uint32_t altTenths;
        double secondsTolerance;
    };
    const Case cases[] = {
        {"south west",
         -335000000,
         -587500000,
         1234,
         "S",
         "W",
         {33, 30, 0},
         {58, 45, 0},
         1234,
         1e-6},
        {"north east", 452500000, 71250000, 5, "N", "E", {45, 15, 0}, {7, 7, 30}, 5, 1e-6},
        {"no GPS data", 0, 0, 0, "N", "E", {0, 0, 0}, {0, 0, 0}, 0, 1e-6},
        {"below zero altitude", 10000000, 10000000, -55, "N", "E", {1, 0, 0}, {1, 0, 0}, 0, 1e-3},
        // Inside mainland China the position moves to the local map datum.
        {"china", 399000000, 1164000000, 0, "N", "E", {39, 54, 5.0}, {116, 24, 22.3}, 0, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes block = build(photo_info(c.lat, c.lon, c.alt));
        ASSERT_FALSE(block.empty());
        const ExifReader r(&block[4], block.size() - PLR_EXIF_BLOCK_EXTRA);
        EXPECT_EQ(r.ascii(EXIF_IFD_GPS, 0x0001), c.latRef);
        EXPECT_EQ(r.ascii(EXIF_IFD_GPS, 0x0003), c.lonRef);
        EXPECT_EQ(r.rationals(EXIF_IFD_GPS, 0x0006),
                  (std::vector<ExifRational>{{c.altTenths, 10}}));
        const struct {
            uint32_t tag;
            Dms want;
        } coords[] = {{0x0002, c.latDms}, {0x0004, c.lonDms}};
        for (const auto& coord : coords) {
            const std::vector<ExifRational> got = r.rationals(EXIF_IFD_GPS, coord.tag);
            ASSERT_EQ(got.size(), 3u);
            EXPECT_EQ(got[0].numerator, coord.want.degrees);
            EXPECT_EQ(got[0].denominator, 1u);
            EXPECT_EQ(got[1].numerator, coord.want.minutes);
            EXPECT_EQ(got[1].denominator, 1u);
            EXPECT_EQ(got[2].denominator, 1000000u);
            EXPECT_NEAR(got[2].numerator / 1e6, coord.want.seconds, c.secondsTolerance);
        }
    }
}

TEST(ExifBlock, ExposureTimeAsAnExactRational) {
    const struct {
        uint32_t shutterIndex;
        PlrRational want;
    } cases[] = {
        {0, {1, 8000}}, {24, {1, 30}}, {32, {1, 4}},  {33, {3, 10}},
        {39, {13, 10}}, {41, {2, 1}},  {52, {30, 1}},
    };
    PLR_VPS_ConfigInit();  // photo mode: every shutter index is allowed
    for (const auto& c : cases) {
        float seconds = 0;
        ASSERT_EQ(PLR_VPS_AE_SHR2Exptime(c.shutterIndex, &seconds), 0);
        const PlrRational got = PLR_EXIF_ExposureRational(seconds);
        EXPECT_EQ(got.num, c.want.num) << c.shutterIndex;
        EXPECT_EQ(got.den, c.want.den) << c.shutterIndex;
    }
    // Not a time, or terms beyond 32 bits: unknown or saturated, never a float
    // converted out of range (found by fuzzing the builder).
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float seconds;
        PlrRational want;
    } odd[] = {
        {0.0F, {0, 1}},         {-1.0F, {0, 1}},           {std::nanf(""), {0, 1}},
        {inf, {0, 1}},          {1e30F, {UINT32_MAX, 1}},  {4.3e8F, {UINT32_MAX, 1}},
        {3e8F, {300000000, 1}}, {1e-30F, {1, UINT32_MAX}}, {1.7e-38F, {1, UINT32_MAX}},
    };
    for (const auto& c : odd) {
        const PlrRational got = PLR_EXIF_ExposureRational(c.seconds);
        EXPECT_EQ(got.num, c.want.num) << c.seconds;
        EXPECT_EQ(got.den, c.want.den) << c.seconds;
    }
}

// ---- Capture core without the camera ------------------------------------------------

std::vector<VpsEvt> g_notes;

int record_note(const VpsEvt* evt) {
    g_notes.push_back(*evt);
    return 0;
}

class SnapTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        TRACE_LOG_LEVEL(PLR_LOG_D);
        PLR_VPS_EvtReset();
        g_notes.clear();
        ASSERT_EQ(PLR_VPS_RegEvtCallback(record_note), 0);
        PLR_VPS_ConfigInit();
        g_vpsCtx.sdStatus.store(VPS_SD_OK);
        g_vpsCtx.sdTotalMB.store(4096);
        g_vpsCtx.sdFreeMB.store(4000);
        g_vpsCtx.socTemp.store(450);
        g_vpsCtx.panoFileId.store(1);
        set_clock(6, 7, 8);
    }
    void TearDown() override {
        PLR_VPS_EvtReset();
        plr_trace_log_reset();
    }
    static void set_clock(int hour, int minute, int second) {
        struct tm t = march_5_2024();
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        const struct timeval tv = {timegm(&t), 0};
        board_set_clock(tv);
    }
    static std::string full_path() {
        char path[512] = {};
        EXPECT_EQ(PLR_VPS_GenPicFullPath(path, sizeof path), 0);
        return path;
    }
    std::vector<VpsEvt> notes(uint32_t eventno) const {
        std::vector<VpsEvt> out;
        for (const VpsEvt& e : g_notes)
            if (e.eventno == eventno) out.push_back(e);
        return out;
    }

    TempBoardRoot board{"/tmp/SD0/PLRMEDIA/PIC", "/sim"};
};

TEST_F(SnapTest, DirectoriesAndFileNamesByPictureMode) {
    g_vpsCtx.picFileId.store(7);
    g_vpsCtx.snapSeqId.store(2);
    g_vpsCtx.panoFileId.store(4);
    const std::string day = "/tmp/SD0/PLRMEDIA/PIC/20240305";
    const struct {
        uint32_t mode;
        uint32_t pano;
        std::string path;
    } cases[] = {
        {0, 5, day + "/20240305_060708_0007.JPG"},
        {1, 5, day + "/20240305_060708_HDR/20240305_060708_0002.JPG"},
        {2, 5, day + "/20240305_060708_CTI/20240305_060708_0002.JPG"},
        {3, 5, day + "/20240305_060708_AEB/20240305_060708_0002.JPG"},
        {4, 5, day + "/20240305_060708_0007.JPG"},
        {5, 5, day + "/20240305_SPH/20240305_060708_0004.JPG"},
        {5, 6, day + "/20240305_WID/20240305_060708_0004.JPG"},
        {5, 7, day + "/20240305_VER/20240305_060708_0004.JPG"},
        {5, 0, day + "/20240305_HOR/20240305_060708_0004.JPG"},
        {5, 9, day + "/20240305_HOR/20240305_060708_0004.JPG"},
    };
    for (const auto& c : cases) {
        g_vpsCtx.snapMode.store(c.mode);
        g_vpsCtx.panoMode.store(c.pano);
        ASSERT_EQ(PLR_VPS_GenPicFilePath(), 0);
        const std::string path = full_path();
        EXPECT_EQ(path, c.path) << "mode " << c.mode << " pano " << c.pano;
        EXPECT_TRUE(board.exists(path.substr(0, path.rfind('/')))) << path;
    }
}

TEST_F(SnapTest, PanoramasOfOneDayAndModeShareADirectory) {
    g_vpsCtx.snapMode.store(VPS_SNAP_PANORAMA);
    g_vpsCtx.panoMode.store(6);
    PLR_VPS_UpdatePanoSnapId(1);
    PLR_VPS_GenPicFilePath();
    const std::string first = full_path();
    set_clock(18, 30, 0);
    PLR_VPS_UpdatePanoSnapId(2);
    PLR_VPS_GenPicFilePath();
    const std::string second = full_path();
    EXPECT_EQ(first.substr(0, first.rfind('/')), second.substr(0, second.rfind('/')));
    EXPECT_NE(first, second);
    EXPECT_NE(second.find("_0002.JPG"), std::string::npos) << second;
}

TEST_F(SnapTest, CountersAdvancePerModeAndResetTogether) {
    const struct {
        uint32_t mode;
        uint32_t photo, seq, pano;  // after one update from 1, 1, 1
    } cases[] = {
        {0, 2, 1, 1}, {1, 1, 2, 1}, {2, 1, 2, 1}, {3, 1, 2, 1}, {4, 2, 1, 1}, {5, 1, 1, 1},
    };
    for (const auto& c : cases) {
        g_vpsCtx.snapMode.store(c.mode);
        PLR_VPS_ResetFileID();
        g_vpsCtx.panoFileId.store(1);
        PLR_VPS_UpdateSnpFileID();
        EXPECT_EQ(g_vpsCtx.picFileId.load(), c.photo) << c.mode;
        EXPECT_EQ(g_vpsCtx.snapSeqId.load(), c.seq) << c.mode;
        EXPECT_EQ(g_vpsCtx.panoFileId.load(), c.pano) << c.mode;
    }
    PLR_VPS_ResetFileID();
    EXPECT_EQ(g_vpsCtx.snapSeqId.load(), 1u);
}

TEST_F(SnapTest, CaptureAttributes) {
    struct Case {
        int32_t attr, value;
        bool busy;
        int32_t result;
    };
    const Case cases[] = {
        {0, 3, false, 0}, {0, 6, false, -1},     {0, 2, true, -1},   {1, 1, false, 0},
        {2, 7, false, 0}, {3, 0, false, -1},     {4, 9, false, 0},   {5, 0x0101, false, 0},
        {6, 1, false, 0}, {7, 0x010A, false, 0}, {7, 5, true, -1},   {8, 6, false, 0},
        {8, 7, true, -1}, {9, 1, false, -1},     {10, 0, false, -1}, {-1, 0, false, -1},
        {5, 4, true, 0},
    };
    for (const Case& c : cases) {
        g_notes.clear();
        g_vpsCtx.snapBusy.store(c.busy ? VPS_SNAP_BUSY : 0);
        EXPECT_EQ(PLR_VPS_AttrSetHandle(c.attr, c.value), c.result) << c.attr << " " << c.value;
        const std::vector<VpsEvt> n = notes(VPS_EVT_ATTR_SET);
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(n[0].retCode, c.result);
        EXPECT_EQ(n[0].ival1, c.attr);
        EXPECT_EQ(n[0].ival2, c.value);
    }
    // What the accepted ones left behind.
    EXPECT_EQ(g_vpsCtx.snapMode.load(), 3u);
    EXPECT_EQ(g_vpsCtx.snapTlapse.load(), 10u) << "low byte";
    EXPECT_EQ(g_vpsCtx.panoMode.load(), 6u);
    EXPECT_EQ(g_vpsCtx.ctiShot.load(), 4u) << "the shot count may change during a capture";

    const struct { uint8_t in, stored; } shots[] = {{0, 2}, {1, 2}, {2, 2}, {9, 9}};
    for (const auto& s : shots) {
        PLR_VPS_SetCtiShot(s.in);
        EXPECT_EQ(g_vpsCtx.ctiShot.load(), s.stored);
    }
}

TEST_F(SnapTest, StartRefusedWithoutUsableCardOrOutsidePhotoMode) {
    const struct {
        const char* name;
        uint32_t sdStatus, freeMB, vpsMode;
        size_t notes;
        int32_t code;
    } cases[] = {
        {"no card", VPS_SD_NONE, 0, VPS_MODE_PHOTO, 1, VPS_SD_ERR_UNUSABLE},
        {"card error", VPS_SD_RW_ERROR, 0, VPS_MODE_PHOTO, 1, VPS_SD_ERR_UNUSABLE},
        {"card full", VPS_SD_OK, 300, VPS_MODE_PHOTO, 1, VPS_SD_ERR_FULL},
        {"record mode", VPS_SD_OK, 4000, VPS_MODE_RECORD, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_notes.clear();
        g_vpsCtx.sdStatus.store(c.sdStatus);
        g_vpsCtx.sdFreeMB.store(c.freeMB);
        g_vpsCtx.vpsMode.store(c.vpsMode);
        PLR_VPS_SNAP_StartHandle();
        const std::vector<VpsEvt> n = notes(VPS_EVT_SNAP_START);
        ASSERT_EQ(n.size(), c.notes);
        if (!n.empty()) {
            EXPECT_EQ(n[0].retCode, c.code);
        }
        EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
        EXPECT_FALSE(board.exists("/tmp/SD0/PLRMEDIA/PIC/20240305")) << "nothing made on the card";
    }
}

TEST_F(SnapTest, StartRefusedWhenBusyOrHot) {
    g_vpsCtx.snapBusy.store(VPS_SNAP_BUSY);
    EXPECT_EQ(PLR_VPS_SnapStart(), -1);
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), VPS_SNAP_BUSY) << "the capture in progress keeps going";

    g_vpsCtx.snapBusy.store(0);
    g_vpsCtx.socTemp.store(1050);
    EXPECT_EQ(PLR_VPS_SnapStart(), -1);
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
    EXPECT_FALSE(board.exists("/tmp/SD0/PLRMEDIA/PIC/20240305"));

    // 104.9 degrees passes the thermal check (the encoder is absent here, so
    // the request itself fails and the capture is released).
    g_vpsCtx.socTemp.store(1049);
    EXPECT_NE(PLR_VPS_SnapStart(), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/PLRMEDIA/PIC/20240305"));
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
}

// A media buffer holding `bytes`, as the JPEG encoder would hand it over.
MEDIA_BUFFER picture_buffer(const Bytes& bytes) {
    return encoded_buffer(bytes.data(), bytes.size());
}

const Bytes kPicture = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xD9};

TEST_F(SnapTest, WriterInsertsTheMetadataBehindTheStartOfImage) {
    g_vpsCtx.snapMode.store(VPS_SNAP_SINGLE);
    PLR_VPS_GenPicFilePath();
    g_vpsCtx.snapBusy.store(VPS_SNAP_BUSY);
    const std::string path = full_path();
    MEDIA_BUFFER mb = picture_buffer(kPicture);
    ASSERT_NE(mb, nullptr);
    PLR_VPS_SNPStreamCb(mb);

    const Bytes file = read_bytes(board.path(path));
    ASSERT_GT(file.size(), kPicture.size() + PLR_EXIF_BLOCK_EXTRA);
    const size_t blockLen = file.size() - kPicture.size();
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 2), Bytes(kPicture.begin(), kPicture.begin() + 2));
    EXPECT_EQ(Bytes(file.end() - static_cast<long>(kPicture.size() - 2), file.end()),
              Bytes(kPicture.begin() + 2, kPicture.end()));
    const std::vector<JpegSegment> segments = app_segments(file);
    ASSERT_GE(segments.size(), 2u);
    EXPECT_EQ(segments[0].marker, 0xE1);
    EXPECT_EQ(segments[1].marker, 0xE1);
    EXPECT_EQ(segments[1].length, PLR_XMP_SEGMENT_LENGTH);
    EXPECT_EQ(segments[0].length + 2 + 2 + PLR_XMP_SEGMENT_LENGTH, blockLen);

    const std::vector<VpsEvt> stops = notes(VPS_EVT_SNAP_STOP);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].retCode, 0);
    EXPECT_EQ(std::string(stops[0].cval), path);
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
    EXPECT_EQ(g_vpsCtx.picFileId.load(), 2u);
}

TEST_F(SnapTest, WriterFailuresEndTheCaptureWithThePath) {
    // A file where the capture directory should be: nothing can be opened in it.
    g_vpsCtx.snapMode.store(VPS_SNAP_CONTINUOUS);
    PLR_VPS_GenPicFilePath();
    const std::string path = full_path();
    const std::string dir = path.substr(0, path.rfind('/'));
    std::filesystem::remove_all(board.path(dir));
    board.write(dir, "");
    g_vpsCtx.snapBusy.store(VPS_SNAP_BUSY);
    PLR_VPS_SNPStreamCb(picture_buffer(kPicture));
    std::vector<VpsEvt> stops = notes(VPS_EVT_SNAP_STOP);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].retCode, -1);
    EXPECT_EQ(std::string(stops[0].cval), path);
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
    EXPECT_EQ(g_vpsCtx.snapSeqId.load(), 1u) << "no picture was kept";

    // A series whose next picture cannot be requested ends rather than
    // leaving the camera busy for good; the picture it has is kept.
    g_notes.clear();
    std::filesystem::remove(board.path(dir));
    g_vpsCtx.ctiShot.store(3);
    PLR_VPS_GenPicFilePath();
    g_vpsCtx.snapBusy.store(VPS_SNAP_BUSY);
    PLR_VPS_SNPStreamCb(picture_buffer(kPicture));
    stops = notes(VPS_EVT_SNAP_STOP);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].retCode, -1);
    EXPECT_EQ(g_vpsCtx.snapBusy.load(), 0u);
    EXPECT_TRUE(board.exists(path));
}

}  // namespace
