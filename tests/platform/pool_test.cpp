#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"

namespace {

using namespace kald::host;

// Tags as the platform forms them: four characters, the first in the low byte.
constexpr ULONG TagWdm = 0x206D6457;  // "Wdm "
constexpr ULONG TagTest = 0x74736554; // "Test"

class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetPool(); }
    void TearDown() override { ResetPool(); }
};

TEST_F(PoolTest, AccountsBytesAndBlocksPerTag)
{
    const PoolStatistics before = PoolStats();
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, TagWdm);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 50, TagTest);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 30, TagTest);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);

    EXPECT_EQ(PoolBytesInUse(TagWdm), 100u);
    EXPECT_EQ(PoolAllocationsInUse(TagWdm), 1u);
    EXPECT_EQ(PoolBytesInUse(TagTest), 80u);
    EXPECT_EQ(PoolAllocationsInUse(TagTest), 2u);
    PoolStatistics stats = PoolStats();
    EXPECT_EQ(stats.bytesInUse - before.bytesInUse, 180u);
    EXPECT_EQ(stats.allocationsInUse - before.allocationsInUse, 3u);
    EXPECT_EQ(stats.allocationCount, 3u);

    ExFreePool(b);
    EXPECT_EQ(PoolBytesInUse(TagTest), 30u);
    EXPECT_EQ(PoolAllocationsInUse(TagTest), 1u);
    EXPECT_EQ(PoolBytesInUse(TagWdm), 100u);

    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ(PoolBytesInUse(TagWdm), 0u);
    EXPECT_EQ(PoolAllocationsInUse(TagWdm), 0u);
    EXPECT_EQ(PoolBytesInUse(TagTest), 0u);
    stats = PoolStats();
    EXPECT_EQ(stats.bytesInUse, before.bytesInUse);
    EXPECT_EQ(stats.allocationsInUse, before.allocationsInUse);
    EXPECT_EQ(stats.allocationCount, 3u); // successful allocations, not live ones
    EXPECT_EQ(stats.badFrees, 0u);
}

TEST_F(PoolTest, BlocksAreAlignedDistinctAndNotZeroed)
{
    // Sizes around the alignment and the driver's buffer sizes.
    const SIZE_T sizes[] = {0, 1, 3, 15, 16, 17, 100, 4097, 116864};
    std::vector<PVOID> blocks;
    for (SIZE_T size : sizes) {
        SCOPED_TRACE(size);
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, TagTest);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        // Fresh pool is not cleared: every byte holds the fill pattern.
        const UCHAR* bytes = static_cast<const UCHAR*>(p);
        for (SIZE_T i = 0; i < size; ++i) {
            ASSERT_EQ(bytes[i], 0xC5) << "byte " << i;
        }
        for (PVOID other : blocks) {
            EXPECT_NE(p, other);
        }
        blocks.push_back(p);
    }
    EXPECT_EQ(PoolBytesInUse(TagTest), 0u + 1 + 3 + 15 + 16 + 17 + 100 + 4097 + 116864);
    for (PVOID p : blocks) {
        ExFreePool(p);
    }
    EXPECT_EQ(PoolAllocationsInUse(TagTest), 0u);
}

TEST_F(PoolTest, LimitRefusesAllocationsBeyondIt)
{
    const size_t base = PoolStats().bytesInUse;
    SetPoolLimit(base + 1000);

    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 600, TagTest);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 401, TagTest), nullptr); // 1001 > 1000
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 400, TagTest);           // exactly 1000
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, TagWdm), nullptr); // all tags count
    EXPECT_EQ(PoolStats().failedCount, 2u);
    EXPECT_EQ(PoolStats().allocationCount, 2u);
    EXPECT_EQ(PoolBytesInUse(TagTest), 1000u);

    ExFreePool(a);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 600, TagTest);
    EXPECT_NE(c, nullptr);

    SetPoolLimit(std::nullopt);
    PVOID d = ExAllocatePoolWithTag(NonPagedPool, 100000, TagTest);
    EXPECT_NE(d, nullptr);
    ExFreePool(b);
    ExFreePool(c);
    ExFreePool(d);
}

TEST_F(PoolTest, ArmedFailureHitsExactlyTheNthCall)
{
    struct Case {
        size_t n;        // armed call
        size_t failedAt; // 1-based call that returns NULL, 0 = none
    };
    const Case cases[] = {
        {1, 1}, {3, 3}, {5, 5}, {6, 0}, // beyond the five calls made
        {0, 0},                         // cancelled
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        ResetPool();
        FailPoolAllocation(c.n);
        std::vector<PVOID> blocks;
        for (size_t call = 1; call <= 5; ++call) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, TagTest);
            EXPECT_EQ(p == nullptr, call == c.failedAt) << "call " << call;
            if (p != nullptr) {
                blocks.push_back(p);
            }
        }
        const size_t failures = c.failedAt != 0 ? 1 : 0;
        EXPECT_EQ(PoolStats().failedCount, failures);
        EXPECT_EQ(PoolStats().allocationCount, 5 - failures);
        for (PVOID p : blocks) {
            ExFreePool(p);
        }
    }
}

TEST_F(PoolTest, ArmedFailureCountsRefusedCallsAndFiresOnce)
{
    SetPoolLimit(PoolStats().bytesInUse + 64);
    FailPoolAllocation(2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 65, TagTest), nullptr); // limit; call 1
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, TagTest), nullptr);  // armed; call 2
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, TagTest);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, TagTest);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(PoolStats().failedCount, 2u);
    ExFreePool(a);
    ExFreePool(b);
}

TEST_F(PoolTest, BadFreesAreCountedAndChangeNothing)
{
    PVOID live = ExAllocatePoolWithTag(NonPagedPool, 32, TagTest);
    ASSERT_NE(live, nullptr);
    int onStack = 0;
    PVOID freed = ExAllocatePoolWithTag(NonPagedPool, 16, TagTest);
    ASSERT_NE(freed, nullptr);
    ExFreePool(freed);

    ExFreePool(nullptr);                        // NULL
    ExFreePool(&onStack);                       // never from the pool
    ExFreePool(freed);                          // twice
    ExFreePool(static_cast<UCHAR*>(live) + 16); // inside a live block
    EXPECT_EQ(PoolStats().badFrees, 4u);
    EXPECT_EQ(PoolBytesInUse(TagTest), 32u);
    EXPECT_EQ(PoolAllocationsInUse(TagTest), 1u);

    ExFreePool(live);
    EXPECT_EQ(PoolAllocationsInUse(TagTest), 0u);
    EXPECT_EQ(PoolStats().badFrees, 4u);
}

TEST_F(PoolTest, ResetForgetsCountersLimitAndFaultButKeepsLiveBlocks)
{
    PVOID live = ExAllocatePoolWithTag(NonPagedPool, 48, TagTest);
    ASSERT_NE(live, nullptr);
    ExFreePool(nullptr);
    SetPoolLimit(0);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, TagTest), nullptr);
    FailPoolAllocation(1);

    ResetPool();
    const PoolStatistics stats = PoolStats();
    EXPECT_EQ(stats.allocationCount, 0u);
    EXPECT_EQ(stats.failedCount, 0u);
    EXPECT_EQ(stats.badFrees, 0u);
    EXPECT_EQ(PoolBytesInUse(TagTest), 48u);
    PVOID next = ExAllocatePoolWithTag(NonPagedPool, 1, TagTest); // no limit, no fault
    EXPECT_NE(next, nullptr);
    ExFreePool(next);
    ExFreePool(live);
    EXPECT_EQ(PoolStats().badFrees, 0u);
}

TEST_F(PoolTest, ConcurrentAllocationsKeepTheBooks)
{
    constexpr int Rounds = 2000;
    const ULONG tags[] = {0x31545354, 0x32545354}; // "TST1", "TST2"
    auto worker = [](ULONG tag) {
        for (int i = 0; i < Rounds; ++i) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, SIZE_T(1 + i % 64), tag);
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
    };
    std::thread first(worker, tags[0]);
    std::thread second(worker, tags[1]);
    first.join();
    second.join();
    EXPECT_EQ(PoolStats().allocationCount, size_t(2 * Rounds));
    EXPECT_EQ(PoolStats().badFrees, 0u);
    for (ULONG tag : tags) {
        EXPECT_EQ(PoolBytesInUse(tag), 0u);
        EXPECT_EQ(PoolAllocationsInUse(tag), 0u);
    }
}

} // namespace
