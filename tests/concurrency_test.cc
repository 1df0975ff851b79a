// Many caller threads against several writer threads: every package's chain on disk
// must equal its items in call order and every location must point at its item, with
// and without a package file, with tiny data files, and with synchronisation running
// while items are stored. A hung synchronisation fails the test instead of hanging it:
// the watchdog raises the error flag, which every waiting call gives up on.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

constexpr std::uint64_t kPackageSize = 64;

bool Placed(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

// Runs `bodies` on threads of their own and joins them. False when they did not all
// end within `seconds`; the error flag is raised then so that they end anyway.
bool RunThreads(Quillbox* db, const std::vector<std::function<void()>>& bodies,
                double seconds = 60) {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t done = 0;
  std::vector<std::thread> threads;
  for (const auto& body : bodies) {
    threads.emplace_back([&, &body = body] {
      body();
      std::lock_guard<std::mutex> lock(mutex);
      ++done;
      ended.notify_one();
    });
  }
  bool finished;
  {
    // A blocking wait, so that the watchdog takes no processor from the threads.
    std::unique_lock<std::mutex> lock(mutex);
    finished = ended.wait_for(lock, std::chrono::duration<double>(seconds),
                              [&] { return done == bodies.size(); });
  }
  if (!finished) db->errorFlag.store(true);
  for (std::thread& thread : threads) thread.join();
  return finished;
}

// Items planned up front, so that the tables never move while threads store.
struct Plan {
  std::vector<std::vector<std::string>> items;      // Per package, in store order.
  std::vector<std::vector<ItemLocation>> locations;  // Filled in by the library.
  std::vector<std::vector<std::pair<std::uint64_t, std::size_t>>> order;  // Per thread.
};

// Thread t owns packages t*perThread .. t*perThread+perThread-1 and stores `count`
// items into them in a random order: sizes 1 .. 3*packageSize, with a good share of
// exactly packageSize-1 and packageSize.
Plan MakePlan(int threads, int perThread, int count, std::uint64_t seed) {
  Plan plan;
  plan.items.resize(threads * perThread);
  plan.order.resize(threads);
  std::mt19937_64 random(seed);
  for (int t = 0; t < threads; ++t) {
    for (int k = 0; k < count; ++k) {
      const std::uint64_t package = t * perThread + random() % perThread;
      const std::uint64_t pick = random() % 10;
      const std::size_t size = pick == 0   ? kPackageSize - 1
                               : pick == 1 ? kPackageSize
                                           : 1 + random() % (3 * kPackageSize);
      std::vector<std::string>& items = plan.items[package];
      plan.order[t].emplace_back(package, items.size());
      items.push_back(MakeItem(package, items.size(), size));
    }
  }
  for (const auto& items : plan.items) plan.locations.emplace_back(items.size());
  return plan;
}

// Every chain equals the concatenation of its package's items, and each location
// names the block (file, header position, payload length) that holds its item at the
// item's place in the package.
void ExpectPackagesMatch(Quillbox* db, const Plan& plan) {
  for (std::uint64_t p = 0; p < plan.items.size(); ++p) {
    const std::vector<Block> chain = ReadChain(db, p);
    std::string all;
    for (const std::string& item : plan.items[p]) all += item;
    const std::string bytes = ChainBytes(chain);
    EXPECT_TRUE(bytes == all) << "package " << p << ": " << bytes.size() << " bytes on disk, "
                              << all.size() << " stored";
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::pair<const Block*, std::size_t>> blocks;
    std::size_t start = 0;
    for (const Block& block : chain) {
      blocks[{block.file, block.headerPos}] = {&block, start};
      start += block.payload.size();
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < plan.items[p].size(); ++i) {
      const std::string& item = plan.items[p][i];
      const ItemLocation& location = plan.locations[p][i];
      const std::uint64_t pos = LoadPos(&location);
      const std::uint32_t file = LoadFile(&location), inBlock = LoadOffsetInBlock(&location);
      const auto found = blocks.find({file, pos - inBlock - kBlockHeaderSize});
      const bool ok = Placed(location) && found != blocks.end() &&
                      LoadBlockLen(&location) == found->second.first->header.payloadLen &&
                      found->second.second + inBlock == offset &&
                      found->second.first->payload.compare(inBlock, item.size(), item) == 0;
      if (!ok) {
        ADD_FAILURE() << "package " << p << " item " << i << " at file " << file << " pos " << pos
                      << " offset " << inBlock << " blockLen " << LoadBlockLen(&location);
        break;
      }
      offset += item.size();
    }
  }
}

struct Stress {
  bool packageFile = false;
  std::uint64_t maxQueued = 2;
  std::uint64_t maxFileSize = ~std::uint64_t{0};
  int storers = 3;
  int writers = 3;
  int perThread = 6;
  int count = 1000;
  int syncEvery = 0;              // Each storer synchronizes its package every n stores.
  bool syncWhileStoring = false;  // The main thread runs Synchronize meanwhile.
};

// Stores a plan with the given options, synchronizes and checks every package.
void RunStress(const Stress& options) {
  TempDir dir;
  Db db(kPackageSize, options.maxQueued, options.packageFile ? dir.path().c_str() : nullptr);
  for (int w = 0; w < options.writers; ++w) db.AddThread(dir.path(), options.maxFileSize);
  Plan plan = MakePlan(options.storers, options.perThread, options.count, 42);
  for (std::size_t p = 0; p < plan.items.size(); ++p) db.AddPackage();

  std::atomic<int> failures{0}, running{options.storers};
  std::vector<std::function<void()>> bodies;
  for (int t = 0; t < options.storers; ++t) {
    bodies.push_back([&, t] {
      int n = 0;
      for (const auto& [package, index] : plan.order[t]) {
        const std::string& item = plan.items[package][index];
        if (Quillbox_Store(package, item.size(), item.data(), &plan.locations[package][index],
                           db.get()) != 0) {
          ++failures;
          break;
        }
        if (options.syncEvery != 0 && ++n % options.syncEvery == 0) {
          if (Quillbox_SynchronizePackage(package, db.get()) != 0) {
            ++failures;
            break;
          }
          for (std::size_t i = 0; i <= index; ++i) {
            if (!Placed(plan.locations[package][i])) ++failures;
          }
        }
      }
      --running;
    });
  }
  if (options.syncWhileStoring) {
    bodies.push_back([&] {
      while (running.load() != 0) {
        if (Quillbox_Synchronize(db.get()) != 0) {
          ++failures;
          break;
        }
      }
    });
  }
  ASSERT_TRUE(RunThreads(db.get(), bodies)) << "storing or synchronising hung";
  ASSERT_EQ(failures.load(), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ExpectPackagesMatch(db.get(), plan);
  if (options.maxFileSize == 1 && options.maxQueued > 1000) {
    // Only thread writers write, and each of their blocks starts a file of its own
    // except the first one in each slot's initial, empty file.
    std::uint64_t blocks = 0;
    for (std::uint64_t p = 0; p < plan.items.size(); ++p) blocks += ReadChain(db.get(), p).size();
    EXPECT_GE(Quillbox_GetFileCount(db.get()), blocks);
    EXPECT_LE(Quillbox_GetFileCount(db.get()), blocks + options.writers);
  }
}

TEST(Concurrency, OwnedPackagesMatchTheirItemsWithoutAPackageFile) {
  RunStress({});
}

TEST(Concurrency, OwnedPackagesMatchTheirItemsWithAPackageFile) {
  Stress options;
  options.packageFile = true;
  RunStress(options);
}

TEST(Concurrency, OneByteFileLimitGivesNearlyEveryBlockAFileOfItsOwn) {
  Stress options;
  options.maxFileSize = 1;
  options.maxQueued = 1u << 20;
  options.count = 200;
  RunStress(options);
}

TEST(Concurrency, PackageFileWithQueueLimitZeroOrOneAndOwnersSynchronizing) {
  for (const std::uint64_t limit : {0u, 1u}) {
    SCOPED_TRACE(limit);
    Stress options;
    options.packageFile = true;
    options.maxQueued = limit;
    options.count = 300;
    options.syncEvery = 5;
    RunStress(options);
  }
}

// Synchronize hands zero-byte jobs into packages that their owners keep storing into,
// while nearly every block makes its writer roll over to a new file.
TEST(Concurrency, SynchronizeRunningWhileStoringWithOneByteFilesFinishes) {
  Stress options;
  options.maxFileSize = 1;
  options.count = 200;
  options.syncWhileStoring = true;
  RunStress(options);
}

// A job whose turn has not come keeps its slot until it has, so with a single writer
// thread a job must never hold the slot while its predecessor still looks for one.
// Two threads keep storing into the package while a third stores and synchronizes it
// repeatedly; after each call every item the third stored before it must be placed.
TEST(Concurrency, SynchronizePackageEndsWhileOthersStoreIntoThePackage) {
  TempDir dir;
  Db db(kPackageSize, 8, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage();
  std::atomic<int> failures{0};
  std::atomic<bool> syncing{true};
  std::vector<ItemLocation> mine(60);
  std::vector<std::function<void()>> bodies;
  for (int t = 0; t < 2; ++t) {
    bodies.push_back([&, t] {
      for (int i = 0; syncing.load() && i < 1000; ++i) {
        const std::string item = MakeItem(100 + t, i, 1 + (i * 37) % 150);
        if (Quillbox_Store(p, item.size(), item.data(), nullptr, db.get()) != 0) break;
      }
    });
  }
  bodies.push_back([&] {
    for (std::size_t i = 0; i < mine.size(); ++i) {
      const std::string item = MakeItem(200, i, 1 + (i * 53) % 150);
      if (Quillbox_Store(p, item.size(), item.data(), &mine[i], db.get()) != 0 ||
          Quillbox_SynchronizePackage(p, db.get()) != 0) {
        ++failures;
        break;
      }
      for (std::size_t k = 0; k <= i; ++k) {
        if (!Placed(mine[k])) ++failures;
      }
    }
    syncing = false;
  });
  EXPECT_TRUE(RunThreads(db.get(), bodies, 20)) << "SynchronizePackage or Store hung";
  EXPECT_EQ(failures.load(), 0);
}

// SynchronizePackage right after a hand-over into a package without a buffer (a new
// one, or one whose buffer the database writer has just released) must not return
// before the handed-over item is placed.
TEST(Concurrency, SynchronizePackageAfterAHandOverWaitsForTheItem) {
  TempDir dir;
  Db db(kPackageSize, 0, nullptr);
  db.AddThread(dir.path());
  db.AddThread(dir.path());
  const std::uint64_t reused = db.AddPackage();
  std::vector<std::string> stored;
  for (int i = 0; i < 150; ++i) {
    const std::uint64_t p = i % 2 == 0 ? db.AddPackage() : reused;
    if (p == reused) {
      const std::string small = MakeItem(300, i, 3);
      ASSERT_EQ(Quillbox_Store(p, small.size(), small.data(), nullptr, db.get()), 0);
      stored.push_back(small);
    }
    const std::string item = MakeItem(301, i, kPackageSize + i % 10);
    ItemLocation location;
    ASSERT_EQ(Quillbox_Store(p, item.size(), item.data(), &location, db.get()), 0);
    ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);
    ASSERT_TRUE(Placed(location)) << "iteration " << i;
    ASSERT_GE(LoadBlockLen(&location), item.size());
    if (p == reused) {
      stored.push_back(item);
    } else {
      const std::vector<Block> chain = ReadChain(db.get(), p);
      ASSERT_EQ(chain.size(), 1u);
      ASSERT_EQ(chain[0].payload, item);
      ASSERT_EQ(LoadPos(&location), chain[0].headerPos + kBlockHeaderSize);
    }
  }
  std::string all;
  for (const std::string& item : stored) all += item;
  EXPECT_TRUE(ChainBytes(ReadChain(db.get(), reused)) == all);
}

}  // namespace
}  // namespace qbx::test
