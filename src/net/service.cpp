// A service instance: its completion port, its workers and what each
// completion does (the shared state is ServiceContext, context.cpp).
#include "net/service.h"

#include <system_error>

#include "net/error_texts.h"

namespace lumesk::net {

namespace {

constexpr int kThreadCreateAttempts = 50;
constexpr auto kThreadRetryPause = std::chrono::milliseconds(20);

}  // namespace

WnSocketService::~WnSocketService() {
    stop();
}

bool WnSocketService::start(std::int32_t threadCount, bool threadCountGiven,
                            std::string& errorText) {
    if (!ctx_.startSockets()) {
        errorText = "初始化WnSocket服务 失败";
        return false;
    }
    if (port_) return true;
    const int processors = platform::processorCount();
    if (!ctx_.globalLock) ctx_.globalLock = ctx_.locks.createLock();
    if (!ctx_.globalLock) {
        errorText = "创建多线程许可证 失败";
        return false;
    }
    if (!ctx_.heap.handle() && !ctx_.heap.create()) {
        errorText = "创建堆句柄 失败";
        return false;
    }
    port_ = platform::createPort(ctx_.portToShare());
    if (!port_) {
        errorText = "创建完成端口句柄 失败";
        return false;
    }
    ctx_.addPort(port_);
    // Now, while threads and descriptors are to be had: it is needed most
    // when they are not.
    ctx_.housekeeping.start();
    const int count = threadCountGiven ? threadCount : 4 * processors;
    for (int i = 0; i < count; ++i) {
        bool made = false;
        for (int attempt = 0; attempt < kThreadCreateAttempts && !made; ++attempt) {
            try {
                threads_.emplace_back([this] { worker(); });
                made = true;
            } catch (const std::system_error&) {
                std::this_thread::sleep_for(kThreadRetryPause);
            }
        }
        if (!made) {
            errorText = "创建工作线程 失败";
            return false;
        }
        ++createdThreads_;
    }
    return true;
}

std::vector<std::string> WnSocketService::startAll(std::initializer_list<WnSocketService*> services,
                                                   std::int32_t threadCount) {
    std::vector<std::string> failures;
    for (WnSocketService* service : services) {
        std::string errorText;
        if (!service->start(threadCount, true, errorText)) failures.push_back(errorText);
    }
    return failures;
}

std::int32_t WnSocketService::threadStatus(std::int32_t kind) const {
    // Working first: a worker counts itself running before it ever works and
    // stops working before it stops running, so idle is never negative.
    const std::int32_t working = workingThreads_.load();
    const std::int32_t running = runningThreads_.load();
    switch (kind) {
        case 0:
            return running;
        case 1:
            return working;
        case 2:
            return std::max(running - working, 0);
        case 3:
            return port_ ? 1 : 0;
        default:
            return 0;
    }
}

std::int32_t WnSocketService::createdThreads() const {
    return createdThreads_.load();
}

bool WnSocketService::associate(platform::Socket socket) const {
    return port_ && platform::associate(socket, port_, 0);
}

bool WnSocketService::adopt(IoRecord* record) const {
    return adoptInto(record, port_);
}

bool WnSocketService::adoptInto(IoRecord* record, platform::PortHandle port) {
    if (!record || !port || !platform::associate(record->socket, port, 0)) return false;
    record->port = port;
    return true;
}

void WnSocketService::stop() {
    if (!port_) return;
    stopping_ = true;
    platform::postPacket(port_, 0, kExitKey, nullptr);
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
    ctx_.removePort(port_);
    platform::closePort(port_);
    port_ = nullptr;
}

void WnSocketService::worker() {
    std::this_thread::sleep_for(startDelay);
    ++runningThreads_;
    while (port_ && !stopping_) {
        platform::Completion c;
        const bool ok = platform::dequeue(port_, kWorkerWaitMs, c);
        if (ok && c.key == kExitKey) {
            // Leave and count down in one step, so exactly the last worker out
            // does not pass the packet on.
            if (--runningThreads_ > 0) platform::postPacket(port_, 0, kExitKey, nullptr);
            return;
        }
        if (!ok && !c.overlapped) {
            if (runningThreads_ > createdThreads_) break;
            continue;
        }
        ++workingThreads_;
        if (ok && c.key == kEndKey) {
            auto* record = static_cast<IoRecord*>(recordOf(c.overlapped));
            ctx_.closeRecord(record);
            ctx_.releaseRecord(record);  // the packet's
        } else if (ok) {
            dispatch(c.overlapped, c.bytes, c.port);
        } else {
            dispatchFailure(c.overlapped, c.error);
        }
        --workingThreads_;
    }
    --runningThreads_;
}

void WnSocketService::dispatch(platform::Overlapped* overlapped, std::uint32_t bytes,
                               platform::PortHandle port) {
    RecordBase* base = recordOf(overlapped);
    const std::int32_t op = base->opType;
    if (op == OP_WATCH) {
        ctx_.watchEnded(base->parent, 0, bytes > 0);
    } else if (op == OP_ACCEPT) {
        acceptCompleted(static_cast<IoRecord*>(base), port);
    } else if (op == OP_CONNECT) {
        connectCompleted(static_cast<IoRecord*>(base), 0);
    } else if (bytes > 0) {
        if (op == OP_RECV) receiveCompleted(static_cast<IoRecord*>(base), bytes);
        if (op == OP_SEND) sendCompleted(static_cast<SendRecord*>(base), bytes);
    } else if (op == OP_SEND) {
        ctx_.closeSocketOf(base->parent);
        ctx_.freeSendRecord(static_cast<SendRecord*>(base));
    } else if (op == OP_RECV) {
        ctx_.endOfInput(static_cast<IoRecord*>(base));
    } else {
        ctx_.closeRecord(static_cast<IoRecord*>(base));
    }
}

void WnSocketService::dispatchFailure(platform::Overlapped* overlapped, int error) {
    // The code is reported, and a reset passed on; nothing else branches on
    // it: platforms disagree on the others.
    RecordBase* base = recordOf(overlapped);
    if (base->opType == OP_WATCH) {
        ctx_.watchEnded(base->parent, error ? error : platform::kErrConnReset);
        return;
    }
    if (base->opType == OP_CONNECT) {
        connectCompleted(static_cast<IoRecord*>(base), error ? error : platform::kErrInvalid);
        return;
    }
    if (base->opType == OP_SEND) {
        ctx_.closeSocketOf(base->parent);
        ctx_.freeSendRecord(static_cast<SendRecord*>(base));
        return;
    }
    auto* record = static_cast<IoRecord*>(base);
    if (record->opType != OP_ACCEPT) {
        record->noteFailure(error);
        ctx_.closeRecord(record);
        return;
    }
    IoRecord* listener = record->parent;
    ctx_.retain(listener);
    ctx_.addPendingAccepts(listener, -1);
    ctx_.closeRecord(record);
    ctx_.acceptFailed(listener, error);
    ctx_.releaseRecord(listener);
}

void WnSocketService::acceptCompleted(IoRecord* record, platform::PortHandle port) {
    IoRecord* listener = record->parent;
    ctx_.retain(listener);  // the record may be gone before the replacement is posted
    bool ready = ctx_.enterSocket(listener);
    if (ready) {
        ready = platform::acceptFinish(socket(listener), record->socket, record->peerBlock) == 0;
        ctx_.leaveSocket(listener);
    }
    // Into the listener's port, whichever instance's worker took the accept.
    ready = ready && ctx_.giveBuffer(record) && adoptInto(record, port);
    if (ready) {
        if (listener->acceptsFailing.load()) listener->acceptsFailing = false;
        record->opType = OP_RECV;
        if (record->callback) {
            record->callback(record->context, EV_ACCEPTED, record, 0, tag(listener));
        }
        ctx_.postReceive(record);
    } else {
        ctx_.closeRecord(record);
    }
    ctx_.addPendingAccepts(listener, -1);
    int code = 0;
    if (!ctx_.postAccept(listener, &code) && !ctx_.postAccept(listener, &code)) {
        ctx_.acceptFailed(listener, code);
    }
    ctx_.releaseRecord(listener);
}

void WnSocketService::connectCompleted(IoRecord* record, int error) {
    if (error == 0) error = platform::connectFinish(record->socket);
    if (error != 0) {
        if (record->callback) {
            record->callback(record->context, EV_CONNECT_FAILED, record,
                             static_cast<std::uint32_t>(error), 0);
        }
        ctx_.closeRecord(record);  // silent: not live
        return;
    }
    record->opType = OP_RECV;
    if (record->callback) {
        record->callback(record->context, EV_CONNECTED, record, 0, tag(record->parent));
    }
}

void WnSocketService::receiveCompleted(IoRecord* record, std::uint32_t bytes) {
    ctx_.receiveDone(record, bytes);
}

void WnSocketService::sendCompleted(SendRecord* record, std::uint32_t bytes) {
    IoRecord* connection = record->parent;
    addBytes(connection, 1, bytes);
    addBytes(parent(connection), 1, bytes);  // an accepted connection's listener
    if (bytes < record->bufLen) {
        record->bufLen -= bytes;
        record->offset += bytes;
        ctx_.postSend(record);
    } else {
        ctx_.freeSendRecord(record);
    }
}

}  // namespace lumesk::net
