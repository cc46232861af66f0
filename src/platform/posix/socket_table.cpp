// The handle table: a socket handle is an index and a generation, so a
// stale handle is turned away instead of reaching a descriptor the system
// has handed out again.
#include "platform/posix/socket_table.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <vector>

#include "platform/posix/errors.h"

namespace lumesk::platform {
namespace posix {
namespace {

constexpr std::uint32_t kChunkBits = 10;
constexpr std::uint32_t kChunkSize = 1u << kChunkBits;
constexpr std::uint32_t kMaxChunks = 4096;

// The handle table. Entries are never freed, so a stale handle always finds
// readable memory and is turned away by its generation.
struct Table {
    std::mutex mutex;
    std::array<std::atomic<SocketEntry*>, kMaxChunks> chunks{};
    std::vector<std::uint32_t> freeList;
    std::uint32_t used = 0;
    std::atomic<std::size_t> open{0};
};

Table& table() {
    static Table* t = new Table;  // outlives every worker at exit
    return *t;
}

std::uint32_t generationOf(Socket h) {
    return static_cast<std::uint32_t>(h >> 32);
}

SocketEntry* entryOf(Socket h) {
    const std::uint32_t index = static_cast<std::uint32_t>(h & 0xFFFFFFFFu);
    if (index == 0) return nullptr;
    const std::uint32_t chunk = (index - 1) >> kChunkBits;
    if (chunk >= kMaxChunks) return nullptr;
    SocketEntry* c = table().chunks[chunk].load(std::memory_order_acquire);
    return c ? &c[(index - 1) & (kChunkSize - 1)] : nullptr;
}

// Locks the entry of a live handle with one of its two locks; null (and
// nothing locked) for a stale one.
SocketEntry* lockLiveWith(std::mutex SocketEntry::*which, Socket h,
                          std::unique_lock<std::mutex>& lock) {
    SocketEntry* e = entryOf(h);
    if (!e) return nullptr;
    lock = std::unique_lock<std::mutex>(e->*which);
    if (!e->inUse || e->generation != generationOf(h)) {
        lock.unlock();
        return nullptr;
    }
    return e;
}

}  // namespace

SocketEntry* lockLive(Socket h, std::unique_lock<std::mutex>& lock) {
    return lockLiveWith(&SocketEntry::mutex, h, lock);
}

SocketEntry* lockLiveSends(Socket h, std::unique_lock<std::mutex>& lock) {
    return lockLiveWith(&SocketEntry::sendMutex, h, lock);
}

void retireEntry(SocketEntry* e) {
    e->inUse = false;
    if (++e->generation == 0) e->generation = 1;
}

void freeEntry(Socket h) {
    Table& t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.freeList.push_back(static_cast<std::uint32_t>((h & 0xFFFFFFFFu) - 1));
    }
    t.open.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace posix

using namespace posix;

Socket createSocket(bool acceptTarget) {
    int fd = -1;
    if (!acceptTarget) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            setSocketError(mapErrno(errno));
            return kNoSocket;
        }
    }
    Table& t = table();
    std::uint32_t index;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (!t.freeList.empty()) {
            index = t.freeList.back();
            t.freeList.pop_back();
        } else if (t.used < kChunkSize * kMaxChunks) {
            index = t.used++;
            const std::uint32_t chunk = index >> kChunkBits;
            if (!t.chunks[chunk].load(std::memory_order_relaxed)) {
                t.chunks[chunk].store(new SocketEntry[kChunkSize], std::memory_order_release);
            }
        } else {
            if (fd >= 0) ::close(fd);
            setSocketError(kErrTooManySockets);
            return kNoSocket;
        }
    }
    SocketEntry* e = &t.chunks[index >> kChunkBits].load()[index & (kChunkSize - 1)];
    std::uint32_t generation;
    {
        std::scoped_lock lock(e->mutex, e->sendMutex);
        e->inUse = true;
        e->fd = fd;
        e->mayRead = true;
        e->peerClosed = false;
        e->port = nullptr;
        e->key = 0;
        e->acceptListener = kNoSocket;
        e->active = false;
        e->bound = false;
        e->connect = nullptr;
        e->watch = nullptr;
        generation = e->generation;
    }
    t.open.fetch_add(1, std::memory_order_relaxed);
    return (static_cast<Socket>(generation) << 32) | (index + 1);
}

std::size_t openSocketCount() {
    return table().open.load(std::memory_order_relaxed);
}

}  // namespace lumesk::platform
