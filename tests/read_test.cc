// The read paths: packages written by several threads read back byte-exact through
// cursors, item after item through RecoverRandomContinous and item by item through
// RecoverRandom, while items are buffered, on the move and in the files; the edges of
// each path. Replace and RelocateFileTo: overwriting items in place, moving data files
// while the database stays open, what is refused, and what a failed move leaves.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "read/reader_hooks.h"
#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

bool Placed(const ItemLocation& at) {
  return LoadPos(&at) != kNoPosition && LoadFile(&at) != kInMemory;
}

struct Shape {
  const char* name;
  std::uint64_t packageSize, maxQueued, maxFileSize, packageFile, writers;
  std::size_t packages, items, largest;
};
struct RoundTrip : Harness, ::testing::WithParamInterface<Shape> {};

TEST_P(RoundTrip, EveryPackageReadsBackByteExactOnEveryPath) {
  const Shape s = GetParam();
  Create(s.packageSize, s.maxQueued, s.packageFile, std::vector(s.writers, s.maxFileSize),
         s.packages, s.items, s.largest);
  // Three callers store (reading back as they go) in two halves; the first half reads
  // back before anything is synchronized.
  ASSERT_TRUE(StoreConcurrently(3, s.items / 2));
  for (std::size_t i = 0; i < s.packages * (s.items / 2); ++i) {
    ASSERT_TRUE(ReadsBack(i % s.packages, i / s.packages));
  }
  ASSERT_TRUE(StoreConcurrently(3) && Quillbox_Synchronize(db) == 0);
  EXPECT_TRUE(s.maxFileSize == ~0ull || Quillbox_GetFileCount(db) > s.writers + 1 + s.packageFile);
  ExpectAllReadBack();
  std::mt19937 random(1);
  std::string bytes(s.packageSize + s.largest + 8, '\0');
  for (std::size_t p = 0; p < s.packages; ++p) {
    SCOPED_TRACE("package " + std::to_string(p));
    const std::string all = models[p].Joined();
    for (std::size_t i = 0; i < s.items; ++i) {
      ASSERT_TRUE(models[p].items[i].empty() || Placed(models[p].locations[i]));
    }
    // One cursor in pieces of random sizes, a quarter of them skipped (no destination).
    ItemCursor* cursor = nullptr;
    ASSERT_EQ(Quillbox_Open(&cursor, p, db), 0);
    for (std::uint64_t at = 0, count = 0; at < all.size(); at += count) {
      const std::size_t want = random() % bytes.size();
      char* const into = random() % 4 != 0 ? bytes.data() : nullptr;
      EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 0);
      ASSERT_EQ(Quillbox_RecoverContinous(&count, want, into, cursor, db), 0);
      ASSERT_EQ(count, std::min(want, all.size() - at));
      ASSERT_TRUE(into == nullptr || all.compare(at, count, bytes, 0, count) == 0) << at;
    }
    EXPECT_TRUE(Drain(db, cursor).empty() && Quillbox_PackageEnd(cursor, db) == 1);
    Quillbox_Close(&cursor);
    // Item after item from the first item's location to the end marker.
    ItemLocation at = models[p].locations[0];
    for (const std::string& item : models[p].items) {
      ASSERT_EQ(Quillbox_RecoverRandomContinous(item.size(), bytes.data(), &at, db), 0);
      ASSERT_TRUE(bytes.compare(0, item.size(), item) == 0);
    }
    ASSERT_EQ(Quillbox_RecoverRandomContinous(1, bytes.data(), &at, db), 0);
    EXPECT_EQ(at.pos, kNoPosition) << "the package's end is marked in the location";
    EXPECT_EQ(Quillbox_RecoverRandomContinous(1, bytes.data(), &at, db), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RoundTrip,
    ::testing::Values(Shape{"RolloversWithPackageFile", 512, 2, 6000, 1, 3, 12, 120, 1400},
                      Shape{"LargeBuffersNoPackageFile", 4096, 1000, ~0ull, 0, 2, 9, 200, 6000},
                      Shape{"TinyBuffersBusyQueue", 24, 0, 3000, 0, 2, 6, 150, 64},
                      Shape{"NoBufferAtAll", 0, 4, 2500, 1, 2, 6, 80, 100}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// Items in the data files read back by location without their package's record: a
// package parked in the package file stays parked, and the package file unchanged.
using Parked = Harness;
TEST_F(Parked, RandomReadsLeaveThePackageFileAlone) {
  Create(256, 0, true, {~0ull}, 4, 30);
  ASSERT_TRUE(StoreAndSync(~std::size_t{0}, 4));
  const std::string packageFile = Quillbox_GetDatabaseFileName(0, db);
  const std::string before = ReadWholeFile(packageFile);
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (std::size_t i = 0; i < models[p].items.size(); ++i) {
      ASSERT_TRUE(models[p].items[i].empty() || ReadsBack(p, i)) << p << " " << i;
    }
    EXPECT_TRUE(db->packages.Entry(p).lock->written.load()) << "package " << p;
  }
  EXPECT_EQ(db->packages.QueuedCount(), 0u);
  EXPECT_EQ(ReadWholeFile(packageFile), before);
}

// One writer thread and a buffer large enough that nothing is written before
// Synchronize.
struct Buffered : Harness {
  void SetUp() override { Create(1000, 1000, false, {~0ull}, 1, 0); }
  void Put(const char* item, ItemLocation* at = nullptr, bool sync = false) {
    ASSERT_EQ(Quillbox_Store(0, std::strlen(item), item, at, db), 0);
    ASSERT_TRUE(!sync || Quillbox_Synchronize(db) == 0);
  }
  // The bytes RecoverRandom gives, or "refused".
  std::string Read(std::uint64_t size, const ItemLocation& at, std::uint64_t package = 0) {
    std::string bytes(size, '\0');
    return Quillbox_RecoverRandom(size, bytes.data(), &at, package, db) == 0 ? bytes : "refused";
  }
};

// RecoverRandom reads buffered and placed items and refuses what is not there; cursors
// at the edges of blocks.
TEST_F(Buffered, RecoverRandomAndCursorsAtTheEdges) {
  ItemLocation hello{}, world{}, accepted{};
  Put("hello", &hello);
  Put("world", &world);
  ASSERT_EQ(LoadFile(&world), kInMemory);
  EXPECT_EQ(Read(5, world) + Read(10, hello), "worldhelloworld");
  EXPECT_EQ(Read(6, world), "refused") << "past the buffered bytes";
  char none[1];
  EXPECT_EQ(Quillbox_RecoverRandom(~0ull - 4, none, &world, 0, db), 1)
      << "a size that wraps around past the buffered bytes";
  EXPECT_EQ(Read(1, hello, 1), "refused") << "unknown package";
  MarkAccepted(&accepted);  // What a Store that failed after accepting the item leaves.
  EXPECT_EQ(Read(1, accepted), "refused");
  EXPECT_EQ(Quillbox_Replace(5, "WORLD", &world, db), 1) << "a buffered item is not replaced";
  // Without a block a cursor stands at the package's end at once.
  ItemCursor* cursor = nullptr;
  ASSERT_EQ(Quillbox_Open(&cursor, 0, db), 0);
  EXPECT_TRUE(Quillbox_PackageEnd(cursor, db) == 1 && Drain(db, cursor).empty());
  Quillbox_Close(&cursor);
  // Reading on from the stored record itself synchronizes first, and moves it on.
  char bytes[8];
  ASSERT_EQ(Quillbox_RecoverRandomContinous(5, bytes, &hello, db), 0);
  EXPECT_TRUE(std::string(bytes, 5) == "hello" && Placed(hello) && hello.offsetInBlock == 5);
  ASSERT_TRUE(Placed(world) && world.blockLen == 10);
  EXPECT_EQ(Read(5, world) + Read(6, world), "worldrefused") << "past the item's block";
  EXPECT_EQ(Quillbox_RecoverRandomContinous(1, bytes, &accepted, db), 1);
  ItemLocation elsewhere = world, end{};
  elsewhere.file = static_cast<std::uint32_t>(Quillbox_GetFileCount(db));
  EXPECT_EQ(Read(1, elsewhere), "refused") << "unknown file";
  // A writer placing a location stores its position last: RecoverRandomContinous may find
  // the new file beside the old (buffered) position. It synchronizes then, as for a
  // location in memory, instead of refusing it.
  ItemLocation caught{};
  Put("xyz", &caught);
  ASSERT_EQ(LoadFile(&caught), kInMemory);
  caught.file = 0;  // The thread's file, as the first of the writer's stores leaves it.
  ASSERT_EQ(Quillbox_RecoverRandomContinous(3, bytes, &caught, db), 0);
  EXPECT_TRUE(std::string(bytes, 3) == "xyz" && Placed(caught) && caught.offsetInBlock == 3);

  // A cursor opened at an item that ends its block goes on with the next block.
  Put("", &end);
  Put("defg", nullptr, true);
  ASSERT_TRUE(end.offsetInBlock == end.blockLen && ReadChain(db, 0).size() == 3);
  ASSERT_EQ(Quillbox_OpenItem(&cursor, &end, db), 0);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 0);
  EXPECT_TRUE(Drain(db, cursor) == "defg" && Quillbox_PackageEnd(cursor, db) == 1);
  Quillbox_Close(&cursor);
  EXPECT_TRUE(Quillbox_Close(&cursor) == 0 && cursor == nullptr) << "closing no cursor";
  // A cursor read that fails while loading the next block keeps the bytes it took
  // from the current one.
  ASSERT_EQ(Quillbox_Open(&cursor, 0, db), 0);
  std::string delivered = Drain(db, cursor, 8);
  std::uint64_t count = 0;
  qbx::testing::ArmFault(qbx::testing::Fault::kSeekFailure, 0);
  EXPECT_EQ(Quillbox_RecoverContinous(&count, 5, bytes, cursor, db), 1);
  qbx::testing::DisarmFault();
  EXPECT_EQ(delivered.append(bytes, count) + Drain(db, cursor), "helloworldxyzdefg");
  Quillbox_Close(&cursor);
}

// OpenItem hands out its cursor also when it fails; a cursor whose item could not be
// read holds nothing, so reading from it delivers no bytes instead of its buffer's. A
// cursor read that fails halfway through loading the next block into the cursor's buffer
// (which held the bytes it delivered first) reports those bytes, and the retry goes on
// with the failed block: the buffer's old bytes are not delivered again.
TEST(CursorFailure, AFailedReadDeliversNothingTwice) {
  FolderDb db(64, 16, 1, 1);  // No package file: only the cursor reads a file.
  const std::string a(40, 'A'), b = MakeItem(3, 0, 30);
  ItemLocation at{};
  for (const std::string* item : {&a, &b}) {
    ASSERT_EQ(Quillbox_Store(0, item->size(), item->data(), &at, db.get()), 0);
    ASSERT_EQ(Quillbox_SynchronizePackage(0, db.get()), 0);  // One block each.
  }
  ItemCursor* cursor = nullptr;
  char got[128];
  std::uint64_t count = 99;
  ASSERT_TRUE(CallFails(testing::Call::kRead, 2, [&] {  // The header reads; the item does not.
    EXPECT_EQ(Quillbox_OpenItem(&cursor, &at, db.get()), 1);
  }));
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(Quillbox_RecoverContinous(&count, sizeof got, got, cursor, db.get()), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Quillbox_PackageEnd(cursor, db.get()), 1);
  Quillbox_Close(&cursor);
  ASSERT_EQ(Quillbox_OpenItem(&cursor, &at, db.get()), 0);  // The database goes on.
  EXPECT_EQ(Drain(db.get(), cursor), b);
  Quillbox_Close(&cursor);

  ASSERT_EQ(Quillbox_Open(&cursor, 0, db.get()), 0);
  ASSERT_EQ(Quillbox_RecoverContinous(&count, 4, got, cursor, db.get()), 0);
  // The second block's header reads whole; its payload (30 bytes, more than the 14 left
  // of the call) goes to the cursor's buffer, and only half of it arrives.
  ASSERT_TRUE(CallFails(
      testing::Call::kRead, 2,
      [&] { EXPECT_EQ(Quillbox_RecoverContinous(&count, 50, got, cursor, db.get()), 1); },
      testing::CallFailure::kShort));
  EXPECT_EQ(std::string(got, count), std::string(36, 'A'));
  EXPECT_EQ(Drain(db.get(), cursor), b);
  Quillbox_Close(&cursor);
}

// What the cursor test below shares with the hooks it sets (plain functions).
struct FirstWrite {
  static inline std::atomic<int> stage{0};  // 1: the write started; 2: the reader is done.
  static inline std::atomic<bool> readerWaits{false};
  static void AtCall(testing::Call kind) {
    int started = 0;
    if (kind != testing::Call::kWrite || !stage.compare_exchange_strong(started, 1)) return;
    // The writer holds the file, and the record names the block: let the reader try.
    EXPECT_TRUE(WaitUntil([] { return stage.load() == 2 || readerWaits.load(); }));
  }
  static void AtAppenderWait() { readerWaits.store(true); }
};

// A cursor opened while a package's first block is being written (the record names
// the block before its bytes are in the file) reads that block once it is written,
// instead of taking the package for empty.
TEST(CursorDuringAppend, ACursorOpenedWhileTheFirstBlockIsWrittenReadsIt) {
  FolderDb db(64, 16, 1, 1);
  const std::uint64_t p = 0;
  const std::string item = MakeItem(9, 0, 100);  // Larger than a buffer: written at once.
  FirstWrite::stage.store(0);
  FirstWrite::readerWaits.store(false);
  std::string read;
  std::thread reader([&] {
    if (!WaitUntil([] { return FirstWrite::stage.load() == 1; })) return;
    ItemCursor* cursor = nullptr;
    char got[256];
    std::uint64_t count = 0;
    if (Quillbox_Open(&cursor, p, db.get()) == 0 &&
        Quillbox_RecoverContinous(&count, sizeof got, got, cursor, db.get()) == 0) {
      read.assign(got, count);
    }
    Quillbox_Close(&cursor);
    FirstWrite::stage.store(2);
  });
  testing::SetAppenderWaitObserver(FirstWrite::AtAppenderWait);
  testing::SetCallObserver(FirstWrite::AtCall);
  EXPECT_EQ(Quillbox_Store(p, item.size(), item.data(), nullptr, db.get()), 0);
  reader.join();
  testing::SetCallObserver(nullptr);
  testing::SetAppenderWaitObserver(nullptr);
  EXPECT_TRUE(FirstWrite::readerWaits.load());
  EXPECT_EQ(read, item);
}

// Three packages of 40 items, synchronized, with a package file and two writer threads.
// The default queue limit keeps the database writer idle.
struct Stored : Harness {
  explicit Stored(std::uint64_t packageSize = 128, std::uint64_t maxQueued = 1000) {
    Create(packageSize, maxQueued, true, {~0ull, ~0ull}, 3, 40);
  }
  void SetUp() override { ASSERT_TRUE(db != nullptr && StoreAndSync()); }
};

// A reader sees an item either wholly before or wholly after a Replace, while the
// writer threads append blocks to the same package and file.
TEST_F(Stored, ReadersNeverSeeAHalfReplacedItem) {
  std::size_t target = 0;
  while (target < 39 && models[0].items[target].size() < 100) ++target;
  ASSERT_GE(models[0].items[target].size(), 100u);
  const ItemLocation& location = models[0].locations[target];
  const std::string original = models[0].items[target];
  const std::string a(original.size(), 'a'), b(original.size(), 'b');
  std::atomic<bool> done{false}, failed{false};
  std::thread replacer([&] {
    for (int k = 0; k < 400 && !failed; ++k) {
      if (Quillbox_Replace(a.size(), (k % 2 == 0 ? a : b).data(), &location, db) != 0 ||
          Quillbox_Store(0, 200, MakeItem(0, k, 200).data(), nullptr, db) != 0) {
        failed = true;
      }
    }
    done = true;
  });
  bool torn = false;
  for (std::string bytes(a.size(), '\0'); !done;) {
    if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), &location, 0, db) != 0) failed = true;
    torn = torn || (bytes != a && bytes != b && bytes != original);
  }
  replacer.join();
  EXPECT_FALSE(failed || torn) << failed << torn;
  models[0].items[target] = b;
  EXPECT_TRUE(ReadsBack(0, target)) << "the last replacement stays";
}

// With a queue limit of one the database writer keeps parking records in the package
// file. The parameter: whether the old file is removed, and the package size, which
// is the size of the pieces copied (a package size of 0 copies byte by byte).
struct Relocation : Stored, ::testing::WithParamInterface<std::pair<bool, std::uint64_t>> {
  Relocation() : Stored(GetParam().second, 1) {}
};

// Moves the threads' files, which arrive whole, then every file back and forth while
// callers store; the database goes on at the new paths and reopens from there.
TEST_P(Relocation, DatabaseGoesOnAtTheNewPaths) {
  const bool removeOld = GetParam().first;
  const std::string a = dir.File("a"), b = dir.File("b");
  ASSERT_TRUE(fs::create_directory(a) && fs::create_directory(b));
  const std::vector<std::string> before = FileContents();
  for (const std::uint64_t k : {1ull, 2ull}) {
    const std::string old = Quillbox_GetDatabaseFileName(k, db);
    const std::string moved = a + "/moved-" + std::to_string(k);
    ASSERT_EQ(Quillbox_RelocateFileTo(k, moved.c_str(), removeOld, db), 0);
    EXPECT_EQ(Quillbox_GetDatabaseFileName(k, db), moved);
    EXPECT_TRUE(ReadWholeFile(moved) == before[k] && fs::exists(old) != removeOld) << k;
  }
  AddItems(300);
  std::atomic<bool> stored{false};
  std::thread callers([&] {
    EXPECT_TRUE(StoreAndSync());
    stored = true;
  });
  for (int moves = 0; moves < 6 || (!stored && moves < 200); ++moves) {
    const std::string target = (moves % 2 == 0 ? b : a) + "/file-" + std::to_string(moves % 3);
    EXPECT_EQ(Quillbox_RelocateFileTo(moves % 3, target.c_str(), 1, db), 0) << moves;
  }
  callers.join();
  ExpectAllReadBack();
  const std::string name = Quillbox_GetDatabaseFileName(1, db);
  ASSERT_TRUE(SaveIndex());
  Reopen(2);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), name);
  ExpectAllReadBack();
}

INSTANTIATE_TEST_SUITE_P(RemoveOldAndPackageSize, Relocation,
                         ::testing::Values(std::pair{false, 128ull}, std::pair{true, 0ull}));

// Every third item is replaced, every other of them by a prefix only, and so is every
// item that ends its block, by exactly its size: the next block's header right behind
// it, and so the chain, stays intact. Refused replaces: past the block, in an unknown
// file, of an item not stored, and at a made-up location claiming a longer block (which
// would reach the next header). Refused moves: into a missing folder, onto any data file
// of the database by any spelling of its path, and halfway through a failed copy. None
// changes a file or a name, and the database goes on. A never saved file is deleted at
// its new path.
TEST_F(Stored, ReplacesReadBackEverywhereAndRefusalsChangeNothing) {
  std::size_t lastOfBlock = 0;
  for (std::size_t p = 0; p < 3; ++p) {
    for (std::size_t i = 0; i < 40; ++i) {
      std::string& item = models[p].items[i];
      const ItemLocation& at = models[p].locations[i];
      const bool ends = !item.empty() && at.offsetInBlock + item.size() == at.blockLen;
      if (!ends && i % 3 != 0) continue;
      lastOfBlock += ends;
      const std::string fresh = MakeItem(9, i, ends || i % 2 == 0 ? item.size() : item.size() / 2);
      ASSERT_EQ(Quillbox_Replace(fresh.size(), fresh.data(), &at, db), 0);
      item.replace(0, fresh.size(), fresh);
    }
  }
  EXPECT_GT(lastOfBlock, 10u);
  ExpectAllReadBack();
  const std::vector<std::string> before = FileContents();
  const ItemLocation& placed = models[0].locations[39];
  ItemLocation elsewhere = placed, accepted{}, longer = placed;
  elsewhere.file = static_cast<std::uint32_t>(before.size());
  MarkAccepted(&accepted);
  longer.blockLen += 64;
  const std::string big(placed.blockLen + 64, 'x');
  const std::uint64_t rest = placed.blockLen - placed.offsetInBlock;
  EXPECT_EQ(Quillbox_Replace(rest + 1, big.data(), &placed, db), 1);
  EXPECT_EQ(Quillbox_Replace(1, "x", &elsewhere, db) + Quillbox_Replace(1, "x", &accepted, db), 2);
  EXPECT_EQ(Quillbox_Replace(rest + 64, big.data(), &longer, db), 1);
  const std::string own = Quillbox_GetDatabaseFileName(1, db);
  const std::string other = Quillbox_GetDatabaseFileName(2, db);
  std::vector<std::string> targets = {dir.File("missing/moved"), own, other,
                                      dir.path() + "/./" + fs::path(own).filename().string()};
#if !defined(_WIN32)  // Symbolic links need privileges on Windows.
  fs::create_symlink(other, dir.File("link"));
  targets.push_back(dir.File("link"));
#endif
  for (const std::string& to : targets) EXPECT_EQ(Quillbox_RelocateFileTo(1, to.c_str(), 1, db), 1);
  // A write or a read fails halfway through the copy (which moves this small file in
  // one piece); a short read never passes for the end of the file.
  for (const auto fault : {qbx::testing::Fault::kTornWrite, qbx::testing::Fault::kShortRead}) {
    qbx::testing::ArmFault(fault, 0);
    EXPECT_EQ(Quillbox_RelocateFileTo(1, dir.File("partial").c_str(), 1, db), 1);
    qbx::testing::DisarmFault();
  }
  EXPECT_FALSE(fs::exists(dir.File("partial")));
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), own);
  EXPECT_EQ(FileContents(), before);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
  AddItems(10);  // Links are still patched at the right place.
  ASSERT_TRUE(StoreAndSync());
  ExpectAllReadBack();
  ASSERT_EQ(Quillbox_RelocateFileTo(1, dir.File("moved").c_str(), 0, db), 0);
  Quillbox_Destroy(std::exchange(db, nullptr));
  EXPECT_FALSE(fs::exists(dir.File("moved"))) << "the database's file is deleted where it is now";
  EXPECT_TRUE(fs::exists(own)) << "the file left behind is no longer the database's";
}

}  // namespace
}  // namespace qbx::test
