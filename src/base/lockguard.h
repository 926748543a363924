// lockguard.h — ZEPLockGuard, the one scope guard for a Mutex.
//
// Every lock site of the code base holds its Mutex through this guard, so
// that the deadlock detector (zepdeadlock.h) sees each one with the caller's
// file and line, and clang's thread-safety analysis sees the lock held for
// the scope. It adds no ordering of its own: a function that holds two locks
// takes them in the order of docs/ARCHITECTURE.md.
//
// Tracking: by default the lock goes through the detector in the build that
// has it (ZEP_DEADLOCK_DETECT, the CMake option ZEP_DEADLOCK_DETECTOR) and
// straight to the mutex otherwise. kTracked goes through the detector in
// every build (the detector's own tests); kUntracked never does — only for
// the detector's own lock, which it cannot watch without watching itself,
// and for the log lock taken by the detector's report sink, which runs in
// the middle of a tracked wait (zeplog.cpp).
//
// Threads: a guard belongs to the thread that made it.
#ifndef ZEP_BASE_LOCKGUARD_H
#define ZEP_BASE_LOCKGUARD_H

#include "base/zepmultithread_lock.h"
#include "base/zepthreadsafety.h"

// The deadlock detector's entry points (zepdeadlock.cpp), declared here so
// that every layer down to the pools may hold a lock through the guard
// without including the detector's trees.
// Blocks on `m` through the detector: WaitMutex, Acquire, AcquiredMutex.
void ZEPDLAcquire(Mutex& m, const char* file, int line) ACQUIRE(m) NO_THREAD_SAFETY_ANALYSIS;
// ReleaseAcqMutex, then Release.
void ZEPDLRelease(Mutex& m) RELEASE(m) NO_THREAD_SAFETY_ANALYSIS;

class SCOPED_CAPABILITY ZEPLockGuard {
 public:
  enum Tracking { kByBuild, kTracked, kUntracked };

  // The site is the caller's.
  explicit ZEPLockGuard(Mutex& m, const char* file = __builtin_FILE(), int line = __builtin_LINE())
      ACQUIRE(m)
      : ZEPLockGuard(m, kByBuild, file, line) {}
  ZEPLockGuard(Mutex& m, Tracking how, const char* file = __builtin_FILE(),
               int line = __builtin_LINE()) ACQUIRE(m)
      : m_pMutex(&m) {
#ifdef ZEP_DEADLOCK_DETECT
    m_bTracked = how != kUntracked;
#else
    m_bTracked = how == kTracked;
#endif
    if (m_bTracked)
      ZEPDLAcquire(m, file, line);
    else
      m.Acquire();
  }
  ~ZEPLockGuard() RELEASE() { Unlock(); }
  ZEPLockGuard(const ZEPLockGuard&) = delete;
  ZEPLockGuard& operator=(const ZEPLockGuard&) = delete;

  // Leaves the lock early; the destructor then does nothing.
  void Unlock() RELEASE() {
    if (m_pMutex == nullptr) return;
    if (m_bTracked)
      ZEPDLRelease(*m_pMutex);
    else
      m_pMutex->Release();
    m_pMutex = nullptr;
  }

 private:
  Mutex* m_pMutex;
  bool m_bTracked;
};

#endif  // ZEP_BASE_LOCKGUARD_H
