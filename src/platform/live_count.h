// A count that many threads move at once: each thread adds to a stripe of its
// own, so the hot path never fights over one cache line; reading sums them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lumesk::platform {

class LiveCount {
  public:
    void add(std::ptrdiff_t delta) {
        stripes_[stripe()].value.fetch_add(delta, std::memory_order_relaxed);
    }
    std::size_t read() const {
        std::ptrdiff_t sum = 0;
        for (const Stripe& s : stripes_) sum += s.value.load(std::memory_order_relaxed);
        return sum > 0 ? static_cast<std::size_t>(sum) : 0;
    }

  private:
    static constexpr std::size_t kStripes = 16;
    struct alignas(64) Stripe {
        std::atomic<std::ptrdiff_t> value{0};
    };
    static std::size_t stripe() {
        static std::atomic<std::size_t> next{0};
        thread_local const std::size_t mine =
            next.fetch_add(1, std::memory_order_relaxed) % kStripes;
        return mine;
    }
    Stripe stripes_[kStripes];
};

}  // namespace lumesk::platform
