// The MP4 muxer threads with real H.264 (libx264 through libavcodec) fed
// through a recorder context's queue into files on a temporary board root,
// checked with ffprobe and by walking the files' boxes.
#include "mov/mov_muxer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "../../support/board_root_fixture.h"
#include "board/board.h"
#include "core/trace_log.h"
#include "mov/frame_queue.h"
#include "mov/mm_pool.h"
#include "mp4/mp4_repair.h"
#include "mp4/mp4_writer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr uint32_t kPoolBlocks = 160;
constexpr const char* kVideoDir = "/tmp/SD0/PLRMEDIA/VIDEO";

// ---- test stream ----

// Access units as the camera's encoder delivers them: Annex B with four-byte
// start codes, SPS and PPS in front of every IDR slice, no SEI.
std::vector<Bytes> encode_stream(int frames, int gop) {
    std::vector<Bytes> out;
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return out;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = kWidth;
    c->height = kHeight;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 30};
    c->framerate = AVRational{30, 1};
    c->gop_size = gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", "veryfast", 0);
    av_dict_set(&opts, "profile", "high", 0);
    const std::string params =
        "repeat-headers=1:aud=0:slices=1:scenecut=0:bframes=0:keyint=" + std::to_string(gop) +
        ":min-keyint=" + std::to_string(gop);
    av_dict_set(&opts, "x264-params", params.c_str(), 0);
    const int opened = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    AVFrame* pic = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    pic->format = AV_PIX_FMT_YUV420P;
    pic->width = kWidth;
    pic->height = kHeight;
    if (opened < 0 || av_frame_get_buffer(pic, 0) < 0) frames = 0;

    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            Bytes au;
            for (const Mp4WNal& nal : MP4W_SplitNals({pkt->data, static_cast<size_t>(pkt->size)})) {
                if (nal.type == 6 || nal.size == 0) continue;
                au.insert(au.end(), {0, 0, 0, 1});
                au.insert(au.end(), nal.data, nal.data + nal.size);
            }
            out.push_back(std::move(au));
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(pic);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                pic->data[0][y * pic->linesize[0] + x] =
                    static_cast<uint8_t>((x * 3 + y * 2 + i * 5) ^ ((x / 16 + y / 16 + i) * 37));
            }
        }
        for (int y = 0; y < kHeight / 2; ++y) {
            memset(pic->data[1] + y * pic->linesize[1], 128 + (i % 32), kWidth / 2);
            memset(pic->data[2] + y * pic->linesize[2], 96 + y % 64, kWidth / 2);
        }
        pic->pts = i;
        avcodec_send_frame(c, pic);
        drain();
    }
    avcodec_send_frame(c, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&pic);
    avcodec_free_context(&c);
    return out;
}

const std::vector<Bytes>& stream_gop15() {
    static const std::vector<Bytes> s = encode_stream(60, 15);
    return s;
}

const std::vector<Bytes>& stream_all_idr() {
    static const std::vector<Bytes> s = encode_stream(90, 1);
    return s;
}

// The slice NAL units of a frame (what the file keeps of it).
std::vector<Mp4WNal> slices(const Bytes& au) {
    std::vector<Mp4WNal> out;
    for (const Mp4WNal& nal : MP4W_SplitNals(au)) {
        if (nal.type == 1 || nal.type == 5) out.push_back(nal);
    }
    return out;
}

// Bytes of all NAL units of frames [0, n), as the muxer counts them.
uint64_t nal_bytes(const std::vector<Bytes>& s, size_t n) {
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        for (const Mp4WNal& nal : MP4W_SplitNals(s[i])) total += nal.size;
    }
    return total;
}

// ---- reading the files back ----

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct Probe {
    std::map<std::string, std::string> stream;  // key=value of the video stream
    std::vector<int64_t> durations;
    std::vector<int64_t> sizes;
    std::vector<bool> keys;
    std::string decoded;  // frames decoded, followed by any decoder complaints
};

Probe probe(const std::string& file) {
    Probe p;
    std::istringstream streamInfo(
        run("ffprobe -v error -select_streams v:0 -show_entries "
            "stream=codec_name,profile,level,width,height,time_base,nb_frames -of default=nw=1 '" +
            file + "'"));
    for (std::string line; std::getline(streamInfo, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) p.stream[line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::istringstream packets(
        run("ffprobe -v error -select_streams v:0 -show_entries "
            "packet=duration,size,flags -of csv=p=0 '" +
            file + "'"));
    for (std::string line; std::getline(packets, line);) {
        long long duration = 0;
        long long size = 0;
        char flags[8] = {};
        if (sscanf(line.c_str(), "%lld,%lld,%7s", &duration, &size, flags) == 3) {
            p.durations.push_back(duration);
            p.sizes.push_back(size);
            p.keys.push_back(flags[0] == 'K');
        }
    }
    p.decoded =
        run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames -of default=nw=1:nk=1 '" +
            file + "' 2>&1");
    return p;
}

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The boxes of an MP4 file by path ("moov/trak/mdia/mdhd"), payload offsets.
struct Boxes {
    Bytes file;
    std::map<std::string, std::pair<size_t, size_t>> found;  // path -> payload offset, size
    std::vector<std::string> top;

    void walk(size_t begin, size_t end, const std::string& parent) {
        static const char* containers[] = {"moov", "trak", "mdia", "minf", "stbl"};
        size_t pos = begin;
        while (pos + 8 <= end) {
            uint64_t size = be32(&file[pos]);
            size_t header = 8;
            if (size == 1 && pos + 16 <= end) {
                size = static_cast<uint64_t>(be32(&file[pos + 8])) << 32 | be32(&file[pos + 12]);
                header = 16;
            }
            if (size < header || pos + size > end) return;
            const std::string type(reinterpret_cast<const char*>(&file[pos + 4]), 4);
            const std::string path = parent.empty() ? type : parent + "/" + type;
            if (parent.empty()) top.push_back(type);
            found[path] = {pos + header, static_cast<size_t>(size) - header};
            for (const char* c : containers) {
                if (type == c) walk(pos + header, pos + static_cast<size_t>(size), path);
            }
            pos += static_cast<size_t>(size);
        }
    }
    explicit Boxes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
        walk(0, file.size(), "");
    }
    bool has(const std::string& path) const { return found.count(path) != 0; }
    // Time scale of a version-0 mvhd or mdhd.
    uint32_t time_scale(const std::string& path) const {
        auto it = found.find(path);
        return it == found.end() ? 0 : be32(&file[it->second.first + 12]);
    }
    // The avcC record inside the sample description.
    Bytes avcc() const {
        auto it = found.find("moov/trak/mdia/minf/stbl/stsd");
        if (it == found.end()) return {};
        const uint8_t* b = &file[it->second.first];
        const uint8_t* e = b + it->second.second;
        for (const uint8_t* p = b + 4; p + 8 <= e; ++p) {
            if (memcmp(p, "avcC", 4) == 0) {
                const uint32_t size = be32(p - 4);
                if (size >= 8 && p - 4 + size <= e) return Bytes(p + 4, p - 4 + size);
            }
        }
        return {};
    }
};

// ---- the fixture ----

std::mutex g_statesLock;
std::vector<uint32_t> g_states;

void record_state(uint32_t state) {
    std::lock_guard lock(g_statesLock);
    g_states.push_back(state);
}

std::vector<uint32_t> states() {
    std::lock_guard lock(g_statesLock);
    return g_states;
}

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class MovMuxerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(stream_gop15().empty()) << "libx264 not available";
        MM_POOL_Reset();
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 1;
        cfg.classes[0] = {65536, kPoolBlocks};
        ASSERT_EQ(MM_POOL_Init(&cfg), 0);
        plr_trace_log_reset();
        TRACE_LOG_LEVEL(PLR_LOG_I);
        TRACE_LOG_ENABLE();
        {
            std::lock_guard lock(g_statesLock);
            g_states.clear();
        }
        ASSERT_EQ(PLR_MOV_ContexInit(&ctx), 0);
        ctx.tlapse.active = 0;
        ctx.tlapse.frames = 0;
        root = std::make_unique<TempBoardRoot>(std::initializer_list<const char*>{});
    }
    void TearDown() override {
        PLR_MOV_RepairStop();
        PLR_MOV_RecJoin(&ctx);
        PLR_MOV_ContexDeinit(&ctx);
        PLR_MOV_SetSplitBytes(MOV_SPLIT_BYTES_DEFAULT);
        PLR_MOV_SetSdReserveBytes(MOV_SD_RESERVE_BYTES_DEFAULT);
        root.reset();
        plr_trace_log_reset();
        MM_POOL_Reset();
    }

    void make_video_dir() { std::filesystem::create_directories(root->path(kVideoDir)); }
    std::string board_file(const std::string& name) const {
        return std::string(kVideoDir) + "/" + name;
    }
    std::string host_file(const std::string& name) const { return root->path(board_file(name)); }

    void start(const std::string& boardPath, uint32_t fps, uint32_t sdFreeMb = 32768) {
        snprintf(ctx.path, sizeof ctx.path, "%s", boardPath.c_str());
        ctx.fps = fps;
        ctx.width = kWidth;
        ctx.height = kHeight;
        ctx.profile = 100;
        ctx.sdFreeMb = sdFreeMb;
        ctx.stateCb = record_state;
        ASSERT_EQ(PLR_MOV_RecStart(&ctx), 0);
    }
    void push(const std::vector<Bytes>& s, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            ASSERT_EQ(
                PLR_MOV_FrameQueuePush(&ctx.queue, s[i].data(), static_cast<int32_t>(s[i].size())),
                0)
                << i;
        }
    }
    static uint32_t free_blocks() {
        MM_CLASS_S info{};
        MM_POOL_GetClassInfo(0, &info);
        return info.freeCnt;
    }
    // Every pushed frame has been handled and returned to the pool.
    void wait_drained() {
        ASSERT_TRUE(wait_until([] { return free_blocks() == kPoolBlocks; }));
    }
    // The thread reported its last state.
    void wait_finished() {
        ASSERT_TRUE(wait_until([] {
            const std::vector<uint32_t> s = states();
            return !s.empty() && s.back() == MOV_ST_IDLE;
        }));
        EXPECT_EQ(PLR_MOV_RecJoin(&ctx), 0);
    }
    void stop_and_finish() {
        EXPECT_EQ(PLR_MOV_RecStop(&ctx), 0);
        wait_finished();
    }

    // The file holds exactly the slices of `frames`, one per sample, at the
    // given rate, starting with a key frame, and decodes without complaint.
    void expect_file(const std::string& host, const std::vector<Bytes>& s,
                     const std::vector<size_t>& frames, uint32_t fps) {
        SCOPED_TRACE(host);
        ASSERT_TRUE(std::filesystem::exists(host));
        std::vector<int64_t> expectedSizes;
        for (size_t i : frames) {
            for (const Mp4WNal& nal : slices(s[i])) expectedSizes.push_back(nal.size + 4);
        }
        const Probe p = probe(host);
        EXPECT_EQ(p.stream.at("codec_name"), "h264");
        EXPECT_EQ(p.stream.at("width"), std::to_string(kWidth));
        EXPECT_EQ(p.stream.at("height"), std::to_string(kHeight));
        EXPECT_EQ(p.stream.at("time_base"), "1/" + std::to_string(fps * 1000));
        EXPECT_EQ(p.stream.at("profile"), "High");
        EXPECT_EQ(p.sizes, expectedSizes);
        ASSERT_FALSE(p.keys.empty());
        EXPECT_TRUE(p.keys.front());
        EXPECT_EQ(p.durations, std::vector<int64_t>(expectedSizes.size(), 1001));
        EXPECT_EQ(p.decoded, std::to_string(expectedSizes.size()) + "\n");

        const Boxes boxes(host);
        ASSERT_GE(boxes.top.size(), 2u);
        EXPECT_EQ(boxes.top.front(), "ftyp");
        EXPECT_EQ(boxes.time_scale("moov/mvhd"), fps * 1000);
        EXPECT_EQ(boxes.time_scale("moov/trak/mdia/mdhd"), fps * 1000);
        EXPECT_TRUE(boxes.has("moov/trak/mdia/minf/stbl/stco"));
        EXPECT_FALSE(boxes.has("moov/trak/mdia/minf/stbl/co64"));
        // avcC: the stream's own profile, constraint and level bytes, 4-byte lengths.
        const Bytes avcc = boxes.avcc();
        ASSERT_GE(avcc.size(), 7u);
        const Mp4WNal sps = MP4W_SplitNals(s[0])[0];
        ASSERT_EQ(sps.type, 7);
        EXPECT_EQ(avcc[0], 1);
        EXPECT_EQ(avcc[1], sps.data[1]);
        EXPECT_EQ(avcc[2], sps.data[2]);
        EXPECT_EQ(avcc[3], sps.data[3]);
        EXPECT_EQ(avcc[4] & 3, 3);
        EXPECT_EQ(p.stream.at("level"), std::to_string(sps.data[3]));
    }

    MovCtx ctx;
    std::unique_ptr<TempBoardRoot> root;
};

std::vector<size_t> range(size_t from, size_t to) {
    std::vector<size_t> v;
    for (size_t i = from; i < to; ++i) v.push_back(i);
    return v;
}

const std::vector<uint32_t> kNormalStates = {MOV_ST_STARTING, MOV_ST_RUNNING, MOV_ST_RECORDING,
                                             MOV_ST_CLOSED, MOV_ST_IDLE};

TEST_F(MovMuxerTest, RecordsFramesFromTheFirstKeyFrame) {
    struct Case {
        const char* name;
        uint32_t fps;
        size_t first;      // first frame pushed
        size_t firstKept;  // first frame in the file: the next IDR
    };
    const Case cases[] = {
        {"A_0001_AA.MP4", 30, 0, 0},
        {"B_0001_AA.MP4", 25, 5, 15},  // frames before the first SPS/IDR are dropped
    };
    make_video_dir();
    const std::vector<Bytes>& s = stream_gop15();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(g_statesLock);
            g_states.clear();
        }
        start(board_file(c.name), c.fps);
        push(s, c.first, s.size());
        wait_drained();
        stop_and_finish();
        EXPECT_EQ(states(), kNormalStates);
        expect_file(host_file(c.name), s, range(c.firstKept, s.size()), c.fps);
    }
}

TEST_F(MovMuxerTest, SplitsAtTheSizeLimitAndTheNextFileContinues) {
    make_video_dir();
    const std::vector<Bytes>& s = stream_gop15();
    // The limit is passed by the 20th frame: the first file goes on up to the
    // next key frame (30), which stays queued and begins the second file, so
    // that no picture is lost between the two.
    PLR_MOV_SetSplitBytes(nal_bytes(s, 20) - 1);
    testing::internal::CaptureStdout();
    start(board_file("S_0001_AA.MP4"), 30);
    push(s, 0, s.size());
    wait_finished();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Mov muxer " + board_file("S_0001_AA.MP4") + " too large,split!"),
              std::string::npos)
        << log;
    EXPECT_EQ(states(), (std::vector<uint32_t>{MOV_ST_STARTING, MOV_ST_RUNNING, MOV_ST_RECORDING,
                                               MOV_ST_SPLIT, MOV_ST_CLOSED, MOV_ST_IDLE}));
    EXPECT_EQ(ctx.queue.count.load(), static_cast<int32_t>(s.size() - 30));

    PLR_MOV_SetSplitBytes(MOV_SPLIT_BYTES_DEFAULT);
    start(board_file("S_0002_AA.MP4"), 30);
    wait_drained();
    stop_and_finish();
    expect_file(host_file("S_0001_AA.MP4"), s, range(0, 30), 30);
    expect_file(host_file("S_0002_AA.MP4"), s, range(30, s.size()), 30);
}

TEST_F(MovMuxerTest, EndsAndKeepsTheFileWhenTheCardRunsLow) {
    const std::vector<Bytes>& s = stream_gop15();
    struct Case {
        const char* name;
        bool smallCard;  // a mounted 1 MiB card whose real free space runs out
        uint64_t reserve;
        size_t kept;  // frames in the file
    };
    const Case cases[] = {
        // Counted down from the space measured at the start: 10 frames fit.
        {"countdown", false, 1000 * 1048576ULL - nal_bytes(s, 10), 10},
        // Measured on the card: the first frame leaves less than the reserve.
        {"measured", true, 1048576 - 4096, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(g_statesLock);
            g_states.clear();
        }
        PLR_MOV_FrameQueueClear(&ctx.queue);
        root = std::make_unique<TempBoardRoot>(std::initializer_list<const char*>{});
        if (c.smallCard) {
            root->write("/dev/mmcblk2p1", "");
            root->write("/sim/card.mib", "1");
            std::filesystem::create_directories(root->path("/tmp"));
            ASSERT_EQ(board_sd_mount(), 0);
        }
        make_video_dir();
        PLR_MOV_SetSdReserveBytes(c.reserve);
        testing::internal::CaptureStdout();
        start(board_file("F_0001_AA.MP4"), 30, 1000);
        push(s, 0, 40);
        wait_finished();
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("No enough SD Spaces.. "), std::string::npos) << log;
        EXPECT_EQ(states(),
                  (std::vector<uint32_t>{MOV_ST_STARTING, MOV_ST_RUNNING, MOV_ST_RECORDING,
                                         MOV_ST_SD_FULL, MOV_ST_CLOSED, MOV_ST_IDLE}));
        expect_file(host_file("F_0001_AA.MP4"), s, range(0, c.kept), 30);
    }
}

TEST_F(MovMuxerTest, StopBeforeTheFirstKeyFrameLeavesNoFile) {
    make_video_dir();
    const std::vector<Bytes>& s = stream_gop15();
    start(board_file("N_0001_AA.MP4"), 30);
    EXPECT_EQ(PLR_MOV_RecStart(&ctx), -1);  // its muxer is still recording
    push(s, 1, 15);                         // predicted frames only
    wait_drained();
    stop_and_finish();
    // No failure reported, and no "recording" without a key frame in the file.
    EXPECT_EQ(states(),
              (std::vector<uint32_t>{MOV_ST_STARTING, MOV_ST_RUNNING, MOV_ST_CLOSED, MOV_ST_IDLE}));
    EXPECT_FALSE(std::filesystem::exists(host_file("N_0001_AA.MP4")));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root->path(kVideoDir)))
        EXPECT_FALSE(entry.is_regular_file()) << entry.path();

    // A stop on a finished context reports "closed" again.
    EXPECT_EQ(PLR_MOV_RecStop(&ctx), 0);
    EXPECT_EQ(states().back(), MOV_ST_CLOSED);
}

TEST_F(MovMuxerTest, FileThatCannotBeCreatedFailsAndLeavesNothing) {
    make_video_dir();
    std::filesystem::create_directories(host_file("D_0001_AA.MP4"));
    const std::string missing = std::string(kVideoDir) + "/NODIR/M_0001_AA.MP4";
    for (const std::string& path : {missing, board_file("D_0001_AA.MP4")}) {
        SCOPED_TRACE(path);
        {
            std::lock_guard lock(g_statesLock);
            g_states.clear();
        }
        testing::internal::CaptureStdout();
        start(path, 30);
        push(stream_gop15(), 0, 5);
        wait_finished();
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("Open file " + path + " failed."), std::string::npos) << log;
        EXPECT_EQ(states(), (std::vector<uint32_t>{MOV_ST_STARTING, MOV_ST_RUNNING, MOV_ST_FAILED,
                                                   MOV_ST_CLOSED, MOV_ST_IDLE}));
        PLR_MOV_FrameQueueClear(&ctx.queue);
    }
    EXPECT_FALSE(std::filesystem::exists(root->path(std::string(kVideoDir) + "/NODIR")));
    // The directory in the file's place is not the muxer's to remove.
    EXPECT_TRUE(std::filesystem::is_directory(host_file("D_0001_AA.MP4")));
}

TEST_F(MovMuxerTest, TimeLapseKeepsEveryIntervalthKeyFrameUntilItsDuration) {
    make_video_dir();
    const std::vector<Bytes>& s = stream_all_idr();
    ASSERT_EQ(s.size(), 90u);
    ctx.tlapse.active = 1;
    ctx.tlapse.interval = 3;
    ctx.tlapse.duration = 1;  // one second at 25 frames/s: 25 frames
    ctx.tlapse.paused = 0;
    start(board_file("T_0001_TL.MP4"), 25);
    push(s, 0, s.size());
    wait_finished();
    EXPECT_EQ(states(), kNormalStates);
    EXPECT_EQ(ctx.tlapse.frames.load(), 25u);
    std::vector<size_t> kept;  // the 3rd, 6th, ... key frames
    for (size_t i = 2; kept.size() < 25; i += 3) kept.push_back(i);
    expect_file(host_file("T_0001_TL.MP4"), s, kept, 25);
}

// ---- the writer's byte helpers ----

TEST_F(MovMuxerTest, FramesQueuedAtTheStopAreWrittenBeforeTheFileCloses) {
    make_video_dir();
    const std::vector<Bytes>& s = stream_gop15();
    start(board_file("Q_0001_AA.MP4"), 30);
    push(s, 0, s.size());
    stop_and_finish();  // at once: most frames are still queued
    EXPECT_EQ(states(), kNormalStates);
    expect_file(host_file("Q_0001_AA.MP4"), s, range(0, s.size()), 30);
    EXPECT_FALSE(
        std::filesystem::exists(root->path(PLR_MOV_JournalPath(board_file("Q_0001_AA.MP4")))));
}

// ---- rebuilding files cut off before their movie header ----

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The protection only adds the journal and the flushes: the closed file is the same.
TEST_F(MovMuxerTest, WithoutPowerCutProtectionTheFileIsTheSameAndHasNoJournal) {
    make_video_dir();
    const std::vector<Bytes>& s = stream_gop15();
    std::string closed[2];
    for (const uint32_t syncMs : {MOV_SYNC_INTERVAL_MS_DEFAULT, 0u}) {
        SCOPED_TRACE(syncMs);
        PLR_MOV_SetSyncIntervalMs(syncMs);
        const std::string name = syncMs == 0 ? "N_0001_AA.MP4" : "P_0001_AA.MP4";
        start(board_file(name), 30);
        push(s, 0, s.size());
        wait_drained();
        EXPECT_EQ(std::filesystem::exists(root->path(PLR_MOV_JournalPath(board_file(name)))),
                  syncMs != 0);
        stop_and_finish();
        PLR_MOV_SetSyncIntervalMs(MOV_SYNC_INTERVAL_MS_DEFAULT);
        expect_file(host_file(name), s, range(0, s.size()), 30);
        closed[syncMs == 0 ? 1 : 0] = read_bytes(host_file(name));
    }
    EXPECT_EQ(closed[0], closed[1]);
}

// A file as the muxer writes it, caught at three moments: after `cutAfter`
// samples (the file as a power cut would leave it), and closed cleanly after
// `cutAfter` and after all samples.
struct CutFile {
    std::string atCut;      // file bytes after cutAfter samples, no movie header
    std::string journal;    // the journal at that moment
    std::string closedCut;  // a clean file of the first cutAfter samples
    std::string closedAll;  // a clean file of every sample
    size_t samplesAtCut = 0;
};

std::vector<Bytes> sample_list(const std::vector<Bytes>& s) {
    std::vector<Bytes> out;
    for (const Bytes& au : s) {
        for (const Mp4WNal& nal : slices(au)) {
            Bytes sample = {static_cast<uint8_t>(nal.size >> 24),
                            static_cast<uint8_t>(nal.size >> 16),
                            static_cast<uint8_t>(nal.size >> 8), static_cast<uint8_t>(nal.size)};
            sample.insert(sample.end(), nal.data, nal.data + nal.size);
            out.push_back(std::move(sample));
        }
    }
    return out;
}

std::string write_file(const std::string& dir, const std::vector<Bytes>& s, size_t samples,
                       size_t cutAfter, std::string* atCut, std::string* journal) {
    const std::string path = dir + "/w.MP4";
    const std::string journalPath = dir + "/w.jnl";
    std::filesystem::create_directories(dir);
    std::filesystem::remove(path);
    Mp4WFile* file = MP4W_Create(path.c_str());
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(MP4W_SetJournal(file, journalPath.c_str()), 0);
    EXPECT_EQ(MP4W_SetTimeScale(file, 30000), 0);
    const Mp4WNal sps = MP4W_SplitNals(s[0])[0];
    const Mp4WNal pps = MP4W_SplitNals(s[0])[1];
    const uint32_t track = MP4W_AddH264VideoTrack(file, 30000, 1001, kWidth, kHeight, sps.data[1],
                                                  sps.data[2], sps.data[3], 3);
    MP4W_SetVideoProfileLevel(file, 100);
    MP4W_AddH264SequenceParameterSet(file, track, sps.data, static_cast<uint16_t>(sps.size));
    MP4W_AddH264PictureParameterSet(file, track, pps.data, static_cast<uint16_t>(pps.size));
    const std::vector<Bytes> list = sample_list(s);
    for (size_t i = 0; i < samples; ++i) {
        if (i == cutAfter && atCut != nullptr) {
            *atCut = read_bytes(path);
            *journal = read_bytes(journalPath);
        }
        EXPECT_EQ(MP4W_WriteSample(file, track, list[i].data(),
                                   static_cast<uint32_t>(list[i].size()), (list[i][4] & 0x1f) == 5),
                  0);
    }
    EXPECT_EQ(MP4W_Close(file), 0);
    EXPECT_FALSE(std::filesystem::exists(journalPath));  // a clean close removes it
    return read_bytes(path);
}

CutFile cut_file(const std::string& dir, size_t cutAfter) {
    const std::vector<Bytes>& s = stream_gop15();
    const size_t all = sample_list(s).size();
    CutFile c;
    c.samplesAtCut = cutAfter;
    c.closedAll = write_file(dir, s, all, cutAfter, &c.atCut, &c.journal);
    c.closedCut = write_file(dir, s, cutAfter, all, nullptr, nullptr);
    return c;
}

TEST_F(MovMuxerTest, FilesCutOffAreRebuiltAtMountAsACleanCloseWouldHaveWritten) {
    const std::string work = root->path("/work");
    const CutFile c = cut_file(work, 40);
    ASSERT_GT(c.atCut.size(), 1000u);
    const size_t allSamples = sample_list(stream_gop15()).size();
    const Boxes full(work + "/w.MP4");  // the last clean file: every sample
    const size_t moovAt = c.closedAll.size() - full.found.at("moov").second - 8;

    struct Case {
        const char* name;
        std::string bytes;     // what the card holds
        bool journal;          // its journal is there
        std::string expected;  // the file after the repair; "" = removed
        bool repaired;         // "MP4 repaired" logged
    };
    const std::string cutMidSample = c.atCut + std::string(c.closedAll.substr(c.atCut.size(), 700));
    // A close that got as far as the 64-bit size over the "free" box and the
    // media data's header (the size a garbage one, found by fuzzing).
    std::string with64BitSize = c.atCut;
    const size_t freeBox = with64BitSize.find("free") - 4;
    ASSERT_LT(freeBox, 64u);
    with64BitSize.replace(freeBox, 16, std::string("\0\0\0\1mdat\0\0\x0e\xc7mdat", 16));
    const Case cases[] = {
        {"A_0001_AA.MP4", c.atCut, true, c.closedCut, true},
        {"B_0001_AA.MP4", cutMidSample, true, c.closedCut, true},
        // Cut while the movie header was being written: the samples are all there.
        {"C_0001_AA.MP4", c.closedAll.substr(0, moovAt + 100), true, c.closedAll, true},
        // Cut before the first sample: nothing to keep.
        {"D_0001_AA.MP4", c.atCut.substr(0, 40), true, "", false},
        {"E_0001_AA.MP4", "", true, "", false},
        // Closed cleanly: untouched, the stale journal goes.
        {"F_0001_AA.MP4", c.closedAll, true, c.closedAll, false},
        // No journal: not a file this recorder cut off; left alone.
        {"G_0001_AA.MP4", c.atCut, false, c.atCut, false},
        {"H_0001_AA.MP4", with64BitSize, true, c.closedCut, true},
    };
    for (const Case& k : cases) {
        write_bytes(host_file(k.name), k.bytes);
        if (k.journal) write_bytes(root->path(PLR_MOV_JournalPath(board_file(k.name))), c.journal);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(PLR_MOV_RepairScan(kVideoDir), 7);
    PLR_MOV_RepairWait();
    const std::string log = testing::internal::GetCapturedStdout();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string host = host_file(k.name);
        EXPECT_FALSE(std::filesystem::exists(root->path(PLR_MOV_JournalPath(board_file(k.name)))));
        if (k.expected.empty()) {
            EXPECT_FALSE(std::filesystem::exists(host));
            continue;
        }
        // Byte for byte what a clean close writes: the playback reader and the
        // phone see no difference.
        EXPECT_TRUE(read_bytes(host) == k.expected);
        EXPECT_EQ(
            log.find(std::string("MP4 repaired: ") + kVideoDir + "/" + k.name) != std::string::npos,
            k.repaired)
            << log;
    }
    const Probe p = probe(host_file("A_0001_AA.MP4"));
    EXPECT_EQ(p.sizes.size(), c.samplesAtCut);
    EXPECT_EQ(p.decoded, std::to_string(c.samplesAtCut) + "\n");
    EXPECT_EQ(probe(host_file("C_0001_AA.MP4")).sizes.size(), allSamples);
}

// Boxes before the media data that a recording in progress never has: one
// players refuse (the writer's "free" box damaged into "fsee") or a movie
// header (damaged into "moov"), which players read instead of the rebuilt one.
// Rebuilding would report a repair of a file that still does not play, so the
// file and its journal are left as they are (both found by fuzzing the repair
// against the playback reader).
TEST_F(MovMuxerTest, RecordingsWithABoxPlayersRefuseAreLeftAlone) {
    const CutFile c = cut_file(root->path("/work"), 40);
    for (const char* damaged : {"fsee", "moov"}) {
        SCOPED_TRACE(damaged);
        std::string bytes = c.atCut;
        const size_t box = bytes.find("free");
        ASSERT_LT(box, 64u);
        bytes.replace(box, 4, damaged);
        const std::string host = root->path("/work/x.MP4");
        const std::string journal = root->path("/work/x.jnl");
        write_bytes(host, bytes);
        write_bytes(journal, c.journal);
        uint32_t samples = 7;
        EXPECT_EQ(MP4R_RepairFile(host.c_str(), journal.c_str(), &samples), MP4R_FAILED);
        EXPECT_EQ(samples, 0u);
        EXPECT_TRUE(read_bytes(host) == bytes);
        EXPECT_TRUE(std::filesystem::exists(journal));
    }
}

TEST(Mp4Repair, JournalRoundTripAndDamage) {
    Mp4WTrackInfo info;
    info.movieTimeScale = 30000;
    info.trackTimeScale = 30000;
    info.sampleDuration = 1001;
    info.width = 3840;
    info.height = 2160;
    info.indication[0] = 100;
    info.indication[2] = 51;
    info.profileLevel = 100;
    info.sps = {0x67, 100, 0, 51, 0xac};
    info.pps = {{0x68, 0xee, 0x3c, 0x80}};
    const Bytes bytes = MP4W_EncodeJournal(info);
    Mp4WTrackInfo back;
    ASSERT_EQ(MP4W_DecodeJournal(bytes, &back), 0);
    EXPECT_EQ(MP4W_EncodeJournal(back), bytes);
    EXPECT_EQ(back.width, 3840);
    EXPECT_EQ(back.pps, info.pps);
    // Cut short, too long, or another file: refused.
    for (size_t n : {size_t{0}, size_t{4}, bytes.size() - 1}) {
        EXPECT_EQ(MP4W_DecodeJournal({bytes.data(), n}, &back), -1) << n;
    }
    Bytes longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(MP4W_DecodeJournal(longer, &back), -1);
    Bytes other = bytes;
    other[0] = 'X';
    EXPECT_EQ(MP4W_DecodeJournal(other, &back), -1);
}

TEST(Mp4Repair, SampleWalkStopsAtTheFirstImplausibleUnit) {
    const Bytes good = {0, 0, 0, 2, 0x65, 0xaa, 0, 0, 0, 1, 0x41};  // IDR, then P
    struct Case {
        const char* name;
        Bytes tail;
        size_t samples;
    };
    const Case cases[] = {
        {"clean end", {}, 2},
        {"zeros after the data", {0, 0, 0, 0, 0, 0}, 2},
        {"length past the end", {0, 0, 1, 0, 0x41, 1}, 2},
        {"forbidden bit", {0, 0, 0, 1, 0xc1}, 2},
        {"parameter set", {0, 0, 0, 1, 0x67}, 2},
        {"another slice", {0, 0, 0, 1, 0x01}, 3},
    };
    for (const Case& c : cases) {
        // Byte by byte: GCC 12's -Warray-bounds misreads the inlined range
        // insert into an 11-byte vector on 32-bit ARM.
        Bytes data = good;
        for (const uint8_t b : c.tail) data.push_back(b);
        const Mp4RRead read = [&data](uint64_t off, uint8_t* out, size_t n) {
            if (off + n > data.size()) return false;
            memcpy(out, data.data() + off, n);
            return true;
        };
        const std::vector<Mp4RSample> found = MP4R_ScanSamples(read, 0, data.size());
        EXPECT_EQ(found.size(), c.samples) << c.name;
        ASSERT_GE(found.size(), 2u);
        EXPECT_TRUE(found[0].sync);
        EXPECT_FALSE(found[1].sync);
        EXPECT_EQ(found[1].offset, 6u);
    }
}

// A recording of more than 4 GiB (a sparse file: ftyp, an mdat with a 64-bit
// size, the movie header behind it) is opened, sized and read past 4 GiB: it
// is complete, so the repair only removes its stale journal. With 32-bit file
// offsets the open fails and the recording would be left unchecked.
TEST(Mp4Repair, RecordingPast4GiBIsSeenComplete) {
    TempBoardRoot root({"/work"});
    const std::string path = root.path("/work/big.MP4");
    const std::string journal = root.path("/work/big.jnl");
    constexpr uint64_t kMdat = (4ULL << 30) + 16;  // the 64-bit size in `head`
    const uint8_t head[] = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0,
                            0, 0, 0, 1,  'm', 'd', 'a', 't', 0,   0,   0,   1,   0, 0, 0, 16};
    const uint8_t moov[] = {0, 0, 0, 8, 'm', 'o', 'o', 'v'};
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, head, sizeof head, 0), static_cast<ssize_t>(sizeof head));
    EXPECT_EQ(pwrite(fd, moov, sizeof moov, static_cast<off_t>(16 + kMdat)),
              static_cast<ssize_t>(sizeof moov));
    close(fd);
    write_bytes(journal, "stale");

    EXPECT_EQ(MP4R_RepairFile(path.c_str(), journal.c_str(), nullptr), MP4R_COMPLETE);
    EXPECT_FALSE(std::filesystem::exists(journal));
    EXPECT_EQ(std::filesystem::file_size(path), 16 + kMdat + sizeof moov);
}

TEST(Mp4WriterHelpers, SplitsNalUnitsAtThreeAndFourByteStartCodes) {
    const Bytes stream = {0, 0, 0, 1,    0x67, 0x64, 0x00, 0x1f, 0xac,  // SPS
                          0, 0, 1, 0x68, 0xee,                          // PPS, 3-byte code
                          0, 0, 0, 1,                                   // empty unit
                          0, 0, 0, 1,    0x65, 0x88, 0x00, 0x00, 0x03, 0x01};
    const std::vector<Mp4WNal> nals = MP4W_SplitNals(stream);
    ASSERT_EQ(nals.size(), 4u);
    const struct {
        size_t offset;
        uint32_t codeSize;
        uint32_t size;
        uint8_t type;
    } expected[] = {{0, 4, 5, 7}, {9, 3, 2, 8}, {14, 4, 0, 0}, {18, 4, 6, 5}};
    for (size_t i = 0; i < nals.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(nals[i].startCode - stream.data(), static_cast<ptrdiff_t>(expected[i].offset));
        EXPECT_EQ(nals[i].startCodeSize, expected[i].codeSize);
        EXPECT_EQ(nals[i].data, nals[i].startCode + expected[i].codeSize);
        EXPECT_EQ(nals[i].size, expected[i].size);
        EXPECT_EQ(nals[i].type, expected[i].type);
    }
    const Bytes none = {0x09, 0x00, 0x00, 0x02, 0x65};
    EXPECT_TRUE(MP4W_SplitNals(none).empty());

    uint8_t profile = 0, constraints = 0, level = 0;
    EXPECT_EQ(MP4W_SpsIndication(nals[0].data, nals[0].size, &profile, &constraints, &level), 0);
    EXPECT_EQ(profile, 0x64);
    EXPECT_EQ(constraints, 0x00);
    EXPECT_EQ(level, 0x1f);
    EXPECT_EQ(MP4W_SpsIndication(nals[1].data, nals[1].size, &profile, &constraints, &level), -1);

    const Bytes sps(nals[0].data, nals[0].data + nals[0].size);
    EXPECT_EQ(MP4W_BuildAvcC(sps, {{0x68, 0xee}, {0x68, 0xef, 0x01}}),
              (Bytes{1,    0x64, 0x00, 0x1f, 0xff, 0xe1, 0, 5, 0x67, 0x64, 0x00, 0x1f,
                     0xac, 2,    0,    2,    0x68, 0xee, 0, 3, 0x68, 0xef, 0x01}));
    EXPECT_TRUE(MP4W_BuildAvcC(Bytes{0x67, 0x64}, {{0x68}}).empty());
}

TEST(Mp4WriterHelpers, StartCodeSearchAgreesWithTheByteScan) {
    // Random buffers dense in zeros and ones, searched from every offset.
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> pick(0, 5);
    for (int round = 0; round < 200; ++round) {
        Bytes buf(static_cast<size_t>(round % 40) + 1);
        for (uint8_t& b : buf) {
            const int v = pick(rng);
            b = static_cast<uint8_t>(v < 3 ? 0 : v == 3 ? 1 : v * 40);
        }
        const uint8_t* end = buf.data() + buf.size();
        for (const uint8_t* from = buf.data(); from <= end; ++from) {
            ASSERT_EQ(MP4W_FindStartCode(from, end), avc_find_startcode(from, end))
                << "round " << round << " offset " << (from - buf.data());
        }
    }
    Bytes longRun(4096, 0x55);
    longRun[4000] = 0;
    longRun[4001] = 0;
    longRun[4002] = 1;
    EXPECT_EQ(MP4W_FindStartCode(longRun.data(), longRun.data() + longRun.size()),
              longRun.data() + 4000);
}

std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1);
}

TEST(Mp4WriterHelpers, WritesEverythingThroughSignalInterruptions) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = count_signal;  // no SA_RESTART: blocked writes return early
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    g_signals = 0;

    Bytes data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    Bytes received;
    std::thread reader([&] {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            received.insert(received.end(), buf, buf + n);
            std::this_thread::sleep_for(200us);
        }
    });
    std::atomic<bool> done{false};
    const pthread_t writer = pthread_self();
    std::thread signaller([&] {
        while (!done.load()) {
            pthread_kill(writer, SIGUSR2);
            std::this_thread::sleep_for(300us);
        }
    });
    const int rc = MP4W_WriteAll(fds[1], data.data(), data.size());
    done = true;
    signaller.join();
    close(fds[1]);
    reader.join();
    close(fds[0]);
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_TRUE(received == data);
}

}  // namespace
