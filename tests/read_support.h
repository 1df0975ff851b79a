// The fixture of the read and index tests: a database made by Create or Import, a model
// of what its packages hold, storing that from several threads and reading it back.
#ifndef QUILLBOX_TESTS_READ_SUPPORT_H_
#define QUILLBOX_TESTS_READ_SUPPORT_H_

#include <algorithm>
#include <atomic>
#include <deque>
#include <random>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fault_hook.h"
#include "test_support.h"

namespace qbx::test {

// One package's items in store order; their locations never move.
struct PackageModel {
  std::deque<std::string> items;
  std::deque<ItemLocation> locations;
  std::atomic<std::size_t> stored{0};  // Items handed to Store so far.
  std::string Joined(std::size_t count = ~std::size_t{0}) const {  // The first `count` items.
    std::string all;
    for (std::size_t i = 0; i < std::min(count, items.size()); ++i) all += items[i];
    return all;
  }
};

// What the cursor delivers up to `limit` bytes or the package's end.
inline std::string Drain(Quillbox* db, ItemCursor* cursor, std::size_t limit = ~std::size_t{0}) {
  std::string all;
  char piece[4096];
  for (std::uint64_t count = 0; all.size() < limit; all.append(piece, count)) {
    const std::size_t want = std::min(sizeof piece, limit - all.size());
    if (Quillbox_RecoverContinous(&count, want, piece, cursor, db) != 0 || count == 0) break;
  }
  return all;
}

// The package through a fresh cursor; `ended` tells whether it reached the end.
inline std::string ReadByCursor(Quillbox* db, std::uint64_t package, bool* ended = nullptr,
                                std::size_t limit = ~std::size_t{0}) {
  ItemCursor* cursor = nullptr;
  std::string all = Quillbox_Open(&cursor, package, db) == 0 ? Drain(db, cursor, limit) : "(none)";
  if (ended != nullptr) *ended = cursor != nullptr && Quillbox_PackageEnd(cursor, db) != 0;
  Quillbox_Close(&cursor);
  return all;
}

// Open's result for a fresh cursor on the package, which is closed again.
inline int OpenResult(Quillbox* db, std::uint64_t package) {
  ItemCursor* cursor = nullptr;
  const int result = Quillbox_Open(&cursor, package, db);
  Quillbox_Close(&cursor);
  return result;
}

// Each package's bytes, through a cursor each.
inline std::vector<std::string> Packages(Quillbox* db) {
  std::vector<std::string> packages;
  for (std::uint64_t n = 0; n < Quillbox_GetPackageCount(db); ++n) {
    packages.push_back(ReadByCursor(db, n));
  }
  return packages;
}

// The database an Import of `index` makes. A failed Import throws, which ends the test
// as a failure.
inline Db Imported(const std::string& index, std::uint64_t maxQueued) {
  Quillbox* db = nullptr;
  if (Quillbox_Import(&db, index.c_str(), maxQueued) != 0) {
    throw std::runtime_error("the Import of " + index + " failed");
  }
  return Db(db);
}

// Stores the items into the package in turn; whether every Store succeeded.
inline bool StoreEach(Quillbox* db, std::uint64_t package,
                      const std::vector<std::string>& items) {
  for (const std::string& item : items) {
    if (Quillbox_Store(package, item.size(), item.data(), nullptr, db) != 0) return false;
  }
  return true;
}

// A database in a temporary folder, made by Create or Import and destroyed with the
// fixture, and models[p] for its package p.
struct Harness : ::testing::Test {
  TempDir dir;
  std::string folder = dir.path(), index = dir.File("db.index");
  std::deque<PackageModel> models;  // Outlive the database.
  Quillbox* db = nullptr;
  ~Harness() override { Quillbox_Destroy(db); }

  // The package file goes into `folder` when `packageFile`; a writer thread for each
  // file limit; `packages` packages of `items` items each.
  void Create(std::uint64_t packageSize, std::uint64_t maxQueued, bool packageFile,
              const std::vector<std::uint64_t>& fileLimits, int packages, std::size_t items,
              std::size_t largest = 300) {
    const char* packageFolder = packageFile ? folder.c_str() : nullptr;
    ASSERT_EQ(Quillbox_Create(&db, packageSize, maxQueued, packageFolder), 0);
    for (const std::uint64_t limit : fileLimits) AddThread(limit);
    for (int p = 0; p < packages; ++p) AddPackage();
    AddItems(items, largest);
  }
  void AddThread(std::uint64_t maxFileSize = ~0ull) {
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, folder.c_str(), maxFileSize, db), 0);
  }
  void AddPackage() {  // Makes the package's model unless it was made before.
    std::uint64_t package = 0;
    ASSERT_TRUE(Quillbox_NewPackage(&package, db) == 0 && package <= models.size());
    if (package == models.size()) models.emplace_back();
  }
  // Adds items of every shape to each package: empty, small, and up to `largest` (more
  // than a package buffer holds). The first and the last are never empty.
  void AddItems(std::size_t count, std::size_t largest = 300) {
    std::mt19937 random(static_cast<unsigned>(models.size() * 1000 + count));
    for (std::size_t p = 0; p < models.size(); ++p) {
      for (std::size_t i = 0; i < count; ++i) {
        const unsigned kind = random() % 16;  // 0: empty, 1: large, else small.
        std::size_t size = 1 + random() % (kind == 1 ? largest : largest / 8 + 1);
        if (kind == 0 && i != 0 && i + 1 < count) size = 0;
        models[p].items.push_back(MakeItem(p, models[p].items.size(), size));
      }
      models[p].locations.resize(models[p].items.size());
    }
  }
  // Stores the items not yet stored, up to item `upTo` of each package, from `callers`
  // threads, caller c taking the packages p % callers == c in turn. After each Store it
  // reads back one of the newest items of any package, wherever the writers have it.
  bool StoreConcurrently(int callers, std::size_t upTo = ~std::size_t{0}) {
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
      threads.emplace_back([&, c] {
        std::mt19937 random(c);
        for (bool progress = true; progress && !failed;) {
          progress = false;
          for (std::size_t p = c; p < models.size(); p += callers) {
            PackageModel& m = models[p];
            const std::size_t i = m.stored;
            if (i >= std::min(upTo, m.items.size())) continue;
            progress = true;
            const std::string& item = m.items[i];
            failed = failed || Quillbox_Store(p, item.size(), item.data(), &m.locations[i], db);
            m.stored = i + 1;
            const std::size_t q = random() % models.size(), n = models[q].stored;
            failed = failed || (n != 0 && !ReadsBack(q, n - 1 - random() % std::min<size_t>(n, 8)));
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    return !failed;
  }
  bool ReadsBack(std::size_t p, std::size_t i) {  // Item i of package p through RecoverRandom.
    std::string bytes(models[p].items[i].size(), '\0');
    return Quillbox_RecoverRandom(bytes.size(), bytes.data(), &models[p].locations[i], p, db) == 0 &&
           bytes == models[p].items[i];
  }
  // Stores up to item `upTo` of each package from two callers and synchronizes; then,
  // unless `parked` is negative, waits until that many records lie in the package file.
  bool StoreAndSync(std::size_t upTo = ~std::size_t{0}, int parked = -1) {
    const auto parkedNow = [&] {
      int count = 0;
      for (std::size_t n = 0; n < models.size(); ++n) count += db->packages.Entry(n).lock->written;
      return count;
    };
    return StoreConcurrently(2, upTo) && Quillbox_Synchronize(db) == 0 &&
           (parked < 0 || WaitUntil([&] { return parkedNow() == parked; }));
  }
  bool SaveIndex() { return Quillbox_Save(index.c_str(), db) == 0; }
  void Close() { Quillbox_Destroy(std::exchange(db, nullptr)); }
  void Reopen(std::uint64_t maxQueued) {
    Close();
    ASSERT_EQ(Quillbox_Import(&db, index.c_str(), maxQueued), 0);
  }
  // Every data file's bytes, by file number.
  std::vector<std::string> FileContents() {
    FlushFiles(db);
    std::vector<std::string> contents;
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
      contents.push_back(ReadWholeFile(Quillbox_GetDatabaseFileName(k, db)));
    }
    return contents;
  }
  // Each package item by item, through a cursor and on disk.
  void ExpectAllReadBack() {
    for (std::size_t p = 0; p < models.size(); ++p) {
      for (std::size_t i = 0; i < models[p].items.size(); ++i) ASSERT_TRUE(ReadsBack(p, i)) << i;
      bool ended = false;
      EXPECT_TRUE(ReadByCursor(db, p, &ended) == models[p].Joined() && ended) << "package " << p;
      EXPECT_TRUE(ChainBytes(ReadChain(db, p)) == models[p].Joined()) << "on disk: " << p;
    }
  }
};

}  // namespace qbx::test

#endif  // QUILLBOX_TESTS_READ_SUPPORT_H_
