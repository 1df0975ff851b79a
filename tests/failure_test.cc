// Failures of the writer threads, injected through the platform layer's fault hook or
// a removed folder: the error flag and its message, what every call returns afterwards
// (work still done where it needs no writer), and a clean Destroy. Also a caller's own
// failed write, which must leave neither the flag nor a trace.
#include <chrono>
#include <filesystem>
#include <future>
#include <new>

#include <gtest/gtest.h>

#include "platform/fault_hook.h"
#include "test_support.h"

namespace qbx::test {
namespace {

using qbx::testing::Fault;

// Disarms the hook at the end of the scope, whatever happened.
struct FaultGuard {
  FaultGuard(Fault fault, std::uint64_t skip) { qbx::testing::ArmFault(fault, skip); }
  ~FaultGuard() { qbx::testing::DisarmFault(); }
};

void ExpectDestroyEnds(Db& db) {
  auto destroyed = std::async(std::launch::async, [&db] { db.Destroy(); });
  ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "Destroy hung after a writer failure";
}

bool Parked(Quillbox* db, std::uint64_t package) {
  return db->EntryOf(package).lock->written.load();
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::string message;  // Empty: any text.
};

class ThreadWriterFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ThreadWriterFault, SetsTheFlagAndEveryLaterCallReportsIt) {
  TempDir dir;
  Db db(64, 1000, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage(), q = db.AddPackage();
  const std::string big = MakeItem(20, 0, 64);
  {
    FaultGuard guard(GetParam().fault, 0);
    // The block write fails in the thread writer; the call itself may or may not see
    // the flag yet.
    const std::uint8_t result = Quillbox_Store(p, big.size(), big.data(), nullptr, db.get());
    EXPECT_LE(result, 1);
    ASSERT_TRUE(WaitUntil([&] { return db->HasFailed(); }));
    const std::string message = Quillbox_GetErrorMessage(db.get());
    if (GetParam().message.empty()) {
      EXPECT_FALSE(message.empty());
    } else {
      EXPECT_EQ(message, GetParam().message);
    }

    // The fast path and NewPackage need no writer: they do their work, yet report 1.
    ItemLocation location;
    EXPECT_EQ(Quillbox_Store(q, 5, "hello", &location, db.get()), 1);
    EXPECT_EQ(LoadPos(&location), 0u);
    EXPECT_EQ(LoadFile(&location), kInMemory);
    EXPECT_EQ(RecordOf(db.get(), q).bufferedBytes, 5u);
    std::uint64_t added = 0;
    EXPECT_EQ(Quillbox_NewPackage(&added, db.get()), 1);
    EXPECT_EQ(added, 2u);
    EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 3u);

    // Whatever needs a writer gives up instead of waiting for one.
    EXPECT_EQ(Quillbox_Store(q, big.size(), big.data(), nullptr, db.get()), 1);
    EXPECT_EQ(Quillbox_Store(added, 0, nullptr, nullptr, db.get()), 1);
    EXPECT_EQ(Quillbox_SynchronizePackage(q, db.get()), 1);
    EXPECT_EQ(Quillbox_SynchronizePackage(p, db.get()), 1);
    EXPECT_EQ(Quillbox_Synchronize(db.get()), 1);
    EXPECT_EQ(std::string(Quillbox_GetErrorMessage(db.get())), message) << "the text stays";
    ExpectDestroyEnds(db);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ThreadWriterFault,
    ::testing::Values(FaultCase{"ShortWrite", Fault::kShortWrite, "Unable to write data"},
                      FaultCase{"SeekFailure", Fault::kSeekFailure, "Unable to search data"},
                      FaultCase{"BadAlloc", Fault::kBadAlloc, std::bad_alloc().what()},
                      FaultCase{"ForeignException", Fault::kForeignException, ""}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// NewPackage's own placeholder write passes (skip 1); parking the record, which the
// database writer does at once with a queue limit of 0, fails.
TEST(WriterFailure, DatabaseWriterFailingToParkARecordSetsTheFlag) {
  for (const FaultCase& fault : {FaultCase{"", Fault::kShortWrite, "Unable to write data"},
                                 FaultCase{"", Fault::kSeekFailure, "Unable to search data"}}) {
    SCOPED_TRACE(fault.message);
    TempDir dir;
    Db db(64, 0, dir.path().c_str());
    db.AddThread(dir.path());
    FaultGuard guard(fault.fault, 1);
    std::uint64_t package = 0;
    EXPECT_LE(Quillbox_NewPackage(&package, db.get()), 1);
    ASSERT_TRUE(WaitUntil([&] { return db->HasFailed(); }));
    EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), fault.message.c_str());
    EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 1u);
    EXPECT_FALSE(Parked(db.get(), 0));
    EXPECT_EQ(Quillbox_Store(0, 5, "hello", nullptr, db.get()), 1);
    EXPECT_EQ(Quillbox_SynchronizePackage(0, db.get()), 1);
    ExpectDestroyEnds(db);
  }
}

// Without a package file and with a queue limit of 0, the database writer flushes the
// first buffered item at once; its block write fails. Later Stores must not wait for
// the dead writer to shorten the queue.
TEST(WriterFailure, DatabaseWriterFailingToWriteABlockSetsTheFlag) {
  TempDir dir;
  Db db(64, 0, nullptr);
  db.AddThread(dir.path());
  const std::uint64_t p = db.AddPackage(), q = db.AddPackage();
  FaultGuard guard(Fault::kShortWrite, 0);
  EXPECT_LE(Quillbox_Store(p, 5, "hello", nullptr, db.get()), 1);
  ASSERT_TRUE(WaitUntil([&] { return db->HasFailed(); }));
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "Unable to write data");
  EXPECT_EQ(Quillbox_Store(q, 5, "hello", nullptr, db.get()), 1);  // q is queued now.
  EXPECT_EQ(Quillbox_Store(q, 5, "hello", nullptr, db.get()), 1);  // Held back: gives up.
  EXPECT_EQ(Quillbox_Synchronize(db.get()), 1);
  ExpectDestroyEnds(db);
}

// A writer that must roll over into a folder that no longer exists cannot create its
// next data file.
TEST(WriterFailure, RollOverIntoARemovedFolderSetsTheFlag) {
#if defined(_WIN32)
  GTEST_SKIP() << "a folder with open files cannot be removed on Windows";
#endif
  TempDir dir;
  const std::string folder = dir.File("data");
  std::filesystem::create_directory(folder);
  Db db(64, 1000, nullptr);
  db.AddThread(folder, 100);
  const std::uint64_t p = db.AddPackage();
  const std::string big = MakeItem(21, 0, 64);
  ASSERT_EQ(Quillbox_Store(p, big.size(), big.data(), nullptr, db.get()), 0);
  ASSERT_EQ(Quillbox_SynchronizePackage(p, db.get()), 0);  // 80 bytes: the next block rolls over.
  std::filesystem::remove_all(folder);
  EXPECT_LE(Quillbox_Store(p, big.size(), big.data(), nullptr, db.get()), 1);
  ASSERT_TRUE(WaitUntil([&] { return db->HasFailed(); }));
  const std::string prefix = "Unable to create file " + folder + "/quillbox.";
  EXPECT_EQ(std::string(Quillbox_GetErrorMessage(db.get())).substr(0, prefix.size()), prefix);
  EXPECT_EQ(Quillbox_SynchronizePackage(p, db.get()), 1);
  EXPECT_EQ(Quillbox_GetFileCount(db.get()), 1u);
  ExpectDestroyEnds(db);
}

// NewPackage writes its placeholder in the caller's thread: a failure there is the
// caller's, keeps no text, and must not leave a number or a gap in the package file.
TEST(WriterFailure, NewPackageFailingToWriteItsPlaceholderLeavesNoTrace) {
  TempDir dir;
  Db db(64, 1000, dir.path().c_str());
  std::uint64_t package = 0;
  for (const Fault fault : {Fault::kShortWrite, Fault::kSeekFailure}) {
    FaultGuard guard(fault, 0);
    EXPECT_EQ(Quillbox_NewPackage(&package, db.get()), 1);
  }
  EXPECT_FALSE(db->HasFailed());
  EXPECT_STREQ(Quillbox_GetErrorMessage(db.get()), "");
  EXPECT_EQ(Quillbox_GetPackageCount(db.get()), 0u);
  ASSERT_EQ(Quillbox_NewPackage(&package, db.get()), 0);
  EXPECT_EQ(package, 0u);
  FlushFiles(db.get());
  EXPECT_EQ(ReadWholeFile(Quillbox_GetDatabaseFileName(0, db.get())), std::string(44, '\0'));
}

}  // namespace
}  // namespace qbx::test
