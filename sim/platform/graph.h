// The channels of the simulated platform and the queues between them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "encoder.h"
#include "mb.h"
#include "platform/media.h"
#include "scene.h"

struct SwsContext;

namespace vsim {

// Counts lost frames of one channel and says so on the log: the first loss
// and then at most one line every five seconds, each with the running total.
class DropCounter {
public:
    explicit DropCounter(std::string name) : name_(std::move(name)) {}
    void drop(const char* why, uint64_t count = 1);
    uint64_t total() const { return total_.load(); }

private:
    std::string name_;
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> lastLogUs_{0};
};

// Output buffers of a channel waiting to be taken with GetMediaBuffer. With a
// descriptor, the descriptor is readable while the queue is not empty.
class OutQueue {
public:
    OutQueue(size_t depth, bool withFd, bool enabled);
    OutQueue(const OutQueue&) = delete;
    OutQueue& operator=(const OutQueue&) = delete;
    ~OutQueue();
    void enable();
    void set_depth(size_t depth);
    bool has_room();  // enabled and below its depth
    void push(const Frame& frame);
    bool pop(Frame* frame, int32_t timeoutMs);  // false on time-out or close
    size_t size();
    void clear();
    void close();
    int fd() const { return fd_; }

private:
    void take_fd_count();  // caller holds mutex_

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Frame> frames_;
    size_t depth_;
    bool enabled_;
    bool closed_ = false;
    int fd_ = -1;
};

// Anything frames can be pushed into: RGA and encoder channels.
class Sink {
public:
    virtual ~Sink() = default;
    // Whether the channel takes a frame now. A channel that is receiving but
    // cannot take one counts the loss, so a source renders only for takers.
    virtual bool wants_frame() = 0;
    // Takes a frame; never blocks.
    virtual void push(const Frame& frame) = 0;
};

// The sinks bound to a source channel.
std::vector<std::shared_ptr<Sink>> sinks_of(int32_t modId, int32_t devId, int32_t chnId);

class RgaChn final : public Sink {
public:
    RgaChn(int32_t chn, const RkRgaAttr& attr);
    ~RgaChn() override;
    void start();
    void shutdown();
    bool wants_frame() override;
    void push(const Frame& frame) override;
    RkRgaAttr attr();
    void set_attr(const RkRgaAttr& attr);

    OutQueue queue;
    DropCounter drops;

private:
    void run();
    bool process(const Frame& in, const RkRgaAttr& attr, Frame* out);

    int32_t chn_;
    std::mutex mutex_;  // guards attr_, in_, stop_
    std::condition_variable cv_;
    RkRgaAttr attr_;
    std::deque<Frame> in_;
    bool stop_ = false;
    std::thread worker_;
    std::shared_ptr<MbPool> pool_;
    SwsContext* sws_ = nullptr;  // worker only
    uint32_t swsKey_[4] = {0, 0, 0, 0};
};

class VencChn final : public Sink {
public:
    VencChn(int32_t chn, const RkVencChnAttr& attr);
    ~VencChn() override;
    void start();
    void shutdown();
    bool wants_frame() override;
    void push(const Frame& frame) override;
    int32_t send(const Frame& frame);  // waits up to a second for room

    int32_t set_recv(int32_t count);
    void request_idr();
    RkVencChnStatus status();
    int32_t set_jpeg_quality(uint32_t quality);
    RkVencRcParam rc_param();
    int32_t set_rc_param(const RkVencRcParam& param);
    int32_t set_bitrate(uint32_t bitrate);
    RkVencChnAttr attr();
    void set_callback(RkOutCbFunc cb);

    OutQueue out;
    DropCounter drops;

private:
    struct PtsInfo {
        int64_t pts;
        uint64_t timestampUs;
        uint32_t frameNo;
    };
    bool take_locked(const Frame& frame);  // caller holds mutex_
    EncoderSettings settings_locked() const;
    void run();
    void deliver(std::vector<EncodedPicture>* pics);
    void drain();

    int32_t chn_;
    std::mutex mutex_;  // guards everything below up to worker_
    std::condition_variable cv_;
    RkVencChnAttr attr_;
    RkVencRcParam rc_;
    uint32_t jpegQuality_ = 90;
    int64_t recvLeft_ = RK_VENC_RECV_UNLIMITED;
    std::deque<Frame> in_;
    bool stop_ = false;
    bool idr_ = false;
    bool reopen_ = false;
    bool bitrateChanged_ = false;
    double rateAcc_ = 0.0;
    RkOutCbFunc cb_ = nullptr;
    std::thread worker_;
    std::shared_ptr<MbPool> pool_;
    // Worker only.
    Encoder enc_;
    int64_t nextPts_ = 0;
    std::deque<PtsInfo> ptsInfo_;
};

}  // namespace vsim
