// What the engine keeps of each proxy client (modes 2 and 3) from its
// admission until its relay is up or it has failed: the request read so far,
// then what it asked for. And the threads that resolve names, so that no
// worker ever waits for a resolver.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mapping/proxy_protocol.h"
#include "net/service.h"

namespace lumesk::mapping {

struct ProxyClient {
    bool socks = false;    // mode 3; else HTTP
    std::string received;  // the request so far
    bool greeted = false;  // SOCKS5's method choice is sent
    bool asked = false;    // the request is whole: `request` and `rest` hold
    proxy::Request request;
    std::string rest;  // what came after the request, for the target
};

class ProxyClients {
  public:
    explicit ProxyClients(net::ServiceContext& context) : ctx_(context) {}
    ~ProxyClients();
    ProxyClients(const ProxyClients&) = delete;
    ProxyClients& operator=(const ProxyClients&) = delete;

    // Holds a reference to the client until it is taken.
    void add(net::IoRecord* client, bool socks);
    // Runs `f` on the client's entry under the lock; false when it has none.
    bool with(net::IoRecord* client, const std::function<void(ProxyClient&)>& f);
    std::optional<ProxyClient> take(net::IoRecord* client);

    // Resolves `host` on a resolver thread, then calls `done` there with 0
    // and the address, or the resolver's code. The client is held meanwhile.
    void resolve(net::IoRecord* client, const std::string& host,
                 std::function<void(int code, std::uint32_t addressNet)> done);

  private:
    struct Job {
        net::IoRecord* client;
        std::string host;
        std::function<void(int, std::uint32_t)> done;
    };
    void run();

    net::ServiceContext& ctx_;
    std::mutex mutex_;
    std::map<net::IoRecord*, ProxyClient> clients_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<std::thread> threads_;
    int idle_ = 0;
    bool stopping_ = false;
};

}  // namespace lumesk::mapping
