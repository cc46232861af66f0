// The way the engine's events reach the window, without a toolkit: a window
// of our own that records what it is handed and runs what is posted to it
// when told, as a message loop would.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/ui_thread_sink.h"

using namespace lumesk;

namespace {

class RecordingWindow : public ui::EngineEventReceiver {
  public:
    void showEngineEvents(const mapping::EngineEventQueue::Batch& batch) override {
        std::vector<int> slots;
        for (const mapping::EngineEvent& e : batch.events) slots.push_back(e.slot);
        batches.push_back(slots);
    }
    void appendLog(const std::string& message) override { log.push_back(message); }
    void runStateChanged(int n) override { runStates.push_back(n); }
    void runOnWindowThread(std::function<void()> f) override {
        std::lock_guard<std::mutex> hold(mutex_);
        posted_.push_back(std::move(f));
    }
    bool onWindowThread() const override { return std::this_thread::get_id() == thread_; }

    // Runs what was posted until nothing is left, as the loop would; how many ran.
    int runPosted() {
        int ran = 0;
        for (;;) {
            std::vector<std::function<void()>> now;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                now.swap(posted_);
            }
            if (now.empty()) return ran;
            for (auto& f : now) f();
            ran += static_cast<int>(now.size());
        }
    }
    std::size_t postedCount() {
        std::lock_guard<std::mutex> hold(mutex_);
        return posted_.size();
    }

    std::vector<std::vector<int>> batches;
    std::vector<std::string> log;
    std::vector<int> runStates;

  private:
    const std::thread::id thread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
};

mapping::EngineEvent event(int slot) {
    mapping::EngineEvent e;
    e.slot = slot;
    return e;
}

// Delivers `slots` from a worker thread, as the engine's workers do; their results.
std::vector<int> fromWorker(ui::UiThreadSink& sink, const std::vector<int>& slots) {
    std::vector<int> results;
    std::thread worker([&] {
        for (int slot : slots) results.push_back(sink.deliver(event(slot)));
    });
    worker.join();
    return results;
}

}  // namespace

TEST(UiThreadSink, NothingReachesAWindowBeforeItIsAttachedOrAfterItCloses) {
    ui::UiThreadSink sink;
    RecordingWindow window;
    EXPECT_EQ(fromWorker(sink, {1}), std::vector<int>{-1});
    sink.appendLog("before");
    sink.runStateChanged(1);

    sink.attach(window);
    EXPECT_EQ(fromWorker(sink, {2, 3}), (std::vector<int>{0, 0}));
    EXPECT_TRUE(window.batches.empty());  // only queued: the window's loop takes them
    EXPECT_EQ(window.postedCount(), 1u);  // one wake for the lot
    EXPECT_EQ(window.runPosted(), 1);
    EXPECT_EQ(window.batches, (std::vector<std::vector<int>>{{2, 3}}));
    sink.appendLog("attached");
    sink.runStateChanged(2);

    // A take posted before the window closed hands it nothing after.
    EXPECT_EQ(fromWorker(sink, {4}), std::vector<int>{0});
    sink.detach();
    EXPECT_EQ(window.runPosted(), 1);
    EXPECT_EQ(fromWorker(sink, {5}), std::vector<int>{-1});
    sink.appendLog("closed");
    sink.runStateChanged(3);
    EXPECT_EQ(window.batches.size(), 1u);
    EXPECT_EQ(window.log, std::vector<std::string>{"attached"});
    EXPECT_EQ(window.runStates, std::vector<int>{2});
}

// A start or stop on the window's own thread is shown at once, after what
// the workers queued before it.
TEST(UiThreadSink, TheWindowThreadsOwnEventsAreShownAtOnceAfterTheQueued) {
    ui::UiThreadSink sink;
    RecordingWindow window;
    sink.attach(window);
    fromWorker(sink, {1, 2});
    EXPECT_EQ(sink.deliver(event(3)), 0);
    EXPECT_EQ(window.batches, (std::vector<std::vector<int>>{{1, 2, 3}}));
    window.runPosted();  // the workers' wake finds nothing left
    EXPECT_EQ(window.batches.size(), 1u);
    EXPECT_EQ(sink.events().size(), 0u);
    sink.detach();
}

// A long queue goes to the window 500 at a time, each take posting the next,
// so painting and input get their turn between them.
TEST(UiThreadSink, ALongQueueIsShownABatchAtATime) {
    ui::UiThreadSink sink;
    RecordingWindow window;
    sink.attach(window);
    std::vector<int> slots(1200);
    for (int i = 0; i < 1200; ++i) slots[static_cast<std::size_t>(i)] = i;
    fromWorker(sink, slots);
    EXPECT_EQ(window.runPosted(), 3);
    ASSERT_EQ(window.batches.size(), 3u);
    EXPECT_EQ(window.batches[0].size(), 500u);
    EXPECT_EQ(window.batches[1].size(), 500u);
    EXPECT_EQ(window.batches[2].size(), 200u);
    EXPECT_EQ(window.batches[2].back(), 1199);
    sink.detach();
}

// A window made after another has closed starts with an empty queue, and is
// woken by the first event that comes, whatever the old one left untaken.
TEST(UiThreadSink, EachWindowStartsWithAnEmptyQueue) {
    ui::UiThreadSink sink;
    RecordingWindow first;
    sink.attach(first);
    fromWorker(sink, {1, 2, 3});
    EXPECT_EQ(sink.events().size(), 3u);
    sink.detach();

    RecordingWindow second;
    sink.attach(second);
    EXPECT_EQ(sink.events().size(), 0u);
    fromWorker(sink, {4});
    EXPECT_EQ(second.runPosted(), 1);
    EXPECT_EQ(second.batches, (std::vector<std::vector<int>>{{4}}));
    first.runPosted();  // the old window's wake, had its loop run it
    EXPECT_TRUE(first.batches.empty());
    sink.detach();
}
