// Creation, transfers and removal of one data file.
#include "storage/data_file.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace qbx {
namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// No system opens a longer path (Windows takes at most 32767 UTF-16 units, POSIX
// systems far fewer bytes); it also bounds the work a damaged name can cause.
constexpr std::size_t kLongestPath = 32767;

// Files shorter than this are read without a map. A map costs about what one read
// does, so this only spares maps of files that hardly anyone reads.
constexpr std::uint64_t kLeastMapped = 4096;

bool IsSeparator(char c) {
#if defined(_WIN32)
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

// Parts that would not lead below the index's folder, or not lead anywhere.
bool IsSkippedPart(std::string_view part) {
  return part.empty() || part == "." || part == "..";
}

}  // namespace

std::string FindMovedFile(const std::string& indexFolder, const std::string& storedName,
                          const std::function<bool(const std::string&)>& exists) {
  std::string prefix = indexFolder;
  if (!prefix.empty() && !IsSeparator(prefix.back())) prefix += kSeparator;
  std::string tail;  // The parts taken so far, from the last one back.
  std::vector<std::string> candidates;  // Shortest first.
  for (std::size_t end = storedName.size();;) {
    std::size_t start = end;
    while (start > 0 && !IsSeparator(storedName[start - 1])) --start;
    const std::string_view part(storedName.data() + start, end - start);
    if (!IsSkippedPart(part)) {
      tail = tail.empty() ? std::string(part) : std::string(part) + kSeparator + tail;
      if (prefix.size() + tail.size() > kLongestPath) break;  // Only longer ones follow.
      candidates.push_back(prefix + tail);
    }
    if (start == 0) break;
    end = start - 1;
  }
  // The most specific match wins: data files in different folders may share a name
  // (the Windows run-time's names repeat from folder to folder), so the name alone
  // could find another file of the recording.
  for (auto candidate = candidates.rbegin(); candidate != candidates.rend(); ++candidate) {
    if (exists(*candidate)) return *candidate;
  }
  return {};
}

DataFile::DataFile(const std::string& folder, std::uint64_t maxSize) : maxSize(maxSize) {
  handle = CreateUniqueFile(folder, &fileName);
  if (handle == kNoFile) throw std::runtime_error("Unable to create file " + fileName);
  PublishName();
}

void DataFile::PublishName() {
  publishedNames_.push_back(fileName);  // A deque: the names before it stay in place.
  publishedName_.store(publishedNames_.back().c_str(), std::memory_order_release);
}

DataFile::DataFile() = default;

DataFile::~DataFile() {
  {
    WriterLock noReaders(bytesLock);
    DropViews();
  }
  if (handle != kNoFile) {
    CloseFile(handle);
    handle = kNoFile;
  }
  if (!keepOnClose && !fileName.empty()) {
    try {
      RemoveFile(fileName);  // A failed removal is ignored: nothing can be done here.
    } catch (...) {
    }
  }
}

void DataFile::Reopen(const IndexFileEntry& entry, const std::string& indexFolder,
                      const std::set<std::string>& taken) {
  fileName = entry.name;
  size = entry.size;
  maxSize = entry.maxSize;
  // A file listed in an index is always kept: whatever the stored flag says, deleting
  // it at destruction would lose saved data.
  keepOnClose = true;
  // A recording that was moved or copied elsewhere lists paths of its old place; its
  // files are then found below the index's folder. A listed file that exists is used
  // as it is. A file that an earlier entry of the same index already took, however
  // spelled, is never taken again: files of different folders may share a name.
  const auto available = [&](const std::string& path) {
    return IsRegularFile(path) && taken.count(FileKey(path)) == 0;
  };
  if (!available(fileName)) {
    std::string found = FindMovedFile(indexFolder, fileName, available);
    if (!found.empty()) fileName = std::move(found);
  }
  // Two entries of one file (a damaged index) would be two files to the database, each
  // with its own size and lock, and a relocation of one would delete the other.
  if (taken.count(FileKey(fileName)) != 0) {
    throw std::runtime_error("Unable to reopen file " + entry.name);
  }
  bool refusedWriting = false;
  handle = OpenFile(fileName, OpenMode::kUpdate, &refusedWriting);
  if (handle == kNoFile && refusedWriting) {
    handle = OpenFile(fileName, OpenMode::kRead);
    readOnly = handle != kNoFile;
  }
  if (handle == kNoFile) throw std::runtime_error("Unable to reopen file " + fileName);
  PublishName();
  // Data stored after the index was saved lies beyond the stored size; appending at
  // the larger of the two never overwrites it, and every new position stays right.
  // Without the length, appends could overwrite blocks that links still lead to.
  std::uint64_t length = 0;
  if (!FileLength(handle, &length)) throw std::runtime_error("Unable to reopen file " + fileName);
  if (length > size.load(std::memory_order_relaxed)) {
    size.store(length, std::memory_order_relaxed);
  } else if (length < size.load(std::memory_order_relaxed)) {
    lostFrom = length;
    lostTo = size.load(std::memory_order_relaxed);
  }
}

void DataFile::WriteTo(IndexWriter& index) {
  const std::string entry = EncodeFileEntry(fileName, size.load(std::memory_order_acquire), maxSize);
  keepOnClose = true;
  index.Put(entry.data(), entry.size());
}

void DataFile::WriteAt(std::uint64_t position, const void* data, std::size_t size) {
  if (handle == kNoFile || !CanPosition(position)) throw std::runtime_error("Unable to search data");
  if (size != 0 && qbx::WriteAt(handle, position, data, size) != size) {
    throw std::runtime_error("Unable to write data");
  }
}

void DataFile::WriteGatherAt(std::uint64_t position, const WritePiece* pieces,
                             std::size_t count) {
  if (handle == kNoFile || !CanPosition(position)) throw std::runtime_error("Unable to search data");
  std::size_t total = 0;
  for (std::size_t k = 0; k < count; ++k) total += pieces[k].size;
  if (total != 0 && qbx::WriteGatherAt(handle, position, pieces, count) != total) {
    throw std::runtime_error("Unable to write data");
  }
}

void DataFile::ReadAt(std::uint64_t position, void* data, std::size_t size) {
  if (handle == kNoFile || !CanPosition(position)) throw std::runtime_error("Unable to search data");
  if (size == 0) return;
  const FileView* mapped = position + size < position ? nullptr : ViewFor(position + size);
  const std::size_t got = mapped != nullptr ? ReadFromView(*mapped, position, data, size)
                                            : qbx::ReadAt(handle, position, data, size);
  if (got != size) throw std::runtime_error("Unable to read data");
}

const FileView* DataFile::ViewFor(std::uint64_t end) {
  const FileView* newest = view.load(std::memory_order_acquire);
  if (newest != nullptr && end <= newest->length) return newest;
  MutexLock lock(viewMutex);
  newest = view.load(std::memory_order_relaxed);
  if (newest != nullptr && end <= newest->length) return newest;  // Mapped meanwhile.
  // Bytes past the database's size may still be being written: a map covers only
  // those below it, and MapFile no more than the file holds (it may have lost bytes
  // before its reopen), so no read from a map runs past the file's end.
  const std::uint64_t held = size.load(std::memory_order_acquire);
  if (held < std::max(nextMapAt, kLeastMapped) || end > held) return nullptr;
  // Tried once per doubling, whether the map succeeds or not: a system that refuses
  // maps costs one call per doubling, and reads go to the file.
  nextMapAt = held * 2;
  auto fresh = std::make_unique<FileView>(MapFile(handle, held));
  if (fresh->bytes == nullptr || fresh->length < end) {
    UnmapFile(*fresh);
    return nullptr;
  }
  views.push_back(std::move(fresh));
  view.store(views.back().get(), std::memory_order_release);
  return views.back().get();
}

void DataFile::DropViews() {
  MutexLock lock(viewMutex);
  view.store(nullptr, std::memory_order_relaxed);
  for (const std::unique_ptr<FileView>& mapped : views) UnmapFile(*mapped);
  views.clear();
  nextMapAt = 0;
}

bool DataFile::ReadBlockHeader(std::uint64_t position, BlockHeader* header) {
  const std::uint64_t end = size.load(std::memory_order_acquire);
  if (position > end || end - position < kBlockHeaderSize) return false;
  const auto reachesLostBytes = [this, position](std::uint64_t blockLen) {
    return position < lostTo && position + blockLen > lostFrom;
  };
  if (reachesLostBytes(kBlockHeaderSize)) return false;
  char bytes[kBlockHeaderSize];
  ReadAt(position, bytes, sizeof bytes);
  const BlockHeader decoded = DecodeBlockHeader(bytes);
  // No block is ever written empty: a header with no payload is bytes a crash left
  // (a file's grown length reached the disk, its new bytes did not, and read as zeros).
  if (decoded.payloadLen == 0 || decoded.payloadLen > end - position - kBlockHeaderSize ||
      reachesLostBytes(kBlockHeaderSize + decoded.payloadLen)) {
    return false;
  }
  *header = decoded;
  if (!staleLinks.empty() && staleLinks.count(position) != 0) {
    header->nextBlockPos = kNoPosition;
    header->nextBlockFile = 0;
  }
  return true;
}

}  // namespace qbx
