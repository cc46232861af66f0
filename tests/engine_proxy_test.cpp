// The proxy modes end to end on loopback: SOCKS and HTTP clients of our own,
// curl where it is installed, and clients that send nothing, too much or
// nonsense.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "engine_fixture.h"
#include "support.h"

using namespace lumesk;
using test::Client;
using test::waitFor;

namespace {

std::string text(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

std::string receive(Client& c, std::size_t size) {
    std::string out(size, '\0');
    if (!c.recvAll(out.data(), size)) out.clear();
    return out;
}

void sendText(Client& c, const std::string& bytes) {
    ASSERT_TRUE(c.sendAll(bytes.data(), bytes.size()));
}

std::string portBytes(std::uint16_t port) {
    return text({port >> 8, port & 0xFF});
}

// Answers each request with a short page and closes; keeps the heads it got.
struct HttpTarget {
    static constexpr const char* kBody = "hello through the proxy";
    std::mutex mutex;
    std::vector<std::string> heads;
    test::ScriptedTarget target{[this](Client& c) {
        std::string head;
        char ch;
        while (head.find("\r\n\r\n") == std::string::npos && c.recvAll(&ch, 1)) head += ch;
        {
            std::lock_guard<std::mutex> lock(mutex);
            heads.push_back(head);
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(std::strlen(kBody)) +
            "\r\nConnection: close\r\n\r\n" + kBody;
        c.sendAll(answer.data(), answer.size());
    }};
};

}  // namespace

struct Proxy : test::Engine {
    std::uint16_t startProxy(model::Mode mode, int n = 1) {
        define(n, 0).mode = mode;
        return start(n);
    }
    // Every client entered, relayed to `forward` and left, in that order.
    void expectRelayedTo(int clients, const std::string& forward) {
        ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == clients; }));
        int relayed = 0;
        for (const auto& e : sink.events()) {
            if (e.kind != mapping::EVENT_RELAYED) continue;
            ++relayed;
            EXPECT_EQ(e.forward, forward);
        }
        EXPECT_EQ(relayed, clients);
        EXPECT_EQ(sink.count(mapping::EVENT_ENTERED), clients);
        EXPECT_TRUE(sink.messages().empty()) << sink.messages().front();
        EXPECT_TRUE(slotsFree(1));
    }
};

TEST_F(Proxy, SocksFourAndFiveRelayBothWays) {
    test::EchoServer target(4, 10);
    const std::uint16_t port = startProxy(model::Mode::Socks4Proxy);
    {
        Client c(port);
        sendText(c,
                 text({4, 1}) + portBytes(target.port()) + text({127, 0, 0, 1}) + "me" + text({0}));
        EXPECT_EQ(receive(c, 8).substr(0, 2), text({0, 90}));
        test::roundTrip(c, 1 << 20, 4096, 1);
    }
    {
        Client c(port);
        sendText(c, text({5, 1, 0}));
        EXPECT_EQ(receive(c, 2), text({5, 0}));
        sendText(c, text({5, 1, 0, 1, 127, 0, 0, 1}) + portBytes(target.port()) + "early");
        const std::string reply = receive(c, 10);
        EXPECT_EQ(reply.substr(0, 4), text({5, 0, 0, 1}));
        EXPECT_EQ(receive(c, 5), "early");  // sent with the request, relayed after
        test::roundTrip(c, 1 << 20, 7000, 2);
    }
    expectRelayedTo(2, "127.0.0.1:" + std::to_string(target.port()));
}

TEST_F(Proxy, HttpConnectCarriesSixtyFourMebibytes) {
    test::EchoServer target(4, 10);
    Client c(startProxy(model::Mode::HttpProxy));
    sendText(c, "CONNECT 127.0.0.1:" + std::to_string(target.port()) + " HTTP/1.1\r\n\r\n");
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    ASSERT_EQ(receive(c, established.size()), established);
    test::roundTrip(c, 64u << 20, 1u << 20, 3);
    c.close();
    expectRelayedTo(1, "127.0.0.1:" + std::to_string(target.port()));
}

TEST_F(Proxy, CurlThroughEveryProxyKind) {
#ifdef _WIN32
    GTEST_SKIP() << "curl runs on Linux only here";
#else
    if (::access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "no curl";
    HttpTarget web;
    const std::string proxy = "127.0.0.1:" + std::to_string(startProxy(model::Mode::HttpProxy));
    const std::string socks =
        "127.0.0.1:" + std::to_string(startProxy(model::Mode::Socks4Proxy, 2));
    const std::string page = std::to_string(web.target.port()) + "/page?x=1";
    const std::vector<std::string> runs = {
        "--proxy http://" + proxy + " http://127.0.0.1:" + page,
        "--socks4 " + socks + " http://127.0.0.1:" + page,
        "--socks4a " + socks + " http://localhost:" + page,
        "--socks5-hostname " + socks + " http://localhost:" + page,
    };
    for (const std::string& run : runs) {
        const std::string command = "/usr/bin/curl -s --noproxy '' --max-time 20 " + run;
        FILE* out = ::popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string got;
        char buffer[256];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            got.append(buffer, n);
        EXPECT_EQ(::pclose(out), 0) << run;
        EXPECT_EQ(got, HttpTarget::kBody) << run;
    }
    std::lock_guard<std::mutex> lock(web.mutex);
    ASSERT_EQ(web.heads.size(), runs.size());
    // The HTTP proxy sent it on in origin form, to close after one answer.
    EXPECT_EQ(web.heads[0].rfind("GET /page?x=1 HTTP/1.1\r\nHost: 127.0.0.1:", 0), 0u)
        << web.heads[0];
    EXPECT_NE(web.heads[0].find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(web.heads[0].find("Proxy-Connection"), std::string::npos);
    EXPECT_TRUE(slotsFree(1));
    EXPECT_TRUE(slotsFree(2));
#endif
}

TEST_F(Proxy, BadRequestsAreAnsweredOrClosedAndSaySo) {
    engine.headBound = std::chrono::milliseconds(300);
    const std::uint16_t http = startProxy(model::Mode::HttpProxy);
    const std::uint16_t socks = startProxy(model::Mode::Socks4Proxy, 2);
    test::ClosedPort refusing;
    std::vector<std::string> expected;

    Client silent(http);
    EXPECT_TRUE(silent.waitClosed(5000));
    expected.push_back(clientText(silent, "转接到[]错误:请求超时"));

    Client endless(http);
    const std::string huge = "GET http://127.0.0.1/ HTTP/1.1\r\nX: " + std::string(1 << 20, 'a');
    endless.sendAll(huge.data(), huge.size());  // may fail once the proxy has had enough
    EXPECT_TRUE(endless.waitClosed(5000));
    expected.push_back(clientText(endless, "转接到[]错误:请求过长"));

    Client garbage(http);
    sendText(garbage, "\x01\x02 nonsense\r\n\r\n");
    EXPECT_EQ(garbage.recvToEnd().rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    expected.push_back(clientText(garbage, "转接到[]错误:请求无效"));

    Client refused(http);
    const std::string to = "127.0.0.1:" + std::to_string(refusing.port());
    sendText(refused, "CONNECT " + to + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(refused.recvToEnd().rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
    expected.push_back(clientText(refused, "转接到[" + to + "]错误:套接口捆绑错误:10061"));

    Client unknown(http);
    sendText(unknown, "GET http://nonexistent.invalid/ HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(unknown.recvToEnd().rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
    expected.push_back(clientText(unknown, "转接到[nonexistent.invalid:80]错误:域名解析失败"));

    Client socksUnknown(socks);
    sendText(socksUnknown,
             text({5, 1, 0, 5, 1, 0, 3, 20}) + "nonexistent.invalid." + portBytes(80));
    EXPECT_EQ(socksUnknown.recvToEnd(), text({5, 0, 5, 4, 0, 1, 0, 0, 0, 0, 0, 0}));
    expected.push_back(
        clientText(socksUnknown, "转接到[nonexistent.invalid.:80]错误:域名解析失败"));

    Client nine(socks);
    sendText(nine, text({9, 1, 0, 80}));
    EXPECT_EQ(nine.recvToEnd(), "");
    expected.push_back(clientText(nine, "转接到[]错误:请求无效"));

    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 7; }));
    EXPECT_EQ(sink.count(mapping::EVENT_ENTERED), 7);  // each admitted before it was read
    EXPECT_EQ(sink.count(mapping::EVENT_RELAYED), 0);
    // A timed-out client may see its close before its line is posted.
    std::vector<std::string> seen = sink.messages();
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(slotsFree(1));
    EXPECT_TRUE(slotsFree(2));
}

TEST_F(Proxy, AProxyOpenBeyondThisMachineSaysSo) {
    define(1, 0).mode = model::Mode::HttpProxy;
    table.at(1).listen_ip = "0.0.0.0";
    start(1);
    ASSERT_GE(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[log.lines.size() - 2], "[映射1]映射已启动");
    EXPECT_EQ(log.lines.back(), "[映射1]代理对所有能连到它的客户开放,请用IP黑名单或只监听本机");
    const std::size_t before = log.lines.size();
    startProxy(model::Mode::Socks4Proxy, 2);  // on 127.0.0.1
    EXPECT_EQ(log.lines.size(), before + 1);
}

TEST_F(Proxy, ATargetThatNeverAnswersIsAGatewayTimeout) {
    engine.connectBound = std::chrono::milliseconds(300);
    test::StalledTarget stalled;
    Client c(startProxy(model::Mode::HttpProxy));
    const std::string to = "127.0.0.1:" + std::to_string(stalled.port());
    sendText(c, "CONNECT " + to + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.recvToEnd().rfind("HTTP/1.1 504 Gateway Timeout\r\n", 0), 0u);
    ASSERT_TRUE(waitFor([&] { return sink.count(mapping::EVENT_LEFT) == 1; }));
    EXPECT_EQ(sink.messages(), std::vector<std::string>{
                                   clientText(c, "转接到[" + to + "]错误:套接口捆绑错误:10060")});
    EXPECT_TRUE(slotsFree(1));
}
