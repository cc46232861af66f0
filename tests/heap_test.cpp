#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "net/private_heap.h"
#include "net/records.h"
#include "net/service.h"

using namespace lumesk::net;

TEST(PrivateHeap, CreateOnceAllocZeroedFreeClears) {
    PrivateHeap heap;
    EXPECT_EQ(heap.alloc(16), nullptr);  // no heap yet
    ASSERT_TRUE(heap.create());
    auto* first = heap.handle();
    EXPECT_FALSE(heap.create());
    EXPECT_FALSE(heap.useProcessHeap());
    EXPECT_EQ(heap.handle(), first);

    void* block = heap.alloc(64);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<unsigned char*>(block)[i], 0);
    EXPECT_EQ(heap.liveBlocks(), 1u);
    EXPECT_TRUE(heap.free(block));
    EXPECT_EQ(block, nullptr);
    EXPECT_FALSE(heap.free(block));
    EXPECT_EQ(heap.liveBlocks(), 0u);
    heap.release();
    EXPECT_EQ(heap.handle(), nullptr);
}

// Buffer-sized blocks are reused once freed: a zero-filled one must still
// come zeroed after a dirty one went back, and the count of live blocks stays
// exact while threads allocate and free across each other.
TEST(PrivateHeap, ReusedBuffersComeZeroedWhenAskedAndCountsStayExact) {
    PrivateHeap heap;
    ASSERT_TRUE(heap.create());
    for (std::size_t size : {std::size_t{4096}, std::size_t{20480 + 200}, std::size_t{24 << 10}}) {
        void* dirty = heap.allocBuffer(size);
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xAB, size);
        ASSERT_TRUE(heap.free(dirty));
        auto* clean = static_cast<unsigned char*>(heap.alloc(size));
        ASSERT_NE(clean, nullptr);
        std::size_t nonZero = 0;
        for (std::size_t i = 0; i < size; ++i) nonZero += clean[i] != 0;
        EXPECT_EQ(nonZero, 0u) << size;
        void* p = clean;
        ASSERT_TRUE(heap.free(p));
    }
    constexpr int kRounds = 2000;
    std::vector<std::vector<void*>> handed(2);
    std::thread a([&] {
        for (int i = 0; i < kRounds; ++i) handed[0].push_back(heap.allocBuffer(20480 + 100));
    });
    std::thread b([&] {
        for (int i = 0; i < kRounds; ++i) handed[1].push_back(heap.alloc(100 + i));
    });
    a.join();
    b.join();
    EXPECT_EQ(heap.liveBlocks(), 2u * kRounds);
    std::thread c([&] {
        for (void* p : handed[1]) EXPECT_TRUE(heap.free(p));
    });
    for (void* p : handed[0]) EXPECT_TRUE(heap.free(p));
    c.join();
    EXPECT_EQ(heap.liveBlocks(), 0u);
    heap.release();  // with blocks kept for reuse: the sanitizer builds see none leak
}

TEST(PrivateHeap, ProcessHeapSurvivesRelease) {
    PrivateHeap heap;
    ASSERT_TRUE(heap.useProcessHeap());
    EXPECT_TRUE(heap.isProcessHeap());
    auto* processHeap = heap.handle();
    heap.release();
    EXPECT_EQ(heap.handle(), processHeap);
    void* block = heap.alloc(8);  // still usable
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(heap.free(block));
}

TEST(Records, NullRecordsReadZeroAndIgnoreWrites) {
    IoRecord* none = nullptr;
    EXPECT_EQ(tag(none), 0);
    EXPECT_EQ(opType(none), 0);
    EXPECT_EQ(socket(none), lumesk::platform::kNoSocket);
    EXPECT_EQ(readBytes(none, 0), 0);
    EXPECT_EQ(addBytes(none, 1, 5), 0);
    setTag(none, 3);
    setOpType(none, OP_RECV);
    setUserValue(none, 9);
    EXPECT_EQ(userValue(none), 0);
}

TEST(Records, CountersAndReferences) {
    ServiceContext ctx;
    ASSERT_TRUE(ctx.heap.create());
    IoRecord* record = ctx.allocRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->bufLen, BUFFER_SIZE);
    EXPECT_NE(record->peerBlock, nullptr);
    EXPECT_EQ(addBytes(record, 0, 100), 100);
    EXPECT_EQ(addBytes(record, 0, 0), 100);
    EXPECT_EQ(addBytes(record, 1, 7), 7);
    EXPECT_EQ(readBytes(record, 0), 100);
    EXPECT_EQ(readBytes(record, 1), 7);

    // A send holds its connection: the record outlives the service's reference.
    const char data[] = "abc";
    SendRecord* send = ctx.allocSendRecord(record, data, 3);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send->parent, record);
    EXPECT_EQ(std::string(send->buf, send->bufLen), "abc");
    ctx.releaseRecord(record);
    EXPECT_EQ(record->refs.load(), 1);  // still readable: the send holds it
    ctx.freeSendRecord(send);
    EXPECT_EQ(ctx.heap.liveBlocks(), 0u);
}
