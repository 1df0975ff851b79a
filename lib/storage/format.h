// The bytes of every file the library writes, in one place: the data files (block
// headers with their links, the 44-byte package record of the package file) and the
// index file (its header, its data-file entries and its package entries). Every number
// is little-endian and unpadded. The writers, the readers, Save and Import all code and
// decode through these.
#ifndef QUILLBOX_STORAGE_FORMAT_H_
#define QUILLBOX_STORAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qbx {

// All bits set: no position (no block, no next block, item not yet placed).
constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};
// All bits set in a 32-bit file index: the item is still in memory.
constexpr std::uint32_t kInMemory = ~std::uint32_t{0};
constexpr std::uint32_t kNoLength = ~std::uint32_t{0};

constexpr std::size_t kBlockHeaderSize = 16;
constexpr std::size_t kLinkSize = 12;  // nextBlockPos and nextBlockFile of a header.
constexpr std::size_t kPackageRecordSize = 44;
// A block's payload length is 32 bits: the buffered bytes of a package (fewer than its
// package size) plus one item must fit, so no package size is larger than this.
constexpr std::uint64_t kLargestPackageSize = std::uint64_t{1} << 32;

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

// The index file: a 41-byte header, then per data file an entry of its name's length
// (8 bytes), the name, its size (8), its size limit (8) and a keep flag (1), then the
// package count (8) and per package either 1 and the record's offset in the package
// file (9 bytes) or 0 and the 44-byte record itself.
constexpr char kTypeMarker[] = "Quillbox";  // The first 8 bytes, without a terminator.
constexpr std::size_t kTypeMarkerSize = sizeof kTypeMarker - 1;
constexpr std::uint32_t kFormatWord1 = 1;
constexpr std::uint32_t kFormatWord2 = 0;
constexpr std::size_t kIndexHeaderSize = 41;
// A data-file entry without its name, and the two package entries.
constexpr std::uint64_t kFileEntryFixedSize = 25;
constexpr std::uint64_t kParkedEntrySize = 9;
constexpr std::uint64_t kHeldEntrySize = 1 + kPackageRecordSize;

struct IndexHeader {
  std::uint64_t packageSize = 0;
  std::uint64_t packageCounter = 0;
  bool hasPackageFile = false;
  std::uint64_t fileCount = 0;
};

// The header: marker, the two format words, then the fields of `header`.
void EncodeIndexHeader(const IndexHeader& header, char out[kIndexHeaderSize]);
// A data-file entry, with the keep flag set.
std::string EncodeFileEntry(const std::string& name, std::uint64_t size, std::uint64_t maxSize);
// A package entry: parked in the package file at `offset`, or held with `image`.
std::string EncodeParkedEntry(std::uint64_t offset);
std::string EncodeHeldEntry(const PackageImage& image);

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_FORMAT_H_
