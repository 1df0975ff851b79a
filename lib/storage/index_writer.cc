// Save: writes the index file from which Import reopens the database. The index is
// written to a temporary file beside the target and renamed over it only once it and
// every data file it refers to are on disk, so a failed or interrupted Save leaves the
// previous index intact.
#include <algorithm>
#include <set>
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
  SyncDataFiles();
  temporary.Commit(indexPath);
  RememberIndex(indexPath);
}

// Makes every block and parked record that the index can reach durable; records the
// database writer parked while the index was written are included. A new file is
// durable only once its folder is synced too: each data file's folder is synced once,
// by the first Save that lists the file.
void Quillbox::SyncDataFiles() {
  std::set<std::string> foldersSynced;
  for (std::uint64_t k = 0; k < files.size(); ++k) {
    qbx::DataFile& file = *files[k];
    std::lock_guard<std::mutex> lock(file.mutex);
    if (!qbx::SyncFile(file.handle)) throw std::runtime_error("Unable to write data");
    if (file.folderSynced) continue;
    const std::string folder = qbx::FolderOf(file.fileName);
    if (foldersSynced.insert(folder).second && !qbx::SyncFolder(folder)) {
      throw std::runtime_error("Unable to write data");
    }
    file.folderSynced = true;
  }
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
  header.hasPackageFile = hasPackageFile;
  header.fileCount = files.size();
  char headerBytes[qbx::kIndexHeaderSize];
  qbx::EncodeIndexHeader(header, headerBytes);
  index.Put(headerBytes, sizeof headerBytes);
  const std::uint64_t fileCount = header.fileCount;
  for (std::uint64_t k = 0; k < fileCount; ++k) {
    // The database writer may still park records in the package file meanwhile.
    std::lock_guard<std::mutex> lock(files[k]->mutex);
    files[k]->WriteTo(index);
  }

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
      if (salvage) record = TrimChainToFiles(record);
      bytes = qbx::EncodeHeldEntry(record);
    }
    index.Put(bytes.data(), bytes.size());
  }
}
