// Store through the C API: the states of an ItemLocation (buffered, placed), the
// boundary between the fast path and a hand-over, items larger than a package,
// zero-byte items, call order across hand-overs, and the calls Store must refuse.
#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

struct Where {
  std::uint64_t pos;
  std::uint32_t file, offsetInBlock, blockLen;
  bool operator==(const Where&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Where& w) {
  return out << "{pos " << w.pos << ", file " << w.file << ", offset " << w.offsetInBlock
             << ", blockLen " << w.blockLen << "}";
}

Where Read(const ItemLocation& location) {
  return {LoadPos(&location), LoadFile(&location), LoadOffsetInBlock(&location),
          LoadBlockLen(&location)};
}

Where Buffered(std::uint32_t offset) { return {offset, kInMemory, offset, kNoLength}; }

// Placed in `file` inside the block whose header is at `headerPos`.
Where InBlock(std::uint32_t file, std::uint64_t headerPos, std::uint32_t offset,
              std::uint32_t blockLen) {
  return {headerPos + kBlockHeaderSize + offset, file, offset, blockLen};
}

bool Placed(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

class StoreTest : public ::testing::Test {
 protected:
  // One thread (data file 0), no package file, and a queue that never makes the
  // database writer flush: only hand-overs and synchronisation write blocks.
  StoreTest() : db_(64, 1000, nullptr) {
    db_.AddThread(dir_.path());
    package_ = db_.AddPackage();
  }
  std::uint8_t Put(const std::string& item, ItemLocation* location = nullptr) {
    return Quillbox_Store(package_, item.size(), item.data(), location, db_.get());
  }
  std::uint8_t Sync() { return Quillbox_SynchronizePackage(package_, db_.get()); }

  TempDir dir_;
  Db db_;
  std::uint64_t package_ = 0;
};

TEST_F(StoreTest, FastPathItemsAreBufferedAtTheirOffsetThenPlacedByTheFormulas) {
  const std::string first = MakeItem(10, 0, 64), a = MakeItem(10, 1, 10), b = MakeItem(10, 2, 20);
  ASSERT_EQ(Put(first), 0);
  ASSERT_EQ(Sync(), 0);  // Block [first] at 0; the next block starts at 80.
  ItemLocation la, lb;
  ASSERT_EQ(Put(a, &la), 0);
  ASSERT_EQ(Put(b, &lb), 0);
  EXPECT_EQ(Read(la), Buffered(0));
  EXPECT_EQ(Read(lb), Buffered(10));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(la), InBlock(0, 80, 0, 30));
  EXPECT_EQ(Read(lb), InBlock(0, 80, 10, 30));
  FlushFiles(db_.get());
  const std::string file = ReadWholeFile(Quillbox_GetDatabaseFileName(0, db_.get()));
  EXPECT_EQ(file.substr(la.pos, 10), a);
  EXPECT_EQ(file.substr(lb.pos, 20), b);
}

TEST_F(StoreTest, PackageSizeMinusOneStaysBufferedWhilePackageSizeIsHandedOver) {
  ItemLocation l63, l64, l10, l53, l1;
  ASSERT_EQ(Put(MakeItem(11, 0, 63), &l63), 0);
  EXPECT_EQ(Read(l63), Buffered(0));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(l63), InBlock(0, 0, 0, 63));

  ASSERT_EQ(Put(MakeItem(11, 1, 64), &l64), 0);
  // The position is read first: a placed position guarantees a placed file index.
  EXPECT_FALSE(LoadPos(&l64) != kNoPosition && LoadFile(&l64) == kInMemory)
      << "an item of packageSize bytes is never buffered";
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(l64), InBlock(0, 79, 0, 64));

  // Buffered bytes count too: 10 + 53 = 63 fits, one byte more makes a block of 64.
  ASSERT_EQ(Put(MakeItem(11, 2, 10), &l10), 0);
  ASSERT_EQ(Put(MakeItem(11, 3, 53), &l53), 0);
  EXPECT_EQ(Read(l53), Buffered(10));
  ASSERT_EQ(Put(MakeItem(11, 4, 1), &l1), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(l10), InBlock(0, 159, 0, 64));
  EXPECT_EQ(Read(l53), InBlock(0, 159, 10, 64));
  EXPECT_EQ(Read(l1), InBlock(0, 159, 63, 64));
  EXPECT_EQ(db_->files[0]->size, 159u + 16 + 64);
}

TEST_F(StoreTest, LargeItemTakesTheBufferedBytesIntoOneBlockAndTheNextStartsFresh) {
  const std::string a = MakeItem(12, 0, 10), big = MakeItem(12, 1, 200), c = MakeItem(12, 2, 5);
  ItemLocation la, lbig, lc;
  ASSERT_EQ(Put(a, &la), 0);
  ASSERT_EQ(Put(big, &lbig), 0);
  ASSERT_EQ(Put(c, &lc), 0);
  // Whether c took the fast path or followed the job, it sits at 0 of a fresh buffer.
  ASSERT_TRUE(WaitUntil([&] { return LoadPos(&lc) != kNoPosition; }));
  EXPECT_EQ(Read(lc), Buffered(0));
  ASSERT_TRUE(WaitUntil([&] { return Placed(lbig); }));
  EXPECT_EQ(Read(la), InBlock(0, 0, 0, 210));
  EXPECT_EQ(Read(lbig), InBlock(0, 0, 10, 210));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(lc), InBlock(0, 226, 0, 5));
  const std::vector<Block> chain = ReadChain(db_.get(), package_);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].payload, a + big);
  EXPECT_EQ(chain[1].payload, c);
}

TEST_F(StoreTest, ZeroByteStoreOnAnEmptyBufferWritesNothingAndCountsOneJob) {
  PackageRecord& record = *db_->EntryOf(package_).recordOrOffset.record;
  for (std::uint16_t n = 1; n <= 2; ++n) {
    ASSERT_EQ(Quillbox_Store(package_, 0, nullptr, nullptr, db_.get()), 0);
    ASSERT_TRUE(WaitUntil([&] { return record.finishedJobs.load() == n; }));
    const PackageImage image = RecordOf(db_.get(), package_);
    EXPECT_EQ(image.issuedJobs, n);
    EXPECT_EQ(image.completedJobs, n);
    EXPECT_EQ(image.bufferedBytes, 0u);
    EXPECT_EQ(image.firstBlockPos, kNoPosition);
  }
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(db_->files[0]->size, 0u);
  FlushFiles(db_.get());
  EXPECT_EQ(ReadWholeFile(Quillbox_GetDatabaseFileName(0, db_.get())), "");
}

// The library may write a location only until Synchronize or SynchronizePackage
// returns. A zero-byte item stored on an empty buffer has no bytes to buffer: it is
// placed at the end of the package's last block at once (or, without any block, stays
// in memory), and no later block write touches its location.
TEST_F(StoreTest, ZeroByteItemLocationIsNotWrittenAfterSynchronizeReturns) {
  ItemLocation empty;
  ASSERT_EQ(Quillbox_Store(package_, 0, nullptr, &empty, db_.get()), 0);
  ASSERT_EQ(Sync(), 0);
  const Where unplaced = Read(empty);
  EXPECT_EQ(unplaced.file, kInMemory) << "a package without blocks has no place for it";
  ASSERT_EQ(Put(MakeItem(13, 0, 10)), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(empty), unplaced) << "written after SynchronizePackage returned";

  ASSERT_EQ(Quillbox_Store(package_, 0, nullptr, &empty, db_.get()), 0);
  ASSERT_EQ(Sync(), 0);
  const Where settled = Read(empty);
  EXPECT_EQ(settled.file, 0u);
  EXPECT_EQ(settled.offsetInBlock, 10u) << "at the end of the last block";
  EXPECT_EQ(settled.blockLen, 10u);
  ASSERT_EQ(Put(MakeItem(13, 1, 10)), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(empty), settled) << "written after SynchronizePackage returned";
}

// The second Store of each pair finds the first one's job outstanding and is handed
// over too, possibly to the other slot; the sequence keeps them in call order.
TEST(Store, ConsecutiveStoresAfterAHandOverKeepCallOrder) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage();
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string big = MakeItem(14, 2 * i, 64 + i % 7), small = MakeItem(14, 2 * i + 1, 1 + i % 5);
    ASSERT_EQ(Quillbox_Store(p, big.size(), big.data(), nullptr, db.get()), 0);
    ASSERT_EQ(Quillbox_Store(p, small.size(), small.data(), nullptr, db.get()), 0);
    expected += big + small;
  }
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
  EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), expected);
}

TEST(Store, WithoutAnyThreadFailsAtOnce) {
  Db db(64, 0, nullptr);
  const std::uint64_t p = db.AddPackage();
  ItemLocation location;
  EXPECT_EQ(Quillbox_Store(p, 5, "hello", &location, db.get()), 1);
  EXPECT_EQ(Quillbox_Store(p, 100, MakeItem(15, 0, 100).data(), nullptr, db.get()), 1);
  EXPECT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0) << "nothing was stored";
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
}

TEST(Store, PackageNumbersNeverHandedOutAreRefused) {
  TempDir dir;
  Db db(64, 8, nullptr);
  db.AddThread(dir.path());
  EXPECT_EQ(Quillbox_Store(0, 3, "abc", nullptr, db.get()), 1);
  EXPECT_EQ(Quillbox_SynchronizePackage(0, db.get()), 1);
  const std::uint64_t p = db.AddPackage();
  for (const std::uint64_t bad : {p + 1, std::uint64_t{1000}, ~std::uint64_t{0}}) {
    EXPECT_EQ(Quillbox_Store(bad, 3, "abc", nullptr, db.get()), 1) << bad;
    EXPECT_EQ(Quillbox_Store(bad, 100, MakeItem(16, 0, 100).data(), nullptr, db.get()), 1) << bad;
    EXPECT_EQ(Quillbox_SynchronizePackage(bad, db.get()), 1) << bad;
  }
  EXPECT_EQ(Quillbox_Store(p, 3, "abc", nullptr, db.get()), 0);
  EXPECT_EQ(Quillbox_Synchronize(db.get()), 0);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
}

// A null data pointer makes any read of the item crash, so a pass proves that the
// refusal comes first.
TEST(Store, ItemThatCannotFormABlockIsRefusedBeforeItsBytesAreRead) {
  TempDir dir;
  Db db(64, 8, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage();
  const std::uint64_t tooBig = (std::uint64_t{1} << 32) - 64 + 1;
  for (const std::uint64_t size : {tooBig, std::uint64_t{1} << 32, ~std::uint64_t{0}}) {
    EXPECT_EQ(Quillbox_Store(p, size, nullptr, nullptr, db.get()), 1) << size;
  }
  EXPECT_FALSE(db->HasFailed());
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");

  const std::string item = MakeItem(17, 0, 40);
  ItemLocation location;
  ASSERT_EQ(Quillbox_Store(p, item.size(), item.data(), &location, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
  EXPECT_EQ(Read(location), InBlock(0, 0, 0, 40));
  EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), item);
}

}  // namespace
}  // namespace qbx::test
