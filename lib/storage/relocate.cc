// RelocateFileTo: moves one data file to another path while the database is open. The
// file keeps its index, so every position stored anywhere stays valid. The old stream
// stays open until the copy is complete, checked and durable, so on any failure the
// database goes on working on the old file and the partial copy is removed. Before the
// old file is removed, every index this database saved or was imported from is
// rewritten to name the new path, so a crash at any moment leaves each index valid.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "database/quillbox.h"

namespace qbx {

struct array_deleter {
  void operator()(char* bytes) const { delete[] bytes; }
};

}  // namespace qbx

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

std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::filesystem::path Canonical(const std::string& path) {
  return std::filesystem::weakly_canonical(Utf8Path(path));
}

}  // namespace

// Refuses a target that is one of the database's data files: opening it for the copy
// would truncate stored data before it is read.
void Quillbox::CheckRelocationTarget(const std::string& newPath) {
  const std::filesystem::path target = Canonical(newPath);
  std::error_code ignored;
  for (std::uint64_t k = 0; k < files.size(); ++k) {
    const std::string& name = files[k]->fileName;
    if (Canonical(name) == target ||
        std::filesystem::equivalent(Utf8Path(name), target, ignored)) {
      throw std::runtime_error("Relocation target is a data file of the database: " + newPath);
    }
  }
}

void Quillbox::RelocateFileTo(std::uint64_t fileIndex, const std::string& newPath,
                              bool removeOld) {
  qbx::DataFile& file = FileAt(fileIndex);
  qbx::ToWidePath(newPath);
  CheckRelocationTarget(newPath);
  const std::size_t piece = static_cast<std::size_t>(std::clamp<std::uint64_t>(packageSize, kSmallestCopyPiece, kLargestCopyPiece));
  std::shared_ptr<char> buffer(new char[piece], qbx::array_deleter());
  NewFile target(newPath);

  std::string oldName;
  {
    std::lock_guard<std::mutex> lock(file.mutex);
    std::unique_lock<std::shared_mutex> swap(file.bytesLock);
    qbx::FileHandle source = qbx::OpenFile(file.fileName, qbx::OpenMode::kRead);
    if (source == qbx::kNoFile) throw std::runtime_error("Unable to reopen file " + file.fileName);
    try {
      CopyFile(source, target.handle(), buffer.get(), piece, newPath);
    } catch (...) {
      qbx::CloseFile(source);
      throw;
    }
    qbx::CloseFile(source);
    // The copy is durable, content and folder entry, before anything may depend on it.
    if (!qbx::SyncFile(target.handle()) || !qbx::SyncFolder(qbx::FolderOf(newPath))) {
      throw std::runtime_error("Error while copying to file " + newPath);
    }
    qbx::CloseFile(file.handle);
    file.handle = target.Release();
    oldName = file.fileName;
    file.fileName = newPath;
    file.folderSynced = true;
  }
  if (!removeOld) return;
  // The old file is the only copy that the saved indexes name: each of them must name
  // the new one before the old one goes.
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
