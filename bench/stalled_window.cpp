// Memory while the window takes no engine events (a message box left open):
// a mapping relays RATE connections a second for SECONDS to an echo target,
// and the engine's events pile up in the window's queue, never taken.
//   lumesk_stalled_window [SECONDS=60] [RATE=1000]
// Prints the queue, what it dropped and the process's resident memory.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "mapping/event_queue.h"
#include "mapping/headless.h"
#include "resident.h"
#include "support.h"

using namespace lumesk;

namespace {

// The engine as the program runs it, its events going to a window that
// never drains them.
class StalledWindow : public mapping::HeadlessEngine {
  public:
    StalledWindow() : HeadlessEngine(10, false) {}
    int deliver(const mapping::EngineEvent& event) override { return queue.deliver(event); }
    mapping::EngineEventQueue queue;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 1000;
    test::ScriptedTarget target([](test::Client& c) {
        char byte;
        if (c.recvAll(&byte, 1)) c.sendAll(&byte, 1);
    });
    StalledWindow engine;
    const int n = engine.addMapping("127.0.0.1", 0, "127.0.0.1", target.port());
    if (!engine.start(n)) return 1;
    const auto port = static_cast<std::uint16_t>(engine.mapping(n).listen_port);
    std::printf("seconds rate=%d: connections queue dropped rss_kb\n", rate);
    std::printf("0 0 0 0 %ld\n", bench::residentKb());

    constexpr int kThreads = 4;
    std::atomic<long> done{0}, failed{0};
    std::atomic<bool> stop{false};
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread keeps its share of the rate on a fixed schedule.
            const auto step = std::chrono::microseconds(1000000L * kThreads / rate);
            auto next = begin + std::chrono::microseconds(1000000L * t / rate);
            while (!stop.load()) {
                std::this_thread::sleep_until(next);
                next += step;
                test::Client c(port);
                char byte = 'x';
                const bool ok = c.valid() && c.sendAll(&byte, 1) && c.recvAll(&byte, 1);
                (ok ? done : failed).fetch_add(1);
            }
        });
    }
    for (int s = 5; s <= seconds; s += 5) {
        std::this_thread::sleep_until(begin + std::chrono::seconds(s));
        std::printf("%d %ld %zu %llu %ld\n", s, done.load(), engine.queue.size(),
                    static_cast<unsigned long long>(engine.queue.droppedTotal()),
                    bench::residentKb());
        std::fflush(stdout);
    }
    stop = true;
    for (auto& t : threads) t.join();
    std::printf("failed %ld, peak queue %zu of %zu\n", failed.load(), engine.queue.peakSize(),
                mapping::EngineEventQueue::kDefaultCapacity);
    std::fflush(stdout);
    std::_Exit(failed.load() == 0 ? 0 : 1);
}
