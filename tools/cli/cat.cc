// quillbox cat: a package's bytes (the payloads of its chain in order), or one item by
// its location, to standard output. Reads through a buffer of bounded size, never a
// whole block or file at once.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "report.h"
#include "terminal.h"

namespace qbx::cli {
namespace {

constexpr std::size_t kPiece = 1024 * 1024;
// Block headers are looked for through a smaller window: with large blocks, each header
// costs one read of this size.
constexpr std::size_t kHeaderWindow = 64 * 1024;

// An ItemLocation as given on the command line, with the item's length; its blockLen
// only when given.
struct Location {
  std::uint64_t pos = 0;
  std::uint32_t file = 0;
  std::uint32_t offsetInBlock = 0;
  std::uint64_t length = 0;
  std::optional<std::uint32_t> blockLen;
};

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, *value);
  return !text.empty() && error == std::errc() && at == end;
}

bool ParseLocation(const std::string& text, Location* location) {
  std::vector<std::string> fields(1);
  for (const char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() == 5) {
    location->blockLen.emplace();
    if (!ParseNumber(fields[4], &*location->blockLen)) return false;
  }
  return (fields.size() == 4 || fields.size() == 5) && ParseNumber(fields[0], &location->pos) &&
         ParseNumber(fields[1], &location->file) &&
         ParseNumber(fields[2], &location->offsetInBlock) &&
         ParseNumber(fields[3], &location->length);
}

// Copies `size` bytes at `position` of data file `file` to standard output. After
// complaining, kExitDamaged when a read fails and kExitCannotRead when the write does.
int Copy(const Recording& recording, std::uint32_t file, std::uint64_t position,
         std::uint64_t size, std::string& buffer) {
  for (std::uint64_t done = 0; done < size;) {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - done)));
    try {
      recording.Read(file, position + done, buffer.data(), buffer.size());
    } catch (const std::exception& e) {
      Complain(e.what());
      return kExitDamaged;
    }
    if (!WriteStdout(buffer.data(), buffer.size())) {
      Complain("Unable to write to standard output");
      return kExitCannotRead;
    }
    done += buffer.size();
  }
  return kExitOk;
}

int CatPackage(const Recording& recording, std::uint64_t package) {
  if (package >= recording.packageCount()) {
    Complain("No package " + std::to_string(package) + ": the recording has " +
             std::to_string(recording.packageCount()));
    return kExitCannotRead;
  }
  const RecordLookup record = recording.Record(package);
  if (record.fault) {
    Complain("Package " + std::to_string(package) + " is damaged: " +
             PlaceText(recording, record.fault->place) + ": " + record.fault->what);
    return kExitDamaged;
  }
  std::string buffer;
  int copied = kExitOk;
  const WalkResult walk =
      recording.Walk(record.image, record.place, WalkOptions{}, [&](const ChainBlock& block) {
        copied = Copy(recording, block.file, block.payloadPos(), block.header.payloadLen, buffer);
        return copied == kExitOk;
      });
  if (copied != kExitOk) return copied;
  if (walk.fault) {
    Complain("Package " + std::to_string(package) +
             " is damaged: " + PlaceText(recording, walk.fault->place) + ": " + walk.fault->what +
             "; the output ends there");
    return FinishOutput(kExitDamaged);
  }
  return FinishOutput(kExitOk);
}

// Whether a block of data file `file` starts at `headerPos` (below `end`): follows the
// blocks, which lie back to back, from offset 0, reading their headers through a window
// of bounded size (so the time grows with the file's size, the memory does not). A header that does not fit before `end` ends the search.
bool IsBlockStart(const Recording& recording, std::uint32_t file, std::uint64_t headerPos,
                  std::uint64_t end) {
  std::string window;
  std::uint64_t windowPos = 0;
  for (std::uint64_t pos = 0; pos < headerPos;) {
    if (end - pos < kBlockHeaderSize) return false;
    if (pos - windowPos + kBlockHeaderSize > window.size()) {
      window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kHeaderWindow, end - pos)));
      recording.Read(file, pos, window.data(), window.size());
      windowPos = pos;
    }
    const BlockHeader header = DecodeBlockHeader(window.data() + (pos - windowPos));
    if (header.payloadLen == 0 || header.payloadLen > end - pos - kBlockHeaderSize) return false;
    pos += kBlockHeaderSize + header.payloadLen;
    if (pos == headerPos) return true;
  }
  return headerPos == 0;
}

// The item lies in the block whose header is at pos - offsetInBlock - 16, wholly inside
// its payload; that block is one of the file's (found from offset 0), and its payload
// length is the location's blockLen when that is given.
int CatItem(const Recording& recording, const Location& location) {
  const auto fail = [](const std::string& what) {
    Complain("The location names no item: " + what);
    return kExitDamaged;
  };
  if (location.file == kInMemory || location.pos == kNoPosition) {
    return fail("it is not placed (the item was still in memory)");
  }
  if (!recording.IsBlockFile(location.file)) {
    return fail("data file " + std::to_string(location.file) +
                " is not a block file of the recording");
  }
  if (!recording.files()[location.file].exists()) {
    return fail("data file " + std::to_string(location.file) + " is missing");
  }
  if (location.pos < kBlockHeaderSize || location.pos - kBlockHeaderSize < location.offsetInBlock) {
    return fail("position " + std::to_string(location.pos) + " leaves no room for a block header " +
                std::to_string(location.offsetInBlock) + " bytes before it");
  }
  const std::uint64_t headerPos = location.pos - location.offsetInBlock - kBlockHeaderSize;
  const std::uint64_t end = recording.ExtentOf(location.file, Extent::kListed);
  const std::string where =
      "the block at " + PlaceText(recording, FaultPlace{false, location.file, headerPos});
  if (headerPos >= end || end - headerPos < kBlockHeaderSize) {
    return fail(where + " lies past " + recording.DescribeEnd(location.file, Extent::kListed));
  }
  char bytes[kBlockHeaderSize];
  try {
    recording.Read(location.file, headerPos, bytes, sizeof bytes);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitDamaged;
  }
  const BlockHeader header = DecodeBlockHeader(bytes);
  if (header.payloadLen > end - headerPos - kBlockHeaderSize) {
    return fail(where + " runs past " + recording.DescribeEnd(location.file, Extent::kListed));
  }
  if (location.blockLen && header.payloadLen != *location.blockLen) {
    return fail(where + " holds a payload of " + std::to_string(header.payloadLen) +
                " bytes, not the location's blockLen of " + std::to_string(*location.blockLen));
  }
  bool blockStart = false;
  try {
    blockStart = IsBlockStart(recording, location.file, headerPos, end);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitDamaged;
  }
  if (!blockStart) {
    return fail(where + " is not the start of a block");
  }
  if (location.offsetInBlock > header.payloadLen ||
      location.length > header.payloadLen - location.offsetInBlock) {
    return fail("the item (" + std::to_string(location.length) + " bytes at offset " +
                std::to_string(location.offsetInBlock) +
                " in its block) runs past the payload of " + where + " (" +
                std::to_string(header.payloadLen) + " bytes)");
  }
  std::string buffer;
  const int copied = Copy(recording, location.file, location.pos, location.length, buffer);
  return copied == kExitOk ? FinishOutput(kExitOk) : copied;
}

}  // namespace

int RunCat(const CatOptions& options) {
  Location location;
  const bool byLocation = !options.location.empty();
  if (byLocation == options.package.has_value()) {
    Complain("cat takes either a package number or --location POS,FILE,OFFSET,LEN[,BLOCKLEN]");
    return kExitCannotRead;
  }
  if (byLocation && !ParseLocation(options.location, &location)) {
    Complain("--location takes POS,FILE,OFFSET,LEN[,BLOCKLEN] (four or five decimal numbers), "
             "not " + options.location);
    return kExitCannotRead;
  }
  const std::unique_ptr<Recording> recording = OpenRecording(options.index);
  if (!recording) return kExitCannotRead;
  UseBinaryStdout();
  return byLocation ? CatItem(*recording, location) : CatPackage(*recording, *options.package);
}

}  // namespace qbx::cli
