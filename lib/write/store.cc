// Store: copies an item into its package's buffer (the fast path) or hands it to an
// idle thread slot as a job.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "write/writers.h"

namespace qbx {

// Waits while more packages wait for the database writer than the limit allows,
// keeping the writer awake.
void Writers::HoldBack() {
  qbx::Backoff backoff;
  while (packages.OverLimit()) {
    writerWake.notifyOne();
    writerWake.doze();
    errors.Check();
    backoff.Pause();
  }
}

void Writers::Store(std::uint64_t package, std::uint64_t size, const void* data,
                     ItemLocation* location) {
  PackageEntry& entry = packages.Entry(package);
  files.ThrowIfReadOnly();
  if (threadCount.load(std::memory_order_acquire) == 0) {
    throw std::logic_error("Store needs a thread");
  }
  // A block holds the buffered bytes (fewer than packageSize, so none at size 0) and
  // the item under one 32-bit length; refuse an item that could not form one, before
  // touching anything.
  if (size > kLargestPackageSize - std::max<std::uint64_t>(packages.PackageSize(), 1)) {
    throw std::runtime_error("Datatype range exceeded");
  }
  if (location != nullptr) qbx::MarkAccepted(location);
  HoldBack();

  MutexLock lock(entry.lock->mutex);
  if (entry.lock->written.load(std::memory_order_relaxed)) packages.Load(entry);
  PackageRecord& record = *entry.recordOrOffset.record;
  const std::uint16_t issued = record.issuedJobs.load(std::memory_order_relaxed);
  if (issued == record.completedJobs.load(std::memory_order_acquire)) {
    // No job is outstanding, so no writer touches the record while we hold the mutex.
    const std::uint32_t offset = record.bufferedBytes.load(std::memory_order_relaxed);
    const std::uint64_t total = offset + size;
    if (size != 0 && total < packages.PackageSize()) {
      // Everything that can fail comes first, so a failed Store has stored nothing.
      if (record.buffer == nullptr) record.buffer = packages.AcquireBuffer(entry, true);
      if (location != nullptr) record.pendingLocations.push_back(location);
      std::memcpy(record.buffer->data() + offset, data, size);
      record.bufferedBytes.store(static_cast<std::uint32_t>(total), std::memory_order_release);
      if (location != nullptr) qbx::MarkBuffered(location, offset);
      return;
    }
  }
  // Hand-over. The pin taken here keeps the record in memory; the writer that
  // finishes the job drops it.
  record.useCount.fetch_add(1, std::memory_order_relaxed);
  lock.Unlock();
  HandOver(entry, record, size, data, location);
}

// Claims an idle slot, then issues the job's sequence under the package mutex, then
// gives the slot the job. Claiming first means that every job waiting for its turn
// already holds a slot, so a job never waits for a predecessor that still looks for
// one; issuing under the mutex means that no fast-path append runs while the job's
// writer may take the record. Once issued the job must reach its writer, or every
// later job of the package would wait for its turn forever: a failed copy still hands
// over a job that only passes the turn on. Returns the job's sequence.
std::uint16_t Writers::HandOver(PackageEntry& entry, PackageRecord& record, std::uint64_t size,
                                 const void* data, ItemLocation* location) {
  ThreadSlot* slot;
  try {
    slot = ClaimSlot();
  } catch (...) {
    record.useCount.fetch_sub(1, std::memory_order_acq_rel);  // The job will not run.
    throw;
  }
  std::uint16_t sequence;
  {
    MutexLock lock(entry.lock->mutex);
    sequence = record.issuedJobs.load(std::memory_order_relaxed);
    record.issuedJobs.store(static_cast<std::uint16_t>(sequence + 1), std::memory_order_relaxed);
  }
  if (!FillSlot(*slot, entry, sequence, size, data, location)) throw std::bad_alloc();
  return sequence;
}

// Walks the slots until one is claimed by exchanging its busy flag.
ThreadSlot* Writers::ClaimSlot() {
  qbx::Backoff backoff;
  for (;;) {
    for (ThreadSlot* slot = firstSlot.load(std::memory_order_acquire); slot != nullptr;
         slot = slot->next.load(std::memory_order_acquire)) {
      if (!slot->busy.exchange(true, std::memory_order_acquire)) return slot;
    }
    errors.Check();
    backoff.Pause();
  }
}

// Fills a claimed slot and wakes its writer. Returns false when the item's bytes could
// not be copied; the slot then carries a job that only passes the turn on.
bool Writers::FillSlot(ThreadSlot& slot, PackageEntry& entry, std::uint16_t sequence,
                        std::uint64_t size, const void* data, ItemLocation* location) {
  bool copied = true;
  if (slot.dataCapacity < size) {
    delete[] slot.data;
    slot.data = nullptr;
    slot.dataCapacity = 0;
    slot.data = new (std::nothrow) char[size];
    copied = slot.data != nullptr;
    if (copied) slot.dataCapacity = size;
  }
  if (copied && size != 0) std::memcpy(slot.data, data, size);
  slot.job.package = &entry;
  slot.job.size = copied ? size : 0;
  slot.job.location = copied ? location : nullptr;
  slot.job.sequence = sequence;
  slot.job.discard = !copied;
  slot.hasJob.store(true, std::memory_order_release);
  slot.wake.notifyOne();
  return copied;
}

}  // namespace qbx
