// Byte layouts the writers leave on disk: package-file placeholders and parked records,
// block headers and payloads, the link patch of a package's previous block, chains
// that continue in another file, the database writer's round-robin over the slots, and
// firstBlockLen. Expected bytes are spelled out by hand, not produced by the encoders.
#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

// `width` little-endian bytes of `value`.
std::string Le(std::uint64_t value, int width) {
  std::string bytes;
  for (int i = 0; i < width; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

std::string Header(std::uint64_t nextPos, std::uint32_t nextFile, std::uint32_t payloadLen) {
  return Le(nextPos, 8) + Le(nextFile, 4) + Le(payloadLen, 4);
}

std::string FileBytes(Quillbox* db, std::uint64_t index) {
  FlushFiles(db);
  return ReadWholeFile(Quillbox_GetDatabaseFileName(index, db));
}

bool Placed(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

// The first and last index at which `after` differs from `before` (within before's
// length); {-1, -1} when they agree.
std::pair<long, long> ChangedRange(const std::string& before, const std::string& after) {
  long first = -1, last = -1;
  for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
    if (before[i] != after[i]) {
      if (first < 0) first = static_cast<long>(i);
      last = static_cast<long>(i);
    }
  }
  return {first, last};
}

bool Parked(Quillbox* db, std::uint64_t package) {
  return db->EntryOf(package).lock->written.load();
}

TEST(WriteLayout, PackageFileGrowsBy44BytesAndParksRecordNAt44TimesN) {
  TempDir dir;
  Db db(64, 0, dir.path().c_str());
  std::string records;
  for (std::uint64_t n = 0; n < 4; ++n) {
    ASSERT_EQ(db.AddPackage(), n);
    ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), n); }));
    // No block yet: first and last positions are "none"; the id is the number.
    records += Le(kAllOnes, 8) + Le(0, 4) + Le(0, 4) + Le(kAllOnes, 8) + Le(0, 4) + Le(0, 4) +
               Le(n, 8) + Le(0, 2) + Le(0, 2);
    EXPECT_EQ(FileBytes(db.get(), 0), records) << "after package " << n;
  }
}

TEST(WriteLayout, ParkedRecordDescribesTheChainOfItsPackage) {
  TempDir dir;
  Db db(64, 0, dir.path().c_str());
  db.AddThread(dir.path());  // Data file 1.
  for (int n = 0; n < 3; ++n) db.AddPackage();
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 2); }));
  const std::string before = FileBytes(db.get(), 0);

  const std::string a = MakeItem(1, 0, 10), b = MakeItem(1, 1, 64);
  ASSERT_EQ(Quillbox_Store(1, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 1); }));  // Flushed: block at 0.
  ASSERT_EQ(Quillbox_Store(1, b.size(), b.data(), nullptr, db.get()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 1); }));  // Job block at 26.

  const std::string file = FileBytes(db.get(), 0);
  ASSERT_EQ(file.size(), 132u);
  EXPECT_EQ(file.substr(0, 44), before.substr(0, 44));
  EXPECT_EQ(file.substr(88, 44), before.substr(88, 44));
  EXPECT_EQ(file.substr(44, 44), Le(0, 8) + Le(1, 4) + Le(10, 4) + Le(26, 8) + Le(1, 4) +
                                     Le(0, 4) + Le(1, 8) + Le(1, 2) + Le(1, 2));
  EXPECT_EQ(FileBytes(db.get(), 1), Header(26, 1, 10) + a + Header(kAllOnes, 0, 64) + b);
}

// Five items in a package of 64: [a b c] and [d e] are written by hand-overs, [f] by
// the synchronisation; each header links to the next block.
TEST(WriteLayout, BlocksHoldHeaderThenPayloadInStoreOrder) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage();
  const std::size_t sizes[] = {10, 20, 40, 5, 64, 3};
  std::string items[6];
  for (int i = 0; i < 6; ++i) {
    items[i] = MakeItem(2, i, sizes[i]);
    ASSERT_EQ(Quillbox_Store(p, items[i].size(), items[i].data(), nullptr, db.get()), 0);
  }
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
  const std::string expected = Header(86, 0, 70) + items[0] + items[1] + items[2] +
                               Header(171, 0, 69) + items[3] + items[4] +
                               Header(kAllOnes, 0, 3) + items[5];
  EXPECT_EQ(FileBytes(db.get(), 0), expected);
  EXPECT_EQ(db->files[0]->size, expected.size());
}

TEST(WriteLayout, LinkPatchRewritesExactlyTheTwelveLinkBytesOfThePreviousHeader) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage(), q = db.AddPackage();
  const std::string a = MakeItem(3, 0, 30), b = MakeItem(3, 1, 7), c = MakeItem(3, 2, 12);
  ASSERT_EQ(Quillbox_Store(p, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);  // p: block at 0.
  ASSERT_EQ(Quillbox_Store(q, b.size(), b.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(q, db.get()), 0);  // q: block at 46.
  const std::string before = FileBytes(db.get(), 0);
  ASSERT_EQ(before.size(), 69u);

  ASSERT_EQ(Quillbox_Store(p, c.size(), c.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);  // p: block at 69.
  const std::string after = FileBytes(db.get(), 0);
  ASSERT_EQ(after.size(), 69u + 16 + 12);
  const auto [first, last] = ChangedRange(before, after);
  EXPECT_GE(first, 0);
  EXPECT_LT(last, 12) << "only the link of p's old header may change";
  EXPECT_EQ(after.substr(0, 16), Header(69, 0, 30));
  EXPECT_EQ(after.substr(46, 16), Header(kAllOnes, 0, 7)) << "q's header is untouched";
  EXPECT_EQ(after.substr(69), Header(kAllOnes, 0, 12) + c);
}

// Two 80-byte blocks fill a 160-byte file exactly; the third starts file 1, and the
// old header's link names it.
TEST(WriteLayout, ChainContinuesInTheNextFileAfterARollOver) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path(), 160);
  const std::uint64_t p = db.AddPackage();
  std::string items[3];
  for (int i = 0; i < 2; ++i) {
    items[i] = MakeItem(4, i, 64);
    ASSERT_EQ(Quillbox_Store(p, 64, items[i].data(), nullptr, db.get()), 0);
  }
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
  ASSERT_EQ(Quillbox_GetFileCount(db.get()), 1u) << "a block that reaches the limit exactly fits";
  const std::string before = FileBytes(db.get(), 0);
  ASSERT_EQ(before.size(), 160u);

  items[2] = MakeItem(4, 2, 64);
  ASSERT_EQ(Quillbox_Store(p, 64, items[2].data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
  ASSERT_EQ(Quillbox_GetFileCount(db.get()), 2u);
  const std::string after = FileBytes(db.get(), 0);
  const auto [first, last] = ChangedRange(before, after);
  EXPECT_EQ(after.size(), 160u);
  EXPECT_GE(first, 80);
  EXPECT_LT(last, 92);
  EXPECT_EQ(after.substr(80, 16), Header(0, 1, 64));
  EXPECT_EQ(FileBytes(db.get(), 1), Header(kAllOnes, 0, 64) + items[2]);

  const std::vector<Block> chain = ReadChain(db.get(), p);
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[1].file, 0u);
  EXPECT_EQ(chain[2].file, 1u);
  EXPECT_EQ(ChainBytes(chain), items[0] + items[1] + items[2]);
}

// Without a package file and with no queue allowance, every buffered package is
// flushed by the database writer into the current file of slot turn % 3.
TEST(WriteLayout, DatabaseWriterFlushesGoRoundRobinOverTheSlots) {
  TempDir dir;
  Db db(64, 0, nullptr);
  for (int t = 0; t < 3; ++t) db.AddThread(dir.path());
  std::uint64_t packages[7];
  for (auto& package : packages) package = db.AddPackage();
  ItemLocation locations[7];
  std::string items[7];
  auto storeAndWait = [&](int i, std::uint64_t package) {
    items[i] = MakeItem(5, i, 5 + i);
    ASSERT_EQ(Quillbox_Store(package, items[i].size(), items[i].data(), &locations[i], db.get()), 0);
    ASSERT_TRUE(WaitUntil([&] { return Placed(locations[i]); }));
  };
  for (int i = 0; i < 3; ++i) storeAndWait(i, packages[i]);

  // A queued package with nothing buffered (a zero-byte job took it a buffer) is
  // flushed without a block and must not advance the turn.
  ASSERT_EQ(Quillbox_Store(packages[6], 0, nullptr, nullptr, db.get()), 0);
  PackageEntry& idle = db->EntryOf(packages[6]);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(idle.lock->mutex);
    return idle.recordOrOffset.record->finishedJobs.load() == 1 &&
           idle.recordOrOffset.record->buffer == nullptr;
  }));

  for (int i = 3; i < 6; ++i) storeAndWait(i, packages[i]);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(LoadFile(&locations[i]), static_cast<std::uint32_t>(i % 3)) << "item " << i;
    const std::vector<Block> chain = ReadChain(db.get(), packages[i]);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].file, static_cast<std::uint32_t>(i % 3));
    EXPECT_EQ(chain[0].payload, items[i]);
  }
  EXPECT_EQ(FileBytes(db.get(), 0).size(), 2 * 16 + items[0].size() + items[3].size());

  // The seventh flush goes to slot 0 again; package 5 continues from file 2 to file 0.
  storeAndWait(6, packages[5]);
  const std::vector<Block> chain = ReadChain(db.get(), packages[5]);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].file, 2u);
  EXPECT_EQ(chain[0].header.nextBlockFile, 0u);
  EXPECT_EQ(chain[1].file, 0u);
  EXPECT_EQ(ChainBytes(chain), items[5] + items[6]);
}

TEST(WriteLayout, FirstBlockLenOfAJobBlockCountsOnlyTheBufferedBytes) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage(), q = db.AddPackage();
  const std::string a = MakeItem(6, 0, 10), b = MakeItem(6, 1, 60), c = MakeItem(6, 2, 64);
  ASSERT_EQ(Quillbox_Store(p, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(p, b.size(), b.data(), nullptr, db.get()), 0);  // Block of 70.
  ASSERT_EQ(Quillbox_Store(q, c.size(), c.data(), nullptr, db.get()), 0);  // Block of 64.
  ASSERT_EQ(Quillbox_Store(p, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);

  const PackageImage first = RecordOf(db.get(), p);
  EXPECT_EQ(first.firstBlockLen, 10u);
  EXPECT_EQ(ReadChain(db.get(), p)[0].header.payloadLen, 70u);
  EXPECT_EQ(RecordOf(db.get(), q).firstBlockLen, 0u) << "the item alone has no buffered part";
  EXPECT_EQ(ReadChain(db.get(), q)[0].header.payloadLen, 64u);
}

TEST(WriteLayout, FirstBlockLenOfADatabaseWriterBlockCountsItsWholePayload) {
  TempDir dir;
  Db db(64, 1, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage(), q = db.AddPackage();
  const std::string a = MakeItem(7, 0, 10), b = MakeItem(7, 1, 20), c = MakeItem(7, 2, 5);
  ItemLocation location;
  ASSERT_EQ(Quillbox_Store(p, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(p, b.size(), b.data(), &location, db.get()), 0);
  // A second queued package exceeds the limit of 1: the oldest, p, is flushed.
  ASSERT_EQ(Quillbox_Store(q, c.size(), c.data(), nullptr, db.get()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Placed(location); }));
  EXPECT_EQ(RecordOf(db.get(), p).firstBlockLen, 30u);
  const std::vector<Block> chain = ReadChain(db.get(), p);
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].payload, a + b);
  EXPECT_EQ(RecordOf(db.get(), q).bufferedBytes, 5u) << "q stays queued within the limit";
}

}  // namespace
}  // namespace qbx::test
