#include "monitor/monitor.h"

#include <algorithm>

#include "model/address.h"
#include "monitor/formats.h"

namespace lumesk::monitor {

namespace {

using model::endpoint;

ClientRow rowOf(std::int32_t slot, const model::ClientSlot& s) {
    return ClientRow{slot, s.serial, endpoint(s.addresses[0], s.ports[0]),
                     endpoint(s.addresses[1], s.ports[1])};
}

}  // namespace

void MonitorModel::appendLog(const std::string& message) {
    appendLog(message, localNow());
}

void MonitorModel::appendLog(const std::string& message, const std::tm& now) {
    log_.push_back(logLine(now, message));
    ++appended_;
    if (log_.size() > kMaxLogRows) log_.pop_front();
}

void MonitorModel::handleEngineEvent(const mapping::EngineEvent& event, int currentMapping) {
    if (event.kind == mapping::EVENT_MESSAGE) {
        appendLog(event.text);
        return;
    }
    const int n = event.mapping;
    const int s = event.slot;
    if (!model::MappingTable::validNumber(n) || s <= 0 ||
        s > static_cast<int>(model::ClientTable::size()) || n != currentMapping) {
        return;
    }
    // Only the client's own row: once events wait in a queue, a row with the
    // same address or slot may already be a later client's.
    auto row = std::find_if(clients_.begin(), clients_.end(),
                            [&](const ClientRow& r) { return r.serial == event.serial; });
    switch (event.kind) {
        case mapping::EVENT_ENTERED:
        case mapping::EVENT_RELAYED:
            if (row == clients_.end()) {
                // A relay that connects just as its client leaves must not
                // bring back the row its "left" event took away.
                if (event.kind == mapping::EVENT_RELAYED) break;
                clients_.push_back(ClientRow{s, event.serial, event.client, event.forward});
            } else {
                row->client = event.client;
                row->forward = event.forward;
            }
            if (event.kind == mapping::EVENT_ENTERED) appendLog("客户[" + event.client + "]进入");
            break;
        case mapping::EVENT_LEFT:
            if (row != clients_.end()) clients_.erase(row);
            appendLog("客户[" + event.client + "]离开");
            break;
        default:
            break;
    }
}

void MonitorModel::fillClientList(const model::ClientTable& clients) {
    clients_.clear();
    std::int32_t slot = 0;
    for (const model::ClientSlot& s : clients) {
        ++slot;
        if (!s.isFree()) clients_.push_back(rowOf(slot, s));
    }
}

StatisticsPanes statisticsTexts(const StatisticsInput& in, bool blink) {
    StatisticsPanes p;
    p.service[0] = in.name;
    p.service[1] = "监听数:" + std::to_string(in.pendingAccepts);
    p.service[2] = "线程总数:" + std::to_string(in.threads[0]);
    p.service[3] = "工作线程:" + std::to_string(in.threads[1]);
    p.service[4] = "空闲线程:" + std::to_string(in.threads[2]);
    const char* indicator = !in.listening || blink ? "■" : "□";
    p.mapping[0] = std::string(indicator) + " 监听[" + endpoint(in.listenIp, in.listenPort) + "]";
    p.mapping[1] = "客户数:" + std::to_string(in.online) + "/" + std::to_string(in.capacity);
    p.mapping[2] = "接收:" + formatSize(in.received);
    p.mapping[3] = "发送:" + formatSize(in.sent);
    p.mapping[4] = "总量:" + formatSize(in.received + in.sent);
    return p;
}

StatisticsInput statisticsInput(const model::MappingRecord& copy,
                                const mapping::LiveCounters& live) {
    StatisticsInput in;
    static_cast<mapping::LiveCounters&>(in) = live;
    in.name = copy.name;
    in.listenIp = copy.listen_ip;
    in.listenPort = copy.listen_port;
    in.capacity = copy.capacity;
    return in;
}

}  // namespace lumesk::monitor
