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

// Call sites. Every platform call of these kinds is counted in test builds, and any
// single one of them can be made to fail: the driver of the fault-site test counts the
// calls of a workload once, then runs it again once per call with exactly that call
// failing. A failing call behaves as the system's call failing would: a create or open
// gives no file, a transfer moves nothing (or, for kShort, half of its bytes), the other
// calls report failure and change nothing.
enum class Call {
  kCreate,      // CreateFileWithUniqueSuffix (and CreateUniqueFile through it).
  kOpen,        // OpenFile, any mode.
  kRead,        // ReadAt.
  kWrite,       // WriteAt, and WriteGatherAt as one call.
  kSyncFile,    // SyncFile.
  kSyncFolder,  // SyncFolder.
  kRename,      // RenameFile.
  kRemove,      // RemoveFile.
  kLength,      // FileLength.
  kPosition,    // CanPosition.
};
inline constexpr std::size_t kCallKinds = 10;
const char* CallName(Call kind);

enum class CallFailure {
  kFail,   // Nothing is transferred; every other kind fails.
  kShort,  // A read or write transfers the first half of its bytes; others as kFail.
};

// Sets every call counter to zero and fails no call from now on (counting goes on).
// Arms the hook: until StopFailingCalls, syncs are counted (and can fail) but are not
// carried out, since what they make durable matters only across a power loss, which
// no test causes, and they would dominate the time of a workload run hundreds of times.
void CountCalls();
// Sets every call counter to zero and makes the `n`-th call of `kind` from now on
// (n = 1 is the next one) fail as `how`, in any thread; no other call fails. Arms the
// hook as CountCalls does.
void FailCall(Call kind, std::uint64_t n, CallFailure how = CallFailure::kFail);
// Fails no call from now on, and carries out syncs again; the counters keep counting.
void StopFailingCalls();
// Whether CountCalls or FailCall armed the hook (and StopFailingCalls did not end it).
bool CallsArmed();
// The calls of `kind` since CountCalls or FailCall.
std::uint64_t CallCount(Call kind);
// Whether the call armed by FailCall has been reached (and failed).
bool CallFailed();
// Called once, in the thread of the failing call, when the armed call fails (before
// CallFailed() turns true); for tests that note where a failure struck. Null for none.
void SetCallFailureObserver(void (*observer)(Call kind));

// Called at every call of the platform layer, in its thread, before the call is carried
// out (and before it is counted); for tests that must act while a call is under way.
// Null for none.
void SetCallObserver(void (*observer)(Call kind));

// Called by the platform layer at each call of `kind`: counts it, and is true when
// this call must fail.
bool CallFails(Call kind);
// The same for a transfer of `size` bytes: the bytes it may move, `size` unless it
// must fail.
std::size_t TransferAllowed(Call kind, std::size_t size);

// Makes the file system refuse, from now on, every open for writing and every
// creation of a path that starts with `prefix`, as a read-only mount does (the
// refusal reads as such: OpenFile's `refusedWriting`); opens for reading still work.
// An empty prefix ends the refusal. Not counted as a call failure.
void RefuseWritingUnder(const std::string& prefix);
// Called by the platform layer: whether writing to `path` is refused.
bool WritingRefused(const std::string& path);

// Every folder the platform layer synced, in order, since the last call; for tests of
// what a Save or a relocation makes durable.
void NoteFolderSync(const std::string& folder);
std::vector<std::string> TakeFolderSyncs();
bool ReadFaultFires();

// Makes the error state's copy of a failure's text throw std::bad_alloc while `fail`
// holds, as it would with the memory used up.
void FailErrorTextCopies(bool fail);
bool ErrorTextCopyFails();

}  // namespace qbx::testing

#endif  // QUILLBOX_PLATFORM_FAULT_HOOK_H_
