#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <optional>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "cam2/cam2_endpoint.h"
#include "cam2/cam2_images.h"
#include "cam2/mav2_frame.h"
#include "state/drone_position.h"

namespace {

using Bytes = std::vector<uint8_t>;

int udp_socket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A station on loopback: sends frames to the endpoint and reads its answers.
class Station {
public:
    explicit Station(uint16_t port = 0) : fd_(udp_socket(port)) {}
    ~Station() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void send(const Bytes& bytes, uint16_t to) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    void send(const Mav2Message& m, uint16_t to, uint8_t sys = 255, uint8_t comp = 190) {
        Bytes out(MAV2_MAX_FRAME);
        out.resize(mav2_frame_write(out, m, seq_++, sys, comp));
        send(out, to);
    }
    // The next frame of `msgid` within `ms`, skipping others.
    std::optional<Mav2Frame> next(uint32_t msgid, int ms = 1500) {
        for (int waited = 0; waited < ms; waited += 10) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            uint8_t buf[2048];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            Mav2Parser parser;
            Mav2Frame f;
            for (ssize_t i = 0; i < n; ++i)
                if (parser.feed(buf[i], &f) && f.msgid == msgid) return f;
        }
        return std::nullopt;
    }

private:
    int fd_;
    uint8_t seq_ = 0;
};

Mav2Message command(uint16_t number, std::initializer_list<float> params = {}, uint8_t target = 1,
                    uint8_t component = 100) {
    Mav2Message m(76);
    m.set_int("command", number);
    m.set_int("target_system", target);
    m.set_int("target_component", component);
    int i = 1;
    for (const float p : params) m.set("param" + std::to_string(i++), p);
    return m;
}

class Cam2Endpoint : public ::testing::Test {
protected:
    void SetUp() override {
        const int probe = udp_socket(0);
        ASSERT_GE(probe, 0);
        port_ = port_of(probe);
        close(probe);
        Cam2Config c;
        c.port = port_;
        c.groundStation = "127.0.0.1";
        ASSERT_EQ(PLR_CAM2_InitWith(c), 0);
    }
    void TearDown() override { PLR_CAM2_Deinit(); }

    TempBoardRoot root_{{"/usr/data"}};
    uint16_t port_ = 0;
};

// Before any station has spoken, the camera's heartbeat goes to port 14550 of
// the ground-station address; the vehicle's only while the flight controller
// speaks.
TEST_F(Cam2Endpoint, HeartbeatsGoToTheGroundStationPortBeforeAnyStationSpoke) {
    Station listener(14550);
    if (!listener.ok()) GTEST_SKIP() << "port 14550 is taken on this machine";
    const auto hb = listener.next(0, 2500);
    ASSERT_TRUE(hb.has_value());
    EXPECT_EQ(hb->sysid, 1);
    EXPECT_EQ(hb->compid, 100);
    EXPECT_EQ(hb->message().get_int("type"), 30);
    EXPECT_EQ(hb->message().get_int("autopilot"), 8);

    MavlinkFlyctrlHeard();
    bool vehicle = false;
    for (int i = 0; i < 6 && !vehicle; ++i) {
        const auto f = listener.next(0, 1200);
        vehicle = f && f->compid == 1 && f->message().get_int("type") == 2 &&
                  f->message().get_int("autopilot") == 0;
    }
    EXPECT_TRUE(vehicle) << "the vehicle's heartbeat while the flight controller speaks";
}

// Each command is acknowledged from the camera with the requester in the
// target fields; requested messages follow the acknowledgement; commands for
// other systems, MAVLink 1 and signed frames get nothing.
TEST_F(Cam2Endpoint, CommandsAreAnsweredAsTheCameraProtocolSays) {
    struct Case {
        const char* what;
        Mav2Message cmd;
        std::optional<uint8_t> result;  // none: no answer at all
        uint32_t follows;               // message after the ack, or 0
    };
    const Case cases[] = {
        {"unknown command", command(12345), 3, 0},
        {"request message: settings", command(512, {260}), 0, 260},
        {"older request: settings", command(522), 0, 260},
        {"request message: storage, NaN params", command(512, {261, NAN, NAN}), 0, 261},
        {"older request: capture status", command(527), 0, 262},
        {"request message: stream information", command(512, {269}), 0, 269},
        {"older request: camera information", command(521), 0, 259},
        {"image by index, none taken", command(2002, {5}), 2, 0},
        {"a message the camera does not give", command(512, {33}), 3, 0},
        {"another system", command(12345, {}, 9), std::nullopt, 0},
        {"another component", command(12345, {}, 1, 154), std::nullopt, 0},
        {"broadcast component", command(522, {}, 1, 0), 0, 260},
    };
    Station s;
    for (const Case& c : cases) {
        s.send(c.cmd, port_);
        const auto ack = s.next(77, c.result ? 1500 : 300);
        if (!c.result) {
            EXPECT_FALSE(ack.has_value()) << c.what;
            continue;
        }
        ASSERT_TRUE(ack.has_value()) << c.what;
        const Mav2Message a = ack->message();
        EXPECT_EQ(ack->compid, 100) << c.what;
        EXPECT_EQ(a.get_int("command"), c.cmd.get_int("command")) << c.what;
        EXPECT_EQ(a.get_int("result"), *c.result) << c.what;
        EXPECT_EQ(a.get_int("target_system"), 255) << c.what;
        EXPECT_EQ(a.get_int("target_component"), 190) << c.what;
        if (c.follows != 0) {
            EXPECT_TRUE(s.next(c.follows).has_value()) << c.what;
        }
    }

    // MAVLink 1 and signed MAVLink 2 frames of a valid command: no answer.
    Bytes v2(MAV2_MAX_FRAME);
    v2.resize(mav2_frame_write(v2, command(522), 0, 255, 190));
    Bytes signedFrame = v2;
    signedFrame[2] = 0x01;
    s.send(signedFrame, port_);
    s.send(Bytes{0xFE, 2, 0, 255, 190, 0, 0, 0, 0x11, 0x22}, port_);
    EXPECT_FALSE(s.next(77, 300).has_value());
}

// The vehicle component answers only while it stands for a speaking flight
// controller, and takes no command.
TEST_F(Cam2Endpoint, TheVehicleComponentTakesNoCommand) {
    Station s;
    MavlinkFlyctrlHeard();
    s.send(command(520, {}, 1, 1), port_);
    const auto ack = s.next(77);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->compid, 1);
    EXPECT_EQ(ack->message().get_int("result"), 3);
}

// The photo log keeps its indices across a restart, skips a line cut by a
// power cut, and only clearing it starts again at 0.
TEST(Cam2ImageLog, IndicesSurviveARestartAndOnlyClearingResetsThem) {
    TempBoardRoot root({"/usr/data"});
    {
        Cam2ImageLog log("/usr/data/images.log");
        EXPECT_EQ(log.add(1, 2, 3, 4, "/tmp/SD0/PIC/A 1.JPG").index, 0);
        EXPECT_EQ(log.add(5, 6, 7, 8, "/tmp/SD0/PIC/B.JPG").index, 1);
    }
    std::ofstream(root.path("/usr/data/images.log"), std::ios::app) << "2 99 1";  // cut
    Cam2ImageLog log("/usr/data/images.log");
    EXPECT_EQ(log.count(), 2);
    ASSERT_TRUE(log.find(0).has_value());
    EXPECT_EQ(log.find(0)->path, "/tmp/SD0/PIC/A 1.JPG");
    EXPECT_EQ(log.find(1)->lat, 6);
    EXPECT_FALSE(log.find(2).has_value());
    EXPECT_FALSE(log.find(-1).has_value());
    log.clear();
    EXPECT_EQ(Cam2ImageLog("/usr/data/images.log").count(), 0);
    EXPECT_EQ(log.add(0, 0, 0, 0, "/tmp/SD0/PIC/C.JPG").index, 0);
}

}  // namespace
