// Fuzz target: arbitrary sequences of API calls against a model of what each package
// holds. One caller thread drives the database (its writer threads run as always);
// every read is compared with the model, every call the model calls invalid must
// return 1 and leave the database usable, and no read may pass the end of a file.
//
// Input: one byte of settings (package size, queue limit, package file or none), then
// operations until the input ends or 48 have run; each is an opcode byte and its
// arguments (see the switch in LLVMFuzzerTestOneInput). Package and item numbers are
// taken modulo one more than their counts, so that every call also meets numbers that
// do not exist.
//
// Seeds: run the target with QUILLBOX_FUZZ_WRITE_SEEDS=<folder> (tools/fuzz.sh
// --seeds does it for every target); it writes its seeds there and exits.
#include <stdint.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillbox.h"

namespace {

constexpr size_t kMostOperations = 48;
constexpr uint32_t kMostThreads = 3;
constexpr uint64_t kMostPackages = 6;
constexpr uint64_t kNoPosition = ~0ull;

struct Item {
  uint64_t package;
  std::string bytes;                       // Current bytes (after replaces).
  std::unique_ptr<ItemLocation> location;  // Null when stored without one.
  bool placed = false;                     // Known to be in a data file.
};

struct Model {
  Quillbox* db = nullptr;
  uint64_t packageSize = 0;
  uint64_t queueLimit = 0;
  bool packageFile = false;
  uint32_t threads = 0;
  uint64_t packages = 0;
  std::vector<Item> items;
  unsigned names = 0;  // For fresh file names.

  std::vector<size_t> ItemsOf(uint64_t package) const {
    std::vector<size_t> of;
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].package == package) of.push_back(i);
    }
    return of;
  }
  // The package's bytes from its item `from` (an index into ItemsOf) on, and how many
  // of them are known to be in data files.
  std::string Contents(uint64_t package, size_t from, uint64_t* placedBytes) const {
    std::string bytes;
    *placedBytes = 0;
    bool placedSoFar = true;
    const std::vector<size_t> of = ItemsOf(package);
    for (size_t k = from; k < of.size(); ++k) {
      const Item& item = items[of[k]];
      bytes += item.bytes;
      placedSoFar = placedSoFar && item.placed;
      if (placedSoFar) *placedBytes += item.bytes.size();
    }
    return bytes;
  }
  void PlaceAll() {
    for (Item& item : items) item.placed = true;
  }
  void PlacePackage(uint64_t package) {
    for (Item& item : items) {
      if (item.package == package) item.placed = true;
    }
  }
};

// A read of a data file must end within the file: the library reads only bytes it
// appended. Index files are read in pieces up to their end, which may be short.
void CheckRead(int fd, uint64_t offset, size_t count) {
  uint64_t inode = 0, length = 0;
  if (!fuzz::FileIdentity(fd, &inode, &length)) return;
  if (offset <= length && count <= length - offset) return;
  const std::string path = fuzz::PathOf(fd);
  if (path.find(".index") != std::string::npos) return;
  std::fprintf(stderr, "read of %zu bytes at %llu of %s (%llu bytes long)\n", count,
               static_cast<unsigned long long>(offset), path.c_str(),
               static_cast<unsigned long long>(length));
  fuzz::Fail("read past the end of a data file");
}

// Replays the package through a cursor opened by `open`, reading `chunk` bytes a call;
// the bytes must be a prefix of `expected` at least `placed` long.
template <typename Open>
void Replay(Model& m, Open&& open, size_t chunk, const std::string& expected, uint64_t placed) {
  ItemCursor* cursor = nullptr;
  FUZZ_CHECK(open(&cursor) == 0);
  std::string got;
  std::vector<char> piece(chunk);
  for (;;) {
    uint64_t count = ~0ull;
    FUZZ_CHECK(Quillbox_RecoverContinous(&count, chunk, piece.data(), cursor, m.db) == 0);
    FUZZ_CHECK(count <= chunk);
    got.append(piece.data(), count);
    FUZZ_CHECK(got.size() <= expected.size());
    if (count < chunk) break;
  }
  FUZZ_CHECK(Quillbox_PackageEnd(cursor, m.db) == 1);
  Quillbox_Close(&cursor);
  FUZZ_CHECK(cursor == nullptr);
  FUZZ_CHECK(got.size() >= placed);
  FUZZ_CHECK(expected.compare(0, got.size(), got) == 0);
}

void ReplayPackage(Model& m, uint64_t package, size_t chunk) {
  uint64_t placed = 0;
  const std::string expected = m.Contents(package, 0, &placed);
  Replay(m, [&](ItemCursor** out) { return Quillbox_Open(out, package, m.db); }, chunk, expected,
         placed);
}

void CheckItem(Model& m, const Item& item, uint64_t size) {
  std::string got(size, '\0');
  FUZZ_CHECK(Quillbox_RecoverRandom(size, got.data(), item.location.get(), item.package, m.db) == 0);
  FUZZ_CHECK(item.bytes.compare(0, size, got) == 0);
}

// Everything synchronized: every package replays whole, every item reads back.
void CheckEverything(Model& m) {
  FUZZ_CHECK(Quillbox_Synchronize(m.db) == 0);
  m.PlaceAll();
  FUZZ_CHECK(Quillbox_GetPackageCount(m.db) == m.packages);
  FUZZ_CHECK(Quillbox_GetThreadCount(m.db) == m.threads);
  for (uint64_t p = 0; p < m.packages; ++p) ReplayPackage(m, p, 4096);
  for (const Item& item : m.items) {
    if (item.location) CheckItem(m, item, item.bytes.size());
  }
}

// Saves to `index`, destroys, imports again: the same packages, no threads.
void Reopen(Model& m, const std::string& index) {
  FUZZ_CHECK(Quillbox_Save(index.c_str(), m.db) == 0);
  m.PlaceAll();
  Quillbox_Destroy(m.db);
  m.db = nullptr;
  FUZZ_CHECK(Quillbox_Import(&m.db, index.c_str(), m.queueLimit) == 0);
  m.threads = 0;
  FUZZ_CHECK(Quillbox_GetPackageSize(m.db) == m.packageSize);
  FUZZ_CHECK(Quillbox_GetPackageCount(m.db) == m.packages);
  FUZZ_CHECK(Quillbox_GetThreadCount(m.db) == 0);
}

std::string Fresh(Model& m, const char* prefix) { return prefix + std::to_string(m.names++); }

// Walks from item `first` of the package with RecoverRandomContinous, one call per
// item known to be placed; at the package's end (every item placed) a last call must
// report the end.
void WalkItems(Model& m, uint64_t package, size_t first) {
  const std::vector<size_t> of = m.ItemsOf(package);
  const Item& start = m.items[of[first]];
  if (!start.location || !start.placed) return;
  ItemLocation at = *start.location;
  size_t k = first;
  for (; k < of.size() && m.items[of[k]].placed; ++k) {
    const Item& item = m.items[of[k]];
    std::string got(item.bytes.size(), '\0');
    FUZZ_CHECK(Quillbox_RecoverRandomContinous(got.size(), got.data(), &at, m.db) == 0);
    FUZZ_CHECK(got == item.bytes);
  }
  if (k == of.size()) {
    FUZZ_CHECK(Quillbox_RecoverRandomContinous(0, nullptr, &at, m.db) == 0);
    FUZZ_CHECK(at.pos == kNoPosition);
    FUZZ_CHECK(Quillbox_RecoverRandomContinous(0, nullptr, &at, m.db) == 1);
  }
}

void Run(fuzz::Input& in) {
  static constexpr uint64_t kPackageSizes[] = {0, 1, 16, 64, 100, 256, 1000, 24};
  static constexpr uint64_t kQueueLimits[] = {0, 1, 3, 1000};
  static constexpr uint64_t kFileLimits[] = {40, 150, 600, ~0ull};
  static constexpr size_t kChunks[] = {1, 5, 64, 1000};
  Model m;
  const uint8_t settings = in.Byte();
  m.packageSize = kPackageSizes[settings & 7];
  m.queueLimit = kQueueLimits[(settings >> 3) & 3];
  m.packageFile = (settings & 0x20) == 0;
  FUZZ_CHECK(Quillbox_Create(&m.db, m.packageSize, m.queueLimit, m.packageFile ? "." : nullptr) == 0);
  FUZZ_CHECK(Quillbox_GetFileCount(m.db) == (m.packageFile ? 1u : 0u));

  for (size_t operations = 0; operations < kMostOperations && !in.empty(); ++operations) {
    const uint8_t op = in.Byte();
    switch (op % 16) {
      case 0: {  // NewThread, in this folder or in one that does not exist.
        const uint8_t arg = in.Byte();
        if (m.threads >= kMostThreads) break;
        const uint64_t files = Quillbox_GetFileCount(m.db);
        const char* path = nullptr;
        if (arg & 0x80) {
          FUZZ_CHECK(Quillbox_NewThread(&path, "./missing", kFileLimits[arg & 3], m.db) == 1);
          FUZZ_CHECK(path == nullptr);
          // Writers may roll over to new files meanwhile; none lies in the missing folder.
          for (uint64_t k = files; k < Quillbox_GetFileCount(m.db); ++k) {
            const char* name = Quillbox_GetDatabaseFileName(k, m.db);
            FUZZ_CHECK(name != nullptr && std::strncmp(name, "./missing", 9) != 0);
          }
          break;
        }
        FUZZ_CHECK(Quillbox_NewThread(&path, ".", kFileLimits[arg & 3], m.db) == 0);
        FUZZ_CHECK(path != nullptr && Quillbox_GetFileCount(m.db) >= files + 1);
        ++m.threads;
        FUZZ_CHECK(Quillbox_GetThreadCount(m.db) == m.threads);
        break;
      }
      case 1: {  // NewPackage.
        if (m.packages >= kMostPackages) break;
        uint64_t package = ~0ull;
        FUZZ_CHECK(Quillbox_NewPackage(&package, m.db) == 0);
        FUZZ_CHECK(package == m.packages);
        ++m.packages;
        break;
      }
      case 2:
      case 3: {  // Store, with or without a location; also into no package, or before any thread.
        const uint64_t package = in.Byte() % (m.packages + 1);
        const uint64_t size = in.U16() % std::min<uint64_t>(3 * m.packageSize + 3, 700);
        const uint8_t fill = in.Byte();
        const bool withLocation = (op & 0x10) == 0 && size != 0;
        const bool valid = package < m.packages && m.threads > 0;
        Item item;
        item.package = package;
        for (uint64_t b = 0; b < size; ++b) item.bytes.push_back(static_cast<char>(fill + b * 7));
        if (withLocation) item.location = std::make_unique<ItemLocation>();
        const uint8_t result = Quillbox_Store(package, size, item.bytes.data(), item.location.get(), m.db);
        FUZZ_CHECK(result == (valid ? 0 : 1));
        if (valid && size != 0) m.items.push_back(std::move(item));
        break;
      }
      case 4:  // Synchronize.
        FUZZ_CHECK(Quillbox_Synchronize(m.db) == 0);
        m.PlaceAll();
        break;
      case 5: {  // SynchronizePackage.
        const uint64_t package = in.Byte() % (m.packages + 1);
        FUZZ_CHECK(Quillbox_SynchronizePackage(package, m.db) == (package < m.packages ? 0 : 1));
        if (package < m.packages) m.PlacePackage(package);
        break;
      }
      case 6: {  // Replay a package through a cursor.
        const uint64_t package = in.Byte() % (m.packages + 1);
        const size_t chunk = kChunks[in.Byte() & 3];
        if (package < m.packages) {
          ReplayPackage(m, package, chunk);
        } else {
          ItemCursor* cursor = nullptr;
          FUZZ_CHECK(Quillbox_Open(&cursor, package, m.db) == 1);
          Quillbox_Close(&cursor);
        }
        break;
      }
      case 7: {  // RecoverRandom of an item, whole or its start; or named with another package.
        const uint8_t arg = in.Byte();
        if (m.items.empty()) break;
        const Item& item = m.items[in.Byte() % m.items.size()];
        if (!item.location) break;
        if (arg & 0x80) {
          std::string got(item.bytes.size(), '\0');
          Quillbox_RecoverRandom(got.size(), got.data(), item.location.get(), (item.package + 1) % (m.packages + 1), m.db);
          break;
        }
        CheckItem(m, item, (arg & 1) ? item.bytes.size() : item.bytes.size() / 2);
        break;
      }
      case 8: {  // OpenItem, then the rest of the package.
        const uint8_t arg = in.Byte();
        if (m.items.empty()) break;
        const size_t i = in.Byte() % m.items.size();
        const Item& item = m.items[i];
        if (!item.location) break;
        const std::vector<size_t> of = m.ItemsOf(item.package);
        const size_t from = std::find(of.begin(), of.end(), i) - of.begin();
        uint64_t placed = 0;
        const std::string expected = m.Contents(item.package, from, &placed);
        if (item.placed) {
          Replay(m, [&](ItemCursor** out) { return Quillbox_OpenItem(out, item.location.get(), m.db); },
                 kChunks[arg & 3], expected, placed);
        } else {
          ItemCursor* cursor = nullptr;
          if (Quillbox_OpenItem(&cursor, item.location.get(), m.db) == 0) {
            std::string got(expected.size() + 1, '\0');
            uint64_t count = 0;
            FUZZ_CHECK(Quillbox_RecoverContinous(&count, got.size(), got.data(), cursor, m.db) == 0);
            FUZZ_CHECK(count <= expected.size() && expected.compare(0, count, got, 0, count) == 0);
          }
          Quillbox_Close(&cursor);
        }
        break;
      }
      case 9: {  // RecoverRandomContinous along the package from an item.
        if (m.items.empty()) break;
        const size_t i = in.Byte() % m.items.size();
        const std::vector<size_t> of = m.ItemsOf(m.items[i].package);
        WalkItems(m, m.items[i].package, std::find(of.begin(), of.end(), i) - of.begin());
        break;
      }
      case 10: {  // Replace an item's bytes, whole or its start.
        const uint8_t arg = in.Byte();
        if (m.items.empty()) break;
        Item& item = m.items[in.Byte() % m.items.size()];
        if (!item.location) break;
        std::string bytes = item.bytes;
        if (!(arg & 1)) bytes.resize(bytes.size() / 2);
        for (char& b : bytes) b = static_cast<char>(b ^ arg ^ 0x5A);
        const uint8_t result = Quillbox_Replace(bytes.size(), bytes.data(), item.location.get(), m.db);
        if (item.placed) FUZZ_CHECK(result == 0);
        if (result == 0) item.bytes.replace(0, bytes.size(), bytes);
        break;
      }
      case 11: {  // Save, to a new index or to a folder that does not exist.
        if (in.Byte() & 1) {
          FUZZ_CHECK(Quillbox_Save("./missing/x.index", m.db) == 1);
          FUZZ_CHECK(std::strcmp(Quillbox_GetErrorMessage(m.db), "") == 0);
          break;
        }
        FUZZ_CHECK(Quillbox_Save((Fresh(m, "./s") + ".index").c_str(), m.db) == 0);
        m.PlaceAll();
        break;
      }
      case 12:  // Save, Destroy, Import.
        Reopen(m, Fresh(m, "./r") + ".index");
        break;
      case 13: {  // Relocate a data file: to a new name, onto another data file, into no folder; or a file that does not exist.
        const uint8_t arg = in.Byte();
        const uint64_t files = Quillbox_GetFileCount(m.db);
        // One past the files counted names no file: writers may add files meanwhile.
        const uint64_t pick = in.Byte() % (files + 1);
        const uint64_t index = pick < files ? pick : uint64_t{1} << 40;
        const uint32_t removeOld = (arg >> 2) & 1;
        std::string target;
        bool valid = index < files;
        switch (arg & 3) {
          case 0:
          case 1:
            target = Fresh(m, "./moved");
            break;
          case 2:
            if (files == 0) break;
            target = Quillbox_GetDatabaseFileName(in.Byte() % files, m.db);
            valid = false;
            break;
          case 3:
            target = "./missing/moved";
            valid = false;
            break;
        }
        if (target.empty()) break;
        FUZZ_CHECK(Quillbox_RelocateFileTo(index, target.c_str(), removeOld, m.db) == (valid ? 0 : 1));
        if (valid) FUZZ_CHECK(target == Quillbox_GetDatabaseFileName(index, m.db));
        break;
      }
      case 14: {  // Locations that name nothing: refused, or read harmlessly.
        ItemLocation bad;
        const std::string raw = in.Bytes(sizeof bad);
        std::memset(&bad, 0xFF, sizeof bad);
        std::memcpy(&bad, raw.data(), raw.size());
        const uint64_t package = in.Byte() % (m.packages + 1);
        char bytes[64];
        Quillbox_RecoverRandom(sizeof bytes, bytes, &bad, package, m.db);
        ItemCursor* cursor = nullptr;
        if (Quillbox_OpenItem(&cursor, &bad, m.db) == 0) {
          uint64_t count = 0;
          Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, m.db);
        }
        Quillbox_Close(&cursor);
        ItemLocation moving = bad;
        Quillbox_RecoverRandomContinous(sizeof bytes, bytes, &moving, m.db);
        if (bad.file == 0xFFFFFFFFu) m.PlaceAll();  // It synchronized the database.
        ItemLocation unplaced;
        std::memset(&unplaced, 0xFF, sizeof unplaced);
        FUZZ_CHECK(Quillbox_Replace(1, bytes, &unplaced, m.db) == 1);
        break;
      }
      case 15:  // Everything, checked.
        CheckEverything(m);
        break;
    }
  }
  CheckEverything(m);
  FUZZ_CHECK(std::strcmp(Quillbox_GetErrorMessage(m.db), "") == 0);
  Quillbox_Destroy(m.db);
}

void WriteSeeds(const std::string& folder) {
  const auto seed = [&](const std::string& name, std::initializer_list<uint8_t> bytes) {
    fuzz::WriteFile(folder + "/" + name, std::string(bytes.begin(), bytes.end()));
  };
  // Settings: package size 64 (3), queue limit 1 (0x08), package file.
  seed("store-sync-read", {0x0B, 0, 2, 1, 1, 1, 2, 0, 10, 0, 7, 2, 1, 40, 0, 9, 3, 0, 200, 0, 1,
                           5, 0, 6, 0, 1, 7, 1, 0, 8, 0, 0, 9, 0});
  seed("two-threads-rollover", {0x0B, 0, 0, 0, 1, 1, 1, 1, 1, 2, 0, 100, 0, 3, 2, 1, 30, 0, 4,
                                2, 0, 150, 0, 5, 2, 1, 60, 0, 6, 4, 6, 0, 2, 6, 1, 3, 15});
  seed("save-import-extend", {0x1A, 1, 0, 3, 2, 0, 50, 0, 1, 2, 0, 7, 0, 2, 12, 2, 0, 10, 0, 3,
                              0, 3, 2, 0, 10, 0, 4, 15});
  seed("relocate", {0x03, 0, 3, 1, 2, 0, 90, 0, 1, 4, 13, 0, 1, 13, 6, 0, 13, 2, 0, 0, 13, 3, 0,
                    13, 0, 9, 15});
  seed("replace", {0x0B, 0, 2, 1, 2, 0, 20, 0, 1, 2, 0, 90, 0, 2, 4, 10, 1, 0, 10, 0, 1, 7, 1, 1,
                   6, 0, 2, 15});
  seed("no-folder", {0x22, 0, 0, 1, 1, 2, 0, 5, 0, 1, 2, 1, 60, 0, 2, 11, 0, 12, 7, 1, 0});
  seed("invalid-calls", {0x0B, 2, 0, 3, 0, 5, 0, 6, 0, 0, 1, 14, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                         11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0, 0, 0x80, 11, 1, 13, 0, 9});
  seed("parking", {0x02, 0, 1, 1, 1, 1, 2, 0, 5, 0, 1, 2, 1, 5, 0, 2, 2, 2, 5, 0, 3, 2, 3, 5, 0,
                   4, 2, 0, 5, 0, 5, 6, 0, 1, 7, 1, 0, 15});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return fuzz::InitializeTarget("api", nullptr, WriteSeeds, CheckRead);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  Run(in);
  fuzz::ClearFolder("");
  return 0;
}
