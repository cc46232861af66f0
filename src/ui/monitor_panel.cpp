#include "ui/monitor_panel.h"

#include <wx/listctrl.h>

#include <algorithm>

#include "net/private_heap.h"
#include "ui/images.h"
#include "ui/splitter_bar.h"
#include "ui/wx_text.h"

namespace lumesk::ui {

MonitorPanel::MonitorPanel(wxWindow* parent, const model::MappingTable& table,
                           std::mutex* clientTableLock)
    : wxPanel(parent, wxID_ANY, wxPoint(224, 56), wxSize(163, 239)),
      table_(table),
      clientTableLock_(clientTableLock) {
    SetName(S("图片框2"));
    clientList_ = new wxListCtrl(this, wxID_ANY, wxPoint(-1, 0), wxSize(147, 110),
                                 wxLC_REPORT | wxLC_SINGLE_SEL);
    clientList_->SetName(S("列表框1"));
    clientList_->AssignImageList(clientListImages(), wxIMAGE_LIST_SMALL);
    clientList_->AppendColumn(S("编号"), wxLIST_FORMAT_LEFT, 50);
    clientList_->AppendColumn(S("IP地址"), wxLIST_FORMAT_LEFT, 150);
    clientList_->AppendColumn(S("转到IP"), wxLIST_FORMAT_LEFT, 150);
    splitter_ = new SplitterBar(this, 2, false, wxPoint(0, 118), wxSize(146, 4));
    splitter_->SetName(S("分隔条2"));
    messageLog_ = new wxListCtrl(this, wxID_ANY, wxPoint(-1, 128), wxSize(150, 98),
                                 wxLC_REPORT | wxLC_SINGLE_SEL);
    messageLog_->SetName(S("列表框2"));
    messageLog_->AppendColumn(S("消息文本"), wxLIST_FORMAT_LEFT, 350);
}

void MonitorPanel::place(const MainLayout& l) {
    auto at = [](wxWindow* w, const Rect& r) { w->SetSize(r.left, r.top, r.width, r.height); };
    at(clientList_, l.clientList);
    at(splitter_, l.monitorSplitter);
    at(messageLog_, l.messageLog);
    messageLog_->SetColumnWidth(0, l.messageColumn);
}

void MonitorPanel::showEngineEvents(const mapping::EngineEventQueue::Batch& batch, int current) {
    const std::size_t before = monitor_.appended();
    if (batch.dropped > 0) {
        monitor_.appendLog("窗口忙，略去" + std::to_string(batch.dropped) + "条较早的事件");
    }
    for (const mapping::EngineEvent& event : batch.events) {
        monitor_.handleEngineEvent(event, current);
    }
    // What the dropped events would have done to the rows, the table knows.
    if (batch.dropped > 0 && model::MappingTable::validNumber(current)) {
        net::LockHold hold(clientTableLock_);
        monitor_.fillClientList(table_.at(current).clients);
    }
    if (!batch.events.empty() || batch.dropped > 0) {
        syncClientRows();
        showNewLogLines(before);
    }
}

void MonitorPanel::appendLog(const std::string& message) {
    const std::size_t before = monitor_.appended();
    monitor_.appendLog(message);
    showNewLogLines(before);
}

void MonitorPanel::showNewLogLines(std::size_t shownBefore) {
    const auto& log = monitor_.log();
    const std::size_t fresh = std::min(monitor_.appended() - shownBefore, log.size());
    for (std::size_t i = log.size() - fresh; i < log.size(); ++i) {
        const long row = messageLog_->InsertItem(messageLog_->GetItemCount(), S(log[i]));
        if (monitor_.autoScroll) messageLog_->EnsureVisible(row);
        if (row + 1 > static_cast<long>(monitor::kMaxLogRows)) messageLog_->DeleteItem(0);
    }
}

void MonitorPanel::fillClientList(const model::ClientTable& clients) {
    monitor_.fillClientList(clients);
    syncClientRows();
}

void MonitorPanel::syncClientRows() {
    const auto& rows = monitor_.clients();
    clientList_->Freeze();
    clientList_->DeleteAllItems();
    for (const monitor::ClientRow& r : rows) {
        const long row =
            clientList_->InsertItem(clientList_->GetItemCount(), std::to_string(r.slot), 0);
        clientList_->SetItem(row, 1, S(r.client));
        clientList_->SetItem(row, 2, S(r.forward));
    }
    clientList_->Thaw();
}

}  // namespace lumesk::ui
