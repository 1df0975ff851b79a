// The read paths: packages written by several threads read back byte-exact through
// cursors, item after item through RecoverRandomContinous and item by item through
// RecoverRandom, both while items are buffered and once they are in the files; the
// cursor's edges; and random reads racing with stores into the same packages.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "read_support.h"

namespace qbx::test {
namespace {

struct Shape {
  const char* name;
  std::uint64_t packageSize;
  std::uint64_t maxQueued;
  bool packageFile;
  int writers;               // Writer threads of the database.
  std::uint64_t maxFileSize;
  int packages;
  int items;                 // Per package.
  std::size_t largest;       // Largest item.
};

class RoundTrip : public ::testing::TestWithParam<Shape> {};

// Reads the package through one cursor in pieces of random sizes, some of them
// skipped (no destination), and checks every count and every delivered byte.
void ReadInRandomPieces(Quillbox* db, std::uint64_t package, const std::string& expected,
                        std::mt19937& random, std::size_t largestPiece) {
  ItemCursor* cursor = nullptr;
  ASSERT_EQ(Quillbox_Open(&cursor, package, db), 0);
  std::vector<char> piece(largestPiece + 1);
  std::size_t at = 0;
  while (at < expected.size()) {
    EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 0) << "at " << at;
    const std::size_t want = random() % (largestPiece + 1);
    const bool copy = random() % 4 != 0;
    std::uint64_t count = ~0ull;
    ASSERT_EQ(Quillbox_RecoverContinous(&count, want, copy ? piece.data() : nullptr, cursor, db), 0);
    ASSERT_EQ(count, std::min(want, expected.size() - at));
    if (copy) {
      ASSERT_EQ(std::string(piece.data(), count), expected.substr(at, count)) << "at " << at;
    }
    at += count;
  }
  std::uint64_t count = ~0ull;
  EXPECT_EQ(Quillbox_RecoverContinous(&count, 7, piece.data(), cursor, db), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
  Quillbox_Close(&cursor);
  EXPECT_EQ(cursor, nullptr);
}

// Walks the package item by item from its first item's location to the end marker.
void ReadItemAfterItem(Quillbox* db, const PackageModel& model) {
  ItemLocation at = model.locations[0];
  std::vector<char> bytes(1);
  for (std::size_t i = 0; i < model.items.size(); ++i) {
    bytes.resize(model.items[i].size() + 1);
    ASSERT_EQ(Quillbox_RecoverRandomContinous(model.items[i].size(), bytes.data(), &at, db), 0)
        << "item " << i;
    ASSERT_EQ(std::string(bytes.data(), model.items[i].size()), model.items[i]) << "item " << i;
  }
  ASSERT_EQ(Quillbox_RecoverRandomContinous(1, bytes.data(), &at, db), 0);
  EXPECT_EQ(at.pos, kNoPosition) << "the package's end is marked in the location";
  EXPECT_EQ(Quillbox_RecoverRandomContinous(1, bytes.data(), &at, db), 1);
}

void ReadEveryItem(Quillbox* db, std::uint64_t package, const PackageModel& model,
                   std::size_t count) {
  std::vector<char> bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.assign(model.items[i].size() + 1, '\0');
    ASSERT_EQ(Quillbox_RecoverRandom(model.items[i].size(), bytes.data(), &model.locations[i],
                                     package, db), 0) << "item " << i;
    ASSERT_EQ(std::string(bytes.data(), model.items[i].size()), model.items[i]) << "item " << i;
  }
}

TEST_P(RoundTrip, EveryPackageReadsBackByteExactOnEveryPath) {
  const Shape shape = GetParam();
  TempDir dir;
  std::vector<PackageModel> models(shape.packages);  // Outlives the database.
  Db db(shape.packageSize, shape.maxQueued, shape.packageFile ? dir.path().c_str() : nullptr);
  for (int t = 0; t < shape.writers; ++t) db.AddThread(dir.path(), shape.maxFileSize);
  std::mt19937 random(1234);
  for (int p = 0; p < shape.packages; ++p) {
    ASSERT_EQ(db.AddPackage(), static_cast<std::uint64_t>(p));
    std::vector<std::size_t> sizes = RandomSizes(random, shape.items, shape.largest);
    if (sizes[0] == 0) sizes[0] = 1;  // The item-after-item walk starts at a placed item.
    FillModel(models[p], p, sizes);
  }

  // Three callers store into disjoint sets of packages in two halves; the first half
  // is read back before anything is synchronized.
  const std::size_t half = shape.items / 2;
  ASSERT_TRUE(StoreConcurrently(db.get(), models, 3, half));
  for (int p = 0; p < shape.packages; ++p) ReadEveryItem(db.get(), p, models[p], half);
  ASSERT_TRUE(StoreConcurrently(db.get(), models, 3));
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0) << Quillbox_GetErrorMessage(db.get());

  for (int p = 0; p < shape.packages; ++p) {
    SCOPED_TRACE("package " + std::to_string(p));
    const PackageModel& model = models[p];
    for (std::size_t i = 0; i < model.items.size(); ++i) {
      if (!model.items[i].empty()) {
        ASSERT_TRUE(Placed(model.locations[i])) << "item " << i;
      }
    }
    EXPECT_EQ(FirstDifference(ChainBytes(ReadChain(db.get(), p)), model.Joined()), std::string::npos)
        << "the chain on disk";
    ReadEveryItem(db.get(), p, model, model.items.size());
    ReadInRandomPieces(db.get(), p, model.Joined(), random, shape.packageSize + shape.largest);
    ReadItemAfterItem(db.get(), model);
  }
  if (shape.maxFileSize != ~0ull) {
    EXPECT_GT(Quillbox_GetFileCount(db.get()), shape.writers + (shape.packageFile ? 2u : 1u))
        << "small files roll over";
  }
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RoundTrip,
    ::testing::Values(Shape{"RolloversWithPackageFile", 512, 2, true, 3, 6000, 12, 120, 1400},
                      Shape{"LargeBuffersNoPackageFile", 4096, 1000, false, 2, ~0ull, 9, 200, 6000},
                      Shape{"TinyBuffersBusyQueue", 24, 0, false, 2, 3000, 6, 150, 64},
                      Shape{"NoBufferAtAll", 0, 4, true, 2, 2500, 6, 80, 100}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A database with one writer thread and a package buffer large enough that nothing is
// written until it is synchronized.
struct Buffered : ::testing::Test {
  TempDir dir;
  Db db{1000, 1000, nullptr};
  std::uint64_t package = 0;
  void SetUp() override {
    db.AddThread(dir.path());
    package = db.AddPackage();
  }
  std::string Read(std::uint64_t size, const ItemLocation& location, std::uint8_t* result) {
    std::string bytes(size, '\0');
    *result = Quillbox_RecoverRandom(size, bytes.data(), &location, package, db.get());
    return bytes;
  }
};

TEST_F(Buffered, RecoverRandomReadsBufferedItemsAndRefusesWhatIsNotThere) {
  ItemLocation hello{}, world{};
  ASSERT_EQ(Quillbox_Store(package, 5, "hello", &hello, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(package, 5, "world", &world, db.get()), 0);
  ASSERT_EQ(LoadFile(&world), kInMemory);
  std::uint8_t result = 9;
  EXPECT_EQ(Read(5, world, &result), "world");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Read(10, hello, &result), "helloworld") << "inside the buffered bytes";
  EXPECT_EQ(result, 0);
  Read(6, world, &result);
  EXPECT_EQ(result, 1) << "past the buffered bytes";
  char byte[8];
  EXPECT_EQ(Quillbox_RecoverRandom(1, byte, &hello, package + 1, db.get()), 1) << "unknown package";
  ItemLocation accepted{};
  MarkAccepted(&accepted);  // What a Store that failed after accepting the item leaves.
  EXPECT_EQ(Quillbox_RecoverRandom(1, byte, &accepted, package, db.get()), 1);
  EXPECT_EQ(Quillbox_Replace(5, "WORLD", &world, db.get()), 1) << "a buffered item is not replaced";
  ItemCursor* cursor = nullptr;
  EXPECT_EQ(Quillbox_OpenItem(&cursor, &world, db.get()), 1) << "a buffered item has no block";
  Quillbox_Close(&cursor);

  // Buffered bytes are not yet in the package's chain.
  ASSERT_EQ(Quillbox_Open(&cursor, package, db.get()), 0);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db.get()), 1);
  std::uint64_t count = 9;
  EXPECT_EQ(Quillbox_RecoverContinous(&count, 4, byte, cursor, db.get()), 0);
  EXPECT_EQ(count, 0u);
  Quillbox_Close(&cursor);

  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ASSERT_TRUE(Placed(world));
  EXPECT_EQ(world.blockLen, 10u);
  EXPECT_EQ(Read(5, world, &result), "world");
  EXPECT_EQ(result, 0);
  Read(6, world, &result);
  EXPECT_EQ(result, 1) << "past the item's block";
  EXPECT_EQ(Quillbox_RecoverRandomContinous(1, byte, &accepted, db.get()), 1);
  ItemLocation elsewhere = world;
  elsewhere.file = static_cast<std::uint32_t>(Quillbox_GetFileCount(db.get()));
  Read(1, elsewhere, &result);
  EXPECT_EQ(result, 1) << "unknown file";
  EXPECT_EQ(ReadByCursor(db.get(), package), "helloworld");
}

TEST_F(Buffered, ItemAfterItemFromABufferedLocationSynchronizesFirst) {
  ItemLocation first{}, second{};
  ASSERT_EQ(Quillbox_Store(package, 3, "abc", &first, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(package, 2, "de", &second, db.get()), 0);
  // The stored record itself: the library places it while synchronizing.
  ItemLocation& at = first;
  char bytes[4] = {};
  ASSERT_EQ(Quillbox_RecoverRandomContinous(3, bytes, &at, db.get()), 0);
  EXPECT_EQ(std::string(bytes, 3), "abc");
  EXPECT_TRUE(Placed(at)) << "the location moved on into the file";
  EXPECT_EQ(at.offsetInBlock, 3u);
  ASSERT_EQ(Quillbox_RecoverRandomContinous(2, bytes, &at, db.get()), 0);
  EXPECT_EQ(std::string(bytes, 2), "de");
  EXPECT_EQ(Quillbox_RecoverRandomContinous(1, bytes, &at, db.get()), 0);
  EXPECT_EQ(at.pos, kNoPosition);
}

// An empty item stored while nothing is buffered lies at the end of the package's last
// block; the library places it there at once and never writes the location again.
TEST_F(Buffered, EmptyItemWithNothingBufferedIsPlacedAtTheEndOfTheLastBlock) {
  ASSERT_EQ(Quillbox_Store(package, 3, "abc", nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ItemLocation empty{};
  ASSERT_EQ(Quillbox_Store(package, 0, "", &empty, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ASSERT_TRUE(Placed(empty));
  EXPECT_EQ(empty.offsetInBlock, 3u);
  EXPECT_EQ(empty.blockLen, 3u);
  EXPECT_EQ(empty.pos, ReadChain(db.get(), package)[0].headerPos + kBlockHeaderSize + 3);
  const ItemLocation settled = empty;
  ASSERT_EQ(Quillbox_Store(package, 4, "more", nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  EXPECT_EQ(std::memcmp(&empty, &settled, sizeof empty), 0) << "written after Synchronize";
  char bytes[4];
  ASSERT_EQ(Quillbox_RecoverRandomContinous(4, bytes, &empty, db.get()), 0);
  EXPECT_EQ(std::string(bytes, 4), "more") << "the empty item is followed by the next item";
}

// In a package without any block no place exists for an empty item: it stays in
// memory, reads back as empty, and the library never writes the location again (the
// caller may reuse the record once Synchronize has returned).
TEST_F(Buffered, EmptyItemInAPackageWithoutBlocksIsNeverWrittenAfterSynchronize) {
  ItemLocation empty{};
  ASSERT_EQ(Quillbox_Store(package, 0, "", &empty, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  EXPECT_EQ(LoadFile(&empty), kInMemory);
  std::uint8_t result = 9;
  Read(0, empty, &result);
  EXPECT_EQ(result, 0);
  std::memset(&empty, 0x5a, sizeof empty);  // The caller reuses the record.
  ItemLocation later{};
  ASSERT_EQ(Quillbox_Store(package, 4, "more", &later, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  EXPECT_EQ(empty.pos, 0x5a5a5a5a5a5a5a5aull) << "the library wrote into a released location";
  EXPECT_EQ(empty.file, 0x5a5a5a5au);
}

// An empty item stored after buffered bytes closes their block and ends it.
TEST_F(Buffered, CursorAtAnItemThatEndsItsBlockContinuesWithTheNextBlock) {
  ItemLocation abc{}, end{}, tail{};
  ASSERT_EQ(Quillbox_Store(package, 3, "abc", &abc, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(package, 0, "", &end, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(package, 4, "defg", &tail, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ASSERT_TRUE(Placed(end));
  ASSERT_EQ(end.offsetInBlock, end.blockLen) << "the empty item ends the first block";
  ASSERT_EQ(ReadChain(db.get(), package).size(), 2u);

  ItemCursor* cursor = nullptr;
  ASSERT_EQ(Quillbox_OpenItem(&cursor, &end, db.get()), 0);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db.get()), 0);
  char bytes[8];
  std::uint64_t count = 0;
  ASSERT_EQ(Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, db.get()), 0);
  EXPECT_EQ(std::string(bytes, count), "defg");
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db.get()), 1);
  Quillbox_Close(&cursor);

  ASSERT_EQ(Quillbox_OpenItem(&cursor, &abc, db.get()), 0);
  ASSERT_EQ(Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, db.get()), 0);
  EXPECT_EQ(std::string(bytes, count), "abcdefg");
  Quillbox_Close(&cursor);

  ItemLocation last = tail;
  last.pos += 4;
  last.offsetInBlock += 4;  // Past the package's last byte.
  ASSERT_EQ(Quillbox_OpenItem(&cursor, &last, db.get()), 0);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db.get()), 1);
  ASSERT_EQ(Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, db.get()), 0);
  EXPECT_EQ(count, 0u);
  Quillbox_Close(&cursor);

  ItemCursor* none = nullptr;
  EXPECT_EQ(Quillbox_Close(&none), 0);
  EXPECT_EQ(none, nullptr);
}

// A cursor read that fails while loading the next block returns 1 without a count;
// the bytes it took from the current block before must still reach the caller.
TEST_F(Buffered, FailedCursorReadLosesNoBytes) {
  ItemLocation end{};
  ASSERT_EQ(Quillbox_Store(package, 3, "abc", nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Store(package, 0, "", &end, db.get()), 0);  // Ends the first block.
  ASSERT_EQ(Quillbox_Store(package, 4, "defg", nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ItemCursor* cursor = nullptr;
  ASSERT_EQ(Quillbox_Open(&cursor, package, db.get()), 0);
  char bytes[8];
  std::uint64_t count = 0;
  ASSERT_EQ(Quillbox_RecoverContinous(&count, 2, bytes, cursor, db.get()), 0);
  std::string delivered(bytes, count);
  count = 0;
  {
    ScopedFault fault(qbx::testing::Fault::kSeekFailure, 0);
    EXPECT_EQ(Quillbox_RecoverContinous(&count, 5, bytes, cursor, db.get()), 1);
  }
  delivered.append(bytes, count);
  while (Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, db.get()) == 0 && count != 0) {
    delivered.append(bytes, count);
  }
  Quillbox_Close(&cursor);
  EXPECT_EQ(delivered, "abcdefg");
}

// Readers take items that Store has already returned for while other callers keep
// storing into the same packages; the database writer parks and flushes records and
// the writer threads hand buffers over underneath them.
TEST(ReadWhileWriting, RandomReadsOfStoredItemsRaceWithStores) {
  constexpr int kPackages = 6, kCallers = 2, kItems = 3000;
  TempDir dir;
  struct Caller {
    PackageModel model;
    std::atomic<std::size_t> stored{0};
  } callers[kCallers];  // Outlive the database.
  Db db(256, 2, dir.path().c_str());
  db.AddThread(dir.path(), 64 * 1024);
  db.AddThread(dir.path(), 64 * 1024);
  for (int p = 0; p < kPackages; ++p) db.AddPackage();
  for (int c = 0; c < kCallers; ++c) {
    std::mt19937 random(c + 7);
    FillModel(callers[c].model, 100 + c, RandomSizes(random, kItems, 600));
  }
  std::atomic<int> running{kCallers};
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < kCallers; ++c) {
    threads.emplace_back([&, c] {
      Caller& caller = callers[c];
      for (std::size_t i = 0; i < kItems; ++i) {
        if (!StoreItems(db.get(), i % kPackages, caller.model, i, i + 1)) failed = true;
        caller.stored.store(i + 1, std::memory_order_release);
      }
      running.fetch_sub(1);
    });
  }
  std::atomic<std::uint64_t> reads{0};
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 random(r);
      std::vector<char> bytes(700);
      while (running.load() != 0 && !failed) {
        Caller& caller = callers[random() % kCallers];
        const std::size_t stored = caller.stored.load(std::memory_order_acquire);
        if (stored == 0) {
          std::this_thread::yield();
          continue;
        }
        // Mostly the newest items, which are the ones still on the move.
        const std::size_t i = stored - 1 - random() % std::min<std::size_t>(stored, 20);
        const std::string& item = caller.model.items[i];
        if (Quillbox_RecoverRandom(item.size(), bytes.data(), &caller.model.locations[i],
                                   i % kPackages, db.get()) != 0 ||
            std::memcmp(bytes.data(), item.data(), item.size()) != 0) {
          failed = true;
        }
        reads.fetch_add(1);
        std::this_thread::yield();  // Leaves the two cores to the writers now and then.
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed) << Quillbox_GetErrorMessage(db.get());
  EXPECT_GT(reads.load(), 0u);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  std::uint64_t total = 0;
  for (Caller& caller : callers) {
    for (std::size_t i = 0; i < kItems; ++i) {
      const std::string& item = caller.model.items[i];
      std::string bytes(item.size(), '\0');
      ASSERT_EQ(Quillbox_RecoverRandom(item.size(), bytes.data(), &caller.model.locations[i],
                                       i % kPackages, db.get()), 0);
      ASSERT_EQ(bytes, item);
      total += item.size();
    }
  }
  std::uint64_t chained = 0;
  for (int p = 0; p < kPackages; ++p) chained += ReadByCursor(db.get(), p).size();
  EXPECT_EQ(chained, total) << "every stored byte is in exactly one package chain";
}

}  // namespace
}  // namespace qbx::test
