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
  NullArguments() {
    for (int i = 0; i < 2; ++i) {
      items_[i] = MakeItem(3, i, 40);
      Check(Quillbox_Store(0, items_[i].size(), items_[i].data(), &placed_[i], db_.get()) == 0);
    }
    Check(Quillbox_Synchronize(db_.get()) == 0);
    Check(Quillbox_Save(index_.c_str(), db_.get()) == 0);
    Check(Quillbox_Open(&cursor_, 0, db_.get()) == 0);
    std::uint64_t count = 0;
    Check(Quillbox_RecoverContinous(&count, 7, out_.buffer, cursor_, db_.get()) == 0 && count == 7);
    cursorState_ = Raw(cursor_, sizeof *cursor_);
    entries_ = SortedEntries(dir_);
    fileBytes_ = DataFileBytes();
  }
  ~NullArguments() override { Quillbox_Close(&cursor_); }

  static void Check(bool ok) {
    if (!ok) throw std::runtime_error("setting up the database failed");
  }

  // Fills the out-variables with marks, the walk with a real location.
  void ResetMarks() {
    std::memset(&out_, 0x5A, sizeof out_);
    out_.walk = placed_[0];
    marks_ = Raw(&out_, sizeof out_);
  }

  std::string DataFileBytes() {
    FlushFiles(db_.get());
    return ReadWholeFile(Quillbox_GetDatabaseFileName(0, db_.get()));
  }

  // Everything a refused call must have left alone.
  void ExpectUnchanged() {
    EXPECT_EQ(Raw(&out_, sizeof out_), marks_) << "written through a pointer it was given";
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

  FolderDb db_{64, 8, 1, 2};
  const TempDir& dir_ = db_.dir;
  std::string items_[2];
  ItemLocation placed_[2] = {};
  std::string index_ = db_.dir.File("db.index");
  ItemCursor* cursor_ = nullptr;
  std::string cursorState_, fileBytes_;
  std::vector<std::string> entries_;

  // Where refused calls may not write; no one of them gets two of these.
  struct {
    Quillbox* db;
    ItemCursor* cursor;
    const char* path;
    std::uint64_t number;
    ItemLocation spare, walk;
    char buffer[40];
  } out_;
  std::string marks_;  // The bytes of out_ with the marks.
};

struct NullCase {
  const char* call;
  std::function<std::uintptr_t()> run;
  std::uintptr_t expected = 1;
};

// Every export with each of its pointers null in turn, the others valid and naming the
// live database, its cursor and its stored items.
TEST_F(NullArguments, EveryExportRefusesEachNullAndChangesNothing) {
  Quillbox* const db = db_.get();
  Quillbox* const none = nullptr;
  const char* const folder = dir_.path().c_str();
  const std::string moved = dir_.File("moved.data"), other = dir_.File("other.index");
  // The cursor, a buffer, a number, a location to read and one to walk.
  ItemCursor* const c = cursor_;
  char* const b = out_.buffer;
  std::uint64_t* const n = &out_.number;
  ItemLocation *const at = &placed_[0], *const w = &out_.walk;
  const std::vector<NullCase> cases = {
      {"Create out", [&] { return Quillbox_Create(nullptr, 64, 8, folder); }},
      {"Import out", [&] { return Quillbox_Import(nullptr, index_.c_str(), 8); }},
      {"Import path", [&] { return Quillbox_Import(&out_.db, nullptr, 8); }},
      {"Destroy", [&] { return Quillbox_Destroy(none), std::uintptr_t{0}; }, 0},
      {"GetVersionInfo", [&] { return Bits(Quillbox_GetVersionInfo(none)); }, 0},
      {"GetErrorMessage", [&] { return Bits(Quillbox_GetErrorMessage(none)); }, 0},
      {"GetPackageSize", [&] { return Quillbox_GetPackageSize(none); }, 0},
      {"GetPackageCount", [&] { return Quillbox_GetPackageCount(none); }, 0},
      {"GetThreadCount", [&] { return Quillbox_GetThreadCount(none); }, 0},
      {"GetFileCount", [&] { return Quillbox_GetFileCount(none); }, 0},
      {"GetDatabaseFileName", [&] { return Bits(Quillbox_GetDatabaseFileName(0, none)); }, 0},
      {"NewThread out", [&] { return Quillbox_NewThread(nullptr, folder, 1000, db); }},
      {"NewThread folder", [&] { return Quillbox_NewThread(&out_.path, nullptr, 1000, db); }},
      {"NewThread db", [&] { return Quillbox_NewThread(&out_.path, folder, 1000, none); }},
      {"NewPackage out", [&] { return Quillbox_NewPackage(nullptr, db); }},
      {"NewPackage db", [&] { return Quillbox_NewPackage(n, none); }},
      {"Store data", [&] { return Quillbox_Store(1, 5, nullptr, &out_.spare, db); }},
      {"Store db", [&] { return Quillbox_Store(1, 5, "hello", &out_.spare, none); }},
      {"Synchronize db", [&] { return Quillbox_Synchronize(none); }},
      {"SynchronizePackage db", [&] { return Quillbox_SynchronizePackage(0, none); }},
      {"Save path", [&] { return Quillbox_Save(nullptr, db); }},
      {"Save db", [&] { return Quillbox_Save(other.c_str(), none); }},
      {"RelocateFileTo path", [&] { return Quillbox_RelocateFileTo(0, nullptr, 1, db); }},
      {"RelocateFileTo db", [&] { return Quillbox_RelocateFileTo(0, moved.c_str(), 1, none); }},
      {"Open out", [&] { return Quillbox_Open(nullptr, 0, db); }},
      {"Open db", [&] { return Quillbox_Open(&out_.cursor, 0, none); }},
      {"OpenItem out", [&] { return Quillbox_OpenItem(nullptr, at, db); }},
      {"OpenItem location", [&] { return Quillbox_OpenItem(&out_.cursor, nullptr, db); }},
      {"OpenItem db", [&] { return Quillbox_OpenItem(&out_.cursor, at, none); }},
      {"Close variable", [&] { return Quillbox_Close(nullptr); }, 0},
      {"PackageEnd cursor", [&] { return Quillbox_PackageEnd(nullptr, db); }},
      {"PackageEnd db", [&] { return Quillbox_PackageEnd(c, none); }},
      {"RecoverContinous count", [&] { return Quillbox_RecoverContinous(nullptr, 5, b, c, db); }},
      {"RecoverContinous cursor", [&] { return Quillbox_RecoverContinous(n, 5, b, nullptr, db); }},
      {"RecoverContinous db", [&] { return Quillbox_RecoverContinous(n, 5, b, c, none); }},
      {"RecoverRandom buffer", [&] { return Quillbox_RecoverRandom(5, nullptr, at, 0, db); }},
      {"RecoverRandom location", [&] { return Quillbox_RecoverRandom(5, b, nullptr, 0, db); }},
      {"RecoverRandom db", [&] { return Quillbox_RecoverRandom(5, b, at, 0, none); }},
      {"RecoverRandomContinous buffer",
       [&] { return Quillbox_RecoverRandomContinous(5, nullptr, w, db); }},
      {"RecoverRandomContinous location",
       [&] { return Quillbox_RecoverRandomContinous(5, b, nullptr, db); }},
      {"RecoverRandomContinous db", [&] { return Quillbox_RecoverRandomContinous(5, b, w, none); }},
      {"Replace data", [&] { return Quillbox_Replace(5, nullptr, at, db); }},
      {"Replace location", [&] { return Quillbox_Replace(5, "HELLO", nullptr, db); }},
      {"Replace db", [&] { return Quillbox_Replace(5, "HELLO", at, none); }},
  };
  for (const NullCase& row : cases) {
    SCOPED_TRACE(row.call);
    ResetMarks();
    EXPECT_EQ(row.run(), row.expected);
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
  ASSERT_EQ(Quillbox_RecoverContinous(&count, 4, out_.buffer, cursor_, db), 0);
  EXPECT_EQ(Raw(out_.buffer, count), items_[0].substr(12, 4));
}

}  // namespace
}  // namespace qbx::test
