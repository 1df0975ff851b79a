// The writer threads: the database writer and the thread writers, which both append
// blocks with WriteBlocks; and how they are started and stopped.
#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "write/writer_hooks.h"
#include "write/writers.h"

namespace qbx {
namespace {

constexpr const char* kUnknownFailure = "Unknown failure in a writer thread";

std::uint32_t NarrowFileIndex(std::uint64_t index) {
  if (index > std::numeric_limits<std::uint32_t>::max()) {
    throw std::runtime_error("Datatype range exceeded");
  }
  return static_cast<std::uint32_t>(index);
}

// Whether a block of `blockSize` bytes may follow the `used` bytes of `file`: it must
// not carry the file past its limit, except that an empty file takes any block (so a
// block larger than the limit does not start file after file).
bool BlockFits(const DataFile& file, std::uint64_t used, std::uint64_t blockSize) {
  return used == 0 || (used <= file.maxSize && blockSize <= file.maxSize - used);
}

}  // namespace

// One block to append: the package's buffered bytes, then (thread writer only) the
// item that did not fit.
struct Writers::BlockWrite {
  std::uint32_t fileIndex = 0;  // Set by WriteBlocks: the file the block went into.
  const char* buffered = nullptr;
  std::uint32_t bufferedLen = 0;
  const char* item = nullptr;
  std::uint32_t itemLen = 0;
  // Set by a thread writer: once the block's position is taken, the record is handed
  // to the package's next job (a fresh buffer, completedJobs advanced).
  bool handOver = false;
};

// Where a written block's items go. Locations are placed only once their block is
// reachable along the package's chain (written whole, and linked from its previous
// block), so a location that holds a file position always names bytes that a replay
// of the package also reaches, even when a writer fails right after.
struct Writers::Placement {
  std::uint32_t fileIndex = 0;
  std::uint64_t dataStart = 0;  // File position of the block's payload.
  std::uint32_t payloadLen = 0;
  std::vector<ItemLocation*> buffered;  // Each at its own offset in the block.
  ItemLocation* item = nullptr;
  std::uint32_t itemOffset = 0;

  void Apply() const {
#ifdef QUILLBOX_TESTING
    qbx::testing::NotePlacement();
#endif
    for (ItemLocation* location : buffered) {
      qbx::MarkPlaced(location, fileIndex, qbx::LoadOffsetInBlock(location), dataStart, payloadLen);
    }
    if (item != nullptr) qbx::MarkPlaced(item, fileIndex, itemOffset, dataStart, payloadLen);
  }
};

// ---- Writing blocks -------------------------------------------------------------------

// A block on its way into a file. Once WriteBlocks has taken its position, it also
// holds what the package's record said before, so that a failure can take the block
// back off the record.
struct Writers::PendingBlock {
  PackageRecord* record = nullptr;
  ThreadSlot* slot = nullptr;  // Whose current file takes the block.
  BlockWrite write;
  std::uint64_t headerPos = qbx::kNoPosition;
  std::uint64_t previousPos = qbx::kNoPosition;
  std::uint32_t previousFile = 0;
  bool first = false;
  char header[qbx::kBlockHeaderSize] = {};

  std::uint32_t PayloadLen() const { return write.bufferedLen + write.itemLen; }
  // Where the written block's items lie.
  void PlaceInto(Placement* placement) const {
    placement->fileIndex = write.fileIndex;
    placement->dataStart = headerPos + qbx::kBlockHeaderSize;
    placement->payloadLen = PayloadLen();
  }
};

// Closes the package's reader gate and waits until the readers inside have left.
void Writers::CloseReaderGate(PackageLock& lock) {
  lock.readersAllowed.store(false, std::memory_order_seq_cst);
  qbx::Backoff backoff;
  while (lock.activeReaders.load(std::memory_order_seq_cst) != 0) {
    errors.Check();
    backoff.Pause();
  }
}

// Appends blocks, each of another package, into the slot's current file: back to back,
// with one write (AppendBlocks), as many of them, from the first, as the file's limit
// allows; returns how many (at least one). When not even the first fits, nothing is
// changed, the slot rolls over, and the blocks go into its next file. The test is made
// under the file's mutex, so no other append comes between it and the write.
std::size_t Writers::WriteBlocks(ThreadSlot& slot, PendingBlock* blocks, std::size_t count) {
  for (;;) {
    const std::uint32_t fileIndex = slot.fileIndex.load(std::memory_order_acquire);
    DataFile& file = files.At(fileIndex);
    {
      MutexLock fileLock(file.mutex);
      // A writer whose write here failed set the flag before it let go of the mutex: its
      // handed-over block's record may still name the position where the next block
      // would go.
      errors.Check();
      std::uint64_t used = file.size.load(std::memory_order_relaxed);
      std::size_t fitting = 0;
      for (; fitting < count; ++fitting) {
        const std::uint64_t blockSize = qbx::kBlockHeaderSize + blocks[fitting].PayloadLen();
        if (!BlockFits(file, used, blockSize)) break;
        used += blockSize;
      }
      if (fitting != 0) {
        AppendBlocks(file, fileIndex, blocks, fitting);
        return fitting;
      }
    }
    RollOver(slot, fileIndex);
  }
}

// Moves the slot from its full file `fullFile` on to a new file in its folder, with the
// same limit, unless another writer has moved it on already.
void Writers::RollOver(ThreadSlot& slot, std::uint32_t fullFile) {
  MutexLock lock(slot.rollOverMutex);
  if (slot.fileIndex.load(std::memory_order_acquire) != fullFile) return;
  const std::uint64_t index = files.Add(slot.folder, files.At(fullFile).maxSize);
  slot.fileIndex.store(NarrowFileIndex(index), std::memory_order_release);
}

// Writes blocks at the file's recorded size (never at its physical end). The file's
// size grows only once every block is written whole: blocks whose write fails leave
// their bytes past the size, where no link and no record of a later Save refers to
// them, and their records forget them again (ForgetBlock). Links to the blocks come
// after, in LinkBlock, so that a reader that finds a link finds the whole block behind
// it.
void Writers::AppendBlocks(DataFile& file, std::uint32_t fileIndex, PendingBlock* blocks,
                           std::size_t count) {
  const std::uint64_t start = file.size.load(std::memory_order_relaxed);
  std::uint64_t end = start;
  WritePiece pieces[kMostWritePieces];
  std::size_t pieceCount = 0;
  for (std::size_t k = 0; k < count; ++k) {
    PendingBlock& block = blocks[k];
    block.write.fileIndex = fileIndex;
    PackageRecord& record = *block.record;
    block.headerPos = end;
    block.previousPos = record.lastBlockPos;
    block.previousFile = record.lastBlockFile;
    block.first = record.firstBlockPos.load(std::memory_order_relaxed) == qbx::kNoPosition;
    if (block.first) {
      record.firstBlockFile.store(fileIndex, std::memory_order_relaxed);
      record.firstBlockLen.store(block.write.bufferedLen, std::memory_order_relaxed);
      record.firstBlockPos.store(end, std::memory_order_release);
    }
    record.lastBlockPos = end;
    record.lastBlockFile = fileIndex;
    if (block.write.handOver) {
      // The next job of the package may start now: it sees this block as the last
      // one, and its link patch waits for this file's mutex, that is, for this block.
      record.completedJobs.fetch_add(1, std::memory_order_acq_rel);
    }
    qbx::EncodeBlockHeader({qbx::kNoPosition, 0, block.PayloadLen()}, block.header);
    pieces[pieceCount++] = {block.header, sizeof block.header};
    pieces[pieceCount++] = {block.write.buffered, block.write.bufferedLen};
    pieces[pieceCount++] = {block.write.item, block.write.itemLen};
    end += qbx::kBlockHeaderSize + block.PayloadLen();
  }
  try {
    file.WriteGatherAt(start, pieces, pieceCount);
  } catch (const std::exception& error) {
    FailWrite(blocks, count, error.what());
    throw;
  } catch (...) {
    FailWrite(blocks, count, kUnknownFailure);
    throw;
  }
  file.size.store(end, std::memory_order_release);
}

// After a failed write of blocks: their records forget them, and the flag is set while
// the file's mutex is still held, so that no writer after it appends at the position
// that a handed-over block's record (which keeps the block) still names.
void Writers::FailWrite(const PendingBlock* blocks, std::size_t count, const char* message) {
  for (std::size_t k = 0; k < count; ++k) ForgetBlock(blocks[k]);
  errors.Record(message);
}

// Links the package's previous block to this one. When the patch fails the block is
// not on the chain, and its record forgets it.
void Writers::LinkBlock(const PendingBlock& block) {
  if (block.previousPos == qbx::kNoPosition) return;
  DataFile& previous = files.At(block.previousFile);
  char link[qbx::kLinkSize];
  qbx::EncodeLink(block.headerPos, block.write.fileIndex, link);
  MutexLock previousLock(previous.mutex);
  WriterLock rewrite(previous.bytesLock);
  try {
    errors.Check();  // The previous block's own write may have failed (WriteBlocks).
    previous.WriteAt(block.previousPos, link, sizeof link);
    previous.staleLinks.erase(block.previousPos);
  } catch (...) {
    ForgetBlock(block);
    throw;
  }
}

// Takes a block that is not on the chain back off its record. Unless the record was
// already handed to the package's next job (which then never finishes, so nothing after
// it is placed): a later job that writes the same buffered bytes then links its block
// where the chain really ends.
void Writers::ForgetBlock(const PendingBlock& block) {
  if (block.write.handOver) return;
  PackageRecord& record = *block.record;
  record.lastBlockPos = block.previousPos;
  record.lastBlockFile = block.previousFile;
  if (block.first) record.firstBlockPos.store(qbx::kNoPosition, std::memory_order_release);
}

// One block of a thread writer's job, into its slot's current file; the caller places
// its items with the returned placement.
void Writers::WriteBlock(PackageEntry& entry, ThreadSlot& slot, const BlockWrite& block,
                         Placement* placement) {
  PendingBlock pending;
  pending.record = entry.recordOrOffset.record;
  pending.slot = &slot;
  pending.write = block;
  WriteBlocks(slot, &pending, 1);
  LinkBlock(pending);
  pending.PlaceInto(placement);
}

// ---- The database writer --------------------------------------------------------------

// Locks a package taken out of the queue for a flush and closes its reader gate; false,
// with the mutex not held, for a package that is not to be flushed now. A package in
// use, or whose mutex is busy, goes back to the end of the queue.
bool Writers::TakeForFlush(PackageEntry& entry) {
  if (!entry.lock->mutex.TryLock()) {
    packages.Enqueue(entry);
    return false;
  }
  // Queued again by a Store while this writer had taken it out, and parked meanwhile.
  bool take = !entry.lock->written.load(std::memory_order_relaxed);
  if (take && entry.recordOrOffset.record->useCount.load(std::memory_order_acquire) != 0) {
    packages.Enqueue(entry);
    take = false;
  }
  // A Store or a job that ran after the Dequeue took a buffer and queued the package
  // again: it waits there, in memory, for its next turn. Parked now, it would stay
  // counted in the queue with no record held, and the queue would keep fewer records
  // in memory than its limit allows (none at all with a limit of 1).
  if (take && packages.IsQueued(entry)) take = false;
  if (!take) {
    entry.lock->mutex.Unlock();
    return false;
  }
  try {
    CloseReaderGate(*entry.lock);
  } catch (...) {
    PackageEntry* taken[] = {&entry};
    ReleaseTaken(taken, 1);
    throw;
  }
  return true;
}

// After a failure, which ends this writer: the taken packages not yet finished (not
// null) open their gates again and keep in memory the bytes they still buffer, where
// reads find them. (A Save after the failure lists only what reached the files.)
void Writers::ReleaseTaken(PackageEntry** taken, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (taken[k] == nullptr) continue;
    taken[k]->lock->readersAllowed.store(true, std::memory_order_seq_cst);
    taken[k]->lock->mutex.Unlock();
  }
}

// Places the items of a flushed package's block, if it had one.
void Writers::PlaceFlushed(PackageRecord& record, const PendingBlock& block) {
  Placement placement;
  block.PlaceInto(&placement);
  // The package has no job outstanding, so its block is on the chain now.
  placement.buffered.swap(record.pendingLocations);
  placement.Apply();
  // The list goes back empty with its room, so that Store does not allocate again.
  placement.buffered.clear();
  record.pendingLocations.swap(placement.buffered);
  record.bufferedBytes.store(0, std::memory_order_relaxed);
}

// Ends the flush of a package whose bytes are all in the files: its buffer back to the
// pool, its gate open, its record parked when there is a package file; and its mutex
// released.
void Writers::FinishFlush(PackageEntry& entry) {
  MutexLock lock(entry.lock->mutex, AdoptLock{});
  PackageRecord& record = *entry.recordOrOffset.record;
  record.pendingLocations.clear();  // Every location refers to bytes written before.
  if (record.buffer != nullptr) packages.ReleaseBuffer(record.buffer);
  entry.lock->readersAllowed.store(true, std::memory_order_seq_cst);
  if (files.HasPackageFile()) packages.Park(entry);
  lock.Unlock();
  writerWake.notifyAll();
}

// Writes out what the taken packages hold. Packages with nothing buffered are finished
// first, and take no turn. Each other package's bytes become one block in the current
// file of the slot whose turn it is; slot by slot, in the order of their first blocks,
// the blocks for one slot go out with one write per file they fill (WriteBlocks rolls
// the slot over in between) and are then linked, placed and parked in the order they
// were taken. After a failure the packages not yet finished are let go (ReleaseTaken).
void Writers::FlushTaken(PackageEntry** taken, std::size_t count,
                         std::uint32_t* turn) {
  PendingBlock blocks[kMostBlocksPerWrite];
  std::size_t withBytes = 0;
  try {
    for (std::size_t k = 0; k < count; ++k) {
      PackageRecord& record = *taken[k]->recordOrOffset.record;
      const std::uint32_t buffered = record.bufferedBytes.load(std::memory_order_relaxed);
      if (buffered == 0) {
        PackageEntry* entry = taken[k];
        taken[k] = nullptr;
        FinishFlush(*entry);
        continue;
      }
      const std::uint32_t threads = threadCount.load(std::memory_order_acquire);
      if (threads == 0) throw std::runtime_error("Buffered data without a thread");
      PendingBlock& block = blocks[withBytes];
      block.record = &record;
      block.slot = slots[*turn % threads];
      block.write.buffered = record.buffer->data();
      block.write.bufferedLen = buffered;
      // The entries with bytes move up beside their blocks.
      taken[withBytes] = taken[k];
      if (k != withBytes) taken[k] = nullptr;
      ++withBytes;
      *turn = (*turn + 1) % threads;
    }
    count = withBytes;
    // One group per slot, in the order of the slots' first blocks: the blocks for the
    // slot of block k (and their entries) move up beside it, each keeping its order.
    for (std::size_t k = 0; k < count;) {
      std::size_t end = k + 1;
      for (std::size_t j = k + 1; j < count; ++j) {
        if (blocks[j].slot != blocks[k].slot) continue;
        std::rotate(blocks + end, blocks + j, blocks + j + 1);
        std::rotate(taken + end, taken + j, taken + j + 1);
        ++end;
      }
      errors.Check();  // No more files written once another writer has failed.
      while (k < end) {
        // The blocks that fit into the slot's file; the rest go on in its next one.
        const std::size_t written = k + WriteBlocks(*blocks[k].slot, blocks + k, end - k);
        for (; k < written; ++k) {
          try {
            LinkBlock(blocks[k]);
          } catch (...) {
            // Written but not on their chains: past this block, none is linked either.
            for (std::size_t rest = k + 1; rest < written; ++rest) ForgetBlock(blocks[rest]);
            throw;
          }
          PackageEntry* entry = std::exchange(taken[k], nullptr);
          PlaceFlushed(*entry->recordOrOffset.record, blocks[k]);
          FinishFlush(*entry);
        }
      }
    }
  } catch (...) {
    ReleaseTaken(taken, count);
    throw;
  }
}

void Writers::DatabaseWriterLoop(ThreadSlot*) {
  std::uint32_t turn = 0;
  PackageEntry* taken[kMostBlocksPerWrite];
  for (;;) {
    writerWake.idleWait();
    const bool stop = stopRequested.load(std::memory_order_acquire);
    // About one round over the queue per pass, so that a queue of packages that are
    // all in use does not keep this thread busy; taken in batches, so that the blocks
    // of a batch for one file go out with one write.
    std::uint64_t round = packages.QueuedCount();
    while (round != 0 && packages.OverLimit()) {
      std::size_t count = 0;
      try {
        for (std::size_t tries = 0; tries < kMostBlocksPerWrite && packages.OverLimit(); ++tries) {
          PackageEntry* entry = packages.Dequeue();
          if (entry == nullptr) break;
#ifdef QUILLBOX_TESTING
          testing::NoteDequeue(entry);
#endif
          if (TakeForFlush(*entry)) taken[count++] = entry;
          if (round != 0) --round;
        }
      } catch (...) {
        ReleaseTaken(taken, count);
        throw;
      }
      FlushTaken(taken, count, &turn);
      writerWake.notifyAll();
      errors.Check();
    }
    // Also an idle database writer ends once a writer has failed, so that a Save after
    // the failure finds every writer stopped.
    errors.Check();
    if (stop) return;
  }
}

// ---- The thread writers ---------------------------------------------------------------

// Whether a job of `size` bytes, with `total` bytes buffered afterwards, writes a block:
// it does unless it still fits into the buffer (an empty item never does, unless
// nothing at all is buffered).
bool Writers::JobWritesBlock(std::uint64_t total, std::uint64_t size) const {
  return total != 0 && !(total < packages.PackageSize() && size != 0);
}

// Rolls the slot over ahead of a job whose block will not fit its current file, so that
// a new file that cannot be made fails the job before the package's buffered bytes are
// handed to the block: they stay readable in memory. WriteBlocks decides again under
// the file's mutex, since a flush of the database writer may come in between.
void Writers::RollOverBeforeTheJob(ThreadSlot& slot, const SlotJob& job) {
  const PackageRecord& record = *job.package->recordOrOffset.record;
  const std::uint64_t total = record.bufferedBytes.load(std::memory_order_relaxed) + job.size;
  if (job.discard || !JobWritesBlock(total, job.size)) return;
  const std::uint32_t current = slot.fileIndex.load(std::memory_order_acquire);
  const DataFile& file = files.At(current);
  if (!BlockFits(file, file.size.load(std::memory_order_acquire), qbx::kBlockHeaderSize + total)) {
    RollOver(slot, current);
  }
}

// Carries out one job: the item joins the package buffer if it still fits; otherwise
// buffer and item go to the slot's file as one block and the package gets a fresh
// buffer. Locations that reach a file are left in `placement` for FinishJob.
void Writers::ExecuteJob(const SlotJob& job, ThreadSlot& slot, const char* bytes,
                          Placement* placement) {
  PackageEntry& entry = *job.package;
  PackageRecord& record = *entry.recordOrOffset.record;
  if (job.discard) {
    record.completedJobs.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  const std::uint32_t size = static_cast<std::uint32_t>(job.size);  // Bounded by Store.
  const std::uint32_t offset = record.bufferedBytes.load(std::memory_order_relaxed);
  const std::uint64_t total = offset + job.size;
  if (total == 0) {
    // An empty item with nothing buffered: no block will carry it, so it is placed at
    // the end of the package's last block, where it lies between the items before and
    // after it. Only a package without any block keeps it in memory, and then no
    // writer refers to it again.
    if (job.location != nullptr) PlaceEmptyItem(record, job.location, placement);
    record.completedJobs.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  if (!JobWritesBlock(total, size)) {
    std::memcpy(record.buffer->data() + offset, bytes, size);
    record.bufferedBytes.store(static_cast<std::uint32_t>(total), std::memory_order_release);
    if (job.location != nullptr) {
      record.pendingLocations.push_back(job.location);
      qbx::MarkBuffered(job.location, offset);
    }
    record.completedJobs.fetch_add(1, std::memory_order_acq_rel);
    return;
  }

  BlockWrite block;
  block.item = bytes;
  block.itemLen = size;
  block.handOver = true;
  placement->item = job.location;
  placement->itemOffset = offset;
  PackageBuffer* old = nullptr;
  if (offset != 0) {
    // Swap the buffer behind the reader gate: a reader inside sees each location either
    // buffered with its bytes in place, or marked as being written.
    placement->buffered.swap(record.pendingLocations);
    try {
      // Room for as many items as the last block had, so that Store does not allocate.
      record.pendingLocations.reserve(placement->buffered.size());
    } catch (...) {
    }
    try {
      CloseReaderGate(*entry.lock);
    } catch (...) {
      // Another writer failed while readers were inside: the buffered items stay where
      // readers find them, and the gate opens again.
      placement->buffered.swap(record.pendingLocations);
      entry.lock->readersAllowed.store(true, std::memory_order_seq_cst);
      throw;
    }
    for (ItemLocation* location : placement->buffered) qbx::MarkBeingWritten(location);
    old = record.buffer;
    block.buffered = old->data();
    block.bufferedLen = offset;
    try {
      record.buffer = packages.AcquireBuffer(entry, false);
    } catch (...) {
      record.buffer = nullptr;  // The next item takes a buffer; this one is written now.
    }
    record.bufferedBytes.store(0, std::memory_order_relaxed);
    entry.lock->readersAllowed.store(true, std::memory_order_seq_cst);
  }
  try {
    WriteBlock(entry, slot, block, placement);
  } catch (...) {
    if (old != nullptr) packages.ReleaseBuffer(old);
    throw;
  }
  if (old != nullptr) packages.ReleaseBuffer(old);
}

void Writers::PlaceEmptyItem(const PackageRecord& record, ItemLocation* location,
                              Placement* placement) {
  if (record.lastBlockPos == qbx::kNoPosition) {
    qbx::MarkBuffered(location, 0);
    return;
  }
  // The block may still be written by the package's previous job, which holds its
  // file's mutex until the block is complete.
  DataFile& file = files.At(record.lastBlockFile);
  char header[qbx::kBlockHeaderSize];
  {
    MutexLock lock(file.mutex);
    ReaderLock read(file.bytesLock);
    file.ReadAt(record.lastBlockPos, header, sizeof header);
  }
  const std::uint32_t payloadLen = qbx::DecodeBlockHeader(header).payloadLen;
  placement->fileIndex = record.lastBlockFile;
  placement->dataStart = record.lastBlockPos + qbx::kBlockHeaderSize;
  placement->payloadLen = payloadLen;
  placement->item = location;
  placement->itemOffset = payloadLen;
}

// Jobs of a package finish in sequence order: a job that is done waits until the jobs
// before it are done too, so that finishedJobs counts a gapless prefix. Only then are
// its locations placed: every block before its own is written and linked by then.
void Writers::FinishJob(PackageRecord& record, std::uint16_t sequence,
                         const Placement& placement) {
  WaitForSequence(record.finishedJobs, sequence);
  placement.Apply();
  record.finishedJobs.store(static_cast<std::uint16_t>(sequence + 1), std::memory_order_release);
}

void Writers::RunJob(ThreadSlot& slot) {
  const SlotJob job = slot.job;
  PackageRecord& record = *job.package->recordOrOffset.record;
  if (record.completedJobs.load(std::memory_order_acquire) != job.sequence) return;  // Not its turn.
  if (record.buffer == nullptr && !job.discard) {
    record.buffer = packages.AcquireBuffer(*job.package, true);
  }
  slot.hasJob.store(false, std::memory_order_relaxed);
  RollOverBeforeTheJob(slot, job);
  Placement placement;
  ExecuteJob(job, slot, slot.data, &placement);
  FinishJob(record, job.sequence, placement);
  record.useCount.fetch_sub(1, std::memory_order_acq_rel);
  slot.busy.store(false, std::memory_order_release);
  slot.wake.spins.store(0, std::memory_order_relaxed);
}

void Writers::ThreadWriterLoop(ThreadSlot* slot) {
  for (;;) {
    slot->wake.idleWait();
    if (slot->hasJob.load(std::memory_order_acquire)) RunJob(*slot);
    errors.Check();
    if (stopRequested.load(std::memory_order_acquire)) return;
  }
}

// ---- Thread entry points ----------------------------------------------------------------

// Runs a writer loop; any failure, of whatever type, sets the error flag and ends the
// thread, and never the process.
void Writers::RunWriter(void (Writers::*loop)(ThreadSlot*), ThreadSlot* slot) {
  try {
    (this->*loop)(slot);
  } catch (const std::exception& error) {
    RecordFailure(error.what());
  } catch (...) {
    RecordFailure(kUnknownFailure);
  }
  runningWriters.fetch_sub(1, std::memory_order_acq_rel);
}

void Writers::databaseWriter() { RunWriter(&Writers::DatabaseWriterLoop, nullptr); }

void Writers::threadWriter(ThreadSlot* slot) { RunWriter(&Writers::ThreadWriterLoop, slot); }

// Waits until `counter` has reached `target`, counting modulo 2^16: the counter has
// reached it when it lies less than half the range past it. Fails with the error
// message when a writer has failed.
void Writers::WaitForSequence(const std::atomic<std::uint16_t>& counter,
                               std::uint16_t target) {
  qbx::Backoff backoff;
  while (static_cast<std::uint16_t>(counter.load(std::memory_order_acquire) - target) >= 0x8000) {
    errors.Check();
    backoff.Pause();
  }
}

// ---- Starting and stopping -----------------------------------------------------------

Writers::Writers(PackageTable& packages, DataFiles& files, ErrorState& errors)
    : packages(packages), files(files), errors(errors) {}

Writers::~Writers() {
  if (!errors.Failed()) {
    try {
      Synchronize();
    } catch (...) {
      RecordFailure("Error in thread synchronization");
    }
  }
  StopThreads();
  for (std::uint64_t k = 0; k < slots.size(); ++k) {
    delete[] slots[k]->data;
    delete slots[k];
  }
}

const char* Writers::NewThread(const std::string& folder, std::uint64_t maxFileSize) {
  const std::uint64_t index = files.Add(folder, maxFileSize);
  {
    MutexLock lock(slotsMutex);
    auto slot = std::make_unique<ThreadSlot>();
    slot->fileIndex.store(NarrowFileIndex(index), std::memory_order_relaxed);
    slot->folder = folder;
    // Room for every table entry first, so that nothing can fail once the thread runs.
    slots.reserve_next();
    workerThreads.push_back(nullptr);
    runningWriters.fetch_add(1, std::memory_order_acq_rel);
    try {
      workerThreads.back() = new std::thread(&Writers::threadWriter, this, slot.get());
    } catch (...) {
      runningWriters.fetch_sub(1, std::memory_order_acq_rel);
      workerThreads.pop_back();
      throw;
    }
    ThreadSlot* published = slot.release();
    slots.push_back(published);
    lastSlotLink->store(published, std::memory_order_release);
    lastSlotLink = &published->next;
    threadCount.fetch_add(1, std::memory_order_release);
  }
  return files.Name(index);
}

// The database writer starts last, once the database is complete. If it cannot start,
// the destructor releases what exists.
void Writers::StartDatabaseWriter() {
  MutexLock lock(slotsMutex);
  workerThreads.push_back(nullptr);
  runningWriters.fetch_add(1, std::memory_order_acq_rel);
  try {
    workerThreads.back() = new std::thread(&Writers::databaseWriter, this);
  } catch (...) {
    runningWriters.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
}

// Sets the stop request, wakes every writer (also idle slot writers, so that the
// joins do not wait for a nap to run out) and joins them in order of start.
void Writers::StopThreads() {
  stopRequested.exchange(true);
  for (ThreadSlot* slot = firstSlot.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    slot->wake.notifyOne();
  }
  writerWake.notifyOne();
  // No writer thread takes this mutex, so holding it through the joins is safe.
  MutexLock lock(slotsMutex);
  for (std::thread*& thread : workerThreads) {
    if (thread == nullptr) continue;  // A thread that never started.
    if (thread->joinable()) thread->join();
    delete thread;
    thread = nullptr;
  }
  workerThreads.clear();
}

// Sets the error flag with its message. Every writer is woken, so that idle ones
// notice the flag and end at once.
void Writers::RecordFailure(const char* message) noexcept {
  errors.Record(message);
  writerWake.notifyAll();
  for (ThreadSlot* slot = firstSlot.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    slot->wake.notifyAll();
  }
}

// After a writer failure every writer ends at its next check of the flag; what they
// were writing at that moment ends first, so this waits for I/O in progress only.
void Writers::WaitForWritersToEnd() const {
  Backoff backoff;
  while (runningWriters.load(std::memory_order_acquire) != 0) backoff.Pause();
}

void Writers::PretendIdleFor(std::uint64_t polls) {
  writerWake.spins.store(polls, std::memory_order_relaxed);
  for (std::uint64_t k = 0; k < slots.size(); ++k) {
    slots[k]->wake.spins.store(polls, std::memory_order_relaxed);
  }
}

}  // namespace qbx
