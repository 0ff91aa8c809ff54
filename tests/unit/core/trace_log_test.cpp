#include "core/trace_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "../../support/board_root_fixture.h"
#include "board/board.h"

namespace {

// Trace and data logs in file mode on a board root with an inserted card.
class DataLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        plr_trace_log_reset();
        board.write("/dev/mmcblk2p1", "");
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_SET_SD_STATUS(0);
        TRACE_FLYC_LOG_ENABLE();
    }
    void TearDown() override {
        plr_trace_log_reset();
        struct timeval now {};
        gettimeofday(&now, nullptr);
        board_set_clock(now);
    }

    TempBoardRoot board{"/tmp/SD0", "/sim"};
};

TEST(TraceLineTest, FormatIsTimeLevelLetterTextAndNewline) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 14:03:07.120 UTC on 1 January 2024.
    const long long at = 1704117787;
    char line[PLR_TRACE_LINE_SIZE];
    const size_t n = plr_trace_format_line(line, PLR_LOG_D, "SD Card Inserted.", at, 120999);
    EXPECT_EQ(std::string(line, n), "[14:03:07.120][D] SD Card Inserted.\n");

    const std::string text23(23, 'x');
    EXPECT_EQ(plr_trace_format_line(line, PLR_LOG_E, text23.c_str(), at, 0), 23u + 19u);
    EXPECT_EQ(std::string(line).substr(14, 4), "[E] ");
}

TEST(TraceLineTest, LevelLetters) {
    const std::string letters = "CEWNDISFU";
    for (uint32_t level = 0; level <= 8; ++level) {
        EXPECT_EQ(plr_trace_level_letter(level), letters[level]) << level;
    }
    EXPECT_EQ(plr_trace_level_letter(1000), 'U');
}

TEST(TraceLineTest, OverlongTextIsCutToTheLineBuffer) {
    const std::string text(5000, 'y');
    char line[PLR_TRACE_LINE_SIZE + 8];
    memset(line, 0x5a, sizeof line);
    const size_t n = plr_trace_format_line(line, PLR_LOG_D, text.c_str(), 0, 0);
    EXPECT_EQ(n, PLR_TRACE_LINE_SIZE - 1);
    EXPECT_EQ(line[n - 1], '\n');
    EXPECT_EQ(line[PLR_TRACE_LINE_SIZE], 0x5a) << "wrote past the line buffer";
}

TEST_F(DataLogTest, TraceFileModeFiltersByLevel) {
    TRACE_LOG_METHOD(PLR_LOG_METHOD_FILE);
    TRACE_LOG_ENABLE();
    plr_trace_log(PLR_LOG_I, "filtered out");
    plr_trace_log(PLR_LOG_D, "kept");
    plr_trace_logf(PLR_LOG_E, "error %d", 7);
    const std::string log = board.read("/tmp/SD0/VBoardDataLog0.txt");
    EXPECT_EQ(log.find("filtered out"), std::string::npos);
    EXPECT_NE(log.find("][D] kept\n"), std::string::npos);
    EXPECT_NE(log.find("][E] error 7\n"), std::string::npos);
}

TEST_F(DataLogTest, TraceIsSilentUntilEnabled) {
    TRACE_LOG_METHOD(PLR_LOG_METHOD_FILE);
    plr_trace_log(PLR_LOG_C, "not enabled");
    EXPECT_FALSE(board.exists("/tmp/SD0/VBoardDataLog0.txt"));
}

TEST_F(DataLogTest, NumberedNamesFollowTheCounterFile) {
    ASSERT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_VBOARD), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/VBoardDataLog0.txt"));
    EXPECT_EQ(board.read("/tmp/SD0/VBoardID"), "0\n");
    ASSERT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_VBOARD), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/VBoardDataLog1.txt"));
    EXPECT_EQ(board.read("/tmp/SD0/VBoardID"), "1\n");

    board.write("/tmp/SD0/GimbalID", "41\n");
    ASSERT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_GIMBAL), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/GimbalDataLog42.txt"));

    board.write("/tmp/SD0/FlyctlID", "");  // unreadable counter: back to 0
    ASSERT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_FLYCTL), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/FlyctlDataLog0.txt"));
}

TEST_F(DataLogTest, SynchronisedClockGivesTimeStampedNamesAndLeavesTheCounter) {
    PLR_LOG_SetClockSyncQuery([] { return true; });
    struct tm when {};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 2;
    when.tm_hour = 3;
    when.tm_min = 4;
    when.tm_sec = 5;
    const struct timeval tv = {timegm(&when), 0};
    board_set_clock(tv);
    ASSERT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_FLYCTL), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/20240102_030405_FC.txt"));
    EXPECT_FALSE(board.exists("/tmp/SD0/FlyctlID"));
}

TEST_F(DataLogTest, OpeningNeedsTheCardDevice) {
    std::filesystem::remove(board.path("/dev/mmcblk2p1"));
    EXPECT_EQ(plr_trace_log_sysInit(PLR_LOG_TYPE_VBOARD), -1);
    const char record[] = "x";
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 1), -1);
}

TEST_F(DataLogTest, FlightControllerRecordIsTimeStampedData) {
    const std::string data = "fifteen bytes!\n";
    ASSERT_EQ(data.size(), 15u);
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_FLYCTL, data.data(), 15), 0);
    const std::string log = board.read("/tmp/SD0/FlyctlDataLog0.txt");
    ASSERT_EQ(log.size(), 28u);
    EXPECT_EQ(log.substr(13), data);
    EXPECT_EQ(log[2], ':');
    EXPECT_EQ(log[5], ':');
    EXPECT_EQ(log[8], '.');
    EXPECT_EQ(log[12], ',');

    // Longer data is cut to 1024 bytes, never written past the record buffer.
    const std::string big(3000, 'b');
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_FLYCTL, big.data(), static_cast<uint32_t>(big.size())), 0);
    EXPECT_EQ(board.read("/tmp/SD0/FlyctlDataLog0.txt").size(), 28u + 13u + 1024u);
}

TEST_F(DataLogTest, FlightControllerLogNeedsItsSwitch) {
    TRACE_FLYC_LOG_DISABLE();
    const char record[] = "tick\n";
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_FLYCTL, record, 5), -1);
    EXPECT_FALSE(board.exists("/tmp/SD0/FlyctlDataLog0.txt"));
}

TEST_F(DataLogTest, RefusalsForForceStopAndCardStatus) {
    const char record[] = "abc";
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 3), 0);
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, nullptr, 3), -1);
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 0), -1);

    TRACE_LOG_ForceStop(1);
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 3), -1);
    TRACE_LOG_ForceStop(0);
    EXPECT_EQ(board.read("/tmp/SD0/GimbalDataLog0.txt"), "abc");

    // A non-zero card status refuses and closes: the next usable write opens a new file.
    TRACE_LOG_SET_SD_STATUS(2);
    EXPECT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 3), -1);
    TRACE_LOG_SET_SD_STATUS(0);
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 3), 0);
    EXPECT_EQ(board.read("/tmp/SD0/GimbalDataLog1.txt"), "abc");
    EXPECT_EQ(board.read("/tmp/SD0/GimbalDataLog0.txt"), "abc");
}

TEST_F(DataLogTest, CacheHoldsRecordsUntilFullAndFlushesWhenTurnedOff) {
    TRACE_LOG_CACHE_Enable();
    const std::string record(1000, 'r');
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_VBOARD, record.data(), 1000), 0);
    }
    EXPECT_EQ(board.read("/tmp/SD0/VBoardDataLog0.txt").size(), 0u) << "64,000 bytes stay cached";
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_VBOARD, record.data(), 1000), 0);
    EXPECT_EQ(board.read("/tmp/SD0/VBoardDataLog0.txt").size(), 65000u)
        << "64,512 reached: flushed";

    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_VBOARD, "cached", 6), 0);
    TRACE_LOG_CACHE_Disable();
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_VBOARD, "direct", 6), 0);
    const std::string log = board.read("/tmp/SD0/VBoardDataLog0.txt");
    EXPECT_EQ(log.size(), 65012u);
    EXPECT_EQ(log.substr(65000), "cacheddirect");
}

TEST_F(DataLogTest, CacheIsFlushedBeforeARecordThatWouldNotFit) {
    TRACE_LOG_CACHE_Enable();
    const std::string record(64000, 'a');
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record.data(), 64000), 0);
    const std::string next(2000, 'b');
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, next.data(), 2000), 0);
    EXPECT_EQ(board.read("/tmp/SD0/GimbalDataLog0.txt"), record);
    TRACE_LOG_CACHE_Disable();
    plr_trace_log_stop();
}

TEST_F(DataLogTest, SdUpdateClosesEveryLog) {
    const char record[] = "1";
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 1), 0);
    TRACE_LOG_SD_UPDATE(1);
    EXPECT_EQ(TRACE_LOG_SD_STATUS(), 1u);
    TRACE_LOG_SD_UPDATE(0);
    ASSERT_EQ(PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, 1), 0);
    EXPECT_TRUE(board.exists("/tmp/SD0/GimbalDataLog1.txt"));
}

TEST(LogPrefixTest, NullOrEmptyBufferIsRefused) {
    char buf[32];
    EXPECT_EQ(PLR_LOG_GenFilePrefix(nullptr, 32), -1);
    EXPECT_EQ(PLR_LOG_GenFilePrefix(buf, 0), -1);
    EXPECT_EQ(PLR_LOG_GenFilePrefix(buf, sizeof buf), 0);
    EXPECT_EQ(strlen(buf), 15u);
    EXPECT_EQ(plr_trace_log_getFileId(nullptr), -1);
    EXPECT_EQ(plr_trace_log_setFileId(nullptr, 1), -1);
}

}  // namespace
