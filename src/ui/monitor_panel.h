// The monitor panel: the selected mapping's clients above, the message log
// below, a splitter between them.
#pragma once

#include <wx/panel.h>

#include <mutex>
#include <string>

#include "mapping/event_queue.h"
#include "model/mapping.h"
#include "monitor/monitor.h"
#include "ui/layout.h"

class wxListCtrl;

namespace lumesk::ui {

class SplitterBar;

class MonitorPanel : public wxPanel {
  public:
    MonitorPanel(wxWindow* parent, const model::MappingTable& table, std::mutex* clientTableLock);

    // Places the lists and the splitter as the window's layout says.
    void place(const MainLayout& layout);
    // The engine's events for mapping `current` (the one the rows show).
    void showEngineEvents(const mapping::EngineEventQueue::Batch& batch, int current);
    void appendLog(const std::string& message);
    void fillClientList(const model::ClientTable& clients);

    const monitor::MonitorModel& model() const { return monitor_; }
    wxListCtrl* clientList() const { return clientList_; }
    wxListCtrl* messageLog() const { return messageLog_; }
    SplitterBar* splitter() const { return splitter_; }

  private:
    void showNewLogLines(std::size_t shownBefore);
    void syncClientRows();

    const model::MappingTable& table_;
    std::mutex* clientTableLock_;
    monitor::MonitorModel monitor_;
    wxListCtrl* clientList_ = nullptr;
    SplitterBar* splitter_ = nullptr;
    wxListCtrl* messageLog_ = nullptr;
};

}  // namespace lumesk::ui
