// Internal to the POSIX layer: an operation waiting on a socket, kept in the
// caller's Overlapped, and the queues they wait in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace lumesk::platform::posix {

// Lives inside the caller's Overlapped storage: posting an operation allocates nothing.
struct PendingOp {
    PendingOp* next = nullptr;
    char* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    Socket target = kNoSocket;  // accept: the socket that receives the connection
    unsigned char* peerBlock = nullptr;
    CompletionPort* port = nullptr;
    std::uintptr_t key = 0;
};
static_assert(sizeof(PendingOp) <= sizeof(Overlapped::storage));

inline PendingOp* opOf(Overlapped* overlapped) {
    return reinterpret_cast<PendingOp*>(overlapped->storage);
}
inline Overlapped* overlappedOf(PendingOp* op) {
    return reinterpret_cast<Overlapped*>(reinterpret_cast<unsigned char*>(op) -
                                         offsetof(Overlapped, storage));
}

// FIFO of pending operations, linked through PendingOp::next.
struct OpQueue {
    PendingOp* head = nullptr;
    PendingOp* tail = nullptr;
    bool empty() const { return head == nullptr; }
    void push(PendingOp* op) {
        op->next = nullptr;
        if (tail) {
            tail->next = op;
        } else {
            head = op;
        }
        tail = op;
    }
    PendingOp* pop() {
        PendingOp* op = head;
        if (op) {
            head = op->next;
            if (!head) tail = nullptr;
            op->next = nullptr;
        }
        return op;
    }
    bool remove(PendingOp* op) {
        PendingOp* prev = nullptr;
        for (PendingOp* p = head; p; prev = p, p = p->next) {
            if (p != op) continue;
            (prev ? prev->next : head) = p->next;
            if (tail == p) tail = prev;
            p->next = nullptr;
            return true;
        }
        return false;
    }
};

}  // namespace lumesk::platform::posix
