// Construction and destruction of the database, its getters and its error state.
#include "database/quillbox.h"

#include <sstream>
#include <stdexcept>

namespace {

// "major.minor.patch" from the version macros of the public header, which CMake
// generates from the project's version.
std::string MakeVersionText() {
  std::ostringstream text;
  text << QUILLBOX_VERSION_MAJOR << "." << QUILLBOX_VERSION_MINOR << "."
       << std::to_string(QUILLBOX_VERSION_PATCH);
  return text.str();
}

}  // namespace

Quillbox::Quillbox(std::uint64_t packageSize, std::uint64_t maxQueuedPackages,
                   const char* folder)
    : Quillbox(ImportTag{}, maxQueuedPackages) {
  // A block holds the buffered bytes and one item under a 32-bit length, so a buffer
  // larger than 2^32 bytes could never be written out.
  if (packageSize > kLargestPackageSize) throw std::runtime_error("Datatype range exceeded");
  packages.SetPackageSize(packageSize);
  if (folder != nullptr) files.AddPackageFile(folder);
  StartDatabaseWriter();
}

// Every field as a new database has it, without a package file and without threads.
Quillbox::Quillbox(ImportTag, std::uint64_t maxQueuedPackages)
    : versionText(MakeVersionText()),
      maxQueuedPackages(maxQueuedPackages),
      packages(files, maxQueuedPackages) {}

// The database writer starts last, once the object is complete. If it cannot start,
// the destructor (run for the delegating constructor's object) releases what exists.
void Quillbox::StartDatabaseWriter() {
  workerThreads.push_back(nullptr);
  runningWriters.fetch_add(1, std::memory_order_acq_rel);
  try {
    workerThreads.back() = new std::thread(&Quillbox::databaseWriter, this);
  } catch (...) {
    runningWriters.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
}

Quillbox::~Quillbox() {
  if (!HasFailed()) {
    try {
      Synchronize();
    } catch (...) {
      RecordFailure("Error in thread synchronization");
    }
  }
  StopThreads();

  for (std::uint64_t k = 0; k < slots.size(); ++k) {
    delete[] slots[k]->data;
    delete slots[k];
  }
}

// Sets the stop request, wakes every writer (also idle slot writers, so that the
// joins do not wait for a nap to run out) and joins them in order of start.
void Quillbox::StopThreads() {
  stopRequested.exchange(true);
  for (qbx::ThreadSlot* slot = slotList.first.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    slot->wake.notifyOne();
  }
  writerWake.notifyOne();
  for (std::thread*& thread : workerThreads) {
    if (thread == nullptr) continue;  // A thread that never started.
    if (thread->joinable()) thread->join();
    delete thread;
    thread = nullptr;
  }
  workerThreads.clear();
}

const char* Quillbox::ErrorText() const {
  return errors.Text();
}

void Quillbox::CheckFailure() const {
  errors.Check();
}

// Sets the error flag with its message. Every writer is woken, so that idle ones
// notice the flag and end at once.
void Quillbox::RecordFailure(const std::string& message) {
  errors.Record(message);
  writerWake.notifyAll();
  for (qbx::ThreadSlot* slot = slotList.first.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    slot->wake.notifyAll();
  }
}

// After a writer failure every writer ends at its next check of the flag; what they
// were writing at that moment ends first, so this waits for I/O in progress only.
void Quillbox::WaitForWritersToEnd() const {
  qbx::Backoff backoff;
  while (runningWriters.load(std::memory_order_acquire) != 0) backoff.Pause();
}

std::uint64_t Quillbox::PackageCount() { return packages.Count(); }

std::uint32_t Quillbox::ThreadCount() {
  std::lock_guard<std::mutex> lock(countersMutex);
  return threadCount.load(std::memory_order_relaxed);
}

std::uint64_t Quillbox::FileCount() { return files.Count(); }

const char* Quillbox::FileName(std::uint64_t index) const { return files.Name(index); }

qbx::DataFile& Quillbox::FileAt(std::uint64_t index) { return files.At(index); }
