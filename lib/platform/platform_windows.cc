// Windows twin of the platform layer: wide run-time calls on UTF-16 paths. Names
// come from _mktemp; since it yields at most 26 names per template in a process,
// further names of the same template are generated here, and every file is created
// exclusively (CREATE_NEW) so that an existing file is never reused.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {
namespace {

constexpr int kNameAttempts = 1000;
constexpr int kStreamLimit = 2048;

// Replaces the trailing six characters of `name` with a fresh pseudo-random suffix.
void FillSuffix(std::string* name) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t value = (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull ^
                        (static_cast<std::uint64_t>(GetCurrentProcessId()) << 20) ^
                        static_cast<std::uint64_t>(GetTickCount64());
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t i = name->size() - 6; i < name->size(); ++i) {
    (*name)[i] = kAlphabet[value % 36];
    value /= 36;
  }
}

// Creates `path` exclusively and wraps it in a read-write stream; null on failure.
FileHandle CreateExclusive(const std::string& path, bool* exists) {
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(ToWidePath(path).c_str()),
                         GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                         FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FileHandle file = _fdopen(fd, "w+b");
  if (file == nullptr) _close(fd);
  return file;
}

// Every data file stays open for the life of its database, so the run-time's default
// of 512 open streams is raised once to its largest value.
void RaiseStreamLimit() {
  static std::once_flag raised;
  std::call_once(raised, [] {
    if (_getmaxstdio() < kStreamLimit) _setmaxstdio(kStreamLimit);
  });
}

}  // namespace

NativePath ToWidePath(const std::string& utf8Path) {
  const std::u16string wide = Utf8ToUtf16(utf8Path);
  return NativePath(wide.begin(), wide.end());
}

FileHandle OpenFile(const std::string& path, OpenMode mode) {
  RaiseStreamLimit();
  static constexpr const wchar_t* kModes[] = {L"w+b", L"r+b", L"rb", L"wb"};
  const wchar_t* text = kModes[static_cast<int>(mode)];
  return _wfopen(ToWidePath(path).c_str(), text);
}

FileHandle CreateUniqueFile(const std::string& folder, std::string* path) {
  return CreateFileWithUniqueSuffix(folder + "\\quillbox.", path);
}

FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path) {
  RaiseStreamLimit();
  const std::string tmpl = prefix + "XXXXXX";
  ToWidePath(tmpl);
  std::vector<char> first(tmpl.begin(), tmpl.end());
  first.push_back('\0');
  bool useRuntime = _mktemp(first.data()) != nullptr;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (useRuntime) {
      path->assign(first.data());
      useRuntime = false;
    } else {
      *path = tmpl;
      FillSuffix(path);
    }
    bool exists = false;
    FileHandle file = CreateExclusive(*path, &exists);
    if (file != nullptr || !exists) return file;
  }
  return nullptr;
}

bool SeekFile(FileHandle file, std::uint64_t position) {
#ifdef QUILLBOX_TESTING
  if (testing::SeekFaultFires()) return false;
#endif
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
}

bool RemoveFile(const std::string& path) { return _wremove(ToWidePath(path).c_str()) == 0; }

bool SyncFile(FileHandle file) {
  if (std::fflush(file) != 0) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}

bool FileLength(FileHandle file, std::uint64_t* length) {
  const __int64 result = _filelengthi64(_fileno(file));
  if (result < 0) return false;
  *length = static_cast<std::uint64_t>(result);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExW(ToWidePath(from).c_str(), ToWidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool SyncFolder(const std::string&) { return true; }  // MOVEFILE_WRITE_THROUGH covers it.

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(ToWidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace qbx
