// Sequential access to the index file: a writer that detects every failed write and
// a reader that knows how many bytes remain, so that every count and length read can
// be bounded by what the file holds before anything is allocated for it.
#ifndef QUILLBOX_STORAGE_INDEX_FORMAT_H_
#define QUILLBOX_STORAGE_INDEX_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/format.h"

namespace qbx {

// Writes an index file from its start through a buffer of its own. Borrows `file`,
// which must outlive the writer. Throws std::runtime_error "Unable to write data" when
// a write is short; Finish writes what is still buffered.
class IndexWriter {
 public:
  explicit IndexWriter(FileHandle file) : file_(file) {}
  void Put(const void* data, std::size_t size);
  void Put8(std::uint8_t value) { Put(&value, 1); }
  void Put32(std::uint32_t value);
  void Put64(std::uint64_t value);
  void Finish();

 private:
  FileHandle file_;
  std::uint64_t offset_ = 0;  // Of the first buffered byte in the file.
  std::string buffered_;
};

// Reads an index file of `length` bytes from its start through a buffer of its own.
// Borrows `file`.
class IndexReader {
 public:
  IndexReader(FileHandle file, std::uint64_t length) : file_(file), remaining_(length) {}
  std::uint64_t remaining() const { return remaining_; }
  // Reads exactly `size` bytes. When fewer remain it returns false and the reader is
  // at its end: this read and every later one find nothing.
  bool TryGet(void* data, std::size_t size);
  bool endedEarly() const { return endedEarly_; }
  // Reads a field that must be present; throws "Damaged index file" otherwise.
  void Get(void* data, std::size_t size);
  std::uint8_t Get8();
  std::uint64_t Get64();

 private:
  FileHandle file_;
  std::uint64_t remaining_;   // Bytes not yet consumed, buffered ones included.
  std::uint64_t offset_ = 0;  // Of the next byte to read from the file.
  std::string buffer_;
  std::size_t used_ = 0;      // Bytes of buffer_ consumed.
  bool endedEarly_ = false;   // A read found the end of the file.
};

[[noreturn]] void ThrowDamagedIndex(const std::string& what);

// What an index file holds, as stored.
struct IndexFileEntry {
  std::string name;  // Up to its first zero byte.
  std::uint64_t storedLength = 0;  // Of the name as stored, zero bytes and all.
  std::uint64_t size = 0;
  std::uint64_t maxSize = 0;
};

struct IndexPackageEntry {
  bool parked = false;      // The record lies in the package file...
  std::uint64_t offset = 0;  // ...at this offset;
  PackageImage image;        // else it is this.
};

struct IndexContents {
  IndexHeader header;
  std::vector<IndexFileEntry> files;
  std::vector<IndexPackageEntry> packages;
  // The file ends inside the header or the package count. Such an index reads as far
  // as it goes, but no Save writes one: only a file of the marker alone is whole.
  bool endsInsideHeader = false;
};

// Reads a whole index. A file of the type marker alone is an empty database: from the
// field that the file ends inside, header fields keep their defaults. Every count and length is checked
// against the bytes that remain before anything is allocated for it, and every value
// that readers of a recording rely on is checked: package size, that a package file is
// listed when there is one, the package counter against the table, each parked
// record's offset (44 times its number), each held record's number and block files.
// Throws "Filetype mismatch - this is not a quilbox index file." or "Damaged index
// file: ..." (or "Unable to read data").
IndexContents ReadIndexContents(IndexReader& index);
// The same from the file at `path`, opened read-only. Throws "Error opening database
// index file for reading" when it cannot be opened.
IndexContents ReadIndexFile(const std::string& path);

// True when a block may lie at `pos` of file `file` of a recording with `fileCount`
// files: no block at all, or a listed file that is not the package file.
bool IsBlockFileOf(std::uint64_t pos, std::uint32_t file, std::uint64_t fileCount,
                   bool hasPackageFile);

// A new index file under construction beside `target`, written through handle(), and
// renamed over the target by Commit once it is durable. Removed on every failure path,
// so the previous index at the target stays intact.
class TemporaryIndex {
 public:
  // Throws "Error opening database index file for writing".
  explicit TemporaryIndex(const std::string& target);
  ~TemporaryIndex();
  TemporaryIndex(const TemporaryIndex&) = delete;
  TemporaryIndex& operator=(const TemporaryIndex&) = delete;

  FileHandle handle() const { return handle_; }
  // Syncs, closes and renames the file over `target`, then syncs the folder. Throws
  // "Unable to write data".
  void Commit(const std::string& target);

 private:
  FileHandle handle_ = kNoFile;
  std::string path_;
};

// Rewrites the index at `indexPath` atomically (a temporary file, synced, renamed over
// it, its folder synced) with the name of data file `fileIndex` changed from `oldName`
// to `newName` and every other byte kept. False, with nothing written, when the index
// no longer exists or does not list `oldName` at that index (also not as the file an
// Import of the index finds after a move). Throws when the index cannot be read or
// rewritten.
bool RenameFileInIndex(const std::string& indexPath, std::uint64_t fileIndex,
                       const std::string& oldName, const std::string& newName);

// The files that an Import of the index at `indexPath` would reopen: each listed path
// that names a file, or where the file was found below the index's folder after a move.
// Only those listed before any damage; none when there is no index. Throws "Unable to
// read data" when the index is there but cannot be read.
std::vector<std::string> FilesOfIndex(const std::string& indexPath);

// The absolute form of a UTF-8 path, without touching the file system beyond the
// current folder.
std::string AbsolutePath(const std::string& path);

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_INDEX_FORMAT_H_
