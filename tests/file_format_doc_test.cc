// doc/file_format.md describes the files of a recording and shows every file of a small
// example recording as an annotated hex dump. This test makes exactly that recording and
// compares each dump with the bytes the library wrote; then it reads the recording back
// the way the document tells a reader in another language to, from the bytes alone.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "read_support.h"

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree, where doc/file_format.md lies"
#endif

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

const char kDocPath[] = QUILLBOX_SOURCE_DIR "/doc/file_format.md";

// The example's files, by the relative names the recording gives them.
const char kPackageFile[] = "rec/package-file";
const char kDataFile[] = "rec/data-1";
const char kFirstIndex[] = "rec/recording.qbx";

// The example's items in the order they are stored, with the location each must get.
struct Item {
  std::uint64_t package;
  const char* bytes;
  ItemLocation want;  // pos, file, offsetInBlock, blockLen
};
const Item kItems[] = {
    {0, "hello", {16, 1, 0, 11}},
    {1, "abc", {43, 1, 0, 8}},
    {0, "world!", {21, 1, 5, 11}},
    {1, "defgh", {46, 1, 3, 8}},
    {0, "box", {67, 1, 0, 3}},
};
const char* const kPackageBytes[] = {"helloworld!box", "abcdefgh"};

// The example runs in its own folder (WorkingFolder) with relative names, so that the
// file names stored in the indexes, and with them every byte, are the same on every
// machine. MakeRecording makes it there, as the document tells how. Every step that
// could move a block or a record is awaited before the next one, so the files come out
// the same on every run.
void MakeRecording(std::vector<ItemLocation>* locations) {
  ASSERT_TRUE(fs::create_directory("rec"));
  Db db(8, 16, "rec");  // Destroyed while the working folder is still current.
  db.AddThread("rec");
  ASSERT_EQ(db.AddPackage(), 0u);
  ASSERT_EQ(db.AddPackage(), 1u);
  locations->assign(std::size(kItems), ItemLocation{});
  for (std::size_t i = 0; i < std::size(kItems); ++i) {
    const Item& item = kItems[i];
    ASSERT_EQ(Quillbox_Store(item.package, std::strlen(item.bytes), item.bytes,
                             &(*locations)[i], db.get()), 0);
    // The items that fill a package hand a block to the writer thread; the package's
    // next item is stored only once that block is written and linked.
    if (i == 2 || i == 3) {
      ASSERT_EQ(Quillbox_SynchronizePackage(item.package, db.get()), 0);
    }
  }
  ASSERT_EQ(Quillbox_SynchronizePackage(0, db.get()), 0);  // "box" forms a block of its own.
  ASSERT_EQ(Quillbox_RelocateFileTo(0, kPackageFile, 1, db.get()), 0);
  ASSERT_EQ(Quillbox_RelocateFileTo(1, kDataFile, 1, db.get()), 0);
  ASSERT_EQ(Quillbox_Save(kFirstIndex, db.get()), 0);
  db.Destroy();
  // Even with no room in the queue, an import keeps the records in memory and writes
  // nothing: the dumps below show the files as the first database left them.
  Imported(kFirstIndex, 0);
}

char AsciiOf(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7f && byte != '|' ? static_cast<char>(byte) : '.';
}

// `bytes` as dump lines of 16 bytes, in the document's line format, for a failure
// message from which the document can be brought up to date.
std::string PlainDump(const std::string& bytes) {
  std::string out;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "%04lx ", static_cast<unsigned long>(at));
    std::string hex, ascii;
    for (std::size_t i = at; i < bytes.size() && i < at + 16; ++i) {
      char pair[4];
      std::snprintf(pair, sizeof pair, " %02x", static_cast<unsigned char>(bytes[i]));
      hex += pair;
      ascii += AsciiOf(static_cast<unsigned char>(bytes[i]));
    }
    hex.resize(16 * 3, ' ');
    out += offset + hex + "  |" + ascii + "|\n";
  }
  return out;
}

// Parses one dump line: a hex offset, the bytes as two-digit hex pairs, then their ASCII
// between bars ('.' for bytes that are not printable, and for '|'), then the field's
// description. The offset must continue the bytes before it, and the ASCII must match;
// a line that does not is a failure of the test.
void ParseDumpLine(const std::string& line, std::string* dump) {
  std::istringstream words(line);
  std::string offset, word;
  words >> offset;
  const auto fail = [&](const std::string& why) { ADD_FAILURE() << why << ": " << line; };
  const auto hex = [](const std::string& text) {
    return !text.empty() && text.size() <= 8 &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
  };
  if (!hex(offset)) return fail("no hex offset");
  const unsigned long long at = std::stoull(offset, nullptr, 16);
  std::string bytes;
  while (words >> word && word[0] != '|') {
    if (word.size() != 2 || !hex(word)) return fail("not a hex byte: '" + word + "'");
    bytes += static_cast<char>(std::stoi(word, nullptr, 16));
  }
  const std::size_t open = line.find('|');
  const std::size_t close = open == std::string::npos ? open : line.find('|', open + 1);
  if (bytes.empty() || close == std::string::npos) return fail("no bytes, or no ASCII column");
  std::string ascii;
  for (char c : bytes) ascii += AsciiOf(static_cast<unsigned char>(c));
  // A line that disagrees with itself still adds its bytes, so that the lines after it
  // are checked on their own.
  if (at != dump->size()) fail("offset does not continue the dump");
  if (line.compare(open + 1, close - open - 1, ascii) != 0) fail("ASCII column differs");
  *dump += bytes;
}

// The dumps of the document by file name: each is a fenced block opened by
// "```hex file=NAME".
std::map<std::string, std::string> ReadDocDumps() {
  std::ifstream doc(kDocPath);
  EXPECT_TRUE(doc.is_open()) << kDocPath;
  std::map<std::string, std::string> dumps;
  const std::string opener = "```hex file=";
  std::string* current = nullptr;
  for (std::string line; std::getline(doc, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (current == nullptr) {
      if (line.rfind(opener, 0) == 0) {
        const std::string name = line.substr(opener.size());
        EXPECT_EQ(dumps.count(name), 0u) << "two dumps of " << name;
        current = &dumps[name];
      }
    } else if (line.rfind("```", 0) == 0) {
      current = nullptr;
    } else if (!line.empty()) {
      ParseDumpLine(line, current);
    }
  }
  EXPECT_EQ(current, nullptr) << "a dump is not closed";
  return dumps;
}

// The `width` bytes at `at`, little-endian.
std::uint64_t LeAt(const std::string& bytes, std::size_t at, int width = 8) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  }
  return value;
}

// A reader of a recording written from the document alone: it decodes the index, then
// follows each package's chain from its record through the data files.
struct DocReader {
  std::vector<std::string> files;      // Each data file's bytes, up to its listed size.
  std::vector<std::string> packages;   // Each package's bytes in store order.

  explicit DocReader(const std::string& index) {
    if (index.compare(0, 8, "Quillbox") != 0) throw std::runtime_error("marker");
    if (LeAt(index, 8, 4) != 1 || LeAt(index, 12, 4) != 0) throw std::runtime_error("format words");
    const std::uint64_t packageCounter = LeAt(index, 24);
    const bool hasPackageFile = index.at(32) == 1;
    const std::uint64_t fileCount = LeAt(index, 33);
    std::size_t at = 41;
    for (std::uint64_t k = 0; k < fileCount; ++k) {
      const std::uint64_t nameLength = LeAt(index, at);
      const std::string name = index.substr(at + 8, nameLength);
      const std::uint64_t size = LeAt(index, at + 8 + nameLength);
      if (index.at(at + 24 + nameLength) != 1) throw std::runtime_error("keep flag");
      files.push_back(ReadWholeFile(name).substr(0, size));
      if (files.back().size() != size) throw std::runtime_error("file shorter than listed");
      at += 25 + nameLength;
    }
    const std::uint64_t packageCount = LeAt(index, at);
    if (packageCount != packageCounter) throw std::runtime_error("package count");
    at += 8;
    for (std::uint64_t n = 0; n < packageCount; ++n) {
      std::string record;
      if (index.at(at) == 1) {
        if (!hasPackageFile) throw std::runtime_error("parked without a package file");
        record = files.at(0).substr(LeAt(index, at + 1), 44);
        at += 9;
      } else {
        record = index.substr(at + 1, 44);
        at += 45;
      }
      if (record.size() != 44 || LeAt(record, 32) != n) throw std::runtime_error("record");
      packages.push_back(ReadChain(LeAt(record, 0), LeAt(record, 8, 4)));
    }
    if (at != index.size()) throw std::runtime_error("bytes after the last package entry");
  }

  std::string ReadChain(std::uint64_t pos, std::uint32_t file) const {
    std::string bytes;
    while (pos != ~0ull) {
      const std::string& data = files.at(file);
      if (pos + 16 > data.size() || pos + 16 + LeAt(data, pos + 12, 4) > data.size()) {
        break;  // A block that is not wholly in its file ends the chain.
      }
      bytes += data.substr(pos + 16, LeAt(data, pos + 12, 4));
      const std::uint64_t next = LeAt(data, pos);
      file = static_cast<std::uint32_t>(LeAt(data, pos + 8, 4));
      pos = next;
    }
    return bytes;
  }
};

// Then the example's index, which holds the package records, read back with the
// document's reading procedure alone; and each item found through its location as the
// document describes.
TEST(FileFormatDoc, HexDumpsAreTheBytesTheLibraryWritesAndReadBackAsDocumented) {
  TempDir dir;
  WorkingFolder inside(dir.path());
  std::vector<ItemLocation> locations;
  ASSERT_NO_FATAL_FAILURE(MakeRecording(&locations));
  std::map<std::string, std::string> written;
  for (const char* name : {kPackageFile, kDataFile, kFirstIndex}) {
    written[name] = ReadWholeFile(name);
  }

  const std::map<std::string, std::string> dumps = ReadDocDumps();
  for (const auto& [name, dump] : dumps) {
    EXPECT_EQ(written.count(name), 1u)
        << "the document dumps " << name << ", which the example does not write";
  }
  for (const auto& [name, bytes] : written) {
    SCOPED_TRACE(name);
    const auto found = dumps.find(name);
    if (found == dumps.end()) {
      ADD_FAILURE() << "no dump of " << name << " in " << kDocPath << "; the file holds:\n"
                    << PlainDump(bytes);
      continue;
    }
    EXPECT_TRUE(found->second == bytes)
        << "the dump of " << name << " differs from the file, which holds:\n"
        << PlainDump(bytes);
  }

  // The locations the document gives for the example's items.
  for (std::size_t i = 0; i < std::size(kItems); ++i) {
    SCOPED_TRACE(kItems[i].bytes);
    const ItemLocation& at = locations[i];
    const ItemLocation& want = kItems[i].want;
    // Copies: the fields of the packed structure may lie off their alignment.
    EXPECT_EQ(std::uint64_t{at.pos}, std::uint64_t{want.pos});
    EXPECT_EQ(std::uint32_t{at.file}, std::uint32_t{want.file});
    EXPECT_EQ(std::uint32_t{at.offsetInBlock}, std::uint32_t{want.offsetInBlock});
    EXPECT_EQ(std::uint32_t{at.blockLen}, std::uint32_t{want.blockLen});
  }
  try {
    const DocReader reader(written[kFirstIndex]);
    ASSERT_EQ(reader.packages.size(), std::size(kPackageBytes));
    for (std::size_t n = 0; n < reader.packages.size(); ++n) {
      EXPECT_EQ(reader.packages[n], kPackageBytes[n]) << "package " << n;
    }
    // The bytes at those locations, as a reader following the document finds them.
    for (std::size_t i = 0; i < std::size(kItems); ++i) {
      SCOPED_TRACE(kItems[i].bytes);
      const ItemLocation& at = locations[i];
      const std::string& data = reader.files.at(at.file);
      EXPECT_EQ(LeAt(data, at.pos - 16 - at.offsetInBlock + 12, 4), std::uint32_t{at.blockLen})
          << "header";
      EXPECT_EQ(data.substr(at.pos, std::strlen(kItems[i].bytes)), kItems[i].bytes);
    }
  } catch (const std::exception& failure) {
    ADD_FAILURE() << "the reader failed: " << failure.what();
  }
}

}  // namespace
}  // namespace qbx::test
