// The database object through its exports: construction with and without a package
// file, the getters, the names of data files, destruction, and the wake event.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

TEST(Database, FreshDatabaseWithoutFolderHasNoFileAndEmptyCounts) {
  Db db(4096, 8, nullptr);
  EXPECT_STREQ(Quillbox_GetVersionInfo(db.get()), "1.0.168");
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  EXPECT_EQ(Quillbox_GetPackageSize(db.get()), 4096u);
  EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetThreadCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetDatabaseFileName(0, db.get()), nullptr);
  EXPECT_EQ(Quillbox_Synchronize(db.get()), 0);
}

TEST(Database, FolderGivesAnEmptyPackageFileNamedFromTheTemplate) {
  TempDir dir;
  {
    Db db(4096, 8, dir.path().c_str());
    ASSERT_EQ(Quillbox_GetFileCount(db.get()), 1u);
    const std::string name = Quillbox_GetDatabaseFileName(0, db.get());
    const std::string prefix = dir.path() + kSeparator + "quillbox.";
    ASSERT_EQ(name.size(), prefix.size() + 6);
    EXPECT_EQ(name.substr(0, prefix.size()), prefix);
    EXPECT_EQ(ReadWholeFile(name), "");
    EXPECT_EQ(Quillbox_GetDatabaseFileName(1, db.get()), nullptr);
    EXPECT_EQ(dir.Entries().size(), 1u);
  }
  EXPECT_TRUE(dir.Entries().empty()) << "an unsaved database leaves no file behind";
}

TEST(Database, FolderGivenWithTrailingSeparatorIsKeptAsGiven) {
  TempDir dir;
  Db db(64, 8, (dir.path() + kSeparator).c_str());
  const std::string name = Quillbox_GetDatabaseFileName(0, db.get());
  EXPECT_EQ(name.substr(0, dir.path().size() + 11),
            dir.path() + kSeparator + kSeparator + "quillbox.");
}

TEST(Database, CreateFailuresLeaveTheHandleUntouched) {
  TempDir dir;
  Quillbox* db = reinterpret_cast<Quillbox*>(0x1);
  EXPECT_EQ(Quillbox_Create(&db, 64, 8, dir.File("missing").c_str()), 1);
  EXPECT_EQ(Quillbox_Create(&db, (std::uint64_t{1} << 32) + 1, 8, nullptr), 1)
      << "a buffer above 2^32 bytes could never form a block";
  EXPECT_EQ(Quillbox_Create(&db, 64, 8, "bad\xff" "folder"), 1) << "not UTF-8";
  EXPECT_EQ(db, reinterpret_cast<Quillbox*>(0x1));
  EXPECT_TRUE(dir.Entries().empty());

  Quillbox* largest = nullptr;
  ASSERT_EQ(Quillbox_Create(&largest, std::uint64_t{1} << 32, 8, nullptr), 0);
  Quillbox_Destroy(largest);
}

TEST(Database, DestroyAcceptsNull) { Quillbox_Destroy(nullptr); }

TEST(Database, NewThreadAddsOneFileEachAndReportsItsPath) {
  TempDir dir;
  Db db(64, 8, dir.path().c_str());
  const char* first = nullptr;
  const char* second = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&first, dir.path().c_str(), 1000, db.get()), 0);
  ASSERT_EQ(Quillbox_NewThread(&second, dir.path().c_str(), 1000, db.get()), 0);
  EXPECT_NE(std::string(first), std::string(second));
  EXPECT_STREQ(first, Quillbox_GetDatabaseFileName(1, db.get()));
  EXPECT_STREQ(second, Quillbox_GetDatabaseFileName(2, db.get()));
  EXPECT_EQ(Quillbox_GetThreadCount(db.get()), 2u);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 3u);
  EXPECT_EQ(dir.Entries().size(), 3u);
}

TEST(Database, NewThreadInAMissingFolderChangesNothing) {
  TempDir dir;
  Db db(64, 8, nullptr);
  const char* path = reinterpret_cast<const char*>(0x1);
  EXPECT_EQ(Quillbox_NewThread(&path, dir.File("missing").c_str(), 1000, db.get()), 1);
  EXPECT_EQ(Quillbox_NewThread(&path, nullptr, 1000, db.get()), 1);
  EXPECT_EQ(path, reinterpret_cast<const char*>(0x1));
  EXPECT_EQ(Quillbox_GetThreadCount(db.get()), 0u);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 0u);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "") << "caller failures keep no text";
}

TEST(Database, UniqueNamesNeverReuseAnExistingFile) {
  TempDir dir;
  Db db(64, 8, nullptr);
  for (int i = 0; i < 40; ++i) db.AddThread(dir.path());
  EXPECT_EQ(dir.Entries().size(), 40u);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 40u);
}

TEST(Database, NewPackageNumbersFromZeroAndGrowsThePackageFile) {
  TempDir dir;
  Db db(64, 1000, dir.path().c_str());
  for (std::uint64_t n = 0; n < 5; ++n) {
    EXPECT_EQ(db.AddPackage(), n);
    FlushFiles(db.get());
    EXPECT_EQ(ReadWholeFile(Quillbox_GetDatabaseFileName(0, db.get())),
              std::string(44 * (n + 1), '\0'));
  }
  EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 5u);
}

TEST(Database, NewPackageWithoutFolderTouchesNoFile) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  db.AddPackage();
  db.AddPackage();
  FlushFiles(db.get());
  EXPECT_EQ(ReadWholeFile(Quillbox_GetDatabaseFileName(0, db.get())), "");
}

// Every writer sleeps a very long nap unless the stop request wakes it; Destroy must
// wake them all and return.
TEST(Database, DestroyWakesWritersFromLongNaps) {
  TempDir dir;
  Db db(64, 8, dir.path().c_str());
  db.AddThread(dir.path());
  db.AddThread(dir.path());
  constexpr std::uint64_t kHourOfNaps = 3600ull * 1000 * WakeEvent::kPollsPerMillisecond;
  db->writerWake.spins.store(kHourOfNaps);
  for (std::uint64_t k = 0; k < db->slots.size(); ++k) db->slots[k]->wake.spins.store(kHourOfNaps);
  auto destroyed = std::async(std::launch::async, [&] { db.Destroy(); });
  ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "Destroy did not wake the sleeping writers";
}

TEST(WakeEvent, DozeReturnsAtOnceBelowTheThresholdAndNotifyResets) {
  WakeEvent event;
  event.spins.store(WakeEvent::kSpinThreshold);
  event.doze();  // Must not block.
  event.notifyOne();
  EXPECT_EQ(event.spins.load(), 0u);
}

TEST(WakeEvent, NotifyEndsALongDoze) {
  WakeEvent event;
  event.spins.store(3600ull * 1000 * WakeEvent::kPollsPerMillisecond);
  auto dozing = std::async(std::launch::async, [&] { event.doze(); });
  // Whether the notification comes before or during the wait, the doze must end.
  event.notifyAll();
  ASSERT_EQ(dozing.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(event.spins.load(), 0u);
}

TEST(Utf8, ConvertsToUtf16AndRejectsMalformedText) {
  EXPECT_EQ(Utf8ToUtf16("abc"), u"abc");
  EXPECT_EQ(Utf8ToUtf16("\xc3\xa9"), u"\u00e9");
  EXPECT_EQ(Utf8ToUtf16("\xf0\x9f\x98\x80"), u"\U0001F600");
  for (const char* bad : {"\xff", "\xc3", "\xe2\x82", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "a\x80"}) {
    try {
      Utf8ToUtf16(bad);
      ADD_FAILURE() << "accepted malformed UTF-8";
    } catch (const std::range_error& error) {
      EXPECT_STREQ(error.what(), "bad conversion");
    }
  }
}

}  // namespace
}  // namespace qbx::test
