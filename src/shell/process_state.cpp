#include "shell/process_state.h"

namespace lumesk::shell {

std::vector<std::string> ProcessState::startServices(int workers) {
    return runtime.startServices(workers);
}

monitor::StatisticsInput ProcessState::statistics(const model::MappingRecord& copy,
                                                  const net::IoRecord* listener) {
    return monitor::statisticsInput(copy, runtime.counters(listener));
}

}  // namespace lumesk::shell
