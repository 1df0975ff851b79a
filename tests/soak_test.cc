// Soak: three callers store into several packages of a database whose writers have
// tiny file limits (they roll over to new files all the time), while one thread reads
// items back by location and replays packages, and another replaces items and moves
// data files, with and without removing the old ones. Every read is checked as it
// happens: an item reads back as stored or as replaced, never in part, and a replay is
// the package's first items in order. At the end everything is synchronized, saved,
// imported and compared with the model, by location, by replay and on disk. Bounded
// by counts of operations; all threads are added before the relocations start, and no
// file name is asked for while another thread may relocate.
#include <filesystem>
#include <set>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPackages = 6;
constexpr std::size_t kItems = 300;      // Per package.
constexpr int kReads = 1500;
constexpr int kMutations = 240;          // Replaces, and every 8th a relocation too.
constexpr std::size_t kNewestRead = 8;   // StoreConcurrently reads these back itself.

struct Soak : Harness {
  // Which items were replaced; set once Replace has returned.
  std::deque<std::vector<std::atomic<bool>>> replaced;
  std::atomic<bool> failed{false};
  std::string firstFailure;  // Set once, by the thread that set `failed`.

  void Fail(const std::string& what) {
    if (!failed.exchange(true)) firstFailure = what;
  }
  static std::string Replacement(std::size_t p, std::size_t i, std::size_t size) {
    return MakeItem(100 + p, i, size);
  }
  std::size_t Stored() const {
    std::size_t total = 0;
    for (const PackageModel& m : models) total += m.stored;
    return total;
  }
  // Waits until `share` of the items are stored, so that reads and mutations spread
  // over the whole recording.
  bool AwaitShare(int step, int steps) {
    const std::size_t want = kPackages * kItems * static_cast<std::size_t>(step) / steps;
    return WaitUntil([&] { return failed || Stored() >= want; });
  }
  bool Accepts(std::size_t p, std::size_t i, const std::string& bytes) const {
    const std::string& item = models[p].items[i];
    return bytes == item || bytes == Replacement(p, i, item.size());
  }
  // Whether `replay` is package p's first items, whole, each as stored or replaced.
  bool IsReplayOf(std::size_t p, const std::string& replay, std::size_t stored) const {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < stored && offset < replay.size(); ++i) {
      const std::size_t size = models[p].items[i].size();
      if (offset + size > replay.size() || !Accepts(p, i, replay.substr(offset, size))) {
        return false;
      }
      offset += size;
    }
    return offset == replay.size();
  }

  void Reader() {
    std::mt19937 random(11);
    for (int op = 0; op < kReads && !failed; ++op) {
      if (!AwaitShare(op, kReads)) return Fail("the callers made no progress");
      const std::size_t p = random() % kPackages;
      const std::size_t n = models[p].stored;
      if (n == 0) continue;
      if (op % 16 == 0) {
        const std::string replay = ReadByCursor(db, p);
        // The item whose Store is under way may already be in the replay: `stored`
        // counts it only once Store has returned.
        const std::size_t upTo = std::min(models[p].stored + 1, models[p].items.size());
        if (!IsReplayOf(p, replay, upTo)) {
          return Fail("package " + std::to_string(p) + " replays bytes never stored");
        }
        continue;
      }
      const std::size_t i = random() % n;
      std::string bytes(models[p].items[i].size(), '\0');
      if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), &models[p].locations[i], p, db) != 0 ||
          !Accepts(p, i, bytes)) {
        return Fail("item " + std::to_string(i) + " of package " + std::to_string(p) +
                    " does not read back");
      }
    }
  }

  // Replaces placed items and, every 8th time, moves a data file to a new path.
  void Mutator(std::vector<std::string>* removed, std::vector<std::string>* kept) {
    std::mt19937 random(12);
    const std::string moved = dir.File("moved");
    for (int op = 0; op < kMutations && !failed; ++op) {
      if (!AwaitShare(op, kMutations)) return Fail("the callers made no progress");
      const std::size_t p = random() % kPackages;
      const std::size_t n = models[p].stored;
      if (n > kNewestRead) {
        // Items stored before this call are placed once it returns.
        if (Quillbox_SynchronizePackage(p, db) != 0) return Fail("SynchronizePackage failed");
        const std::size_t i = random() % (n - kNewestRead);
        const std::string bytes = Replacement(p, i, models[p].items[i].size());
        if (Quillbox_Replace(bytes.size(), bytes.data(), &models[p].locations[i], db) != 0) {
          return Fail("Replace failed");
        }
        replaced[p][i] = true;
      }
      if (op % 8 == 7) {
        const std::uint64_t file = random() % Quillbox_GetFileCount(db);
        const std::string old = Quillbox_GetDatabaseFileName(file, db);
        const std::string target = moved + kSeparator + "file" + std::to_string(op);
        const std::uint32_t removeOld = op % 16 == 15;
        if (Quillbox_RelocateFileTo(file, target.c_str(), removeOld, db) != 0) {
          return Fail("RelocateFileTo failed");
        }
        (removeOld ? removed : kept)->push_back(old);
      }
    }
  }
};

TEST_F(Soak, StoresReadsReplacesAndRelocationsAgreeWithTheModel) {
  Create(512, 2, true, {2048, 4096, 2048}, kPackages, kItems, 1500);
  fs::create_directory(dir.File("moved"));
  for (PackageModel& m : models) replaced.emplace_back(m.items.size());
  std::vector<std::string> removed, kept;
  std::atomic<bool> storedAll{false};
  {
    std::thread storing([&] {
      storedAll = StoreConcurrently(3);
      if (!storedAll) Fail("a Store or a read-back of a new item failed");
    });
    std::thread reader([&] { Reader(); });
    std::thread mutator([&] { Mutator(&removed, &kept); });
    storing.join();
    reader.join();
    mutator.join();
  }
  ASSERT_FALSE(failed) << firstFailure;
  ASSERT_EQ(Quillbox_Synchronize(db), 0);
  EXPECT_GT(Quillbox_GetFileCount(db), 12u) << "the writers rolled over to new files";
  // A name that a relocation removed may come back with a file made later (the Windows
  // run-time's names repeat once free), which may itself still be in use or have been
  // moved away with its old copy kept; otherwise it is gone.
  std::set<std::string> inUse(kept.begin(), kept.end());
  for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
    inUse.insert(Quillbox_GetDatabaseFileName(k, db));
  }
  for (const std::string& name : removed) {
    EXPECT_TRUE(!fs::exists(name) || inUse.count(name) != 0) << name;
  }
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(name)) << name;
  std::size_t replacedCount = 0;
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (std::size_t i = 0; i < models[p].items.size(); ++i) {
      if (!replaced[p][i]) continue;
      models[p].items[i] = Replacement(p, i, models[p].items[i].size());
      ++replacedCount;
    }
  }
  EXPECT_GT(replacedCount, kMutations / 2u);
  {
    SCOPED_TRACE("live");
    ExpectAllReadBack();
  }
  ASSERT_TRUE(SaveIndex());
  Reopen(1000);
  SCOPED_TRACE("imported");
  ExpectAllReadBack();
}

}  // namespace
}  // namespace qbx::test
