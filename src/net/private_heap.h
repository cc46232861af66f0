// A private heap and the process-wide locks of the socket service.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace lumesk::net {

class PrivateHeap {
  public:
    PrivateHeap() = default;
    ~PrivateHeap() = default;
    PrivateHeap(const PrivateHeap&) = delete;
    PrivateHeap& operator=(const PrivateHeap&) = delete;

    // Called when the object is discarded: destroys the heap unless it is the process heap.
    void release();
    bool useProcessHeap();
    bool create();
    platform::HeapHandle handle() const { return heap_; }
    void* alloc(std::size_t size);  // zero-filled
    // Not zero-filled: for buffers whose bytes are always written before they are read.
    void* allocBuffer(std::size_t size);
    // Frees *block and clears it; false (and *block kept) when there is nothing to free.
    bool free(void*& block);

    bool isProcessHeap() const { return isProcessHeap_; }
    std::size_t liveBlocks() const { return platform::heapLiveBlocks(heap_); }
    void compact() { platform::heapCompact(heap_); }

    template <typename T>
    bool freeTyped(T*& block) {
        void* p = block;
        const bool ok = free(p);
        if (ok) block = nullptr;
        return ok;
    }

  private:
    platform::HeapHandle heap_ = nullptr;
    bool isProcessHeap_ = false;
};

// A lock made by createLock. Locks live as long as the list that made them.
using Lock = std::mutex;

class LockList {
  public:
    Lock* createLock();
    std::size_t size() const;

  private:
    mutable std::mutex busy_;
    std::vector<std::unique_ptr<Lock>> locks_;
};

inline void enterLock(Lock* lock) {
    if (lock) lock->lock();
}
inline void leaveLock(Lock* lock) {
    if (lock) lock->unlock();
}

// Holds a possibly absent lock for a scope.
class LockHold {
  public:
    explicit LockHold(Lock* lock) : lock_(lock) { enterLock(lock_); }
    ~LockHold() { leaveLock(lock_); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

  private:
    Lock* lock_;
};

}  // namespace lumesk::net
