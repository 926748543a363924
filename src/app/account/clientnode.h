// clientnode.h — CDYRClient, the dynamic-DNS client node of one account.
//
// Owns: the account (server, ports, credentials, domains), the node's two UDP
// links to the server (main: login, reply, offline request; assist: reports
// and the server's re-login request), its login and report timers, the
// once-a-second limit on the early actions that address changes ask for
// (CDYRActGate, with its one-shot timer) and its state (0 logging in, 10
// watching a local egress address, 20 reporting).
// The client id file is shared by all nodes of the process and guarded by
// g_IDFileMutex.
//
// Log lines a datagram brings (a socket close, which an empty datagram or an
// ICMP error makes; an invalid or refused login reply) are folded into
// episodes (ZEPFloodEpisodes, one per kind of line): the first of an episode
// is logged as ever, the rest only counted, and once the kind has been quiet
// for the quiet period (10 s) one line tells the count. UDP senders are easy
// to forge, so a stream of such datagrams costs two lines, not one a
// datagram. A refusal's news (and so the hook) goes with its logged line.
//
// Threads: configured (setters, AddDomain, SetAccount) by the main thread
// before it is handed to the frame; from then on everything runs on the
// node's worker inside doRunNode. The exceptions, any thread, are marked
// below: StatusLine and GetStatus read a copy published under the leaf lock
// m_StatusLock, GetAccount reads what no longer changes, and the index is
// atomic.
// Locks: g_IDFileMutex around every read and write of the client id file;
// g_LogMutex for each log line. The two are never held together. Frame calls
// (timers, sockets) take the frame's own locks; the node holds none then.
// Lifetime: the frame owns the node after AddNode and deletes it through
// DestroyMe once doRunNode has returned; the frame also removes its timers
// and socket associations then (the destructor does neither).
#ifndef ZEP_APP_ACCOUNT_CLIENTNODE_H
#define ZEP_APP_ACCOUNT_CLIENTNODE_H

#include <atomic>
#include <cstdint>

#include "app/account/actgate.h"
#include "app/account/news.h"
#include "app/proto/protocol.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "events/appnode.h"
#include "events/floodepisode.h"
#include "events/timerhandle.h"

class ZEPFrame;
struct TimeEvent_tag;

extern Mutex g_IDFileMutex;

// Login timer: by default one attempt every 20 s until one succeeds.
#define DYR_LOGIN_TIMEOUT_MS 20000
// Check of a local egress address, state 10.
#define DYR_WATCH_PERIOD_MS 10000
// Report period unless the server sends "ReportIPSpan".
#define DYR_REPORT_PERIOD_MS 60000
// Tag of the user event that makes a client act now instead of at its next
// timer (the daemon sends it to every node on SIGUSR1).
#define DYR_USER_ACT_NOW 1
// Tag of the user event that makes a client log in again now (the console's
// "relogin").
#define DYR_USER_RELOGIN 2
// Tag of the user event that tells a client an IPv4 address of the host came
// or went, or a link came up (the address watch, addrwatch.h): it acts as on
// DYR_USER_ACT_NOW, at most once a second (CDYRActGate), and a re-login it
// leads to has the reason "address".
#define DYR_USER_ADDRESS_CHANGED 3
// Port used to test whether an address belongs to this host.
#define DYR_MYIP_TEST_PORT 52938

class CDYRClient : public CAppNode {
 public:
  enum State { kLoggingIn = 0, kWatching = 10, kReporting = 20 };
  typedef DYRDomain_tag DomainNode;

  // A login attempt that has no accepted reply after `loginRetryMs` is given up and the next one
  // starts; 0 takes the default, since a zero period would resend the login
  // at every ticker pass. `logQuietSec` ends an episode of repeated datagram
  // lines (tests shorten it).
  explicit CDYRClient(ZEPFrame* frame, unsigned long loginRetryMs = DYR_LOGIN_TIMEOUT_MS,
                      int logQuietSec = static_cast<int>(ZEPFloodEpisodes::kQuietSec));
  ~CDYRClient() override;

  // The client id file of the work directory (before the node is added):
  // loads the id from it (a missing, empty or unreadable file leaves it
  // null; so does a name that is no regular file, a link included, which is
  // logged once as WARN), and a new id the server gives is saved there. A
  // node given no file keeps its id in memory only.
  void SetIDFile(const std::string& path);

  void SetHost(ZEPString host) { m_Account.m_strHost = host; }
  void SetMainPort(ZEPString port) { m_Account.m_strMainPort = port; }
  void SetAsstPort(ZEPString port) { m_Account.m_strAsstPort = port; }
  void SetUserName(ZEPString user) { m_Account.m_strUserName = user; }
  void SetPassword(ZEPString password) { m_Account.m_strPassword = password; }
  void AddDomain(ZEPString domain, ZEPString offline);
  void SetAccount(const DYRAccount_tag& account) { m_Account = account; }

  int MakeLoginMsg(ZEPString& msg);
  // Outbound procedures; node thread only.
  void DoLogin();
  int DoReportIP();
  void DoReLogin();
  void ReqOffline();
  // What the state's timer would do, done now: try the login (0), check
  // the egress address (10), report (20). Node thread only.
  void ActNow();
  // An address change (DYR_USER_ADDRESS_CHANGED): ActNow's action for the
  // reason "address", now or, within a second of the last such action, once
  // when that second has passed (m_ActGate). Node thread only.
  void OnAddressChange();

  void doRunNode() override;
  void DestroyMe() override;

  // The account's report line: host, user, state, egress address, client id
  // and the seconds since the last login reply and since the last report
  // ("-": none yet). Any thread: it reads the copy the node publishes.
  ZEPString StatusLine();
  // Any thread: a copy of what the node published last.
  DYRStatus_tag GetStatus();
  // The account never changes once the node runs: any thread may read it.
  const DYRAccount_tag& GetAccount() const { return m_Account; }
  // The section's place among the [DYR_CLIENT] sections of the file, from 1
  // (0: not set). Set by the run set, read by the console; any thread.
  void SetIndex(int index) { m_nIndex.store(index); }
  int GetIndex() const { return m_nIndex.load(); }
  // Any thread: the loop has ended. Set before the kEnded news goes out, so
  // a listener that reads a node, takes its own lock and then checks this
  // never takes back a node whose end it has already handled.
  bool HasEnded() const { return m_bEnded.load(); }

 private:
  // Why an account logs in again (the news of it says so).
  static constexpr const char* kReasonServer = "server";
  static constexpr const char* kReasonAddress = "address";
  static constexpr const char* kReasonConsole = "console";
  static constexpr const char* kReasonSignal = "signal";
  // True when a line of `kind` (one of the folded lines, clientnode.cpp)
  // opens an episode: the caller logs it; false when it is only counted.
  bool LogFirstOf(int kind);
  // Logs the count of every episode that is over (all: every open one).
  void CloseLogFloods(bool all);

  // Node thread: copies what StatusLine shows, under m_StatusLock, and when
  // it changed tells the listeners (news.h) after leaving the lock.
  void PublishStatus();
  DYRStatus_tag CurrentStatus() const;
  // Node thread, no lock held: one piece of news to the listeners.
  void Tell(int kind, const char* reason = nullptr, const ZEPString* message = nullptr);
  // DoReLogin for a given reason.
  void ReLogin(const char* reason);
  // ActNow's action; a login tried in state 0 is told as a re-login for
  // `reason`.
  void Act(const char* reason);
  // Detaches from the socket and closes it; the socket becomes -1.
  void CloseLink(int& socket);
  // Opens a connected UDP link to the server on `port`, attached to this node.
  int OpenLink(const ZEPString& port);
  void OnLoginReply(const DYRLoginReply_tag& reply);
  void OnTimer(CTimerEvent* timer);
  void OnSocketData(CTCPEvent* ev);
  void SaveClientId(const ZEPString& id);
  void CheckEgress();
  void ReportOrReLogin();
  void ClearReportTimer();

  DYRAccount_tag m_Account;
  int m_nMainSocket = -1;
  int m_nAsstSocket = -1;
  ZEPString m_strClientID;
  std::string m_strIDFile;  // set before the node runs, then only read
  ZEPString m_strServerIP;
  // A handle's serial tells a late tick of a finished timer from one of the
  // timer that now uses its record.
  ZEPTimerHandle m_LoginTimer;
  ZEPTimerHandle m_ReportTimer;
  int m_nState = kLoggingIn;
  ZEPString m_strEgress;
  bool m_bEgressIsLocal = false;
  int32_t m_nReportSpan = DYR_REPORT_PERIOD_MS;
  unsigned long m_nLoginRetryMs;
  // Early actions of address changes, and the one-shot timer of a deferred
  // one (none: an empty handle).
  CDYRActGate m_ActGate;
  ZEPTimerHandle m_GateTimer;
  // Node thread only: the episodes of datagram lines and the ticker that
  // ends them (empty while none is open).
  ZEPFloodEpisodes m_LogFloods;
  ZEPTimerHandle m_FloodTimer;
  // Node thread only (monotonic seconds, -1: never).
  int64_t m_nLoginReplySec = -1;
  int64_t m_nReportSec = -1;

  // What StatusLine reads from other threads; a leaf lock, taken with no
  // other lock held.
  Mutex m_StatusLock;
  DYRStatus_tag m_Status GUARDED_BY(m_StatusLock);
  bool m_bPublished GUARDED_BY(m_StatusLock) = false;
  std::atomic<int> m_nIndex{0};
  std::atomic<bool> m_bEnded{false};
};

// The frame's report hook (ZEPFrame::SetReportHook): one StatusLine per
// client node the frame lists, in the frame's order, each after "\r\n".
// Runs on the frame's service thread; walks the nodes as accountview.h does.
void DyrReportAccounts(ZEPFrame* frame, ZEPString& text);

#endif  // ZEP_APP_ACCOUNT_CLIENTNODE_H
