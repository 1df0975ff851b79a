// The write path of a database: Store and its hand-over of jobs to thread slots, the
// writer threads (one database writer, one thread writer per slot), and
// synchronisation. The database writer drains the pending-package queue beyond its
// limit, oldest first, writing buffered bytes as blocks into the slots' files in turn
// (the blocks of one batch for one file with one write) and parking records in the
// package file. Each thread writer runs the jobs Store hands
// to its slot, in sequence order within a package. Either writer moves a slot on to a
// new data file (a rollover) when a block would carry the slot's current file past its
// size limit.
//
// Threads: any number of caller threads; the writer threads started here, which end
// when the object is destroyed or after a writer failure. Lock order: a package's
// mutex, then one data file's locks at a time, then the package table's queue or pool
// mutex; `slotsMutex` only around additions of slots and threads. A slot's
// `rollOverMutex` is taken with no data file's lock held (a package's mutex may be
// held), and inside it only the file table's own. The database writer
// holds the mutexes of a whole batch of packages, each taken with a try-lock, so no
// order among them is needed.
#ifndef QUILLBOX_WRITE_WRITERS_H_
#define QUILLBOX_WRITE_WRITERS_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/wake_event.h"
#include "quillbox.h"
#include "storage/data_files.h"
#include "storage/stable_table.h"
#include "write/error_state.h"
#include "write/package_table.h"
#include "write/records.h"

namespace qbx {

class Writers {
 public:
  Writers(PackageTable& packages, DataFiles& files, ErrorState& errors);
  // Synchronizes unless a writer failed, then stops and joins every writer thread.
  ~Writers();
  Writers(const Writers&) = delete;
  Writers& operator=(const Writers&) = delete;

  // Starts the database writer; called once, when the database is complete.
  void StartDatabaseWriter() EXCLUDES(slotsMutex);
  // A new writer thread with a new data file in `folder`; the file's name.
  const char* NewThread(const std::string& folder, std::uint64_t maxFileSize)
      EXCLUDES(slotsMutex);
  std::uint32_t ThreadCount() const { return threadCount.load(std::memory_order_acquire); }

  void Store(std::uint64_t package, std::uint64_t size, const void* data,
             ItemLocation* location);
  void Synchronize();
  void SynchronizePackage(std::uint64_t package);

  // After a writer failure every writer ends at its next check of the flag; what they
  // were writing at that moment ends first, so this waits for I/O in progress only.
  void WaitForWritersToEnd() const;
  // Sets the error flag and wakes every writer, so that idle ones end at once.
  void RecordFailure(const char* message) noexcept;

  // Makes every writer look idle for `polls` polls, so that it naps long (tests of
  // how quickly the writers are stopped).
  void PretendIdleFor(std::uint64_t polls);

 private:
  struct BlockWrite;
  struct Placement;
  struct PendingBlock;

  // The most packages the database writer flushes in one batch, and so the most blocks
  // that go out with one write.
  static constexpr std::size_t kMostBlocksPerWrite = 16;
  static_assert(3 * kMostBlocksPerWrite <= kMostWritePieces, "a block is three pieces");

  // Synchronisation's pieces.
  void PushAndWait(std::uint64_t package);
  void WaitForWritersIfFailed() const;

  // Store's pieces.
  void HoldBack();
  std::uint16_t HandOver(PackageEntry& entry, PackageRecord& record, std::uint64_t size,
                         const void* data, ItemLocation* location);
  ThreadSlot* ClaimSlot();
  bool FillSlot(ThreadSlot& slot, PackageEntry& entry, std::uint16_t sequence,
                std::uint64_t size, const void* data, ItemLocation* location);

  // The writers.
  void databaseWriter();
  void threadWriter(ThreadSlot* slot);
  void RunWriter(void (Writers::*loop)(ThreadSlot*), ThreadSlot* slot);
  void DatabaseWriterLoop(ThreadSlot* unused) NO_THREAD_SAFETY_ANALYSIS;
  void ThreadWriterLoop(ThreadSlot* slot);
  // A batch of the database writer holds the mutexes of its packages from TakeForFlush
  // to FinishFlush (or ReleaseTaken), which the thread-safety analysis cannot follow.
  bool TakeForFlush(PackageEntry& entry) NO_THREAD_SAFETY_ANALYSIS;
  void FlushTaken(PackageEntry** taken, std::size_t count, std::uint32_t* turn)
      NO_THREAD_SAFETY_ANALYSIS;
  void PlaceFlushed(PackageRecord& record, const PendingBlock& block);
  void FinishFlush(PackageEntry& entry) RELEASE(entry.lock->mutex);
  void ReleaseTaken(PackageEntry** taken, std::size_t count) NO_THREAD_SAFETY_ANALYSIS;
  void RunJob(ThreadSlot& slot);
  bool JobWritesBlock(std::uint64_t total, std::uint64_t size) const;
  void RollOver(ThreadSlot& slot, std::uint32_t fullFile);
  void RollOverBeforeTheJob(ThreadSlot& slot, const SlotJob& job);
  void ExecuteJob(const SlotJob& job, ThreadSlot& slot, const char* bytes,
                  Placement* placement);
  void FinishJob(PackageRecord& record, std::uint16_t sequence, const Placement& placement);
  void PlaceEmptyItem(const PackageRecord& record, ItemLocation* location,
                      Placement* placement);
  void WriteBlock(PackageEntry& entry, ThreadSlot& slot, const BlockWrite& block,
                  Placement* placement);
  std::size_t WriteBlocks(ThreadSlot& slot, PendingBlock* blocks, std::size_t count);
  void AppendBlocks(DataFile& file, std::uint32_t fileIndex, PendingBlock* blocks,
                    std::size_t count) REQUIRES(file.mutex);
  void LinkBlock(const PendingBlock& block);
  static void ForgetBlock(const PendingBlock& block);
  void FailWrite(const PendingBlock* blocks, std::size_t count, const char* message);
  void CloseReaderGate(PackageLock& lock);
  void WaitForSequence(const std::atomic<std::uint16_t>& counter, std::uint16_t target);
  void StopThreads() EXCLUDES(slotsMutex);

  PackageTable& packages;
  DataFiles& files;
  ErrorState& errors;

  WakeEvent writerWake;  // The database writer's.
  Mutex slotsMutex;  // Serializes additions of slots and threads.
  std::deque<std::thread*> workerThreads GUARDED_BY(slotsMutex);  // Owned.
  StableTable<ThreadSlot*> slots;  // Owned; grows under slotsMutex, read without it.
  std::atomic<std::uint32_t> threadCount{0};
  // Every slot, linked in order of creation for the walks of Store and of the wake-ups;
  // a slot is linked (release) once it is complete.
  std::atomic<ThreadSlot*> firstSlot{nullptr};
  std::atomic<ThreadSlot*>* lastSlotLink GUARDED_BY(slotsMutex) = &firstSlot;
  std::atomic<bool> stopRequested{false};
  // Writer threads started and not yet ended (their loops returned).
  std::atomic<std::uint32_t> runningWriters{0};
};

}  // namespace qbx

#endif  // QUILLBOX_WRITE_WRITERS_H_
