// The data files of a database, known everywhere by their index: file 0 is the package
// file when the database has one; every other file holds blocks. Files are added (a new
// thread, a rollover, an import) and never removed before the table's end, which deletes
// every file no saved index lists.
#ifndef QUILLBOX_STORAGE_DATA_FILES_H_
#define QUILLBOX_STORAGE_DATA_FILES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "storage/data_file.h"
#include "storage/format.h"
#include "storage/index_format.h"
#include "storage/stable_table.h"

namespace qbx {

class DataFiles {
 public:
  DataFiles() = default;
  ~DataFiles();
  DataFiles(const DataFiles&) = delete;
  DataFiles& operator=(const DataFiles&) = delete;

  // A new empty file in `folder`; returns its index. The first file of a database
  // made with a folder is its package file (`packageFile`), added before any other.
  std::uint64_t Add(const std::string& folder, std::uint64_t maxSize);
  void AddPackageFile(const std::string& folder);
  // The files an index lists, reopened in their order (DataFile::Reopen), as the files
  // of a database that has none yet.
  void Reopen(const std::vector<IndexFileEntry>& entries, bool hasPackageFile,
              const std::string& indexFolder);

  bool HasPackageFile() const { return hasPackageFile_; }
  // The files were reopened read-only, since the system refuses writing to one of
  // them (a read-only mount, no permission): nothing may write any file of this
  // table, and every operation that would throws ThrowIfReadOnly's error.
  bool ReadOnly() const { return readOnly_; }
  void ThrowIfReadOnly() const;
  std::uint64_t Count() const { return files_.size(); }
  DataFile& At(std::uint64_t index) const;     // Throws for an unknown index.
  const char* Name(std::uint64_t index) const;  // Null for an unknown index.
  // True when a block may lie at `pos` of file `file`: no block at all, or a listed
  // file that is not the package file.
  bool IsBlockFile(std::uint64_t pos, std::uint32_t file) const;

  // The chain as the files hold it: followed from the first block while each link
  // names a listed file and a block wholly within that file's size; the last block
  // becomes the last one reached. Reads only.
  PackageImage TrimChain(PackageImage image) const;
  // Finds where the listed files end the chain, as TrimChain does (followed from the
  // record's last block when `fromLast`: a record an index holds, whose chain is whole
  // up to that block), and when the last block's link leads on, readers take it as no
  // link until this database patches it (DataFile::staleLinks). For import only, before
  // any file is added: the link of a block stored after the Save may name a file that
  // the index does not list, or a block torn by a failure; once the database makes a
  // file with that index, or appends past the torn block, such a link would lead into
  // blocks of other packages. Reads only: the files may belong to other indexes too.
  // Returns the image with the last block where the chain ends (and no block at all
  // when not even the first is there).
  PackageImage EndChainAtImport(const PackageImage& image, bool fromLast);
  // Writes every stale link as no link (Save, before it writes the index); the files
  // are then this database's to change. Throws on a failed write. Callers run it one
  // at a time.
  void ClearStaleLinks();

  // Package records in the package file, each at 44 times its package's number.
  void WriteRecord(std::uint64_t offset, const char image[kPackageRecordSize]);
  void ReadRecord(std::uint64_t offset, char image[kPackageRecordSize]) const;

  // Writes the entry of each of the first `count` files to an index, marking them kept.
  void WriteEntries(IndexWriter& index, std::uint64_t count);
  // Makes every file durable, and the folder entry of each file that is new since.
  // Fails for good on a file whose sync has failed once.
  void SyncAll();

  // Whether `path` names one of the database's files (the package file too), by its
  // spelling or, when `id` identifies the file at `path` (null when there is none), as
  // the same file on disk. Writing over such a path destroys its data.
  bool IsDataFilePath(const std::string& path, const FileId* id) const;

  // Copies file `index` to `newPath` and continues on the copy; the old file stays in
  // place. Copies in pieces of about `packageSize` bytes. Returns the old path. On
  // failure the database goes on with the old file, and the partial copy is removed.
  // The caller refuses a `newPath` that IsDataFilePath: the copy would truncate that
  // file before it is read.
  std::string Relocate(std::uint64_t index, const std::string& newPath,
                       std::uint64_t packageSize);

 private:
  Mutex addMutex_;             // Serializes appends to files_.
  StableTable<DataFile*> files_;    // Owned.
  bool hasPackageFile_ = false;     // Set before any other thread sees the table.
  bool readOnly_ = false;           // Likewise.
  // Set by import when some file got a stale link; cleared once a Save has written
  // them all, so Saves of a database without any take no file's locks for them.
  std::atomic<bool> mayHoldStaleLinks_{false};
};

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_DATA_FILES_H_
