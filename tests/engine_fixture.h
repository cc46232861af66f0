// The engine's test fixture: two service instances, a table and an engine
// whose events and log lines are recorded, with helpers to define, start and
// watch mappings. Shared by the engine's test files.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "mapping/runtime.h"
#include "support.h"

namespace lumesk::test {

using mapping::EngineEvent;

// The engine's events and log lines, as they come.
class RecordingListener : public mapping::EngineListener {
  public:
    int deliver(const EngineEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        return 0;
    }
    std::vector<EngineEvent> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    int count(int kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& e : events_) n += e.kind == kind;
        return n;
    }
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_) {
            if (e.kind == mapping::EVENT_MESSAGE) out.push_back(e.text);
        }
        return out;
    }

    void appendLog(const std::string& text) override { lines.push_back(text); }
    std::vector<std::string> lines;  // written on the test's own thread only

  private:
    std::mutex mutex_;
    std::vector<EngineEvent> events_;
};

struct Engine : ::testing::Test {
    Engine() {
        rt.server.startDelay = rt.client.startDelay = std::chrono::milliseconds(0);
        rt.startServices(4);
    }
    ~Engine() override {
        for (int n = 1; n <= 4; ++n) {
            if (table.at(n).service) engine.stopMapping(n);
        }
        waitFor([&] { return ctx.heap.liveBlocks() == 0; }, std::chrono::seconds(10));
        EXPECT_EQ(ctx.heap.liveBlocks(), 0u) << "records left behind";
    }
    // Mapping n on 127.0.0.1, an ephemeral port, to the given target.
    model::MappingRecord& define(int n, std::uint16_t targetPort,
                                 const std::string& forwardIp = "127.0.0.1") {
        model::MappingRecord& r = table.at(n);
        r.name = "映射" + std::to_string(n);
        r.mode = model::Mode::PortMapping;
        r.listen_ip = "127.0.0.1";
        r.listen_port = 0;
        r.forward_ip = forwardIp;
        r.forward_port = targetPort;
        r.capacity = 10000;
        r.per_ip_limit = 0;
        return r;
    }
    std::uint16_t start(int n) {
        engine.startMapping(n);
        EXPECT_NE(table.at(n).service, nullptr) << log.lines.back();
        return static_cast<std::uint16_t>(table.at(n).listen_port);
    }
    std::string clientText(const Client& c, const std::string& reason) {
        return "客户[127.0.0.1:" + std::to_string(c.localPort()) + "]" + reason;
    }
    bool noneOnline(int n) {
        return waitFor([&] { return engine.onlineCount(n) == 0; });
    }
    // Changes a running mapping as a save does: under the client table lock.
    void edit(const std::function<void()>& change) {
        std::lock_guard<std::mutex> lock(*engine.clientTableLock());
        change();
    }
    // The slot is freed just after the "left" event: wait for it.
    bool slotsFree(int n) {
        return waitFor([&] {
            std::lock_guard<std::mutex> lock(*engine.clientTableLock());
            for (const auto& s : table.at(n).clients) {
                if (!s.isFree()) return false;
            }
            return true;
        });
    }

    RecordingListener sink;
    RecordingListener& log = sink;  // the same listener hears both
    mapping::Runtime rt{sink};
    net::ServiceContext& ctx = rt.context;
    net::WnSocketService& server = rt.server;
    net::WnSocketService& client = rt.client;
    model::MappingTable& table = rt.table;
    mapping::MappingEngine& engine = rt.engine;
};

inline void roundTrip(Client& c, std::size_t size, std::size_t chunk, std::uint64_t seed) {
    std::vector<unsigned char> data(size);
    std::mt19937_64 rng(seed);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    EXPECT_TRUE(test::roundTrip(c, data, chunk)) << "chunk " << chunk;
}

}  // namespace lumesk::test
