// The private heap: the C heap, with a few buffer-sized blocks kept for reuse.
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/live_count.h"
#include "platform/platform.h"

namespace lumesk::platform {

// A relay allocates and frees a buffer-sized block for every chunk it passes
// on. The C heap hands such blocks' pages back to the system and faults them
// in again each time (a third of the relay's CPU), so a heap keeps a few
// blocks of that size class for reuse, as a Windows heap's free lists do.
constexpr std::size_t kKeptMin = 4096;
constexpr std::size_t kKeptSize = 24 << 10;
constexpr std::size_t kKeptMax = 256;

struct HeapObject {
    LiveCount live;
    bool process = false;
    std::mutex keptMutex;
    std::vector<void*> kept;

    ~HeapObject() {
        for (void* block : kept) std::free(block);
    }
    void* take() {
        std::lock_guard<std::mutex> lock(keptMutex);
        if (kept.empty()) return nullptr;
        void* block = kept.back();
        kept.pop_back();
        return block;
    }
    bool keep(void* block) {
        const std::size_t usable = ::malloc_usable_size(block);
        if (usable < kKeptSize || usable >= kKeptSize + kKeptMin) return false;
        std::lock_guard<std::mutex> lock(keptMutex);
        if (kept.size() >= kKeptMax) return false;
        kept.push_back(block);
        return true;
    }
};

HeapHandle heapCreate() {
    return new HeapObject;
}

HeapHandle processHeap() {
    static HeapObject* heap = [] {
        auto* h = new HeapObject;
        h->process = true;
        return h;
    }();
    return heap;
}

void heapDestroy(HeapHandle heap) {
    if (heap && !heap->process) delete heap;
}

void* heapAlloc(HeapHandle heap, std::size_t size, bool zeroed) {
    if (!heap) return nullptr;
    void* p = nullptr;
    if (size >= kKeptMin && size <= kKeptSize) {
        p = heap->take();
        if (!p) p = std::malloc(kKeptSize);
        if (p && zeroed) std::memset(p, 0, size);
    } else {
        p = zeroed ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
    }
    if (p) heap->live.add(1);
    return p;
}

bool heapFree(HeapHandle heap, void* block) {
    if (!heap || !block) return false;
    if (!heap->keep(block)) std::free(block);
    heap->live.add(-1);
    return true;
}

std::size_t heapLiveBlocks(HeapHandle heap) {
    return heap ? heap->live.read() : 0;
}

void heapCompact(HeapHandle heap) {
    if (!heap) return;
    std::vector<void*> blocks;
    {
        std::lock_guard<std::mutex> lock(heap->keptMutex);
        blocks.swap(heap->kept);
    }
    for (void* block : blocks) std::free(block);
    // Free pages the allocator still holds, in every thread's arena.
    ::malloc_trim(0);
}

}  // namespace lumesk::platform
