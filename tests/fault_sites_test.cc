// Every I/O call site under a fault. A fixed workload (two writers with tiny file
// limits, an early-flushing database writer, Save, Import, Replace, relocation with and
// without removal of the old file, cursor and random reads) runs once to count the
// platform calls of each kind, then once per counted call with exactly that call
// failing. Each run must end (no crash, no hang), report its failure (a result 1 or the
// writers' error flag), leave a database that works or at least goes away, and lose
// nothing: an Import of the last index that Save reported written gives back every item
// placed before that Save, by replay and by location.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;
using qbx::testing::Call;
using qbx::testing::CallFailure;

constexpr std::uint64_t kPackageSize = 256;
constexpr std::uint64_t kFileLimit = 1024;
constexpr std::size_t kPackages = 4;
// Kinds with more calls than this run a deterministic, evenly spread sample.
constexpr std::uint64_t kMostRunsPerKind = 100;
constexpr std::uint64_t kMostShortRuns = 30;

// Aborts the process when a run does not end in time: a hang must not stall the suite.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit)
      : thread_([this, what = std::move(what), limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!ended_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "fault sites: run hung: %s\n", what.c_str());
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  std::thread thread_;
};

// Where the armed call failed: the workload step running at that moment, and whether
// it failed in the caller's thread or in a writer.
std::atomic<int> currentStep{0};
std::atomic<int> currentDatabase{0};  // 1 made by Create, 2 by Import.
std::atomic<int> failedStep{-1};
std::atomic<int> failedDatabase{0};
std::atomic<bool> failedInCaller{false};
std::thread::id callerThread;

void NoteFailure(Call) {
  failedStep.store(currentStep.load());
  failedDatabase.store(currentDatabase.load());
  failedInCaller.store(std::this_thread::get_id() == callerThread);
}

struct ItemModel {
  std::string current;                // What the item holds after the last Replace.
  std::vector<std::string> accepted;  // Every content it held: older indexes and copies.
  bool maybe = false;                 // Store returned 1: stored or not.
  bool torn = false;                  // A Replace failed: any bytes of its size.
  bool inSecond = false;              // Stored into the imported database.
  ItemLocation location{};
};

using Snapshot = std::vector<std::vector<ItemLocation>>;

bool HoldsFilePosition(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

enum Step {
  kCreate = 1,
  kNewThread,
  kNewPackage,
  kStore,
  kRead,
  kCursor,
  kSave,
  kReplace,
  kRelocate,
  kRelocateRemove,
  kSyncPackage,
  kSync,
  kLiveCheck,
  kDestroy,
  kImport,
  kSecondDestroy,
};

// One run of the workload, and the checks of its outcome.
class WorkloadRun {
 public:
  WorkloadRun() {
    fs::create_directory(folderA_);
    fs::create_directory(folderB_);
    fs::create_directory(moved_);
    models_.resize(kPackages);
  }
  ~WorkloadRun() {
    Quillbox_Destroy(db_);
    qbx::testing::StopFailingCalls();
  }

  void Workload() {
    callerThread = std::this_thread::get_id();
    currentDatabase = 1;
    if (!Check(kCreate, [&] { return Quillbox_Create(&db_, kPackageSize, 1, folderA_.c_str()); })) {
      return;
    }
    for (const std::string* folder : {&folderA_, &folderB_}) {
      const char* path = nullptr;
      Check(kNewThread,
            [&] { return Quillbox_NewThread(&path, folder->c_str(), kFileLimit, db_); });
    }
    // A package that could not be made is asked for again.
    for (int attempt = 0; attempt < 8 && Quillbox_GetPackageCount(db_) < kPackages; ++attempt) {
      std::uint64_t number = 0;
      const std::uint64_t before = Quillbox_GetPackageCount(db_);
      if (Check(kNewPackage, [&] { return Quillbox_NewPackage(&number, db_); }) &&
          number != before) {
        wrong_ = "packages numbered out of order";
      }
    }
    if (Quillbox_GetPackageCount(db_) != kPackages) return DestroyDatabase(kDestroy);
    StorePhase(8, 1);
    ReadPackage(0);
    Save(dir_.File("one.index"));
    ReplaceItem(1, 1);
    ReplaceItem(2, 2);
    StorePhase(8, 2);
    Check(kRelocate, [&] { return Quillbox_RelocateFileTo(1, (moved_ + "/one").c_str(), 0, db_); });
    Check(kSyncPackage, [&] { return Quillbox_SynchronizePackage(3, db_); });
    ReadPackage(3);
    Save(dir_.File("two.index"));
    StorePhase(6, 3);
    Check(kRelocateRemove,
          [&] { return Quillbox_RelocateFileTo(2, (moved_ + "/two").c_str(), 1, db_); });
    ReplaceItem(3, 9);
    Save(dir_.File("three.index"));
    LiveCheck(false);
    DestroyDatabase(kDestroy);

    // The recording goes on in a database imported from the last index written.
    if (lastIndex_.empty()) return;
    currentDatabase = 2;
    if (!Check(kImport, [&] { return Quillbox_Import(&db_, lastIndex_.c_str(), 1); })) return;
    importedFrom_ = lastSnapshot_;
    // Items stored after that Save may or may not be in the imported chains: they are
    // there when their package's record was parked in the package file meanwhile.
    for (std::size_t p = 0; p < kPackages; ++p) {
      for (std::size_t i = 0; i < models_[p].size(); ++i) {
        if (i >= importedFrom_[p].size() || !HoldsFilePosition(importedFrom_[p][i])) {
          models_[p][i].maybe = true;
        }
      }
    }
    const char* path = nullptr;
    Check(kNewThread, [&] { return Quillbox_NewThread(&path, folderB_.c_str(), kFileLimit, db_); });
    StorePhase(4, 4, true);
    ReplaceItem(0, 3);
    ReadPackage(1);
    Save(dir_.File("four.index"));
    Check(kSync, [&] { return Quillbox_Synchronize(db_); });
    LiveCheck(true);
    DestroyDatabase(kSecondDestroy);
  }

  // What the run did wrong, or empty. Call with the hook disarmed.
  std::string Outcome(bool armed, std::string* silent) {
    if (!wrong_.empty()) return wrong_;
    if (armed && qbx::testing::CallFailed() && !reported_) {
      const int step = failedStep.load();
      // Failures that nothing can report: those during destruction, and the removal
      // of files that are no longer needed.
      if (step != kDestroy && step != kSecondDestroy && kind_ != Call::kRemove) {
        return "the failure was not reported (step " + std::to_string(step) + ")";
      }
      *silent = "step " + std::to_string(step);
    }
    return LostCheck();
  }

  void SetKind(Call kind) { kind_ = kind; }
  bool Reported() const { return reported_; }

 private:
  // Runs one call of the workload as step `step`; true on success.
  // A call whose own I/O failed in this thread returns 1 (only the removal of a file
  // that is no longer needed may fail unseen).
  template <typename Body>
  bool Check(int step, Body&& body) {
    currentStep = step;
    const bool before = qbx::testing::CallFailed();
    const int result = body();
    if (result != 0) reported_ = true;
    if (result == 0 && !before && qbx::testing::CallFailed() && failedInCaller &&
        kind_ != Call::kRemove && wrong_.empty()) {
      wrong_ = "a call of step " + std::to_string(step) + " returned 0 although its I/O failed";
    }
    return result == 0;
  }
  // A writer's failure while this database ran shows as its error flag and message.
  void DestroyDatabase(int step) {
    if (qbx::testing::CallFailed() && !failedInCaller && failedDatabase == currentDatabase &&
        wrong_.empty() && (!Failed() || *Quillbox_GetErrorMessage(db_) == '\0')) {
      wrong_ = "a writer's failure at step " + std::to_string(failedStep) +
               " left no error flag and message";
    }
    currentStep = step;
    Quillbox_Destroy(std::exchange(db_, nullptr));
  }
  bool Failed() { return db_ != nullptr && db_->HasFailed(); }

  void StorePhase(std::size_t count, unsigned seed, bool second = false) {
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t p = 0; p < kPackages; ++p) {
        const unsigned kind = random() % 8;
        std::size_t size = kind == 0 ? 0 : kind <= 2 ? 257 + random() % 200 : 1 + random() % 60;
        if (models_[p].empty()) size = std::max<std::size_t>(size, 1);
        ItemModel& item = models_[p].emplace_back();
        item.current = MakeItem(p, models_[p].size() - 1, size);
        item.accepted = {item.current};
        item.inSecond = second;
        MarkAccepted(&item.location);
        item.maybe = !Check(kStore, [&] {
          return Quillbox_Store(p, size, item.current.data(), &item.location, db_);
        });
      }
      if (i % 3 == 2) {  // One of the newest items, wherever the writers have it.
        const std::size_t p = random() % kPackages;
        ReadItem(p, models_[p].size() - 1 - random() % 3);
      }
    }
  }

  // Reads an item through RecoverRandom; a result 0 must give its bytes.
  void ReadItem(std::size_t p, std::size_t i) {
    const ItemModel& item = models_[p][i];
    if (item.maybe || item.torn) return;
    std::string bytes(item.current.size(), '\0');
    if (Check(kRead,
              [&] {
                return Quillbox_RecoverRandom(bytes.size(), bytes.data(), &item.location, p, db_);
              }) &&
        bytes != item.current) {
      wrong_ = "RecoverRandom gave wrong bytes for item " + std::to_string(i) + " of package " +
               std::to_string(p);
    }
  }

  // Replays a package through a cursor; what a cursor delivers must be the package's
  // items in order.
  void ReadPackage(std::size_t p) {
    ItemCursor* cursor = nullptr;
    if (Check(kCursor, [&] { return Quillbox_Open(&cursor, p, db_); })) {
      std::string all;
      char piece[100];
      for (std::uint64_t count = 0;; all.append(piece, count)) {
        if (!Check(kCursor,
                   [&] {
                     return Quillbox_RecoverContinous(&count, sizeof piece, piece, cursor, db_);
                   }) ||
            count == 0) {
          break;
        }
      }
      std::size_t matched = 0;
      // A cursor whose reading failed may stop inside an item.
      if (!Replays(p, all, &matched, reported_)) {
        wrong_ = "a cursor gave bytes that were never stored";
      }
    }
    Quillbox_Close(&cursor);
  }

  void ReplaceItem(std::size_t p, std::size_t i) {
    if (i >= models_[p].size()) return;
    ItemModel& item = models_[p][i];
    if (item.maybe || item.current.empty()) return;
    const std::string bytes = MakeItem(100 + p, i, item.current.size());
    if (Check(kReplace,
              [&] { return Quillbox_Replace(bytes.size(), bytes.data(), &item.location, db_); })) {
      item.current = bytes;
      item.accepted.push_back(bytes);
    } else {
      item.torn = true;  // All, a part or none of the new bytes may be in the file.
    }
  }

  void Save(const std::string& path) {
    if (!Check(kSave, [&] { return Quillbox_Save(path.c_str(), db_); })) return;
    lastIndex_ = path;
    lastSnapshot_.assign(kPackages, {});
    for (std::size_t p = 0; p < kPackages; ++p) {
      for (const ItemModel& item : models_[p]) lastSnapshot_[p].push_back(item.location);
    }
  }

  // While no writer has failed, every stored item reads back as it is now.
  void LiveCheck(bool second) {
    if (Failed()) return;
    for (std::size_t p = 0; p < kPackages; ++p) {
      for (std::size_t i = 0; i < models_[p].size(); ++i) {
        const ItemModel& item = models_[p][i];
        const bool known = second ? item.inSecond || (i < importedFrom_[p].size() &&
                                                      HoldsFilePosition(importedFrom_[p][i]))
                                  : !item.inSecond;
        if (!known || item.maybe || item.torn) continue;
        std::string bytes(item.current.size(), '\0');
        const bool before = qbx::testing::CallFailed();
        const bool read = Check(kLiveCheck, [&] {
          return Quillbox_RecoverRandom(bytes.size(), bytes.data(), &item.location, p, db_);
        });
        // A read may fail when its own I/O failed, or once a writer has failed.
        const bool failedHere = !before && qbx::testing::CallFailed();
        if ((!read || bytes != item.current) && !(!read && failedHere) && !Failed()) {
          wrong_ = std::string(second ? "imported" : "first") + " database: item " +
                   std::to_string(i) + " of package " + std::to_string(p) +
                   (!read ? " does not read back" : " reads back wrong");
          return;
        }
      }
    }
  }

  // True when `bytes` is a run of the package's items in order, each as it was stored
  // or replaced (an item whose Store failed may be missing); `*matched` gets how many
  // of the model's items it covers.
  bool Replays(std::size_t p, const std::string& bytes, std::size_t* matched,
               bool partialTail = false) const {
    std::size_t offset = 0, i = 0;
    for (; i < models_[p].size() && offset < bytes.size(); ++i) {
      const ItemModel& item = models_[p][i];
      const std::size_t size = item.current.size();
      bool fits = offset + size <= bytes.size() && size != 0;
      if (fits && !item.torn) {
        fits = std::find(item.accepted.begin(), item.accepted.end(), bytes.substr(offset, size)) !=
               item.accepted.end();
      }
      if (fits) {
        offset += size;
      } else if (partialTail && offset + size > bytes.size() &&
                 PartlyHolds(item, bytes.substr(offset))) {
        *matched = i;
        return true;
      } else if (!item.maybe && size != 0) {
        break;
      }
    }
    // Empty items at the end are delivered as well, also after items that may be missing.
    while (i < models_[p].size() && (models_[p][i].current.empty() || models_[p][i].maybe)) ++i;
    *matched = i;
    return offset == bytes.size();
  }

  // Whether `tail` is how the item, as stored or replaced, begins.
  static bool PartlyHolds(const ItemModel& item, const std::string& tail) {
    if (item.torn) return true;
    for (const std::string& content : item.accepted) {
      if (content.compare(0, tail.size(), tail) == 0) return true;
    }
    return false;
  }

  // An Import of the last index written gives back every item placed before it.
  std::string LostCheck() {
    if (lastIndex_.empty()) return "";
    Quillbox* db = nullptr;
    if (Quillbox_Import(&db, lastIndex_.c_str(), 1000) != 0) {
      return "the last index written does not import: " + lastIndex_;
    }
    std::string lost;
    for (std::size_t p = 0; p < kPackages && lost.empty(); ++p) {
      bool ended = false;
      const std::string replay = ReadByCursor(db, p, &ended);
      std::size_t matched = 0;
      if (!ended || !Replays(p, replay, &matched)) {
        lost = "package " + std::to_string(p) + " does not replay (" +
               std::to_string(replay.size()) + " bytes, " + std::to_string(matched) + " of " +
               std::to_string(models_[p].size()) + " items matched" + (ended ? ")" : ", no end)");
        break;
      }
      for (std::size_t i = 0; i < lastSnapshot_[p].size(); ++i) {
        const ItemModel& item = models_[p][i];
        if (!HoldsFilePosition(lastSnapshot_[p][i]) || item.maybe) continue;
        if (i >= matched) {
          lost = "item " + std::to_string(i) + " of package " + std::to_string(p) +
                 " is missing from its replay";
          break;
        }
        std::string bytes(item.current.size(), '\0');
        if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), &lastSnapshot_[p][i], p, db) != 0 ||
            (!item.torn &&
             std::find(item.accepted.begin(), item.accepted.end(), bytes) == item.accepted.end())) {
          lost = "item " + std::to_string(i) + " of package " + std::to_string(p) +
                 " does not read back by its location";
          break;
        }
      }
    }
    Quillbox_Destroy(db);
    return lost.empty()
               ? ""
               : "lost: " + lost + " (index " + fs::path(lastIndex_).filename().string() + ")";
  }

  TempDir dir_;
  const std::string folderA_ = dir_.File("a"), folderB_ = dir_.File("b"),
                    moved_ = dir_.File("moved");
  std::deque<std::deque<ItemModel>> models_;
  Quillbox* db_ = nullptr;
  bool reported_ = false;  // A call returned 1.
  std::string wrong_;
  std::string lastIndex_;
  Snapshot lastSnapshot_, importedFrom_;
  Call kind_ = Call::kCreate;
};

struct Planned {
  Call kind;
  std::uint64_t number;
  CallFailure how;
};

std::string Describe(const Planned& run) {
  return std::string(qbx::testing::CallName(run.kind)) + " #" + std::to_string(run.number) +
         (run.how == CallFailure::kShort ? " (short)" : "");
}

// Up to `most` numbers from 1 to `count`, spread evenly, first and last included.
std::vector<std::uint64_t> Sample(std::uint64_t count, std::uint64_t most) {
  std::vector<std::uint64_t> numbers;
  if (count <= most) {
    for (std::uint64_t n = 1; n <= count; ++n) numbers.push_back(n);
  } else {
    for (std::uint64_t k = 0; k < most; ++k) numbers.push_back(1 + k * (count - 1) / (most - 1));
  }
  return numbers;
}

TEST(FaultSites, EveryFailingCallIsReportedAndLosesNothing) {
  qbx::testing::SetCallFailureObserver(NoteFailure);
  std::uint64_t counts[qbx::testing::kCallKinds] = {};
  {
    Watchdog watchdog("counting run", std::chrono::seconds(300));
    WorkloadRun run;
    qbx::testing::CountCalls();
    run.Workload();
    qbx::testing::StopFailingCalls();
    for (std::size_t k = 0; k < qbx::testing::kCallKinds; ++k) {
      counts[k] = qbx::testing::CallCount(static_cast<Call>(k));
    }
    std::string silent;
    ASSERT_EQ(run.Outcome(false, &silent), "") << "the workload fails without a fault";
    ASSERT_FALSE(run.Reported()) << "a call of the workload returns 1 without a fault";
  }
  std::vector<Planned> plan;
  std::string tally;
  std::string sampled;
  for (std::size_t k = 0; k < qbx::testing::kCallKinds; ++k) {
    const Call kind = static_cast<Call>(k);
    for (const std::uint64_t n : Sample(counts[k], kMostRunsPerKind)) {
      plan.push_back({kind, n, CallFailure::kFail});
    }
    if (kind == Call::kRead || kind == Call::kWrite) {
      for (const std::uint64_t n : Sample(counts[k], kMostShortRuns)) {
        plan.push_back({kind, n, CallFailure::kShort});
      }
    }
    if (counts[k] > kMostRunsPerKind) {
      sampled += std::string(sampled.empty() ? "" : ", ") + qbx::testing::CallName(kind) + " " +
                 std::to_string(kMostRunsPerKind) + " of " + std::to_string(counts[k]);
    }
    tally += std::string(k == 0 ? "" : ", ") + qbx::testing::CallName(kind) + " " +
             std::to_string(counts[k]);
  }
  std::printf("fault sites: calls counted: %s\n", tally.c_str());
  std::printf(
      "fault sites: sampled, evenly spread: %s (reads and writes also %llu short ones); "
      "every call of the other kinds\n",
      sampled.c_str(), static_cast<unsigned long long>(kMostShortRuns));

  std::uint64_t failed = 0, recovered = 0, lost = 0, unreached = 0, silentCount = 0;
  for (const Planned& planned : plan) {
    Watchdog watchdog(Describe(planned), std::chrono::seconds(120));
    failedStep = -1;
    failedDatabase = 0;
    failedInCaller = false;
    std::string problem, silent;
    {
      WorkloadRun run;
      run.SetKind(planned.kind);
      qbx::testing::FailCall(planned.kind, planned.number, planned.how);
      run.Workload();
      qbx::testing::StopFailingCalls();
      if (!qbx::testing::CallFailed()) ++unreached;
      problem = run.Outcome(true, &silent);
    }
    ++failed;
    if (!silent.empty()) ++silentCount;
    if (problem.empty()) {
      ++recovered;
    } else {
      if (problem.rfind("lost", 0) == 0) ++lost;
      ADD_FAILURE() << Describe(planned) << " (failed at step " << failedStep.load()
                    << (failedInCaller ? ", caller" : ", writer") << "): " << problem;
    }
  }
  qbx::testing::SetCallFailureObserver(nullptr);
  std::printf("fault sites: %llu runs whose call was not reached, %llu silent by design\n",
              static_cast<unsigned long long>(unreached),
              static_cast<unsigned long long>(silentCount));
  std::printf("fault sites: %llu failed, %llu recovered, %llu lost\n",
              static_cast<unsigned long long>(failed), static_cast<unsigned long long>(recovered),
              static_cast<unsigned long long>(lost));
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(failed, recovered);
  // A run whose failing call never came counts as recovered although nothing failed:
  // those stay few (the writers' calls vary a little from run to run; about 1 in 100).
  EXPECT_LT(unreached, failed / 10) << "the workload no longer reaches the calls counted";
}

// Blocks stored after a Save can link into a file that the saved index does not list.
// A database imported from that index gives the same file index to the next file it
// makes, and the stale link must not lead a package's chain into that file's blocks of
// another package.
TEST(FaultSites, StaleLinkIntoAFileMadeAfterImportDoesNotJoinChains) {
  TempDir dir;
  const std::string index = dir.File("db.index");
  std::vector<std::string> items;
  for (std::uint64_t i = 0; i < 6; ++i) items.push_back(MakeItem(0, i, 300));
  Quillbox* db = nullptr;
  ASSERT_EQ(Quillbox_Create(&db, kPackageSize, 1000, dir.path().c_str()), 0);
  const char* path = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), kFileLimit, db), 0);
  std::uint64_t package = 0;
  ASSERT_EQ(Quillbox_NewPackage(&package, db), 0);
  ASSERT_EQ(Quillbox_NewPackage(&package, db), 0);
  // Each item outgrows the package buffer and takes a block of its own: three blocks
  // fill a file, the fourth starts file 2.
  for (std::size_t i = 0; i < items.size(); ++i) {
    ASSERT_EQ(Quillbox_Store(0, items[i].size(), items[i].data(), nullptr, db), 0);
    ASSERT_EQ(Quillbox_Synchronize(db), 0);
    if (i == 1) {
      ASSERT_EQ(Quillbox_Save(index.c_str(), db), 0);
    }
  }
  ASSERT_GT(Quillbox_GetFileCount(db), 2u) << "the items after the Save reach a new file";
  Quillbox_Destroy(db);
  db = nullptr;

  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
  ASSERT_EQ(Quillbox_GetFileCount(db), 2u);
  ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), kFileLimit, db), 0);  // File 2 again.
  const std::string other = MakeItem(1, 0, 300);
  ASSERT_EQ(Quillbox_Store(1, other.size(), other.data(), nullptr, db), 0);
  ASSERT_EQ(Quillbox_Synchronize(db), 0);
  bool ended = false;
  const std::string replay = ReadByCursor(db, 0, &ended);
  EXPECT_TRUE(ended);
  EXPECT_EQ(replay.find(other.substr(0, 32)), std::string::npos)
      << "package 1's block joined package 0";
  std::string prefix;
  std::size_t whole = 0;
  while (whole < items.size() && prefix.size() < replay.size()) prefix += items[whole++];
  EXPECT_GE(whole, 2u);
  EXPECT_TRUE(replay == prefix) << "package 0 replays as its first items";
  // Package 0 goes on after its last block in the listed files.
  const std::string next = MakeItem(0, 99, 300);
  ASSERT_EQ(Quillbox_Store(0, next.size(), next.data(), nullptr, db), 0);
  ASSERT_EQ(Quillbox_Synchronize(db), 0);
  const std::string after = ReadByCursor(db, 0);
  EXPECT_TRUE(after == replay + next || after == items[0] + items[1] + next);
  EXPECT_TRUE(ReadByCursor(db, 1) == other);
  Quillbox_Destroy(db);
}

}  // namespace
}  // namespace qbx::test
