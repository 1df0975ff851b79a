// Damaged and forged ItemLocations on the read path: OpenItem, RecoverRandom,
// RecoverRandomContinous and Replace refuse a location that names no block (or follow a
// chain only as far as its blocks are whole in a listed file), write nothing to any
// data file, and leave the database reading everything back. Item bytes shaped like
// block headers stand in for damaged chains: a location may name any position, so a
// forged one can make an item's payload pass for a block.
#include <cstring>

#include "read/item_cursor.h"
#include "read_support.h"

namespace qbx::test {
namespace {

constexpr std::size_t kItem = 48;  // Larger than the package size: one block per item.

// Item bytes none of whose 4-byte runs is a length that fits a file of this size, so
// no header read inside an item's payload succeeds by chance.
std::string Letters(std::size_t index) {
  std::string bytes(kItem, 'a');
  for (std::size_t k = 0; k < kItem; ++k) bytes[k] = static_cast<char>('a' + (index + k) % 26);
  return bytes;
}

ItemLocation At(std::uint64_t pos, std::uint32_t file, std::uint32_t offset, std::uint32_t len) {
  return {pos, file, offset, len};
}

std::string Header(std::uint64_t nextPos, std::uint32_t nextFile, std::uint32_t payloadLen) {
  return Le(nextPos, 8) + Le(nextFile, 4) + Le(payloadLen, 4);
}

// One package of six items, each in a block of its own in the one thread's file (file
// 1: the package file is file 0), synchronized.
struct DamagedLocation : Harness {
  std::uint32_t blockFile = 0;
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Create(16, 0, true, {~0ull}, 1, 0));
    for (std::size_t i = 0; i < 6; ++i) models[0].items.push_back(Letters(i));
    models[0].locations.resize(6);
    ASSERT_TRUE(StoreAndSync(~std::size_t{0}, 1)) << "the record is parked in the package file";
    blockFile = models[0].locations[0].file;
    ASSERT_EQ(blockFile, 1u);
    for (const ItemLocation& at : models[0].locations) {
      ASSERT_EQ(at.file, blockFile);
      ASSERT_EQ(at.offsetInBlock, 0u);
      ASSERT_EQ(at.blockLen, kItem);
    }
  }
  // What a cursor opened at `at` delivers after skipping `skip` bytes; the package must
  // end there.
  std::string ToTheEnd(const ItemLocation& at, std::uint64_t skip = 0) {
    ItemCursor* cursor = nullptr;
    std::uint64_t count = 0;
    EXPECT_EQ(Quillbox_OpenItem(&cursor, &at, db), 0);
    if (skip != 0) {
      EXPECT_EQ(Quillbox_RecoverContinous(&count, skip, nullptr, cursor, db), 0) << "skipped";
      EXPECT_EQ(count, skip);
    }
    const std::string bytes = Drain(db, cursor);
    EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
    Quillbox_Close(&cursor);
    return bytes;
  }
  // Rewrites item i in place (and in the model).
  void Rewrite(std::size_t i, const std::string& bytes) {
    ASSERT_EQ(bytes.size(), kItem);
    ASSERT_EQ(Quillbox_Replace(kItem, bytes.data(), &models[0].locations[i], db), 0);
    models[0].items[i] = bytes;
  }
};

// A forged location: every call refuses it, but for `headerless` rows, whose bytes
// RecoverRandom and RecoverRandomContinous read without the block header (OpenItem and
// Replace need the block as named): those give the first 8 bytes of item 2.
struct Forged {
  const char* name;
  ItemLocation at;
  bool headerless = false;
};

TEST_F(DamagedLocation, ForgedLocationsAreRefusedAndWriteNothing) {
  const ItemLocation real = models[0].locations[2];
  const std::vector<std::string> before = FileContents();
  const std::uint64_t fileSize = before[blockFile].size();
  ASSERT_EQ(before[0].size(), kPackageRecordSize);
  const std::vector<Forged> cases = {
      {"pos all ones", At(~0ull, blockFile, 0, kItem)},
      {"in memory", At(real.pos, kInMemory, 0, kItem)},
      {"offset past the block", At(real.pos + kItem + 1, blockFile, kItem + 1, kItem)},
      {"pos before the offset", At(5, blockFile, 10, kItem)},
      {"no room for a header", At(20, blockFile, 10, kItem)},
      {"longer block", At(real.pos, blockFile, 0, kItem + 1), true},
      {"shorter block", At(real.pos, blockFile, 0, kItem - 8), true},
      {"past the file", At(fileSize + 1000, blockFile, 0, kItem)},
      {"far past the file", At(std::uint64_t{1} << 40, blockFile, 0, kItem)},
      {"header past the file", At(fileSize + 8, blockFile, 8, kItem)},
      // The package file holds records, never items.
      {"in the package file", At(16, 0, 0, kItem)},
      // Record 0 read as a block header: its length field (the high half of the first
      // block's file) is 0, and its link leads to the package's first block.
      {"empty block in the package file", At(16, 0, 0, 0)},
      {"past the package file", At(before[0].size(), 0, 0, kItem)},
      {"unlisted file", At(real.pos, 7, 0, kItem)},
      // An empty block ending inside an item: its "header" is item bytes.
      {"zero length", At(real.pos + 20, blockFile, 0, 0)},
  };
  const std::string first8 = models[0].items[2].substr(0, 8), data = "ZZZZZZZZ";
  for (const Forged& c : cases) {
    SCOPED_TRACE(c.name);
    ItemCursor* cursor = nullptr;
    EXPECT_EQ(Quillbox_OpenItem(&cursor, &c.at, db), 1);
    ASSERT_NE(cursor, nullptr) << "a cursor is handed out also when OpenItem fails";
    EXPECT_EQ(cursor->buffer, nullptr);
    EXPECT_EQ(Quillbox_PackageEnd(cursor, db), 1);
    Quillbox_Close(&cursor);
    const int read = c.headerless ? 0 : 1;
    std::string bytes(8, '\0');
    EXPECT_EQ(Quillbox_RecoverRandom(8, bytes.data(), &c.at, 0, db), read);
    EXPECT_EQ(bytes, read == 0 ? first8 : std::string(8, '\0')) << "nothing read when refused";
    ItemLocation walk = c.at;
    bytes.assign(8, '\0');
    EXPECT_EQ(Quillbox_RecoverRandomContinous(8, bytes.data(), &walk, db), read);
    if (read == 0) {
      EXPECT_EQ(bytes, first8);
      EXPECT_EQ(walk.pos, c.at.pos + 8);
      EXPECT_EQ(walk.offsetInBlock, c.at.offsetInBlock + 8);
    } else {
      EXPECT_EQ(std::memcmp(&walk, &c.at, sizeof walk), 0) << "a refused call moves nothing";
    }
    EXPECT_EQ(Quillbox_Replace(data.size(), data.data(), &c.at, db), 1);
    EXPECT_EQ(FileContents(), before);
    EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
  }
  ExpectAllReadBack();
  ASSERT_TRUE(SaveIndex());
  ASSERT_NO_FATAL_FAILURE(Reopen(0));
  ExpectAllReadBack();
}

// Locations at the end of a block whose link is damaged: into a file the database does
// not list, to a block not wholly in its file (torn by a crash), or to a header with no
// payload (no block is written empty: zeros a crash left read so). The package ends
// there; nothing is written.
TEST_F(DamagedLocation, ALocationAtTheEndOfABlockWithADamagedLinkEndsThePackage) {
  const std::uint64_t p1 = models[0].locations[1].pos, p2 = models[0].locations[2].pos,
                      p3 = models[0].locations[3].pos;
  // Item 1: a block of 8 bytes linked to a header with no payload right behind it.
  // Item 2: a block of 32 bytes linked far past its file. Item 3: one linked into file 9.
  ASSERT_NO_FATAL_FAILURE(
      Rewrite(1, Header(p1 + 24, blockFile, 8) + "aaaaaaaa" + Header(~0ull, 0, 0) + "bbbbbbbb"));
  ASSERT_NO_FATAL_FAILURE(Rewrite(2, Header(std::uint64_t{1} << 40, blockFile, 32) +
                                         std::string(32, 'c')));
  ASSERT_NO_FATAL_FAILURE(Rewrite(3, Header(100, 9, 32) + std::string(32, 'd')));
  const std::vector<std::string> before = FileContents();

  // Through a cursor: the 8 bytes, then the end.
  EXPECT_EQ(ToTheEnd(At(p1 + 16, blockFile, 0, 8), 3), "aaaaa");

  // Item after item: the package ends at the link.
  ItemLocation walk = At(p1 + 24, blockFile, 8, 8);
  char byte = 0;
  ASSERT_EQ(Quillbox_RecoverRandomContinous(1, &byte, &walk, db), 0);
  EXPECT_EQ(walk.pos, ~0ull);

  for (const auto& [pos, len] : {std::pair{p2, 32u}, std::pair{p3, 32u}}) {
    SCOPED_TRACE(pos);
    const ItemLocation end = At(pos + 16 + len, blockFile, len, len);
    EXPECT_EQ(ToTheEnd(end), "");
    EXPECT_EQ(ToTheEnd(At(pos + 16, blockFile, 0, len)), std::string(len, pos == p2 ? 'c' : 'd'));
    walk = end;
    char bytes[4];
    ASSERT_EQ(Quillbox_RecoverRandomContinous(sizeof bytes, bytes, &walk, db), 0);
    EXPECT_EQ(walk.pos, ~0ull);
    EXPECT_EQ(Quillbox_RecoverRandom(1, bytes, &end, 0, db), 1) << "past the block";
    EXPECT_EQ(Quillbox_Replace(1, "x", &end, db), 1) << "past the block";
    EXPECT_EQ(Quillbox_Replace(0, nullptr, &end, db), 0) << "nothing to write";
  }
  EXPECT_EQ(FileContents(), before);
  EXPECT_STREQ(Quillbox_GetErrorMessage(db), "");
  ExpectAllReadBack();
}

}  // namespace
}  // namespace qbx::test
