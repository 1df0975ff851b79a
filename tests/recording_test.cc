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

// Two block files without a package file. Package 0: A (file 0 at 0) -> C (file 1 at
// 0); package 1: B (file 0 at 20) alone.
struct TwoFiles : ::testing::Test {
  TempDir dir;
  std::string index = dir.File("rec.index");
  std::string file0 = BlockBytes(0, 1, "aaaa") + BlockBytes(kNone, 0, "bbb");
  std::string file1 = BlockBytes(kNone, 0, "ccccc");
  std::string record0 = RecordBytes(0, 0, 0, 1, 0);
  std::string record1 = RecordBytes(20, 0, 20, 0, 1);

  void Write() {
    WriteFile(dir.File("d0"), file0);
    WriteFile(dir.File("d1"), file1);
    WriteFile(index,
              IndexBytes(false, {{dir.File("d0"), file0.size()}, {dir.File("d1"), file1.size()}},
                         {record0, record1}));
  }
  // Walks package `n` and returns the payloads it passed.
  std::string Payloads(const Recording& recording, std::uint64_t n, const WalkOptions& options,
                       WalkResult* result) {
    const RecordLookup record = recording.Record(n);
    EXPECT_FALSE(record.fault);
    std::string bytes;
    *result = recording.Walk(record.image, record.place, options, [&](const ChainBlock& block) {
      std::string payload(block.header.payloadLen, '\0');
      recording.Read(block.file, block.payloadPos(), payload.data(), payload.size());
      bytes += payload;
      return true;
    });
    return bytes;
  }
};

TEST_F(TwoFiles, RecordingWalksEachChainAcrossFiles) {
  Write();
  Recording recording(index);
  ASSERT_EQ(recording.files().size(), 2u);
  EXPECT_EQ(recording.files()[1].length, file1.size());
  WalkResult walk;
  EXPECT_EQ(Payloads(recording, 0, {}, &walk), "aaaaccccc");
  EXPECT_FALSE(walk.fault);
  EXPECT_EQ(walk.blocks, 2u);
  EXPECT_EQ(walk.bytes, 9u);
  EXPECT_EQ(Payloads(recording, 1, {}, &walk), "bbb");
  EXPECT_FALSE(walk.fault);
  const BlockScan scan = recording.ScanBlocks(0, Extent::kListed);
  EXPECT_EQ(scan.starts, (std::vector<std::uint64_t>{0, 20}));
  EXPECT_EQ(scan.end, file0.size());
  EXPECT_FALSE(scan.fault);
  // A walk that the visitor ends reports no fault.
  const RecordLookup record = recording.Record(0);
  walk = recording.Walk(record.image, record.place, {}, [](const ChainBlock&) { return false; });
  EXPECT_TRUE(walk.stopped && walk.blocks == 1);
  EXPECT_FALSE(walk.fault);
}

// A link back to a block the walk passed ends the walk at the link: without the
// record's last block to stop at, and with it, where it is caught as a last block that
// links into the saved bytes.
TEST_F(TwoFiles, RecordingFindsALoopThroughAnotherFile) {
  file1.replace(0, 12, Le(0, 8) + Le(0, 4));  // C links back to A.
  Write();
  Recording recording(index);
  WalkOptions follow;
  follow.stopAtLastBlock = false;
  WalkResult walk;
  EXPECT_EQ(Payloads(recording, 0, follow, &walk), "aaaaccccc");
  EXPECT_TRUE(FaultIs(walk.fault, "loop", 1, 0));
  Payloads(recording, 0, {}, &walk);
  EXPECT_TRUE(FaultIs(walk.fault, "inside the bytes the index covers", 1));
}

// Blocks stored after the Save lie past the listed sizes: the saved chain ends at the
// record's last block without a fault, a walk to the chain's end over the whole files
// reaches them, and one over the listed bytes stops at them.
TEST_F(TwoFiles, RecordingWalksPastTheSaveOnlyWhenAsked) {
  Write();
  const std::string later = BlockBytes(kNone, 0, "dd");
  WriteFile(dir.File("d1"), BlockBytes(file1.size(), 1, "ccccc") + later);
  Recording recording(index);
  WalkResult walk;
  EXPECT_EQ(Payloads(recording, 0, {}, &walk), "aaaaccccc");
  EXPECT_FALSE(walk.fault);

  WalkOptions whole;
  whole.extent = Extent::kLength;
  whole.stopAtLastBlock = false;
  EXPECT_EQ(Payloads(recording, 0, whole, &walk), "aaaacccccdd");
  EXPECT_FALSE(walk.fault);

  WalkOptions listed;
  listed.stopAtLastBlock = false;
  Payloads(recording, 0, listed, &walk);
  EXPECT_TRUE(FaultIs(walk.fault, "past the size the index lists (21 bytes)", 1, file1.size()));
}

struct LinkCase {
  const char* name;
  std::uint64_t pos;  // Where A's link points (file 1 unless `file` says otherwise).
  std::uint32_t file;
  bool blockStarts;  // Check against the scanned block starts.
  bool atTarget;     // The fault lies at the target, not at A's link.
  const char* what;
};

void PrintTo(const LinkCase& c, std::ostream* out) { *out << c.name; }

struct BentLink : TwoFiles, ::testing::WithParamInterface<LinkCase> {};

TEST_P(BentLink, RecordingNamesTheFaultsPlace) {
  const LinkCase& c = GetParam();
  file0.replace(0, 12, Le(c.pos, 8) + Le(c.file, 4));
  Write();
  Recording recording(index);
  WalkOptions options;
  std::vector<BlockScan> scans;
  for (std::uint32_t k = 0; k < 2; ++k) scans.push_back(recording.ScanBlocks(k, Extent::kListed));
  if (c.blockStarts) {
    options.isBlockStart = [&](std::uint32_t file, std::uint64_t pos) {
      const std::vector<std::uint64_t>& starts = scans[file].starts;
      return std::find(starts.begin(), starts.end(), pos) != starts.end();
    };
  }
  WalkResult walk;
  EXPECT_EQ(Payloads(recording, 0, options, &walk), "aaaa");
  EXPECT_TRUE(FaultIs(walk.fault, c.what, c.atTarget ? c.file : 0u, c.atTarget ? c.pos : 0u));
}

INSTANTIATE_TEST_SUITE_P(
    Links, BentLink,
    ::testing::Values(LinkCase{"NotABlockStart", 1, 1, true, false, "not the start of a block"},
                      LinkCase{"UnlistedFile", 0, 7, false, false, "which the index does not list"},
                      LinkCase{"PastTheFile", 4000, 1, false, true, "the block lies past"},
                      LinkCase{"HeaderCutOff", 10, 1, false, true, "header is cut off"},
                      LinkCase{"PayloadPastTheEnd", 1, 1, false, true, "runs past"},
                      LinkCase{"Backwards", 0, 0, false, false, "loop"}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST_F(TwoFiles, RecordingScanStopsAtAnEmptyOrCutBlock) {
  file0 = BlockBytes(kNone, 0, "aaaa") + Le(kNone, 8) + Le(0, 4) + Le(0, 4) + "xyz";
  Write();
  {
    Recording recording(index);
    const BlockScan scan = recording.ScanBlocks(0, Extent::kListed);
    EXPECT_EQ(scan.starts, std::vector<std::uint64_t>{0});
    EXPECT_EQ(scan.end, 20u);
    EXPECT_TRUE(FaultIs(scan.fault, "payload length is 0", 0, 20));
  }
  WriteFile(dir.File("d0"), file0.substr(0, 30));  // Shorter than listed.
  Recording cut(index);
  EXPECT_TRUE(FaultIs(cut.ScanBlocks(0, Extent::kListed).fault,
                      "cut off by the end of the file (30 bytes; the index lists 39)", 0, 20));
}

// A held record whose first block is not where the chain starts is reported at its place
// in the index: 41 header bytes, 25 + name per file, 8 for the count, the entry's flag.
TEST_F(TwoFiles, RecordingPlacesHeldRecordFaultsInTheIndex) {
  record1 = RecordBytes(21, 0, 21, 0, 1);
  Write();
  Recording recording(index);
  WalkOptions options;
  options.isBlockStart = [&](std::uint32_t, std::uint64_t pos) { return pos == 0 || pos == 20; };
  const RecordLookup record = recording.Record(1);
  const WalkResult walk = recording.Walk(record.image, record.place, options);
  ASSERT_TRUE(walk.fault);
  EXPECT_TRUE(walk.fault->place.inIndex);
  const std::uint64_t entry = 41 + 2 * 25 + dir.File("d0").size() + dir.File("d1").size() + 8 + 45;
  EXPECT_EQ(walk.fault->place.offset, entry + 1);
  EXPECT_NE(walk.fault->what.find("the record's first block is at offset 21"), std::string::npos);
}

// Parked records: read from the package file at 44 * n, checked for their number and
// their files, and missing when the package file is cut short.
TEST(Recording, ParkedRecordsAreChecked) {
  TempDir dir;
  const std::string blocks = BlockBytes(kNone, 0, "pp");
  const std::string good = RecordBytes(0, 1, 0, 1, 0);
  const std::string wrongNumber = RecordBytes(0, 1, 0, 1, 5);
  const std::string packageFileBlock = RecordBytes(0, 0, 0, 1, 2);
  WriteFile(dir.File("p"), good + wrongNumber + packageFileBlock);
  WriteFile(dir.File("d"), blocks);
  const std::string index = dir.File("rec.index");
  WriteFile(index, IndexBytes(true, {{dir.File("p"), 4 * 44}, {dir.File("d"), blocks.size()}},
                              {"", "", "", ""}));
  Recording recording(index);
  const RecordLookup first = recording.Record(0);
  EXPECT_FALSE(first.fault);
  EXPECT_TRUE(first.parked);
  EXPECT_FALSE(recording.Walk(first.image, first.place, {}).fault);
  const char* const expected[] = {nullptr, "carries package number 5 instead of 1",
                                  "first block is in data file 0", "lies past the end of the file"};
  for (std::uint64_t n = 1; n < 4; ++n) {
    EXPECT_TRUE(FaultIs(recording.Record(n).fault, expected[n], 0, 44 * n)) << n;
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
  const RecordLookup record = recording.Record(0);
  EXPECT_TRUE(FaultIs(recording.Walk(record.image, record.place, {}).fault,
                      "which is missing (listed as /gone/rec/t2/d1)", 0));
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

// Records that contradict themselves or their chain: the walk ends at the first fault,
// at the record or at the block where it shows.
struct RecordCase {
  const char* name;
  std::uint64_t firstPos, lastPos;  // Of package 0 (A at 0 of file 0, C at 0 of file 1).
  std::uint32_t firstFile, lastFile;
  std::string file1;  // What file 1 holds instead of C, when not empty.
  bool atRecord;      // The fault lies at the record (else at file 1, offset 0).
  const char* what;
};

void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }

struct BentRecord : TwoFiles, ::testing::WithParamInterface<RecordCase> {};

TEST_P(BentRecord, RecordingEndsTheWalkAtTheFault) {
  const RecordCase& c = GetParam();
  record0 = RecordBytes(c.firstPos, c.firstFile, c.lastPos, c.lastFile, 0);
  if (!c.file1.empty()) file1 = c.file1;
  Write();
  Recording recording(index);
  const RecordLookup record = recording.Record(0);
  ASSERT_FALSE(record.fault);
  const WalkResult walk = recording.Walk(record.image, record.place, {});
  ASSERT_TRUE(walk.fault);
  EXPECT_EQ(walk.fault->place.inIndex, c.atRecord);
  EXPECT_EQ(walk.fault->place.file, c.atRecord ? 0u : 1u);
  EXPECT_NE(walk.fault->what.find(c.what), std::string::npos) << walk.fault->what;
}

INSTANTIATE_TEST_SUITE_P(
    Records, BentRecord,
    ::testing::Values(
        RecordCase{"FirstWithoutLast", 0, kNone, 0, 0, "", true, "a first block but no last"},
        RecordCase{"LastWithoutFirst", kNone, 0, 0, 1, "", true, "a last block but no first"},
        RecordCase{"EmptyBlock", 0, 0, 0, 1, BlockBytes(kNone, 0, ""), false,
                   "payload length is 0"},
        RecordCase{"ChainEndsBeforeTheLastBlock", 0, 21, 0, 1,
                   BlockBytes(kNone, 0, "ccccc") + BlockBytes(kNone, 0, "d"), false,
                   "the chain ends at this block, but the record's last block is at offset 21"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

// A parked record needs the package file: without it the record is a fault, and so is a
// last block that links into the package file.
TEST(Recording, ParkedRecordWithoutItsPackageFileAndLinksIntoItAreFaults) {
  TempDir dir;
  const std::string blocks = BlockBytes(0, 0, "pp");  // Links to the package file.
  WriteFile(dir.File("d"), blocks);
  const std::string index = dir.File("rec.index");
  WriteFile(index, IndexBytes(true, {{dir.File("p"), 44}, {dir.File("d"), blocks.size()}}, {""}));
  {
    Recording recording(index);
    EXPECT_FALSE(recording.files()[0].exists());
    EXPECT_TRUE(FaultIs(recording.Record(0).fault, "package file, which is missing"));
  }
  WriteFile(dir.File("p"), RecordBytes(0, 1, 0, 1, 0));
  Recording recording(index);
  const RecordLookup record = recording.Record(0);
  ASSERT_FALSE(record.fault);
  EXPECT_TRUE(FaultIs(recording.Walk(record.image, record.place, {}).fault,
                      "the package file, which holds no blocks", 1));
}

// A record in the package file may have been parked again after the Save, once its
// package had blocks stored past the listed sizes or in files made since: the saved
// chain then ends without a fault before the first of them. A held record, or a parked
// one whose last block the Save covers, must still end at its last block.
struct ParkedSinceCase {
  const char* name;
  std::string blocks;    // Data file 1; the package file is data file 0.
  std::uint64_t listed;  // Data file 1's listed size.
  std::string record;    // Package 0's.
  bool parked;
  const char* payloads;
  const char* fault;  // Null when the walk ends without one.
};

void PrintTo(const ParkedSinceCase& c, std::ostream* out) { *out << c.name; }

struct ParkedSince : ::testing::TestWithParam<ParkedSinceCase> {};

TEST_P(ParkedSince, RecordingEndsTheSavedChainAtTheFirstLaterBlock) {
  const ParkedSinceCase& c = GetParam();
  TempDir dir;
  WriteFile(dir.File("p"), c.parked ? c.record : NoBlockRecord(0));
  WriteFile(dir.File("d"), c.blocks);
  const std::string index = dir.File("rec.index");
  WriteFile(index, IndexBytes(true, {{dir.File("p"), 44}, {dir.File("d"), c.listed}},
                              {c.parked ? "" : c.record}));
  Recording recording(index);
  const RecordLookup record = recording.Record(0);
  ASSERT_FALSE(record.fault) << record.fault->what;
  std::string payloads;
  const WalkResult walk =
      recording.Walk(record.image, record.place, {}, [&](const ChainBlock& block) {
        std::string payload(block.header.payloadLen, '\0');
        recording.Read(block.file, block.payloadPos(), payload.data(), payload.size());
        payloads += payload;
        return true;
      });
  EXPECT_EQ(payloads, c.payloads);
  if (c.fault == nullptr) {
    EXPECT_FALSE(walk.fault) << walk.fault->what;
  } else {
    EXPECT_TRUE(FaultIs(walk.fault, c.fault, 1));
  }
}

// Data file 1: A (0, "aaaa") -> B (20, "bb"), and blocks that link nowhere.
const std::string kAB = BlockBytes(20, 1, "aaaa") + BlockBytes(kNone, 0, "bb");

INSTANTIATE_TEST_SUITE_P(
    Records, ParkedSince,
    ::testing::Values(
        ParkedSinceCase{"LinkPastTheListedSize", kAB, 20, RecordBytes(0, 1, 20, 1, 0), true,
                        "aaaa", nullptr},
        ParkedSinceCase{"LastBlockInAFileMadeSince",
                        BlockBytes(20, 1, "aaaa") + BlockBytes(0, 4, "bb"), 20,
                        RecordBytes(0, 1, 0, 4, 0), true, "aaaa", nullptr},
        ParkedSinceCase{"LinkIntoAFileMadeSince", BlockBytes(0, 4, "aaaa"), 20,
                        RecordBytes(0, 1, 0, 4, 0), true, "aaaa", nullptr},
        ParkedSinceCase{"NoBlockAtTheSave", kAB, 0, RecordBytes(0, 1, 20, 1, 0), true, "",
                        nullptr},
        ParkedSinceCase{"FirstBlockInAFileMadeSince", kAB, 38, RecordBytes(0, 3, 0, 3, 0), true,
                        "", nullptr},
        ParkedSinceCase{"HeldRecordPastTheListedSize", kAB, 20, RecordBytes(0, 1, 20, 1, 0),
                        false, "aaaa", "the block lies past the size the index lists (20 bytes)"},
        ParkedSinceCase{"LastBlockSavedButTheChainLeavesTheSave",
                        BlockBytes(40, 1, "aaaa") + BlockBytes(kNone, 0, "eeee") +
                            BlockBytes(kNone, 0, "bb"),
                        40, RecordBytes(0, 1, 20, 1, 0), true, "aaaa",
                        "the block lies past the size the index lists (40 bytes)"},
        ParkedSinceCase{"ChainEndsWithinTheSave",
                        BlockBytes(kNone, 0, "aaaa") + BlockBytes(kNone, 0, "bb"), 20,
                        RecordBytes(0, 1, 20, 1, 0), true, "aaaa",
                        "the chain ends at this block, but the record's last block is at offset "
                        "20"}),
    [](const ::testing::TestParamInfo<ParkedSinceCase>& info) {
      return std::string(info.param.name);
    });

// A scan over a file larger than its read window goes on across windows and reports
// its progress each time it has passed another window's worth of bytes.
TEST(Recording, ScanCrossesReadWindowsAndReportsProgress) {
  TempDir dir;
  std::string blocks;
  std::vector<std::uint64_t> starts;
  for (int k = 0; k < 5; ++k) {
    starts.push_back(blocks.size());
    blocks += BlockBytes(kNone, 0, std::string(30000, static_cast<char>('a' + k)));
  }
  WriteFile(dir.File("d"), blocks);
  const std::string index = dir.File("rec.index");
  WriteFile(index, IndexBytes(false, {{dir.File("d"), blocks.size()}}, {}));
  Recording recording(index);
  std::vector<std::uint64_t> reports;
  const BlockScan scan = recording.ScanBlocks(0, Extent::kListed,
                                              [&](std::uint64_t pos) { reports.push_back(pos); });
  EXPECT_FALSE(scan.fault);
  EXPECT_EQ(scan.starts, starts);
  EXPECT_EQ(scan.end, blocks.size());
  EXPECT_EQ(reports, std::vector<std::uint64_t>{3 * 30016});
}

// Everything a reader of a recording learns, as text: which files it found, each
// package's payloads and the fault that ended its walk, and each file's scan.
std::string Survey(const std::string& index) {
  Recording recording(index);
  std::string survey;
  for (const RecordingFile& file : recording.files()) survey += file.exists() ? "+" : "-";
  for (std::uint64_t n = 0; n < recording.packageCount(); ++n) {
    survey += "\npackage " + std::to_string(n) + ": ";
    const RecordLookup record = recording.Record(n);
    if (record.fault) {
      survey += "record fault: " + record.fault->what;
      continue;
    }
    const WalkResult walk =
        recording.Walk(record.image, record.place, {}, [&](const ChainBlock& block) {
          std::string payload(block.header.payloadLen, '\0');
          try {
            recording.Read(block.file, block.payloadPos(), payload.data(), payload.size());
          } catch (const std::exception& e) {
            survey += std::string("(") + e.what() + ")";
            return false;
          }
          survey += payload;
          return true;
        });
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
  std::uint64_t counts[qbx::testing::kCallKinds];
  qbx::testing::CountCalls();
  EXPECT_EQ(Survey(index), clean);
  for (std::size_t kind = 0; kind < qbx::testing::kCallKinds; ++kind) {
    counts[kind] = qbx::testing::CallCount(static_cast<Call>(kind));
  }
  qbx::testing::StopFailingCalls();
  std::uint64_t runs = 0;
  for (const Call kind : {Call::kOpen, Call::kLength, Call::kRead, Call::kPosition}) {
    const std::uint64_t count = counts[static_cast<std::size_t>(kind)];
    EXPECT_NE(count, 0u) << qbx::testing::CallName(kind);
    for (std::uint64_t n = 1; n <= count; ++n) {
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
      ++runs;
    }
  }
  EXPECT_GT(runs, 10u);
}

}  // namespace
}  // namespace qbx::test
