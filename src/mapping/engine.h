// The port mapping engine: listeners, admission, relay connections,
// forwarding and the closing cascade, and the events that tell the window.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mapping/proxy.h"
#include "mapping/relay_watch.h"
#include "model/address.h"
#include "model/mapping.h"
#include "net/service.h"

namespace lumesk::mapping {

constexpr std::int32_t kAcceptsPerListener = 1000;

enum EngineEventKind : std::int32_t {
    EVENT_MESSAGE = 1,
    EVENT_ENTERED = 2,
    EVENT_RELAYED = 3,
    EVENT_LEFT = 4,
};

struct EngineEvent {
    std::int32_t kind = 0;
    std::int32_t mapping = 0;
    std::int32_t slot = 0;
    net::IoRecord* connection = nullptr;  // a name, not a reference (net/records.h)
    std::string text;
    // Read from the client's slot when the event was posted, so the window can
    // handle it later, after the slot has been cleared or taken by another.
    std::uint64_t serial = 0;  // the client connection's, never reused
    std::string client;        // "ip:port"
    std::string forward;       // "ip:port", ":0" until the relay has an address
};

// Hears what the engine does. Events come on worker threads; the log lines
// and run states on the thread that starts and stops. None may wait for the
// window: events are queued for it (mapping/event_queue.h).
class EngineListener {
  public:
    virtual ~EngineListener() = default;
    virtual int deliver(const EngineEvent& event) = 0;
    // The start and stop lines.
    virtual void appendLog(const std::string& text) = 0;
    // After a start or a stop, for the window's own refresh.
    virtual void runStateChanged(int /*n*/) {}
};

class MappingEngine {
  public:
    MappingEngine(net::ServiceContext& context, net::WnSocketService& server,
                  net::WnSocketService& client, model::MappingTable& table,
                  net::Lock* clientTableLock, EngineListener& listener);
    ~MappingEngine();
    MappingEngine(const MappingEngine&) = delete;
    MappingEngine& operator=(const MappingEngine&) = delete;

    // How long a relay may take to connect before it fails as a timed-out
    // connect (10060): about what Windows itself allows a connect.
    std::chrono::milliseconds connectBound{21000};
    // How long a proxy client may take to send its whole request.
    std::chrono::milliseconds headBound{10000};

    void startMapping(int n);
    void stopMapping(int n);
    // Stops a running mapping as stopMapping does, gives up its clients'
    // slots (and the relays they hold) and clears its record.
    void deleteMapping(int n);

    // Online count of a running mapping (0 when stopped).
    std::int32_t onlineCount(int n);
    net::Lock* clientTableLock() const { return lock_; }

    // What a relay whose connect ended reports when its first receive could
    // not be posted: nothing when it was cancelled here (its client left
    // first, or a stop or delete closed it), else the failure after
    // `prefix` ("转接到[ip:port]错误:"). A timed-out connect is reported as such.
    static std::string receivePostFailure(const std::string& prefix, const std::string& errorText,
                                          bool timedOut, bool clientLeft, bool mappingStopped);

  private:
    bool openListener(int n, std::string& errorText);
    bool closeListener(int n, std::string& errorText);
    net::IoRecord* createListener(net::EventProc handler, std::int32_t tag, std::string& ip,
                                  std::int32_t& port, std::int32_t acceptCount,
                                  std::string& errorText);
    bool bindListeningSocket(platform::Socket& socket, std::int32_t& port, std::string& ip,
                             std::string& errorText);
    static void readBackAddress(platform::Socket socket, std::string& ip, std::int32_t& port);
    void releaseListener(net::IoRecord*& listener);
    void closeConnection(net::IoRecord* record);
    int admitClient(int n, net::IoRecord* connection, const std::string& ip, std::int32_t port,
                    std::string& errorText);
    int blacklistPosition(const std::vector<std::string>& blacklist, const std::string& ip);
    int postEngineEvent(std::int32_t kind, int n, int slot, net::IoRecord* connection,
                        const std::string& text = {});
    static void peerAddress(const net::IoRecord* connection, std::string& ip, std::int32_t& port);
    static bool checkIpText(std::string& ip, std::string& errorText);
    bool forwardBytes(net::IoRecord* destination, const char* data, std::uint32_t bytes);
    int clientClosed(int n, int slot, net::IoRecord* client);

    static void portMappingHandler(void* engine, int event, net::IoRecord* connection,
                                   std::uint32_t bytes, std::int32_t tag);
    static void httpProxyHandler(void* engine, int event, net::IoRecord* connection,
                                 std::uint32_t bytes, std::int32_t tag);
    static void socks4ProxyHandler(void* engine, int event, net::IoRecord* connection,
                                   std::uint32_t bytes, std::int32_t tag);
    static void relayHandler(void* engine, int event, net::IoRecord* relay, std::uint32_t bytes,
                             std::int32_t tag);

    void clientAccepted(int n, net::IoRecord* connection, model::Mode mode);
    // A client's bytes once it is relayed: on to its relay.
    void clientBytes(net::IoRecord* client, std::uint32_t bytes);
    bool openRelay(int n, int slot, net::IoRecord* client, std::string& errorText);
    bool openRelayTo(int n, int slot, net::IoRecord* client, std::string ip, std::int32_t port,
                     std::string& errorText);
    net::IoRecord* connectOutbound(std::string& ip, std::int32_t port, std::string& errorText);
    bool makeConnectedSocket(platform::Socket& socket, std::string& errorText);
    // `timedOut`: the watch has closed it, or is about to.
    void relayConnected(net::IoRecord* relay, bool timedOut);
    void relayFailed(net::IoRecord* relay, int code, bool timedOut);
    // The listener's mapping still runs: from before its first accept is
    // posted until its stop, so a client admitted while the rest of the
    // accepts are posted is not taken for one whose mapping was stopped.
    bool listenerLive(net::IoRecord* listener);
    // A close's own doing: a post on a relay closed by a stop, a delete or its
    // client's leaving fails with this text (the handle is never touched).
    static bool closedHereText(const std::string& errorText);
    void acceptsFailing(int n, int code);

    // The proxy modes (proxy.cpp): the client's request is read first, then
    // its relay is opened to the target it names.
    void proxyEvent(int n, int event, net::IoRecord* connection, std::uint32_t bytes, bool socks);
    void proxyAdmitted(net::IoRecord* client, bool socks);
    void proxyReceived(int n, net::IoRecord* client, std::uint32_t bytes);
    void proxyConnect(int n, int slot, net::IoRecord* client, const std::string& ip,
                      std::int32_t port);
    void proxyFailed(int n, int slot, net::IoRecord* client, const std::string& reason,
                     proxy::Failure failure);
    void answerAndClose(net::IoRecord* client, const std::string& reply);
    // Inside relayConnected: the client's answer, and what it sent with its request.
    void proxyRelayed(net::IoRecord* client, net::IoRecord* relay);
    // Inside relayFailed: true when a proxy client was answered (it closes after).
    bool proxyAnswered(net::IoRecord* client, int code);
    void proxyClosed(int n, net::IoRecord* client);
    std::string relayPrefix(net::IoRecord* relay);
    void report(int n, int slot, net::IoRecord* connection, const std::string& reason);

    net::ServiceContext& ctx_;
    net::WnSocketService& server_;
    net::WnSocketService& client_;
    model::MappingTable& table_;
    net::Lock* lock_;
    EngineListener& listener_;

    // Listeners whose mapping runs (under the client table lock). A client
    // holds its listener, so an address here is never a later listener's.
    std::set<net::IoRecord*> liveListeners_;
    // Taken around a client's "relayed" and "left" (before the client table
    // lock, which postEngineEvent takes): "relayed" is posted only while the
    // client has not closed, so it never follows its "left".
    std::mutex orderMutex_;
    RelayWatch relays_;           // its thread closes relays through the members above
    ProxyClients proxies_{ctx_};  // last: its threads open relays through all of the above
};

}  // namespace lumesk::mapping
