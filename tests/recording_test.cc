// The read-only walker of recordings (storage/recording.h) on recordings written byte by
// byte here, so that each fault lies exactly where a test puts it: loops across files,
// links into the saved bytes or past them, cut-off and empty blocks, parked records that
// do not fit, moved and missing files, and indexes that cannot be read.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/fault_hook.h"
#include "recording_support.h"
#include "test_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

// The payloads of package n's chain as the walk passes them, the text of a record fault
// instead, and a read that throws as its message in brackets (which ends the walk).
std::string Walked(const Recording& recording, std::uint64_t n, const WalkOptions& options = {},
                   WalkResult* result = nullptr) {
  if (result != nullptr) *result = {};
  const RecordLookup record = recording.Record(n);
  if (record.fault) return "record fault: " + record.fault->what;
  std::string bytes;
  const WalkResult walk =
      recording.Walk(record.image, record.place, options, [&](const ChainBlock& block) {
        std::string payload(block.header.payloadLen, '\0');
        try {
          recording.Read(block.file, block.payloadPos(), payload.data(), payload.size());
        } catch (const std::exception& e) {
          bytes += std::string("(") + e.what() + ")";
          return false;
        }
        bytes += payload;
        return true;
      });
  if (result != nullptr) *result = walk;
  return bytes;
}

// Two block files without a package file. Package 0: A (file 0 at 0) -> C (file 1 at
// 0); package 1: B (file 0 at 20) alone.
struct TwoFileRecording {
  TempDir dir;
  std::string index = dir.File("rec.index");
  std::string file0 = BlockBytes(0, 1, "aaaa") + BlockBytes(kNone, 0, "bbb");
  std::string file1 = BlockBytes(kNone, 0, "ccccc");
  std::string record0 = RecordBytes(0, 0, 0, 1, 0);
  std::string record1 = RecordBytes(20, 0, 20, 0, 1);

  void Write(std::uint64_t listed1 = kNone) {  // The size the index lists for file 1.
    WriteFile(dir.File("d0"), file0);
    WriteFile(dir.File("d1"), file1);
    const std::uint64_t size1 = listed1 == kNone ? file1.size() : listed1;
    WriteFile(index, IndexBytes(false, {{dir.File("d0"), file0.size()}, {dir.File("d1"), size1}},
                                {record0, record1}));
  }
};
struct TwoFiles : ::testing::Test, TwoFileRecording {};

TEST_F(TwoFiles, RecordingWalksEachChainAcrossFiles) {
  Write();
  Recording recording(index);
  ASSERT_EQ(recording.files().size(), 2u);
  EXPECT_EQ(recording.files()[1].length, file1.size());
  WalkResult walk;
  WalkOptions options;
  EXPECT_EQ(Walked(recording, 0, options, &walk), "aaaaccccc");
  EXPECT_TRUE(!walk.fault && walk.blocks == 2 && walk.bytes == 9);
  EXPECT_EQ(Walked(recording, 1, {}, &walk), "bbb");
  EXPECT_FALSE(walk.fault);
  const BlockScan scan = recording.ScanBlocks(0, Extent::kListed);
  EXPECT_EQ(scan.starts, (std::vector<std::uint64_t>{0, 20}));
  EXPECT_EQ(scan.end, file0.size());
  EXPECT_FALSE(scan.fault);
  // A walk that the visitor ends reports no fault.
  const RecordLookup record = recording.Record(0);
  walk = recording.Walk(record.image, record.place, {}, [](const ChainBlock&) { return false; });
  EXPECT_TRUE(walk.stopped && walk.blocks == 1 && !walk.fault);
  // A held record whose first block is not where the chain starts is reported at its
  // place in the index: 41 header bytes, 25 + name per file, 8 for the count, the entry's
  // flag.
  record1 = RecordBytes(21, 0, 21, 0, 1);
  Write();
  options.isBlockStart = [&](std::uint32_t, std::uint64_t pos) { return pos == 0 || pos == 20; };
  Walked(Recording(index), 1, options, &walk);
  ASSERT_TRUE(walk.fault);
  EXPECT_TRUE(walk.fault->place.inIndex);
  const std::uint64_t entry = 41 + 2 * 25 + dir.File("d0").size() + dir.File("d1").size() + 8 + 45;
  EXPECT_EQ(walk.fault->place.offset, entry + 1);
  EXPECT_NE(walk.fault->what.find("the record's first block is at offset 21"), std::string::npos);
}

// The chain above bent in one place: A's link, file 1's bytes (listed whole unless
// said) or package 0's record. The walk passes the payloads before the first fault and
// ends there: in the index (file -1) or at the block where the fault shows.
enum Mode { kToLastBlock, kToChainEnd, kWholeFiles, kBlockStarts };  // Scanned starts only.
struct BendCase {
  const char* name;
  Mode mode;
  const char* payloads;
  const char* what;  // Null: no fault.
  int file;
  std::uint64_t offset;                             // kNone: anywhere.
  std::string link = "", file1 = "", record0 = "";  // A's link, file 1, package 0's record.
  std::uint64_t listed1 = kNone;
};

std::string Link(std::uint64_t pos, std::uint32_t file) { return Le(pos, 8) + Le(file, 4); }

TEST(Recording, ABentChainEndsTheWalkAtItsFault) {
  const std::string loop = BlockBytes(0, 0, "ccccc");  // C links back to A.
  // A block stored after the Save, past the listed size of file 1.
  const std::string later = BlockBytes(21, 1, "ccccc") + BlockBytes(kNone, 0, "dd");
  const std::string cd = BlockBytes(kNone, 0, "ccccc") + BlockBytes(kNone, 0, "d");
  const BendCase cases[] = {
      // A link back to a block the walk passed ends the walk at the link: without the
      // record's last block to stop at, and with it, as a last block linking into the
      // saved bytes.
      {"loop", kToChainEnd, "aaaaccccc", "loop", 1, 0, "", loop},
      {"loop at the last block", kToLastBlock, "aaaaccccc", "inside the bytes the index covers", 1,
       kNone, "", loop},
      // The saved chain ends at the record's last block without a fault, a walk to the
      // chain's end over the whole files reaches the later block, and one over the
      // listed bytes stops at it.
      {"saved chain", kToLastBlock, "aaaaccccc", nullptr, 0, kNone, "", later, "", 21},
      {"whole files", kWholeFiles, "aaaacccccdd", nullptr, 0, kNone, "", later, "", 21},
      {"listed bytes", kToChainEnd, "aaaaccccc", "past the size the index lists (21 bytes)", 1, 21,
       "", later, "", 21},
      // A's link names a bad place.
      {"not a block start", kBlockStarts, "aaaa", "not the start of a block", 0, 0, Link(1, 1)},
      {"unlisted file", kToLastBlock, "aaaa", "which the index does not list", 0, 0, Link(0, 7)},
      {"past the file", kToLastBlock, "aaaa", "the block lies past", 1, 4000, Link(4000, 1)},
      {"header cut off", kToLastBlock, "aaaa", "header is cut off", 1, 10, Link(10, 1)},
      {"payload past the end", kToLastBlock, "aaaa", "runs past", 1, 1, Link(1, 1)},
      {"backwards", kToLastBlock, "aaaa", "loop", 0, 0, Link(0, 0)},
      // Records that contradict themselves or their chain.
      {"first without last", kToLastBlock, "", "a first block but no last", -1, kNone, "", "",
       RecordBytes(0, 0, kNone, 0, 0)},
      {"last without first", kToLastBlock, "", "a last block but no first", -1, kNone, "", "",
       RecordBytes(kNone, 0, 0, 1, 0)},
      {"empty block", kToLastBlock, "aaaa", "payload length is 0", 1, 0, "",
       BlockBytes(kNone, 0, "")},
      {"chain ends before the last block", kToLastBlock, "aaaaccccc",
       "the chain ends at this block, but the record's last block is at offset 21", 1, 0, "", cd,
       RecordBytes(0, 0, 21, 1, 0)},
  };
  for (const BendCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoFileRecording f;
    if (!c.link.empty()) f.file0.replace(0, 12, c.link);
    if (!c.file1.empty()) f.file1 = c.file1;
    if (!c.record0.empty()) f.record0 = c.record0;
    f.Write(c.listed1);
    Recording recording(f.index);
    WalkOptions options;
    options.extent = c.mode == kWholeFiles ? Extent::kLength : Extent::kListed;
    options.stopAtLastBlock = c.mode == kToLastBlock || c.mode == kBlockStarts;
    if (c.mode == kBlockStarts) {  // A and B in file 0, C in file 1.
      options.isBlockStart = [](std::uint32_t file, std::uint64_t pos) {
        return pos == 0 || (file == 0 && pos == 20);
      };
    }
    WalkResult walk;
    EXPECT_EQ(Walked(recording, 0, options, &walk), c.payloads);
    if (c.what == nullptr) {
      EXPECT_FALSE(walk.fault) << walk.fault->what;
    } else if (c.file < 0) {
      ASSERT_TRUE(walk.fault);
      EXPECT_TRUE(walk.fault->place.inIndex);
      EXPECT_NE(walk.fault->what.find(c.what), std::string::npos) << walk.fault->what;
    } else {
      EXPECT_TRUE(FaultIs(walk.fault, c.what, c.file, c.offset));
    }
  }
}

// Parked records: read from the package file at 44 * n, checked for their number and
// their files, and missing when the package file is cut short.
TEST(Recording, ParkedRecordsAreChecked) {
  TempDir dir;
  const std::string blocks = BlockBytes(kNone, 0, "pp"), index = dir.File("rec.index");
  WriteFile(dir.File("p"),
            RecordBytes(0, 1, 0, 1, 0) + RecordBytes(0, 1, 0, 1, 5) + RecordBytes(0, 0, 0, 1, 2));
  WriteFile(dir.File("d"), blocks);
  WriteFile(index, IndexBytes(true, {{dir.File("p"), 4 * 44}, {dir.File("d"), blocks.size()}},
                              {"", "", "", ""}));
  Recording recording(index);
  const RecordLookup first = recording.Record(0);
  EXPECT_TRUE(!first.fault && first.parked);
  EXPECT_FALSE(recording.Walk(first.image, first.place, {}).fault);
  const char* const expected[] = {nullptr, "carries package number 5 instead of 1",
                                  "first block is in data file 0", "lies past the end of the file"};
  for (std::uint64_t n = 1; n < 4; ++n) {
    EXPECT_TRUE(FaultIs(recording.Record(n).fault, expected[n], 0, 44 * n)) << n;
  }
}

// Package 0's record in a package file (data file 0; missing with kNoPackageFile), parked
// or held, and data file 1.
enum class Park { kParked, kHeld, kNoPackageFile };
struct ParkedCase {
  const char* name;
  std::string blocks;    // Data file 1.
  std::uint64_t listed;  // Data file 1's listed size.
  std::string record;
  Park park;
  const char* payloads;
  const char* fault;  // Null when the walk ends without one.
};

// A record in the package file may have been parked again after the Save, once its
// package had blocks stored past the listed sizes or in files made since: the saved
// chain then ends without a fault before the first of them. A held record, or a parked
// one whose last block the Save covers, must still end at its last block. A parked
// record needs the package file, and a last block links into it by a fault.
TEST(Recording, ParkedRecordsEndTheSavedChainAtTheFirstLaterBlock) {
  // Data file 1: A (0, "aaaa") -> B (20, "bb"), and blocks that link nowhere.
  const std::string ab = BlockBytes(20, 1, "aaaa") + BlockBytes(kNone, 0, "bb");
  const std::string a0b = BlockBytes(kNone, 0, "aaaa") + BlockBytes(kNone, 0, "bb");
  const std::string toB = RecordBytes(0, 1, 20, 1, 0), toFile4 = RecordBytes(0, 1, 0, 4, 0);
  const ParkedCase cases[] = {
      {"link past the listed size", ab, 20, toB, Park::kParked, "aaaa", nullptr},
      {"last block in a file made since", BlockBytes(20, 1, "aaaa") + BlockBytes(0, 4, "bb"), 20,
       toFile4, Park::kParked, "aaaa", nullptr},
      {"link into a file made since", BlockBytes(0, 4, "aaaa"), 20, toFile4, Park::kParked, "aaaa",
       nullptr},
      {"no block at the save", ab, 0, toB, Park::kParked, "", nullptr},
      {"first block in a file made since", ab, 38, RecordBytes(0, 3, 0, 3, 0), Park::kParked, "",
       nullptr},
      {"held record past the listed size", ab, 20, toB, Park::kHeld, "aaaa",
       "the block lies past the size the index lists (20 bytes)"},
      {"last block saved but the chain leaves the save",
       BlockBytes(40, 1, "aaaa") + BlockBytes(kNone, 0, "eeee") + BlockBytes(kNone, 0, "bb"), 40,
       toB, Park::kParked, "aaaa", "the block lies past the size the index lists (40 bytes)"},
      {"chain ends within the save", a0b, 20, toB, Park::kParked, "aaaa",
       "the chain ends at this block, but the record's last block is at offset 20"},
      {"last block links into the package file", BlockBytes(0, 0, "pp"), 18,
       RecordBytes(0, 1, 0, 1, 0), Park::kParked, "pp", "the package file, which holds no blocks"},
      {"no package file", BlockBytes(kNone, 0, "pp"), 18, RecordBytes(0, 1, 0, 1, 0),
       Park::kNoPackageFile,
       "record fault: the record is parked in the package file, which is missing", nullptr},
  };
  for (const ParkedCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.park != Park::kNoPackageFile) {
      WriteFile(dir.File("p"), c.park == Park::kParked ? c.record : NoBlockRecord(0));
    }
    WriteFile(dir.File("d"), c.blocks);
    const std::string index = dir.File("rec.index");
    WriteFile(index, IndexBytes(true, {{dir.File("p"), 44}, {dir.File("d"), c.listed}},
                                {c.park == Park::kHeld ? c.record : ""}));
    Recording recording(index);
    EXPECT_EQ(recording.files()[0].exists(), c.park != Park::kNoPackageFile);
    WalkResult walk;
    EXPECT_EQ(Walked(recording, 0, {}, &walk), c.payloads);
    if (c.fault == nullptr) {
      EXPECT_FALSE(walk.fault) << walk.fault->what;
    } else {
      EXPECT_TRUE(FaultIs(walk.fault, c.fault, 1));
    }
  }
}

// Files listed by their old paths are found below the index's folder; one found nowhere
// is missing, and a link to it is a fault, not an error.
TEST(Recording, MovedFilesAreFoundAndMissingOnesReported) {
  TempDir dir;
  fs::create_directories(dir.File("t1"));
  const std::string blocks = BlockBytes(0, 1, "mm");
  WriteFile(dir.File("t1/d0"), blocks);
  const std::string index = dir.File("rec.index");
  WriteFile(index, IndexBytes(false, {{"/gone/rec/t1/d0", blocks.size()}, {"/gone/rec/t2/d1", 18}},
                              {RecordBytes(0, 0, 0, 1, 0)}));
  Recording recording(index);
  EXPECT_TRUE(fs::equivalent(recording.files()[0].path, dir.File("t1/d0")));
  EXPECT_EQ(recording.files()[0].listedName, "/gone/rec/t1/d0");
  EXPECT_FALSE(recording.files()[1].exists());
  WalkResult walk;
  EXPECT_EQ(Walked(recording, 0, {}, &walk), "mm");
  EXPECT_TRUE(FaultIs(walk.fault, "which is missing (listed as /gone/rec/t2/d1)", 0));
}

struct IndexCase {
  const char* name;
  std::string bytes;  // "-" for no file at all.
  const char* message;
};

TEST(Recording, UnreadableIndexesAreNamed) {
  TempDir dir;
  const std::string whole = IndexBytes(false, {}, {});  // Header and package count.
  const IndexCase cases[] = {
      {"missing", "-", "No index file at "},
      {"empty", "", "Empty file, not a Quillbox index: "},
      {"foreign", "Quillbux" + whole.substr(8), "Not a Quillbox index file"},
      {"short", IndexBytes(false, {{"x", 0}}, {}).substr(0, 60), "Damaged index file ("},
      {"not-utf8-\xff\xfe", "-", "No index file at "},
  };
  for (const IndexCase& c : cases) {
    const std::string path = dir.File(c.name);
    if (c.bytes != "-") WriteFile(path, c.bytes);
    try {
      Recording recording(path);
      ADD_FAILURE() << c.name << " opened";
    } catch (const RecordingError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind(c.message, 0), 0u) << c.name << ": " << what;
      EXPECT_EQ(what.substr(what.size() - path.size()), path) << c.name;
    }
  }
  WriteFile(dir.File("marker"), "Quillbox");  // The marker alone is an empty recording.
  Recording empty(dir.File("marker"));
  EXPECT_EQ(empty.packageCount(), 0u);
  EXPECT_TRUE(empty.files().empty());
}

// A scan over a file larger than its read window goes on across windows and reports
// its progress each time it has passed another window's worth of bytes. It stops at an
// empty block, and at a header cut off by the end of a file shorter than listed.
TEST(Recording, ScanCrossesReadWindowsAndStopsAtAnEmptyOrCutBlock) {
  TempDir dir;
  std::string blocks;
  std::vector<std::uint64_t> starts;
  for (int k = 0; k < 5; ++k) {
    starts.push_back(blocks.size());
    blocks += BlockBytes(kNone, 0, std::string(30000, static_cast<char>('a' + k)));
  }
  const std::uint64_t end = blocks.size();
  const std::string index = dir.File("rec.index");
  WriteFile(dir.File("d"), blocks);
  WriteFile(index, IndexBytes(false, {{dir.File("d"), blocks.size()}}, {}));
  std::vector<std::uint64_t> reports;
  const BlockScan whole = Recording(index).ScanBlocks(
      0, Extent::kListed, [&](std::uint64_t pos) { reports.push_back(pos); });
  EXPECT_EQ(whole.starts, starts);
  EXPECT_EQ(whole.end, end);
  EXPECT_FALSE(whole.fault) << whole.fault->what;
  EXPECT_EQ(reports, std::vector<std::uint64_t>{3 * 30016});

  blocks += Le(kNone, 8) + Le(0, 4) + Le(0, 4) + "xyz";
  WriteFile(dir.File("d"), blocks);
  WriteFile(index, IndexBytes(false, {{dir.File("d"), blocks.size()}}, {}));
  const BlockScan scan = Recording(index).ScanBlocks(0, Extent::kListed);
  EXPECT_EQ(scan.starts, starts);
  EXPECT_EQ(scan.end, end);
  EXPECT_TRUE(FaultIs(scan.fault, "payload length is 0", 0, end));
  WriteFile(dir.File("d"), blocks.substr(0, end + 10));
  EXPECT_TRUE(FaultIs(Recording(index).ScanBlocks(0, Extent::kListed).fault,
                      "cut off by the end of the file (150090 bytes; the index lists 150099)", 0,
                      end));
}

// Everything a reader of a recording learns, as text: which files it found, each
// package's payloads and the fault that ended its walk, and each file's scan.
std::string Survey(const std::string& index) {
  Recording recording(index);
  std::string survey;
  for (const RecordingFile& file : recording.files()) survey += file.exists() ? "+" : "-";
  for (std::uint64_t n = 0; n < recording.packageCount(); ++n) {
    WalkResult walk;
    survey += "\npackage " + std::to_string(n) + ": " + Walked(recording, n, {}, &walk);
    if (walk.fault) survey += " fault: " + walk.fault->what;
  }
  for (std::uint32_t k = 0; k < recording.files().size(); ++k) {
    const BlockScan scan = recording.ScanBlocks(k, Extent::kListed);
    survey += "\nfile " + std::to_string(k) + ": " + std::to_string(scan.starts.size()) + " blocks";
    if (scan.fault) survey += ", " + scan.fault->what;
  }
  return survey;
}

// Each open, length query, read and positioning of a reader of a recording, failing
// in turn: the failure shows, as a RecordingError or in what the reader reports, and
// is never taken for the recording's contents.
TEST(Recording, EveryFailingCallShows) {
  using qbx::testing::Call;
  TempDir dir;
  const std::string index = dir.File("db.index");
  {
    Db db(64, 0, dir.path().c_str());
    db.AddThread(dir.path());
    db.AddThread(dir.path());
    for (int p = 0; p < 3; ++p) db.AddPackage();
    for (std::uint64_t i = 0; i < 40; ++i) {
      const std::string item = MakeItem(i % 3, i / 3, 10 + i % 50);
      ASSERT_EQ(Quillbox_Store(i % 3, item.size(), item.data(), nullptr, db.get()), 0);
    }
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
  }
  const std::string clean = Survey(index);
  ASSERT_EQ(clean.find("fault"), std::string::npos) << clean;
  ASSERT_EQ(clean.substr(0, clean.find('\n')), "+++") << "every file found";
  qbx::testing::CountCalls();
  EXPECT_EQ(Survey(index), clean);
  std::vector<std::pair<Call, std::uint64_t>> counts;
  for (const Call kind : {Call::kOpen, Call::kLength, Call::kRead, Call::kPosition}) {
    counts.emplace_back(kind, qbx::testing::CallCount(kind));
    EXPECT_NE(counts.back().second, 0u) << qbx::testing::CallName(kind);
  }
  qbx::testing::StopFailingCalls();
  std::uint64_t runs = 0;
  for (const auto& [kind, count] : counts) {
    for (std::uint64_t n = 1; n <= count; ++n, ++runs) {
      SCOPED_TRACE(std::string(qbx::testing::CallName(kind)) + " " + std::to_string(n));
      qbx::testing::FailCall(kind, n);
      std::string survey;
      try {
        survey = Survey(index);
      } catch (const RecordingError& e) {
        survey = e.what();
        EXPECT_NE(survey.find(index), std::string::npos) << survey;
      }
      const bool failed = qbx::testing::CallFailed();
      qbx::testing::StopFailingCalls();
      ASSERT_TRUE(failed);
      EXPECT_NE(survey, clean);
    }
  }
  EXPECT_GT(runs, 10u);
}

}  // namespace
}  // namespace qbx::test
