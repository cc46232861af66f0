// Test support: plain blocking loopback clients, and an echo server built on
// the socket service with every event recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/service.h"

namespace lumesk::test {

// A blocking TCP client on loopback, with the OS's own sockets.
class Client {
  public:
    Client() = default;
    explicit Client(std::uint16_t port, int receiveBuffer = 0) { connect(port, receiveBuffer); }
    ~Client();
    Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Client& operator=(Client&& other) noexcept;

    // Takes over a connected descriptor (a target's side of a connection).
    static Client adopt(std::intptr_t fd);
    // A small receive buffer makes a slow reader; it must be set before connecting.
    bool connect(std::uint16_t port, int receiveBuffer = 0);
    // The socket alone, made now (while descriptors are to be had), and its
    // connect later.
    bool open(int receiveBuffer = 0);
    bool connectOpened(std::uint16_t port);
    // Ends this side's sending; receiving goes on.
    void shutdownSend();
    bool sendAll(const void* data, std::size_t size);
    // A send that cannot go on for `ms` fails (sendAll returns false): for a
    // writer that must notice its peer stopped reading.
    void setSendTimeout(int ms);
    // Reads exactly `size` bytes; false on close or error first.
    bool recvAll(void* data, std::size_t size);
    // Reads until the peer closes; returns what came.
    std::string recvToEnd();
    // Waits up to `ms` for the peer's close; true when it came (EOF or reset).
    bool waitClosed(int ms) { return waitEnd(ms) != End::None; }
    // How the peer's close came within `ms`, reading (and dropping) what comes first.
    enum class End { None, Orderly, Reset };
    End waitEnd(int ms);
    void close();
    // Closes with a reset instead of an orderly end.
    void reset();
    bool valid() const { return fd_ >= 0; }
    std::uint16_t localPort() const;

  private:
    std::intptr_t fd_ = -1;
};

// Writes `data` in chunks of `chunk` while reading it back; true when it came back unchanged.
bool roundTrip(Client& client, const std::vector<unsigned char>& data, std::size_t chunk);

// A listener on 127.0.0.1 that runs `serve` on each connection it takes, one
// at a time, in a thread of its own; the connection is closed after.
class ScriptedTarget {
  public:
    explicit ScriptedTarget(std::function<void(Client&)> serve);
    ~ScriptedTarget();
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::function<void(Client&)> serve_;
    std::thread thread_;
};

// A plain listening socket on 127.0.0.1 that serves each connection in a
// thread of its own: sends `answer` and closes, or (with an empty answer)
// never reads, so what is sent to it piles up.
class TargetServer {
  public:
    explicit TargetServer(std::string answer);
    std::uint16_t port() const { return target_.port(); }

  private:
    std::string answer_;
    std::mutex mutex_;
    std::vector<Client> held_;  // before target_: its thread goes first
    ScriptedTarget target_;
};

// A port that refuses connections: bound, never listening, so nothing else can
// take it (an ephemeral port freed by a closed listener can even be picked as
// a connect's own source port, and the connect then succeeds with itself).
class ClosedPort {
  public:
    ClosedPort();
    ~ClosedPort();
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t fd_ = -1;
    std::uint16_t port_ = 0;
};

// A listener whose accept queue is full and never drained: new connects to it
// hang, as to a target that does not answer.
class StalledTarget {
  public:
    StalledTarget();
    ~StalledTarget();
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<Client> fillers_;
};

// Deterministic bytes for position i of a stream.
inline unsigned char patternByte(std::uint64_t i) {
    return static_cast<unsigned char>((i * 2654435761u) >> 13);
}
std::vector<unsigned char> pattern(std::size_t size, std::uint64_t start = 0);

// Polls `done` until true or the time runs out.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

int processDescriptorCount();

// Wine, where a few socket behaviours differ from Windows' documented ones.
bool underWine();

// One server instance, one listener on 127.0.0.1, events recorded per connection.
// By default every received chunk is sent back (an echo server).
class EchoServer {
  public:
    struct Event {
        int connection;  // our own number, given at EV_ACCEPTED
        int event;
        std::uint32_t bytes;
        std::int32_t tag;
    };

    explicit EchoServer(int workers = 4, std::int32_t acceptCount = 100, bool echo = true);
    ~EchoServer();

    std::uint16_t port() const { return port_; }
    net::ServiceContext& context() { return ctx_; }
    net::WnSocketService& service() { return service_; }
    net::IoRecord* listener() { return listener_; }

    std::vector<Event> events();
    int count(int event);
    // Events of one connection, in the order they arrived.
    std::vector<int> eventsOf(int connection);
    // Closes the socket of a live connection from outside, as the engine does;
    // false when it is gone already.
    bool closeConnection(int number);
    // Runs `f` on a live connection while it cannot go away.
    bool withConnection(int number, const std::function<void(net::IoRecord*)>& f);

    // Closes the listening socket and drops the listener (as stopping a mapping does).
    void stopListening();

    std::function<void(net::IoRecord*)> onAccepted;  // runs inside EV_ACCEPTED

  private:
    static void handler(void* context, int event, net::IoRecord* record, std::uint32_t bytes,
                        std::int32_t tag);

    net::ServiceContext ctx_;
    net::WnSocketService service_;
    net::IoRecord* listener_ = nullptr;
    std::uint16_t port_ = 0;
    bool echo_;
    std::mutex mutex_;
    std::vector<Event> events_;
    std::map<int, net::IoRecord*> live_;
    std::atomic<int> nextConnection_{1};
};

}  // namespace lumesk::test
