#include "write/error_state.h"

#include <new>
#include <stdexcept>

#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {

void ErrorState::Check() const {
  if (Failed()) throw std::runtime_error(*message_.load(std::memory_order_acquire));
}

void ErrorState::Record(const char* message) noexcept {
  {
    MutexLock lock(mutex_);
    // The first failure is the cause: writers that fail after it mostly fail of it (a
    // copy of its text, or a write into a file it left broken).
    if (message_.load(std::memory_order_relaxed) == &noError_) {
      try {
#ifdef QUILLBOX_TESTING
        if (testing::ErrorTextCopyFails()) throw std::bad_alloc();
#endif
        text_ = message;
        message_.store(&text_, std::memory_order_release);
      } catch (...) {
        // No memory for the text: the flag goes up all the same, with a text kept ready.
        message_.store(&outOfMemory_, std::memory_order_release);
      }
    }
  }
  flag_.store(true, std::memory_order_release);
}

}  // namespace qbx
