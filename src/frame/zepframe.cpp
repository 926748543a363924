#include "frame/zepframe.h"

#include <cerrno>
#include <vector>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "events/threadpool.h"
#include "log/tnlog.h"

ZEPFrame* g_pFrame = nullptr;

int TNLogFrameSend(ZEPFrame* pFrame, int nSocket, const char* pLine) {
  if (pFrame == nullptr || nSocket <= 0 || pLine == nullptr) return -1;
  // Length 0: up to the terminating zero; the frame sends it whole or fails.
  return pFrame->SendData(nSocket, pLine, 0) == 0 ? 0 : -1;
}

ZEPFrame::ZEPFrame(bool useThreadPool, bool multiThreadSocket)
    : m_bMultiThreadSocket(multiThreadSocket), m_bUseThreadPool(useThreadPool) {
  // The log sits below the frame; its console copy leaves through us unless
  // the application installed a sender of its own.
  TNLogSendFn none = nullptr;
  g_pTNLogSend.compare_exchange_strong(none, &TNLogFrameSend);
  if (useThreadPool) m_pThreadPool = new CThreadPool(ZEP_POOL_GROWTH);
  CreateSocketEngine();
  m_bExit.store(false);

  m_pCCmdEventPool = new CCmdEvent::Pool;
  QueueMemPool(m_pCCmdEventPool);
  m_pTCPEventPool = new CTCPEvent::Pool;
  QueueMemPool(m_pTCPEventPool);
  m_pTimerEventPool = new CTimerEvent::Pool;
  QueueMemPool(m_pTimerEventPool);
  m_pUserEventPool = new CUserEvent::Pool;
  QueueMemPool(m_pUserEventPool);
  m_pQuitEventPool = new CQuitEvent::Pool;
  QueueMemPool(m_pQuitEventPool);

  m_nStartTime.store(time(nullptr));
}

ZEPFrame::~ZEPFrame() {
  DestroySocketEngine();
  delete m_pThreadPool;
  m_pThreadPool = nullptr;

  ZEP_ASSERT(m_NodeList.GetCount() == 0);
  ZEP_ASSERT(m_QuitList.GetCount() == 0);
  ZEP_ASSERT(m_TickerList.GetCount() == 0);

  m_NodeListTree.DestroyTree();
  while (RefCount* pool = m_PoolList.RemoveHead()) pool->DestroyMe();
}

void ZEPFrame::QueueMemPool(RefCount* pool) {
  if (pool != nullptr) m_PoolList.AddHead(pool);
}

unsigned ZEPFrame::GetEventsOutstanding() {
  unsigned n = 0;
  auto count = [&n](auto* pool) {
    ZEPLockGuard lock(pool->GetMutex());
    n += pool->GetCount();
  };
  count(m_pTCPEventPool);
  count(m_pTimerEventPool);
  count(m_pUserEventPool);
  count(m_pQuitEventPool);
  count(m_pCCmdEventPool);
  return n;
}

// --- Service -------------------------------------------------------------

int ZEPFrame::svc() {
  {
    ZEPLockGuard lock(m_ServingMutex);
    m_bServing = true;
  }
  m_nStartTime.store(time(nullptr));
  CNodeTicker* ticker = new CNodeTicker(this);
  m_Ticker = ticker;
  if (ticker->MarkStartOwnThread()) ticker->Service();
  while (!m_bExit.load()) {
    ServiceTurn();
    if (m_bReportWanted.load()) WriteRequestedReport();
    if (m_pServiceHook != nullptr && !m_bExit.load()) m_pServiceHook(m_pServiceHookContext);
  }
  SendQuit();
  CleanQuitList();
  ZEPLockGuard lock(m_ServingMutex);
  m_bServing = false;
  m_ServingCond.notify_all();  // under the lock: the waiter may delete us next
  return 0;
}

bool ZEPFrame::IsServing() {
  ZEPLockGuard lock(m_ServingMutex);
  return m_bServing;
}

void ZEPFrame::WaitServiceStop() {
  if (GetServiceHandle() != nullptr) {
    ThreadSvc::WaitServiceStop();
    return;
  }
  ZEPLockGuard lock(m_ServingMutex);
  while (m_bServing) m_ServingCond.wait(m_ServingMutex);
}

void ZEPFrame::ExitFrame() {
  m_bExit.store(true);
  m_Wake.Notify();  // a write(2): async-signal-safe
}

void ZEPFrame::WakeSweep() { m_Wake.Notify(); }

void ZEPFrame::WaitWake(int64_t ms) {
  if (m_bExit.load()) return;
  if (m_Wake.Fd() < 0) {
    // No wake-up descriptor could be had: look again twice a second.
    ZEPSleep(static_cast<unsigned long>(ms < 0 || ms > 500 ? 500 : ms));
    return;
  }
  // A wake-up that came before we got here leaves the descriptor readable,
  // so nothing is lost between the sweep and this wait.
  if (ZEPWaitReadable(m_Wake.Fd(), ms) > 0) m_Wake.Drain();
}

// --- Nodes ---------------------------------------------------------------

int ZEPFrame::AddNode(CAppNode* node, bool start) {
  if (node == nullptr) return -1;
  ZEPLockGuard lock(m_NodeListLock);
  if (m_bExit.load()) return -1;
  // A node registered twice would be destroyed twice.
  if (m_NodeListTree.InsertKey(node) != 0) return -1;
  if (!m_Registry.Insert(node)) {
    m_NodeListTree.DeleteKey(node);
    return -1;
  }
  m_NodeList.AddTail(node);
  node->upcount();
  if (start) {
    if (m_pThreadPool != nullptr) {
      StartService(node);
    } else if (node->MarkStartOwnThread()) {
      node->Service();
    }
  }
  return 0;
}

void ZEPFrame::StartService(CAppNode* node) {
  if (m_pThreadPool == nullptr || node == nullptr) return;
  if (!node->MarkStartPooled()) return;  // already started: a node runs once
  SmartPtr<CThreadEvent> work(new CThreadEvent(node));
  m_pThreadPool->Enqueue(work.Get(), true);
}

bool ZEPFrame::IsNodeRegistered(CAppNode* node) {
  ZEPLockGuard lock(m_NodeListLock);
  return m_NodeListTree.SearchKey(node) != nullptr;
}

int ZEPFrame::GetNodeCount() {
  ZEPLockGuard lock(m_NodeListLock);
  return m_NodeList.GetCount();
}

int ZEPFrame::GetQuitCount() {
  ZEPLockGuard lock(m_QuitListLock);
  return m_QuitList.GetCount();
}

void ZEPFrame::DelNode(CAppNode* node) {
  {
    ZEPLockGuard lock(m_NodeListLock);
    CAppNode** pRet = m_NodeListTree.SearchKey(node);
    ZEP_ASSERT(NULL != pRet);
    m_NodeList.RemoveNode(node);
    int rc = m_NodeListTree.DeleteKey(node);
    ZEP_ASSERT(0 == rc);
    m_Registry.Remove(node);
  }
  // A producer that found the node registered may still be pushing: the
  // caller drops the frame's reference only once none is.
  m_Registry.WaitForReaders();
}

void ZEPFrame::NodeQuit(CAppNode* node) {
  DelTicker(node);
  DelTCPEvent(node);
  {
    ZEPLockGuard lock(m_QuitListLock);
    m_QuitList.AddTail(node);
  }
  WakeTicker(INT64_MIN);  // the ticker destroys quitting nodes
}

CAppNode* ZEPFrame::GetQuitNode() {
  ZEPLockGuard lock(m_QuitListLock);
  return m_QuitList.RemoveHead();
}

void ZEPFrame::DestroyQuitApp() {
  while (CAppNode* node = GetQuitNode()) {
    node->WaitServiceStop();
    DelNode(node);  // returns once no producer is pushing to it
    node->downcount();
  }
}

// Waits for a node told to quit, then drops the frame's reference. A node
// that was registered but never started never ran NodeQuit, so its timers
// and sockets are removed here instead of being left to dangle.
void ZEPFrame::StopNode(CAppNode* node) {
  node->WaitServiceStop();
  if (!node->IsQuiting()) {
    DelTicker(node);
    DelTCPEvent(node);
  }
  node->downcount();
}

void ZEPFrame::SendQuit() {
  if (CAppNode* ticker = m_Ticker.Get()) {
    SmartPtr<CQuitEvent> quit(AllocQuitEvent());
    ticker->Enqueue(quit.Get(), true, false);
    quit.Release();
    WakeTicker(INT64_MIN);
    ticker->WaitServiceStop();
    m_Ticker.Release();
  }

  for (;;) {
    std::vector<CAppNode*> stopList;
    for (;;) {
      ZEPLockGuard lock(m_NodeListLock);
      CAppNode* node = m_NodeList.RemoveTail();
      if (node == nullptr) {
        ZEP_ASSERT(0 == m_NodeListTree.GetKeyCount());
        break;
      }
      int rc = m_NodeListTree.DeleteKey(node);
      ZEP_ASSERT(rc == 0);
      m_Registry.Remove(node);
      lock.Unlock();
      // Producers that found it registered finish their pushes first, so
      // nothing reaches its queue behind the quit event.
      m_Registry.WaitForReaders();
      // Newest first: a node may depend on the ones registered before it.
      SmartPtr<CQuitEvent> quit(AllocQuitEvent());
      node->Enqueue(quit.Get(), true, false);
      stopList.push_back(node);
    }
    if (stopList.empty()) break;
    for (CAppNode* node : stopList) StopNode(node);
  }

  ZEPLockGuard lock(m_TickerLock);
  ZEP_ASSERT(0 == m_TickerList.GetCount());
}

void ZEPFrame::CleanQuitList() {
  {
    ZEPLockGuard lock(m_QuitListLock);
    while (m_QuitList.RemoveHead() != nullptr) {
    }
  }
  ZEPLockGuard lock(m_TickerLock);
  while (TimeEvent_tag* rec = m_TickerList.RemoveHead()) FreeTickerLocked(rec);
  m_TickerDue.clear();
}

CAppNode* ZEPFrame::GetFirstNode(CAppNodeCursor& cursor) {
  ZEPLockGuard lock(m_NodeListLock);
  CAppNode* node = m_NodeList.GetFirst(&cursor.m_Pos);
  cursor.m_Node = node;
  return node;
}

CAppNode* ZEPFrame::GetNextNode(CAppNodeCursor& cursor) {
  ZEPLockGuard lock(m_NodeListLock);
  CAppNode* node = m_NodeList.GetNext(&cursor.m_Pos);
  cursor.m_Node = node;
  return node;
}

void ZEPFrame::ClearAppNodeCursor(CAppNodeCursor* cursor) {
  if (cursor == nullptr) return;
  ZEPLockGuard lock(m_NodeListLock);
  cursor->m_Pos.Release();
}

// --- Events --------------------------------------------------------------

bool ZEPFrame::Enqueue(CAppNode* node, CEvent* event, bool tail, bool check) {
  if (event == nullptr || node == nullptr) return false;
  // The look-up goes by address and never touches the node: a caller may
  // name a node the frame has destroyed. A node found registered stays alive
  // until this producer leaves, since the frame waits for the producers that
  // entered before it dropped a node (zepframe_registry.h). No lock.
  const unsigned ticket = m_Registry.Enter();
  const bool ok = m_Registry.Contains(node) && (!check || node->GetAppID() == event->GetAppID());
  if (ok) node->Enqueue(event, tail, false);
  m_Registry.Leave(ticket);
  return ok;
}

void ZEPFrame::AllEnqueue(CEvent* event, bool /*flag*/) {
  if (event == nullptr) return;
  ZEPLockGuard lock(m_NodeListLock);
  SmartPtr<CListNode> cursor;
  for (CAppNode* node = m_NodeList.GetFirst(&cursor); node != nullptr;
       node = m_NodeList.GetNext(&cursor))
    node->Enqueue(event, true, false);
}
