// Fuzz target: arbitrary data-file bytes behind a valid index. A small recording is
// made once; each input patches, cuts or lengthens its data files (the package file
// and the block files), and may name item locations of its own. The recording is then
// imported and read every way there is: each package replayed through a cursor, each
// item by RecoverRandom, OpenItem and RecoverRandomContinous, some replaced in place,
// and the input's own locations tried the same ways. The library must not crash, hang,
// read past what a file holds or allocate beyond what the files bound, and whatever
// it reports as read or written must agree with the files' bytes.
//
// Input: one byte of settings (bit 0: queue limit 0 rather than 1000, so that loaded
// records are parked again; bits 1-2: the cursors' read size; bits 3-7: which items are
// replaced), then operations until the input ends:
//   0, 1  patch:   file, u16 offset, n (0..16), n bytes written there
//   2     cut:     file, u16 new length (at most the current one)
//   3     extend:  file, n (0..255), n bytes appended
//   4     location of the input's own: 20 bytes (an ItemLocation), a package byte
//   5     a real location bent: item, i16 added to pos, i8 to offsetInBlock and to blockLen
// Files and items are taken modulo their counts.
//
// Seeds: run the target with QUILLBOX_FUZZ_WRITE_SEEDS=<folder> (tools/fuzz.sh
// --seeds does it for every target); it writes its seeds there and exits.
#include <stdint.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillbox.h"
#include "storage/format.h"
#include "storage/index_format.h"

namespace {

constexpr uint64_t kPackages = 4;

struct Item {
  uint64_t package;
  std::string bytes;
  ItemLocation location;
};

struct Recording {
  std::vector<std::string> files;    // As made, "./d<k>".
  std::vector<uint64_t> indexSizes;  // Each file's size as the index lists it.
  std::vector<Item> items;
};
Recording recording;

std::string FileName(size_t k) { return "./d" + std::to_string(k); }

// Four packages in a package file and two writers' files, one rolled over every 600
// bytes: items of mixed sizes, some larger than the 128-byte package buffer, the
// records partly parked. Every item's location is kept.
void MakeRecording() {
  Quillbox* db = nullptr;
  if (Quillbox_Create(&db, 128, 1, ".") != 0) fuzz::Fail("create");
  const char* name = nullptr;
  if (Quillbox_NewThread(&name, ".", 600, db) != 0 || Quillbox_NewThread(&name, ".", ~0ull, db) != 0) {
    fuzz::Fail("new thread");
  }
  for (uint64_t p = 0; p < kPackages; ++p) {
    uint64_t package = 0;
    if (Quillbox_NewPackage(&package, db) != 0) fuzz::Fail("new package");
  }
  recording.items.resize(36);
  for (size_t i = 0; i < recording.items.size(); ++i) {
    Item& item = recording.items[i];
    item.package = (i * 7) % kPackages;
    const size_t size = 1 + (i * 53) % 300;
    for (size_t b = 0; b < size; ++b) item.bytes.push_back(static_cast<char>(i * 31 + b));
    if (Quillbox_Store(item.package, size, item.bytes.data(), &item.location, db) != 0) {
      fuzz::Fail("store");
    }
    if (i % 11 == 10 && Quillbox_SynchronizePackage(item.package, db) != 0) fuzz::Fail("sync");
  }
  if (Quillbox_Synchronize(db) != 0) fuzz::Fail("synchronize");
  const uint64_t files = Quillbox_GetFileCount(db);
  for (uint64_t k = 0; k < files; ++k) {
    if (Quillbox_RelocateFileTo(k, FileName(k).c_str(), 1, db) != 0) fuzz::Fail("relocate");
  }
  if (Quillbox_Save("./seed.index", db) != 0) fuzz::Fail("save");
  Quillbox_Destroy(db);
  const qbx::IndexContents contents = qbx::ReadIndexFile("./seed.index");
  for (uint64_t k = 0; k < files; ++k) {
    recording.files.push_back(fuzz::ReadFile(FileName(k)));
    recording.indexSizes.push_back(contents.files[k].size);
  }
}

// The files of the current input, as they must stand on disk: patched by the input,
// then changed only by the library's successful Replace calls.
std::vector<std::string> files;
// Inode of each file of the current input, for the read check.
std::map<uint64_t, size_t> fileOfInode;

// A read must end within the larger of the file's listed size and its length: the
// bytes a database may take as its own (what lies beyond the listed size counts as
// stored after the Save).
void CheckRead(int fd, uint64_t offset, size_t count) {
  uint64_t inode = 0, length = 0;
  if (!fuzz::FileIdentity(fd, &inode, &length)) return;
  const auto found = fileOfInode.find(inode);
  if (found == fileOfInode.end()) return;  // The index file.
  const uint64_t bound = std::max(length, recording.indexSizes[found->second]);
  FUZZ_CHECK(offset <= bound && count <= bound - offset);
}

size_t Chunk(uint8_t settings) {
  static constexpr size_t kChunks[] = {1, 7, 64, 4096};
  return kChunks[(settings >> 1) & 3];
}

// The bytes a successful read of `size` bytes at `pos` of file `file` must have given.
void CheckBytes(uint32_t file, uint64_t pos, const char* got, uint64_t size) {
  if (size == 0) return;
  FUZZ_CHECK(file < files.size());
  const std::string& bytes = files[file];
  FUZZ_CHECK(pos <= bytes.size() && size <= bytes.size() - pos);
  FUZZ_CHECK(size == 0 || std::memcmp(bytes.data() + pos, got, size) == 0);
}

uint64_t TotalBytes() {
  uint64_t total = 0;
  for (const std::string& bytes : files) total += bytes.size();
  return total;
}

// Every package through a cursor. A package holds no more than all the files do, so a
// replay that delivers more has followed a loop.
void ReplayPackages(Quillbox* db, uint8_t settings) {
  const size_t chunk = Chunk(settings);
  std::vector<char> bytes(chunk);
  const uint64_t most = TotalBytes();
  for (uint64_t p = 0; p < kPackages + 1; ++p) {
    ItemCursor* cursor = nullptr;
    const uint8_t opened = Quillbox_Open(&cursor, p, db);
    FUZZ_CHECK(p < kPackages || opened == 1);
    uint64_t total = 0;
    while (opened == 0) {
      uint64_t count = ~0ull;
      const uint8_t result = Quillbox_RecoverContinous(&count, chunk, bytes.data(), cursor, db);
      FUZZ_CHECK(count <= chunk);
      total += count;
      FUZZ_CHECK(total <= most);
      if (result != 0 || count < chunk) {
        if (result == 0) FUZZ_CHECK(Quillbox_PackageEnd(cursor, db) == 1);
        break;
      }
    }
    Quillbox_Close(&cursor);
  }
}

// Reads one location every way: RecoverRandom (for `package`), OpenItem and a read
// through the cursor, RecoverRandomContinous on a copy. Whatever succeeds must agree
// with the files.
void ReadLocation(Quillbox* db, const ItemLocation& location, uint64_t package, uint64_t size) {
  const uint64_t room = std::min<uint64_t>(size, 4096);
  std::vector<char> bytes(room + 1);
  if (Quillbox_RecoverRandom(room, bytes.data(), &location, package, db) == 0) {
    // An imported package holds nothing in memory.
    if (location.file == 0xFFFFFFFFu) FUZZ_CHECK(room == 0);
    CheckBytes(location.file, location.pos, bytes.data(), room);
  }
  ItemCursor* cursor = nullptr;
  if (Quillbox_OpenItem(&cursor, &location, db) == 0) {
    // The cursor holds the rest of the item's block first.
    uint64_t count = 0;
    if (Quillbox_RecoverContinous(&count, room, bytes.data(), cursor, db) == 0) {
      FUZZ_CHECK(count <= room);
      const uint64_t inBlock = std::min<uint64_t>(count, location.blockLen - location.offsetInBlock);
      CheckBytes(location.file, location.pos, bytes.data(), inBlock);
    }
  }
  Quillbox_Close(&cursor);
  ItemLocation moving = location;
  if (Quillbox_RecoverRandomContinous(room, bytes.data(), &moving, db) == 0 &&
      location.file != 0xFFFFFFFFu && location.offsetInBlock != location.blockLen) {
    CheckBytes(location.file, location.pos, bytes.data(), room);
  }
}

// Overwrites the start of the item at `location` with `size` bytes; a Replace that
// succeeds must have written inside a block of a block file.
void ReplaceAt(Quillbox* db, const ItemLocation& location, uint64_t size) {
  std::string bytes(std::min<uint64_t>(size, 4096), '\0');
  for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>(0xA5 ^ b);
  if (Quillbox_Replace(bytes.size(), bytes.data(), &location, db) != 0) return;
  FUZZ_CHECK(location.file != 0 && location.file < files.size());  // Not the package file.
  FUZZ_CHECK(location.offsetInBlock <= location.blockLen &&
             bytes.size() <= location.blockLen - location.offsetInBlock);
  FUZZ_CHECK(location.pos >= location.offsetInBlock + qbx::kBlockHeaderSize);
  std::string& file = files[location.file];
  const uint64_t header = location.pos - location.offsetInBlock - qbx::kBlockHeaderSize;
  FUZZ_CHECK(header + qbx::kBlockHeaderSize <= file.size());
  FUZZ_CHECK(qbx::DecodeBlockHeader(file.data() + header).payloadLen == location.blockLen);
  const uint64_t end = location.pos + bytes.size();
  FUZZ_CHECK(end <= std::max<uint64_t>(file.size(), recording.indexSizes[location.file]));
  if (file.size() < end) file.resize(end, '\0');
  file.replace(location.pos, bytes.size(), bytes);
}

struct OwnLocation {
  ItemLocation location;
  uint64_t package;
  uint64_t size;
};

std::vector<OwnLocation> ApplyOperations(fuzz::Input& in) {
  std::vector<OwnLocation> own;
  const size_t count = files.size();
  while (!in.empty()) {
    switch (in.Byte() % 6) {
      case 0:
      case 1: {
        std::string& file = files[in.Byte() % count];
        const size_t offset = in.U16() % (file.size() + 1);
        const std::string bytes = in.Bytes(in.Byte() % 17);
        if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), '\0');
        file.replace(offset, bytes.size(), bytes);
        break;
      }
      case 2: {
        std::string& file = files[in.Byte() % count];
        file.resize(in.U16() % (file.size() + 1));
        break;
      }
      case 3: {
        std::string& file = files[in.Byte() % count];
        file += in.Bytes(in.Byte());
        break;
      }
      case 4: {
        OwnLocation taken{};
        const std::string raw = in.Bytes(sizeof(ItemLocation));
        std::memcpy(&taken.location, raw.data(), raw.size());
        taken.package = in.Byte() % (kPackages + 1);
        taken.size = in.U16();
        if (own.size() < 8) own.push_back(taken);
        break;
      }
      case 5: {
        const Item& item = recording.items[in.Byte() % recording.items.size()];
        OwnLocation bent{item.location, item.package, item.bytes.size()};
        bent.location.pos += static_cast<int16_t>(in.U16());
        bent.location.offsetInBlock += static_cast<int8_t>(in.Byte());
        bent.location.blockLen += static_cast<int8_t>(in.Byte());
        if (own.size() < 8) own.push_back(bent);
        break;
      }
    }
  }
  return own;
}

void WriteSeeds(const std::string& folder) {
  const auto seed = [&](const std::string& name, const std::string& bytes) {
    fuzz::WriteFile(folder + "/" + name, bytes);
  };
  const auto u16 = [](uint64_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
  };
  seed("pristine", std::string(1, '\0'));
  seed("pristine-parking", std::string(1, '\x01'));
  seed("bytewise-replace-all", std::string(1, '\xFE'));
  // Damage around the first block of item 5: its link, its length, a cut into it, a
  // loop back to itself.
  const ItemLocation& at = recording.items[5].location;
  const uint64_t header = at.pos - at.offsetInBlock - qbx::kBlockHeaderSize;
  const char file = static_cast<char>(at.file);
  seed("link-to-self", std::string{'\x02', '\x00', file} + u16(header) + '\x0C' +
                           u16(header) + std::string(6, '\0') + std::string{file, 0, 0, 0});
  seed("payload-length", std::string{'\x06', '\x00', file} + u16(header + 12) + '\x04' +
                             std::string("\xFF\xFF\x00\x00", 4));
  seed("cut-into-block", std::string{'\x04', '\x02', file} + u16(header + 20));
  seed("record-damaged", std::string{'\x00', '\x01', '\x00'} + u16(44 + 3) + '\x08' +
                             std::string(8, '\x7F'));
  seed("extended", std::string{'\x00', '\x03', file, '\x40'} + std::string(64, '\x11'));
  seed("bent-locations", std::string{'\x18', '\x05', '\x05', '\x10', '\x00', '\x00', '\x00',
                                     '\x05', '\xF0', '\xFF', '\x01', '\xFF', '\x05', '\x09',
                                     '\x00', '\x00', '\x00', '\x03'});
  std::string own{'\x00', '\x04'};
  own.append(reinterpret_cast<const char*>(&at), sizeof at);
  own += std::string{static_cast<char>(recording.items[5].package), '\x20', '\x00'};
  seed("own-location", own);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return fuzz::InitializeTarget("data", MakeRecording, WriteSeeds, CheckRead);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t settings = in.Byte();
  files = recording.files;
  const std::vector<OwnLocation> own = ApplyOperations(in);
  fileOfInode.clear();
  for (size_t k = 0; k < files.size(); ++k) {
    fuzz::WriteFile(FileName(k), files[k]);
    struct stat info;
    if (stat(FileName(k).c_str(), &info) != 0) fuzz::Fail("stat");
    fileOfInode[static_cast<uint64_t>(info.st_ino)] = k;
  }

  Quillbox* db = nullptr;
  const uint64_t queueLimit = (settings & 1) != 0 ? 0 : 1000;
  if (Quillbox_Import(&db, "./seed.index", queueLimit) == 0) {
    ReplayPackages(db, settings);
    for (size_t i = 0; i < recording.items.size(); ++i) {
      const Item& item = recording.items[i];
      ReadLocation(db, item.location, item.package, item.bytes.size());
    }
    for (const OwnLocation& taken : own) ReadLocation(db, taken.location, taken.package, taken.size);
    for (size_t i = 0; i < recording.items.size(); ++i) {
      if (((settings >> 3) + i) % 8 == 0) {
        const Item& item = recording.items[i];
        ReplaceAt(db, item.location, item.bytes.size());
      }
    }
    for (const OwnLocation& taken : own) ReplaceAt(db, taken.location, taken.size);
    // What was replaced reads back, through a cursor too.
    ReplayPackages(db, settings);
    for (const OwnLocation& taken : own) ReadLocation(db, taken.location, taken.package, taken.size);
    FUZZ_CHECK(std::strcmp(Quillbox_GetErrorMessage(db), "") == 0);
    Quillbox_Destroy(db);
  }
  // Reading wrote nothing, and each Replace wrote what it was given where it said.
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string now = fuzz::ReadFile(FileName(k));
    FUZZ_CHECK(now.size() >= files[k].size());
    FUZZ_CHECK(now.compare(0, files[k].size(), files[k]) == 0);
    FUZZ_CHECK(now.find_first_not_of('\0', files[k].size()) == std::string::npos);
  }
  return 0;
}
