// A saved recording opened for reading only: its index, its data files, each package's
// record and a walk along a package's chain of blocks that ends at the first fault and
// says in which file and at which offset it lies. Every file is opened read-only and
// nothing is ever written. Memory does not grow with the data: a walk reads one block
// header at a time, and it cannot loop, since a package's blocks lie in ascending order
// within each file.
#ifndef QUILLBOX_STORAGE_RECORDING_H_
#define QUILLBOX_STORAGE_RECORDING_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/format.h"
#include "storage/index_format.h"

namespace qbx {

// The index of a recording cannot be read: it is missing, unreadable, not an index
// file, or cut short or damaged. The message ends with the index's path.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One data file: as the index lists it, and as it was found on disk.
struct RecordingFile {
  std::string listedName;        // The path the index lists.
  std::string path;              // Where the file was found; empty when it is missing.
  std::uint64_t listedSize = 0;  // Bytes the index covers.
  std::uint64_t maxSize = 0;     // The writer's size limit; all ones for none.
  std::uint64_t length = 0;      // The file's length on disk (0 when missing).
  bool isPackageFile = false;
  FileHandle handle = kNoFile;  // Read-only; owned by the Recording.
  bool exists() const { return handle != kNoFile; }
};

// Where a fault lies: bytes of a data file, or of the index file itself (a package
// record held there).
struct FaultPlace {
  bool inIndex = false;
  std::uint32_t file = 0;    // The data file, unless inIndex.
  std::uint64_t offset = 0;  // Of the header, record or entry at fault.
};

struct Fault {
  FaultPlace place;
  std::string what;  // What is wrong there, in a sentence without the place.
};

// A block reached by a walk: its header lies at `headerPos` of data file `file`.
struct ChainBlock {
  std::uint32_t file = 0;
  std::uint64_t headerPos = 0;
  BlockHeader header;
  std::uint64_t payloadPos() const { return headerPos + kBlockHeaderSize; }
};

// How much of each data file is trusted.
enum class Extent {
  kListed,  // The size the index lists (the state of the Save), or less when the file
            // is shorter.
  kLength,  // The file's whole length, blocks stored after the Save included.
};

struct WalkOptions {
  Extent extent = Extent::kListed;
  // Ends the walk at the record's last block, where the chain ended at the Save. Its
  // link may only name a block stored after the Save (past the listed sizes, or in a
  // file the index does not list). A record in the package file whose last block was
  // stored after the Save was parked again since: its walk ends without a fault before
  // the first such block. When false, the walk follows the links to the chain's end,
  // past the record's last block.
  bool stopAtLastBlock = true;
  // When set, every link must name a position for which it holds (the block starts
  // that ScanBlocks found, say).
  std::function<bool(std::uint32_t file, std::uint64_t pos)> isBlockStart;
};

struct WalkResult {
  std::uint64_t blocks = 0;    // Blocks handed to the visitor.
  std::uint64_t bytes = 0;     // Their payload bytes.
  bool stopped = false;        // The visitor ended the walk.
  std::optional<Fault> fault;  // The first fault; the walk ended there.
};

// A package's record and where it lies: held in the index, or parked in the package
// file.
struct RecordLookup {
  PackageImage image;
  bool parked = false;
  FaultPlace place;
  std::optional<Fault> fault;  // The record is missing, cut short or does not fit.
};

// The blocks of a data file, which lie back to back from offset 0.
struct BlockScan {
  std::vector<std::uint64_t> starts;  // Header positions, ascending.
  std::uint64_t end = 0;              // After the last whole block found.
  std::optional<Fault> fault;         // Why the scan stopped before the extent.
};

// Owns the read-only handles of the data files and closes them at its end.
// Thread-compatible; its const methods may run from several threads at once (every
// read is positional).
class Recording {
 public:
  // Reads the index at `indexPath` and opens every data file it lists, read-only. A
  // listed path that names no file is looked for below the index's folder
  // (FindMovedFile); a file found nowhere is kept as missing. Throws RecordingError
  // when the index cannot be read; a missing or damaged data file is no error here.
  explicit Recording(const std::string& indexPath);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  const std::string& indexPath() const { return indexPath_; }
  const IndexHeader& header() const { return header_; }
  // The index ends inside its header or package count (see IndexContents).
  bool indexEndsInsideHeader() const { return indexEndsInsideHeader_; }
  const std::vector<RecordingFile>& files() const { return files_; }
  std::uint64_t packageCount() const { return packages_.size(); }
  bool IsParked(std::uint64_t package) const { return packages_.at(package).parked; }
  // True when data file `file` is listed and is not the package file.
  bool IsBlockFile(std::uint32_t file) const;
  // How far data file `file` is trusted.
  std::uint64_t ExtentOf(std::uint32_t file, Extent extent) const;

  // The record of `package` (below packageCount()): from the index, or from the package
  // file, where it must lie whole within the trusted bytes, carry its own number and
  // name only block files (listed, or made after the Save: a record parked again since
  // may name those).
  RecordLookup Record(std::uint64_t package, Extent extent = Extent::kListed) const;

  // Walks the chain that `record` (found at `recordPlace`) names, handing each block to
  // `visit`, which returns false to end the walk. Checks each link (a listed block file
  // that exists, past the package's previous block in that file, a block start when
  // asked), each block (header and payload within the trusted bytes, payload not
  // empty) and that the chain ends at the record's last block. Never throws for what
  // the files hold: a failed read is a fault too.
  WalkResult Walk(const PackageImage& record, const FaultPlace& recordPlace,
                  const WalkOptions& options,
                  const std::function<bool(const ChainBlock&)>& visit = {}) const;

  // Follows the blocks of block file `file` from offset 0 through its trusted bytes,
  // reading headers only, and calls `progress` with the offset reached now and then.
  // The scan stops at the first block that is cut off or empty.
  BlockScan ScanBlocks(std::uint32_t file, Extent extent,
                       const std::function<void(std::uint64_t)>& progress = {}) const;

  // Reads exactly `size` bytes at `position` of data file `file`. Throws
  // std::runtime_error "Unable to read data " + path on a short read.
  void Read(std::uint32_t file, std::uint64_t position, void* data, std::size_t size) const;

  // "the end of the file (N bytes)" or "the size the index lists (N bytes)": the end of
  // the trusted bytes, for messages.
  std::string DescribeEnd(std::uint32_t file, Extent extent) const;

 private:
  struct PackageEntry {
    bool parked = false;
    std::uint64_t entryOffset = 0;   // Of the entry in the index file.
    std::uint64_t recordOffset = 0;  // In the package file, when parked.
    PackageImage image;              // When held.
  };

  void OpenIndex(const std::string& indexPath);
  void CloseFiles();
  void OpenDataFiles(const std::vector<IndexFileEntry>& entries);
  std::optional<Fault> CheckLink(const FaultPlace& from, bool fromRecord, std::uint64_t pos,
                                 std::uint32_t file, const std::vector<std::uint64_t>& passed,
                                 const WalkOptions& options) const;
  // Whether a block at `pos` of data file `file` was stored after the Save: past the
  // listed size of a block file, or in a file that the index does not list.
  bool IsPastTheSave(std::uint64_t pos, std::uint32_t file) const;
  std::optional<Fault> CheckEndOfSave(const ChainBlock& block) const;

  std::string indexPath_;
  IndexHeader header_;
  bool indexEndsInsideHeader_ = false;
  std::vector<RecordingFile> files_;
  std::vector<PackageEntry> packages_;
};

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_RECORDING_H_
