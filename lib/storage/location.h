// The caller's ItemLocation as the library fills and reads it. Its fields are shared
// between caller threads and writer threads, so every access from inside the library
// goes through the atomic helpers below.
#ifndef QUILLBOX_STORAGE_LOCATION_H_
#define QUILLBOX_STORAGE_LOCATION_H_

#include <cstddef>
#include <cstdint>

#include "quillbox.h"
#include "storage/format.h"

namespace qbx {

// ItemLocation state changes, for a record at any 4-byte-aligned address. Each writes
// `pos` last with release order, so a reader that loads `pos` with acquire order sees
// the other fields of the same state (or of a later one). No load or store of `pos`
// tears: where it is not 8-byte aligned it is written and read in halves under a
// sequence lock, so read it only through LoadPos while writers may change it.
void MarkAccepted(ItemLocation* location);
void MarkBuffered(ItemLocation* location, std::uint32_t offset);
void MarkBeingWritten(ItemLocation* location);
void MarkPlaced(ItemLocation* location, std::uint32_t file, std::uint32_t offsetInBlock,
                std::uint64_t dataStart, std::uint32_t blockLen);

std::uint64_t LoadPos(const ItemLocation* location);  // Acquire.
std::uint32_t LoadFile(const ItemLocation* location);
std::uint32_t LoadOffsetInBlock(const ItemLocation* location);
std::uint32_t LoadBlockLen(const ItemLocation* location);

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_LOCATION_H_
