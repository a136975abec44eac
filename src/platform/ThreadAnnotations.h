#pragma once

#include <mutex>

// Clang's thread-safety analysis (-Wthread-safety): a member marked
// ULMORA_GUARDED_BY(mu_) may be touched only with mu_ held, a function marked
// ULMORA_REQUIRES(mu_) only be called with it held. Other compilers see no
// annotation. The analysis knows only annotated lock types, hence Mutex and
// MutexLock below in place of std::mutex and std::lock_guard.
#if defined(__clang__)
#define ULMORA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ULMORA_THREAD_ANNOTATION(x)
#endif

#define ULMORA_CAPABILITY(x) ULMORA_THREAD_ANNOTATION(capability(x))
#define ULMORA_SCOPED_CAPABILITY ULMORA_THREAD_ANNOTATION(scoped_lockable)
#define ULMORA_GUARDED_BY(x) ULMORA_THREAD_ANNOTATION(guarded_by(x))
#define ULMORA_PT_GUARDED_BY(x) ULMORA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ULMORA_REQUIRES(...) ULMORA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ULMORA_EXCLUDES(...) ULMORA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ULMORA_ACQUIRE(...) ULMORA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ULMORA_RELEASE(...) ULMORA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ULMORA_TRY_ACQUIRE(...) ULMORA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ULMORA_RETURN_CAPABILITY(x) ULMORA_THREAD_ANNOTATION(lock_returned(x))

namespace ulmora {

// std::mutex as the analysis sees it. Thread-safety: as std::mutex.
class ULMORA_CAPABILITY("mutex") Mutex {
 public:
  void lock() ULMORA_ACQUIRE() { mu_.lock(); }
  void unlock() ULMORA_RELEASE() { mu_.unlock(); }
  bool try_lock() ULMORA_TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // For std::condition_variable (wait on a std::unique_lock of it).
  std::mutex& native() ULMORA_RETURN_CAPABILITY(this) { return mu_; }

 private:
  std::mutex mu_;
};

// Holds a Mutex for its scope.
class ULMORA_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ULMORA_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  // Takes over a lock already held (after a successful try_lock).
  MutexLock(Mutex& mu, std::adopt_lock_t) ULMORA_REQUIRES(mu) : mu_(mu) {}
  ~MutexLock() ULMORA_RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// A MutexLock that may be let go and taken again within its scope, and
// handed to a std::condition_variable (native()). A predicate that reads
// guarded members is a lambda marked ULMORA_REQUIRES(mu): the wait calls it
// with the mutex held.
class ULMORA_SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mu) ULMORA_ACQUIRE(mu) : lock_(mu.native()) {}
  ~UniqueMutexLock() ULMORA_RELEASE() {}
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;
  void lock() ULMORA_ACQUIRE() { lock_.lock(); }
  void unlock() ULMORA_RELEASE() { lock_.unlock(); }
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace ulmora
