// zepframe.h — ZEPFrame, the runtime that owns and runs application nodes,
// and CNodeTicker, the node that drives the frame's timers.
//
// Owns: the registry of live nodes (one reference on each), the quit list,
// the timer records, the five event pools, the worker pool, the ticker node
// and (from the socket half, zepframe_socket*.cpp) the socket engine and the
// socket/node maps. One frame exists per process (g_pFrame).
//
// The frame is the top of the framework's layers: the queue, the nodes and
// the socket engines below it reach it only through ZEPNodeHost,
// ZEPFlowControl and ZEPSocketSink (eventsink.h, appnode.h).
//
// Threads: svc() runs on one thread (the main thread in dyrclient, or a
// service thread started with Service()). ExitFrame() and RequestReport()
// may be called from any thread, including a signal handler (each stores an
// atomic and writes a wake-up descriptor). AddNode, Enqueue, AddTicker,
// DelTicker, ArmTimer, DisarmTimer and the Alloc...Event calls may come from
// any thread (a timer handle itself belongs to one thread). SendTicker
// and DestroyQuitApp run on the ticker's thread; SendQuit and CleanQuitList
// on the service thread.
//
// Waiting: nothing here wakes on a period. The service loop sleeps on its
// wake-up descriptor until the socket engine's next deadline (time to die,
// start time-out), ExitFrame, or an earlier deadline (WakeSweep). The ticker
// sleeps until its earliest due timer and is woken when a timer that falls
// due earlier is added, when a node quits (it destroys quitting nodes) and at
// shutdown.
//
// Locks, outermost first (docs/ARCHITECTURE.md):
//   node lock (a pooled node's run, CAppNode)
//   -> ticker lock | socket-map lock
//   -> a socket route's lock (TCPRoute, zepframe_socket.h)
//   -> node-list lock (m_NodeList + m_NodeListTree)
//   -> a node's queue flow lock -> socket engine lock -> a pool's lock
//   -> g_LogMutex (innermost); or, instead of the flow lock, the queue's
//   receive lock, which nests nothing.
// A queue's receive lock nests nothing; Enqueue takes no frame lock: the
// node is looked up in the registry without one, and the node's queue takes
// the event (no queue lock, unless the event reaches a high-water mark or
// needs a count slot: the queue's flow lock). DelNode and SendQuit wait,
// with no lock held, for the producers in Enqueue before the frame's
// reference on a node is dropped.
// The quit-list lock is never held together with another lock; the ticker's
// wake-up lock and the serving lock are leaf locks taken with no other lock
// held. The sampling lock is held for a whole sample with no frame lock, and
// the sample tree lock nests inside it (StartSample) or is taken alone (the
// socket side's AddSample). PrintCount, PrintBTree and PrintSocketMaps take
// one lock at a time; none changes what it reports. Clang's thread-safety analysis checks the
// node-list, quit-list and ticker locks against the members they guard.
#ifndef ZEP_FRAME_ZEPFRAME_H
#define ZEP_FRAME_ZEPFRAME_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "base/zepbtree.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "events/appnode.h"
#include "events/events.h"
#include "events/eventsink.h"
#include "events/timerhandle.h"
#include "events/timerrecord.h"
#include "frame/tickerlanes.h"
#include "frame/zepframe_registry.h"
#include "frame/zepframe_socket.h"

class CThreadPool;
class ZEP_MTTcp;
struct TCPSocketInfo;
struct sockaddr;
class ZEPFrame;

// Bytes one socket received while a sample ran (the frame's report).
struct SampleNode {
  intptr_t m_nSocket = -1;  // the key, widened to the tree's key size
  uint32_t m_nBytes = 0;
};

// The frame's own node: it delivers due timer ticks and destroys nodes that
// have quit, sleeping until the next timer falls due or it is woken. It runs
// on a thread of its own.
class CNodeTicker : public CAppNode {
 public:
  explicit CNodeTicker(ZEPFrame* frame);
  ~CNodeTicker() override {}
  void doRunNode() override;
  void DestroyMe() override { delete this; }
};

// The telnet log copy's sender (log/tnlog.h): the whole zero-terminated line
// to the console socket through SendData. The frame installs it as the
// log's hook when none is installed.
int TNLogFrameSend(ZEPFrame* pFrame, int nSocket, const char* pLine);

class ZEPFrame : public ThreadSvc, public ZEPNodeHost, public ZEPSocketSink {
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
  // Set before svc() runs: `hook(context)` then runs on the serving thread
  // after every wake-up of the service loop while the frame is not exiting.
  // WakeSweep() only writes the wake-up descriptor (async-signal-safe), so
  // a signal handler may set a flag and wake the loop to have the hook act.
  void SetServiceHook(void (*hook)(void*), void* context) {
    m_pServiceHook = hook;
    m_pServiceHookContext = context;
  }
  bool IsRunning() const { return !m_bExit.load(); }
  time_t GetStartTime() const { return m_nStartTime.load(); }

  // --- Nodes -----------------------------------------------------------
  // 0, or -1 when refused (frame exiting, null or already registered node);
  // a refused node stays the caller's.
  int AddNode(CAppNode* node, bool start);
  void StartService(CAppNode* node);
  // Takes a registered node off the registry and returns once no producer
  // is inside Enqueue for it; the caller then drops the frame's reference.
  // No lock held.
  void DelNode(CAppNode* node) EXCLUDES(m_NodeListLock);
  void NodeQuit(CAppNode* node) override;
  ZEPFrame* GetFrame() override { return this; }
  CAppNode* GetQuitNode();
  void DestroyQuitApp();
  void SendQuit();
  void CleanQuitList();
  CAppNode* GetFirstNode(CAppNodeCursor& cursor);
  CAppNode* GetNextNode(CAppNodeCursor& cursor);
  void ClearAppNodeCursor(CAppNodeCursor* cursor) override;
  bool IsNodeRegistered(CAppNode* node);
  int GetNodeCount();
  int GetQuitCount();

  // --- Events ----------------------------------------------------------
  // Delivers to a registered node (and, with `check`, the incarnation the
  // event names). Any thread; `node` may be one the frame has destroyed (it
  // is looked up by address, never touched unless registered). Takes no
  // lock (the registry's grace period, zepframe_registry.h), but a queue's
  // flow lock for an event that reaches a mark.
  bool Enqueue(CAppNode* node, CEvent* event, bool tail, bool check);
  void AllEnqueue(CEvent* event, bool flag);
  CTCPEvent* AllocTCPEvent() override { return CTCPEvent::Instance(m_pTCPEventPool); }
  CTimerEvent* AllocTimerEvent() { return CTimerEvent::Instance(m_pTimerEventPool); }
  CUserEvent* AllocUserEvent() { return CUserEvent::Instance(m_pUserEventPool); }
  CQuitEvent* AllocQuitEvent() { return CQuitEvent::Instance(m_pQuitEventPool); }
  // Stamped with the generation of the socket `sock` names now, so its flow
  // control reaches that record only.
  CCmdEvent* AllocCmdEvent(const GeneralCmd_* cmd, int sock) {
    CCmdEvent* ev = CCmdEvent::Instance(m_pCCmdEventPool, cmd, sock);
    if (ev != nullptr && sock >= 0) ev->SetGeneration(GetSocketGeneration(sock));
    return ev;
  }
  void QueueMemPool(RefCount* pool);
  // Events handed out and not yet back, over the five pools (for the
  // report and for tests that check the frame drained).
  unsigned GetEventsOutstanding();

  bool IsUseThreadPool() const { return m_bUseThreadPool; }
  CThreadPool* GetThreadPool() const { return m_pThreadPool; }

  // --- Timers (zepframe_timer.cpp) -------------------------------------
  // AddTicker, the DelTickers, SendTicker and GetTickerCount take the
  // ticker lock themselves (AddTicker the node-list lock inside it).
  // The timer id (record address), or null for an unregistered or quitting
  // node or a non-zero application id that is not the node's. `serial`, when
  // given, gets the timer's arming serial (0 with no timer): the serial its
  // ticks carry (CTimerEvent::GetTimerSerial) and DelTicker(id, serial) takes.
  TimeEvent_tag* AddTicker(CAppNode* node, unsigned long intervalMs, long count,
                           unsigned long appID, uint64_t* serial = nullptr);
  // Deletes the timer armed with `serial` at `id`: 0, or -1 when that timer
  // has already ended (a one-shot that fired, a timer deleted before, its
  // node quit). Nothing is touched then, not even another timer that now
  // uses the same record; a node that may hold an ended id uses this form.
  int DelTicker(TimeEvent_tag* id, uint64_t serial);
  // Deletes the timer `id` names now; an id whose record is not listed (its
  // timer ended, the slot is free) is ignored. A record the pool handed to
  // another timer is listed again, so a caller that may hold an ended id
  // must name its serial (above).
  void DelTicker(TimeEvent_tag* id);
  void DelTicker(CAppNode* node);
  // AddTicker, with the id and serial in one handle (empty when refused).
  ZEPTimerHandle ArmTimer(CAppNode* node, unsigned long intervalMs, long count,
                          unsigned long appID = 0);
  // DelTicker(id, serial) of the handle's arming, which is then cleared: 0,
  // or -1 when the handle was empty or its timer had already ended (nothing
  // else is touched then).
  int DisarmTimer(ZEPTimerHandle& timer);
  // Ticker thread only: delivers the due ticks; returns the monotonic µs at
  // which the next timer falls due (INT64_MAX when none).
  int64_t SendTicker();
  int GetTickerCount();
  // Passes the ticker has made since the frame was built (any thread): an
  // idle frame's count stands still between its timers' deadlines.
  uint64_t GetTickerPasses() const { return m_nTickerPasses.load(std::memory_order_relaxed); }
  // Wakes the ticker if `dueUs` (monotonic µs) falls before its planned wake
  // (INT64_MIN: always). Any thread, no lock held.
  void WakeTicker(int64_t dueUs);
  // Ticker thread only: sleeps until `dueUs` or a wake-up.
  void WaitTicker(int64_t dueUs);

  // === Socket services (zepframe_socket*.cpp, owned by the socket half) ==
  // Any thread. Locks, outermost first: socket-map lock -> a route's lock ->
  // node-list lock -> a node's queue flow lock -> engine lock -> record pool
  // lock. The socket-map lock guards the two indexes and the slot pool (a
  // route's own lock its copy of a socket's nodes); the engine lock
  // (m_pTCP->GetEngineLock()) is taken around every engine call that needs
  // it, and the caller holds neither.
  // Creation and I/O: the engine's results (descriptor or -1, 0 or -1); no
  // frame lock (the engine's AddSocket takes the engine lock).
  int CreateServer(const ZEPString& host, const ZEPString& port, int protocol);
  int CreateClient(const ZEPString& host, const ZEPString& port, int protocol);
  int CreateUDPSocket(int kind);
  // The kernel's netlink messages of `protocol` for the multicast `groups`
  // (ZEPTCP::CreateNetlinkSocket): -1 where there is no such socket.
  int CreateNetlinkSocket(int protocol, uint32_t groups);
  int SendData(int sock, const char* data, int length);
  int SendUdpTo(int sock, const sockaddr* addr, const char* data, int length);

  // Attachment (the socket-map lock, and inside it one at a time the
  // node-list lock, the engine lock and the socket's route lock).
  // AddTCPEvent: 0, or -1 for a node that is not registered, is quitting, or
  // whose id is not appID (0 = any). Once a DelTCPEvent returned, the socket
  // delivers nothing more to the nodes it detached.
  int AddTCPEvent(CAppNode* node, int sock, unsigned long appID) EXCLUDES(m_SocketMapLock);
  void DelTCPEvent(CAppNode* node, int sock, bool close) EXCLUDES(m_SocketMapLock);
  // Every socket of the node, closing orphans.
  void DelTCPEvent(CAppNode* node) EXCLUDES(m_SocketMapLock);
  // Every node of the socket; engine untouched.
  void DelTCPEvent(int sock) EXCLUDES(m_SocketMapLock);
  void ClearNode(int sock, bool close) EXCLUDES(m_SocketMapLock);
  int GetSocketNodeCount(int sock) EXCLUDES(m_SocketMapLock);
  int GetNodeSocketCount(CAppNode* node) EXCLUDES(m_SocketMapLock);

  // Event production. EnqueueTCP: true when at least one node took it. An
  // event of another generation than the one the socket's nodes attached to
  // (a socket that is gone, its number reused) reaches no one. Holds the
  // socket-map lock while the nodes' queues take the event. The
  // socket-thread engine's reads do not come here: they take the route kept
  // with the socket's record (TCPRoute, zepframe_socket.h), which holds its
  // own lock instead while the queues take the event.
  bool EnqueueTCP(CTCPEvent* ev, int sock) override EXCLUDES(m_SocketMapLock);
  // The socket engine's next deadline moved earlier: sweep again.
  void WakeSweep() override;
  // One polling step (polling engine): posts every event one poll read, in
  // one batch, or else sleeps until a socket is readable, the next socket
  // deadline, or a wake-up (a socket added or started, exit, a report).
  void ProcessTCP();
  int Select(int& sock, char* buffer, int& length, sockaddr_in* from, int& protocol);

  // Datagram services on a received event.
  ZEPString GetUDPPackageIP(CTCPEvent* ev);
  int GetUDPPackagePort(CTCPEvent* ev);
  int ReplyUDPData(CTCPEvent* ev, const char* data, int length);

  // Flags and settings of one socket (engine lock taken unless noted).
  // Called by queues with their lock held: engine lock only. The first form
  // pauses whichever record has the number.
  int SetFCPaused(int sock, bool paused);
  int SetFCPaused(int sock, uint32_t generation, bool paused) override;
  int SetPaused(int sock, bool paused);
  int SetGetOnePacket(int sock, bool one);
  int SetTime2Die(int sock, long when);
  int SetStartTimeout(int sock, int seconds);
  int SetStarted(int sock, bool start);  // the engine locks by itself
  int SetSocketPriority(int sock, int priority);
  int SetBandwidth(int sock, int bytesPerSecond);
  void SetDefaultConnBandwidth(int n);  // no lock (an atomic setting)
  int GetDefaultConnBandwidth();
  void SetDefaultTotalBandwidth(int n);
  void SetSelectSize(int n);  // no lock, as the buffer options below
  int GetSocketRecvBuffer(int sock);
  int SetSocketRecvBuffer(int sock, long size);
  int GetSocketSendBuffer(int sock);
  int SetSocketSendBuffer(int sock, long size);

  // Record queries (engine lock).
  int GetClientSockAddr(int sock, sockaddr* addr);
  int GetSocketBufDataCount(int sock);
  ZEPString GetIPAddr(int sock);
  int GetPeerPort(int sock);
  ZEPString GetPeerIP(int sock);
  int GetLocalPort(int sock);
  ZEPString GetLocalIP(int sock);
  // A copy of the socket's record, taken under the engine lock, into *copy
  // (when not null): 0, or -1 when the engine has no record of the socket.
  // The copy stays valid after the socket is gone.
  int SeekSocket(int sock, TCPSocketInfo* copy);
  // The generation of the socket's record (0 without a record): an event
  // with another generation came from an earlier socket of that number.
  uint32_t GetSocketGeneration(int sock);

  // Names and addresses (no lock).
  ZEPString GetHostname();
  ZEPString GetHostIP();
  int HostToIP(const ZEPString& host, ZEPString& ip);
  bool IsMyIP(const ZEPString& ip, int port);
  bool IsSocketWritable(int sock);

  // Black list and children (engine lock).
  int AddIPBlackList(const char* ip);
  int DelIPBlackList(const char* ip);
  void ClrIPBlackList();
  int CountChild(const ZEPString& host, const ZEPString& port);

  // For the report: entries of the socket-to-node map, int slots handed out
  // (each under the socket-map lock), and one line per socket and per node
  // (TCP2Node/Node2TCP::print). PrintSocketMaps copies the maps under the
  // socket-map lock and prints after leaving it, so it holds one lock at a
  // time (the engine lock for each socket line).
  int GetTCP2NodeCount() EXCLUDES(m_SocketMapLock);
  unsigned GetSocketPoolCount() EXCLUDES(m_SocketMapLock);
  ZEPString& PrintSocketMaps(ZEPString& out) EXCLUDES(m_SocketMapLock);
  // The engine (for the report and for tests); owned by the frame.
  ZEP_MTTcp* GetTCPEngine() const { return m_pTCP; }
  // Wake-ups the socket engine wrote: to socket threads that slept when
  // their socket's flags changed, or to the polling thread's sleep.
  uint64_t GetSocketWakeups() const;
  // === end of socket services =============================================

  // === Report and statistics (zepframe_report.cpp) ========================
  // Any thread. Counts may be a moment old while nodes and sockets come and
  // go; every count is read under the lock that guards it, one at a time.
  ZEPString& PrintCount(ZEPString& out);
  ZEPString& PrintBTree(ZEPString& out);
  // Fills `tree` with the bytes each socket received over `seconds`
  // (0: at once, empty). One sample at a time: a second caller waits for
  // the first to finish. Blocks the caller for the sample.
  void StartSample(ZEPBTree<SampleNode>& tree, unsigned seconds);
  // A 3-second sample, written to the process log at INFO as a table; the
  // table is appended to `copy` too when it is given (a console shows it).
  void PrintSample(ZEPString* copy = nullptr);
  // Any thread, async-signal-safe (an atomic store and a write(2)): the
  // service loop writes PrintCount and PrintBTree, followed by what the
  // report hook appends, to the process log at INFO on its next turn.
  void RequestReport();
  // Appends the application's lines to a requested report; runs on the
  // service loop's thread with no frame lock held. Null: none.
  using ReportHookFn = void (*)(ZEPFrame* frame, ZEPString& text);
  void SetReportHook(ReportHookFn fn) { m_pReportHook.store(fn); }
  // === end of report ======================================================

 private:
  // === Socket half hooks (zepframe_socket.cpp) ============================
  // Construction and destruction of the engine (constructor / destructor).
  void CreateSocketEngine();
  void DestroySocketEngine();
  // One turn of the service loop: the socket engine's work, then a wait
  // until its next deadline that ExitFrame and WakeSweep cut short.
  void ServiceTurn();
  // === end of socket half hooks ===========================================

  // Sleeps on the wake-up descriptor for up to `ms` (-1: until woken).
  void WaitWake(int64_t ms);
  // Timer records, ticker lock held: unlists `id` when it is listed and,
  // with `serial` given, armed with it (0, else -1); returns one to the pool.
  int DelTickerLocked(TimeEvent_tag* id, const uint64_t* serial) REQUIRES(m_TickerLock);
  void FreeTickerLocked(TimeEvent_tag* rec) REQUIRES(m_TickerLock);
  void StopNode(CAppNode* node);
  // Service loop: writes a report that RequestReport asked for.
  void WriteRequestedReport();
  // Socket side, any thread: `bytes` read from `sock` while a sample runs.
  void AddSample(int sock, int bytes);
  // The reader of `sock` (EnqueueTCP, or a route's Deliver): the event's
  // bytes to the sample when one runs; no lock otherwise.
  void SampleRead(int sock, CTCPEvent* ev);
  // The polling engine's results, taken under the engine lock and posted
  // after it; the number posted.
  int PostPolledTCP();
  friend class TCPRoute;

  // === Socket half members (zepframe_socket*.cpp) =========================
  // Socket-map lock held: the helpers that read or change the two indexes.
  bool HasSocketLocked(Node2TCP* n, int sock) REQUIRES(m_SocketMapLock);
  bool UnlinkLocked(CAppNode* node, int sock) REQUIRES(m_SocketMapLock);
  void DropSocketFromNodeLocked(CAppNode* node, int sock) REQUIRES(m_SocketMapLock);
  bool DropNodeFromSocketLocked(CAppNode* node, int sock) REQUIRES(m_SocketMapLock);
  void DetachSocketLocked(int sock) REQUIRES(m_SocketMapLock);
  // The node's record in the node-to-socket index, inserted when missing.
  Node2TCP* NodeRecordLocked(CAppNode* node) REQUIRES(m_SocketMapLock);
  // The route of the socket's engine record (made for a record without
  // one) with a reference for the caller, and its generation in *gen; null
  // and 0 without a record. Takes the engine lock.
  TCPRoute* RecordRoute(int sock, uint32_t* gen) REQUIRES(m_SocketMapLock);
  // Empties the record's route and drops the reference the TCP2Node held.
  void DropRoute(TCP2Node* t) REQUIRES(m_SocketMapLock);

  bool m_bMultiThreadSocket;
  ZEP_MTTcp* m_pTCP = nullptr;  // the socket engine, owned
  // Flow-control pausers per socket (descriptor << 32 | generation): the
  // queues' counters that hold it paused. The record is paused by the first
  // and resumed by the last, so one counter's resume never frees a socket
  // another still needs paused. Guarded by the engine lock.
  std::unordered_map<uint64_t, int> m_FCPausers;
  // The socket-map lock; it comes before the node-list lock (AddTCPEvent
  // looks the node up while holding it) and the engine lock.
  Mutex m_SocketMapLock ACQUIRED_BEFORE(m_NodeListLock);
  ZEPBTree<TCP2Node> m_TCP2Node GUARDED_BY(m_SocketMapLock);
  ZEPBTree<Node2TCP> m_Node2TCP GUARDED_BY(m_SocketMapLock);
  ZEPFixMem<int, 100, 10, 10> m_SocketPool GUARDED_BY(m_SocketMapLock);
  // === end of socket half members =========================================

  // The node-list lock nests inside the ticker lock and the socket-map lock.
  ZEPList<CAppNode> m_NodeList GUARDED_BY(m_NodeListLock);
  ZEPBTree<CAppNode*> m_NodeListTree GUARDED_BY(m_NodeListLock);  // keyed by node address
  // The same addresses for Enqueue's look-up without the lock (written under
  // it), with the grace period that keeps a found node alive.
  ZEPNodeRegistry m_Registry;
  Mutex m_NodeListLock ACQUIRED_AFTER(m_TickerLock, m_SocketMapLock);
  ZEPList<CAppNode> m_QuitList GUARDED_BY(m_QuitListLock);
  Mutex m_QuitListLock;  // never held with another lock
  std::atomic<bool> m_bExit{false};
  ZEPWakeFd m_Wake;  // written by ExitFrame and WakeSweep

  // The ticker lock also guards the timing fields of every record
  // (TimeEvent_tag::TimingLocked).
  ZEPList<TimeEvent_tag> m_TickerList GUARDED_BY(m_TickerLock);
  // When each listed timer falls due next, in one FIFO lane per period
  // (tickerlanes.h), so a pass touches only the due timers. An entry names
  // the serial it was made for: one of a timer that ended (or whose slot
  // serves another timer now) is stale and dropped when it comes up, or when
  // stale entries outnumber the live ones. Every listed timer has exactly one
  // live entry.
  ZEPTickerLanes m_TickerDue GUARDED_BY(m_TickerLock);
  // The ticker pass's list of due timers, kept to spare an allocation a pass.
  std::vector<ZEPTickerLanes::Due> m_TickerFired GUARDED_BY(m_TickerLock);
  // A tick made in the pass, waiting to be posted (with a reference).
  struct TickerPost_tag {
    CAppNode* m_pNode;
    CTimerEvent* m_pTick;
    uint32_t m_nOrder;  // its place in the pass, kept within a node
  };
  std::vector<TickerPost_tag> m_TickerPosts GUARDED_BY(m_TickerLock);
  // Schedules a timer; drops the stale entries first when they pile up.
  void ScheduleTickerLocked(uint32_t intervalMs, int64_t dueUs, TimeEvent_tag* rec, uint64_t serial)
      REQUIRES(m_TickerLock);
  std::atomic<uint64_t> m_nTickerPasses{0};
  Mutex m_TickerLock;
  ZEPFixMem<TimeEvent_tag, 100, 10, 10> m_TickerPool GUARDED_BY(m_TickerLock);
  // The ticker's sleep (leaf lock): when it plans to wake, and whether it
  // was woken since it last looked.
  Mutex m_TickerWakeMutex;
  std::condition_variable_any m_TickerWakeCond;
  // INT64_MAX while it works: every wake counts.
  int64_t m_nTickerPlanUs GUARDED_BY(m_TickerWakeMutex) = INT64_MAX;
  bool m_bTickerWoken GUARDED_BY(m_TickerWakeMutex) = false;

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
  void (*m_pServiceHook)(void*) = nullptr;  // serving thread only once svc() runs
  void* m_pServiceHookContext = nullptr;

  // Sampling: m_SampleLock is held for a whole sample with no frame lock
  // (one sample at a time); m_SampleTreeLock guards the tree pointer and the
  // tree, nests inside m_SampleLock in StartSample and is taken alone by the
  // socket side. The flag spares the read path that lock when no sample runs.
  std::atomic<bool> m_bSampling{false};
  Mutex m_SampleLock ACQUIRED_BEFORE(m_SampleTreeLock);
  Mutex m_SampleTreeLock;
  ZEPBTree<SampleNode>* m_pSampleTree GUARDED_BY(m_SampleTreeLock) = nullptr;
  std::atomic<bool> m_bReportWanted{false};
  std::atomic<ReportHookFn> m_pReportHook{nullptr};

  // Set while svc() runs (leaf lock, never held with another).
  Mutex m_ServingMutex;
  std::condition_variable_any m_ServingCond;
  bool m_bServing GUARDED_BY(m_ServingMutex) = false;
};

// The throughput table of a sample taken over `seconds`: one line per
// socket in ascending order with its bytes per second, then the total.
// Appends to `out` and returns it. Plain function, no lock.
ZEPString& ZEPFrameSampleTable(ZEPBTree<SampleNode>& tree, unsigned seconds, ZEPString& out);

// The one frame of the process.
extern ZEPFrame* g_pFrame;

#endif  // ZEP_FRAME_ZEPFRAME_H
