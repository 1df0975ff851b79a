// The parts of the platform layer that are the same on every system.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "platform/fault_sites.h"

namespace qbx {

bool CanPosition(std::uint64_t offset) {
#ifdef QUILLBOX_TESTING
  if (testing::CallFails(testing::Call::kPosition) || testing::SeekFaultFires()) return false;
#endif
  return offset <= static_cast<std::uint64_t>(INT64_MAX);
}

bool IsFile(const std::string& path, const FileId& id) {
  FileId other;
  return IdentifyFile(path, &other) && other == id;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  FileId id;
  return IdentifyFile(a, &id) && IsFile(b, id);
}

std::string FileKey(const std::string& path) {
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(
      std::filesystem::path(std::u8string(path.begin(), path.end())), error);
  if (error) return path;
  const std::u8string spelled = resolved.u8string();
  std::string key(spelled.begin(), spelled.end());
#ifdef _WIN32
  // Windows file names ignore letter case; folding ASCII covers the names it makes.
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
#endif
  return key;
}

std::size_t ReadFromView(const FileView& view, std::uint64_t offset, void* data,
                         std::size_t size) {
#ifdef QUILLBOX_TESTING
  size = testing::TransferAllowed(testing::Call::kRead, size);
  if (testing::ReadFaultFires()) return 0;
#endif
  std::memcpy(data, view.bytes + offset, size);
  return size;
}

std::size_t CutPiecesAtFault(WritePiece* pieces, std::size_t count) {
#ifdef QUILLBOX_TESTING
  // The gathered write is one call for the call counters: a failing one keeps only
  // the bytes its fault lets through, from the start.
  std::size_t total = 0;
  for (std::size_t k = 0; k < count; ++k) total += pieces[k].size;
  std::size_t allowed = testing::TransferAllowed(testing::Call::kWrite, total);
  if (allowed != total) {
    std::size_t k = 0;
    for (; k < count && pieces[k].size <= allowed; ++k) allowed -= pieces[k].size;
    if (k == count) return count;
    pieces[k].size = allowed;
    count = k + 1;
  }
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t allowed = 0;
    if (testing::WriteFaultFires(pieces[k].size, &allowed)) {
      pieces[k].size = allowed;
      return k + 1;
    }
  }
#else
  (void)pieces;
#endif
  return count;
}

}  // namespace qbx
