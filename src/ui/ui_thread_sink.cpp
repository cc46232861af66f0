#include "ui/ui_thread_sink.h"

#include <chrono>
#include <thread>

namespace lumesk::ui {

void UiThreadSink::attach(EngineEventReceiver& window) {
    detach();
    events_.emplace();
    // Runs inside a delivery, which holds the window until it returns.
    events_->onWake = [this] {
        if (EngineEventReceiver* w = window_.load()) w->runOnWindowThread([this] { drain(); });
    };
    window_ = &window;
}

void UiThreadSink::detach() {
    window_ = nullptr;
    while (inFlight_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int UiThreadSink::deliver(const mapping::EngineEvent& event) {
    inFlight_.fetch_add(1);
    int result = -1;
    if (EngineEventReceiver* w = window_.load()) {
        events_->deliver(event);
        if (w->onWindowThread()) drain();
        result = 0;
    }
    inFlight_.fetch_sub(1);
    return result;
}

void UiThreadSink::appendLog(const std::string& text) {
    if (EngineEventReceiver* w = window_.load()) w->appendLog(text);
}

void UiThreadSink::runStateChanged(int n) {
    if (EngineEventReceiver* w = window_.load()) w->runStateChanged(n);
}

void UiThreadSink::drain() {
    EngineEventReceiver* w = window_.load();
    if (!w) return;  // closing, or closed
    // A batch at a time, so a long queue never holds up painting and input.
    constexpr std::size_t kBatch = 500;
    const mapping::EngineEventQueue::Batch batch = events_->take(kBatch);
    if (!batch.events.empty() || batch.dropped > 0) w->showEngineEvents(batch);
    if (batch.more) w->runOnWindowThread([this] { drain(); });
}

}  // namespace lumesk::ui
