// Test-only fault injection; see fault_hook.h.
#include "platform/fault_hook.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

namespace qbx::testing {
namespace {

std::atomic<Fault> armedFault{Fault::kNone};
std::atomic<std::int64_t> remainingSkips{0};
std::atomic<std::size_t> smallestWrite{0};
std::atomic<std::size_t> largestWrite{~std::size_t{0}};
std::mutex folderSyncsMutex;
std::vector<std::string> folderSyncs;  // Guarded by folderSyncsMutex.

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

void ArmFault(Fault fault, std::uint64_t skip, std::size_t minSize, std::size_t maxSize) {
  remainingSkips.store(static_cast<std::int64_t>(skip), std::memory_order_relaxed);
  smallestWrite.store(minSize, std::memory_order_relaxed);
  largestWrite.store(maxSize, std::memory_order_relaxed);
  armedFault.store(fault, std::memory_order_release);
}

void DisarmFault() { armedFault.store(Fault::kNone, std::memory_order_release); }

bool WriteFaultFires(std::size_t size, std::size_t* allowed) {
  if (armedFault.load(std::memory_order_acquire) == Fault::kNone ||
      size < smallestWrite.load(std::memory_order_relaxed) ||
      size > largestWrite.load(std::memory_order_relaxed) || !Fires(Operation::kWrite)) {
    return false;
  }
  switch (armedFault.load(std::memory_order_acquire)) {
    case Fault::kBadAlloc:
      throw std::bad_alloc();
    case Fault::kForeignException:
      throw 42;  // Not derived from std::exception.
    case Fault::kTornWrite:
      *allowed = size / 2;
      return true;
    default:
      *allowed = 0;
      return true;
  }
}

bool SeekFaultFires() { return Fires(Operation::kSeek); }

bool ReadFaultFires() { return Fires(Operation::kRead); }

void NoteFolderSync(const std::string& folder) {
  std::lock_guard<std::mutex> lock(folderSyncsMutex);
  folderSyncs.push_back(folder);
}

std::vector<std::string> TakeFolderSyncs() {
  std::lock_guard<std::mutex> lock(folderSyncsMutex);
  return std::exchange(folderSyncs, {});
}

}  // namespace qbx::testing
