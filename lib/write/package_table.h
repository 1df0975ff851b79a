// The packages of a database: their entries with the records (held in memory, or
// parked in the package file), the queue of packages waiting for the database writer,
// and the pool of package buffers. Packages are added and never removed before the
// table's end, which frees every record, lock and buffer.
//
// Locks: a package's mutex (PackageLock) guards its record swap and Store's buffer
// appends; `queueMutex_` guards the queue's links and `poolMutex_` the free buffers,
// each taken last and alone; `addMutex_` serializes additions to the table.
#ifndef QUILLBOX_WRITE_PACKAGE_TABLE_H_
#define QUILLBOX_WRITE_PACKAGE_TABLE_H_

#include <atomic>
#include <cstdint>
#include <map>

#include "platform/mutex.h"
#include "storage/data_files.h"
#include "storage/index_format.h"
#include "storage/stable_table.h"
#include "write/records.h"

namespace qbx {

class PackageTable {
 public:
  PackageTable(DataFiles& files, std::uint64_t maxQueued);
  ~PackageTable();
  PackageTable(const PackageTable&) = delete;
  PackageTable& operator=(const PackageTable&) = delete;

  // Set once, before any package is added.
  void SetPackageSize(std::uint64_t packageSize) { packageSize_ = packageSize; }
  std::uint64_t PackageSize() const { return packageSize_; }

  std::uint64_t Count() const { return entries_.size(); }
  PackageEntry& Entry(std::uint64_t package) const;  // Throws for an unknown number.
  // A new empty package; its number. With a package file, its record's place there is
  // reserved and the package is queued for the database writer.
  std::uint64_t Add() EXCLUDES(addMutex_);
  // The next package, from its index entry: parked at the offset the entry gives, or
  // held in memory and, until a Store gives it a buffer, out of the queue. Writes
  // nothing.
  void AddImported(const IndexPackageEntry& imported) EXCLUDES(addMutex_);

  // Park writes the record into the package file and frees it (the record must not be
  // in use); Load reads it back into memory and queues the package.
  void Park(PackageEntry& entry) REQUIRES(entry.lock->mutex);
  void Load(PackageEntry& entry) REQUIRES(entry.lock->mutex);
  // Pins the package's record in memory, loading it first when it is parked. The
  // caller drops the pin (useCount).
  PackageRecord& Pin(PackageEntry& entry) EXCLUDES(entry.lock->mutex);

  // The entries of the first `count` packages in an index, after its header and file
  // entries. With `salvage`, records may name blocks whose write failed: each chain is
  // cut back to what its files hold.
  void WriteIndexEntries(IndexWriter& index, std::uint64_t count, bool salvage);
  // Writes the records that import found naming blocks their files no longer hold (a
  // Save, together with DataFiles::ClearStaleLinks), so that every parked record ends
  // its chain where readers find it ending. Callers run it one at a time. Throws on a
  // failed write; the records not yet written stay for the next Save.
  void WriteCutRecords() EXCLUDES(cutMutex_);

  // The database writer's queue, oldest first. A package is in it at most once.
  void Enqueue(PackageEntry& entry) EXCLUDES(queueMutex_);
  PackageEntry* Dequeue() EXCLUDES(queueMutex_);  // Null when empty.
  // Whether the package is in the queue. It stays so while the caller holds the
  // package's mutex and the record is not in use: every other enqueuer holds one or
  // the other (a pin is taken only under the mutex).
  bool IsQueued(const PackageEntry& entry) EXCLUDES(queueMutex_);
  std::uint64_t QueuedCount() const { return queueCount_.load(std::memory_order_acquire); }
  // More packages wait than the limit allows: the database writer writes some out.
  bool OverLimit() const { return QueuedCount() > maxQueued_; }

  // A buffer of the package size, from the pool or new; with `enqueue`, also queues
  // the package: a package that holds a buffer is in the queue (with a package file,
  // every other record in memory already is, except one an import left there).
  // Throws std::bad_alloc.
  PackageBuffer* AcquireBuffer(PackageEntry& entry, bool enqueue) EXCLUDES(poolMutex_);
  void ReleaseBuffer(PackageBuffer*& buffer) EXCLUDES(poolMutex_);  // Nulls `buffer`.

 private:
  DataFiles& files_;
  std::uint64_t packageSize_ = 0;
  const std::uint64_t maxQueued_;

  Mutex addMutex_;
  StableTable<PackageEntry> entries_;  // Grows under addMutex_.

  Mutex queueMutex_;
  PackageEntry* queueFirst_ GUARDED_BY(queueMutex_) = nullptr;
  PackageEntry** queueLast_ GUARDED_BY(queueMutex_) = &queueFirst_;
  std::atomic<std::uint64_t> queueCount_{0};  // Read without the mutex.

  Mutex poolMutex_;
  PackageBuffer* freeBuffers_ GUARDED_BY(poolMutex_) = nullptr;

  // Parked records whose chains import cut back, by offset, with the cut image: their
  // last block in the package file lies in bytes the listed files no longer hold.
  // Taken before any package mutex.
  Mutex cutMutex_;
  std::map<std::uint64_t, PackageImage> cutRecords_ GUARDED_BY(cutMutex_);
};

}  // namespace qbx

#endif  // QUILLBOX_WRITE_PACKAGE_TABLE_H_
