// One open data file of a database. The database owns it; it is known everywhere by
// its file index. Transfers are positional, so they share no file position. The bytes
// below `size` are final except for rewrites in place (a block's link, a Replace, a
// parked package record), so:
//  - appenders hold `mutex`, write past `size` and then publish the new size;
//  - readers hold `bytesLock` shared and read only below `size`;
//  - rewrites in place hold `bytesLock` exclusively (a link patch also holds `mutex`
//    first, so that it waits for the block it patches to be written whole);
//  - relocation holds both, exclusively, while it swaps `handle`.
// Lock order: `mutex`, then `bytesLock`.
#ifndef QUILLBOX_STORAGE_DATA_FILE_H_
#define QUILLBOX_STORAGE_DATA_FILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/platform.h"
#include "storage/index_format.h"
#include "storage/location.h"

namespace qbx {

// Where a data file that an index lists by `storedName` lies once the recording has
// been moved: the longest of the trailing parts of `storedName` (its name, its parent
// folder and name, and so on) under `indexFolder` for which `exists` holds; empty when
// there is none. Parts are split at '/' (and at '\\' on Windows); parts
// that are empty, "." or ".." are left out, so that every path tried lies below
// `indexFolder`. Paths longer than any system opens are not tried.
std::string FindMovedFile(const std::string& indexFolder, const std::string& storedName,
                          const std::function<bool(const std::string&)>& exists = IsRegularFile);

class DataFile {
 public:
  // Creates a new empty file with a unique name in `folder` (the folder exactly as
  // given, then the separator and "quillbox." and six characters). Throws
  // std::runtime_error "Unable to create file " + name on failure.
  DataFile(const std::string& folder, std::uint64_t maxSize);
  // An empty object, filled by the index reader.
  DataFile();
  // Closes the stream and deletes the file unless keepOnClose is set.
  ~DataFile();

  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Takes this file's entry of an index file and reopens the file for reading and
  // writing, or for reading only (`readOnly`) when the system refuses writing to it. A
  // listed path that names no file is looked for below `indexFolder`, the index file's
  // folder (FindMovedFile), and `fileName` becomes the path found; files in `taken`
  // (the FileKey of each of the index's earlier entries) are passed over. Throws
  // "Unable to reopen file " + name when it cannot be opened, or when the file it
  // finds is taken.
  void Reopen(const IndexFileEntry& entry, const std::string& indexFolder,
              const std::set<std::string>& taken);
  // Marks the file as kept and writes its entry to an index file.
  void WriteTo(IndexWriter& index);

  // Positional transfers of exactly `size` bytes at `position`. Each throws
  // std::runtime_error with the library's fixed text: "Unable to search data" for a
  // position no file reaches (or a file that is not open), "Unable to write data",
  // "Unable to read data" for a short transfer.
  // A write holds `mutex` (appends past `size`) or `bytesLock` exclusively (rewrites in
  // place); the compiler cannot check such a choice.
  void WriteAt(std::uint64_t position, const void* data, std::size_t size);
  // The pieces one after another from `position`, in one transfer where the system
  // allows; the same failures as WriteAt.
  void WriteGatherAt(std::uint64_t position, const WritePiece* pieces, std::size_t count);
  // Reads copy from a map of the file where one holds the bytes (see `view`), else
  // transfer them from the file.
  void ReadAt(std::uint64_t position, void* data, std::size_t size) REQUIRES_SHARED(bytesLock);
  // Reads the header of the block at `position`. False, with nothing read, when the
  // block does not lie wholly within the bytes the database appended, or reaches into
  // bytes the file lost before it was reopened, or has no payload: a link to it is torn
  // (its block was lost with a crash or a cut) or wrong. A stale link reads as none.
  // Throws on a failed transfer.
  bool ReadBlockHeader(std::uint64_t position, BlockHeader* header) REQUIRES_SHARED(bytesLock);

  // Full UTF-8 path; replaced only by relocation, under `mutex`, and relocations run
  // one at a time (so a relocation reads every file's name without its mutex).
  std::string fileName;
  // The path as callers get it (GetDatabaseFileName), read without a lock: every path
  // the file has had stays allocated as long as the file, so that a name a caller is
  // reading stays whole while the file is relocated.
  const char* PublishedName() const { return publishedName_.load(std::memory_order_acquire); }
  // Publishes `fileName`, once it is set or after a relocation changed it.
  void PublishName();
  FileHandle handle = kNoFile;   // Owned; replaced only by relocation, under both locks.
  // Bytes the database appended: raised (release) by an appender under `mutex` once
  // its bytes are written; readers load it (acquire) to bound what they read.
  std::atomic<std::uint64_t> size{0};
  Mutex mutex;
  SharedMutex bytesLock;
  std::uint64_t maxSize = 0;     // Size limit; all ones for none.
  bool keepOnClose = false;      // Set once the file is listed in a saved index.
  bool readOnly = false;         // Reopened for reading only; set before any thread sees it.
  // Bytes the index listed that the file no longer held when it was reopened (it was
  // cut short since): [lostFrom, lostTo). No block there is read, so no length found
  // there sizes a buffer. Set before any thread sees the file.
  std::uint64_t lostFrom = 0;
  std::uint64_t lostTo = 0;
  // Blocks whose link on disk readers take as no link: links that an imported index's
  // chains end at (DataFiles::EndChainAtImport). A link patch removes its block.
  std::set<std::uint64_t> staleLinks GUARDED_BY(bytesLock);
  // Every name published, the newest last; changed only where `fileName` is.
  std::deque<std::string> publishedNames_;
  std::atomic<const char*> publishedName_{""};
  // Unmaps every map of the file: with `bytesLock` held exclusively, before its handle
  // is closed or replaced. The next read maps the file again.
  void DropViews() REQUIRES(bytesLock) EXCLUDES(viewMutex);

  // Read-only maps of the file, so that reads need no system call. `view` is the
  // newest, published once made; a reader copies from it under `bytesLock` shared.
  // A map is made when a read finds the bytes the database holds grown to twice what
  // the newest covers; those it outgrew stay mapped (readers may still copy from
  // them) until the file is closed or relocated. Making one takes `viewMutex`.
  std::atomic<const FileView*> view{nullptr};
  Mutex viewMutex;  // After `bytesLock`.
  std::vector<std::unique_ptr<FileView>> views GUARDED_BY(viewMutex);
  std::uint64_t nextMapAt GUARDED_BY(viewMutex) = 0;

  // The folder entry of the file is durable (its folder synced since the file was made
  // there). Guarded by `mutex`.
  bool folderSynced GUARDED_BY(mutex) = false;
  // A sync of the file failed. The system may have dropped the bytes it could not write
  // and report the failure only once, so a later sync that succeeds proves nothing:
  // no Save may claim this file durable any more.
  bool syncFailed GUARDED_BY(mutex) = false;

 private:
  // The newest map when it holds the bytes below `end`, after mapping the file anew
  // if it has grown enough since the last map; null when the file must be read.
  const FileView* ViewFor(std::uint64_t end) REQUIRES_SHARED(bytesLock) EXCLUDES(viewMutex);
};

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_DATA_FILE_H_
