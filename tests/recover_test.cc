// Recovery after a crash (storage/recover.h and `quillbox recover`). Two methods:
//  - recordings written byte by byte here, in the state a crash leaves (blocks past the
//    listed sizes, links patched to them, records parked after the Save), with one
//    fault put exactly where each case wants it; the new index is compared byte for
//    byte with one spelled out here, and read back through Import;
//  - crash runs: a forked child records through the C API, saves once early, goes on
//    storing and synchronizing, and is killed at a moment drawn from a printed seed.
//    It tells the parent through a pipe, after each synchronized round, how many items
//    of each package lie before the first one in a file the saved index does not list;
//    every one of those must come back through an Import of the recovered index.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "read_support.h"
#include "recording_support.h"
#include "storage/recover.h"
#include "tool_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

// A recording as a crash leaves it: data file 0 is the package file, 1 and 2 block
// files; the index was saved when file 1 held blocks A (package 0) and B (package 1)
// and file 2 nothing. Since then C was appended to file 1 and linked from A, D and E to
// file 2, D linked from B, and package 2 was made, its record (first and last block E)
// parked in the package file. Package 0's record was parked before the Save and names A
// as its last block; package 1's is held in the index.
//
//   file 1: A (0, "aaaa") -> C | B (20, "bbb") -> D | listed 39 | C (39, "cc")
//   file 2: listed 0 | D (0, "dddd") | E (20, "ee")
struct CrashedFiles {
  TempDir dir;
  std::string index = dir.File("saved.index"), recovered = dir.File("new.index");
  std::string pf = dir.File("pf"), d1 = dir.File("d1"), d2 = dir.File("d2");
  std::string file1 = BlockBytes(39, 1, "aaaa") + BlockBytes(0, 2, "bbb") +
                      BlockBytes(kNone, 0, "cc");
  std::string file2 = BlockBytes(kNone, 0, "dddd") + BlockBytes(kNone, 0, "ee");
  std::string packageFile = RecordBytes(0, 1, 0, 1, 0) + std::string(44, '\0') +
                            RecordBytes(20, 2, 20, 2, 2);
  std::vector<std::string> records{"", RecordBytes(20, 1, 20, 1, 1)};
  std::uint64_t listed2 = 0;
  std::string missing;  // A file removed once the files are written.

  void Write() {
    WriteFile(pf, packageFile);
    WriteFile(d1, file1);
    WriteFile(d2, file2);
    WriteFile(index, IndexBytes(true, {{pf, 88}, {d1, 39}, {d2, listed2}}, records));
    if (!missing.empty()) fs::remove(missing);
  }
  // Recovers, writes the new index, and checks that nothing else changed.
  Recovery Recover() {
    Write();
    const FolderState before = Snapshot(dir.path());
    Recording recording(index);
    Recovery recovery = RecoverRecording(recording);
    EXPECT_TRUE(WriteRecoveredIndex(recording, recovery, recovered));
    FolderState after = Snapshot(dir.path());
    after.erase("new.index");
    EXPECT_TRUE(after == before) << "recover changed a file of the recording";
    return recovery;
  }
  // What an Import of the new index reads of each package.
  std::vector<std::string> ImportedPackages() {
    Quillbox* db = nullptr;
    if (Quillbox_Import(&db, recovered.c_str(), 16) != 0) return {"(import failed)"};
    return Packages(Db(db).get());
  }
  // Every chain of the new index ends at its record's last block within the listed
  // sizes, and the block files' blocks lie back to back through them (what verify checks).
  void ExpectConsistent() {
    Recording fresh(recovered);
    for (std::uint32_t k = 0; k < fresh.files().size(); ++k) {
      if (fresh.IsBlockFile(k)) {
        EXPECT_FALSE(fresh.ScanBlocks(k, Extent::kListed).fault) << "file " << k;
      }
    }
    for (std::uint64_t n = 0; n < fresh.packageCount(); ++n) {
      const RecordLookup record = fresh.Record(n);
      ASSERT_FALSE(record.fault);
      const WalkResult walk = fresh.Walk(record.image, record.place, WalkOptions{});
      EXPECT_FALSE(walk.fault) << "package " << n << ": " << walk.fault->what;
    }
  }
};

struct Crashed : ::testing::Test, CrashedFiles {};

const std::vector<std::string> kWhole{"aaaacc", "bbbdddd", "ee"};  // The packages, undamaged.

// Nothing damaged: every chain is followed past its saved end, the record parked for
// package 2 is taken, and the new index is exactly the old settings and files with the
// sizes of the whole blocks, and every record held with its chain's real last block.
TEST_F(Crashed, RecoversEveryBlockStoredAfterTheSave) {
  const Recovery recovery = Recover();
  EXPECT_TRUE(recovery.Complete());
  ASSERT_EQ(recovery.packages.size(), 3u);
  EXPECT_EQ(recovery.savedPackages, 2u);
  const RecoveredPackage& p0 = recovery.packages[0];
  EXPECT_TRUE(p0.savedBlocks == 1 && p0.savedBytes == 4);
  EXPECT_TRUE(p0.gainedBlocks() == 1 && p0.gainedBytes() == 2);
  EXPECT_EQ(recovery.packages[1].gainedBytes(), 4u);
  EXPECT_TRUE(recovery.packages[2].fromPackageFile);
  EXPECT_EQ(recovery.packages[2].bytes, 2u);
  EXPECT_EQ(recovery.files[0].size, 132u);
  EXPECT_EQ(recovery.files[1].size, file1.size());
  EXPECT_EQ(recovery.files[2].size, file2.size());
  EXPECT_EQ(ReadWholeFile(recovered),
            IndexBytes(true, {{pf, 132}, {d1, file1.size()}, {d2, file2.size()}},
                       {RecordBytes(0, 1, 39, 1, 0), RecordBytes(20, 1, 0, 2, 1),
                        RecordBytes(20, 2, 20, 2, 2)}));
  EXPECT_EQ(ImportedPackages(), kWhole);
  ExpectConsistent();
}

// A record parked both before the Save and after it: a package without a block at the
// Save takes its first block from the package file; one whose record named a last block
// then counts only the part within the listed size as saved, the rest as gained.
TEST_F(Crashed, TakesARecordParkedAgainAfterTheSave) {
  for (const bool heldWithoutBlock : {true, false}) {
    SCOPED_TRACE(heldWithoutBlock ? "held without a block" : "parked with a block");
    CrashedFiles c;
    if (heldWithoutBlock) {
      c.records[1] = NoBlockRecord(1);  // Held without a block in the index...
      c.packageFile.replace(44, 44, RecordBytes(20, 1, 20, 1, 1));  // ...parked with B since.
    } else {
      c.packageFile.replace(0, 44, RecordBytes(0, 1, 39, 1, 0));  // Last block C.
    }
    const Recovery recovery = c.Recover();
    EXPECT_TRUE(recovery.Complete());
    const RecoveredPackage& p = recovery.packages[heldWithoutBlock ? 1 : 0];
    EXPECT_EQ(p.fromPackageFile, heldWithoutBlock);
    EXPECT_EQ(p.savedBytes, heldWithoutBlock ? 3u : 4u);  // B and A lie within the listed size.
    EXPECT_EQ(p.bytes, heldWithoutBlock ? 7u : 6u);
    if (!heldWithoutBlock) {
      EXPECT_TRUE(p.savedBlocks == 1 && p.blocks == 2 && p.image.lastBlockPos == 39);
    }
    EXPECT_EQ(c.ImportedPackages(), kWhole);
    c.ExpectConsistent();
  }
}

// Each way a chain can end early. The new index always covers what was reached (file 2
// keeps D and E), stays consistent, and reads back through Import.
TEST(Recover, EndsEachChainAtTheFirstLinkItCannotVerify) {
  struct Case {
    const char* name;
    std::function<void(CrashedFiles&)> damage;
    std::uint64_t package;  // The package cut short.
    const char* why;        // In the fault's text.
    std::uint32_t faultFile;  // Where the fault lies.
    std::uint64_t faultOffset;
    // Whether verify accepts the new index. A link that no crash leaves behind (to a
    // block within the bytes the index covers, or into the package file) stays in the
    // chain's last block, where verify finds it (and a reader may follow it).
    bool verifies = true;
  };
  const auto bendC = [](std::uint64_t pos, std::uint32_t file) {  // A's link, now from C.
    return [=](CrashedFiles& c) { c.file1.replace(39, 12, Le(pos, 8) + Le(file, 4)); };
  };
  const std::vector<Case> cases = {
      {"a torn header at the end, linked from E",
       [](CrashedFiles& c) {
         c.file2.replace(20, 12, Le(38, 8) + Le(2, 4));
         c.file2 += BlockBytes(kNone, 0, "ffff").substr(0, 10);
       },
       2, "header is cut off", 2, 38},
      {"a payload cut off by the end of the file, linked from D",
       [](CrashedFiles& c) {
         c.file2.replace(0, 12, Le(38, 8) + Le(2, 4));
         c.file2 += BlockBytes(kNone, 0, std::string(100, 'g')).substr(0, 21);
       },
       1, "payload of 100 bytes runs past", 2, 38},
      {"a link into a file the index does not list", bendC(0, 3), 0,
       "which the index does not list (it lists 3)", 1, 39},
      {"a link past the end of its file", bendC(5000, 2), 0,
       "the block lies past the end of the file", 2, 5000},
      {"a link into the middle of a block", bendC(24, 2), 0, "not the start of a block", 1, 39,
       false},
      {"a link into the package file", bendC(0, 0), 0, "the package file, which holds no blocks",
       1, 39, false},
      // A saved block belongs to its saved chain, even when an earlier package's chain
      // reaches it first.
      {"a link to another package's saved block",
       [](CrashedFiles& c) { c.file1.replace(0, 12, Le(20, 8) + Le(1, 4)); }, 0,
       "in the chain of package 1", 1, 20, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    CrashedFiles c;
    test.damage(c);
    const Recovery recovery = c.Recover();
    EXPECT_FALSE(recovery.Complete());
    ASSERT_EQ(recovery.packages.size(), 3u);
    for (std::uint64_t n = 0; n < 3; ++n) {
      const std::optional<Fault>& fault = recovery.packages[n].unreached;
      if (n == test.package) {
        EXPECT_TRUE(FaultIs(fault, test.why, test.faultFile, test.faultOffset));
      } else {
        EXPECT_FALSE(fault) << n << ": " << fault->what;
      }
    }
    EXPECT_EQ(recovery.files[2].size, 38u);
    if (!test.verifies) continue;
    EXPECT_EQ(c.ImportedPackages(), kWhole);
    c.ExpectConsistent();
  }
}

// Bytes of a block that never became whole lie past the new size, and stay as they
// are; the package whose link named them goes on, in a database imported from the new
// index, from its last whole block.
TEST_F(Crashed, LeavesATornBlockOutsideTheSizeAndGoesOnFromTheLastWholeBlock) {
  file2.replace(20, 12, Le(38, 8) + Le(2, 4));
  file2 += BlockBytes(kNone, 0, "ffff").substr(0, 10);
  const Recovery recovery = Recover();
  EXPECT_TRUE(FaultIs(recovery.files[2].tail, "", 2, 38));
  EXPECT_EQ(recovery.files[2].size, 38u);
  EXPECT_EQ(recovery.files[2].length, 48u);

  Db imported = Imported(recovered, 16);
  imported.AddThread(dir.path());
  const std::string more(100, 'z');  // Larger than the package size: written at once.
  EXPECT_TRUE(StoreEach(imported.get(), 2, {more}) && StoreEach(imported.get(), 1, {"xyz"}) &&
              Quillbox_Synchronize(imported.get()) == 0);
  EXPECT_EQ(Packages(imported.get()),
            (std::vector<std::string>{"aaaacc", "bbbddddxyz", "ee" + more}));
  imported.Destroy();
  // The torn bytes are untouched (the links before them were patched to the new blocks
  // in the new thread's file).
  EXPECT_EQ(ReadWholeFile(d2).substr(38), file2.substr(38));
}

// Records of the package file beyond the saved table are taken while each is whole,
// carries its number and names a first block that verifies; the first that does not
// ends the table there.
TEST(Recover, TakesRecordsBeyondTheSavedCountUpToTheFirstUnusable) {
  struct Case {
    const char* name;
    std::function<void(CrashedFiles&)> change;
    std::uint64_t packages;  // In the new index.
    std::uint64_t left;      // Records of the package file left.
    const char* why;         // Empty when complete.
  };
  const auto third = [](const std::string& record) {  // Package 2's record, replaced.
    return [=](CrashedFiles& c) { c.packageFile.replace(88, 44, record); };
  };
  const std::vector<Case> cases = {
      {"a placeholder (never parked) followed by a good record",
       [](CrashedFiles& c) {
         c.packageFile.replace(88, 44, std::string(44, '\0'));
         c.packageFile += NoBlockRecord(3);
       },
       2, 2, "never parked"},
      {"a record whose first block is not a block start", third(RecordBytes(22, 2, 22, 2, 2)), 2,
       1, "first block that does not verify"},
      {"a record whose first block is another package's", third(RecordBytes(0, 2, 0, 2, 2)), 2, 1,
       "in the chain of package 1"},
      {"a record naming the package file", third(RecordBytes(0, 0, 0, 0, 2)), 2, 1,
       "not a block file"},
      {"a record whose last block is in a file the index does not list",
       third(RecordBytes(20, 2, 0, 9, 2)), 3, 0, ""},
      {"a placeholder torn short", [](CrashedFiles& c) { c.packageFile += std::string(20, '\0'); },
       3, 0, ""},
      {"an empty package parked after the Save",
       [](CrashedFiles& c) { c.packageFile += NoBlockRecord(3); }, 4, 0, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    CrashedFiles c;
    test.change(c);
    const Recovery recovery = c.Recover();
    EXPECT_EQ(recovery.packages.size(), test.packages);
    EXPECT_EQ(recovery.recordsLeft, test.left);
    EXPECT_EQ(recovery.Complete(), *test.why == '\0');
    if (*test.why != '\0') {
      EXPECT_TRUE(FaultIs(recovery.recordsEnd, test.why, kNone, 44 * test.packages));
    }
    // The package file's size covers the records taken (and never shrinks).
    EXPECT_EQ(recovery.files[0].size, std::max<std::uint64_t>(88, 44 * test.packages));
    const std::vector<std::string> packages = c.ImportedPackages();
    EXPECT_EQ(packages.size(), test.packages);
    if (packages.size() >= 2) {
      EXPECT_TRUE(packages[0] == kWhole[0] && packages[1] == kWhole[1]);
    }
    c.ExpectConsistent();
  }
}

// Damage to the record a package parked before the Save, or to the package file that
// holds it: that package comes back empty with the reason, the others as they are.
TEST(Recover, ASavedParkedRecordThatCannotBeUsedLeavesItsPackageEmpty) {
  struct Case {
    const char* name;
    std::function<void(CrashedFiles&)> damage;
    const char* why;  // In package 0's fault.
    std::vector<std::string> packages;  // What an Import of the new index reads.
  };
  const auto first = [](const std::string& record) {  // Package 0's record, replaced.
    return [=](CrashedFiles& c) { c.packageFile.replace(0, 44, record); };
  };
  const char* const halfRecord = "names a first or a last block without the other";
  const std::vector<Case> cases = {
      {"the package file is missing", [](CrashedFiles& c) { c.missing = c.pf; },
       "does not hold it whole", {"(import failed)"}},
      {"the package file is shorter than a record",
       [](CrashedFiles& c) { c.packageFile.resize(30); }, "does not hold it whole",
       {"", "bbbdddd"}},
      {"the record carries another package's number", first(RecordBytes(0, 1, 0, 1, 5)),
       "carries package number 5 instead of 0", {"", "bbbdddd", "ee"}},
      {"a first block without a last", first(RecordBytes(0, 1, kNone, 0, 0)), halfRecord,
       {"", "bbbdddd", "ee"}},
      {"a last block without a first", first(RecordBytes(kNone, 0, 0, 1, 0)), halfRecord,
       {"", "bbbdddd", "ee"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    CrashedFiles c;
    test.damage(c);
    const Recovery recovery = c.Recover();
    EXPECT_FALSE(recovery.Complete());
    EXPECT_EQ(recovery.files[0].exists, c.missing.empty());
    ASSERT_GE(recovery.packages.size(), 2u);
    const RecoveredPackage& p0 = recovery.packages[0];
    EXPECT_TRUE(FaultIs(p0.unreached, test.why, 0, 0));
    EXPECT_EQ(p0.blocks + p0.savedBlocks, 0u);
    EXPECT_TRUE(p0.image.firstBlockPos == kNone && p0.image.lastBlockPos == kNone);
    EXPECT_EQ(p0.image.packageId, 0u);
    EXPECT_FALSE(recovery.packages[1].unreached);
    EXPECT_EQ(recovery.packages[1].bytes, 7u);
    // Package 2 was parked after the Save: it comes back only from a package file that
    // holds its record whole.
    EXPECT_EQ(recovery.packages.size(), test.packages.size() == 3 ? 3u : 2u);
    EXPECT_EQ(c.ImportedPackages(), test.packages);
  }
}

// A package held without a block in the index keeps none when its slot in the package
// file cannot be used; nothing is reported for it, since the index's record stands.
TEST(Recover, AHeldRecordWithoutABlockIgnoresADamagedSlot) {
  const std::pair<const char*, std::string> slots[] = {
      {"the slot carries another number", RecordBytes(20, 1, 20, 1, 7)},
      {"the slot names a first block without a last", RecordBytes(20, 1, kNone, 0, 1)},
      {"the slot is cut off", ""}};
  for (const auto& [name, slot] : slots) {
    SCOPED_TRACE(name);
    CrashedFiles c;
    c.records[1] = NoBlockRecord(1);
    if (slot.empty()) c.packageFile.resize(60);
    else c.packageFile.replace(44, 44, slot);
    const Recovery recovery = c.Recover();
    ASSERT_GE(recovery.packages.size(), 2u);
    const RecoveredPackage& p1 = recovery.packages[1];
    EXPECT_FALSE(p1.fromPackageFile || p1.unreached);
    EXPECT_EQ(p1.blocks, 0u);
    EXPECT_EQ(p1.image.firstBlockPos, kNone);
    EXPECT_FALSE(recovery.packages[0].unreached);
    EXPECT_EQ(recovery.packages[0].bytes, 6u);
    const std::vector<std::string> packages = c.ImportedPackages();
    ASSERT_GE(packages.size(), 2u);
    EXPECT_TRUE(packages[0] == "aaaacc" && packages[1].empty());
  }
}

// Data files listed by the index that are gone or shorter than listed: the chains end
// at them, the recovery is not complete, and nothing is written to the recording.
TEST_F(Crashed, ADataFileMissingOrShortEndsTheChainsThatLeadThere) {
  missing = d2;
  const Recovery recovery = Recover();
  EXPECT_FALSE(recovery.Complete());
  EXPECT_FALSE(recovery.files[2].exists);
  EXPECT_EQ(recovery.files[2].size, 0u);
  ASSERT_EQ(recovery.packages.size(), 2u) << "package 2's first block was in file 2";
  EXPECT_EQ(recovery.recordsLeft, 1u);
  EXPECT_TRUE(FaultIs(recovery.recordsEnd, "names a first block that does not verify"));
  EXPECT_EQ(recovery.packages[0].bytes, 6u);
  const RecoveredPackage& p1 = recovery.packages[1];
  EXPECT_EQ(p1.bytes, 3u);
  EXPECT_TRUE(FaultIs(p1.unreached, "of data file 2, which is missing", 1, 20)) << "B's link";
  EXPECT_TRUE(p1.image.lastBlockPos == 20 && p1.image.lastBlockFile == 1);

  CrashedFiles cut;
  cut.file1.resize(30);  // A whole, B cut off in its header.
  const Recovery shorter = cut.Recover();
  EXPECT_FALSE(shorter.Complete());
  EXPECT_TRUE(shorter.files[1].exists && shorter.files[1].length == 30u);
  EXPECT_EQ(shorter.files[1].size, 39u) << "never below the listed size";
  ASSERT_EQ(shorter.packages.size(), 3u);
  EXPECT_TRUE(shorter.packages[0].unreached && shorter.packages[1].unreached);
  EXPECT_TRUE(shorter.packages[0].bytes == 4 && shorter.packages[1].blocks == 0 &&
              shorter.packages[2].bytes == 2);
}

// Damage inside the listed size of file 2 (D's payload length zeroed) stops its scan at
// offset 0; the block behind it is still taken for the record that names it, as long
// as it ends within the listed size, since the saved state vouches for those bytes.
TEST(Recover, TakesAWholeBlockBehindDamageWithinTheListedSize) {
  for (const std::uint64_t listed : {38u, 30u}) {
    SCOPED_TRACE(listed);
    CrashedFiles c;
    c.file2.replace(12, 4, Le(0, 4));
    c.listed2 = listed;
    const Recovery recovery = c.Recover();
    EXPECT_FALSE(recovery.Complete());
    ASSERT_TRUE(recovery.packages[1].unreached) << "B's link names the damaged D";
    EXPECT_EQ(recovery.packages[1].bytes, 3u);
    EXPECT_EQ(recovery.files[2].size, listed);
    if (listed == 38) {
      ASSERT_EQ(recovery.packages.size(), 3u);
      EXPECT_FALSE(recovery.packages[2].unreached);
      EXPECT_EQ(recovery.packages[2].bytes, 2u);
      EXPECT_EQ(c.ImportedPackages(), (std::vector<std::string>{"aaaacc", "bbb", "ee"}));
    } else {
      // E ends past the listed size, behind bytes no scan got through.
      EXPECT_EQ(recovery.packages.size(), 2u);
      EXPECT_EQ(recovery.recordsLeft, 1u);
      EXPECT_TRUE(FaultIs(recovery.recordsEnd, "past the whole blocks found"));
      EXPECT_EQ(c.ImportedPackages(), (std::vector<std::string>{"aaaacc", "bbb"}));
    }
  }
}

// A record of the package file beyond the saved table that the system fails to read
// ends the table there, like any unusable record; a parked record of the saved table
// that cannot be read leaves its package empty. The block files are empty, so the
// package file's slots are the only reads.
TEST(Recover, ASlotThatCannotBeReadIsReported) {
  struct Case {
    const char* name;
    std::vector<std::string> records;  // Of the index; "" parks the record.
    std::uint64_t reads;  // Without a fault.
    std::uint64_t failingRead;  // 1 is the first.
    std::uint64_t packages, left;
  };
  const std::vector<Case> cases = {
      {"the first record beyond the table", {}, 2, 1, 0, 2},
      {"the second record beyond the table", {}, 2, 2, 1, 1},
      // Read once as the saved record, once for a first block parked since.
      {"a parked record of the table", {""}, 3, 1, 2, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempDir dir;
    const std::string pf = dir.File("pf"), d1 = dir.File("d1"), index = dir.File("saved.index");
    WriteFile(pf, NoBlockRecord(0) + NoBlockRecord(1));
    WriteFile(d1, "");
    WriteFile(index, IndexBytes(true, {{pf, 0}, {d1, 0}}, test.records));
    Recording recording(index);
    testing::CountCalls();
    EXPECT_TRUE(RecoverRecording(recording).Complete());
    EXPECT_EQ(testing::CallCount(testing::Call::kRead), test.reads);
    testing::StopFailingCalls();
    testing::FailCall(testing::Call::kRead, test.failingRead);
    const Recovery recovery = RecoverRecording(recording);
    EXPECT_TRUE(testing::CallFailed());
    testing::StopFailingCalls();
    EXPECT_FALSE(recovery.Complete());
    EXPECT_EQ(recovery.packages.size(), test.packages);
    EXPECT_EQ(recovery.recordsLeft, test.left);
    if (test.left != 0) {
      EXPECT_TRUE(FaultIs(recovery.recordsEnd, "cannot be read", kNone, 44 * test.packages));
    } else {
      EXPECT_TRUE(FaultIs(recovery.packages[0].unreached, "does not hold it whole"));
      EXPECT_FALSE(recovery.packages[1].unreached);
    }
    // The new index holds the packages taken, each without a block.
    EXPECT_TRUE(WriteRecoveredIndex(recording, recovery, dir.File("new.index")));
    EXPECT_EQ(Quillbox_GetPackageCount(Imported(dir.File("new.index"), 16).get()), test.packages);
  }
}

TEST_F(Crashed, RefusesToWriteOverTheOldIndexOrADataFile) {
  Write();
  const FolderState before = Snapshot(dir.path());
  Recording recording(index);
  const Recovery recovery = RecoverRecording(recording);
  // The last: a folder that does not exist.
  for (const std::string& target :
       {index, dir.path() + "/./saved.index", d1, pf, dir.File("none/new.index")}) {
    SCOPED_TRACE(target);
    EXPECT_THROW(WriteRecoveredIndex(recording, recovery, target), std::runtime_error);
    EXPECT_TRUE(Snapshot(dir.path()) == before) << "nothing is written";
  }
}

// A recording that the process saved and went on writing, through the library itself:
// the records held in the index, parked since, the new packages and a thread's new file.
TEST(Recover, CoversWhatALiveDatabaseWroteAfterItsSave) {
  TempDir dir;
  const std::string index = dir.File("saved.index"), recovered = dir.File("new.index");
  // A queue of no packages: the database writer parks every record soon.
  Db db(32, 0, dir.path().c_str());
  db.AddThread(dir.path());
  std::vector<std::string> stored(4);
  const auto store = [&](std::uint64_t p, std::size_t size) {
    ASSERT_TRUE(StoreEach(db.get(), p, {MakeItem(p, stored[p].size(), size)}));
    stored[p] += MakeItem(p, stored[p].size(), size);
  };
  for (int p = 0; p < 3; ++p) db.AddPackage();
  for (int i = 0; i < 20; ++i) store(i % 2, 1 + i * 7 % 50);  // Package 2 stays empty.
  ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  const std::vector<std::string> saved = stored;
  db.AddPackage();
  for (int i = 0; i < 60; ++i) store(i % 4, 1 + i * 13 % 70);
  ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
  // Every record is parked, after its buffer was written: the database writer is idle.
  const std::string packageFilePath = Quillbox_GetDatabaseFileName(0, db.get());
  ASSERT_TRUE(WaitUntil([&] {
    const std::string packageFile = ReadWholeFile(packageFilePath);
    for (std::uint64_t n = 0; n < 4; ++n) {
      if (packageFile.size() < 44 * (n + 1) || packageFile.substr(44 * n + 32, 8) != Le(n, 8)) {
        return false;
      }
    }
    return true;
  }));

  // The database is still open: its files are as a crash at this moment leaves them.
  Recording recording(index);
  const Recovery recovery = RecoverRecording(recording);
  ASSERT_TRUE(WriteRecoveredIndex(recording, recovery, recovered));
  db.Destroy();
  EXPECT_TRUE(recovery.Complete());
  ASSERT_EQ(recovery.packages.size(), 4u);
  for (std::uint64_t n = 0; n < recovery.packages.size(); ++n) {
    EXPECT_EQ(recovery.packages[n].savedBytes, saved[n].size()) << n;
  }
  EXPECT_EQ(recovery.packages[2].bytes, stored[2].size());  // Empty at the Save.
  EXPECT_EQ(Packages(Imported(recovered, 16).get()), stored);
}

// The tool reports per package what it gained and why a chain ends, exits as verify
// does, and the index it writes passes verify.
TEST_F(Crashed, ToolReportsGainsAndWhatItCouldNotReach) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Write();
  EXPECT_TRUE(Exits(RunTool({"recover", index, "--output", recovered}), 0,
                    {"package 0: +1 block, 2 bytes\n", "package 1: +1 block, 4 bytes\n",
                     "package 2: new, from the package file: 1 block, 2 bytes\n",
                     "data file 2 (" + d2 + "): size 0 -> 38\n",
                     "3 packages (1 new), 3 blocks, 8 bytes beyond the old index", "complete:"}));
  EXPECT_TRUE(Exits(RunTool({"verify", recovered}), 0));

  // A link into a file the index does not list, a torn block at the end of file 2 and
  // a package of the package file that was never parked.
  file1.replace(39, 12, Le(0, 8) + Le(7, 4));
  file2 += BlockBytes(kNone, 0, "ffff").substr(0, 10);
  packageFile += std::string(44, '\0');
  Write();
  EXPECT_TRUE(Exits(
      RunTool({"recover", index, "-o", recovered, "--force"}), 1,
      {"package 0: +1 block, 2 bytes; not reached beyond: data file 1 (" + d1 +
           ") offset 39: the link names offset 0 of data file 7, which the index does not list "
           "(it lists 3)\n",
       "package 3: not recovered: data file 0 (" + pf +
           ") offset 132: the record of package 3 is not in the package file",
       "size 0 -> 38; 10 bytes past it left out (data file 2 (" + d2 +
           ") offset 38: a block's header is cut off by the end of the file",
       "incomplete: 1 package cut short, 1 record of the package file left"}));
  EXPECT_TRUE(Exits(RunTool({"verify", recovered}), 0));

  // Nothing is written when the old index cannot be read.
  EXPECT_EQ(RunTool({"recover", dir.File("missing.index"), "-o", dir.File("x.index")}).code, 2);
  EXPECT_FALSE(fs::exists(dir.File("x.index")));
  EXPECT_EQ(RunTool({"recover", index}).code, 2) << "no --output";
}

// An existing file at the output path (another recording's index, say) is replaced
// only with --force; the old index and the data files not even then. A refusal writes
// nothing and says why before any work.
TEST_F(Crashed, ToolReplacesAnExistingFileOnlyWhenForced) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Write();
  const std::string other = dir.File("other.index");
  const std::string otherBytes = IndexBytes(false, {}, {});
  WriteFile(other, otherBytes);
  fs::create_symlink(dir.File("nowhere"), dir.File("link.index"));
  for (const std::string& target : {other, dir.File("link.index")}) {
    SCOPED_TRACE(target);
    const FolderState before = Snapshot(dir.path());
    const ToolRun run = RunTool({"recover", index, "-o", target});
    EXPECT_TRUE(Exits(run, 2, {}, {target + " exists already: give --force to replace it"}));
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(Snapshot(dir.path()) == before) << "nothing is written";
    EXPECT_FALSE(fs::exists(dir.File("nowhere")));
  }
  EXPECT_TRUE(Exits(RunTool({"recover", index, "-o", other, "--force"}), 0));
  EXPECT_NE(ReadWholeFile(other), otherBytes);
  EXPECT_EQ(RunTool({"verify", other}).code, 0);
  for (const auto& [own, why] : {std::pair{index, "would replace the index it recovers"},
                                 std::pair{d1, "would replace a data file of the recording"}}) {
    const std::string bytes = ReadWholeFile(own);
    const ToolRun run = RunTool({"recover", index, "-o", own, "--force"});
    EXPECT_TRUE(Exits(run, 2, {}, {why}));
    EXPECT_TRUE(run.out.empty()) << "refused before any work:\n" << run.out;
    EXPECT_EQ(ReadWholeFile(own), bytes);
  }
  EXPECT_TRUE(Has(RunTool({"recover", "--help"}).out, "--force"));
}

// A recording moved elsewhere (its index lists the old paths) and recovered into a
// third folder, with relative paths: the new index lists each file where it was found,
// as an absolute path, so that an Import of it, from anywhere, finds every file.
TEST_F(Crashed, ToolRecoversAMovedRecordingIntoAnotherFolder) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Write();
  // d2 is found by the last two parts of the path the index lists.
  const std::string deeper = "moved/" + fs::path(dir.path()).filename().string();
  fs::create_directories(dir.File(deeper));
  fs::create_directories(dir.File("elsewhere"));
  for (const char* name : {"saved.index", "pf", "d1"}) {
    fs::rename(dir.File(name), dir.File(std::string("moved/") + name));
  }
  fs::rename(d2, dir.File(deeper + "/d2"));
  {
    WorkingFolder inside(dir.path());
    EXPECT_TRUE(Exits(RunTool({"recover", "moved/saved.index", "-o", "elsewhere/new.index"}), 0));
  }
  const std::string moved = dir.File("elsewhere/new.index");
  {
    const Recording fresh(moved);
    const std::vector<std::string> found = {dir.File("moved/pf"), dir.File("moved/d1"),
                                            dir.File(deeper + "/d2")};
    ASSERT_EQ(fresh.files().size(), found.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
      const std::string& listed = fresh.files()[k].listedName;
      EXPECT_TRUE(fs::path(listed).is_absolute()) << listed;
      EXPECT_TRUE(fs::exists(listed) && fs::equivalent(listed, found[k])) << listed;
    }
  }
  recovered = moved;
  EXPECT_EQ(ImportedPackages(), kWhole);
  EXPECT_TRUE(Exits(RunTool({"verify", moved}), 0));
}

#if !defined(_WIN32)

// ---- Crash runs ----

// One round of the child: the items stored into each package, by size. Both processes
// derive it from the seed alone.
struct Plan {
  std::uint64_t seed;
  std::uint64_t packageSize, maxQueued, fileLimit, firstPackages;
  explicit Plan(std::uint64_t s) : seed(s) {
    std::mt19937_64 random(seed);
    packageSize = 48 + random() % 200;
    maxQueued = random() % 3;
    // Every other run lets the writers' files roll over, so that chains run into files
    // the saved index does not list.
    fileLimit = seed % 2 == 0 ? ~0ull : 1024 + random() % 2048;
    firstPackages = 3 + random() % 4;
  }
  // Packages that exist in round `round`: one more every third round after the Save.
  std::uint64_t Packages(std::uint64_t round) const {
    return firstPackages + std::min<std::uint64_t>(round / 3, 4);
  }
  std::vector<std::size_t> Sizes(std::uint64_t round, std::uint64_t package) const {
    // The last package made before the Save stays empty in round 0.
    if (round == 0 && package + 1 == firstPackages) return {};
    std::mt19937_64 random(seed * 1000003 + round * 1009 + package);
    std::vector<std::size_t> sizes(random() % 4);
    for (std::size_t& size : sizes) size = 1 + random() % (2 * packageSize);
    return sizes;
  }
};

// The child's report after each synchronized round: the round, then per package the
// number of its items that lie before its first item in a file the saved index does not
// list. Each is one write(2) of fewer than PIPE_BUF bytes, so it arrives whole or not
// at all.
constexpr std::size_t kMostPackages = 64;

struct Report {
  std::uint64_t round = 0;
  std::uint64_t packages = 0;
  std::uint64_t reachable[kMostPackages] = {};
};

int RunChild(const Plan& plan, const std::string& folder, const std::string& index, int out) {
  Quillbox* db = nullptr;
  if (Quillbox_Create(&db, plan.packageSize, plan.maxQueued, folder.c_str()) != 0) return 10;
  const char* name = nullptr;
  for (int t = 0; t < 2; ++t) {
    if (Quillbox_NewThread(&name, folder.c_str(), plan.fileLimit, db) != 0) return 11;
  }
  std::vector<std::deque<ItemLocation>> locations;
  std::vector<std::uint64_t> reachable;
  std::uint64_t savedFiles = ~0ull;
  for (std::uint64_t round = 0; round < 5000; ++round) {
    while (locations.size() < plan.Packages(round)) {
      std::uint64_t package = 0;
      if (Quillbox_NewPackage(&package, db) != 0) return 12;
      locations.emplace_back();
      reachable.push_back(0);
    }
    for (std::uint64_t p = 0; p < locations.size(); ++p) {
      for (const std::size_t size : plan.Sizes(round, p)) {
        const std::string item = MakeItem(p, locations[p].size(), size);
        locations[p].emplace_back();
        if (Quillbox_Store(p, item.size(), item.data(), &locations[p].back(), db) != 0) return 13;
      }
    }
    if (round == 0) {
      if (Quillbox_Save(index.c_str(), db) != 0) return 14;
      savedFiles = Quillbox_GetFileCount(db);
    } else if (Quillbox_Synchronize(db) != 0) {
      return 15;
    }
    Report report;
    report.round = round;
    report.packages = locations.size();
    for (std::uint64_t p = 0; p < locations.size(); ++p) {
      while (reachable[p] < locations[p].size() && locations[p][reachable[p]].file < savedFiles) {
        ++reachable[p];
      }
      report.reachable[p] = reachable[p];
    }
    if (write(out, &report, sizeof report) != sizeof report) return 16;
  }
  return 0;
}

// Reads the child's reports until one for `round` or later has come, or the pipe ends
// or 30 seconds pass; false when none came.
bool WaitForRound(int in, std::uint64_t round, Report* last) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{in, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    Report report;
    if (read(in, &report, sizeof report) != sizeof report) return false;
    *last = report;
    if (report.round >= round) return true;
  }
  return false;
}

// The package's bytes as the child stored them through `round`.
std::string Stream(const Plan& plan, std::uint64_t package, std::uint64_t round,
                   std::vector<std::size_t>* itemSizes = nullptr) {
  std::string bytes;
  std::uint64_t index = 0;
  for (std::uint64_t r = 0; r <= round; ++r) {
    if (package >= plan.Packages(r)) continue;
    for (const std::size_t size : plan.Sizes(r, package)) {
      bytes += MakeItem(package, index++, size);
      if (itemSizes != nullptr) itemSizes->push_back(size);
    }
  }
  return bytes;
}

// Whether the package file holds a record of `package` that names a first block, read
// here from its bytes.
bool ParkedWithABlock(const std::string& packageFile, std::uint64_t package) {
  const std::uint64_t at = 44 * package;
  return packageFile.size() >= at + 44 && packageFile.substr(at + 32, 8) == Le(package, 8) &&
         packageFile.substr(at, 8) != Le(kNone, 8);
}

void CrashRun(std::uint64_t seed) {
  const auto ULL = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  std::printf("[ crash run ] seed %llu\n", ULL(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  const Plan plan(seed);
  TempDir dir;
  const std::string folder = dir.File("rec");
  fs::create_directories(folder);
  const std::string index = dir.File("saved.index"), recovered = dir.File("new.index");
  std::mt19937_64 random(seed ^ 0x9e3779b97f4a7c15ull);
  const std::uint64_t killRound = 1 + random() % 12;
  const auto killDelay = std::chrono::microseconds(random() % 3000);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    _exit(RunChild(plan, folder, index, fds[1]));
  }
  close(fds[1]);
  Report last;
  const bool reached = WaitForRound(fds[0], killRound, &last);
  std::this_thread::sleep_for(killDelay);  // Lands anywhere in a later round.
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  // Reports written before the end.
  for (Report report; read(fds[0], &report, sizeof report) == sizeof report;) last = report;
  close(fds[0]);
  ASSERT_TRUE(reached) << "the child ended early, status " << status;
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  const std::uint64_t round = last.round;

  const FolderState before = Snapshot(folder);
  const std::string oldIndex = ReadWholeFile(index);
  std::uint64_t savedCount = 0;
  Recovery recovery;
  {
    Recording recording(index);
    savedCount = recording.packageCount();
    recovery = RecoverRecording(recording);
    ASSERT_TRUE(WriteRecoveredIndex(recording, recovery, recovered));
  }
  std::uint64_t gained = 0;
  for (const RecoveredPackage& p : recovery.packages) gained += p.gainedBytes();
  std::printf("[ crash run ] seed %llu: killed after round %llu; %zu packages (%llu saved), "
              "%llu bytes gained, %s\n", ULL(seed), ULL(round), recovery.packages.size(),
              ULL(savedCount), ULL(gained), recovery.Complete() ? "complete" : "incomplete");
  EXPECT_TRUE(Snapshot(folder) == before);
  EXPECT_EQ(ReadWholeFile(index), oldIndex);
  ASSERT_EQ(savedCount, plan.firstPackages);
  ASSERT_GE(recovery.packages.size(), savedCount);
  // Without rollovers every block lies in a listed file, and a killed process leaves
  // no link to a block that is not whole: only records never parked stay behind.
  if (seed % 2 == 0) {
    EXPECT_TRUE(recovery.Complete() || recovery.recordsEnd);
  }
#if QUILLBOX_HAS_TOOL
  EXPECT_TRUE(Exits(RunTool({"verify", recovered}), 0));
#endif

  Quillbox* db = nullptr;
  ASSERT_EQ(Quillbox_Import(&db, recovered.c_str(), 1000), 0);
  const std::string parked = ReadWholeFile(Quillbox_GetDatabaseFileName(0, db));
  for (std::uint64_t p = 0; p < recovery.packages.size(); ++p) {
    SCOPED_TRACE("package " + std::to_string(p));
    const std::string content = ReadByCursor(db, p);
    const std::string all = Stream(plan, p, round + 1);
    ASSERT_LE(content.size(), all.size());
    EXPECT_TRUE(content == all.substr(0, content.size())) << "not what was stored";
    EXPECT_EQ(content.size(), recovery.packages[p].bytes);
    // Items placed by a synchronized round are in the chain from the first block on,
    // unless a file the index does not list comes first; the first block is known
    // when the package had one at the Save or its record was parked with one.
    const bool firstKnown = !Stream(plan, p, 0).empty() || ParkedWithABlock(parked, p);
    if (!firstKnown || p >= last.packages) continue;
    std::vector<std::size_t> sizes;
    Stream(plan, p, round, &sizes);
    std::size_t placed = 0;
    for (std::uint64_t i = 0; i < last.reachable[p]; ++i) placed += sizes[i];
    EXPECT_GE(content.size(), placed)
        << "items placed before the crash are missing; the chain ends "
        << (recovery.packages[p].unreached ? recovery.packages[p].unreached->what : "at its end");
  }
  // The imported database goes on: a new item comes after everything recovered.
  const char* name = nullptr;
  ASSERT_EQ(Quillbox_NewThread(&name, folder.c_str(), ~0ull, db), 0);
  const std::string before0 = ReadByCursor(db, 0), more = MakeItem(999, 0, 3 * plan.packageSize);
  ASSERT_TRUE(StoreEach(db, 0, {more}) && Quillbox_Synchronize(db) == 0);
  EXPECT_TRUE(ReadByCursor(db, 0) == before0 + more);
  Quillbox_Destroy(db);
}

TEST(RecoverCrash, GetsBackEveryItemPlacedBeforeTheKill) {
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    CrashRun(seed);
    if (HasFatalFailure()) return;
  }
}

#endif  // !_WIN32

}  // namespace
}  // namespace qbx::test
