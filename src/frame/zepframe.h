// zepframe.h — ZEPFrame, the runtime that owns and runs application nodes,
// and CNodeTicker, the node that drives the frame's timers.
//
// Owns: the registry of live nodes (one reference on each), the quit list,
// the timer records, the five event pools, the worker pool, the ticker node
// and (from the socket half, zepframe_socket.cpp) the socket engine and the
// socket/node maps. One frame exists per process (g_pFrame).
//
// Threads: svc() runs on one thread (the main thread in dyrclient, or a
// service thread started with Service()). ExitFrame() may be called from any
// thread, including a signal handler (it stores an atomic and posts a
// semaphore). AddNode, Enqueue, AddTicker, DelTicker and the Alloc...Event
// calls may come from any thread. SendTicker and DestroyQuitApp run on the
// ticker's thread; SendQuit and CleanQuitList on the service thread.
//
// Locks, outermost first (docs/ARCHITECTURE.md):
//   node lock (a pooled node's run, CAppNode)
//   -> ticker lock | socket-map lock
//   -> node-list lock (m_NodeList + m_NodeListTree)
//   -> a node's queue lock -> socket engine lock -> a pool's lock
//   -> g_LogMutex (innermost).
// The quit-list lock is never held together with another lock.
#ifndef ZEP_FRAME_ZEPFRAME_H
#define ZEP_FRAME_ZEPFRAME_H

#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "base/zepbtree.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zeptlist.h"
#include "frame/appnode.h"
#include "frame/events.h"
#include "frame/timerrecord.h"

class CThreadPool;
class ZEPTCP;
class ZEPFrame;

// The frame's own node: every 10 ms it delivers due timer ticks and destroys
// nodes that have quit. It runs on a thread of its own.
class CNodeTicker : public CAppNode {
 public:
  explicit CNodeTicker(ZEPFrame* frame) : CAppNode(frame) {}
  ~CNodeTicker() override {}
  void doRunNode() override;
  void DestroyMe() override { delete this; }
};

class ZEPFrame : public ThreadSvc {
 public:
  ZEPFrame(bool useThreadPool, bool multiThreadSocket);
  ~ZEPFrame() override;
  ZEPFrame(const ZEPFrame&) = delete;
  ZEPFrame& operator=(const ZEPFrame&) = delete;

  // --- Service ---------------------------------------------------------
  // The service loop: ticker up, serve until ExitFrame, then shut down.
  int svc() override;
  // Any thread, async-signal-safe: the loop notices it at once.
  void ExitFrame();
  // Any thread but the one serving: waits until svc() has returned, whether
  // it runs on the frame's own service thread (Service(), joined here) or on
  // a caller's thread (Run(), as dyrclient's main thread does).
  void WaitServiceStop();
  bool IsServing();
  bool IsRunning() const { return !m_bExit.load(); }
  time_t GetStartTime() const { return m_nStartTime.load(); }

  // --- Nodes -----------------------------------------------------------
  // 0, or -1 when refused (frame exiting, null or already registered node);
  // a refused node stays the caller's.
  int AddNode(CAppNode* node, bool start);
  void StartService(CAppNode* node);
  void DelNode(CAppNode* node);
  void NodeQuit(CAppNode* node);
  CAppNode* GetQuitNode();
  void DestroyQuitApp();
  void SendQuit();
  void CleanQuitList();
  CAppNode* GetFirstNode(CAppNodeCursor& cursor);
  CAppNode* GetNextNode(CAppNodeCursor& cursor);
  void ClearAppNodeCursor(CAppNodeCursor* cursor);
  bool IsNodeRegistered(CAppNode* node);
  int GetNodeCount();
  int GetQuitCount();

  // --- Events ----------------------------------------------------------
  bool Enqueue(CAppNode* node, CEvent* event, bool tail, bool check);
  void AllEnqueue(CEvent* event, bool flag);
  CTCPEvent* AllocTCPEvent() { return CTCPEvent::Instance(m_pTCPEventPool); }
  CTimerEvent* AllocTimerEvent() { return CTimerEvent::Instance(m_pTimerEventPool); }
  CUserEvent* AllocUserEvent() { return CUserEvent::Instance(m_pUserEventPool); }
  CQuitEvent* AllocQuitEvent() { return CQuitEvent::Instance(m_pQuitEventPool); }
  CCmdEvent* AllocCmdEvent(const GeneralCmd_* cmd, int sock) {
    return CCmdEvent::Instance(m_pCCmdEventPool, cmd, sock);
  }
  void QueueMemPool(RefCount* pool);
  // Events handed out and not yet back, over the five pools (for the
  // report and for tests that check the frame drained).
  unsigned GetEventsOutstanding();

  bool IsUseThreadPool() const { return m_bUseThreadPool; }
  CThreadPool* GetThreadPool() const { return m_pThreadPool; }

  // --- Timers (zepframe_timer.cpp) -------------------------------------
  // The timer id (record address), or null for an unregistered or quitting
  // node or a non-zero application id that is not the node's.
  TimeEvent_tag* AddTicker(CAppNode* node, unsigned long intervalMs, long count,
                           unsigned long appID);
  void DelTicker(TimeEvent_tag* id);
  void DelTicker(CAppNode* node);
  void SendTicker();  // ticker thread only
  int GetTickerCount();

  // === Socket services (zepframe_socket.cpp, owned by the socket half) ===
  // Until the socket engine is plugged in, m_pTCP stays null and every call
  // below is a safe no-op.
  int SetFCPaused(int sock, bool paused);
  void DelTCPEvent(CAppNode* node);
  // === end of socket services =============================================

 private:
  // === Socket half hooks (zepframe_socket.cpp) ============================
  // Construction and destruction of the engine (constructor / destructor).
  void CreateSocketEngine();
  void DestroySocketEngine();
  // One turn of the service loop: the socket engine's work, then a wait of
  // up to 500 ms that ExitFrame cuts short (WaitExit).
  void ServiceTurn();
  // === end of socket half hooks ===========================================

  void WaitExit(unsigned long ms);
  void StopNode(CAppNode* node);

  // === Socket half members (zepframe_socket.cpp) ==========================
  bool m_bMultiThreadSocket;
  ZEPTCP* m_pTCP = nullptr;  // the socket engine, owned; none yet
  // === end of socket half members =========================================

  ZEPList<CAppNode> m_NodeList;
  ZEPBTree<CAppNode*> m_NodeListTree;  // keyed by node address
  Mutex m_NodeListLock;
  ZEPList<CAppNode> m_QuitList;
  Mutex m_QuitListLock;
  std::atomic<bool> m_bExit{false};
  sem_t m_ExitSem;  // posted by ExitFrame to end the current wait early

  ZEPList<TimeEvent_tag> m_TickerList;
  Mutex m_TickerLock;
  ZEPFixMem<TimeEvent_tag, 100, 10, 10> m_TickerPool;

  ZEPList<RefCount> m_PoolList;
  CTCPEvent::Pool* m_pTCPEventPool = nullptr;
  CTimerEvent::Pool* m_pTimerEventPool = nullptr;
  CUserEvent::Pool* m_pUserEventPool = nullptr;
  CQuitEvent::Pool* m_pQuitEventPool = nullptr;
  CCmdEvent::Pool* m_pCCmdEventPool = nullptr;

  SmartPtr<CAppNode> m_Ticker;
  bool m_bUseThreadPool;
  CThreadPool* m_pThreadPool = nullptr;
  std::atomic<time_t> m_nStartTime{0};

  // Set while svc() runs (leaf lock, never held with another).
  std::mutex m_ServingMutex;
  std::condition_variable m_ServingCond;
  bool m_bServing = false;
};

// The one frame of the process.
extern ZEPFrame* g_pFrame;

#endif  // ZEP_FRAME_ZEPFRAME_H
