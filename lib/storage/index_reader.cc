// Import: rebuilds a database from an index file. Every count and length is checked
// against the bytes that remain before anything is made for it, and every value that
// later code relies on (record offsets, package numbers, file indexes) is checked, so
// a damaged or truncated index fails the import instead of the database.
#include <cstring>
#include <set>
#include <stdexcept>

#include "database/quillbox.h"

namespace {

// Owns the open index file for the duration of an import.
class IndexFile {
 public:
  explicit IndexFile(const std::string& path) {
    qbx::ToWidePath(path);
    handle_ = qbx::OpenFile(path, qbx::OpenMode::kRead);
    if (handle_ == qbx::kNoFile || !qbx::FileLength(handle_, &length_)) {
      throw std::runtime_error("Error opening database index file for reading");
    }
  }
  ~IndexFile() {
    if (handle_ != qbx::kNoFile) qbx::CloseFile(handle_);
  }
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  qbx::FileHandle handle() const { return handle_; }
  std::uint64_t length() const { return length_; }

 private:
  qbx::FileHandle handle_ = qbx::kNoFile;
  std::uint64_t length_ = 0;
};

// Reads a header field that an index may leave out at its end: a short file keeps the
// field's current value (a file of the marker alone is an empty database).
void GetOptional(qbx::IndexReader& index, std::uint64_t* value) {
  char bytes[8];
  if (index.TryGet(bytes, sizeof bytes)) *value = qbx::GetFixed64(bytes);
}

bool ValidBlockFile(std::uint64_t pos, std::uint32_t file, std::uint64_t fileCount,
                    bool hasPackageFile) {
  if (pos == qbx::kNoPosition) return true;
  return file < fileCount && !(hasPackageFile && file == 0);
}

}  // namespace

std::unique_ptr<Quillbox> Quillbox::Import(const std::string& indexPath,
                                           std::uint64_t maxQueuedPackages) {
  std::unique_ptr<Quillbox> db(new Quillbox(ImportTag{}, maxQueuedPackages));
  {
    IndexFile file(indexPath);
    qbx::IndexReader index(file.handle(), file.length());
    db->ReadIndex(index, qbx::FolderOf(indexPath));
  }
  db->RememberIndex(indexPath);
  // Started only once the index is read: a failed import has no thread to stop.
  db->StartDatabaseWriter();
  return db;
}

// Data files of a recording that was moved are looked for below `indexFolder`.
void Quillbox::ReadIndex(qbx::IndexReader& index, const std::string& indexFolder) {
  std::string marker(typeMarker.size(), '\0');
  if (!index.TryGet(marker.data(), marker.size()) || std::strlen(marker.c_str()) != marker.size() ||
      marker != typeMarker) {
    throw std::runtime_error("Filetype mismatch - this is not a quilbox index file.");
  }
  char formatWords[8];
  index.TryGet(formatWords, sizeof formatWords);  // Not checked.
  GetOptional(index, &packageSize);
  if (packageSize > kLargestPackageSize) qbx::ThrowDamagedIndex("package size above 2^32");
  std::uint64_t storedCounter = 0;
  GetOptional(index, &storedCounter);
  std::uint8_t packageFileFlag = 0;
  index.TryGet(&packageFileFlag, 1);
  hasPackageFile = packageFileFlag != 0;

  std::uint64_t fileCount = 0;
  GetOptional(index, &fileCount);
  if (fileCount > index.remaining() / qbx::kFileEntryFixedSize) {
    qbx::ThrowDamagedIndex("more data files than the file can hold");
  }
  if (hasPackageFile && fileCount == 0) qbx::ThrowDamagedIndex("no package file listed");
  std::set<std::string> taken;
  for (std::uint64_t k = 0; k < fileCount; ++k) {
    auto file = std::make_unique<qbx::DataFile>();
    file->ReadFrom(index, indexFolder, taken);
    taken.insert(file->fileName);
    files.push_back(file.get());
    file.release();
  }

  std::uint64_t packageCount = 0;
  GetOptional(index, &packageCount);
  if (packageCount > index.remaining() / qbx::kParkedEntrySize) {
    qbx::ThrowDamagedIndex("more packages than the file can hold");
  }
  if (storedCounter != packageCount) qbx::ThrowDamagedIndex("package counter and table differ");
  for (std::uint64_t n = 0; n < packageCount; ++n) ReadPackageEntry(index, n);
  packageCounter.store(packageCount, std::memory_order_release);
}

// Reads package n's entry: the offset of its record in the package file, or the record
// itself, which is queued for the database writer or, with the queue full, parked in
// the package file at once.
void Quillbox::ReadPackageEntry(qbx::IndexReader& index, std::uint64_t package) {
  auto lock = std::make_unique<qbx::PackageLock>();
  const bool written = index.Get8() != 0;
  std::uint64_t offset = 0;
  std::unique_ptr<qbx::PackageRecord> record;
  if (written) {
    offset = index.Get64();
    if (!hasPackageFile || offset != package * qbx::kPackageRecordSize) {
      qbx::ThrowDamagedIndex("a package record lies elsewhere than its place");
    }
  } else {
    char image[qbx::kPackageRecordSize];
    index.Get(image, sizeof image);
    const qbx::PackageImage decoded = qbx::DecodePackageImage(image);
    if (decoded.packageId != package ||
        !ValidBlockFile(decoded.firstBlockPos, decoded.firstBlockFile, files.size(), hasPackageFile) ||
        !ValidBlockFile(decoded.lastBlockPos, decoded.lastBlockFile, files.size(), hasPackageFile)) {
      qbx::ThrowDamagedIndex("a package record does not fit the database");
    }
    record = std::make_unique<qbx::PackageRecord>();
    record->Assign(decoded);
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
