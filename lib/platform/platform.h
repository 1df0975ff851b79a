// The operating-system layer: the few file operations the library needs, on the C
// run-time's FILE streams. Exactly one twin (platform_posix.cc or platform_windows.cc)
// is compiled. Every function is thread-safe for distinct streams; a stream is used
// by one thread at a time (callers hold the data file's mutex).
#ifndef QUILLBOX_PLATFORM_PLATFORM_H_
#define QUILLBOX_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qbx {

#if defined(_WIN32)
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

using FileHandle = std::FILE*;

enum class OpenMode {
  kCreate,  // "w+b": create or truncate; read and write.
  kUpdate,  // "r+b": existing file; read and write.
  kRead,    // "rb": existing file; read only.
  kWrite,   // "wb": create or truncate; write only.
};

// The platform form of a UTF-8 path (UTF-16 on Windows). Throws std::range_error
// "bad conversion" when the text is not valid UTF-8.
NativePath ToWidePath(const std::string& utf8Path);

// Opens `path` in `mode`; null on failure.
FileHandle OpenFile(const std::string& path, OpenMode mode);

// Creates a new, empty file whose name is `folder` exactly as given followed by the
// separator and "quillbox." and six generated characters, opened for reading and
// writing. Creation is exclusive: an existing file is never opened or truncated.
// Returns null on failure; `path` then holds the last name tried.
FileHandle CreateUniqueFile(const std::string& folder, std::string* path);

// Creates a new, empty file named `prefix` followed by six generated characters,
// exclusively, opened for reading and writing; null on failure.
FileHandle CreateFileWithUniqueSuffix(const std::string& prefix, std::string* path);

// Flushes the stream's buffer and makes the file's contents durable. False on failure.
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

// Positions the stream at an absolute offset. False on failure.
bool SeekFile(FileHandle file, std::uint64_t position);

// Transfers up to `size` bytes and returns how many were transferred.
std::size_t WriteFile(FileHandle file, const void* data, std::size_t size);
std::size_t ReadFile(FileHandle file, void* data, std::size_t size);

void CloseFile(FileHandle file);

// Turns off the stream's own buffering (call before any transfer) and returns it; null
// stays null. A data file's writes then reach the operating system when they return,
// so a write that fails is known at once and leaves nothing behind in a buffer that a
// later flush would trip over.
FileHandle Unbuffered(FileHandle file);

// Deletes the file; false when it could not be deleted.
bool RemoveFile(const std::string& path);

// UTF-8 to UTF-16, shared by both twins (and tested on every platform). Throws
// std::range_error "bad conversion" on malformed input, overlong forms, surrogate
// code points and values above U+10FFFF.
std::u16string Utf8ToUtf16(const std::string& utf8);

}  // namespace qbx

#endif  // QUILLBOX_PLATFORM_PLATFORM_H_
