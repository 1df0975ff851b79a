// The read path of a database: item cursors along a package's chain of blocks, single
// items by their location (from a package's buffer while the item is in memory, else
// from its data file), and Replace. Reads run beside Store and the writers: a package's
// reader gate keeps its buffer from moving under a reader, and a data file's bytes lock
// keeps rewrites in place and relocation apart from reads.
#ifndef QUILLBOX_READ_READER_H_
#define QUILLBOX_READ_READER_H_

#include <cstdint>

#include "quillbox.h"
#include "read/item_cursor.h"
#include "storage/data_files.h"
#include "write/error_state.h"
#include "write/package_table.h"
#include "write/writers.h"

namespace qbx {

// A placed location's fields, read once.
struct PlacedItem {
  std::uint64_t pos;
  std::uint32_t file;
  std::uint32_t offsetInBlock;
  std::uint32_t blockLen;

  // Whether the fields can name an item of a block: placed, and behind a block header.
  // In memory `pos` equals `offsetInBlock`, so also fields read while a writer places
  // the location (some old, some new) fail this.
  bool NamesABlock() const;
};

// The fields of a location, its position first (with acquire order).
PlacedItem LoadPlacedItem(const ItemLocation& location);
// The same, for a location that must be placed: throws when the fields name no block.
PlacedItem ReadPlaced(const ItemLocation& location);

class Reader {
 public:
  Reader(PackageTable& packages, DataFiles& files, ErrorState& errors, Writers& writers);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  void Open(ItemCursor& cursor, std::uint64_t package);
  void OpenItem(ItemCursor& cursor, const ItemLocation& location);
  // Delivers up to `size` bytes along the chain; fewer only at the package's end.
  void RecoverContinous(std::uint64_t size, void* destination, ItemCursor& cursor,
                        std::uint64_t* delivered);
  void RecoverRandom(std::uint64_t size, void* destination, const ItemLocation& location,
                     std::uint64_t package);
  void RecoverRandomContinous(std::uint64_t size, void* destination, ItemLocation& location);
  void Replace(std::uint64_t size, const void* data, const ItemLocation& location);

 private:
  bool TakePlaced(PackageLock& lock, const ItemLocation& location, PlacedItem* placed);
  // The data file of a placed item; refuses the package file and unlisted files, where
  // no item can lie.
  DataFile& BlockFileOf(const PlacedItem& placed) const;
  std::uint64_t LoadNextBlock(ItemCursor& cursor, char* into, std::uint64_t room);
  // Returns once no append to `file` is under way.
  static void WaitForAppender(DataFile& file) EXCLUDES(file.mutex, file.bytesLock);
  // Notes the block just read whole (in `file`, ending at `blockEnd`) as walked, and
  // takes its link as the cursor's next block; a link beyond the listed files, or back
  // to where the walk has been, ends the package instead.
  void FollowLink(ItemCursor& cursor, std::uint32_t file, std::uint64_t blockEnd,
                  const BlockHeader& header);
  void EnterAsReader(PackageRecord& record, PackageLock& lock, const ItemLocation& location);

  PackageTable& packages;
  DataFiles& files;
  ErrorState& errors;
  Writers& writers;  // RecoverRandomContinous synchronizes an item still in memory.
};

}  // namespace qbx

#endif  // QUILLBOX_READ_READER_H_
