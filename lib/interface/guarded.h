// The one place where exceptions stop: every exported function that returns an error
// result runs its operation through Guarded.
#ifndef QUILLBOX_INTERFACE_GUARDED_H_
#define QUILLBOX_INTERFACE_GUARDED_H_

#include <cstdint>

#include "database/quillbox.h"

namespace qbx {

// Runs `operation`; 1 when it throws (the text is not kept: only writer threads set
// the error message), else the database's error flag at that moment.
template <typename Operation>
std::uint8_t Guarded(Quillbox* db, Operation&& operation) noexcept {
  try {
    operation();
  } catch (...) {
    return 1;
  }
  return db->HasFailed() ? 1 : 0;
}

}  // namespace qbx

#endif  // QUILLBOX_INTERFACE_GUARDED_H_
