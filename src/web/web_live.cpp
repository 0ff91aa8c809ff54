#include "web/web_live.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/trace_log.h"
#include "fpv/fpv_stream.h"

namespace {

constexpr size_t kQueueFrames = 8;       // frames waiting for the muxer at most
constexpr size_t kRingFragments = 150;   // about five seconds at 30 fps
constexpr int kAvioBuffer = 64 * 1024;

struct Frame {
    std::vector<uint8_t> bytes;
    int64_t steadyMs;
};

struct Live {
    std::mutex lock;  // guards everything below but the thread and the atomics
    std::condition_variable ready;
    std::deque<Frame> queue;
    bool waitKey = false;  // after a drop: frames up to the next key frame are dropped too
    bool running = false;
    std::deque<std::shared_ptr<const WebLiveFragment>> ring;
    uint64_t lastSeq = 0;
    WebLiveInit init{0, "", 0, ""};
    std::thread thread;
    std::atomic<void (*)()> wake{nullptr};
    std::atomic<uint64_t> framesIn{0};
    std::atomic<uint64_t> framesDropped{0};
};
Live g_live;

// An access unit holds an IDR slice (NAL type 5).
bool has_idr(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1F) == 5) return true;
    }
    return false;
}

void on_frame(const uint8_t* data, uint32_t size) {
    g_live.framesIn.fetch_add(1);
    const bool key = has_idr(data, size);
    {
        std::lock_guard lock(g_live.lock);
        if (!g_live.running) return;
        if (g_live.waitKey && !key) {
            g_live.framesDropped.fetch_add(1);
            return;
        }
        if (g_live.queue.size() >= kQueueFrames) {
            g_live.framesDropped.fetch_add(1);
            g_live.waitKey = true;
            return;
        }
        g_live.waitKey = false;
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        g_live.queue.push_back({std::vector<uint8_t>(data, data + size), now});
    }
    g_live.ready.notify_one();
}

// One muxer session: from a key frame with parameter sets until the stream's
// parameters change or the module stops.
class Muxer {
public:
    ~Muxer() { close(); }

    // Opens the muxer for a stream whose parameter sets are `extradata`
    // (Annex B). 0, or a negative FFmpeg code.
    int open(const uint8_t* extradata, size_t size, int width, int height) {
        extradata_.assign(extradata, extradata + size);
        int ret = avformat_alloc_output_context2(&fmt_, nullptr, "mp4", nullptr);
        if (ret < 0) return ret;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kAvioBuffer));
        if (buffer == nullptr) return AVERROR(ENOMEM);
        pb_ = avio_alloc_context(buffer, kAvioBuffer, 1, this, nullptr, write_cb, nullptr);
        if (pb_ == nullptr) {
            av_free(buffer);
            return AVERROR(ENOMEM);
        }
        fmt_->pb = pb_;
        fmt_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
        AVStream* st = avformat_new_stream(fmt_, nullptr);
        if (st == nullptr) return AVERROR(ENOMEM);
        st->time_base = {1, 1000};
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->codecpar->codec_id = AV_CODEC_ID_H264;
        st->codecpar->width = width;
        st->codecpar->height = height;
        st->codecpar->extradata =
            static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (st->codecpar->extradata == nullptr) return AVERROR(ENOMEM);
        memcpy(st->codecpar->extradata, extradata, size);
        st->codecpar->extradata_size = static_cast<int>(size);
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "movflags", "empty_moov+default_base_moof+frag_every_frame", 0);
        ret = avformat_write_header(fmt_, &opts);
        av_dict_free(&opts);
        if (ret < 0) return ret;
        avio_flush(pb_);
        init_.swap(out_);
        out_.clear();
        return 0;
    }

    // Muxes one access unit; *fragment gets the fragment it completed (the
    // previous frame's), empty when none. 0 or a negative FFmpeg code.
    int write(const Frame& frame, bool key, int64_t ptsMs, std::string* fragment) {
        AVPacket* pkt = av_packet_alloc();
        if (pkt == nullptr) return AVERROR(ENOMEM);
        int ret = av_new_packet(pkt, static_cast<int>(frame.bytes.size()));
        if (ret == 0) {
            memcpy(pkt->data, frame.bytes.data(), frame.bytes.size());
            pkt->pts = pkt->dts = ptsMs;
            pkt->duration = 0;
            if (key) pkt->flags |= AV_PKT_FLAG_KEY;
            pkt->stream_index = 0;
            av_packet_rescale_ts(pkt, {1, 1000}, fmt_->streams[0]->time_base);
            ret = av_write_frame(fmt_, pkt);
            avio_flush(pb_);
        }
        av_packet_free(&pkt);
        fragment->swap(out_);
        out_.clear();
        return ret;
    }

    const std::string& init() const { return init_; }
    const std::vector<uint8_t>& extradata() const { return extradata_; }

private:
    static int write_cb(void* opaque, uint8_t* buf, int size) {
        static_cast<Muxer*>(opaque)->out_.append(reinterpret_cast<const char*>(buf),
                                                 static_cast<size_t>(size));
        return size;
    }

    void close() {
        if (fmt_ != nullptr) {
            // No trailer: a live stream has no end, and the ring keeps what was sent.
            avformat_free_context(fmt_);
            fmt_ = nullptr;
        }
        if (pb_ != nullptr) {
            av_freep(&pb_->buffer);
            avio_context_free(&pb_);
        }
    }

    AVFormatContext* fmt_ = nullptr;
    AVIOContext* pb_ = nullptr;
    std::string out_;
    std::string init_;
    std::vector<uint8_t> extradata_;
};

// The parameter sets and picture size of a key frame, found by libavcodec's
// extract_extradata filter and H.264 parser. 0, or -1 when it has none.
int stream_params(const Frame& frame, std::vector<uint8_t>* extradata, int* width, int* height) {
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* bsf = nullptr;
    if (filter == nullptr || av_bsf_alloc(filter, &bsf) < 0) return -1;
    bsf->par_in->codec_id = AV_CODEC_ID_H264;
    int result = -1;
    AVPacket* pkt = av_packet_alloc();
    if (pkt != nullptr && av_bsf_init(bsf) == 0 &&
        av_new_packet(pkt, static_cast<int>(frame.bytes.size())) == 0) {
        memcpy(pkt->data, frame.bytes.data(), frame.bytes.size());
        if (av_bsf_send_packet(bsf, pkt) == 0 && av_bsf_receive_packet(bsf, pkt) == 0) {
            size_t size = 0;
            const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_NEW_EXTRADATA, &size);
            if (side != nullptr && size > 0) {
                extradata->assign(side, side + size);
                result = 0;
            }
        }
    }
    av_packet_free(&pkt);
    av_bsf_free(&bsf);
    if (result != 0) return -1;
    // The picture size, from the sequence parameter set.
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    *width = 0;
    *height = 0;
    if (parser != nullptr && ctx != nullptr) {
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser, ctx, &out, &outSize, frame.bytes.data(),
                         static_cast<int>(frame.bytes.size()), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        *width = parser->width > 0 ? parser->width : ctx->width;
        *height = parser->height > 0 ? parser->height : ctx->height;
    }
    avcodec_free_context(&ctx);
    if (parser != nullptr) av_parser_close(parser);
    return 0;
}

// avc1.PPCCLL from the sequence parameter set's first three bytes.
std::string codec_string(const std::vector<uint8_t>& extradata) {
    const std::vector<uint8_t>& e = extradata;
    for (size_t i = 0; i + 6 < e.size(); ++i) {
        if (e[i] == 0 && e[i + 1] == 0 && e[i + 2] == 1 && (e[i + 3] & 0x1F) == 7) {
            char text[32];
            snprintf(text, sizeof text, "avc1.%02x%02x%02x", e[i + 4], e[i + 5], e[i + 6]);
            return text;
        }
    }
    return "avc1.42e01f";
}

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void publish(std::string bytes, bool key, uint32_t gen) {
    {
        std::lock_guard lock(g_live.lock);
        auto frag = std::make_shared<WebLiveFragment>();
        frag->seq = ++g_live.lastSeq;
        frag->initGen = gen;
        frag->key = key;
        frag->bytes = std::move(bytes);
        g_live.ring.push_back(std::move(frag));
        while (g_live.ring.size() > kRingFragments) g_live.ring.pop_front();
    }
    if (void (*wake)() = g_live.wake.load(); wake != nullptr) wake();
}

void mux_thread() {
    std::unique_ptr<Muxer> muxer;
    uint32_t gen = 0;
    int64_t firstMs = 0;
    int64_t lastPts = -1;
    bool pendingKey = false;  // the frame in the muxer (not yet a fragment) is a key frame
    for (;;) {
        Frame frame;
        {
            std::unique_lock lock(g_live.lock);
            g_live.ready.wait(lock, [] { return !g_live.running || !g_live.queue.empty(); });
            if (!g_live.running) break;
            frame = std::move(g_live.queue.front());
            g_live.queue.pop_front();
        }
        const bool key = has_idr(frame.bytes.data(), frame.bytes.size());
        if (key) {
            std::vector<uint8_t> extradata;
            int width = 0;
            int height = 0;
            if (stream_params(frame, &extradata, &width, &height) == 0 &&
                (muxer == nullptr || extradata != muxer->extradata())) {
                auto next = std::make_unique<Muxer>();
                const int ret = next->open(extradata.data(), extradata.size(), width, height);
                if (ret < 0) {
                    plr_trace_logf(PLR_LOG_E, "web live view: muxer open failed (%d)", ret);
                    continue;
                }
                muxer = std::move(next);
                firstMs = frame.steadyMs;
                lastPts = -1;
                std::lock_guard lock(g_live.lock);
                g_live.init.gen = ++gen;
                g_live.init.codec = codec_string(extradata);
                g_live.init.t0WallMs = wall_ms() - (steady_ms() - firstMs);
                g_live.init.bytes = muxer->init();
            }
        }
        if (muxer == nullptr) continue;  // waiting for the first key frame
        int64_t pts = frame.steadyMs - firstMs;
        if (pts <= lastPts) pts = lastPts + 1;  // two frames in one millisecond
        lastPts = pts;
        std::string fragment;
        if (muxer->write(frame, key, pts, &fragment) < 0) {
            muxer.reset();  // starts again at the next key frame
            continue;
        }
        if (!fragment.empty()) publish(std::move(fragment), pendingKey, gen);
        pendingKey = key;
    }
}

}  // namespace

int web_live_start(void (*wake)()) {
    {
        std::lock_guard lock(g_live.lock);
        if (g_live.running) return -1;
        g_live.running = true;
        g_live.waitKey = false;
    }
    g_live.wake.store(wake);
    g_live.thread = std::thread(mux_thread);
    if (PLR_FPV_AddFrameObserver(on_frame) != 0) {
        web_live_stop();
        return -1;
    }
    return 0;
}

void web_live_stop() {
    PLR_FPV_RemoveFrameObserver(on_frame);
    {
        std::lock_guard lock(g_live.lock);
        g_live.running = false;
    }
    g_live.ready.notify_all();
    if (g_live.thread.joinable()) g_live.thread.join();
    g_live.wake.store(nullptr);
    std::lock_guard lock(g_live.lock);
    g_live.queue.clear();
    g_live.ring.clear();
    g_live.init = WebLiveInit{0, "", 0, ""};
}

WebLiveInit web_live_init() {
    std::lock_guard lock(g_live.lock);
    return g_live.init;
}

std::shared_ptr<const WebLiveFragment> web_live_next(uint64_t* cursor) {
    std::lock_guard lock(g_live.lock);
    if (g_live.ring.empty()) return nullptr;
    const uint64_t oldest = g_live.ring.front()->seq;
    if (*cursor == 0 || *cursor < oldest) {
        // A new reader, or one the ring left behind: the newest key frame.
        for (auto it = g_live.ring.rbegin(); it != g_live.ring.rend(); ++it) {
            if ((*it)->key) {
                *cursor = (*it)->seq + 1;
                return *it;
            }
        }
        return nullptr;
    }
    if (*cursor > g_live.lastSeq) return nullptr;
    auto frag = g_live.ring[*cursor - oldest];
    ++*cursor;
    return frag;
}

WebLiveStats web_live_stats() {
    std::lock_guard lock(g_live.lock);
    return {g_live.framesIn.load(), g_live.framesDropped.load(), g_live.lastSeq};
}
