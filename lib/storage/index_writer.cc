// Save: writes the index file from which Import reopens the database. The index is
// written to a temporary file beside the target and renamed over it only once it and
// every data file it refers to are on disk, so a failed or interrupted Save leaves the
// previous index intact.
#include <stdexcept>

#include "database/quillbox.h"

namespace {

// Owns the temporary file of a Save until it is renamed into place; removes it on
// every failure path.
class TemporaryIndex {
 public:
  explicit TemporaryIndex(const std::string& target) {
    handle_ = qbx::CreateFileWithUniqueSuffix(target + ".saving.", &path_);
    if (handle_ == nullptr) {
      throw std::runtime_error("Error opening database index file for writing");
    }
  }
  ~TemporaryIndex() {
    if (handle_ != nullptr) qbx::CloseFile(handle_);
    if (!path_.empty()) qbx::RemoveFile(path_);
  }
  TemporaryIndex(const TemporaryIndex&) = delete;
  TemporaryIndex& operator=(const TemporaryIndex&) = delete;

  qbx::FileHandle handle() const { return handle_; }

  // Syncs, closes and renames the file over `target`, then syncs the folder.
  void Commit(const std::string& target) {
    const bool synced = qbx::SyncFile(handle_);
    const bool closed = std::fclose(handle_) == 0;
    handle_ = nullptr;
    if (!synced || !closed) throw std::runtime_error("Unable to write data");
    if (!qbx::RenameFile(path_, target)) throw std::runtime_error("Unable to write data");
    path_.clear();
    if (!qbx::SyncFolder(qbx::FolderOf(target))) throw std::runtime_error("Unable to write data");
  }

 private:
  qbx::FileHandle handle_ = nullptr;
  std::string path_;
};

}  // namespace

void Quillbox::Save(const std::string& indexPath) {
  qbx::ToWidePath(indexPath);
  TemporaryIndex temporary(indexPath);
  qbx::IndexWriter index(temporary.handle());
  WriteIndex(index);
  SyncDataFiles();
  temporary.Commit(indexPath);
}

// Makes every block and parked record that the index can reach durable; records the
// database writer parked while the index was written are included.
void Quillbox::SyncDataFiles() {
  for (std::uint64_t k = 0; k < files.size(); ++k) {
    qbx::DataFile& file = *files[k];
    std::lock_guard<std::mutex> lock(file.mutex);
    if (!qbx::SyncFile(file.handle)) throw std::runtime_error("Unable to write data");
  }
}

void Quillbox::WriteIndex(qbx::IndexWriter& index) {
  Synchronize();
  index.Put(typeMarker.data(), typeMarker.size());
  index.Put32(qbx::kFormatWord1);
  index.Put32(qbx::kFormatWord2);
  index.Put64(packageSize);
  index.Put64(packageCounter.load(std::memory_order_acquire));
  index.Put8(hasPackageFile ? 1 : 0);
  const std::uint64_t fileCount = files.size();
  index.Put64(fileCount);
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
    const bool written = entry.lock->written.load(std::memory_order_relaxed);
    index.Put8(written ? 1 : 0);
    if (written) {
      index.Put64(entry.recordOrOffset.offset);
    } else {
      char image[qbx::kPackageRecordSize];
      qbx::EncodePackageImage(entry.recordOrOffset.record->Image(), image);
      index.Put(image, sizeof image);
    }
  }
}
