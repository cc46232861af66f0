#include <gtest/gtest.h>

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

TEST(PrivateHeap, ProcessHeapSurvivesRelease) {
    PrivateHeap heap;
    ASSERT_TRUE(heap.useProcessHeap());
    EXPECT_TRUE(heap.isProcessHeap());
    auto copy = heap.copy();
    EXPECT_EQ(copy->handle(), heap.handle());
    EXPECT_TRUE(copy->isProcessHeap());
    heap.release();
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
