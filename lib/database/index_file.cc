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
  if (salvage) writers.WaitForWritersToEnd();
  qbx::MutexLock relocations(relocationMutex);
  RefuseToWriteOver(indexPath, "The index path", /*indexMayGo=*/true);
  try {
    files.ClearStaleLinks();
    packages.WriteCutRecords();
  } catch (...) {
    // After a writer failure the index is written all the same, as well as it can be.
    if (!salvage) throw;
  }
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
  qbx::MutexLock lock(indexesMutex);
  if (std::find(knownIndexes.begin(), knownIndexes.end(), absolute) == knownIndexes.end()) {
    knownIndexes.push_back(absolute);
  }
}

// Writes the index of the database as it stands. With `salvage`, every writer has
// ended after a failure: records in memory may name blocks whose write failed, so each
// chain is cut back to what its files hold, and buffered bytes are lost.
void Quillbox::WriteIndex(qbx::IndexWriter& index, bool salvage) {
  qbx::IndexHeader header;
  header.packageSize = packages.PackageSize();
  // One count for the header and the table: packages added meanwhile are left out.
  header.packageCounter = packages.Count();
  header.hasPackageFile = files.HasPackageFile();
  header.fileCount = files.Count();
  char headerBytes[qbx::kIndexHeaderSize];
  qbx::EncodeIndexHeader(header, headerBytes);
  index.Put(headerBytes, sizeof headerBytes);
  files.WriteEntries(index, header.fileCount);

  packages.WriteIndexEntries(index, header.packageCounter, salvage);
}

std::unique_ptr<Quillbox> Quillbox::Import(const std::string& indexPath,
                                           std::uint64_t maxQueuedPackages) {
  std::unique_ptr<Quillbox> db(new Quillbox(ImportTag{}, maxQueuedPackages));
  db->ReadIndex(qbx::ReadIndexFile(indexPath), qbx::FolderOf(indexPath));
  {
    qbx::MutexLock relocations(db->relocationMutex);  // No other thread has the database yet.
    db->RememberIndex(indexPath);
  }
  // Started only once the index is read: a failed import has no thread to stop.
  db->writers.StartDatabaseWriter();
  return db;
}

// Data files of a recording that was moved are looked for below `indexFolder`.
void Quillbox::ReadIndex(const qbx::IndexContents& contents, const std::string& indexFolder) {
  packages.SetPackageSize(contents.header.packageSize);
  files.Reopen(contents.files, contents.header.hasPackageFile, indexFolder);
  for (const qbx::IndexPackageEntry& entry : contents.packages) packages.AddImported(entry);
}

// Moves a data file (DataFiles::Relocate). With `removeOld`, the old file is the only
// copy that the saved indexes name: each of them is rewritten to name the new one
// before the old one goes, so a crash at any moment leaves every index valid.
void Quillbox::RelocateFileTo(std::uint64_t fileIndex, const std::string& newPath,
                              bool removeOld) {
  qbx::ToWidePath(newPath);
  qbx::MutexLock relocations(relocationMutex);
  // A read-only database or an unknown file is refused as such before the target is looked at.
  files.ThrowIfReadOnly();
  files.At(fileIndex);
  RefuseToWriteOver(newPath, "Relocation target", /*indexMayGo=*/false);
  const std::string oldName = files.Relocate(fileIndex, newPath, packages.PackageSize());
  if (!removeOld) return;
  try {
    RenameInKnownIndexes(fileIndex, oldName, newPath);
  } catch (...) {
    throw std::runtime_error("Error removing file " + oldName);
  }
  if (!qbx::RemoveFile(oldName)) throw std::runtime_error("Error removing file " + oldName);
}

// A Save's rename or a relocation's copy at `path` would destroy a data file of the
// database (a file that rollovers add later has a fresh name, which no existing file
// has), or a file that a saved index lists, such as the old copy that a relocation
// without removal left: that index would read its packages as empty. With
// `indexMayGo`, a Save may replace an index saved before; a relocation's copy may not
// (the index would list no file any more). `what` begins the message.
void Quillbox::RefuseToWriteOver(const std::string& path, const char* what, bool indexMayGo) {
  const auto refuse = [&](const char* reason) {
    throw std::runtime_error(std::string(what) + reason + path);
  };
  qbx::FileId target;
  const bool exists = qbx::IdentifyFile(path, &target);
  if (files.IsDataFilePath(path, exists ? &target : nullptr)) {
    refuse(" is a data file of the database: ");
  }
  // Only a file that is there can be needed (an index lists the files it finds).
  if (!exists || !qbx::IsRegularFile(path)) return;
  qbx::MutexLock lock(indexesMutex);
  for (const std::string& index : knownIndexes) {
    if (!qbx::IsFile(index, target)) continue;
    if (indexMayGo) return;
    refuse(" is an index of the database: ");
  }
  for (const std::string& index : knownIndexes) {
    std::vector<std::string> listed;
    try {
      listed = qbx::FilesOfIndex(index);
    } catch (...) {
      // It may list the path.
      throw std::runtime_error("Unable to read index file " + index);
    }
    for (const std::string& file : listed) {
      if (qbx::IsFile(file, target)) refuse(" is a file that a saved index lists: ");
    }
  }
}

void Quillbox::RenameInKnownIndexes(std::uint64_t fileIndex, const std::string& oldName,
                                    const std::string& newName) {
  qbx::MutexLock lock(indexesMutex);
  for (const std::string& index : knownIndexes) {
    qbx::RenameFileInIndex(index, fileIndex, oldName, newName);
  }
}
