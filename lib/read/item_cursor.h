// The read cursor handed to the application: it walks one package's chain of blocks,
// holding the current block's payload. One thread uses a cursor at a time.
#ifndef QUILLBOX_READ_ITEM_CURSOR_H_
#define QUILLBOX_READ_ITEM_CURSOR_H_

#include <cstdint>
#include <vector>

// The first three fields take the link and payload length of the block loaded last.
struct ItemCursor {
  std::uint64_t nextBlockPos;   // Header of the next block to load; all ones: none.
  std::uint32_t nextBlockFile;
  std::uint32_t bufferedLen;    // Payload bytes held in `buffer`.
  std::uint64_t consumed;       // Bytes of `buffer` already delivered.
  char* buffer;                 // Owned; null until a block is loaded.
  std::uint32_t capacity;       // Allocated size of `buffer`.
};

static_assert(sizeof(ItemCursor) == 40, "the cursor is a 40-byte record");

namespace qbx {

// What the library allocates behind every ItemCursor it hands out: where the walk has
// been. A package's blocks rise in position within each file, so a block that starts
// before the end of the walk's last block in its file was reached by a damaged link
// that bent the chain back onto itself, possibly by way of other files; the package
// ends there instead of delivering the same blocks for ever.
struct CursorWalk : ItemCursor {
  std::vector<std::uint64_t> endInFile;  // By file index; 0 where the walk has not been.

  bool Revisits(std::uint64_t pos, std::uint32_t file) const {
    return file < endInFile.size() && pos < endInFile[file];
  }
  // Notes a block the walk has read whole; throws std::bad_alloc.
  void Visited(std::uint32_t file, std::uint64_t blockEnd) {
    if (file >= endInFile.size()) endInFile.resize(std::size_t{file} + 1, 0);
    endInFile[file] = blockEnd;
  }
};

// Every cursor the interface hands out is a CursorWalk.
inline CursorWalk& Walk(ItemCursor& cursor) { return static_cast<CursorWalk&>(cursor); }

}  // namespace qbx

#endif  // QUILLBOX_READ_ITEM_CURSOR_H_
