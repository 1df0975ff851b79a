// Recordings moved or copied elsewhere: the index lists each data file by the full path
// it had when saved, and Import finds the files again below the index's folder by the
// trailing parts of those paths, never above it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "read_support.h"
#include "recording_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

// A recording in the folder "rec" of the temporary folder: the package file and the
// index at its top, each writer's data files in its own folder below it.
struct Recording : Harness {
  std::string oldRec = dir.path() + kSeparator + "rec";
  std::string newRec = dir.path() + kSeparator + "elsewhere" + kSeparator + "moved";
  std::vector<std::string> names;     // Each data file's path as saved.
  std::vector<std::string> relative;  // The same below the recording's folder.

  // Two writers, in `writerFolders` below the recording's folder ("" for the folder
  // itself); the first, which takes most blocks, rolls over into new files every 1000
  // bytes. Stores, saves and closes the database.
  void Record(const std::vector<std::string>& writerFolders) {
    folder = oldRec;
    index = oldRec + kSeparator + "db.index";
    ASSERT_TRUE(fs::create_directory(oldRec));
    Create(256, 2, true, {}, 5, 40, 700);
    const std::uint64_t limits[] = {1000, ~0ull};
    for (std::size_t w = 0; w < writerFolders.size(); ++w) {
      folder = writerFolders[w].empty() ? oldRec : oldRec + kSeparator + writerFolders[w];
      fs::create_directories(folder);
      AddThread(limits[w % 2]);
    }
    ASSERT_TRUE(StoreAndSync() && SaveIndex());
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
      names.push_back(Quillbox_GetDatabaseFileName(k, db));
      ASSERT_EQ(names[k].rfind(oldRec + kSeparator, 0), 0u) << names[k];
      relative.push_back(names[k].substr(oldRec.size() + 1));
    }
    ASSERT_GE(names.size(), 3u);
    Quillbox_Destroy(std::exchange(db, nullptr));
  }

  // Moves (or copies) the whole recording to `newRec`; the index there is used next.
  void Move(bool copy) {
    fs::create_directories(fs::path(newRec).parent_path());
    if (copy) {
      fs::copy(oldRec, newRec, fs::copy_options::recursive);
    } else {
      fs::rename(oldRec, newRec);
    }
    index = newRec + kSeparator + "db.index";
    folder = newRec;
  }

  std::string MovedPath(std::size_t k) const { return (fs::path(newRec) / relative[k]).string(); }

  // True when `name` and `path` name the same existing file.
  static bool SameFile(const std::string& name, const std::string& path) {
    std::error_code error;
    return fs::equivalent(name, path, error) && !error;
  }
};

// Import fails, makes no database and names the listed file it could not take.
void ExpectImportRefused(const std::string& index, const std::string& listed) {
  Quillbox* db = nullptr;
  EXPECT_EQ(Quillbox_Import(&db, index.c_str(), 1000), 1);
  EXPECT_EQ(db, nullptr);
  try {
    Quillbox::Import(index, 1000);
    ADD_FAILURE() << "imported";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to reopen file " + listed);
  }
}

struct MovedCase {
  const char* name;
  std::vector<std::string> writerFolders;
  bool copy;  // A copy leaves the saved paths in place: they are used as they are.
};

void PrintTo(const MovedCase& c, std::ostream* out) { *out << c.name; }

struct MovedRecording : Recording, ::testing::WithParamInterface<MovedCase> {};

// The recording, moved or copied as a whole, imports from its new index: every file is
// found, each item reads back by location, through a cursor and along its chain on
// disk. The database goes on storing; its next index lists the paths found, and that
// index imports with the files exactly where it says.
TEST_P(MovedRecording, ImportsFromItsNewPlaceAndGoesOn) {
  const MovedCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Record(c.writerFolders));
  Move(c.copy);
  EXPECT_EQ(fs::exists(oldRec), c.copy);
  // With any one file of a moved recording gone from below the index's folder (moved out
  // of the recording, or replaced by a folder of its name), the import fails naming the
  // saved path and leaves every file as it was; put back, the recording imports.
  std::vector<std::string> contents;
  for (std::size_t k = 0; k < names.size(); ++k) contents.push_back(ReadWholeFile(MovedPath(k)));
  for (std::size_t k = 0; k < names.size() && !c.copy; ++k) {
    for (const bool asFolder : {false, true}) {
      SCOPED_TRACE(names[k] + (asFolder ? " replaced by a folder" : " moved out"));
      const std::string away = dir.path() + kSeparator + fs::path(MovedPath(k)).filename().string();
      fs::rename(MovedPath(k), away);
      ASSERT_TRUE(!asFolder || fs::create_directory(MovedPath(k)));
      ExpectImportRefused(index, names[k]);
      if (asFolder) fs::remove(MovedPath(k));
      fs::rename(away, MovedPath(k));
    }
  }
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(ReadWholeFile(MovedPath(k)), contents[k]) << k;
  }
  Reopen(1000);
  ASSERT_EQ(Quillbox_GetFileCount(db), names.size());
  std::vector<std::string> found;
  for (std::size_t k = 0; k < names.size(); ++k) {
    found.push_back(Quillbox_GetDatabaseFileName(k, db));
    if (c.copy) {
      EXPECT_EQ(found[k], names[k]);
    } else {
      EXPECT_EQ(found[k].rfind(newRec + kSeparator, 0), 0u) << found[k];
      EXPECT_TRUE(SameFile(found[k], MovedPath(k))) << found[k] << " for " << names[k];
    }
  }
  ExpectAllReadBack();

  AddThread();
  AddPackage();
  AddItems(15, 700);
  ASSERT_TRUE(StoreAndSync() && SaveIndex());
  const std::string saved = ReadWholeFile(index);
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_NE(saved.find(Le(found[k].size(), 8) + found[k]), std::string::npos) << k;
    EXPECT_TRUE(c.copy || saved.find(names[k]) == std::string::npos) << k;
  }
  Reopen(0);
  ASSERT_EQ(Quillbox_GetFileCount(db), names.size() + 1);
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(Quillbox_GetDatabaseFileName(k, db), found[k]);
  }
  ExpectAllReadBack();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MovedRecording,
    ::testing::Values(MovedCase{"WholeFolderRenamed", {"", ""}, false},
                      MovedCase{"TwoDisksMovedTogether", {"disk1", "disk2"}, false},
                      MovedCase{"CopyKeepsTheListedFiles", {"disk1", ""}, true}),
    [](const ::testing::TestParamInfo<MovedCase>& info) { return std::string(info.param.name); });

// An index that lists one file twice (a damaged one) is refused, naming the entry that
// finds its file taken, and changes no file. Such a file is passed over however its path
// is spelled: a missing file's search below the index's folder, spelled "dir/./d"
// through an index imported by such a path, finds d, which entry 1 took by its plain
// path. The search then finds nothing, and the import fails naming the missing file.
TEST(DamagedIndex, AFileTakenByAnEarlierEntryIsRefusedHoweverSpelled) {
  TempDir dir;
  const std::string p = dir.File("p"), d = dir.File("d");
  const std::string missing = dir.File("gone") + kSeparator + "d";
  WriteFile(p, NoBlockRecord(0));
  WriteFile(d, BlockBytes(kNone, 0, "aaaa"));
  WriteFile(dir.File("twice.index"), IndexBytes(true, {{p, 44}, {d, 20}, {d, 20}}, {""}));
  WriteFile(dir.File("rec.index"), IndexBytes(true, {{p, 44}, {d, 20}, {missing, 20}}, {""}));
  ExpectImportRefused(dir.File("twice.index"), d);
  EXPECT_EQ(ReadWholeFile(p), NoBlockRecord(0));
  EXPECT_EQ(ReadWholeFile(d), BlockBytes(kNone, 0, "aaaa"));
  const std::string spelled = dir.path() + kSeparator + "." + kSeparator + "rec.index";
  ExpectImportRefused(spelled, missing);
  const qbx::Recording recording(spelled);
  ASSERT_EQ(recording.files().size(), 3u);
  EXPECT_EQ(recording.files()[2].path, "");
}

// The path search alone, on a made-up file system: which paths it tries, in which
// order, and what it returns.
struct FindCase {
  const char* what;
  std::string stored;
  std::vector<std::string> existing;  // Below the index's folder, parts joined by '|'.
  std::vector<std::string> tried;     // The same.
  std::string found;                  // The same; empty for none.
};

// "a|b" as a path below `folder`, with the library's separator.
std::string Below(const std::string& folder, const std::string& parts) {
  std::string path = folder;
  if (path.back() != '/' && path.back() != kSeparator) path += kSeparator;
  for (const char c : parts) path += c == '|' ? kSeparator : c;
  return path;
}

TEST(FindMovedFile, TriesTrailingPartsBelowTheIndexFolderLongestFirst) {
  const std::string deep = "/mnt/a/b/c/f";
  const FindCase cases[] = {
      {"name alone", "/old/rec/quillbox.a1", {"quillbox.a1"},
       {"old|rec|quillbox.a1", "rec|quillbox.a1", "quillbox.a1"}, "quillbox.a1"},
      {"parent and name", "/old/rec/disk1/quillbox.a1", {"disk1|quillbox.a1", "quillbox.a1"},
       {"old|rec|disk1|quillbox.a1", "rec|disk1|quillbox.a1", "disk1|quillbox.a1"},
       "disk1|quillbox.a1"},
      {"deeper tail", deep, {"a|b|c|f"}, {"mnt|a|b|c|f", "a|b|c|f"}, "a|b|c|f"},
      {"longest first", deep, {"c|f", "f"}, {"mnt|a|b|c|f", "a|b|c|f", "b|c|f", "c|f"}, "c|f"},
      {"nothing found", deep, {"mnt|a|b|c|f|g", "g"},
       {"mnt|a|b|c|f", "a|b|c|f", "b|c|f", "c|f", "f"}, ""},
      {"dot-dot parts left out", "/x/../../etc/f", {}, {"x|etc|f", "etc|f", "f"}, ""},
      {"relative name climbing out", "../../f", {"f"}, {"f"}, "f"},
      {"empty and dot parts", "//a/./b//f/", {}, {"a|b|f", "b|f", "f"}, ""},
      {"no parts at all", "/../../.", {}, {}, ""},
      {"empty name", "", {}, {}, ""},
#if defined(_WIN32)
      {"drive and backslashes", "D:\\rec\\disk1/f", {"rec|disk1|f"},
       {"D:|rec|disk1|f", "rec|disk1|f"}, "rec|disk1|f"},
      {"another drive", "D:\\rec\\f", {}, {"D:|rec|f", "rec|f", "f"}, ""},
#else
      {"backslash is part of a name", "D:\\rec\\f", {"D:\\rec\\f"}, {"D:\\rec\\f"}, "D:\\rec\\f"},
#endif
  };
  const std::string base = "/data/index-folder";
  for (const std::string& folder : {base, base + "/", base + kSeparator}) {
    for (const FindCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " in " + folder);
      std::vector<std::string> tried, wanted;
      for (const std::string& parts : c.tried) wanted.push_back(Below(folder, parts));
      const std::string found = FindMovedFile(folder, c.stored, [&](const std::string& path) {
        tried.push_back(path);
        for (const std::string& parts : c.existing) {
          if (path == Below(folder, parts)) return true;
        }
        return false;
      });
      EXPECT_EQ(found, c.found.empty() ? "" : Below(folder, c.found));
      EXPECT_EQ(tried, wanted);
    }
  }
  // A damaged index may name a file with thousands of parts: paths longer than any
  // system opens are not tried.
  std::string stored;
  for (int i = 0; i < 2000; ++i) stored += std::string(99, 'p') + "/";
  std::vector<std::size_t> lengths;
  const std::string found = FindMovedFile("/index", stored + "f", [&](const std::string& path) {
    lengths.push_back(path.size());
    return false;
  });
  EXPECT_EQ(found, "");
  ASSERT_FALSE(lengths.empty());
  EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 32767u);
  EXPECT_GT(lengths.front() + 100, 32767u) << "the longest path tried first";
}

// On the real file system: a folder of the file's name is no file, and a file above the
// index's folder is never found.
TEST(FindMovedFile, FindsOnlyRegularFilesBelowTheIndexFolder) {
  TempDir dir;
  const std::string rec = dir.path() + kSeparator + "rec";
  ASSERT_TRUE(fs::create_directories(Below(rec, "disk1")));
  std::ofstream(Below(rec, "disk1|f")) << "data";
  ASSERT_TRUE(fs::create_directory(Below(rec, "f")));
  std::ofstream(Below(dir.path(), "g")) << "outside";
  EXPECT_EQ(FindMovedFile(rec, "/gone/disk1/f"), Below(rec, "disk1|f"));
  EXPECT_EQ(FindMovedFile(rec, "/gone/f"), "");
  EXPECT_EQ(FindMovedFile(rec, "/gone/../g"), "");
  EXPECT_EQ(FindMovedFile(rec, "../g"), "");
  EXPECT_TRUE(IsRegularFile(Below(rec, "disk1|f")));
  EXPECT_FALSE(IsRegularFile(Below(rec, "f")) || IsRegularFile(Below(rec, "missing")));
}

}  // namespace
}  // namespace qbx::test
