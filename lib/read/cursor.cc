// Item cursors: positioning at the start of a package or at a stored item, and
// reading a package along its chain of blocks.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "read/reader.h"
#include "read/reader_hooks.h"

namespace qbx {

Reader::Reader(PackageTable& packages, DataFiles& files, ErrorState& errors, Writers& writers)
    : packages(packages), files(files), errors(errors), writers(writers) {}

void Reader::Open(ItemCursor& cursor, std::uint64_t package) {
  qbx::PackageRecord& record = packages.Pin(packages.Entry(package));
  cursor.nextBlockPos = record.firstBlockPos.load(std::memory_order_acquire);
  cursor.nextBlockFile = record.firstBlockFile.load(std::memory_order_relaxed);
  cursor.bufferedLen = record.firstBlockLen.load(std::memory_order_relaxed);
  cursor.consumed = cursor.bufferedLen;  // Holds nothing yet.
  cursor.capacity = 0;
  record.useCount.fetch_sub(1, std::memory_order_acq_rel);
}

void Reader::OpenItem(ItemCursor& cursor, const ItemLocation& location) {
  const PlacedItem placed = ReadPlaced(location);
  qbx::DataFile& file = BlockFileOf(placed);
  const std::uint32_t length = placed.blockLen - placed.offsetInBlock;
  const std::uint64_t headerPos = placed.pos - placed.offsetInBlock - qbx::kBlockHeaderSize;
  ReaderLock read(file.bytesLock);
  qbx::BlockHeader header;
  if (!file.ReadBlockHeader(headerPos, &header) || header.payloadLen != placed.blockLen) {
    throw std::invalid_argument("The location names no block");
  }
  // Only a block found wholly in the file bounds the buffer: a location's own length
  // may be anything.
  cursor.buffer = new char[length == 0 ? 1 : length];
  cursor.capacity = length;
  // The cursor holds the bytes only once they are read: a failed read leaves it at
  // the end, and OpenItem hands the cursor out also when it fails.
  file.ReadAt(placed.pos, cursor.buffer, length);
  cursor.bufferedLen = length;
  cursor.consumed = 0;
  FollowLink(cursor, placed.file, placed.pos + length, header);
}

// A package's first block is named in its record as soon as its appender holds the
// file, before the block is written (the package's next job must see it there), so a
// cursor opened meanwhile finds that block past the file's size. Once the appender
// lets go of the file, the block is written whole, or not at all when the write failed.
// Links are patched only after their block is written, and a torn chain's link past
// the size costs one wait here, at its end.
void Reader::WaitForAppender(DataFile& file) {
#ifdef QUILLBOX_TESTING
  testing::NoteAppenderWait();
#endif
  MutexLock wait(file.mutex);
}

void Reader::FollowLink(ItemCursor& cursor, std::uint32_t file, std::uint64_t blockEnd,
                        const BlockHeader& header) {
  CursorWalk& walk = Walk(cursor);
  walk.Visited(file, blockEnd);
  cursor.nextBlockPos = header.nextBlockPos;
  cursor.nextBlockFile = header.nextBlockFile;
  if (!files.IsBlockFile(header.nextBlockPos, header.nextBlockFile) ||
      walk.Revisits(header.nextBlockPos, header.nextBlockFile)) {
    cursor.nextBlockPos = qbx::kNoPosition;
    cursor.nextBlockFile = 0;
  }
}

// Delivers up to `size` bytes along the chain; fewer only at the package's end. If a
// block cannot be loaded, *delivered says how many bytes went out before the failure
// and the cursor stands right after them: the bytes it held are all delivered by then,
// and a retry loads the failed block again. (The failed load may have written into the
// cursor's buffer, so going back to bytes delivered from it would deliver others.)
void Reader::RecoverContinous(std::uint64_t size, void* destination, ItemCursor& cursor,
                                std::uint64_t* delivered) {
  std::uint64_t& total = *delivered;
  total = 0;
  while (total < size) {
    if (cursor.consumed >= cursor.bufferedLen) {
      if (cursor.nextBlockPos == qbx::kNoPosition) break;  // The package's end.
      char* const into = destination == nullptr ? nullptr : static_cast<char*>(destination) + total;
      total += LoadNextBlock(cursor, into, size - total);
      continue;
    }
    const std::uint64_t available = cursor.bufferedLen - cursor.consumed;
    const std::uint64_t piece = std::min(size - total, available);
    if (piece != 0 && destination != nullptr) {
      std::memcpy(static_cast<char*>(destination) + total, cursor.buffer + cursor.consumed, piece);
    }
    cursor.consumed += piece;
    total += piece;
  }
}

// Loads the cursor's next block. A payload that fits into the caller's `room` goes
// straight to `into` (or, with `into` null, is passed over unread) and is returned as
// delivered; otherwise it is read into the cursor's buffer and 0 is returned. The
// cursor changes only once the whole block is read, so a failed load leaves it where
// it was (its buffer may have grown, and hold part of the failed block). A link to a
// block that is not wholly in its file (the tail of a chain torn by a crash after the
// last Save) ends the package there.
std::uint64_t Reader::LoadNextBlock(ItemCursor& cursor, char* into, std::uint64_t room) {
  qbx::DataFile& file = files.At(cursor.nextBlockFile);
  if (cursor.nextBlockPos >= file.size.load(std::memory_order_acquire)) WaitForAppender(file);
  ReaderLock read(file.bytesLock);
  qbx::BlockHeader header;
  if (!file.ReadBlockHeader(cursor.nextBlockPos, &header)) {
    cursor.nextBlockPos = qbx::kNoPosition;
    cursor.nextBlockFile = 0;
    return 0;
  }
  const std::uint64_t payloadPos = cursor.nextBlockPos + qbx::kBlockHeaderSize;
  const bool whole = header.payloadLen != 0 && header.payloadLen <= room;
  if (whole) {
    if (into != nullptr) file.ReadAt(payloadPos, into, header.payloadLen);
  } else {
    if (cursor.capacity < header.payloadLen) {
      char* larger = new char[header.payloadLen];
      delete[] cursor.buffer;
      cursor.buffer = larger;
      cursor.capacity = header.payloadLen;
    }
    file.ReadAt(payloadPos, cursor.buffer, header.payloadLen);
  }
  FollowLink(cursor, cursor.nextBlockFile, payloadPos + header.payloadLen, header);
  cursor.bufferedLen = header.payloadLen;
  cursor.consumed = whole ? header.payloadLen : 0;
  return whole ? header.payloadLen : 0;
}

}  // namespace qbx
