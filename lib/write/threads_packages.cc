// NewThread and NewPackage: the only ways threads and packages come into being.
// Nothing is removed before destruction.
#include <limits>
#include <memory>
#include <stdexcept>

#include "database/quillbox.h"

namespace {

std::uint32_t NarrowFileIndex(std::uint64_t index) {
  if (index > std::numeric_limits<std::uint32_t>::max()) {
    throw std::runtime_error("Datatype range exceeded");
  }
  return static_cast<std::uint32_t>(index);
}

}  // namespace

const char* Quillbox::NewThread(const std::string& folder, std::uint64_t maxFileSize) {
  const std::uint64_t index = files.Add(folder, maxFileSize);
  {
    std::lock_guard<std::mutex> lock(countersMutex);
    auto slot = std::make_unique<qbx::ThreadSlot>();
    slot->fileIndex.store(NarrowFileIndex(index), std::memory_order_relaxed);
    slot->folder = folder;
    // Room for every table entry first, so that nothing can fail once the thread runs.
    workerThreads.push_back(nullptr);
    runningWriters.fetch_add(1, std::memory_order_acq_rel);
    try {
      workerThreads.back() = new std::thread(&Quillbox::threadWriter, this, slot.get());
    } catch (...) {
      runningWriters.fetch_sub(1, std::memory_order_acq_rel);
      workerThreads.pop_back();
      throw;
    }
    qbx::ThreadSlot* published = slot.release();
    slots.push_back(published);
    slotList.last->store(published, std::memory_order_release);
    slotList.last = &published->next;
    threadCount.fetch_add(1, std::memory_order_release);
  }
  return FileName(index);
}

std::uint64_t Quillbox::NewPackage() { return packages.Add(); }
