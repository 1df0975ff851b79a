// Hand-overs of items to thread slots when several callers store into one package at
// once: sequences follow the order in which slots were claimed, so a job never waits
// for a predecessor that has no slot, and each caller's items keep their order.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

// Splits a package's bytes into the items of two writers, each item tagged with its
// writer in its first byte, and checks that each writer's items appear in its order.
void ExpectInterleavingOf(const std::string& bytes, const std::vector<std::string> (&items)[2]) {
  std::size_t next[2] = {0, 0};
  std::size_t at = 0;
  while (at < bytes.size()) {
    const int writer = bytes[at] == 'a' ? 0 : 1;
    ASSERT_LT(next[writer], items[writer].size()) << "more items than stored at " << at;
    const std::string& item = items[writer][next[writer]++];
    ASSERT_EQ(bytes.compare(at, item.size(), item), 0) << "item out of order at " << at;
    at += item.size();
  }
  EXPECT_EQ(next[0], items[0].size());
  EXPECT_EQ(next[1], items[1].size());
}

void StoreConcurrentlyIntoOnePackage(std::uint32_t threads, std::uint64_t packageSize) {
  TempDir dir;
  Db db(packageSize, 2, nullptr);
  for (std::uint32_t t = 0; t < threads; ++t) db.AddThread(dir.path());
  const std::uint64_t package = db.AddPackage();
  std::vector<std::string> items[2];
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < 300; ++i) {
      // Mostly items too large for the buffer, so nearly every Store is a hand-over.
      const std::size_t size = 1 + (i * 37 + writer * 11) % (3 * packageSize + 100);
      items[writer].push_back(std::string(1, writer == 0 ? 'a' : 'b') + MakeItem(writer, i, size));
    }
  }
  std::vector<std::thread> callers;
  for (int writer = 0; writer < 2; ++writer) {
    callers.emplace_back([&, writer] {
      for (const std::string& item : items[writer]) {
        ASSERT_EQ(Quillbox_Store(package, item.size(), item.data(), nullptr, db.get()), 0);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  ExpectInterleavingOf(ChainBytes(ReadChain(db.get(), package)), items);
}

TEST(HandOver, TwoCallersShareTheOnlySlotWithoutDeadlock) { StoreConcurrentlyIntoOnePackage(1, 64); }

TEST(HandOver, TwoCallersShareTwoSlotsAndKeepTheirOrder) { StoreConcurrentlyIntoOnePackage(2, 64); }

TEST(HandOver, PackageSizeZeroSendsEveryItemThroughASlot) { StoreConcurrentlyIntoOnePackage(2, 0); }

}  // namespace
}  // namespace qbx::test
