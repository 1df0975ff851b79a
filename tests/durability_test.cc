// What Save and relocation make durable before they return, as crash-consistency needs
// it: a new data file's folder is synced before a Save that lists the file returns, and
// a relocation that removes the old file makes the copy durable and rewrites every
// index of the database to name it before the only other copy goes.
#if !defined(_WIN32)
#include <signal.h>
#endif

#include <algorithm>
#include <filesystem>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

struct Durability : Harness {
  std::string Folder(const std::string& name) {
    const std::string path = dir.File(name);
    fs::create_directories(path);
    return path;
  }
  void AddThreadIn(const std::string& where, std::uint64_t maxFileSize = ~0ull) {
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, where.c_str(), maxFileSize, db), 0);
  }
  // Every package replays as stored.
  void ExpectReplays() {
    for (std::size_t p = 0; p < models.size(); ++p) {
      EXPECT_TRUE(ReadByCursor(db, p) == models[p].Joined()) << "package " << p;
    }
  }
};

bool Has(const std::vector<std::string>& folders, const std::string& folder) {
  return std::find(folders.begin(), folders.end(), folder) != folders.end();
}

// Two writers on two "disks" (folders): the first Save syncs both folders, the package
// file's and the index's; the next one only the index's; a rollover makes a new file
// whose folder the next Save syncs again.
TEST_F(Durability, SaveSyncsTheFolderOfEachNewDataFileOnce) {
#if defined(_WIN32)
  GTEST_SKIP() << "a rename with write-through makes folder entries durable there";
#endif
  const std::string a = Folder("a"), b = Folder("b");
  ASSERT_EQ(Quillbox_Create(&db, 256, 1000, folder.c_str()), 0);
  AddThreadIn(a, 4096);
  AddThreadIn(b);
  for (int p = 0; p < 4; ++p) AddPackage();
  AddItems(20);
  ASSERT_TRUE(StoreAndSync());
  qbx::testing::TakeFolderSyncs();
  ASSERT_TRUE(SaveIndex());
  std::vector<std::string> synced = qbx::testing::TakeFolderSyncs();
  EXPECT_TRUE(Has(synced, a) && Has(synced, b) && Has(synced, folder)) << synced.size();

  ASSERT_TRUE(SaveIndex());
  EXPECT_EQ(qbx::testing::TakeFolderSyncs(), std::vector<std::string>{folder}) << "the index's";

  const std::uint64_t files = Quillbox_GetFileCount(db);
  AddItems(100, 2000);
  ASSERT_TRUE(StoreAndSync());
  ASSERT_GT(Quillbox_GetFileCount(db), files) << "the thread in a/ rolled over";
  ASSERT_TRUE(SaveIndex());
  synced = qbx::testing::TakeFolderSyncs();
  EXPECT_TRUE(Has(synced, a) && !Has(synced, b));
  Reopen(1000);
  ExpectReplays();
}

// A process killed right after relocating a file with remove-old: both indexes it saved
// (in two folders) still import and read everything they covered.
TEST_F(Durability, KillAfterRelocationWithRemoveOldKeepsEveryIndexValid) {
  QUILLBOX_SKIP_WITHOUT_FORK();
#if !defined(_WIN32)
  const std::string other = Folder("other"), moved = Folder("moved") + "/data";
  const std::string second = other + "/second.index";
  models.resize(3);
  AddItems(40, 600);  // Before the fork, so that parent and child have the same items.
  const int child = RunInChild([&] {
    if (Quillbox_Create(&db, 256, 1000, folder.c_str()) != 0) return 2;
    AddThread();
    for (int p = 0; p < 3; ++p) AddPackage();
    if (!StoreAndSync() || !SaveIndex() || Quillbox_Save(second.c_str(), db) != 0) return 3;
    const std::string name = Quillbox_GetDatabaseFileName(1, db);
    if (Quillbox_RelocateFileTo(1, moved.c_str(), 1, db) != 0 || fs::exists(name)) return 4;
    raise(SIGKILL);
    return 5;
  });
  EXPECT_EQ(child, 128 + SIGKILL) << "killed";
  for (const std::string& path : {index, second}) {
    SCOPED_TRACE(path);
    ASSERT_EQ(Quillbox_Import(&db, path.c_str(), 1000), 0);
    EXPECT_STREQ(Quillbox_GetDatabaseFileName(1, db), moved.c_str());
    ExpectReplays();
    Quillbox_Destroy(std::exchange(db, nullptr));
  }
#endif
}

// When an index cannot be rewritten, the relocation has happened but the old file
// stays, and the index that still names it imports and reads everything.
TEST_F(Durability, AFailedIndexRewriteKeepsTheOldFile) {
  Create(256, 1000, true, {~0ull}, 3, 30, 600);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string oldName = Quillbox_GetDatabaseFileName(1, db);
  const std::string moved = dir.File("moved");
  qbx::testing::ArmFault(qbx::testing::Fault::kShortWrite, 1);  // The copy's one write passes.
  EXPECT_EQ(Quillbox_RelocateFileTo(1, moved.c_str(), 1, db), 1);
  qbx::testing::DisarmFault();
  EXPECT_STREQ(Quillbox_GetDatabaseFileName(1, db), moved.c_str()) << "relocated all the same";
  EXPECT_TRUE(fs::exists(oldName));
  Reopen(1000);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), oldName);
  ExpectAllReadBack();
}

// A relocation onto an index the database saved, by any spelling of its path, is refused:
// the copy would overwrite the index, and with remove-old the old file would go too.
TEST_F(Durability, RelocationOntoAnIndexOfTheDatabaseIsRefused) {
  Create(256, 1000, true, {~0ull}, 3, 30, 600);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string saved = ReadWholeFile(index);
  const std::string oldName = Quillbox_GetDatabaseFileName(1, db);
  const std::string spelled =
      dir.path() + kSeparator + "." + kSeparator + fs::path(index).filename().string();
  for (const std::string& target : {index, spelled}) {
    EXPECT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db), 1) << target;
  }
  EXPECT_EQ(ReadWholeFile(index), saved);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), oldName);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
  Reopen(1000);
  ExpectAllReadBack();
}

// A relocation without removal leaves the old copy, which the saved index still lists
// and reads at its Import: relocating another file onto it, or saving an index there, is
// refused, and the saved recording stays whole.
TEST_F(Durability, RelocationOrSaveOntoAFileThatASavedIndexListsIsRefused) {
  Create(256, 1000, true, {~0ull, ~0ull}, 3, 30, 600);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string saved = ReadWholeFile(index);
  const std::string kept = Quillbox_GetDatabaseFileName(1, db);
  const std::string keptBytes = ReadWholeFile(kept);
  const std::string moved = dir.File("moved");
  ASSERT_EQ(Quillbox_RelocateFileTo(1, moved.c_str(), 0, db), 0);
  const std::string other = Quillbox_GetDatabaseFileName(2, db);
  const std::string spelled = fs::path(kept).parent_path().string() + kSeparator + "." +
                              kSeparator + fs::path(kept).filename().string();
  for (const std::string& target : {kept, spelled}) {
    EXPECT_EQ(Quillbox_RelocateFileTo(2, target.c_str(), 1, db), 1) << target;
    EXPECT_EQ(Quillbox_Save(target.c_str(), db), 1) << target;
  }
  EXPECT_EQ(Quillbox_GetDatabaseFileName(2, db), other);
  EXPECT_EQ(ReadWholeFile(kept), keptBytes);
  EXPECT_EQ(ReadWholeFile(index), saved);
  Reopen(1000);
  ExpectAllReadBack();
}

// Only a file that is there can be lost to a Save: one to a new path goes ahead even
// while a saved index cannot be read (it is opened only to guard an existing file).
TEST_F(Durability, ASaveToANewPathDoesNotReadTheSavedIndexes) {
  Create(256, 1000, true, {~0ull}, 2, 10);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string fresh = dir.File("fresh.index");
  qbx::testing::FailCall(qbx::testing::Call::kOpen, 1);
  const std::uint8_t saved = Quillbox_Save(fresh.c_str(), db);
  qbx::testing::StopFailingCalls();
  EXPECT_EQ(saved, 0);
  index = fresh;
  Reopen(1000);
  ExpectAllReadBack();
}

// A Save onto one of the database's own files, by any spelling of its path, is refused:
// the index would take the file's name, and its blocks would go with the last handle.
TEST_F(Durability, SaveOntoAFileOfTheDatabaseIsRefused) {
  Create(256, 1000, true, {~0ull}, 3, 30, 600);
  ASSERT_TRUE(StoreAndSync());
  const std::string packageFile = Quillbox_GetDatabaseFileName(0, db);
  const std::string dataFile = Quillbox_GetDatabaseFileName(1, db);
  const std::string spelled = fs::path(dataFile).parent_path().string() + kSeparator + "." +
                              kSeparator + fs::path(dataFile).filename().string();
  const std::string packageBytes = ReadWholeFile(packageFile);
  const std::string dataBytes = ReadWholeFile(dataFile);
  for (const std::string& target : {packageFile, dataFile, spelled}) {
    EXPECT_EQ(Quillbox_Save(target.c_str(), db), 1) << target;
  }
  EXPECT_EQ(ReadWholeFile(packageFile), packageBytes);
  EXPECT_EQ(ReadWholeFile(dataFile), dataBytes);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
  ASSERT_TRUE(SaveIndex());
  Reopen(1000);
  ExpectAllReadBack();
}

// The system may drop the bytes of a failed sync and report the failure only once: a
// later sync succeeding proves nothing. After a data file's sync failed, every Save
// fails, and the index saved before stays whole.
TEST_F(Durability, AFailedSyncOfADataFileFailsEverySaveAfter) {
  Create(256, 1000, true, {~0ull}, 3, 30, 600);
  ASSERT_TRUE(StoreAndSync());
  qbx::testing::CountCalls();
  const bool saved = SaveIndex();
  const std::uint64_t syncs = qbx::testing::CallCount(qbx::testing::Call::kSyncFile);
  qbx::testing::StopFailingCalls();
  ASSERT_TRUE(saved);
  // The index is synced last, the thread's data file just before it.
  ASSERT_GE(syncs, 3u);
  qbx::testing::FailCall(qbx::testing::Call::kSyncFile, syncs - 1);
  EXPECT_EQ(Quillbox_Save(index.c_str(), db), 1);
  const bool failed = qbx::testing::CallFailed();
  qbx::testing::StopFailingCalls();
  ASSERT_TRUE(failed);
  const std::string savedBytes = ReadWholeFile(index);
  for (const std::string& target : {index, dir.File("other.index")}) {
    EXPECT_EQ(Quillbox_Save(target.c_str(), db), 1) << target;
  }
  EXPECT_EQ(ReadWholeFile(index), savedBytes);
  EXPECT_FALSE(fs::exists(dir.File("other.index")));
  ExpectReplays();
  Reopen(1000);
  ExpectAllReadBack();
}

// An index of a recording that was moved names its files where they were: relocating
// one of them with remove-old still rewrites that index, which then names the new path.
// Imported by a path relative to the working folder, the database names the files it
// found relative to it too; the index is rewritten all the same.
TEST_F(Durability, RelocatingAFileOfAMovedRecordingRewritesItsIndex) {
  for (const bool relative : {false, true}) {
    SCOPED_TRACE(relative ? "imported by a relative path" : "imported by a full path");
    const std::string name = relative ? "relative" : "full";
    folder = Folder(name + "/recording");
    index = folder + "/db.index";
    Create(256, 1000, true, {~0ull}, 3, 30, 600);
    ASSERT_TRUE(StoreAndSync() && SaveIndex());
    Quillbox_Destroy(std::exchange(db, nullptr));
    fs::rename(folder, dir.File(name + "/moved"));
    index = dir.File(name + "/moved/db.index");
    const std::string target = Folder(name + "/elsewhere") + "/data";
    std::string found;
    {
      // Relative names lead to the files only from the folder they are relative to.
      WorkingFolder here(dir.File(name));
      ASSERT_EQ(Quillbox_Import(&db, relative ? "moved/db.index" : index.c_str(), 1000), 0);
      found = Quillbox_GetDatabaseFileName(1, db);
      EXPECT_EQ(fs::path(found).is_relative(), relative) << found;
      ASSERT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db), 0);
      EXPECT_FALSE(fs::exists(found));
      Quillbox_Destroy(std::exchange(db, nullptr));
    }
    ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 0);
    EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), target);
    ExpectReplays();
    Quillbox_Destroy(std::exchange(db, nullptr));
    models.clear();
  }
}

}  // namespace
}  // namespace qbx::test
