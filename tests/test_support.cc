// Shared helpers of the tests.
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace qbx::test {

namespace fs = std::filesystem;

static void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

TempDir::TempDir() {
  // A random name; create_directory reports whether the folder is new, so ours alone.
  static std::atomic<unsigned> counter{0};
  const std::string name = std::to_string(std::random_device()()) + "-" + std::to_string(counter++);
  path_ = (fs::temp_directory_path() / ("quillbox-test-" + name)).string();
  Check(fs::create_directory(path_), "the temporary folder exists already");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_))
    names.push_back(entry.path().filename().string());
  return names;
}

Db::Db(std::uint64_t packageSize, std::uint64_t maxQueued, const char* folder) {
  Check(Quillbox_Create(&db_, packageSize, maxQueued, folder) == 0, "Create failed");
}

std::uint32_t Db::AddThread(const std::string& folder, std::uint64_t maxFileSize) {
  const char* path = nullptr;
  Check(Quillbox_NewThread(&path, folder.c_str(), maxFileSize, db_) == 0, "NewThread failed");
  return Quillbox_GetThreadCount(db_) - 1;
}

std::uint64_t Db::AddPackage() {
  std::uint64_t package = 0;
  Check(Quillbox_NewPackage(&package, db_) == 0, "NewPackage failed");
  return package;
}

FolderDb::FolderDb(std::uint64_t packageSize, std::uint64_t maxQueued, int threads, int packages,
                   bool packageFile, std::uint64_t maxFileSize)
    : db(packageSize, maxQueued, packageFile ? dir.path().c_str() : nullptr) {
  for (int t = 0; t < threads; ++t) db.AddThread(dir.path(), maxFileSize);
  for (int p = 0; p < packages; ++p) db.AddPackage();
}

bool CallFails(testing::Call kind, std::uint64_t n, const std::function<void()>& body,
               testing::CallFailure how) {
  testing::FailCall(kind, n, how);
  body();
  const bool failed = testing::CallFailed();
  testing::StopFailingCalls();
  return failed;
}

bool WriterFails(Quillbox* db, testing::Call kind, std::uint64_t n,
                 const std::function<void()>& trigger) {
  testing::FailCall(kind, n);
  trigger();
  const bool failed = WaitUntil([&] { return db->HasFailed(); });
  testing::StopFailingCalls();
  return failed;
}

#if !defined(_WIN32)
#if defined(QUILLBOX_COVERAGE)
extern "C" void __gcov_dump(void);  // Of gcc's --coverage run-time.
#endif

int RunInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(600);  // A hung child must not hang the test; the body may set a shorter bound.
    int code = 125;
    try {
      code = body();
    } catch (...) {
      // Past here the child would go on with the rest of the test program.
    }
#if defined(QUILLBOX_COVERAGE)
    // _exit skips the counters' write at exit (tools/coverage.sh). A file-size limit the
    // body set would cut the counter files short, and spoil what every run adds up.
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    __gcov_dump();
#endif
    _exit(code);
  }
  if (child < 0) return -1;
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

void AbortHung(const std::string& what) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(stderr, "%s%s%s: %s did not end in time; aborting\n",
               test != nullptr ? test->test_suite_name() : "", test != nullptr ? "." : "",
               test != nullptr ? test->name() : "", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Le(std::uint64_t value, int width) {
  std::string bytes;
  for (int i = 0; i < width; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  return condition();
}

void FlushFiles(Quillbox* db) {
  // Data files keep no buffer of their own: what the library wrote is in the files.
  // Taking each file's mutex waits for a transfer under way.
  for (std::uint64_t k = 0; k < db->files.Count(); ++k) {
    MutexLock lock(db->files.At(k).mutex);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

PackageImage RecordOf(Quillbox* db, std::uint64_t package) {
  PackageEntry& entry = db->packages.Entry(package);
  MutexLock lock(entry.lock->mutex);
  if (!entry.lock->written.load()) return entry.recordOrOffset.record->Image();
  FlushFiles(db);
  const std::string record = ReadWholeFile(db->FileName(0)).substr(entry.recordOrOffset.offset);
  Check(record.size() >= kPackageRecordSize, "short package file");
  return DecodePackageImage(record.data());
}

std::vector<Block> ReadChain(Quillbox* db, std::uint64_t package) {
  const PackageImage record = RecordOf(db, package);
  FlushFiles(db);
  std::vector<std::string> files(db->files.Count());
  std::vector<Block> chain;
  for (Block block{record.firstBlockFile, record.firstBlockPos, {}, {}};
       block.headerPos != kNoPosition;
       block.headerPos = block.header.nextBlockPos, block.file = block.header.nextBlockFile) {
    // substr throws for a position beyond the file.
    Check(block.file < files.size() && chain.size() < 10000000, "link to no file, or a cycle");
    if (files[block.file].empty()) files[block.file] = ReadWholeFile(db->FileName(block.file));
    const std::string bytes = files[block.file].substr(block.headerPos, kBlockHeaderSize);
    Check(bytes.size() == kBlockHeaderSize, "header beyond the file");
    block.header = DecodeBlockHeader(bytes.data());
    block.payload =
        files[block.file].substr(block.headerPos + kBlockHeaderSize, block.header.payloadLen);
    Check(block.payload.size() == block.header.payloadLen, "payload beyond the file");
    chain.push_back(block);
  }
  Check(chain.empty() || (chain.back().headerPos == record.lastBlockPos &&
                          chain.back().file == record.lastBlockFile),
        "the chain's last block is not the record's last block");
  return chain;
}

std::string ChainBytes(const std::vector<Block>& chain) {
  std::string bytes;
  for (const Block& block : chain) bytes += block.payload;
  return bytes;
}

std::string MakeItem(std::uint64_t stream, std::uint64_t index, std::size_t size) {
  std::string item(size, '\0');
  std::uint64_t state = (stream + 1) * 0x9E3779B97F4A7C15ull ^ (index + 1) * 0xBF58476D1CE4E5B9ull;
  for (char& byte : item)
    byte = static_cast<char>((state = state * 6364136223846793005ull + 1) >> 56);
  return item;
}

}  // namespace qbx::test
