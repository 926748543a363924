// lockguard.h — scope guard for a Mutex, used across the units.
//
// Holds the mutex from construction to destruction (or to Unlock()). It adds
// no ordering of its own: every function that holds two locks names them in
// the order of docs/ARCHITECTURE.md.
#ifndef ZEP_BASE_LOCKGUARD_H
#define ZEP_BASE_LOCKGUARD_H

#include "base/zepdeadlock.h"
#include "base/zepmultithread.h"

class ZEPLockGuard {
 public:
  // The site is the caller's; with ZEP_DEADLOCK_DETECT (the CMake option
  // ZEP_DEADLOCK_DETECTOR) the lock is taken through the deadlock detector.
  explicit ZEPLockGuard(Mutex& m, const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : m_pMutex(&m) {
#ifdef ZEP_DEADLOCK_DETECT
    ZEPDLAcquire(m, file, line);
#else
    (void)file;
    (void)line;
    m_pMutex->Acquire();
#endif
  }
  ~ZEPLockGuard() { Unlock(); }
  ZEPLockGuard(const ZEPLockGuard&) = delete;
  ZEPLockGuard& operator=(const ZEPLockGuard&) = delete;

  // Leaves the lock early; the destructor then does nothing.
  void Unlock() {
    if (m_pMutex == nullptr) return;
#ifdef ZEP_DEADLOCK_DETECT
    ZEPDLRelease(*m_pMutex);
#else
    m_pMutex->Release();
#endif
    m_pMutex = nullptr;
  }

 private:
  Mutex* m_pMutex;
};

#endif  // ZEP_BASE_LOCKGUARD_H
