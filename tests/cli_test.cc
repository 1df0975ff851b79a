// The command-line tool, run as a separate process the way a person or a script runs
// it, on recordings made through the C API: what info, verify, cat and record print and
// return on intact recordings and on copies damaged by patching their files on disk,
// and that no command changes a byte or a modification time of a recording. Where a
// fault must be reported is worked out by this file's own reading of the data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <tuple>

#include "quillbox_version.h"
#include "read_support.h"
#include "recording_support.h"
#include "test_support.h"
#include "tool_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

std::uint64_t Get(const std::string& bytes, std::uint64_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  }
  return value;
}

void Patch(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

struct DiskBlock {
  std::uint32_t file = 0;
  std::uint64_t pos = 0;
  std::uint64_t nextPos = 0;
  std::uint32_t nextFile = 0;
  std::uint32_t len = 0;
  bool operator==(const DiskBlock& other) const { return file == other.file && pos == other.pos; }
};

struct Item {
  std::uint64_t package = 0;
  std::string bytes;
  ItemLocation location{};
};

// A recording made through the C API in `folder`: a package file (or none), two writers
// whose files roll over at 600 bytes, five packages of items of 1 to 90 bytes stored in
// turn with a package size of 64 and a queue of one package, so that records are both
// parked and held and chains run through many files.
struct Rec {
  static constexpr std::uint64_t kPackages = 5;
  TempDir dir;
  std::string folder = dir.File("rec");
  std::string index = folder + "/rec.index";
  std::vector<std::string> packages;  // Each package's bytes.
  std::deque<Item> items;
  std::vector<std::string> files;      // Data file paths by number.
  std::vector<bool> parked;            // Per package, from the index.
  std::vector<std::uint64_t> entries;  // Per package, the entry's offset in the index.

  explicit Rec(bool packageFile) {
    fs::create_directory(folder);
    Db db(64, 1, packageFile ? folder.c_str() : nullptr);
    for (int w = 0; w < 2; ++w) db.AddThread(folder, 600);
    for (std::uint64_t p = 0; p < kPackages; ++p) db.AddPackage();
    packages.resize(kPackages);
    for (std::uint64_t i = 0; i < 30; ++i) {
      for (std::uint64_t p = 0; p < kPackages; ++p) {
        Item& item = items.emplace_back();
        item.package = p;
        item.bytes = MakeItem(p, i, 1 + (i * 37 + p * 11) % 90);
        packages[p] += item.bytes;
        EXPECT_EQ(Quillbox_Store(p, item.bytes.size(), item.bytes.data(), &item.location, db.get()),
                  0);
      }
    }
    EXPECT_EQ(Quillbox_Synchronize(db.get()), 0);
    for (std::uint64_t k = 0; k < Quillbox_GetFileCount(db.get()); ++k) {
      files.push_back(Quillbox_GetDatabaseFileName(k, db.get()));
    }
    EXPECT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    db.Destroy();
    ReadEntries();
  }

  // Which package entries of the index are parked, and where each lies.
  void ReadEntries() {
    entries.clear();
    parked.clear();
    const std::string b = ReadWholeFile(index);
    std::uint64_t at = 41;
    for (std::uint64_t k = Get(b, 33, 8); k != 0; --k) at += 25 + Get(b, at, 8);
    const std::uint64_t count = Get(b, at, 8);
    at += 8;
    for (std::uint64_t n = 0; n < count; ++n) {
      entries.push_back(at);
      parked.push_back(b.at(at) == 1);
      at += parked.back() ? 9 : 45;
    }
  }

  DiskBlock BlockAt(std::uint32_t file, std::uint64_t pos) const {
    const std::string header = ReadWholeFile(files.at(file)).substr(pos, 16);
    return DiskBlock{file, pos, Get(header, 0, 8), static_cast<std::uint32_t>(Get(header, 8, 4)),
                     static_cast<std::uint32_t>(Get(header, 12, 4))};
  }

  // The blocks of data file `file`, back to back from offset 0.
  std::vector<DiskBlock> BlocksOf(std::uint32_t file) const {
    std::vector<DiskBlock> blocks;
    for (std::uint64_t pos = 0; pos < fs::file_size(files.at(file));) {
      blocks.push_back(BlockAt(file, pos));
      pos += 16 + blocks.back().len;
    }
    return blocks;
  }

  // Package p's chain as the files hold it, from the block of its first item.
  std::vector<DiskBlock> Chain(std::uint64_t p) const {
    const ItemLocation& first = std::find_if(items.begin(), items.end(), [&](const Item& item) {
                                  return item.package == p;
                                })->location;
    std::vector<DiskBlock> chain{BlockAt(first.file, first.pos - first.offsetInBlock - 16)};
    while (chain.back().nextPos != kNone && chain.size() < 1000) {
      chain.push_back(BlockAt(chain.back().nextFile, chain.back().nextPos));
    }
    return chain;
  }

  // The package whose chain holds `block`.
  std::uint64_t OwnerOf(const DiskBlock& block) const {
    for (std::uint64_t p = 0; p < kPackages; ++p) {
      const std::vector<DiskBlock> chain = Chain(p);
      if (std::find(chain.begin(), chain.end(), block) != chain.end()) return p;
    }
    ADD_FAILURE() << "no chain holds the block at " << block.pos << " of file " << block.file;
    return 0;
  }

  // The first package with a chain of at least `blocks` blocks.
  std::uint64_t PackageWithBlocks(std::size_t blocks) const {
    for (std::uint64_t p = 0; p < kPackages; ++p) {
      if (Chain(p).size() >= blocks) return p;
    }
    ADD_FAILURE() << "no chain of " << blocks << " blocks";
    return 0;
  }

  std::string Place(std::uint32_t file, std::uint64_t offset) const {
    return "data file " + std::to_string(file) + " (" + files.at(file) + ") offset " +
           std::to_string(offset);
  }
};

std::string Location(const Item& item) {
  return std::to_string(item.location.pos) + "," + std::to_string(item.location.file) + "," +
         std::to_string(item.location.offsetInBlock) + "," + std::to_string(item.bytes.size());
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::size_t PackageLines(const std::string& out) { return Count("\n" + out, "\npackage "); }

// An intact recording, with a package file and without: info shows its settings, files
// and packages, as text and as JSON; verify finds it intact; cat reads back every
// package, and items by their locations, and refuses a location that does not fit its
// block. No reading command writes to a recording: every file keeps its bytes and its
// time, and no file is added.
TEST(Cli, ReadingCommandsOnAnIntactRecording) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  for (const bool packageFile : {true, false}) {
    SCOPED_TRACE(packageFile ? "with a package file" : "without a package file");
    const Rec rec(packageFile);
    AgeFiles(rec.folder);
    const FolderState before = Snapshot(rec.folder);
    const auto run = [&](const std::vector<std::string>& arguments) {
      const ToolRun result = RunTool(arguments);
      EXPECT_TRUE(before == Snapshot(rec.folder)) << arguments[0] << " changed the recording";
      return result;
    };
    std::uint64_t total = 0, blocks = 0, parked = 0;
    for (std::uint64_t p = 0; p < Rec::kPackages; ++p) {
      total += rec.packages[p].size();
      blocks += rec.Chain(p).size();
      parked += rec.parked[p];
    }
    EXPECT_EQ(parked != 0, packageFile);

    const ToolRun text = run({"info", rec.index});
    EXPECT_TRUE(Exits(text, 0,
                      {"package size  64 bytes\n",
                       packageFile ? "package file  yes (data file 0)\n" : "package file  no\n",
                       "packages      5 (" + std::to_string(5 - parked) + " held in the index, " +
                           std::to_string(parked) + " parked",
                       "blocks        " + std::to_string(blocks) + "\n",
                       "bytes         " + std::to_string(total) + " "}));
    EXPECT_EQ(Count(text.out, "  present  "), rec.files.size());
    EXPECT_FALSE(Has(text.out, "\n   package ")) << "a summary only";

    std::vector<std::string> entries = {
        "\"packageSize\": 64,", std::string("\"packageFile\": ") + (packageFile ? "true" : "false"),
        "\"packageCount\": 5,", "\"bytes\": " + std::to_string(total) + ","};
    for (std::uint32_t k = 0; k < rec.files.size(); ++k) {
      const std::string size = std::to_string(fs::file_size(rec.files[k]));
      const bool isPackageFile = packageFile && k == 0;
      entries.push_back("{\"file\": " + std::to_string(k) + ", \"path\": \"" + rec.files[k] +
                        "\", \"listedPath\": \"" + rec.files[k] + "\", \"size\": " + size +
                        ", \"length\": " + size +
                        ", \"limit\": " + (isPackageFile ? "null" : "600") +
                        ", \"exists\": true, \"packageFile\": " +
                        (isPackageFile ? "true" : "false") + "}");
    }
    for (std::uint64_t p = 0; p < Rec::kPackages; ++p) {
      entries.push_back("{\"package\": " + std::to_string(p) +
                        ", \"bytes\": " + std::to_string(rec.packages[p].size()) +
                        ", \"blocks\": " + std::to_string(rec.Chain(p).size()) +
                        ", \"record\": \"" + (rec.parked[p] ? "parked" : "held") +
                        "\", \"damaged\": false}");
    }
    EXPECT_TRUE(Exits(run({"info", rec.index, "--json", "--packages"}), 0, entries));
    const ToolRun summary = run({"info", "--json", rec.index});
    EXPECT_TRUE(Exits(summary, 0, {"\"damagedPackages\": 0\n}"}));
    EXPECT_FALSE(Has(summary.out, "\"packages\""));

    const ToolRun verify = run({"verify", rec.index});
    EXPECT_TRUE(Exits(verify, 0,
                      {"intact: 5 packages, " + std::to_string(blocks) + " blocks, " +
                       std::to_string(total) + " bytes in " + std::to_string(rec.files.size()) +
                       " data files\n"}));
    EXPECT_FALSE(Has(verify.out, "note:")) << "every block is in a chain";
    EXPECT_TRUE(verify.err.empty()) << verify.err;

    for (std::uint64_t p = 0; p < Rec::kPackages; ++p) {
      const ToolRun cat = run({"cat", rec.index, std::to_string(p)});
      EXPECT_TRUE(cat.code == 0 && cat.out == rec.packages[p]) << "package " << p << cat.err;
    }
    for (std::size_t i = 0; i < rec.items.size(); i += 23) {
      const ToolRun cat = run({"cat", rec.index, "--location", Location(rec.items[i])});
      EXPECT_TRUE(cat.code == 0 && cat.out == rec.items[i].bytes) << "item " << i << cat.err;
    }
    // A location may also give its block's payload length, which must match.
    const Item& withBlockLen = rec.items[11];
    const std::string blockLen = std::to_string(withBlockLen.location.blockLen);
    const ToolRun matching =
        run({"cat", rec.index, "--location", Location(withBlockLen) + "," + blockLen});
    EXPECT_TRUE(matching.code == 0 && matching.out == withBlockLen.bytes) << matching.err;
    Item longer = rec.items[7];
    longer.bytes += std::string(
        longer.location.blockLen - longer.location.offsetInBlock - longer.bytes.size() + 1, 'x');
    const std::string otherLen = std::to_string(withBlockLen.location.blockLen + 1);
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> refused = {
        {{"cat", rec.index, "--location", Location(withBlockLen) + "," + otherLen}, 1,
         "holds a payload of " + blockLen + " bytes, not the location's blockLen of "},
        {{"cat", rec.index, "--location", Location(longer)}, 1,
         "runs past the payload of the block at "},
        {{"cat", rec.index, "5"}, 2, "No package 5: the recording has 5"},
        {{"cat", rec.index, "--", "-1"}, 2, "-1 not in range"}};
    for (const auto& [arguments, code, why] : refused) {
      const ToolRun cat = run(arguments);
      EXPECT_TRUE(Exits(cat, code, {}, {why})) << arguments.back();
      EXPECT_TRUE(cat.out.empty()) << arguments.back();
    }
  }
}

// A damage made on disk, and what verify must print about it.
using Texts = std::vector<std::string>;
struct Damage {
  const char* name;
  int code;
  std::size_t packageLines;  // Lines naming a damaged package.
  // Damages the recording; returns the texts verify's output must hold.
  std::function<Texts(Rec&)> apply;
};

std::string Pkg(std::uint64_t p) { return "package " + std::to_string(p) + ": "; }

void PrintTo(const Damage& d, std::ostream* out) { *out << d.name; }

// The first block of the chains that has a next block, with its package.
std::pair<std::uint64_t, DiskBlock> LinkedBlock(const Rec& rec) {
  const std::uint64_t p = rec.PackageWithBlocks(2);
  return {p, rec.Chain(p)[0]};
}

// A held record's first block moved off the start of a block: verify names the field
// at its offset in the index.
Texts HeldRecordOffABlockStart(Rec& rec) {
  const auto p = static_cast<std::uint64_t>(
      std::find(rec.parked.begin(), rec.parked.end(), false) - rec.parked.begin());
  const DiskBlock first = rec.Chain(p).front();
  Patch(rec.index, rec.entries[p] + 1, Le(first.pos + 3, 8));
  return {Pkg(p) + "index (" + rec.index + ") offset " + std::to_string(rec.entries[p] + 1) +
          ": the record's first block is at offset " + std::to_string(first.pos + 3) +
          " of data file " + std::to_string(first.file) + ", which is not the start of a block\n"};
}

const Damage kDamages[] = {
    {"TruncatedDataFile", 1, 1, [](Rec& rec) -> Texts {
       const DiskBlock last = rec.BlocksOf(1).back();
       const std::uint64_t owner = rec.OwnerOf(last);
       const std::uint64_t listed = fs::file_size(rec.files[1]);
       const std::uint64_t cut = last.pos + 16 + last.len / 2;
       fs::resize_file(rec.files[1], cut);
       const std::string end = "the end of the file (" + std::to_string(cut) +
                               " bytes; the index lists " + std::to_string(listed) + ")";
       return {"data file 1 (" + rec.files[1] + "): cut short: the file is " + std::to_string(cut) +
                   " bytes, the index lists " + std::to_string(listed) + "\n",
               Pkg(owner) + rec.Place(1, last.pos) +
                   ": the block's payload of " + std::to_string(last.len) + " bytes runs past " +
                   end};
     }},
    {"LinkToNoBlockStart", 1, 1, [](Rec& rec) -> Texts {
       const auto [p, block] = LinkedBlock(rec);
       Patch(rec.files[block.file], block.pos, Le(block.nextPos + 1, 8));
       return {Pkg(p) + rec.Place(block.file, block.pos) +
               ": the link names offset " + std::to_string(block.nextPos + 1) + " of data file " +
               std::to_string(block.nextFile) + ", which is not the start of a block\n"};
     }},
    {"LinkToUnlistedFile", 1, 1, [](Rec& rec) -> Texts {
       const auto [p, block] = LinkedBlock(rec);
       Patch(rec.files[block.file], block.pos + 8, Le(rec.files.size() + 3, 4));
       return {Pkg(p) + rec.Place(block.file, block.pos) +
               ": the link names offset " + std::to_string(block.nextPos) + " of data file " +
               std::to_string(rec.files.size() + 3) + ", which the index does not list"};
     }},
    {"LinkPastTheFile", 1, 1, [](Rec& rec) -> Texts {
       const auto [p, block] = LinkedBlock(rec);
       const std::uint64_t size = fs::file_size(rec.files[block.nextFile]);
       Patch(rec.files[block.file], block.pos, Le(size + 4096, 8));
       return {Pkg(p) + rec.Place(block.nextFile, size + 4096) +
               ": the block lies past the size the index lists (" + std::to_string(size) +
               " bytes)\n"};
     }},
    {"LinkLoopsBack", 1, 1, [](Rec& rec) -> Texts {
       const std::uint64_t p = rec.PackageWithBlocks(3);
       const std::vector<DiskBlock> chain = rec.Chain(p);
       Patch(rec.files[chain[1].file], chain[1].pos, Le(chain[0].pos, 8) + Le(chain[0].file, 4));
       return {Pkg(p) + rec.Place(chain[1].file, chain[1].pos) +
               ": the link names offset " + std::to_string(chain[0].pos) + " of data file " +
               std::to_string(chain[0].file) +
               ", which is not past the package's previous block in that file"};
     }},
    {"LastBlockLinksIntoSavedBytes", 1, 1, [](Rec& rec) -> Texts {
       const DiskBlock last = rec.Chain(0).back();
       const DiskBlock other = rec.Chain(1).front();
       Patch(rec.files[last.file], last.pos, Le(other.pos, 8) + Le(other.file, 4));
       return {"package 0: " + rec.Place(last.file, last.pos) +
               ": the record's last block links to offset " + std::to_string(other.pos) +
               " of data file " + std::to_string(other.file) +
               ", inside the bytes the index covers"};
     }},
    {"ChainsShareABlock", 1, 1, [](Rec& rec) -> Texts {
       // A later package's first link bent to a block of package 0, which verify walked
       // first; the block lies where the later chain may go on (past its first block).
       for (std::uint64_t p = 1; p < Rec::kPackages; ++p) {
         const DiskBlock first = rec.Chain(p).front();
         if (first.nextPos == kNone) continue;
         for (const DiskBlock& taken : rec.Chain(0)) {
           if (taken.file == first.file && taken.pos < first.pos) continue;
           Patch(rec.files[first.file], first.pos, Le(taken.pos, 8) + Le(taken.file, 4));
           return {Pkg(p) + rec.Place(taken.file, taken.pos) +
                   ": the block is also in the chain of an earlier package\n"};
         }
       }
       ADD_FAILURE() << "no chain to bend";
       return {};
     }},
    {"ParkedRecordWithAnotherNumber", 1, 1, [](Rec& rec) -> Texts {
       const auto p = static_cast<std::uint64_t>(
           std::find(rec.parked.begin(), rec.parked.end(), true) - rec.parked.begin());
       Patch(rec.files[0], 44 * p + 32, Le(p + 100, 8));
       return {Pkg(p) + rec.Place(0, 44 * p) +
               ": the record carries package number " + std::to_string(p + 100) + " instead of " +
               std::to_string(p) + "\n"};
     }},
    {"HeldRecordOffABlockStart", 1, 1, HeldRecordOffABlockStart},
    {"HeldRecordOffABlockStartBehindANameWithAZero", 1, 1, [](Rec& rec) -> Texts {
       // A stored name ends at its first zero byte; the bytes after it still take room.
       std::string index = ReadWholeFile(rec.index);
       const std::uint64_t length = Get(index, 41, 8);
       index.replace(41, 8, Le(length + 4, 8));
       index.insert(49 + length, std::string("\0pad", 4));
       WriteFile(rec.index, index);
       rec.ReadEntries();
       return HeldRecordOffABlockStart(rec);
     }},
    {"MissingDataFile", 1, ~std::size_t{0}, [](Rec& rec) -> Texts {
       fs::remove(rec.files[2]);
       return {"data file 2 (" + rec.files[2] +
                   "): missing: neither at its listed path nor below the index's folder\n",
               "which is missing (listed as " + rec.files[2] + ")\n"};
     }},
    {"ForeignIndex", 2, 0, [](Rec& rec) -> Texts {
       Patch(rec.index, 0, "quill");
       return {"quillbox: Not a Quillbox index file (it does not begin with \"Quillbox\"): " +
               rec.index + "\n"};
     }},
    {"MissingIndex", 2, 0, [](Rec& rec) -> Texts {
       fs::remove(rec.index);
       return {"quillbox: No index file at " + rec.index + "\n"};
     }},
    {"IndexCutInsideItsHeader", 1, 0, [](Rec& rec) -> Texts {
       fs::resize_file(rec.index, 20);  // Inside the package size.
       return {"index: cut short inside its header or package count\n"};
     }},
    {"ShortIndex", 2, 0, [](Rec& rec) -> Texts {
       fs::resize_file(rec.index, 100);
       return {"quillbox: Damaged index file (", "): " + rec.index + "\n"};
     }},
};

struct CliDamage : ::testing::TestWithParam<Damage> {};

// Each damage is found, named at its file and offset, and only the packages it touches
// are reported; verify leaves the damaged files as they were.
TEST_P(CliDamage, VerifyNamesTheFirstFault) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  const Damage& damage = GetParam();
  Rec rec(true);
  ASSERT_GE(rec.files.size(), 4u);
  ASSERT_NE(std::count(rec.parked.begin(), rec.parked.end(), true), 0);
  ASSERT_NE(std::count(rec.parked.begin(), rec.parked.end(), false), 0);
  const std::vector<std::string> expected = damage.apply(rec);
  AgeFiles(rec.folder);
  const auto before = Snapshot(rec.folder);
  const ToolRun run = RunTool({"verify", rec.index});
  EXPECT_EQ(run.code, damage.code) << run.all();
  for (const std::string& text : expected) EXPECT_TRUE(Has(run.all(), text)) << text << run.all();
  if (damage.packageLines != ~std::size_t{0}) {
    EXPECT_EQ(PackageLines(run.out), damage.packageLines) << run.out;
  }
  EXPECT_TRUE(damage.code != 1 || Has(run.out, "\ndamaged: ")) << run.out;
  EXPECT_TRUE(before == Snapshot(rec.folder));
}

INSTANTIATE_TEST_SUITE_P(Cli, CliDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                           return std::string(info.param.name);
                         });

// A process that went on storing after its Save, with a queue limit of 0: the database
// writer parked each record again over the one the Save left in the package file, and
// the record now names blocks past the sizes the index lists (package 2 had no block at
// the Save). verify finds the recording intact, and cat prints each package as the Save
// left it: what the library replayed right after the Save, which is where an Import's
// replay starts (an Import reads the later blocks too).
TEST(CliCat, ARecordParkedAgainAfterTheSaveEndsWhereTheSaveDid) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  constexpr std::uint64_t kCount = 3;
  TempDir dir;
  const std::string index = dir.File("saved.index");
  std::vector<std::string> stored(kCount), atSave(kCount);
  {
    Db db(32, 0, dir.path().c_str());
    db.AddThread(dir.path());
    for (std::uint64_t p = 0; p < kCount; ++p) db.AddPackage();
    std::vector<std::deque<ItemLocation>> locations(kCount);
    const auto store = [&](std::uint64_t p, std::size_t size) {
      const std::string item = MakeItem(p, locations[p].size(), size);
      locations[p].emplace_back();
      ASSERT_EQ(Quillbox_Store(p, item.size(), item.data(), &locations[p].back(), db.get()), 0);
      stored[p] += item;
    };
    // Once synchronized, the database writer parks every record, naming the block of its
    // package's last item.
    const std::string packageFile = Quillbox_GetDatabaseFileName(0, db.get());
    const auto allParked = [&] {
      const std::string slots = ReadWholeFile(packageFile);
      for (std::uint64_t p = 0; p < kCount; ++p) {
        if (slots.size() < 44 * (p + 1)) return false;
        const PackageImage image = DecodePackageImage(slots.data() + 44 * p);
        const ItemLocation* last = locations[p].empty() ? nullptr : &locations[p].back();
        if (image.packageId != p ||
            (last == nullptr ? image.firstBlockPos != kNone
                             : image.lastBlockFile != last->file ||
                                   image.lastBlockPos != last->pos - last->offsetInBlock - 16)) {
          return false;
        }
      }
      return true;
    };
    for (int i = 0; i < 20; ++i) store(i % 2, 1 + i * 7 % 50);
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    ASSERT_TRUE(WaitUntil(allParked));
    ASSERT_EQ(Quillbox_Save(index.c_str(), db.get()), 0);
    for (std::uint64_t p = 0; p < kCount; ++p) {
      atSave[p] = ReadByCursor(db.get(), p);
      ASSERT_EQ(atSave[p], stored[p]) << "package " << p;
    }
    for (int i = 0; i < 45; ++i) store(i % kCount, 1 + i * 13 % 70);
    ASSERT_EQ(Quillbox_Synchronize(db.get()), 0);
    ASSERT_TRUE(WaitUntil(allParked));
  }
  {
    const Recording recording(index);
    for (std::uint64_t p = 0; p < kCount; ++p) {
      ASSERT_TRUE(recording.IsParked(p)) << p;
      const RecordLookup record = recording.Record(p);
      ASSERT_FALSE(record.fault) << record.fault->what;
      const PackageImage& image = record.image;
      ASSERT_LT(image.lastBlockFile, recording.files().size());
      EXPECT_GE(image.lastBlockPos, recording.files()[image.lastBlockFile].listedSize)
          << "package " << p << "'s record names a block stored after the Save";
    }
  }

  EXPECT_TRUE(Exits(RunTool({"verify", index}), 0, {"intact: 3 packages, "}));
  EXPECT_TRUE(Exits(RunTool({"info", "--json", index}), 0, {"\"damagedPackages\": 0\n}"}));
  // An Import replays from the same record, and reads the later blocks too.
  EXPECT_EQ(Packages(Imported(index, 16).get()), stored);
  for (std::uint64_t p = 0; p < kCount; ++p) {
    const ToolRun cat = RunTool({"cat", index, std::to_string(p)});
    EXPECT_TRUE(cat.code == 0 && cat.out == atSave[p]) << "package " << p << ": " << cat.err;
  }
}

// record stores, saves and verifies; the recording it leaves imports, and every package
// holds its items in order, each stamped with its package and number.
TEST(CliRecord, RecordsSavesAndVerifies) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  TempDir dir;
  const std::string folder = dir.File("new");
  EXPECT_TRUE(Exits(RunTool({"record", folder, "--packages", "3", "--writers", "2", "--item-size",
                              "100", "--items", "20", "--package-size", "256", "--file-limit",
                              "1000"}),
                    0,
                    {"stored 60 items (5.9 KiB) in ", "/s\nsaved " + folder + "/quillbox.index\n",
                     "intact: 3 packages, "}));
  Db db = Imported(folder + "/quillbox.index", 4);
  EXPECT_GT(Quillbox_GetFileCount(db.get()), 3u) << "files roll over at 1000 bytes";
  const std::vector<std::string> packages = Packages(db.get());
  ASSERT_EQ(packages.size(), 3u);
  for (std::uint64_t p = 0; p < 3; ++p) {
    ASSERT_EQ(packages[p].size(), 2000u);
    for (std::uint64_t i = 0; i < 20; ++i) {
      EXPECT_EQ(packages[p].substr(i * 100, 16), Le(p, 8) + Le(i, 8)) << p << " " << i;
    }
  }
  EXPECT_TRUE(Exits(RunTool({"record", folder, "--items", "1"}), 2, {},
                    {"A recording is in " + folder + " already"}));
}

// record ends when its time is up, also with more callers than packages: a caller
// without a package ends at once rather than spinning where it never looks at the stop.
// A duration too long for the clock sets no time limit: record stores all its items.
TEST(CliRecord, EndsWhenItsTimeIsUpOrItsItemsAreStored) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  TempDir dir;
  const std::vector<std::string> endless = {", 3 per package, with no time limit\n",
                                            "stored 6 items (96 bytes) in "};
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> runs = {
      {{"--packages", "1", "--callers", "3", "--duration", "0.1", "--package-size", "4096"},
       {"intact: 1 packages, "}},
      {{"--packages", "2", "--items", "3", "--duration", "1e12"}, endless},
      {{"--packages", "2", "--items", "3", "--duration", "inf"}, endless}};
  for (std::size_t n = 0; n < runs.size(); ++n) {
    std::vector<std::string> arguments = {"record", dir.File(std::to_string(n)), "--item-size",
                                          "16"};
    arguments.insert(arguments.end(), runs[n].first.begin(), runs[n].first.end());
    const ToolRun run = RunTool(arguments, 60);
    EXPECT_FALSE(run.timedOut) << n << ": record did not end";
    EXPECT_TRUE(Exits(run, 0, runs[n].second)) << n;
  }
}

// A chain with a bent link: cat delivers the bytes up to the bad link, then fails. A
// location whose block header would lie inside another block's payload names no item,
// even where the bytes there read as a fitting header (patched in), and even when the
// header's length matches the blockLen given.
TEST(CliCat, StopsAtABentLinkAndNamesNoItemInsideAPayload) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Rec rec(true);
  const auto [p, block] = LinkedBlock(rec);
  Patch(rec.files[block.file], block.pos + 8, Le(rec.files.size(), 4));
  ToolRun run = RunTool({"cat", rec.index, std::to_string(p)});
  EXPECT_TRUE(Exits(run, 1, {}, {"Package " + std::to_string(p) + " is damaged: " +
                                 rec.Place(block.file, block.pos)}));
  EXPECT_TRUE(run.out == rec.packages[p].substr(0, block.len));

  std::optional<DiskBlock> host;
  for (std::uint32_t k = 1; k < rec.files.size() && !host; ++k) {
    for (const DiskBlock& block : rec.BlocksOf(k)) {
      if (block.len >= 48) {
        host = block;
        break;
      }
    }
  }
  ASSERT_TRUE(host) << "no block of 48 bytes";
  const std::uint64_t fake = host->pos + 16 + 8;
  const std::string place = std::to_string(host->file) + ",0,";
  const std::string unpatched = std::to_string(fake + 16) + "," + place + "8";
  run = RunTool({"cat", rec.index, "--location", unpatched});
  EXPECT_TRUE(Exits(run, 1));
  EXPECT_TRUE(run.out.empty()) << run.out;
  Patch(rec.files[host->file], fake, Le(kNone, 8) + Le(0, 4) + Le(16, 4));
  for (const std::string& location : {unpatched, unpatched + ",16"}) {
    run = RunTool({"cat", rec.index, "--location", location});
    EXPECT_TRUE(Exits(run, 1, {}, {"quillbox: The location names no item: the block at " +
                                   rec.Place(host->file, fake) + " is not the start of a block"}));
    EXPECT_TRUE(run.out.empty()) << run.out
        << location;
  }
}

// Standard output that cannot be written (a file at its size limit): every command
// tells so and exits 2, whether the write fails at the final flush (small outputs) or
// in the middle of a copy (a package larger than the output buffer), and the output
// holds the bytes up to the limit. Even verify of a damaged recording exits 2: its
// report did not get out.
TEST(CliOutput, AWriteFailureExitsTwoWithAMessage) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Rec rec(true);
  Rec damaged(false);
  fs::remove(damaged.files[1]);
  TempDir dir;
  const std::string folder = dir.File("large");
  ASSERT_TRUE(Exits(RunTool({"record", folder, "--packages", "1", "--items", "100", "--item-size",
                              "1000", "--package-size", "8192"}),
                    0));
  const std::string large = folder + "/quillbox.index";
  const Item& item = *std::find_if(rec.items.begin(), rec.items.end(),
                                   [](const Item& i) { return i.bytes.size() >= 70; });
  struct Case {
    std::vector<std::string> arguments;
    std::uint64_t limit;
  };
  const std::vector<Case> cases = {
      {{"cat", rec.index, "1"}, 300},
      {{"cat", large, "0"}, 300},
      {{"cat", rec.index, "--location", Location(item)}, 50},
      {{"info", rec.index}, 300},
      {{"info", "--json", "--packages", rec.index}, 300},
      {{"verify", rec.index}, 100},
      {{"verify", damaged.index}, 100},
  };
  for (const Case& c : cases) {
    const std::string what = c.arguments[0] + " " + c.arguments.back();
    const ToolRun whole = RunTool(c.arguments);
    ASSERT_LE(whole.code, 1) << what << ": " << whole.all();
    ASSERT_GT(whole.out.size(), c.limit) << what;
    const ToolRun cut = RunTool(c.arguments, 120, c.limit);
    EXPECT_TRUE(Exits(cut, 2)) << what;
    EXPECT_EQ(cut.out, whole.out.substr(0, c.limit)) << what;
    EXPECT_EQ(Count(cut.err, "quillbox: Unable to write to standard output\n"), 1u) << what;
  }
}

// Names from the index are shown as they are only where that is safe: in JSON a byte
// that starts no UTF-8 sequence becomes U+FFFD and a control character \u00XX; on a
// terminal both show as \xHH. No output carries the raw bytes. The data file so named is
// found nowhere: info shows it as missing and still reads the rest.
TEST(CliInfo, NamesFromTheIndexAreEscapedAndAMissingFileShown) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  Rec rec(true);
  const std::string index = ReadWholeFile(rec.index);
  const std::uint64_t entry1 = 41 + 25 + Get(index, 41, 8);
  const std::uint64_t nameLength = Get(index, entry1, 8);
  const std::string odd = "\xff\xfe\x1b[31m";
  ASSERT_GT(nameLength, odd.size());
  Patch(rec.index, entry1 + 8 + nameLength - odd.size(), odd);
  const std::string listed = rec.files[1].substr(0, nameLength - odd.size());
  const auto raw = [](const std::string& text) {
    return std::count_if(text.begin(), text.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return (byte < 0x20 && c != '\n') || byte >= 0x7f;
    });
  };
  const ToolRun json = RunTool({"info", "--json", rec.index});
  const std::string jsonPath = listed + "\\ufffd\\ufffd\\u001b[31m";
  EXPECT_TRUE(Exits(json, 0,
                    {"\"file\": 1, \"path\": \"" + jsonPath + "\", \"listedPath\"",
                     "\"length\": 0, \"limit\": 600, \"exists\": false"}));
  EXPECT_EQ(raw(json.out), 0) << json.out;
  const std::string shown = listed + "\\xff\\xfe\\x1b[31m";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"info", rec.index}, {"verify", rec.index}}) {
    const ToolRun text = RunTool(arguments);
    EXPECT_TRUE(Has(text.out, "  MISSING   " + shown + "\n") ||
                Has(text.out, "data file 1 (" + shown + "): missing"))
        << text.out;
    EXPECT_EQ(raw(text.all()), 0) << text.all();
  }
}

TEST(CliUsage, WrongCommandLinesExitTwo) {
  QUILLBOX_SKIP_WITHOUT_TOOL();
  TempDir dir;  // Where a record that took a wrong command line would write.
  const std::string x = dir.File("x");
  // The last ones give negative numbers, which would wrap around in unsigned options.
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"info"}, {"frobnicate", "x"}, {"cat", "x.index", "0", "--location", "1,2,3,4"},
      {"cat", "x.index"}, {"cat", "x.index", "--location", "1,2,three,4"},
      {"record", x, "--packages", "0"}, {"record", ""},
      {"cat", "x.index", "--location", "1,2,3,4,5,6"}, {"cat", "x.index", "--location", "1,2,3,4,"},
      {"cat", "x.index", "--", "-1"}, {"record", x, "-n", "-1"}, {"record", x, "--writers", "-2"},
      {"record", x, "--items", "-5"}, {"record", x, "--item-size", "-16"},
      {"record", x, "--package-size", "-1"}, {"record", x, "--file-limit", "-1"},
      {"record", x, "--max-queued", "-1"}, {"record", x, "--callers", "-1"},
      {"record", x, "--duration", "-1"}, {"record", x, "--duration", "nan"}};
  for (const std::vector<std::string>& arguments : wrong) {
    std::string line;
    for (const std::string& argument : arguments) line += " " + argument;
    const ToolRun run = RunTool(arguments, 30);
    EXPECT_TRUE(Exits(run, 2)) << line;
    EXPECT_TRUE(run.out.empty() && !run.err.empty()) << line;
    EXPECT_FALSE(fs::exists(x)) << line;
  }
  EXPECT_TRUE(Exits(RunTool({"--help"}), 0, {"verify"}));
  const ToolRun version = RunTool({"--version"});
  EXPECT_TRUE(Exits(version, 0));
  EXPECT_EQ(version.out, std::string(QUILLBOX_VERSION_STRING) + "\n");
}

}  // namespace
}  // namespace qbx::test
