// Recovery of a recording after its process ended without a last Save: the data files
// hold more than the index covers (blocks appended after the Save, links patched to
// them, records parked in the package file), and a new index is made that covers every
// block that can be verified. The recording is only read: the old index and every data
// file stay as they are, and the new index is written beside them atomically.
#ifndef QUILLBOX_STORAGE_RECOVER_H_
#define QUILLBOX_STORAGE_RECOVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/format.h"
#include "storage/recording.h"

namespace qbx {

// One data file as the new index lists it.
struct RecoveredFile {
  std::uint64_t listedSize = 0;  // In the old index.
  std::uint64_t size = 0;        // In the new index: never below listedSize.
  std::uint64_t length = 0;      // On disk (0 when missing).
  bool exists = false;
  // Why bytes between `size` and `length` of a block file are left out (a block cut
  // off by the end of the file, say); none when the file ends at `size`.
  std::optional<Fault> tail;
};

// One package as the new index holds it.
struct RecoveredPackage {
  PackageImage image;  // The record, held in the new index.
  // The record came from the package file: the package lies beyond the old index's
  // table, or its record there names no block while the package file's is newer.
  bool fromPackageFile = false;
  std::uint64_t savedBlocks = 0, savedBytes = 0;  // Within the sizes the old index lists.
  std::uint64_t blocks = 0, bytes = 0;            // Everything the chain reached.
  // Why the chain ends before its last block (or why the record could not be used);
  // none when the chain was followed to a block that links nowhere.
  std::optional<Fault> unreached;
  std::uint64_t gainedBlocks() const { return blocks - savedBlocks; }
  std::uint64_t gainedBytes() const { return bytes - savedBytes; }
};

struct Recovery {
  std::vector<RecoveredFile> files;  // One per listed file, in order.
  // The old index's packages first, then the records of the package file beyond them
  // that could be verified, as long as they follow each other without a gap.
  std::vector<RecoveredPackage> packages;
  std::uint64_t savedPackages = 0;  // Packages of the old index.
  // Records in the package file past the recovered table, and why the first of them
  // was not taken.
  std::uint64_t recordsLeft = 0;
  std::optional<Fault> recordsEnd;

  // True when nothing known to exist was left behind: every listed file is there and
  // as long as listed, every chain was followed to its end and every record of the
  // package file was taken.
  bool Complete() const;
};

// Follows every package's chain from its first block through the links written after
// the Save, as long as each names a listed block file and a whole block that starts
// where the file's blocks, scanned from offset 0, start, lies past the package's
// previous block in that file and is no other package's. The blocks within the listed
// sizes are given to their saved chains first, so that no chain can take another's.
// Records of the package file beyond the index's table are taken in order while each
// carries its own number and names a first block that verifies (or no block at all);
// the first that does not ends the table, whose count must equal the packages listed.
// A file's new size is the end of the whole blocks found from its start, or its listed
// size when that is larger; the package file's covers the records taken.
Recovery RecoverRecording(const Recording& recording);

// The bytes of the new index: the old index's settings and files with the sizes of
// `recovery`, and every package's record held in the index. Each file that was found
// is listed by the absolute path where it was found, so that the new index can lie in
// any folder; a missing file keeps the name the old index lists.
std::string EncodeRecoveredIndex(const Recording& recording, const Recovery& recovery);

// Throws std::runtime_error when `path` is the old index or one of its data files,
// which the new index must not replace.
void RefuseRecoveredIndexPath(const Recording& recording, const std::string& path);

// Writes the new index to `path` atomically (a temporary file beside it, synced, then
// renamed over it and the folder synced), after asking the system to make the data
// files durable through their read-only handles; returns false when it refused that
// for some file (the index is written all the same). Throws std::runtime_error, with
// nothing written, when `path` is the old index or one of its data files, and when
// the file cannot be written.
bool WriteRecoveredIndex(const Recording& recording, const Recovery& recovery,
                         const std::string& path);

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_RECOVER_H_
