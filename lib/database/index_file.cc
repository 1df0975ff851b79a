// The index file: Save writes it, Import rebuilds a database from it, and a relocation
// keeps every index the database knows naming the file where it now lies.
//
// Save writes the index to a temporary file beside the target and renames it over the
// target only once it and every data file it refers to are on disk, so a failed or
// interrupted Save leaves the previous index intact. Import reads and checks the whole
// index (ReadIndexFile) before it makes anything, so a damaged or truncated index fails
// the import instead of the database.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "database/quillbox.h"

// After a writer failure Save still writes an index, of what reached the data files
// whole: it waits for no data that can no longer be written, only for the writers to
// end, and cuts each package's chain back to its last block on the files (a salvage).
// The export still reports the failure.
void Quillbox::Save(const std::string& indexPath) {
  qbx::ToWidePath(indexPath);
  qbx::TemporaryIndex temporary(indexPath);
  if (!HasFailed()) {
    try {
      Synchronize();
    } catch (...) {
      if (!HasFailed()) throw;  // A failure of this call alone, not of a writer.
    }
  }
  const bool salvage = HasFailed();
  if (salvage) WaitForWritersToEnd();
  qbx::IndexWriter index(temporary.handle());
  WriteIndex(index, salvage);
  index.Finish();
  files.SyncAll();
  temporary.Commit(indexPath);
  RememberIndex(indexPath);
}

// Every index this database wrote or was imported from, by absolute path, so that a
// relocation can keep each of them naming the file where it now lies.
void Quillbox::RememberIndex(const std::string& indexPath) {
  const std::string absolute = qbx::AbsolutePath(indexPath);
  std::lock_guard<std::mutex> lock(indexesMutex);
  if (std::find(knownIndexes.begin(), knownIndexes.end(), absolute) == knownIndexes.end()) {
    knownIndexes.push_back(absolute);
  }
}

// Writes the index of the database as it stands. With `salvage`, every writer has
// ended after a failure: records in memory may name blocks whose write failed, so each
// chain is cut back to what its files hold, and buffered bytes are lost.
void Quillbox::WriteIndex(qbx::IndexWriter& index, bool salvage) {
  qbx::IndexHeader header;
  header.packageSize = packageSize;
  header.packageCounter = packageCounter.load(std::memory_order_acquire);
  header.hasPackageFile = files.HasPackageFile();
  header.fileCount = files.Count();
  char headerBytes[qbx::kIndexHeaderSize];
  qbx::EncodeIndexHeader(header, headerBytes);
  index.Put(headerBytes, sizeof headerBytes);
  files.WriteEntries(index, header.fileCount);

  const std::uint64_t packageCount = packages.size();
  index.Put64(packageCount);
  for (std::uint64_t n = 0; n < packageCount; ++n) {
    // The lock keeps the database writer from parking the record between the flag
    // and what follows it.
    qbx::PackageEntry& entry = packages[n];
    std::lock_guard<std::mutex> lock(entry.lock->mutex);
    std::string bytes;
    if (entry.lock->written.load(std::memory_order_relaxed)) {
      bytes = qbx::EncodeParkedEntry(entry.recordOrOffset.offset);
    } else {
      qbx::PackageImage record = entry.recordOrOffset.record->Image();
      if (salvage) record = files.TrimChain(record);
      bytes = qbx::EncodeHeldEntry(record);
    }
    index.Put(bytes.data(), bytes.size());
  }
}

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
  files.Reopen(contents.files, contents.header.hasPackageFile, indexFolder);
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
  if (written || !files.HasPackageFile()) return;
  std::unique_lock<std::mutex> held(added.lock->mutex);
  if (pendingPackages.count.load(std::memory_order_relaxed) < maxQueuedPackages) {
    EnqueuePackage(added);
  } else {
    WritePackageRecord(added, held);
  }
}

// Moves a data file (DataFiles::Relocate). With `removeOld`, the old file is the only
// copy that the saved indexes name: each of them is rewritten to name the new one
// before the old one goes, so a crash at any moment leaves every index valid.
void Quillbox::RelocateFileTo(std::uint64_t fileIndex, const std::string& newPath,
                              bool removeOld) {
  const std::string oldName = files.Relocate(fileIndex, newPath, packageSize);
  if (!removeOld) return;
  try {
    RenameInKnownIndexes(fileIndex, oldName, newPath);
  } catch (...) {
    throw std::runtime_error("Error removing file " + oldName);
  }
  if (!qbx::RemoveFile(oldName)) throw std::runtime_error("Error removing file " + oldName);
}

void Quillbox::RenameInKnownIndexes(std::uint64_t fileIndex, const std::string& oldName,
                                    const std::string& newName) {
  std::lock_guard<std::mutex> lock(indexesMutex);
  for (const std::string& index : knownIndexes) {
    qbx::RenameFileInIndex(index, fileIndex, oldName, newName);
  }
}
