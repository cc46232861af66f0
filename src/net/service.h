// The WnSocket service: a completion port served by a pool of workers, and
// the overlapped accept, receive, send and close that both instances share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/housekeeping.h"
#include "net/private_heap.h"
#include "net/records.h"
#include "platform/platform.h"

namespace lumesk::net {

constexpr std::uintptr_t kExitKey = 0xFFFFFFFFu;
// A packet that ends a record whose input had ended (see closeSocketOf).
constexpr std::uintptr_t kEndKey = 0xFFFFFFFEu;
constexpr std::uint32_t kWorkerWaitMs = 5000;

// What both service instances share: the sockets start-up, the global lock,
// the service heap and the listener list, and the operations on records.
class ServiceContext {
  public:
    ServiceContext() = default;
    ~ServiceContext();
    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    bool socketsStarted = false;
    LockList locks;
    Lock* globalLock = nullptr;
    PrivateHeap heap;

    // Starts sockets for the process unless done; true when they are started.
    bool startSockets();

    // Records. allocRecord gives a connection record with its peer block and,
    // unless told otherwise, its receive buffer; the caller owns one reference.
    IoRecord* allocRecord(bool withBuffer = true);
    IoRecord* allocListener();
    // A send of a private copy of `data` to `connection` (which it holds).
    SendRecord* allocSendRecord(IoRecord* connection, const char* data, std::uint32_t bytes);
    bool giveBuffer(IoRecord* record);
    void retain(IoRecord* record);
    void releaseRecord(IoRecord* record);
    void freeSendRecord(SendRecord* record);

    std::int32_t pendingAccepts(const IoRecord* listener) const;
    void setPendingAccepts(IoRecord* listener, std::int32_t value);
    void addPendingAccepts(IoRecord* listener, std::int32_t delta);

    void addListener(IoRecord* listener);
    void removeListener(IoRecord* listener);
    std::vector<IoRecord*> listeners() const;

    // How long a closing connection's sends may go without progress before
    // the connection is closed with them unsent.
    std::atomic<std::chrono::milliseconds> flushBound{std::chrono::milliseconds(30000)};
    // How long a pair with one direction ended (its end passed on as a
    // half-close) may go with nothing moved either way before both close.
    std::atomic<std::chrono::milliseconds> halfCloseBound{std::chrono::milliseconds(60000)};
    // How often a receive paused for the drain, whose watch found bytes
    // waiting, looks again for its peer's reset (see watchEnded).
    std::atomic<std::chrono::milliseconds> pausedLook{std::chrono::milliseconds(500)};
    // How long a listener waits before it posts again an accept that failed.
    std::atomic<std::chrono::milliseconds> acceptBackoff{std::chrono::milliseconds(100)};
    // Closes stuck flushes and idle half-closed pairs, looks again at paused
    // receives and posts failed accepts again, by the bounds above.
    Housekeeping housekeeping{*this};

    // Overlapped operations. A failed post sets `error` when given.
    bool postAccept(IoRecord* listener, int* error = nullptr);
    // An accept of a listener still open failed (or could not be posted):
    // EV_ACCEPT_FAILED once per burst, and it is posted again after the back-off.
    void acceptFailed(IoRecord* listener, int code);
    // A paired connection's peer ended its stream: its partner's sending is
    // shut down once what is queued is sent, and the pair is closed once both
    // directions have ended. Without a partner it is a close.
    void endOfInput(IoRecord* record);
    // The posts report a failure in `errorText` when the caller asks for it
    // (and shows it); most callers only need to know, and the record closes.
    bool postReceive(IoRecord* record, std::string* errorText = nullptr);
    bool postSend(SendRecord* record, std::string* errorText = nullptr);
    // Sends a copy of `data` to `connection`: what its socket takes at once
    // needs no send record; a private copy of the rest is posted (postSend).
    bool sendCopy(IoRecord* connection, const char* data, std::uint32_t bytes,
                  std::string* errorText = nullptr);
    // Starts an outbound connect on a bound socket already associated with a
    // port; the result comes as EV_CONNECTED or EV_CONNECT_FAILED. 0 or a code.
    int postConnect(IoRecord* record, std::uint32_t addressNet, std::uint16_t portHost);
    // Pairs a connection with the one its bytes go to (see kSendHighWater).
    void setPartner(IoRecord* record, IoRecord* partner);
    // Inside EV_ACCEPTED: hold back the bytes of the first receive. The receive
    // is posted all the same, so a close or a fault still ends the connection
    // at once; bytes it brings wait in the record until releaseFirstReceive,
    // which passes them on, on the releasing thread, as a completed receive.
    void holdFirstReceive(IoRecord* record);
    void releaseFirstReceive(IoRecord* record);
    // Closes the socket once every send already posted on it has completed,
    // or once they have made no progress for flushBound. With `passReset`
    // (the partner's peer reset) and nothing left to send, the close is a
    // reset too: what the peer does is what its partner's peer sees.
    void closeAfterSends(IoRecord* record, bool passReset = false);
    // Closes a record's socket once. A closed handle is never closed again, since
    // on Windows the system may already have handed its value to a new socket.
    void closeSocketOf(IoRecord* record);
    // Around every use of a record's handle after it was set up: false once
    // its close was asked, so a handle value the system reused is never touched.
    bool enterSocket(IoRecord* record);
    void leaveSocket(IoRecord* record);
    // Ends a connection: EV_CLOSED if it was live, closes its socket, drops the
    // service's reference. Only the first call on a record does anything.
    void closeRecord(IoRecord* record);

    // A receive's bytes: EV_RECEIVED, the counters (the listener's too for an
    // accepted connection), then the next receive unless the partner must drain.
    void receiveDone(IoRecord* record, std::uint32_t bytes);
    // After a receive: pauses the next one (true) while the partner's sends
    // pile up: the record waits in the partner's `pausedSource`, and
    // whoever drains them posts it. False: it may be posted now.
    bool pauseIfPartnerFull(IoRecord* record);
    // A paused receive's watch ended: a failure is the peer's leaving
    // (its close runs as a failed receive's would); a success while still
    // paused, bytes waiting, is looked at again after pausedLook. The peer's
    // end behind those bytes puts the pair under the half-close bound.
    void watchEnded(IoRecord* record, int error, bool peerEnded = false);

    // The ports of the started instances. On POSIX an instance shares the
    // event loop of one already started: a completion is then handled by
    // whichever instance's worker takes it, as its own port's (see
    // WnSocketService::dispatch), which keeps one connection's two sides on
    // one thread instead of waking a second for every chunk.
    platform::PortHandle portToShare() const;
    void addPort(platform::PortHandle port);
    void removePort(platform::PortHandle port);

  private:
    friend class Housekeeping;
    std::atomic<std::uint64_t> nextSerial_{0};

    void shutdownAfterSends(IoRecord* record);
    void shutdownSending(IoRecord* record);
    void postEnd(IoRecord* record);
    // While a receive is paused for the drain: a watch for the peer's reset
    // (see platform::watchAsync).
    void watchPeer(IoRecord* record);
    bool stillPausedForDrain(IoRecord* record);
    // One direction of the pair has ended: both close after halfCloseBound
    // with nothing moved.
    void watchHalfClose(IoRecord* record, IoRecord* partner);
    void freeConnection(IoRecord* record);
    void settleSend(SendRecord* record);
    void dropSend(SendRecord* record);
    void sendsDone(IoRecord* connection, std::uint32_t bytes);
    std::vector<IoRecord*> listenerList_;
    mutable std::mutex portsMutex_;
    std::vector<platform::PortHandle> ports_;
};

enum class ServiceRole { Server, Client };

class WnSocketService {
  public:
    WnSocketService(ServiceContext& context, ServiceRole role) : ctx_(context), role_(role) {}
    ~WnSocketService();
    WnSocketService(const WnSocketService&) = delete;
    WnSocketService& operator=(const WnSocketService&) = delete;

    bool start(std::int32_t threadCount, bool threadCountGiven, std::string& errorText);
    // Starts each with `threadCount` workers; the texts of those that failed.
    static std::vector<std::string> startAll(std::initializer_list<WnSocketService*> services,
                                             std::int32_t threadCount);
    std::int32_t threadStatus(std::int32_t kind) const;
    std::int32_t createdThreads() const;

    bool started() const { return port_ != nullptr; }
    platform::PortHandle port() const { return port_; }
    ServiceRole role() const { return role_; }
    ServiceContext& context() { return ctx_; }
    bool associate(platform::Socket socket) const;
    // Associates a connection's socket and notes the port in the record.
    bool adopt(IoRecord* record) const;

    // Tear-down, which the program itself never does: ends every worker and
    // closes the port. Close every socket of the instance first.
    void stop();

    // Delay before a new worker counts itself running.
    std::chrono::milliseconds startDelay{500};

  private:
    void worker();
    // What a completion does depends only on its record and its port, never
    // on which instance's worker runs it: on a shared loop either may.
    void dispatch(platform::Overlapped* overlapped, std::uint32_t bytes, platform::PortHandle port);
    void dispatchFailure(platform::Overlapped* overlapped, int error);
    void connectCompleted(IoRecord* record, int error);
    void acceptCompleted(IoRecord* record, platform::PortHandle port);
    static bool adoptInto(IoRecord* record, platform::PortHandle port);
    void receiveCompleted(IoRecord* record, std::uint32_t bytes);
    void sendCompleted(SendRecord* record, std::uint32_t bytes);

    ServiceContext& ctx_;
    const ServiceRole role_;
    platform::PortHandle port_ = nullptr;
    // Atomic: every completion counts itself in and out, and a lock there
    // would be taken by every worker of both instances.
    std::atomic<std::int32_t> createdThreads_{0};
    std::atomic<std::int32_t> runningThreads_{0};
    std::atomic<std::int32_t> workingThreads_{0};
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
};

}  // namespace lumesk::net
