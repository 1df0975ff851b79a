// Sequential index-file access with checked writes and bounded reads.
#include "storage/index_format.h"

#include <filesystem>
#include <stdexcept>

#include "storage/data_file.h"
#include "storage/layout.h"

namespace qbx {

void IndexWriter::Put(const void* data, std::size_t size) {
  if (size != 0 && WriteFile(file_, data, size) != size) {
    throw std::runtime_error("Unable to write data");
  }
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
  if (size > remaining_) return false;
  if (size != 0 && ReadFile(file_, data, size) != size) {
    throw std::runtime_error("Unable to read data");
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

void ThrowDamagedIndex(const std::string& what) {
  throw std::runtime_error("Damaged index file: " + what);
}

TemporaryIndex::TemporaryIndex(const std::string& target) {
  handle_ = CreateFileWithUniqueSuffix(target + ".saving.", &path_);
  if (handle_ == nullptr) throw std::runtime_error("Error opening database index file for writing");
}

TemporaryIndex::~TemporaryIndex() {
  if (handle_ != nullptr) CloseFile(handle_);
  if (!path_.empty()) RemoveFile(path_);
}

void TemporaryIndex::Commit(const std::string& target) {
  const bool synced = SyncFile(handle_);
  const bool closed = std::fclose(handle_) == 0;
  handle_ = nullptr;
  if (!synced || !closed) throw std::runtime_error("Unable to write data");
  if (!RenameFile(path_, target)) throw std::runtime_error("Unable to write data");
  path_.clear();
  if (!SyncFolder(FolderOf(target))) throw std::runtime_error("Unable to write data");
}

namespace {

std::string ReadWholeIndex(const std::string& path, bool* exists) {
  FileHandle file = OpenFile(path, OpenMode::kRead);
  *exists = file != nullptr;
  if (file == nullptr) return std::string();
  std::uint64_t length = 0;
  std::string bytes;
  const bool known = FileLength(file, &length);
  if (known) {
    bytes.resize(static_cast<std::size_t>(length));
    if (ReadFile(file, bytes.data(), bytes.size()) != bytes.size()) bytes.clear();
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
  if (bytes.size() < kIndexHeaderSize || bytes.compare(0, 8, "Quillbox") != 0) return false;
  const std::uint64_t fileCount = GetFixed64(bytes.data() + kIndexHeaderSize - 8);
  if (fileIndex >= fileCount) return false;
  std::uint64_t at = kIndexHeaderSize;
  for (std::uint64_t k = 0;; ++k) {
    if (bytes.size() - at < kMinFileEntrySize) return false;
    const std::uint64_t length = GetFixed64(bytes.data() + at);
    if (length > bytes.size() - at - kMinFileEntrySize) return false;
    if (k == fileIndex) {
      // The entry names the file as it was saved; an index of a recording that was
      // moved names it where it was, and the file was found below the index's folder.
      const std::string stored = bytes.substr(at + 8, length);
      if (stored != oldName &&
          (IsRegularFile(stored) || FindMovedFile(FolderOf(indexPath), stored) != oldName)) {
        return false;
      }
      break;
    }
    at += kMinFileEntrySize + length;
  }
  std::string rewritten = bytes.substr(0, at);
  char newLength[8];
  PutFixed64(newLength, newName.size());
  rewritten.append(newLength, sizeof newLength);
  rewritten += newName;
  rewritten += bytes.substr(at + 8 + GetFixed64(bytes.data() + at));
  TemporaryIndex temporary(indexPath);
  IndexWriter(temporary.handle()).Put(rewritten.data(), rewritten.size());
  temporary.Commit(indexPath);
  return true;
}

std::string AbsolutePath(const std::string& path) {
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())));
  const std::u8string text = absolute.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace qbx
