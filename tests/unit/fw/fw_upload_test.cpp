// The firmware upload and the upgrade's phone commands, with the phone on one
// end of a socket pair and the board's files in a temporary board root: the
// upload frame parser, the missing-package list, names and version texts from
// the phone, the step record.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../mav/mav_test_util.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "fs/fs_service.h"
#include "fw/fw_transfer.h"
#include "fw/fw_upgrade.h"
#include "fw/fw_upload.h"
#include "fw/fw_wire.h"
#include "mav/mav_link.h"

extern "C" {
#include <libavutil/md5.h>
}
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/resource.h>

namespace {

constexpr uint8_t kPhoneToVideo = 0x42;
constexpr int kWaitMs = 2000;

// ---- the upload frame parser ----

struct Parsed {
    std::vector<std::vector<uint8_t>> frames;
    int badLength = 0;
    int badCksum = 0;
};

Parsed parse_datagrams(const std::vector<std::vector<uint8_t>>& datagrams) {
    Parsed out;
    FwUploadParser parser;
    for (const auto& d : datagrams) {
        for (uint8_t b : d) {
            switch (fw_upload_parse_byte(&parser, b)) {
                case FW_PARSE_FRAME:
                    out.frames.emplace_back(parser.payload, parser.payload + parser.len);
                    break;
                case FW_PARSE_BAD_LENGTH:
                    ++out.badLength;
                    break;
                case FW_PARSE_BAD_CKSUM:
                    ++out.badCksum;
                    break;
                case FW_PARSE_MORE:
                    break;
            }
        }
    }
    return out;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    fw_upload_frame_append(FW_UPLOAD_TYPE_DATA, payload.data(), payload.size(), &out);
    return out;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FwUploadParser, FramesAcrossAndWithinDatagrams) {
    const std::vector<uint8_t> p1 = {1, 2, 3, 4, 5, 6};
    const std::vector<uint8_t> p2(FW_UPLOAD_PAYLOAD_MAX, 0xA5);
    const std::vector<uint8_t> f1 = frame(p1);
    const std::vector<uint8_t> f2 = frame(p2);
    std::vector<uint8_t> badCk = f1;
    badCk.back() ^= 0xFF;
    // Header with length 2054 (0x0806), then 2054 bytes that hold no magic.
    std::vector<uint8_t> tooLong = {'@', '#', '$', '&', 1, 0x06, 0x08};
    tooLong.resize(tooLong.size() + 2054 + 2, 0x11);
    const std::vector<uint8_t> half1(f2.begin(), f2.begin() + 700);
    const std::vector<uint8_t> half2(f2.begin() + 700, f2.end());

    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> datagrams;
        std::vector<std::vector<uint8_t>> frames;
        int badLength;
        int badCksum;
    };
    const Case cases[] = {
        {"one frame", {f1}, {p1}, 0, 0},
        {"split across two datagrams", {half1, half2}, {p2}, 0, 0},
        {"two in one datagram", {cat(f1, f2)}, {p1, p2}, 0, 0},
        {"length 2054 refused, next frame taken", {cat(tooLong, f1)}, {p1}, 1, 0},
        {"bad checksum dropped", {cat(badCk, f1)}, {p1}, 0, 1},
        {"garbage before the magic", {cat({'@', '#', 'x', 0}, f1)}, {p1}, 0, 0},
    };
    for (const Case& c : cases) {
        const Parsed got = parse_datagrams(c.datagrams);
        EXPECT_EQ(got.frames, c.frames) << c.what;
        EXPECT_EQ(got.badLength, c.badLength) << c.what;
        EXPECT_EQ(got.badCksum, c.badCksum) << c.what;
    }
}

TEST(FwUploadWire, NamesAndVersionsFromThePhone) {
    struct NameCase {
        std::string name;
        bool accepted;
    };
    const NameCase names[] = {
        {"update.img", true},
        {"fc_v1.2-3+b.bin", true},
        {"../x", false},
        {"a/b", false},
        {"x;reboot", false},
        {"$(id)", false},
        {"a\nb", false},
        {"..", false},
        {".", false},
        {"", false},
        {std::string(255, 'a'), true},
        {std::string(256, 'a'), false},
    };
    for (const NameCase& c : names) {
        EXPECT_EQ(*fw_name_refusal(c.name) == '\0', c.accepted) << c.name;
    }
    struct VersionCase {
        std::string in;
        const char* out;  // null: refused
    };
    const std::string sixty(60, '7');
    const VersionCase versions[] = {
        {"1.2.3", "1.2.3"},         {sixty, "77777777777777777777777777777777777777777777777777"},
        {"V 2 $(id)", "V 2 $(id)"}, {"1.0\nPTotalVer=x", nullptr},
        {"a\"b", nullptr},          {"", nullptr},
    };
    for (const VersionCase& c : versions) {
        std::string out;
        const char* why =
            fw_version_refusal(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size(), &out);
        if (c.out == nullptr) {
            EXPECT_NE(*why, '\0') << c.in;
        } else {
            EXPECT_STREQ(why, "") << c.in;
            EXPECT_EQ(out, c.out);
        }
    }
}

// ---- the board side, with a phone ----

mavlink_command_long_t phone_command(uint8_t sub) {
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = sub;
    return cmd;
}

std::string md5_hex(const std::vector<uint8_t>& bytes) {
    uint8_t d[16];
    av_md5_sum(d, bytes.data(), bytes.size());
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

class FwPhoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::make_unique<TempBoardRoot>(
            std::initializer_list<const char*>{"/userdata", "/tmp/SD0", "/etc", "/sim"});
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        PLR_MAV_AttachClient(fds_[0], 10, PLR_MAV_NowMs());
        reader_ = std::make_unique<FrameReader>(fds_[1]);
        PLR_FW_UploadInit();
    }
    void TearDown() override {
        PLR_FW_UploadDeinit();
        PLR_MAV_CloseClient();
        close(fds_[1]);
        root_.reset();
    }

    static int handle(const mavlink_message_t& msg) { return mavlink_file_transfer_handler(&msg); }
    mavlink_message_t transfer(uint8_t opcode, uint8_t fileId,
                               const std::vector<uint8_t>& payload) {
        mavlink_file_transfer_protocol_t ftp{};
        ftp.target_network = opcode;
        ftp.target_system = static_cast<uint8_t>(payload.size());
        ftp.target_component = fileId;
        std::copy(payload.begin(), payload.end(), ftp.payload);
        mavlink_message_t msg;
        mavlink_msg_file_transfer_protocol_pack(kPhoneToVideo, 0, 1, &ftp, &msg);
        return msg;
    }
    mavlink_message_t announce(uint8_t sys, uint32_t packages, const std::string& name) {
        FwFileAnnounce a;
        a.sys = sys;
        a.packages = packages;
        a.name = name;
        uint8_t buf[MAVLINK_FTP_PAYLOAD_LEN] = {};
        const int n = fw_announce_encode(a, buf, sizeof buf);
        return transfer(FIRMWARE_UPDATE_FILE_BEGIN, 9, std::vector<uint8_t>(buf, buf + n));
    }
    // The next upgrade command to the phone whose sub-command is `sub`.
    std::optional<mavlink_command_long_t> answer(uint8_t sub, int ms = kWaitMs) {
        const auto m = reader_->next(ms, [sub](const mavlink_message_t& msg) {
            mavlink_command_long_t c{};
            return msg.msgid == MAVLINK_MSG_ID_COMMAND_LONG &&
                   mavlink_msg_command_long_decode(&msg, &c) == 0 && c.target_system == sub;
        });
        if (!m) return std::nullopt;
        mavlink_command_long_t c{};
        mavlink_msg_command_long_decode(&*m, &c);
        return c;
    }
    void send_package(const std::vector<uint8_t>& file, uint32_t index,
                      const sockaddr_in* from = nullptr) {
        const size_t at = size_t{index} * FW_UPLOAD_PKG_SIZE;
        const size_t n = std::min<size_t>(FW_UPLOAD_PKG_SIZE, file.size() - at);
        std::vector<uint8_t> datagram;
        fw_upload_data_frame_append(9, index, file.data() + at, n, &datagram);
        FsRxDataHandler(datagram.data(), datagram.size(), from);
    }

    // The whole upload of one file as the phone does it; the MD5 answer.
    int upload(uint8_t sys, const std::string& name, const std::vector<uint8_t>& file) {
        const auto packages = static_cast<uint32_t>(fw_div_ceil(file.size(), FW_UPLOAD_PKG_SIZE));
        handle(announce(sys, packages, name));
        const auto begun = answer(FIRMWARE_UPDATE_FILE_BEGIN);
        if (!begun || begun->confirmation != 0) return begun ? begun->confirmation : -1;
        for (uint32_t i = 0; i < packages; ++i) send_package(file, i);
        const std::string md5 = md5_hex(file);
        const mavlink_message_t check =
            transfer(FIRMWARE_UPDATE_FILE_MD5, 9, std::vector<uint8_t>(md5.begin(), md5.end()));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            handle(check);
            if (const auto a = answer(FIRMWARE_UPDATE_FILE_MD5, 100)) return a->confirmation;
        }
        return -1;
    }
    void command(uint8_t sub) {
        const mavlink_command_long_t cmd = phone_command(sub);
        firmware_update_command_handler(&cmd);
    }
    // Video installs the simulated update engine has made so far.
    int engine_runs() const {
        const std::string log = root_->read("/sim/events.log");
        int n = 0;
        for (size_t at = log.find("update-engine --image_url"); at != std::string::npos;
             at = log.find("update-engine --image_url", at + 1))
            ++n;
        return n;
    }
    // The board runs until it is idle or asks for its reboot, and is switched
    // off; true when it asked for the reboot.
    bool run_until_idle_or_reboot() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool reboot = false;
        while (std::chrono::steady_clock::now() < end) {
            PLR_FW_UpgradeTrigger();
            reboot = root_->exists("/sim/reboot-requested");
            if (reboot || (g_UpgradeCtx.pending_mask.load() == 0 &&
                           PLR_FW_GetUpgradingSys() == FW_SYS_NONE))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        PLR_FW_UpgradeDeinit();
        std::filesystem::remove(root_->path("/sim/reboot-requested"));
        return reboot;
    }
    // Power-on, then as many reboots as the board asks for (at most four).
    void power_on() {
        for (int boot = 0; boot < 4; ++boot) {
            PLR_FW_UpgradeInit();
            if (!run_until_idle_or_reboot()) return;
        }
    }
    // The board is up; the phone's first status query after start-up.
    std::optional<mavlink_command_long_t> first_status() {
        PLR_FW_UpgradeInit();
        command(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
        auto a = answer(FW_STATUS_REPORT, 500);
        PLR_FW_UpgradeDeinit();
        return a;
    }

    std::unique_ptr<TempBoardRoot> root_;
    int fds_[2] = {-1, -1};
    std::unique_ptr<FrameReader> reader_;
};

TEST_F(FwPhoneTest, MissingPackageIsListedThenTheFileIsMovedIntoPlace) {
    std::vector<uint8_t> file(9 * FW_UPLOAD_PKG_SIZE + 100);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + i / 2048);
    const std::string md5 = md5_hex(file);
    const mavlink_message_t md5Msg =
        transfer(FIRMWARE_UPDATE_FILE_MD5, 9, std::vector<uint8_t>(md5.begin(), md5.end()));

    EXPECT_EQ(handle(announce(FW_SYS_FLYC, 10, "fc.bin")), 0);
    const auto begun = answer(FIRMWARE_UPDATE_FILE_BEGIN);
    ASSERT_TRUE(begun);
    EXPECT_EQ(begun->confirmation, 0);
    EXPECT_EQ(begun->target_component, 9);
    for (uint32_t i = 0; i < 10; ++i) {
        if (i != 3) send_package(file, i);
    }

    // One transfer message listing package 3, and no answer.
    EXPECT_EQ(mavlink_file_transfer_handler(&md5Msg), -1);
    const std::vector<mavlink_message_t> sent = reader_->drain(300);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0].msgid, MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL);
    EXPECT_EQ(sent[0].sysid, 36);
    mavlink_file_transfer_protocol_t list{};
    mavlink_msg_file_transfer_protocol_decode(&sent[0], &list);
    EXPECT_EQ(list.target_network, FIRMWARE_UPDATE_FILE_MD5);
    EXPECT_EQ(list.target_system, 4);
    EXPECT_EQ(list.target_component, 9);
    EXPECT_EQ(std::vector<uint8_t>(list.payload, list.payload + 4),
              (std::vector<uint8_t>{3, 0, 0, 0}));

    // After the package: no answer while the file moves, then 0.
    send_package(file, 3);
    std::optional<mavlink_command_long_t> done;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end) {
        mavlink_file_transfer_handler(&md5Msg);
        done = answer(FIRMWARE_UPDATE_FILE_MD5, 100);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(done->confirmation, 0);
    const std::string kept = root_->read("/userdata/flyctrolfw/fc.bin");
    EXPECT_EQ(std::vector<uint8_t>(kept.begin(), kept.end()), file);
    EXPECT_FALSE(root_->exists("/userdata/BINARY_FILE"));
}

TEST_F(FwPhoneTest, WrongMd5DropsTheFile) {
    const std::vector<uint8_t> file(100, 0x42);
    handle(announce(FW_SYS_GIMBAL, 1, "g.bin"));
    ASSERT_TRUE(answer(FIRMWARE_UPDATE_FILE_BEGIN));
    send_package(file, 0);
    const std::string wrong(32, '0');
    handle(transfer(FIRMWARE_UPDATE_FILE_MD5, 9, std::vector<uint8_t>(wrong.begin(), wrong.end())));
    const auto a = answer(FIRMWARE_UPDATE_FILE_MD5);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->confirmation, FW_MD5_MISMATCH);
    EXPECT_FALSE(root_->exists("/userdata/BINARY_FILE"));
    EXPECT_FALSE(root_->exists("/userdata/gimbalfw"));
}

// A 16 MiB image with no package yet: one pass of the missing list is ~10,000
// messages, seconds of sending. The shutdown ends the pass at the next message
// instead of waiting for it (a found hang of the shutdown).
TEST_F(FwPhoneTest, ShutdownEndsTheMissingListOfALargeImage) {
    ASSERT_EQ(PLR_FW_ImageBegin(0, static_cast<float>(FW_IMAGE_SIZE_MAX)), 0);
    const std::string md5(32, 'a');
    handle(transfer(FIRMWARE_UPDATE_MD5, 0, std::vector<uint8_t>(md5.begin(), md5.end())));
    ASSERT_TRUE(answer(FIRMWARE_UPDATE_DATA));
    // The phone keeps reading, so the sender never waits for it.
    int lists = 1;
    std::atomic<bool> stopped{false};
    std::thread phone([&] {
        for (;;) {
            if (answer(FIRMWARE_UPDATE_DATA, 200)) {
                ++lists;
            } else if (stopped) {
                return;
            }
        }
    });
    PLR_FW_UploadDeinit();
    stopped = true;
    phone.join();
    const uint32_t packages = fw_div_ceil(FW_IMAGE_SIZE_MAX, FW_IMAGE_PKG_SIZE);
    EXPECT_LT(lists, static_cast<int>(packages / 7 / 10)) << "of " << packages / 7 << " in a pass";
}

TEST_F(FwPhoneTest, HostileAnnouncementsAreRefusedAndChangeNothing) {
    struct Case {
        const char* what;
        mavlink_message_t msg;
        uint8_t result;
    };
    // A name length of 255 in a payload that cannot hold it.
    std::vector<uint8_t> overlong(MAVLINK_FTP_PAYLOAD_LEN, 'a');
    overlong[0] = FW_SYS_VIDEO;
    overlong[5] = 1;
    overlong[9] = 255;
    const Case cases[] = {
        {"traversal", announce(FW_SYS_VIDEO, 1, "../x"), FW_ANNOUNCE_REFUSED},
        {"slash", announce(FW_SYS_VIDEO, 1, "a/b"), FW_ANNOUNCE_REFUSED},
        {"command", announce(FW_SYS_VIDEO, 1, "x;reboot"), FW_ANNOUNCE_REFUSED},
        {"substitution", announce(FW_SYS_VIDEO, 1, "$(id)"), FW_ANNOUNCE_REFUSED},
        {"newline", announce(FW_SYS_VIDEO, 1, "a\nb"), FW_ANNOUNCE_REFUSED},
        {"name past the payload", transfer(FIRMWARE_UPDATE_FILE_BEGIN, 9, overlong),
         FW_ANNOUNCE_REFUSED},
        {"no packages", announce(FW_SYS_VIDEO, 0, "a.bin"), FW_ANNOUNCE_REFUSED},
        {"video image over 64 MiB",
         announce(FW_SYS_VIDEO, fw_upload_packages_max(FW_SYS_VIDEO) + 1, "update.img"),
         FW_ANNOUNCE_REFUSED},
        // Begin tells the other boards the size as a float: exact to 2^24 only.
        {"flight-controller file of 2^24 + 1 bytes",
         announce(FW_SYS_FLYC, (1U << 24) / FW_UPLOAD_PKG_SIZE + 1, "fc.bin"), FW_ANNOUNCE_REFUSED},
        {"repeater file of 2^24 + 1 bytes",
         announce(FW_SYS_REPEATER, (1U << 24) / FW_UPLOAD_PKG_SIZE + 1, "r.bin"),
         FW_ANNOUNCE_REFUSED},
        {"video image not named update.img", announce(FW_SYS_VIDEO, 1, "other.img"),
         FW_ANNOUNCE_REFUSED},
        {"the name \".\"", announce(FW_SYS_FLYC, 1, "."), FW_ANNOUNCE_REFUSED},
        {"the phone's system id", announce(4, 1, "a.bin"), FW_ANNOUNCE_BAD_SYS},
    };
    for (const Case& c : cases) {
        mavlink_file_transfer_handler(&c.msg);
        const auto a = answer(FIRMWARE_UPDATE_FILE_BEGIN);
        ASSERT_TRUE(a) << c.what;
        EXPECT_EQ(a->confirmation, c.result) << c.what;
    }
    EXPECT_TRUE(std::filesystem::is_empty(root_->path("/userdata")));
}

TEST_F(FwPhoneTest, VersionTextGoesIntoTheConfiguration) {
    root_->write("/etc/pelora.conf", "ModelName=PL1\nPTotalVer=1.0.0\n");
    CclInit();
    struct Case {
        std::string text;
        uint8_t result;
        const char* stored;
    };
    const Case cases[] = {
        {"2.1.0", 0, "2.1.0"},
        {std::string(60, '9'), 0, "99999999999999999999999999999999999999999999999999"},
        {"v 3 $(id)", 0, "v 3 $(id)"},
        {"3.0\nPTotalVer=evil", 4, "v 3 $(id)"},
    };
    for (const Case& c : cases) {
        handle(transfer(FIRMWARE_UPDATE_VERSION, 0,
                        std::vector<uint8_t>(c.text.begin(), c.text.end())));
        const auto a = answer(FIRMWARE_UPDATE_VERSION);
        ASSERT_TRUE(a) << c.text;
        EXPECT_EQ(a->confirmation, c.result) << c.text;
        EXPECT_STREQ(CclGetKeyvalue("PTotalVer"), c.stored) << c.text;
    }
    EXPECT_STREQ(CclGetKeyvalue("ModelName"), "PL1");
    CclExit();
}

TEST_F(FwPhoneTest, StepRecordLetters) {
    const std::string letters = "PBTMRESU";
    for (int step = 0; step < 8; ++step) {
        ASSERT_EQ(firmware_set_update_step(step), 0);
        EXPECT_EQ(root_->read(FW_STEP_FILE), std::string(1, letters[step])) << step;
        EXPECT_EQ(firmware_get_update_step(), step == 7 ? 0 : step) << step;
    }
    root_->write(FW_STEP_FILE, "X");
    EXPECT_EQ(firmware_get_update_step(), 0);
    firmware_clear_update_step();
    EXPECT_EQ(firmware_get_update_step(), FW_STEP_NONE);
}

TEST_F(FwPhoneTest, StatusAfterTheVideoRestartConfirmsOnce) {
    signal(SIGTERM, SIG_IGN);  // the simulated reboot signals the process
    PLR_FW_UpgradeInit();
    ASSERT_EQ(upload(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME, std::vector<uint8_t>(100, 7)), 0);
    command(FIRMWARE_UPDATE_FILE_RESTART);
    ASSERT_TRUE(run_until_idle_or_reboot());
    PLR_FW_UpgradeInit();
    const mavlink_command_long_t query = phone_command(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
    firmware_update_command_handler(&query);
    const auto first = answer(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->confirmation, 5);
    EXPECT_EQ(first->target_component, FW_SYS_VIDEO);
    EXPECT_EQ(first->param4, 1.0f) << "the phone's upload was installed";
    EXPECT_FALSE(root_->exists(FW_STEP_FILE));
    firmware_update_command_handler(&query);
    const auto second = answer(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
    ASSERT_TRUE(second);
    EXPECT_NE(second->confirmation, 5);
    EXPECT_EQ(second->target_component, FW_SYS_NONE);
    PLR_FW_UpgradeDeinit();
}

TEST_F(FwPhoneTest, BoardsInOrderFailuresReportedFilesKept) {
    // Card directories without files: each board's upgrade fails at once. The
    // phone's files of a set it never declared complete are not touched.
    for (const char* dir : {"/tmp/SD0/flyctrolfw", "/tmp/SD0/gimbalfw", "/tmp/SD0/repeatorfw"}) {
        std::filesystem::create_directories(root_->path(dir));
    }
    root_->write("/userdata/flyctrolfw/part1.bin", "half of a set");
    PLR_FW_UpgradeInit();
    EXPECT_EQ(g_UpgradeCtx.pending_mask.load(), (1U << 3) | (1U << 7) | (1U << 5));
    for (uint32_t sys : {FW_SYS_FLYC, FW_SYS_GIMBAL, FW_SYS_REPEATER}) {
        EXPECT_EQ(PLR_FW_GetUpgradeSys(), sys);
        EXPECT_EQ(PLR_FW_UpgradeTrigger(), 0);
        const auto report = answer(FW_STATUS_REPORT);
        ASSERT_TRUE(report) << sys;
        EXPECT_EQ(report->target_component, sys);
        EXPECT_NE(report->param1, 0.0f) << "a failed board is reported as failed";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (PLR_FW_GetUpgradingSys() != FW_SYS_NONE && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(PLR_FW_GetUpgradingSys(), FW_SYS_NONE) << sys;
    }
    EXPECT_EQ(g_UpgradeCtx.pending_mask.load(), 0U);
    EXPECT_TRUE(root_->exists("/userdata/flyctrolfw/part1.bin"));
    EXPECT_TRUE(root_->exists("/tmp/SD0/flyctrolfw"));
    EXPECT_TRUE(root_->exists("/tmp/SD0/repeatorfw"));

    // A status query still tells of the failure.
    const mavlink_command_long_t query = phone_command(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
    firmware_update_command_handler(&query);
    const auto status = answer(FW_STATUS_REPORT);
    ASSERT_TRUE(status);
    EXPECT_NE(status->param1, 0.0f);
    EXPECT_EQ(status->target_component, FW_SYS_NONE);

    // The card's sets were tried once for this card: not again at the next
    // start, until the card has been out.
    PLR_FW_UpgradeDeinit();
    PLR_FW_UpgradeInit();
    EXPECT_EQ(g_UpgradeCtx.pending_mask.load(), 0U);
    PLR_FW_UpgradeTrigger();
    std::filesystem::rename(root_->path("/tmp/SD0"), root_->path("/tmp/SD0.out"));
    PLR_FW_UpgradeTrigger();
    std::filesystem::rename(root_->path("/tmp/SD0.out"), root_->path("/tmp/SD0"));
    PLR_FW_UpgradeCheck();
    EXPECT_EQ(g_UpgradeCtx.pending_mask.load(), (1U << 3) | (1U << 7) | (1U << 5));
    PLR_FW_UpgradeDeinit();
}

// What start-up does with the video board's image, by the step record, an
// image on the card, factory.bin and whether the install was proven (the
// update engine returned success before the reboot). A power cut between the
// step record 'R' and the engine's return leaves 'R' without that proof.
TEST_F(FwPhoneTest, StartUpDecisionTable) {
    signal(SIGTERM, SIG_IGN);  // the simulated reboot signals the process
    enum Installed { NONE, UPLOAD, CARD };
    struct Row {
        const char* what;
        bool card;
        bool factory;
        std::function<void()> before;  // what the phone did, or the power cut
        Installed installed;  // the image the engine was given last
        int engines;          // engine runs in all
        bool confirmed;       // the phone hears "video upgraded" (confirmation 5)
        bool cardKept;
    };
    const std::vector<uint8_t> up(3000, 0x55);
    const std::vector<uint8_t> cardImage(2500, 0xCC);
    const auto uploadThen = [&](bool restart) {
        return [this, &up, restart] {
            PLR_FW_UpgradeInit();
            ASSERT_EQ(upload(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME, up), 0);
            if (restart) {
                command(FIRMWARE_UPDATE_FILE_RESTART);
            } else {
                // Power cut after 'R' was written, before the engine ran.
                firmware_set_update_step(4);
            }
            run_until_idle_or_reboot();
        };
    };
    const auto cutAfterCardCopy = [this, &cardImage] {
        root_->write("/userdata/videofw/update.img",
                       std::string(cardImage.begin(), cardImage.end()));
        firmware_set_update_step(4);
    };
    const auto uploadWaiting = [this, &up] {
        PLR_FW_UpgradeInit();
        ASSERT_EQ(upload(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME, up), 0);
        PLR_FW_UpgradeDeinit();
        // Power-off and on with the upload waiting for FILE_RESTART: the
        // card does not replace i
        power_on();
        EXPECT_EQ(engine_runs(), 0) << "the card replaced the waiting upload";
        PLR_FW_UpgradeInit();
        command(FIRMWARE_UPDATE_FILE_RESTART);
        run_until_idle_or_reboot();
    };
    const auto cutNoImage = [] { firmware_set_update_step(4); };
    const Row rows[] = {
        {"phone's image, install proven", false, false, uploadThen(true), UPLOAD, 1, true, false},
        {"phone's image, power cut at R", false, false, uploadThen(false), UPLOAD, 1, true, false},
        {"card image", true, false, nullptr, CARD, 1, true, false},
        {"card image with factory.bin", true, true, nullptr, CARD, 1, true, true},
        {"card image with factory.bin, power cut at R", true, true, cutAfterCardCopy, CARD, 1,
         true, true},
        {"card image and the phone's verified upload", true, false, uploadWaiting, UPLOAD, 1, true,
         true},
        {"power cut at R, image gone", false, false, cutNoImage, NONE, 0, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        root_ = std::make_unique<TempBoardRoot>(
            std::initializer_list<const char*>{"/userdata", "/tmp/SD0", "/etc", "/sim"});
        if (row.card)
            root_->write("/tmp/SD0/videofw/update.img",
                         std::string(cardImage.begin(), cardImage.end()));
        if (row.factory) root_->write(FW_FACTORY_MARK, "");
        if (row.before) row.before();
        power_on();
        EXPECT_EQ(engine_runs(), row.engines);
        const std::string installed = root_->read("/sim/installed.img");
        const Installed got = installed.empty()                                  ? NONE
                              : installed == std::string(up.begin(), up.end()) ? UPLOAD
                              : installed == std::string(cardImage.begin(), cardImage.end())
                                  ? CARD
                                  : NONE;
        EXPECT_EQ(got, row.installed) << "0 none, 1 the phone's upload, 2 the card's image";
        const auto status = first_status();
        ASSERT_TRUE(status);
        const bool confirmed = status->confirmation == 5 && status->target_component == FW_SYS_VIDEO;
        EXPECT_EQ(confirmed, row.confirmed);
        if (confirmed) {
            EXPECT_EQ(status->param4, static_cast<float>(row.installed)) << "which image it was";
        }
        if (!row.confirmed) {
            EXPECT_NE(status->param1, 0.0f) << "the failure is reported";
        }
        EXPECT_EQ(root_->exists("/tmp/SD0/videofw/update.img"), row.cardKept);
        // The confirmation comes once; nothing is installed after it.
        const auto next = first_status();
        ASSERT_TRUE(next);
        EXPECT_NE(next->confirmation, 5);
        power_on();
        EXPECT_EQ(engine_runs(), row.engines) << "no install after the confirmation";
    }
}

sockaddr_in host_address(const char* ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A flight-controller set from the phone, complete, and one on the card: the
// phone's is the one sent, and a failed transfer deletes neither.
TEST_F(FwPhoneTest, ThePhonesCompleteSetWinsOverTheCardAndStaysAfterAFailure) {
    const FwTransferLinks silent{[](const mavlink_message_t*) { return 0; },
                                 [](const mavlink_message_t*) { return 0; },
                                 [](const uint8_t*, size_t) { return 0; },
                                 PLR_FW_Send_Upgrade_Status, [] {}};
    PLR_FW_SetTransferLinks(&silent);
    FwTransferBounds quick;
    quick.repeat_ms = 20;
    quick.silence_ms = 200;
    PLR_FW_SetTransferBounds(&quick);
    TRACE_LOG_LEVEL(PLR_LOG_D);
    TRACE_LOG_ENABLE();
    root_->write("/tmp/SD0/flyctrolfw/card.bin", "the card's firmware");
    PLR_FW_UpgradeInit();
    ASSERT_EQ(upload(FW_SYS_FLYC, "fc.bin", std::vector<uint8_t>(4000, 9)), 0);
    testing::internal::CaptureStdout();
    command(FIRMWARE_UPDATE_FILE_RESTART);
    run_until_idle_or_reboot();
    const std::string log = testing::internal::GetCapturedStdout();
    PLR_FW_SetTransferLinks(nullptr);
    PLR_FW_SetTransferBounds(nullptr);
    EXPECT_NE(log.find("Upgrade 3 from /userdata/flyctrolfw"), std::string::npos) << log;
    EXPECT_TRUE(root_->exists("/userdata/flyctrolfw/fc.bin")) << "kept for a retry";
    EXPECT_TRUE(root_->exists("/tmp/SD0/flyctrolfw/card.bin"));
}

// In upload mode only the phone's datagrams count: a stranger's frames for
// the same package, sent first, and bare frame headers change nothing.
TEST_F(FwPhoneTest, OnlyThePhonesDatagramsCountInUploadMode) {
    const sockaddr_in phone = host_address("127.0.0.5");
    const sockaddr_in stranger = host_address("127.0.0.9");
    PLR_FW_UploadModeOn(&phone.sin_addr);
    const std::vector<uint8_t> file(3 * FW_UPLOAD_PKG_SIZE, 0x5A);
    const std::vector<uint8_t> junk(file.size(), 0xEE);
    handle(announce(FW_SYS_FLYC, 3, "fc.bin"));
    ASSERT_TRUE(answer(FIRMWARE_UPDATE_FILE_BEGIN));
    const uint8_t header[] = {'@', '#', '$', '&', 1, 0x05, 0x08};
    for (uint32_t i = 0; i < 3; ++i) {
        send_package(junk, i, &stranger);
        FsRxDataHandler(header, sizeof header, &stranger);
        send_package(file, i, &phone);
    }
    const std::string md5 = md5_hex(file);
    const mavlink_message_t check =
        transfer(FIRMWARE_UPDATE_FILE_MD5, 9, std::vector<uint8_t>(md5.begin(), md5.end()));
    std::optional<mavlink_command_long_t> done;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end) {
        handle(check);
        done = answer(FIRMWARE_UPDATE_FILE_MD5, 100);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(done->confirmation, 0);
    EXPECT_EQ(root_->read("/userdata/flyctrolfw/fc.bin"), std::string(file.begin(), file.end()));
    PLR_FW_UploadModeOff();
}

// Upload mode ends by itself: 10 s without data, or the phone gone.
TEST_F(FwPhoneTest, UploadModeEndsWhenThePhoneGoesOrFallsSilent) {
    const sockaddr_in phone = host_address("127.0.0.5");
    PLR_FW_UploadModeOn(&phone.sin_addr);
    const int64_t now = PLR_MAV_NowMs();
    PLR_FW_UploadWatch(now + FW_UPLOAD_IDLE_MS - 500);
    EXPECT_EQ(FsGetFwFileTransFlag(), 1);
    PLR_FW_UploadWatch(now + FW_UPLOAD_IDLE_MS + 500);
    EXPECT_EQ(FsGetFwFileTransFlag(), 0) << "10 s without data";

    PLR_FW_UploadModeOn(&phone.sin_addr);
    PLR_FW_UploadWatch(PLR_MAV_NowMs());
    EXPECT_EQ(FsGetFwFileTransFlag(), 1);
    PLR_MAV_CloseClient();
    PLR_FW_UploadWatch(PLR_MAV_NowMs());
    EXPECT_EQ(FsGetFwFileTransFlag(), 0) << "the phone's client has gone";
}

// A package that cannot be written (a full partition) fails the file at its
// check instead of being listed as missing for ever.
TEST_F(FwPhoneTest, AFullPartitionFailsTheUploadWithItsAnswer) {
    const std::vector<uint8_t> file(4 * FW_UPLOAD_PKG_SIZE, 0x33);
    handle(announce(FW_SYS_GIMBAL, 4, "g.bin"));
    ASSERT_TRUE(answer(FIRMWARE_UPDATE_FILE_BEGIN));
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 2 * FW_UPLOAD_PKG_SIZE;
    setrlimit(RLIMIT_FSIZE, &small);
    for (uint32_t i = 0; i < 4; ++i) send_package(file, i);
    setrlimit(RLIMIT_FSIZE, &old);
    const std::string md5 = md5_hex(file);
    const mavlink_message_t check =
        transfer(FIRMWARE_UPDATE_FILE_MD5, 9, std::vector<uint8_t>(md5.begin(), md5.end()));
    EXPECT_EQ(handle(check), 0) << "answered, not a missing list";
    const auto a = answer(FIRMWARE_UPDATE_FILE_MD5);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->confirmation, FW_MD5_NO_FILE);
    EXPECT_FALSE(root_->exists("/userdata/BINARY_FILE"));
    EXPECT_FALSE(root_->exists("/userdata/gimbalfw/g.bin"));
}

// With a key on the board, an image is installed only with its valid
// signature; a file changed after its upload is never installed.
TEST_F(FwPhoneTest, SignedImagesOnlyWhenTheBoardHasAKey) {
    signal(SIGTERM, SIG_IGN);  // the simulated reboot signals the process
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ASSERT_NE(key, nullptr);
    const auto sign = [key](const std::vector<uint8_t>& data) {
        std::vector<uint8_t> sig(64);
        size_t n = sig.size();
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EXPECT_EQ(EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key), 1);
        EXPECT_EQ(EVP_DigestSign(ctx, sig.data(), &n, data.data(), data.size()), 1);
        EVP_MD_CTX_free(ctx);
        return sig;
    };
    const std::vector<uint8_t> image(5000, 0x21);
    std::vector<uint8_t> other = image;
    other[100] ^= 1;
    struct Case {
        const char* what;
        std::vector<uint8_t> sig;  // empty: none uploaded
        bool changedAfterUpload;
        bool installed;
    };
    const Case cases[] = {
        {"unsigned", {}, false, false},
        {"signature of other bytes", sign(other), false, false},
        {"signed", sign(image), false, true},
        {"signed, changed after its upload", sign(image), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        root_ = std::make_unique<TempBoardRoot>(
            std::initializer_list<const char*>{"/userdata", "/tmp/SD0", "/etc", "/sim"});
        FILE* fp = fopen(root_->path("/sim/fw-pubkey.pem").c_str(), "w");
        ASSERT_NE(fp, nullptr);
        PEM_write_PUBKEY(fp, key);
        fclose(fp);
        PLR_FW_UpgradeInit();
        ASSERT_EQ(upload(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME, image), 0);
        if (!c.sig.empty()) {
            ASSERT_EQ(upload(FW_SYS_VIDEO, "update.img.sig", c.sig), 0);
        }
        if (c.changedAfterUpload) root_->write("/userdata/videofw/update.img", "x");
        command(FIRMWARE_UPDATE_FILE_RESTART);
        run_until_idle_or_reboot();
        EXPECT_EQ(engine_runs(), c.installed ? 1 : 0);
        PLR_FW_UpgradeInit();
        command(FIRMWARE_UPDATE_FILE_UPGRADE_STATUS);
        const auto status = answer(FW_STATUS_REPORT);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->confirmation == 5, c.installed);
        EXPECT_EQ(status->param1 != 0.0f, !c.installed) << "a refusal is a non-zero result";
        PLR_FW_UpgradeDeinit();
    }
    EVP_PKEY_free(key);
}

// While the flight controller reports the bound state the drone may fly:
// FILE_RESTART is refused and nothing is installed.
TEST_F(FwPhoneTest, NoUpgradeStartsWhileTheFlightControllerIsBound) {
    signal(SIGTERM, SIG_IGN);
    PLR_FW_UpgradeInit();
    ASSERT_EQ(upload(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME, std::vector<uint8_t>(300, 1)), 0);
    for (uint8_t link : {4, 5}) {
        PLR_FW_SetFlightLinkStatus(link);
        command(FIRMWARE_UPDATE_FILE_RESTART);
        const auto a = answer(FIRMWARE_UPDATE_FILE_RESTART);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->confirmation, 4) << int{link};
    }
    EXPECT_EQ(g_UpgradeCtx.pending_mask.load(), 0U);
    PLR_FW_SetFlightLinkStatus(3);
    command(FIRMWARE_UPDATE_FILE_RESTART);
    const auto a = answer(FIRMWARE_UPDATE_FILE_RESTART);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->confirmation, 0);
    run_until_idle_or_reboot();
    EXPECT_EQ(engine_runs(), 1);
    PLR_FW_SetFlightLinkStatus(0);
}

TEST_F(FwPhoneTest, UploadModeOfTheFilePort) {
    for (uint8_t sub : {FIRMWARE_UPDATE_FILE_PREPARE, FIRMWARE_UPDATE_FILE_END}) {
        const mavlink_command_long_t cmd = phone_command(sub);
        firmware_update_command_handler(&cmd);
        const auto a = answer(sub);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->confirmation, 0);
        EXPECT_EQ(FsGetFwFileTransFlag(), sub == FIRMWARE_UPDATE_FILE_PREPARE ? 1 : 0);
    }
}

}  // namespace
