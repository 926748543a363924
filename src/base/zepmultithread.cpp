#include "base/zepmultithread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/zepassert.h"
#include "base/zepconst.h"

// ---------------------------------------------------------------------------
// Stack size

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEP_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEP_SANITIZED_BUILD 1
#endif
#endif

size_t ZEPThreadStackSize() {
  size_t size = ZEP_THREAD_STACK;
#ifdef ZEP_SANITIZED_BUILD
  size *= 4;
#endif
  // Never below what the C library demands (16 KiB on glibc x86-64 today,
  // but larger on some targets).
  long minimum = sysconf(_SC_THREAD_STACK_MIN);
  if (minimum > 0 && size < static_cast<size_t>(minimum)) size = static_cast<size_t>(minimum);
  return size;
}

// ---------------------------------------------------------------------------
// Priority shim

int ZEPSchedPriority(int nPriority) {
  switch (nPriority) {
    case 1:
      return 31;
    case 3:
      return 0;
    default:
      return 15;
  }
}

namespace {

// Nice value of the process when the first priority was set: "normal".
int BaseNice() {
  static const int s_nBase = [] {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    return errno != 0 ? 0 : nice;
  }();
  return s_nBase;
}

bool HasSysNiceCapability() {
  static const bool s_bCap = [] {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return false;
    char line[256];
    unsigned long long caps = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::sscanf(line, "CapEff: %llx", &caps) == 1) {
        found = true;
        break;
      }
    }
    std::fclose(f);
    const int kCapSysNice = 23;
    return found && ((caps >> kCapSysNice) & 1ULL) != 0;
  }();
  return s_bCap;
}

// Lowest nice value the process may set without privilege (RLIMIT_NICE).
int RlimitNiceFloor() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NICE, &rl) != 0) return 20;
  long long cur = rl.rlim_cur == RLIM_INFINITY ? 40 : static_cast<long long>(rl.rlim_cur);
  return static_cast<int>(20 - std::min<long long>(cur, 40));
}

bool MayLowerNiceTo(int nice) { return HasSysNiceCapability() || nice >= RlimitNiceFloor(); }

}  // namespace

int ZEPNiceForSchedPrio(int nSchedPrio) {
  int sp = std::max(0, std::min(31, nSchedPrio));
  int nice = BaseNice() + (15 - sp) * 10 / 15;
  return std::max(-20, std::min(19, nice));
}

int ZEPSetThreadPrio(pid_t tid, int nSchedPrio) {
  const int target = ZEPNiceForSchedPrio(nSchedPrio);
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0) return errno;
  if (target == current) return 0;
  // A demoted thread that could not be promoted back would stay slow for
  // every later job of its pool, so demotion needs the right to undo it.
  if (target > current && !MayLowerNiceTo(std::min(current, BaseNice()))) return EPERM;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target) == 0) return 0;
  int err = errno;
  if (err == EACCES || err == EPERM) {
    int best = std::max(target, RlimitNiceFloor());
    if (best < current) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), best);
    return EPERM;
  }
  return err;
}

// ---------------------------------------------------------------------------
// Thread

namespace {

struct StartBlock_tag {
  void* (*fn)(void*);
  void* arg;
  std::atomic<pid_t>* pTid;
  sem_t ready;
};

void MakeAttr(pthread_attr_t* attr) {
  int rc = pthread_attr_init(attr);
  ZEP_ASSERT(0 == rc);
  rc = pthread_attr_setstacksize(attr, ZEPThreadStackSize());
  ZEP_ASSERT(0 == rc);
}

void DropAttr(pthread_attr_t* attr) {
  int rc = pthread_attr_destroy(attr);
  ZEP_ASSERT(0 == rc);
}

}  // namespace

Thread::Thread() : m_pHandle(nullptr), m_pName(nullptr), m_nPriority(ZEP_PRIO_NORMAL), m_nTid(0) {}

Thread::~Thread() {
  if (m_pHandle != nullptr) {
    if (pthread_equal(*m_pHandle, pthread_self())) {
      // An object destroyed by its own thread: it cannot join itself.
      Destroy();
    } else {
      // Cancel, then join, so the thread cannot run on in freed memory.
      Kill();
      pthread_join(*m_pHandle, nullptr);
      delete m_pHandle;
      m_pHandle = nullptr;
    }
  }
  delete[] m_pName;
}

void* Thread::StartProc(void* arg) {
  auto* block = static_cast<StartBlock_tag*>(arg);
  void* (*fn)(void*) = block->fn;
  void* fnArg = block->arg;
  block->pTid->store(static_cast<pid_t>(syscall(SYS_gettid)));
  sem_post(&block->ready);  // the block lives on the creator's stack until here
  return fn(fnArg);
}

bool Thread::Create(void* (*fn)(void*), void* arg) {
  if (m_pHandle != nullptr) return false;  // one thread per object
  pthread_attr_t attr;
  MakeAttr(&attr);
  StartBlock_tag block;
  block.fn = fn;
  block.arg = arg;
  block.pTid = &m_nTid;
  sem_init(&block.ready, 0, 0);
  m_nTid.store(0);
  m_pHandle = new pthread_t;
  int rc = pthread_create(m_pHandle, &attr, &Thread::StartProc, &block);
  DropAttr(&attr);
  if (rc != 0) {
    delete m_pHandle;
    m_pHandle = nullptr;
    sem_destroy(&block.ready);
    return false;
  }
  // Wait until the thread has published its kernel id, which the priority
  // shim needs; the cost is one hand-off per thread start.
  while (sem_wait(&block.ready) != 0 && errno == EINTR) {
  }
  sem_destroy(&block.ready);
  return true;
}

void Thread::Wait() {
  if (m_pHandle == nullptr) return;
  pthread_join(*m_pHandle, nullptr);
  delete m_pHandle;
  m_pHandle = nullptr;
  m_nTid.store(0);
}

bool Thread::Kill() {
  if (m_pHandle == nullptr) return false;
  return pthread_cancel(*m_pHandle) == 0;
}

void Thread::Destroy() {
  if (m_pHandle == nullptr) return;
  // Nobody can join the thread once its handle is gone, so let the system
  // reclaim it when it ends instead of leaking it.
  pthread_detach(*m_pHandle);
  delete m_pHandle;
  m_pHandle = nullptr;
  m_nTid.store(0);
}

bool Thread::SetPriority(int p) {
  m_nPriority.store(p);
  pid_t tid = m_nTid.load();
  if (tid == 0) return true;  // stored; nothing to apply it to
  return ZEPSetThreadPrio(tid, ZEPSchedPriority(p)) == 0;
}

// ---------------------------------------------------------------------------
// ThreadSvc

ThreadSvc::ThreadSvc() : m_pServiceHandle(nullptr) {}

ThreadSvc::~ThreadSvc() = default;

void* ThreadSvc::thread_proc(void* arg) {
  static_cast<ThreadSvc*>(arg)->svc();
  return nullptr;
}

pthread_t* ThreadSvc::Service() {
  bool rc = Create(&ThreadSvc::thread_proc, this);
  ZEP_ASSERT(rc);
  m_pServiceHandle.store(GetThreadHandle());
  SetThreadPtr(this);
  return m_pServiceHandle.load();
}

void ThreadSvc::WaitServiceStop() {
  Wait();
  m_pServiceHandle.store(nullptr);
}

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

// ---------------------------------------------------------------------------
// Clocks and wake-ups

int64_t ZEPMonoMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t ZEPMonoUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t ZEPMonoSec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

ZEPWakeFd::ZEPWakeFd() : m_nFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ZEPWakeFd::~ZEPWakeFd() {
  if (m_nFd >= 0) close(m_nFd);
}

void ZEPWakeFd::Notify() {
  if (m_nFd < 0) return;
  uint64_t one = 1;
  // Only write(2): this runs in signal handlers. A full counter (never in
  // practice) still leaves the descriptor readable, which is all we need.
  ssize_t n = write(m_nFd, &one, sizeof(one));
  (void)n;
}

void ZEPWakeFd::Drain() {
  if (m_nFd < 0) return;
  uint64_t count;
  while (read(m_nFd, &count, sizeof(count)) < 0 && errno == EINTR) {
  }
}

int ZEPWaitReadable(int fd, int64_t timeoutMs) {
  pollfd pfd;
  pfd.fd = fd;
  pfd.events = POLLIN;
  pfd.revents = 0;
  int ms = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
  int rc = poll(&pfd, 1, ms);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  return rc > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// ZEPSleep

timeval ZEPSleepTimeval(unsigned long ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

// Threads are cancelled while they sit in this sleep. The cancellation unwind
// leaves the frame's AddressSanitizer redzones poisoned, and the runtime then
// reports its own bookkeeping writes there as overflows, so this frame
// (which has nothing to check) is kept uninstrumented.
__attribute__((no_sanitize_address)) void ZEPSleep(unsigned long ms) {
  timeval tv = ZEPSleepTimeval(ms);
  select(0, nullptr, nullptr, nullptr, &tv);
}
