// Conversions between a package record and its serialized image.
#include "write/records.h"

namespace qbx {

PackageImage PackageRecord::Image() const {
  PackageImage image;
  image.firstBlockPos = firstBlockPos.load(std::memory_order_acquire);
  image.firstBlockFile = firstBlockFile.load(std::memory_order_relaxed);
  image.firstBlockLen = firstBlockLen.load(std::memory_order_relaxed);
  image.lastBlockPos = lastBlockPos;
  image.lastBlockFile = lastBlockFile;
  image.bufferedBytes = bufferedBytes.load(std::memory_order_relaxed);
  image.packageId = packageId;
  image.issuedJobs = issuedJobs.load(std::memory_order_relaxed);
  image.completedJobs = completedJobs.load(std::memory_order_relaxed);
  return image;
}

void PackageRecord::Assign(const PackageImage& image) {
  firstBlockFile.store(image.firstBlockFile, std::memory_order_relaxed);
  firstBlockLen.store(image.firstBlockLen, std::memory_order_relaxed);
  firstBlockPos.store(image.firstBlockPos, std::memory_order_release);
  lastBlockPos = image.lastBlockPos;
  lastBlockFile = image.lastBlockFile;
  // A record read back holds no buffer and no job is outstanding for it, whatever a
  // damaged image says: buffered bytes without a buffer, or issued jobs that no writer
  // will ever complete, would corrupt or stall the package.
  bufferedBytes.store(0, std::memory_order_relaxed);
  packageId = image.packageId;
  issuedJobs.store(image.completedJobs, std::memory_order_relaxed);
  completedJobs.store(image.completedJobs, std::memory_order_relaxed);
  finishedJobs.store(image.completedJobs, std::memory_order_relaxed);
}

}  // namespace qbx
