// Shared helpers of the tests.
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace qbx::test {

TempDir::TempDir() {
  // A name no other folder has: create_directory reports whether it made the folder.
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        base / ("quillbox-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

Db::Db(std::uint64_t packageSize, std::uint64_t maxQueued, const char* folder) {
  if (Quillbox_Create(&db_, packageSize, maxQueued, folder) != 0) {
    throw std::runtime_error("Quillbox_Create failed");
  }
}

Db::~Db() { Destroy(); }

void Db::Destroy() {
  Quillbox_Destroy(db_);
  db_ = nullptr;
}

std::uint32_t Db::AddThread(const std::string& folder, std::uint64_t maxFileSize) {
  const char* path = nullptr;
  if (Quillbox_NewThread(&path, folder.c_str(), maxFileSize, db_) != 0) {
    throw std::runtime_error("Quillbox_NewThread failed");
  }
  return Quillbox_GetThreadCount(db_) - 1;
}

std::uint64_t Db::AddPackage() {
  std::uint64_t package = 0;
  if (Quillbox_NewPackage(&package, db_) != 0) throw std::runtime_error("NewPackage failed");
  return package;
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void FlushFiles(Quillbox* db) {
  for (std::uint64_t k = 0; k < db->files.size(); ++k) {
    DataFile& file = *db->files[k];
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.handle != nullptr) std::fflush(file.handle);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

PackageImage RecordOf(Quillbox* db, std::uint64_t package) {
  PackageEntry& entry = db->EntryOf(package);
  std::lock_guard<std::mutex> lock(entry.lock->mutex);
  if (!entry.lock->written.load()) return entry.recordOrOffset.record->Image();
  FlushFiles(db);
  const std::string packageFile = ReadWholeFile(db->FileName(0));
  const std::uint64_t offset = entry.recordOrOffset.offset;
  if (packageFile.size() < offset + kPackageRecordSize) throw std::runtime_error("short package file");
  return DecodePackageImage(packageFile.data() + offset);
}

std::vector<Block> ReadChain(Quillbox* db, std::uint64_t package) {
  const PackageImage record = RecordOf(db, package);
  FlushFiles(db);
  std::vector<std::string> contents(db->files.size());
  std::vector<Block> chain;
  std::uint64_t pos = record.firstBlockPos;
  std::uint32_t file = record.firstBlockFile;
  while (pos != kNoPosition) {
    if (file >= contents.size()) throw std::runtime_error("chain names an unknown file");
    if (contents[file].empty()) contents[file] = ReadWholeFile(db->FileName(file));
    const std::string& bytes = contents[file];
    if (pos + kBlockHeaderSize > bytes.size()) throw std::runtime_error("header beyond the file");
    Block block;
    block.file = file;
    block.headerPos = pos;
    block.header = DecodeBlockHeader(bytes.data() + pos);
    if (pos + kBlockHeaderSize + block.header.payloadLen > bytes.size()) {
      throw std::runtime_error("payload beyond the file");
    }
    block.payload = bytes.substr(pos + kBlockHeaderSize, block.header.payloadLen);
    chain.push_back(block);
    if (chain.size() > 10000000) throw std::runtime_error("chain does not end");
    pos = block.header.nextBlockPos;
    file = block.header.nextBlockFile;
  }
  if (!chain.empty() && (chain.back().headerPos != record.lastBlockPos ||
                         chain.back().file != record.lastBlockFile)) {
    throw std::runtime_error("the chain's last block is not the record's last block");
  }
  return chain;
}

std::string ChainBytes(const std::vector<Block>& chain) {
  std::string bytes;
  for (const Block& block : chain) bytes += block.payload;
  return bytes;
}

std::string MakeItem(std::uint64_t stream, std::uint64_t index, std::size_t size) {
  std::string item(size, '\0');
  std::uint64_t state = (stream + 1) * 0x9E3779B97F4A7C15ull ^ (index + 1) * 0xBF58476D1CE4E5B9ull;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    item[i] = static_cast<char>(state);
  }
  return item;
}

}  // namespace qbx::test
