// Save and Import: the index file's bytes against the files they describe, reopening
// and carrying on, where Import leaves package records, and what survives failed
// saves, crashes and damaged index files.
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <filesystem>

#include <gtest/gtest.h>

#include "read_support.h"

namespace qbx::test {
namespace {

std::uint64_t ParkedCount(Quillbox* db) {
  std::uint64_t parked = 0;
  for (std::uint64_t n = 0; n < db->packages.size(); ++n) parked += db->EntryOf(n).lock->written.load();
  return parked;
}

bool NoTemporaryFiles(const TempDir& dir) {
  for (const std::string& name : dir.Entries()) {
    if (name.find(".saving.") != std::string::npos) return false;
  }
  return true;
}

std::vector<PackageModel> MakeModels(int packages, int items, std::size_t largest, unsigned seed) {
  std::vector<PackageModel> models(packages);
  std::mt19937 random(seed);
  for (int p = 0; p < packages; ++p) FillModel(models[p], p, RandomSizes(random, items, largest));
  return models;
}

Quillbox* ImportOrNull(const std::string& index, std::uint64_t maxQueued) {
  Quillbox* db = nullptr;
  return Quillbox_Import(&db, index.c_str(), maxQueued) == 0 ? db : nullptr;
}

// Checks an index just saved by `db` field by field against the database and the
// files on disk; `parked` packages must have the short entry.
void CheckIndexBytes(Quillbox* db, const std::string& bytes,
                     const std::vector<std::uint64_t>& maxSizes, std::uint64_t parked) {
  ByteReader in(bytes);
  EXPECT_EQ(in.Take(8), "Quillbox");
  EXPECT_EQ(in.U32(), 1u);
  EXPECT_EQ(in.U32(), 0u);
  EXPECT_EQ(in.U64(), Quillbox_GetPackageSize(db));
  const std::uint64_t packages = Quillbox_GetPackageCount(db);
  EXPECT_EQ(in.U64(), packages);
  EXPECT_EQ(in.U8(), db->hasPackageFile ? 1 : 0);
  ASSERT_EQ(in.U64(), maxSizes.size());
  std::uint64_t expectedSize = 41 + 8;
  for (std::uint64_t k = 0; k < maxSizes.size(); ++k) {
    const std::string name = Quillbox_GetDatabaseFileName(k, db);
    const std::uint64_t length = in.U64();
    EXPECT_EQ(in.Take(length), name);
    EXPECT_EQ(in.U64(), std::filesystem::file_size(name)) << "file " << k;
    EXPECT_EQ(in.U64(), maxSizes[k]) << "file " << k;
    EXPECT_EQ(in.U8(), 1) << "a listed file is kept";
    expectedSize += 25 + length;
  }
  ASSERT_EQ(in.U64(), packages);
  std::uint64_t parkedSeen = 0;
  for (std::uint64_t n = 0; n < packages; ++n) {
    const std::uint8_t flag = in.U8();
    const PackageImage live = RecordOf(db, n);
    if (flag == 1) {
      ++parkedSeen;
      EXPECT_EQ(in.U64(), 44 * n) << "package " << n;
      expectedSize += 9;
    } else {
      ASSERT_EQ(flag, 0) << "package " << n;
      char image[kPackageRecordSize];
      EncodePackageImage(live, image);
      EXPECT_EQ(in.Take(44), std::string(image, sizeof image)) << "package " << n;
      expectedSize += 45;
    }
    EXPECT_EQ(live.packageId, n);
    const std::vector<Block> chain = ReadChain(db, n);
    if (chain.empty()) {
      EXPECT_EQ(live.firstBlockPos, kNoPosition);
    } else {
      EXPECT_EQ(live.firstBlockPos, chain.front().headerPos);
      EXPECT_EQ(live.firstBlockFile, chain.front().file);
    }
  }
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(bytes.size(), expectedSize);
  EXPECT_EQ(parkedSeen, parked);
}

class IndexLayout : public ::testing::TestWithParam<bool> {};

TEST_P(IndexLayout, IndexMatchesTheFilesAndTheDatabaseReopensAndGoesOn) {
  const bool packageFile = GetParam();
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<PackageModel> models = MakeModels(5, 40, 700, 5);
  models.reserve(9);  // Locations must not move: the packages grow by two per round.
  {
    Db db(256, packageFile ? 2 : 1000, packageFile ? dir.path().c_str() : nullptr);
    db.AddThread(dir.path());
    db.AddThread(dir.path(), 50000);
    for (int p = 0; p < 5; ++p) db.AddPackage();
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 2));
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    // With a package file the database writer parks records until two are queued.
    if (packageFile) {
      ASSERT_TRUE(WaitUntil([&] { return ParkedCount(db.get()) == 3; }));
    }
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    std::vector<std::uint64_t> maxSizes = {~0ull, 50000};
    if (packageFile) maxSizes.insert(maxSizes.begin(), ~0ull);
    CheckIndexBytes(db.get(), ReadWholeFile(index), maxSizes, packageFile ? 3 : 0);
  }
  EXPECT_TRUE(NoTemporaryFiles(dir));

  for (int round = 0; round < 2; ++round) {
    Quillbox* db = ImportOrNull(index, 1000);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Quillbox_GetPackageSize(db), 256u);
    EXPECT_EQ(Quillbox_GetThreadCount(db), 0u);
    for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(db, p, models[p]);
    // Carry on: a thread, two packages and more items in every package.
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db), 0);
    for (int k = 0; k < 2; ++k) {
      std::uint64_t package = 0;
      ASSERT_EQ(Quillbox_NewPackage(&package, db), 0);
      EXPECT_EQ(package, models.size());
      models.emplace_back();
    }
    std::mt19937 random(round);
    for (std::size_t p = 0; p < models.size(); ++p) {
      FillModel(models[p], p, RandomSizes(random, 30, 700), models[p].items.size());
    }
    ASSERT_TRUE(StoreConcurrently(db, models, 2));
    ASSERT_EQ(Quillbox_Synchronize(db), 0);
    for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(db, p, models[p]);
    ASSERT_EQ(Quillbox_Save(index.c_str(), db), 0);
    Quillbox_Destroy(db);
  }
}

INSTANTIATE_TEST_SUITE_P(PackageFile, IndexLayout, ::testing::Bool());

// Records saved in memory are queued during Import while fewer than the limit wait,
// and parked in the package file at once otherwise, before any thread runs.
TEST(Import, QueueLimitDecidesWhichRecordsAreParked) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<PackageModel> models = MakeModels(5, 30, 200, 9);
  {
    Db db(64, 1000, dir.path().c_str());
    db.AddThread(dir.path());
    for (int p = 0; p < 5; ++p) db.AddPackage();
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    ASSERT_EQ(ParkedCount(db.get()), 0u);
  }
  const std::string saved = ReadWholeFile(index);
  for (const std::uint64_t limit : {0ull, 2ull, 1000ull}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    Quillbox* db = ImportOrNull(index, limit);
    ASSERT_NE(db, nullptr);
    for (std::uint64_t n = 0; n < 5; ++n) {
      EXPECT_EQ(db->EntryOf(n).lock->written.load(), n >= limit) << "package " << n;
      if (n < limit) continue;
      // The parked record is the one saved.
      const std::size_t entry = saved.size() - (5 - n) * 45 + 1;
      char image[kPackageRecordSize];
      EncodePackageImage(RecordOf(db, n), image);
      EXPECT_EQ(std::string(image, sizeof image), saved.substr(entry, 44));
    }
    for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(db, p, models[p]);
    Quillbox_Destroy(db);
  }
}

TEST(Import, MarkerAloneIsAnEmptyDatabase) {
  TempDir dir;
  WriteWholeFile(dir.File("db.index"), "Quillbox");
  Quillbox* db = ImportOrNull(dir.File("db.index"), 4);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(Quillbox_GetPackageSize(db), 0u);
  EXPECT_EQ(Quillbox_GetPackageCount(db), 0u);
  EXPECT_EQ(Quillbox_GetFileCount(db), 0u);
  const char* path = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db), 0);
  std::uint64_t package = 9;
  ASSERT_EQ(Quillbox_NewPackage(&package, db), 0);
  ASSERT_EQ(package, 0u);
  ItemLocation location{};
  ASSERT_EQ(Quillbox_Store(0, 3, "abc", &location, db), 0);
  ASSERT_EQ(Quillbox_Synchronize(db), 0);
  EXPECT_EQ(ReadByCursor(db, 0), "abc");
  Quillbox_Destroy(db);
  for (const std::string& bad : {std::string(), std::string("Quillbo"), std::string("quillbox"),
                                 std::string("Quill\0ox", 8)}) {
    WriteWholeFile(dir.File("bad.index"), bad);
    EXPECT_EQ(ImportOrNull(dir.File("bad.index"), 4), nullptr) << bad;
  }
}

// A database with three packages of saved items and an index at dir/db.index.
struct Saved : ::testing::Test {
  TempDir dir;
  std::string index = dir.File("db.index");
  std::vector<PackageModel> models = MakeModels(3, 20, 300, 3);
  Db db{128, 1000, nullptr};
  void SetUp() override {
    db.AddThread(dir.path());
    for (int p = 0; p < 3; ++p) db.AddPackage();
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  }
};

TEST_F(Saved, SaveIntoAMissingFolderFailsWithoutTrace) {
  const std::string before = ReadWholeFile(index);
  const auto entries = dir.Entries();
  EXPECT_EQ(Quillbox_Save(dir.File("missing/db.index").c_str(), db.get()), 1);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  EXPECT_EQ(dir.Entries().size(), entries.size());
  EXPECT_EQ(ReadWholeFile(index), before);
  ItemLocation location{};
  EXPECT_EQ(Quillbox_Store(0, 2, "ok", &location, db.get()), 0) << "the database still works";
  EXPECT_EQ(Quillbox_Synchronize(db.get()), 0);
}

// Every write of the index fails in turn: the previous index stays as it was, no
// temporary file is left, and the database's error state is untouched.
TEST_F(Saved, EveryFailedIndexWriteKeepsThePreviousIndex) {
  const std::string before = ReadWholeFile(index);
  db.AddPackage();  // The next index differs.
  std::uint64_t skip = 0;
  for (; skip < 1000; ++skip) {
    std::uint8_t result;
    {
      ScopedFault fault(qbx::testing::Fault::kShortWrite, skip);
      result = Quillbox_Save(index.c_str(), db.get());
    }
    if (result == 0) break;
    ASSERT_EQ(ReadWholeFile(index), before) << "write " << skip;
    ASSERT_TRUE(NoTemporaryFiles(dir)) << "write " << skip;
    ASSERT_FALSE(db->HasFailed());
  }
  EXPECT_GT(skip, 10u);
  EXPECT_NE(ReadWholeFile(index), before);
  Quillbox* reopened = ImportOrNull(index, 1000);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(Quillbox_GetPackageCount(reopened), 4u);
  Quillbox_Destroy(reopened);
}

// Saves in a child process under file-size limits that stop the index part way; a
// save never leaves an index, short or whole, under the target name.
TEST(Save, FileSizeLimitNeverLeavesAShortIndex) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  TempDir dir;
  const std::string first = dir.File("first.index"), second = dir.File("second.index");
  const int code = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    Quillbox* db = nullptr;
    if (Quillbox_Create(&db, 64, 1000, nullptr) != 0) return 2;
    const char* path = nullptr;
    if (Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db) != 0) return 3;
    std::uint64_t package = 0;
    for (int p = 0; p < 120; ++p) {  // About 5.5 KB of index, 2 KB of data.
      if (Quillbox_NewPackage(&package, db) != 0 || Quillbox_Store(package, 1, "x", nullptr, db) != 0) return 4;
    }
    if (Quillbox_Save(first.c_str(), db) != 0) return 5;
    for (const rlim_t limit : {rlim_t{1}, rlim_t{41}, rlim_t{4095}, rlim_t{4096}, rlim_t{5000}}) {
      const rlimit cap{limit, RLIM_INFINITY};
      if (setrlimit(RLIMIT_FSIZE, &cap) != 0) return 6;
      if (Quillbox_NewPackage(&package, db) != 0) return 7;  // Grows the index past the first.
      if (Quillbox_Save(first.c_str(), db) != 1 || Quillbox_Save(second.c_str(), db) != 1) return 8;
    }
    return 0;
  });
  ASSERT_EQ(code, 0);
  EXPECT_FALSE(std::filesystem::exists(second));
  EXPECT_TRUE(NoTemporaryFiles(dir));
  Quillbox* db = ImportOrNull(first, 1000);
  ASSERT_NE(db, nullptr) << "the first index is whole";
  EXPECT_EQ(Quillbox_GetPackageCount(db), 120u);
  EXPECT_EQ(ReadByCursor(db, 119), "x");
  Quillbox_Destroy(db);
#endif
}

// Items stored and synchronized after the save lie beyond the sizes the index lists.
// Reopened from that index, the database appends after them and overwrites none.
class LongerThanSaved : public ::testing::TestWithParam<bool> {};

TEST_P(LongerThanSaved, NewStoresLandAfterTheBytesOnDisk) {
  const bool packageFile = GetParam();
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<PackageModel> saved = MakeModels(4, 25, 300, 11), later = MakeModels(4, 25, 300, 12);
  std::vector<std::uint64_t> savedSizes;
  std::vector<std::string> tails;
  {
    Db db(128, packageFile ? 0 : 1000, packageFile ? dir.path().c_str() : nullptr);
    db.AddThread(dir.path());
    db.AddThread(dir.path());
    for (int p = 0; p < 4; ++p) db.AddPackage();
    const auto settle = [&] {
      ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
      if (packageFile) {
        ASSERT_TRUE(WaitUntil([&] { return ParkedCount(db.get()) == 4; }));
      }
    };
    ASSERT_TRUE(StoreConcurrently(db.get(), saved, 2));
    settle();
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db.get()); ++k) {
      savedSizes.push_back(std::filesystem::file_size(Quillbox_GetDatabaseFileName(k, db.get())));
    }
    ASSERT_TRUE(StoreConcurrently(db.get(), later, 2));
    settle();
    FlushFiles(db.get());
    for (std::uint64_t k = 0; k < savedSizes.size(); ++k) {
      tails.push_back(ReadWholeFile(Quillbox_GetDatabaseFileName(k, db.get())).substr(savedSizes[k]));
    }
  }
  Quillbox* db = ImportOrNull(index, packageFile ? 0 : 1000);
  ASSERT_NE(db, nullptr);
  std::uint64_t grown = 0;
  for (std::uint64_t k = 0; k < savedSizes.size(); ++k) {
    grown += tails[k].size();
    std::lock_guard<std::mutex> lock(db->FileAt(k).mutex);
    EXPECT_EQ(db->FileAt(k).size, savedSizes[k] + tails[k].size()) << "file " << k;
  }
  EXPECT_GT(grown, 0u) << "the files grew after the save";
  const char* path = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db), 0);
  std::vector<PackageModel> after = MakeModels(4, 25, 300, 13);
  ASSERT_TRUE(StoreConcurrently(db, after, 2));
  ASSERT_EQ(Quillbox_Synchronize(db), 0);
  for (int p = 0; p < 4; ++p) {
    // Parked records live in the package file, so their chains include what came
    // after the save; records kept in the index end where the save left them.
    const std::string expected =
        saved[p].Joined() + (packageFile ? later[p].Joined() : "") + after[p].Joined();
    ExpectPackageReadsBack(db, p, after[p], expected);
    ExpectPackageReadsBack(db, p, saved[p], expected);
    ExpectPackageReadsBack(db, p, later[p], expected);
  }
  // Without a package file nothing links to the bytes stored after the save any more,
  // so they must be exactly as they were; with one, their items were read back above.
  FlushFiles(db);
  for (std::uint64_t k = 0; k < savedSizes.size() && !packageFile; ++k) {
    EXPECT_EQ(FirstDifference(
                  ReadWholeFile(Quillbox_GetDatabaseFileName(k, db)).substr(savedSizes[k]), tails[k]),
              std::string::npos)
        << "file " << k << ": bytes stored after the save were overwritten";
  }
  Quillbox_Destroy(db);
}

INSTANTIATE_TEST_SUITE_P(PackageFile, LongerThanSaved, ::testing::Bool());

// A child stores, saves, stores more and dies without Destroy; everything saved is
// found through the saved index.
struct CrashShape {
  std::uint64_t maxQueued;
  std::uint64_t maxFileSize;  // Of the first writer thread.
};

class CrashSafety : public ::testing::TestWithParam<CrashShape> {};

TEST_P(CrashSafety, SavedBytesSurviveAnExitWithoutDestroy) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  const CrashShape shape = GetParam();
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<PackageModel> models = MakeModels(5, 60, 500, 21);
  const int code = RunInChild([&] {
    Quillbox* db = nullptr;
    const char* path = nullptr;
    if (Quillbox_Create(&db, 200, shape.maxQueued, dir.path().c_str()) != 0 ||
        Quillbox_NewThread(&path, dir.path().c_str(), shape.maxFileSize, db) != 0 ||
        Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db) != 0) {
      return 2;
    }
    std::uint64_t package = 0;
    for (int p = 0; p < 5; ++p) {
      if (Quillbox_NewPackage(&package, db) != 0) return 3;
    }
    if (!StoreConcurrently(db, models, 2, 40)) return 4;
    if (Quillbox_Save(index.c_str(), db) != 0) return 5;
    if (!StoreConcurrently(db, models, 2)) return 6;
    return 0;
  });
  ASSERT_EQ(code, 0);
  Quillbox* db = ImportOrNull(index, 2);
  ASSERT_NE(db, nullptr);
  for (int p = 0; p < 5; ++p) {
    std::string saved;
    for (int i = 0; i < 40; ++i) saved += models[p].items[i];
    const std::string got = ReadByCursor(db, p, nullptr, saved.size());
    EXPECT_EQ(FirstDifference(got, saved), std::string::npos)
        << "package " << p << " read " << got.size() << " of " << saved.size() << " written "
        << db->EntryOf(p).lock->written.load();
  }
  Quillbox_Destroy(db);
#endif
}

// A crash after a Save can lose the blocks stored since while a link to them reached
// the disk: here the data files are cut back to their saved length after more items
// were stored. Packages held in the index and packages parked in the package file both
// read back exactly as saved, end cleanly, and grow again from there.
TEST(Import, ChainsTornByACrashAfterTheSaveEndWhereTheSaveEnded) {
  for (const std::uint64_t maxQueued : {std::uint64_t{0}, std::uint64_t{1000}}) {
    TempDir dir;
    const std::string index = dir.File("db.index");
    std::vector<PackageModel> models = MakeModels(3, 30, 300, 7);
    std::vector<std::pair<std::string, std::uintmax_t>> saved;
    {
      Db db(256, maxQueued, dir.path().c_str());
      db.AddThread(dir.path());
      for (int p = 0; p < 3; ++p) db.AddPackage();
      ASSERT_TRUE(StoreConcurrently(db.get(), models, 1, 20));
      ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
      for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db.get()); ++k) {
        const std::string name = Quillbox_GetDatabaseFileName(k, db.get());
        saved.emplace_back(name, std::filesystem::file_size(name));
      }
      ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));
      ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    }
    for (const auto& [name, size] : saved) {
      if (name != saved[0].first) std::filesystem::resize_file(name, size);  // Blocks lost.
    }
    Quillbox* db = ImportOrNull(index, maxQueued);
    ASSERT_NE(db, nullptr);
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), ~0ull, db), 0);
    for (std::uint64_t p = 0; p < 3; ++p) {
      std::string want;
      for (int i = 0; i < 20; ++i) want += models[p].items[i];
      bool ended = false;
      EXPECT_EQ(FirstDifference(ReadByCursor(db, p, &ended), want), std::string::npos)
          << "queue limit " << maxQueued << ", package " << p;
      EXPECT_TRUE(ended);
      ASSERT_EQ(Quillbox_Store(p, 4, "more", nullptr, db), 0);
      ASSERT_EQ(Quillbox_SynchronizePackage(p, db), 0);
      EXPECT_EQ(FirstDifference(ReadByCursor(db, p), want + "more"), std::string::npos)
          << "queue limit " << maxQueued << ", package " << p << " after it grew";
    }
    Quillbox_Destroy(db);
  }
}

INSTANTIATE_TEST_SUITE_P(Writers, CrashSafety, ::testing::Values(CrashShape{2, ~0ull}));
// Records parked after the save name data files that the saved index does not list.
INSTANTIATE_TEST_SUITE_P(RollingOverAfterTheSave, CrashSafety,
                         ::testing::Values(CrashShape{0, 1000}));

// The same without a crash: records parked in the package file after the save, naming
// files created after it, make the saved packages unreadable once the older index is
// imported.
TEST(Import, OlderIndexStillReadsPackagesParkedSinceTheSave) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<PackageModel> models = MakeModels(2, 40, 200, 41);
  {
    Db db(64, 0, dir.path().c_str());
    db.AddThread(dir.path(), 1000);
    db.AddPackage();
    db.AddPackage();
    const auto settle = [&] {
      ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
      ASSERT_TRUE(WaitUntil([&] { return ParkedCount(db.get()) == 2; }));
    };
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 1, 10));
    settle();
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));  // Rolls over to new files.
    settle();
  }
  Quillbox* db = ImportOrNull(index, 0);
  ASSERT_NE(db, nullptr);
  for (int i = 0; i < 10; ++i) {
    std::string bytes(models[0].items[i].size(), '\0');
    ASSERT_EQ(Quillbox_RecoverRandom(bytes.size(), bytes.data(), &models[0].locations[i], 0, db), 0)
        << "saved item " << i;
    ASSERT_EQ(bytes, models[0].items[i]) << "saved item " << i;
  }
  const char* path = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), 1000, db), 0);
  EXPECT_EQ(Quillbox_Store(0, 3, "abc", nullptr, db), 0);
  EXPECT_EQ(Quillbox_SynchronizePackage(0, db), 0);
  Quillbox_Destroy(db);
}

// Every prefix of an index, and every byte of it changed, either imports or fails
// cleanly; neither changes a data file.
TEST(Import, TruncatedOrFlippedIndexNeverCrashes) {
  TempDir dir;
  const std::string index = dir.File("db.index"), damaged = dir.File("damaged.index");
  std::vector<PackageModel> models = MakeModels(5, 8, 200, 31);
  std::vector<std::string> names;
  {
    Db db(64, 2, dir.path().c_str());
    db.AddThread(dir.path());
    db.AddThread(dir.path());
    for (int p = 0; p < 5; ++p) db.AddPackage();
    ASSERT_TRUE(StoreConcurrently(db.get(), models, 1));
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    ASSERT_TRUE(WaitUntil([&] { return ParkedCount(db.get()) == 3; }));
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    for (std::uint64_t k = 0; k < 3; ++k) names.push_back(Quillbox_GetDatabaseFileName(k, db.get()));
  }
  std::vector<std::string> contents;
  for (const std::string& name : names) contents.push_back(ReadWholeFile(name));
  const std::string bytes = ReadWholeFile(index);
  int imported = 0;
  const auto tryImport = [&](const std::string& variant) {
    // A fresh file each time: rewriting one over a truncation makes the file system
    // flush it, which costs milliseconds.
    std::filesystem::remove(damaged);
    WriteWholeFile(damaged, variant);
    Quillbox* db = ImportOrNull(damaged, 1000);
    if (db == nullptr) return;
    ++imported;
    for (std::uint64_t p = 0; p < Quillbox_GetPackageCount(db); ++p) ReadByCursor(db, p, nullptr, 1 << 20);
    Quillbox_Destroy(db);
  };
  for (std::size_t length = 0; length < bytes.size(); ++length) tryImport(bytes.substr(0, length));
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (const unsigned char mask : {0x01, 0x80, 0xff}) {
      std::string variant = bytes;
      variant[at] = static_cast<char>(variant[at] ^ mask);
      tryImport(variant);
    }
  }
  EXPECT_GT(imported, 0);
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(ReadWholeFile(names[k]), contents[k]) << "file " << k << " changed";
  }
  Quillbox* db = ImportOrNull(index, 1000);
  ASSERT_NE(db, nullptr);
  for (std::size_t p = 0; p < models.size(); ++p) ExpectPackageReadsBack(db, p, models[p]);
  Quillbox_Destroy(db);
}

}  // namespace
}  // namespace qbx::test
