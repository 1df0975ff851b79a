// What a writer failure leaves behind: Save still writes an index of everything that
// reached the data files whole, the files it lists stay, and an Import of that index
// reads back every item whose location held a file position when writing stopped, by
// location and by replaying its package, and goes on storing after it. Failures come
// from the fault hook at each kind of write, and from a real file-size limit.
#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;
using qbx::testing::Fault;

// Items of 65 to 6000 bytes and a few empty ones: no item is as long as a link patch
// (12 bytes), a block header (16) or a package record (44), so a fault armed for one of
// those sizes hits that kind of write alone.
void AddMixedItems(std::deque<PackageModel>& models, std::size_t count) {
  std::mt19937 random(7);
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t size = random() % 10 == 0 && i != 0 ? 0 : 65 + random() % 5936;
      models[p].items.push_back(MakeItem(p, i, size));
    }
    models[p].locations.resize(count);
    for (ItemLocation& location : models[p].locations) MarkAccepted(&location);  // Not stored.
  }
}

bool HoldsFilePosition(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

// Where each item stood once writing had stopped, by package.
using Snapshot = std::vector<std::vector<ItemLocation>>;

Snapshot TakeSnapshot(const std::deque<PackageModel>& models) {
  Snapshot snapshot(models.size());
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (const ItemLocation& location : models[p].locations) {
      snapshot[p].push_back({LoadPos(&location), LoadFile(&location),
                             LoadOffsetInBlock(&location), LoadBlockLen(&location)});
    }
  }
  return snapshot;
}

// Checks the database imported from a salvage index against the items and where they
// stood: every item that held a file position reads back by that location, and each
// package replays as a whole-item prefix of its items that holds every such item.
// Returns how many items held a file position.
std::size_t ExpectSalvaged(Quillbox* db, const std::deque<PackageModel>& models,
                           const Snapshot& snapshot) {
  std::size_t placed = 0;
  for (std::size_t p = 0; p < models.size(); ++p) {
    SCOPED_TRACE("package " + std::to_string(p));
    bool ended = false;
    const std::string replay = ReadByCursor(db, p, &ended);
    EXPECT_TRUE(ended) << "a replay ends cleanly";
    std::size_t whole = 0, offset = 0;
    const auto& items = models[p].items;
    while (whole < items.size() && offset + items[whole].size() <= replay.size()) {
      offset += items[whole++].size();
    }
    EXPECT_EQ(offset, replay.size()) << "the replay ends on an item boundary";
    EXPECT_TRUE(replay == models[p].Joined(whole)) << "the replay is the package's first items";
    for (std::size_t i = 0; i < snapshot[p].size(); ++i) {
      if (!HoldsFilePosition(snapshot[p][i])) continue;
      ++placed;
      EXPECT_LT(i, whole) << "item " << i << " held a file position but is not replayed";
      std::string bytes(models[p].items[i].size(), '\0');
      EXPECT_EQ(Quillbox_RecoverRandom(bytes.size(), bytes.data(), &snapshot[p][i], p, db), 0);
      EXPECT_TRUE(bytes == models[p].items[i]) << "item " << i;
    }
  }
  return placed;
}

// A fault at one kind of write, and the salvage of what was written before it.
struct FaultSite {
  const char* name;
  Fault fault;
  std::uint64_t skip;
  std::size_t minSize, maxSize;
};

struct Salvage : Harness, ::testing::WithParamInterface<FaultSite> {
  // The first half of every package is synchronized before the fault is armed, so it
  // must all come back.
  void RecordUntilAWriterFails() {
    Create(4096, 2, true, {~0ull, ~0ull}, 6, 0);
    AddMixedItems(models, 120);
    ASSERT_TRUE(StoreConcurrently(2, 60));
    ASSERT_EQ(Quillbox_Synchronize(db), 0);
    ASSERT_TRUE(SaveIndex());  // An older index, from before the failure.
    const FaultSite& site = GetParam();
    qbx::testing::ArmFault(site.fault, site.skip, site.minSize, site.maxSize);
    StoreConcurrently(2);
    Quillbox_Synchronize(db);
    const bool failed = WaitUntil([&] { return db->HasFailed(); });
    qbx::testing::DisarmFault();
    ASSERT_TRUE(failed) << "the fault never fired";
  }
  // Saves into another folder, destroys the database and imports the salvage index.
  Snapshot SaveDestroyAndImport() {
    const std::string message = Quillbox_GetErrorMessage(db);
    const std::string older = index;
    fs::create_directory(dir.File("elsewhere"));
    index = dir.File("elsewhere") + kSeparator + "salvage.index";
    EXPECT_EQ(Quillbox_Save(index.c_str(), db), 1) << "the failure is still reported";
    EXPECT_EQ(Quillbox_GetErrorMessage(db), message) << "and its text kept";
    Snapshot snapshot = TakeSnapshot(models);
    std::vector<std::string> names;
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
      names.push_back(Quillbox_GetDatabaseFileName(k, db));
    }
    Quillbox_Destroy(std::exchange(db, nullptr));
    for (const std::string& name : names) EXPECT_TRUE(fs::exists(name)) << name << " was deleted";
    // The index saved before the failure never leads a reader into the bytes of a
    // failed write either: each package still replays as whole items.
    EXPECT_EQ(Quillbox_Import(&db, older.c_str(), 1000), 0);
    ExpectSalvaged(db, models, Snapshot(models.size()));
    Quillbox_Destroy(std::exchange(db, nullptr));
    EXPECT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
    return snapshot;
  }
};

TEST_P(Salvage, SaveAfterAWriterFailureKeepsEveryPlacedItem) {
  RecordUntilAWriterFails();
  const Snapshot snapshot = SaveDestroyAndImport();
  ASSERT_NE(db, nullptr);
  for (std::size_t p = 0; p < models.size(); ++p) {
    for (std::size_t i = 0; i < 60; ++i) ASSERT_TRUE(HoldsFilePosition(snapshot[p][i]));
  }
  EXPECT_GE(ExpectSalvaged(db, models, snapshot), models.size() * 60);

  // The salvaged records agree with the files: new items join each chain at its end.
  AddThread();
  for (std::size_t p = 0; p < models.size(); ++p) {
    const std::string before = ReadByCursor(db, p);
    ASSERT_EQ(Quillbox_Store(p, 5000, MakeItem(p, 999, 5000).data(), nullptr, db), 0);
    ASSERT_EQ(Quillbox_Synchronize(db), 0);
    EXPECT_TRUE(ReadByCursor(db, p) == before + MakeItem(p, 999, 5000)) << "package " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(
    AtEachKindOfWrite, Salvage,
    ::testing::Values(FaultSite{"BlockPayloadTorn", Fault::kTornWrite, 3, 65, ~std::size_t{0}},
                      FaultSite{"BlockHeader", Fault::kShortWrite, 2, 16, 16},
                      FaultSite{"LinkPatch", Fault::kShortWrite, 2, 12, 12},
                      FaultSite{"PackageRecord", Fault::kShortWrite, 1, 44, 44}),
    [](const auto& info) { return std::string(info.param.name); });

using SalvageUnderALimit = Harness;

// A child records from two callers into two writers until its file-size limit stops a
// writer part way through a block, saves the salvage index beside the recording, notes
// where every item stood and destroys the database; then, with the limit lifted, it
// imports the index and checks it against the items and their locations.
TEST_F(SalvageUnderALimit, FileSizeLimitStopsAWriterAndNothingPlacedIsLost) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  index = dir.File("salvage.index");
  const int child = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit cap{};  // The hard limit stays, as raising it needs root.
    if (getrlimit(RLIMIT_FSIZE, &cap) != 0) return 2;
    const rlimit lifted{cap.rlim_max, cap.rlim_max};
    cap.rlim_cur = 768 * 1024;
    if (setrlimit(RLIMIT_FSIZE, &cap) != 0) return 2;
    if (Quillbox_Create(&db, 4096, 2, folder.c_str()) != 0) return 3;
    AddThread();
    AddThread();
    for (int p = 0; p < 6; ++p) AddPackage();
    AddMixedItems(models, 700);
    StoreConcurrently(2);
    Quillbox_Synchronize(db);
    if (!db->HasFailed()) return 4;
    if (Quillbox_Save(index.c_str(), db) != 1 || !fs::exists(index)) return 5;
    const Snapshot snapshot = TakeSnapshot(models);
    if (setrlimit(RLIMIT_FSIZE, &lifted) != 0) return 6;
    Close();
    if (Quillbox_Import(&db, index.c_str(), 1000) != 0) return 7;
    EXPECT_GT(ExpectSalvaged(db, models, snapshot), 0u);
    return HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(child, 0) << "the checks in the child (their failures are printed above)";
#endif
}

}  // namespace
}  // namespace qbx::test
