// zepdeadlock.h — the deadlock detector: a graph of which thread holds which
// Mutex and which thread waits for which, with the source site of each, and a
// report when a thread is about to wait in a cycle of waits.
//
// Owns: g_M2TTree (a record per mutex that is held or waited for, keyed by
// its address), g_T2MTree (a record per thread that holds or waits, keyed by
// its pthread_t; both pointer-wide) and g_TMMutex, which guards both trees
// and every record and list in them. Records live exactly while their mutex
// or thread holds or waits for something: once every opted-in mutex is
// released both trees are empty again.
//
// A lock site reaches it through ZEPLockGuard (lockguard.h), which passes
// its file and line: WaitMutex before blocking, Mutex::Acquire,
// AcquiredMutex after; ReleaseAcqMutex, then Mutex::Release. In the build
// with ZEP_DEADLOCK_DETECT every guard does; otherwise only guards that ask
// for it (ZEPLockGuard::kTracked). The detector
// neither prevents nor breaks a deadlock: it reports it once, when the wait
// that closes the cycle begins. Any length of cycle is followed, not only
// two threads; a chain of holders that ends at a free mutex or at a thread
// that waits for nothing reports nothing.
//
// The file names passed in are kept by pointer: pass string literals
// (__FILE__), never a buffer that goes away.
//
// Threads and locks: any thread. g_TMMutex is taken for the whole of each
// call and never while the caller blocks on its own mutex. It is a leaf lock:
// the report is handed to g_pDeadLockReport after g_TMMutex is released, so
// the log lock never nests with it (a log lock that is itself opted in would
// otherwise deadlock against the report).
//
// Failures: every inconsistency (a record that cannot be inserted or found,
// an acquisition without a wait, a release of a mutex the thread does not
// hold) is a fatal ZEP_ASSERT: "0 == rc", "pM2T", "pT2M", "pTmpT2M", "pAMN".
#ifndef ZEP_BASE_ZEPDEADLOCK_H
#define ZEP_BASE_ZEPDEADLOCK_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "base/lockguard.h"
#include "base/zepbtree.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"

static_assert(sizeof(pthread_t) == sizeof(uintptr_t), "thread ids are pointer-wide tree keys");

struct WaitingThreadNode {
  pthread_t m_nThread;
  const char* m_pFile;
  int m_nLine;
};

struct AcquiredMutexNode {
  Mutex* m_pMutex;
  const char* m_pFile;
  int m_nLine;
};

struct Mutex2Thread {
  Mutex* m_pMutex = nullptr;  // the key
  pthread_t m_nOwner = 0;     // valid while m_bOwned
  bool m_bOwned = false;
  ZEPList<WaitingThreadNode>* m_pWaiting = nullptr;  // owned by the record
  const char* m_pFile = "";                          // where the holder took it
  int m_nLine = 0;
};

struct Thread2Mutex {
  pthread_t m_nThread = 0;                        // the key
  ZEPList<AcquiredMutexNode>* m_pHeld = nullptr;  // owned by the record
  Mutex* m_pWaitingFor = nullptr;
  const char* m_pFile = "";  // site of its current (or last) wait
  int m_nLine = 0;
};

extern ZEPBTree<Mutex2Thread, 4> g_M2TTree;
extern ZEPBTree<Thread2Mutex, 4> g_T2MTree;
extern Mutex g_TMMutex;

// The calling thread is about to block on `m` at file:line. Reports a cycle
// of waits that this wait would close. pM2T and pT2M get the records of `m`
// and of the calling thread.
void WaitMutex(Mutex* m, const char* file, int line, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M);
// The calling thread got `m` after WaitMutex.
void AcquiredMutex(Mutex* m, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M);
// The calling thread is about to release `m`. The references are cleared
// when the records they named were deleted.
void ReleaseAcqMutex(Mutex* m, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M);

// The report's sink: the text (CR LF line ends) with the detector's source
// position. Installed by the log layer (an ERRR line); without one the text
// goes to standard error.
using ZEPDeadLockReportFn = void (*)(const char* file, int line, const char* text);
extern std::atomic<ZEPDeadLockReportFn> g_pDeadLockReport;
// After a report the process stops (assertion "!deadLockReported") when
// set: the default of a build with ZEP_DEADLOCK_DETECT, whose test runs must
// fail on any report. The detector's own tests clear it.
extern std::atomic<bool> g_bDeadLockFatal;

// ZEPDLAcquire and ZEPDLRelease, the whole detector round of one lock, are
// declared in lockguard.h: lock sites use ZEPLockGuard, which calls them.

#endif  // ZEP_BASE_ZEPDEADLOCK_H
