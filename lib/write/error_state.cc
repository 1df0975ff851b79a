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
    try {
#ifdef QUILLBOX_TESTING
      if (testing::ErrorTextCopyFails()) throw std::bad_alloc();
#endif
      texts_.emplace_front(message);
      message_.store(&texts_.front(), std::memory_order_release);
    } catch (...) {
      // No memory for the text: the flag goes up all the same, with a text kept ready.
      message_.store(&outOfMemory_, std::memory_order_release);
    }
  }
  flag_.store(true, std::memory_order_release);
}

}  // namespace qbx
