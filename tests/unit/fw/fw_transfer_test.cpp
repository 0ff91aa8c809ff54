// The transfer of firmware to the flight controller, the gimbal and the
// repeater: packages, the repeater's checksum file, the answers of a target
// board, whole transfers against the simulators' target side (on a thread
// behind fake links, and as the real fcsim and repeater-sim processes), and
// the bounds that end a board's upgrade when the target stops answering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/run_program.h"
#include "core/trace_log.h"
#include "fw/fw_transfer.h"
#include "fw_orchestration_fake.h"
#include "fw_target.h"
#include "mav/mavlink_msgs.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

namespace {

// ---- fake links: every message the transfer sends, in order ----

struct Sent {
    bool uart;
    mavlink_message_t msg;
};

std::mutex g_sentLock;
std::condition_variable g_sentCond;
std::deque<Sent> g_sent;      // everything sent (kept for the checks)
std::deque<Sent> g_toTarget;  // what the answering target has not seen yet

void record(bool uart, const mavlink_message_t& m) {
    {
        std::lock_guard l(g_sentLock);
        g_sent.push_back({uart, m});
        g_toTarget.push_back({uart, m});
    }
    g_sentCond.notify_all();
}

int fake_uart(const mavlink_message_t* m) {
    record(true, *m);
    return MAVLINK_NUM_NON_PAYLOAD_BYTES + m->len;
}

int fake_net(const mavlink_message_t* m) {
    record(false, *m);
    return MAVLINK_NUM_NON_PAYLOAD_BYTES + m->len;
}

int fake_net_buffer(const uint8_t* bytes, size_t length) {
    mavlink_status_t st{};
    for (size_t i = 0; i < length; ++i) {
        mavlink_message_t m;
        if (mavlink_parse_char(&st, bytes[i], &m) == 1) record(false, m);
    }
    return static_cast<int>(length);
}

std::vector<mavlink_message_t> sent_messages() {
    std::lock_guard l(g_sentLock);
    std::vector<mavlink_message_t> all;
    for (const Sent& s : g_sent) all.push_back(s.msg);
    return all;
}

// Package indices of the transfer messages sent, in order.
std::vector<uint32_t> sent_packages() {
    std::vector<uint32_t> out;
    for (const mavlink_message_t& m : sent_messages()) {
        mavlink_file_transfer_protocol_t f{};
        if (mavlink_msg_file_transfer_protocol_decode(&m, &f) != 0 || f.target_network != 2)
            continue;
        out.push_back((uint32_t{f.payload[0]} << 24) | (uint32_t{f.payload[1]} << 16) |
                      (uint32_t{f.payload[2]} << 8) | f.payload[3]);
    }
    return out;
}

mavlink_command_long_t answer(uint8_t step, uint8_t result, float p1 = 0) {
    mavlink_command_long_t c{};
    c.param1 = p1;
    c.command = MAV_CMD_FIRMWARE_UPDATE;
    c.target_system = step;
    c.confirmation = result;
    return c;
}

// Delivers a target's answer as the link's dispatch does: upgrade commands
// from the upgrading board go to the answer handler.
void deliver(const mavlink_message_t& m) {
    mavlink_command_long_t c{};
    if (mavlink_msg_command_long_decode(&m, &c) == 0 && c.command == MAV_CMD_FIRMWARE_UPDATE &&
        mavlink_sysid_sender(m.sysid) == g_UpgradeCtx.upgrading_sys.load())
        PLR_FW_UpgradingCmdLongHandle(&c);
}

// The simulators' target side on its own thread, answering through the
// handler as the board's receive thread would.
struct AnsweringTarget {
    FwTarget t;
    uint32_t muteAfterPackages = UINT32_MAX;  // stops answering after this many packages
    int refuseStep = -1;                      // this step is always refused (result 3)
    bool askForever = false;  // repeater: answers every MD5 by asking for package 0 again
    std::atomic<bool> stop{false};
    std::thread thread;

    void start() {
        thread = std::thread([this] { run(); });
    }
    void join() {
        stop = true;
        g_sentCond.notify_all();
        if (thread.joinable()) thread.join();
    }
    void run() {
        std::unique_lock l(g_sentLock);
        while (!stop) {
            g_sentCond.wait(l, [this] { return stop || !g_toTarget.empty(); });
            while (!g_toTarget.empty()) {
                const mavlink_message_t in = g_toTarget.front().msg;
                g_toTarget.pop_front();
                l.unlock();
                handle(in);
                l.lock();
            }
        }
    }
    void handle(const mavlink_message_t& in) {
        mavlink_file_transfer_protocol_t f{};
        if (askForever && mavlink_msg_file_transfer_protocol_decode(&in, &f) == 0 &&
            f.target_network == 3) {
            mavlink_command_long_t again = answer(2, 0, 0);
            again.param2 = again.param3 = again.param4 = again.param5 = again.param6 =
                again.param7 = FW_NO_INDEX;
            PLR_FW_UpgradingCmdLongHandle(&again);
            return;
        }
        mavlink_command_long_t c{};
        if (refuseStep >= 0 && mavlink_msg_command_long_decode(&in, &c) == 0 &&
            c.target_system == refuseStep) {
            const mavlink_command_long_t no = answer(static_cast<uint8_t>(refuseStep), 3);
            PLR_FW_UpgradingCmdLongHandle(&no);
            return;
        }
        std::vector<mavlink_message_t> answers;
        fw_target_handle(t, in, &answers);
        if (t.packages >= muteAfterPackages) return;
        for (const mavlink_message_t& a : answers) deliver(a);
    }
};

Bytes pattern(size_t size, uint32_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245U + 12345U;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

class FwTransferTest : public testing::Test {
protected:
    void SetUp() override {
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_ENABLE();
        std::string tmpl = (fs::temp_directory_path() / "fw-transfer-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        const FwTransferLinks links{fake_uart, fake_net, fake_net_buffer, fake_report_status,
                                    fake_version_factory};
        PLR_FW_SetTransferLinks(&links);
        // Generous: a slow, shared machine must not fail a good transfer.
        shorten_silence(3000);
        PLR_FW_TransferReset();
        fake_orchestration_reset();
        std::lock_guard l(g_sentLock);
        g_sent.clear();
        g_toTarget.clear();
    }
    void TearDown() override {
        PLR_FW_SetTransferLinks(nullptr);
        PLR_FW_SetTransferBounds(nullptr);
        PLR_FW_PackageFree(g_UpgradeCtx);
        g_UpgradeCtx.upgrading_sys = FW_SYS_NONE;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string file(const std::string& name, const std::string& text) {
        return file(name, Bytes(text.begin(), text.end()));
    }
    // Short repeats and pauses; silence (and reboot silence) of `ms`.
    static void shorten_silence(uint32_t ms) {
        FwTransferBounds b;
        b.repeat_ms = 20;
        b.gimbal_restart_ms = 40;
        b.settle_ms = 10;
        b.silence_ms = ms;
        b.reboot_silence_ms = ms;
        b.max_refusals = 5;
        b.batch_gap_ms = 1;
        PLR_FW_SetTransferBounds(&b);
    }

    std::string dir_;
};

// ---- packages ----

struct PackageCase {
    size_t size;
    uint32_t packages;
    uint8_t lastLength;  // length field of the last package: valid bytes + 4
};

class PackageTest : public FwTransferTest, public testing::WithParamInterface<PackageCase> {};

TEST_P(PackageTest, CutIntoNumberedPackagesWithTheLastOnePadded) {
    const PackageCase c = GetParam();
    const Bytes data = pattern(c.size, 7);
    g_UpgradeCtx.upgrading_sys = FW_SYS_REPEATER;
    ASSERT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, file("fw.bin", data).c_str()), 0);
    EXPECT_EQ(g_UpgradeCtx.pkg_total, c.packages);
    EXPECT_EQ(g_UpgradeCtx.file_size, c.size);
    EXPECT_EQ(std::string(g_UpgradeCtx.file_md5), fw_target_md5(data));
    ASSERT_EQ(g_UpgradeCtx.pkg_buf.size(), c.packages * FW_PKG_SIZE);
    for (uint32_t i = 0; i < c.packages; ++i) {
        const uint8_t* pkg = g_UpgradeCtx.pkg_buf.data() + i * FW_PKG_SIZE;
        EXPECT_EQ((pkg[0] << 24) | (pkg[1] << 16) | (pkg[2] << 8) | pkg[3], static_cast<int>(i));
        const size_t from = i * FW_PKG_DATA_SIZE;
        const size_t n = std::min<size_t>(FW_PKG_DATA_SIZE, c.size - from);
        EXPECT_TRUE(std::equal(pkg + 4, pkg + 4 + n, data.begin() + static_cast<long>(from)));
        EXPECT_TRUE(std::all_of(pkg + 4 + n, pkg + FW_PKG_SIZE, [](uint8_t b) { return b == 0; }));
        EXPECT_GT(PLR_FW_PackageSendById(g_UpgradeCtx, i), 0);
    }
    const std::vector<mavlink_message_t> sent = sent_messages();
    ASSERT_EQ(sent.size(), c.packages);
    mavlink_file_transfer_protocol_t last{};
    ASSERT_EQ(mavlink_msg_file_transfer_protocol_decode(&sent.back(), &last), 0);
    EXPECT_EQ(sent.back().sysid, 0x25);
    EXPECT_EQ(sent.back().compid, 0);
    EXPECT_EQ(last.target_network, 2);
    EXPECT_EQ(last.target_system, c.lastLength);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PackageTest,
                         testing::Values(PackageCase{480, 2, 244}, PackageCase{481, 3, 5},
                                         PackageCase{240, 1, 244}, PackageCase{1, 1, 5}));

TEST_F(FwTransferTest, IndexBeyondThePackagesSendsNothingAndLogsTheError) {
    g_UpgradeCtx.upgrading_sys = FW_SYS_FLYC;
    ASSERT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, file("fw.bin", pattern(481, 1)).c_str()), 0);
    CaptureStdout();
    EXPECT_EQ(PLR_FW_PackageSendById(g_UpgradeCtx, 3), -1);
    EXPECT_EQ(PLR_FW_PackageSendById(g_UpgradeCtx, 4000000000U), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("Upgrade ERROR package id 3 invalid. total 3"), std::string::npos) << log;
    EXPECT_TRUE(sent_messages().empty());
}

TEST_F(FwTransferTest, EmptyOrMissingFileIsNotPrepared) {
    CaptureStdout();
    EXPECT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, file("empty.bin", Bytes{}).c_str()), -1);
    EXPECT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, (dir_ + "/none.bin").c_str()), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("Empty file " + dir_ + "/empty.bin"), std::string::npos) << log;
    EXPECT_EQ(PLR_FW_PackageFree(g_UpgradeCtx), -1);
}

// ---- the repeater's checksum file ----

TEST(FwCksumTest, OnesComplementOfTheFoldedByteSum) {
    EXPECT_EQ(PLR_FW_GenCksum(nullptr, 0), 0xFFFF);
    const uint8_t two[] = {1, 2};
    EXPECT_EQ(PLR_FW_GenCksum(two, 2), 0xFFFC);
    const Bytes many(70000, 0xFF);  // the sum needs both folds
    EXPECT_EQ(PLR_FW_GenCksum(many.data(), many.size()), 0xA05F);
}

struct CksCase {
    const char* name;
    std::function<std::string(uint16_t)> text;  // the file's text for the right checksum
    bool accepted;
};

class ImageCheckTest : public FwTransferTest, public testing::WithParamInterface<CksCase> {};

TEST_P(ImageCheckTest, ChecksumFileMustCarryTheMarkAndTheMatchingNumber) {
    const Bytes a = pattern(1000, 1);
    const Bytes b = pattern(77, 2);
    const std::string md5s = fw_target_md5(a) + fw_target_md5(b);
    const uint16_t c = PLR_FW_GenCksum(reinterpret_cast<const uint8_t*>(md5s.data()), md5s.size());
    std::vector<std::string> files = {file("a.bin", a), file("cks", GetParam().text(c)),
                                      file("b.bin", b)};
    const std::vector<std::string> firmware = {files[0], files[2]};
    CaptureStdout();
    EXPECT_EQ(PLR_FW_ImageCheck(files), GetParam().accepted ? 0 : -1);
    GetCapturedStdout();
    if (GetParam().accepted) {
        EXPECT_EQ(files, firmware);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ImageCheckTest,
    testing::Values(
        CksCase{"Nines", [](uint16_t c) { return "99" + std::to_string(c); }, true},
        CksCase{"NinesAndLineFeed", [](uint16_t c) { return "99" + std::to_string(c) + "\n"; },
                true},
        CksCase{"NoNines", [](uint16_t c) { return "88" + std::to_string(c); }, false},
        CksCase{"OneNine", [](uint16_t c) { return "9" + std::to_string(c); }, false},
        CksCase{"OtherChecksum", [](uint16_t c) { return "99" + std::to_string(c ^ 1); }, false},
        CksCase{"NoNumber", [](uint16_t) { return std::string("99"); }, false},
        CksCase{"TrailingText", [](uint16_t c) { return "99" + std::to_string(c) + "x"; }, false},
        CksCase{"Empty", [](uint16_t) { return std::string(); }, false}),
    [](const testing::TestParamInfo<CksCase>& i) { return i.param.name; });

TEST_F(FwTransferTest, ImageCheckWithoutChecksumFileFails) {
    std::vector<std::string> files = {file("a.bin", pattern(10, 1))};
    CaptureStdout();
    EXPECT_EQ(PLR_FW_ImageCheck(files), -1);
    GetCapturedStdout();
}

// ---- a target's answers ----

TEST_F(FwTransferTest, LastPackageAnswerWakesTheSenderAndReportsAllDone) {
    g_UpgradeCtx.upgrading_sys = FW_SYS_FLYC;
    ASSERT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, file("fw.bin", pattern(481, 3)).c_str()), 0);
    std::atomic<int> rc{1};
    CaptureStdout();
    std::thread sender([&] { rc = PLR_FW_PackageSend(g_UpgradeCtx); });
    // Begin goes out and is repeated until answered.
    {
        std::unique_lock l(g_sentLock);
        ASSERT_TRUE(
            g_sentCond.wait_for(l, std::chrono::seconds(10), [] { return !g_sent.empty(); }));
    }
    for (const mavlink_command_long_t& a :
         {answer(1, 0), answer(2, 0, 0), answer(2, 0, 1), answer(2, 0, 2)})
        PLR_FW_UpgradingCmdLongHandle(&a);
    sender.join();
    GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sent_packages(), (std::vector<uint32_t>{0, 1, 2}));
    const std::vector<StatusReport> reports = fake_status_reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), (StatusReport{0, 100}));
    EXPECT_EQ(g_UpgradeCtx.pkg_cur, 2U);
}

TEST_F(FwTransferTest, RepeaterRetransmissionSendsExactlyTheListedPackages) {
    g_UpgradeCtx.upgrading_sys = FW_SYS_REPEATER;
    ASSERT_EQ(PLR_FW_PackagePrepare(g_UpgradeCtx, file("fw.bin", pattern(12 * 240, 4)).c_str()), 0);
    mavlink_command_long_t ask = answer(2, 0, 5);
    ask.param2 = 9;
    ask.param3 = ask.param4 = ask.param5 = ask.param6 = ask.param7 = FW_NO_INDEX;
    CaptureStdout();
    EXPECT_EQ(PLR_FW_UpgradingCmdLongHandle(&ask), 0);
    EXPECT_EQ(sent_packages(), (std::vector<uint32_t>{5, 9}));
    EXPECT_TRUE(fake_status_reports().empty());

    // An index beyond the file is refused with the error line.
    ask.param1 = 12;
    ask.param2 = FW_NO_INDEX;
    PLR_FW_UpgradingCmdLongHandle(&ask);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("Upgrade ERROR package id 12 invalid. total 12"), std::string::npos) << log;
    EXPECT_EQ(sent_packages(), (std::vector<uint32_t>{5, 9}));
    EXPECT_EQ(PLR_FW_UpgradingCmdLongHandle(nullptr), -1);
}

// ---- whole transfers against the target side of the simulators ----

struct TransferCase {
    const char* name;
    uint32_t board;
    std::vector<size_t> sizes;
    int64_t lose;                // pulling boards: the acknowledgement withheld once
    std::vector<uint32_t> drop;  // repeater: packages lost once
};

class BoardTransferTest : public FwTransferTest,
                          public testing::WithParamInterface<TransferCase> {};

TEST_P(BoardTransferTest, TargetHoldsTheFilesAfterTheEndStep) {
    const TransferCase c = GetParam();
    std::vector<std::string> files;
    Bytes all;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        const Bytes b = pattern(c.sizes[i], static_cast<uint32_t>(i + 11));
        files.push_back(file("fw" + std::to_string(i) + ".bin", b));
        all.insert(all.end(), b.begin(), b.end());
    }
    AnsweringTarget target;
    target.t.board = static_cast<uint8_t>(c.board);
    target.t.lose_package = c.lose;
    target.t.drop_once.insert(c.drop.begin(), c.drop.end());
    target.start();
    CaptureStdout();
    const int rc = PLR_FW_BoardTransfer(g_UpgradeCtx, c.board, files);
    const std::string log = GetCapturedStdout();
    target.join();
    EXPECT_EQ(rc, 0) << log;
    EXPECT_TRUE(target.t.restarted && target.t.ended);
    EXPECT_TRUE(target.t.firmware == all);
    EXPECT_EQ(fake_version_resets(), 1);
    EXPECT_NE(log.find("Upgrade step RESTART OK"), std::string::npos);
    EXPECT_NE(log.find("Upgrade step END OK"), std::string::npos);
    const std::vector<uint32_t> pkgs = sent_packages();
    for (const uint32_t again : c.drop) EXPECT_EQ(std::count(pkgs.begin(), pkgs.end(), again), 2);
    if (c.lose >= 0) {
        EXPECT_NE(log.find("Upgrade resend package"), std::string::npos);
    }
    for (const StatusReport& r : fake_status_reports()) {
        EXPECT_EQ(r.result, 0);
        EXPECT_LE(r.progress, 100);
    }
    const std::vector<StatusReport> reports = fake_status_reports();
    if (c.board != FW_SYS_REPEATER) {
        EXPECT_NE(std::find(reports.begin(), reports.end(), StatusReport{0, 100}), reports.end());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, BoardTransferTest,
    testing::Values(
        TransferCase{"FlightControllerTwoFilesOneAckLost", FW_SYS_FLYC, {481, 2000}, 1, {}},
        TransferCase{"GimbalFirstAckLost", FW_SYS_GIMBAL, {700}, 0, {}},
        TransferCase{"RepeaterTwoBatchesTwoLost", FW_SYS_REPEATER, {24000, 300}, -1, {5, 9}}),
    [](const testing::TestParamInfo<TransferCase>& i) { return i.param.name; });

// ---- a target that stops answering or keeps refusing ----

struct FailCase {
    const char* name;
    uint32_t board;
    uint32_t muteAfterPackages;
    int refuseStep;
    bool silentFromStart;
};

class BoardFailureTest : public FwTransferTest, public testing::WithParamInterface<FailCase> {};

TEST_P(BoardFailureTest, BoardUpgradeEndsWithAFailureReport) {
    const FailCase c = GetParam();
    shorten_silence(300);
    const std::vector<std::string> files = {file("fw.bin", pattern(5000, 9))};
    AnsweringTarget target;
    target.t.board = static_cast<uint8_t>(c.board);
    target.muteAfterPackages = c.muteAfterPackages;
    target.refuseStep = c.refuseStep;
    if (!c.silentFromStart) target.start();
    CaptureStdout();
    const int rc = PLR_FW_BoardTransfer(g_UpgradeCtx, c.board, files);
    const std::string log = GetCapturedStdout();
    target.join();
    EXPECT_EQ(rc, -1);
    const std::vector<StatusReport> reports = fake_status_reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().result, 0);
    if (c.refuseStep >= 0) {
        EXPECT_EQ(reports.back().result, 3);
    }
    EXPECT_EQ(fake_version_resets(), 0);
    EXPECT_EQ(log.find("Upgrade step END OK"), std::string::npos);
    EXPECT_NE(log.find("Upgrade board " + std::to_string(c.board) + " failed"), std::string::npos)
        << log;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, BoardFailureTest,
    testing::Values(FailCase{"FlightControllerSilent", FW_SYS_FLYC, UINT32_MAX, -1, true},
                    FailCase{"FlightControllerStopsMidFile", FW_SYS_FLYC, 5, -1, false},
                    FailCase{"RepeaterStopsAfterTheData", FW_SYS_REPEATER, 1, -1, false},
                    FailCase{"GimbalRefusesTheRestart", FW_SYS_GIMBAL, UINT32_MAX, 4, false}),
    [](const testing::TestParamInfo<FailCase>& i) { return i.param.name; });

// A board is flashed only with all of its files as they were checked, and no
// step or resend goes on for ever.
TEST_F(FwTransferTest, AFileThatCannotBeSentFailsTheBoardAndEveryLoopEnds) {
    const std::string good = file("good.bin", pattern(700, 3));
    const std::string good2 = file("good2.bin", pattern(900, 4));
    const std::string tooBig = file("big.bin", pattern((1U << 24) + 1, 5));
    struct Case {
        const char* what;
        uint32_t board;
        std::vector<std::string> files;
        std::vector<std::string> md5s;  // empty: none given
        bool askForever;
    };
    const Case cases[] = {
        {"second file missing", FW_SYS_FLYC, {good, dir_ + "/none.bin"}, {}, false},
        {"a file past 2^24 bytes", FW_SYS_GIMBAL, {good, tooBig}, {}, false},
        {"a file changed since its check", FW_SYS_FLYC, {good, good2},
         {fw_target_md5(pattern(700, 3)), std::string(32, '0')}, false},
        {"a repeater asking for a package for ever", FW_SYS_REPEATER, {good}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_orchestration_reset();
        AnsweringTarget target;
        target.t.board = static_cast<uint8_t>(c.board);
        target.askForever = c.askForever;
        target.start();
        CaptureStdout();
        const auto started = std::chrono::steady_clock::now();
        const int rc =
            PLR_FW_BoardTransfer(g_UpgradeCtx, c.board, c.files, c.md5s.empty() ? nullptr : &c.md5s);
        GetCapturedStdout();
        target.join();
        EXPECT_EQ(rc, -1);
        EXPECT_FALSE(target.t.restarted) << "the board was flashed with part of its firmware";
        // The target's answers may still report after the failure did.
        const std::vector<StatusReport> reports = fake_status_reports();
        EXPECT_TRUE(std::any_of(reports.begin(), reports.end(),
                                [](const StatusReport& r) { return r.result != 0; }));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    }
}

TEST_F(FwTransferTest, StopEndsAWaitingTransfer) {
    shorten_silence(600000);
    const std::vector<std::string> files = {file("fw.bin", pattern(500, 1))};
    std::atomic<int> rc{1};
    CaptureStdout();
    std::thread t([&] { rc = PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_FLYC, files); });
    {
        std::unique_lock l(g_sentLock);
        ASSERT_TRUE(
            g_sentCond.wait_for(l, std::chrono::seconds(10), [] { return g_sent.size() >= 2; }));
    }
    PLR_FW_TransferStop();
    t.join();
    GetCapturedStdout();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_FLYC, files), -1);  // until reset
    PLR_FW_TransferReset();
}

TEST_F(FwTransferTest, OnlyTheOtherBoardsAreTransferred) {
    CaptureStdout();
    EXPECT_EQ(PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_VIDEO, {file("x", "x")}), -1);
    GetCapturedStdout();
    EXPECT_TRUE(sent_messages().empty());
}

// ---- the simulators as processes ----

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> words = program_command(args[0], {args.begin() + 1, args.end()});
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

bool wait_until(const std::function<bool()>& cond, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return cond();
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

// The board's end of a link to a simulator: frames written to `fd` by the
// transfer, answers read from it and dispatched on a reader thread.
std::atomic<int> g_linkFd{-1};

int link_write(const mavlink_message_t* m) {
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
    const int n = mavlink_msg_to_send_buffer(buf, m);
    return n > 0 && write(g_linkFd.load(), buf.data(), static_cast<size_t>(n)) == n ? n : -1;
}

int link_write_buffer(const uint8_t* bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(g_linkFd.load(), bytes + done, length - done);
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(length);
}

struct LinkReader {
    std::atomic<bool> stop{false};
    std::thread thread;
    explicit LinkReader(int fd) {
        thread = std::thread([this, fd] {
            mavlink_status_t st{};
            uint8_t buf[4096];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) return;
                for (ssize_t i = 0; i < n; ++i) {
                    mavlink_message_t m;
                    if (mavlink_parse_char(&st, buf[i], &m) == 1) deliver(m);
                }
            }
        });
    }
    ~LinkReader() {
        stop = true;
        thread.join();
    }
};

TEST_F(FwTransferTest, FcsimOnItsLineTakesTheFlightControllerAndGimbalFirmware) {
    const pid_t fcsim =
        spawn({VBOARD_BIN_DIR "/fcsim", "--root", dir_, "--lose-package", "2", "--linger", "30"});
    ASSERT_GT(fcsim, 0);
    const std::string line = dir_ + "/dev/ttyS5";
    ASSERT_TRUE(wait_until([&] { return fs::is_symlink(line); }, 30));
    const int fd = open(line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    g_linkFd = fd;
    const FwTransferLinks links{link_write, link_write, link_write_buffer, fake_report_status,
                                fake_version_factory};
    PLR_FW_SetTransferLinks(&links);
    const Bytes fc = pattern(3000, 21);
    const Bytes gimbal = pattern(241, 22);
    CaptureStdout();
    int rcFc = 1, rcGimbal = 1;
    {
        LinkReader reader(fd);
        rcFc = PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_FLYC, {file("fc.bin", fc)});
        rcGimbal = PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_GIMBAL, {file("gimbal.bin", gimbal)});
    }
    const std::string log = GetCapturedStdout();
    EXPECT_EQ(rcFc, 0);
    EXPECT_EQ(rcGimbal, 0);
    EXPECT_NE(log.find("Upgrade resend package 2"), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return read_file(dir_ + "/sim/fc-firmware.bin") == fc; }, 10));
    EXPECT_TRUE(
        wait_until([&] { return read_file(dir_ + "/sim/gimbal-firmware.bin") == gimbal; }, 10));

    // A paused flight controller ends the next upgrade with a failure report.
    shorten_silence(500);
    kill(fcsim, SIGSTOP);
    fake_orchestration_reset();
    CaptureStdout();
    {
        LinkReader reader(fd);
        rcFc = PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_FLYC, {file("fc.bin", fc)});
    }
    GetCapturedStdout();
    kill(fcsim, SIGCONT);
    EXPECT_EQ(rcFc, -1);
    const std::vector<StatusReport> reports = fake_status_reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().result, 0);
    close(fd);
    stop(fcsim);
}

TEST_F(FwTransferTest, RepeaterSimConnectsFromItsAddressAndAsksAgainForALostPackage) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const pid_t sim =
        spawn({VBOARD_BIN_DIR "/repeater-sim", "--root", dir_, "--board-port",
               std::to_string(ntohs(a.sin_port)), "--no-phone", "--lose-package", "3"});
    ASSERT_GT(sim, 0);
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1);
    sockaddr_in peer{};
    len = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    EXPECT_STREQ(host, "127.0.0.111");
    g_linkFd = fd;
    const FwTransferLinks links{link_write, link_write, link_write_buffer, fake_report_status,
                                fake_version_factory};
    PLR_FW_SetTransferLinks(&links);
    const Bytes fw = pattern(30000, 23);
    CaptureStdout();
    int rc = 1;
    {
        LinkReader reader(fd);
        rc = PLR_FW_BoardTransfer(g_UpgradeCtx, FW_SYS_REPEATER, {file("rp.bin", fw)});
    }
    const std::string log = GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_NE(log.find("Upgrade retrans package"), std::string::npos);
    EXPECT_TRUE(
        wait_until([&] { return read_file(dir_ + "/sim/repeater-firmware.bin") == fw; }, 10));
    close(fd);
    close(listener);
    stop(sim);
}

}  // namespace
