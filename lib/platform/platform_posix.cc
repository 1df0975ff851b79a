// POSIX twin of the platform layer. Unique names come from mkstemp, which creates the
// file exclusively (O_CREAT|O_EXCL), so no other process can slip in between the
// choice of the name and the creation.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fault_sites.h"
#include "platform/platform.h"

namespace qbx {

NativePath ToWidePath(const std::string& utf8Path) {
  Utf8ToUtf16(utf8Path);  // Validates; POSIX file calls take the UTF-8 bytes.
  return utf8Path;
}

FileHandle OpenFile(const std::string& path, OpenMode mode, bool* refusedWriting) {
  static constexpr int kFlags[] = {O_RDWR | O_CREAT | O_TRUNC, O_RDWR, O_RDONLY,
                                   O_WRONLY | O_CREAT | O_TRUNC};
  const NativePath native = ToWidePath(path);
  if (refusedWriting != nullptr) *refusedWriting = false;
  if (QUILLBOX_CALL_FAILS(kOpen)) return kNoFile;
  if (mode != OpenMode::kRead && QUILLBOX_WRITING_REFUSED(path)) {
    if (refusedWriting != nullptr) *refusedWriting = true;
    return kNoFile;
  }
  int fd;
  do {
    fd = ::open(native.c_str(), kFlags[static_cast<int>(mode)] | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && refusedWriting != nullptr && mode != OpenMode::kRead) {
    *refusedWriting = errno == EROFS || errno == EACCES || errno == EPERM || errno == ETXTBSY;
  }
  return fd < 0 ? kNoFile : fd;
}

FileHandle CreateUniqueFile(const std::string& folder, std::string* path) {
  return CreateFileWithUniqueSuffix(folder + "/quillbox.", path);
}

FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path) {
  *path = prefix + "XXXXXX";
  ToWidePath(*path);
  if (QUILLBOX_CALL_FAILS(kCreate) || QUILLBOX_WRITING_REFUSED(*path)) return kNoFile;
  std::vector<char> name;
  int fd;
  do {
    // A failed call may have filled in the template: each try starts from it afresh.
    name.assign(path->begin(), path->end());
    name.push_back('\0');
    fd = ::mkostemp(name.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  path->assign(name.data());
  return fd < 0 ? kNoFile : fd;
}

namespace {

std::size_t PositionalWrite(FileHandle file, std::uint64_t offset, const void* data,
                            std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    const ssize_t written = ::pwrite(static_cast<int>(file), bytes + done, size - done,
                                     static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
  }
  return done;
}

}  // namespace

std::size_t WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  size = testing::TransferAllowed(testing::Call::kWrite, size);
  std::size_t allowed = 0;
  if (testing::WriteFaultFires(size, &allowed)) return PositionalWrite(file, offset, data, allowed);
#endif
  return PositionalWrite(file, offset, data, size);
}

std::size_t WriteGatherAt(FileHandle file, std::uint64_t offset, const WritePiece* pieces,
                          std::size_t count) {
  WritePiece cut[kMostWritePieces];
  if (count > kMostWritePieces) return 0;
  std::copy(pieces, pieces + count, cut);
  count = CutPiecesAtFault(cut, count);
  iovec vectors[kMostWritePieces];
  int left = 0;
  std::size_t total = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (cut[k].size == 0) continue;
    vectors[left++] = {const_cast<void*>(cut[k].data), cut[k].size};
    total += cut[k].size;
  }
  iovec* next = vectors;
  std::size_t done = 0;
  while (done < total && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    const ssize_t written =
        ::pwritev(static_cast<int>(file), next, left, static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
    // Past the pieces written whole, and into the one written in part.
    for (std::size_t passed = static_cast<std::size_t>(written); passed != 0;) {
      if (passed >= next->iov_len) {
        passed -= next->iov_len;
        ++next;
        --left;
      } else {
        next->iov_base = static_cast<char*>(next->iov_base) + passed;
        next->iov_len -= passed;
        passed = 0;
      }
    }
  }
  return done;
}

std::size_t ReadAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  size = testing::TransferAllowed(testing::Call::kRead, size);
  if (testing::ReadFaultFires()) return 0;
#endif
  char* bytes = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    const ssize_t got = ::pread(static_cast<int>(file), bytes + done, size - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // The end of the file, or a failure.
    done += static_cast<std::size_t>(got);
  }
  return done;
}

FileView MapFile(FileHandle file, std::uint64_t length) {
  struct stat info;
  if (::fstat(static_cast<int>(file), &info) != 0 || info.st_size < 0) return {};
  length = std::min(length, static_cast<std::uint64_t>(info.st_size));
  if (length == 0 || length > SIZE_MAX) return {};
  void* bytes = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED,
                       static_cast<int>(file), 0);
  if (bytes == MAP_FAILED) return {};
  return {static_cast<const char*>(bytes), length};
}

void UnmapFile(const FileView& view) {
  if (view.bytes != nullptr) {
    ::munmap(const_cast<char*>(view.bytes), static_cast<std::size_t>(view.length));
  }
}

bool CloseFile(FileHandle file) { return ::close(static_cast<int>(file)) == 0; }

bool RemoveFile(const std::string& path) {
  const NativePath native = ToWidePath(path);
  return !QUILLBOX_CALL_FAILS(kRemove) && ::unlink(native.c_str()) == 0;
}

bool SyncFile(FileHandle file) {
  if (QUILLBOX_CALL_FAILS(kSyncFile)) return false;
  if (QUILLBOX_SYNC_SKIPPED()) return true;
  int result;
  do {
    result = ::fsync(static_cast<int>(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool FileLength(FileHandle file, std::uint64_t* length) {
  if (QUILLBOX_CALL_FAILS(kLength)) return false;
  struct stat info;
  if (::fstat(static_cast<int>(file), &info) != 0) return false;
  *length = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  const NativePath nativeFrom = ToWidePath(from), nativeTo = ToWidePath(to);
  return !QUILLBOX_CALL_FAILS(kRename) && ::rename(nativeFrom.c_str(), nativeTo.c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
#ifdef QUILLBOX_TESTING
  testing::NoteFolderSync(folder);
#endif
  const NativePath native = ToWidePath(folder);
  if (QUILLBOX_CALL_FAILS(kSyncFolder)) return false;
  if (QUILLBOX_SYNC_SKIPPED()) return true;
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  ::close(fd);
  return result == 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IdentifyFile(const std::string& path, FileId* id) {
  struct stat info;
  try {
    if (::stat(ToWidePath(path).c_str(), &info) != 0) return false;
  } catch (const std::range_error&) {
    return false;  // A path that is no UTF-8 names no file.
  }
  *id = FileId{};
  id->device = static_cast<std::uint64_t>(info.st_dev);
  const std::uint64_t number = static_cast<std::uint64_t>(info.st_ino);
  std::memcpy(id->number, &number, sizeof number);
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(ToWidePath(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace qbx
