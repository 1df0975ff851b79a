// Import: rebuilds a database from an index file, read and checked whole by
// ReadIndexFile first, so a damaged or truncated index fails the import instead of the
// database.
#include <set>
#include <stdexcept>

#include "database/quillbox.h"

std::unique_ptr<Quillbox> Quillbox::Import(const std::string& indexPath,
                                           std::uint64_t maxQueuedPackages) {
  std::unique_ptr<Quillbox> db(new Quillbox(ImportTag{}, maxQueuedPackages));
  db->ReadIndex(qbx::ReadIndexFile(indexPath), qbx::FolderOf(indexPath));
  db->RememberIndex(indexPath);
  // Started only once the index is read: a failed import has no thread to stop.
  db->StartDatabaseWriter();
  return db;
}

// Data files of a recording that was moved are looked for below `indexFolder`.
void Quillbox::ReadIndex(const qbx::IndexContents& contents, const std::string& indexFolder) {
  packageSize = contents.header.packageSize;
  hasPackageFile = contents.header.hasPackageFile;
  std::set<std::string> taken;
  for (const qbx::IndexFileEntry& entry : contents.files) {
    auto file = std::make_unique<qbx::DataFile>();
    file->Reopen(entry, indexFolder, taken);
    taken.insert(file->fileName);
    files.push_back(file.get());
    file.release();
  }
  for (const qbx::IndexPackageEntry& entry : contents.packages) AddImportedPackage(entry);
  packageCounter.store(contents.packages.size(), std::memory_order_release);
}

// Adds the next package from its index entry: the offset of its record in the package
// file, or the record itself, which is queued for the database writer or, with the
// queue full, parked in the package file at once.
void Quillbox::AddImportedPackage(const qbx::IndexPackageEntry& imported) {
  auto lock = std::make_unique<qbx::PackageLock>();
  const bool written = imported.parked;
  const std::uint64_t offset = imported.offset;
  std::unique_ptr<qbx::PackageRecord> record;
  if (!written) {
    record = std::make_unique<qbx::PackageRecord>();
    record->Assign(imported.image);
  }

  std::lock_guard<std::mutex> countersLock(countersMutex);
  qbx::PackageEntry entry;
  entry.lock = lock.get();
  if (written) {
    entry.recordOrOffset.offset = offset;
    entry.chainChecked = false;
    lock->written.store(true, std::memory_order_relaxed);
  } else {
    entry.recordOrOffset.record = record.get();
  }
  qbx::PackageEntry& added = packages.push_back(entry);
  lock.release();
  record.release();
  if (written || !hasPackageFile) return;
  std::unique_lock<std::mutex> held(added.lock->mutex);
  if (pendingPackages.count.load(std::memory_order_relaxed) < maxQueuedPackages) {
    EnqueuePackage(added);
  } else {
    WritePackageRecord(added, held);
  }
}
