// The file service in process, on loopback: list batching, the live-stream
// switch, names outside the catalogue, downloads from an offset, and hostile
// request datagrams that must leave the service answering and the card intact.
#include "fs/fs_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "fs/fs_context.h"
#include "fs_media_fixture.h"
#include "fs_service_fixture.h"

namespace {

using namespace fs_service_fixture;
namespace fsys = std::filesystem;

TEST_F(FileService, ListOf1000PhotosArrivesInTwoFrames) {
    for (int i = 0; i < 1000; ++i) {
        std::ofstream(root_.path("/tmp/SD0/PLRMEDIA/PIC/P" + std::to_string(i) + ".jpg")) << "x";
    }
    stream_off();
    phone_.request(list_request(195));
    const std::vector<TestFrame> frames = drain(1500);
    ASSERT_EQ(frames.size(), 2u);
    const auto first = TestPhone::messages(frames[0].payload);
    const auto second = TestPhone::messages(frames[1].payload);
    EXPECT_EQ(first.size(), 926u);
    EXPECT_EQ(second.size(), 75u);  // 1001 photos: the fixture's one and these 1000
    mavlink_pelora_param_value_t pv{};
    mavlink_msg_pelora_param_value_decode(&second.back(), &pv);
    EXPECT_STREQ(pv.name, "PIC1001");
    EXPECT_EQ(pv.count, 1001);
    EXPECT_FLOAT_EQ(pv.value, 1.0f);
}

TEST_F(FileService, VideoListFromAnyOtherComponent) {
    stream_off();
    phone_.request(list_request(0));
    const auto frames = drain();
    ASSERT_EQ(frames.size(), 1u);
    const auto msgs = TestPhone::messages(frames[0].payload);
    ASSERT_EQ(msgs.size(), 1u);
    mavlink_pelora_param_value_t pv{};
    mavlink_msg_pelora_param_value_decode(&msgs[0], &pv);
    EXPECT_STREQ(pv.name, "VIDEO1");
    EXPECT_STREQ(pv.text, "CLIP0001.MP4");
    EXPECT_FLOAT_EQ(pv.value, 3.0f);
}

TEST_F(FileService, WithTheLiveStreamOnMissionsAreDiscarded) {
    ASSERT_EQ(fs_is_stream_on(), 1u) << "the service starts with the live stream on";
    phone_.request(list_request(0));
    EXPECT_TRUE(drain(800).empty());
    phone_.request(data_stream(1));
    phone_.request(resource(3, "CLIP0001.MP4", 0));
    EXPECT_TRUE(drain(800).empty());
}

TEST_F(FileService, DownloadFromAnOffsetAndUnlistedNames) {
    stream_off();
    struct Case {
        std::string storage;
        size_t from;
    };
    for (const Case& c : {Case{"0", 0}, Case{"123457", 123457}, Case{"-5", 0}, Case{"abc", 0},
                          Case{"600000", video_.size()}}) {
        std::vector<std::string> texts;
        std::string data;
        download(3, "CLIP0001.MP4", c.storage, &texts, &data);
        ASSERT_GE(texts.size(), 2u) << c.storage;
        EXPECT_EQ(texts.front().rfind("TRANSSTART:CLIP0001.MP4;FTYPE:3", 0), 0u) << texts.front();
        EXPECT_EQ(texts.back(), "TRANSCOMPLETE:CLIP0001.MP4") << c.storage;
        EXPECT_TRUE(data == video_.substr(c.from)) << c.storage << ": " << data.size() << " bytes";
    }
    // Past the end: bytes the file does not have, an error rather than an
    // empty download reported complete.
    for (const std::string storage : {"600001", "99999999999999999999"}) {
        std::vector<std::string> texts;
        std::string data;
        download(3, "CLIP0001.MP4", storage, &texts, &data);
        EXPECT_EQ(texts, std::vector<std::string>{"TRANSCANCELED:CLIP0001.MP4;REASON:OFFSET"})
            << storage;
        EXPECT_TRUE(data.empty());
    }
    for (const std::string name : {"nothere.MP4", "../VIDEO/CLIP0001.MP4", "/CLIP0001.MP4", ""}) {
        std::vector<std::string> texts;
        std::string data;
        download(3, name, "0", &texts, &data);
        EXPECT_EQ(texts, std::vector<std::string>{"NOTEXIST"}) << name;
        EXPECT_TRUE(data.empty());
    }
}

// The phone holds back the acknowledgement of the first data block while it
// sends its next request; the download then stops at its next step.
TEST_F(FileService, ANewRequestOrACancelStopsARunningDownload) {
    stream_off();
    for (const uint8_t next : {uint8_t{0}, uint8_t{4}}) {  // information request, cancel
        phone_.request(resource(3, "CLIP0001.MP4", 1));
        TestFrame f{};
        ASSERT_TRUE(phone_.receive(&f, 5000));
        EXPECT_EQ(TestPhone::answer(f.payload).rfind("TRANSSTART:CLIP0001.MP4", 0), 0u);
        ASSERT_TRUE(phone_.receive(&f, 5000, false));
        EXPECT_EQ(f.payload[0], 2);
        phone_.request(resource(3, "CLIP0001.MP4", next));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        phone_.ack(f.stamp);
        std::vector<std::string> texts;
        size_t blocks = 0;
        for (const TestFrame& g : drain()) {
            if (g.payload[0] == 2) {
                ++blocks;
            } else {
                texts.push_back(TestPhone::answer(g.payload));
            }
        }
        EXPECT_LE(blocks, 1u) << "at most the block in flight";
        ASSERT_GE(texts.size(), 1u);
        EXPECT_EQ(texts[0], "TRANSCANCELED:CLIP0001.MP4");
        if (next == 0) {
            ASSERT_EQ(texts.size(), 2u);
            EXPECT_EQ(texts[1].rfind("FSIZE:600000;", 0), 0u) << "then the new request is served";
        } else {
            EXPECT_EQ(texts.size(), 1u);
        }
    }
}

TEST_F(FileService, HostileRequestsLeaveTheServiceAnsweringAndTheCardIntact) {
    stream_off();
    const auto before = card();
    const auto valid = frame_bytes(resource(3, "CLIP0001.MP4", 0));
    std::vector<std::vector<uint8_t>> hostile;
    hostile.emplace_back(valid.begin(), valid.begin() + 10);  // truncated
    hostile.push_back(valid);
    hostile.back()[valid.size() - 1] ^= 0xFF;       // wrong CRC
    hostile.push_back({0xFE});                      // a start byte only
    hostile.push_back({0xFE, 0xFF, 0, 0, 0, 142});  // length 255, nothing after
    std::vector<uint8_t> noise(65000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 31 + 0xFE);
    hostile.push_back(noise);
    const std::string longName(120, 'A');  // uri and storage without NUL
    const std::string longNumber(120, '9');
    for (uint8_t transfer : {0, 1, 2, 5, 6, 7, 8, 9, 200}) {
        for (uint8_t type : {0, 1, 2, 3, 4, 255}) {
            for (const std::string& name :
                 {longName, std::string("../../../etc/pelora.conf"),
                  std::string("../VIDEO/CLIP0001.MP4"),
                  std::string("/tmp/SD0/PLRMEDIA/VIDEO/CLIP0001.MP4"), std::string("..")}) {
                hostile.push_back(frame_bytes(resource(type, name, transfer, longNumber)));
            }
        }
    }
    hostile.push_back(frame_bytes(resource(3, "CLIP0001.MP4", 1, "-99999999999999999999")));
    hostile.push_back(frame_bytes(resource(3, "CLIP0001.MP4", 1, "99999999999999999999")));
    hostile.push_back(frame_bytes(resource(3, "CLIP0001.MP4", 1, "0x10")));
    // Several frames in one datagram, the first one cut short.
    std::vector<uint8_t> joined(valid.begin(), valid.begin() + 20);
    joined.insert(joined.end(), valid.begin(), valid.end());
    hostile.push_back(joined);
    for (const auto& d : hostile) phone_.send_to(FS_FILE_PORT, d.data(), d.size());
    // A flood of list and information requests.
    const auto list = frame_bytes(list_request(0));
    for (int i = 0; i < 300; ++i) {
        phone_.send_to(FS_FILE_PORT, list.data(), list.size());
        phone_.send_to(FS_FILE_PORT, valid.data(), valid.size());
    }
    drain(1500);

    phone_.request(resource(3, "CLIP0001.MP4", 0));
    const auto frames = drain();
    ASSERT_EQ(frames.size(), 1u) << "the service still answers";
    EXPECT_EQ(frames[0].payload[0], 1);
    EXPECT_EQ(TestPhone::answer(frames[0].payload).rfind("FSIZE:600000;", 0), 0u);
    EXPECT_EQ(card(), before) << "nothing on the card changed";
}

// Upload mode hands every datagram to the upload handler the firmware upgrade
// registers; without one they are dropped, and none is taken as a request.
TEST_F(FileService, InUploadModeDatagramsGoToTheUploadHandlerOrAreDropped) {
    stream_off();
    static std::mutex lock;
    static std::vector<std::vector<uint8_t>> uploaded;
    const auto info = frame_bytes(resource(3, "CLIP0001.MP4", 0));
    FsSetFwFileTransFlag(1);
    phone_.send_to(FS_FILE_PORT, info.data(), info.size());
    EXPECT_TRUE(drain().empty()) << "no handler: dropped, not answered";

    FsSetUploadHandler([](const uint8_t* data, size_t len, const sockaddr_in*) {
        std::lock_guard guard(lock);
        uploaded.emplace_back(data, data + len);
    });
    phone_.send_to(FS_FILE_PORT, info.data(), info.size());
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard guard(lock);
            if (!uploaded.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(uploaded.size(), 1u);
        EXPECT_EQ(uploaded[0], info);
    }
    EXPECT_TRUE(drain().empty()) << "an upload datagram is no request";

    FsClearUploadHandler();
    FsSetFwFileTransFlag(0);
    phone_.send_to(FS_FILE_PORT, info.data(), info.size());
    ASSERT_EQ(drain().size(), 1u) << "out of upload mode the request is answered";
}

TEST_F(FileService, DeleteRemovesTheFileAndItsThumbnail) {
    root_.write("/tmp/SD0/PLRMEDIA/THUMB/CLIP0001_v.JPG", "thumb");
    stream_off();
    phone_.request(list_request(0));  // rescan: the catalogue now holds the thumbnail
    TestFrame listed{};
    ASSERT_TRUE(phone_.receive(&listed, 10000));
    ASSERT_EQ(TestPhone::messages(listed.payload).size(), 1u);
    phone_.request(resource(3, "CLIP0001.MP4", 2));
    const auto frames = drain();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(TestPhone::answer(frames[0].payload), "FREMOVED:CLIP0001.MP4");
    EXPECT_FALSE(root_.exists("/tmp/SD0/PLRMEDIA/VIDEO/CLIP0001.MP4"));
    EXPECT_FALSE(root_.exists("/tmp/SD0/PLRMEDIA/THUMB/CLIP0001_v.JPG"));
    phone_.request(resource(3, "CLIP0001.MP4", 2));
    const auto again = drain();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(TestPhone::answer(again[0].payload), "NOTEXIST");
}

TEST_F(FileService, SmallVideosAreDeletedAtRescanUnlessStillBeingWritten) {
    root_.write("/tmp/SD0/PLRMEDIA/VIDEO/SMALL.MP4", std::string(512000, 'x'));
    root_.write("/tmp/SD0/PLRMEDIA/VIDEO/FRESH.MP4", std::string(1000, 'x'));
    root_.write("/tmp/SD0/PLRMEDIA/VIDEO/OK.MP4", std::string(512001, 'x'));
    const auto old = fsys::file_time_type::clock::now() - std::chrono::minutes(5);
    fsys::last_write_time(root_.path("/tmp/SD0/PLRMEDIA/VIDEO/SMALL.MP4"), old);
    fsys::last_write_time(root_.path("/tmp/SD0/PLRMEDIA/VIDEO/OK.MP4"), old);
    stream_off();
    phone_.request(list_request(0));
    drain();
    EXPECT_FALSE(root_.exists("/tmp/SD0/PLRMEDIA/VIDEO/SMALL.MP4")) << "512000 bytes: invalid";
    EXPECT_TRUE(root_.exists("/tmp/SD0/PLRMEDIA/VIDEO/OK.MP4")) << "512001 bytes: valid";
    EXPECT_TRUE(root_.exists("/tmp/SD0/PLRMEDIA/VIDEO/FRESH.MP4"))
        << "a recording in its first moments stays";
}

// Playback of a recording made with the muxer: 60 frames at 30 fps, key frames
// every 15. The phone acknowledges each frame as it takes it, so the board
// sends one piece at a time.
class Playback : public FileService {
protected:
    void SetUp() override {
        FileService::SetUp();
        aus_ = fs_fixture::encode_h264(160, 96, 60, [](AVFrame* pic, size_t i) {
            fs_fixture::paint(pic, {static_cast<uint8_t>(16 + 3 * i), 128, i % 15 == 0});
            return i % 15 == 0;
        });
        if (aus_.size() != 60) GTEST_SKIP() << "libx264 not available";
        mp4_ = root_.path("/tmp/SD0/PLRMEDIA/VIDEO/PLAY.MP4");
        ASSERT_TRUE(fs_fixture::write_mp4(mp4_, 160, 96, aus_, 30000, 1000));
        stream_off();
        phone_.request(list_request(0));
        drain();
    }
    // Frame i in start-code form without parameter sets; i < 0: SPS and PPS.
    std::string frame(int i) const {
        std::string out;
        for (const Mp4WNal& nal : MP4W_SplitNals(aus_[i < 0 ? 0 : static_cast<size_t>(i)])) {
            if ((nal.type == 7 || nal.type == 8) != (i < 0)) continue;
            out.append("\0\0\0\1", 4);
            out.append(reinterpret_cast<const char*>(nal.data), nal.size);
        }
        return out;
    }
    // Parameter sets, then frames first..59.
    std::string stream_from(int first) const {
        std::string out = frame(-1);
        for (int i = first; i < 60; ++i) out += frame(i);
        return out;
    }
    // Takes frames until `ms` of silence: tag-3 bytes go to `data`, answers
    // to `texts`; stops after the first answer when `until_answer`.
    void take(int ms, std::string* data, std::vector<std::string>* texts, bool until_answer = false,
              size_t max_pieces = SIZE_MAX) {
        TestFrame f{};
        size_t pieces = 0;
        while (pieces < max_pieces && phone_.receive(&f, ms)) {
            if (f.payload[0] == 3) {
                data->append(f.payload.begin() + 1, f.payload.end());
                ++pieces;
            } else {
                texts->push_back(TestPhone::answer(f.payload));
                if (until_answer) return;
            }
        }
    }
    std::vector<fs_fixture::Bytes> aus_;
    std::string mp4_;
};

TEST_F(Playback, FromAPositionWithPausePlaySeekAndEnd) {
    phone_.request(resource(3, "PLAY.MP4", 5, "700"));
    std::string data;
    std::vector<std::string> texts;
    take(2000, &data, &texts, false, 5);
    ASSERT_EQ(texts, std::vector<std::string>{"TIME:700;SCALE:30000"});
    // 700 ms is frame 21: the stream starts at key frame 15 with SPS and PPS.
    const std::string expect = stream_from(15);
    EXPECT_EQ(data, expect.substr(0, data.size()));
    EXPECT_EQ(data.size(), frame(-1).size() + frame(15).size() + frame(16).size() +
                               frame(17).size() + frame(18).size());

    // Pause: what was on its way arrives, then nothing; play goes on from there.
    // Nothing is acknowledged until the board has taken the pause, so that
    // what is on its way does not depend on which of its threads runs first.
    phone_.request(resource(3, "PLAY.MP4", 7));
    for (int i = 0; i < 250 && fs_context.paused.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(fs_context.paused.load(), 1u) << "the pause was not taken";
    size_t before = data.size();
    take(500, &data, &texts);
    EXPECT_LE(data.size() - before, frame(19).size() + frame(20).size() + frame(21).size());
    before = data.size();
    take(1200, &data, &texts);
    EXPECT_EQ(data.size(), before) << "data while paused";
    phone_.request(resource(3, "PLAY.MP4", 6));
    take(2000, &data, &texts, false, 3);
    EXPECT_GT(data.size(), before);
    EXPECT_EQ(data, expect.substr(0, data.size())) << "the stream goes on where it paused";
    EXPECT_EQ(texts.size(), 1u);

    // Seek while playing: a new TIME answer, then SPS, PPS and key frame 45 on,
    // to the end.
    phone_.request(resource(3, "PLAY.MP4", 8, "1500"));
    take(2000, &data, &texts, true);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "TIME:1500;SCALE:30000");
    EXPECT_EQ(data, expect.substr(0, data.size())) << "no stray bytes before the new TIME";
    std::string after;
    take(1500, &after, &texts);
    EXPECT_TRUE(after == stream_from(45)) << after.size() << " bytes after the seek";
    EXPECT_EQ(texts.back(), "TRANSCOMPLETE:PLAY.MP4");
}

TEST_F(Playback, CancelStopsItAndADamagedFileEndsOnlyThatPlayback) {
    phone_.request(resource(3, "PLAY.MP4", 5, "0"));
    std::string data;
    std::vector<std::string> texts;
    take(2000, &data, &texts, false, 2);
    ASSERT_EQ(texts, std::vector<std::string>{"TIME:0;SCALE:30000"});
    // The next piece stays unacknowledged until the cancel is sent, so the
    // board waits for the phone and the cancel reaches it mid-stream however
    // slowly its threads run.
    TestFrame held{};
    ASSERT_TRUE(phone_.receive(&held, 2000, false));
    if (held.payload[0] == 3) data.append(held.payload.begin() + 1, held.payload.end());
    phone_.request(resource(3, "PLAY.MP4", 4));
    take(1000, &data, &texts);
    EXPECT_EQ(texts.size(), 1u) << texts.back();
    EXPECT_LT(data.size(), stream_from(0).size());

    // The movie header cut off: the playback ends with no stream and says why,
    // the service answers the next request.
    const fs_fixture::Bytes whole = fs_fixture::read_bytes(mp4_);
    fs_fixture::write_bytes(mp4_, fs_fixture::Bytes(whole.begin(), whole.end() - 200));
    phone_.request(resource(3, "PLAY.MP4", 5, "0"));
    texts.clear();
    const size_t before = data.size();
    take(1000, &data, &texts);
    EXPECT_EQ(texts, std::vector<std::string>{"TRANSCANCELED:PLAY.MP4;REASON:DAMAGED"});
    EXPECT_EQ(data.size(), before);
    texts.clear();
    phone_.request(resource(3, "PLAY.MP4", 0));
    take(1000, &data, &texts);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("FSIZE:", 0), 0u) << texts[0];
}

}  // namespace
