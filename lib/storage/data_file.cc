// Creation, transfers and removal of one data file.
#include "storage/data_file.h"

#include <stdexcept>

namespace qbx {

DataFile::DataFile(const std::string& folder, std::uint64_t maxSize) : maxSize(maxSize) {
  handle = CreateUniqueFile(folder, &fileName);
  if (handle == nullptr) throw std::runtime_error("Unable to create file " + fileName);
}

DataFile::DataFile() = default;

DataFile::~DataFile() {
  if (handle != nullptr) {
    CloseFile(handle);
    handle = nullptr;
  }
  if (!keepOnClose && !fileName.empty()) {
    try {
      RemoveFile(fileName);  // A failed removal is ignored: nothing can be done here.
    } catch (...) {
    }
  }
}

void DataFile::SeekTo(std::uint64_t position) {
  if (handle == nullptr || !qbx::SeekFile(handle, position)) {
    throw std::runtime_error("Unable to search data");
  }
}

void DataFile::WriteAll(const void* data, std::size_t size) {
  if (size != 0 && qbx::WriteFile(handle, data, size) != size) {
    throw std::runtime_error("Unable to write data");
  }
}

void DataFile::ReadAll(void* data, std::size_t size) {
  if (size != 0 && qbx::ReadFile(handle, data, size) != size) {
    throw std::runtime_error("Unable to read data");
  }
}

void DataFile::WriteAt(std::uint64_t position, const void* data, std::size_t size) {
  SeekTo(position);
  WriteAll(data, size);
}

void DataFile::ReadAt(std::uint64_t position, void* data, std::size_t size) {
  SeekTo(position);
  ReadAll(data, size);
}

}  // namespace qbx
