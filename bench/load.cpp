// Load generator and target servers for the forwarder comparison (bench/compare.sh).
// Loopback only. Every mode prints one "mode key=value ..." line and stops by itself.
//   lumesk_load sink-server PORT CTRL_PORT [MAX_SECONDS]
//   lumesk_load echo-server PORT[,PORT...] [MAX_SECONDS]
//   lumesk_load throughput PORT CONNECTIONS SECONDS [CTRL_PORT]
//   lumesk_load rr PORT CONNECTIONS SECONDS
//   lumesk_load duplex PORT CONNECTIONS SECONDS   (through an echo target, bytes checked)
//   lumesk_load connrate PORT SECONDS [THREADS] [fin|rst]
//   lumesk_load cycles PORT COUNT THREADS      (connect, 64-byte echo, orderly close)
//   lumesk_load crowd PORT CLIENTS             (all connect at once: served or refused)
// LUMESK_LOAD_PROXY (see connectTo) puts a proxy handshake in front of every client connection.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoTimeoutMs = 2000;  // a forwarder that holds bytes this long stalled
constexpr std::size_t kMaxSamplesPerThread = 8 << 20;  // bounds memory and the loop count
constexpr int kDefaultServerSeconds = 900;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never anything but 127.0.0.1
    return a;
}

void setTimeouts(int fd) {
    timeval tv{kIoTimeoutMs / 1000, (kIoTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Blocking client socket with timeouts; -1 and errno on failure.
int connectDirect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    setNoDelay(fd);
    setTimeouts(fd);
    const sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) {
            if (k < 0 && errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

// 1 when all came, 0 on EOF, -1 on error or timeout.
int recvAll(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = recv(fd, p, n, 0);
        if (k == 0) return 0;
        if (k < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return 1;
}

// LUMESK_LOAD_PROXY=http:PORT | socks4:PORT | socks5:PORT sends every client connection
// through the proxy it dials, on to 127.0.0.1:PORT; the handshake is part of connecting.
struct ProxyHop {
    enum Kind { None, Http, Socks4, Socks5 } kind = None;
    int target = 0;
};
ProxyHop g_proxy;

void readProxySetting() {
    const char* v = std::getenv("LUMESK_LOAD_PROXY");
    if (v == nullptr || *v == 0) return;
    const std::string s = v;
    const std::size_t colon = s.find(':');
    const std::string kind = s.substr(0, colon);
    g_proxy.target = colon == std::string::npos ? 0 : std::atoi(s.c_str() + colon + 1);
    g_proxy.kind = kind == "http"     ? ProxyHop::Http
                   : kind == "socks4" ? ProxyHop::Socks4
                   : kind == "socks5" ? ProxyHop::Socks5
                                      : ProxyHop::None;
    if (g_proxy.kind == ProxyHop::None || g_proxy.target <= 0) {
        std::fprintf(stderr, "LUMESK_LOAD_PROXY must be http:PORT, socks4:PORT or socks5:PORT\n");
        std::exit(2);
    }
}

// The targets never speak first, so nothing but the proxy's answer can be read here.
bool httpConnect(int fd) {
    const std::string t = "127.0.0.1:" + std::to_string(g_proxy.target);
    const std::string head = "CONNECT " + t + " HTTP/1.1\r\nHost: " + t + "\r\n\r\n";
    if (!sendAll(fd, head.data(), head.size())) return false;
    std::string answer;
    char buf[512];
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 4096) {
        const ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0) return false;
        answer.append(buf, static_cast<std::size_t>(k));
    }
    return answer.compare(0, 5, "HTTP/") == 0 && answer.size() > 12 &&
           answer.compare(9, 3, "200") == 0;
}

bool socksConnect(int fd) {
    const auto port = static_cast<std::uint16_t>(g_proxy.target);
    const char p1 = static_cast<char>(port >> 8), p0 = static_cast<char>(port & 0xff);
    char reply[10];
    if (g_proxy.kind == ProxyHop::Socks4) {
        const char req[9] = {4, 1, p1, p0, 127, 0, 0, 1, 0};
        return sendAll(fd, req, sizeof req) && recvAll(fd, reply, 8) == 1 && reply[1] == 0x5a;
    }
    const char hello[3] = {5, 1, 0};
    const char req[10] = {5, 1, 0, 1, 127, 0, 0, 1, p1, p0};
    return sendAll(fd, hello, sizeof hello) && recvAll(fd, reply, 2) == 1 && reply[0] == 5 &&
           reply[1] == 0 && sendAll(fd, req, sizeof req) && recvAll(fd, reply, 10) == 1 &&
           reply[1] == 0;
}

// A client connection, through the proxy when one is set; -1 and errno on failure.
int connectTo(int port) {
    const int fd = connectDirect(port);
    if (fd < 0 || g_proxy.kind == ProxyHop::None) return fd;
    if (g_proxy.kind == ProxyHop::Http ? httpConnect(fd) : socksConnect(fd)) return fd;
    close(fd);
    errno = ECONNREFUSED;
    return -1;
}

double percentileUs(const std::vector<std::uint32_t>& sortedNs, double q) {
    if (sortedNs.empty()) return 0;
    const std::size_t i =
        std::min(sortedNs.size() - 1, static_cast<std::size_t>(q * (sortedNs.size() - 1) + 0.5));
    return sortedNs[i] / 1000.0;
}

std::uint32_t elapsedNs(Clock::time_point t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count();
    return static_cast<std::uint32_t>(std::min<long long>(ns, UINT32_MAX));
}

// ---- target servers ----------------------------------------------------------

int listenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Conn {
    std::string pending;  // echo bytes the socket did not take yet
};

// One epoll thread: enough for loopback, and it leaves the other core to the forwarder.
int runServer(bool echo, const std::vector<int>& ports, int ctrlPort, int maxSeconds) {
    signal(SIGPIPE, SIG_IGN);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> listeners;
    for (int p : ports) {
        const int fd = listenOn(p);
        if (fd < 0) {
            std::printf("error=listen port=%d errno=%d\n", p, errno);
            return 1;
        }
        listeners.push_back(fd);
    }
    const int ctrl = ctrlPort > 0 ? listenOn(ctrlPort) : -1;
    if (ctrlPort > 0 && ctrl < 0) {
        std::printf("error=listen port=%d errno=%d\n", ctrlPort, errno);
        return 1;
    }
    auto watch = [&](int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    };
    for (int fd : listeners) watch(fd, EPOLLIN);
    if (ctrl >= 0) watch(ctrl, EPOLLIN);
    std::printf("ready %s ports=%zu\n", echo ? "echo" : "sink", ports.size());
    std::fflush(stdout);

    std::unordered_map<int, Conn> conns;
    std::vector<char> buf(256 * 1024);
    std::uint64_t received = 0;
    std::uint64_t accepted = 0;
    const auto end = Clock::now() + std::chrono::seconds(maxSeconds);
    epoll_event events[256];
    auto drop = [&](int fd) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns.erase(fd);
    };
    while (Clock::now() < end) {
        const int n = epoll_wait(ep, events, 256, 500);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == ctrl) {
                // The counter goes back on accept: no request to parse.
                const int c = accept4(ctrl, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    const std::string line = std::to_string(received) + "\n";
                    sendAll(c, line.data(), line.size());
                    close(c);
                }
                continue;
            }
            if (std::find(listeners.begin(), listeners.end(), fd) != listeners.end()) {
                for (int k = 0; k < 64; ++k) {
                    const int c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) break;
                    ++accepted;
                    setNoDelay(c);
                    conns[c];
                    watch(c, EPOLLIN | EPOLLRDHUP);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) continue;
            std::string& pending = it->second.pending;
            if ((events[i].events & EPOLLOUT) && !pending.empty()) {
                const ssize_t k = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
                if (k < 0 && errno != EAGAIN) {
                    drop(fd);
                    continue;
                }
                if (k > 0) pending.erase(0, static_cast<std::size_t>(k));
                if (pending.empty()) {
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.fd = fd;
                    epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
                }
                continue;
            }
            if (!(events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) continue;
            const ssize_t k = recv(fd, buf.data(), buf.size(), 0);
            if (k == 0 || (k < 0 && errno != EAGAIN)) {
                drop(fd);
                continue;
            }
            if (k < 0) continue;
            received += static_cast<std::uint64_t>(k);
            if (!echo) continue;
            const ssize_t w = send(fd, buf.data(), static_cast<std::size_t>(k), MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN) {
                drop(fd);
                continue;
            }
            const std::size_t sent = w > 0 ? static_cast<std::size_t>(w) : 0;
            if (sent < static_cast<std::size_t>(k)) {
                // Stop reading until the client takes its echo back.
                pending.assign(buf.data() + sent, static_cast<std::size_t>(k) - sent);
                epoll_event ev{};
                ev.events = EPOLLOUT;
                ev.data.fd = fd;
                epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
            }
        }
    }
    std::printf("%s-server accepted=%llu received=%llu\n", echo ? "echo" : "sink",
                static_cast<unsigned long long>(accepted),
                static_cast<unsigned long long>(received));
    return 0;
}

// ---- throughput --------------------------------------------------------------

long long readCounter(int ctrlPort) {
    const int fd = connectDirect(ctrlPort);
    if (fd < 0) return -1;
    char line[64] = {};
    std::size_t have = 0;
    while (have < sizeof line - 1) {
        const ssize_t k = recv(fd, line + have, sizeof line - 1 - have, 0);
        if (k <= 0) break;
        have += static_cast<std::size_t>(k);
    }
    close(fd);
    return have > 0 ? std::atoll(line) : -1;
}

// Opens `connections` connections; those that fail are counted.
std::vector<int> connectMany(int port, int connections, int& errors) {
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) {
        const int fd = connectTo(port);
        if (fd < 0) {
            ++errors;
            continue;
        }
        fds.push_back(fd);
    }
    return fds;
}

int runThroughput(int port, int connections, double seconds, int ctrlPort) {
    int connectErrors = 0;
    std::vector<int> fds = connectMany(port, connections, connectErrors);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<int> sendErrors{0};
    std::vector<std::thread> threads;
    for (int fd : fds) {
        threads.emplace_back([&, fd] {
            std::vector<char> chunk(64 * 1024, 'x');
            while (!stop.load(std::memory_order_relaxed)) {
                const ssize_t k = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                if (k <= 0) {
                    if (k < 0 && errno == EINTR) continue;
                    if (!stop.load()) sendErrors.fetch_add(1);  // a stall shows as EAGAIN
                    return;
                }
                sent.fetch_add(static_cast<std::uint64_t>(k), std::memory_order_relaxed);
            }
        });
    }
    // Warm up first, so connection setup and buffer filling are not counted.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long long c0 = ctrlPort > 0 ? readCounter(ctrlPort) : -1;
    const std::uint64_t s0 = sent.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long long c1 = ctrlPort > 0 ? readCounter(ctrlPort) : -1;
    const std::uint64_t s1 = sent.load();
    const double elapsed = secondsSince(t0);
    stop = true;
    for (int fd : fds) shutdown(fd, SHUT_RDWR);  // wakes senders blocked on a full path
    for (auto& t : threads) t.join();
    for (int fd : fds) close(fd);
    const double sentMib = (s1 - s0) / 1048576.0 / elapsed;
    const bool counted = c0 >= 0 && c1 >= c0;
    const double mib = counted ? (c1 - c0) / 1048576.0 / elapsed : sentMib;
    std::printf(
        "throughput conns=%d open=%zu seconds=%.2f mibps=%.1f sent_mibps=%.1f measured_at=%s "
        "connect_errors=%d send_errors=%d\n",
        connections, fds.size(), elapsed, mib, sentMib, counted ? "target" : "sender",
        connectErrors, sendErrors.load());
    return fds.empty() ? 1 : 0;
}

// ---- request/response --------------------------------------------------------

int runRr(int port, int connections, double seconds) {
    constexpr std::size_t kMessage = 64;
    int connectErrors = 0;
    std::vector<int> fds = connectMany(port, connections, connectErrors);
    std::atomic<bool> go{false};
    std::atomic<int> timeouts{0};
    std::atomic<int> closes{0};
    std::vector<std::vector<std::uint32_t>> samples(fds.size());
    std::vector<std::thread> threads;
    Clock::time_point start;
    Clock::time_point end;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        threads.emplace_back([&, i] {
            const int fd = fds[i];
            auto& mine = samples[i];
            mine.reserve(1 << 16);
            char out[kMessage];
            char in[kMessage];
            std::memset(out, 'r', sizeof out);
            while (!go.load()) std::this_thread::yield();
            const auto warmEnd = start;
            const auto stopAt = end;
            std::uint64_t seq = 0;
            while (mine.size() < kMaxSamplesPerThread) {
                const auto t = Clock::now();
                if (t >= stopAt) break;
                std::memcpy(out, &seq, sizeof seq);  // catches a reordered or stale echo
                ++seq;
                if (!sendAll(fd, out, sizeof out)) {
                    closes.fetch_add(1);
                    return;
                }
                const int r = recvAll(fd, in, sizeof in);
                if (r <= 0) {
                    (r == 0 ? closes : timeouts).fetch_add(1);
                    return;
                }
                if (std::memcmp(in, out, sizeof in) != 0) {
                    closes.fetch_add(1);
                    return;
                }
                if (t >= warmEnd) mine.push_back(elapsedNs(t));
            }
        });
    }
    const auto now = Clock::now();
    start = now + std::chrono::milliseconds(300);  // warm-up, not counted
    end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go = true;
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(end - start).count();
    for (int fd : fds) close(fd);
    std::vector<std::uint32_t> all;
    for (auto& v : samples) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    std::printf(
        "rr conns=%d open=%zu seconds=%.2f requests=%zu rps=%.0f p50_us=%.1f p99_us=%.1f "
        "p999_us=%.1f max_us=%.1f connect_errors=%d timeouts=%d closes=%d\n",
        connections, fds.size(), elapsed, all.size(), all.size() / elapsed, percentileUs(all, 0.50),
        percentileUs(all, 0.99), percentileUs(all, 0.999), all.empty() ? 0.0 : all.back() / 1000.0,
        connectErrors, timeouts.load(), closes.load());
    return all.empty() ? 1 : 0;
}

// ---- one-thread event loop clients ----------------------------------------------
// More connections than cores are driven by one thread with epoll, so the
// generator costs less CPU than what it measures.

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Every connection writes a deterministic stream and reads it back through an
// echo target, checking each byte, both directions at once.
int runDuplex(int port, int connections, double seconds) {
    constexpr std::size_t kPattern = 1 << 20;
    constexpr std::size_t kChunk = 64 << 10;
    std::vector<char> pattern(kPattern + kChunk);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>(((i % kPattern) * 2654435761u) >> 13);  // period kPattern
    }
    int connectErrors = 0;
    std::vector<int> fds = connectMany(port, connections, connectErrors);
    struct Conn {
        int fd;
        std::uint64_t sent = 0;
        std::uint64_t got = 0;
        bool done = false;
    };
    std::vector<Conn> conns;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : fds) {
        setNonBlocking(fd);
        conns.push_back(Conn{fd});
    }
    for (std::size_t i = 0; i < conns.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
    }
    int mismatches = 0;
    int closes = 0;
    std::vector<char> in(kChunk);
    // Repeats one non-blocking call until it would block; `took` sees what
    // each call moved and says whether to go on. False once `c` is done.
    auto repeat = [&](Conn& c, auto&& call, auto&& took) {
        for (;;) {
            const ssize_t k = call();
            if (k > 0) {
                if (!took(static_cast<std::size_t>(k))) return false;
                continue;
            }
            if (k < 0 && errno == EINTR) continue;
            if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            ++closes;
            c.done = true;
            return false;
        }
    };
    auto pump = [&](Conn& c, std::uint32_t events) {
        if (c.done) return;
        const bool open =
            !(events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ||
            repeat(
                c, [&] { return recv(c.fd, in.data(), in.size(), 0); },
                [&](std::size_t k) {
                    if (std::memcmp(in.data(), pattern.data() + c.got % kPattern, k) != 0) {
                        ++mismatches;
                        c.done = true;
                        return false;
                    }
                    c.got += k;
                    return true;
                });
        if (!open || !(events & EPOLLOUT)) return;
        repeat(
            c, [&] { return send(c.fd, pattern.data() + c.sent % kPattern, kChunk, MSG_NOSIGNAL); },
            [&](std::size_t k) {
                c.sent += k;
                return true;
            });
    };
    auto total = [&] {
        std::uint64_t t = 0;
        for (const Conn& c : conns) t += c.got;
        return t;
    };
    std::vector<epoll_event> events(conns.size() + 1);
    const auto warm = Clock::now() + std::chrono::milliseconds(500);
    const auto end =
        warm + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::uint64_t atWarm = 0;
    bool warmed = false;
    while (!conns.empty()) {
        const auto now = Clock::now();
        if (!warmed && now >= warm) {
            atWarm = total();
            warmed = true;
        }
        if (now >= end) break;
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 10);
        for (int i = 0; i < n; ++i) pump(conns[events[i].data.u64], events[i].events);
    }
    const std::uint64_t bytes = total() - atWarm;
    for (const Conn& c : conns) close(c.fd);
    close(ep);
    std::printf(
        "duplex conns=%d open=%zu seconds=%.2f mibps=%.1f connect_errors=%d closes=%d "
        "mismatches=%d\n",
        connections, conns.size(), seconds, bytes / 1048576.0 / seconds, connectErrors, closes,
        mismatches);
    return conns.empty() || mismatches > 0 ? 1 : 0;
}

// Request/response over many connections from one thread: each connection
// has one 64-byte request out at a time.
int runRrLoop(int port, int connections, double seconds) {
    constexpr std::size_t kMessage = 64;
    int connectErrors = 0;
    std::vector<int> fds = connectMany(port, connections, connectErrors);
    struct Conn {
        int fd;
        std::uint64_t seq = 0;
        std::size_t have = 0;
        Clock::time_point sentAt;
        char in[kMessage];
        bool done = false;
    };
    std::vector<Conn> conns(fds.size());
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    int closes = 0;
    auto sendNext = [&](Conn& c) {
        char out[kMessage];
        std::memset(out, 'r', sizeof out);
        std::memcpy(out, &c.seq, sizeof c.seq);  // catches a reordered or stale echo
        c.sentAt = Clock::now();
        c.have = 0;
        if (send(c.fd, out, sizeof out, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof out)) {
            ++closes;
            c.done = true;
        }
    };
    for (std::size_t i = 0; i < fds.size(); ++i) {
        conns[i].fd = fds[i];
        setNonBlocking(fds[i]);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    std::vector<std::uint32_t> samples;
    samples.reserve(1 << 20);
    const auto start = Clock::now() + std::chrono::milliseconds(300);  // warm-up, not counted
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (Conn& c : conns) sendNext(c);
    std::vector<epoll_event> events(conns.size() + 1);
    int timeouts = 0;
    while (Clock::now() < end && samples.size() < kMaxSamplesPerThread) {
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), kIoTimeoutMs);
        if (n == 0) {
            ++timeouts;
            break;
        }
        for (int i = 0; i < n; ++i) {
            Conn& c = conns[events[i].data.u64];
            if (c.done) continue;
            const ssize_t k = recv(c.fd, c.in + c.have, kMessage - c.have, 0);
            if (k <= 0) {
                if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                ++closes;
                c.done = true;
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                continue;
            }
            c.have += static_cast<std::size_t>(k);
            if (c.have < kMessage) continue;
            std::uint64_t seq;
            std::memcpy(&seq, c.in, sizeof seq);
            if (seq != c.seq) {
                ++closes;
                c.done = true;
                continue;
            }
            if (c.sentAt >= start) samples.push_back(elapsedNs(c.sentAt));
            ++c.seq;
            sendNext(c);
        }
    }
    for (int fd : fds) close(fd);
    close(ep);
    std::sort(samples.begin(), samples.end());
    std::printf(
        "rr conns=%d open=%zu seconds=%.2f requests=%zu rps=%.0f p50_us=%.1f p99_us=%.1f "
        "p999_us=%.1f max_us=%.1f connect_errors=%d timeouts=%d closes=%d\n",
        connections, fds.size(), seconds, samples.size(), samples.size() / seconds,
        percentileUs(samples, 0.50), percentileUs(samples, 0.99), percentileUs(samples, 0.999),
        samples.empty() ? 0.0 : samples.back() / 1000.0, connectErrors, timeouts, closes);
    return samples.empty() ? 1 : 0;
}

// ---- connection rate ---------------------------------------------------------

int runConnrate(int port, double seconds, int threadCount, bool abortive) {
    std::atomic<int> connectErrors{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> closes{0};
    std::atomic<int> lastErrno{0};
    std::vector<std::vector<std::uint32_t>> samples(static_cast<std::size_t>(threadCount));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            auto& mine = samples[static_cast<std::size_t>(i)];
            mine.reserve(1 << 16);
            int failures = 0;
            while (mine.size() < kMaxSamplesPerThread && failures < 10000) {
                const auto t = Clock::now();
                if (t >= end) break;
                const int fd = connectTo(port);
                if (fd < 0) {
                    lastErrno = errno;
                    connectErrors.fetch_add(1);
                    ++failures;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                char c = 'c';
                int r = sendAll(fd, &c, 1) ? recvAll(fd, &c, 1) : 0;
                if (abortive) {
                    // RST: no TIME_WAIT on the client's port, so one run does not slow the next.
                    linger off{1, 0};
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
                }
                close(fd);
                if (r <= 0) {
                    (r == 0 ? closes : timeouts).fetch_add(1);
                    ++failures;
                    continue;
                }
                mine.push_back(elapsedNs(t));
            }
        });
    }
    for (auto& t : threads) t.join();
    const double elapsed = secondsSince(start);
    std::vector<std::uint32_t> all;
    for (auto& v : samples) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    std::printf(
        "connrate threads=%d close=%s seconds=%.2f connections=%zu cps=%.0f p50_us=%.1f "
        "p99_us=%.1f "
        "max_us=%.1f connect_errors=%d last_errno=%d timeouts=%d closes=%d\n",
        threadCount, abortive ? "rst" : "fin", elapsed, all.size(), all.size() / elapsed,
        percentileUs(all, 0.50), percentileUs(all, 0.99), all.empty() ? 0.0 : all.back() / 1000.0,
        connectErrors.load(), lastErrno.load(), timeouts.load(), closes.load());
    return all.empty() ? 1 : 0;
}

// COUNT connect/echo/close cycles shared by THREADS, each checked byte for byte.
int runCycles(int port, int count, int threadCount) {
    std::atomic<int> next{0};
    std::atomic<int> ok{0};
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            char out[64];
            char back[64];
            for (int k = next++; k < count; k = next++) {
                for (std::size_t j = 0; j < sizeof out; ++j) {
                    out[j] = static_cast<char>(k * 31 + i + static_cast<int>(j));
                }
                const int fd = connectTo(port);
                const bool good = fd >= 0 && sendAll(fd, out, sizeof out) &&
                                  recvAll(fd, back, sizeof back) == 1 &&
                                  std::memcmp(out, back, sizeof out) == 0;
                if (fd >= 0) close(fd);
                (good ? ok : failed).fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    const double elapsed = secondsSince(start);
    std::printf("cycles threads=%d count=%d ok=%d failed=%d seconds=%.2f per_second=%.0f\n",
                threadCount, count, ok.load(), failed.load(), elapsed, ok.load() / elapsed);
    return failed.load() == 0 ? 0 : 1;
}

// CLIENTS connect at once and each sends one byte: served when it comes back,
// refused when the forwarder closes, undecided when neither happens in time.
int runCrowd(int port, int clients) {
    std::vector<int> fds;
    int connectErrors = 0;
    for (int i = 0; i < clients; ++i) {
        const int fd = connectTo(port);
        if (fd < 0) {
            ++connectErrors;
            continue;
        }
        fds.push_back(fd);
    }
    for (int fd : fds) {
        const char c = 'x';
        sendAll(fd, &c, 1);
    }
    int served = 0;
    int refused = 0;
    int undecided = 0;
    for (int fd : fds) {
        char c = 0;
        const int r = recvAll(fd, &c, 1);
        if (r == 1 && c == 'x') {
            ++served;
        } else if (r == 0 || errno == ECONNRESET) {
            ++refused;
        } else {
            ++undecided;
        }
    }
    for (int fd : fds) close(fd);
    std::printf("crowd clients=%d served=%d refused=%d undecided=%d connect_errors=%d\n", clients,
                served, refused, undecided, connectErrors);
    return undecided == 0 ? 0 : 1;
}

std::vector<int> portList(const char* text) {
    std::vector<int> ports;
    for (const char* p = text; *p;) {
        ports.push_back(std::atoi(p));
        const char* comma = std::strchr(p, ',');
        if (!comma) break;
        p = comma + 1;
    }
    return ports;
}

int usage() {
    std::fprintf(stderr,
                 "usage:\n"
                 "  lumesk_load sink-server PORT CTRL_PORT [MAX_SECONDS]\n"
                 "  lumesk_load echo-server PORT[,PORT...] [MAX_SECONDS]\n"
                 "  lumesk_load throughput PORT CONNECTIONS SECONDS [CTRL_PORT]\n"
                 "  lumesk_load rr PORT CONNECTIONS SECONDS\n"
                 "  lumesk_load duplex PORT CONNECTIONS SECONDS\n"
                 "  lumesk_load connrate PORT SECONDS [THREADS] [fin|rst]\n"
                 "  lumesk_load cycles PORT COUNT THREADS\n"
                 "  lumesk_load crowd PORT CLIENTS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 3) return usage();
    readProxySetting();
    const std::string mode = argv[1];
    // Bounded in time whatever the caller asks: a benchmark stops by itself.
    auto clampSeconds = [](double s) { return std::clamp(s, 0.1, 120.0); };
    if (mode == "sink-server" && argc >= 4) {
        const int maxSeconds = argc > 4 ? std::atoi(argv[4]) : kDefaultServerSeconds;
        return runServer(false, {std::atoi(argv[2])}, std::atoi(argv[3]),
                         std::clamp(maxSeconds, 1, 3600));
    }
    if (mode == "echo-server") {
        const int maxSeconds = argc > 3 ? std::atoi(argv[3]) : kDefaultServerSeconds;
        return runServer(true, portList(argv[2]), 0, std::clamp(maxSeconds, 1, 3600));
    }
    if (mode == "throughput" && argc >= 5) {
        return runThroughput(std::atoi(argv[2]), std::clamp(std::atoi(argv[3]), 1, 1000),
                             clampSeconds(std::atof(argv[4])), argc > 5 ? std::atoi(argv[5]) : 0);
    }
    if (mode == "rr" && argc >= 5) {
        const int connections = std::clamp(std::atoi(argv[3]), 1, 1000);
        // One connection: a blocking thread is the cheapest; more: one epoll thread.
        return connections == 1
                   ? runRr(std::atoi(argv[2]), 1, clampSeconds(std::atof(argv[4])))
                   : runRrLoop(std::atoi(argv[2]), connections, clampSeconds(std::atof(argv[4])));
    }
    if (mode == "duplex" && argc >= 5) {
        return runDuplex(std::atoi(argv[2]), std::clamp(std::atoi(argv[3]), 1, 1000),
                         clampSeconds(std::atof(argv[4])));
    }
    if (mode == "connrate" && argc >= 4) {
        return runConnrate(std::atoi(argv[2]), clampSeconds(std::atof(argv[3])),
                           std::clamp(argc > 4 ? std::atoi(argv[4]) : 4, 1, 64),
                           argc > 5 && std::string(argv[5]) == "rst");
    }
    if (mode == "cycles" && argc >= 5) {
        return runCycles(std::atoi(argv[2]), std::clamp(std::atoi(argv[3]), 1, 10000000),
                         std::clamp(std::atoi(argv[4]), 1, 64));
    }
    if (mode == "crowd" && argc >= 4) {
        return runCrowd(std::atoi(argv[2]), std::clamp(std::atoi(argv[3]), 1, 10000));
    }
    return usage();
}
