// The proxy's request parsers, fed bytes directly.
#include "mapping/proxy_protocol.h"

#include <gtest/gtest.h>

#include <random>

using namespace lumesk::mapping::proxy;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

const std::string kBad =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

TEST(HttpHead, ConnectNamesItsTargetAndKeepsWhatFollows) {
    const std::string head = "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n";
    // Every prefix waits for more.
    for (std::size_t i = 0; i < head.size(); ++i) {
        EXPECT_EQ(parseHttp(head.substr(0, i)).status, Status::NeedMore) << i;
    }
    const Step s = parseHttp(head + "\x16\x03");
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_TRUE(s.request.tunnel);
    EXPECT_EQ(s.request.host, "example.com");
    EXPECT_EQ(s.request.port, 443);
    EXPECT_EQ(s.request.consumed, head.size());
    EXPECT_EQ(successReply(s.request, 0, 0), "HTTP/1.1 200 Connection established\r\n\r\n");
}

TEST(HttpHead, AbsoluteFormGoesOnInOriginFormWithoutHopByHopFields) {
    const std::string head =
        "POST http://Target.example:8080/a/b?q=1#frag HTTP/1.1\r\n"
        "Host: proxy.local\r\n"
        "Proxy-Connection: keep-alive\r\n"
        "Connection: keep-alive, X-Private\r\n"
        "X-Private: secret\r\n"
        "Keep-Alive: 5\r\nTE: trailers\r\nTrailer: X\r\nUpgrade: h2c\r\n"
        "Proxy-Authorization: Basic eA==\r\n"
        "Transfer-Encoding: chunked\r\n"
        "Accept: */*\r\n\r\n";
    const Step s = parseHttp(head + "5\r\nhello\r\n");
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_FALSE(s.request.tunnel);
    EXPECT_EQ(s.request.host, "Target.example");
    EXPECT_EQ(s.request.port, 8080);
    EXPECT_EQ(s.request.consumed, head.size());
    EXPECT_EQ(s.request.forward,
              "POST /a/b?q=1 HTTP/1.1\r\nHost: Target.example:8080\r\n"
              "Transfer-Encoding: chunked\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(successReply(s.request, 0, 0), "");

    const Step plain = parseHttp("GET http://h HTTP/1.0\n\n");  // bare line ends
    ASSERT_EQ(plain.status, Status::Ready);
    EXPECT_EQ(plain.request.port, 80);
    EXPECT_EQ(plain.request.forward, "GET / HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n");
}

TEST(HttpHead, BadOrOversizedHeadsAreRefusedWith400) {
    for (const std::string& head : {
             std::string("GET /relative HTTP/1.1\r\n\r\n"),
             std::string("GET https://h/ HTTP/1.1\r\n\r\n"),
             std::string("CONNECT h HTTP/1.1\r\n\r\n"),
             std::string("CONNECT h:0 HTTP/1.1\r\n\r\n"),
             std::string("CONNECT h:65536 HTTP/1.1\r\n\r\n"),
             std::string("CONNECT [::1]:80 HTTP/1.1\r\n\r\n"),
             std::string("GET http://u@h/ HTTP/1.1\r\n\r\n"),
             std::string("GET  http://h/ HTTP/1.1\r\n\r\n"),
             std::string("GET http://h/ HTTP/2\r\n\r\n"),
             std::string("GET http://h/ HTTP/1.1\r\nBad Name: x\r\n\r\n"),
             std::string("GET http://h/ HTTP/1.1\r\nA: b\r\n folded\r\n\r\n"),
             std::string("\r\n\r\n"),
         }) {
        const Step s = parseHttp(head);
        EXPECT_EQ(s.status, Status::Failed) << head;
        EXPECT_EQ(s.reply, kBad) << head;
        EXPECT_EQ(s.reason, "请求无效") << head;
    }
    const std::string endless = "GET http://h/ HTTP/1.1\r\nX: " + std::string(kHeadLimit, 'a');
    EXPECT_EQ(parseHttp(endless.substr(0, kHeadLimit)).status, Status::NeedMore);
    EXPECT_EQ(parseHttp(endless).reason, "请求过长");
    EXPECT_EQ(parseHttp(endless + "\r\n\r\n").reason, "请求过长");
    EXPECT_EQ(failureReply(Protocol::Http, failureOf(10061)).substr(0, 24),
              "HTTP/1.1 502 Bad Gateway");
    EXPECT_EQ(failureReply(Protocol::Http, failureOf(10060)).substr(0, 28),
              "HTTP/1.1 504 Gateway Timeout");
}

TEST(Socks, FourAndFourA) {
    const std::string v4 = bytes({4, 1, 0, 80, 10, 1, 2, 3}) + "user" + bytes({0});
    for (std::size_t i = 0; i < v4.size(); ++i) {
        EXPECT_EQ(parseSocks(v4.substr(0, i), false).status, Status::NeedMore) << i;
    }
    Step s = parseSocks(v4 + "data", false);
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_EQ(s.request.host, "10.1.2.3");
    EXPECT_EQ(s.request.port, 80);
    EXPECT_EQ(s.request.consumed, v4.size());
    EXPECT_TRUE(s.reply.empty());
    EXPECT_EQ(successReply(s.request, 0x0100007F, 0x1234),
              bytes({0, 90, 0x12, 0x34, 127, 0, 0, 1}));

    const std::string v4a = bytes({4, 1, 1, 0, 0, 0, 0, 7, 0}) + "example.org" + bytes({0});
    EXPECT_EQ(parseSocks(v4a.substr(0, v4a.size() - 1), false).status, Status::NeedMore);
    s = parseSocks(v4a, false);
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_EQ(s.request.host, "example.org");
    EXPECT_EQ(s.request.port, 256);

    const std::string refusal = bytes({0, 91, 0, 0, 0, 0, 0, 0});
    s = parseSocks(bytes({4, 2}), false);  // BIND
    EXPECT_EQ(s.status, Status::Failed);
    EXPECT_EQ(s.reply, refusal);
    EXPECT_EQ(parseSocks(bytes({4, 1, 0, 0, 1, 2, 3, 4, 0}), false).reply, refusal);  // port 0
    EXPECT_EQ(parseSocks(bytes({4, 1}) + std::string(kHeadLimit, 'u'), false).reason, "请求过长");
    EXPECT_EQ(failureReply(Protocol::Socks4, Failure::Refused), refusal);
}

TEST(Socks, FiveWithoutAuthentication) {
    const std::string greeting = bytes({5, 2, 2, 0});
    Step s = parseSocks(greeting, false);
    EXPECT_EQ(s.status, Status::NeedMore);
    EXPECT_EQ(s.reply, bytes({5, 0}));
    const std::string request = bytes({5, 1, 0, 3, 4}) + "host" + bytes({0x1F, 0x90});
    s = parseSocks(greeting + request, true);
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_TRUE(s.reply.empty());  // the choice was sent already
    EXPECT_EQ(s.request.host, "host");
    EXPECT_EQ(s.request.port, 8080);
    EXPECT_EQ(s.request.consumed, greeting.size() + request.size());
    // Sent in one go: the choice comes with the request.
    s = parseSocks(greeting + bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80}), false);
    ASSERT_EQ(s.status, Status::Ready);
    EXPECT_EQ(s.reply, bytes({5, 0}));
    EXPECT_EQ(s.request.host, "127.0.0.1");
    EXPECT_EQ(successReply(s.request, 0x0100007F, 80), bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}));

    auto reply = [](int code) { return bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}); };
    EXPECT_EQ(parseSocks(bytes({5, 1, 2}), false).reply, bytes({5, 0xFF}));
    EXPECT_EQ(parseSocks(greeting + bytes({5, 2, 0, 1}), true).reply, reply(7));
    s = parseSocks(greeting + bytes({5, 1, 0, 4}), true);
    EXPECT_EQ(s.reply, reply(8));
    EXPECT_EQ(s.reason, "不支持的地址类型");
    EXPECT_EQ(failureReply(Protocol::Socks5, Failure::Unresolved), reply(4));
    EXPECT_EQ(failureReply(Protocol::Socks5, failureOf(10061)), reply(5));
    EXPECT_EQ(failureReply(Protocol::Socks5, failureOf(10054)), reply(1));

    s = parseSocks(bytes({9, 1, 0}), false);
    EXPECT_EQ(s.status, Status::Failed);
    EXPECT_TRUE(s.reply.empty());
    EXPECT_EQ(s.reason, "请求无效");
}

// Random and mutated requests: whatever comes, the parsers end, say
// something consistent and never answer more than a few bytes.
TEST(ProxyParsers, FuzzedInputsStayBounded) {
    const std::vector<std::string> seeds = {
        "CONNECT a.b:443 HTTP/1.1\r\nHost: a\r\n\r\n",
        "GET http://a.b:81/x?y HTTP/1.1\r\nConnection: x, y\r\nx: 1\r\n\r\nbody",
        bytes({4, 1, 0, 80, 0, 0, 0, 1, 'u', 0, 'h', 0}),
        bytes({5, 1, 0, 5, 1, 0, 3, 1, 'h', 0, 80}),
    };
    std::mt19937 rng(20261210);
    for (int i = 0; i < 4000; ++i) {
        std::string input;
        if (i % 4 == 0) {
            input.resize(rng() % 64);
            for (char& c : input) c = static_cast<char>(rng());
        } else {
            input = seeds[rng() % seeds.size()];
            for (int m = 0, edits = 1 + static_cast<int>(rng() % 4); m < edits; ++m) {
                const std::size_t at = rng() % (input.size() + 1);
                switch (rng() % 3) {
                    case 0:
                        if (at < input.size()) input[at] = static_cast<char>(rng());
                        break;
                    case 1:
                        input.insert(at, 1 + rng() % 8, static_cast<char>(rng()));
                        break;
                    default:
                        input.erase(at, rng() % 4);
                }
            }
        }
        for (const Step& s : {parseHttp(input), parseSocks(input, i % 2 == 0)}) {
            EXPECT_LE(s.reply.size(), kBad.size());
            if (s.status == Status::Ready) {
                EXPECT_FALSE(s.request.host.empty());
                EXPECT_NE(s.request.port, 0);
                EXPECT_LE(s.request.consumed, input.size());
                EXPECT_LE(s.request.forward.size(), 2 * input.size() + 64);
            } else if (s.status == Status::Failed) {
                EXPECT_FALSE(s.reason.empty());
            }
        }
    }
}
