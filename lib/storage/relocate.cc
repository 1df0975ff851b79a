// Relocation of one data file to another path while the database is open. The file
// keeps its index, so every position stored anywhere stays valid. The old file stays
// open until the copy is complete, checked and durable, so on any failure the database
// goes on working on the old file and the partial copy is removed.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "storage/data_files.h"

namespace {

// Pieces of the copy: the package size, but not so small that the copy takes a system
// call per few bytes, and not so large that a 4 GiB package size would need a 4 GiB
// buffer.
constexpr std::uint64_t kSmallestCopyPiece = 64 * 1024;
constexpr std::uint64_t kLargestCopyPiece = 8 * 1024 * 1024;

// Owns the new file until the data file takes it over; removes a partial copy.
class NewFile {
 public:
  explicit NewFile(const std::string& path) : path_(path) {
    handle_ = qbx::OpenFile(path, qbx::OpenMode::kCreate);
    if (handle_ == qbx::kNoFile) throw std::runtime_error("Unable to create file " + path);
  }
  ~NewFile() {
    if (handle_ != qbx::kNoFile) {
      qbx::CloseFile(handle_);
      qbx::RemoveFile(path_);
    }
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  qbx::FileHandle handle() const { return handle_; }
  qbx::FileHandle Release() {
    qbx::FileHandle handle = handle_;
    handle_ = qbx::kNoFile;
    return handle;
  }

 private:
  std::string path_;
  qbx::FileHandle handle_ = qbx::kNoFile;
};

// Copies the whole of `from`, as long as the file is, to `to`. A read that ends early
// fails the copy like a short write: a short copy must never replace the file.
void CopyFile(qbx::FileHandle from, qbx::FileHandle to, char* buffer, std::size_t piece,
              const std::string& newPath) {
  std::uint64_t length = 0;
  if (!qbx::FileLength(from, &length)) throw std::runtime_error("Unable to read data");
  for (std::uint64_t at = 0; at < length;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece, length - at));
    if (qbx::ReadAt(from, at, buffer, want) != want) throw std::runtime_error("Unable to read data");
    if (qbx::WriteAt(to, at, buffer, want) != want) {
      throw std::runtime_error("Error while copying to file " + newPath);
    }
    at += want;
  }
}

}  // namespace

namespace qbx {

bool DataFiles::IsDataFilePath(const std::string& path, const FileId* id) const {
  const std::string key = FileKey(path);
  for (std::uint64_t k = 0; k < files_.size(); ++k) {
    const std::string& name = files_[k]->fileName;
    if (FileKey(name) == key || (id != nullptr && IsFile(name, *id))) return true;
  }
  return false;
}

std::string DataFiles::Relocate(std::uint64_t index, const std::string& newPath,
                                std::uint64_t packageSize) {
  ThrowIfReadOnly();
  DataFile& file = At(index);
  ToWidePath(newPath);
  const std::size_t piece = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(packageSize, kSmallestCopyPiece, kLargestCopyPiece));
  std::unique_ptr<char[]> buffer(new char[piece]);
  NewFile target(newPath);

  MutexLock lock(file.mutex);
  WriterLock swap(file.bytesLock);
  FileHandle source = OpenFile(file.fileName, OpenMode::kRead);
  if (source == kNoFile) throw std::runtime_error("Unable to reopen file " + file.fileName);
  try {
    CopyFile(source, target.handle(), buffer.get(), piece, newPath);
  } catch (...) {
    CloseFile(source);
    throw;
  }
  CloseFile(source);
  // The copy is durable, content and folder entry, before anything may depend on it.
  if (!SyncFile(target.handle()) || !SyncFolder(FolderOf(newPath))) {
    throw std::runtime_error("Error while copying to file " + newPath);
  }
  std::string oldName = file.fileName;  // Before the swap: a failed copy must not split it.
  file.DropViews();
  CloseFile(file.handle);
  file.handle = target.Release();
  file.fileName = newPath;
  file.PublishName();
  file.folderSynced = true;
  return oldName;
}

}  // namespace qbx
