#include "support.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#define CLOSE_FD closesocket
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define CLOSE_FD ::close
#endif

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace lumesk::test {

Client::~Client() {
    close();
}

Client& Client::operator=(Client&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Client Client::adopt(std::intptr_t fd) {
    Client c;
    c.fd_ = fd;
    return c;
}

bool Client::connect(std::uint16_t port, int receiveBuffer) {
    return open(receiveBuffer) && connectOpened(port);
}

bool Client::open(int receiveBuffer) {
    close();
    fd_ = static_cast<std::intptr_t>(::socket(AF_INET, SOCK_STREAM, 0));
    if (fd_ < 0) return false;
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                     sizeof receiveBuffer);
    }
    // A lost byte fails the test after 10 s instead of hanging it.
#ifdef _WIN32
    const DWORD timeout = 10000;
#else
    const timeval timeout{10, 0};
#endif
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
    return true;
}

bool Client::connectOpened(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close();
        return false;
    }
    return true;
}

void Client::shutdownSend() {
#ifdef _WIN32
    ::shutdown(fd_, SD_SEND);
#else
    ::shutdown(static_cast<int>(fd_), SHUT_WR);
#endif
}

bool Client::sendAll(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
#ifdef _WIN32
        const int n = ::send(fd_, p, chunk, 0);
#else
        const ssize_t n = ::send(fd_, p, chunk, MSG_NOSIGNAL);
#endif
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::recvAll(void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const auto n = ::recv(fd_, p, chunk, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Client::recvToEnd() {
    std::string out;
    char buf[65536];
    for (;;) {
        const auto n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

Client::End Client::waitEnd(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
#ifdef _WIN32
        fd_set set;
        FD_ZERO(&set);
        FD_SET(static_cast<SOCKET>(fd_), &set);
        timeval tv{0, 50000};
        if (::select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
#else
        pollfd p{static_cast<int>(fd_), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
#endif
        const auto n = ::recv(fd_, buf, sizeof buf, 0);
        if (n == 0) return End::Orderly;
#ifdef _WIN32
        if (n < 0) return WSAGetLastError() == WSAECONNRESET ? End::Reset : End::Orderly;
#else
        if (n < 0) return errno == ECONNRESET ? End::Reset : End::Orderly;
#endif
    }
    return End::None;
}

std::uint16_t Client::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

void Client::close() {
    if (fd_ >= 0) CLOSE_FD(fd_);
    fd_ = -1;
}

void Client::setSendTimeout(int ms) {
#ifdef _WIN32
    const DWORD value = static_cast<DWORD>(ms);
#else
    const timeval value{ms / 1000, (ms % 1000) * 1000};
#endif
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

void Client::reset() {
    if (fd_ < 0) return;
    linger off{};
    off.l_onoff = 1;
    off.l_linger = 0;
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    close();
}

namespace {

// An OS socket on 127.0.0.1 and an ephemeral port; listening unless backlog < 0.
std::intptr_t listenLoopback(int backlog, std::uint16_t& port) {
    const auto fd = static_cast<std::intptr_t>(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        throw std::runtime_error("listen on loopback failed");
    }
    port = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

bool roundTrip(Client& client, const std::vector<unsigned char>& data, std::size_t chunk) {
    bool sent = true;
    std::thread writer([&] {
        for (std::size_t at = 0; sent && at < data.size(); at += chunk) {
            sent = client.sendAll(data.data() + at, std::min(chunk, data.size() - at));
        }
    });
    std::vector<unsigned char> back(data.size());
    const bool complete = client.recvAll(back.data(), back.size());
    writer.join();
    return sent && complete && back == data;
}

ScriptedTarget::ScriptedTarget(std::function<void(Client&)> serve) : serve_(std::move(serve)) {
    fd_ = listenLoopback(128, port_);
    thread_ = std::thread([this] {
        for (;;) {
            const auto c = static_cast<std::intptr_t>(::accept(fd_, nullptr, nullptr));
            if (stop_ || c < 0) {
                if (c >= 0) CLOSE_FD(c);
                return;
            }
            Client connection = Client::adopt(c);
            serve_(connection);
        }
    });
}

ScriptedTarget::~ScriptedTarget() {
    stop_ = true;
    Client wake(port_);  // unblocks accept
    thread_.join();
    CLOSE_FD(fd_);
}

TargetServer::TargetServer(std::string answer)
    : answer_(std::move(answer)), target_([this](Client& c) {
          if (answer_.empty()) {
              std::lock_guard<std::mutex> lock(mutex_);
              held_.push_back(std::move(c));
          } else {
              c.sendAll(answer_.data(), answer_.size());
          }
      }) {}

ClosedPort::ClosedPort() {
    fd_ = listenLoopback(-1, port_);
}

ClosedPort::~ClosedPort() {
    CLOSE_FD(fd_);
}

StalledTarget::StalledTarget() {
    fd_ = listenLoopback(0, port_);
    fillers_.emplace_back(port_);  // a backlog of 0 holds one; later SYNs are dropped
}

StalledTarget::~StalledTarget() {
    fillers_.clear();
    CLOSE_FD(fd_);
}

std::vector<unsigned char> pattern(std::size_t size, std::uint64_t start) {
    std::vector<unsigned char> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = patternByte(start + i);
    return v;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int processDescriptorCount() {
#ifdef _WIN32
    return static_cast<int>(platform::openSocketCount());
#else
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
#endif
}

bool underWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

EchoServer::EchoServer(int workers, std::int32_t acceptCount, bool echo)
    : service_(ctx_, net::ServiceRole::Server), echo_(echo) {
    service_.startDelay = std::chrono::milliseconds(0);
    std::string error;
    if (!service_.start(workers, true, error)) throw std::runtime_error(error);
    const platform::Socket s = platform::createSocket();
    if (platform::bindSocket(s, platform::parseIPv4("127.0.0.1"), 0) != 0 ||
        platform::listenSocket(s, 0x7FFFFFFF) != 0) {
        throw std::runtime_error("listen failed");
    }
    std::uint32_t address = 0;
    platform::localAddress(s, address, port_);
    if (!service_.associate(s)) throw std::runtime_error("associate failed");
    listener_ = ctx_.allocListener();
    listener_->socket = s;
    net::setCallback(listener_, &EchoServer::handler, this);
    net::setTag(listener_, 7);
    ctx_.addListener(listener_);
    for (int i = 0; i < acceptCount; ++i) ctx_.postAccept(listener_);
}

EchoServer::~EchoServer() {
    stopListening();
    {
        // Under the lock: a record stays until its EV_CLOSED, which needs the lock.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [number, record] : live_) ctx_.closeSocketOf(record);
    }
    waitFor([this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.empty();
    });
    // Let the last completions (failed accepts, sends) drain before the workers go.
    waitFor([this] { return ctx_.heap.liveBlocks() == 0; }, std::chrono::seconds(5));
    service_.stop();
}

void EchoServer::stopListening() {
    if (!listener_) return;
    ctx_.closeSocketOf(listener_);
    ctx_.removeListener(listener_);
    ctx_.releaseRecord(listener_);
    listener_ = nullptr;
}

void EchoServer::handler(void* context, int event, net::IoRecord* record, std::uint32_t bytes,
                         std::int32_t tag) {
    auto* self = static_cast<EchoServer*>(context);
    int number = net::userValue(record);
    if (event == net::EV_ACCEPTED) {
        number = self->nextConnection_++;
        net::setUserValue(record, number);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->live_[number] = record;
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back(Event{number, event, bytes, tag});
        if (event == net::EV_CLOSED) self->live_.erase(number);
    }
    if (event == net::EV_ACCEPTED && self->onAccepted) self->onAccepted(record);
    if (event == net::EV_RECEIVED && self->echo_) {
        // As the engine forwards: what the socket takes now, then a posted copy.
        self->ctx_.sendCopy(record, record->buf, bytes);
    }
}

std::vector<EchoServer::Event> EchoServer::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

int EchoServer::count(int event) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const Event& e : events_) n += e.event == event;
    return n;
}

std::vector<int> EchoServer::eventsOf(int connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> out;
    for (const Event& e : events_) {
        if (e.connection == connection) out.push_back(e.event);
    }
    return out;
}

bool EchoServer::withConnection(int number, const std::function<void(net::IoRecord*)>& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(number);
    if (it == live_.end()) return false;
    f(it->second);
    return true;
}

bool EchoServer::closeConnection(int number) {
    return withConnection(number, [this](net::IoRecord* r) { ctx_.closeSocketOf(r); });
}

}  // namespace lumesk::test
