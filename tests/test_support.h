// Shared helpers of the tests: a temporary folder that removes itself, a database
// owner, bounded waits, and a small reader that follows a package's chain of blocks
// straight from the data files on disk.
#ifndef QUILLBOX_TESTS_TEST_SUPPORT_H_
#define QUILLBOX_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "database/quillbox.h"
#include "platform/fault_hook.h"
#include "quillbox.h"
#include "storage/location.h"

// Which sanitizer this build runs under, if any.
#if defined(__SANITIZE_THREAD__)
#define QUILLBOX_TEST_TSAN 1
#elif defined(__SANITIZE_ADDRESS__)
#define QUILLBOX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLBOX_TEST_TSAN 1
#elif __has_feature(address_sanitizer)
#define QUILLBOX_TEST_ASAN 1
#endif
#endif

namespace qbx::test {

// `plain` repetitions in a plain build, `address` under AddressSanitizer and `thread`
// under ThreadSanitizer, which run several times slower.
constexpr std::uint64_t Repetitions(std::uint64_t plain, std::uint64_t address,
                                    std::uint64_t thread) {
#if defined(QUILLBOX_TEST_TSAN)
  return (void)plain, (void)address, thread;
#elif defined(QUILLBOX_TEST_ASAN)
  return (void)plain, (void)thread, address;
#else
  return (void)address, (void)thread, plain;
#endif
}

// The separator the library puts between a folder and a data file's name.
constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const;  // Names of the files inside.

 private:
  std::string path_;
};

// Owns a database handle; destroys it at the end of the scope unless released.
// Makes `folder` the process's working folder for its lifetime, and restores the one
// before on every way out of a test.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~WorkingFolder() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

class Db {
 public:
  Db(std::uint64_t packageSize, std::uint64_t maxQueued, const char* folder);
  explicit Db(Quillbox* adopted) : db_(adopted) {}  // An imported database, say.
  ~Db() { Destroy(); }
  Quillbox* get() const { return db_; }
  Quillbox* operator->() const { return db_; }
  void Destroy() { Quillbox_Destroy(std::exchange(db_, nullptr)); }
  std::uint32_t AddThread(const std::string& folder, std::uint64_t maxFileSize = ~0ull);
  std::uint64_t AddPackage();

 private:
  Quillbox* db_ = nullptr;
};

// A database in a fresh folder of its own, with `threads` writer threads whose files hold
// `maxFileSize` bytes at most, `packages` packages, and a package file when `packageFile`.
struct FolderDb {
  FolderDb(std::uint64_t packageSize, std::uint64_t maxQueued, int threads, int packages,
           bool packageFile = false, std::uint64_t maxFileSize = ~0ull);
  Quillbox* get() const { return db.get(); }
  Quillbox* operator->() const { return db.get(); }
  TempDir dir;
  Db db;
};

// Makes call `n` of `kind` fail (as `how` says) while `body` runs; whether it was reached.
bool CallFails(testing::Call kind, std::uint64_t n, const std::function<void()>& body,
               testing::CallFailure how = testing::CallFailure::kFail);
// Makes call `n` of `kind` fail while `trigger` runs; whether a writer then failed.
bool WriterFails(Quillbox* db, testing::Call kind, std::uint64_t n,
                 const std::function<void()>& trigger);

// Polls `condition` until it holds or `seconds` pass; false on time-out.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 30.0);

// Prints that `what` did not end in time, with the running test's name, and aborts the
// process. For waits that cannot return with a thread still inside a call: a future of
// std::async waits for its body without any limit when it goes away, a joinable
// std::thread terminates the process, and the objects the thread uses would be gone.
[[noreturn]] void AbortHung(const std::string& what);

// Flushes every data file's stream (under its mutex) so the files on disk are current.
void FlushFiles(Quillbox* db);

std::string ReadWholeFile(const std::string& path);

// The package's record: from the package file when it is parked there, else from
// memory. Call only while no writer works on the package.
PackageImage RecordOf(Quillbox* db, std::uint64_t package);

struct Block {
  std::uint32_t file = 0;
  std::uint64_t headerPos = 0;
  BlockHeader header;
  std::string payload;
};

// Follows the package's chain from its first block, reading the files on disk; throws
// when the chain leaves the files or does not end at the record's last block.
std::vector<Block> ReadChain(Quillbox* db, std::uint64_t package);
std::string ChainBytes(const std::vector<Block>& chain);

// Runs `body` in a forked child that ends with _exit(body's result); returns its exit
// code, 128 + the signal's number when a signal ended the child, or -1 when there was no
// child to wait for. A child still running after ten minutes is ended by SIGALRM.
// Fork only while this process runs no database, so that the child inherits no lock held
// by another thread. Windows has no fork: such tests skip there.
#if defined(_WIN32)
#define QUILLBOX_SKIP_WITHOUT_FORK() GTEST_SKIP() << "needs fork"
#else
#define QUILLBOX_SKIP_WITHOUT_FORK() (void)0
int RunInChild(const std::function<int()>& body);
#endif

// `width` little-endian bytes of `value`, spelled out by hand rather than by the
// library's encoders.
std::string Le(std::uint64_t value, int width);

// Deterministic test bytes: item `index` of `stream`, `size` bytes long.
std::string MakeItem(std::uint64_t stream, std::uint64_t index, std::size_t size);

}  // namespace qbx::test

#endif  // QUILLBOX_TESTS_TEST_SUPPORT_H_
