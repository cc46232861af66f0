// The service's shared operations on records: posts, flow control,
// half-close and close (records and their lifetime are in records.cpp;
// what waits for a time, housekeeping.cpp; the workers, service.cpp).
#include <new>

#include "net/error_texts.h"
#include "net/service.h"

namespace lumesk::net {

namespace {

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
    housekeeping.stop();  // it holds records, which go back to the heap
    heap.release();
}

bool ServiceContext::startSockets() {
    if (!socketsStarted) socketsStarted = platform::startup() == 0;
    return socketsStarted;
}

void ServiceContext::sendsDone(IoRecord* connection, std::uint32_t bytes) {
    const std::int64_t left = connection->queuedBytes.fetch_sub(bytes) - bytes;
    if (left <= kSendLowWater) {
        if (IoRecord* source = connection->pausedSource.exchange(nullptr)) {
            if (source->drainPaused.exchange(false)) postReceive(source);
            releaseRecord(source);
        }
    }
    if (left != 0) return;
    const Output output = connection->output.load();
    if (output == Output::CloseWhenDrained) {
        closeSocketOf(connection);
    } else if (output == Output::EndWhenDrained) {
        shutdownSending(connection);
    }
}

bool ServiceContext::pauseIfPartnerFull(IoRecord* record) {
    IoRecord* target = record->partner.load();
    if (!target || target->queuedBytes.load() <= kSendHighWater) return false;
    retain(record);
    record->drainPaused = true;
    IoRecord* expected = nullptr;
    if (!target->pausedSource.compare_exchange_strong(expected, record)) {
        record->drainPaused = false;
        releaseRecord(record);
        return false;  // one source per target; never expected
    }
    // The target may have drained before it could see us: take ourselves back.
    if (target->queuedBytes.load() <= kSendLowWater) {
        expected = record;
        if (target->pausedSource.compare_exchange_strong(expected, nullptr)) {
            record->drainPaused = false;
            releaseRecord(record);
            return false;
        }
    }
    return true;
}

void ServiceContext::setPartner(IoRecord* record, IoRecord* partner) {
    if (!record) return;
    retain(partner);
    releaseRecord(record->partner.exchange(partner));
}

void ServiceContext::holdFirstReceive(IoRecord* record) {
    if (record) record->ownerPause = ReceivePause::Paused;
}

// Released, the receive runs again, as before any pause; bytes that came
// meanwhile are passed on now.
void ServiceContext::releaseFirstReceive(IoRecord* record) {
    if (!record ||
        record->ownerPause.exchange(ReceivePause::Running) != ReceivePause::BytesWaiting) {
        return;
    }
    receiveDone(record, record->pausedBytes);
}

void ServiceContext::receiveDone(IoRecord* record, std::uint32_t bytes) {
    if (record->ownerPause.load() == ReceivePause::Paused) {
        record->pausedBytes = bytes;
        ReceivePause expected = ReceivePause::Paused;
        if (record->ownerPause.compare_exchange_strong(expected, ReceivePause::BytesWaiting)) {
            return;
        }
    }
    if (record->callback) {
        record->callback(record->context, EV_RECEIVED, record, bytes, tag(record->parent));
    }
    addBytes(record, 0, bytes);
    addBytes(record->parent, 0, bytes);  // an accepted connection's listener
    if (pauseIfPartnerFull(record)) {
        watchPeer(record);
        return;
    }
    postReceive(record);
}

bool ServiceContext::stillPausedForDrain(IoRecord* record) {
    return record->drainPaused.load() && !record->closed.load();
}

void ServiceContext::watchPeer(IoRecord* record) {
    if (!record || record->watching.exchange(true)) return;
    RecordBase* watch = record->watch.load();
    if (!watch) {
        void* memory = heap.alloc(sizeof(RecordBase));
        if (!memory) {
            record->watching = false;  // unwatched, as a paused receive was before
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
    if (peerEnded && error == 0 && stillPausedForDrain(record)) {
        // The peer's end waits behind bytes nobody takes: the pair is
        // half-closed from here on, and bounded as such.
        IoRecord* partner = record->partner.load();
        if (partner && !partner->closed.load()) watchHalfClose(record, partner);
    }
    record->noteFailure(error);
    if (error != 0) {
        // The peer reset, or the socket was closed here: with no receive
        // standing, nothing else would end the record. Its close runs as a
        // failed receive's would; the drain that comes later posts nothing.
        if (record->drainPaused.exchange(false)) closeRecord(record);
    } else if (stillPausedForDrain(record)) {
        // Bytes wait (or the peer's end behind them): a watch posted now
        // would complete again at once, so it is posted after a pause.
        housekeeping.lookAgain(record);
    }
    releaseRecord(record);  // the watch's
}

void ServiceContext::watchHalfClose(IoRecord* record, IoRecord* partner) {
    if (record->halfWatched.exchange(true)) return;
    housekeeping.boundHalfClose(record, partner);
}

void ServiceContext::endOfInput(IoRecord* record) {
    // Nothing else closes the record while its own receive is being handled,
    // so it and its partner reference hold until its input has ended; from then
    // on the partner's end may close both, so each is held here.
    IoRecord* partner = record->partner.load();
    if (!partner || partner->closed.load()) {
        closeRecord(record);
        return;
    }
    retain(record);
    retain(partner);
    advance(record->input, Input::Ended);
    if (record->socketClosed.load()) {
        closeRecord(record);  // closed meanwhile, while a receive still stood for it
    } else {
        shutdownAfterSends(partner);
        if (partner->input.load() == Input::Ended) {
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
    advance(record->output, Output::EndWhenDrained);
    if (record->queuedBytes.load() == 0) shutdownSending(record);
}

void ServiceContext::shutdownSending(IoRecord* record) {
    if (advance(record->output, Output::Ended) >= Output::Ended || !enterSocket(record)) return;
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
    housekeeping.retryAccept(listener);
}

void ServiceContext::closeAfterSends(IoRecord* record, bool passReset) {
    if (!record) return;
    advance(record->output, Output::CloseWhenDrained);
    if (record->queuedBytes.load() == 0) {
        if (passReset && enterSocket(record)) {
            platform::resetOnClose(record->socket);
            leaveSocket(record);
        }
        closeSocketOf(record);
    } else if (!record->socketClosed.load()) {
        housekeeping.boundFlush(record);
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
    record->noteFailure(code);
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
    if (record->input.load() == Input::Ended) postEnd(record);
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
