// Little-endian coding of the on-disk records.
#include "storage/format.h"

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

void EncodeIndexHeader(const IndexHeader& header, char out[kIndexHeaderSize]) {
  for (std::size_t i = 0; i < kTypeMarkerSize; ++i) out[i] = kTypeMarker[i];
  PutFixed32(out + 8, kFormatWord1);
  PutFixed32(out + 12, kFormatWord2);
  PutFixed64(out + 16, header.packageSize);
  PutFixed64(out + 24, header.packageCounter);
  out[32] = header.hasPackageFile ? 1 : 0;
  PutFixed64(out + 33, header.fileCount);
}

std::string EncodeFileEntry(const std::string& name, std::uint64_t size, std::uint64_t maxSize) {
  std::string entry(kFileEntryFixedSize + name.size(), '\0');
  PutFixed64(entry.data(), name.size());
  entry.replace(8, name.size(), name);
  PutFixed64(entry.data() + 8 + name.size(), size);
  PutFixed64(entry.data() + 16 + name.size(), maxSize);
  entry[24 + name.size()] = 1;
  return entry;
}

std::string EncodeParkedEntry(std::uint64_t offset) {
  std::string entry(kParkedEntrySize, '\0');
  entry[0] = 1;
  PutFixed64(entry.data() + 1, offset);
  return entry;
}

std::string EncodeHeldEntry(const PackageImage& image) {
  std::string entry(kHeldEntrySize, '\0');
  EncodePackageImage(image, entry.data() + 1);
  return entry;
}

}  // namespace qbx
