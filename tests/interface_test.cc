// The exports at their edge: every null handle, cursor, location and required pointer
// is refused by the interface before the database sees it. A refused call returns 1
// (a getter 0 or null), writes nothing through the pointers it was given, and leaves
// the live database used beside it exactly as it was: no package, thread, file or
// byte on disk added or changed, and its stored items still read back.
#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "read_support.h"

namespace qbx::test {
namespace {

std::uintptr_t Bits(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

std::vector<std::string> SortedEntries(const TempDir& dir) {
  std::vector<std::string> names = dir.Entries();
  std::sort(names.begin(), names.end());
  return names;
}

std::string Raw(const void* bytes, std::size_t size) {
  return std::string(static_cast<const char*>(bytes), size);
}

// A database with one thread writing data file 0 (no package file), two packages of
// which package 0 holds two synchronized items, a saved index, and a cursor standing
// inside package 0. The out-variables hold marks that no refused call may overwrite.
class NullArguments : public ::testing::Test {
 protected:
  NullArguments() : db_(64, 8, nullptr) {
    db_.AddThread(dir_.path());
    db_.AddPackage();
    db_.AddPackage();
    for (int i = 0; i < 2; ++i) {
      items_[i] = MakeItem(3, i, 40);
      Check(Quillbox_Store(0, items_[i].size(), items_[i].data(), &placed_[i], db_.get()) == 0);
    }
    Check(Quillbox_Synchronize(db_.get()) == 0);
    Check(Quillbox_Save(index_.c_str(), db_.get()) == 0);
    Check(Quillbox_Open(&cursor_, 0, db_.get()) == 0);
    std::uint64_t count = 0;
    Check(Quillbox_RecoverContinous(&count, 7, buffer_, cursor_, db_.get()) == 0 && count == 7);
    ResetMarks();
    cursorState_ = Raw(cursor_, sizeof *cursor_);
    entries_ = SortedEntries(dir_);
    fileBytes_ = DataFileBytes();
  }
  ~NullArguments() override { Quillbox_Close(&cursor_); }

  static void Check(bool ok) {
    if (!ok) throw std::runtime_error("setting up the database failed");
  }

  void ResetMarks() {
    dbOut_ = reinterpret_cast<Quillbox*>(0x10);
    cursorOut_ = reinterpret_cast<ItemCursor*>(0x20);
    pathOut_ = reinterpret_cast<const char*>(0x30);
    numberOut_ = 0xA5A5A5A5A5A5A5A5ull;
    std::memset(&spare_, 0x5A, sizeof spare_);
    walk_ = placed_[0];
    std::memset(buffer_, '#', sizeof buffer_);
  }

  std::string DataFileBytes() {
    FlushFiles(db_.get());
    return ReadWholeFile(Quillbox_GetDatabaseFileName(0, db_.get()));
  }

  // Everything a refused call must have left alone.
  void ExpectUnchanged() {
    EXPECT_EQ(dbOut_, reinterpret_cast<Quillbox*>(0x10));
    EXPECT_EQ(cursorOut_, reinterpret_cast<ItemCursor*>(0x20));
    EXPECT_EQ(pathOut_, reinterpret_cast<const char*>(0x30));
    EXPECT_EQ(numberOut_, 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(Raw(&spare_, sizeof spare_), std::string(sizeof spare_, '\x5A'));
    EXPECT_EQ(Raw(&walk_, sizeof walk_), Raw(&placed_[0], sizeof walk_));
    EXPECT_EQ(Raw(buffer_, sizeof buffer_), std::string(sizeof buffer_, '#'));
    EXPECT_EQ(Raw(cursor_, sizeof *cursor_), cursorState_) << "the cursor did not move";
    EXPECT_EQ(Quillbox_GetPackageCount(db_.get()), 2u);
    EXPECT_EQ(Quillbox_GetThreadCount(db_.get()), 1u);
    EXPECT_EQ(Quillbox_GetFileCount(db_.get()), 1u);
    EXPECT_FALSE(db_->HasFailed());
    EXPECT_EQ(SortedEntries(dir_), entries_) << "no file made, moved or removed";
    EXPECT_EQ(DataFileBytes(), fileBytes_);
    EXPECT_EQ(ReadByCursor(db_.get(), 0), items_[0] + items_[1]);
    char item[40];
    ASSERT_EQ(Quillbox_RecoverRandom(sizeof item, item, &placed_[1], 0, db_.get()), 0);
    EXPECT_EQ(Raw(item, sizeof item), items_[1]);
  }

  TempDir dir_;
  Db db_;
  std::string items_[2];
  ItemLocation placed_[2] = {};
  std::string index_ = dir_.File("db.index");
  ItemCursor* cursor_ = nullptr;
  std::string cursorState_, fileBytes_;
  std::vector<std::string> entries_;

  Quillbox* dbOut_;
  ItemCursor* cursorOut_;
  const char* pathOut_;
  std::uint64_t numberOut_;
  ItemLocation spare_;
  ItemLocation walk_;
  char buffer_[40];
};

struct NullCase {
  const char* call;
  std::function<std::uintptr_t()> run;
  std::uintptr_t expected;
};

// Every export with each of its pointers null in turn, the others valid and naming the
// live database, its cursor and its stored items.
TEST_F(NullArguments, EveryExportRefusesEachNullAndChangesNothing) {
  Quillbox* const db = db_.get();
  Quillbox* const none = nullptr;
  const char* const folder = dir_.path().c_str();
  const std::string moved = dir_.File("moved.data"), other = dir_.File("other.index");
  const std::vector<NullCase> cases = {
      {"Create out", [&] { return Quillbox_Create(nullptr, 64, 8, folder); }, 1},
      {"Import out", [&] { return Quillbox_Import(nullptr, index_.c_str(), 8); }, 1},
      {"Import path", [&] { return Quillbox_Import(&dbOut_, nullptr, 8); }, 1},
      {"Destroy", [&] { return Quillbox_Destroy(none), std::uintptr_t{0}; }, 0},
      {"GetVersionInfo", [&] { return Bits(Quillbox_GetVersionInfo(none)); }, 0},
      {"GetErrorMessage", [&] { return Bits(Quillbox_GetErrorMessage(none)); }, 0},
      {"GetPackageSize", [&] { return Quillbox_GetPackageSize(none); }, 0},
      {"GetPackageCount", [&] { return Quillbox_GetPackageCount(none); }, 0},
      {"GetThreadCount", [&] { return Quillbox_GetThreadCount(none); }, 0},
      {"GetFileCount", [&] { return Quillbox_GetFileCount(none); }, 0},
      {"GetDatabaseFileName", [&] { return Bits(Quillbox_GetDatabaseFileName(0, none)); }, 0},
      {"NewThread out", [&] { return Quillbox_NewThread(nullptr, folder, 1000, db); }, 1},
      {"NewThread folder", [&] { return Quillbox_NewThread(&pathOut_, nullptr, 1000, db); }, 1},
      {"NewThread db", [&] { return Quillbox_NewThread(&pathOut_, folder, 1000, none); }, 1},
      {"NewPackage out", [&] { return Quillbox_NewPackage(nullptr, db); }, 1},
      {"NewPackage db", [&] { return Quillbox_NewPackage(&numberOut_, none); }, 1},
      {"Store data", [&] { return Quillbox_Store(1, 5, nullptr, &spare_, db); }, 1},
      {"Store db", [&] { return Quillbox_Store(1, 5, "hello", &spare_, none); }, 1},
      {"Synchronize db", [&] { return Quillbox_Synchronize(none); }, 1},
      {"SynchronizePackage db", [&] { return Quillbox_SynchronizePackage(0, none); }, 1},
      {"Save path", [&] { return Quillbox_Save(nullptr, db); }, 1},
      {"Save db", [&] { return Quillbox_Save(other.c_str(), none); }, 1},
      {"RelocateFileTo path", [&] { return Quillbox_RelocateFileTo(0, nullptr, 1, db); }, 1},
      {"RelocateFileTo db", [&] { return Quillbox_RelocateFileTo(0, moved.c_str(), 1, none); }, 1},
      {"Open out", [&] { return Quillbox_Open(nullptr, 0, db); }, 1},
      {"Open db", [&] { return Quillbox_Open(&cursorOut_, 0, none); }, 1},
      {"OpenItem out", [&] { return Quillbox_OpenItem(nullptr, &placed_[0], db); }, 1},
      {"OpenItem location", [&] { return Quillbox_OpenItem(&cursorOut_, nullptr, db); }, 1},
      {"OpenItem db", [&] { return Quillbox_OpenItem(&cursorOut_, &placed_[0], none); }, 1},
      {"Close variable", [&] { return Quillbox_Close(nullptr); }, 0},
      {"PackageEnd cursor", [&] { return Quillbox_PackageEnd(nullptr, db); }, 1},
      {"PackageEnd db", [&] { return Quillbox_PackageEnd(cursor_, none); }, 1},
      {"RecoverContinous count",
       [&] { return Quillbox_RecoverContinous(nullptr, 5, buffer_, cursor_, db); }, 1},
      {"RecoverContinous cursor",
       [&] { return Quillbox_RecoverContinous(&numberOut_, 5, buffer_, nullptr, db); }, 1},
      {"RecoverContinous db",
       [&] { return Quillbox_RecoverContinous(&numberOut_, 5, buffer_, cursor_, none); }, 1},
      {"RecoverRandom buffer",
       [&] { return Quillbox_RecoverRandom(5, nullptr, &placed_[0], 0, db); }, 1},
      {"RecoverRandom location",
       [&] { return Quillbox_RecoverRandom(5, buffer_, nullptr, 0, db); }, 1},
      {"RecoverRandom db",
       [&] { return Quillbox_RecoverRandom(5, buffer_, &placed_[0], 0, none); }, 1},
      {"RecoverRandomContinous buffer",
       [&] { return Quillbox_RecoverRandomContinous(5, nullptr, &walk_, db); }, 1},
      {"RecoverRandomContinous location",
       [&] { return Quillbox_RecoverRandomContinous(5, buffer_, nullptr, db); }, 1},
      {"RecoverRandomContinous db",
       [&] { return Quillbox_RecoverRandomContinous(5, buffer_, &walk_, none); }, 1},
      {"Replace data", [&] { return Quillbox_Replace(5, nullptr, &placed_[0], db); }, 1},
      {"Replace location", [&] { return Quillbox_Replace(5, "HELLO", nullptr, db); }, 1},
      {"Replace db", [&] { return Quillbox_Replace(5, "HELLO", &placed_[0], none); }, 1},
  };
  for (const NullCase& c : cases) {
    SCOPED_TRACE(c.call);
    ResetMarks();
    EXPECT_EQ(c.run(), c.expected);
    ExpectUnchanged();
  }
}

// The size decides whether a null data or buffer pointer is allowed: with no bytes to
// copy it is, and the call does its work; with one byte it is refused before anything
// is touched. RecoverContinous alone takes a null buffer with any size: it skips.
TEST_F(NullArguments, NullBytesAreAllowedOnlyForAnEmptyRange) {
  Quillbox* const db = db_.get();
  for (const std::uint64_t size : {0, 1}) {
    SCOPED_TRACE(size);
    const std::uint8_t refused = size == 0 ? 0 : 1;
    ItemLocation at;
    EXPECT_EQ(Quillbox_Store(1, size, nullptr, &at, db), refused);
    EXPECT_EQ(Quillbox_RecoverRandom(size, nullptr, &placed_[1], 0, db), refused);
    ItemLocation walk = placed_[1];
    EXPECT_EQ(Quillbox_RecoverRandomContinous(size, nullptr, &walk, db), refused);
    EXPECT_EQ(Quillbox_Replace(size, nullptr, &placed_[1], db), refused);
    EXPECT_EQ(Quillbox_Synchronize(db), 0);
  }
  // Only the empty item was stored: package 1 holds no bytes, and package 0 is intact.
  EXPECT_EQ(ReadByCursor(db, 1), "");
  EXPECT_EQ(ReadByCursor(db, 0), items_[0] + items_[1]);
  // The cursor skips five bytes and delivers the next ones.
  std::uint64_t count = 0;
  ASSERT_EQ(Quillbox_RecoverContinous(&count, 5, nullptr, cursor_, db), 0);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(Quillbox_RecoverContinous(&count, 4, buffer_, cursor_, db), 0);
  EXPECT_EQ(Raw(buffer_, count), items_[0].substr(12, 4));
}

}  // namespace
}  // namespace qbx::test
