// Save and Import: the index file's bytes against the files they describe, reopening
// and carrying on, where Import leaves package records, what survives failed saves,
// crashes and damaged index files; and paths beyond ASCII.
#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "read_support.h"
#include "recording_support.h"
#include "storage/recording.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

std::string Image(Quillbox* db, std::uint64_t package) {
  char image[kPackageRecordSize];
  EncodePackageImage(RecordOf(db, package), image);
  return std::string(image, sizeof image);
}

// The index `db` has just saved: the header, each data file with its length on disk,
// and each package's record or, once parked, the record's place in the package file.
std::string ExpectedIndex(Quillbox* db, const std::vector<std::uint64_t>& maxSizes) {
  const std::uint64_t packages = Quillbox_GetPackageCount(db);
  std::string index = "Quillbox" + Le(1, 4) + Le(0, 4) + Le(Quillbox_GetPackageSize(db), 8);
  index += Le(packages, 8) + Le(db->files.HasPackageFile(), 1) + Le(maxSizes.size(), 8);
  for (std::uint64_t k = 0; k < maxSizes.size(); ++k) {
    const std::string name = Quillbox_GetDatabaseFileName(k, db);
    index += Le(name.size(), 8) + name + Le(fs::file_size(name), 8);
    index += Le(maxSizes[k], 8) + Le(1, 1);
  }
  index += Le(packages, 8);
  for (std::uint64_t n = 0; n < packages; ++n) {
    const bool parked = db->packages.Entry(n).lock->written;
    index += parked ? Le(1, 1) + Le(44 * n, 8) : Le(0, 1) + Image(db, n);
  }
  return index;
}

struct IndexLayout : Harness, ::testing::WithParamInterface<bool> {};

// Saves that fail (into a missing folder, or at each write of the index in turn) return
// 1 without a message and leave the previous index, or none, and no temporary file.
// Every index saved is checked byte by byte. Reopened with a queue limit of 1000, then
// of 0 (which parks every record in memory at once), the database has every record as
// saved, reads everything back, and goes on with more threads, packages and items.
TEST_P(IndexLayout, IndexMatchesTheFilesAndTheDatabaseReopensAndGoesOn) {
  const bool packageFile = GetParam();
  std::vector<std::uint64_t> maxSizes = {~0ull, 50000};
  if (packageFile) maxSizes.insert(maxSizes.begin(), ~0ull);
  Create(256, packageFile ? 2 : 1000, packageFile, {~0ull, 50000}, 5, 40, 700);
  ASSERT_TRUE(StoreAndSync(~std::size_t{0}, packageFile ? 3 : 0));  // Until two records wait.
  for (const std::uint64_t limit : {1000ull, 0ull, 1ull}) {
    const std::string before = ReadWholeFile(index);
    const std::size_t entries = dir.Entries().size();
    EXPECT_EQ(Quillbox_Save(dir.File("missing/db.index").c_str(), db), 1);
    for (std::uint64_t skip = 0;; ++skip) {
      qbx::testing::ArmFault(qbx::testing::Fault::kShortWrite, skip);
      const bool saved = SaveIndex();
      qbx::testing::DisarmFault();
      if (saved) break;
      ASSERT_TRUE(ReadWholeFile(index) == before && dir.Entries().size() == entries) << skip;
      ASSERT_LT(skip, 1000u);
    }
    EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
    EXPECT_EQ(ReadWholeFile(index), ExpectedIndex(db, maxSizes));
    EXPECT_EQ(dir.Entries().size(), entries + before.empty()) << "no temporary file";
    if (limit == 1) break;
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::vector<std::string> images;  // Whether each record is parked, then the record.
    for (std::uint64_t p = 0; p < models.size(); ++p) {
      images.push_back(Le(db->packages.Entry(p).lock->written, 1) + Image(db, p));
    }
    Reopen(limit);
    EXPECT_TRUE(Quillbox_GetPackageSize(db) == 256 && Quillbox_GetThreadCount(db) == 0);
    for (std::size_t p = 0; p < models.size(); ++p) {
      EXPECT_EQ(Image(db, p), images[p].substr(1)) << p;
      // Held records stay in memory whatever the limit: an import writes nothing.
      EXPECT_EQ(db->packages.Entry(p).lock->written.load(), images[p][0] == 1) << p;
    }
    ExpectAllReadBack();
    AddThread();
    maxSizes.push_back(~0ull);
    for (int n = 0; n < 2; ++n) AddPackage();
    AddItems(30, 700);
    const int parked = packageFile && limit == 0 ? static_cast<int>(models.size()) : -1;
    ASSERT_TRUE(StoreAndSync(~std::size_t{0}, parked));
  }
}

INSTANTIATE_TEST_SUITE_P(PackageFile, IndexLayout, ::testing::Bool());

// Stores 25 items per package, saves, and stores 15 more; then exits in a child without
// Destroy, or destroys the database and, when `torn`, cuts each data file back to its
// saved length and one block header (blocks lost in a crash while links to them reached
// the disk). The saved index gives every saved byte, each file's size is its length on
// disk, and new items join each chain where readers find it ending (after the blocks
// stored since the Save that the listed files hold whole), without overwriting any
// bytes stored before.
struct Import : Harness {
  void Cycle(bool crash, bool torn, std::uint64_t maxQueued, std::uint64_t maxFileSize) {
    if (crash) QUILLBOX_SKIP_WITHOUT_FORK();
    std::vector<std::pair<std::string, std::uintmax_t>> saved;
    const int parked = maxQueued == 0 ? 4 : 0;
    for (int p = 0; p < 4; ++p) models.emplace_back();
    AddItems(40, 400);
    const auto run = [&] {
      Create(200, maxQueued, true, {maxFileSize, ~0ull}, 4, 0);
      EXPECT_TRUE((crash ? StoreConcurrently(2, 25) : StoreAndSync(25, parked)) && SaveIndex());
      for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
        const std::string name = Quillbox_GetDatabaseFileName(k, db);
        saved.emplace_back(name, fs::file_size(name));
      }
      EXPECT_TRUE(crash ? StoreConcurrently(2) : StoreAndSync(~std::size_t{0}, parked));
      if (!crash) Close();
      return HasFailure() ? 1 : 0;
    };
#if !defined(_WIN32)
    ASSERT_EQ(crash ? RunInChild(run) : run(), 0);
#else
    ASSERT_EQ(run(), 0);
#endif
    for (std::size_t k = 1; torn && k < saved.size(); ++k) {
      const auto& [name, size] = saved[k];
      fs::resize_file(name, std::min(size + kBlockHeaderSize, fs::file_size(name)));
    }
    Reopen(maxQueued);
    for (std::size_t k = 0; k < saved.size(); ++k) {
      MutexLock lock(db->files.At(k).mutex);
      EXPECT_EQ(db->files.At(k).size, fs::file_size(saved[k].first)) << "file " << k;
    }
    AddThread();
    // Items stored after the save went with the files cut back or not listed.
    const std::size_t kept = torn || maxFileSize != ~0ull ? 25 : 40;
    for (std::uint64_t p = 0; p < 4; ++p) {
      bool ended = false;
      const std::string read = ReadByCursor(db, p, &ended), want = models[p].Joined(25);
      EXPECT_TRUE(read.compare(0, want.size(), want) == 0 && ended && (!torn || read == want))
          << "package " << p << ": " << read.size() << " of " << want.size();
      ASSERT_EQ(Quillbox_Store(p, 4, "more", nullptr, db), 0);
      ASSERT_EQ(Quillbox_SynchronizePackage(p, db), 0);
      const std::string after = ReadByCursor(db, p);
      EXPECT_TRUE(crash ? after.compare(0, want.size(), want) == 0 && after.ends_with("more")
                        : after == read + "more") << "package " << p;
      for (std::size_t i = 0; !crash && i < kept; ++i) ASSERT_TRUE(ReadsBack(p, i)) << i;
    }
  }
};
using CrashSafety = Import;

// Records parked after the save name files that the saved index does not list.
TEST_F(Import, OlderIndexStillReadsPackagesParkedSinceTheSave) { Cycle(false, false, 0, 1000); }
TEST_F(Import, NewStoresLandAfterTheBytesStoredSinceTheSave) { Cycle(false, false, 1000, ~0ull); }
TEST_F(Import, ChainsTornByACrashAfterTheSaveEndWhereTheSaveEnded) { Cycle(false, true, 0, ~0ull); }
TEST_F(Import, ChainsHeldInTheIndexTornByACrashEndWhereSaved) { Cycle(false, true, 1000, ~0ull); }
TEST_F(CrashSafety, SavedBytesSurviveAnExitWithoutDestroy) { Cycle(true, false, 2, ~0ull); }
TEST_F(CrashSafety, SavedBytesSurviveAnExitWithoutDestroyAfterRollingOver) {
  Cycle(true, false, 0, 1000);
}

// A link that an import reads as none (it leads to a file the index does not list)
// still leads on on disk. Once the imported database makes a file with that index and
// saves, the link would join package 0 to package 1's block in the next import: Save
// writes it as no link first.
TEST(StaleLink, ASaveWritesItAsNoLinkBeforeAFileTakesTheIndexItNames) {
  TempDir dir;
  const std::string a = dir.File("a.index"), c = dir.File("c.index");
  const std::string first(10, 'A'), second(10, 'B'), third(10, 'C'), other(10, 'Q');
  {
    // One block of package 0, saved; then a block beside it and one in a new file (the
    // file rolls over at 64 bytes), which is deleted with the database, never saved.
    Db db(8, 1000, nullptr);
    db.AddThread(dir.path(), 64);
    db.AddPackage();
    ASSERT_TRUE(StoreEach(db.get(), 0, {first}) && Quillbox_Save(a.c_str(), db.get()) == 0);
    ASSERT_TRUE(StoreEach(db.get(), 0, {second, third}) && Quillbox_Synchronize(db.get()) == 0);
    ASSERT_EQ(Quillbox_GetFileCount(db.get()), 2u);
  }
  {
    Db db = Imported(a, 1000);
    const std::string file0 = Quillbox_GetDatabaseFileName(0, db.get());
    EXPECT_EQ(ReadWholeFile(file0).substr(26, 12), Le(0, 8) + Le(1, 4)) << "the link on disk";
    ASSERT_EQ(ReadByCursor(db.get(), 0), first + second);
    db.AddThread(dir.path());  // File 1 again, a new one.
    db.AddPackage();
    ASSERT_TRUE(StoreEach(db.get(), 1, {other}) && Quillbox_Synchronize(db.get()) == 0);
    ASSERT_EQ(Quillbox_Save(c.c_str(), db.get()), 0);
    EXPECT_EQ(ReadWholeFile(file0).substr(26, 12), Le(~0ull, 8) + Le(0, 4));
  }
  EXPECT_EQ(Packages(Imported(c, 1000).get()), (std::vector<std::string>{first + second, other}));
}

// A record parked after the Save names a block in a file the saved index does not list.
// Import ends its chain at the last saved block, and a Save of the imported database
// writes the record so too: the package file then agrees with the chain, as the
// recording's checker sees it, and the next import reads the same items.
TEST(StaleLink, ASaveWritesAParkedRecordWhoseChainImportCutBack) {
  TempDir dir;
  const std::string a = dir.File("a.index"), b = dir.File("b.index");
  const std::string first(10, 'A'), second(10, 'B'), third(10, 'C');
  {
    // Blocks of 26 bytes in files of at most 64: the third block starts file 2.
    Db db(8, 0, dir.path().c_str());
    db.AddThread(dir.path(), 64);
    db.AddPackage();
    ASSERT_TRUE(StoreEach(db.get(), 0, {first}) && Quillbox_Synchronize(db.get()) == 0);
    // Parked at the Save: the index points to the record in the package file.
    ASSERT_TRUE(WaitUntil([&] { return db->packages.Entry(0).lock->written.load(); }));
    ASSERT_EQ(Quillbox_Save(a.c_str(), db.get()), 0);
    ASSERT_TRUE(StoreEach(db.get(), 0, {second, third}) && Quillbox_Synchronize(db.get()) == 0);
    ASSERT_EQ(Quillbox_GetFileCount(db.get()), 3u);
    const std::string packageFile = Quillbox_GetDatabaseFileName(0, db.get());
    ASSERT_TRUE(WaitUntil([&] {
      return DecodePackageImage(ReadWholeFile(packageFile).data()).lastBlockFile == 2;
    })) << "the record is parked naming file 2";
  }
  std::string packageFile, atImport;
  {
    Db db = Imported(a, 0);
    packageFile = Quillbox_GetDatabaseFileName(0, db.get());
    atImport = ReadByCursor(db.get(), 0);
    ASSERT_TRUE(atImport == first || atImport == first + second) << atImport;
    // The read loaded the record; the database writer parks it again, unchanged.
    ASSERT_TRUE(WaitUntil([&] { return db->packages.Entry(0).lock->written.load(); }));
    ASSERT_EQ(Quillbox_Save(b.c_str(), db.get()), 0);
  }
  const PackageImage record = DecodePackageImage(ReadWholeFile(packageFile).data());
  EXPECT_EQ(record.lastBlockFile, 1u);
  EXPECT_EQ(record.lastBlockPos, atImport.size() == first.size() ? 0u : 26u);
  const Recording recording(b);
  const RecordLookup lookup = recording.Record(0);
  ASSERT_FALSE(lookup.fault);
  const WalkResult walk = recording.Walk(lookup.image, lookup.place, {});
  EXPECT_FALSE(walk.fault) << walk.fault->what;
  EXPECT_EQ(ReadByCursor(Imported(b, 0).get(), 0), atImport);
}

// A data file cut short after its Save below the last block an index holds for a
// package: the chain ends at the last block the file still holds whole, new items are
// linked from there, and replay gives them back at once.
TEST(CutFile, NewItemsAreLinkedFromTheLastBlockTheFileStillHolds) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::string items[3], file;
  {
    Db db(8, 1000, nullptr);
    db.AddThread(dir.path());
    db.AddPackage();
    for (int i = 0; i < 3; ++i) items[i] = MakeItem(0, i, 10);
    ASSERT_TRUE(StoreEach(db.get(), 0, {items[0], items[1], items[2]}));
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    file = Quillbox_GetDatabaseFileName(0, db.get());
  }
  fs::resize_file(file, 2 * 26 + 5);  // Two whole blocks and part of the third.
  Db db = Imported(index, 1000);
  ASSERT_EQ(ReadByCursor(db.get(), 0), items[0] + items[1]);
  db.AddThread(dir.path());
  ASSERT_TRUE(StoreEach(db.get(), 0, {"more"}) && Quillbox_SynchronizePackage(0, db.get()) == 0);
  EXPECT_EQ(ReadByCursor(db.get(), 0), items[0] + items[1] + "more");
}

// A crash after a file grew but before its new bytes reached the disk leaves zeros,
// which read as a block header with no payload and a link to offset 0 of file 0 (here
// another package's block). A link patch that did reach the disk points the package's
// last block at them. The package ends before the zeros: it never runs on into the
// other package's block, and its next block is linked from its own last one.
TEST(StaleLink, ZerosGrownByACrashEndThePackageBeforeAnotherPackagesBlock) {
  TempDir dir;
  const std::string a = dir.File("a.index"), b = dir.File("b.index");
  const std::string other = MakeItem(0, 0, 100), target = MakeItem(1, 0, 100);
  std::string file0, file1;
  {
    // No package file: file 0 holds blocks. The file limit holds one block per file.
    Db db(8, 1000, nullptr);
    db.AddThread(dir.path(), 120);
    for (int p = 0; p < 2; ++p) db.AddPackage();
    ASSERT_TRUE(StoreEach(db.get(), 0, {other}) && Quillbox_Synchronize(db.get()) == 0);
    ASSERT_TRUE(StoreEach(db.get(), 1, {target}) && Quillbox_Synchronize(db.get()) == 0);
    ASSERT_EQ(Quillbox_GetFileCount(db.get()), 2u);
    ASSERT_EQ(Quillbox_Save(a.c_str(), db.get()), 0);
    file0 = Quillbox_GetDatabaseFileName(0, db.get());
    file1 = Quillbox_GetDatabaseFileName(1, db.get());
  }
  const std::string block = ReadWholeFile(file1);
  ASSERT_EQ(block.size(), kBlockHeaderSize + 100);
  WriteFile(file1, Le(block.size(), 8) + Le(1, 4) + block.substr(kLinkSize) +
                       std::string(block.size(), '\0'));
  {
    Db db = Imported(a, 1000);
    EXPECT_EQ(Packages(db.get()), (std::vector<std::string>{other, target}));
    db.AddThread(dir.path());
    ASSERT_TRUE(StoreEach(db.get(), 1, {"more"}) && Quillbox_Synchronize(db.get()) == 0);
    EXPECT_EQ(Packages(db.get()), (std::vector<std::string>{other, target + "more"}));
    ASSERT_EQ(Quillbox_Save(b.c_str(), db.get()), 0);
    EXPECT_EQ(ReadWholeFile(file0).substr(0, kLinkSize), Le(kNone, 8) + Le(0, 4)) << "other's";
    EXPECT_EQ(ReadWholeFile(file1).substr(0, kLinkSize), Le(0, 8) + Le(2, 4)) << "target's";
  }
  EXPECT_EQ(Packages(Imported(b, 1000).get()), (std::vector<std::string>{other, target + "more"}));
}

// Every prefix of an index, and every byte of it changed, either imports or fails
// cleanly; neither changes a data file. The type marker alone is an empty database;
// less of it, or a changed marker, is refused.
TEST_F(Import, TruncatedOrFlippedIndexNeverCrashes) {
  Create(64, 2, true, {~0ull, ~0ull}, 5, 8, 200);
  ASSERT_TRUE(StoreAndSync(~std::size_t{0}, 3) && SaveIndex());
  std::vector<std::string> names, contents;
  for (std::uint64_t k = 0; k < 3; ++k) names.push_back(Quillbox_GetDatabaseFileName(k, db));
  Close();
  for (const std::string& name : names) contents.push_back(ReadWholeFile(name));
  const std::string bytes = ReadWholeFile(index), damaged = dir.File("damaged.index");
  const int masks[] = {0x01, 0x80, 0xff};
  int imported = 0;
  for (std::size_t at = 0; at < 4 * bytes.size(); ++at) {  // Each prefix, each byte 3 ways.
    std::string variant = bytes.substr(0, at % 4 == 0 ? at / 4 : bytes.size());
    if (at % 4 != 0) variant[at / 4] = static_cast<char>(variant[at / 4] ^ masks[at % 4 - 1]);
    fs::remove(damaged);  // Rewriting a truncated file makes the file system flush it.
    std::ofstream(damaged, std::ios::binary) << variant;
    const bool ok = Quillbox_Import(&db, damaged.c_str(), 1000) == 0;
    EXPECT_TRUE(at > 32 || ok == (at == 32)) << "marker " << variant;
    if (!ok) continue;
    EXPECT_TRUE(at != 32 || Quillbox_GetPackageCount(db) + Quillbox_GetFileCount(db) == 0);
    ++imported;
    for (std::uint64_t p = 0; p < Quillbox_GetPackageCount(db); ++p) {
      ReadByCursor(db, p, nullptr, 1 << 20);
    }
    Close();
  }
  EXPECT_GT(imported, 0);
  for (std::size_t k = 0; k < names.size(); ++k) EXPECT_EQ(ReadWholeFile(names[k]), contents[k]);
}

// An index that ends inside its header reads every field before the one it ends in;
// that field and all after it read as absent. A shorter field further on, the one-byte
// package-file flag say, must not take bytes of a field that was cut.
TEST(ImportHeader, AnIndexCutInsideItsHeaderReadsOnlyTheFieldsBeforeTheCut) {
  TempDir dir;
  const std::string index = dir.File("db.index"), cut = dir.File("cut.index");
  {
    Db db(64, 1000, nullptr);  // No package file, no data files, no packages.
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  }
  const std::string bytes = ReadWholeFile(index);
  ASSERT_EQ(bytes.size(), 49u);  // The header and the package count.
  for (std::size_t length = 8; length < bytes.size(); ++length) {
    SCOPED_TRACE(std::to_string(length) + " bytes");
    WriteFile(cut, bytes.substr(0, length));
    Db db = Imported(cut, 1000);
    EXPECT_EQ(Quillbox_GetPackageSize(db.get()), length >= 24 ? 64u : 0u) << length;
    EXPECT_EQ(Quillbox_GetFileCount(db.get()) + Quillbox_GetPackageCount(db.get()), 0u);
  }
}

// A parked record whose chain loops back (its last block linking to its first) in a
// file that the index lists as far longer than it is: loading the record back ends
// the walk at the link that goes backwards, at once, instead of walking the loop for
// as many steps as the listed size could hold blocks.
TEST_F(Import, LoopingChainOfAParkedRecordEndsAtOnce) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  models.emplace_back();
  AddItems(12, 60);
  Create(64, 0, true, {~0ull}, 1, 0);
  ASSERT_TRUE(StoreAndSync(~std::size_t{0}, 1) && SaveIndex());
  const std::vector<Block> chain = ReadChain(db, 0);
  ASSERT_GE(chain.size(), 2u);
  const std::string dataFile = Quillbox_GetDatabaseFileName(1, db);
  Close();
  // The last block links back to the first.
  std::string bytes = ReadWholeFile(dataFile);
  bytes.replace(chain.back().headerPos, kLinkSize,
                Le(chain.front().headerPos, 8) + Le(chain.front().file, 4));
  WriteFile(dataFile, bytes);
  // Data file 1's listed size becomes 2^40: its entry follows the package file's.
  bytes = ReadWholeFile(index);
  const std::uint64_t second = 41 + 8 + GetFixed64(bytes.data() + 41) + 17;
  const std::uint64_t sizeAt = second + 8 + GetFixed64(bytes.data() + second);
  ASSERT_EQ(GetFixed64(bytes.data() + sizeAt), fs::file_size(dataFile));
  WriteFile(index, bytes.replace(sizeAt, 8, Le(std::uint64_t{1} << 40, 8)));
  EXPECT_EQ(RunInChild([&] {
              alarm(30);  // The walk of the loop would take hours.
              Quillbox* imported = nullptr;
              if (Quillbox_Import(&imported, index.c_str(), 0) != 0) return 1;
              const bool whole = ReadByCursor(imported, 0, nullptr, 1 << 20) == models[0].Joined();
              Quillbox_Destroy(imported);
              return whole ? 0 : 2;
            }),
            0);
#endif
}

// Every record parked in the package file, saved, and the database closed.
struct ParkedRecords : Harness {
  // Sets `packageFile` to the package file's path.
  void SaveParkedAndClose(int packages, std::size_t items, std::string* packageFile) {
    Create(64, 0, true, {~0ull}, packages, items, 60);
    ASSERT_TRUE(StoreAndSync(~std::size_t{0}, packages));
    ASSERT_TRUE(SaveIndex());
    *packageFile = Quillbox_GetDatabaseFileName(0, db);
    Close();
  }
};

enum class Loaded { kRefused, kEmpty, kWhole };

struct DamagedRecord {
  const char* name;
  std::size_t at;     // Offset in the record.
  std::string bytes;  // Written there.
  Loaded loaded;
};

// Records parked in the package file, damaged after the Save, loaded back after an
// Import. One that names another package, or has a last block but no first, is
// refused: reads and stores of its package fail and the record stays as it was. One
// whose chain does not start in a block file is taken as empty, as a package whose
// first block was stored after the Save; one whose last block lies in a file the index
// does not list is followed from its first block to where its chain really ends. The
// other package reads back whole, and no writer fails.
TEST_F(ParkedRecords, DamagedRecordIsRefusedOrCutBackOnLoad) {
  std::string packageFile;
  ASSERT_NO_FATAL_FAILURE(SaveParkedAndClose(2, 12, &packageFile));
  const std::string saved = ReadWholeFile(packageFile);
  ASSERT_EQ(saved.size(), 2 * kPackageRecordSize);
  const DamagedRecord cases[] = {
      {"another package", 32, Le(0, 8), Loaded::kRefused},
      // 44 times this number wraps around to 44 times 1.
      {"a package number that wraps", 32, Le(1 + (std::uint64_t{1} << 62), 8), Loaded::kRefused},
      {"a last block but no first", 0, Le(~0ull, 8), Loaded::kRefused},
      // Read as a block, the "last block" would be record 0, and its bytes a link.
      {"no first block, a last in the package file", 0,
       Le(~0ull, 8) + Le(0, 8) + Le(0, 8) + Le(0, 4), Loaded::kRefused},
      {"no first block, a last in no file", 0, Le(~0ull, 8) + Le(0, 8) + Le(0, 8) + Le(7, 4),
       Loaded::kRefused},
      {"first block in the package file", 8, Le(0, 4), Loaded::kEmpty},
      {"last block in an unlisted file", 24, Le(9, 4), Loaded::kWhole},
  };
  for (const DamagedRecord& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = saved;
    bytes.replace(kPackageRecordSize + c.at, c.bytes.size(), c.bytes);
    WriteFile(packageFile, bytes);
    ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 0), 0);
    AddThread();
    const std::uint8_t stored = Quillbox_Store(1, 5, "hello", nullptr, db);
    if (c.loaded == Loaded::kRefused) {
      EXPECT_TRUE(OpenResult(db, 1) == 1 && stored == 1);
    } else {
      EXPECT_TRUE(stored == 0 && Quillbox_SynchronizePackage(1, db) == 0);
      EXPECT_EQ(ReadByCursor(db, 1),
                (c.loaded == Loaded::kWhole ? models[1].Joined() : std::string()) + "hello");
    }
    EXPECT_EQ(ReadByCursor(db, 0), models[0].Joined());
    EXPECT_FALSE(db->HasFailed());
    // A Save touches no record but those it writes.
    const std::string again = dir.File("again.index");
    ASSERT_EQ(Quillbox_Save(again.c_str(), db), 0);
    Close();
    if (c.loaded == Loaded::kRefused) {
      EXPECT_EQ(ReadWholeFile(packageFile), bytes) << "the refused record stays as it was";
    }
    EXPECT_EQ(ReadByCursor(Imported(again, 0).get(), 0), models[0].Joined());
  }
}

// A package file cut short after its Save: the records parked in the lost bytes are
// refused when they are loaded, their packages alone. The import succeeds, the record
// the file still holds reads back, and the database goes on.
TEST_F(ParkedRecords, RecordsCutFromThePackageFileAreRefusedAlone) {
  std::string packageFile;
  ASSERT_NO_FATAL_FAILURE(SaveParkedAndClose(4, 6, &packageFile));
  ASSERT_EQ(fs::file_size(packageFile), 4 * kPackageRecordSize);
  fs::resize_file(packageFile, kPackageRecordSize);
  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 0), 0);
  EXPECT_EQ(ReadByCursor(db, 0), models[0].Joined());
  for (std::uint64_t p = 1; p < 4; ++p) EXPECT_EQ(OpenResult(db, p), 1) << "package " << p;
  AddThread();
  EXPECT_EQ(Quillbox_Store(1, 5, "hello", nullptr, db), 1);
  ASSERT_TRUE(StoreEach(db, 0, {"hello"}) && Quillbox_SynchronizePackage(0, db) == 0);
  EXPECT_EQ(ReadByCursor(db, 0), models[0].Joined() + "hello");
  EXPECT_FALSE(db->HasFailed());
}

// Bytes written past the cut (here a new package's placeholder) leave a hole of zeros
// where the lost records were: record 0 there reads as package 0 with no block, yet it
// is still refused, and package 0's items are not taken for none.
TEST_F(ParkedRecords, ARecordInAHoleBehindTheCutIsRefusedToo) {
  std::string packageFile;
  ASSERT_NO_FATAL_FAILURE(SaveParkedAndClose(2, 6, &packageFile));
  fs::resize_file(packageFile, 0);
  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 0), 0);
  AddPackage();
  ASSERT_EQ(fs::file_size(packageFile), 3 * kPackageRecordSize);
  EXPECT_EQ(OpenResult(db, 0), 1);
  EXPECT_FALSE(db->HasFailed());
}

// A record held in the index with a last block but no first, or the reverse, would
// have the next Store link another package's block (the one it names) to its own:
// the import is refused and makes no database.
TEST_F(Import, HeldRecordWithOnlyOneEndOfItsChainIsRefused) {
  Create(64, 1000, false, {~0ull}, 2, 6, 60);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string dataFile = Quillbox_GetDatabaseFileName(0, db);
  Close();
  const std::string saved = ReadWholeFile(index), data = ReadWholeFile(dataFile);
  // The two held entries end the index: a flag byte, then the record.
  const std::size_t record0 = saved.size() - 2 * kHeldEntrySize + 1;
  const std::size_t record1 = record0 + kHeldEntrySize;
  ASSERT_EQ(saved.substr(record0 + 32, 8), Le(0, 8));
  ASSERT_EQ(saved.substr(record1 + 32, 8), Le(1, 8));
  const std::string none = Le(~0ull, 8) + Le(0, 4);
  struct Case {
    const char* name;
    std::size_t at;     // Offset in package 1's record.
    std::string bytes;  // Written there.
  } cases[] = {
      // The last block package 0's record names.
      {"a last block but no first", 0, none + Le(0, 4) + saved.substr(record0 + 16, 12)},
      {"a first block but no last", 16, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = saved;
    bytes.replace(record1 + c.at, c.bytes.size(), c.bytes);
    WriteFile(index, bytes);
    EXPECT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 1);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(ReadWholeFile(dataFile), data);
  }
}

using Save = Harness;

// Saves in a child under file-size limits that stop the index part way never leave an
// index, short or whole, under the target name.
TEST_F(Save, FileSizeLimitNeverLeavesAShortIndex) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  ASSERT_EQ(RunInChild([&] {
              signal(SIGXFSZ, SIG_IGN);
              Create(64, 1000, false, {~0ull}, 120, 0);  // An index of 5.5 KB.
              for (int p = 0; p < 120; ++p) EXPECT_EQ(Quillbox_Store(p, 1, "x", nullptr, db), 0);
              EXPECT_TRUE(SaveIndex());
              rlimit cap{};  // The hard limit stays, as raising it needs root.
              EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &cap), 0);
              for (const rlim_t limit : {1, 41, 4095, 4096, 5000}) {
                cap.rlim_cur = limit;
                AddPackage();  // The next index is longer.
                EXPECT_TRUE(setrlimit(RLIMIT_FSIZE, &cap) == 0 && !SaveIndex());
                EXPECT_EQ(Quillbox_Save(dir.File("second.index").c_str(), db), 1);
              }
              return HasFailure() ? 1 : 0;
            }),
            0);
  EXPECT_EQ(dir.Entries().size(), 2u) << "the first index and the data file, nothing else";
  Reopen(1000);  // The first index is whole.
  EXPECT_EQ(Quillbox_GetPackageCount(db), 120u);
  EXPECT_EQ(ReadByCursor(db, 119), "x");
#endif
}

// Saves while another thread adds packages: each index counts the packages its table
// lists (one count for both), so every one of them imports.
TEST_F(Save, IndexSavedWhilePackagesAreAddedImports) {
  Create(64, 1000, true, {~0ull}, 1, 0);
  std::atomic<bool> done{false};
  std::thread adder([&] {
    for (int n = 0; n < 4000 && !done.load(); ++n) {
      std::uint64_t package = 0;
      if (Quillbox_NewPackage(&package, db) != 0) break;
    }
  });
  std::vector<std::string> indexes;
  for (int k = 0; k < 12; ++k) {
    indexes.push_back(dir.File("while" + std::to_string(k) + ".index"));
    EXPECT_EQ(Quillbox_Save(indexes.back().c_str(), db), 0);
  }
  done.store(true);
  adder.join();
  for (const std::string& saved : indexes) {
    EXPECT_GE(Quillbox_GetPackageCount(Imported(saved, 1000).get()), 1u) << saved;
  }
}

fs::path Utf8Path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

using Paths = Harness;

// Sixty data files of one template get distinct names (the Windows run-time's own name
// function gives 26) in a folder named beyond ASCII (up to U+1F600, a surrogate pair in
// UTF-16), and the database is saved and imported there. Invalid UTF-8 is refused.
TEST_F(Paths, DatabaseInAFolderWithCharactersBeyondAscii) {
  folder = dir.path() + kSeparator + "d\xc3\xa9j\xc3\xa0 \xe4\xb8\xad \xf0\x9f\x98\x80";
  index = folder + kSeparator + "index \xf0\x9f\x98\x80";
  const std::string bad = dir.path() + kSeparator + "bad\xff";
  ASSERT_TRUE(fs::create_directory(Utf8Path(folder)));
  Create(128, 4, true, std::vector<std::uint64_t>(60, 1000), 2, 10);
  std::set<std::string> names;
  for (std::uint64_t k = 1; k <= 60; ++k) names.insert(Quillbox_GetDatabaseFileName(k, db));
  EXPECT_EQ(std::distance(fs::directory_iterator(Utf8Path(folder)), fs::directory_iterator()), 61);
  EXPECT_EQ(names.size(), 60u);
  EXPECT_EQ(names.begin()->rfind(folder + kSeparator + "quillbox.", 0), 0u);
  const char* path = nullptr;
  EXPECT_EQ(Quillbox_NewThread(&path, bad.c_str(), 1000, db), 1);
  EXPECT_EQ(Quillbox_Save(bad.c_str(), db) + Quillbox_RelocateFileTo(1, bad.c_str(), 0, db), 2);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  Reopen(4);
  Quillbox* imported = nullptr;
  EXPECT_TRUE(Quillbox_Import(&imported, bad.c_str(), 4) == 1 && imported == nullptr);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_TRUE(ReadsBack(i % 2, i / 2));
  EXPECT_EQ(ReadByCursor(db, 1), models[1].Joined());
}

// A folder path longer than Windows' classic limit of 260 units: files are made, saved,
// relocated and imported there as anywhere else.
TEST_F(Paths, DatabaseInAFolderBeyondTheClassicPathLimit) {
  folder = dir.path();
  for (const char part : {'a', 'b', 'c'}) folder += kSeparator + std::string(100, part);
  index = folder + kSeparator + "index";
#if defined(_WIN32)
  // The test's own file calls need the extended form there.
  const fs::path native = Utf8Path("\\\\?\\" + fs::absolute(Utf8Path(folder)).string());
#else
  const fs::path native = Utf8Path(folder);
#endif
  ASSERT_TRUE(fs::create_directories(native));
  Create(128, 4, true, {1000, ~0ull}, 2, 10);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string moved = folder + kSeparator + "moved";
  EXPECT_EQ(Quillbox_RelocateFileTo(1, moved.c_str(), 1, db), 0);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), moved);
  ASSERT_TRUE(SaveIndex());
  Reopen(4);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_TRUE(ReadsBack(i % 2, i / 2));
  EXPECT_EQ(ReadByCursor(db, 1), models[1].Joined());
#if defined(_WIN32)
  // The form the system needs for such paths (Wine opens them without it).
  EXPECT_EQ(ToWidePath(folder).rfind(LR"(\\?\)", 0), 0u);
  EXPECT_EQ(ToWidePath(R"(\\server\share\)" + std::string(300, 'x')),
            LR"(\\?\UNC\server\share\)" + std::wstring(300, L'x'));
  EXPECT_EQ(ToWidePath("short/name"), L"short/name");
  {
    // A relative path counts with the working folder before it.
    WorkingFolder here(dir.path());
    const std::string relative =
        std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\" + std::string(40, 'x');
    EXPECT_EQ(ToWidePath(relative).rfind(LR"(\\?\)", 0), 0u);
  }
  // Another spelling of a data file there is still that file.
  std::string upper = Quillbox_GetDatabaseFileName(2, db);
  for (char& c : upper) c = c == 'a' ? 'A' : c;
  EXPECT_EQ(Quillbox_Save(upper.c_str(), db), 1);
  // The folder moves up, where the fixture's removal reaches it.
  Close();
  fs::rename(native, Utf8Path(dir.File("moved up")));
#endif
}

}  // namespace
}  // namespace qbx::test
