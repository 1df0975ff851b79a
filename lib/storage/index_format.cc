// Sequential index-file access with checked writes and bounded reads.
#include "storage/index_format.h"

#include <stdexcept>

#include "storage/layout.h"

namespace qbx {

void IndexWriter::Put(const void* data, std::size_t size) {
  if (size != 0 && WriteFile(file_, data, size) != size) {
    throw std::runtime_error("Unable to write data");
  }
}

void IndexWriter::Put32(std::uint32_t value) {
  char bytes[4];
  PutFixed32(bytes, value);
  Put(bytes, sizeof bytes);
}

void IndexWriter::Put64(std::uint64_t value) {
  char bytes[8];
  PutFixed64(bytes, value);
  Put(bytes, sizeof bytes);
}

bool IndexReader::TryGet(void* data, std::size_t size) {
  if (size > remaining_) return false;
  if (size != 0 && ReadFile(file_, data, size) != size) {
    throw std::runtime_error("Unable to read data");
  }
  remaining_ -= size;
  return true;
}

void IndexReader::Get(void* data, std::size_t size) {
  if (!TryGet(data, size)) ThrowDamagedIndex("the file ends inside an entry");
}

std::uint8_t IndexReader::Get8() {
  std::uint8_t value;
  Get(&value, 1);
  return value;
}

std::uint64_t IndexReader::Get64() {
  char bytes[8];
  Get(bytes, sizeof bytes);
  return GetFixed64(bytes);
}

void ThrowDamagedIndex(const std::string& what) {
  throw std::runtime_error("Damaged index file: " + what);
}

}  // namespace qbx
