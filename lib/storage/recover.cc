// Recovery walk and the new index. Chains are followed with Recording::Walk against the
// block starts of a scan of each file, and every block is claimed by one package only.
#include "storage/recover.h"

#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <utility>

#include "storage/index_format.h"

namespace qbx {
namespace {

constexpr std::uint64_t kNoPackage = ~std::uint64_t{0};

std::string Number(std::uint64_t value) { return std::to_string(value); }

// What a walk accepted: its first and last block and how much it reached.
struct Reach {
  std::uint64_t blocks = 0, bytes = 0;
  ChainBlock first, last;
  std::optional<Fault> end;  // Why the walk ended early; none at the chain's end.
};

// The record of a package that has no block (yet).
PackageImage EmptyRecord(std::uint64_t package) {
  PackageImage image;
  image.firstBlockPos = image.lastBlockPos = kNoPosition;
  image.packageId = package;
  return image;
}

// Runs one recovery over a recording. Confined to one thread.
class Recoverer {
 public:
  explicit Recoverer(const Recording& recording) : recording_(recording) {}

  Recovery Run() {
    ScanFiles();
    RecoverSavedPackages();
    RecoverLaterRecords();
    SizeFiles();
    return std::move(recovery_);
  }

 private:
  // The blocks of a block file, and which package's chain took each.
  struct FileBlocks {
    BlockScan scan;
    std::vector<std::uint64_t> owner;  // Parallel to scan.starts.
  };

  void ScanFiles() {
    const std::vector<RecordingFile>& files = recording_.files();
    blocks_.resize(files.size());
    recovery_.files.resize(files.size());
    for (std::uint32_t k = 0; k < files.size(); ++k) {
      RecoveredFile& out = recovery_.files[k];
      out.listedSize = files[k].listedSize;
      out.length = files[k].length;
      out.exists = files[k].exists();
      if (!recording_.IsBlockFile(k) || !files[k].exists()) continue;
      FileBlocks& fileBlocks = blocks_[k];
      fileBlocks.scan = recording_.ScanBlocks(k, Extent::kLength);
      fileBlocks.owner.assign(fileBlocks.scan.starts.size(), kNoPackage);
      out.tail = fileBlocks.scan.fault;
    }
  }

  // The index of the block starting at `pos` in the scan of `file`, or the count.
  std::size_t FindStart(std::uint32_t file, std::uint64_t pos) const {
    const std::vector<std::uint64_t>& starts = blocks_[file].scan.starts;
    const auto at = std::lower_bound(starts.begin(), starts.end(), pos);
    return at != starts.end() && *at == pos ? static_cast<std::size_t>(at - starts.begin())
                                            : starts.size();
  }

  // Whether a link may name `pos` of block file `file`: a block start of the scan. Past
  // the end of a scan that stopped early, the walk's own checks of the block decide:
  // within the listed size (damage that the saved state already had), just at the end
  // (a block cut off by the end of the file) and past the end of the file, so that the
  // fault names what is there.
  bool MayStart(std::uint32_t file, std::uint64_t pos) const {
    const BlockScan& scan = blocks_[file].scan;
    if (pos < scan.end) return FindStart(file, pos) != scan.starts.size();
    const RecordingFile& f = recording_.files()[file];
    return pos == scan.end || pos >= f.length || pos < f.listedSize;
  }

  // The package whose chain took the block, for a block that a chain may take.
  std::uint64_t& OwnerOf(std::uint32_t file, std::uint64_t pos) {
    const std::size_t k = FindStart(file, pos);
    if (k != blocks_[file].owner.size()) return blocks_[file].owner[k];
    return others_.try_emplace({file, pos}, kNoPackage).first->second;
  }

  // Walks the chain of `record` for `package`, taking each block it reaches. With
  // `savedOnly`, ends quietly after the record's last block, or before the first block
  // past the listed sizes.
  Reach Follow(const PackageImage& record, const FaultPlace& place, std::uint64_t package,
               bool savedOnly) {
    Reach reach;
    WalkOptions options;
    options.extent = Extent::kLength;
    options.stopAtLastBlock = false;
    options.isBlockStart = [this](std::uint32_t file, std::uint64_t pos) {
      return MayStart(file, pos);
    };
    std::optional<Fault> refused;
    const WalkResult walk = recording_.Walk(record, place, options, [&](const ChainBlock& block) {
      const std::uint64_t listed = recording_.files()[block.file].listedSize;
      if (savedOnly && block.headerPos >= listed) return false;
      const FaultPlace here{false, block.file, block.headerPos};
      const std::uint64_t end = block.payloadPos() + block.header.payloadLen;
      if (block.headerPos >= blocks_[block.file].scan.end && end > listed) {
        refused = Fault{here, "the block lies past the whole blocks found from the file's start"};
        return false;
      }
      std::uint64_t& owner = OwnerOf(block.file, block.headerPos);
      if (owner != kNoPackage && owner != package) {
        refused = Fault{here, "the block is in the chain of package " + Number(owner)};
        return false;
      }
      owner = package;
      if (reach.blocks == 0) reach.first = block;
      reach.last = block;
      ++reach.blocks;
      reach.bytes += block.header.payloadLen;
      return !(savedOnly && block.headerPos == record.lastBlockPos &&
               block.file == record.lastBlockFile);
    });
    reach.end = walk.stopped ? refused : walk.fault;
    return reach;
  }

  // The record in the package file's slot of `package`, when the slot lies whole
  // within the file.
  std::optional<PackageImage> ReadSlot(std::uint64_t package) const {
    if (!recording_.header().hasPackageFile || !recording_.files()[0].exists()) return {};
    const std::uint64_t length = recording_.files()[0].length;
    if (package >= length / kPackageRecordSize) return {};
    char bytes[kPackageRecordSize];
    try {
      recording_.Read(0, package * kPackageRecordSize, bytes, sizeof bytes);
    } catch (const std::exception&) {
      return {};
    }
    return DecodePackageImage(bytes);
  }

  // What makes a record of the package file unusable for `package`, if anything. Its
  // last block is not checked: a record parked after the Save may name one in a file
  // the index does not list, and only the first block is followed.
  std::optional<std::string> RecordProblem(const PackageImage& image,
                                           std::uint64_t package) const {
    if (image.packageId != package) {
      return "carries package number " + Number(image.packageId) + " instead of " +
             Number(package);
    }
    if ((image.firstBlockPos == kNoPosition) != (image.lastBlockPos == kNoPosition)) {
      return std::string("names a first or a last block without the other");
    }
    if (!IsBlockFileOf(image.firstBlockPos, image.firstBlockFile, recording_.files().size(),
                       recording_.header().hasPackageFile)) {
      return "names its first block in data file " + Number(image.firstBlockFile) +
             ", which is not a block file of the recording";
    }
    return std::nullopt;
  }

  // The record of a package of the old index: held in the index (its reader checked
  // it), or parked in the package file, where it may be newer than the index.
  RecordLookup SavedRecord(std::uint64_t package) const {
    if (!recording_.IsParked(package)) return recording_.Record(package);
    RecordLookup lookup;
    lookup.parked = true;
    lookup.place = FaultPlace{false, 0, package * kPackageRecordSize};
    const std::optional<PackageImage> slot = ReadSlot(package);
    if (!slot) {
      lookup.fault = Fault{lookup.place, "the record is parked in the package file, which "
                                         "does not hold it whole"};
    } else if (const std::optional<std::string> problem = RecordProblem(*slot, package)) {
      lookup.fault = Fault{lookup.place, "the record " + *problem};
    } else {
      lookup.image = *slot;
    }
    return lookup;
  }

  // The new record: the old one's first block and counters, the last block reached.
  static PackageImage Rebuild(const PackageImage& from, const Reach& reach,
                              std::uint64_t package) {
    PackageImage image = EmptyRecord(package);
    // A reloaded record resumes both job counters at the completed one.
    image.issuedJobs = image.completedJobs = from.completedJobs;
    if (reach.blocks == 0) return image;
    image.firstBlockPos = reach.first.headerPos;
    image.firstBlockFile = reach.first.file;
    image.firstBlockLen = from.firstBlockLen;
    image.lastBlockPos = reach.last.headerPos;
    image.lastBlockFile = reach.last.file;
    return image;
  }

  // The packages of the old index: each saved part is taken first, then every chain is
  // followed on past it.
  void RecoverSavedPackages() {
    const std::uint64_t count = recording_.packageCount();
    recovery_.savedPackages = count;
    recovery_.packages.resize(count);
    std::vector<PackageImage> records(count);
    std::vector<FaultPlace> places(count);
    std::vector<bool> usable(count, false);
    for (std::uint64_t n = 0; n < count; ++n) {
      RecoveredPackage& out = recovery_.packages[n];
      const RecordLookup lookup = SavedRecord(n);
      if (lookup.fault) {
        out.image = EmptyRecord(n);
        out.unreached = lookup.fault;
        continue;
      }
      records[n] = lookup.image;
      places[n] = lookup.place;
      usable[n] = true;
      // A package without a block at the Save may have been parked in the package
      // file since, with the first block it got then.
      if (records[n].firstBlockPos == kNoPosition) {
        const std::optional<PackageImage> slot = ReadSlot(n);
        if (slot && slot->firstBlockPos != kNoPosition && !RecordProblem(*slot, n)) {
          records[n] = *slot;
          places[n] = FaultPlace{false, 0, n * kPackageRecordSize};
          out.fromPackageFile = true;
        }
      }
      const Reach saved = Follow(records[n], places[n], n, true);
      out.savedBlocks = saved.blocks;
      out.savedBytes = saved.bytes;
    }
    for (std::uint64_t n = 0; n < count; ++n) {
      if (!usable[n]) continue;
      RecoveredPackage& out = recovery_.packages[n];
      const Reach reach = Follow(records[n], places[n], n, false);
      out.blocks = reach.blocks;
      out.bytes = reach.bytes;
      out.unreached = reach.end;
      out.image = Rebuild(records[n], reach, n);
      // A saved part that the full walk did not reach again (only when another chain
      // took a block first) is not counted as saved.
      out.savedBlocks = std::min(out.savedBlocks, out.blocks);
      out.savedBytes = std::min(out.savedBytes, out.bytes);
    }
  }

  // The records parked in the package file for packages made after the Save, in order,
  // up to the first that cannot be used.
  void RecoverLaterRecords() {
    if (!recording_.header().hasPackageFile || !recording_.files()[0].exists()) return;
    const std::uint64_t slots = recording_.files()[0].length / kPackageRecordSize;
    for (std::uint64_t n = recording_.packageCount(); n < slots; ++n) {
      const FaultPlace place{false, 0, n * kPackageRecordSize};
      const auto refuse = [&](const std::string& what) {
        recovery_.recordsLeft = slots - n;
        recovery_.recordsEnd = Fault{place, "the record of package " + Number(n) + " " + what};
      };
      const std::optional<PackageImage> slot = ReadSlot(n);
      if (!slot) return refuse("cannot be read");
      if (slot->packageId != n) {
        return refuse(
            "is not in the package file (its place holds a placeholder, or the record of "
            "package " + Number(slot->packageId) + "): it was never parked there");
      }
      if (const std::optional<std::string> problem = RecordProblem(*slot, n)) {
        return refuse(*problem);
      }
      RecoveredPackage out;
      out.fromPackageFile = true;
      if (slot->firstBlockPos != kNoPosition) {
        const Reach reach = Follow(*slot, place, n, false);
        if (reach.blocks == 0) {
          return refuse("names a first block that does not verify: " +
                        (reach.end ? reach.end->what : std::string("no block")));
        }
        out.blocks = reach.blocks;
        out.bytes = reach.bytes;
        out.unreached = reach.end;
        out.image = Rebuild(*slot, reach, n);
      } else {
        out.image = Rebuild(*slot, Reach{}, n);
      }
      recovery_.packages.push_back(out);
    }
  }

  void SizeFiles() {
    const std::vector<RecordingFile>& files = recording_.files();
    for (std::uint32_t k = 0; k < files.size(); ++k) {
      RecoveredFile& out = recovery_.files[k];
      out.size = out.listedSize;
      if (files[k].isPackageFile) {
        out.size = std::max(out.size, recovery_.packages.size() * kPackageRecordSize);
      } else if (files[k].exists()) {
        out.size = std::max(out.size, blocks_[k].scan.end);
      }
      if (out.size >= out.length) out.tail.reset();
    }
  }

  const Recording& recording_;
  std::vector<FileBlocks> blocks_;  // Per listed file; empty for all but block files.
  // Blocks past the end of a scan that stopped early, by file and position.
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint64_t> others_;
  Recovery recovery_;
};

}  // namespace

bool Recovery::Complete() const {
  for (const RecoveredFile& file : files) {
    if (!file.exists || file.length < file.listedSize) return false;
  }
  for (const RecoveredPackage& package : packages) {
    if (package.unreached) return false;
  }
  return !recordsEnd;
}

Recovery RecoverRecording(const Recording& recording) { return Recoverer(recording).Run(); }

std::string EncodeRecoveredIndex(const Recording& recording, const Recovery& recovery) {
  IndexHeader header;
  header.packageSize = recording.header().packageSize;
  header.packageCounter = recovery.packages.size();
  header.hasPackageFile = recording.header().hasPackageFile;
  header.fileCount = recording.files().size();
  std::string bytes(kIndexHeaderSize, '\0');
  EncodeIndexHeader(header, bytes.data());
  for (std::size_t k = 0; k < recording.files().size(); ++k) {
    const RecordingFile& file = recording.files()[k];
    // Where the file was found, as an absolute path: a moved recording lists its old
    // paths, and the new index may lie in another folder than the old one.
    const std::string name = file.exists() ? AbsolutePath(file.path) : file.listedName;
    bytes += EncodeFileEntry(name, recovery.files.at(k).size, file.maxSize);
  }
  char count[8];
  PutFixed64(count, recovery.packages.size());
  bytes.append(count, sizeof count);
  for (const RecoveredPackage& package : recovery.packages) {
    bytes += EncodeHeldEntry(package.image);
  }
  return bytes;
}

void RefuseRecoveredIndexPath(const Recording& recording, const std::string& path) {
  if (SameFile(path, recording.indexPath())) {
    throw std::runtime_error("The new index would replace the index it recovers: " + path);
  }
  for (const RecordingFile& file : recording.files()) {
    if (file.exists() && SameFile(path, file.path)) {
      throw std::runtime_error("The new index would replace a data file of the recording: " +
                               path);
    }
  }
}

bool WriteRecoveredIndex(const Recording& recording, const Recovery& recovery,
                         const std::string& path) {
  RefuseRecoveredIndexPath(recording, path);
  const std::string bytes = EncodeRecoveredIndex(recording, recovery);
  // The new index covers bytes that the ended process may have left in the system's
  // cache only; it must not reach the disk before them.
  bool durable = true;
  for (const RecordingFile& file : recording.files()) {
    if (file.exists() && !SyncFile(file.handle)) durable = false;
  }
  TemporaryIndex temporary(path);
  IndexWriter writer(temporary.handle());
  writer.Put(bytes.data(), bytes.size());
  writer.Finish();
  temporary.Commit(path);
  return durable;
}

}  // namespace qbx
