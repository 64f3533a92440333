// A fixed set of items passed back and forth between one producer thread
// and one consumer thread: the producer fills empty items and publishes
// them, the consumer takes them in the same order and gives them back.
// Memory stays what the items hold, however much passes through.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace calib {

template <typename T, std::size_t N>
class Handoff {
 public:
  Handoff() {
    for (std::size_t i = 0; i < N; ++i) empty_[i] = &items_[i];
    emptyCount_ = N;
  }
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  // Producer: an item to fill, waiting while every item is with the
  // consumer.
  T* acquire() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return emptyCount_ > 0; });
    return empty_[--emptyCount_];
  }
  // Producer: hands a filled item on.
  void publish(T* item) {
    {
      const std::lock_guard lock(mutex_);
      full_[(fullFirst_ + fullCount_) % N] = item;
      ++fullCount_;
    }
    changed_.notify_all();
  }
  // Consumer: the next filled item, waiting for one.
  T* take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return fullCount_ > 0; });
    T* item = full_[fullFirst_];
    fullFirst_ = (fullFirst_ + 1) % N;
    --fullCount_;
    return item;
  }
  // Consumer: gives an item back to be filled again.
  void release(T* item) {
    {
      const std::lock_guard lock(mutex_);
      empty_[emptyCount_++] = item;
    }
    changed_.notify_all();
  }
  // Filled items the consumer has not taken yet.
  std::size_t waiting() {
    const std::lock_guard lock(mutex_);
    return fullCount_;
  }

 private:
  std::array<T, N> items_{};
  std::array<T*, N> empty_{};
  std::array<T*, N> full_{};
  std::size_t emptyCount_ = 0;
  std::size_t fullFirst_ = 0;
  std::size_t fullCount_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace calib
