// Read-only access to a saved recording: the index read whole through its checked
// decoder, data files opened read-only, and walks that stop at the first fault.
#include "storage/recording.h"

#include <algorithm>
#include <set>
#include <utility>

#include "storage/data_file.h"

namespace qbx {
namespace {

// A block scan reads headers through a window of this size, so that the many small
// blocks of a file cost one read per window, and a large block one read of its header.
constexpr std::size_t kScanWindow = 64 * 1024;

std::string Number(std::uint64_t value) { return std::to_string(value); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Reads the headers of a file in ascending order through one window.
class HeaderWindow {
 public:
  HeaderWindow(const Recording& recording, std::uint32_t file, std::uint64_t end)
      : recording_(recording), file_(file), end_(end) {}

  // The header at `pos`; its 16 bytes lie below the end. Throws when the read fails.
  BlockHeader At(std::uint64_t pos) {
    if (pos < start_ || pos - start_ + kBlockHeaderSize > bytes_.size()) {
      bytes_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kScanWindow, end_ - pos)));
      start_ = pos;
      recording_.Read(file_, pos, bytes_.data(), bytes_.size());
    }
    return DecodeBlockHeader(bytes_.data() + (pos - start_));
  }

 private:
  const Recording& recording_;
  const std::uint32_t file_;
  const std::uint64_t end_;
  std::uint64_t start_ = 0;  // Of the window in the file.
  std::string bytes_;
};

}  // namespace

Recording::Recording(const std::string& indexPath) : indexPath_(indexPath) {
  try {
    OpenIndex(indexPath);
  } catch (...) {
    CloseFiles();  // No destructor runs for an object that was never made.
    throw;
  }
}

Recording::~Recording() { CloseFiles(); }

void Recording::CloseFiles() {
  for (RecordingFile& file : files_) {
    if (file.handle != kNoFile) CloseFile(file.handle);  // Read-only: nothing can be lost.
    file.handle = kNoFile;
  }
}

void Recording::OpenIndex(const std::string& indexPath) {
  bool exists = false;
  try {
    exists = IsRegularFile(indexPath);
  } catch (const std::exception&) {  // A path that is not UTF-8 names no file.
  }
  if (!exists) throw RecordingError("No index file at " + indexPath);
  const FileHandle index = OpenFile(indexPath, OpenMode::kRead);
  std::uint64_t length = 0;
  if (index == kNoFile || !FileLength(index, &length)) {
    if (index != kNoFile) CloseFile(index);
    throw RecordingError("Unable to open index file " + indexPath);
  }
  IndexContents contents;
  try {
    if (length < kTypeMarkerSize) {
      throw RecordingError(std::string(length == 0 ? "Empty file" : "File too short") +
                           ", not a Quillbox index: " + indexPath);
    }
    IndexReader reader(index, length);
    contents = ReadIndexContents(reader);
  } catch (const RecordingError&) {
    CloseFile(index);
    throw;
  } catch (const std::exception& e) {
    CloseFile(index);
    const std::string what = e.what();
    const std::string damaged = "Damaged index file: ";
    if (StartsWith(what, "Filetype mismatch")) {
      throw RecordingError("Not a Quillbox index file (it does not begin with \"" +
                           std::string(kTypeMarker) + "\"): " + indexPath);
    }
    if (StartsWith(what, damaged)) {
      throw RecordingError("Damaged index file (" + what.substr(damaged.size()) +
                           "): " + indexPath);
    }
    throw RecordingError("Unable to read index file " + indexPath);
  }
  CloseFile(index);

  header_ = contents.header;
  indexEndsInsideHeader_ = contents.endsInsideHeader;
  OpenDataFiles(contents.files);
  // Where each package entry lies in the index, for messages about held records.
  std::uint64_t at = kIndexHeaderSize;
  for (const IndexFileEntry& file : contents.files) at += kFileEntryFixedSize + file.storedLength;
  at += 8;  // The package count.
  packages_.reserve(contents.packages.size());
  for (const IndexPackageEntry& entry : contents.packages) {
    PackageEntry package;
    package.parked = entry.parked;
    package.entryOffset = at;
    package.recordOffset = entry.offset;
    package.image = entry.image;
    packages_.push_back(package);
    at += entry.parked ? kParkedEntrySize : kHeldEntrySize;
  }
}

void Recording::OpenDataFiles(const std::vector<IndexFileEntry>& entries) {
  const std::string indexFolder = FolderOf(indexPath_);
  // As Import does: a listed path that exists is used as it is; otherwise the file is
  // looked for below the index's folder. A file that an earlier entry took is not taken
  // again, since files of different folders may share a name.
  std::set<std::string> taken;
  const auto available = [&taken](const std::string& path) {
    try {
      return IsRegularFile(path) && taken.count(FileKey(path)) == 0;
    } catch (const std::exception&) {
      return false;
    }
  };
  files_.reserve(entries.size());
  for (const IndexFileEntry& entry : entries) {
    RecordingFile file;
    file.listedName = entry.name;
    file.listedSize = entry.size;
    file.maxSize = entry.maxSize;
    file.isPackageFile = header_.hasPackageFile && files_.empty();
    file.path =
        available(entry.name) ? entry.name : FindMovedFile(indexFolder, entry.name, available);
    if (!file.path.empty()) {
      file.handle = OpenFile(file.path, OpenMode::kRead);
      if (file.handle != kNoFile && !FileLength(file.handle, &file.length)) {
        CloseFile(file.handle);
        file.handle = kNoFile;
      }
      if (file.handle == kNoFile) {
        file.path.clear();
      } else {
        taken.insert(FileKey(file.path));
      }
    }
    files_.push_back(std::move(file));
  }
}

bool Recording::IsBlockFile(std::uint32_t file) const {
  return file < files_.size() && !files_[file].isPackageFile;
}

std::uint64_t Recording::ExtentOf(std::uint32_t file, Extent extent) const {
  const RecordingFile& f = files_.at(file);
  if (!f.exists()) return 0;
  return extent == Extent::kListed ? std::min(f.listedSize, f.length) : f.length;
}

std::string Recording::DescribeEnd(std::uint32_t file, Extent extent) const {
  const RecordingFile& f = files_.at(file);
  if (extent == Extent::kListed && f.length >= f.listedSize) {
    return "the size the index lists (" + Number(f.listedSize) + " bytes)";
  }
  if (extent == Extent::kListed) {
    return "the end of the file (" + Number(f.length) + " bytes; the index lists " +
           Number(f.listedSize) + ")";
  }
  return "the end of the file (" + Number(f.length) + " bytes)";
}

void Recording::Read(std::uint32_t file, std::uint64_t position, void* data,
                     std::size_t size) const {
  const RecordingFile& f = files_.at(file);
  if (size != 0 && (!f.exists() || !CanPosition(position) ||
                    qbx::ReadAt(f.handle, position, data, size) != size)) {
    throw std::runtime_error("Unable to read data " + (f.exists() ? f.path : f.listedName));
  }
}

RecordLookup Recording::Record(std::uint64_t package, Extent extent) const {
  const PackageEntry& entry = packages_.at(package);
  RecordLookup lookup;
  lookup.parked = entry.parked;
  if (!entry.parked) {
    lookup.image = entry.image;  // The index's reader checked its number and files.
    lookup.place = FaultPlace{true, 0, entry.entryOffset + 1};
    return lookup;
  }
  lookup.place = FaultPlace{false, 0, entry.recordOffset};
  const auto fail = [&](const std::string& what) {
    lookup.fault = Fault{lookup.place, what};
    return lookup;
  };
  // The index's reader made sure that there is a package file when a record is parked.
  if (!files_[0].exists()) {
    return fail("the record is parked in the package file, which is missing");
  }
  const std::uint64_t end = ExtentOf(0, extent);
  if (entry.recordOffset > end || end - entry.recordOffset < kPackageRecordSize) {
    return fail("the record lies past " + DescribeEnd(0, extent));
  }
  char bytes[kPackageRecordSize];
  try {
    Read(0, entry.recordOffset, bytes, sizeof bytes);
  } catch (const std::exception&) {
    return fail("unable to read the record");
  }
  lookup.image = DecodePackageImage(bytes);
  const PackageImage& image = lookup.image;
  if (image.packageId != package) {
    return fail("the record carries package number " + Number(image.packageId) + " instead of " +
                Number(package));
  }
  // A record parked again after the Save may name blocks in files made since, which
  // the index does not list.
  const std::uint64_t count = files_.size();
  const auto blockFileOrLater = [&](std::uint64_t pos, std::uint32_t file) {
    return file >= count || IsBlockFileOf(pos, file, count, header_.hasPackageFile);
  };
  if (!blockFileOrLater(image.firstBlockPos, image.firstBlockFile)) {
    return fail("the record's first block is in data file " + Number(image.firstBlockFile) +
                ", which is not a block file of the recording");
  }
  if (!blockFileOrLater(image.lastBlockPos, image.lastBlockFile)) {
    return fail("the record's last block is in data file " + Number(image.lastBlockFile) +
                ", which is not a block file of the recording");
  }
  return lookup;
}

std::optional<Fault> Recording::CheckLink(const FaultPlace& from, bool fromRecord,
                                          std::uint64_t pos, std::uint32_t file,
                                          const std::vector<std::uint64_t>& passed,
                                          const WalkOptions& options) const {
  const std::string target =
      (fromRecord ? "the record's first block is at offset " : "the link names offset ") +
      Number(pos) + " of data file " + Number(file);
  const auto fault = [&](const std::string& why) {
    return std::optional<Fault>(Fault{from, target + ", " + why});
  };
  if (file >= files_.size()) {
    return fault("which the index does not list (it lists " + Number(files_.size()) + ")");
  }
  if (files_[file].isPackageFile) return fault("the package file, which holds no blocks");
  if (!files_[file].exists()) {
    return fault("which is missing (listed as " + files_[file].listedName + ")");
  }
  if (pos < passed[file]) {
    return fault(
        "which is not past the package's previous block in that file (a link "
        "backwards, or a loop)");
  }
  if (options.isBlockStart && !options.isBlockStart(file, pos)) {
    return fault("which is not the start of a block");
  }
  return std::nullopt;
}

bool Recording::IsPastTheSave(std::uint64_t pos, std::uint32_t file) const {
  if (pos == kNoPosition) return false;
  if (file >= files_.size()) return true;
  return !files_[file].isPackageFile && pos >= files_[file].listedSize;
}

// Blocks stored after the Save were appended past the listed sizes, or to files that
// the index does not list, so the link of the chain's last block may name only such a
// place.
std::optional<Fault> Recording::CheckEndOfSave(const ChainBlock& block) const {
  const BlockHeader& header = block.header;
  if (header.nextBlockPos == kNoPosition || header.nextBlockFile >= files_.size()) {
    return std::nullopt;
  }
  const FaultPlace place{false, block.file, block.headerPos};
  const std::string target = "the record's last block links to offset " +
                             Number(header.nextBlockPos) + " of data file " +
                             Number(header.nextBlockFile);
  if (files_[header.nextBlockFile].isPackageFile) {
    return Fault{place, target + ", the package file, which holds no blocks"};
  }
  if (!IsPastTheSave(header.nextBlockPos, header.nextBlockFile)) {
    return Fault{place, target +
                            ", inside the bytes the index covers: the chain does not "
                            "end where the record says"};
  }
  return std::nullopt;
}

WalkResult Recording::Walk(const PackageImage& record, const FaultPlace& recordPlace,
                           const WalkOptions& options,
                           const std::function<bool(const ChainBlock&)>& visit) const {
  WalkResult result;
  const bool hasFirst = record.firstBlockPos != kNoPosition;
  const bool hasLast = record.lastBlockPos != kNoPosition;
  if (hasFirst != hasLast) {
    result.fault =
        Fault{recordPlace, hasFirst ? "the record names a first block but no last block"
                                    : "the record names a last block but no first block"};
    return result;
  }
  // A package's blocks lie in ascending order within each file and never overlap, so
  // each must start at or past the end of the package's previous block in its file.
  // That finds every loop, and bounds a walk by the blocks the files can hold.
  std::vector<std::uint64_t> passed(files_.size(), 0);
  // A record in the package file may have been parked again after the Save, once its
  // package had more blocks; its last block then lies past the Save. What the Save
  // covers of its chain ends before the first block stored since.
  const bool parkedSince = options.stopAtLastBlock && !recordPlace.inIndex &&
                           IsPastTheSave(record.lastBlockPos, record.lastBlockFile);
  FaultPlace from = recordPlace;
  bool fromRecord = true;
  std::uint64_t pos = record.firstBlockPos;
  std::uint32_t file = record.firstBlockFile;
  while (pos != kNoPosition) {
    if (parkedSince && IsPastTheSave(pos, file)) return result;
    if ((result.fault = CheckLink(from, fromRecord, pos, file, passed, options))) return result;
    const FaultPlace here{false, file, pos};
    const std::uint64_t end = ExtentOf(file, options.extent);
    if (pos >= end || end - pos < kBlockHeaderSize) {
      result.fault = Fault{here, std::string(pos >= end ? "the block lies past "
                                                        : "the block's header is cut off by ") +
                                     DescribeEnd(file, options.extent)};
      return result;
    }
    ChainBlock block{file, pos, {}};
    try {
      char bytes[kBlockHeaderSize];
      Read(file, pos, bytes, sizeof bytes);
      block.header = DecodeBlockHeader(bytes);
    } catch (const std::exception&) {
      result.fault = Fault{here, "unable to read the block's header"};
      return result;
    }
    const std::uint32_t length = block.header.payloadLen;
    if (length == 0) {
      result.fault = Fault{here, "the block's payload length is 0"};
      return result;
    }
    if (length > end - pos - kBlockHeaderSize) {
      result.fault = Fault{here, "the block's payload of " + Number(length) + " bytes runs past " +
                                     DescribeEnd(file, options.extent)};
      return result;
    }
    ++result.blocks;
    result.bytes += length;
    if (visit && !visit(block)) {
      result.stopped = true;
      return result;
    }
    passed[file] = pos + kBlockHeaderSize + length;
    if (options.stopAtLastBlock) {
      if (pos == record.lastBlockPos && file == record.lastBlockFile) {
        result.fault = CheckEndOfSave(block);
        return result;
      }
      if (block.header.nextBlockPos == kNoPosition) {
        result.fault =
            Fault{here, "the chain ends at this block, but the record's last block is at offset " +
                            Number(record.lastBlockPos) + " of data file " +
                            Number(record.lastBlockFile)};
        return result;
      }
    }
    from = here;
    fromRecord = false;
    pos = block.header.nextBlockPos;
    file = block.header.nextBlockFile;
  }
  return result;
}

BlockScan Recording::ScanBlocks(std::uint32_t file, Extent extent,
                                const std::function<void(std::uint64_t)>& progress) const {
  BlockScan scan;
  if (!IsBlockFile(file) || !files_[file].exists()) return scan;
  const std::uint64_t end = ExtentOf(file, extent);
  HeaderWindow window(*this, file, end);
  std::uint64_t reported = 0;
  std::uint64_t pos = 0;
  while (pos < end) {
    const FaultPlace here{false, file, pos};
    if (end - pos < kBlockHeaderSize) {
      scan.fault = Fault{here, "a block's header is cut off by " + DescribeEnd(file, extent)};
      break;
    }
    BlockHeader header;
    try {
      header = window.At(pos);
    } catch (const std::exception&) {
      scan.fault = Fault{here, "unable to read the block's header"};
      break;
    }
    if (header.payloadLen == 0) {
      scan.fault = Fault{here, "the block's payload length is 0"};
      break;
    }
    if (header.payloadLen > end - pos - kBlockHeaderSize) {
      scan.fault = Fault{here, "the block's payload of " + Number(header.payloadLen) +
                                   " bytes runs past " + DescribeEnd(file, extent)};
      break;
    }
    scan.starts.push_back(pos);
    pos += kBlockHeaderSize + header.payloadLen;
    if (progress && pos - reported >= kScanWindow) {
      reported = pos;
      progress(pos);
    }
  }
  scan.end = pos;
  return scan;
}

}  // namespace qbx
