// The file service under the faults a phone meets on a busy network and a
// card in real use: the catalogue's verdicts on small files, acknowledgements
// lost before a resend, two phones and strangers, requests whose file cannot
// be served, names recorded after the last list, and lists left unanswered.
// In each case the phone's bytes must equal the card's and every request must
// end in a defined answer.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "fs/fs_context.h"
#include "fs_media_fixture.h"
#include "fs_service_fixture.h"
#include "mp4/mp4_repair.h"
#include "mp4/mp4_writer.h"

namespace {

using fs_service_fixture::FileService;
using fs_service_fixture::list_request;
using fs_service_fixture::resource;
namespace fsys = std::filesystem;

constexpr const char* kVideoDir = "/tmp/SD0/PLRMEDIA/VIDEO/";

// What a phone took: answer texts in order, download bytes (tag 2), stream
// bytes (tag 3) and list entry names, each frame once (by its stamp).
struct Taken {
    std::vector<std::string> texts;
    std::string data;
    std::string stream;
    std::vector<std::string> entries;

    void take(const std::vector<uint8_t>& payload) {
        if (payload.empty()) return;
        if (payload[0] == FS_TAG_DATA) {
            data.append(payload.begin() + 1, payload.end());
        } else if (payload[0] == FS_TAG_STREAM) {
            stream.append(payload.begin() + 1, payload.end());
        } else {
            for (const mavlink_message_t& m : TestPhone::messages(payload)) {
                char text[300];
                mavlink_pelora_param_value_t pv{};
                if (fs_answer_text(&m, text, sizeof text) == 0) {
                    texts.emplace_back(text);
                } else if (mavlink_msg_pelora_param_value_decode(&m, &pv) == 0) {
                    entries.emplace_back(pv.text);
                }
            }
        }
    }
};

// Receives until `ms` of silence, acknowledging every frame for which
// `ack(stamp, transmission, distinct index)` says so, and takes each stamp
// once, as the documented phone does.
// `first_ms` bounds the wait for the first frame.
Taken receive_all(TestPhone& phone, int ms,
                  const std::function<bool(uint32_t, int, size_t)>& ack = nullptr,
                  const std::function<void(size_t)>& on_new = nullptr, int first_ms = 0) {
    Taken taken;
    std::set<uint32_t> seen;
    std::map<uint32_t, int> transmissions;
    TestFrame f{};
    while (phone.receive(&f, seen.empty() && first_ms > 0 ? first_ms : ms, false)) {
        const int n = ++transmissions[f.stamp];
        if (ack == nullptr || ack(f.stamp, n, seen.size() - (seen.count(f.stamp) != 0 ? 1 : 0))) {
            phone.ack(f.stamp);
        }
        if (seen.insert(f.stamp).second) {
            taken.take(f.payload);
            if (on_new) on_new(seen.size() - 1);
        }
    }
    return taken;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Each expected text is a prefix of the text received at its place.
void expect_texts(const std::vector<std::string>& got, const std::vector<std::string>& want,
                  const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what << ": " << ::testing::PrintToString(got);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(starts_with(got[i], want[i])) << what << ": " << got[i] << " for " << want[i];
    }
}

// Makes every send of the service's socket fail for a while: its descriptor
// is taken over by a local socket, on which a datagram to an IPv4 address is
// refused.
void fail_sends_for(std::chrono::milliseconds how_long) {
    const int fd = fs_context.fs_sock.load();
    const int saved = dup(fd);
    const int bad = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    dup2(bad, fd);
    std::this_thread::sleep_for(how_long);
    dup2(saved, fd);
    close(saved);
    close(bad);
}

void make_old(const std::string& path) {
    fsys::last_write_time(path, fsys::file_time_type::clock::now() - std::chrono::minutes(5));
}

class FileFaults : public FileService {
protected:
    void SetUp() override {
        FileService::SetUp();
        aus_ = fs_fixture::encode_h264(160, 96, 60, [](AVFrame* pic, size_t i) {
            fs_fixture::paint(pic, {static_cast<uint8_t>(16 + 3 * i), 128, i % 15 == 0});
            return i % 15 == 0;
        });
        if (aus_.size() != 60) GTEST_SKIP() << "libx264 not available";
        clip_ = host("PLAY.MP4");
        ASSERT_TRUE(fs_fixture::write_mp4(clip_, 160, 96, aus_, 30000, 1000));
        stream_off();
        list();
    }
    std::string host(const std::string& name) const { return root_.path(kVideoDir + name); }
    // Lists the videos (rescan), as the phone does before choosing a file.
    std::vector<std::string> list(TestPhone* phone = nullptr) {
        TestPhone& p = phone != nullptr ? *phone : phone_;
        p.request(list_request(0));
        return receive_all(p, 700).entries;
    }
    // The stream a playback from 0 sends: SPS, PPS and every frame.
    std::string whole_stream() const {
        std::string out;
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < aus_.size(); ++i) {
                for (const Mp4WNal& nal : MP4W_SplitNals(aus_[i])) {
                    const bool param = nal.type == 7 || nal.type == 8;
                    if (pass == 0 ? (!param || i != 0) : param) continue;
                    out.append("\0\0\0\1", 4);
                    out.append(reinterpret_cast<const char*>(nal.data), nal.size);
                }
            }
        }
        return out;
    }
    std::vector<fs_fixture::Bytes> aus_;
    std::string clip_;
};

TEST_F(FileFaults, CatalogueVerdictsOnSmallVideos) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        bool kept;
    };
    Mp4WFile* recording = nullptr;
    const std::vector<Case> cases = {
        {"TL_OPEN.MP4",  // a time-lapse the recorder has open, still 0 bytes
         [&](const std::string& path) { recording = MP4W_Create(path.c_str()); }, true},
        {"TL_CUT.MP4",  // cut off by a power cut: its journal awaits the repair
         [&](const std::string& path) {
             std::ofstream{path} << std::string(1000, 'x');
             const std::string journal = PLR_MOV_JournalPath(kVideoDir + std::string("TL_CUT.MP4"));
             root_.write(journal, "VBJ1");
             make_old(root_.path(journal));
         },
         true},
        {"SHORT_AB.MP4",  // a complete live-view copy of a 1 s clip
         [&](const std::string& path) { fsys::copy_file(clip_, path); }, true},
        {"LEFTOVER.MP4",  // closed, empty, nobody's
         [&](const std::string& path) { std::ofstream{path}; }, false},
        {"JUNK.MP4",  // closed, unplayable, 512000 bytes
         [&](const std::string& path) { std::ofstream{path} << std::string(512000, 'j'); }, false},
    };
    for (const Case& c : cases) {
        c.make(host(c.name));
        ASSERT_TRUE(fsys::exists(host(c.name))) << c.name;
        make_old(host(c.name));
    }
    const std::vector<std::string> listed = list();
    for (const Case& c : cases) {
        EXPECT_EQ(fsys::exists(host(c.name)), c.kept) << c.name;
        EXPECT_EQ(std::count(listed.begin(), listed.end(), c.name), c.kept ? 1 : 0) << c.name;
    }
    for (const std::string& name : listed) {
        EXPECT_EQ(name.find(".jnl"), std::string::npos) << "a journal listed: " << name;
        EXPECT_EQ(name.find(".MP4."), std::string::npos) << "a journal listed: " << name;
    }
    EXPECT_TRUE(
        fsys::exists(root_.path(PLR_MOV_JournalPath(kVideoDir + std::string("TL_CUT.MP4")))));
    MP4W_Close(recording);
}

// The phone takes frame `held` but its acknowledgements are lost for seven
// transmissions, and meanwhile one send of the board fails; the phone's bytes
// must still be exactly the file's.
TEST_F(FileFaults, LostAcknowledgementsThenAResendDeliverEachFrameOnce) {
    struct Case {
        const char* what;
        mavlink_message_t request;
        size_t held;  // distinct frame whose acknowledgements are lost
        std::function<void(const Taken&)> check;
    };
    const std::string stream = whole_stream();
    auto download_ok = [this](const Taken& t) {
        expect_texts(t.texts, {"TRANSSTART:CLIP0001.MP4", "TRANSCOMPLETE:CLIP0001.MP4"}, "get");
        EXPECT_TRUE(t.data == video_) << t.data.size() << " bytes for " << video_.size();
    };
    const std::vector<Case> cases = {
        {"download block", resource(3, "CLIP0001.MP4", 1), 3, download_ok},
        {"download start text", resource(3, "CLIP0001.MP4", 1), 0, download_ok},
        {"download end text", resource(3, "CLIP0001.MP4", 1), 12, download_ok},
        {"playback piece", resource(3, "PLAY.MP4", 5), 2,
         [&](const Taken& t) {
             expect_texts(t.texts, {"TIME:0;SCALE:30000", "TRANSCOMPLETE:PLAY.MP4"}, "play");
             EXPECT_TRUE(t.stream == stream) << t.stream.size() << " bytes for " << stream.size();
         }},
        {"list batch", list_request(0), 0,
         [](const Taken& t) {
             EXPECT_EQ(t.entries, (std::vector<std::string>{"CLIP0001.MP4", "PLAY.MP4"}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        phone_.keep_repeats();
        phone_.request(c.request);
        const Taken taken =
            receive_all(phone_, 1500, [&](uint32_t, int transmission, size_t index) {
                if (index != c.held) return true;
                // The fifth transmission times out, the sixth is the board's
                // resend; the next send attempt then fails.
                if (transmission == 6) fail_sends_for(std::chrono::milliseconds(400));
                return transmission > 7;
            });
        c.check(taken);
    }
}

TEST_F(FileFaults, TwoPhonesAndStrangers) {
    TestPhone second;
    TestPhone stranger("127.0.0.2");
    struct Case {
        const char* what;
        std::function<void(uint32_t stamp)> at_block;  // while block 2 is unacknowledged
        bool drop_block;                               // the phone lost block 2
        std::vector<std::string> phone_texts;
        bool whole_file;
        std::function<void()> after;
    };
    const std::vector<Case> cases = {
        {"a second phone lists during a download",
         [&](uint32_t) { second.request(list_request(0)); },
         false,
         {"TRANSSTART:CLIP0001.MP4", "TRANSCANCELED:CLIP0001.MP4"},
         false,
         [&] {
             const Taken t = receive_all(second, 1000);
             EXPECT_TRUE(t.texts.empty()) << ::testing::PrintToString(t.texts);
             EXPECT_EQ(t.entries, (std::vector<std::string>{"CLIP0001.MP4", "PLAY.MP4"}));
         }},
        {"a stray text datagram from a stranger",
         [&](uint32_t) {
             stranger.send_to(FS_FILE_PORT, "hello board", 11);
             std::this_thread::sleep_for(std::chrono::milliseconds(100));
         },
         false,
         {"TRANSSTART:CLIP0001.MP4", "TRANSCOMPLETE:CLIP0001.MP4"},
         true,
         [&] { EXPECT_TRUE(receive_all(stranger, 300).texts.empty()); }},
        {"a stranger acknowledges a block the phone lost",
         [&](uint32_t stamp) {
             stranger.ack(stamp);
             std::this_thread::sleep_for(std::chrono::milliseconds(100));
         },
         true,
         {"TRANSSTART:CLIP0001.MP4", "TRANSCOMPLETE:CLIP0001.MP4"},
         true,
         [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        phone_.keep_repeats();
        phone_.request(resource(3, "CLIP0001.MP4", 1));
        bool done = false;
        Taken taken;
        std::set<uint32_t> seen;
        TestFrame f{};
        while (phone_.receive(&f, 1500, false)) {
            const bool fresh = seen.count(f.stamp) == 0;
            if (fresh && seen.size() == 2 && !done) {
                done = true;
                c.at_block(f.stamp);
                if (c.drop_block) continue;  // lost on the way: neither taken nor acknowledged
            }
            phone_.ack(f.stamp);
            if (seen.insert(f.stamp).second) taken.take(f.payload);
        }
        expect_texts(taken.texts, c.phone_texts, "phone");
        if (c.whole_file) {
            EXPECT_TRUE(taken.data == video_) << taken.data.size() << " bytes";
        }
        c.after();
    }
}

// Every request ends in a defined answer, also when its file cannot be served.
TEST_F(FileFaults, RequestsThatCannotBeServedGetADefinedAnswer) {
    const std::string gone = host("GONE.MP4");
    Mp4WFile* recording = nullptr;
    struct Case {
        const char* what;
        std::function<void()> setup;
        mavlink_message_t request;
        std::vector<std::string> answers;
    };
    auto catalogued_then_removed = [&] {
        fsys::copy_file(clip_, gone, fsys::copy_options::overwrite_existing);
        list();
        fsys::remove(gone);
    };
    auto recording_now = [&] {
        if (recording == nullptr) recording = MP4W_Create(host("REC.MP4").c_str());
        list();
    };
    const std::vector<Case> cases = {
        {"download of a catalogued file that is gone",
         catalogued_then_removed,
         resource(3, "GONE.MP4", 1),
         {"NOTEXIST"}},
        {"play of a catalogued file that is gone",
         catalogued_then_removed,
         resource(3, "GONE.MP4", 5),
         {"NOTEXIST"}},
        {"information on a catalogued file that is gone",
         catalogued_then_removed,
         resource(3, "GONE.MP4", 0),
         {"NOTEXIST"}},
        {"thumbnail of an unknown name",
         [] {},
         resource(2, "NOPE.MP4", 1),
         {"NOTEXIST", "THUMBERROR:NOPE.MP4"}},
        {"delete that fails",
         [&] {
             fsys::copy_file(clip_, gone, fsys::copy_options::overwrite_existing);
             list();
             fsys::remove(gone);
             fsys::create_directories(gone + "/inside");
         },
         resource(3, "GONE.MP4", 2),
         {"REMOVEFAILED:GONE.MP4"}},
        {"delete of a file being recorded",
         recording_now,
         resource(3, "REC.MP4", 2),
         {"REMOVEFAILED:REC.MP4;REASON:BUSY"}},
        {"download of a file being recorded",
         recording_now,
         resource(3, "REC.MP4", 1),
         {"TRANSCANCELED:REC.MP4;REASON:BUSY"}},
        {"play of a file being recorded",
         recording_now,
         resource(3, "REC.MP4", 5),
         {"TRANSCANCELED:REC.MP4;REASON:BUSY"}},
        {"play of a damaged file",
         [] {},
         resource(3, "CLIP0001.MP4", 5),
         {"TRANSCANCELED:CLIP0001.MP4;REASON:DAMAGED"}},
        {"download from past the end",
         [] {},
         resource(3, "CLIP0001.MP4", 1, "600001"),
         {"TRANSCANCELED:CLIP0001.MP4;REASON:OFFSET"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.setup();
        phone_.request(c.request);
        expect_texts(receive_all(phone_, 1500).texts, c.answers, c.what);
        std::error_code ec;
        fsys::remove_all(gone, ec);
    }
    MP4W_Close(recording);
    EXPECT_TRUE(fsys::exists(host("REC.MP4"))) << "the recording was not deleted";
}

// The card is pulled during a download: the reads fail as on the real card,
// and the phone hears that the download stopped.
TEST_F(FileFaults, CardPulledDuringADownload) {
    root_.write("/dev/mmcblk2p1", "card");
    // The card the descriptors are opened on from now on.
    phone_.request(resource(3, "CLIP0001.MP4", 1));
    const Taken taken = receive_all(phone_, 1500, nullptr, [&](size_t index) {
        if (index != 2) return;
        root_.write("/dev/mmcblk2p1.new", "another card");
        fsys::rename(root_.path("/dev/mmcblk2p1.new"), root_.path("/dev/mmcblk2p1"));
    });
    expect_texts(taken.texts,
                 {"TRANSSTART:CLIP0001.MP4", "TRANSCANCELED:CLIP0001.MP4;REASON:READERROR"},
                 "pulled");
    EXPECT_LT(taken.data.size(), video_.size());
    EXPECT_TRUE(taken.data == video_.substr(0, taken.data.size())) << "what came is the file's";
}

// Files recorded after the last list are found: a lookup that misses rescans.
TEST_F(FileFaults, NamesRecordedAfterTheLastListAreServed) {
    struct Case {
        uint8_t transfer;
        std::string first_answer;
    };
    int n = 0;
    for (const Case& c : {Case{0, "FSIZE:"}, Case{1, "TRANSSTART:NEW"}, Case{5, "TIME:0;"}}) {
        const std::string name = "NEW" + std::to_string(n++) + ".MP4";
        fsys::copy_file(clip_, host(name));
        phone_.request(resource(3, name, c.transfer));
        const Taken t = receive_all(phone_, 1500);
        ASSERT_FALSE(t.texts.empty()) << name;
        EXPECT_TRUE(starts_with(t.texts[0], c.first_answer)) << name << ": " << t.texts[0];
    }
}

// A list whose phone went away before acknowledging it must not become the
// answer of the next phone, nor hold the board for ever.
TEST_F(FileFaults, AnUnacknowledgedListDoesNotBecomeTheNextPhonesAnswer) {
    std::vector<std::string> expected = {"CLIP0001.MP4", "PLAY.MP4"};
    {
        TestPhone gone;  // asks, then is never heard again
        gone.request(list_request(0));
        TestFrame f{};
        ASSERT_TRUE(gone.receive(&f, 2000, false));
    }
    for (int i = 0; i < 3; ++i) {
        const std::string name = "A" + std::to_string(i) + ".MP4";
        fsys::copy_file(clip_, host(name));
        expected.push_back(name);
        TestPhone next;
        next.request(list_request(0));
        const Taken t = receive_all(next, 700, nullptr, nullptr, 8000);
        std::vector<std::string> got = t.entries;
        std::sort(got.begin(), got.end());
        std::vector<std::string> want = expected;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << "list " << i;
    }
    // A new request of the same phone interrupts its own unanswered list at
    // once, well before the 5 s after which an unacknowledged answer is dropped.
    phone_.request(list_request(0));
    TestFrame listed{};
    ASSERT_TRUE(phone_.receive(&listed, 2000, false));
    const auto asked = std::chrono::steady_clock::now();
    phone_.request(resource(3, "CLIP0001.MP4", 0));
    std::string answer;
    TestFrame f{};
    while (answer.empty() && phone_.receive(&f, 6000, false)) {
        if (f.stamp == listed.stamp) continue;  // the old list stays unacknowledged
        phone_.ack(f.stamp);
        answer = TestPhone::answer(f.payload);
    }
    EXPECT_TRUE(starts_with(answer, "FSIZE:600000;")) << answer;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4));
}

}  // namespace
