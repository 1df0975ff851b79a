// POSIX twin of the platform layer. Unique names come from mkstemp, which creates the
// file exclusively (O_CREAT|O_EXCL), so no other process can slip in between the
// choice of the name and the creation.
#include <fcntl.h>
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
  const char* text = mode == OpenMode::kCreate ? "w+b" : mode == OpenMode::kUpdate ? "r+b" : "rb";
  return std::fopen(ToWidePath(path).c_str(), text);
}

FileHandle CreateUniqueFile(const std::string& folder, std::string* path) {
  *path = folder + "/quillbox.XXXXXX";
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

std::size_t WriteFile(FileHandle file, const void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  if (testing::WriteFaultFires()) return 0;
#endif
  return std::fwrite(data, 1, size, file);
}

std::size_t ReadFile(FileHandle file, void* data, std::size_t size) {
  return std::fread(data, 1, size, file);
}

void CloseFile(FileHandle file) { std::fclose(file); }

bool RemoveFile(const std::string& path) { return ::unlink(ToWidePath(path).c_str()) == 0; }

}  // namespace qbx
