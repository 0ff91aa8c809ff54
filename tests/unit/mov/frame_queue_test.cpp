#include "mov/frame_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/trace_log.h"
#include "mov/mm_pool.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A pool with room for more frames than a queue may hold.
class FrameQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        MM_POOL_Reset();
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 2;
        cfg.classes[0] = {4096, 200};
        cfg.classes[1] = {65536, 2};
        ASSERT_EQ(MM_POOL_Init(&cfg), 0);
        plr_trace_log_reset();
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_ENABLE();
        ASSERT_EQ(PLR_MOV_ContexInit(&ctx), 0);
    }
    void TearDown() override {
        PLR_MOV_ContexDeinit(&ctx);
        plr_trace_log_reset();
        MM_POOL_Reset();
    }

    static uint32_t free_blocks(uint32_t c) {
        MM_CLASS_S info{};
        EXPECT_EQ(MM_POOL_GetClassInfo(c, &info), 0);
        return info.freeCnt;
    }
    // Frame i: its number in the first four bytes, then filler.
    static std::vector<uint8_t> frame(uint32_t i, size_t size) {
        std::vector<uint8_t> bytes(size, static_cast<uint8_t>(i));
        memcpy(bytes.data(), &i, sizeof i);
        return bytes;
    }
    int push(uint32_t i, size_t size) {
        const std::vector<uint8_t> bytes = frame(i, size);
        return PLR_MOV_FrameQueuePush(&ctx.queue, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    static uint32_t number_of(const MM_BUFFER_S* f) {
        uint32_t i = 0;
        memcpy(&i, f->data, sizeof i);
        return i;
    }

    MovCtx ctx;
};

TEST_F(FrameQueueTest, HoldsAtMost151FramesInOrder) {
    EXPECT_EQ(PLR_MOV_FrameQueuePop(&ctx.queue), nullptr);
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < 151; ++i) {
        ASSERT_EQ(push(i, 100 + i), 0) << i;
        bytes += 100 + i;
    }
    EXPECT_EQ(ctx.queue.count.load(), 151);
    EXPECT_EQ(ctx.queue.bytes.load(), bytes);

    CaptureStdout();
    EXPECT_EQ(push(999, 100), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("PLR_MOV_FrameQueuePush("), std::string::npos) << log;
    EXPECT_NE(log.find("):MOV frame queue full!!"), std::string::npos) << log;
    EXPECT_EQ(free_blocks(0), 200u - 151u);  // the refused frame took no block

    MM_BUFFER_S* first = PLR_MOV_FrameQueuePop(&ctx.queue);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(number_of(first), 0u);
    EXPECT_EQ(first->length, 100u);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(ctx.queue.bytes.load(), bytes - 100);
    EXPECT_EQ(PLR_MOV_FrameFree(first), 0);
    EXPECT_EQ(push(151, 100), 0);

    for (uint32_t i = 1; i <= 151; ++i) {
        MM_BUFFER_S* f = PLR_MOV_FrameQueuePop(&ctx.queue);
        ASSERT_NE(f, nullptr) << i;
        EXPECT_EQ(number_of(f), i);
        EXPECT_EQ(f->data[f->length - 1], static_cast<uint8_t>(i));
        EXPECT_EQ(PLR_MOV_FrameFree(f), 0);
    }
    EXPECT_EQ(PLR_MOV_FrameQueuePop(&ctx.queue), nullptr);
    EXPECT_EQ(ctx.queue.count.load(), 0);
    EXPECT_EQ(ctx.queue.bytes.load(), 0u);
    EXPECT_EQ(ctx.queue.tail, nullptr);
}

TEST_F(FrameQueueTest, RefusedPushes) {
    const uint8_t byte = 0;
    std::vector<uint8_t> big(65537, 1);
    CaptureStdout();
    EXPECT_EQ(PLR_MOV_FrameQueuePush(&ctx.queue, &byte, 0), -1);
    EXPECT_EQ(PLR_MOV_FrameQueuePush(&ctx.queue, &byte, -5), -1);
    EXPECT_EQ(PLR_MOV_FrameQueuePush(&ctx.queue, nullptr, 10), -1);
    EXPECT_EQ(PLR_MOV_FrameQueuePush(nullptr, &byte, 1), -1);
    EXPECT_EQ(GetCapturedStdout(), "");  // bad arguments are not logged

    CaptureStdout();
    EXPECT_EQ(PLR_MOV_FrameQueuePush(&ctx.queue, big.data(), 65537), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("):Alloc buffer failed for size 65537!!"), std::string::npos) << log;
    EXPECT_EQ(ctx.queue.count.load(), 0);
}

TEST_F(FrameQueueTest, ClearAndDeinitReturnEveryFrameToThePool) {
    for (int round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(push(i, i % 20 == 0 ? 5000 : 300), 0);
        EXPECT_EQ(free_blocks(1), 0u);  // the two 64 KiB blocks are in the queue too
        if (round == 0) {
            EXPECT_EQ(PLR_MOV_FrameQueueClear(&ctx.queue), 0);
        } else {
            EXPECT_EQ(PLR_MOV_ContexDeinit(&ctx), 0);
        }
        EXPECT_EQ(free_blocks(0), 200u);
        EXPECT_EQ(free_blocks(1), 2u);
        EXPECT_EQ(ctx.queue.count.load(), 0);
        EXPECT_EQ(ctx.queue.bytes.load(), 0u);
        EXPECT_EQ(PLR_MOV_FrameQueuePop(&ctx.queue), nullptr);
        ASSERT_EQ(PLR_MOV_ContexInit(&ctx), 0);
    }
    EXPECT_EQ(PLR_MOV_ContexInit(nullptr), -1);
    EXPECT_EQ(PLR_MOV_ContexDeinit(nullptr), -1);
    EXPECT_EQ(PLR_MOV_FrameQueueInit(nullptr), -1);
}

// One producer and one consumer, as between an encoder and a muxer: every
// frame arrives once, in order, and every block comes back.
TEST_F(FrameQueueTest, ProducerAndConsumerThreads) {
    constexpr uint32_t kFrames = 20000;
    std::atomic<bool> failed{false};
    std::thread consumer([&] {
        uint32_t expected = 0;
        while (expected < kFrames && !failed.load()) {
            MM_BUFFER_S* f = PLR_MOV_FrameQueuePop(&ctx.queue);
            if (f == nullptr) {
                std::this_thread::yield();
                continue;
            }
            if (number_of(f) != expected || f->length != 64 + expected % 512) failed.store(true);
            PLR_MOV_FrameFree(f);
            ++expected;
        }
    });
    CaptureStdout();  // the producer meets a full queue now and then
    for (uint32_t i = 0; i < kFrames && !failed.load();) {
        if (push(i, 64 + i % 512) == 0) {
            ++i;
        } else {
            std::this_thread::yield();
        }
    }
    consumer.join();
    GetCapturedStdout();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(free_blocks(0), 200u);
}

TEST(StartCodeTest, FindsTheFirstStartCode) {
    struct Case {
        std::vector<uint8_t> bytes;
        ptrdiff_t at;  // -1: end
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x00, 0x01, 0x65}, 0},  // four-byte code at its first byte
        {{0x09, 0x00, 0x00, 0x01, 0x65}, 1},
        {{0x00, 0x00, 0x01, 0x65}, 0},
        {{0x09, 0x10, 0x00, 0x00, 0x00, 0x01, 0x41}, 2},
        {{0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01}, 7},
        {{0x00, 0x00, 0x02, 0x00, 0x01, 0x00}, -1},
        {{0x00, 0x00}, -1},
        {{0x07, 0x08, 0x00, 0x00}, -1},
        {{}, -1},
    };
    for (const Case& c : cases) {
        const uint8_t* begin = c.bytes.data();
        const uint8_t* end = begin + c.bytes.size();
        const uint8_t* expected = c.at < 0 ? end : begin + c.at;
        EXPECT_EQ(avc_find_startcode(begin, end), expected) << testing::PrintToString(c.bytes);
    }
    // Only the range counts: a zero before start is not looked at.
    const std::array<uint8_t, 5> bytes = {0x00, 0x00, 0x00, 0x01, 0x65};
    EXPECT_EQ(avc_find_startcode(bytes.data() + 1, bytes.data() + 5), bytes.data() + 1);
    // A code that ends beyond the range is not found.
    EXPECT_EQ(avc_find_startcode(bytes.data(), bytes.data() + 3), bytes.data() + 3);

    // Against a byte-by-byte scan over pseudo-random buffers rich in 00 and 01.
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> buf(1 + round % 64);
        for (uint8_t& b : buf) {
            seed = seed * 1103515245u + 12345u;
            const uint32_t r = (seed >> 16) % 4;
            b = r < 2 ? 0 : (r == 2 ? 1 : static_cast<uint8_t>(seed >> 8));
        }
        const uint8_t* begin = buf.data();
        const uint8_t* end = begin + buf.size();
        const uint8_t* slow = end;
        for (const uint8_t* p = begin; p + 2 < end; ++p) {
            if (p[0] == 0 && p[1] == 0 && p[2] == 1) {
                slow = (p > begin && p[-1] == 0) ? p - 1 : p;
                break;
            }
        }
        ASSERT_EQ(avc_find_startcode(begin, end), slow) << testing::PrintToString(buf);
    }
}

}  // namespace
