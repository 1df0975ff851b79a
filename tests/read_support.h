// Helpers shared by the read, index and replace/relocate tests: a model of what was
// stored, readers that take a package back through a cursor, a little-endian reader
// for index files, a child-process runner and a scope guard for the fault hook.
#ifndef QUILLBOX_TESTS_READ_SUPPORT_H_
#define QUILLBOX_TESTS_READ_SUPPORT_H_

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault_hook.h"
#include "test_support.h"

namespace qbx::test {

// One package's items in store order. The locations never move (writer threads fill
// them in), also when more items are added later.
struct PackageModel {
  std::deque<std::string> items;
  std::deque<ItemLocation> locations;
  std::size_t stored = 0;  // Items handed to Store so far.
  std::string Joined() const {
    std::string all;
    for (const std::string& item : items) all += item;
    return all;
  }
};

// Sizes drawn so that every shape occurs: empty items, small ones, and items larger
// than the package size. The last item of a package is never empty.
inline std::vector<std::size_t> RandomSizes(std::mt19937& random, std::size_t count,
                                            std::size_t largest) {
  std::vector<std::size_t> sizes(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned kind = random() % 16;
    sizes[i] = kind == 0 ? 0 : kind == 1 ? largest / 2 + random() % (largest / 2 + 1)
                                         : 1 + random() % (largest / 8 + 1);
  }
  if (count != 0 && sizes.back() == 0) sizes.back() = 1;
  return sizes;
}

inline void FillModel(PackageModel& model, std::uint64_t stream,
                      const std::vector<std::size_t>& sizes, std::uint64_t firstIndex = 0) {
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    model.items.push_back(MakeItem(stream, firstIndex + i, sizes[i]));
  }
  model.locations.resize(model.items.size());
}

// Stores model items [from, to) of `package`; false when a Store fails.

inline bool StoreItems(Quillbox* db, std::uint64_t package, PackageModel& model,
                       std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (Quillbox_Store(package, model.items[i].size(), model.items[i].data(),
                       &model.locations[i], db) != 0) {
      return false;
    }
  }
  return true;
}

// Stores the models' items not yet stored, up to item `upTo` of each, from `callers`
// threads; caller c takes the packages p with p % callers == c (models[p] is package
// p), round-robin between them.
inline bool StoreConcurrently(Quillbox* db, std::vector<PackageModel>& models, int callers,
                              std::size_t upTo = ~std::size_t{0}) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < callers; ++c) {
    threads.emplace_back([&, c] {
      for (bool progress = true; progress && !failed;) {
        progress = false;
        for (std::size_t p = c; p < models.size(); p += callers) {
          PackageModel& model = models[p];
          if (model.stored >= std::min(upTo, model.items.size())) continue;
          if (!StoreItems(db, p, model, model.stored, model.stored + 1)) failed = true;
          ++model.stored;
          progress = true;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return !failed;
}

// The package through a fresh cursor, up to `limit` bytes; `ended` tells whether the
// cursor reached the package's end.
inline std::string ReadByCursor(Quillbox* db, std::uint64_t package, bool* ended = nullptr,
                                std::size_t limit = ~std::size_t{0}) {
  ItemCursor* cursor = nullptr;
  std::string all;
  if (Quillbox_Open(&cursor, package, db) == 0) {
    char piece[4096];
    std::uint64_t count = 0;
    while (all.size() < limit &&
           Quillbox_RecoverContinous(&count, std::min(sizeof piece, limit - all.size()), piece,
                                     cursor, db) == 0 &&
           count != 0) {
      all.append(piece, count);
    }
    if (ended != nullptr) *ended = Quillbox_PackageEnd(cursor, db) != 0;
  }
  Quillbox_Close(&cursor);
  return all;
}

// Where two byte strings first differ (compares also lengths); npos when equal. Keeps
// failure messages short where whole files are compared.
inline std::size_t FirstDifference(const std::string& a, const std::string& b) {
  const auto [in_a, in_b] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return in_a == a.end() && in_b == b.end() ? std::string::npos : in_a - a.begin();
}

// Every item of the model through RecoverRandom, and the package through a cursor,
// which must hold `expected` (the model's items when empty).
inline void ExpectPackageReadsBack(Quillbox* db, std::uint64_t package, const PackageModel& model,
                                   const std::string& expected = "") {
  for (std::size_t i = 0; i < model.items.size(); ++i) {
    std::string bytes(model.items[i].size(), '\0');
    ASSERT_EQ(Quillbox_RecoverRandom(bytes.size(), bytes.data(), &model.locations[i], package, db), 0)
        << "package " << package << " item " << i;
    ASSERT_EQ(bytes, model.items[i]) << "package " << package << " item " << i;
  }
  bool ended = false;
  const std::string read = ReadByCursor(db, package, &ended);
  const std::string want = expected.empty() ? model.Joined() : expected;
  EXPECT_EQ(FirstDifference(read, want), std::string::npos)
      << "package " << package << ": " << read.size() << " bytes read of " << want.size();
  EXPECT_TRUE(ended);
}

inline bool Placed(const ItemLocation& location) {
  return LoadPos(&location) != kNoPosition && LoadFile(&location) != kInMemory;
}

// Little-endian fields of an index file, read in order.
class ByteReader {
 public:
  explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}
  std::string Take(std::size_t size) {
    if (size > bytes_.size() - pos_) throw std::runtime_error("index ends early");
    pos_ += size;
    return bytes_.substr(pos_ - size, size);
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)[0]); }
  std::uint32_t U32() { return GetFixed32(Take(4).data()); }
  std::uint64_t U64() { return GetFixed64(Take(8).data()); }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  std::size_t pos_ = 0;
};

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

// Runs `body` in a forked child that ends with _exit(body's result) and returns the
// child's exit code, or -1 when it did not exit normally. Fork only while this process
// runs no database, so that the child inherits no lock held by another thread.
// Windows has no fork: the tests that need a child process are skipped there.
#if defined(_WIN32)
#define QUILLBOX_SKIP_WITHOUT_FORK() GTEST_SKIP() << "needs fork"
#else
#define QUILLBOX_SKIP_WITHOUT_FORK() (void)0
inline int RunInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// Arms the platform layer's fault hook for one scope.
class ScopedFault {
 public:
  ScopedFault(qbx::testing::Fault fault, std::uint64_t skip) { qbx::testing::ArmFault(fault, skip); }
  ~ScopedFault() { qbx::testing::DisarmFault(); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

}  // namespace qbx::test

#endif  // QUILLBOX_TESTS_READ_SUPPORT_H_
