// Test-only fault injection into the platform layer. Compiled only into test builds
// (QUILLBOX_TESTING); the shipped library has no hook.
#ifndef QUILLBOX_PLATFORM_FAULT_HOOK_H_
#define QUILLBOX_PLATFORM_FAULT_HOOK_H_

#include <cstdint>

namespace qbx::testing {

enum class Fault {
  kNone,
  kShortWrite,        // The write transfers nothing.
  kSeekFailure,       // The seek fails.
  kBadAlloc,          // The write throws std::bad_alloc.
  kForeignException,  // The write throws a type outside std::exception.
  kShortRead,         // The read transfers nothing.
};

// Arms `fault` to fire at the (skip + 1)-th write (seek for kSeekFailure, read for
// kShortRead) from now, in any thread, and on every one after it until DisarmFault.
void ArmFault(Fault fault, std::uint64_t skip);
void DisarmFault();

// Called by the platform layer; throws for the exception faults.
bool WriteFaultFires();
bool SeekFaultFires();
bool ReadFaultFires();

}  // namespace qbx::testing

#endif  // QUILLBOX_PLATFORM_FAULT_HOOK_H_
