// A spin-then-sleep event on which a writer thread idles between passes. Favours
// latency: the waiter polls 1,000,000 times before it sleeps at all, then naps about
// 1 ms per million further polls. A notification is never lost; wake-ups may be
// spurious, so waiters re-check their own state after every return.
#ifndef QUILLBOX_PLATFORM_WAKE_EVENT_H_
#define QUILLBOX_PLATFORM_WAKE_EVENT_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qbx {

// The processor's pause hint for busy polls.
void CpuRelax();

// Bounded busy waiting for callers that wait on a writer: pause first, then yield
// the processor, so that on a small machine the writer being waited for still runs.
class Backoff {
 public:
  void Pause();

 private:
  std::uint32_t spins_ = 0;
};

// Aligned to a cache line of its own: its waiter writes `spins` at every idle poll,
// which must not slow down readers of the fields beside it.
class alignas(64) WakeEvent {
 public:
#ifdef QUILLBOX_FUZZING
  // Fuzz builds run thousands of short-lived databases a second on the fuzzer's own
  // processor: their writers give it up almost at once.
  static constexpr std::uint64_t kSpinThreshold = 1000;
#else
  static constexpr std::uint64_t kSpinThreshold = 1000000;  // Polls before sleeping.
#endif
  static constexpr std::uint64_t kPollsPerMillisecond = 1000000;

  // Called by the event's own waiter at each idle pass: count the poll, then doze.
  void idleWait();
  // The sleep step alone: a timed wait of spins / 1,000,000 ms (at least 1 ms) once past
  // the threshold.
  void doze();
  // Reset the count and, if the waiter may be asleep, signal it.
  void notifyOne();
  void notifyAll();

  // Idle polls since the last notification. Atomic: read and reset by notifiers
  // without the mutex.
  std::atomic<std::uint64_t> spins{0};
  std::mutex mutex;  // Held only around the timed wait and the signal.
  std::condition_variable condition;
};

}  // namespace qbx

#endif  // QUILLBOX_PLATFORM_WAKE_EVENT_H_
