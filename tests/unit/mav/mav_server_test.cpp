// The app link on real loopback sockets: heartbeats with the right system id
// for a direct phone and for the repeater, answers from the event bridge, the
// recording-time report, the status report, the stick channel, heartbeat loss
// and a new client, clients connecting at any moment, start and stop twice.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "../../support/board_root_fixture.h"
#include "app/app_hooks.h"
#include "core/trace_log.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "mav_test_util.h"
#include "vps/vcs.h"
#include "vps/vps_event.h"

namespace {

constexpr int kWaitMs = 3000;

// Connects once from `fromAddr` to the link, as soon as the server has a
// port. -1 when the connection is refused (or the server never listens).
int connect_client(const char* fromAddr) {
    for (int i = 0; i < 100 && PLR_MAV_GetTcpPort() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, fromAddr, &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(PLR_MAV_GetTcpPort());
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    return -1;
}

void send_heartbeat(int fd) {
    mavlink_heartbeat_t hb{};
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(0x42, 0, 0, &hb, &msg);
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    const int n = mavlink_msg_to_send_buffer(buf, &msg);
    ASSERT_EQ(write(fd, buf, static_cast<size_t>(n)), n);
}

// Collects what the trace log prints (to standard output, a line at a time,
// ordinary trace switched on) while it lives; hands it on to the real
// standard output at the end.
class PrintedText {
public:
    PrintedText() {
        TRACE_LOG_METHOD(PLR_LOG_METHOD_CONSOLE);
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_ENABLE();
        fflush(stdout);
        if (pipe2(pipe_, O_CLOEXEC) != 0) return;
        saved_ = dup(STDOUT_FILENO);
        dup2(pipe_[1], STDOUT_FILENO);
        reader_ = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(pipe_[0], buf, sizeof buf)) > 0) {
                std::lock_guard lock(lock_);
                text_.append(buf, static_cast<size_t>(n));
                changed_.notify_all();
            }
        });
    }
    ~PrintedText() {
        plr_trace_log_reset();
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(pipe_[1]);
        reader_.join();
        close(pipe_[0]);
        if (write(saved_, text_.data(), text_.size()) < 0) {
        }
        close(saved_);
    }
    PrintedText(const PrintedText&) = delete;
    PrintedText& operator=(const PrintedText&) = delete;

    // True once `what` has been printed, within `ms`.
    bool wait_for(const std::string& what, int ms) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return text_.find(what) != std::string::npos; });
    }

private:
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string text_;
};

bool greeted(int fd, int ms = kWaitMs) {
    FrameReader reader(fd);
    return reader.next_id(ms, MAVLINK_MSG_ID_HEARTBEAT).has_value();
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UartRecorder::install();
        PLR_VCS_Reset();
        PLR_APP_HooksInit();
        ASSERT_EQ(PLR_MAV_Init(0, 0), 0);
    }
    void TearDown() override {
        EXPECT_EQ(PLR_MAV_Deinit(), 0);
        PLR_APP_HooksDeinit();
        uart_link_reset();
    }
    TempBoardRoot board_{{"/tmp", "/sim"}};
};

TEST_F(ServerTest, DirectPhoneGetsHeartbeatsAnswersAndReports) {
    const int fd = connect_client("127.0.0.5");
    ASSERT_GE(fd, 0);
    FrameReader phone(fd);
    for (int i = 0; i < 3; ++i) {
        const auto hb = phone.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
        ASSERT_TRUE(hb);
        EXPECT_EQ(hb->sysid, 33);
        mavlink_heartbeat_t h{};
        mavlink_msg_heartbeat_decode(&*hb, &h);
        EXPECT_EQ(h.mavlink_version, 3);
    }
    send_heartbeat(fd);
    EXPECT_EQ(board_.read("/tmp/macset.txt"), "02:00:7f:00:00:05\n");

    // The camera reports a recording: acknowledged, then the seconds count.
    PLR_VPS_EvtNotify(VPS_EVT_REC_START, 0, -1, -1, "/tmp/SD0/PLRMEDIA/VIDEO/VID_1.MP4");
    const auto ack = phone.next_id(kWaitMs, MAVLINK_MSG_ID_COMMAND_ACK);
    ASSERT_TRUE(ack);
    mavlink_command_ack_t a{};
    mavlink_msg_command_ack_decode(&*ack, &a);
    EXPECT_EQ(a, (mavlink_command_ack_t{2500, 0}));
    EXPECT_EQ(ack->sysid, 36);
    for (int64_t second = 1; second <= 2; ++second) {
        const auto ts = phone.next_id(kWaitMs, MAVLINK_MSG_ID_TIMESYNC);
        ASSERT_TRUE(ts);
        mavlink_timesync_t t{};
        mavlink_msg_timesync_decode(&*ts, &t);
        EXPECT_EQ(t, (mavlink_timesync_t{0, second}));
    }
    auto hb = phone.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
    mavlink_heartbeat_t h{};
    ASSERT_TRUE(hb);
    mavlink_msg_heartbeat_decode(&*hb, &h);
    EXPECT_EQ(h.system_status & 1, 1) << "recording bit";
    PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, 0, -1, -1, nullptr);
    const auto stop = phone.next_id(kWaitMs, MAVLINK_MSG_ID_COMMAND_ACK);
    ASSERT_TRUE(stop);
    mavlink_msg_command_ack_decode(&*stop, &a);
    EXPECT_EQ(a, (mavlink_command_ack_t{2501, 0}));

    // The settings context's status report.
    PLR_VCS_SetVpsMode(1);
    PLR_VCS_Init();
    const auto status = phone.next(
        kWaitMs, [](const mavlink_message_t& m) { return m.msgid == MAVLINK_MSG_ID_COMMAND_LONG; });
    PLR_VCS_Deinit();
    ASSERT_TRUE(status);
    mavlink_command_long_t cmd{};
    mavlink_msg_command_long_decode(&*status, &cmd);
    EXPECT_EQ(cmd.command, 2);
    EXPECT_EQ((std::bit_cast<uint32_t>(cmd.param1) >> 16) & 1, 1U) << "record mode";

    // Stick datagrams go to the flight controller byte for byte.
    UartRecorder::clear();
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(PLR_MAV_GetStickPort());
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const std::vector<uint8_t> stick = {0xFE, 0x01, 0x02, 0x00, 0x7F};
    ASSERT_EQ(
        sendto(udp, stick.data(), stick.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(stick.size()));
    for (int i = 0; i < 100 && UartRecorder::raw().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(UartRecorder::raw(), stick);
    close(udp);
    close(fd);
}

TEST_F(ServerTest, RepeaterGetsItsHeartbeatAndSilenceDropsTheClient) {
    const int fd = connect_client("127.0.0.111");
    ASSERT_GE(fd, 0);
    FrameReader repeater(fd);
    const auto hb = repeater.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
    ASSERT_TRUE(hb);
    EXPECT_EQ(hb->sysid, 37);
    // No heartbeat from the client: dropped after 4 s.
    EXPECT_TRUE(repeater.closed(10000));
    close(fd);

    const int next = connect_client("127.0.0.6");
    ASSERT_GE(next, 0);
    FrameReader phone(next);
    const auto again = phone.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->sysid, 33);
    close(next);
}

// A phone whose link drops in the middle of a frame: the next connection
// starts with a clean parser, so its first heartbeat counts at once.
TEST_F(ServerTest, AFrameCutByADroppedLinkDoesNotEatTheNextConnection) {
    const int first = connect_client("127.0.0.5");
    ASSERT_GE(first, 0);
    FrameReader phone(first);
    ASSERT_TRUE(phone.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT));
    // Start byte, length 255, sequence, phone to video board, COMMAND_LONG: and gone.
    const uint8_t cut[] = {0xFE, 0xFF, 0x00, 0x42, 0x00, 0x4C};
    ASSERT_EQ(write(first, cut, sizeof cut), static_cast<ssize_t>(sizeof cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(first);

    for (int round = 0; round < 2; ++round) {
        const int next = connect_client("127.0.0.5");
        ASSERT_GE(next, 0);
        FrameReader greeting(next);
        ASSERT_TRUE(greeting.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT));
        send_heartbeat(next);
        bool seen = false;
        for (int i = 0; i < 150 && !seen; ++i) {
            seen = MavlinkContext.ConnState.load() == MAV_CONN_HEARTBEAT;
            if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(seen) << "round " << round << ": the first heartbeat was swallowed";
        close(next);
    }
}

// A phone may connect at any moment: right after the previous client left,
// while another client is still served, or just after an accept timed out
// with nobody there. It is taken as soon as the link is free, never refused
// or reset.
TEST_F(ServerTest, APhoneConnectingAtAnyMomentGetsIn) {
    int fd = connect_client("127.0.0.5");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(greeted(fd));
    for (int round = 0; round < 5; ++round) {
        close(fd);
        fd = connect_client("127.0.0.5");
        ASSERT_GE(fd, 0) << "refused right after a client left, round " << round;
        ASSERT_TRUE(greeted(fd)) << "reset right after a client left, round " << round;
    }
    for (int round = 0; round < 3; ++round) {
        const int waiting = connect_client("127.0.0.6");
        ASSERT_GE(waiting, 0) << "refused while another client is served, round " << round;
        FrameReader second(waiting);
        EXPECT_FALSE(second.next_id(300, MAVLINK_MSG_ID_HEARTBEAT)) << "two clients served";
        close(fd);
        ASSERT_TRUE(second.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT))
            << "a waiting client was dropped when the first left, round " << round;
        fd = waiting;
    }
    close(fd);
    {
        PrintedText log;
        ASSERT_TRUE(log.wait_for("accept fail!!!", 20000)) << "no accept time-out";
        fd = connect_client("127.0.0.5");
    }
    ASSERT_GE(fd, 0) << "refused just after an accept time-out";
    EXPECT_TRUE(greeted(fd)) << "reset just after an accept time-out";
    close(fd);
}

TEST(ServerLifeTest, StartsAndStopsTwice) {
    TempBoardRoot board({"/tmp", "/sim"});
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(PLR_MAV_Init(0, 0), 0);
        EXPECT_EQ(PLR_MAV_Init(0, 0), -1) << "already running";
        const int fd = connect_client("127.0.0.7");
        ASSERT_GE(fd, 0);
        FrameReader phone(fd);
        EXPECT_TRUE(phone.next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT));
        EXPECT_EQ(PLR_MAV_Deinit(), 0);
        EXPECT_TRUE(phone.closed(kWaitMs));
        close(fd);
    }
}

}  // namespace
