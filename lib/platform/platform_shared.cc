// The parts of the platform layer that are the same on every system.
#include <cstdint>

#include "platform/platform.h"
#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {

bool CanPosition(std::uint64_t offset) {
#ifdef QUILLBOX_TESTING
  if (testing::CallFails(testing::Call::kPosition) || testing::SeekFaultFires()) return false;
#endif
  return offset <= static_cast<std::uint64_t>(INT64_MAX);
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
