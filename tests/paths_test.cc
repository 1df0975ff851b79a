// Paths are UTF-8 everywhere in the interface. A database lives in a folder whose
// name needs more than ASCII (also characters beyond U+FFFF, which UTF-16 writes as
// surrogate pairs on Windows), is saved there and imported again; data files get the
// template's name on each platform, and unique names keep coming past the 26 that the
// Windows run-time's own name function can give for one template.
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "test_support.h"

namespace qbx::test {
namespace {

std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

TEST(Paths, DatabaseInAFolderWithCharactersBeyondAscii) {
  TempDir dir;
  // e with acute accent, a CJK character, and U+1F600 (a surrogate pair in UTF-16).
  const std::string folder = dir.path() + kSeparator + "d\xc3\xa9j\xc3\xa0 \xe4\xb8\xad \xf0\x9f\x98\x80";
  ASSERT_TRUE(std::filesystem::create_directory(Utf8Path(folder)));
  const std::string index = folder + kSeparator + "index \xf0\x9f\x98\x80";
  const std::string item = MakeItem(1, 1, 300);
  ItemLocation location{};
  {
    Db db(128, 4, folder.c_str());
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, folder.c_str(), 1000, db.get()), 0);
    EXPECT_EQ(std::string(path).substr(0, folder.size() + 10), folder + kSeparator + "quillbox.");
    EXPECT_TRUE(std::filesystem::exists(Utf8Path(path))) << "the file has the name given back";
    const std::uint64_t package = db.AddPackage();
    ASSERT_EQ(Quillbox_Store(package, item.size(), item.data(), &location, db.get()), 0);
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(Utf8Path(index)));
  Quillbox* db = nullptr;
  ASSERT_EQ(Quillbox_Import(&db, index.c_str(), 4), 0);
  std::string back(item.size(), '\0');
  EXPECT_EQ(Quillbox_RecoverRandom(back.size(), back.data(), &location, 0, db), 0);
  EXPECT_EQ(back, item);
  const std::string packageFile = Quillbox_GetDatabaseFileName(0, db);
  EXPECT_EQ(packageFile.substr(0, folder.size()), folder);
  Quillbox_Destroy(db);
}

TEST(Paths, InvalidUtf8IsRefusedEverywhere) {
  TempDir dir;
  const std::string bad = dir.path() + kSeparator + "bad\xff";
  Db db(128, 4, nullptr);
  const char* path = nullptr;
  EXPECT_EQ(Quillbox_NewThread(&path, bad.c_str(), 1000, db.get()), 1);
  EXPECT_EQ(Quillbox_Save(bad.c_str(), db.get()), 1);
  Quillbox* imported = nullptr;
  EXPECT_EQ(Quillbox_Import(&imported, bad.c_str(), 4), 1);
  EXPECT_EQ(imported, nullptr);
  db.AddThread(dir.path());
  EXPECT_EQ(Quillbox_RelocateFileTo(0, bad.c_str(), 0, db.get()), 1);
  EXPECT_TRUE(std::filesystem::exists(Quillbox_GetDatabaseFileName(0, db.get())));
}

TEST(Paths, ManyFilesOfOneTemplateInOneFolderGetDistinctNames) {
  TempDir dir;
  Db db(128, 4, nullptr);
  std::set<std::string> names;
  for (int i = 0; i < 60; ++i) {
    const char* path = nullptr;
    ASSERT_EQ(Quillbox_NewThread(&path, dir.path().c_str(), 1000, db.get()), 0) << "file " << i;
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 60u);
  EXPECT_EQ(dir.Entries().size(), 60u);
}

}  // namespace
}  // namespace qbx::test
