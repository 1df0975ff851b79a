// Windows twin of the platform layer: wide system calls on UTF-16 paths, positional
// transfers through an OVERLAPPED offset on ordinary (synchronous) handles. Names come
// from _mktemp; since it yields at most 26 names per template in a process, further
// names of the same template are generated here, and every file is created
// exclusively (CREATE_NEW) so that an existing file is never reused.
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fault_sites.h"
#include "platform/mutex.h"
#include "platform/platform.h"

namespace qbx {
namespace {

constexpr int kNameAttempts = 1000;
// Every handle may be shared for reading, writing and deletion, as the C run-time's
// streams allowed; data files are opened by the database only once each.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The largest single ReadFile or WriteFile call.
constexpr std::size_t kLargestTransfer = 1u << 30;

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle AsFile(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

std::size_t PositionalWrite(FileHandle file, std::uint64_t offset, const void* data,
                            std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size && offset + done <= static_cast<std::uint64_t>(INT64_MAX)) {
    OVERLAPPED overlapped = At(offset + done);
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min(size - done, kLargestTransfer));
    if (!::WriteFile(AsHandle(file), bytes + done, piece, &written, &overlapped) || written == 0) {
      break;
    }
    done += written;
  }
  return done;
}

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

// Creates `path` exclusively for reading and writing; kNoFile on failure, with `taken`
// set when another name may do. A name whose file was deleted while some process (a
// virus scanner, say) still holds it stays pending deletion and refuses access.
FileHandle CreateExclusive(const std::string& path, bool* taken) {
  HANDLE h = CreateFileW(ToWidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
             error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
  }
  return AsFile(h);
}

// A path whose full form has MAX_PATH units or more opens only in its extended form:
// absolute, with backslashes, behind "\\?\" ("\\?\UNC\" for a share), which the system
// takes as it stands. Shorter paths stay as given, relative ones too (a relative path
// counts with the working folder before it).
NativePath ExtendedLengthPath(NativePath path) {
  if (path.rfind(LR"(\\?\)", 0) == 0 || path.rfind(LR"(\\.\)", 0) == 0) return path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  NativePath full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.size() < MAX_PATH) return path;
  if (full.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + full.substr(2);
  return LR"(\\?\)" + full;
}

}  // namespace

NativePath ToWidePath(const std::string& utf8Path) {
  const std::u16string wide = Utf8ToUtf16(utf8Path);
  return ExtendedLengthPath(NativePath(wide.begin(), wide.end()));
}

// The volume and the 128-bit file id (ReFS ids need all 128 bits); where the system has
// none, the 64-bit file index in the id's first half. Opened through the same path
// forms as every open: the C++ library's own calls do not reach paths beyond MAX_PATH.
bool IdentifyFile(const std::string& path, FileId* id) {
  HANDLE h;
  try {
    h = CreateFileW(ToWidePath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  } catch (const std::range_error&) {
    return false;  // A path that is no UTF-8 names no file.
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  *id = FileId{};
  FILE_ID_INFO info{};
  bool known = GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info) != 0;
  if (known) {
    id->device = info.VolumeSerialNumber;
    std::memcpy(id->number, info.FileId.Identifier, sizeof id->number);
  } else {
    BY_HANDLE_FILE_INFORMATION old{};
    known = GetFileInformationByHandle(h, &old) != 0;
    id->device = old.dwVolumeSerialNumber;
    std::memcpy(id->number, &old.nFileIndexLow, sizeof old.nFileIndexLow);
    std::memcpy(id->number + 4, &old.nFileIndexHigh, sizeof old.nFileIndexHigh);
  }
  CloseHandle(h);
  return known;
}

FileHandle OpenFile(const std::string& path, OpenMode mode, bool* refusedWriting) {
  static constexpr DWORD kAccess[] = {GENERIC_READ | GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE,
                                      GENERIC_READ, GENERIC_WRITE};
  static constexpr DWORD kDisposition[] = {CREATE_ALWAYS, OPEN_EXISTING, OPEN_EXISTING,
                                           CREATE_ALWAYS};
  const int m = static_cast<int>(mode);
  const NativePath native = ToWidePath(path);
  if (refusedWriting != nullptr) *refusedWriting = false;
  if (QUILLBOX_CALL_FAILS(kOpen)) return kNoFile;
  if (mode != OpenMode::kRead && QUILLBOX_WRITING_REFUSED(path)) {
    if (refusedWriting != nullptr) *refusedWriting = true;
    return kNoFile;
  }
  const FileHandle file = AsFile(CreateFileW(native.c_str(), kAccess[m], kShareAll, nullptr,
                                             kDisposition[m], FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file == kNoFile && refusedWriting != nullptr && mode != OpenMode::kRead) {
    const DWORD error = GetLastError();
    *refusedWriting = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
  }
  return file;
}

FileHandle CreateUniqueFile(const std::string& folder, std::string* path) {
  return CreateFileWithUniqueSuffix(folder + "\\quillbox.", path);
}

FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path) {
  const std::string tmpl = prefix + "XXXXXX";
  ToWidePath(tmpl);
  if (QUILLBOX_CALL_FAILS(kCreate) || QUILLBOX_WRITING_REFUSED(tmpl)) {
    *path = tmpl;
    return kNoFile;
  }
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
    bool taken = false;
    FileHandle file = CreateExclusive(*path, &taken);
    if (file != kNoFile || !taken) return file;
  }
  return kNoFile;
}

std::size_t WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  size = testing::TransferAllowed(testing::Call::kWrite, size);
  std::size_t allowed = 0;
  if (testing::WriteFaultFires(size, &allowed)) return PositionalWrite(file, offset, data, allowed);
#endif
  return PositionalWrite(file, offset, data, size);
}

// Windows has no gathered write for ordinary handles (WriteFileGather needs unbuffered,
// page-aligned transfers): the pieces go one after another.
std::size_t WriteGatherAt(FileHandle file, std::uint64_t offset, const WritePiece* pieces,
                          std::size_t count) {
  WritePiece cut[kMostWritePieces];
  if (count > kMostWritePieces) return 0;
  std::copy(pieces, pieces + count, cut);
  count = CutPiecesAtFault(cut, count);
  std::size_t done = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t written = PositionalWrite(file, offset + done, cut[k].data, cut[k].size);
    done += written;
    if (written != cut[k].size) break;
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
    OVERLAPPED overlapped = At(offset + done);
    DWORD got = 0;
    const DWORD piece = static_cast<DWORD>(std::min(size - done, kLargestTransfer));
    // Past the end of the file ReadFile fails with ERROR_HANDLE_EOF.
    if (!::ReadFile(AsHandle(file), bytes + done, piece, &got, &overlapped) || got == 0) break;
    done += got;
  }
  return done;
}

FileView MapFile(FileHandle file, std::uint64_t length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(file), &size) || size.QuadPart <= 0) return {};
  length = std::min(length, static_cast<std::uint64_t>(size.QuadPart));
  if (length == 0) return {};
  // The mapping object covers the file as it is now; the view alone keeps it open.
  HANDLE mapping = CreateFileMappingW(AsHandle(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return {};
  void* bytes = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(length));
  CloseHandle(mapping);
  if (bytes == nullptr) return {};
  return {static_cast<const char*>(bytes), length};
}

void UnmapFile(const FileView& view) {
  if (view.bytes != nullptr) UnmapViewOfFile(view.bytes);
}

bool CloseFile(FileHandle file) { return CloseHandle(AsHandle(file)) != 0; }

bool RemoveFile(const std::string& path) {
  const NativePath native = ToWidePath(path);
  return !QUILLBOX_CALL_FAILS(kRemove) && DeleteFileW(native.c_str()) != 0;
}

bool SyncFile(FileHandle file) {
  if (QUILLBOX_CALL_FAILS(kSyncFile)) return false;
  if (QUILLBOX_SYNC_SKIPPED() || FlushFileBuffers(AsHandle(file)) != 0) return true;
  // Flushing needs write access: a handle opened for reading flushes through a writable
  // handle of the same file, as any descriptor syncs on POSIX.
  if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  const HANDLE writable = ReOpenFile(AsHandle(file), GENERIC_WRITE, kShareAll, 0);
  if (writable == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(writable) != 0;
  CloseHandle(writable);
  return flushed;
}

bool FileLength(FileHandle file, std::uint64_t* length) {
  if (QUILLBOX_CALL_FAILS(kLength)) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(file), &size)) return false;
  *length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  const NativePath nativeFrom = ToWidePath(from), nativeTo = ToWidePath(to);
  return !QUILLBOX_CALL_FAILS(kRename) &&
         MoveFileExW(nativeFrom.c_str(), nativeTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// MOVEFILE_WRITE_THROUGH covers it.
bool SyncFolder(const std::string&) { return !QUILLBOX_CALL_FAILS(kSyncFolder); }

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

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

void LockSlim(void** lock) { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(lock)); }
void UnlockSlim(void** lock) { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(lock)); }
void LockSlimShared(void** lock) { AcquireSRWLockShared(reinterpret_cast<PSRWLOCK>(lock)); }
void UnlockSlimShared(void** lock) { ReleaseSRWLockShared(reinterpret_cast<PSRWLOCK>(lock)); }

}  // namespace qbx
