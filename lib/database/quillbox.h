// The database object behind a Quillbox handle: it composes the components (the data
// files, the package table, the writers and the reader, and the error state they
// share), keeps their order of construction and destruction, and writes and reads the
// index file. Each component documents its own threads and locks.
#ifndef QUILLBOX_DATABASE_QUILLBOX_H_
#define QUILLBOX_DATABASE_QUILLBOX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "quillbox.h"
#include "read/item_cursor.h"
#include "read/reader.h"
#include "storage/data_files.h"
#include "storage/index_format.h"
#include "write/error_state.h"
#include "write/package_table.h"
#include "write/writers.h"

// A struct, as the C header declares it.
struct Quillbox {
 public:
  static constexpr std::uint64_t kLargestPackageSize = qbx::kLargestPackageSize;

  // A new database; `folder` (UTF-8, or null) holds the package file. Throws on
  // failure, with nothing left running or on disk.
  Quillbox(std::uint64_t packageSize, std::uint64_t maxQueuedPackages, const char* folder);
  // A database read back from an index file (Import).
  static std::unique_ptr<Quillbox> Import(const std::string& indexPath,
                                          std::uint64_t maxQueuedPackages);
  // Synchronizes unless a writer failed, stops and joins every thread, releases
  // everything and deletes the data files not listed by a saved index.
  ~Quillbox() = default;

  Quillbox(const Quillbox&) = delete;
  Quillbox& operator=(const Quillbox&) = delete;

  // Getters.
  const char* VersionText() const { return versionText.c_str(); }
  const char* ErrorText() const { return errors.Text(); }
  std::uint64_t PackageSize() const { return packages.PackageSize(); }
  std::uint64_t PackageCount() const { return packages.Count(); }
  std::uint32_t ThreadCount() const { return writers.ThreadCount(); }
  std::uint64_t FileCount() const { return files.Count(); }
  const char* FileName(std::uint64_t index) const { return files.Name(index); }

  // The error flag of the writer threads; once set it stays set.
  bool HasFailed() const { return errors.Failed(); }

  // Threads and packages.
  const char* NewThread(const std::string& folder, std::uint64_t maxFileSize) {
    return writers.NewThread(folder, maxFileSize);
  }
  std::uint64_t NewPackage() { return packages.Add(); }

  // Store and synchronisation.
  void Store(std::uint64_t package, std::uint64_t size, const void* data,
             ItemLocation* location) {
    writers.Store(package, size, data, location);
  }
  void Synchronize() { writers.Synchronize(); }
  void SynchronizePackage(std::uint64_t package) { writers.SynchronizePackage(package); }

  // The index file and data-file moves.
  void Save(const std::string& indexPath);
  void RelocateFileTo(std::uint64_t fileIndex, const std::string& newPath, bool removeOld);

  // Reading and replacing.
  void Open(ItemCursor& cursor, std::uint64_t package) { reader.Open(cursor, package); }
  void OpenItem(ItemCursor& cursor, const ItemLocation& location) {
    reader.OpenItem(cursor, location);
  }
  void RecoverContinous(std::uint64_t size, void* destination, ItemCursor& cursor,
                        std::uint64_t* delivered) {
    reader.RecoverContinous(size, destination, cursor, delivered);
  }
  void RecoverRandom(std::uint64_t size, void* destination, const ItemLocation& location,
                     std::uint64_t package) {
    reader.RecoverRandom(size, destination, location, package);
  }
  void RecoverRandomContinous(std::uint64_t size, void* destination, ItemLocation& location) {
    reader.RecoverRandomContinous(size, destination, location);
  }
  void Replace(std::uint64_t size, const void* data, const ItemLocation& location) {
    reader.Replace(size, data, location);
  }

 private:
  struct ImportTag {};
  Quillbox(ImportTag, std::uint64_t maxQueuedPackages);
  void WriteIndex(qbx::IndexWriter& index, bool salvage);
  void ReadIndex(const qbx::IndexContents& contents, const std::string& indexFolder);
  void RememberIndex(const std::string& indexPath) REQUIRES(relocationMutex)
      EXCLUDES(indexesMutex);
  void RenameInKnownIndexes(std::uint64_t fileIndex, const std::string& oldName,
                            const std::string& newName) REQUIRES(relocationMutex)
      EXCLUDES(indexesMutex);
  // Throws unless a Save or a relocation may write over `path`.
  void RefuseToWriteOver(const std::string& path, const char* what, bool indexMayGo)
      REQUIRES(relocationMutex) EXCLUDES(indexesMutex);

 public:
  // The components, in the order of construction; destroyed backwards: the writers
  // stop before the packages and the files they write are released.
  qbx::ErrorState errors;
  qbx::DataFiles files;
  qbx::PackageTable packages;
  qbx::Writers writers;
  qbx::Reader reader;

 private:
  const std::string versionText;
  // Relocations run one at a time, and never while a Save writes and remembers an
  // index: so no two relocations copy to one path or move one file twice at once, and
  // every index the database knows names each file where it lies (a Save either lists
  // the new path, or is known to the relocation that rewrites it). Taken before any
  // other lock.
  qbx::Mutex relocationMutex;
  qbx::Mutex indexesMutex;
  std::vector<std::string> knownIndexes GUARDED_BY(indexesMutex);
};

#endif  // QUILLBOX_DATABASE_QUILLBOX_H_
