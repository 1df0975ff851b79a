// The operating-system layer: the few file operations the library needs, on the
// system's own files (POSIX descriptors, Windows handles), with positional transfers
// and no stream buffering of its own. Exactly one twin (platform_posix.cc or
// platform_windows.cc) is compiled. Every function is thread-safe; positional
// transfers on one file may run from several threads at once. Handles never leave
// lib/platform/ and lib/storage/.
#ifndef QUILLBOX_PLATFORM_PLATFORM_H_
#define QUILLBOX_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qbx {

#if defined(_WIN32)
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

// An open file of the operating system, owned by whoever opened it; kNoFile for none.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

enum class OpenMode {
  kCreate,  // Create or truncate; read and write.
  kUpdate,  // Existing file; read and write.
  kRead,    // Existing file; read only.
  kWrite,   // Create or truncate; write only.
};

// The platform form of a UTF-8 path (UTF-16 on Windows). Throws std::range_error
// "bad conversion" when the text is not valid UTF-8.
NativePath ToWidePath(const std::string& utf8Path);

// Opens `path` in `mode`; kNoFile on failure. `refusedWriting`, when given, tells
// whether the system refused only because the file may not be written (a read-only
// file system, no permission to write), so that opening it for reading may succeed.
FileHandle OpenFile(const std::string& path, OpenMode mode, bool* refusedWriting = nullptr);

// Creates a new, empty file whose name is `folder` exactly as given followed by the
// separator and "quillbox." and six generated characters, opened for reading and
// writing. Creation is exclusive: an existing file is never opened or truncated.
// Returns kNoFile on failure; `path` then holds the last name tried.
FileHandle CreateUniqueFile(const std::string& folder, std::string* path);

// Creates a new, empty file named `prefix` followed by six generated characters,
// exclusively, opened for reading and writing; kNoFile on failure.
FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path);

// Makes the file's contents durable. False on failure.
bool SyncFile(FileHandle file);

// The file's length as the operating system sees it; false on failure.
bool FileLength(FileHandle file, std::uint64_t* length);

// Renames `from` over `to`, replacing it atomically. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

// Makes a rename inside `folder` durable. False on failure.
bool SyncFolder(const std::string& folder);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);

// True when `path` names an existing regular file (not a folder or a device).
bool IsRegularFile(const std::string& path);

// What tells one existing file from every other, however a path to it is spelled: the
// device (volume) it lies on and its number there.
struct FileId {
  std::uint64_t device = 0;
  unsigned char number[16] = {};
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Identifies the file that `path` leads to; false when there is none.
bool IdentifyFile(const std::string& path, FileId* id);

// True when `path` leads to the file `id` identifies.
bool IsFile(const std::string& path, const FileId& id);

// True when the two paths are equal or lead to the same existing file, however each
// is spelled (relative or absolute, through links).
bool SameFile(const std::string& a, const std::string& b);

// One spelling for every spelling of a path (relative or absolute, "." and "..", doubled
// separators, links; on Windows also letter case), to look paths up by the file they
// name. The path itself when it cannot be resolved.
std::string FileKey(const std::string& path);

// Whether a transfer may start at `offset`: false beyond the largest file offset
// (2^63 - 1), which no file reaches. Test builds can make it fail at will.
bool CanPosition(std::uint64_t offset);

// Positional transfers of up to `size` bytes at `offset`, whatever any file position
// says. They return how many bytes were transferred: fewer only on a failure or, for a
// read, at the end of the file. Short system transfers are continued.
std::size_t WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size);
std::size_t ReadAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size);

// A gathered write: up to kMostWritePieces pieces, written one after another from
// `offset`, in one system call where the system has one (pwritev). Returns how many
// bytes were written: fewer only on a failure. For the test builds' fault hook each
// piece counts as a write of its own.
struct WritePiece {
  const void* data;
  std::size_t size;
};
constexpr std::size_t kMostWritePieces = 48;
std::size_t WriteGatherAt(FileHandle file, std::uint64_t offset, const WritePiece* pieces,
                          std::size_t count);

// The pieces that a gathered write may write when the test builds' fault hook fires
// at one of them: those before it, and of that one what the fault lets through.
// Returns the new count. Throws for the exception faults.
std::size_t CutPiecesAtFault(WritePiece* pieces, std::size_t count);

// A read-only map of a file's first `length` bytes, for reads without a system call.
// Bytes written through WriteAt show in it (the system's cache backs both), also while
// the file grows past it. The file must not shrink below `length` while it is mapped.
struct FileView {
  const char* bytes = nullptr;
  std::uint64_t length = 0;
};
// Maps the first `length` bytes of the file, or fewer when the file is shorter; an
// empty view when it cannot (a failure is no error: ReadAt still reads the file).
FileView MapFile(FileHandle file, std::uint64_t length);
void UnmapFile(const FileView& view);
// Copies `size` bytes at `offset` of the view, which holds them, as ReadAt would read
// them: the test builds' fault hook counts and fails it as a read.
std::size_t ReadFromView(const FileView& view, std::uint64_t offset, void* data,
                         std::size_t size);
// Closes the file; false when the system reports a failure (a write may be lost).
bool CloseFile(FileHandle file);

// Deletes the file; false when it could not be deleted.
bool RemoveFile(const std::string& path);

// UTF-8 to UTF-16, shared by both twins (and tested on every platform). Throws
// std::range_error "bad conversion" on malformed input, overlong forms, surrogate
// code points and values above U+10FFFF.
std::u16string Utf8ToUtf16(const std::string& utf8);

}  // namespace qbx

#endif  // QUILLBOX_PLATFORM_PLATFORM_H_
