// Throughput of the store and read paths, each next to a baseline run in the same
// process: a plain stdio write of the same bytes (what recording costs at the least)
// and a memcpy (what reading back from memory costs). Compare the bytes_per_second of
// a case with its baseline; absolute figures depend on the machine.
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quillbox.h"

namespace {

constexpr std::uint64_t kPackageSize = 64 * 1024;
constexpr std::uint64_t kPackages = 16;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Quillbox* OpenDatabase(const TempFolder& folder, int threads) {
  Quillbox* db = nullptr;
  // Room for every package in the queue: no package is parked and reloaded per item.
  if (Quillbox_Create(&db, kPackageSize, 2 * kPackages, folder.path().c_str()) != 0) std::abort();
  for (int t = 0; t < threads; ++t) {
    const char* path = nullptr;
    if (Quillbox_NewThread(&path, folder.path().c_str(), 256ull << 20, db) != 0) std::abort();
  }
  for (std::uint64_t p = 0; p < kPackages; ++p) {
    std::uint64_t number = 0;
    if (Quillbox_NewPackage(&number, db) != 0) std::abort();
  }
  return db;
}

// Baseline: the same bytes written to one file through stdio.
void BM_StdioWriteBaseline(benchmark::State& state) {
  TempFolder folder;
  std::FILE* file = std::fopen((folder.path() + "/baseline").c_str(), "w+b");
  const std::vector<char> item(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    for (std::uint64_t p = 0; p < kPackages; ++p) std::fwrite(item.data(), 1, item.size(), file);
  }
  std::fflush(file);
  std::fclose(file);
  state.SetBytesProcessed(state.iterations() * kPackages * item.size());
}

// Items round-robin over the packages, with the writers synchronized at the end.
void BM_Store(benchmark::State& state) {
  TempFolder folder;
  Quillbox* db = OpenDatabase(folder, static_cast<int>(state.range(1)));
  const std::vector<char> item(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    for (std::uint64_t p = 0; p < kPackages; ++p) {
      if (Quillbox_Store(p, item.size(), item.data(), nullptr, db) != 0) std::abort();
    }
  }
  if (Quillbox_Synchronize(db) != 0) std::abort();
  state.SetBytesProcessed(state.iterations() * kPackages * item.size());
  Quillbox_Destroy(db);
}

// Baseline: copying the same bytes in memory.
void BM_MemcpyBaseline(benchmark::State& state) {
  const std::vector<char> source(8 << 20, 'x');
  std::vector<char> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(state.iterations() * source.size());
}

// Reading every package back through cursors, in pieces of the given size.
void BM_ReadThroughCursor(benchmark::State& state) {
  TempFolder folder;
  Quillbox* db = OpenDatabase(folder, 2);
  const std::vector<char> item(1024, 'x');
  for (int i = 0; i < 512; ++i) {
    for (std::uint64_t p = 0; p < kPackages; ++p) Quillbox_Store(p, item.size(), item.data(), nullptr, db);
  }
  if (Quillbox_Synchronize(db) != 0) std::abort();
  std::vector<char> piece(static_cast<std::size_t>(state.range(0)));
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    for (std::uint64_t p = 0; p < kPackages; ++p) {
      ItemCursor* cursor = nullptr;
      Quillbox_Open(&cursor, p, db);
      std::uint64_t count = 0;
      do {
        Quillbox_RecoverContinous(&count, piece.size(), piece.data(), cursor, db);
        bytes += count;
      } while (count == piece.size());
      Quillbox_Close(&cursor);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  Quillbox_Destroy(db);
}

BENCHMARK(BM_StdioWriteBaseline)->Arg(256)->Arg(4096)->Arg(128 << 10)->UseRealTime();
BENCHMARK(BM_Store)->Args({256, 1})->Args({256, 2})->Args({4096, 2})->Args({128 << 10, 2})->UseRealTime();
BENCHMARK(BM_MemcpyBaseline)->UseRealTime();
BENCHMARK(BM_ReadThroughCursor)->Arg(4096)->Arg(64 << 10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
