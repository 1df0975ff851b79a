#include "write/error_state.h"

#include <stdexcept>

namespace qbx {

void ErrorState::Check() const {
  if (Failed()) throw std::runtime_error(*message_.load(std::memory_order_acquire));
}

void ErrorState::Record(const std::string& message) {
  {
    MutexLock lock(mutex_);
    texts_.push_front(message);
    message_.store(&texts_.front(), std::memory_order_release);
  }
  flag_.store(true, std::memory_order_release);
}

}  // namespace qbx
