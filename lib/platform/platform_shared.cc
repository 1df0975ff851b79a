// The parts of the platform layer that are the same on every system.
#include <cstdint>

#include "platform/platform.h"
#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {

bool CanPosition(std::uint64_t offset) {
#ifdef QUILLBOX_TESTING
  if (testing::SeekFaultFires()) return false;
#endif
  return offset <= static_cast<std::uint64_t>(INT64_MAX);
}

}  // namespace qbx
