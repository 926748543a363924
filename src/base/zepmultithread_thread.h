// zepmultithread_thread.h — threads and service threads, and the priority
// shim that stands in for the missing pthread_setprio.
//
// Owns: `Thread` owns one heap-allocated pthread_t while a thread is
// attached; `ThreadSvc` runs its virtual svc() on such a thread (or on the
// caller's thread through Run()).
//
// Threads: a Thread/ThreadSvc object is driven (Create, Wait, Kill, Destroy,
// Service, WaitServiceStop) by one controlling thread at a time. GetPriority,
// SetPriority, GetThreadTid and GetThreadHandle may be called from any
// thread, including the attached thread itself.
//
// Locks: none. Destroying a Thread whose thread still runs cancels it and
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
#ifndef ZEP_BASE_ZEPMULTITHREAD_THREAD_H
#define ZEP_BASE_ZEPMULTITHREAD_THREAD_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

// Stack of every service and pool thread. Sanitizer builds instrument every
// frame with extra shadow and redzones, so they get four times as much. glibc
// carves the thread's static TLS from the top of it: thread_local objects
// stay pointer-sized, since a worker's deepest use sits a few hundred bytes
// short of a page boundary and every byte of TLS moves it down.
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

#endif  // ZEP_BASE_ZEPMULTITHREAD_THREAD_H
