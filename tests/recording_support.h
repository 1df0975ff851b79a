// Recordings spelled out byte by byte for the tests of the recording walker, of recovery
// and of the tool: blocks, package records and indexes written by hand rather than by
// the library's encoders, so that each fault lies exactly where a test puts it; and
// snapshots of a folder, to show that reading a recording changes none of its files.
#ifndef QUILLBOX_TESTS_RECORDING_SUPPORT_H_
#define QUILLBOX_TESTS_RECORDING_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/recording.h"

namespace qbx::test {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

// A block header (next block's position and file, payload length) and its payload.
std::string BlockBytes(std::uint64_t nextPos, std::uint32_t nextFile, const std::string& payload);
// A 44-byte package record.
std::string RecordBytes(std::uint64_t firstPos, std::uint32_t firstFile, std::uint64_t lastPos,
                        std::uint32_t lastFile, std::uint64_t id);
inline std::string NoBlockRecord(std::uint64_t id) { return RecordBytes(kNone, 0, kNone, 0, id); }

struct FileSpec {
  std::string name;  // As the index lists it.
  std::uint64_t listedSize;
};

// An index with a package size of 64: `records` are held (a 44-byte record) or, when
// empty, parked at 44 * n.
std::string IndexBytes(bool packageFile, const std::vector<FileSpec>& files,
                       const std::vector<std::string>& records);

void WriteFile(const std::string& path, const std::string& bytes);

// Whether `fault` is there and its text holds `what`; and, unless kNone, whether it lies
// at `offset` of data file `file`.
::testing::AssertionResult FaultIs(const std::optional<Fault>& fault, const std::string& what,
                                   std::uint64_t file = kNone, std::uint64_t offset = kNone);

// Every file below a folder, by its path from there: its bytes and its modification time.
struct FileState {
  std::string bytes;
  std::filesystem::file_time_type mtime;
  bool operator==(const FileState& other) const {
    return bytes == other.bytes && mtime == other.mtime;
  }
};
using FolderState = std::map<std::string, FileState>;
FolderState Snapshot(const std::string& folder);

// Sets every file's modification time an hour back, so that any write shows.
void AgeFiles(const std::string& folder);

}  // namespace qbx::test

#endif  // QUILLBOX_TESTS_RECORDING_SUPPORT_H_
