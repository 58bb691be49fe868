// The tracked heap: zeroed aligned blocks, numbering, live count, bad frees.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "run/heap.h"

using lumen::Heap;

TEST(Heap, BlocksAreZeroedAlignedAndNumberedInOrder) {
    Heap heap;
    std::vector<void*> blocks;
    for (uint64_t size : {0u, 1u, 15u, 16u, 17u, 48u, 4096u, 100000u}) {
        uint64_t id = 0;
        auto* p = static_cast<unsigned char*>(heap.allocate(size, id));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
        EXPECT_EQ(id, blocks.size() + 1);
        for (uint64_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << size << " at " << i;
        std::memset(p, 0xAB, size);  // dirty it, so that a reuse must zero again
        blocks.push_back(p);
    }
    EXPECT_EQ(heap.liveBlocks(), blocks.size());
    EXPECT_EQ(heap.liveBytes(), 0u + 1 + 15 + 16 + 17 + 48 + 4096 + 100000);
    // Zero-byte blocks are distinct.
    uint64_t a = 0, b = 0;
    void* z1 = heap.allocate(0, a);
    void* z2 = heap.allocate(0, b);
    EXPECT_NE(z1, z2);
    EXPECT_EQ(b, a + 1);

    for (void* p : blocks) {
        uint64_t id = 0;
        EXPECT_EQ(heap.release(p, id), Heap::Release::Freed);
    }
    EXPECT_EQ(heap.liveBlocks(), 2u);
    // Fresh blocks after the frees are zeroed again and numbered on.
    uint64_t id = 0;
    auto* again = static_cast<unsigned char*>(heap.allocate(4096, id));
    EXPECT_EQ(id, 11u);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(again[i], 0);
}

TEST(Heap, DoubleAndUnknownFreesAreReportedNotDone) {
    Heap heap;
    uint64_t id = 0;
    void* p = heap.allocate(32, id);
    void* q = heap.allocate(32, id);
    uint64_t freedId = 0;
    EXPECT_EQ(heap.release(p, freedId), Heap::Release::Freed);
    EXPECT_EQ(freedId, 1u);
    freedId = 0;
    EXPECT_EQ(heap.release(p, freedId), Heap::Release::AlreadyFreed);
    EXPECT_EQ(freedId, 1u);
    int onStack = 0;
    EXPECT_EQ(heap.release(&onStack, freedId), Heap::Release::Unknown);
    EXPECT_EQ(heap.release(static_cast<char*>(q) + 8, freedId), Heap::Release::Unknown);
    // The live block is untouched by all of it.
    EXPECT_EQ(heap.liveBlocks(), 1u);
    EXPECT_EQ(heap.idOf(q), 2u);
    EXPECT_EQ(heap.idOf(p), 0u);
    EXPECT_EQ(heap.release(q, freedId), Heap::Release::Freed);
    EXPECT_EQ(heap.liveBlocks(), 0u);
}

TEST(Heap, AReusedAddressIsLiveAgain) {
    // Once the system hands a freed address out again it names the new block, not the old.
    Heap heap;
    std::vector<void*> first(500);
    uint64_t id = 0;
    for (void*& p : first) p = heap.allocate(64, id);
    for (void* p : first) heap.release(p, id);
    std::vector<std::pair<void*, uint64_t>> second(500);
    for (auto& [p, n] : second) p = heap.allocate(64, n);
    const std::set<void*> old(first.begin(), first.end());
    int reused = 0;
    for (const auto& [p, n] : second) {
        uint64_t got = 0;
        reused += old.count(p) != 0;
        ASSERT_EQ(heap.release(p, got), Heap::Release::Freed);
        ASSERT_EQ(got, n);
        ASSERT_EQ(heap.release(p, got), Heap::Release::AlreadyFreed);
        ASSERT_EQ(got, n);
    }
    if (reused == 0) GTEST_SKIP() << "the allocator never reused an address";
}

TEST(Heap, OutOfMemoryGivesNull) {
    Heap heap;
    uint64_t id = 77;
    EXPECT_EQ(heap.allocate(Heap::kMaxBlock + 1, id), nullptr);
    EXPECT_EQ(heap.allocate(UINT64_MAX, id), nullptr);
    EXPECT_EQ(id, 77u);  // no number is taken by a failure
    heap.setLimit(1000);
    EXPECT_NE(heap.allocate(600, id), nullptr);
    EXPECT_EQ(heap.allocate(401, id), nullptr);
    EXPECT_NE(heap.allocate(400, id), nullptr);
    EXPECT_EQ(heap.allocate(1, id), nullptr);
    EXPECT_EQ(heap.liveBlocks(), 2u);
    EXPECT_EQ(heap.allocated(), 2u);
}
