// The records behind threads and packages: ThreadSlot with its SlotJob, and
// PackageEntry with its PackageLock and in-memory PackageRecord. The database owns
// all of them and releases them in its destruction.
//
// Who may touch a package's record: while completedJobs == issuedJobs the holder of
// the package mutex may; while a job is outstanding, the thread writer whose job's
// sequence equals completedJobs may, without the mutex, until it advances
// completedJobs. issuedJobs only changes under the package mutex, so a caller that
// sees the two equal under the mutex knows that no writer touches the record.
#ifndef QUILLBOX_WRITE_RECORDS_H_
#define QUILLBOX_WRITE_RECORDS_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/wake_event.h"
#include "quillbox.h"
#include "storage/format.h"
#include "storage/location.h"

namespace qbx {

struct PackageEntry;

// A package's memory buffer: a link word (used only in the free pool) followed by a
// data area of the database's package size.
struct PackageBuffer {
  PackageBuffer* link = nullptr;
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

struct PackageRecord {
  // The first block is set once, by the writer of the package's first block; cursors
  // read it while that writer may be at work: the position is stored last (release).
  std::atomic<std::uint64_t> firstBlockPos{kNoPosition};
  std::atomic<std::uint32_t> firstBlockFile{0};
  std::atomic<std::uint32_t> firstBlockLen{0};
  std::uint64_t lastBlockPos = kNoPosition;
  std::uint32_t lastBlockFile = 0;
  // Bytes in `buffer`. Random readers check their reads against it without the mutex;
  // it is raised (release) only after the bytes are in place.
  std::atomic<std::uint32_t> bufferedBytes{0};
  PackageBuffer* buffer = nullptr;  // Owned; null while the package holds none.
  std::uint64_t packageId = 0;
  // Caller records of the items whose bytes are in `buffer`.
  std::vector<ItemLocation*> pendingLocations;
  // Operations that hold the record in memory; the database writer leaves a package
  // alone while it is above 0.
  std::atomic<std::uint16_t> useCount{0};
  std::atomic<std::uint16_t> issuedJobs{0};     // Next job sequence; changes under the mutex.
  std::atomic<std::uint16_t> completedJobs{0};  // Jobs past their turn (the record handed on).
  // Jobs wholly done: block written, linked and locations placed. Jobs finish in
  // sequence order, so SynchronizePackage can wait for exactly the jobs before its own.
  std::atomic<std::uint16_t> finishedJobs{0};

  // The image as Load read it from the package file, and whether its chain had been
  // checked before: parking the record unchanged writes nothing. Guarded by the
  // package mutex, as Park and Load are.
  char loadedImage[kPackageRecordSize] = {};
  bool loadedFromFile = false;
  bool loadedChainChecked = true;

  PackageImage Image() const;
  void Assign(const PackageImage& image);  // No buffer and no job outstanding afterwards.
};

struct PackageLock {
  Mutex mutex;                              // The record swap and Store's buffer appends.
  std::atomic<bool> written{false};          // Record parked in the package file.
  std::atomic<bool> readersAllowed{true};    // The reader gate, closed while buffers move.
  std::atomic<std::uint16_t> activeReaders{0};
};

struct PackageEntry {
  PackageLock* lock = nullptr;  // Owned.
  // The in-memory record while `written` is clear; the record's offset in the package
  // file while it is set. Changes only under the package mutex.
  union {
    PackageRecord* record;
    std::uint64_t offset;
  } recordOrOffset{nullptr};
  // Link in the pending queue, and whether the package is in it; guarded by the
  // package table's queue mutex.
  PackageEntry* next = nullptr;
  bool queued = false;
  // False for a record left parked in the package file by an imported index, until it
  // is first loaded and its chain checked against the listed files.
  bool chainChecked GUARDED_BY(lock->mutex) = true;
};

struct SlotJob {
  PackageEntry* package = nullptr;
  std::uint64_t size = 0;
  ItemLocation* location = nullptr;  // The caller's record; may be null.
  std::uint16_t sequence = 0;
  // The hand-over failed after the sequence was issued: the job only passes its turn.
  bool discard = false;
};

// One writer thread's slot. Store claims it by exchanging `busy`, fills `job` and
// `data`, then publishes with `hasJob` (release); the writer reads them only after
// seeing `hasJob` (acquire) and clears `busy` (release) when done.
struct ThreadSlot {
  std::atomic<bool> busy{false};
  SlotJob job;
  // Current data file; read without a lock by both writers. Once the slot runs it is
  // changed only by a rollover, under `rollOverMutex`.
  std::atomic<std::uint32_t> fileIndex{0};
  // Taken by a writer that found the slot's file full, with no data file's lock held:
  // it re-reads `fileIndex` and, when it still names the full file, adds the next file
  // and publishes it. So the slot's thread writer and the database writer, both finding
  // the file full, make one new file between them.
  Mutex rollOverMutex;
  char* data = nullptr;                     // Owned copy of the job's bytes; only grows.
  std::uint64_t dataCapacity = 0;
  std::atomic<bool> hasJob{false};
  std::string folder;
  WakeEvent wake;
  std::atomic<ThreadSlot*> next{nullptr};  // The next slot created; published with release.
};

}  // namespace qbx

#endif  // QUILLBOX_WRITE_RECORDS_H_
