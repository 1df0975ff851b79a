// Faults the fuzz targets of tests/fuzz found, each pinned by the smallest case that
// showed it: locations and damaged chains that made the read path allocate what no file
// bounds, loop along a chain without end, read outside a file, or write into the
// package file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fault_hook.h"
#include "read/item_cursor.h"
#include "read_support.h"
#include "test_support.h"

namespace qbx::test {
namespace {

constexpr std::size_t kItem = 20;  // Larger than the package size: one block per item.

// One package of three items, each in a block of its own in the one thread's file
// (file 0: no package file), saved and closed. Gives the items' locations.
struct Recording {
  TempDir dir;
  std::string index = dir.File("db.index");
  std::string dataFile;
  ItemLocation at[3];
  std::string items[3];

  Recording() {
    Quillbox* db = nullptr;
    EXPECT_EQ(Quillbox_Create(&db, 16, 1000, nullptr), 0);
    const char* name = nullptr;
    EXPECT_EQ(Quillbox_NewThread(&name, dir.path().c_str(), ~0ull, db), 0);
    dataFile = name;
    std::uint64_t package = 1;
    EXPECT_EQ(Quillbox_NewPackage(&package, db), 0);
    for (int i = 0; i < 3; ++i) {
      items[i] = MakeItem(0, i, kItem);
      EXPECT_EQ(Quillbox_Store(0, kItem, items[i].data(), &at[i], db), 0);
    }
    EXPECT_EQ(Quillbox_Synchronize(db), 0);
    EXPECT_EQ(Quillbox_Save(index.c_str(), db), 0);
    Quillbox_Destroy(db);
  }

  std::uint64_t HeaderOf(int i) const { return at[i].pos - at[i].offsetInBlock - 16; }

  // Overwrites the link of item i's block on disk.
  void Link(int i, std::uint64_t pos, std::uint32_t file) const {
    std::fstream out(dataFile, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(HeaderOf(i)));
    const std::string link = Le(pos, 8) + Le(file, 4);
    out.write(link.data(), static_cast<std::streamsize>(link.size()));
  }

  Quillbox* Import() const {
    Quillbox* db = nullptr;
    EXPECT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
    return db;
  }
};

TEST(FuzzRegressions, OpenItemAllocatesNothingForALengthNoBlockHas) {
  Recording r;
  Quillbox* db = r.Import();
  ItemLocation claimed = r.at[0];
  claimed.blockLen = 0xFFFFFFF0u;  // Asked 4 GB of buffer before the header was read.
  ItemCursor* cursor = nullptr;
  EXPECT_EQ(Quillbox_OpenItem(&cursor, &claimed, db), 1);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->buffer, nullptr);
  EXPECT_EQ(cursor->capacity, 0u);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
  Quillbox_Close(&cursor);
  Quillbox_Destroy(db);
}

// A data file cut short after its Save: the index still lists its old size, and a
// block header left whole before the cut named a payload in the lost bytes. The cursor
// sized its buffer by that length (any length an index's listed size allowed) before
// the read failed. The package now ends before the lost block, nothing allocated.
TEST(FuzzRegressions, ABlockInBytesCutFromItsFileEndsThePackageUnread) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  const std::string small = MakeItem(0, 0, kItem);
  const std::string large = MakeItem(0, 1, 1 << 20);
  std::string dataFile;
  ItemLocation at;
  {
    Db db(16, 1000, nullptr);
    dataFile = Quillbox_GetDatabaseFileName(db.AddThread(dir.path()), db.get());
    db.AddPackage();
    ASSERT_EQ(Quillbox_Store(0, kItem, small.data(), nullptr, db.get()), 0);
    ASSERT_EQ(Quillbox_Store(0, large.size(), large.data(), &at, db.get()), 0);
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  }
  // The file ends in the large item's payload, its header whole.
  std::filesystem::resize_file(dataFile, at.pos - at.offsetInBlock + 8);
  Quillbox* db = nullptr;
  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
  ItemCursor* cursor = nullptr;
  ASSERT_EQ(Quillbox_Open(&cursor, 0, db), 0);
  std::string got(64, '\0');
  std::uint64_t count = 0;
  EXPECT_EQ(Quillbox_RecoverContinous(&count, got.size(), got.data(), cursor, db), 0);
  EXPECT_EQ(got.substr(0, count), small);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
  EXPECT_LT(cursor->capacity, large.size());
  Quillbox_Close(&cursor);
  ItemCursor* item = nullptr;
  EXPECT_EQ(Quillbox_OpenItem(&item, &at, db), 1);
  Quillbox_Close(&item);
  Quillbox_Destroy(db);
}

// A middle block whose link leads back to itself or to an earlier block of its file
// made a cursor, RecoverRandomContinous and OpenItem go round for ever (the record's
// last block, which the import checks, was still intact). The package ends there.
TEST(FuzzRegressions, ALinkBackIntoItsOwnFileEndsThePackage) {
  for (const int back : {1, 0}) {  // To itself, to the first block.
    SCOPED_TRACE(back);
    Recording r;
    r.Link(1, r.HeaderOf(back), r.at[back].file);
    Quillbox* db = r.Import();
    const std::string expected = r.items[0] + r.items[1];

    ItemCursor* cursor = nullptr;
    ASSERT_EQ(Quillbox_Open(&cursor, 0, db), 0);
    std::string got(1000, '\0');
    std::uint64_t count = 0;
    EXPECT_EQ(Quillbox_RecoverContinous(&count, got.size(), got.data(), cursor, db), 0);
    EXPECT_EQ(got.substr(0, count), expected);
    EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
    Quillbox_Close(&cursor);

    ASSERT_EQ(Quillbox_OpenItem(&cursor, &r.at[1], db), 0);
    EXPECT_EQ(Quillbox_RecoverContinous(&count, got.size(), got.data(), cursor, db), 0);
    EXPECT_EQ(got.substr(0, count), r.items[1]);
    Quillbox_Close(&cursor);

    ItemLocation walk = r.at[1];
    EXPECT_EQ(Quillbox_RecoverRandomContinous(kItem, got.data(), &walk, db), 0);
    EXPECT_EQ(Quillbox_RecoverRandomContinous(0, nullptr, &walk, db), 0);
    EXPECT_EQ(walk.pos, ~0ull);
    Quillbox_Destroy(db);
  }
}

// The same bent back by way of another file: each block in a file of its own (the
// file limit holds one block), the middle block's link leads to the first block again.
// No link points back into its own file, yet the chain loops; a cursor delivered the
// first two items over and over. It now ends the package at the first block it meets
// again.
TEST(FuzzRegressions, ALoopThroughOtherFilesEndsThePackage) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<std::string> files;
  std::string items[3];
  {
    Db db(16, 1000, nullptr);
    db.AddThread(dir.path(), kItem + 16);
    db.AddPackage();
    for (int i = 0; i < 3; ++i) {
      items[i] = MakeItem(0, i, kItem);
      ASSERT_EQ(Quillbox_Store(0, kItem, items[i].data(), nullptr, db.get()), 0);
    }
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db.get()); ++k) {
      files.push_back(Quillbox_GetDatabaseFileName(k, db.get()));
    }
  }
  ASSERT_EQ(files.size(), 3u);
  {
    std::fstream out(files[1], std::ios::in | std::ios::out | std::ios::binary);
    const std::string link = Le(0, 8) + Le(0, 4);  // To file 0, position 0: the first block.
    out.write(link.data(), static_cast<std::streamsize>(link.size()));
  }
  Quillbox* db = nullptr;
  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
  bool ended = false;
  EXPECT_EQ(ReadByCursor(db, 0, &ended, 1000), items[0] + items[1]);
  EXPECT_TRUE(ended);
  Quillbox_Destroy(db);
}

// RecoverRandom and RecoverRandomContinous read at whatever position a location names:
// one past the end of its file is refused before any read.
TEST(FuzzRegressions, ReadsOfALocationOutsideItsFileAreRefusedUnread) {
  Recording r;
  Quillbox* db = r.Import();
  const std::uint64_t fileSize = ReadWholeFile(r.dataFile).size();
  for (const std::uint64_t pos : {fileSize - 5, fileSize + 100, std::uint64_t{1} << 40}) {
    SCOPED_TRACE(pos);
    ItemLocation outside = r.at[0];
    outside.pos = pos;
    char bytes[10];
    testing::CountCalls();
    EXPECT_EQ(Quillbox_RecoverRandom(sizeof bytes, bytes, &outside, 0, db), 1);
    EXPECT_EQ(Quillbox_RecoverRandomContinous(sizeof bytes, bytes, &outside, db), 1);
    EXPECT_EQ(testing::CallCount(testing::Call::kRead), 0u);
    testing::StopFailingCalls();
  }
  Quillbox_Destroy(db);
}

// Bytes of the package file can look like a block header; a location there named a
// "block" that Replace overwrote, destroying package records.
TEST(FuzzRegressions, ReplaceNeverWritesThePackageFile) {
  TempDir dir;
  Db db(16, 1000, dir.path().c_str());
  db.AddThread(dir.path());
  db.AddPackage();
  db.AddPackage();
  const std::string packageFile = Quillbox_GetDatabaseFileName(0, db.get());
  {
    // Record 0 read as a header: no link, a payload of 10 bytes.
    std::fstream out(packageFile, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(12);
    out.write(Le(10, 4).data(), 4);
  }
  const std::string before = ReadWholeFile(packageFile);
  ASSERT_EQ(before.size(), 88u);
  ItemLocation inRecords{16, 0, 0, 10};
  const std::string bytes(10, 'x');
  EXPECT_EQ(Quillbox_Replace(bytes.size(), bytes.data(), &inRecords, db.get()), 1);
  EXPECT_EQ(ReadWholeFile(packageFile), before);
}

}  // namespace
}  // namespace qbx::test
