// zepmultithread_lock.h — the lock and the counting semaphore of the
// framework.
//
// Owns: `Mutex`, a non-recursive lock over a heap-allocated pthread mutex
// that records an advisory owner; `Semaphore`, an unnamed, process-private
// counting semaphore.
//
// Threads: both are safe from any thread. Mutex is not recursive:
// re-acquiring a held mutex on the same thread blocks forever.
//
// Locks: neither takes a lock besides the one it is. Nesting is the callers'
// business and follows the one written order (docs/ARCHITECTURE.md): ticker
// or socket-map lock -> node-list lock -> queue lock -> engine lock -> pool
// lock, with g_LogMutex always innermost. Code holds a Mutex through
// ZEPLockGuard (base/lockguard.h), which the deadlock detector sees; Mutex
// is a capability for clang's thread-safety analysis (zepthreadsafety.h).
#ifndef ZEP_BASE_ZEPMULTITHREAD_LOCK_H
#define ZEP_BASE_ZEPMULTITHREAD_LOCK_H

#include <pthread.h>
#include <semaphore.h>

#include <atomic>

#include "base/zepthreadsafety.h"

// The wrappers below hand the lock to pthreads, which the analysis cannot
// see into; their callers are checked against what they declare.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool Create();
  // Blocks until locked, then records `who`; the platform result (0 = ok).
  int Acquire(pthread_t* who = nullptr) ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  bool TryAcquire(pthread_t* who = nullptr) TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS;
  // Clears the owner, then unlocks.
  bool Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS;
  pthread_t* GetAcquiredThread() const { return m_pOwner.load(std::memory_order_relaxed); }
  // BasicLockable, so that std::condition_variable_any can wait on it.
#ifdef ZEP_DEADLOCK_DETECT
  // With the detector built in, a condition variable's unlock and relock are
  // followed by it too (zepdeadlock.cpp).
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS;
#else
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { Acquire(); }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { Release(); }
#endif
  bool Destroy();

 private:
  pthread_mutex_t* m_pHandle;
  // Written under the lock, read by anyone (diagnostics and reports).
  std::atomic<pthread_t*> m_pOwner;
};

class Semaphore {
 public:
  Semaphore();
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // `name` is not used: the semaphore is unnamed and process-private.
  bool Create(const char* name, int value);
  // Waits for a positive count and takes one; 0 on success. A signal does not
  // end the wait.
  int Acquire();
  // Takes one without blocking; 0 on success, -1 when the count is zero.
  int TryAcquire();
  bool Release();
  bool Destroy();

 private:
  sem_t* m_pHandle;
};

#endif  // ZEP_BASE_ZEPMULTITHREAD_LOCK_H
