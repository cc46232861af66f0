#include "net/private_heap.h"

namespace lumesk::net {

void PrivateHeap::release() {
    if (isProcessHeap_ || !heap_) return;
    platform::heapDestroy(heap_);
    heap_ = nullptr;
}

bool PrivateHeap::useProcessHeap() {
    if (heap_) return false;
    heap_ = platform::processHeap();
    isProcessHeap_ = heap_ != nullptr;
    return heap_ != nullptr;
}

bool PrivateHeap::create() {
    if (heap_) return false;
    heap_ = platform::heapCreate();
    return heap_ != nullptr;
}

void* PrivateHeap::alloc(std::size_t size) {
    return heap_ ? platform::heapAlloc(heap_, size) : nullptr;
}

void* PrivateHeap::allocBuffer(std::size_t size) {
    return heap_ ? platform::heapAlloc(heap_, size, false) : nullptr;
}

bool PrivateHeap::free(void*& block) {
    if (!block || !heap_ || !platform::heapFree(heap_, block)) return false;
    block = nullptr;
    return true;
}

Lock* LockList::createLock() {
    std::lock_guard<std::mutex> hold(busy_);
    locks_.push_back(std::make_unique<Lock>());
    return locks_.back().get();
}

std::size_t LockList::size() const {
    std::lock_guard<std::mutex> hold(busy_);
    return locks_.size();
}

}  // namespace lumesk::net
