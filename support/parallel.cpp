#include "support/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "support/signal_cleanup.hpp"

namespace calib {

void runInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& job) {
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) job(i);
  };
  // Joined however this returns: the other threads finish their jobs on
  // their own.
  std::vector<std::jthread> others;
  {
    const TerminationSignalsBlocked blocked;
    const std::size_t extra = std::min<std::size_t>(threads > 0 ? threads - 1 : 0, count > 0 ? count - 1 : 0);
    for (std::size_t t = 0; t < extra; ++t) others.emplace_back(work);
  }
  work();
}

}  // namespace calib
