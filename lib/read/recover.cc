// Reading single items back: RecoverRandom (wherever the item is, memory or file),
// RecoverRandomContinous (item after item along the chain, from a placed location),
// and Replace (overwriting an item in place).
#include <cstring>
#include <stdexcept>

#include "read/reader.h"

namespace qbx {

bool PlacedItem::NamesABlock() const {
  return pos != kNoPosition && file != kInMemory && offsetInBlock <= blockLen &&
         pos >= offsetInBlock && pos - offsetInBlock >= kBlockHeaderSize;
}

PlacedItem LoadPlacedItem(const ItemLocation& location) {
  return {LoadPos(&location), LoadFile(&location), LoadOffsetInBlock(&location),
          LoadBlockLen(&location)};
}

namespace {

using Placed = PlacedItem;

void CheckPlaced(const Placed& placed) {
  if (!placed.NamesABlock()) throw std::invalid_argument("The location is not placed");
}

// Refuses a transfer of `size` bytes from the item that would run past its block.
void CheckInsideBlock(const Placed& placed, std::uint64_t size) {
  if (size > placed.blockLen - placed.offsetInBlock) {
    throw std::out_of_range("The transfer runs past the item's block");
  }
}

// Reads the header of the block at `pos`, which must lie wholly in the file.
qbx::BlockHeader ReadHeaderAt(qbx::DataFile& file, std::uint64_t pos)
    REQUIRES_SHARED(file.bytesLock) {
  qbx::BlockHeader header;
  if (!file.ReadBlockHeader(pos, &header)) throw std::runtime_error("Unable to search data");
  return header;
}

// Reads `size` bytes at `pos` of the file, which must lie within the bytes the database
// holds there: a location may name any position.
void ReadHeld(qbx::DataFile& file, std::uint64_t pos, void* destination, std::uint64_t size)
    REQUIRES_SHARED(file.bytesLock) {
  const std::uint64_t end = file.size.load(std::memory_order_acquire);
  if (pos > end || size > end - pos) throw std::runtime_error("Unable to read data");
  file.ReadAt(pos, destination, size);
}

// Whether a block's link may be followed without a walk's memory. A package's blocks
// lie ever further into each file, so a link from the block at `pos` of `file` back to
// that block or before its end in the same file is damage: followed, it would make the
// chain a loop. (A cursor also sees loops through other files: CursorWalk.)
bool LinkLeadsOn(std::uint64_t pos, std::uint32_t file, const BlockHeader& header) {
  return header.nextBlockFile != file ||
         header.nextBlockPos >= pos + kBlockHeaderSize + header.payloadLen;
}

}  // namespace

PlacedItem ReadPlaced(const ItemLocation& location) {
  const PlacedItem placed = LoadPlacedItem(location);
  CheckPlaced(placed);
  return placed;
}

DataFile& Reader::BlockFileOf(const Placed& placed) const {
  if (!files.IsBlockFile(placed.pos, placed.file)) {
    throw std::out_of_range("The location names no block file");
  }
  return files.At(placed.file);
}

// Enters the package's reader gate for a location that is buffered or placed. Inside
// the gate no writer moves the package's buffer or rewrites a buffered location; a
// location found being written sends the reader back to wait for it.
void Reader::EnterAsReader(qbx::PackageRecord& record, qbx::PackageLock& lock,
                             const ItemLocation& location) {
  qbx::Backoff backoff;
  for (;;) {
    if (qbx::LoadPos(&location) == qbx::kNoPosition) {
      // Accepted or being written: the item's job, or the job writing its block, is
      // still outstanding. With no job outstanding the location will never be filled
      // (its Store failed, or it belongs to another package).
      if (record.finishedJobs.load(std::memory_order_acquire) ==
              record.issuedJobs.load(std::memory_order_acquire) &&
          qbx::LoadPos(&location) == qbx::kNoPosition) {
        throw std::invalid_argument("The location holds no stored item");
      }
    } else {
      lock.activeReaders.fetch_add(1, std::memory_order_seq_cst);
      if (lock.readersAllowed.load(std::memory_order_seq_cst) &&
          qbx::LoadPos(&location) != qbx::kNoPosition) {
        return;
      }
      lock.activeReaders.fetch_sub(1, std::memory_order_seq_cst);
    }
    errors.Check();
    backoff.Pause();
  }
}

// The fields of a location that is placed in a data file, or false. Placed is the last
// state of a location, and inside the package's reader gate no buffered location of
// the package moves on; so once inside, a location seen placed (its position first,
// with acquire order) stays as read, and its bytes need neither the package's record
// nor the gate any more.
bool Reader::TakePlaced(PackageLock& lock, const ItemLocation& location, Placed* placed) {
  lock.activeReaders.fetch_add(1, std::memory_order_seq_cst);
  bool inside = lock.readersAllowed.load(std::memory_order_seq_cst);
  if (inside) *placed = LoadPlacedItem(location);
  lock.activeReaders.fetch_sub(1, std::memory_order_seq_cst);
  return inside && placed->pos != kNoPosition && placed->file != kInMemory;
}

void Reader::RecoverRandom(std::uint64_t size, void* destination, const ItemLocation& location,
                             std::uint64_t package) {
  qbx::PackageEntry& entry = packages.Entry(package);
  Placed placed;
  if (TakePlaced(*entry.lock, location, &placed)) {
    // The common case: one positional read, and no lock of the package.
    CheckPlaced(placed);
    CheckInsideBlock(placed, size);
    DataFile& file = BlockFileOf(placed);
    ReaderLock read(file.bytesLock);
    ReadHeld(file, placed.pos, destination, size);
    return;
  }
  // In memory, or not there yet: pin the record (loading it if parked) and wait at the
  // gate until the item is buffered or placed.
  qbx::PackageRecord& record = packages.Pin(entry);
  struct Release {
    qbx::PackageRecord& record;
    std::atomic<std::uint16_t>* readers = nullptr;
    ~Release() {
      if (readers != nullptr) readers->fetch_sub(1, std::memory_order_seq_cst);
      record.useCount.fetch_sub(1, std::memory_order_acq_rel);
    }
  } release{record};
  EnterAsReader(record, *entry.lock, location);
  release.readers = &entry.lock->activeReaders;

  if (qbx::LoadFile(&location) == qbx::kInMemory) {
    const std::uint64_t offset = qbx::LoadOffsetInBlock(&location);
    const std::uint64_t buffered = record.bufferedBytes.load(std::memory_order_acquire);
    if (offset > buffered || size > buffered - offset) {
      throw std::out_of_range("The read runs past the buffered bytes");
    }
    if (size != 0) std::memcpy(destination, record.buffer->data() + offset, size);
    return;
  }
  placed = ReadPlaced(location);
  CheckInsideBlock(placed, size);
  qbx::DataFile& file = BlockFileOf(placed);
  ReaderLock read(file.bytesLock);
  ReadHeld(file, placed.pos, destination, size);
}

void Reader::RecoverRandomContinous(std::uint64_t size, void* destination,
                                      ItemLocation& location) {
  // Not placed yet (or being placed by a writer right now): synchronizing places it.
  Placed placed = LoadPlacedItem(location);
  if (!placed.NamesABlock()) {
    writers.Synchronize();
    placed = ReadPlaced(location);
  }
  if (placed.offsetInBlock != placed.blockLen) {
    CheckInsideBlock(placed, size);
    qbx::DataFile& file = BlockFileOf(placed);
    ReaderLock read(file.bytesLock);
    ReadHeld(file, placed.pos, destination, size);
  } else {
    // At the end of its block: follow the link to the next block of the package.
    qbx::BlockHeader current;
    const std::uint64_t currentPos = placed.pos - placed.offsetInBlock - qbx::kBlockHeaderSize;
    {
      qbx::DataFile& file = BlockFileOf(placed);
      ReaderLock read(file.bytesLock);
      current = ReadHeaderAt(file, currentPos);
    }
    // A link into a file the database does not list (blocks stored after the Save of
    // an older index), or back into its own file, ends the chain like no link at all.
    if (current.nextBlockPos == qbx::kNoPosition ||
        !files.IsBlockFile(current.nextBlockPos, current.nextBlockFile) ||
        !LinkLeadsOn(currentPos, placed.file, current)) {
      // The package has ended: the location says so by its position.
      qbx::MarkPlaced(&location, 0, 0, qbx::kNoPosition, 0);
      return;
    }
    qbx::DataFile& next = files.At(current.nextBlockFile);
    ReaderLock read(next.bytesLock);
    qbx::BlockHeader header;
    if (!next.ReadBlockHeader(current.nextBlockPos, &header)) {
      // A torn link (its block lost with a crash after the last Save) ends the package.
      qbx::MarkPlaced(&location, 0, 0, qbx::kNoPosition, 0);
      return;
    }
    placed = {current.nextBlockPos + qbx::kBlockHeaderSize, current.nextBlockFile, 0,
              header.payloadLen};
    CheckInsideBlock(placed, size);
    next.ReadAt(placed.pos, destination, size);
  }
  if (placed.blockLen != 0) {
    qbx::MarkPlaced(&location, placed.file, placed.offsetInBlock + static_cast<std::uint32_t>(size),
                    placed.pos - placed.offsetInBlock, placed.blockLen);
  } else {
    qbx::MarkPlaced(&location, placed.file, 0, placed.pos, 0);
  }
}

void Reader::Replace(std::uint64_t size, const void* data, const ItemLocation& location) {
  files.ThrowIfReadOnly();
  const Placed placed = ReadPlaced(location);
  CheckInsideBlock(placed, size);
  // The package file holds records, never items; bytes there that look like a block
  // must not be overwritten.
  qbx::DataFile& file = BlockFileOf(placed);
  WriterLock rewrite(file.bytesLock);
  // Writing is the one place where a location that names no block could destroy data
  // (the next block's header), so the block it names must be there.
  const qbx::BlockHeader header =
      ReadHeaderAt(file, placed.pos - placed.offsetInBlock - qbx::kBlockHeaderSize);
  if (header.payloadLen != placed.blockLen || placed.pos > file.size.load(std::memory_order_acquire) ||
      file.size.load(std::memory_order_acquire) - placed.pos < size) {
    throw std::out_of_range("The location names no block of this file");
  }
  file.WriteAt(placed.pos, data, size);
}

}  // namespace qbx
