// The service's shared state: records and their lifetime, posts, flow
// control, half-close and close, housekeeping (WnSocketService runs the
// workers, service.cpp).
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "net/error_texts.h"
#include "net/service.h"

namespace lumesk::net {

namespace {

constexpr auto kQuietLook = std::chrono::seconds(2);  // a heap still for this long is quiet

void closeTwice(platform::Socket s) {
    if (platform::closeSocket(s) != 0) platform::closeSocket(s);
}

// An accept that failed because its client reset before it completed (Windows
// reports these; the POSIX layer takes the next connection instead): nothing
// is short, so it is posted again at once, without a word.
bool clientWentAway(int code) {
    return code == platform::kErrConnReset || code == platform::kErrConnAborted ||
           code == platform::kErrNetReset;
}
// A bound for clients that keep resetting faster than accepts are posted.
constexpr int kAwayReposts = 16;

}  // namespace

ServiceContext::~ServiceContext() {
    {
        std::lock_guard<std::mutex> hold(houseMutex_);
        houseStopping_ = true;
    }
    houseChanged_.notify_all();
    if (house_.joinable()) house_.join();
    for (const Drain& d : drains_) releaseRecord(d.record);
    for (const Retry& r : retries_) releaseRecord(r.listener);
    for (const Look& l : looks_) releaseRecord(l.record);
    for (const HalfClose& h : halfCloses_) {
        releaseRecord(h.record);
        releaseRecord(h.partner);
    }
    heap.release();
}

bool ServiceContext::startSockets() {
    if (!socketsStarted) socketsStarted = platform::startup() == 0;
    return socketsStarted;
}

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
    releaseRecord(record->drainWaiter.exchange(nullptr));
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

void ServiceContext::sendsDone(IoRecord* connection, std::uint32_t bytes) {
    const std::int64_t left = connection->queuedBytes.fetch_sub(bytes) - bytes;
    if (left <= kSendLowWater) {
        if (IoRecord* source = connection->drainWaiter.exchange(nullptr)) {
            if (source->paused.exchange(false)) postReceive(source);
            releaseRecord(source);
        }
    }
    if (left != 0) return;
    if (connection->closeWhenDrained) {
        closeSocketOf(connection);
    } else if (connection->shutdownWhenDrained) {
        shutdownSending(connection);
    }
}

bool ServiceContext::mayReceive(IoRecord* record) {
    IoRecord* target = record->partner.load();
    if (!target || target->queuedBytes.load() <= kSendHighWater) return true;
    retain(record);
    record->paused = true;
    IoRecord* expected = nullptr;
    if (!target->drainWaiter.compare_exchange_strong(expected, record)) {
        record->paused = false;
        releaseRecord(record);
        return true;  // one source per target; never expected
    }
    // The target may have drained before it could see us: take ourselves back.
    if (target->queuedBytes.load() <= kSendLowWater) {
        expected = record;
        if (target->drainWaiter.compare_exchange_strong(expected, nullptr)) {
            record->paused = false;
            releaseRecord(record);
            return true;
        }
    }
    return false;
}

void ServiceContext::setPartner(IoRecord* record, IoRecord* partner) {
    if (!record) return;
    retain(partner);
    releaseRecord(record->partner.exchange(partner));
}

namespace {
// Held: the first receive's bytes wait; stashed: they came and wait in the
// record. Released, the gate is open again, as it was before any hold.
enum Gate : std::int32_t { kOpen = 0, kHeld = 1, kStashed = 2 };
}  // namespace

void ServiceContext::holdFirstReceive(IoRecord* record) {
    if (record) record->receiveGate = kHeld;
}

void ServiceContext::releaseFirstReceive(IoRecord* record) {
    if (!record || record->receiveGate.exchange(kOpen) != kStashed) return;
    receiveDone(record, record->heldBytes);
}

void ServiceContext::receiveDone(IoRecord* record, std::uint32_t bytes) {
    if (record->receiveGate.load() == kHeld) {
        record->heldBytes = bytes;
        std::int32_t expected = kHeld;
        if (record->receiveGate.compare_exchange_strong(expected, kStashed)) return;
    }
    if (record->callback) {
        record->callback(record->context, EV_RECEIVED, record, bytes, tag(record->parent));
    }
    addBytes(record, 0, bytes);
    addBytes(record->parent, 0, bytes);  // an accepted connection's listener
    if (!mayReceive(record)) {
        watchPeer(record);
        return;
    }
    postReceive(record);
}

bool ServiceContext::stillPaused(IoRecord* record) {
    return record->paused.load() && !record->closed.load();
}

void ServiceContext::watchPeer(IoRecord* record) {
    if (!record || record->watching.exchange(true)) return;
    RecordBase* watch = record->watch.load();
    if (!watch) {
        void* memory = heap.alloc(sizeof(RecordBase));
        if (!memory) {
            record->watching = false;  // unwatched, as a paused record was before
            return;
        }
        watch = new (memory) RecordBase;
        watch->opType = OP_WATCH;
        watch->parent = record;
        record->watch = watch;
    }
    retain(record);  // the watch's
    int code = platform::kErrNotSocket;
    if (enterSocket(record)) {
        code = platform::watchAsync(record->socket, &watch->overlapped);
        leaveSocket(record);
    }
    if (code == platform::kWatchPeerEnded) {
        watchEnded(record, 0, true);
    } else if (code != 0) {
        watchEnded(record, code);
    }
}

void ServiceContext::watchEnded(IoRecord* record, int error, bool peerEnded) {
    record->watching = false;
    if (peerEnded && error == 0 && stillPaused(record)) {
        // The peer's end waits behind bytes nobody takes: the pair is
        // half-closed from here on, and bounded as such.
        IoRecord* partner = record->partner.load();
        if (partner && !partner->closed.load()) watchHalfClose(record, partner);
    }
    if (error != 0) {
        // The peer reset, or the socket was closed here: with no receive
        // standing, nothing else would end the record. Its close runs as a
        // failed receive's would; the drain that comes later posts nothing.
        if (record->paused.exchange(false)) closeRecord(record);
    } else if (stillPaused(record)) {
        // Bytes wait (or the peer's end behind them): a watch posted now
        // would complete again at once, so it is posted after a pause.
        retain(record);
        {
            std::lock_guard<std::mutex> hold(houseMutex_);
            looks_.push_back({record, std::chrono::steady_clock::now() + pausedLook.load()});
        }
        wakeHousekeeping();
    }
    releaseRecord(record);  // the watch's
}

void ServiceContext::watchHalfClose(IoRecord* record, IoRecord* partner) {
    if (record->halfWatched.exchange(true)) return;
    retain(record);
    retain(partner);
    {
        std::lock_guard<std::mutex> hold(houseMutex_);
        halfCloses_.push_back({record, partner, -1, std::chrono::steady_clock::now()});
    }
    wakeHousekeeping();
}

void ServiceContext::endOfInput(IoRecord* record) {
    // Nothing else closes the record while its own receive is being handled,
    // so it and its partner reference hold until inputEnded is set; from then
    // on the partner's end may close both, so each is held here.
    IoRecord* partner = record->partner.load();
    if (!partner || partner->closed.load()) {
        closeRecord(record);
        return;
    }
    retain(record);
    retain(partner);
    record->inputEnded = true;
    if (record->socketClosed.load()) {
        closeRecord(record);  // closed meanwhile, while a receive still stood for it
    } else {
        shutdownAfterSends(partner);
        if (partner->inputEnded.load()) {
            // Both directions have ended.
            closeAfterSends(record);
            closeAfterSends(partner);
        } else {
            watchHalfClose(record, partner);
        }
    }
    releaseRecord(partner);
    releaseRecord(record);
}

void ServiceContext::shutdownAfterSends(IoRecord* record) {
    record->shutdownWhenDrained = true;
    if (record->queuedBytes.load() == 0) shutdownSending(record);
}

void ServiceContext::shutdownSending(IoRecord* record) {
    if (record->sendShut.exchange(true) || !enterSocket(record)) return;
    platform::shutdownSend(record->socket);
    leaveSocket(record);
}

void ServiceContext::postEnd(IoRecord* record) {
    if (record->closed.load()) return;
    retain(record);  // the packet's
    if (!record->port || !platform::postPacket(record->port, 0, kEndKey, &record->overlapped)) {
        releaseRecord(record);
    }
}

void ServiceContext::acceptFailed(IoRecord* listener, int code) {
    if (!listener || listener->socketClosed.load()) return;
    for (int i = 0; i < kAwayReposts && clientWentAway(code); ++i) {
        if (postAccept(listener, &code) || listener->socketClosed.load()) return;
    }
    if (!clientWentAway(code) && !listener->acceptsFailing.exchange(true) && listener->callback) {
        listener->callback(listener->context, EV_ACCEPT_FAILED, listener,
                           static_cast<std::uint32_t>(code), tag(listener));
    }
    retain(listener);
    {
        std::lock_guard<std::mutex> hold(houseMutex_);
        retries_.push_back({listener, std::chrono::steady_clock::now() + acceptBackoff.load()});
    }
    wakeHousekeeping();
}

void ServiceContext::watchDrain(IoRecord* record) {
    retain(record);
    {
        std::lock_guard<std::mutex> hold(houseMutex_);
        drains_.push_back({record, readBytes(record, 1), std::chrono::steady_clock::now()});
    }
    wakeHousekeeping();
}

void ServiceContext::startHousekeeping() {
    std::lock_guard<std::mutex> hold(houseMutex_);
    if (house_.joinable() || houseStopping_) return;
    try {
        house_ = std::thread([this] { housekeeping(); });
    } catch (const std::system_error&) {
        // Tried again at the next need.
    }
}

void ServiceContext::wakeHousekeeping() {
    startHousekeeping();
    houseChanged_.notify_all();
}

void ServiceContext::housekeeping() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> hold(houseMutex_);
    Clock::time_point nextQuietLook = Clock::now() + kQuietLook;
    std::size_t quietLive = 0;
    bool compacted = true;  // nothing to give back before any load
    while (!houseStopping_) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + std::chrono::hours(1);
        const std::chrono::milliseconds bound = flushBound.load();
        std::vector<IoRecord*> close;
        std::vector<IoRecord*> release;
        std::vector<IoRecord*> repost;
        std::vector<IoRecord*> look;
        const std::chrono::milliseconds halfBound = halfCloseBound.load();
        for (auto it = halfCloses_.begin(); it != halfCloses_.end();) {
            IoRecord* a = it->record;
            IoRecord* b = it->partner;
            const std::int64_t moved =
                readBytes(a, 0) + readBytes(a, 1) + readBytes(b, 0) + readBytes(b, 1);
            if (moved != it->moved) {
                it->moved = moved;
                it->progress = now;
            }
            if (a->socketClosed.load() || b->socketClosed.load()) {
                // Closing already, the flush bound included.
                release.push_back(a);
                release.push_back(b);
            } else if (now - it->progress >= halfBound) {
                close.push_back(a);
                close.push_back(b);
            } else {
                next = std::min(next, it->progress + halfBound);
                ++it;
                continue;
            }
            it = halfCloses_.erase(it);
        }
        // Entries waiting for a time: those due leave the list for `out`.
        auto takeDue = [&](auto& list, auto member, std::vector<IoRecord*>& out) {
            for (auto it = list.begin(); it != list.end();) {
                if (it->due <= now) {
                    out.push_back((*it).*member);
                    it = list.erase(it);
                } else {
                    next = std::min(next, it->due);
                    ++it;
                }
            }
        };
        takeDue(looks_, &Look::record, look);
        for (auto it = drains_.begin(); it != drains_.end();) {
            const std::int64_t sent = readBytes(it->record, 1);
            if (sent != it->sent) {
                it->sent = sent;
                it->progress = now;
            }
            if (it->record->socketClosed.load()) {
                release.push_back(it->record);
            } else if (now - it->progress >= bound) {
                close.push_back(it->record);
            } else {
                next = std::min(next, it->progress + bound);
                ++it;
                continue;
            }
            it = drains_.erase(it);
        }
        takeDue(retries_, &Retry::listener, repost);
        // A heap whose block count has stood still for a while has gone
        // quiet: what it kept after a load goes back to the system, once.
        if (now >= nextQuietLook) {
            const std::size_t live = heap.liveBlocks();
            if (live != quietLive) {
                quietLive = live;
                compacted = false;
            } else if (!compacted) {
                compacted = true;
                hold.unlock();
                heap.compact();
                hold.lock();
            }
            nextQuietLook = now + kQuietLook;
        }
        next = std::min(next, nextQuietLook);
        if (close.empty() && release.empty() && repost.empty() && look.empty()) {
            // Progress is looked at now and then, not at every send.
            auto lookAgain = [&](bool watching, Clock::duration within) {
                const auto every = std::min<Clock::duration>(within / 4, std::chrono::seconds(1));
                if (watching) next = std::min(next, now + every + std::chrono::milliseconds(1));
            };
            lookAgain(!drains_.empty(), bound);
            lookAgain(!halfCloses_.empty(), halfBound);
            houseChanged_.wait_until(hold, next);
            continue;
        }
        hold.unlock();
        for (IoRecord* record : close) {
            closeSocketOf(record);
            releaseRecord(record);
        }
        for (IoRecord* record : release) releaseRecord(record);
        for (IoRecord* record : look) {
            if (stillPaused(record)) watchPeer(record);
            releaseRecord(record);
        }
        for (IoRecord* listener : repost) {
            int code = 0;
            if (!listener->socketClosed.load() && !postAccept(listener, &code)) {
                acceptFailed(listener, code);
            }
            releaseRecord(listener);
        }
        hold.lock();
    }
}

void ServiceContext::closeAfterSends(IoRecord* record) {
    if (!record) return;
    record->closeWhenDrained = true;
    if (record->queuedBytes.load() == 0) {
        closeSocketOf(record);
    } else if (!record->socketClosed.load()) {
        watchDrain(record);
    }
}

int ServiceContext::postConnect(IoRecord* record, std::uint32_t addressNet,
                                std::uint16_t portHost) {
    if (!record) return platform::kErrInvalid;
    record->opType = OP_CONNECT;
    if (!enterSocket(record)) return platform::kErrNotSocket;
    const int code =
        platform::connectAsync(record->socket, addressNet, portHost, &record->overlapped);
    leaveSocket(record);
    return code;
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

bool ServiceContext::postAccept(IoRecord* listener, int* error) {
    if (!listener) return false;
    const platform::Socket s = platform::createSocket(true);
    if (s == platform::kNoSocket) {
        if (error) *error = platform::lastSocketError();
        return false;
    }
    // The buffer comes when the accept completes: a listener's idle accepts stay small.
    IoRecord* record = allocRecord(false);
    if (!record) {
        platform::closeSocket(s);
        if (error) *error = platform::kErrNoBufs;
        return false;
    }
    record->opType = OP_ACCEPT;
    record->socket = s;
    record->parent = listener;
    retain(listener);
    record->callback = listener->callback;
    record->context = listener->context;
    // Counted before it is posted, so a quick completion never drives it below 0.
    addPendingAccepts(listener, 1);
    int code = platform::kErrNotSocket;
    if (enterSocket(listener)) {
        code = platform::acceptAsync(listener->socket, s, record->peerBlock, &record->overlapped);
        leaveSocket(listener);
    }
    if (code == 0) return true;
    addPendingAccepts(listener, -1);
    closeRecord(record);
    if (error) *error = code;
    return false;
}

bool ServiceContext::postReceive(IoRecord* record, std::string* errorText) {
    if (!record) return false;
    int code = platform::kErrNotSocket;
    if (enterSocket(record)) {
        code = platform::receiveAsync(record->socket, record->buf, record->bufLen,
                                      &record->overlapped);
        leaveSocket(record);
    }
    if (code == 0) return true;
    if (errorText) *errorText = receiveErrorText(code);
    closeRecord(record);
    return false;
}

bool ServiceContext::postSend(SendRecord* record, std::string* errorText) {
    if (!record) return false;
    IoRecord* connection = record->parent;
    int code = platform::kErrNotSocket;
    bool sentAtOnce = false;
    record->holds.fetch_add(1, std::memory_order_relaxed);
    if (enterSocket(connection)) {
        code = platform::sendAsync(record->socket, record->buf + record->offset, record->bufLen,
                                   &record->overlapped, &sentAtOnce);
        if (code == platform::kErrNotSocket) {
            code = platform::sendAsync(record->socket, record->buf + record->offset, record->bufLen,
                                       &record->overlapped, &sentAtOnce);
        }
        leaveSocket(connection);
    }
    if (code != 0) {
        if (errorText) *errorText = sendErrorText(code);
        freeSendRecord(record);  // no completion comes
    } else if (sentAtOnce) {
        // The bytes are with the system: the source need not wait for the
        // completion to come round before it reads on.
        settleSend(record);
    }
    dropSend(record);
    return code == 0;
}

bool ServiceContext::sendCopy(IoRecord* connection, const char* data, std::uint32_t bytes,
                              std::string* errorText) {
    if (!connection || !data) return false;
    std::uint32_t taken = 0;
    int code = platform::kErrNotSocket;
    if (enterSocket(connection)) {
        code = platform::sendNow(connection->socket, data, bytes, taken);
        leaveSocket(connection);
    }
    // On a fault the posted send below meets it again and handles it as any
    // send does (a retry after WSAENOTSOCK, the error text).
    if (code != 0) taken = 0;
    if (taken > 0) {
        // Counted as a completed send would be; a connection of the client
        // instance has no parent, so only a listener's total moves with it.
        addBytes(connection, 1, taken);
        addBytes(connection->parent, 1, taken);
    }
    if (taken == bytes) return true;
    SendRecord* rest = allocSendRecord(connection, data + taken, bytes - taken);
    if (!rest) {
        if (errorText) *errorText = sendErrorText(platform::kErrNoBufs);
        return false;
    }
    return postSend(rest, errorText);
}

void ServiceContext::closeRecord(IoRecord* record) {
    if (!record || record->closed.exchange(true)) return;
    if (record->opType == OP_RECV && record->callback) {
        record->callback(record->context, EV_CLOSED, record, 0, tag(record->parent));
    }
    closeSocketOf(record);
    releaseRecord(record->partner.exchange(nullptr));  // pairs hold each other
    releaseRecord(record);
}

void ServiceContext::closeSocketOf(IoRecord* record) {
    if (!record || record->socketClosed.exchange(true)) return;
    // With a post under way, the last one out closes it (leaveSocket).
    if (record->socketUse.fetch_or(kCloseWanted) == 0) closeTwice(record->socket);
    // No receive is left to fail and end it: its end goes through the port,
    // so the close event never runs inside whoever closed the socket.
    if (record->inputEnded.load()) postEnd(record);
}

// The user holds a reference: once posted, the operation may complete and drop
// the record's last other reference before the poster has left.
bool ServiceContext::enterSocket(IoRecord* record) {
    if (!record) return false;
    std::uint32_t use = record->socketUse.load();
    do {
        if (use & kCloseWanted) return false;
    } while (!record->socketUse.compare_exchange_weak(use, use + 1));
    retain(record);
    return true;
}

void ServiceContext::leaveSocket(IoRecord* record) {
    if (record->socketUse.fetch_sub(1) == (kCloseWanted | 1)) closeTwice(record->socket);
    releaseRecord(record);
}

}  // namespace lumesk::net
