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
using qbx::testing::Call;

struct Durability : Harness {
  std::string Folder(const std::string& name) {
    const std::string path = dir.File(name);
    fs::create_directories(path);
    return path;
  }
  // A database with the package file and `threads` writers, three packages stored,
  // synchronized and, when `save`, saved.
  void Record(int threads, bool save = true) {
    Create(256, 1000, true, std::vector<std::uint64_t>(threads, ~0ull), 3, 30, 600);
    ASSERT_TRUE(StoreAndSync());
    ASSERT_TRUE(!save || SaveIndex());
  }
  // Every package replays as stored.
  void ExpectReplays() {
    for (std::size_t p = 0; p < models.size(); ++p) {
      EXPECT_TRUE(ReadByCursor(db, p) == models[p].Joined()) << "package " << p;
    }
  }
};

// `path` spelled with a "." part before its name.
std::string Spelled(const std::string& path) {
  const fs::path p(path);
  return p.parent_path().string() + kSeparator + "." + kSeparator + p.filename().string();
}

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
  const char* path = nullptr;
  Create(256, 1000, true, {}, 4, 20);
  ASSERT_EQ(Quillbox_NewThread(&path, a.c_str(), 4096, db), 0);
  ASSERT_EQ(Quillbox_NewThread(&path, b.c_str(), ~0ull, db), 0);
  ASSERT_TRUE(StoreAndSync());
  qbx::testing::TakeFolderSyncs();
  ASSERT_TRUE(SaveIndex());
  std::vector<std::string> synced = qbx::testing::TakeFolderSyncs();
  EXPECT_TRUE(Has(synced, a)) << "a/";
  EXPECT_TRUE(Has(synced, b)) << "b/";
  EXPECT_TRUE(Has(synced, folder)) << "the package file's and the index's";

  ASSERT_TRUE(SaveIndex());
  EXPECT_EQ(qbx::testing::TakeFolderSyncs(), std::vector<std::string>{folder}) << "the index's";

  const std::uint64_t files = Quillbox_GetFileCount(db);
  AddItems(100, 2000);
  ASSERT_TRUE(StoreAndSync());
  ASSERT_GT(Quillbox_GetFileCount(db), files) << "the thread in a/ rolled over";
  ASSERT_TRUE(SaveIndex());
  synced = qbx::testing::TakeFolderSyncs();
  EXPECT_TRUE(Has(synced, a)) << "a/, for the new file";
  EXPECT_FALSE(Has(synced, b)) << "b/, which got no new file";
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

// Relocations and Saves that would overwrite a file the recording needs are refused, by
// any spelling of its path, change no file and set no error; the database goes on.
TEST_F(Durability, RelocationOrSaveOntoAFileTheRecordingNeedsIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Record(2, false));
  const std::string packageFile = Quillbox_GetDatabaseFileName(0, db);
  const std::string kept = Quillbox_GetDatabaseFileName(1, db);
  const std::string other = Quillbox_GetDatabaseFileName(2, db);
  const std::string packageBytes = ReadWholeFile(packageFile), keptBytes = ReadWholeFile(kept);

  // A Save onto one of the database's own files, before any index lists them: the index
  // would take the file's name, and its blocks would go with the last handle.
  for (const std::string& target : {packageFile, kept, Spelled(kept)}) {
    EXPECT_EQ(Quillbox_Save(target.c_str(), db), 1) << target;
  }
  EXPECT_EQ(ReadWholeFile(packageFile), packageBytes);
  EXPECT_EQ(ReadWholeFile(kept), keptBytes);
  ASSERT_TRUE(SaveIndex());
  const std::string saved = ReadWholeFile(index);

  // Only a file that is there can be lost to a Save: one to a new path goes ahead even
  // while a saved index cannot be read (it is opened only to guard an existing file).
  const std::string fresh = dir.File("fresh.index");
  CallFails(Call::kOpen, 1, [&] { EXPECT_EQ(Quillbox_Save(fresh.c_str(), db), 0) << "fresh"; });

  // A relocation onto an index the database saved: the copy would overwrite the index,
  // and with remove-old the old file would go too.
  for (const std::string& target : {index, Spelled(index)}) {
    EXPECT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db), 1) << target;
  }
  EXPECT_EQ(ReadWholeFile(index), saved);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), kept);

  // A relocation without removal leaves the old copy, which the saved index still lists
  // and reads at its Import: relocating another file onto it, or saving there, is refused.
  ASSERT_EQ(Quillbox_RelocateFileTo(1, dir.File("moved").c_str(), 0, db), 0);
  for (const std::string& target : {kept, Spelled(kept)}) {
    EXPECT_EQ(Quillbox_RelocateFileTo(2, target.c_str(), 1, db), 1) << target;
    EXPECT_EQ(Quillbox_Save(target.c_str(), db), 1) << target;
  }
  EXPECT_EQ(Quillbox_GetDatabaseFileName(2, db), other);
  EXPECT_EQ(ReadWholeFile(kept), keptBytes);
  EXPECT_EQ(ReadWholeFile(index), saved);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");

  // When the indexes cannot be rewritten, a relocation with remove-old has happened but
  // the old file stays, and the indexes that still name it import and read everything.
  const std::string moved = dir.File("moved2");
  qbx::testing::ArmFault(qbx::testing::Fault::kShortWrite, 1);  // The copy's one write passes.
  EXPECT_EQ(Quillbox_RelocateFileTo(2, moved.c_str(), 1, db), 1);
  qbx::testing::DisarmFault();
  EXPECT_STREQ(Quillbox_GetDatabaseFileName(2, db), moved.c_str()) << "relocated all the same";
  EXPECT_TRUE(fs::exists(other));
  for (const std::string& path : {fresh, std::string(index)}) {
    SCOPED_TRACE(path);
    index = path;
    Reopen(1000);
    EXPECT_EQ(Quillbox_GetDatabaseFileName(2, db), other);
    ExpectAllReadBack();
  }
}

// The system may drop the bytes of a failed sync and report the failure only once: a
// later sync succeeding proves nothing. After a data file's sync failed, every Save
// fails, and the index saved before stays whole.
TEST_F(Durability, AFailedSyncOfADataFileFailsEverySaveAfter) {
  ASSERT_NO_FATAL_FAILURE(Record(1, false));
  qbx::testing::CountCalls();
  const bool saved = SaveIndex();
  const std::uint64_t syncs = qbx::testing::CallCount(Call::kSyncFile);
  qbx::testing::StopFailingCalls();
  ASSERT_TRUE(saved);
  // The index is synced last, the thread's data file just before it.
  ASSERT_GE(syncs, 3u);
  ASSERT_TRUE(CallFails(Call::kSyncFile, syncs - 1,
                        [&] { EXPECT_EQ(Quillbox_Save(index.c_str(), db), 1); }));
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
    ASSERT_NO_FATAL_FAILURE(Record(1));
    Close();
    fs::rename(folder, dir.File(name + "/moved"));
    index = dir.File(name + "/moved/db.index");
    const std::string target = Folder(name + "/elsewhere") + "/data";
    {
      // Relative names lead to the files only from the folder they are relative to.
      WorkingFolder here(dir.File(name));
      ASSERT_EQ(Quillbox_Import(&db, relative ? "moved/db.index" : index.c_str(), 1000), 0);
      const std::string found = Quillbox_GetDatabaseFileName(1, db);
      EXPECT_EQ(fs::path(found).is_relative(), relative) << found;
      ASSERT_EQ(Quillbox_RelocateFileTo(1, target.c_str(), 1, db), 0);
      EXPECT_FALSE(fs::exists(found));
      Close();
    }
    // From another working folder: the rewritten index names no path relative to it.
    Reopen(1000);
    EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db), target);
    ExpectReplays();
    Close();
    models.clear();
  }
}

}  // namespace
}  // namespace qbx::test
