// The flight-controller link on a pseudo-terminal pair made by the test: the
// board's side is the slave, linked at the board root's /dev/ttyS5; the test
// plays the flight controller on the master. Line settings, received frames
// dispatched through noise and split reads, relayed phone messages and stick
// datagrams written unchanged, two writers never interleaving, and a closed
// link writing nowhere.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "app/app_hooks.h"
#include "app/mav_dispatch.h"
#include "mav/mav_gps.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "mav/uart_link.h"
#include "mav_test_util.h"
#include "state/drone_position.h"
#include "vps/vcs.h"
#include "vps/vps_event.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes wire(const mavlink_message_t& msg) {
    Bytes out(MAVLINK_MAX_PACKET_LEN);
    out.resize(static_cast<size_t>(mavlink_msg_to_send_buffer(out, &msg)));
    return out;
}

mavlink_message_t command_long(uint8_t sysid, const mavlink_command_long_t& cmd) {
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(sysid, 0, 0, &cmd, &msg);
    return msg;
}

// Polls `done` every 10 ms for up to `ms`.
bool eventually(int ms, const std::function<bool()>& done) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Camera events posted by the read thread, read by the test thread.
struct LockedEvents {
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<PostedEvt>& events() {
        static std::vector<PostedEvt> e;
        return e;
    }
    static int post(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text) {
        std::lock_guard l(lock());
        events().push_back({eventno, ival1, ival2, text != nullptr ? text : ""});
        return 0;
    }
    static std::vector<PostedEvt> get() {
        std::lock_guard l(lock());
        return events();
    }
    static void install() {
        {
            std::lock_guard l(lock());
            events().clear();
        }
        MavlinkSetEvtPoster(post);
    }
};

class UartLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        std::array<char, 128> name{};
        ASSERT_EQ(ptsname_r(master_, name.data(), name.size()), 0);
        slave_ = name.data();
        std::filesystem::create_symlink(slave_, board_.path("/dev/ttyS5"));
        PLR_VCS_Reset();
        LockedEvents::install();
        PLR_APP_HooksInit();
    }
    void TearDown() override {
        EXPECT_EQ(UartExit(), 0);
        PLR_APP_HooksDeinit();
        if (master_ >= 0) close(master_);
        uart_link_reset();
        MavlinkSetEvtPoster(nullptr);
    }

    // The slave's current line settings.
    termios line_settings() const {
        termios t{};
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
        return t;
    }

    void send_to_board(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the board writes within `ms`, stopping early once `want` bytes came.
    Bytes read_line(int ms, size_t want = SIZE_MAX) const {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            std::array<uint8_t, 4096> buf{};
            const ssize_t n = read(master_, buf.data(), buf.size());
            if (n <= 0) break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        return got;
    }

    TempBoardRoot board_{{"/dev", "/tmp/SD0", "/sim"}};
    int master_ = -1;
    std::string slave_;
};

TEST_F(UartLinkTest, OpensRawAt460800AndDispatchesFramesThroughNoiseAndSplits) {
    ASSERT_EQ(UartInit(), 0);
    ASSERT_GE(UartContext.PortFd.load(), 0);
    const termios t = line_settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B460800));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B460800));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | ICRNL | IXON), 0U);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U) << "raw: no line editing, no echo";
    EXPECT_EQ(t.c_oflag & OPOST, 0U) << "raw: bytes leave unchanged";
    EXPECT_EQ(t.c_cc[VMIN], 0);

    // A southern, western position and its altitude, addressed to the phone:
    // the board reads them in passing.
    mavlink_gps_raw_int_t gps{};
    gps.lat = -338688000;
    gps.lon = -1512093000;
    mavlink_message_t gpsMsg;
    mavlink_msg_gps_raw_int_pack(0x34, 1, 7, &gps, &gpsMsg);
    mavlink_pelora_gps_info_t info{123.45F};
    mavlink_message_t infoMsg;
    mavlink_msg_pelora_gps_info_pack(0x34, 1, 8, &info, &infoMsg);
    // A stop-recording command whose checksum broke on the line: dropped.
    mavlink_command_long_t stop{};
    stop.command = 203;
    stop.param7 = 2;
    Bytes broken = wire(command_long(0x32, stop));
    broken[10] ^= 0x40;
    // A start-recording command and a distance report for the video board.
    mavlink_command_long_t start{};
    start.command = 203;
    start.param7 = 3;
    mavlink_local_position_ned_t pos{};
    pos.x = 12.7F;
    mavlink_message_t posMsg;
    mavlink_msg_local_position_ned_pack(0x32, 1, 9, &pos, &posMsg);

    Bytes stream = {0x00, 0x13, 0x7F};  // noise before the first frame
    for (const Bytes& part : {broken, Bytes{0x55, 0xAA}, wire(gpsMsg), wire(infoMsg),
                              wire(command_long(0x32, start)), wire(posMsg)})
        stream.insert(stream.end(), part.begin(), part.end());
    for (size_t at = 0; at < stream.size(); at += 7) {
        send_to_board(Bytes(stream.begin() + static_cast<long>(at),
                            stream.begin() + static_cast<long>(std::min(at + 7, stream.size()))));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ASSERT_TRUE(eventually(3000, [] { return uart_get_cur_distance() == 12; }));
    EXPECT_EQ(MavlinkGetGPSLatitude(), -338688000);
    EXPECT_EQ(MavlinkGetGPSLongtitude(), -1512093000);
    EXPECT_EQ(MavlinkGetGPSAltitude(), 1234);
    const std::vector<PostedEvt> want = {{VPS_EVT_MODE_SWITCH, 1, -1, ""},
                                         {VPS_EVT_REC_START, -1, -1, ""}};
    EXPECT_EQ(LockedEvents::get(), want) << "the broken stop command must not act";
}

// A pseudo-terminal keeps 8 bits without parity whatever it is told, so only
// the speed, the stop bits, odd parity and input parity checking show here.
TEST_F(UartLinkTest, SetUartOptSpeedsAndFraming) {
    ASSERT_EQ(UartInit(), 0);
    struct Case {
        int speed, bits;
        char parity;
        int stop;
        speed_t baud;
        bool odd, checked, twoStops;
    };
    const Case cases[] = {
        {57600, 8, 'N', 1, B9600, false, false, false},  // unknown speeds give 9600
        {2400, 8, 'O', 1, B2400, true, true, false},
        {115200, 7, 'E', 2, B115200, false, true, true},
        {460800, 8, 'N', 1, B460800, false, false, false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SetUartOpt(c.speed, c.bits, c.parity, c.stop), 0) << c.speed;
        const termios t = line_settings();
        EXPECT_EQ(cfgetospeed(&t), c.baud) << c.speed;
        EXPECT_EQ(cfgetispeed(&t), c.baud) << c.speed;
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.odd) << c.speed;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.checked) << c.speed;
        EXPECT_EQ((t.c_iflag & ISTRIP) != 0, c.checked) << c.speed;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops) << c.speed;
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0U) << c.speed;
    }
}

TEST_F(UartLinkTest, PhoneMessagesSticksAndOwnMessagesReachTheLine) {
    ASSERT_EQ(UartInit(), 0);
    ASSERT_EQ(PLR_MAV_Init(0, 0), 0);

    // Stick datagrams: whatever bytes arrive go out unchanged, one write each.
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_TRUE(eventually(3000, [&] { return PLR_MAV_GetStickPort() != 0; }));
    to.sin_port = htons(PLR_MAV_GetStickPort());
    Bytes stick = {0xFE, 0x0B, 0x01, 0x43, 0x00, 0x45};
    for (int i = 0; i < 30; ++i) stick.push_back(static_cast<uint8_t>(i * 37));
    ASSERT_EQ(
        sendto(udp, stick.data(), stick.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(stick.size()));
    EXPECT_EQ(read_line(3000, stick.size()), stick);
    close(udp);

    // From the phone, addressed to the flight controller: relayed as received,
    // sequence and checksum included; so is an id the board does not handle.
    mavlink_command_long_t cmd{};
    cmd.command = 400;
    cmd.param1 = 1;
    cmd.target_system = 1;
    mavlink_message_t fromPhone;
    mavlink_msg_command_long_pack(0x43, 0xBE, 201, &cmd, &fromPhone);
    mavlink_message_t unknown;
    mavlink_msg_clear(&unknown);
    mavlink_put_u8(&unknown, 0, 9);
    mavlink_finalize_message(&unknown, 0x42, 0, 17, 45, 4);
    for (const mavlink_message_t& m : {fromPhone, unknown}) {
        MavlinkMessageDispatch(&m);
        EXPECT_EQ(read_line(3000, wire(m).size()), wire(m)) << int(m.msgid);
    }
    PLR_MAV_Deinit();

    // The board's own messages: system id 35, the link's own sequence.
    EXPECT_GT(uart_mavlink_camera_state_send(5), 0);
    EXPECT_GT(uart_mavlink_camera_tlapse_send(2, 0, 0, 0, 0, 0), 0);
    const Bytes own = read_line(3000, 2 * 41);
    mavlink_status_t st{};
    std::vector<mavlink_message_t> frames;
    for (const uint8_t c : own) {
        mavlink_message_t m;
        if (mavlink_parse_char(&st, c, &m) == 1) frames.push_back(m);
    }
    ASSERT_EQ(frames.size(), 2U);
    mavlink_command_long_t state{}, tlapse{};
    mavlink_msg_command_long_decode(&frames[0], &state);
    mavlink_msg_command_long_decode(&frames[1], &tlapse);
    EXPECT_EQ(frames[0].sysid, 35);
    EXPECT_EQ(static_cast<uint8_t>(frames[1].seq - frames[0].seq), 1);
    EXPECT_EQ(state, (mavlink_command_long_t{5, 0, 0, 0, 0, 0, 0, 2, 100, 0, 0}));
    EXPECT_EQ(tlapse, (mavlink_command_long_t{11, 2, 0, 0, 0, 0, 0, 2, 100, 0, 0}));
}

// Appends one byte at a time and yields in between, so that two unserialised
// writers would interleave their frames.
struct DribbleWriter {
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static Bytes& bytes() {
        static Bytes b;
        return b;
    }
    static int write(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            {
                std::lock_guard l(lock());
                bytes().push_back(data[i]);
            }
            std::this_thread::yield();
        }
        return static_cast<int>(length);
    }
};

TEST_F(UartLinkTest, TwoWritersAtOnceNeverInterleave) {
    ASSERT_EQ(UartInit(), 0);
    constexpr int kPerThread = 300;
    constexpr size_t kFrameLen = MAVLINK_MSG_LEN_COMMAND_LONG + MAVLINK_NUM_NON_PAYLOAD_BYTES;
    constexpr size_t kTotal = 2 * kPerThread * kFrameLen;
    for (const bool onTheLine : {true, false}) {
        SCOPED_TRACE(onTheLine ? "serial line" : "byte-by-byte writer");
        DribbleWriter::bytes().clear();
        uart_set_writer(onTheLine ? nullptr : DribbleWriter::write);
        Bytes line;
        std::thread reader;
        if (onTheLine) reader = std::thread([&] { line = read_line(10000, kTotal); });
        auto writer = [](int id) {
            for (int i = 0; i < kPerThread; ++i)
                uart_mavlink_command_long_send(1, 1, 31000, static_cast<float>(id),
                                               static_cast<float>(i), 0, 0, 0, 0, 0);
        };
        std::thread a(writer, 1);
        std::thread b(writer, 2);
        a.join();
        b.join();
        if (reader.joinable()) reader.join();
        if (!onTheLine) line = DribbleWriter::bytes();

        ASSERT_EQ(line.size(), kTotal);
        mavlink_status_t st{};
        int next[3] = {0, 0, 0};
        for (const uint8_t c : line) {
            mavlink_message_t m;
            if (mavlink_parse_char(&st, c, &m) != 1) continue;
            mavlink_command_long_t cmd{};
            mavlink_msg_command_long_decode(&m, &cmd);
            const int id = static_cast<int>(cmd.param1);
            ASSERT_TRUE(id == 1 || id == 2);
            EXPECT_EQ(static_cast<int>(cmd.param2), next[id]++) << "writer " << id;
        }
        EXPECT_EQ(st.packet_rx_drop, 0U);
        EXPECT_EQ(next[1], kPerThread);
        EXPECT_EQ(next[2], kPerThread);
    }
}

TEST_F(UartLinkTest, ClosedLinkWritesNowhere) {
    struct Case {
        const char* what;
        bool testMode;
        int initResult;
    };
    for (const Case c : {Case{"factory test mode", true, 0}, Case{"no serial device", false, -1}}) {
        SCOPED_TRACE(c.what);
        if (c.testMode) {
            board_.write(UART_TESTMODE_FILE, "");
        } else {
            std::filesystem::remove(board_.path(UART_TESTMODE_FILE));
            std::filesystem::remove(board_.path("/dev/ttyS5"));
        }
        EXPECT_EQ(UartInit(), c.initResult);
        EXPECT_EQ(UartContext.PortFd.load(), -1);
        EXPECT_EQ(uart_mavlink_camera_state_send(1), 0);
        const uint8_t raw[] = {1, 2, 3};
        EXPECT_EQ(uart_mavlink_send_buff(raw, 3), 0);
        EXPECT_TRUE(read_line(200).empty());
        EXPECT_EQ(UartExit(), 0);
    }
}

TEST_F(UartLinkTest, HungUpLineNeitherBlocksWritersNorExit) {
    ASSERT_EQ(UartInit(), 0);
    close(master_);
    master_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(uart_mavlink_camera_state_send(1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UartExit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(UartContext.PortFd.load(), -1);
}

// A flight controller that stops reading: the line fills up. Frames are then
// dropped without holding the write lock (the phone link's receive thread
// relays through it), and once the line moves again frames flow intact.
TEST_F(UartLinkTest, StalledLineDropsFramesWithoutHoldingTheWriters) {
    ASSERT_EQ(UartInit(), 0);
    const int flags = fcntl(UartContext.PortFd.load(), F_GETFL);
    EXPECT_NE(flags & O_NONBLOCK, 0) << "writes must not block on the line";

    // Fill the line from a second opening of the board's side.
    const int filler = open(slave_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    // The terminal layer moves bytes on in the background and may find room
    // again a moment after a refusal: full means nothing goes for a while.
    const std::vector<uint8_t> zeros(4096, 0);
    size_t filled = 0;
    for (int refused = 0; refused < 10;) {
        const ssize_t n = write(filler, zeros.data(), zeros.size());
        if (n > 0) {
            filled += static_cast<size_t>(n);
            refused = 0;
        } else {
            ++refused;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    close(filler);
    ASSERT_GT(filled, 0U);

    // Forty frames on the stalled line, from another thread; a second writer
    // meanwhile must get the lock too. Before, each frame held it a second.
    constexpr int kFrames = 40;
    std::atomic<int> sent{0};
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i) {
            uart_mavlink_camera_state_send(1);
            sent.fetch_add(1);
        }
    });
    const bool done = eventually(15000, [&] { return sent.load() == kFrames; });
    writer.join();
    EXPECT_TRUE(done) << "writes on a stalled line held the write lock";
    EXPECT_GE(uart_frames_dropped(), static_cast<uint32_t>(kFrames) / 2);

    // The flight controller reads again: everything it gets after the filler
    // is whole frames.
    Bytes line = read_line(500);
    while (!line.empty()) line = read_line(200);
    for (int i = 0; i < 3; ++i) uart_mavlink_camera_state_send(static_cast<uint32_t>(i));
    line = read_line(3000, 3 * (MAVLINK_MSG_LEN_COMMAND_LONG + 8));
    mavlink_status_t st{};
    int frames = 0;
    for (const uint8_t c : line) {
        mavlink_message_t m;
        frames += mavlink_parse_char(&st, c, &m);
    }
    EXPECT_EQ(frames, 3);
    EXPECT_EQ(st.packet_rx_drop, 0U);
}

// The SSID report carries the first 29 characters of the access point's name;
// a short name keeps the line feed it was read with.
TEST_F(UartLinkTest, SsidReportCarriesTheAccessPointName) {
    ASSERT_EQ(UartInit(), 0);
    const struct {
        const char* ssid;
        const char* sent;
    } cases[] = {
        {"Sparrow", "Sparrow\n"},
        {"Sparrow-0123456789abcdefghijklmnop", "Sparrow-0123456789abcdefghijk"},
    };
    for (const auto& c : cases) {
        board_.write("/tmp/hostapd.conf",
                     std::string("interface=wlan0\nssid=") + c.ssid + "\nchannel=6\n");
        ASSERT_EQ(uart_mavlink_send_ssid(), 0);
        const Bytes line = read_line(3000, MAVLINK_MSG_LEN_PELORA_CUSTOM_CONFIG + 8);
        mavlink_status_t st{};
        mavlink_message_t m{};
        int frames = 0;
        for (const uint8_t b : line) frames += mavlink_parse_char(&st, b, &m);
        ASSERT_EQ(frames, 1) << c.ssid;
        mavlink_pelora_custom_config_t config{};
        ASSERT_EQ(mavlink_msg_pelora_custom_config_decode(&m, &config), 0);
        EXPECT_EQ(m.sysid, 35);
        EXPECT_EQ(config.setting_type, 0);
        EXPECT_STREQ(config.text, c.sent);
    }
}

}  // namespace
