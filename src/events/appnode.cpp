#include "events/appnode.h"

#include "base/lockguard.h"

std::atomic<uint32_t> CAppNode::s_nAppIDCounter{0};
std::atomic<int> CAppNode::s_nMaxTCPEventCount{ZEP_QUEUE_HWM};

CAppNode::CAppNode() : CAppNode(nullptr) {}

CAppNode::CAppNode(ZEPNodeHost* host) { Init(false, host); }

CAppNode::~CAppNode() { Fini(false); }

void CAppNode::Init(bool reset, ZEPNodeHost* host) {
  if (reset) SetRefCount(0);
  m_pHost = host;
  m_pFrame = host != nullptr ? host->GetFrame() : nullptr;
  // The current event takes over the queue's reference instead of adding one.
  m_Event.SetCounting(false);
  m_nSocket = -1;
  m_Queue.SetFrame(host);
  m_Queue.SetCmdEventHWM(GetMaxTCPEventCount());
  m_Queue.SetTCPEventHWM(GetMaxTCPEventCount());
  m_Queue.SetTimerEventHWM(ZEP_QUEUE_HWM);
  m_QuitEvent.Release();
  m_nAppID.store(s_nAppIDCounter.fetch_add(1) + 1);
  m_pThread.store(nullptr);
  m_bQuiting.store(false);
}

void CAppNode::Fini(bool /*reset*/) {
  m_QuitEvent.Release();
  if (CEvent* prev = m_Event.Detach()) prev->downcount();
  m_Queue.Fini(false);
}

// Only the node's own thread receives, so the heartbeat has one writer: a
// plain store, no locked add on every event.
void CAppNode::Beat() {
  m_nHeartbeat.store(m_nHeartbeat.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void CAppNode::RecvEvent() {
  Beat();
  CEvent* e = m_Queue.WaitMsg();
  Beat();
  if (CEvent* prev = m_Event.Detach()) prev->downcount();
  m_Event.Reset(e);
}

void CAppNode::WaitEvent(int type, int timeoutSec) {
  Beat();
  CEvent* e = m_Queue.WaitMsg(type, timeoutSec);
  Beat();
  if (CEvent* prev = m_Event.Detach()) prev->downcount();
  m_Event.Reset(e);
}

void CAppNode::Enqueue(CEvent* e, bool tail, bool check) {
  if (e == nullptr) return;
  if (check && e->GetAppID() != GetAppID()) return;
  m_Queue.Enqueue(e, tail);
}

void CAppNode::SetRunState(RunState s) {
  // Notify while holding the mutex: once a waiter sees kDone it may destroy
  // the node, so nothing of the node is touched after the unlock.
  ZEPLockGuard lock(m_RunMutex);
  m_eRun = s;
  m_RunCond.notify_all();
}

bool CAppNode::MarkStartOwnThread() {
  ZEPLockGuard lock(m_RunMutex);
  if (m_eRun != kIdle) return false;
  m_bOwnThread.store(true);
  m_eRun = kPending;
  return true;
}

bool CAppNode::MarkStartPooled() {
  ZEPLockGuard lock(m_RunMutex);
  if (m_eRun != kIdle) return false;
  m_eRun = kPending;
  return true;
}

int CAppNode::svc() {
  SetRunState(kRunning);
  if (m_bOwnThread.load()) {
    doRunNode();
    m_bQuiting.store(true);
    if (m_pHost != nullptr) m_pHost->NodeQuit(this);
  } else {
    // On a pool worker (or called directly) the node lock spans the whole
    // run including NodeQuit, which is what a waiter synchronises with.
    ZEPLockGuard lock(m_NodeLock);
    doRunNode();
    m_bQuiting.store(true);
    if (m_pHost != nullptr) m_pHost->NodeQuit(this);
  }
  SetRunState(kDone);
  return 0;
}

void CAppNode::WaitServiceStop() {
  if (m_bOwnThread.load()) {
    if (GetServiceHandle() != nullptr) ThreadSvc::WaitServiceStop();
    return;
  }
  {
    // A pooled run may not have begun yet when the frame shuts down: wait
    // for it to begin and end, not only for the node lock to be free.
    ZEPLockGuard lock(m_RunMutex);
    while (m_eRun != kIdle && m_eRun != kDone) m_RunCond.wait(m_RunMutex);
  }
  ZEPLockGuard lock(m_NodeLock);
}

CAppNodeCursor::~CAppNodeCursor() {
  if (m_pHost != nullptr) m_pHost->ClearAppNodeCursor(this);
  m_Node.Release();
}
