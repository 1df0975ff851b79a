// Caller threads against writer threads: every chain on disk must hold each caller's
// items in its call order and every location must point at its item, also while
// callers synchronize and when they share a package. A hung call aborts the run
// instead of hanging it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "read_support.h"

namespace qbx::test {
namespace {

bool Placed(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

// Runs `bodies` on threads of their own and waits for them all; true once they have
// ended. When they have not ended within five minutes the process aborts: the futures
// would wait for them without a limit, and they use the database.
bool RunThreads(const std::vector<std::function<void()>>& bodies) {
  std::vector<std::future<void>> threads;
  for (const auto& body : bodies) threads.push_back(std::async(std::launch::async, body));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  for (std::size_t k = 0; k < threads.size(); ++k) {
    if (threads[k].wait_until(deadline) != std::future_status::ready) {
      AbortHung("thread " + std::to_string(k) + " of " + std::to_string(threads.size()));
    }
  }
  return true;
}

struct Stress {
  std::uint32_t slots;
  std::uint64_t packageSize, maxQueued, maxFileSize;
  bool packageFile;
  bool shared;            // All callers store into one package, else each into six of its own.
  int count, syncEvery;   // Items per caller; SynchronizePackage after every n-th.
  bool syncWhileStoring;  // Another thread runs Synchronize meanwhile.
};

struct Item {
  std::uint64_t package;
  std::string bytes;  // The first byte names the caller.
  ItemLocation location;
};

// Three callers store random items (of packageSize - 1 or packageSize bytes, or up to
// three packages and more) into random packages, then each chain is split by the
// callers' tags.
void RunStress(const Stress& o) {
  constexpr int kCallers = 3;
  const int owned = o.shared ? 1 : 6, packages = o.shared ? 1 : kCallers * owned;
  TempDir dir;
  Db db(o.packageSize, o.maxQueued, o.packageFile ? dir.path().c_str() : nullptr);
  for (std::uint32_t w = 0; w < o.slots; ++w) db.AddThread(dir.path(), o.maxFileSize);
  for (int p = 0; p < packages; ++p) db.AddPackage();
  std::vector<std::vector<Item>> plan(kCallers, std::vector<Item>(o.count));
  std::mt19937_64 random(42);
  for (int c = 0; c < kCallers; ++c) {
    for (int i = 0; i < o.count; ++i) {
      const std::uint64_t pick = random() % 10;
      const std::size_t size = pick < 2 && o.packageSize != 0
                                   ? o.packageSize - 2 + pick
                                   : random() % (3 * o.packageSize + 100);
      plan[c][i].package = (o.shared ? 0 : c * owned) + random() % owned;
      plan[c][i].bytes = static_cast<char>('a' + c) + MakeItem(c, i, size);
    }
  }
  std::atomic<int> failures{0}, running{kCallers};
  std::vector<std::function<void()>> bodies;
  for (int c = 0; c < kCallers; ++c) {
    bodies.push_back([&, c] {
      for (int i = 0; i < o.count && failures.load() == 0; ++i) {
        Item& item = plan[c][i];
        failures += Quillbox_Store(item.package, item.bytes.size(), item.bytes.data(),
                                   &item.location, db.get());
        if (o.syncEvery == 0 || i % o.syncEvery != 0) continue;
        // Every item this caller stored into the package before must be placed now.
        failures += Quillbox_SynchronizePackage(item.package, db.get());
        for (int k = 0; k <= i; ++k) {
          failures += plan[c][k].package == item.package && !Placed(plan[c][k].location);
        }
      }
      --running;
    });
  }
  if (o.syncWhileStoring) {
    bodies.push_back([&] {
      while (running.load() != 0) failures += Quillbox_Synchronize(db.get());
    });
  }
  ASSERT_TRUE(RunThreads(bodies)) << "storing or synchronizing hung";
  ASSERT_EQ(failures.load(), 0);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);

  // Items never span blocks, so each block is a run of whole items; each location names
  // its block and offset.
  for (int p = 0; p < packages; ++p) {
    std::vector<int> next(kCallers, 0);
    auto skip = [&](int c) {
      while (next[c] < o.count && plan[c][next[c]].package != std::uint64_t(p)) ++next[c];
    };
    for (const Block& block : ReadChain(db.get(), p)) {
      for (std::size_t at = 0; at < block.payload.size();) {
        const int c = block.payload[at] - 'a';
        ASSERT_TRUE(c >= 0 && c < kCallers) << "package " << p << ": unknown bytes";
        skip(c);
        ASSERT_LT(next[c], o.count) << "package " << p << ": an item too many";
        const Item& item = plan[c][next[c]++];
        const ItemLocation& l = item.location;
        ASSERT_TRUE(block.payload.compare(at, item.bytes.size(), item.bytes) == 0 &&
                    LoadFile(&l) == block.file && LoadOffsetInBlock(&l) == at &&
                    LoadPos(&l) == block.headerPos + kBlockHeaderSize + at &&
                    LoadBlockLen(&l) == block.header.payloadLen)
            << "package " << p << ": item " << next[c] - 1 << " of caller " << c;
        at += item.bytes.size();
      }
    }
    for (int c = 0; c < kCallers; ++c) {
      skip(c);
      EXPECT_EQ(next[c], o.count) << "package " << p << " lacks items of caller " << c;
    }
  }
}

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

TEST(Concurrency, ChainsHoldEachCallersItemsInOrderAndLocationsPointAtThem) {
  const Stress cases[] = {
      // Each caller owns six packages: a small queue limit, also with a package file.
      {3, 64, 2, kNoLimit, false, false, 1000, 0, false},
      {3, 64, 2, kNoLimit, true, false, 1000, 0, false},
      // Queue limit 0 and 1 with a package file, callers synchronizing.
      {3, 64, 0, kNoLimit, true, false, 300, 5, false},
      {3, 64, 1, kNoLimit, true, false, 300, 5, false},
      // SynchronizePackage right after each Store, hand-overs mostly into packages whose
      // buffer the database writer has just released: it returns once the item is placed.
      {2, 64, 0, kNoLimit, false, false, 150, 1, false},
      // Synchronize runs while storing, and nearly every block rolls over to a new file.
      {3, 64, 2, 1, false, false, 200, 0, true},
      // All callers share one package and synchronize it now and then: SynchronizePackage
      // ends while the others keep storing, and no job waits for a predecessor that has
      // no slot, also with a single slot and with no buffer at all.
      {1, 64, 2, kNoLimit, false, true, 300, 7, false},
      {2, 64, 2, kNoLimit, false, true, 300, 7, false},
      {2, 0, 2, kNoLimit, false, true, 300, 7, false},
  };
  for (const Stress& stress : cases) {
    SCOPED_TRACE(&stress - cases);
    RunStress(stress);
  }
}

// Relocations from two threads at once run one at a time: of two moving one file to
// one path, one moves it and the other finds the path taken by a data file. Saves beside
// relocations with remove-old leave indexes that each name the file where it lies: each
// one imports and replays.
TEST(Concurrency, RelocationsRunOneAtATimeAndEveryIndexNamesTheFileWhereItLies) {
  TempDir dir;
  Db db(64, 1000, dir.path().c_str());
  db.AddThread(dir.path());
  db.AddPackage();
  std::string stored;
  for (int i = 0; i < 20; ++i) {
    const std::string item = MakeItem(0, i, 10 + i * 7);
    ASSERT_EQ(Quillbox_Store(0, item.size(), item.data(), nullptr, db.get()), 0);
    stored += item;
  }
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  const auto bothAtOnce = [&](const std::function<void(int)>& body) {
    std::atomic<int> ready{0};
    const auto side = [&](int k) {
      ready.fetch_add(1);
      EXPECT_TRUE(WaitUntil([&] { return ready.load() == 2; }));
      body(k);
    };
    return RunThreads({[&] { side(0); }, [&] { side(1); }});
  };
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const std::string target = dir.File("same" + std::to_string(round));
    int results[2] = {-1, -1};
    ASSERT_TRUE(bothAtOnce([&](int k) {
      results[k] = Quillbox_RelocateFileTo(1, target.c_str(), round % 2, db.get());
    }));
    EXPECT_EQ(results[0] + results[1], 1) << results[0] << " " << results[1];
    EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db.get()), target);
  }
  // A caller reading the file's name while it moves reads a whole name, old or new.
  std::set<std::string> names = {Quillbox_GetDatabaseFileName(1, db.get())};
  std::vector<std::string> targets;
  for (int round = 0; round < 10; ++round) {
    targets.push_back(dir.File("named" + std::to_string(round)));
    names.insert(targets.back());
  }
  std::atomic<bool> moved{false};
  const auto relocate = [&] {
    for (const std::string& target : targets) {
      EXPECT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db.get()), 0);
    }
    moved = true;
  };
  const auto readName = [&] {
    while (!moved.load()) {
      const char* name = Quillbox_GetDatabaseFileName(1, db.get());
      EXPECT_TRUE(name != nullptr && names.count(name) == 1);
      std::this_thread::yield();
    }
  };
  ASSERT_TRUE(RunThreads({relocate, readName}));
  std::vector<std::string> indexes;
  for (int round = 0; round < 10; ++round) {
    indexes.push_back(dir.File("db" + std::to_string(round) + ".index"));
    const std::string target = dir.File("moved" + std::to_string(round));
    ASSERT_TRUE(bothAtOnce([&](int k) {
      if (k == 0) {
        EXPECT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db.get()), 0);
      } else {
        EXPECT_EQ(Quillbox_Save(indexes.back().c_str(), db.get()), 0);
      }
    }));
  }
  EXPECT_EQ(ReadByCursor(db.get(), 0), stored);
  db.Destroy();
  for (const std::string& index : indexes) {
    Quillbox* imported = nullptr;
    ASSERT_EQ(Quillbox_Import(&imported, index.c_str(), 1000), 0) << index;
    EXPECT_EQ(ReadByCursor(imported, 0), stored) << index;
    Quillbox_Destroy(imported);
  }
}

}  // namespace
}  // namespace qbx::test
