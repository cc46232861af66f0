// Records and their lifetime (the rule is at the top of records.h), and the
// lists the context keeps of listeners and ports.
#include <algorithm>
#include <cstring>
#include <new>

#include "net/service.h"

namespace lumesk::net {

IoRecord* ServiceContext::allocRecord(bool withBuffer) {
    void* memory = heap.alloc(sizeof(IoRecord));
    if (!memory) return nullptr;
    auto* record = new (memory) IoRecord;
    record->serial = nextSerial_.fetch_add(1, std::memory_order_relaxed) + 1;
    record->peerBlock = static_cast<unsigned char*>(heap.alloc(platform::kPeerBlockSize));
    if (withBuffer) giveBuffer(record);
    return record;
}

IoRecord* ServiceContext::allocListener() {
    void* memory = heap.alloc(sizeof(IoRecord));
    if (!memory) return nullptr;
    return new (memory) IoRecord;
}

bool ServiceContext::giveBuffer(IoRecord* record) {
    if (!record) return false;
    if (!record->buf) {
        record->buf = static_cast<char*>(heap.allocBuffer(BUFFER_SIZE));
        if (!record->buf) return false;
    }
    record->bufLen = BUFFER_SIZE;
    return true;
}

SendRecord* ServiceContext::allocSendRecord(IoRecord* connection, const char* data,
                                            std::uint32_t bytes) {
    if (!connection || !data) return nullptr;
    // The copy lives right behind the record: one allocation per chunk.
    void* memory = heap.allocBuffer(sizeof(SendRecord) + bytes);
    if (!memory) return nullptr;
    auto* record = new (memory) SendRecord;
    record->opType = OP_SEND;
    record->buf = reinterpret_cast<char*>(record + 1);
    std::memcpy(record->buf, data, bytes);
    record->bufLen = bytes;
    record->total = bytes;
    connection->queuedBytes.fetch_add(bytes);
    record->socket = connection->socket.load();
    record->parent = connection;
    retain(connection);
    return record;
}

void ServiceContext::retain(IoRecord* record) {
    if (record) record->refs.fetch_add(1, std::memory_order_relaxed);
}

void ServiceContext::releaseRecord(IoRecord* record) {
    if (record && record->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        freeConnection(record);
    }
}

void ServiceContext::freeConnection(IoRecord* record) {
    IoRecord* owner = record->parent;
    releaseRecord(record->partner.exchange(nullptr));
    releaseRecord(record->pausedSource.exchange(nullptr));
    if (RecordBase* watch = record->watch.exchange(nullptr)) {
        watch->~RecordBase();
        void* memory = watch;
        heap.free(memory);
    }
    heap.freeTyped(record->peerBlock);
    heap.freeTyped(record->buf);
    record->~IoRecord();
    void* memory = record;
    heap.free(memory);
    releaseRecord(owner);
}

void ServiceContext::freeSendRecord(SendRecord* record) {
    if (!record) return;
    settleSend(record);
    dropSend(record);
}

void ServiceContext::settleSend(SendRecord* record) {
    if (!record->settled.exchange(true)) sendsDone(record->parent, record->total);
}

void ServiceContext::dropSend(SendRecord* record) {
    if (record->holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    IoRecord* connection = record->parent;
    record->~SendRecord();
    void* memory = record;
    heap.free(memory);
    releaseRecord(connection);
}

std::int32_t ServiceContext::pendingAccepts(const IoRecord* listener) const {
    if (!listener) return 0;
    LockHold hold(globalLock);
    return listener->pendingAccepts;
}

void ServiceContext::setPendingAccepts(IoRecord* listener, std::int32_t value) {
    if (!listener) return;
    LockHold hold(globalLock);
    listener->pendingAccepts = value;
}

void ServiceContext::addPendingAccepts(IoRecord* listener, std::int32_t delta) {
    if (!listener) return;
    LockHold hold(globalLock);
    listener->pendingAccepts += delta;
}

void ServiceContext::addListener(IoRecord* listener) {
    LockHold hold(globalLock);
    listenerList_.push_back(listener);
}

void ServiceContext::removeListener(IoRecord* listener) {
    LockHold hold(globalLock);
    auto it = std::find(listenerList_.begin(), listenerList_.end(), listener);
    if (it != listenerList_.end()) listenerList_.erase(it);
}

std::vector<IoRecord*> ServiceContext::listeners() const {
    LockHold hold(globalLock);
    return listenerList_;
}

platform::PortHandle ServiceContext::portToShare() const {
    std::lock_guard<std::mutex> hold(portsMutex_);
    return ports_.empty() ? nullptr : ports_.front();
}

void ServiceContext::addPort(platform::PortHandle port) {
    std::lock_guard<std::mutex> hold(portsMutex_);
    ports_.push_back(port);
}

void ServiceContext::removePort(platform::PortHandle port) {
    std::lock_guard<std::mutex> hold(portsMutex_);
    std::erase(ports_, port);
}

}  // namespace lumesk::net
