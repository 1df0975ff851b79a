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

std::atomic<std::uint64_t> callCounts[kCallKinds];
std::atomic<int> failingKind{-1};  // The kind of the armed call; -1 for none.
std::atomic<std::uint64_t> failingNumber{0};
std::atomic<CallFailure> failingHow{CallFailure::kFail};
std::atomic<bool> callFailed{false};
std::atomic<bool> callsArmed{false};
std::atomic<void (*)(Call)> callFailureObserver{nullptr};
std::atomic<void (*)(Call)> callObserver{nullptr};
std::atomic<bool> errorTextCopiesFail{false};

void ResetCallCounts() {
  for (std::atomic<std::uint64_t>& count : callCounts) count.store(0, std::memory_order_relaxed);
}

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

const char* CallName(Call kind) {
  static constexpr const char* kNames[kCallKinds] = {
      "create", "open", "read", "write", "sync file", "sync folder", "rename", "remove",
      "file length", "position"};
  return kNames[static_cast<std::size_t>(kind)];
}

namespace {
std::mutex refusedMutex;
std::string refusedPrefix;  // Guarded by refusedMutex; empty for none.
std::atomic<bool> refusing{false};
}  // namespace

void RefuseWritingUnder(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(refusedMutex);
  refusedPrefix = prefix;
  refusing.store(!prefix.empty(), std::memory_order_release);
}

bool WritingRefused(const std::string& path) {
  if (!refusing.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(refusedMutex);
  return !refusedPrefix.empty() && path.compare(0, refusedPrefix.size(), refusedPrefix) == 0;
}

void CountCalls() {
  failingKind.store(-1, std::memory_order_release);
  ResetCallCounts();
  callFailed.store(false, std::memory_order_relaxed);
  callsArmed.store(true, std::memory_order_release);
}

void FailCall(Call kind, std::uint64_t n, CallFailure how) {
  failingKind.store(-1, std::memory_order_release);
  ResetCallCounts();
  callFailed.store(false, std::memory_order_relaxed);
  failingNumber.store(n, std::memory_order_relaxed);
  failingHow.store(how, std::memory_order_relaxed);
  callsArmed.store(true, std::memory_order_release);
  failingKind.store(static_cast<int>(kind), std::memory_order_release);
}

void StopFailingCalls() {
  failingKind.store(-1, std::memory_order_release);
  callsArmed.store(false, std::memory_order_release);
}

bool CallsArmed() { return callsArmed.load(std::memory_order_acquire); }

std::uint64_t CallCount(Call kind) {
  return callCounts[static_cast<std::size_t>(kind)].load(std::memory_order_acquire);
}

bool CallFailed() { return callFailed.load(std::memory_order_acquire); }

void SetCallFailureObserver(void (*observer)(Call kind)) {
  callFailureObserver.store(observer, std::memory_order_release);
}

void SetCallObserver(void (*observer)(Call kind)) {
  callObserver.store(observer, std::memory_order_release);
}

bool CallFails(Call kind) {
  if (void (*observer)(Call) = callObserver.load(std::memory_order_acquire)) observer(kind);
  const std::uint64_t number =
      callCounts[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_acq_rel) + 1;
  if (failingKind.load(std::memory_order_acquire) != static_cast<int>(kind) ||
      number != failingNumber.load(std::memory_order_relaxed)) {
    return false;
  }
  // The observer's notes come first: whoever sees CallFailed() sees them too.
  if (void (*observer)(Call) = callFailureObserver.load(std::memory_order_acquire)) observer(kind);
  callFailed.store(true, std::memory_order_release);
  return true;
}

std::size_t TransferAllowed(Call kind, std::size_t size) {
  if (!CallFails(kind)) return size;
  return failingHow.load(std::memory_order_relaxed) == CallFailure::kShort ? size / 2 : 0;
}

void NoteFolderSync(const std::string& folder) {
  std::lock_guard<std::mutex> lock(folderSyncsMutex);
  folderSyncs.push_back(folder);
}

std::vector<std::string> TakeFolderSyncs() {
  std::lock_guard<std::mutex> lock(folderSyncsMutex);
  return std::exchange(folderSyncs, {});
}

void FailErrorTextCopies(bool fail) { errorTextCopiesFail.store(fail, std::memory_order_release); }

bool ErrorTextCopyFails() { return errorTextCopiesFail.load(std::memory_order_acquire); }

}  // namespace qbx::testing
