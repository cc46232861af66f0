// The client list, the message log and the statistics panes, as data the
// window shows; the window's lists mirror these rows.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "mapping/runtime.h"
#include "model/mapping.h"

namespace lumesk::monitor {

constexpr std::size_t kMaxLogRows = 1000;

struct ClientRow {
    std::int32_t slot = 0;
    std::uint64_t serial = 0;  // the client connection's: rows are found by it
    std::string client;        // ip:port
    std::string forward;       // ip:port
};

class MonitorModel {
  public:
    // A time-stamped line; the oldest goes once there are more than 1000.
    void appendLog(const std::string& message);
    void appendLog(const std::string& message, const std::tm& now);
    const std::deque<std::string>& log() const { return log_; }
    // Lines appended since the start, dropped ones included: a view that has
    // shown `k` of them shows the last appended() - k of log() next.
    std::size_t appended() const { return appended_; }

    // Turns an engine event into client rows and log lines, from what the
    // event carries: it may be handled long after its slot has changed.
    void handleEngineEvent(const mapping::EngineEvent& event, int currentMapping);
    // Rebuilds the rows from a client table, in slot order.
    void fillClientList(const model::ClientTable& clients);
    const std::vector<ClientRow>& clients() const { return clients_; }

    bool autoScroll = true;  // "自动滚屏": checked from the start, never changed

  private:
    std::deque<std::string> log_;
    std::size_t appended_ = 0;
    std::vector<ClientRow> clients_;
};

// What the two status bars show for the current mapping.
struct StatisticsPanes {
    std::array<std::string, 5> service;
    std::array<std::string, 5> mapping;
};

// The current mapping's record beside its live counters.
struct StatisticsInput : mapping::LiveCounters {
    std::string name;
    std::string listenIp;
    std::int32_t listenPort = 0;
    std::int32_t capacity = 0;
};

StatisticsPanes statisticsTexts(const StatisticsInput& input, bool blink);

// The texts from the current mapping's copy, the counters as read live.
StatisticsInput statisticsInput(const model::MappingRecord& copy,
                                const mapping::LiveCounters& live);

}  // namespace lumesk::monitor
