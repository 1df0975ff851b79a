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

// Positions the stream at an absolute offset. False on failure.
bool SeekFile(FileHandle file, std::uint64_t position);

// Transfers up to `size` bytes and returns how many were transferred.
std::size_t WriteFile(FileHandle file, const void* data, std::size_t size);
std::size_t ReadFile(FileHandle file, void* data, std::size_t size);

void CloseFile(FileHandle file);

// Deletes the file; false when it could not be deleted.
bool RemoveFile(const std::string& path);

// UTF-8 to UTF-16, shared by both twins (and tested on every platform). Throws
// std::range_error "bad conversion" on malformed input, overlong forms, surrogate
// code points and values above U+10FFFF.
std::u16string Utf8ToUtf16(const std::string& utf8);

}  // namespace qbx

#endif  // QUILLBOX_PLATFORM_PLATFORM_H_
