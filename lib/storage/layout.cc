// Little-endian coding of the on-disk records, and atomic access to ItemLocation.
#include "storage/layout.h"

namespace qbx {
namespace {

template <typename T>
T LoadLittle(const char* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<unsigned char>(in[i])) << (8 * i);
  }
  return value;
}

template <typename T>
void StoreLittle(char* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<char>(value >> (8 * i));
}

// ItemLocation is packed, so its fields may be only 4-byte aligned (arrays of the
// 20-byte record); x86-64 and the GCC atomics handle that.
std::uint64_t* PosField(const ItemLocation* location) {
  return reinterpret_cast<std::uint64_t*>(
      reinterpret_cast<char*>(const_cast<ItemLocation*>(location)) + offsetof(ItemLocation, pos));
}

std::uint32_t* Field32(const ItemLocation* location, std::size_t offset) {
  return reinterpret_cast<std::uint32_t*>(
      reinterpret_cast<char*>(const_cast<ItemLocation*>(location)) + offset);
}

void Store32(ItemLocation* location, std::size_t offset, std::uint32_t value) {
  __atomic_store_n(Field32(location, offset), value, __ATOMIC_RELAXED);
}

void StorePos(ItemLocation* location, std::uint64_t value) {
  __atomic_store_n(PosField(location), value, __ATOMIC_RELEASE);
}

}  // namespace

void PutFixed16(char* out, std::uint16_t value) { StoreLittle(out, value); }
void PutFixed32(char* out, std::uint32_t value) { StoreLittle(out, value); }
void PutFixed64(char* out, std::uint64_t value) { StoreLittle(out, value); }
std::uint16_t GetFixed16(const char* in) { return LoadLittle<std::uint16_t>(in); }
std::uint32_t GetFixed32(const char* in) { return LoadLittle<std::uint32_t>(in); }
std::uint64_t GetFixed64(const char* in) { return LoadLittle<std::uint64_t>(in); }

void EncodeBlockHeader(const BlockHeader& header, char out[kBlockHeaderSize]) {
  PutFixed64(out, header.nextBlockPos);
  PutFixed32(out + 8, header.nextBlockFile);
  PutFixed32(out + 12, header.payloadLen);
}

BlockHeader DecodeBlockHeader(const char in[kBlockHeaderSize]) {
  BlockHeader header;
  header.nextBlockPos = GetFixed64(in);
  header.nextBlockFile = GetFixed32(in + 8);
  header.payloadLen = GetFixed32(in + 12);
  return header;
}

void EncodeLink(std::uint64_t nextBlockPos, std::uint32_t nextBlockFile, char out[kLinkSize]) {
  PutFixed64(out, nextBlockPos);
  PutFixed32(out + 8, nextBlockFile);
}

void EncodePackageImage(const PackageImage& image, char out[kPackageRecordSize]) {
  PutFixed64(out, image.firstBlockPos);
  PutFixed32(out + 8, image.firstBlockFile);
  PutFixed32(out + 12, image.firstBlockLen);
  PutFixed64(out + 16, image.lastBlockPos);
  PutFixed32(out + 24, image.lastBlockFile);
  PutFixed32(out + 28, image.bufferedBytes);
  PutFixed64(out + 32, image.packageId);
  PutFixed16(out + 40, image.issuedJobs);
  PutFixed16(out + 42, image.completedJobs);
}

PackageImage DecodePackageImage(const char in[kPackageRecordSize]) {
  PackageImage image;
  image.firstBlockPos = GetFixed64(in);
  image.firstBlockFile = GetFixed32(in + 8);
  image.firstBlockLen = GetFixed32(in + 12);
  image.lastBlockPos = GetFixed64(in + 16);
  image.lastBlockFile = GetFixed32(in + 24);
  image.bufferedBytes = GetFixed32(in + 28);
  image.packageId = GetFixed64(in + 32);
  image.issuedJobs = GetFixed16(in + 40);
  image.completedJobs = GetFixed16(in + 42);
  return image;
}

void MarkAccepted(ItemLocation* location) {
  Store32(location, offsetof(ItemLocation, file), kInMemory);
  Store32(location, offsetof(ItemLocation, blockLen), kNoLength);
  StorePos(location, kNoPosition);
}

void MarkBuffered(ItemLocation* location, std::uint32_t offset) {
  Store32(location, offsetof(ItemLocation, file), kInMemory);
  Store32(location, offsetof(ItemLocation, offsetInBlock), offset);
  StorePos(location, offset);
}

void MarkBeingWritten(ItemLocation* location) { StorePos(location, kNoPosition); }

void MarkPlaced(ItemLocation* location, std::uint32_t file, std::uint32_t offsetInBlock,
                std::uint64_t dataStart, std::uint32_t blockLen) {
  Store32(location, offsetof(ItemLocation, file), file);
  Store32(location, offsetof(ItemLocation, offsetInBlock), offsetInBlock);
  Store32(location, offsetof(ItemLocation, blockLen), blockLen);
  StorePos(location, dataStart + offsetInBlock);
}

std::uint64_t LoadPos(const ItemLocation* location) {
  return __atomic_load_n(PosField(location), __ATOMIC_ACQUIRE);
}

std::uint32_t LoadFile(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, file)), __ATOMIC_RELAXED);
}

std::uint32_t LoadOffsetInBlock(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, offsetInBlock)),
                         __ATOMIC_RELAXED);
}

std::uint32_t LoadBlockLen(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, blockLen)), __ATOMIC_RELAXED);
}

}  // namespace qbx
