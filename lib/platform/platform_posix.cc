// POSIX twin of the platform layer. Unique names come from mkstemp, which creates the
// file exclusively (O_CREAT|O_EXCL), so no other process can slip in between the
// choice of the name and the creation.
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {

NativePath ToWidePath(const std::string& utf8Path) {
  Utf8ToUtf16(utf8Path);  // Validates; POSIX file calls take the UTF-8 bytes.
  return utf8Path;
}

FileHandle OpenFile(const std::string& path, OpenMode mode) {
  static constexpr const char* kModes[] = {"w+b", "r+b", "rb", "wb"};
  const char* text = kModes[static_cast<int>(mode)];
  return std::fopen(ToWidePath(path).c_str(), text);
}

FileHandle CreateUniqueFile(const std::string& folder, std::string* path) {
  return CreateFileWithUniqueSuffix(folder + "/quillbox.", path);
}

FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path) {
  *path = prefix + "XXXXXX";
  ToWidePath(*path);
  std::vector<char> name(path->begin(), path->end());
  name.push_back('\0');
  int fd;
  do {
    fd = ::mkstemp(name.data());
  } while (fd < 0 && errno == EINTR);
  path->assign(name.data());
  if (fd < 0) return nullptr;
  FileHandle file = ::fdopen(fd, "w+b");
  if (file == nullptr) {
    ::close(fd);
    ::unlink(name.data());
  }
  return file;
}

bool SeekFile(FileHandle file, std::uint64_t position) {
#ifdef QUILLBOX_TESTING
  if (testing::SeekFaultFires()) return false;
#endif
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return ::fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(ToWidePath(path).c_str()) == 0; }

bool SyncFile(FileHandle file) {
  if (std::fflush(file) != 0) return false;
  int result;
  do {
    result = ::fsync(::fileno(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool FileLength(FileHandle file, std::uint64_t* length) {
  struct stat info;
  if (::fstat(::fileno(file), &info) != 0) return false;
  *length = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(ToWidePath(from).c_str(), ToWidePath(to).c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
#ifdef QUILLBOX_TESTING
  testing::NoteFolderSync(folder);
#endif
  const int fd = ::open(ToWidePath(folder).c_str(), O_RDONLY | O_DIRECTORY);
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

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(ToWidePath(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace qbx
