// Mutexes whose use the compiler checks: with clang and -Wthread-safety, a field
// marked GUARDED_BY(m) may only be touched while `m` is held, and a function marked
// REQUIRES(m) only be called so. Other compilers see plain mutexes.
#ifndef QUILLBOX_PLATFORM_MUTEX_H_
#define QUILLBOX_PLATFORM_MUTEX_H_

#include <mutex>
#if !defined(_WIN32)
#include <shared_mutex>
#endif

#if defined(__clang__)
#define QBX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QBX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QBX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QBX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QBX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QBX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QBX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) QBX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QBX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QBX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QBX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QBX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QBX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QBX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QBX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QBX_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS QBX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qbx {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

struct AdoptLock {};

// Holds a Mutex for its scope, or until Unlock. With AdoptLock it takes over a mutex
// the caller holds already (after a TryLock).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(&mutex) { mutex.Lock(); }
  MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex) : mutex_(&mutex) {}
  ~MutexLock() RELEASE() {
    if (mutex_ != nullptr) mutex_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_->Unlock();
    mutex_ = nullptr;
  }

 private:
  Mutex* mutex_;
};

#if defined(_WIN32)
// The system's slim reader/writer lock, in platform_windows.cc: the run-time's
// std::shared_mutex (a winpthreads rwlock) can leave a reader and a writer that unlock
// at the same moment both waiting for ever on its inner mutex.
void LockSlim(void** lock);
void UnlockSlim(void** lock);
void LockSlimShared(void** lock);
void UnlockSlimShared(void** lock);
#endif

// Shared by readers, or held by one writer.
class CAPABILITY("shared mutex") SharedMutex {
 public:
#if defined(_WIN32)
  void Lock() ACQUIRE() { LockSlim(&lock_); }
  void Unlock() RELEASE() { UnlockSlim(&lock_); }
  void LockShared() ACQUIRE_SHARED() { LockSlimShared(&lock_); }
  void UnlockShared() RELEASE_SHARED() { UnlockSlimShared(&lock_); }

 private:
  void* lock_ = nullptr;  // An SRWLOCK, initially all zero.
#else
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
#endif
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex.LockShared();
  }
  ~ReaderLock() RELEASE() { mutex_.UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex.Lock(); }
  ~WriterLock() RELEASE() { mutex_.Unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace qbx

#endif  // QUILLBOX_PLATFORM_MUTEX_H_
