#include "base/zepmultithread_lock.h"

#include <cerrno>

#include "base/zepassert.h"

// ---------------------------------------------------------------------------
// Mutex

Mutex::Mutex() : m_pHandle(nullptr), m_pOwner(nullptr) {
  bool rc = Create();
  ZEP_ASSERT(rc);
}

Mutex::~Mutex() {
  if (m_pHandle != nullptr) Destroy();
}

bool Mutex::Create() {
  if (m_pHandle != nullptr) return true;
  m_pHandle = new pthread_mutex_t;
  if (pthread_mutex_init(m_pHandle, nullptr) != 0) {
    delete m_pHandle;
    m_pHandle = nullptr;
    return false;
  }
  return true;
}

int Mutex::Acquire(pthread_t* who) {
  if (m_pHandle == nullptr) return EINVAL;
  int rc = pthread_mutex_lock(m_pHandle);
  // The owner is only looked at by reports and the deadlock detector; the
  // mutex itself orders everything else, so the store needs no fence (a
  // sequentially consistent store here was a full barrier per lock).
  if (rc == 0) m_pOwner.store(who, std::memory_order_relaxed);
  return rc;
}

bool Mutex::TryAcquire(pthread_t* who) {
  if (m_pHandle == nullptr) return false;
  if (pthread_mutex_trylock(m_pHandle) != 0) return false;
  m_pOwner.store(who, std::memory_order_relaxed);
  return true;
}

bool Mutex::Release() {
  if (m_pHandle == nullptr) return false;
  m_pOwner.store(nullptr, std::memory_order_relaxed);
  return pthread_mutex_unlock(m_pHandle) == 0;
}

bool Mutex::Destroy() {
  if (m_pHandle == nullptr) return false;
  bool ok = pthread_mutex_destroy(m_pHandle) == 0;
  delete m_pHandle;
  m_pHandle = nullptr;
  return ok;
}

// ---------------------------------------------------------------------------
// Semaphore

Semaphore::Semaphore() : m_pHandle(nullptr) {}

Semaphore::~Semaphore() {
  if (m_pHandle != nullptr) Destroy();
}

bool Semaphore::Create(const char* /*name*/, int value) {
  if (m_pHandle != nullptr || value < 0) return false;
  m_pHandle = new sem_t;
  if (sem_init(m_pHandle, 0, static_cast<unsigned>(value)) != 0) {
    delete m_pHandle;
    m_pHandle = nullptr;
    return false;
  }
  return true;
}

int Semaphore::Acquire() {
  if (m_pHandle == nullptr) return -1;
  int rc;
  // An interrupting signal is not a failure of the wait.
  while ((rc = sem_wait(m_pHandle)) != 0 && errno == EINTR) {
  }
  return rc;
}

int Semaphore::TryAcquire() {
  if (m_pHandle == nullptr) return -1;
  return sem_trywait(m_pHandle);
}

bool Semaphore::Release() {
  if (m_pHandle == nullptr) return false;
  return sem_post(m_pHandle) == 0;
}

bool Semaphore::Destroy() {
  if (m_pHandle == nullptr) return false;
  bool ok = sem_destroy(m_pHandle) == 0;
  delete m_pHandle;
  m_pHandle = nullptr;
  return ok;
}
