// lockguard.h — scope guard for a Mutex, used across the units.
//
// Holds the mutex from construction to destruction (or to Unlock()). It adds
// no ordering of its own: every function that holds two locks names them in
// the order of docs/ARCHITECTURE.md.
#ifndef ZEP_BASE_LOCKGUARD_H
#define ZEP_BASE_LOCKGUARD_H

#include "base/zepmultithread.h"

class ZEPLockGuard {
 public:
  explicit ZEPLockGuard(Mutex& m) : m_pMutex(&m) { m_pMutex->Acquire(); }
  ~ZEPLockGuard() { Unlock(); }
  ZEPLockGuard(const ZEPLockGuard&) = delete;
  ZEPLockGuard& operator=(const ZEPLockGuard&) = delete;

  // Leaves the lock early; the destructor then does nothing.
  void Unlock() {
    if (m_pMutex != nullptr) m_pMutex->Release();
    m_pMutex = nullptr;
  }

 private:
  Mutex* m_pMutex;
};

#endif  // ZEP_BASE_LOCKGUARD_H
