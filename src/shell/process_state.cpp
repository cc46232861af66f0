#include "shell/process_state.h"

namespace lumesk::shell {

std::vector<std::string> ProcessState::startServices(int workers) {
    return runtime.startServices(workers);
}

monitor::StatisticsInput ProcessState::statistics(const model::MappingRecord& copy,
                                                  const net::IoRecord* listener) {
    return monitor::statisticsInput(copy, runtime.counters(listener));
}

std::vector<std::string> ProcessState::loadMappings() {
    net::LockHold hold(clientTableLock);
    return store_.load(table, order_);
}

void ProcessState::startMarkedMappings() {
    for (int n = 1; n <= model::kMappingCount; ++n) {
        const model::MappingRecord& r = table.at(n);
        if (!r.name.empty() && r.autostart && !r.service) engine.startMapping(n);
    }
}

std::string ProcessState::keepMappings(const std::vector<int>& order) {
    net::LockHold hold(clientTableLock);  // a save under way writes under it too
    return store_.save(table, order);
}

}  // namespace lumesk::shell
