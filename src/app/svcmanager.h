// svcmanager.h — CDYRServiceManager, what the daemon tells its service
// manager through the notify socket (svcnotify.h), and CDYRWatchdogNode,
// the node of the frame that sends the watchdog's pings.
//
// Owns: the datagram socket to NOTIFY_SOCKET, the state of every running
// account as its news told it (dyrnews.h), the thread that sends STATUS=
// whenever those counts change, and, with a watchdog, the watchdog node
// (which the frame owns once it is added). Without a usable NOTIFY_SOCKET it
// owns nothing and every call does nothing.
//
// What is sent: READY=1 (with the STATUS= line) once the configuration is
// read and every account's node has been handed to the frame, and again
// when a reload is applied; RELOADING=1 with MONOTONIC_USEC= before a
// reload; STOPPING=1 before the nodes are told to quit (so before any
// offline request); STATUS= on every change of the counts between the
// first READY=1 and STOPPING=1;
// WATCHDOG=1 from the watchdog node, every half of WATCHDOG_USEC.
//
// Threads: Ready, Reloading, LogSetup and Finish on the main thread (the
// frame's service thread in dyrclient). Stopping from any thread, also a
// signal handler: one sendto(2) of a constant text, no lock, no memory.
// OnNews on the client nodes' threads (the listener-list lock held). Send
// from any thread. The status thread is our own.
//
// Locks: the send lock (m_SendLock) is held around building and sending
// every message that carries STATUS=, so that a newer count never goes out
// before an older one; inside it the state lock (m_StateLock) is taken for
// the counts. OnNews takes the state lock alone, so a node never waits for
// a send; both are leaves apart from that pair (the log lock may follow, as
// everywhere). A send waits at most a second for a manager that does not
// read; after that the message is lost, and the first loss is logged.
//
// The watchdog proves what the accounts rely on: its tick is a timer of the
// frame, delivered by the ticker thread through the node-list and queue
// locks into the node's queue, and handled by a worker of the frame's pool,
// which sends the ping. A ticker or a pool that is stuck, or a lock of the
// frame that is never released, stops the pings, and the manager restarts
// the daemon. It does not see an account node busy in a call of its own
// (a slow name lookup), which the account's own timers retry.
#ifndef ZEP_APP_SVCMANAGER_H
#define ZEP_APP_SVCMANAGER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>

#include "app/dyrnews.h"
#include "app/svcnotify.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "events/appnode.h"

class ZEPFrame;

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
  std::map<const void*, int> m_States GUARDED_BY(m_StateLock);  // node -> its state
  bool m_bChanged GUARDED_BY(m_StateLock) = false;
  bool m_bQuit GUARDED_BY(m_StateLock) = false;
  Thread m_StatusThread;
  bool m_bThreadRuns = false;  // main thread
};

// Pings the manager on every tick of its repeating timer (see above).
class CDYRWatchdogNode : public CAppNode {
 public:
  // `manager` outlives the node: the frame ends it before the manager's
  // Finish.
  CDYRWatchdogNode(ZEPFrame* frame, const CDYRServiceManager* manager, unsigned long periodMs);
  void doRunNode() override;
  void DestroyMe() override { delete this; }

 private:
  const CDYRServiceManager* m_pManager;
  unsigned long m_nPeriodMs;
};

#endif  // ZEP_APP_SVCMANAGER_H
