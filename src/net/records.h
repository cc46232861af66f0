// The socket service's heap records: listeners, connections and sends.
//
// Lifetime, the one rule every layer follows:
//  - Records are reference counted (`refs`; SendRecord: `holds`). The memory
//    goes back to the heap only when the last reference is dropped, so no
//    completion, in whatever order it arrives, ever reads a freed record.
//  - Who holds one: the service holds each connection from its accept or
//    connect until its close has been handled (closeRecord); a connection
//    holds its listener (`parent`), a pair holds each other (`partner`), a
//    send holds its connection, a source whose receive is paused for the
//    drain is held by the partner it waits on (`pausedSource`), a standing
//    watch holds its connection (the watch's record, `watch`, is the
//    connection's own and goes with it), and every post holds its record
//    while the poster still looks at it (enterSocket/leaveSocket). The
//    engine holds a reference for each client slot that names a connection,
//    for each relay whose connect it watches and for each relay left
//    flushing.
//  - After a close: `closed` and `socketClosed` say so, and the socket's
//    handle is closed once no post is using it (`socketUse`). A completion
//    that comes after is a failed one (995) on a record that is still
//    there, and is handled as the end of that record.
//  - Everyone else (the model's client slots, engine events, monitor rows,
//    the window) holds only raw pointers: they are names, compared and read
//    under the client table lock while a slot's reference keeps the record,
//    never owners.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace lumesk::net {

constexpr std::int32_t OP_NONE = 0;
constexpr std::int32_t OP_ACCEPT = 1;
constexpr std::int32_t OP_RECV = 2;
constexpr std::int32_t OP_SEND = 3;
constexpr std::int32_t OP_CONNECT = 4;  // an outbound connect is posted
// A paused receive's watch for its peer's leaving (platform::watchAsync);
// the record is the connection's `watch`, its `parent` the connection.
constexpr std::int32_t OP_WATCH = 5;

constexpr int EV_ACCEPTED = 1;
constexpr int EV_RECEIVED = 2;
constexpr int EV_CLOSED = 3;
// Results of postConnect: the record is live (the procedure posts its first
// receive), or the connect failed with the code in `bytes` and the record goes
// without an EV_CLOSED.
constexpr int EV_CONNECTED = 4;
constexpr int EV_CONNECT_FAILED = 5;
// On a listener: its accepts fail for want of a resource (the code in
// `bytes`); they are posted again after a back-off. Once per burst: the next
// accept that succeeds ends the burst.
constexpr int EV_ACCEPT_FAILED = 6;

// Flow control: a connection whose partner has more than this many bytes in
// outstanding sends stops receiving until they drain to the low mark.
constexpr std::int64_t kSendHighWater = 256 << 10;
constexpr std::int64_t kSendLowWater = 64 << 10;

constexpr std::uint32_t BUFFER_SIZE = 20480;

constexpr std::uint32_t kCloseWanted = 0x80000000u;

// A paused receive: a connection takes no bytes for a while, and then goes
// on where it stopped. Its owner pauses its first receive until the relay
// is up (holdFirstReceive): the receive stands, so a close or a fault still
// ends the connection at once, and the bytes it brings wait in the record
// (`pausedBytes`) until releaseFirstReceive. Or its partner's sends pile up
// (kSendHighWater): no receive is posted until they drain (`drainPaused`),
// and a watch stands meanwhile for the peer's reset.
enum class ReceivePause : std::int32_t {
    Running,       // no owner's pause
    Paused,        // the owner's pause; nothing has come yet
    BytesWaiting,  // the owner's pause; the receive brought `pausedBytes`
};

// A connection's receiving side.
enum class Input : std::uint8_t {
    Open,
    Ended,  // the peer's end of stream came: no receive is posted any more
};

// A connection's sending side: what is done once its queued sends drain.
enum class Output : std::uint8_t {
    Open,
    EndWhenDrained,    // the partner's input ended: pass the end on (a FIN)
    Ended,             // the FIN is sent; the socket still receives
    CloseWhenDrained,  // close the socket (or when they stall, flushBound)
};

// The one way Input and Output change: forward only, to `to` unless the
// state is there or past it already. Returns the state it had.
template <typename State>
State advance(std::atomic<State>& state, State to) {
    State was = state.load();
    while (was < to && !state.compare_exchange_weak(was, to)) {
    }
    return was;
}

struct IoRecord;

// Receives the service's events. `context` is the value stored beside the
// procedure in the record; `tag` is the parent's tag, 0 without a parent.
using EventProc = void (*)(void* context, int event, IoRecord* record, std::uint32_t bytes,
                           std::int32_t tag);

// The part every record shares; the port hands back the address of `overlapped`.
struct RecordBase {
    platform::Overlapped overlapped{};
    std::atomic<std::int32_t> opType{OP_NONE};
    unsigned char* peerBlock = nullptr;  // 32-byte peer-address block
    std::uint32_t bufLen = 0;
    char* buf = nullptr;
    std::atomic<platform::Socket> socket{platform::kNoSocket};
    IoRecord* parent = nullptr;
};

struct SendRecord : RecordBase {
    std::uint32_t offset = 0;  // first byte of the copy not yet sent
    std::uint32_t total = 0;   // bytes of the copy
    // The completion's hold, plus the poster's while it looks at the record
    // after the post: a quick completion may come before the poster is done.
    std::atomic<std::int32_t> holds{1};
    // Its bytes are out of the connection's outstanding count: once when the
    // system took them all at the post, else when the send completes.
    std::atomic<bool> settled{false};
};

struct IoRecord : RecordBase {
    // Listener fields.
    std::int32_t pendingAccepts = 0;          // under the global lock
    std::atomic<bool> acceptsFailing{false};  // a burst of failed accepts is under way

    EventProc callback = nullptr;
    void* context = nullptr;
    std::atomic<std::int32_t> tag{0};
    std::atomic<std::int64_t> bytesReceived{0};
    std::atomic<std::int64_t> bytesSent{0};
    std::atomic<std::int32_t> userValue{0};
    // The other side of a pair (holds a reference): where this connection's
    // bytes go, so its receives wait while the partner's sends pile up.
    std::atomic<IoRecord*> partner{nullptr};
    std::atomic<std::int64_t> queuedBytes{0};  // in outstanding sends
    // A paused receive (see ReceivePause), either kind. For the partner's
    // drain: the connection paused until this one's sends drain (holds a
    // reference); and whether this one is so paused, with no receive
    // standing. Whoever clears `drainPaused` (the drain, or the watch that
    // saw the peer leave) has the record's next receive, or its close:
    // never both.
    std::atomic<IoRecord*> pausedSource{nullptr};
    std::atomic<bool> drainPaused{false};
    // While paused for the drain, a watch stands for the peer's reset (made
    // at the first pause, freed with the record).
    std::atomic<RecordBase*> watch{nullptr};
    std::atomic<bool> watching{false};
    // For the owner: the first receive of an accepted connection, and what
    // it brought while paused.
    std::atomic<ReceivePause> ownerPause{ReceivePause::Running};
    std::uint32_t pausedBytes = 0;
    // Each direction, from this side (see Input and Output).
    std::atomic<Input> input{Input::Open};
    std::atomic<Output> output{Output::Open};
    // Under the half-close bound (see ServiceContext::watchHalfClose): once.
    std::atomic<bool> halfWatched{false};
    // The peer reset the connection: the partner's close passes it on.
    std::atomic<bool> peerReset{false};
    void noteFailure(int code) {
        if (code == platform::kErrConnReset) peerReset = true;
    }
    // The port the socket is associated with: a record whose input has ended
    // has no receive left to fail when its socket closes, so its close is
    // posted there instead.
    platform::PortHandle port = nullptr;

    // Never reused, unlike the record's address: what the window's rows are
    // found by, so a later connection in the same memory is never taken for it.
    std::uint64_t serial = 0;

    std::atomic<std::int32_t> refs{1};
    std::atomic<bool> closed{false};        // closeRecord has run
    std::atomic<bool> socketClosed{false};  // the socket is closed: never close its handle again
    // Posts under way on `socket`, plus kCloseWanted once a close is asked: the
    // handle is closed only when no post is using it, since Windows hands a
    // closed handle's value to the next new socket at once.
    std::atomic<std::uint32_t> socketUse{0};
};

inline RecordBase* recordOf(platform::Overlapped* overlapped) {
    static_assert(offsetof(RecordBase, overlapped) == 0);
    return reinterpret_cast<RecordBase*>(overlapped);
}

// Accessors: a null record reads as zeros and ignores writes.
inline std::int32_t opType(const RecordBase* r) {
    return r ? r->opType.load() : 0;
}
inline void setOpType(RecordBase* r, std::int32_t v) {
    if (r) r->opType = v;
}
inline IoRecord* parent(const RecordBase* r) {
    return r ? r->parent : nullptr;
}
inline void setParent(RecordBase* r, IoRecord* v) {
    if (r) r->parent = v;
}
inline EventProc callback(const IoRecord* r) {
    return r ? r->callback : nullptr;
}
inline void setCallback(IoRecord* r, EventProc proc, void* context) {
    if (!r) return;
    r->callback = proc;
    r->context = context;
}
inline std::int32_t tag(const IoRecord* r) {
    return r ? r->tag.load() : 0;
}
inline void setTag(IoRecord* r, std::int32_t v) {
    if (r) r->tag = v;
}
inline platform::Socket socket(const RecordBase* r) {
    return r ? r->socket.load() : platform::kNoSocket;
}
inline void setSocket(RecordBase* r, platform::Socket v) {
    if (r) r->socket = v;
}
inline std::int32_t userValue(const IoRecord* r) {
    return r ? r->userValue.load() : 0;
}
inline void setUserValue(IoRecord* r, std::int32_t v) {
    if (r) r->userValue = v;
}

// Byte counters (`which` 0 received, 1 sent). Atomic, so no lock is needed.
inline std::int64_t addBytes(IoRecord* r, int which, std::int64_t amount) {
    if (!r) return 0;
    auto& counter = which == 0 ? r->bytesReceived : r->bytesSent;
    return counter.fetch_add(amount, std::memory_order_relaxed) + amount;
}
inline std::int64_t readBytes(const IoRecord* r, int which) {
    if (!r) return 0;
    return (which == 0 ? r->bytesReceived : r->bytesSent).load(std::memory_order_relaxed);
}

}  // namespace lumesk::net
