#include "support/signal_cleanup.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

namespace calib {

namespace {

// A signal handler may read the table at any moment, so an entry's path is
// complete before the entry is marked live. Threads claim a free entry
// before they write its path.
enum EntryState : int { kFree, kClaimed, kLive };

struct TemporaryEntry {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");

TemporaryEntry gTemporaries[kMaxLiveTemporaries];

extern "C" void onTerminationSignal(int sig) {
  removeLiveTemporaries();
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered when the handler returns
}

}  // namespace

int registerTemporary(const std::string& path) noexcept {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kMaxLiveTemporaries; ++i) {
    TemporaryEntry& entry = gTemporaries[i];
    int expected = kFree;
    if (!entry.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire)) continue;
    std::memcpy(entry.path, path.c_str(), path.size() + 1);
    entry.state.store(kLive, std::memory_order_release);
    return i;
  }
  return -1;
}

void unregisterTemporary(int entry) noexcept {
  if (entry >= 0 && entry < kMaxLiveTemporaries) gTemporaries[entry].state.store(kFree, std::memory_order_release);
}

void removeLiveTemporaries() noexcept {
  for (TemporaryEntry& entry : gTemporaries)
    if (entry.state.load(std::memory_order_acquire) == kLive) ::unlink(entry.path);
}

int liveTemporaryCount() noexcept {
  int n = 0;
  for (const TemporaryEntry& entry : gTemporaries) n += entry.state.load(std::memory_order_acquire) == kLive ? 1 : 0;
  return n;
}

void installTerminationHandlers() {
  for (const int sig : kTerminationSignals) {
    struct sigaction previous {};
    if (::sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    ::sigaction(sig, &action, nullptr);
  }
}

TerminationSignalsBlocked::TerminationSignalsBlocked() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kTerminationSignals) sigaddset(&set, sig);
  ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

TerminationSignalsBlocked::~TerminationSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace calib
