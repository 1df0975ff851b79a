// The one place where exceptions stop: every exported function that returns an error
// result runs its operation through Guarded. Null arguments are refused here too,
// before anything is touched, so the database never sees one.
#ifndef QUILLBOX_INTERFACE_GUARDED_H_
#define QUILLBOX_INTERFACE_GUARDED_H_

#include <cstdint>

#include "database/quillbox.h"

namespace qbx {

// True when no pointer given is null. The exports check their handles and required
// pointers with it before they allocate or write anything.
template <typename... Pointers>
constexpr bool AllPresent(const Pointers*... pointers) noexcept {
  return ((pointers != nullptr) && ...);
}

// True when `size` bytes can be read from or written to `bytes`: a null pointer is
// fine only for an empty range.
constexpr bool RangePresent(const void* bytes, std::uint64_t size) noexcept {
  return bytes != nullptr || size == 0;
}

// Runs `operation`; 1 for a null database or when it throws (the text is not kept:
// only writer threads set the error message), else the database's error flag at that
// moment.
template <typename Operation>
std::uint8_t Guarded(Quillbox* db, Operation&& operation) noexcept {
  if (db == nullptr) return 1;
  try {
    operation();
  } catch (...) {
    return 1;
  }
  return db->HasFailed() ? 1 : 0;
}

}  // namespace qbx

#endif  // QUILLBOX_INTERFACE_GUARDED_H_
