// The table of data files: creation, lookup, the package file's records, the chain
// check of an imported record, and making the files durable for Save.
#include "storage/data_files.h"

#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

namespace qbx {

DataFiles::~DataFiles() {
  for (std::uint64_t k = 0; k < files_.size(); ++k) delete files_[k];
}

std::uint64_t DataFiles::Add(const std::string& folder, std::uint64_t maxSize) {
  ThrowIfReadOnly();
  auto file = std::make_unique<DataFile>(folder, maxSize);
  MutexLock lock(addMutex_);
  const std::uint64_t index = files_.size();
  files_.push_back(file.get());
  file.release();  // Owned by the table from here on.
  return index;
}

void DataFiles::AddPackageFile(const std::string& folder) {
  if (files_.size() != 0) throw std::logic_error("The package file comes first");
  Add(folder, ~std::uint64_t{0});
  hasPackageFile_ = true;
}

void DataFiles::Reopen(const std::vector<IndexFileEntry>& entries, bool hasPackageFile,
                       const std::string& indexFolder) {
  hasPackageFile_ = hasPackageFile;
  std::set<std::string> taken;
  for (const IndexFileEntry& entry : entries) {
    auto file = std::make_unique<DataFile>();
    file->Reopen(entry, indexFolder, taken);
    taken.insert(FileKey(file->fileName));
    if (file->readOnly) readOnly_ = true;
    MutexLock lock(addMutex_);
    files_.push_back(file.get());
    file.release();
  }
}

void DataFiles::ThrowIfReadOnly() const {
  if (readOnly_) throw std::runtime_error("Recording is open read-only");
}

DataFile& DataFiles::At(std::uint64_t index) const {
  DataFile* const* file = files_.find(index);
  if (file == nullptr) throw std::out_of_range("Unknown file index");
  return **file;
}

const char* DataFiles::Name(std::uint64_t index) const {
  DataFile* const* file = files_.find(index);
  return file == nullptr ? nullptr : (*file)->PublishedName();
}

bool DataFiles::IsBlockFile(std::uint64_t pos, std::uint32_t file) const {
  return IsBlockFileOf(pos, file, files_.size(), hasPackageFile_);
}

// A record parked in the package file may be newer than the index a database was
// imported from (blocks stored after that Save can lie in files the index does not
// list), and after a writer failure a record may name a block whose write failed.
// Readers end a chain at a link into a file the database does not list, or to a block
// that is not wholly in its file; this finds the block where they end.
PackageImage DataFiles::TrimChain(PackageImage image) const {
  if (image.firstBlockPos == kNoPosition) return image;
  BlockHeader header;
  bool firstInPlace = IsBlockFile(image.firstBlockPos, image.firstBlockFile);
  if (firstInPlace) {
    DataFile& first = At(image.firstBlockFile);
    ReaderLock read(first.bytesLock);
    firstInPlace = first.ReadBlockHeader(image.firstBlockPos, &header);
  }
  if (!firstInPlace) {
    // Even the first block came later: the package was empty then.
    image.firstBlockPos = image.lastBlockPos = kNoPosition;
    image.firstBlockFile = image.firstBlockLen = image.lastBlockFile = 0;
    return image;
  }
  std::uint64_t pos = image.firstBlockPos;
  std::uint32_t file = image.firstBlockFile;
  // A file only grows at its end, so a package's blocks lie ever further into each
  // file: a link to before the end of the package's previous block in that file is
  // damage, and ends the walk. So does any loop, after at most one block per block of
  // the files. `past` holds, per file, where the chain's last block there ends.
  std::vector<std::uint64_t> past(files_.size(), 0);
  past[file] = pos + kBlockHeaderSize + header.payloadLen;
  for (;;) {
    if (header.nextBlockPos == kNoPosition ||
        !IsBlockFile(header.nextBlockPos, header.nextBlockFile) ||
        header.nextBlockFile >= past.size() || header.nextBlockPos < past[header.nextBlockFile]) {
      break;
    }
    DataFile& next = At(header.nextBlockFile);
    ReaderLock read(next.bytesLock);
    BlockHeader following;
    if (!next.ReadBlockHeader(header.nextBlockPos, &following)) break;
    pos = header.nextBlockPos;
    file = header.nextBlockFile;
    header = following;
    past[file] = pos + kBlockHeaderSize + header.payloadLen;
  }
  image.lastBlockPos = pos;
  image.lastBlockFile = file;
  return image;
}

PackageImage DataFiles::EndChainAtImport(const PackageImage& image, bool fromLast) {
  PackageImage end = image;
  bool found = false;
  if (fromLast) {
    PackageImage fromThere = image;
    fromThere.firstBlockPos = image.lastBlockPos;
    fromThere.firstBlockFile = image.lastBlockFile;
    fromThere = TrimChain(fromThere);
    found = fromThere.firstBlockPos != kNoPosition;
    if (found) {
      end.lastBlockPos = fromThere.lastBlockPos;
      end.lastBlockFile = fromThere.lastBlockFile;
    }
  }
  if (!found) end = TrimChain(image);
  // A record that names no first block, or a last block outside the block files, has
  // no chain to end: a parked one is refused when it is loaded. Its "last block" may lie
  // in the package file, where a stale link would be another package's record.
  if (end.firstBlockPos == kNoPosition || !IsBlockFile(end.lastBlockPos, end.lastBlockFile)) {
    return end;
  }
  DataFile& last = At(end.lastBlockFile);
  WriterLock guard(last.bytesLock);
  BlockHeader header;
  if (last.ReadBlockHeader(end.lastBlockPos, &header) && header.nextBlockPos != kNoPosition) {
    last.staleLinks.insert(end.lastBlockPos);
    mayHoldStaleLinks_.store(true);
  }
  return end;
}

// Readers take a stale link as none, but on disk it still leads on; once this database
// lists a file with the index it names, or appends where it points, an index saved
// now would lead its readers on into blocks of other packages. So it becomes no link
// on disk too, before the index is written. A read-only database adds no file and
// appends nothing: its stale links stay as they are.
void DataFiles::ClearStaleLinks() {
  if (readOnly_ || !mayHoldStaleLinks_.load()) return;
  char none[kLinkSize];
  EncodeLink(kNoPosition, 0, none);
  for (std::uint64_t k = 0; k < files_.size(); ++k) {
    DataFile& file = *files_[k];
    MutexLock lock(file.mutex);
    WriterLock rewrite(file.bytesLock);
    while (!file.staleLinks.empty()) {
      file.WriteAt(*file.staleLinks.begin(), none, sizeof none);
      file.staleLinks.erase(file.staleLinks.begin());
    }
  }
  // No link becomes stale after import.
  mayHoldStaleLinks_.store(false);
}

void DataFiles::WriteRecord(std::uint64_t offset, const char image[kPackageRecordSize]) {
  DataFile& packageFile = At(0);
  MutexLock lock(packageFile.mutex);
  WriterLock rewrite(packageFile.bytesLock);
  packageFile.WriteAt(offset, image, kPackageRecordSize);
  if (packageFile.size.load(std::memory_order_relaxed) < offset + kPackageRecordSize) {
    packageFile.size.store(offset + kPackageRecordSize, std::memory_order_release);
  }
}

void DataFiles::ReadRecord(std::uint64_t offset, char image[kPackageRecordSize]) const {
  DataFile& packageFile = At(0);
  ReaderLock read(packageFile.bytesLock);
  packageFile.ReadAt(offset, image, kPackageRecordSize);
}

void DataFiles::WriteEntries(IndexWriter& index, std::uint64_t count) {
  for (std::uint64_t k = 0; k < count; ++k) {
    // The database writer may still park records in the package file meanwhile.
    MutexLock lock(files_[k]->mutex);
    files_[k]->WriteTo(index);
  }
}

// A new file is durable only once its folder is synced too: each file's folder is
// synced once, by the first call after the file was made there.
void DataFiles::SyncAll() {
  std::set<std::string> foldersSynced;
  for (std::uint64_t k = 0; k < files_.size(); ++k) {
    DataFile& file = *files_[k];
    MutexLock lock(file.mutex);
    // Nothing was written through a read-only handle (and Windows refuses to flush one).
    if (file.readOnly) continue;
    if (file.syncFailed || !SyncFile(file.handle)) {
      file.syncFailed = true;
      throw std::runtime_error("Unable to write data");
    }
    if (file.folderSynced) continue;
    const std::string folder = FolderOf(file.fileName);
    if (foldersSynced.insert(folder).second && !SyncFolder(folder)) {
      throw std::runtime_error("Unable to write data");
    }
    file.folderSynced = true;
  }
}

}  // namespace qbx
