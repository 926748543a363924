// svcmanager.h — CDYRServiceManager, what the daemon tells its service
// manager through the notify socket (svcnotify.h), and CDYRWatchdogNode,
// the node of the frame whose timer paces the watchdog's pings.
//
// Owns: the datagram socket to NOTIFY_SOCKET, the state of every running
// account as its news told it (news.h), the thread that sends STATUS=
// whenever those counts change, and, with a watchdog, the watchdog node
// (which the frame owns once it is added) and what the watchdog last saw of
// each account. Without a usable NOTIFY_SOCKET it owns nothing and every
// call does nothing.
//
// What is sent: READY=1 (with the STATUS= line) once the configuration is
// read and every account's node has been handed to the frame, and again
// when a reload is applied; RELOADING=1 with MONOTONIC_USEC= before a
// reload; STOPPING=1 before the nodes are told to quit (so before any
// offline request); STATUS= on every change of the counts between the
// first READY=1 and STOPPING=1;
// WATCHDOG=1 every half of WATCHDOG_USEC while everything answers (below).
//
// Threads: Ready, Reloading, LogSetup, ServiceTurn and Finish on the main
// thread (the frame's service thread in dyrclient). Stopping from any
// thread, also a signal handler: one sendto(2) of a constant text, no lock,
// no memory. OnNews on the client nodes' threads (the listener-list lock
// held). OnWatchdogTick on the watchdog node's pool worker. Send from any
// thread. The status thread is our own.
//
// Locks: the send lock (m_SendLock) is held around building and sending
// every message that carries STATUS=, so that a newer count never goes out
// before an older one; inside it the state lock (m_StateLock) is taken for
// the counts. OnNews takes the state lock alone, so a node never waits for
// a send; both are leaves apart from that pair (the log lock may follow, as
// everywhere). The watch lock (m_WatchLock) guards what the watchdog saw of
// the accounts; it is taken with no frame lock held (the nodes, and the
// queue counts of waiting ones, are read before it is taken, through the account view of
// accountview.h), only the log lock nests inside it,
// and the ping is sent after it is left. A send waits at most a second for a manager that does not
// read; after that the message is lost, and the first loss is logged.
//
// The watchdog proves the whole daemon moves: the node's repeating timer
// is delivered by the ticker thread through the node-list and queue locks
// and handled by a worker of the frame's pool, which only marks a tick and
// wakes the service loop; the service loop's turn (ServiceTurn, on the main
// thread) then looks at every running account and pings only when each has
// answered: it waits in its receive (CAppNode::GetHeartbeat is odd) with no
// event queued, or has received an event since the last look, or has been in
// the handling of one event (or not taken a queued one) for less than the
// busy limit (DYR_WATCHDOG_BUSY_MS: a blocking name
// lookup is busy, not stuck). A stuck ticker, pool, frame lock, service
// loop or account stops the pings and the manager restarts the daemon; an
// account past the limit is named in one WARN line, and a service loop
// that has not taken the last tick when the next one comes in one WARN line
// of the watchdog node, both before the manager's limit runs out. While a
// reload runs on the main thread (RELOADING=1 to READY=1) it waits for the
// removed accounts to end, which may each be in a name lookup: for up to
// the busy limit the watchdog node then looks at the accounts and pings
// itself.
#ifndef ZEP_APP_OPS_SVCMANAGER_H
#define ZEP_APP_OPS_SVCMANAGER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>

#include "app/account/news.h"
#include "app/ops/svcnotify.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "events/appnode.h"

class ZEPFrame;

// How long an account may be inside the handling of one event before the
// watchdog counts it as stuck: a name lookup (the login resolves the
// server's host with a blocking call) ends by the resolver's own time-outs,
// by default 5 s x 2 attempts x up to 3 name servers = 30 s a query, and a
// name the search list is also tried on may take a second query: 60 s.
#define DYR_WATCHDOG_BUSY_MS 60000

class CDYRServiceManager : public CDYRListener {
 public:
  // Opens the socket when `conf` names one.
  explicit CDYRServiceManager(const DYRNotifyConf_tag& conf);
  ~CDYRServiceManager() override;
  CDYRServiceManager(const CDYRServiceManager&) = delete;
  CDYRServiceManager& operator=(const CDYRServiceManager&) = delete;

  bool IsActive() const { return m_nFd >= 0; }
  unsigned long GetWatchdogPeriodMs() const { return m_nWatchdogMs; }

  // Once the log exists: what the environment asked for and what is made of
  // it (a WARN line for each unusable variable, one INFO line otherwise).
  void LogSetup() const;
  // The accounts' nodes are in the frame. The first call starts listening
  // to the accounts' news, the status thread and, with a watchdog, the
  // watchdog node; every call counts the nodes not heard from yet as
  // logging in and sends READY=1 with the STATUS= line.
  void Ready(ZEPFrame* frame);
  // RELOADING=1 and MONOTONIC_USEC=.
  void Reloading();
  // Main thread, from the frame's service hook after every wake-up of the
  // service loop: when the watchdog node has ticked since the last turn,
  // looks at the accounts and pings when every one has answered.
  void ServiceTurn(ZEPFrame* frame);
  // The watchdog node's tick: marks it for the service loop and wakes it
  // (during a reload, looks and pings itself; see above).
  void OnWatchdogTick(ZEPFrame* frame);
  // The busy limit (DYR_WATCHDOG_BUSY_MS; tests shorten it).
  void SetBusyLimitMs(int64_t ms) { m_nBusyLimitMs.store(ms); }
  // STOPPING=1, once however often it is called. Async-signal-safe.
  void Stopping();
  // Once the frame has stopped serving (every node ended): stops listening
  // and the status thread. The destructor does it too.
  void Finish();

  // One datagram; 0, or -1 (the first failure is logged).
  int Send(const char* text, size_t len) const;
  int Send(const ZEPString& text) const { return Send(text.GetSafeText(), text.GetLength()); }

  void OnNews(const DYRNews_tag& news) override;

 private:
  static void* StatusThread(void* self);
  void RunStatus();
  // Takes in the frame's client nodes that have told nothing yet; one that
  // has ended (CDYRClient::HasEnded, checked under the state lock) never
  // comes back.
  void Seed(ZEPFrame* frame);
  ZEPString StatusLocked() const REQUIRES(m_StateLock);
  // Sends `lead` and the current STATUS= line; with `always` false (no
  // lead) only once READY=1 has gone and when the line is a new one.
  void SendStatus(const char* lead, bool always);
  // Looks at every running account (CDYRClient) of the frame and sends the
  // ping when each has answered; WARN once for an account past the busy
  // limit, INFO when it answers again.
  void WatchAndPing(ZEPFrame* frame);

  // What the watchdog last saw of one account, by its node's application id.
  struct Watch_tag {
    uint64_t m_nBeat = 0;    // its heartbeat then
    int64_t m_nSinceMs = 0;  // since when (monotonic) it has not moved
    bool m_bWarned = false;  // named as stuck
  };

  int m_nFd = -1;
  sockaddr_un m_Addr{};
  socklen_t m_nAddrLen = 0;
  DYRNotifyConf_tag m_Conf;
  unsigned long m_nWatchdogMs = 0;  // 0: no watchdog
  bool m_bStarted = false;          // main thread
  std::atomic<bool> m_bStopSent{false};
  mutable std::atomic<bool> m_bSendFailed{false};

  Mutex m_SendLock ACQUIRED_BEFORE(m_StateLock);
  ZEPString m_strSentStatus GUARDED_BY(m_SendLock);
  bool m_bReadySent GUARDED_BY(m_SendLock) = false;
  Mutex m_StateLock;
  std::condition_variable_any m_StateCond;
  std::map<uint32_t, int> m_States GUARDED_BY(m_StateLock);  // node's app id -> its state
  bool m_bChanged GUARDED_BY(m_StateLock) = false;
  bool m_bQuit GUARDED_BY(m_StateLock) = false;
  Thread m_StatusThread;
  bool m_bThreadRuns = false;  // main thread

  Mutex m_WatchLock;
  std::map<uint32_t, Watch_tag> m_Watch GUARDED_BY(m_WatchLock);
  std::atomic<int64_t> m_nTickAtMs{-1};       // a tick the service loop has not taken, since
                                              // (monotonic); -1: none
  std::atomic<bool> m_bLoopLate{false};       // its WARN line was written
  std::atomic<int64_t> m_nReloadSinceMs{-1};  // a reload runs since (monotonic), -1: none
  std::atomic<int64_t> m_nBusyLimitMs{DYR_WATCHDOG_BUSY_MS};
};

// Hands every tick of its repeating timer to the manager (see above).
class CDYRWatchdogNode : public CAppNode {
 public:
  // `manager` outlives the node: the frame ends it before the manager's
  // Finish.
  CDYRWatchdogNode(ZEPFrame* frame, CDYRServiceManager* manager, unsigned long periodMs);
  void doRunNode() override;
  void DestroyMe() override { delete this; }

 private:
  CDYRServiceManager* m_pManager;
  unsigned long m_nPeriodMs;
};

#endif  // ZEP_APP_OPS_SVCMANAGER_H
