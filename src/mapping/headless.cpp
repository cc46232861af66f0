#include "mapping/headless.h"

namespace lumesk::mapping {

HeadlessEngine::HeadlessEngine(int workersPerInstance, bool keepEvents)
    : keepEvents_(keepEvents), runtime_(*this) {
    for (const std::string& text : runtime_.startServices(workersPerInstance)) appendLog(text);
}

int HeadlessEngine::addMapping(const std::string& listenIp, std::int32_t listenPort,
                               const std::string& forwardIp, std::int32_t forwardPort,
                               std::int32_t capacity, std::int32_t perIpLimit, model::Mode mode) {
    const int n = runtime_.table.firstFree();
    if (n == 0) return 0;
    model::MappingRecord& r = runtime_.table.at(n);
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
    runtime_.engine.startMapping(n);
    return model::MappingTable::validNumber(n) && runtime_.table.at(n).service != nullptr;
}

void HeadlessEngine::stop(int n) {
    runtime_.engine.stopMapping(n);
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
