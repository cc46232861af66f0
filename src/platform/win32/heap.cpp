// Windows side of the private heaps: Win32 heaps, with a count of the
// blocks still allocated.
#include <windows.h>

#include <new>

#include "platform/live_count.h"
#include "platform/platform.h"

namespace lumesk::platform {

struct HeapObject {
    HANDLE heap;
    bool process;
    LiveCount live;
};

HeapHandle heapCreate() {
    HANDLE heap = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0, 0);
    if (heap == nullptr) return nullptr;
    auto* object = new (std::nothrow) HeapObject{heap, false, {}};
    if (object == nullptr) HeapDestroy(heap);
    return object;
}

HeapHandle processHeap() {
    // One shared object: the process heap is never destroyed.
    static HeapObject object{GetProcessHeap(), true, {}};
    return object.heap != nullptr ? &object : nullptr;
}

void heapDestroy(HeapHandle heap) {
    if (heap == nullptr || heap->process) return;
    if (heap->heap != nullptr) HeapDestroy(heap->heap);
    delete heap;
}

void* heapAlloc(HeapHandle heap, std::size_t size, bool zeroed) {
    if (heap == nullptr || heap->heap == nullptr) return nullptr;
    void* block = HeapAlloc(heap->heap, zeroed ? HEAP_ZERO_MEMORY : 0, size);
    if (block != nullptr) heap->live.add(1);
    return block;
}

bool heapFree(HeapHandle heap, void* block) {
    if (heap == nullptr || heap->heap == nullptr || block == nullptr) return false;
    if (!HeapFree(heap->heap, 0, block)) return false;
    heap->live.add(-1);
    return true;
}

std::size_t heapLiveBlocks(HeapHandle heap) {
    return heap != nullptr ? heap->live.read() : 0;
}

void heapCompact(HeapHandle heap) {
    if (heap != nullptr && heap->heap != nullptr) HeapCompact(heap->heap, 0);
}

}  // namespace lumesk::platform
