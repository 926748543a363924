// zepmultithread.h — threads, service threads, mutexes, semaphores, sleeps.
//
// Owns: thin wrappers over POSIX threads. `Thread` owns one heap-allocated
// pthread_t while a thread is attached; `ThreadSvc` runs its virtual svc() on
// such a thread (or on the caller's thread through Run()); `Mutex` is a
// non-recursive lock that records an advisory owner; `Semaphore` is an
// unnamed, process-private counting semaphore; ZEPSleep is the millisecond
// sleep of every polling loop.
//
// Threads: a Thread/ThreadSvc object is driven (Create, Wait, Kill, Destroy,
// Service, WaitServiceStop) by one controlling thread at a time. GetPriority,
// SetPriority and GetThreadHandle may be called from any thread, including
// the attached thread itself. Mutex and Semaphore are safe from any thread.
//
// Locks: none of these wrappers takes a lock of its own besides the one it
// is. Lock nesting is the callers' business: ticker or socket-map lock ->
// node-list lock -> queue lock -> engine lock -> pool lock, with g_LogMutex
// always innermost. Mutex is not recursive: re-acquiring a held mutex on the
// same thread blocks forever.
//
// Destruction: destroying a Thread whose thread still runs cancels it and
// waits for it to end, so the thread never outlives the object it may use.
//
// Priority: values 1 (high), 2 (normal, default), 3 (low) map to scheduling
// priorities 31, 15 and 0. Linux has no per-thread priority for ordinary
// time-sharing threads, so ZEPSetThreadPrio maps the scheduling priority onto
// the thread's nice value around the nice the process started with (31 ->
// base-10, 15 -> base, 0 -> base+10). A process that may not lower nice
// values (no CAP_SYS_NICE, RLIMIT_NICE too small) gets the best value it is
// allowed and the call reports EPERM; such a process is also never demoted
// below its base, because it could not get back to normal afterwards (the
// pools reset every worker to priority 2 after each job). GetPriority always
// returns the value last stored.
#ifndef ZEP_BASE_ZEPMULTITHREAD_H
#define ZEP_BASE_ZEPMULTITHREAD_H

#include <pthread.h>
#include <semaphore.h>
#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Stack of every service and pool thread. Sanitizer builds instrument every
// frame with extra shadow and redzones, so they get four times as much.
size_t ZEPThreadStackSize();
constexpr size_t ZEP_THREAD_STACK = 102400;

// Priority value (1, 2, 3) -> scheduling priority 0..31; unknown values are
// treated as normal (15).
int ZEPSchedPriority(int nPriority);

// Our stand-in for the missing pthread_setprio: applies scheduling priority
// 0..31 to the thread with kernel id `tid`. Returns 0, or an errno value
// (EPERM when the process may not give the thread that much priority; the
// thread then runs at the nearest value it may take).
int ZEPSetThreadPrio(pid_t tid, int nSchedPrio);
// Nice value that ZEPSetThreadPrio aims for (before any clamping).
int ZEPNiceForSchedPrio(int nSchedPrio);

class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn(arg) on a new thread; false (handle freed) on failure.
  bool Create(void* (*fn)(void*), void* arg);
  // Joins the thread, discarding its result, and releases the handle.
  void Wait();
  // Requests cancellation; true if the request was accepted.
  bool Kill();
  // Frees the handle without stopping the thread (which is detached so the
  // system reclaims it when it ends).
  void Destroy();

  pthread_t* GetThreadHandle() const { return m_pHandle; }
  static pthread_t GetCurrentThread() { return pthread_self(); }
  int GetPriority() const { return m_nPriority.load(); }
  // Stores p and applies it to the attached thread; true if applied in full.
  bool SetPriority(int p);
  // Kernel id of the attached thread (0 when none).
  pid_t GetThreadTid() const { return m_nTid.load(); }

 private:
  static void* StartProc(void* arg);

  pthread_t* m_pHandle;
  char* m_pName;
  std::atomic<int> m_nPriority;
  std::atomic<pid_t> m_nTid;
};

class ThreadSvc : public Thread {
 public:
  ThreadSvc();
  ~ThreadSvc() override;

  virtual int svc() = 0;
  // Called on the starting thread after Service() started the thread, so it
  // may run concurrently with svc().
  virtual void SetThreadPtr(Thread* /*pThread*/) {}

  // Starts svc() on a thread of its own; a failed start is fatal.
  pthread_t* Service();
  // Runs svc() on the calling thread.
  int Run() { return svc(); }
  // Joins the service thread and releases the handle.
  void WaitServiceStop();
  pthread_t* GetServiceHandle() const { return m_pServiceHandle.load(); }

 private:
  static void* thread_proc(void* arg);

  std::atomic<pthread_t*> m_pServiceHandle;
};

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool Create();
  // Blocks until locked, then records `who`; the platform result (0 = ok).
  int Acquire(pthread_t* who = nullptr);
  bool TryAcquire(pthread_t* who = nullptr);
  // Clears the owner, then unlocks.
  bool Release();
  pthread_t* GetAcquiredThread() const { return m_pOwner.load(std::memory_order_relaxed); }
  // BasicLockable, so that std::condition_variable_any can wait on it.
#ifdef ZEP_DEADLOCK_DETECT
  // With the detector built in, a condition variable's unlock and relock are
  // followed by it too (zepdeadlock.cpp).
  void lock();
  void unlock();
#else
  void lock() { Acquire(); }
  void unlock() { Release(); }
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

// Milliseconds of the monotonic clock: every deadline and time-out of the
// framework is measured on it, so setting the wall clock delays nothing.
int64_t ZEPMonoMs();
// Microseconds of the same clock.
int64_t ZEPMonoUs();
// Whole seconds of the monotonic clock (64-bit: per-second windows keep
// working past 2038).
int64_t ZEPMonoSec();

// A wake-up descriptor (eventfd): a thread that waits in poll() on it is
// woken by Notify() from any thread. Notify() is async-signal-safe.
class ZEPWakeFd {
 public:
  ZEPWakeFd();
  ~ZEPWakeFd();
  ZEPWakeFd(const ZEPWakeFd&) = delete;
  ZEPWakeFd& operator=(const ZEPWakeFd&) = delete;

  // The descriptor to poll for POLLIN, or -1 when none could be had.
  int Fd() const { return m_nFd; }
  void Notify();
  // Takes every pending notification; the descriptor is then not readable.
  void Drain();

 private:
  int m_nFd;
};

// Waits up to `timeoutMs` (negative: without limit) for `fd` to be readable.
// 1 readable, 0 time-out, -1 error. A signal ends the wait early (0).
int ZEPWaitReadable(int fd, int64_t timeoutMs);

// Sleeps `ms` milliseconds (select on no descriptors); a signal ends it early.
void ZEPSleep(unsigned long ms);
// The time-out ZEPSleep waits for.
timeval ZEPSleepTimeval(unsigned long ms);

#endif  // ZEP_BASE_ZEPMULTITHREAD_H
