#include "base/zepmultithread_thread.h"

#include <semaphore.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

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

Thread::Thread() : m_pHandle(nullptr), m_nPriority(ZEP_PRIO_NORMAL), m_nTid(0) {}

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
