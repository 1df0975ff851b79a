// Conversions between a package record and its serialized image.
#include "write/records.h"

namespace qbx {

PackageImage PackageRecord::Image() const {
  PackageImage image;
  image.firstBlockPos = firstBlockPos;
  image.firstBlockFile = firstBlockFile;
  image.firstBlockLen = firstBlockLen;
  image.lastBlockPos = lastBlockPos;
  image.lastBlockFile = lastBlockFile;
  image.bufferedBytes = bufferedBytes;
  image.packageId = packageId;
  image.issuedJobs = issuedJobs.load(std::memory_order_relaxed);
  image.completedJobs = completedJobs.load(std::memory_order_relaxed);
  return image;
}

void PackageRecord::Assign(const PackageImage& image) {
  firstBlockPos = image.firstBlockPos;
  firstBlockFile = image.firstBlockFile;
  firstBlockLen = image.firstBlockLen;
  lastBlockPos = image.lastBlockPos;
  lastBlockFile = image.lastBlockFile;
  // A record read back holds no buffer and no job is outstanding for it, whatever a
  // damaged image says: buffered bytes without a buffer, or issued jobs that no writer
  // will ever complete, would corrupt or stall the package.
  bufferedBytes = 0;
  packageId = image.packageId;
  issuedJobs.store(image.completedJobs, std::memory_order_relaxed);
  completedJobs.store(image.completedJobs, std::memory_order_relaxed);
  finishedJobs.store(image.completedJobs, std::memory_order_relaxed);
}

}  // namespace qbx
