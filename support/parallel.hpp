// Independent jobs on more than one thread.
#pragma once

#include <cstddef>
#include <functional>

namespace calib {

// Runs job(0) … job(count - 1), each once, on the calling thread and on up
// to threads - 1 others, and returns when all are done. The jobs must not
// touch the same data. The other threads never take the termination
// signals, which stay with the calling thread.
void runInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& job);

}  // namespace calib
