// Sequential index-file access with checked writes and bounded reads.
#include "storage/index_format.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "storage/data_file.h"

namespace qbx {

namespace {

// Index files are written and read in pieces of this size.
constexpr std::size_t kIndexPiece = 64 * 1024;

}  // namespace

void IndexWriter::Put(const void* data, std::size_t size) {
  buffered_.append(static_cast<const char*>(data), size);
  if (buffered_.size() >= kIndexPiece) Finish();
}

void IndexWriter::Finish() {
  if (!buffered_.empty() &&
      WriteAt(file_, offset_, buffered_.data(), buffered_.size()) != buffered_.size()) {
    throw std::runtime_error("Unable to write data");
  }
  offset_ += buffered_.size();
  buffered_.clear();
}

void IndexWriter::Put32(std::uint32_t value) {
  char bytes[4];
  PutFixed32(bytes, value);
  Put(bytes, sizeof bytes);
}

void IndexWriter::Put64(std::uint64_t value) {
  char bytes[8];
  PutFixed64(bytes, value);
  Put(bytes, sizeof bytes);
}

bool IndexReader::TryGet(void* data, std::size_t size) {
  if (size > remaining_) {
    // The file ends inside this field: it and every later one read as absent, so a
    // shorter field further on cannot take bytes of this one.
    remaining_ = 0;
    endedEarly_ = true;
    return false;
  }
  char* out = static_cast<char*>(data);
  for (std::size_t done = 0; done < size;) {
    if (used_ == buffer_.size()) {
      // Never more than the file still holds, so a damaged length allocates nothing.
      const std::uint64_t want = std::max<std::uint64_t>(kIndexPiece, size - done);
      buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(want, remaining_ - done)));
      if (ReadAt(file_, offset_, buffer_.data(), buffer_.size()) != buffer_.size()) {
        buffer_.clear();
        used_ = 0;
        throw std::runtime_error("Unable to read data");
      }
      offset_ += buffer_.size();
      used_ = 0;
    }
    const std::size_t piece = std::min(size - done, buffer_.size() - used_);
    std::memcpy(out + done, buffer_.data() + used_, piece);
    used_ += piece;
    done += piece;
  }
  remaining_ -= size;
  return true;
}

void IndexReader::Get(void* data, std::size_t size) {
  if (!TryGet(data, size)) ThrowDamagedIndex("the file ends inside an entry");
}

std::uint8_t IndexReader::Get8() {
  std::uint8_t value;
  Get(&value, 1);
  return value;
}

std::uint64_t IndexReader::Get64() {
  char bytes[8];
  Get(bytes, sizeof bytes);
  return GetFixed64(bytes);
}

namespace {

constexpr std::uint64_t kFirstRoom = 4096;

// A header field that an index may leave out at its end keeps its value.
void GetOptional(IndexReader& index, std::uint64_t* value) {
  char bytes[8];
  if (index.TryGet(bytes, sizeof bytes)) *value = GetFixed64(bytes);
}

IndexFileEntry ReadFileEntry(IndexReader& index) {
  IndexFileEntry entry;
  const std::uint64_t nameLength = index.Get64();
  // The name, size, limit and keep flag must all fit into what remains.
  if (nameLength > index.remaining() ||
      index.remaining() - nameLength < kFileEntryFixedSize - sizeof nameLength) {
    ThrowDamagedIndex("a file name runs past the end");
  }
  std::string name(static_cast<std::size_t>(nameLength), '\0');
  index.Get(name.data(), name.size());
  entry.name.assign(name.c_str());  // A stored name ends at its first zero byte.
  entry.storedLength = nameLength;
  entry.size = index.Get64();
  entry.maxSize = index.Get64();
  index.Get8();  // The keep flag: every listed file is kept, whatever it says.
  return entry;
}

IndexPackageEntry ReadPackageEntry(IndexReader& index, std::uint64_t package,
                                   const IndexContents& contents) {
  IndexPackageEntry entry;
  entry.parked = index.Get8() != 0;
  const bool packageFile = contents.header.hasPackageFile;
  if (entry.parked) {
    entry.offset = index.Get64();
    if (!packageFile || entry.offset != package * kPackageRecordSize) {
      ThrowDamagedIndex("a package record lies elsewhere than its place");
    }
    return entry;
  }
  char image[kPackageRecordSize];
  index.Get(image, sizeof image);
  entry.image = DecodePackageImage(image);
  const std::uint64_t files = contents.files.size();
  if (entry.image.packageId != package ||
      !IsBlockFileOf(entry.image.firstBlockPos, entry.image.firstBlockFile, files, packageFile) ||
      !IsBlockFileOf(entry.image.lastBlockPos, entry.image.lastBlockFile, files, packageFile)) {
    ThrowDamagedIndex("a package record does not fit the database");
  }
  return entry;
}

}  // namespace

bool IsBlockFileOf(std::uint64_t pos, std::uint32_t file, std::uint64_t fileCount,
                   bool hasPackageFile) {
  return pos == kNoPosition || (file < fileCount && !(hasPackageFile && file == 0));
}

IndexContents ReadIndexContents(IndexReader& index) {
  IndexContents contents;
  IndexHeader& header = contents.header;
  char marker[kTypeMarkerSize];
  if (!index.TryGet(marker, sizeof marker) ||
      std::string(marker, sizeof marker) != std::string(kTypeMarker, kTypeMarkerSize)) {
    throw std::runtime_error("Filetype mismatch - this is not a quilbox index file.");
  }
  const bool markerAlone = index.remaining() == 0;
  char formatWords[8];
  index.TryGet(formatWords, sizeof formatWords);  // Not checked.
  GetOptional(index, &header.packageSize);
  if (header.packageSize > kLargestPackageSize) ThrowDamagedIndex("package size above 2^32");
  GetOptional(index, &header.packageCounter);
  std::uint8_t packageFileFlag = 0;
  index.TryGet(&packageFileFlag, 1);
  header.hasPackageFile = packageFileFlag != 0;
  GetOptional(index, &header.fileCount);
  if (header.fileCount > index.remaining() / kFileEntryFixedSize) {
    ThrowDamagedIndex("more data files than the file can hold");
  }
  if (header.hasPackageFile && header.fileCount == 0) ThrowDamagedIndex("no package file listed");
  // Room for a few entries at first: an entry in memory is larger than in the file, and
  // a damaged index may claim many and hold few.
  contents.files.reserve(static_cast<std::size_t>(std::min(header.fileCount, kFirstRoom)));
  for (std::uint64_t k = 0; k < header.fileCount; ++k) contents.files.push_back(ReadFileEntry(index));

  std::uint64_t packageCount = 0;
  GetOptional(index, &packageCount);
  // Without a package file every record is held in the index.
  const std::uint64_t smallestEntry = header.hasPackageFile ? kParkedEntrySize : kHeldEntrySize;
  if (packageCount > index.remaining() / smallestEntry) {
    ThrowDamagedIndex("more packages than the file can hold");
  }
  if (header.packageCounter != packageCount) ThrowDamagedIndex("package counter and table differ");
  contents.endsInsideHeader = index.endedEarly() && !markerAlone;
  contents.packages.reserve(static_cast<std::size_t>(std::min(packageCount, kFirstRoom)));
  for (std::uint64_t n = 0; n < packageCount; ++n) {
    contents.packages.push_back(ReadPackageEntry(index, n, contents));
  }
  return contents;
}

IndexContents ReadIndexFile(const std::string& path) {
  ToWidePath(path);
  const FileHandle file = OpenFile(path, OpenMode::kRead);
  std::uint64_t length = 0;
  if (file == kNoFile || !FileLength(file, &length)) {
    if (file != kNoFile) CloseFile(file);
    throw std::runtime_error("Error opening database index file for reading");
  }
  try {
    IndexReader index(file, length);
    IndexContents contents = ReadIndexContents(index);
    CloseFile(file);
    return contents;
  } catch (...) {
    CloseFile(file);
    throw;
  }
}

void ThrowDamagedIndex(const std::string& what) {
  throw std::runtime_error("Damaged index file: " + what);
}

TemporaryIndex::TemporaryIndex(const std::string& target) {
  handle_ = CreateFileWithUniqueSuffix(target + ".saving.", &path_);
  if (handle_ == kNoFile) throw std::runtime_error("Error opening database index file for writing");
}

TemporaryIndex::~TemporaryIndex() {
  if (handle_ != kNoFile) CloseFile(handle_);
  if (!path_.empty()) RemoveFile(path_);
}

void TemporaryIndex::Commit(const std::string& target) {
  const bool synced = SyncFile(handle_);
  const bool closed = CloseFile(handle_);
  handle_ = kNoFile;
  if (!synced || !closed) throw std::runtime_error("Unable to write data");
  if (!RenameFile(path_, target)) throw std::runtime_error("Unable to write data");
  path_.clear();
  if (!SyncFolder(FolderOf(target))) throw std::runtime_error("Unable to write data");
}

namespace {

std::string ReadWholeIndex(const std::string& path, bool* exists) {
  FileHandle file = OpenFile(path, OpenMode::kRead);
  *exists = file != kNoFile;
  if (file == kNoFile) {
    // An index that is there but cannot be opened is not passed over: it would go on
    // naming a file that is about to be removed.
    if (IsRegularFile(path)) throw std::runtime_error("Unable to read data");
    return std::string();
  }
  std::uint64_t length = 0;
  std::string bytes;
  const bool known = FileLength(file, &length);
  if (known) {
    bytes.resize(static_cast<std::size_t>(length));
    if (ReadAt(file, 0, bytes.data(), bytes.size()) != bytes.size()) bytes.clear();
  }
  CloseFile(file);
  if (!known || bytes.size() != length) throw std::runtime_error("Unable to read data");
  return bytes;
}

}  // namespace

bool RenameFileInIndex(const std::string& indexPath, std::uint64_t fileIndex,
                       const std::string& oldName, const std::string& newName) {
  bool exists = false;
  const std::string bytes = ReadWholeIndex(indexPath, &exists);
  if (!exists) return false;
  if (bytes.size() < kIndexHeaderSize || bytes.compare(0, kTypeMarkerSize, kTypeMarker) != 0) return false;
  const std::uint64_t fileCount = GetFixed64(bytes.data() + kIndexHeaderSize - 8);
  if (fileIndex >= fileCount) return false;
  std::uint64_t at = kIndexHeaderSize;
  for (std::uint64_t k = 0;; ++k) {
    if (bytes.size() - at < kFileEntryFixedSize) return false;
    const std::uint64_t length = GetFixed64(bytes.data() + at);
    if (length > bytes.size() - at - kFileEntryFixedSize) return false;
    if (k == fileIndex) {
      // The entry names the file as it was saved; an index of a recording that was
      // moved names it where it was, and the file was found below the index's folder.
      // The database may spell the same file otherwise (relative to the working folder
      // of an import by a relative path), so the files are compared, not the names.
      const std::string stored = bytes.substr(at + 8, length);
      const std::string found =
          IsRegularFile(stored) ? stored : FindMovedFile(FolderOf(indexPath), stored);
      if (!SameFile(found, oldName)) return false;
      break;
    }
    at += kFileEntryFixedSize + length;
  }
  std::string rewritten = bytes.substr(0, at);
  char newLength[8];
  PutFixed64(newLength, newName.size());
  rewritten.append(newLength, sizeof newLength);
  rewritten += newName;
  rewritten += bytes.substr(at + 8 + GetFixed64(bytes.data() + at));
  TemporaryIndex temporary(indexPath);
  IndexWriter writer(temporary.handle());
  writer.Put(rewritten.data(), rewritten.size());
  writer.Finish();
  temporary.Commit(indexPath);
  return true;
}

std::vector<std::string> FilesOfIndex(const std::string& indexPath) {
  std::vector<std::string> found;
  const FileHandle file = OpenFile(indexPath, OpenMode::kRead);
  if (file == kNoFile) {
    // An index that is there but cannot be read is not passed over: it may list the file.
    if (IsRegularFile(indexPath)) throw std::runtime_error("Unable to read data");
    return found;
  }
  try {
    std::uint64_t length = 0;
    if (!FileLength(file, &length)) throw std::runtime_error("Unable to read data");
    IndexReader index(file, length);
    char header[kIndexHeaderSize];
    if (index.TryGet(header, sizeof header) &&
        std::string(header, kTypeMarkerSize) == std::string(kTypeMarker, kTypeMarkerSize)) {
      // Each entry takes at least its fixed bytes, so a damaged count ends with the file.
      const std::uint64_t count = GetFixed64(header + kIndexHeaderSize - 8);
      for (std::uint64_t k = 0; k < count; ++k) {
        std::string stored;
        try {
          stored = ReadFileEntry(index).name;
        } catch (const std::runtime_error& error) {
          if (std::strncmp(error.what(), "Damaged index file", 18) == 0) break;  // No more.
          throw;
        }
        std::string path;
        try {
          path = IsRegularFile(stored) ? stored : FindMovedFile(FolderOf(indexPath), stored);
        } catch (const std::exception&) {  // A name that is not UTF-8 names no file.
        }
        if (!path.empty()) found.push_back(path);
      }
    }
  } catch (...) {
    CloseFile(file);
    throw;
  }
  CloseFile(file);
  return found;
}

std::string AbsolutePath(const std::string& path) {
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())));
  const std::u8string text = absolute.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace qbx
