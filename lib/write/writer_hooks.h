// Test-only observation points of the writers. Compiled only into test builds
// (QUILLBOX_TESTING); the shipped library has none.
#ifndef QUILLBOX_WRITE_WRITER_HOOKS_H_
#define QUILLBOX_WRITE_WRITER_HOOKS_H_

#ifdef QUILLBOX_TESTING
#include <atomic>

namespace qbx::testing {

// Called by the database writer right after it took a package (`entry`, its
// PackageEntry) out of its queue, before it locks it; for tests that must act in that
// window. Null for none.
inline std::atomic<void (*)(const void*)> dequeueObserver{nullptr};

inline void SetDequeueObserver(void (*observer)(const void* entry)) {
  dequeueObserver.store(observer, std::memory_order_release);
}

inline void NoteDequeue(const void* entry) {
  if (auto* observer = dequeueObserver.load(std::memory_order_acquire)) observer(entry);
}

// Called by a writer right before it fills in the locations of a written block; for
// tests that must act while a location is still to be filled in. Null for none.
inline std::atomic<void (*)()> placementObserver{nullptr};

inline void SetPlacementObserver(void (*observer)()) {
  placementObserver.store(observer, std::memory_order_release);
}

inline void NotePlacement() {
  if (auto* observer = placementObserver.load(std::memory_order_acquire)) observer();
}

}  // namespace qbx::testing
#endif  // QUILLBOX_TESTING

#endif  // QUILLBOX_WRITE_WRITER_HOOKS_H_
