#include "mapping/headless.h"

#include <chrono>
#include <thread>

namespace lumesk::mapping {

HeadlessEngine::HeadlessEngine(int workersPerInstance, bool keepEvents)
    : server_(ctx_, net::ServiceRole::Server),
      client_(ctx_, net::ServiceRole::Client),
      keepEvents_(keepEvents),
      engine_(ctx_, server_, client_, table_, ctx_.locks.createLock(), *this, *this) {
    for (const std::string& text :
         net::WnSocketService::startAll({&server_, &client_}, workersPerInstance)) {
        appendLog(text);
    }
}

HeadlessEngine::~HeadlessEngine() {
    for (int n = 1; n <= model::kMappingCount; ++n) {
        if (table_.at(n).service) engine_.stopMapping(n);
    }
    // Let the closes that stopping started run their course before the workers go.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ctx_.heap.liveBlocks() > 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server_.stop();
    client_.stop();
}

int HeadlessEngine::addMapping(const std::string& listenIp, std::int32_t listenPort,
                               const std::string& forwardIp, std::int32_t forwardPort,
                               std::int32_t capacity, std::int32_t perIpLimit, model::Mode mode) {
    const int n = table_.firstFree();
    if (n == 0) return 0;
    model::MappingRecord& r = table_.at(n);
    r.name = "映射" + std::to_string(n);
    r.mode = mode;
    r.listen_ip = listenIp;
    r.listen_port = listenPort;
    r.forward_ip = forwardIp;
    r.forward_port = forwardPort;
    r.capacity = capacity;
    r.per_ip_limit = perIpLimit;
    return n;
}

bool HeadlessEngine::start(int n) {
    engine_.startMapping(n);
    return model::MappingTable::validNumber(n) && table_.at(n).service != nullptr;
}

void HeadlessEngine::stop(int n) {
    engine_.stopMapping(n);
}

int HeadlessEngine::deliver(const EngineEvent& event) {
    if (!keepEvents_) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    return 0;
}

void HeadlessEngine::appendLog(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(text);
}

std::vector<EngineEvent> HeadlessEngine::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> HeadlessEngine::logLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

}  // namespace lumesk::mapping
