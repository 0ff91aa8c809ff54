#include "mov/mm_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t k800K = 819200;
constexpr uint64_t k2M = 2097152;
constexpr uint64_t k5M = 5242880;

// The camera's configuration: 145 x 800 KiB, 5 x 2 MiB, 5 x 5 MiB.
MM_POOL_CFG_S camera_cfg() {
    MM_POOL_CFG_S cfg{};
    cfg.classCnt = 3;
    cfg.classes[0] = {k800K, 145};
    cfg.classes[1] = {k2M, 5};
    cfg.classes[2] = {k5M, 5};
    return cfg;
}

MM_CLASS_S class_info(uint32_t c) {
    MM_CLASS_S info{};
    EXPECT_EQ(MM_POOL_GetClassInfo(c, &info), 0);
    return info;
}

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        MM_POOL_Reset();
        cfg = camera_cfg();
        ASSERT_EQ(MM_POOL_Init(&cfg), 0);
    }
    void TearDown() override { MM_POOL_Reset(); }

    // Requests until the pool refuses; the buffers stay held.
    std::vector<MM_BUFFER_S*> take(uint64_t size, size_t n) {
        std::vector<MM_BUFFER_S*> held;
        for (size_t i = 0; i < n; ++i) {
            MM_BUFFER_S* b = MM_BUFFER_Request(size);
            EXPECT_NE(b, nullptr) << "request " << i;
            if (b == nullptr) break;
            held.push_back(b);
        }
        return held;
    }
    static void give_back(std::vector<MM_BUFFER_S*>& held) {
        for (MM_BUFFER_S* b : held) EXPECT_EQ(MM_BUFFER_Release(b), 0);
        held.clear();
    }

    MM_POOL_CFG_S cfg{};
};

TEST(PoolLifecycleTest, UninitialisedAndInvalidConfigurations) {
    MM_POOL_Reset();
    EXPECT_EQ(MM_BUFFER_Request(100), nullptr);
    MM_BUFFER_S stray{};
    EXPECT_EQ(MM_BUFFER_Release(&stray), -3);
    EXPECT_EQ(MM_BUFFER_Release(nullptr), -3);

    EXPECT_EQ(MM_POOL_Init(nullptr), -4);
    MM_POOL_CFG_S cfg{};
    EXPECT_EQ(MM_POOL_Init(&cfg), -4);  // class count 0
    cfg.classCnt = MM_POOL_MAX_CLASS + 1;
    EXPECT_EQ(MM_POOL_Init(&cfg), -4);
    EXPECT_EQ(MM_POOL_Exit(nullptr), 0);  // never initialised
    EXPECT_EQ(MM_BUFFER_Request(100), nullptr);
}

TEST_F(PoolTest, LayoutOfRecordsAndClasses) {
    uint32_t index = 0;
    for (uint32_t c = 0; c < cfg.classCnt; ++c) {
        const MM_CLASS_S info = class_info(c);
        EXPECT_EQ(info.index, c);
        EXPECT_EQ(info.total, cfg.classes[c].blkCnt);
        EXPECT_EQ(info.freeCnt, info.total);
        EXPECT_EQ(info.usedCnt, 0u);
        for (uint32_t b = 0; b < info.total; ++b, ++index) {
            const MM_BUFFER_S& rec = info.first[b];
            EXPECT_EQ(rec.index, index);
            EXPECT_EQ(rec.classId, c);
            EXPECT_EQ(rec.capacity, cfg.classes[c].blkSize);
            EXPECT_NE(rec.memory, nullptr);
            EXPECT_EQ(rec.data, rec.memory);
            EXPECT_EQ(rec.flags, 0u);
        }
    }
    EXPECT_EQ(index, 155u);
    MM_CLASS_S info{};
    EXPECT_EQ(MM_POOL_GetClassInfo(3, &info), -1);
}

TEST_F(PoolTest, RequestTakesTheSmallestSufficientClass) {
    struct Case {
        uint64_t size;
        int classId;  // -1: refused
    };
    const Case cases[] = {
        {1, 0},       {1000, 0}, {k800K, 0},    {k800K + 1, 1}, {k2M, 1},
        {k2M + 1, 2}, {k5M, 2},  {k5M + 1, -1}, {0, -1},
    };
    for (const Case& c : cases) {
        MM_BUFFER_S* b = MM_BUFFER_Request(c.size);
        if (c.classId < 0) {
            EXPECT_EQ(b, nullptr) << c.size;
            continue;
        }
        ASSERT_NE(b, nullptr) << c.size;
        EXPECT_EQ(b->classId, static_cast<uint32_t>(c.classId)) << c.size;
        EXPECT_GE(b->capacity, c.size);
        EXPECT_EQ(b->flags & MM_BUFFER_FLAG_USED, MM_BUFFER_FLAG_USED);
        EXPECT_EQ(MM_BUFFER_Release(b), 0);
    }
}

TEST(PoolSelectionTest, ListingOrderOnlyBreaksTies) {
    MM_POOL_Reset();
    MM_POOL_CFG_S cfg{};
    cfg.classCnt = 4;
    cfg.classes[0] = {k5M, 1};
    cfg.classes[1] = {4096, 1};
    cfg.classes[2] = {4096, 1};
    cfg.classes[3] = {200, 0};  // a class without blocks is never chosen
    ASSERT_EQ(MM_POOL_Init(&cfg), 0);
    MM_BUFFER_S* a = MM_BUFFER_Request(100);
    MM_BUFFER_S* b = MM_BUFFER_Request(100);
    MM_BUFFER_S* c = MM_BUFFER_Request(100);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->classId, 1u);  // smallest block, first of the tie
    EXPECT_EQ(b->classId, 2u);
    EXPECT_EQ(c->classId, 0u);
    EXPECT_EQ(MM_BUFFER_Request(1), nullptr);
    MM_POOL_Reset();
}

TEST_F(PoolTest, ExhaustionSpillsToLargerClassesThenFails) {
    std::vector<MM_BUFFER_S*> class0 = take(1000, 145);
    EXPECT_EQ(class_info(0).freeCnt, 0u);
    EXPECT_EQ(class_info(0).usedCnt, 145u);

    std::vector<MM_BUFFER_S*> class1 = take(1000, 5);
    for (MM_BUFFER_S* b : class1) EXPECT_EQ(b->classId, 1u);
    std::vector<MM_BUFFER_S*> class2 = take(1000, 5);
    for (MM_BUFFER_S* b : class2) EXPECT_EQ(b->classId, 2u);
    EXPECT_EQ(MM_BUFFER_Request(1000), nullptr);
    EXPECT_EQ(MM_BUFFER_Request(1), nullptr);

    // A released block is found again: the lowest free record of its class.
    MM_BUFFER_S* freed = class0[17];
    freed->length = 123;
    ASSERT_EQ(MM_BUFFER_Release(freed), 0);
    EXPECT_EQ(freed->next, nullptr);
    EXPECT_EQ(freed->length, 123u);  // left for the next user to overwrite
    EXPECT_EQ(class_info(0).freeCnt, 1u);
    EXPECT_EQ(MM_BUFFER_Request(10), freed);

    give_back(class0);
    give_back(class1);
    give_back(class2);
    for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(class_info(c).freeCnt, cfg.classes[c].blkCnt);
        EXPECT_EQ(class_info(c).usedCnt, 0u);
    }
}

TEST_F(PoolTest, BadReleasesAreRefusedWithoutTouchingTheCounts) {
    MM_BUFFER_S* b = MM_BUFFER_Request(100);
    ASSERT_NE(b, nullptr);
    b->next = b;  // as if it were still linked in a queue
    EXPECT_EQ(MM_BUFFER_Release(b), 0);
    EXPECT_EQ(b->next, nullptr);

    MM_BUFFER_S foreign{};
    foreign.flags = MM_BUFFER_FLAG_USED;
    const struct {
        const char* what;
        MM_BUFFER_S* record;
    } bad[] = {{"null", nullptr},
               {"second release", b},
               {"not from the pool", &foreign},
               {"inside a record", reinterpret_cast<MM_BUFFER_S*>(reinterpret_cast<char*>(b) + 8)}};
    for (const auto& c : bad) EXPECT_EQ(MM_BUFFER_Release(c.record), -4) << c.what;
    EXPECT_EQ(class_info(0).freeCnt, 145u);
    EXPECT_EQ(class_info(0).usedCnt, 0u);
}

TEST_F(PoolTest, SecondInitAndExitLeaveThePoolInPlace) {
    MM_BUFFER_S* held = MM_BUFFER_Request(100);
    ASSERT_NE(held, nullptr);
    MM_POOL_CFG_S other{};
    other.classCnt = 1;
    other.classes[0] = {64, 1};
    EXPECT_EQ(MM_POOL_Init(&other), -1);
    EXPECT_EQ(class_info(0).total, 145u);
    EXPECT_EQ(class_info(0).usedCnt, 1u);

    EXPECT_EQ(MM_POOL_Exit(&cfg), 0);
    MM_BUFFER_S* after = MM_BUFFER_Request(k2M);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(MM_BUFFER_Release(after), 0);
    EXPECT_EQ(MM_BUFFER_Release(held), 0);
}

// Threads that request, stamp, check and release: a block handed to two
// holders at once, or lost counts, show up here.
TEST_F(PoolTest, ConcurrentHoldersNeverShareABlock) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &clashes] {
            for (int i = 0; i < kRounds; ++i) {
                const uint64_t size = (i % 7 == 0) ? k2M : 1000;
                MM_BUFFER_S* b = MM_BUFFER_Request(size);
                if (b == nullptr) continue;
                const uint64_t stamp = (static_cast<uint64_t>(t) << 32) | static_cast<uint32_t>(i);
                memcpy(b->data, &stamp, sizeof stamp);
                std::this_thread::yield();
                uint64_t seen = 0;
                memcpy(&seen, b->data, sizeof seen);
                if (seen != stamp) clashes.fetch_add(1);
                if (MM_BUFFER_Release(b) != 0) clashes.fetch_add(1);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(clashes.load(), 0);
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(class_info(c).freeCnt, cfg.classes[c].blkCnt);
}

}  // namespace
