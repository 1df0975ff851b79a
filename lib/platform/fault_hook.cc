// Test-only fault injection; see fault_hook.h.
#include "platform/fault_hook.h"

#include <atomic>
#include <new>

namespace qbx::testing {
namespace {

std::atomic<Fault> armedFault{Fault::kNone};
std::atomic<std::int64_t> remainingSkips{0};

enum class Operation { kWrite, kSeek, kRead };

Operation OperationOf(Fault fault) {
  switch (fault) {
    case Fault::kSeekFailure:
      return Operation::kSeek;
    case Fault::kShortRead:
      return Operation::kRead;
    default:
      return Operation::kWrite;
  }
}

// True when an operation of the armed kind should fail now.
bool Fires(Operation operation) {
  const Fault fault = armedFault.load(std::memory_order_acquire);
  if (fault == Fault::kNone || OperationOf(fault) != operation) return false;
  return remainingSkips.fetch_sub(1, std::memory_order_acq_rel) <= 0;
}

}  // namespace

void ArmFault(Fault fault, std::uint64_t skip) {
  remainingSkips.store(static_cast<std::int64_t>(skip), std::memory_order_relaxed);
  armedFault.store(fault, std::memory_order_release);
}

void DisarmFault() { armedFault.store(Fault::kNone, std::memory_order_release); }

bool WriteFaultFires() {
  if (!Fires(Operation::kWrite)) return false;
  switch (armedFault.load(std::memory_order_acquire)) {
    case Fault::kBadAlloc:
      throw std::bad_alloc();
    case Fault::kForeignException:
      throw 42;  // Not derived from std::exception.
    default:
      return true;
  }
}

bool SeekFaultFires() { return Fires(Operation::kSeek); }

bool ReadFaultFires() { return Fires(Operation::kRead); }

}  // namespace qbx::testing
