// The read cursor handed to the application: it walks one package's chain of blocks,
// holding the current block's payload. One thread uses a cursor at a time.
#ifndef QUILLBOX_READ_ITEM_CURSOR_H_
#define QUILLBOX_READ_ITEM_CURSOR_H_

#include <cstdint>

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

#endif  // QUILLBOX_READ_ITEM_CURSOR_H_
