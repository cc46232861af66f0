// The one way the engine's events reach the window: workers queue them and
// never wait, the window's thread takes them a batch at a time, and once the
// window closes nothing reaches it. It stands in for the window until the
// window exists, and after it has gone.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "mapping/engine.h"
#include "mapping/event_queue.h"

namespace lumesk::ui {

// The window's side of the sink.
class EngineEventReceiver {
  public:
    // On the window's thread: what the queue held, one batch (never an empty one).
    virtual void showEngineEvents(const mapping::EngineEventQueue::Batch& batch) = 0;
    // The start and stop lines, on the thread that starts and stops.
    virtual void appendLog(const std::string& message) = 0;
    // Any thread: runs `f` on the window's thread when its loop next runs,
    // never after the window has gone.
    virtual void runOnWindowThread(std::function<void()> f) = 0;
    virtual bool onWindowThread() const = 0;
    // After a start or a stop, on the thread that did it.
    virtual void runStateChanged(int n) = 0;

  protected:
    ~EngineEventReceiver() = default;
};

class UiThreadSink : public mapping::EngineListener {
  public:
    UiThreadSink() { events_.emplace(); }
    ~UiThreadSink() override { detach(); }

    // The window's thread. Each window gets an empty queue of its own.
    void attach(EngineEventReceiver& window);
    // The window closes: after it returns no call reaches the window, which
    // may go. Idempotent.
    void detach();

    // Engine side, any thread: queues the event and returns at once. One of
    // the window's own thread (a start, a stop) is handled at once, after
    // whatever the workers queued before it. -1 without a window.
    int deliver(const mapping::EngineEvent& event) override;
    void appendLog(const std::string& text) override;
    void runStateChanged(int n) override;

    // Hands the window what the queue holds now, a batch at a time.
    void drain();
    const mapping::EngineEventQueue& events() const { return *events_; }

  private:
    std::optional<mapping::EngineEventQueue> events_;
    std::atomic<EngineEventReceiver*> window_{nullptr};
    std::atomic<int> inFlight_{0};
};

}  // namespace lumesk::ui
