// ItemLocation records at every 4-byte offset of a cache line, changed by writer
// threads while reader threads poll them: no position is ever seen torn (half of one
// state and half of another), positions never go back, and the other fields are never
// older than the position read before them. Then the same through the public calls:
// callers store into an array of locations while readers poll it with RecoverRandom.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

constexpr std::uint64_t kCyclesPerRecord = Repetitions(40000, 15000, 2000);
constexpr int kRounds = static_cast<int>(Repetitions(60, 30, 12));

// 16 packed records fill five cache lines, their `pos` starting at each of the 16
// multiples of 4 in a line once (the fourth one crosses into the next line); the array
// holds that run twice.
constexpr std::size_t kRun = 16;
constexpr std::size_t kRecords = 2 * kRun;

struct alignas(64) LocationArray {
  unsigned char bytes[kRecords * sizeof(ItemLocation)];

  LocationArray() {
    for (std::size_t i = 0; i < kRecords; ++i) {
      new (bytes + i * sizeof(ItemLocation)) ItemLocation{};
    }
  }
  ItemLocation* at(std::size_t i) {
    return std::launder(reinterpret_cast<ItemLocation*>(bytes + i * sizeof(ItemLocation)));
  }
};

// The writers take every record through cycles of the library's state changes:
// accepted, buffered, being written, then placed three times. State `o` (counted over
// all cycles) writes values that name it, and neighbouring states differ in both halves
// of `pos` wherever they differ at all, so a torn position names no state.
enum Step { kAccepted, kBuffered, kBeingWritten, kPlacedA, kPlacedB, kPlacedC, kSteps };

std::uint64_t PosOf(std::uint64_t o) {
  switch (o % kSteps) {
    case kBuffered:
      return o << 4 | 1;  // A small offset: the high half is zero.
    case kPlacedA:
      return o << 32 | 0xFFFFFFFFu;  // Above 2^32, the low half all ones.
    case kPlacedB:
      return (0x40000000u | o) << 32 | (o << 4 | 4);
    case kPlacedC:
      return 0x80000000u | o << 4 | 5;  // Below 2^32, a high bit in the low half.
    default:
      return kNoPosition;
  }
}

struct Fields {
  std::uint32_t file, offsetInBlock, blockLen;
};

// A field value written by state `o`: it names the state.
std::uint32_t Tagged(std::uint64_t o, std::uint32_t tag) {
  return static_cast<std::uint32_t>(o << 4 | tag);
}

// The fields after state `o` (before the first one: as MarkAccepted left them, with
// offsetInBlock zero).
Fields FieldsAfter(std::uint64_t o) {
  const std::uint64_t cycle = o - o % kSteps;
  switch (o % kSteps) {
    case kAccepted:
      return {kInMemory, o == 0 ? 0 : Tagged(o - 1, 2), kNoLength};
    case kBuffered:
    case kBeingWritten:
      return {kInMemory, static_cast<std::uint32_t>(PosOf(cycle + kBuffered)), kNoLength};
    default:
      return {Tagged(o, 3), Tagged(o, 2), Tagged(o, 6)};
  }
}

constexpr std::uint64_t kStates = kCyclesPerRecord * kSteps;

void Apply(ItemLocation* location, std::uint64_t o) {
  const Fields f = FieldsAfter(o);
  switch (o % kSteps) {
    case kAccepted:
      return MarkAccepted(location);
    case kBuffered:
      return MarkBuffered(location, f.offsetInBlock);
    case kBeingWritten:
      return MarkBeingWritten(location);
    default:
      return MarkPlaced(location, f.file, f.offsetInBlock, PosOf(o) - f.offsetInBlock, f.blockLen);
  }
}

// The state whose position is `pos`, or -1 when none is (a torn value). Not called for
// all ones, the position of two steps of every cycle.
std::int64_t Decode(std::uint64_t pos) {
  const std::uint64_t low = pos & 0xFFFFFFFFu, high = pos >> 32;
  for (const std::uint64_t o : {low >> 4, (low & 0x7FFFFFFFu) >> 4, high, high & 0x3FFFFFFFu}) {
    if (o < kStates && PosOf(o) == pos) return static_cast<std::int64_t>(o);
  }
  return -1;
}

// Whether `value` of one field may be read after the position of state `o`: the field's
// value after `o`, or one that a later state writes.
bool NotOlder(std::uint32_t Fields::*field, std::uint32_t value, std::uint64_t o) {
  if (FieldsAfter(o).*field == value) return true;
  const std::uint64_t writer = value >> 4;  // Values named after their state...
  if (writer > o && writer < kStates && FieldsAfter(writer).*field == value) return true;
  // ... but kInMemory and kNoLength, which every cycle writes again.
  const std::uint64_t next = o - o % kSteps + kSteps;
  return next < kStates &&
         (FieldsAfter(next).*field == value || FieldsAfter(next + kBuffered).*field == value);
}

// The first problem the threads report, and how many there were; read after they end.
struct Problems {
  std::atomic<int> count{0};
  std::mutex mutex;
  std::string first;
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count++ == 0) first = what;
  }
};

TEST(Location, NoStateChangeTearsAtAnyOffsetOfACacheLine) {
  // The values can show a tear: mixing the halves of two neighbouring positions gives
  // one of them or a value that names no state.
  for (std::uint64_t o = 1; o < kStates; ++o) {
    const std::uint64_t a = PosOf(o - 1), b = PosOf(o), mask = 0xFFFFFFFFu;
    for (const std::uint64_t mixed : {(a & ~mask) | (b & mask), (b & ~mask) | (a & mask)}) {
      ASSERT_TRUE(mixed == a || mixed == b || (mixed != kNoPosition && Decode(mixed) < 0))
          << "state " << o;
    }
    ASSERT_EQ(b == kNoPosition ? static_cast<std::int64_t>(o) : Decode(b),
              static_cast<std::int64_t>(o));
  }

  LocationArray array;
  for (std::size_t i = 0; i < kRecords; ++i) MarkAccepted(array.at(i));
  constexpr std::size_t kWriters = 2, kReaders = 2;
  std::atomic<std::size_t> readersReady{0}, writing{kWriters};
  std::atomic<std::size_t> current[kWriters] = {};  // The record each writer works on.
  Problems problems;
  std::vector<std::thread> threads;
  // Writer w owns every kWriters-th record, so neighbours change at the same time, and
  // takes one record after the other through all the states while the readers poll it.
  for (std::size_t w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      if (!WaitUntil([&] { return readersReady.load() == kReaders; })) {
        problems.Add("the readers did not start");
      }
      for (std::size_t i = w; i < kRecords; i += kWriters) {
        current[w].store(i, std::memory_order_relaxed);
        for (std::uint64_t o = 0; o < kStates; ++o) Apply(array.at(i), o);
      }
      writing.fetch_sub(1, std::memory_order_release);
    });
  }
  // Readers poll the records being written; each new position is checked with the
  // fields read right after it. At the end, every record once more.
  for (std::size_t r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      std::vector<std::uint64_t> seen(kRecords, 0);  // Latest state seen, per record.
      std::vector<std::uint64_t> last(kRecords, kNoPosition);
      auto check = [&](std::size_t i) {
        const ItemLocation* location = array.at(i);
        const std::uint64_t pos = LoadPos(location);
        if (pos == last[i]) return true;
        last[i] = pos;
        if (pos == kNoPosition) return true;
        // The fields after the position, in this order.
        const std::uint32_t file = LoadFile(location), offset = LoadOffsetInBlock(location),
                            blockLen = LoadBlockLen(location);
        const std::int64_t decoded = Decode(pos);
        char text[200];
        if (decoded < 0 || static_cast<std::uint64_t>(decoded) < seen[i]) {
          std::snprintf(text, sizeof text, "%s pos 0x%016" PRIx64 " after state %" PRIu64,
                        decoded < 0 ? "torn" : "earlier", pos, seen[i]);
        } else {
          const std::uint64_t o = seen[i] = static_cast<std::uint64_t>(decoded);
          if (NotOlder(&Fields::file, file, o) && NotOlder(&Fields::offsetInBlock, offset, o) &&
              NotOlder(&Fields::blockLen, blockLen, o)) {
            return true;
          }
          const Fields want = FieldsAfter(o);
          std::snprintf(text, sizeof text,
                        "state %" PRIu64 " with stale fields: file/offsetInBlock/blockLen "
                        "%08x/%08x/%08x instead of %08x/%08x/%08x (or later)",
                        o, file, offset, blockLen, want.file, want.offsetInBlock, want.blockLen);
        }
        problems.Add("record " + std::to_string(i) + " (pos at offset " +
                     std::to_string(i * sizeof(ItemLocation) % 64) + " of a line): " + text);
        return false;
      };
      readersReady.fetch_add(1);
      while (writing.load(std::memory_order_acquire) != 0) {
        for (std::size_t w = 0; w < kWriters; ++w) {
          if (!check(current[w].load(std::memory_order_relaxed))) return;
        }
      }
      for (std::size_t i = 0; i < kRecords && check(i); ++i) {
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(problems.count.load(), 0) << problems.first;

  const std::uint64_t final = kStates - 1;
  const Fields want = FieldsAfter(final);
  for (std::size_t i = 0; i < kRecords; ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const ItemLocation* location = array.at(i);
    const std::uint64_t pos = location->pos;  // A copy: the field may lie off its alignment.
    EXPECT_EQ(pos, PosOf(final));              // No writer is left.
    EXPECT_EQ(LoadPos(location), PosOf(final));
    EXPECT_EQ(LoadFile(location), want.file);
    EXPECT_EQ(LoadOffsetInBlock(location), want.offsetInBlock);
    EXPECT_EQ(LoadBlockLen(location), want.blockLen);
  }
}

// Callers store into one array of 16 locations (each caller every other record, into a
// package of its own) while readers wait for each item through RecoverRandom; items of
// many sizes stay buffered, go out with a buffer's block or are handed to the writers.
// After each round the locations name the items' bytes in the data files.
TEST(Location, RecoverRandomReadsItemsStoredAtEveryOffsetOfACacheLine) {
  constexpr std::size_t kCallers = 2, kReaders = 2;
  constexpr std::uint64_t kPackageSize = 64;
  FolderDb db(kPackageSize, 2, 2, kCallers);

  LocationArray array;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> items(kRun);
    for (std::size_t i = 0; i < kRun; ++i) {
      // Up to twice the package size: buffered, filling a block, or handed over alone.
      const std::size_t size = 1 + (round * 7 + i * 29) % (2 * kPackageSize + 10);
      items[i] = MakeItem(round, i, size);
    }
    std::atomic<bool> stored[kRun] = {};
    Problems problems;
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < kCallers; ++c) {
      threads.emplace_back([&, c] {
        for (std::size_t i = c; i < kRun; i += kCallers) {
          if (Quillbox_Store(c, items[i].size(), items[i].data(), array.at(i), db.get()) != 0) {
            return problems.Add("Store of record " + std::to_string(i) + " failed");
          }
          stored[i].store(true, std::memory_order_release);
        }
      });
    }
    for (std::size_t r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        std::string bytes;
        std::size_t done = 0;
        // Every record once, from a different start per reader; records not stored yet
        // are tried again on the next pass.
        std::vector<bool> read(kRun, false);
        if (!WaitUntil([&] {
              for (std::size_t k = 0; k < kRun && problems.count == 0; ++k) {
                const std::size_t i = (k + r * kRun / kReaders) % kRun;
                if (read[i] || !stored[i].load(std::memory_order_acquire)) continue;
                bytes.assign(items[i].size(), '\0');
                if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), array.at(i),
                                           i % kCallers, db.get()) != 0 ||
                    bytes != items[i]) {
                  problems.Add("RecoverRandom of record " + std::to_string(i));
                }
                read[i] = true;
                ++done;
              }
              return done == kRun || problems.count != 0;
            })) {
          problems.Add("reader " + std::to_string(r) + " timed out");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(problems.count.load(), 0) << problems.first;

    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    FlushFiles(db.get());
    for (std::size_t i = 0; i < kRun; ++i) {
      SCOPED_TRACE("record " + std::to_string(i));
      const ItemLocation at = *array.at(i);  // Plain reads: no writer changes it any more.
      const std::uint64_t pos = at.pos, size = items[i].size();
      ASSERT_NE(std::uint32_t{at.file}, kInMemory);
      const char* name = Quillbox_GetDatabaseFileName(at.file, db.get());
      ASSERT_NE(name, nullptr);
      const std::string file = ReadWholeFile(name);
      ASSERT_NE(pos, kNoPosition);
      ASSERT_LE(pos + size, file.size());
      EXPECT_EQ(file.substr(pos, size), items[i]);
      EXPECT_LE(at.offsetInBlock + size, std::uint64_t{at.blockLen});
    }
  }
}

}  // namespace
}  // namespace qbx::test
