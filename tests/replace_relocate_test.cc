// Replace and RelocateFileTo: overwriting items in place, checked through every read
// path and in the files; moving data files while the database stays open, what is
// refused, what a failed move leaves, and moves racing with stores.
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

// Three packages of items in a database with a package file and two writer threads,
// all synchronized. The queue limit keeps the database writer idle unless a test
// lowers it.
struct Stored : ::testing::Test {
  explicit Stored(std::uint64_t maxQueued = 1000) : db(128, maxQueued, dir.path().c_str()) {}
  TempDir dir;
  std::vector<PackageModel> models = std::vector<PackageModel>(3);
  Db db;

  void SetUp() override {
    db.AddThread(dir.path());
    db.AddThread(dir.path());
    std::mt19937 random(17);
    for (std::size_t p = 0; p < models.size(); ++p) {
      db.AddPackage();
      FillModel(models[p], p, RandomSizes(random, 40, 300));
    }
    StoreMore(0);
  }
  // Adds `count` items to every package (none when 0), stores and synchronizes.
  void StoreMore(std::size_t count) {
    std::mt19937 random(static_cast<unsigned>(count + models[0].items.size()));
    for (std::size_t p = 0; count != 0 && p < models.size(); ++p) {
      FillModel(models[p], p, RandomSizes(random, count, 300), models[p].items.size());
    }
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 2));
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  }
  void ExpectAllReadBack() {
    for (std::size_t p = 0; p < models.size(); ++p) {
      ExpectPackageReadsBack(db.get(), p, models[p]);
      EXPECT_EQ(FirstDifference(ChainBytes(ReadChain(db.get(), p)), models[p].Joined()),
                std::string::npos) << "the chain on disk of package " << p;
    }
  }
  std::vector<std::string> FileContents() {
    FlushFiles(db.get());
    std::vector<std::string> contents;
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db.get()); ++k) {
      contents.push_back(ReadWholeFile(Quillbox_GetDatabaseFileName(k, db.get())));
    }
    return contents;
  }
};

TEST_F(Stored, ReplacedItemsReadBackEverywhere) {
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (std::size_t i = p; i < models[p].items.size(); i += 3) {
      std::string& item = models[p].items[i];
      // Every other item keeps its tail: Replace may write a prefix only.
      const std::string fresh = MakeItem(1000 + p, i, i % 2 == 0 ? item.size() : item.size() / 2);
      ASSERT_EQ(Quillbox_Replace(fresh.size(), fresh.data(), &models[p].locations[i], db.get()), 0);
      item.replace(0, fresh.size(), fresh);
    }
  }
  ExpectAllReadBack();
}

// The last item of a block ends right before the next block's header; replacing it
// with exactly its size must leave that header, and so the chain, as it was.
TEST_F(Stored, LastItemOfABlockReplacedWholeKeepsTheChain) {
  std::size_t replaced = 0;
  std::vector<std::size_t> blocks;
  for (std::size_t p = 0; p < models.size(); ++p) {
    blocks.push_back(ReadChain(db.get(), p).size());
    for (std::size_t i = 0; i < models[p].items.size(); ++i) {
      const ItemLocation& location = models[p].locations[i];
      std::string& item = models[p].items[i];
      if (item.empty() || location.offsetInBlock + item.size() != location.blockLen) continue;
      item = std::string(item.size(), static_cast<char>('A' + i % 26));
      ASSERT_EQ(Quillbox_Replace(item.size(), item.data(), &location, db.get()), 0);
      ++replaced;
    }
  }
  EXPECT_GT(replaced, 10u);
  ExpectAllReadBack();
  for (std::size_t p = 0; p < models.size(); ++p) EXPECT_EQ(ReadChain(db.get(), p).size(), blocks[p]);
  StoreMore(10);  // Links are still patched at the right place.
  ExpectAllReadBack();
}

TEST_F(Stored, ReplaceRefusesWhatItCannotOverwrite) {
  const std::vector<std::string> before = FileContents();
  const ItemLocation& placed = models[0].locations[models[0].items.size() - 1];
  const std::string big(placed.blockLen - placed.offsetInBlock + 1, 'x');
  EXPECT_EQ(Quillbox_Replace(big.size(), big.data(), &placed, db.get()), 1) << "past the block";
  ItemLocation elsewhere = placed;
  elsewhere.file = static_cast<std::uint32_t>(Quillbox_GetFileCount(db.get()));
  EXPECT_EQ(Quillbox_Replace(1, "x", &elsewhere, db.get()), 1) << "unknown file";
  ItemLocation accepted{};
  MarkAccepted(&accepted);
  EXPECT_EQ(Quillbox_Replace(1, "x", &accepted, db.get()), 1) << "not stored";
  // A made-up location that claims a longer block would reach the next header.
  ItemLocation longer = placed;
  longer.blockLen += 64;
  const std::string reaching(longer.blockLen - longer.offsetInBlock, 'x');
  EXPECT_EQ(Quillbox_Replace(reaching.size(), reaching.data(), &longer, db.get()), 1)
      << "names no block";
  EXPECT_EQ(FileContents(), before);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
}

// A reader sees an item either wholly before or wholly after a Replace, while other
// callers keep appending blocks to the same package and file.
TEST_F(Stored, ReadersNeverSeeAHalfReplacedItem) {
  std::size_t target = 0;
  while (models[0].items[target].size() < 100) ++target;
  const ItemLocation& location = models[0].locations[target];
  const std::string original = models[0].items[target];
  const std::string a(original.size(), 'a'), b(original.size(), 'b');
  std::atomic<bool> done{false}, torn{false}, failed{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int k = 0; k < 400 && !failed; ++k) {
      const std::string& next = k % 2 == 0 ? a : b;
      if (Quillbox_Replace(next.size(), next.data(), &location, db.get()) != 0) failed = true;
    }
    done = true;
  });
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      std::string bytes(original.size(), '\0');
      while (!done) {
        if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), &location, 0, db.get()) != 0) failed = true;
        if (bytes != a && bytes != b && bytes != original) torn = true;
      }
    });
  }
  threads.emplace_back([&] {
    const std::string item(200, 'z');
    while (!done) {
      if (Quillbox_Store(0, item.size(), item.data(), nullptr, db.get()) != 0) failed = true;
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  EXPECT_FALSE(torn);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  models[0].items[target] = b;
  for (std::size_t p = 1; p < models.size(); ++p) ExpectPackageReadsBack(db.get(), p, models[p]);
  std::string bytes(b.size(), '\0');
  ASSERT_EQ(Quillbox_RecoverRandom(bytes.size(), bytes.data(), &location, 0, db.get()), 0);
  EXPECT_EQ(bytes, b);
}

class Relocation : public Stored, public ::testing::WithParamInterface<bool> {};

// Moves the package file and a thread's file; the database goes on reading and
// writing at the new paths and is saved and reopened from there.
TEST_P(Relocation, DatabaseGoesOnAtTheNewPaths) {
  const bool removeOld = GetParam();
  TempDir elsewhere;
  const std::vector<std::string> before = FileContents();
  for (const std::uint64_t k : {0ull, 1ull}) {
    const std::string old = Quillbox_GetDatabaseFileName(k, db.get());
    const std::string moved = elsewhere.File("moved-" + std::to_string(k));
    ASSERT_EQ(Quillbox_RelocateFileTo(k, moved.c_str(), removeOld, db.get()), 0);
    EXPECT_EQ(Quillbox_GetDatabaseFileName(k, db.get()), moved);
    EXPECT_EQ(ReadWholeFile(moved), before[k]) << "file " << k;
    EXPECT_EQ(fs::exists(old), !removeOld);
  }
  ExpectAllReadBack();
  StoreMore(20);
  ExpectAllReadBack();
  const std::string index = dir.File("db.index");
  ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  db.Destroy();
  Quillbox* reopened = nullptr;
  ASSERT_EQ(Quillbox_Import(&reopened, index.c_str(), 2), 0);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, reopened), elsewhere.File("moved-1"));
  for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(reopened, p, models[p]);
  Quillbox_Destroy(reopened);
}

INSTANTIATE_TEST_SUITE_P(RemoveOld, Relocation, ::testing::Bool());

TEST_F(Stored, UnsavedFileIsDeletedAtItsNewPath) {
  const std::string old = Quillbox_GetDatabaseFileName(1, db.get());
  const std::string moved = dir.File("moved");
  ASSERT_EQ(Quillbox_RelocateFileTo(1, moved.c_str(), 0, db.get()), 0);
  db.Destroy();
  EXPECT_FALSE(fs::exists(moved)) << "the database's file is deleted where it is now";
  EXPECT_TRUE(fs::exists(old)) << "the file left behind is no longer the database's";
}

// Refused moves: into a missing folder, onto any data file of the database by any
// spelling of its path, and halfway through a failed copy. Each leaves every file and
// name as it was and the database working.
TEST_F(Stored, RefusedOrFailedMovesChangeNothing) {
  const std::vector<std::string> before = FileContents();
  const std::string own = Quillbox_GetDatabaseFileName(1, db.get());
  const std::string other = Quillbox_GetDatabaseFileName(2, db.get());
  const std::string spelled = dir.path() + "/./" + fs::path(own).filename().string();
  std::vector<std::string> targets = {dir.File("missing/moved"), own, other, spelled};
#if !defined(_WIN32)  // Symbolic links need privileges on Windows.
  fs::create_symlink(other, dir.File("link"));
  targets.push_back(dir.File("link"));
#endif
  for (const std::string& target : targets) {
    EXPECT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db.get()), 1) << target;
    EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db.get()), own);
  }
  EXPECT_EQ(Quillbox_RelocateFileTo(Quillbox_GetFileCount(db.get()), dir.File("x").c_str(), 0, db.get()), 1)
      << "unknown file";
  {
    // The copy runs in pieces of the package size; the third write fails.
    ScopedFault fault(qbx::testing::Fault::kShortWrite, 2);
    EXPECT_EQ(Quillbox_RelocateFileTo(1, dir.File("partial").c_str(), 1, db.get()), 1);
  }
  EXPECT_FALSE(fs::exists(dir.File("partial"))) << "a partial copy is removed";
  {
    // A read error halfway never passes for the end of the file.
    ScopedFault fault(qbx::testing::Fault::kShortRead, 1);
    EXPECT_EQ(Quillbox_RelocateFileTo(1, dir.File("partial").c_str(), 1, db.get()), 1);
  }
  EXPECT_FALSE(fs::exists(dir.File("partial"))) << "a short copy is removed";
  EXPECT_FALSE(fs::exists(dir.File("x")));
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db.get()), own);
  EXPECT_EQ(FileContents(), before);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  StoreMore(10);
  ExpectAllReadBack();
}

// With a package size of 0 the copy goes one byte at a time; all of it arrives.
TEST(Relocate, PackageSizeZeroCopiesTheWholeFile) {
  TempDir dir;
  std::vector<PackageModel> models = std::vector<PackageModel>(2);
  Db db(0, 1000, dir.path().c_str());
  db.AddThread(dir.path());
  std::mt19937 random(3);
  for (std::size_t p = 0; p < models.size(); ++p) {
    db.AddPackage();
    FillModel(models[p], p, RandomSizes(random, 30, 100));
  }
  ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  FlushFiles(db.get());
  for (const std::uint64_t k : {0ull, 1ull}) {
    const std::string old = Quillbox_GetDatabaseFileName(k, db.get());
    const std::string bytes = ReadWholeFile(old);
    ASSERT_GT(bytes.size(), 80u);
    const std::string moved = dir.File("moved-" + std::to_string(k));
    ASSERT_EQ(Quillbox_RelocateFileTo(k, moved.c_str(), 1, db.get()), 0);
    EXPECT_EQ(ReadWholeFile(moved), bytes);
    EXPECT_FALSE(fs::exists(old));
  }
  for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(db.get(), p, models[p]);
}

// With a queue limit of one the database writer keeps flushing packages and parking
// their records.
struct StoredBusyWriter : Stored {
  StoredBusyWriter() : Stored(1) {}
};

// Files move back and forth between two folders while callers store into every
// package and the database writer parks records in the package file.
TEST_F(StoredBusyWriter, MovesRaceWithStores) {
  TempDir a, b;
  std::mt19937 random(23);
  for (std::size_t p = 0; p < models.size(); ++p) {
    FillModel(models[p], p, RandomSizes(random, 300, 300), models[p].items.size());
  }
  std::atomic<bool> stored{false};
  std::thread callers([&] {
    EXPECT_TRUE(StoreConcurrently(db.get(), models, 2));
    stored = true;
  });
  int moves = 0;
  for (; moves < 6 || (!stored && moves < 200); ++moves) {
    const std::uint64_t k = moves % 3;
    const std::string target = (moves % 2 == 0 ? a : b).File("file-" + std::to_string(k));
    ASSERT_EQ(Quillbox_RelocateFileTo(k, target.c_str(), 1, db.get()), 0) << "move " << moves;
  }
  callers.join();
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0) << Quillbox_GetErrorMessage(db.get());
  ExpectAllReadBack();
}

}  // namespace
}  // namespace qbx::test
