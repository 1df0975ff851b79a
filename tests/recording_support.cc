// Recordings spelled out byte by byte, and snapshots of folders.
#include "recording_support.h"

#include <chrono>
#include <fstream>

#include "test_support.h"

namespace qbx::test {

namespace fs = std::filesystem;

std::string BlockBytes(std::uint64_t nextPos, std::uint32_t nextFile, const std::string& payload) {
  return Le(nextPos, 8) + Le(nextFile, 4) + Le(payload.size(), 4) + payload;
}

std::string RecordBytes(std::uint64_t firstPos, std::uint32_t firstFile, std::uint64_t lastPos,
                        std::uint32_t lastFile, std::uint64_t id) {
  return Le(firstPos, 8) + Le(firstFile, 4) + Le(0, 4) + Le(lastPos, 8) + Le(lastFile, 4) +
         Le(0, 4) + Le(id, 8) + Le(0, 2) + Le(0, 2);
}

std::string IndexBytes(bool packageFile, const std::vector<FileSpec>& files,
                       const std::vector<std::string>& records) {
  std::string index = std::string("Quillbox") + Le(1, 4) + Le(0, 4) + Le(64, 8) +
                      Le(records.size(), 8) + static_cast<char>(packageFile) + Le(files.size(), 8);
  for (const FileSpec& f : files) {
    index += Le(f.name.size(), 8) + f.name + Le(f.listedSize, 8) + Le(kNone, 8) + '\x01';
  }
  index += Le(records.size(), 8);
  for (std::size_t n = 0; n < records.size(); ++n) {
    index += records[n].empty() ? '\x01' + Le(44 * n, 8) : '\x00' + records[n];
  }
  return index;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

::testing::AssertionResult FaultIs(const std::optional<Fault>& fault, const std::string& what,
                                   std::uint64_t file, std::uint64_t offset) {
  if (!fault) return ::testing::AssertionFailure() << "no fault; expected \"" << what << "\"";
  if (fault->what.find(what) == std::string::npos ||
      (file != kNone && (fault->place.inIndex || fault->place.file != file)) ||
      (offset != kNone && fault->place.offset != offset)) {
    return ::testing::AssertionFailure()
           << "the fault \"" << fault->what << "\" at "
           << (fault->place.inIndex ? "index" : "file ") << fault->place.file << " offset "
           << fault->place.offset << "; expected \"" << what << "\" at file " << file
           << " offset " << offset;
  }
  return ::testing::AssertionSuccess();
}

FolderState Snapshot(const std::string& folder) {
  FolderState files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(folder).generic_string()] =
          FileState{ReadWholeFile(entry.path().string()), fs::last_write_time(entry.path())};
    }
  }
  return files;
}

void AgeFiles(const std::string& folder) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
  }
}

}  // namespace qbx::test
