// The POSIX platform layer's file calls at their edges: transfers cut short by a
// file-size limit or by the end of the file, offsets no file reaches, and the calls'
// failures on paths and handles that name nothing.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault_hook.h"
#include "platform/platform.h"
#include "test_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kPastEveryFile = std::uint64_t{1} << 63;

// A gathered write that the file-size limit stops inside its third piece has written
// exactly the bytes below the limit, in order; one that starts at the limit writes
// nothing. The limit applies to a forked child only.
TEST(Platform, WritesCutByAFileSizeLimitReportTheBytesWritten) {
  TempDir dir;
  const std::string path = dir.File("limited");
  const std::string a(16, 'a'), b(50, 'b'), c(200, 'c');
  const int result = RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);  // Writes past the limit fail with EFBIG instead.
    rlimit limit{};  // Only the soft limit: the hard one stays, as raising it needs root.
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    limit.rlim_cur = 100;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    const FileHandle file = OpenFile(path, OpenMode::kCreate);
    if (file == kNoFile) return 11;
    const WritePiece pieces[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
    if (WriteGatherAt(file, 0, pieces, 3) != 100) return 12;
    if (WriteGatherAt(file, 100, pieces, 3) != 0) return 13;
    if (WriteAt(file, 90, c.data(), 20) != 10) return 14;
    return CloseFile(file) ? 0 : 15;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(ReadWholeFile(path), a + b + std::string(34, 'c'));
}

TEST(Platform, TransfersStopAtTheEndOfTheFileAndAtOffsetsNoFileReaches) {
  TempDir dir;
  const std::string path = dir.File("f");
  const FileHandle file = OpenFile(path, OpenMode::kCreate);
  ASSERT_NE(file, kNoFile);
  const std::string bytes = "0123456789";
  ASSERT_EQ(WriteAt(file, 0, bytes.data(), bytes.size()), bytes.size());
  char got[16] = {};
  EXPECT_EQ(ReadAt(file, 4, got, sizeof got), 6u);
  EXPECT_EQ(std::string(got, 6), "456789");
  EXPECT_EQ(ReadAt(file, 10, got, sizeof got), 0u);
  EXPECT_EQ(ReadAt(file, kPastEveryFile, got, sizeof got), 0u);
  EXPECT_EQ(WriteAt(file, kPastEveryFile, bytes.data(), bytes.size()), 0u);
  const WritePiece piece{bytes.data(), bytes.size()};
  EXPECT_EQ(WriteGatherAt(file, kPastEveryFile, &piece, 1), 0u);
  // More pieces than one gathered write takes: nothing is written.
  const std::vector<WritePiece> tooMany(kMostWritePieces + 1, piece);
  EXPECT_EQ(WriteGatherAt(file, 0, tooMany.data(), tooMany.size()), 0u);
  EXPECT_FALSE(CanPosition(kPastEveryFile));
  std::uint64_t length = 0;
  EXPECT_TRUE(FileLength(file, &length));
  EXPECT_EQ(length, bytes.size());
  EXPECT_TRUE(SyncFile(file));
  // A handle opened for reading syncs too (the tool makes a recording's files durable
  // through such handles before it writes a recovered index that covers them).
  const FileHandle reading = OpenFile(path, OpenMode::kRead);
  ASSERT_NE(reading, kNoFile);
  EXPECT_TRUE(SyncFile(reading));
  EXPECT_TRUE(CloseFile(reading));
  EXPECT_TRUE(CloseFile(file));
  EXPECT_EQ(ReadWholeFile(path), bytes);
}

TEST(Platform, CallsOnNamesAndHandlesOfNothingFail) {
  TempDir dir;
  const std::string missing = dir.File("missing/f");
  bool refused = true;
  EXPECT_EQ(OpenFile(missing, OpenMode::kCreate, &refused), kNoFile);
  EXPECT_FALSE(refused) << "a missing folder is no refusal to write";
  EXPECT_EQ(OpenFile(dir.path(), OpenMode::kUpdate, &refused), kNoFile);
  EXPECT_FALSE(refused) << "a folder is no file";
  EXPECT_EQ(OpenFile(missing, OpenMode::kRead, &refused), kNoFile);
  EXPECT_FALSE(refused);
  std::string created;
  EXPECT_EQ(CreateUniqueFile(dir.File("missing"), &created), kNoFile);
  EXPECT_FALSE(RemoveFile(missing));
  EXPECT_FALSE(RenameFile(missing, dir.File("other")));
  EXPECT_FALSE(SyncFolder(dir.File("missing")));
  EXPECT_TRUE(SyncFolder(dir.path()));
  EXPECT_FALSE(IsRegularFile(missing));
  EXPECT_FALSE(IsRegularFile(dir.path()));
  // A handle that names no open file.
  const FileHandle file = OpenFile(dir.File("closed"), OpenMode::kCreate);
  ASSERT_NE(file, kNoFile);
  ASSERT_TRUE(CloseFile(file));
  std::uint64_t length = 7;
  EXPECT_FALSE(FileLength(file, &length));
  EXPECT_EQ(length, 7u);
  EXPECT_FALSE(SyncFile(file));
  EXPECT_FALSE(CloseFile(file));
  EXPECT_TRUE(IsRegularFile(dir.File("closed")));
  EXPECT_TRUE(RemoveFile(dir.File("closed")));
  EXPECT_FALSE(fs::exists(dir.File("closed")));
}

// A refusal to write under a prefix reads as such; reading there still works.
TEST(Platform, RefusedWritingIsToldApartFromOtherFailures) {
  TempDir dir;
  const std::string path = dir.File("f");
  const FileHandle file = OpenFile(path, OpenMode::kCreate);
  ASSERT_NE(file, kNoFile);
  ASSERT_TRUE(CloseFile(file));
  qbx::testing::RefuseWritingUnder(dir.path());
  bool refused = false;
  EXPECT_EQ(OpenFile(path, OpenMode::kUpdate, &refused), kNoFile);
  EXPECT_TRUE(refused);
  EXPECT_EQ(OpenFile(path, OpenMode::kUpdate), kNoFile);
  std::string created;
  EXPECT_EQ(CreateUniqueFile(dir.path(), &created), kNoFile);
  const FileHandle reading = OpenFile(path, OpenMode::kRead, &refused);
  qbx::testing::RefuseWritingUnder("");
  ASSERT_NE(reading, kNoFile);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(CloseFile(reading));
}

TEST(Platform, FolderOfTakesEverythingBeforeTheLastSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {"name", "."}, {"/name", "/"}, {"/a/b", "/a"}, {"a/b/c", "a/b"}, {"a/", "a"}, {"", "."}};
  for (const auto& [path, folder] : cases) EXPECT_EQ(FolderOf(path), folder) << path;
}

}  // namespace
}  // namespace qbx::test

#endif  // !defined(_WIN32)
