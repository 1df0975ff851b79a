// The write side through the exports and on disk: the database object (construction,
// data-file names, destruction, the wake event, UTF-8 paths), the bytes the writers leave
// in the package file and the data files, the states of an ItemLocation, refused calls,
// and writer failures injected through the fault hook. Expected bytes are spelled out by
// hand, not produced by the encoders.
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <new>
#include <set>
#include <thread>
#include <tuple>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "platform/fault_hook.h"
#include "write/writer_hooks.h"
#include "read_support.h"
#include "test_support.h"

namespace qbx::test {
namespace {

using qbx::testing::Fault;
constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};  // "No block" on disk.

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

bool Parked(Quillbox* db, std::uint64_t package) {
  return db->packages.Entry(package).lock->written.load();
}

// An ItemLocation's pos, file, offsetInBlock and blockLen.
using Where = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t>;

Where Read(const ItemLocation& l) {
  return {LoadPos(&l), LoadFile(&l), LoadOffsetInBlock(&l), LoadBlockLen(&l)};
}

Where Buffered(std::uint32_t offset) { return {offset, kInMemory, offset, kNoLength}; }

// Placed in `file` inside the block whose header is at `headerPos`.
Where InBlock(std::uint32_t file, std::uint64_t header, std::uint32_t offset, std::uint32_t len) {
  return {header + kBlockHeaderSize + offset, file, offset, len};
}

// One thread (data file 0), no package file, and a queue that never makes the database
// writer flush: only hand-overs and synchronisation write blocks.
class StoreTest : public ::testing::Test {
 protected:
  std::uint8_t Put(const std::string& item, ItemLocation* location = nullptr) {
    return Quillbox_Store(0, item.size(), item.data(), location, db_.get());
  }
  std::uint8_t Sync() { return Quillbox_SynchronizePackage(0, db_.get()); }

  FolderDb db_{64, 1000, 1, 1};
};

constexpr std::uint64_t kHourOfNaps = 3600ull * 1000 * WakeEvent::kPollsPerMillisecond;

// Runs `body` on a thread of its own; true once it has ended. A body that has not ended
// within two minutes aborts the process (the future would wait for it without a limit).
bool Ends(const std::function<void()>& body, const char* what = "the call") {
  auto running = std::async(std::launch::async, body);
  if (running.wait_for(std::chrono::seconds(120)) != std::future_status::ready) AbortHung(what);
  return true;
}

// After a writer failed, every item still reads back, though the call returns 1: the
// read is done, so the package's gate was opened again.
void ExpectReadsAfterTheFailure(Quillbox* db, const std::string* items, ItemLocation* locations,
                                int count) {
  for (int p = 0; p < count; ++p) {
    std::string got(items[p].size(), '\0');
    EXPECT_EQ(Quillbox_RecoverRandom(got.size(), got.data(), &locations[p], p, db), 1) << p;
    EXPECT_EQ(got, items[p]) << p;
  }
}

// A Save after a writer failed returns 1 yet lists what the files hold: an Import of
// it gives back exactly `chains`, one per package.
void ExpectSalvage(Db& db, const TempDir& dir, const std::vector<std::string>& chains,
                   std::uint64_t maxQueuedPackages) {
  const std::string index = dir.File("salvage.index");
  EXPECT_EQ(Quillbox_Save(index.c_str(), db.get()), 1) << "a writer failed";
  db.Destroy();
  Quillbox* imported = nullptr;
  ASSERT_EQ(Quillbox_Import(&imported, index.c_str(), maxQueuedPackages), 0);
  for (std::size_t p = 0; p < chains.size(); ++p) {
    const std::vector<Block> chain = ReadChain(imported, p);
    EXPECT_EQ(ChainBytes(chain), chains[p]) << p;
    if (chains[p].empty()) {
      EXPECT_TRUE(chain.empty()) << p;
    }
  }
  Quillbox_Destroy(imported);
}

// Failed calls change nothing and keep no text: Create into a missing folder, above
// 2^32 bytes or with a folder that is not UTF-8, and NewThread into a missing folder.
// Without a folder there is no file.
TEST(Database, FailedCreateAndNewThreadChangeNothing) {
  TempDir dir;
  Quillbox* handle = reinterpret_cast<Quillbox*>(0x1);
  EXPECT_EQ(Quillbox_Create(&handle, 64, 8, dir.File("missing").c_str()), 1);
  EXPECT_EQ(Quillbox_Create(&handle, (std::uint64_t{1} << 32) + 1, 8, nullptr), 1);
  EXPECT_EQ(Quillbox_Create(&handle, 64, 8, "bad\xff"), 1);
  EXPECT_EQ(handle, reinterpret_cast<Quillbox*>(0x1));
  Db db(std::uint64_t{1} << 32, 8, nullptr);
  EXPECT_STREQ(Quillbox_GetVersionInfo(db.get()), "1.0.168");
  EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(0, db.get()), nullptr);
  const char* path = reinterpret_cast<const char*>(0x1);
  EXPECT_EQ(Quillbox_NewThread(&path, dir.File("missing").c_str(), 1000, db.get()), 1);
  EXPECT_EQ(path, reinterpret_cast<const char*>(0x1));
  EXPECT_EQ(Quillbox_GetThreadCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 0u);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  EXPECT_TRUE(dir.Entries().empty());
  Quillbox_Destroy(nullptr);
}

// The package file is named folder + separator + "quillbox." + 6 characters, with a
// trailing separator kept as given; each NewThread adds one data file. Destroy wakes
// the writers from hour-long naps, and an unsaved database leaves no file behind.
TEST(Database, FolderGivesAnEmptyPackageFileAndNewThreadAddsOneFileEach) {
  TempDir dir;
  for (const std::string& folder : {dir.path(), dir.path() + kSeparator}) {
    Db db(64, 8, folder.c_str());
    const std::string name = Quillbox_GetDatabaseFileName(0, db.get());
    const std::string prefix = folder + kSeparator + "quillbox.";
    EXPECT_EQ(name.substr(0, prefix.size()), prefix);
    EXPECT_EQ(name.size(), prefix.size() + 6);
    EXPECT_EQ(ReadWholeFile(name), "");
    const char* paths[2] = {};
    for (const char*& path : paths) {
      ASSERT_EQ(Quillbox_NewThread(&path, folder.c_str(), 1000, db.get()), 0);
    }
    EXPECT_STREQ(paths[0], Quillbox_GetDatabaseFileName(1, db.get()));
    EXPECT_STREQ(paths[1], Quillbox_GetDatabaseFileName(2, db.get()));
    EXPECT_EQ(Quillbox_GetThreadCount(db.get()), 2u);
    EXPECT_EQ(dir.Entries().size(), 3u);
    db->writers.PretendIdleFor(kHourOfNaps);
    EXPECT_TRUE(Ends([&] { db.Destroy(); }, "Destroy"));
    EXPECT_TRUE(dir.Entries().empty());
  }
}

// A notification ends a long doze, whether it comes before or during the wait, and
// resets the count.
TEST(WakeEvent, NotifyEndsALongDozeAndResetsTheCount) {
  WakeEvent event;
  event.spins.store(kHourOfNaps);
  auto dozing = std::async(std::launch::async, [&] { event.doze(); });
  event.notifyAll();
  const std::future_status dozed = dozing.wait_for(std::chrono::seconds(120));
  if (dozed != std::future_status::ready) AbortHung("a doze after notifyAll");
  ASSERT_EQ(dozed, std::future_status::ready);
  EXPECT_EQ(event.spins.load(), 0u);
  event.spins.store(kHourOfNaps);
  event.notifyOne();
  EXPECT_EQ(event.spins.load(), 0u);
}

TEST(Utf8, ConvertsToUtf16AndRejectsMalformedText) {
  EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xf0\x9f\x98\x80"), u"a\u00e9\U0001F600");
  for (const char* bad :
       {"\xff", "\xc3", "\xe2\x82", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"}) {
    std::string what = "accepted";
    try {
      Utf8ToUtf16(bad);
    } catch (const std::range_error& error) {
      what = error.what();
    }
    EXPECT_EQ(what, "bad conversion");
  }
}

// With a queue limit of 0 the database writer parks each new record at once, and again
// after flushing a package's buffered item; item b (a job block) follows at 26.
TEST(WriteLayout, PackageFileGrowsBy44BytesAndParksRecordNAt44TimesN) {
  FolderDb db(64, 0, 1, 0, true);  // The thread's file is data file 1.
  std::string records;
  for (std::uint64_t n = 0; n < 3; ++n) {
    ASSERT_EQ(db.db.AddPackage(), n);
    ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), n); }));
    records += Le(kAllOnes, 8) + Le(0, 8) + Le(kAllOnes, 8) + Le(0, 8) + Le(n, 8) + Le(0, 4);
    EXPECT_EQ(FileBytes(db.get(), 0), records) << "after package " << n;
  }
  const std::string a = MakeItem(1, 0, 10), b = MakeItem(1, 1, 64);
  ASSERT_EQ(Quillbox_Store(1, a.size(), a.data(), nullptr, db.get()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 1); }));
  ASSERT_EQ(Quillbox_Store(1, b.size(), b.data(), nullptr, db.get()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 1); }));
  // firstBlockLen counts the whole payload of a database-writer block.
  EXPECT_EQ(FileBytes(db.get(), 0), records.substr(0, 44) + Le(0, 8) + Le(1, 4) + Le(10, 4) +
                                        Le(26, 8) + Le(1, 4) + Le(0, 4) + Le(1, 8) + Le(1, 2) +
                                        Le(1, 2) + records.substr(88));
  EXPECT_EQ(FileBytes(db.get(), 1), Header(26, 1, 10) + a + Header(kAllOnes, 0, 64) + b);
}

// After an import of a recording that went on past its Save (packages 2 and 3 were made
// and parked since), a new package's placeholder goes to its own place, 44 * n, over the
// record left there: that record is of no package of this database, and a recovery
// after a crash must not take it for the new package's.
TEST(WriteLayout, ANewPackageAfterAnImportReplacesTheRecordLeftAtItsPlace) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::string left;
  {
    Db db(64, 0, dir.path().c_str());
    db.AddThread(dir.path());
    db.AddPackage();
    db.AddPackage();
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    for (std::uint64_t n = 2; n < 4; ++n) {
      ASSERT_EQ(db.AddPackage(), n);
      const std::string item = MakeItem(n, 0, 10);
      ASSERT_EQ(Quillbox_Store(n, item.size(), item.data(), nullptr, db.get()), 0);
      ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
      ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), n); }));
    }
    left = FileBytes(db.get(), 0);
  }
  ASSERT_EQ(left.size(), 4 * 44u);
  ASSERT_NE(left.substr(88, 44), std::string(44, '\0'));
  Quillbox* imported = nullptr;
  ASSERT_EQ(Quillbox_Import(&imported, index.c_str(), 1000), 0);
  Db db(imported);
  ASSERT_EQ(db.AddPackage(), 2u);
  EXPECT_EQ(FileBytes(db.get(), 0), left.substr(0, 88) + std::string(44, '\0') + left.substr(132));
}

// A Store that queues its package again while the database writer has just taken it
// out of the queue: the writer must leave it queued and in memory. Parked anyway, it
// stayed counted in the queue with no record held, the next package was parked too,
// and a queue limit of 1 kept no record in memory at all.
Quillbox* requeueDb = nullptr;
const void* requeueEntry = nullptr;
std::atomic<bool> requeued{false};
// Set once the test's own Store has returned: until then it may hold the mutex of the
// package it stores into, and the writer, finding that mutex busy, would put the package
// back into the queue and take another.
std::atomic<bool> storeReturned{false};
void StoreIntoTheDequeuedPackage(const void* entry) {
  if (entry != requeueEntry || requeued.exchange(true)) return;
  EXPECT_TRUE(WaitUntil([] { return storeReturned.load(); }));
  const std::string item = MakeItem(1, 0, 10);
  EXPECT_EQ(Quillbox_Store(1, item.size(), item.data(), nullptr, requeueDb), 0);
}

TEST(WriteLayout, APackageQueuedAgainWhileTheWriterTookItOutStaysInMemory) {
  requeued = storeReturned = false;
  FolderDb db(64, 1, 1, 2, true);
  ASSERT_TRUE(WaitUntil([&] { return Parked(db.get(), 0) && db->packages.QueuedCount() == 1; }));
  requeueDb = db.get();
  requeueEntry = &db->packages.Entry(1);
  testing::SetDequeueObserver(StoreIntoTheDequeuedPackage);
  const std::string item = MakeItem(0, 0, 10);
  ASSERT_EQ(Quillbox_Store(0, item.size(), item.data(), nullptr, db.get()), 0);  // Queue: 1, 0.
  storeReturned = true;
  const bool settled = WaitUntil([&] { return requeued && Parked(db.get(), 0); });
  testing::SetDequeueObserver(nullptr);
  ASSERT_TRUE(settled);
  EXPECT_FALSE(Parked(db.get(), 1));
  EXPECT_TRUE(db->packages.IsQueued(db->packages.Entry(1)));
  EXPECT_EQ(db->packages.QueuedCount(), 1u);
}

// The database writer takes what is over the queue limit in batches, and writes the
// blocks of a batch for one file with one write. Stores made from the writer's own
// thread at its first three dequeues keep the queue over its limit of 3, so that it
// takes packages 0 to 3 in one batch. Packages 0 and 1 already have a block each, so
// their new blocks are linked; 2 and 3 start their chains. With one writer thread all
// four blocks go to the one file.
Quillbox* batchDb = nullptr;
std::atomic<int> batchStores{0};
void StoreIntoAFreshPackage(const void*) {
  const int n = batchStores.fetch_add(1);
  if (n == 0) {
    EXPECT_TRUE(WaitUntil([] { return storeReturned.load(); }));
  }
  if (n >= 3) return;
  const std::string item = MakeItem(8, n, 9);
  EXPECT_EQ(Quillbox_Store(4 + n, item.size(), item.data(), nullptr, batchDb), 0);
}

void ObserveTheBatch(Quillbox* db) {
  batchDb = db;
  batchStores = 0;
  storeReturned = false;
  testing::SetDequeueObserver(StoreIntoAFreshPackage);
}

// Until the thread writer that ran the package's last job has dropped its pin: a
// pinned package is in use, and the database writer would put it back in the queue.
bool JobsLetGo(Quillbox* db, std::uint64_t package) {
  PackageEntry& entry = db->packages.Entry(package);
  return WaitUntil([&] {
    MutexLock lock(entry.lock->mutex);
    return entry.recordOrOffset.record->useCount == 0;
  });
}

class DatabaseWriterBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int p = 0; p < 2; ++p) {
      first[p] = MakeItem(7, p, 20 + p);
      ASSERT_EQ(Quillbox_Store(p, first[p].size(), first[p].data(), nullptr, db.get()), 0);
      ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);  // Stays queued, buffering.
      ASSERT_TRUE(JobsLetGo(db.get(), p));
    }
    for (int p = 0; p < 4; ++p) items[p] = MakeItem(9, p, 10 + p);
    for (int p = 0; p < 3; ++p) Store(p);  // The queue at its limit: 0, 1, 2.
    ObserveTheBatch(db.get());
  }
  void TearDown() override {
    testing::SetDequeueObserver(nullptr);
    testing::StopFailingCalls();
  }
  void Store(int p) {
    ASSERT_EQ(Quillbox_Store(p, items[p].size(), items[p].data(), &locations[p], db.get()), 0);
    storeReturned = true;
  }
  // The first blocks of 0 and 1, linked to their next blocks or not.
  std::string FirstBlocks(std::uint64_t link0, std::uint64_t link1) const {
    return Header(link0, 0, 20) + first[0] + Header(link1, 0, 21) + first[1];
  }
  // The batch's blocks, back to back from offset 73 in the order taken.
  std::string BatchBlocks() const {
    std::string bytes;
    for (int p = 0; p < 4; ++p) bytes += Header(kAllOnes, 0, 10 + p) + items[p];
    return bytes;
  }

  // Fails the n-th write from the batch's start. Afterwards only `linked` of the four
  // packages has its block on its chain; the others keep their items in memory, where
  // reads find them, and a salvage Save lists exactly the chains.
  void FailWrite(std::uint64_t n, int linked, const std::string& fileBytes) {
    ASSERT_TRUE(WriterFails(db.get(), testing::Call::kWrite, n, [&] { Store(3); }));
    EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "Unable to write data");
    EXPECT_EQ(FileBytes(db.get(), 0), fileBytes);
    std::vector<std::string> chains = {first[0], first[1], "", ""};
    for (int p = 0; p < 4; ++p) {
      SCOPED_TRACE(p);
      if (p < linked) chains[p] += items[p];
      EXPECT_EQ(Placed(locations[p]), p < linked);
      EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), chains[p]);
    }
    ExpectReadsAfterTheFailure(db.get(), items, locations, 4);
    ExpectSalvage(db.db, db.dir, chains, 3);
  }

  FolderDb db{64, 3, 1, 7};
  std::string first[2], items[4];
  ItemLocation locations[4];
};

TEST_F(DatabaseWriterBatch, TheBlocksOfABatchForOneFileGoOutWithOneWrite) {
  testing::CountCalls();
  Store(3);
  ASSERT_TRUE(WaitUntil([&] {
    return Placed(locations[0]) && Placed(locations[1]) && Placed(locations[2]) &&
           Placed(locations[3]);
  }));
  // One write for the four blocks, then one link patch each for 0 and 1.
  EXPECT_EQ(testing::CallCount(testing::Call::kWrite), 3u);
  EXPECT_EQ(FileBytes(db.get(), 0), FirstBlocks(73, 99) + BatchBlocks());
  std::uint64_t blockPos = 73;
  for (int p = 0; p < 4; ++p) {
    SCOPED_TRACE(p);
    const ItemLocation& l = locations[p];
    EXPECT_TRUE(LoadFile(&l) == 0 && LoadPos(&l) == blockPos + 16 && LoadOffsetInBlock(&l) == 0 &&
                LoadBlockLen(&l) == 10u + p);
    blockPos += 16 + 10 + p;
    EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), (p < 2 ? first[p] : "") + items[p]);
  }
  EXPECT_EQ(batchStores.load(), 4) << "the fourth dequeue ended the batch";
}

// The gathered write fails: every package of the batch forgets its block, and the
// file keeps only the blocks from before.
TEST_F(DatabaseWriterBatch, AFailedWriteOfTheBatchLeavesEveryPackageAsItWas) {
  FailWrite(1, 0, FirstBlocks(kAllOnes, kAllOnes));
}

// The link patch of the batch's second block fails: the first block's package is
// finished; the others forget their blocks, whose bytes stay unlinked past the first.
TEST_F(DatabaseWriterBatch, ALinkFailingInABatchKeepsThePackagesFinishedBeforeIt) {
  FailWrite(3, 1, FirstBlocks(73, kAllOnes) + BatchBlocks());  // Gather, link of 0, of 1.
}

// With two writer threads the batch's blocks go to the two slots' files in turn, one
// write per file; a package with nothing buffered (a zero-byte item gave it a buffer)
// is finished without a block and takes no turn.
TEST(DatabaseWriterBatches, GoToTheSlotsFilesInTurnWithOneWritePerFile) {
  FolderDb db(64, 3, 2, 7);
  std::string items[4];
  ItemLocation locations[4];
  for (int p = 0; p < 4; ++p) items[p] = MakeItem(6, p, p == 2 ? 0 : 10 + p);
  for (int p = 0; p < 3; ++p) {
    ASSERT_EQ(Quillbox_Store(p, items[p].size(), items[p].data(), &locations[p], db.get()), 0);
  }
  // The zero-byte item's job queues package 2 behind 0 and 1.
  ASSERT_TRUE(WaitUntil([&] { return db->packages.QueuedCount() == 3; }) && JobsLetGo(db.get(), 2));
  ObserveTheBatch(db.get());
  testing::CountCalls();
  ASSERT_EQ(Quillbox_Store(3, items[3].size(), items[3].data(), &locations[3], db.get()), 0);
  storeReturned = true;
  const bool placed = WaitUntil([&] {
    return Placed(locations[0]) && Placed(locations[1]) && Placed(locations[3]);
  });
  testing::SetDequeueObserver(nullptr);
  ASSERT_TRUE(placed);
  EXPECT_EQ(testing::CallCount(testing::Call::kWrite), 2u);
  testing::StopFailingCalls();
  const auto block = [&](int p) { return Header(kAllOnes, 0, items[p].size()) + items[p]; };
  EXPECT_EQ(FileBytes(db.get(), 0), block(0) + block(3));
  EXPECT_EQ(FileBytes(db.get(), 1), block(1));
  EXPECT_EQ(LoadPos(&locations[3]), 16 + 10 + 16u);
  for (int p = 0; p < 4; ++p) EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), items[p]) << p;
}

// Holds the database writer at its first dequeue until the test lets it go on.
std::atomic<int> gateDequeues{0};
std::atomic<bool> gateGo{false};
void HoldTheFirstDequeue(const void*) {
  if (gateDequeues.fetch_add(1) == 0) {
    EXPECT_TRUE(WaitUntil([] { return gateGo.load(); }));
  }
}

// A writer fails while the database writer waits for a reader to leave the gate of the
// second package of its batch: both packages are let go (mutex free, gate open), their
// buffered items still read back, and a salvage Save lists no block for them. The
// reader is stood in for by its count, since a real one stays inside for one copy only.
TEST(DatabaseWriterBatches, AWriterFailingWhileTheBatchWaitsAtAGateLetsGoOfEveryPackage) {
  FolderDb db(64, 1, 1, 4);
  PackageLock& gate1 = *db->packages.Entry(1).lock;
  gate1.activeReaders.fetch_add(1);
  gateDequeues = 0;
  gateGo = false;
  testing::SetDequeueObserver(HoldTheFirstDequeue);
  std::string items[3];
  ItemLocation locations[3];
  for (int p = 0; p < 3; ++p) {
    items[p] = MakeItem(5, p, 10 + p);
    // 0 stays at the limit; 1 puts it over, and the writer holds at dequeuing 0; with 0
    // out of the queue, 2 goes in beside 1, so the batch takes 0 and then 1.
    ASSERT_EQ(Quillbox_Store(p, items[p].size(), items[p].data(), &locations[p], db.get()), 0);
  }
  gateGo = true;
  const bool waiting = WaitUntil([&] { return !gate1.readersAllowed.load(); });
  testing::SetDequeueObserver(nullptr);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(gateDequeues.load(), 2);

  const std::string big = MakeItem(5, 3, 100);
  ASSERT_TRUE(WriterFails(db.get(), testing::Call::kWrite, 1, [&] {  // The hand-over's block.
    EXPECT_EQ(Quillbox_Store(3, big.size(), big.data(), nullptr, db.get()), 0);
  }));
  for (int p = 0; p < 2; ++p) {
    PackageLock& lock = *db->packages.Entry(p).lock;
    EXPECT_TRUE(WaitUntil([&] {
      if (!lock.mutex.TryLock()) return false;
      lock.mutex.Unlock();
      return lock.readersAllowed.load();
    })) << p;
  }
  gate1.activeReaders.fetch_sub(1);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "Unable to write data");
  for (int p = 0; p < 3; ++p) EXPECT_FALSE(Placed(locations[p])) << p;
  ExpectReadsAfterTheFailure(db.get(), items, locations, 3);
  ExpectSalvage(db.db, db.dir, {"", "", "", ""}, 1);
}

// Blocks of p (46 bytes), q (23) and p (28) fill the file's 97 bytes exactly; q's next
// block starts file 1. Each new block rewrites the link of the package's old header
// and nothing else.
TEST(WriteLayout, LinkPatchAndRollOverRewriteOnlyTheOldHeadersLink) {
  FolderDb db(64, 1000, 1, 2, false, 97);
  const std::uint64_t p = 0, q = 1;
  const std::string a = MakeItem(3, 0, 30), b = MakeItem(3, 1, 7), c = MakeItem(3, 2, 12),
                    d = MakeItem(3, 3, 64);
  for (const auto& [package, item] : {std::pair{p, a}, {q, b}, {p, c}, {q, d}}) {
    ASSERT_EQ(Quillbox_Store(package, item.size(), item.data(), nullptr, db.get()), 0);
    ASSERT_EQ(Quillbox_SynchronizePackage(package, db.get()), 0);
  }
  EXPECT_EQ(FileBytes(db.get(), 0),
            Header(69, 0, 30) + a + Header(0, 1, 7) + b + Header(kAllOnes, 0, 12) + c);
  EXPECT_EQ(FileBytes(db.get(), 1), Header(kAllOnes, 0, 64) + d);
  EXPECT_EQ(ChainBytes(ReadChain(db.get(), q)), b + d);
}

// Without a package file and with a queue limit of 0 the database writer flushes each
// buffered item at once, into the current file of slot turn % 3.
TEST(WriteLayout, DatabaseWriterFlushesGoRoundRobinOverTheSlots) {
  FolderDb db(64, 0, 3, 0);
  ItemLocation locations[6];
  for (std::uint32_t i = 0; i < 6; ++i) {
    const std::uint64_t p = db.db.AddPackage();
    if (i == 3) {
      // A zero-byte job gives the package a buffer but no bytes: flushed without a
      // block, it must not take a turn.
      ASSERT_EQ(Quillbox_Store(p, 0, nullptr, nullptr, db.get()), 0);
      PackageEntry& entry = db->packages.Entry(p);
      ASSERT_TRUE(WaitUntil([&] {
        MutexLock lock(entry.lock->mutex);
        return entry.recordOrOffset.record->finishedJobs == 1 &&
               !entry.recordOrOffset.record->buffer;
      }));
    }
    const std::string item = MakeItem(5, i, 5 + i);
    ASSERT_EQ(Quillbox_Store(p, item.size(), item.data(), &locations[i], db.get()), 0);
    ASSERT_TRUE(WaitUntil([&] { return Placed(locations[i]); }));
    EXPECT_EQ(LoadFile(&locations[i]), i % 3) << "item " << i;
  }
  EXPECT_EQ(FileBytes(db.get(), 0), Header(kAllOnes, 0, 5) + MakeItem(5, 0, 5) +
                                        Header(kAllOnes, 0, 8) + MakeItem(5, 3, 8));
}

// An item of packageSize - 1 bytes stays buffered, one of packageSize is handed over,
// and so is an item that does not fit beside the buffered bytes (10 + 53 fit): its
// block holds the buffered bytes, then the item. The next item starts a fresh buffer.
TEST_F(StoreTest, FastPathUpToPackageSizeMinusOneThenAHandOverTakesTheBufferedBytes) {
  const std::string a = MakeItem(11, 0, 10), b = MakeItem(11, 1, 53), big = MakeItem(11, 2, 200),
                    c = MakeItem(11, 3, 5);
  ItemLocation l63, l64, la, lb, lbig, lc;
  ASSERT_EQ(Put(MakeItem(11, 4, 63), &l63), 0);
  EXPECT_EQ(Read(l63), Buffered(0));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(l63), InBlock(0, 0, 0, 63));
  ASSERT_EQ(Put(MakeItem(11, 5, 64), &l64), 0);
  // The position is read first: a placed position guarantees a placed file index.
  EXPECT_FALSE(LoadPos(&l64) != kNoPosition && LoadFile(&l64) == kInMemory) << "buffered";
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(l64), InBlock(0, 79, 0, 64));

  ASSERT_EQ(Put(a, &la), 0);
  ASSERT_EQ(Put(b, &lb), 0);
  EXPECT_EQ(Read(lb), Buffered(10));
  ASSERT_EQ(Put(big, &lbig), 0);
  ASSERT_EQ(Put(c, &lc), 0);
  // Whether c took the fast path or followed the job, it sits at 0 of a fresh buffer.
  ASSERT_TRUE(WaitUntil([&] { return LoadPos(&lc) != kNoPosition && Placed(lbig); }));
  EXPECT_EQ(Read(lc), Buffered(0));
  EXPECT_EQ(Read(la), InBlock(0, 159, 0, 263));
  EXPECT_EQ(Read(lb), InBlock(0, 159, 10, 263));
  EXPECT_EQ(Read(lbig), InBlock(0, 159, 63, 263));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(lc), InBlock(0, 438, 0, 5));
  EXPECT_EQ(FileBytes(db_.get(), 0).substr(159),
            Header(438, 0, 263) + a + b + big + Header(kAllOnes, 0, 5) + c);
}

// A zero-byte Store on an empty buffer hands over a job that writes nothing. The item has
// no bytes to buffer: in a package without any block it stays in memory and reads back
// as empty; else it is placed at the end of the package's last block at once, and the
// next item follows it. The library may write a location only until Synchronize or
// SynchronizePackage returns (the caller may reuse the record then): no later block
// write touches it.
TEST_F(StoreTest, ZeroByteItemOnAnEmptyBufferWritesNothingAndItsLocationSettlesAtOnce) {
  ItemLocation empty;
  ASSERT_EQ(Quillbox_Store(0, 0, nullptr, &empty, db_.get()), 0);
  PackageRecord& record = *db_->packages.Entry(0).recordOrOffset.record;
  ASSERT_TRUE(WaitUntil([&] { return record.finishedJobs.load() == 1; }));
  const PackageImage image = RecordOf(db_.get(), 0);
  EXPECT_TRUE(image.issuedJobs == 1 && image.completedJobs == 1 && image.bufferedBytes == 0);
  EXPECT_EQ(image.firstBlockPos, kNoPosition);
  EXPECT_EQ(db_->files.At(0).size, 0u);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(LoadFile(&empty), kInMemory) << "a package without blocks has no place for it";
  char none[1];
  EXPECT_EQ(Quillbox_RecoverRandom(0, none, &empty, 0, db_.get()), 0);
  std::memset(&empty, 0x5a, sizeof empty);  // The caller reuses the record.
  const std::string a = MakeItem(13, 0, 10), b = MakeItem(13, 1, 10);
  ASSERT_EQ(Put(a), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_TRUE(empty.pos == 0x5a5a5a5a5a5a5a5aull && empty.file == 0x5a5a5a5au) << "written";

  ASSERT_EQ(Quillbox_Store(0, 0, nullptr, &empty, db_.get()), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(empty), InBlock(0, 0, 10, 10)) << "at the end of the last block";
  ASSERT_EQ(Put(b), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(empty), InBlock(0, 0, 10, 10)) << "written after SynchronizePackage returned";
  char bytes[10];
  ASSERT_EQ(Quillbox_RecoverRandomContinous(10, bytes, &empty, db_.get()), 0);
  EXPECT_EQ(std::string(bytes, 10), b) << "the empty item is followed by the next item";
}

// The second Store of each pair finds the first one's job outstanding and is handed
// over too, possibly to the other slot; the sequence keeps them in call order.
TEST_F(StoreTest, ConsecutiveStoresAfterAHandOverKeepCallOrder) {
  db_.db.AddThread(db_.dir.path());
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string big = MakeItem(14, i, 64 + i % 7), small = MakeItem(15, i, 1 + i % 5);
    ASSERT_EQ(Put(big), 0);
    ASSERT_EQ(Put(small), 0);
    expected += big + small;
  }
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(ChainBytes(ReadChain(db_.get(), 0)), expected);
  EXPECT_EQ(RecordOf(db_.get(), 0).firstBlockLen, 0u) << "a job block counts only its buffer";
}

// Without any thread, Store fails at once; package numbers never handed out are
// refused, and so is an item that could never form a block, before any of its bytes
// is read (the data pointer is null). None of it sets the error flag.
TEST(Store, RefusedCallsLeaveTheDatabaseUsable) {
  TempDir dir;
  Db db(64, 8, nullptr);
  const std::uint64_t p = db.AddPackage();
  EXPECT_EQ(Quillbox_Store(p, 5, "hello", nullptr, db.get()), 1);
  EXPECT_EQ(Quillbox_Store(p, 100, MakeItem(15, 0, 100).data(), nullptr, db.get()), 1);
  db.AddThread(dir.path());
  for (const std::uint64_t bad : {p + 1, std::uint64_t{1000}, kAllOnes}) {
    EXPECT_EQ(Quillbox_Store(bad, 3, "abc", nullptr, db.get()), 1) << bad;
    EXPECT_EQ(Quillbox_Store(bad, 100, MakeItem(16, 0, 100).data(), nullptr, db.get()), 1) << bad;
    EXPECT_EQ(Quillbox_SynchronizePackage(bad, db.get()), 1) << bad;
  }
  for (const std::uint64_t size :
       {(std::uint64_t{1} << 32) - 63, std::uint64_t{1} << 32, kAllOnes}) {
    EXPECT_EQ(Quillbox_Store(p, size, nullptr, nullptr, db.get()), 1) << size;
    // Refused by its size alone, before a byte of it is read.
    EXPECT_EQ(Quillbox_Store(p, size, "x", nullptr, db.get()), 1) << size;
  }
  EXPECT_EQ(RecordOf(db.get(), p).issuedJobs, 0u) << "no job was handed over";
  EXPECT_FALSE(db->HasFailed());
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  const std::string item = MakeItem(17, 0, 40);
  ASSERT_EQ(Quillbox_Store(p, item.size(), item.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  EXPECT_EQ(ChainBytes(ReadChain(db.get(), p)), item);

  // Without a buffer an item has its block alone, and 2^32 bytes do not fit its length.
  Db unbuffered(0, 8, nullptr);
  unbuffered.AddThread(dir.path());
  const std::uint64_t q = unbuffered.AddPackage();
  EXPECT_EQ(Quillbox_Store(q, std::uint64_t{1} << 32, "x", nullptr, unbuffered.get()), 1);
  EXPECT_FALSE(unbuffered->HasFailed());
  ASSERT_EQ(Quillbox_Store(q, item.size(), item.data(), nullptr, unbuffered.get()), 0);
  ASSERT_EQ(Quillbox_Synchronize(unbuffered.get()), 0);
  EXPECT_EQ(ChainBytes(ReadChain(unbuffered.get(), q)), item);
}

// A Store whose copy of the item cannot be allocated fails, yet hands over a job that
// only passes the package's turn on: the items stored before and after it keep their
// order, and no writer fails. The allocation fails under an address-space limit, in a
// forked child (the sanitizers reserve more address space than any limit leaves).
TEST(Store, ItemThatCannotBeCopiedFailsAndTheNextItemsGoOn) {
#if defined(QUILLBOX_TEST_ASAN) || defined(QUILLBOX_TEST_TSAN)
  GTEST_SKIP() << "needs an address-space limit";
#endif
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  TempDir dir;
  const int result = RunInChild([&] {
    Db db(64, 8, nullptr);
    db.AddThread(dir.path());
    const std::uint64_t p = db.AddPackage();
    const std::string first = MakeItem(30, 0, 100), second = MakeItem(30, 1, 100);
    if (Quillbox_Store(p, first.size(), first.data(), nullptr, db.get()) != 0) return 10;
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limit{};
    if (pages == 0 || getrlimit(RLIMIT_AS, &limit) != 0) return 11;
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 12;
    // Two GiB that cannot be copied; had the copy been made, it would read far past
    // `first` and the child would crash.
    const std::uint8_t refused =
        Quillbox_Store(p, std::uint64_t{1} << 31, first.data(), nullptr, db.get());
    limit.rlim_cur = unlimited;
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 13;
    if (refused != 1) return 14;
    if (Quillbox_Store(p, second.size(), second.data(), nullptr, db.get()) != 0) return 15;
    if (Quillbox_Synchronize(db.get()) != 0 || db->HasFailed()) return 16;
    if (ChainBytes(ReadChain(db.get(), p)) != first + second) return 17;
    const PackageImage record = RecordOf(db.get(), p);
    return record.completedJobs == record.issuedJobs ? 0 : 18;
  });
  EXPECT_EQ(result, 0);
#endif
}

struct FaultCase {
  Fault fault;
  std::string message;  // Empty: any text.
  std::uint64_t skip, maxQueued;
  bool packageFile;
  std::size_t trigger;  // Bytes stored into the first package, to make a writer write.
  bool noMemoryForText = false;
};

// A writer fails: the flag is set with its text, which later failures leave (it names
// the cause), the fast path and NewPackage still do
// their work but report 1, whatever needs a writer gives up instead of waiting for it
// (also a Store held back by the queue limit), and Destroy ends. A writer failing with no
// memory left for its text still sets the flag, with a text that needs none, instead of
// ending the process from its failure handler.
TEST(WriterFailure, SetsTheFlagAndEveryLaterCallReportsIt) {
  const FaultCase cases[] = {
      {Fault::kShortWrite, "Unable to write data", 0, 1000, false, 64},    // A thread writer's
      {Fault::kSeekFailure, "Unable to search data", 0, 1000, false, 64},  // block write.
      {Fault::kBadAlloc, std::bad_alloc().what(), 0, 1000, false, 64},
      {Fault::kForeignException, "", 0, 1000, false, 64},
      {Fault::kShortWrite, "Unable to write data", 0, 0, false, 5},  // The database writer's
      {Fault::kShortWrite, "Unable to write data", 1, 0, true, 0},   // flush, and its parking.
      {Fault::kShortWrite, "Out of memory", 0, 1000, false, 64, true},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(&c - cases);
    FolderDb db(64, c.maxQueued, 1, 0, c.packageFile);
    const std::string item = MakeItem(20, 0, 64);
    qbx::testing::FailErrorTextCopies(c.noMemoryForText);
    qbx::testing::ArmFault(c.fault, c.skip);
    std::uint64_t p = 0;
    EXPECT_LE(Quillbox_NewPackage(&p, db.get()), 1);
    EXPECT_LE(Quillbox_Store(p, c.trigger, item.data(), nullptr, db.get()), 1);
    EXPECT_TRUE(WaitUntil([&] { return db->HasFailed(); }));
    qbx::testing::DisarmFault();
    qbx::testing::FailErrorTextCopies(false);
    const std::string message = Quillbox_GetErrorMessage(db.get());
    EXPECT_TRUE(c.message.empty() ? !message.empty() : message == c.message) << message;

    std::uint64_t q = 0;
    EXPECT_EQ(Quillbox_NewPackage(&q, db.get()), 1);
    EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 2u);
    ItemLocation location;
    EXPECT_EQ(Quillbox_Store(q, 5, "hello", &location, db.get()), 1);
    if (!c.packageFile) {  // Else q's record, waiting to be parked, holds the Store back.
      EXPECT_EQ(RecordOf(db.get(), q).bufferedBytes, 5u);
      EXPECT_EQ(LoadPos(&location), 0u);
    }
    EXPECT_EQ(Quillbox_Store(q, 5, "hello", nullptr, db.get()), 1);
    EXPECT_EQ(Quillbox_Store(q, item.size(), item.data(), nullptr, db.get()), 1);
    EXPECT_EQ(Quillbox_SynchronizePackage(0, db.get()), 1);
    EXPECT_EQ(Quillbox_Synchronize(db.get()), 1);
    EXPECT_EQ(Quillbox_GetErrorMessage(db.get()), message) << "the text stays";
    db->errors.Record("a later writer's failure");
    EXPECT_EQ(Quillbox_GetErrorMessage(db.get()), message) << "the first failure's text stays";
    EXPECT_TRUE(Ends([&] { db.db.Destroy(); }, "Destroy"));
  }
}

// NewPackage writes its placeholder in the caller's thread: a failure there is the
// caller's, keeps no text, and leaves neither a number nor a gap in the package file.
TEST(WriterFailure, NewPackageFailingToWriteItsPlaceholderLeavesNoTrace) {
  FolderDb db(64, 1000, 0, 0, true);
  std::uint64_t package = 0;
  for (const Fault fault : {Fault::kShortWrite, Fault::kSeekFailure}) {
    qbx::testing::ArmFault(fault, 0);
    EXPECT_EQ(Quillbox_NewPackage(&package, db.get()), 1);
    qbx::testing::DisarmFault();
  }
  EXPECT_FALSE(db->HasFailed());
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  ASSERT_EQ(Quillbox_NewPackage(&package, db.get()), 0);
  EXPECT_EQ(package, 0u);
  EXPECT_EQ(FileBytes(db.get(), 0), std::string(44, '\0'));
}

// A failed block write sets the flag before the file's mutex goes to the next writer:
// a handed-over block's record still names the failed position, so a block appended
// there would belong to another package. Whoever takes the mutex next sees the flag.
std::atomic<Quillbox*> failingDb{nullptr};
std::atomic<int> flagSeenByTheNextHolder{-1};
std::thread nextHolder;
void TakeTheFileMutexNext(testing::Call kind) {
  if (kind != testing::Call::kWrite) return;
  Quillbox* db = failingDb.load();
  nextHolder = std::thread([db] {
    MutexLock lock(db->files.At(0).mutex);
    flagSeenByTheNextHolder = db->HasFailed() ? 1 : 0;
  });
}

// Joins the thread above before the test can return: a joinable std::thread left behind
// ends the process, and the thread uses the database. The hook reports the failed call
// only after the observer has returned, so without that report there is no thread.
void JoinTheNextHolder() {
  if (!testing::CallFailed()) return;
  if (!WaitUntil([] { return flagSeenByTheNextHolder.load() != -1; }, 120)) {
    AbortHung("the next holder of the file's mutex");
  }
  nextHolder.join();
}

TEST(WriterFailure, TheNextWriterOfTheFileSeesTheFlagOfAFailedBlockWrite) {
  FolderDb db(64, 1000, 1, 1);
  failingDb = db.get();
  flagSeenByTheNextHolder = -1;
  testing::SetCallFailureObserver(TakeTheFileMutexNext);
  testing::FailCall(testing::Call::kWrite, 1);
  const std::string item = MakeItem(21, 0, 100);
  EXPECT_EQ(Quillbox_Store(0, item.size(), item.data(), nullptr, db.get()), 0);  // A hand-over.
  const bool failed = WaitUntil([&] { return testing::CallFailed() && db->HasFailed(); });
  testing::StopFailingCalls();
  testing::SetCallFailureObserver(nullptr);
  JoinTheNextHolder();
  ASSERT_TRUE(failed);
  EXPECT_EQ(flagSeenByTheNextHolder.load(), 1);
}

// Another writer fails while a thread writer waits at a package's reader gate to write
// the package's buffered bytes with a hand-over: the gate opens again and the buffered
// item stays where readers find it. (The reader inside is stood in for by its count.)
TEST(WriterFailure, AThreadWriterWaitingAtAGateWhenAnotherFailsOpensItAgain) {
  FolderDb db(64, 1000, 2, 2);
  ItemLocation small;
  ASSERT_EQ(Quillbox_Store(0, 5, "hello", &small, db.get()), 0);
  PackageLock& gate = *db->packages.Entry(0).lock;
  gate.activeReaders.fetch_add(1);
  const std::string big = MakeItem(22, 0, 100);
  ASSERT_EQ(Quillbox_Store(0, big.size(), big.data(), nullptr, db.get()), 0);
  const bool waiting = WaitUntil([&] { return !gate.readersAllowed.load(); });
  if (waiting) {
    EXPECT_TRUE(WriterFails(db.get(), testing::Call::kWrite, 1, [&] {  // Package 1's job,
      EXPECT_EQ(Quillbox_Store(1, big.size(), big.data(), nullptr, db.get()), 0);  // other slot.
    }));
    EXPECT_TRUE(WaitUntil([&] { return gate.readersAllowed.load(); })) << "the gate stays closed";
  }
  gate.activeReaders.fetch_sub(1);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(LoadFile(&small), kInMemory);
  char bytes[5];
  EXPECT_EQ(Quillbox_RecoverRandom(5, bytes, &small, 0, db.get()), 1);  // The flag is set,
  EXPECT_EQ(std::string(bytes, 5), "hello");                             // but the read is done.
}

// A writer fails while another is about to fill in a location (the flag is set here as
// a failing writer sets it): a Synchronize cut short by the failure returns only once no
// writer can fill in a location any more, since its caller may free them then.
std::atomic<Quillbox*> placingDb{nullptr};
std::atomic<bool> synchronizeReturned{false};
std::atomic<bool> returnedBeforeThePlacement{false};
std::atomic<int> synchronizeResult{-1};
std::thread synchronizer;
std::atomic<bool> synchronizerStarted{false};  // `synchronizer` holds the thread.
void FailWhilePlacing() {
  Quillbox* db = placingDb.exchange(nullptr);
  if (db == nullptr) return;
  db->writers.RecordFailure("Unable to write data");
  synchronizer = std::thread([db] {
    synchronizeResult = Quillbox_Synchronize(db);
    synchronizeReturned = true;
  });
  synchronizerStarted = true;
  // A call that does not wait for the writers returns at once; this one cannot return
  // until the writer here goes on, so the wait runs out. (A call that returned early
  // but slowly could pass unseen; a correct one never fails here.)
  returnedBeforeThePlacement = WaitUntil([] { return synchronizeReturned.load(); }, 0.2);
}

TEST(WriterFailure, ASynchronizeCutShortReturnsOnlyOnceNoWriterCanFillInALocation) {
  FolderDb db(64, 1000, 1, 1);
  placingDb = db.get();
  synchronizeReturned = false;
  synchronizerStarted = false;
  synchronizeResult = -1;
  testing::SetPlacementObserver(FailWhilePlacing);
  ItemLocation location;
  const std::string item = MakeItem(22, 0, 100);
  Quillbox_Store(0, item.size(), item.data(), &location, db.get());  // A hand-over.
  const bool returned =
      WaitUntil([] { return synchronizeReturned.load() && synchronizerStarted.load(); }, 120);
  testing::SetPlacementObserver(nullptr);
  // Taken back here, the database is no observer's any more: either no thread was
  // started, or it was and may still be inside Synchronize, which needs the database.
  const bool observed = placingDb.exchange(nullptr) == nullptr;
  if (observed && !returned) AbortHung("Synchronize beside a writer that failed while placing");
  ASSERT_TRUE(returned);
  synchronizer.join();
  EXPECT_FALSE(returnedBeforeThePlacement.load());
  EXPECT_EQ(synchronizeResult.load(), 1);
  EXPECT_TRUE(Placed(location)) << "its block was written whole before the failure";
}

// ---- Data file size limits -------------------------------------------------------------

// A database whose writer threads all have the same data file limit, and the items
// stored into it: caller c stores the packages p % callers == c, item by item.
struct LimitCase {
  const char* what;
  std::uint64_t packageSize, maxQueued;
  bool packageFile;
  std::uint32_t slots;
  std::uint64_t limit;
  int callers, packages, items;  // Items per package.
  std::size_t smallest, largest;
};

struct LimitedDb : Harness {
  void TestBody() override {}  // A database per case of the tests below.
  explicit LimitedDb(const LimitCase& c) : c(c) {
    const char* packageFolder = c.packageFile ? folder.c_str() : nullptr;
    EXPECT_EQ(Quillbox_Create(&db, c.packageSize, c.maxQueued, packageFolder), 0);
    AddThreads();
    for (int p = 0; p < c.packages; ++p) AddPackage();
    EXPECT_EQ(models.size(), static_cast<std::size_t>(c.packages)) << "package numbers in turn";
  }
  void AddThreads() {
    for (std::uint32_t t = 0; t < c.slots; ++t) {
      AddThread(c.limit);
      initialFiles.insert(Quillbox_GetFileCount(db) - 1);
    }
  }
  // Adds `count` items to each package and stores them from the case's callers.
  void Store(int count) {
    std::mt19937 random(static_cast<unsigned>(models.size() * 7 + count));
    for (std::size_t p = 0; p < models.size(); ++p) {
      for (int i = 0; i < count; ++i) {
        const std::size_t size = c.smallest + random() % (c.largest - c.smallest + 1);
        models[p].items.push_back(MakeItem(p, models[p].items.size(), size));
      }
      models[p].locations.resize(models[p].items.size());
    }
    EXPECT_TRUE(StoreConcurrently(c.callers));
    EXPECT_EQ(Quillbox_Synchronize(db), 0);
  }
  // Every writer thread's data file is a run of whole blocks, at most the limit long
  // unless it holds a single block; every file a rollover made holds a block; the
  // slots moved on to new files with the same limit.
  void ExpectFilesWithinTheLimit() {
    const std::vector<std::string> files = FileContents();
    const std::uint64_t first = c.packageFile ? 1 : 0;
    EXPECT_GT(files.size(), first + initialFiles.size()) << "no rollover";
    for (std::uint64_t k = first; k < files.size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(db->files.At(k).maxSize, c.limit);
      const std::string& bytes = files[k];
      std::size_t blocks = 0, at = 0;
      for (; at + kBlockHeaderSize <= bytes.size(); ++blocks) {
        std::uint64_t len = 0;  // The payload's.
        for (int b = 3; b >= 0; --b) len = len << 8 | std::uint8_t(bytes[at + 12 + b]);
        at += kBlockHeaderSize + len;
      }
      EXPECT_EQ(at, bytes.size()) << "not a run of whole blocks";
      EXPECT_TRUE(bytes.size() <= c.limit || blocks == 1) << bytes.size() << " bytes in " << blocks;
      if (initialFiles.count(k) == 0) {
        EXPECT_NE(blocks, 0u) << "a file made for nothing";
      }
    }
  }
  const LimitCase c;
  std::set<std::uint64_t> initialFiles;  // Made by NewThread; may stay empty.
};

// Whichever writer writes a block, the slot moves on to a new file before the block
// would carry its file past the limit: the database writer's flushes (one item of 100
// bytes per package, a batch of blocks that fits only in part), blocks larger than the
// limit (one per file), and the thread writer's hand-overs beside a package file. When
// the thread writers and the database writer append to the same slots' files at once
// (the last three cases), they may both find one full: each rollover makes one file,
// and none passes the limit.
TEST(FileLimit, EveryWriterRollsOverBeforeAFileWouldPassItsLimit) {
  const LimitCase cases[] = {
      {"database writer", 1000, 0, false, 1, 4096, 1, 500, 1, 100, 100},
      {"blocks over the limit", 1000, 0, false, 1, 100, 1, 20, 3, 150, 400},
      {"thread writer", 64, 1000, true, 2, 500, 1, 10, 40, 10, 200},
      {"queue limit 0, one slot", 64, 0, false, 1, 300, 3, 6, 40, 40, 90},
      {"queue limit 1, two slots", 64, 1, true, 2, 300, 3, 6, 40, 40, 90},
      {"every block its own file", 64, 0, false, 2, 1, 3, 3, 15, 40, 90},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.what);
    LimitedDb db(c);
    db.Store(c.items);
    db.ExpectFilesWithinTheLimit();
    db.ExpectAllReadBack();
  }
}

// An imported database reopens its files with their limits; its new thread's file has
// its own, and the packages' chains go on across old and new files within them.
TEST(FileLimit, TheLimitsHoldAfterASaveAndAnImport) {
  const LimitCase c{"database writer", 1000, 0, false, 1, 2048, 1, 100, 1, 100, 100};
  LimitedDb db(c);
  db.Store(1);
  ASSERT_TRUE(db.SaveIndex());
  db.Reopen(c.maxQueued);
  db.ExpectAllReadBack();
  db.AddThreads();
  for (int p = 0; p < 50; ++p) db.AddPackage();
  db.Store(2);
  db.ExpectFilesWithinTheLimit();
  db.ExpectAllReadBack();
}

// The file a rollover needs cannot be made: the writer fails as on any failed write,
// Synchronize and Destroy end, and what reached the files before stays there. Of the
// item that was on its way, the database writer keeps a copy in memory. A thread writer
// rolls its slot over before it takes a package's buffer for a block: the bytes buffered
// before the item stay readable in memory, as when a write fails before the buffer is
// handed over.
TEST(FileLimit, ARolloverThatCannotMakeItsFileFailsTheWriter) {
  struct Case {
    const char* what;
    std::uint64_t packageSize, maxQueued;
    std::size_t buffered, next;  // Buffered into package 1 first, then the item on its way.
    bool keptInMemory;
  };
  for (const Case& c : {Case{"thread writer", 64, 1000, 0, 100, false},
                        Case{"thread writer, bytes buffered", 64, 1000, 30, 50, false},
                        Case{"database writer", 1000, 0, 0, 100, true}}) {
    SCOPED_TRACE(c.what);
    FolderDb db(c.packageSize, c.maxQueued, 1, 2, false, 200);
    std::string items[3] = {MakeItem(23, 0, 100), MakeItem(23, 1, c.buffered),
                            MakeItem(23, 2, c.next)};
    ItemLocation locations[3];
    ASSERT_EQ(Quillbox_Store(0, 100, items[0].data(), &locations[0], db.get()), 0);
    ASSERT_EQ(Quillbox_SynchronizePackage(0, db.get()), 0);  // 116 of the 200 bytes.
    if (c.buffered != 0) {
      ASSERT_EQ(Quillbox_Store(1, c.buffered, items[1].data(), &locations[1], db.get()), 0);
      ASSERT_TRUE(WaitUntil([&] { return LoadPos(&locations[1]) != kNoPosition; }));
      ASSERT_EQ(LoadFile(&locations[1]), kInMemory);
    }
    ASSERT_TRUE(WriterFails(db.get(), testing::Call::kCreate, 1, [&] {  // 116 + 116 > 200.
      Quillbox_Store(1, c.next, items[2].data(), &locations[2], db.get());
    }));
    const std::string text = Quillbox_GetErrorMessage(db.get());
    EXPECT_EQ(text.rfind("Unable to create file ", 0), 0u) << text;
    EXPECT_EQ(Quillbox_GetFileCount(db.get()), 1u);
    // Read before synchronizing: a Synchronize after the failure hands a job to the
    // thread writer, which may still run it and give up the buffered copy.
    for (int i = 0; i < 3; ++i) {  // The call returns 1, though the read is done.
      if (items[i].empty() || (i == 2 && !c.keptInMemory)) continue;
      std::string got(items[i].size(), '\0');
      EXPECT_EQ(Quillbox_RecoverRandom(got.size(), got.data(), &locations[i], i != 0, db.get()), 1);
      EXPECT_EQ(got, items[i]) << i;
    }
    EXPECT_EQ(ChainBytes(ReadChain(db.get(), 0)), items[0]);
    EXPECT_TRUE(Ends([&] { EXPECT_EQ(Quillbox_Synchronize(db.get()), 1); }, "Synchronize"));
    ExpectSalvage(db.db, db.dir, {items[0], ""}, 1000);
  }
}

}  // namespace
}  // namespace qbx::test
