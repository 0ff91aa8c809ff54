// venc-test run as a program on raw NV12 files of the virtual scene; its
// streams are checked with ffprobe.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vcam.h"

namespace {

constexpr uint32_t W = 176, H = 144;
constexpr size_t kFrame = size_t{W} * H * 3 / 2;

struct RunResult {
    int status = -1;
    std::string output;
};

RunResult run(const std::string& command) {
    RunResult r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

class VencTool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/venc-test-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A raw file of `frames` scene pictures, the last one cut to `lastPart` of a frame.
    std::string input(uint32_t frames, double lastPart = 1.0) {
        const std::string path = dir_ + "/in.nv12";
        std::ofstream out(path, std::ios::binary);
        std::vector<uint8_t> pic(kFrame);
        for (uint32_t i = 0; i < frames; ++i) {
            vcam_render_nv12(i, W, H, pic.data());
            const size_t bytes = i + 1 == frames
                                     ? static_cast<size_t>(static_cast<double>(kFrame) * lastPart)
                                     : kFrame;
            out.write(reinterpret_cast<const char*>(pic.data()),
                      static_cast<std::streamsize>(bytes));
        }
        return path;
    }
    // The tool's command line, through the emulator in a cross build.
    std::string tool(const std::string& args) {
        const std::string emulator = VBOARD_TEST_EMULATOR;
        return (emulator.empty() ? "" : emulator + " ") + VENC_TEST_PATH + " " + args;
    }

    std::string dir_;
};

TEST_F(VencTool, EncodesEveryTypeAtItsSize) {
    struct Case {
        const char* type;
        const char* file;
        const char* codec;
    };
    const std::string in = input(8);
    for (const Case c : {Case{"h264", "out.h264", "h264"}, Case{"h265", "out.hevc", "hevc"},
                         Case{"mjpeg", "out.mjpeg", "mjpeg"}}) {
        const std::string out = dir_ + "/" + c.file;
        const RunResult r = run(tool("-i " + in + " -o " + out + " -w 176 -h 144 -t " + c.type));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(count_of(r.output, "Get packet:"), 8u) << c.type;
        const RunResult probe =
            run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                "stream=codec_name,width,height,nb_read_frames -of default=nw=1 " +
                out);
        EXPECT_NE(probe.output.find(std::string("codec_name=") + c.codec), std::string::npos)
            << probe.output;
        EXPECT_NE(probe.output.find("width=176"), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("height=144"), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("nb_read_frames=8"), std::string::npos) << probe.output;
    }
}

TEST_F(VencTool, CountLimitsFramesAndStampsThemAtTheFrameRate) {
    const RunResult r =
        run(tool("-i " + input(12) + " -o " + dir_ + "/out.h264 -w 176 -h 144 -c 10"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count_of(r.output, "#Send frame["), 10u);
    EXPECT_NE(r.output.find("#Send frame[9]"), std::string::npos);
    std::vector<long long> stamps;
    const std::string key = "timestamp:";
    for (size_t at = r.output.find(key); at != std::string::npos; at = r.output.find(key, at + 1)) {
        stamps.push_back(std::stoll(r.output.substr(at + key.size())));
    }
    ASSERT_EQ(stamps.size(), 10u) << r.output;
    for (size_t i = 0; i < stamps.size(); ++i)
        EXPECT_EQ(stamps[i], static_cast<long long>(i) * 33333);
}

TEST_F(VencTool, HalfAFrameAtTheEndIsSentAsASecondBuffer) {
    const RunResult r =
        run(tool("-i " + input(2, 0.5) + " -o " + dir_ + "/out.h264 -w 176 -h 144"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count_of(r.output, "#Send frame["), 2u) << r.output;
    EXPECT_NE(r.output.find("Get end of file!"), std::string::npos);
    EXPECT_EQ(count_of(r.output, "Get packet:"), 2u) << r.output;
}

TEST_F(VencTool, RefusesBadArguments) {
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const std::string in = input(1);
    for (const Case& c :
         {Case{"-i " + in + " -w 176 -h 144 -t vp8", 255, "ERROR: Invalid encoder type!"},
          Case{"-i " + in + " -h 144", 255, "ERROR: Please check your input args!"},
          Case{"-w 176 -h 144", 255, "ERROR: Please check your input args!"},
          Case{"-i " + in + " -w 176 -h 144 -c 0", 255, "ERROR: Please check your input args!"},
          Case{"-x", 0, "usage example:"}}) {
        const RunResult r = run(tool(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
}

}  // namespace
