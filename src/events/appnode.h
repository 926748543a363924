// appnode.h — CAppNode, the base of every unit of application logic the frame
// runs, and CAppNodeCursor, a safe walk over the frame's registered nodes.
//
// Owns: the node's inbox (CMessageQueue), its current event (the reference
// the queue handed over) and the quit holder. The node itself is
// reference-counted: the frame holds one reference from AddNode until it
// destroys the node, a pool work item another from the moment it is posted
// until its run has ended; DestroyMe() of the concrete class frees it.
//
// Threads: any thread may Enqueue into a node. Only the node's own service
// thread (or the pool worker running it) calls RecvEvent, WaitEvent, Event()
// and the quit holder ("node thread only" below). WaitServiceStop may be
// called by any thread but the node's own (the frame's ticker and service
// threads, an application stopping one node) with no lock held.
//
// The node sits below the frame: it knows its frame only as a ZEPNodeHost
// (NodeQuit when its loop has ended, and the flow control its queue pauses
// sockets through). Frame() hands the frame back to code above the frame.
//
// Locks: svc() holds the node lock around doRunNode() and NodeQuit() when the
// node runs on a pool worker; WaitServiceStop() waits on it. The node lock is
// never taken while holding another lock. Enqueue at the tail takes no queue
// lock unless the event reaches a high-water mark or its source needs a count
// slot (the queue's flow lock, messageq.h); at the head it takes the queue's
// receive lock. The frame calls it with no lock of its own (its registry
// keeps the node alive through the call, zepframe_registry.h). The run-state
// lock is a leaf: svc(), the Mark... calls and WaitServiceStop hold it only
// to change the state or to wait for it, with no other lock.
#ifndef ZEP_EVENTS_APPNODE_H
#define ZEP_EVENTS_APPNODE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>

#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "events/events.h"
#include "events/eventsink.h"
#include "events/messageq.h"

class CAppNode;
class CAppNodeCursor;
class ZEPFrame;

// What a node needs of the frame that runs it (ZEPFrame implements it).
class ZEPNodeHost : public ZEPFlowControl {
 public:
  // The node's loop has ended: the host detaches its timers and sockets and
  // puts it on the quit list. Called on the node's thread, holding no lock
  // but the node's own lock when the node runs on a pool worker (svc).
  virtual void NodeQuit(CAppNode* node) = 0;
  // The frame itself, for the code above the frame (CAppNode::Frame()).
  virtual ZEPFrame* GetFrame() = 0;
  // A cursor over the host's nodes is done: its place in the host's list
  // is let go under the host's node-list lock.
  virtual void ClearAppNodeCursor(CAppNodeCursor* cursor) = 0;
};

class CAppNode : public virtual ThreadSvc, public virtual RefCount {
 public:
  CAppNode();
  explicit CAppNode(ZEPNodeHost* host);
  ~CAppNode() override;

  virtual int GetAppNodeType() { return 0; }
  // The node's whole behaviour: loop on RecvEvent, return on a quit event.
  virtual void doRunNode() = 0;

  int svc() override;
  void SetThreadPtr(Thread* thread) override { m_pThread.store(thread); }
  void DestroyMe() override = 0;

  // Gives the node a new incarnation: a new application id, an empty quit
  // holder.
  void Init(bool reset, ZEPNodeHost* host);
  void Fini(bool reset);

  // Node thread only. The previous current event is dropped; the received one
  // becomes current without another reference.
  void RecvEvent();
  // Node thread only. Selective receive; on time-out the current event is
  // empty (the previous one is still dropped).
  void WaitEvent(int type, int timeoutSec);
  CEvent* PeekEvent() { return m_Queue.PeekEvent(); }
  // Any thread: moves by one as the node starts to wait in RecvEvent or
  // WaitEvent and by one as it has its event, so it is odd while the node
  // waits and unchanged while it handles one event (a watchdog tells a busy
  // node from an idle one by it, without sending it anything).
  uint64_t GetHeartbeat() const { return m_nHeartbeat.load(std::memory_order_relaxed); }
  SmartPtr<CEvent>& Event() { return m_Event; }

  // Any thread. With check set, an event stamped for another incarnation is
  // dropped without a reference being taken.
  void Enqueue(CEvent* e, bool tail, bool check);
  int AddEventWatch(int type, unsigned max) { return m_Queue.AddEventWatch(type, max); }

  // Waits until the node's service run (own thread or pool worker) has ended;
  // returns at once for a node that was never started.
  void WaitServiceStop();

  uint32_t GetAppID() const { return m_nAppID.load(); }
  int GetSocket() const { return m_nSocket; }
  void SetSocket(int s) { m_nSocket = s; }
  ZEPFrame* Frame() const { return m_pFrame; }
  ZEPNodeHost* Host() const { return m_pHost; }
  bool IsQuiting() const { return m_bQuiting.load(); }
  Thread* GetThreadPtr() const { return m_pThread.load(); }
  CMessageQueue& Queue() { return m_Queue; }

  static int GetMaxTCPEventCount() { return s_nMaxTCPEventCount.load(); }
  static void SetMaxTCPEventCount(int n) { s_nMaxTCPEventCount.store(n); }

  // Frame only: records how the node is about to be started, before the
  // thread or the pool work item exists, so that WaitServiceStop knows
  // what to wait for even if the run has not begun yet. False (and nothing
  // changed) for a node that was started before: a node runs once.
  bool MarkStartOwnThread();
  bool MarkStartPooled();

 protected:
  SmartPtr<CQuitEvent> m_QuitEvent;  // node thread only: the narrowed quit event

 private:
  enum RunState { kIdle, kPending, kRunning, kDone };
  void SetRunState(RunState s);

  SmartPtr<CEvent> m_Event;  // counting off: holds the queue's reference
  CMessageQueue m_Queue;
  Mutex m_NodeLock;
  std::atomic<uint32_t> m_nAppID{0};
  int m_nSocket = -1;
  ZEPNodeHost* m_pHost = nullptr;
  ZEPFrame* m_pFrame = nullptr;
  std::atomic<Thread*> m_pThread{nullptr};
  std::atomic<bool> m_bQuiting{false};
  std::atomic<bool> m_bOwnThread{false};
  void Beat();  // node thread only
  std::atomic<uint64_t> m_nHeartbeat{0};

  // Run state for WaitServiceStop (a leaf lock, held only to change or wait).
  Mutex m_RunMutex;
  std::condition_variable_any m_RunCond;
  RunState m_eRun GUARDED_BY(m_RunMutex) = kIdle;

  static std::atomic<uint32_t> s_nAppIDCounter;
  static std::atomic<int> s_nMaxTCPEventCount;
};

// Walks the frame's node list (ZEPFrame::GetFirstNode, GetNextNode); the
// current node is kept alive by the cursor, which lets its place in the list
// go through the host when it ends.
class CAppNodeCursor {
 public:
  explicit CAppNodeCursor(ZEPNodeHost* host) : m_pHost(host) {}
  ~CAppNodeCursor();
  CAppNodeCursor(const CAppNodeCursor&) = delete;
  CAppNodeCursor& operator=(const CAppNodeCursor&) = delete;

  CAppNode* GetNode() const { return m_Node.Get(); }

 private:
  friend class ZEPFrame;
  ZEPNodeHost* m_pHost;
  SmartPtr<CListNode> m_Pos;
  SmartPtr<CAppNode> m_Node;
};

#endif  // ZEP_EVENTS_APPNODE_H
