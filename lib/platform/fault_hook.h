// Test-only fault injection into the platform layer. Compiled only into test builds
// (QUILLBOX_TESTING); the shipped library has no hook.
#ifndef QUILLBOX_PLATFORM_FAULT_HOOK_H_
#define QUILLBOX_PLATFORM_FAULT_HOOK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qbx::testing {

enum class Fault {
  kNone,
  kShortWrite,        // The write transfers nothing.
  kSeekFailure,       // The seek fails.
  kBadAlloc,          // The write throws std::bad_alloc.
  kForeignException,  // The write throws a type outside std::exception.
  kShortRead,         // The read transfers nothing.
  kTornWrite,         // The write transfers its first half only, as a full disk may.
};

// Arms `fault` to fire at the (skip + 1)-th write (seek for kSeekFailure, read for
// kShortRead) from now, in any thread, and on every one after it until DisarmFault.
// Only writes of `minSize` to `maxSize` bytes count, which singles out one kind of
// write: a 12-byte link patch, a 44-byte package record, a block's payload.
void ArmFault(Fault fault, std::uint64_t skip, std::size_t minSize = 0,
              std::size_t maxSize = ~std::size_t{0});
void DisarmFault();

// Called by the platform layer before a write of `size` bytes: true when the write must
// fail after transferring `*allowed` bytes. Throws for the exception faults.
bool WriteFaultFires(std::size_t size, std::size_t* allowed);
bool SeekFaultFires();

// Every folder the platform layer synced, in order, since the last call; for tests of
// what a Save or a relocation makes durable.
void NoteFolderSync(const std::string& folder);
std::vector<std::string> TakeFolderSyncs();
bool ReadFaultFires();

}  // namespace qbx::testing

#endif  // QUILLBOX_PLATFORM_FAULT_HOOK_H_
