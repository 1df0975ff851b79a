#include "write/package_table.h"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace qbx {

PackageTable::PackageTable(DataFiles& files, std::uint64_t maxQueued)
    : files_(files), maxQueued_(maxQueued) {}

PackageTable::~PackageTable() {
  for (std::uint64_t n = 0; n < entries_.size(); ++n) {
    PackageEntry& entry = entries_[n];
    if (!entry.lock->written.load(std::memory_order_relaxed)) {
      PackageRecord* record = entry.recordOrOffset.record;
      if (record->buffer != nullptr) ReleaseBuffer(record->buffer);
      delete record;
    }
    delete entry.lock;
  }
  while (freeBuffers_ != nullptr) {
    PackageBuffer* buffer = freeBuffers_;
    freeBuffers_ = buffer->link;
    buffer->~PackageBuffer();
    ::operator delete(buffer);
  }
}

PackageEntry& PackageTable::Entry(std::uint64_t package) const {
  PackageEntry* entry = entries_.find(package);
  if (entry == nullptr) throw std::out_of_range("Unknown package number");
  return *entry;
}

std::uint64_t PackageTable::Add() {
  files_.ThrowIfReadOnly();
  if (entries_.size() == ~std::uint64_t{0}) {
    throw std::runtime_error("Number of packages exceed the size_t limit.");
  }
  auto record = std::make_unique<PackageRecord>();
  auto lock = std::make_unique<PackageLock>();
  MutexLock addLock(addMutex_);
  const std::uint64_t n = entries_.size();
  if (files_.HasPackageFile()) {
    // A placeholder at the record's place. After an import of a recording that went on
    // past its Save, a record left there since belongs to no package of this database:
    // the placeholder replaces it, so it cannot pass for this package's.
    char empty[kPackageRecordSize];
    EncodePackageImage(PackageImage(), empty);
    files_.WriteRecord(kPackageRecordSize * n, empty);
  }
  record->packageId = n;
  PackageEntry entry;
  entry.lock = lock.get();
  entry.recordOrOffset.record = record.get();
  PackageEntry& added = entries_.push_back(entry);
  lock.release();
  record.release();
  if (files_.HasPackageFile()) Enqueue(added);
  return n;
}

void PackageTable::AddImported(const IndexPackageEntry& imported) {
  // A record names both ends of its chain or neither. Held with a last block but no
  // first, it would have the next Store link the block it names (another package's,
  // say) to the package's new one.
  if (!imported.parked && (imported.image.firstBlockPos == kNoPosition) !=
                              (imported.image.lastBlockPos == kNoPosition)) {
    ThrowDamagedIndex("a package record does not fit the database");
  }
  // Chains end where the listed files end them, before any file is added.
  if (imported.parked) {
    // A record parked after the Save can have blocks anywhere in its chain in files
    // the index does not list: its chain is followed from the first block. A record
    // that is not there, or does not fit, is refused when it is loaded. So is one in
    // bytes the package file lost since the Save: it holds only those before them.
    std::uint64_t size = 0;
    if (files_.HasPackageFile()) {
      const DataFile& packageFile = files_.At(0);
      size = packageFile.lostTo > packageFile.lostFrom
                 ? packageFile.lostFrom
                 : packageFile.size.load(std::memory_order_relaxed);
    }
    if (size >= kPackageRecordSize && imported.offset <= size - kPackageRecordSize) {
      char image[kPackageRecordSize];
      files_.ReadRecord(imported.offset, image);
      const PackageImage decoded = DecodePackageImage(image);
      if (decoded.packageId == imported.offset / kPackageRecordSize) {
        const PackageImage cut = files_.EndChainAtImport(decoded, false);
        if (cut.lastBlockPos != decoded.lastBlockPos ||
            cut.lastBlockFile != decoded.lastBlockFile) {
          MutexLock guard(cutMutex_);
          cutRecords_[imported.offset] = cut;
        }
      }
    }
  }
  auto lock = std::make_unique<PackageLock>();
  std::unique_ptr<PackageRecord> record;
  if (!imported.parked) {
    // The chain goes on where readers find it going on (blocks stored after the Save
    // in listed files), and the next block is linked from where they find it ending.
    record = std::make_unique<PackageRecord>();
    record->Assign(files_.EndChainAtImport(imported.image, true));
  }
  PackageEntry entry;
  entry.lock = lock.get();
  if (imported.parked) {
    entry.recordOrOffset.offset = imported.offset;
    // Its chain is checked against the listed files when it is first loaded. (No other
    // thread sees the entry yet; the lock only states who guards the flag.)
    MutexLock guard(entry.lock->mutex);
    entry.chainChecked = false;
    lock->written.store(true, std::memory_order_relaxed);
  } else {
    entry.recordOrOffset.record = record.get();
  }
  MutexLock addLock(addMutex_);
  entries_.push_back(entry);
  lock.release();
  record.release();
  // A record held in memory stays there, out of the queue, until a Store gives its
  // package a buffer: parking it would write the package file, and an import followed
  // by reads must change no file (nor can it, on a read-only recording). The records
  // take memory in proportion to the index they come from.
}

void PackageTable::Park(PackageEntry& entry) {
  PackageRecord* record = entry.recordOrOffset.record;
  char image[kPackageRecordSize];
  EncodePackageImage(record->Image(), image);
  const std::uint64_t offset = kPackageRecordSize * record->packageId;
  // A record read from the package file and not changed since goes back without a
  // write: reading a recording writes none of its files. The next load then checks its
  // chain again if this one had to.
  if (record->loadedFromFile &&
      std::memcmp(image, record->loadedImage, kPackageRecordSize) == 0) {
    entry.chainChecked = record->loadedChainChecked;
  } else {
    files_.WriteRecord(offset, image);
  }
  if (record->buffer != nullptr) ReleaseBuffer(record->buffer);
  delete record;
  entry.recordOrOffset.offset = offset;
  entry.lock->written.store(true, std::memory_order_release);
}

void PackageTable::Load(PackageEntry& entry) {
  auto record = std::make_unique<PackageRecord>();
  char image[kPackageRecordSize];
  files_.ReadRecord(entry.recordOrOffset.offset, image);
  PackageImage decoded = DecodePackageImage(image);
  // A record parked in the package file may be newer than the index the database was
  // imported from: its chain is cut back to what the listed files hold. One in bytes
  // the file lost since is gone, even where later writes past them left zeros.
  if (!entry.chainChecked) {
    const DataFile& packageFile = files_.At(0);
    if (entry.recordOrOffset.offset < packageFile.lostTo &&
        entry.recordOrOffset.offset + kPackageRecordSize > packageFile.lostFrom) {
      throw std::runtime_error("Unable to read data");
    }
    decoded = files_.TrimChain(decoded);
  }
  // A record that names another package or an unknown file would send writers and
  // readers astray; refuse it and leave the entry as it was.
  if (decoded.packageId != entry.recordOrOffset.offset / kPackageRecordSize ||
      (decoded.firstBlockPos == kNoPosition) != (decoded.lastBlockPos == kNoPosition) ||
      !files_.IsBlockFile(decoded.firstBlockPos, decoded.firstBlockFile) ||
      !files_.IsBlockFile(decoded.lastBlockPos, decoded.lastBlockFile)) {
    throw std::runtime_error("Unable to read data");
  }
  record->Assign(decoded);
  EncodePackageImage(record->Image(), record->loadedImage);
  record->loadedFromFile = true;
  record->loadedChainChecked = entry.chainChecked;
  entry.chainChecked = true;
  entry.recordOrOffset.record = record.release();
  Enqueue(entry);
  entry.lock->written.store(false, std::memory_order_release);
}

PackageRecord& PackageTable::Pin(PackageEntry& entry) {
  MutexLock lock(entry.lock->mutex);
  if (entry.lock->written.load(std::memory_order_relaxed)) Load(entry);
  PackageRecord& record = *entry.recordOrOffset.record;
  record.useCount.fetch_add(1, std::memory_order_relaxed);
  return record;
}

void PackageTable::WriteIndexEntries(IndexWriter& index, std::uint64_t count, bool salvage) {
  index.Put64(count);
  for (std::uint64_t n = 0; n < count; ++n) {
    // The lock keeps the database writer from parking the record between the flag
    // and what follows it.
    PackageEntry& entry = entries_[n];
    MutexLock lock(entry.lock->mutex);
    std::string bytes;
    if (entry.lock->written.load(std::memory_order_relaxed)) {
      bytes = EncodeParkedEntry(entry.recordOrOffset.offset);
    } else {
      PackageImage record = entry.recordOrOffset.record->Image();
      if (salvage) record = files_.TrimChain(record);
      bytes = EncodeHeldEntry(record);
    }
    index.Put(bytes.data(), bytes.size());
  }
}

void PackageTable::WriteCutRecords() {
  if (files_.ReadOnly()) return;
  MutexLock guard(cutMutex_);
  for (auto cut = cutRecords_.begin(); cut != cutRecords_.end();) {
    PackageEntry& entry = entries_[cut->first / kPackageRecordSize];
    MutexLock lock(entry.lock->mutex);
    // A record in memory is decided when it is parked: unchanged, it goes back without
    // a write. A record parked since with a checked chain wrote its own image.
    if (!entry.lock->written.load(std::memory_order_relaxed)) {
      ++cut;
      continue;
    }
    if (!entry.chainChecked) {
      char image[kPackageRecordSize];
      EncodePackageImage(cut->second, image);
      files_.WriteRecord(cut->first, image);
      entry.chainChecked = true;
    }
    cut = cutRecords_.erase(cut);
  }
}

void PackageTable::Enqueue(PackageEntry& entry) {
  MutexLock lock(queueMutex_);
  if (entry.queued) return;
  entry.next = nullptr;
  *queueLast_ = &entry;
  queueLast_ = &entry.next;
  entry.queued = true;
  queueCount_.fetch_add(1, std::memory_order_release);
}

PackageEntry* PackageTable::Dequeue() {
  MutexLock lock(queueMutex_);
  PackageEntry* entry = queueFirst_;
  if (entry == nullptr) return nullptr;
  queueFirst_ = entry->next;
  if (queueFirst_ == nullptr) queueLast_ = &queueFirst_;
  entry->next = nullptr;
  entry->queued = false;
  queueCount_.fetch_sub(1, std::memory_order_release);
  return entry;
}

bool PackageTable::IsQueued(const PackageEntry& entry) {
  MutexLock lock(queueMutex_);
  return entry.queued;
}

PackageBuffer* PackageTable::AcquireBuffer(PackageEntry& entry, bool enqueue) {
  PackageBuffer* buffer = nullptr;
  {
    MutexLock lock(poolMutex_);
    if (freeBuffers_ != nullptr) {
      buffer = freeBuffers_;
      freeBuffers_ = buffer->link;
    }
  }
  if (buffer != nullptr) {
    buffer->link = nullptr;
  } else {
    buffer = new (::operator new(sizeof(PackageBuffer) + packageSize_)) PackageBuffer();
  }
  if (enqueue) Enqueue(entry);
  return buffer;
}

void PackageTable::ReleaseBuffer(PackageBuffer*& buffer) {
  MutexLock lock(poolMutex_);
  buffer->link = freeBuffers_;
  freeBuffers_ = buffer;
  buffer = nullptr;
}

}  // namespace qbx
