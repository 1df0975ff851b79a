// Test-only observation points of the readers. Compiled only into test builds
// (QUILLBOX_TESTING); the shipped library has none.
#ifndef QUILLBOX_READ_READER_HOOKS_H_
#define QUILLBOX_READ_READER_HOOKS_H_

#ifdef QUILLBOX_TESTING
#include <atomic>

namespace qbx::testing {

// Called by a cursor right before it waits for an append under way in the file of its
// next block; for tests that must know the reader waits. Null for none.
inline std::atomic<void (*)()> appenderWaitObserver{nullptr};

inline void SetAppenderWaitObserver(void (*observer)()) {
  appenderWaitObserver.store(observer, std::memory_order_release);
}

inline void NoteAppenderWait() {
  if (auto* observer = appenderWaitObserver.load(std::memory_order_acquire)) observer();
}

}  // namespace qbx::testing
#endif  // QUILLBOX_TESTING

#endif  // QUILLBOX_READ_READER_HOOKS_H_
