// The database object behind a Quillbox handle. It owns every table (packages, the
// pending-package queue, data files, thread slots), every buffer and every background
// thread, and releases them in a fixed order in its destructor.
//
// Threads: any number of caller threads; one database writer; one thread writer per
// ThreadSlot. Lock order: countersMutex, then a package's mutex, then one DataFile
// mutex at a time, then bufferPoolMutex or pendingMutex (taken last and alone).
#ifndef QUILLBOX_DATABASE_QUILLBOX_H_
#define QUILLBOX_DATABASE_QUILLBOX_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <forward_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/stable_table.h"
#include "platform/wake_event.h"
#include "quillbox.h"
#include "read/item_cursor.h"
#include "storage/data_files.h"
#include "storage/index_format.h"
#include "write/error_state.h"
#include "write/package_table.h"
#include "write/records.h"

class Quillbox {
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
  ~Quillbox();

  Quillbox(const Quillbox&) = delete;
  Quillbox& operator=(const Quillbox&) = delete;

  // Getters.
  const char* VersionText() const { return versionText.c_str(); }
  const char* ErrorText() const;
  std::uint64_t PackageSize() const { return packages.PackageSize(); }
  std::uint64_t PackageCount();
  std::uint32_t ThreadCount();
  std::uint64_t FileCount();
  const char* FileName(std::uint64_t index) const;  // Null for an unknown index.

  // The error flag of the writer threads; once set it stays set.
  bool HasFailed() const { return errors.Failed(); }
  // Throws a std::runtime_error carrying a copy of the error message when the flag is set.
  void CheckFailure() const;

  // Threads and packages.
  const char* NewThread(const std::string& folder, std::uint64_t maxFileSize);
  std::uint64_t NewPackage();

  // Store and synchronisation.
  void Store(std::uint64_t package, std::uint64_t size, const void* data,
             ItemLocation* location);
  void Synchronize();
  void SynchronizePackage(std::uint64_t package);

  // The index file and data-file moves.
  void Save(const std::string& indexPath);
  void RelocateFileTo(std::uint64_t fileIndex, const std::string& newPath, bool removeOld);

  // Reading and replacing.
  void Open(ItemCursor& cursor, std::uint64_t package);
  void OpenItem(ItemCursor& cursor, const ItemLocation& location);
  void RecoverContinous(std::uint64_t size, void* destination, ItemCursor& cursor,
                        std::uint64_t* delivered);
  void RecoverRandom(std::uint64_t size, void* destination, const ItemLocation& location,
                     std::uint64_t package);
  void RecoverRandomContinous(std::uint64_t size, void* destination, ItemLocation& location);
  void Replace(std::uint64_t size, const void* data, const ItemLocation& location);

  // Shared with the read path, the index file and the tests.
  qbx::DataFile& FileAt(std::uint64_t index);          // Throws for an unknown index.

 private:
  // Store's pieces.
  void HoldBack();
  std::uint16_t HandOver(qbx::PackageEntry& entry, qbx::PackageRecord& record,
                         std::uint64_t size, const void* data, ItemLocation* location);
  qbx::ThreadSlot* ClaimSlot();
  bool FillSlot(qbx::ThreadSlot& slot, qbx::PackageEntry& entry, std::uint16_t sequence,
                std::uint64_t size, const void* data, ItemLocation* location);

  // The writers.
  void databaseWriter();
  void threadWriter(qbx::ThreadSlot* slot);
  void RunWriter(void (Quillbox::*loop)(qbx::ThreadSlot*), qbx::ThreadSlot* slot);
  void DatabaseWriterLoop(qbx::ThreadSlot* unused);
  void ThreadWriterLoop(qbx::ThreadSlot* slot);
  void FlushPackage(qbx::PackageEntry& entry, std::uint32_t* turn);
  void RunJob(qbx::ThreadSlot& slot);
  bool JobWritesBlock(std::uint64_t total, std::uint64_t size) const;
  void RollOverIfFull(qbx::ThreadSlot& slot, const qbx::SlotJob& job);
  struct BlockWrite;
  struct Placement;
  void ExecuteJob(const qbx::SlotJob& job, std::uint32_t fileIndex, const char* bytes,
                  Placement* placement);
  void FinishJob(qbx::PackageRecord& record, std::uint16_t sequence, const Placement& placement);
  void PlaceEmptyItem(const qbx::PackageRecord& record, ItemLocation* location,
                      Placement* placement);
  void WriteBlock(qbx::PackageEntry& entry, const BlockWrite& block, Placement* placement);
  void CloseReaderGate(qbx::PackageLock& lock);
  void WaitForSequence(const std::atomic<std::uint16_t>& counter, std::uint16_t target);

  struct ImportTag {};
  Quillbox(ImportTag, std::uint64_t maxQueuedPackages);
  void StartDatabaseWriter();
  void WriteIndex(qbx::IndexWriter& index, bool salvage);
  void ReadIndex(const qbx::IndexContents& contents, const std::string& indexFolder);
  void RememberIndex(const std::string& indexPath);
  void RenameInKnownIndexes(std::uint64_t fileIndex, const std::string& oldName,
                            const std::string& newName);
  void LoadNextBlock(ItemCursor& cursor);
  void EnterAsReader(qbx::PackageRecord& record, qbx::PackageLock& lock,
                     const ItemLocation& location);

  void RecordFailure(const std::string& message);
  void WaitForWritersToEnd() const;
  void StopThreads();

 public:
  // Fields, in the order in which the destructor releases them backwards.
  qbx::ErrorState errors;
  qbx::DataFiles files;
  const std::string versionText;
  const std::uint64_t maxQueuedPackages;
  qbx::PackageTable packages;
  qbx::WakeEvent writerWake;

  std::deque<std::thread*> workerThreads;  // Owned; grows under countersMutex.
  qbx::StableTable<qbx::ThreadSlot*> slots;  // Owned; grows under countersMutex.
  std::atomic<std::uint32_t> threadCount{0};
  struct SlotList {
    std::atomic<qbx::ThreadSlot*> first{nullptr};
    std::atomic<qbx::ThreadSlot*>* last = &first;  // Guarded by countersMutex.
  } slotList;
  std::atomic<bool> stopRequested{false};
  std::mutex countersMutex;
  // Writer threads started and not yet ended (their loops returned).
  std::atomic<std::uint32_t> runningWriters{0};

  std::mutex indexesMutex;
  std::vector<std::string> knownIndexes;  // Guarded by indexesMutex.
};

#endif  // QUILLBOX_DATABASE_QUILLBOX_H_
