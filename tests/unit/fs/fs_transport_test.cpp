// The reliable transport on loopback sockets: acknowledged frames, stray and
// wrong acknowledgements and strangers' ones, five transmissions then -110
// with the frame kept, the resend of the kept frame also after a failed send,
// and no round-trip sample from a retransmitted frame.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../../support/board_root_fixture.h"
#include "fs/udp_rtt.h"
#include "fs_test_phone.h"

namespace {

class Transport : public ::testing::Test {
protected:
    void SetUp() override {
        sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        phone_.keep_repeats();
        PLR_UDP_Init();
    }
    void TearDown() override {
        PLR_UDP_Deinit();
        close(sock_);
    }
    // udp_send of `text` on a thread; the phone acts meanwhile.
    template <typename Phone>
    int send_while(const std::string& text, Phone phone_side) {
        std::atomic<int> rc{0};
        std::thread t([&] { rc = udp_send(text.data(), text.size(), sock_, &phone_.self()); });
        phone_side();
        t.join();
        return rc;
    }
    TempBoardRoot root_;
    TestPhone phone_;
    int sock_ = -1;
};

TEST_F(Transport, AcknowledgedFrameUpdatesTheEstimator) {
    TestFrame f{};
    const int rc = send_while("hello", [&] { ASSERT_TRUE(phone_.receive(&f, 2000)); });
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(std::string(f.payload.begin(), f.payload.end()), "hello");
    const RttEstimator est = rtt_get_estimator();
    EXPECT_LT(est.rto, 200000);  // a measured loopback round trip
    EXPECT_GE(est.rto, 5000);
    EXPECT_EQ(est.retries, 0);
}

TEST_F(Transport, StrayBytesBeforeTheRecordAreSkipped) {
    TestFrame f{};
    int transmissions = 0;
    const int rc = send_while("x", [&] {
        ASSERT_TRUE(phone_.receive(&f, 2000, false));
        ++transmissions;
        uint8_t ack[7] = {0x00};
        rtt_build_ack(f.stamp, ack + 1);
        phone_.send_to(RTT_ACK_PORT, ack, sizeof ack);
    });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(transmissions, 1);
}

TEST_F(Transport, WrongStampIsResentAfterTheTimeout) {
    TestFrame first{};
    TestFrame second{};
    const int rc = send_while("abc", [&] {
        ASSERT_TRUE(phone_.receive(&first, 2000, false));
        phone_.ack(first.stamp + 1);
        uint8_t shortRec[5] = {'F', 'F', 0, 0, 0};  // FF with three bytes only
        phone_.send_to(RTT_ACK_PORT, shortRec, sizeof shortRec);
        ASSERT_TRUE(phone_.receive(&second, 2000));
    });
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(first.stamp, second.stamp) << "a retransmission keeps its time stamp";
    EXPECT_EQ(first.payload, second.payload);
}

TEST_F(Transport, FiveTransmissionsThenTheFrameIsKeptForAResend) {
    EXPECT_EQ(udp_resend_last_pkg(sock_, &phone_.self()), -22) << "nothing kept yet";
    std::vector<uint32_t> stamps;
    int err = 0;
    std::thread t0([&] {
        EXPECT_EQ(udp_send("lost", 4, sock_, &phone_.self()), -110);
        err = errno;
    });
    TestFrame f{};
    while (phone_.receive(&f, 1500, false)) stamps.push_back(f.stamp);
    t0.join();
    EXPECT_EQ(err, ETIMEDOUT);
    ASSERT_EQ(stamps.size(), 5u);
    for (uint32_t s : stamps) EXPECT_EQ(s, stamps[0]);

    std::atomic<int> rc2{0};
    std::thread t([&] { rc2 = udp_resend_last_pkg(sock_, &phone_.self()); });
    TestFrame again{};
    ASSERT_TRUE(phone_.receive(&again, 2000));
    t.join();
    EXPECT_EQ(rc2, 4);
    EXPECT_EQ(again.stamp, stamps[0]);
    EXPECT_EQ(std::string(again.payload.begin(), again.payload.end()), "lost");
    EXPECT_EQ(udp_resend_last_pkg(sock_, &phone_.self()), -22) << "freed once acknowledged";
}

// The phone took the frame, its acknowledgements were lost, and then a send
// failed: the frame stays kept and goes again with its own bytes and stamp.
TEST_F(Transport, AKeptFrameOutlivesAFailedSendAndKeepsItsStamp) {
    std::thread t0([&] { EXPECT_EQ(udp_send("kept", 4, sock_, &phone_.self()), -110); });
    TestFrame first{};
    ASSERT_TRUE(phone_.receive(&first, 2000, false));
    TestFrame f{};
    while (phone_.receive(&f, 1500, false)) {
    }
    t0.join();
    const int local = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // refuses IPv4 peers
    const int failed = udp_resend_last_pkg(local, &phone_.self());
    close(local);
    EXPECT_TRUE(failed < 0 && failed != -22 && failed != -110) << failed;
    std::atomic<int> rc{0};
    std::thread t([&] { rc = udp_resend_last_pkg(sock_, &phone_.self()); });
    TestFrame again{};
    const bool resent = phone_.receive(&again, 2000);
    t.join();
    ASSERT_TRUE(resent);
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(again.stamp, first.stamp);
    EXPECT_EQ(again.payload, first.payload);
}

// An acknowledgement from another machine does not count: the frame goes
// again until the phone itself acknowledges it.
TEST_F(Transport, OnlyThePeersAcknowledgementsCount) {
    TestPhone stranger("127.0.0.2");
    int transmissions = 0;
    const int rc = send_while("mine", [&] {
        TestFrame f{};
        ASSERT_TRUE(phone_.receive(&f, 2000, false));
        ++transmissions;
        stranger.ack(f.stamp);
        ASSERT_TRUE(phone_.receive(&f, 2000));
        ++transmissions;
    });
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(transmissions, 2);
}

// Karn's rule: the round trip of a frame that had to be sent again is
// unknown (which transmission was acknowledged?), so it gives no sample; the
// backed-off timeout stays until a frame is acknowledged at its first send.
TEST_F(Transport, ARetransmittedFrameGivesNoRoundTripSample) {
    TestFrame f{};
    ASSERT_EQ(send_while("clean", [&] { ASSERT_TRUE(phone_.receive(&f, 2000)); }), 5);
    const RttEstimator clean = rtt_get_estimator();
    const int rc = send_while("late", [&] {
        ASSERT_TRUE(phone_.receive(&f, 2000, false));
        ASSERT_TRUE(phone_.receive(&f, 2000));
    });
    EXPECT_EQ(rc, 4);
    const RttEstimator after = rtt_get_estimator();
    EXPECT_EQ(after.srtt, clean.srtt) << "no sample taken";
    EXPECT_EQ(after.rttvar, clean.rttvar);
    EXPECT_EQ(after.rto, rtt_minmax(int64_t{clean.rto} * 2)) << "the backed-off timeout stays";
    EXPECT_EQ(after.retries, 0);
}

TEST_F(Transport, BadArguments) {
    const sockaddr_in* peer = &phone_.self();
    EXPECT_EQ(udp_send(nullptr, 1, sock_, peer), -22);
    EXPECT_EQ(udp_send("a", 0, sock_, peer), -22);
    EXPECT_EQ(udp_send("a", 1, 0, peer), -22);
    EXPECT_EQ(udp_send("a", 1, sock_, nullptr), -22);
    std::vector<uint8_t> big(UDP_MAX_PAYLOAD + 1);
    EXPECT_EQ(udp_send(big.data(), big.size(), sock_, peer), -22);
}

}  // namespace
