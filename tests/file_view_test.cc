// Read-only maps of data files: a map covers no more than the file holds, shows bytes
// rewritten in place after it was made, and once unmapped leaves the file free to be
// removed (Windows refuses to delete a mapped file). Through the database: reads from
// maps see Replace, growth past the map and relocation.
#include <gtest/gtest.h>

#include <string>

#include "platform/fault_hook.h"
#include "platform/platform.h"
#include "read_support.h"

namespace qbx::test {
namespace {

TEST(FileView, CoversWhatTheFileHoldsAndSeesRewrites) {
  TempDir dir;
  const std::string path = dir.File("mapped");
  const FileHandle file = OpenFile(path, OpenMode::kCreate);
  ASSERT_NE(file, kNoFile);
  EXPECT_EQ(MapFile(file, 4096).bytes, nullptr) << "an empty file maps nothing";
  const std::string bytes(10000, 'a');
  ASSERT_EQ(WriteAt(file, 0, bytes.data(), bytes.size()), bytes.size());
  const FileView view = MapFile(file, 1 << 20);
  ASSERT_NE(view.bytes, nullptr);
  EXPECT_EQ(view.length, bytes.size());

  ASSERT_EQ(WriteAt(file, 5000, "zz", 2), 2u);           // In place, after the map.
  ASSERT_EQ(WriteAt(file, 10000, "tail", 4), 4u);        // Past it: the file grows.
  char got[4] = {};
  ASSERT_EQ(ReadFromView(view, 4999, got, 4), 4u);
  EXPECT_EQ(std::string(got, 4), "azza");
  EXPECT_EQ(ReadAt(file, 9998, got, 4), 4u);
  EXPECT_EQ(std::string(got, 4), "aata");

  // A read from a map is a read to the fault hook: counted, and failed on demand.
  testing::FailCall(testing::Call::kRead, 1);
  EXPECT_EQ(ReadFromView(view, 0, got, 4), 0u);
  testing::StopFailingCalls();
  UnmapFile(view);
  EXPECT_TRUE(CloseFile(file));
  EXPECT_TRUE(RemoveFile(path));
}

// Three packages with two writers; the reads after the first store make maps of both
// writers' files, which later reads must see past.
struct Mapped : Harness {
  Mapped() { Create(128, 1000, true, {~0ull, ~0ull}, 3, 200, 400); }
  void SetUp() override { ASSERT_TRUE(db != nullptr && StoreAndSync()); }
  bool AllReadBack() {
    for (std::size_t p = 0; p < models.size(); ++p) {
      for (std::size_t i = 0; i < models[p].items.size(); ++i) {
        if (!ReadsBack(p, i)) return false;
      }
    }
    return true;
  }
  const FileView* ViewOf(std::uint64_t file) { return db->files.At(file).view.load(); }
};

TEST_F(Mapped, ReadsSeeReplacesGrowthAndRelocation) {
  ASSERT_TRUE(AllReadBack());
  for (const std::uint64_t k : {1ull, 2ull}) {
    ASSERT_NE(ViewOf(k), nullptr) << k << " " << db->files.At(k).size.load();
  }

  // Rewritten in place after the map was made.
  std::string& item = models[1].items[7];
  item.assign(item.size(), 'r');
  ASSERT_EQ(Quillbox_Replace(item.size(), item.data(), &models[1].locations[7], db), 0);
  EXPECT_TRUE(ReadsBack(1, 7));

  // Appended past the maps: read from the file, or from a larger map.
  const FileView* before = ViewOf(1);
  AddItems(600, 400);  // Four times the bytes: each file at least doubles.
  ASSERT_TRUE(StoreAndSync());
  EXPECT_TRUE(AllReadBack());
  EXPECT_NE(ViewOf(1), before) << "the file doubled: a larger map";

  // A relocated file is read at its new place; the old one, unmapped, is removed.
  const std::string old = Quillbox_GetDatabaseFileName(1, db);
  ASSERT_EQ(Quillbox_RelocateFileTo(1, dir.File("moved").c_str(), 1, db), 0);
  EXPECT_EQ(ViewOf(1), nullptr);
  EXPECT_FALSE(std::filesystem::exists(old));
  EXPECT_TRUE(AllReadBack());
  EXPECT_NE(ViewOf(1), nullptr);
}

}  // namespace
}  // namespace qbx::test
