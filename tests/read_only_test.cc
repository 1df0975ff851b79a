// Recordings opened for reading only: on a file system that refuses writing (the
// platform layer's hook, and a real read-only bind mount where the test may make one)
// an import reads everything and refuses every call that would write; and an import of
// a writable recording followed by reads changes no file either.
#if defined(__linux__)
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include "read_support.h"
#include "recording_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

// Makes the hook refuse writing below a folder for the scope's life.
struct RefusedWriting {
  explicit RefusedWriting(const std::string& folder) { testing::RefuseWritingUnder(folder); }
  ~RefusedWriting() { testing::RefuseWritingUnder(""); }
};

// A saved recording with a package file, two writers (one rolling over), and six
// packages: with a queue limit of 2 some records lie parked in the package file, the
// others held in the index.
struct ReadOnly : Harness {
  TempDir elsewhere;  // Another disk, where writing works.
  void Record() {
    Create(256, 2, true, {2048, ~0ull}, 6, 40);
    ASSERT_TRUE(StoreAndSync() && SaveIndex());
    Close();
  }
  // Every item through a cursor, by location, on disk, and through OpenItem.
  void ExpectEverythingReads() {
    ExpectAllReadBack();
    for (std::size_t p = 0; p < models.size(); ++p) {
      const std::size_t i = models[p].items.size() / 2;
      ItemCursor* cursor = nullptr;
      ASSERT_EQ(Quillbox_OpenItem(&cursor, &models[p].locations[i], db), 0);
      EXPECT_EQ(Drain(db, cursor), models[p].Joined().substr(models[p].Joined(i).size()));
      Quillbox_Close(&cursor);
    }
  }
  // Each call that would write returns 1, changes nothing the database reports, and
  // leaves the error message empty.
  void ExpectWritesRefused() {
    const std::uint64_t files = Quillbox_GetFileCount(db), packages = Quillbox_GetPackageCount(db);
    const char* path = nullptr;
    std::uint64_t package = 0;
    const std::string bytes(models[0].items[1].size(), 'x');
    EXPECT_EQ(Quillbox_Store(0, 3, "abc", nullptr, db), 1);
    EXPECT_EQ(Quillbox_NewThread(&path, elsewhere.path().c_str(), ~0ull, db), 1);
    EXPECT_EQ(Quillbox_NewPackage(&package, db), 1);
    EXPECT_EQ(Quillbox_Replace(bytes.size(), bytes.data(), &models[0].locations[1], db), 1);
    EXPECT_EQ(Quillbox_RelocateFileTo(1, elsewhere.File("moved").c_str(), 0, db), 1);
    EXPECT_EQ(Quillbox_RelocateFileTo(1, elsewhere.File("moved").c_str(), 1, db), 1);
    EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
    EXPECT_EQ(Quillbox_GetFileCount(db), files);
    EXPECT_EQ(Quillbox_GetPackageCount(db), packages);
    EXPECT_TRUE(elsewhere.Entries().empty()) << "nothing made on the other disk";
  }
};

TEST_F(ReadOnly, ImportsChangeNoFileAndARefusingFileSystemOpensReadOnly) {
  ASSERT_NO_FATAL_FAILURE(Record());
  const FolderState before = Snapshot(folder);
  // Writable: records held beyond the queue limit stay in memory, a parked record loaded
  // for reading goes back unwritten, and Destroy writes nothing.
  for (const std::uint64_t limit : {0ull, 1ull, 100ull}) {
    SCOPED_TRACE(limit);
    ASSERT_EQ(Quillbox_Import(&db, index.c_str(), limit), 0);
    ExpectEverythingReads();
    ExpectEverythingReads();  // Records parked again in between are loaded again.
    Close();
    EXPECT_TRUE(Snapshot(folder) == before);
  }
  {
    RefusedWriting readOnly(folder);
    ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 1), 0);
    ExpectEverythingReads();
    ExpectWritesRefused();
    ExpectEverythingReads();  // The refusals left the database as it was.
    EXPECT_EQ(Quillbox_Synchronize(db), 0);
    EXPECT_EQ(Quillbox_Save(index.c_str(), db), 1) << "the recording's folder is read-only";
    EXPECT_EQ(Quillbox_Save(elsewhere.File("copy.index").c_str(), db), 0);
    Close();
  }
  EXPECT_TRUE(Snapshot(folder) == before) << "no byte and no time of any file changed";
  // The index saved elsewhere lists the recording's files; writable again, it imports
  // and goes on.
  ASSERT_EQ(Quillbox_Import(&db, elsewhere.File("copy.index").c_str(), 1), 0);
  ExpectEverythingReads();
  AddThread();
  AddItems(5);
  ASSERT_TRUE(StoreAndSync());
  ExpectAllReadBack();
}

#if defined(__linux__)
// The child's results besides 0 (all checks passed) and 1 (a check failed).
constexpr int kNoMountNamespace = 20, kNoReadOnlyMount = 21;

// A read-only bind mount of the recording's folder; skipped where mounting is not
// permitted.
TEST_F(ReadOnly, RealReadOnlyMountOpensReadOnly) {
  ASSERT_NO_FATAL_FAILURE(Record());
  // The recording moves, so that its listed paths name nothing and Import finds the
  // files below the mounted index's folder.
  TempDir place;
  const std::string moved = place.File("recording"), mounted = place.File("mounted");
  fs::rename(folder, moved);
  fs::create_directory(folder);  // The fixture's folder, removed with it.
  fs::create_directory(mounted);
  const FolderState before = Snapshot(moved);
  // The mount is made by a child in a mount namespace of its own, with every mount
  // private to it: it goes away with the child, however the child ends, and no other
  // process sees it.
  const int child = RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return kNoMountNamespace;
    }
    if (::mount(moved.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, mounted.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)) {
      return kNoReadOnlyMount;
    }
    const std::string mountedIndex = mounted + "/" + fs::path(index).filename().string();
    EXPECT_EQ(Quillbox_Import(&db, mountedIndex.c_str(), 1), 0);
    if (db != nullptr) {
      EXPECT_EQ(std::string(Quillbox_GetDatabaseFileName(0, db)).rfind(mounted, 0), 0u);
      ExpectEverythingReads();
      ExpectWritesRefused();
      Close();
    }
    return HasFailure() ? 1 : 0;
  });
  if (child == kNoMountNamespace) GTEST_SKIP() << "a mount namespace is not permitted here";
  if (child == kNoReadOnlyMount) GTEST_SKIP() << "a read-only bind mount is not permitted here";
  EXPECT_EQ(child, 0) << "the checks in the child (their failures are printed above)";
  EXPECT_TRUE(Snapshot(moved) == before);
}
#endif

}  // namespace
}  // namespace qbx::test
