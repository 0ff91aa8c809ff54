// venc-test: feeds a raw NV12 file frame by frame into encoder channel 0 of
// the platform media layer and writes the encoded stream to a file. The main
// thread reads and sends frames at the frame rate; the "GetMediaBuffer"
// thread takes the encoded packets and writes them.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/media.h"

namespace {

constexpr uint32_t kFps = 30;
constexpr int32_t kVencChn = 0;

// Set once (end of input, frame count reached, SIGINT); read by both threads
// and written by the signal handler, so it must be lock-free.
std::atomic<bool> g_quit{false};
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<uint32_t> g_packets{0};  // packets written by the output thread
// Set by the main thread just before it destroys the channel. The output thread
// drains until then: the end of the input must not stop it before the frames
// already sent have come out.
std::atomic<bool> g_closing{false};

void handle_sigint(int signo) {
    // "signal %d\n" to the error stream with async-signal-safe calls only.
    char text[32] = "signal ";
    size_t len = strlen(text);
    char digits[12];
    size_t n = 0;
    unsigned value = static_cast<unsigned>(signo);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof digits);
    while (n > 0) text[len++] = digits[--n];
    text[len++] = '\n';
    const ssize_t written = write(STDERR_FILENO, text, len);
    (void)written;
    g_quit = true;
}

void print_usage(const char* name) {
    printf("usage example:\n");
    printf("\t%s [-i in.nv12] [-o out.h264] [-w 1920] [-h 1080] [-t h264]\n", name);
    printf("\t-i | --input: Input image file\n");
    printf("\t-o | --output: Output file\n");
    printf("\t-w | --width: Image width\n");
    printf("\t-h | --height: Image height\n");
    printf("\t-t | --height: encoder type, value: h264, h265, mjpeg\n");
    printf("\t-c | --cnt: encoder frame cnt. default: -1:end of file.\n");
    printf("\t-? | --help: show help\n");
}

struct EncoderType {
    const char* name;
    int32_t codec;
    uint32_t profile;
    int32_t rcMode;
    uint32_t gop;           // 0: none
    uint32_t bitsPerPixel;  // bitrate = width x height x this
    const char* banner;
};

constexpr EncoderType kTypes[] = {
    {"h264", RK_CODEC_H264, RK_H264_PROFILE_MAIN, RK_RC_H264_CBR, 2 * kFps, 1,
     "#EncoderType:H264 Cbr"},
    {"h265", RK_CODEC_H265, 0, RK_RC_H265_CBR, 2 * kFps, 1, "#EncoderType:H265 Cbr"},
    {"mjpeg", RK_CODEC_MJPEG, 0, RK_RC_MJPEG_CBR, 0, 8, "#EncoderType:Mjpeg Cbr"},
};

void output_thread(const char* path) {
    printf("#Start %s thread, arg:%p, out path: %s\n", "GetMediaBuffer",
           static_cast<const void*>(path), path != nullptr ? path : "(null)");
    FILE* file = path != nullptr ? fopen(path, "w") : nullptr;
    if (file == nullptr) printf("ERROR: Open %s failed!\n", path != nullptr ? path : "(null)");
    while (!g_closing) {
        MEDIA_BUFFER mb = RK_MPI_SYS_GetMediaBuffer(RK_MOD_VENC, kVencChn, -1);
        if (mb == nullptr) {
            // The channel goes away at the end; only a null buffer before that is news.
            if (!g_closing) printf("RK_MPI_SYS_GetMediaBuffer get null buffer!\n");
            break;
        }
        printf("Get packet:ptr:%p, fd:%d, size:%zu, mode:%d, channel:%d, timestamp:%lld\n",
               RK_MPI_MB_GetPtr(mb), RK_MPI_MB_GetFD(mb), RK_MPI_MB_GetSize(mb),
               RK_MPI_MB_GetModeID(mb), RK_MPI_MB_GetChannelID(mb),
               static_cast<long long>(RK_MPI_MB_GetTimestamp(mb)));
        if (file != nullptr) fwrite(RK_MPI_MB_GetPtr(mb), 1, RK_MPI_MB_GetSize(mb), file);
        RK_MPI_MB_ReleaseBuffer(mb);
        g_packets.fetch_add(1);
    }
    if (file != nullptr) fclose(file);
}

// Waits until every frame sent has come out of the encoder, or until no
// packet came for two seconds.
void wait_for_output(uint32_t sent) {
    uint32_t seen = g_packets.load();
    auto lastProgress = std::chrono::steady_clock::now();
    while (seen < sent &&
           std::chrono::steady_clock::now() - lastProgress < std::chrono::seconds(2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint32_t now = g_packets.load();
        if (now != seen) {
            seen = now;
            lastProgress = std::chrono::steady_clock::now();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* inPath = nullptr;
    const char* outPath = nullptr;
    const char* typeName = "h264";
    uint32_t width = 0, height = 0;
    int32_t frameCnt = -1;

    static const struct option kLongOptions[] = {
        {"input", required_argument, nullptr, 'i'}, {"output", required_argument, nullptr, 'o'},
        {"width", required_argument, nullptr, 'w'}, {"height", required_argument, nullptr, 'h'},
        {"type", required_argument, nullptr, 't'},  {"cnt", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, '?'},        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "?:i:o:w:h:t:c:", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'i':
                inPath = optarg;
                break;
            case 'o':
                outPath = optarg;
                break;
            case 'w':
                width = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
                break;
            case 'h':
                height = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
                break;
            case 't':
                typeName = optarg;
                break;
            case 'c':
                frameCnt = static_cast<int32_t>(strtol(optarg, nullptr, 10));
                break;
            default:
                print_usage(argv[0]);
                return 0;
        }
    }

    printf("#InFile:%s\n", inPath != nullptr ? inPath : "(null)");
    printf("#OutFile:%s\n", outPath != nullptr ? outPath : "(null)");
    printf("#ImgWidth:%u\n", width);
    printf("#ImgHeight:%u\n", height);
    printf("#FrameCnt:%d\n", frameCnt);
    const EncoderType* type = nullptr;
    for (const EncoderType& t : kTypes) {
        if (strcmp(t.name, typeName) == 0) type = &t;
    }
    if (type == nullptr) {
        printf("ERROR: Invalid encoder type!\n");
        return -1;
    }
    printf("%s\n", type->banner);

    if (inPath == nullptr || width == 0 || height == 0 || frameCnt == 0) {
        printf("ERROR: Please check your input args!\n");
        return -1;
    }

    RK_MPI_SYS_Init();
    RkVencChnAttr attr{};
    attr.vencAttr.codec = type->codec;
    attr.vencAttr.imageType = RK_IMAGE_NV12;
    attr.vencAttr.virWidth = width;
    attr.vencAttr.virHeight = height;
    attr.vencAttr.profile = type->profile;
    attr.vencAttr.picWidth = width;
    attr.vencAttr.picHeight = height;
    attr.vencAttr.rotation = 0;
    attr.rcAttr.rcMode = type->rcMode;
    attr.rcAttr.gop = type->gop;
    attr.rcAttr.srcFrameRateNum = kFps;
    attr.rcAttr.srcFrameRateDen = 1;
    attr.rcAttr.dstFrameRateNum = kFps;
    attr.rcAttr.dstFrameRateDen = 1;
    attr.rcAttr.bitRate = width * height * type->bitsPerPixel;
    if (RK_MPI_VENC_CreateChn(kVencChn, &attr) != 0) {
        printf("ERROR: Create venc failed!\n");
        exit(0);
    }

    printf("%s initial finish\n", "main");
    struct sigaction action {};
    action.sa_handler = handle_sigint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    FILE* input = fopen(inPath, "r");
    if (input == nullptr) {
        printf("ERROR: open %s failed!\n", inPath);
        RK_MPI_VENC_DestroyChn(kVencChn);
        exit(0);
    }

    std::thread output(output_thread, outPath);

    const uint32_t interval = 1000000 / kFps;
    const size_t frameSize = size_t{width} * height * 3 / 2;
    RkMbImageInfo image{width, height, width, height, RK_IMAGE_NV12};
    int32_t frameId = 0;
    while (!g_quit) {
        MEDIA_BUFFER mb = RK_MPI_MB_CreateImageBuffer(&image, 1, 1);
        if (mb == nullptr) {
            printf("ERROR: no space left!\n");
            break;
        }
        const size_t got = fread(RK_MPI_MB_GetPtr(mb), 1, frameSize, input);
        if (got != frameSize) {
            printf("Get end of file!\n");
            g_quit = true;
        }
        if (got == 0) {
            // Nothing left to send: an empty buffer would make the encoder
            // encode a picture that is not in the file.
            RK_MPI_MB_ReleaseBuffer(mb);
            break;
        }
        RK_MPI_MB_SetSize(mb, got);
        RK_MPI_MB_SetTimestamp(mb, static_cast<uint64_t>(frameId) * interval);
        printf("#Send frame[%d] fd=%d to out...\n", frameId, RK_MPI_MB_GetFD(mb));
        RK_MPI_SYS_SendMediaBuffer(RK_MOD_VENC, kVencChn, mb);
        RK_MPI_MB_ReleaseBuffer(mb);
        ++frameId;
        if (frameCnt > 0 && frameId >= frameCnt) g_quit = true;
        usleep(interval);
    }
    fclose(input);

    // Every frame sent is written before the channel goes.
    wait_for_output(static_cast<uint32_t>(frameId));
    g_closing = true;
    printf("%s exit!\n", "main");
    RK_MPI_VENC_DestroyChn(kVencChn);
    output.join();
    return 0;
}
