// The byte layouts of the data files, shared by the writers, the readers and the
// index file: block headers, the 44-byte package record image, and the caller's
// ItemLocation. Every number on disk is little-endian and unpadded.
// ItemLocation fields are shared between caller threads and writer threads, so every
// access from inside the library goes through the atomic helpers below.
#ifndef QUILLBOX_STORAGE_LAYOUT_H_
#define QUILLBOX_STORAGE_LAYOUT_H_

#include <cstddef>
#include <cstdint>

#include "quillbox.h"

namespace qbx {

// All bits set: no position (no block, no next block, item not yet placed).
constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};
// All bits set in a 32-bit file index: the item is still in memory.
constexpr std::uint32_t kInMemory = ~std::uint32_t{0};
constexpr std::uint32_t kNoLength = ~std::uint32_t{0};

constexpr std::size_t kBlockHeaderSize = 16;
constexpr std::size_t kLinkSize = 12;  // nextBlockPos and nextBlockFile of a header.
constexpr std::size_t kPackageRecordSize = 44;

void PutFixed16(char* out, std::uint16_t value);
void PutFixed32(char* out, std::uint32_t value);
void PutFixed64(char* out, std::uint64_t value);
std::uint16_t GetFixed16(const char* in);
std::uint32_t GetFixed32(const char* in);
std::uint64_t GetFixed64(const char* in);

struct BlockHeader {
  std::uint64_t nextBlockPos = kNoPosition;
  std::uint32_t nextBlockFile = 0;
  std::uint32_t payloadLen = 0;
};

void EncodeBlockHeader(const BlockHeader& header, char out[kBlockHeaderSize]);
BlockHeader DecodeBlockHeader(const char in[kBlockHeaderSize]);
// The first 12 bytes of a header: the link to the package's next block.
void EncodeLink(std::uint64_t nextBlockPos, std::uint32_t nextBlockFile, char out[kLinkSize]);

// The serialized fields of a package record, in their order on disk.
struct PackageImage {
  std::uint64_t firstBlockPos = 0;
  std::uint32_t firstBlockFile = 0;
  std::uint32_t firstBlockLen = 0;
  std::uint64_t lastBlockPos = 0;
  std::uint32_t lastBlockFile = 0;
  std::uint32_t bufferedBytes = 0;
  std::uint64_t packageId = 0;
  std::uint16_t issuedJobs = 0;
  std::uint16_t completedJobs = 0;
};

void EncodePackageImage(const PackageImage& image, char out[kPackageRecordSize]);
PackageImage DecodePackageImage(const char in[kPackageRecordSize]);

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

#endif  // QUILLBOX_STORAGE_LAYOUT_H_
