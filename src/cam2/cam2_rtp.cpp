#include "cam2/cam2_rtp.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "board/board.h"
#include "cam2/cam2_camera.h"
#include "core/trace_log.h"
#include "fpv/fpv_stream.h"
#include "vps/vps_stream.h"

namespace {

constexpr size_t kQueueMax = 8;
constexpr int kPacketSize = 1200;  // RTP payload that fits any Wi-Fi path MTU

enum : uint8_t { NAL_IDR = 5, NAL_SPS = 7, NAL_PPS = 8 };

struct Frame {
    std::vector<uint8_t> bytes;
    int64_t us;  // arrival, steady clock
};

struct Dest {
    in_addr_t addr = 0;
    AVFormatContext* fmt = nullptr;
    int64_t firstUs = -1;  // arrival of its first frame: pts 0
    int64_t lastPts = -1;
};

std::mutex g_lock;  // everything below but the sender's own state
std::condition_variable g_ready;
std::deque<Frame> g_queue;
std::vector<in_addr_t> g_wanted;
bool g_running = false;
std::thread g_thread;
std::atomic<uint64_t> g_framesIn{0};
std::atomic<uint64_t> g_framesDropped{0};
std::atomic<uint64_t> g_framesSent{0};

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void on_frame(const uint8_t* data, uint32_t size) {
    g_framesIn.fetch_add(1);
    std::lock_guard lock(g_lock);
    if (!g_running) return;
    if (g_queue.size() >= kQueueMax) {
        g_queue.pop_front();
        g_framesDropped.fetch_add(1);
    }
    g_queue.push_back({std::vector<uint8_t>(data, data + size), steady_us()});
    g_ready.notify_one();
}

// The NAL units of an Annex B access unit: [start code, end) and type.
struct Nal {
    size_t begin;
    size_t end;
    uint8_t type;
};

std::vector<Nal> nal_units(const std::vector<uint8_t>& au) {
    std::vector<Nal> units;
    const size_t n = au.size();
    size_t i = 0;
    auto start_code_at = [&](size_t at) {
        return at + 3 <= n && au[at] == 0 && au[at + 1] == 0 &&
               (au[at + 2] == 1 || (at + 4 <= n && au[at + 2] == 0 && au[at + 3] == 1));
    };
    while (i < n && !start_code_at(i)) ++i;
    while (i < n) {
        const size_t begin = i;
        i += au[i + 2] == 1 ? 3 : 4;
        const uint8_t type = i < n ? au[i] & 0x1F : 0;
        while (i < n && !start_code_at(i)) ++i;
        units.push_back({begin, i, type});
    }
    return units;
}

// The sender thread's state: the destinations' muxers, the last SPS and PPS.
class Sender {
public:
    ~Sender() {
        for (Dest& d : dests_) close(d);
    }

    void set_destinations(const std::vector<in_addr_t>& wanted) {
        for (Dest& d : dests_)
            if (std::find(wanted.begin(), wanted.end(), d.addr) == wanted.end()) close(d);
        std::erase_if(dests_, [](const Dest& d) { return d.addr == 0; });
        for (const in_addr_t a : wanted) {
            if (std::none_of(dests_.begin(), dests_.end(), [a](const Dest& d) { return d.addr == a; }))
                dests_.push_back(Dest{a});
        }
    }

    void send(Frame& frame) {
        bool hasSps = false;
        bool idr = false;
        for (const Nal& u : nal_units(frame.bytes)) {
            const std::vector<uint8_t> unit(frame.bytes.begin() + static_cast<long>(u.begin),
                                            frame.bytes.begin() + static_cast<long>(u.end));
            if (u.type == NAL_SPS) {
                sps_ = unit;
                hasSps = true;
            } else if (u.type == NAL_PPS) {
                pps_ = unit;
            } else if (u.type == NAL_IDR) {
                idr = true;
            }
        }
        const bool key = idr || hasSps;
        if (idr && !hasSps && !sps_.empty() && !pps_.empty()) {
            // A key frame without its parameter sets: put them in front.
            std::vector<uint8_t> withSets = sps_;
            withSets.insert(withSets.end(), pps_.begin(), pps_.end());
            withSets.insert(withSets.end(), frame.bytes.begin(), frame.bytes.end());
            frame.bytes.swap(withSets);
        }
        bool sent = false;
        for (Dest& d : dests_) {
            if (d.fmt == nullptr) {
                if (!key || !open(d)) continue;
                d.firstUs = frame.us;
            }
            sent = write(d, frame) || sent;
        }
        if (sent) g_framesSent.fetch_add(1);
    }

private:
    bool open(Dest& d) {
        char ip[INET_ADDRSTRLEN] = {};
        in_addr a{d.addr};
        inet_ntop(AF_INET, &a, ip, sizeof ip);
        std::string url = std::string("rtp://") + ip + ":" + std::to_string(CAM2_VIDEO_PORT) +
                          "?pkt_size=" + std::to_string(kPacketSize);
        // Sent from the board's own address (loopback on the simulated board).
        if (std::string(board_listen_address()) != "0.0.0.0")
            url += std::string("&localaddr=") + board_listen_address();
        const VpsStreamFormat live = PLR_VPS_LiveViewFormat();
        if (avformat_alloc_output_context2(&d.fmt, nullptr, "rtp", url.c_str()) < 0 ||
            d.fmt == nullptr) {
            PLR_TRACE(PLR_LOG_E, "RTP to %s: no muxer", ip);
            d.fmt = nullptr;
            return false;
        }
        AVStream* st = avformat_new_stream(d.fmt, nullptr);
        if (st == nullptr) {
            close(d);
            return false;
        }
        st->time_base = AVRational{1, 90000};
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->codecpar->codec_id = AV_CODEC_ID_H264;
        st->codecpar->width = static_cast<int>(live.width);
        st->codecpar->height = static_cast<int>(live.height);
        if (avio_open(&d.fmt->pb, url.c_str(), AVIO_FLAG_WRITE) < 0 ||
            avformat_write_header(d.fmt, nullptr) < 0) {
            PLR_TRACE(PLR_LOG_E, "RTP to %s: cannot open %s", ip, url.c_str());
            close(d);
            return false;
        }
        PLR_TRACE(PLR_LOG_I, "live view to %s:%u by RTP", ip, CAM2_VIDEO_PORT);
        d.lastPts = -1;
        return true;
    }

    bool write(Dest& d, const Frame& frame) {
        AVStream* st = d.fmt->streams[0];
        int64_t pts = av_rescale_q(frame.us - d.firstUs, AVRational{1, 1000000}, st->time_base);
        if (pts <= d.lastPts) pts = d.lastPts + 1;
        d.lastPts = pts;
        AVPacket* pkt = av_packet_alloc();
        if (pkt == nullptr) return false;
        pkt->data = const_cast<uint8_t*>(frame.bytes.data());
        pkt->size = static_cast<int>(frame.bytes.size());
        pkt->stream_index = 0;
        pkt->pts = pts;
        pkt->dts = pts;
        const int rc = av_write_frame(d.fmt, pkt);
        av_packet_free(&pkt);
        if (rc < 0) {
            // Opened again at the next key frame.
            PLR_TRACE(PLR_LOG_W, "RTP frame not sent (%d); the stream restarts at a key frame", rc);
            close(d);
            return false;
        }
        return true;
    }

    static void close(Dest& d) {
        if (d.fmt != nullptr) {
            if (d.fmt->pb != nullptr) avio_closep(&d.fmt->pb);
            avformat_free_context(d.fmt);
            d.fmt = nullptr;
        }
        d.firstUs = -1;
    }

    std::vector<Dest> dests_;
    std::vector<uint8_t> sps_;
    std::vector<uint8_t> pps_;
};

void run() {
    Sender sender;
    std::vector<in_addr_t> wanted;
    for (;;) {
        Frame frame;
        {
            std::unique_lock lock(g_lock);
            g_ready.wait(lock, [] { return !g_running || !g_queue.empty(); });
            if (!g_running) return;
            frame = std::move(g_queue.front());
            g_queue.pop_front();
            wanted = g_wanted;
        }
        sender.set_destinations(wanted);
        sender.send(frame);
    }
}

}  // namespace

int cam2_rtp_start() {
    {
        std::lock_guard lock(g_lock);
        if (g_running) return -1;
        g_running = true;
        g_queue.clear();
    }
    try {
        g_thread = std::thread(run);
    } catch (const std::system_error&) {
        std::lock_guard lock(g_lock);
        g_running = false;
        return -1;
    }
    if (PLR_FPV_AddFrameObserver(on_frame) != 0) {
        cam2_rtp_stop();
        return -1;
    }
    return 0;
}

void cam2_rtp_stop() {
    PLR_FPV_RemoveFrameObserver(on_frame);
    {
        std::lock_guard lock(g_lock);
        g_running = false;
        g_queue.clear();
        g_wanted.clear();
    }
    g_ready.notify_all();
    if (g_thread.joinable()) g_thread.join();
}

void cam2_rtp_set_destinations(const std::vector<in_addr_t>& addresses) {
    std::lock_guard lock(g_lock);
    g_wanted = addresses;
}

Cam2RtpStats cam2_rtp_stats() {
    return {g_framesIn.load(), g_framesDropped.load(), g_framesSent.load()};
}
