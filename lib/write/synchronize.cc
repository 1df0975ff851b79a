// Synchronize and SynchronizePackage: bring every item stored before the call into
// the data files, with its location placed.
#include "write/writers.h"

namespace qbx {

// Pushes the package's buffered bytes into a data file with a zero-byte job, then
// waits for exactly the jobs issued up to that one (or, with nothing buffered, for the
// jobs already handed over), so it ends even while other threads keep storing into
// the package.
void Writers::PushAndWait(std::uint64_t package) {
  PackageEntry& entry = packages.Entry(package);
  if (entry.lock->written.load(std::memory_order_acquire)) return;
  // Hold back before pinning: the database writer passes over pinned packages, so a
  // hold-back behind our own pin could wait for ever.
  HoldBack();

  MutexLock lock(entry.lock->mutex);
  if (entry.lock->written.load(std::memory_order_relaxed)) return;
  PackageRecord& record = *entry.recordOrOffset.record;
  const std::uint16_t issued = record.issuedJobs.load(std::memory_order_relaxed);
  const bool idle = issued == record.completedJobs.load(std::memory_order_acquire);
  if (idle && record.buffer == nullptr &&
      record.finishedJobs.load(std::memory_order_acquire) == issued) {
    return;  // Nothing buffered and nothing outstanding.
  }
  // Our pin keeps the record in memory while we wait. A zero-byte job is needed unless
  // the record is known to hold no buffer; while a job runs we cannot look.
  const bool needJob = !idle || record.buffer != nullptr;
  record.useCount.fetch_add(needJob ? 2 : 1, std::memory_order_relaxed);
  lock.Unlock();

  struct Unpin {
    PackageRecord& record;
    ~Unpin() { record.useCount.fetch_sub(1, std::memory_order_acq_rel); }
  } unpin{record};
  std::uint16_t last = issued;
  if (needJob) last = static_cast<std::uint16_t>(HandOver(entry, record, 0, nullptr, nullptr) + 1);
  WaitForSequence(record.finishedJobs, last);
}

// A synchronisation that a writer failure cut short returns only once every writer has
// stopped: until then a writer may still place a location that the call covered, and
// its caller may free the locations as soon as the call returns.
void Writers::WaitForWritersIfFailed() const {
  if (errors.Failed()) WaitForWritersToEnd();
}

void Writers::SynchronizePackage(std::uint64_t package) {
  try {
    PushAndWait(package);
  } catch (...) {
    WaitForWritersIfFailed();
    throw;
  }
}

// Synchronizes the packages there were when it began: a package added since holds no
// item stored before, and chasing new ones could go on for ever. It holds no lock while
// it waits: a thread writer that rolls over to a new file takes the file table's.
void Writers::Synchronize() {
  const std::uint64_t count = packages.Count();
  try {
    for (std::uint64_t n = 0; n < count; ++n) PushAndWait(n);
  } catch (...) {
    WaitForWritersIfFailed();
    throw;
  }
}

}  // namespace qbx
