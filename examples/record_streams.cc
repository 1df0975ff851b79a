// The library's main job: record several streams from two application threads into a
// database with two writer threads, synchronize, save the index, destroy the database,
// import it again and verify every byte, reading each package through a cursor and
// every item through its location. Reports what was written and how fast. Uses only
// the public header.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quillbox.h"

namespace {

constexpr std::uint64_t kPackageSize = 64 * 1024;
constexpr std::uint64_t kPackages = 8;
constexpr int kItemsPerPackage = 4000;

struct Totals {
  std::uint64_t items = 0;
  std::uint64_t bytes = 0;
  bool failed = false;
};

// The bytes of item i of package p, `size` long.
void FillItem(std::uint64_t p, int i, std::uint32_t size, unsigned char* item) {
  for (std::uint32_t b = 0; b < size; ++b) item[b] = static_cast<unsigned char>(p * 31 + i * 7 + b);
}

// Stores items of random sizes into the packages [first, first + count), round-robin.
void Record(Quillbox* db, std::uint64_t first, std::uint64_t count, unsigned seed,
            std::vector<ItemLocation>* locations, std::vector<std::uint32_t>* sizes_out,
            Totals* totals) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::uint32_t> sizes(1, 2048);
  std::vector<unsigned char> item(4096);
  for (int i = 0; i < kItemsPerPackage; ++i) {
    for (std::uint64_t p = first; p < first + count; ++p) {
      const std::uint32_t size = sizes(random);
      FillItem(p, i, size, item.data());
      (*sizes_out)[p * kItemsPerPackage + i] = size;
      ItemLocation* location = &(*locations)[p * kItemsPerPackage + i];
      if (Quillbox_Store(p, size, item.data(), location, db) != 0) {
        totals->failed = true;
        return;
      }
      totals->items += 1;
      totals->bytes += size;
    }
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads every package back through a cursor and every item through its location, and
// compares each byte with what was stored.
bool Verify(Quillbox* db, const std::vector<ItemLocation>& locations,
            const std::vector<std::uint32_t>& sizes, std::uint64_t bytes) {
  std::vector<unsigned char> expected(4096), actual(4096);
  auto start = std::chrono::steady_clock::now();
  for (std::uint64_t p = 0; p < kPackages; ++p) {
    ItemCursor* cursor = nullptr;
    if (Quillbox_Open(&cursor, p, db) != 0) return false;
    for (int i = 0; i < kItemsPerPackage; ++i) {
      const std::uint32_t size = sizes[p * kItemsPerPackage + i];
      FillItem(p, i, size, expected.data());
      std::uint64_t count = 0;
      if (Quillbox_RecoverContinous(&count, size, actual.data(), cursor, db) != 0 || count != size ||
          std::memcmp(expected.data(), actual.data(), size) != 0) {
        std::fprintf(stderr, "package %" PRIu64 " differs at item %d\n", p, i);
        Quillbox_Close(&cursor);
        return false;
      }
    }
    const bool ended = Quillbox_PackageEnd(cursor, db) != 0;
    Quillbox_Close(&cursor);
    if (!ended) return false;
  }
  const double cursorSeconds = SecondsSince(start);

  start = std::chrono::steady_clock::now();
  for (std::uint64_t p = 0; p < kPackages; ++p) {
    for (int i = 0; i < kItemsPerPackage; ++i) {
      const std::uint32_t size = sizes[p * kItemsPerPackage + i];
      FillItem(p, i, size, expected.data());
      if (Quillbox_RecoverRandom(size, actual.data(), &locations[p * kItemsPerPackage + i], p, db) != 0 ||
          std::memcmp(expected.data(), actual.data(), size) != 0) {
        std::fprintf(stderr, "item %d of package %" PRIu64 " differs\n", i, p);
        return false;
      }
    }
  }
  const double randomSeconds = SecondsSince(start);
  std::printf("imported and verified every byte: cursors %.1f MiB/s, single items %.1f MiB/s\n",
              bytes / 1048576.0 / cursorSeconds, bytes / 1048576.0 / randomSeconds);
  return true;
}

}  // namespace

// A new folder under the system's temporary folder.
static std::string MakeTemporaryFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate =
        std::filesystem::temp_directory_path() / ("quillbox-example-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) return candidate.string();
  }
  throw std::runtime_error("no temporary folder could be made");
}

int main() {
  const std::string folderName = MakeTemporaryFolder();
  const char* folder = folderName.c_str();
  Quillbox* db = nullptr;
  if (Quillbox_Create(&db, kPackageSize, 4, folder) != 0) {
    std::fprintf(stderr, "Quillbox_Create failed\n");
    return 1;
  }
  std::printf("Quillbox %s, database in %s\n", Quillbox_GetVersionInfo(db), folder);
  for (int t = 0; t < 2; ++t) {
    const char* path = nullptr;
    if (Quillbox_NewThread(&path, folder, 16 * 1024 * 1024, db) != 0) {
      std::fprintf(stderr, "Quillbox_NewThread failed\n");
      return 1;
    }
    std::printf("writer thread %d writes to %s\n", t, path);
  }
  for (std::uint64_t p = 0; p < kPackages; ++p) {
    std::uint64_t number = 0;
    if (Quillbox_NewPackage(&number, db) != 0) return 1;
  }

  std::vector<ItemLocation> locations(kPackages * kItemsPerPackage);
  std::vector<std::uint32_t> sizes(kPackages * kItemsPerPackage);
  Totals first, second;
  const auto start = std::chrono::steady_clock::now();
  std::thread a(Record, db, 0, kPackages / 2, 1u, &locations, &sizes, &first);
  std::thread b(Record, db, kPackages / 2, kPackages / 2, 2u, &locations, &sizes, &second);
  a.join();
  b.join();
  const bool synchronized = Quillbox_Synchronize(db) == 0;
  const double seconds = SecondsSince(start);
  if (first.failed || second.failed || !synchronized) {
    std::fprintf(stderr, "storing failed: %s\n", Quillbox_GetErrorMessage(db));
    Quillbox_Destroy(db);
    return 1;
  }

  const std::uint64_t items = first.items + second.items;
  const std::uint64_t bytes = first.bytes + second.bytes;
  std::uint64_t placed = 0;
  for (const ItemLocation& location : locations) placed += location.file != 0xFFFFFFFFu;
  std::printf("stored %" PRIu64 " items, %.1f MiB, into %" PRIu64 " packages in %.3f s: write %.1f MiB/s\n",
              items, bytes / 1048576.0, Quillbox_GetPackageCount(db), seconds,
              bytes / 1048576.0 / seconds);
  std::printf("%" PRIu64 " of %" PRIu64 " item locations placed in data files\n", placed, items);
  const std::uint64_t files = Quillbox_GetFileCount(db);
  for (std::uint64_t k = 0; k < files; ++k) {
    const char* name = Quillbox_GetDatabaseFileName(k, db);
    std::error_code error;
    const auto size = std::filesystem::file_size(name, error);
    std::printf("  file %" PRIu64 ": %s, %ju bytes\n", k, name,
                static_cast<std::uintmax_t>(error ? 0 : size));
  }
  const std::string index = std::string(folder) + "/database.index";
  if (Quillbox_Save(index.c_str(), db) != 0) {
    std::fprintf(stderr, "Quillbox_Save failed\n");
    return 1;
  }
  Quillbox_Destroy(db);
  std::printf("saved %s and destroyed the database\n", index.c_str());

  db = nullptr;
  if (Quillbox_Import(&db, index.c_str(), 4) != 0) {
    std::fprintf(stderr, "Quillbox_Import failed\n");
    return 1;
  }
  const bool verified = Verify(db, locations, sizes, bytes);
  Quillbox_Destroy(db);
  std::filesystem::remove_all(folder);
  return placed == items && verified ? 0 : 1;
}