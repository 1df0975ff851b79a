// The error flag of a database's writer threads and its message. The first writer that
// fails records its message; from then on the flag stays set, every guarded call fails
// with that message, and Save salvages what reached the data files.
#ifndef QUILLBOX_WRITE_ERROR_STATE_H_
#define QUILLBOX_WRITE_ERROR_STATE_H_

#include <atomic>
#include <string>

#include "platform/mutex.h"

namespace qbx {

class ErrorState {
 public:
  ErrorState() = default;
  ErrorState(const ErrorState&) = delete;
  ErrorState& operator=(const ErrorState&) = delete;

  bool Failed() const { return flag_.load(std::memory_order_acquire); }
  // Throws a std::runtime_error carrying a copy of the message when the flag is set.
  void Check() const;
  // The message ("" before any failure). The pointer stays valid for the state's life.
  const char* Text() const { return message_.load(std::memory_order_acquire)->c_str(); }
  // Stores the message unless an earlier failure's is kept, then sets the flag, so that
  // whoever sees the flag finds the message. Never throws: it runs in the writers'
  // failure handlers, where an exception would end the process.
  void Record(const char* message) noexcept EXCLUDES(mutex_);

 private:
  const std::string noError_;
  const std::string outOfMemory_{"Out of memory"};
  std::atomic<bool> flag_{false};
  std::atomic<const std::string*> message_{&noError_};
  Mutex mutex_;
  std::string text_ GUARDED_BY(mutex_);  // The first message; never changed once published.
};

}  // namespace qbx

#endif  // QUILLBOX_WRITE_ERROR_STATE_H_
