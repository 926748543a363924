#include "base/zepdeadlock.h"

#include <cstdio>
#include <vector>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "base/zepstring.h"

ZEPBTree<Mutex2Thread, 4> g_M2TTree;
ZEPBTree<Thread2Mutex, 4> g_T2MTree;
Mutex g_TMMutex;
std::atomic<ZEPDeadLockReportFn> g_pDeadLockReport{nullptr};
#ifdef ZEP_DEADLOCK_DETECT
std::atomic<bool> g_bDeadLockFatal{true};
#else
std::atomic<bool> g_bDeadLockFatal{false};
#endif

namespace {

struct Site {
  const char* file;
  int line;
};

Mutex2Thread* FindMutex(Mutex* m) {
  Mutex2Thread key;
  key.m_pMutex = m;
  return g_M2TTree.SearchKey(key);
}

Thread2Mutex* FindThread(pthread_t t) {
  Thread2Mutex key;
  key.m_nThread = t;
  return g_T2MTree.SearchKey(key);
}

Mutex2Thread* FindOrAddMutex(Mutex* m) {
  Mutex2Thread* pM2T = FindMutex(m);
  if (pM2T != nullptr) return pM2T;
  Mutex2Thread rec;
  rec.m_pMutex = m;
  rec.m_pWaiting = new ZEPList<WaitingThreadNode>;
  int rc = g_M2TTree.InsertKey(rec);
  ZEP_ASSERT(0 == rc);
  pM2T = FindMutex(m);
  ZEP_ASSERT(pM2T);
  return pM2T;
}

Thread2Mutex* FindOrAddThread(pthread_t t) {
  Thread2Mutex* pT2M = FindThread(t);
  if (pT2M != nullptr) return pT2M;
  Thread2Mutex rec;
  rec.m_nThread = t;
  rec.m_pHeld = new ZEPList<AcquiredMutexNode>;
  int rc = g_T2MTree.InsertKey(rec);
  ZEP_ASSERT(0 == rc);
  pT2M = FindThread(t);
  ZEP_ASSERT(pT2M);
  return pT2M;
}

AcquiredMutexNode* FindHeld(Thread2Mutex* t, Mutex* m, bool remove) {
  SmartPtr<CListNode> cursor;
  for (AcquiredMutexNode* a = t->m_pHeld->GetFirst(&cursor); a != nullptr;
       a = t->m_pHeld->GetNext(&cursor)) {
    if (a->m_pMutex != m) continue;
    if (remove) t->m_pHeld->RemoveAtCursor(&cursor);
    return a;
  }
  return nullptr;
}

// Follows the chain from `m`: its holder, the mutex that holder waits for,
// that mutex's holder, and so on. True when the chain comes back to `self`
// (the wait about to begin closes a cycle); `held` is then where self took
// the last mutex of the chain and `chain` holds, per further thread, where
// it took its mutex and where it waits. Bounded by the number of threads
// known: a cycle that does not pass through self was reported when it
// closed and is not reported again.
bool FindCycle(Mutex2Thread* m, Thread2Mutex* self, Site* held, std::vector<Site>* chain) {
  const unsigned limit = g_T2MTree.GetKeyCount();
  Mutex2Thread* cur = m;
  for (unsigned step = 0; step <= limit; ++step) {
    if (!cur->m_bOwned) return false;
    if (pthread_equal(cur->m_nOwner, self->m_nThread)) {
      AcquiredMutexNode* a = FindHeld(self, cur->m_pMutex, false);
      *held = a != nullptr ? Site{a->m_pFile, a->m_nLine} : Site{cur->m_pFile, cur->m_nLine};
      // A re-lock of a mutex the thread holds: name where it took it.
      if (chain->empty()) chain->push_back({cur->m_pFile, cur->m_nLine});
      return true;
    }
    Thread2Mutex* pTmpT2M = FindThread(cur->m_nOwner);
    ZEP_ASSERT(pTmpT2M);
    if (pTmpT2M->m_pWaitingFor == nullptr) return false;
    chain->push_back({cur->m_pFile, cur->m_nLine});
    chain->push_back({pTmpT2M->m_pFile, pTmpT2M->m_nLine});
    cur = FindMutex(pTmpT2M->m_pWaitingFor);
    if (cur == nullptr) return false;
  }
  return false;
}

void AppendSite(ZEPString& out, const Site& s) { out << "[" << s.file << " " << s.line; }

void SendReport(const char* file, int line, const ZEPString& text) {
  ZEPDeadLockReportFn fn = g_pDeadLockReport.load();
  if (fn != nullptr) {
    fn(file, line, text.GetSafeText());
    return;
  }
  std::fprintf(stderr, "%s\n", text.GetSafeText());
}

void AfterReport() {
  const bool deadLockReported = g_bDeadLockFatal.load();
  ZEP_ASSERT(!deadLockReported);
}

}  // namespace

void WaitMutex(Mutex* m, const char* file, int line, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M) {
  const pthread_t self = pthread_self();
  ZEPString report;
  {
    ZEPLockGuard lock(g_TMMutex,
                      ZEPLockGuard::kUntracked);  // the detector cannot watch its own lock
    pM2T = FindOrAddMutex(m);
    pT2M = FindOrAddThread(self);
    Site held{"", 0};
    std::vector<Site> chain;
    if (FindCycle(pM2T, pT2M, &held, &chain)) {
      report << "Dead Lock: \r\n";
      AppendSite(report, held);
      report << "]\r\n";
      AppendSite(report, Site{file, line});
      report << "]\r\n"
             << "-------------------\r\n";
      for (size_t i = 0; i < chain.size(); ++i) {
        if (i > 0) report << "]\r\n";
        AppendSite(report, chain[i]);
      }
      report << "]";
    }
    pM2T->m_pWaiting->AddTail(new WaitingThreadNode{self, file, line});
    pT2M->m_pWaitingFor = m;
    pT2M->m_pFile = file;
    pT2M->m_nLine = line;
  }
  // Outside the detector's lock: the log lock may itself be opted in.
  if (report.IsEmpty()) return;
  SendReport(__FILE__, __LINE__, report);
  AfterReport();
}

void AcquiredMutex(Mutex* m, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M) {
  const pthread_t self = pthread_self();
  ZEPLockGuard lock(g_TMMutex, ZEPLockGuard::kUntracked);  // the detector cannot watch its own lock
  pM2T = FindMutex(m);
  pT2M = FindThread(self);
  WaitingThreadNode* w = nullptr;
  if (pM2T != nullptr && pT2M != nullptr) {
    SmartPtr<CListNode> cursor;
    for (w = pM2T->m_pWaiting->GetFirst(&cursor); w != nullptr;
         w = pM2T->m_pWaiting->GetNext(&cursor)) {
      if (!pthread_equal(w->m_nThread, self)) continue;
      pM2T->m_pWaiting->RemoveAtCursor(&cursor);
      break;
    }
  }
  AcquiredMutexNode* pAMN =
      w != nullptr ? new AcquiredMutexNode{m, w->m_pFile, w->m_nLine} : nullptr;
  delete w;
  ZEP_ASSERT(pAMN);
  pM2T->m_nOwner = self;
  pM2T->m_bOwned = true;
  pM2T->m_pFile = pT2M->m_pFile;
  pM2T->m_nLine = pT2M->m_nLine;
  pT2M->m_pWaitingFor = nullptr;
  pT2M->m_pHeld->AddTail(pAMN);
}

void ReleaseAcqMutex(Mutex* m, Mutex2Thread*& pM2T, Thread2Mutex*& pT2M) {
  ZEPLockGuard lock(g_TMMutex, ZEPLockGuard::kUntracked);  // the detector cannot watch its own lock
  pM2T = FindMutex(m);
  pT2M = FindThread(pthread_self());
  AcquiredMutexNode* pAMN = nullptr;
  if (pM2T != nullptr && pT2M != nullptr) {
    pM2T->m_bOwned = false;
    pM2T->m_nOwner = 0;
    pAMN = FindHeld(pT2M, m, true);
  }
  ZEP_ASSERT(pAMN);
  delete pAMN;
  if (pM2T->m_pWaiting->GetCount() == 0) {
    const Mutex2Thread key = *pM2T;
    delete key.m_pWaiting;
    g_M2TTree.DeleteKey(key);
    pM2T = nullptr;
  }
  if (pT2M->m_pHeld->GetCount() == 0 && pT2M->m_pWaitingFor == nullptr) {
    const Thread2Mutex key = *pT2M;
    delete key.m_pHeld;
    g_T2MTree.DeleteKey(key);
    pT2M = nullptr;
  }
}

void ZEPDLAcquire(Mutex& m, const char* file, int line) {
  Mutex2Thread* pM2T = nullptr;
  Thread2Mutex* pT2M = nullptr;
  WaitMutex(&m, file, line, pM2T, pT2M);
  m.Acquire();
  AcquiredMutex(&m, pM2T, pT2M);
}

void ZEPDLRelease(Mutex& m) {
  Mutex2Thread* pM2T = nullptr;
  Thread2Mutex* pT2M = nullptr;
  ReleaseAcqMutex(&m, pM2T, pT2M);
  m.Release();
}

#ifdef ZEP_DEADLOCK_DETECT
// Condition variables relock through these: the detector follows the wait.
void Mutex::lock() { ZEPDLAcquire(*this, __FILE__, __LINE__); }
void Mutex::unlock() { ZEPDLRelease(*this); }
#endif
