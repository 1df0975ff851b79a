// Spin-then-sleep waiting of the writer threads.
#include "platform/wake_event.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qbx {
namespace {

// Polls between yields: a spinning thread gives the processor away regularly, since
// on a two-core machine the thread it waits for may need it. A caller waiting on a
// writer yields soon, since that writer is the one that needs the processor; an idle
// writer polls longer, since what it waits for is a caller that is already running.
constexpr std::uint32_t kPollsPerYield = 256;
constexpr std::uint32_t kCallerPollsPerYield = 16;

}  // namespace

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

void Backoff::Pause() {
  if (++spins_ % kCallerPollsPerYield == 0) {
    std::this_thread::yield();
  } else {
    CpuRelax();
  }
}

void WakeEvent::idleWait() {
  const std::uint64_t count = spins.fetch_add(1, std::memory_order_relaxed) + 1;
  if (count <= kSpinThreshold) {
    if (count % kPollsPerYield == 0) {
      std::this_thread::yield();
    } else {
      CpuRelax();
    }
    return;
  }
  doze();
}

void WakeEvent::doze() {
  const std::uint64_t count = spins.load(std::memory_order_relaxed);
  if (count <= kSpinThreshold) return;
  // The predicate closes the window between the check above and the wait: a notifier
  // resets the count before it signals under the mutex, so a notification that comes
  // first is seen here and none is lost.
  std::unique_lock<std::mutex> lock(mutex);
  const std::uint64_t naps = std::max<std::uint64_t>(1, count / kPollsPerMillisecond);
  condition.wait_for(lock, std::chrono::milliseconds(naps),
                     [this] { return spins.load(std::memory_order_relaxed) <= kSpinThreshold; });
}

void WakeEvent::notifyOne() {
  if (spins.exchange(0, std::memory_order_relaxed) > kSpinThreshold) {
    std::lock_guard<std::mutex> lock(mutex);
    condition.notify_one();
  }
}

void WakeEvent::notifyAll() {
  if (spins.exchange(0, std::memory_order_relaxed) > kSpinThreshold) {
    std::lock_guard<std::mutex> lock(mutex);
    condition.notify_all();
  }
}

}  // namespace qbx
