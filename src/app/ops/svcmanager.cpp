#include "app/ops/svcmanager.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/account/accountview.h"
#include "base/lockguard.h"
#include "base/zepmultithread_clock.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"

CDYRServiceManager::CDYRServiceManager(const DYRNotifyConf_tag& conf) : m_Conf(conf) {
  if (!conf.m_bNotify) return;
  m_nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_nFd < 0) {
    ZEPString why;
    why << "NOTIFY_SOCKET " << conf.m_strSocket << ": no socket: " << std::strerror(errno);
    m_Conf.m_Bad.push_back(why);
    return;
  }
  // A manager that does not read costs a message, never more than a second
  // of whichever thread sends it.
  timeval limit{1, 0};
  (void)setsockopt(m_nFd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  m_Addr = conf.m_Addr;
  m_nAddrLen = conf.m_nAddrLen;
  if (conf.m_nWatchdogUsec != 0) m_nWatchdogMs = DyrWatchdogPeriodMs(conf.m_nWatchdogUsec);
}

CDYRServiceManager::~CDYRServiceManager() {
  Finish();
  if (m_nFd >= 0) close(m_nFd);
}

void CDYRServiceManager::LogSetup() const {
  for (const ZEPString& bad : m_Conf.m_Bad)
    ZEP_LOG_LINE(LOG_WARN, bad << ": the service manager is not told about this.");
  if (!m_Conf.m_strWatchdogOther.IsEmpty())
    ZEP_LOG_LINE(LOG_INFO, m_Conf.m_strWatchdogOther << ": no watchdog pings from here.");
  if (!IsActive()) return;
  if (m_nWatchdogMs != 0) {
    ZEP_LOG_LINE(LOG_INFO, "Service manager: notifications to "
                               << m_Conf.m_strSocket << ", a watchdog ping every " << m_nWatchdogMs
                               << " ms.");
  } else {
    ZEP_LOG_LINE(LOG_INFO, "Service manager: notifications to " << m_Conf.m_strSocket << ".");
  }
}

int CDYRServiceManager::Send(const char* text, size_t len) const {
  if (m_nFd < 0) return -1;
  ssize_t n = -1;
  do {
    n = sendto(m_nFd, text, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&m_Addr),
               m_nAddrLen);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(len)) return 0;
  const int err = n < 0 ? errno : EMSGSIZE;
  if (!m_bSendFailed.exchange(true)) {
    ZEP_LOG_LINE(LOG_WARN, "Service manager: cannot send to "
                               << m_Conf.m_strSocket << ": " << std::strerror(err)
                               << " (later failures are not logged).");
  }
  return -1;
}

void CDYRServiceManager::Stopping() {
  if (m_nFd < 0 || m_bStopSent.exchange(true)) return;
  static const char kText[] = DYR_NOTIFY_STOPPING;
  // In a signal handler: sendto is async-signal-safe, and it must not wait.
  (void)sendto(m_nFd, kText, sizeof kText - 1, MSG_NOSIGNAL | MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&m_Addr), m_nAddrLen);
}

void CDYRServiceManager::Reloading() {
  if (m_nFd < 0) return;
  m_nReloadSinceMs.store(ZEPMonoMs());
  Send(DyrReloadingMessage(static_cast<uint64_t>(ZEPMonoUs())));
}

ZEPString CDYRServiceManager::StatusLocked() const {
  DYRStateCounts_tag counts;
  for (const auto& entry : m_States) {
    if (entry.second == CDYRClient::kWatching) {
      ++counts.m_nWatching;
    } else if (entry.second == CDYRClient::kReporting) {
      ++counts.m_nReporting;
    } else {
      ++counts.m_nLoggingIn;
    }
  }
  return DyrStatusMessage(counts);
}

void CDYRServiceManager::SendStatus(const char* lead, bool always) {
  // Once stopping, the accounts only go: the manager knows.
  if (m_bStopSent.load()) return;
  ZEPLockGuard send(m_SendLock);
  // READY=1 comes first and carries every change told before it.
  if (!always && !m_bReadySent) return;
  ZEPString status;
  {
    ZEPLockGuard state(m_StateLock);
    status = StatusLocked();
  }
  if (!always && status == m_strSentStatus) return;
  m_strSentStatus = status;
  m_bReadySent = true;
  ZEPString text(lead);
  if (!text.IsEmpty()) text << "\n";
  text << status;
  Send(text);
}

void CDYRServiceManager::OnNews(const DYRNews_tag& news) {
  if (news.m_nKind != DYRNews_tag::kStatus && news.m_nKind != DYRNews_tag::kEnded) return;
  ZEPLockGuard lock(m_StateLock);
  if (news.m_nKind == DYRNews_tag::kStatus) {
    m_States[news.m_nNode] = news.m_Status.m_nState;
  } else {
    m_States.erase(news.m_nNode);
  }
  // Changes that come while one is sent are sent together next.
  m_StatusThread.Post();
}

void CDYRServiceManager::Seed(ZEPFrame* frame) {
  // A node that has ended (a reload stopped it) told us so already. The
  // list holds the nodes until after our lock is left.
  for (const SmartPtr<CDYRClient>& client : AccountList(frame, kSkipEnded, false)) {
    // Its status lock is a leaf: read before ours is taken.
    const int state = client->GetStatus().m_nState;
    DyrWalkGap(client.Get());
    ZEPLockGuard lock(m_StateLock);
    // A node that ended since the read was erased by its news: not back.
    if (client->HasEnded()) continue;
    m_States.emplace(client->GetAppID(), state);  // what it told us itself is newer
  }
}

void CDYRServiceManager::Ready(ZEPFrame* frame) {
  if (m_nFd < 0) return;
  if (!m_bStarted) {
    m_bStarted = true;
    // Listening first: no news is lost between the walk below and this.
    DyrListen(this);
    if (m_StatusThread.Start([this](ZEPServiceTurn&) { SendStatus("", false); }) != 0)
      ZEP_LOG_LINE(LOG_WARN, "Service manager: no status thread: no STATUS= updates.");
    if (m_nWatchdogMs != 0) {
      CDYRWatchdogNode* dog = new CDYRWatchdogNode(frame, this, m_nWatchdogMs);
      if (frame->AddNode(dog, true) != 0) dog->DestroyMe();  // the frame is stopping
    }
  }
  Seed(frame);
  SendStatus(DYR_NOTIFY_READY, true);
  m_nReloadSinceMs.store(-1);
}

void CDYRServiceManager::ServiceTurn(ZEPFrame* frame) {
  if (m_nTickAtMs.exchange(-1) < 0) return;
  if (m_bLoopLate.exchange(false))
    ZEP_LOG_LINE(LOG_INFO, "Watchdog: the service loop answers again.");
  WatchAndPing(frame);
}

void CDYRServiceManager::OnWatchdogTick(ZEPFrame* frame) {
  const int64_t reload = m_nReloadSinceMs.load();
  if (reload >= 0 && ZEPMonoMs() - reload <= m_nBusyLimitMs.load()) {
    // The service loop waits for removed accounts to end: they answer here.
    WatchAndPing(frame);
    return;
  }
  const int64_t now = ZEPMonoMs();
  int64_t at = -1;
  // A tick may follow a late one at once: the loop is late only when the
  // tick it has not taken is a period old.
  if (!m_nTickAtMs.compare_exchange_strong(at, now) &&
      now - at >= static_cast<int64_t>(m_nWatchdogMs) && !m_bLoopLate.exchange(true)) {
    ZEP_LOG_LINE(LOG_WARN, "Watchdog: the service loop has not answered for "
                               << (now - at) << " ms; no ping is sent until it does.");
  }
  frame->WakeSweep();
}

void CDYRServiceManager::WatchAndPing(ZEPFrame* frame) {
  struct Seen_tag {
    int m_nIndex;
    ZEPString m_strHost, m_strUser;
    uint32_t m_nId;
    uint64_t m_nBeat;
    bool m_bIdle;
  };
  // Read with no lock of ours; the list's references go as it is left.
  std::vector<Seen_tag> seen;
  for (const SmartPtr<CDYRClient>& client : AccountList(frame, kSkipEnded | kSkipQuitting, false)) {
    const uint64_t beat = client->GetHeartbeat();
    // Waiting with nothing to take is idle; waiting while events wait for
    // it is not (a thread stopped in its receive).
    const bool idle = (beat & 1u) != 0 && client->Queue().GetCount() == 0;
    const DYRAccount_tag& account = client->GetAccount();
    seen.push_back(Seen_tag{client->GetIndex(), account.m_strHost, account.m_strUserName,
                            client->GetAppID(), beat, idle});
  }
  const int64_t now = ZEPMonoMs();
  const int64_t limit = m_nBusyLimitMs.load();
  bool answered = true;
  {
    ZEPLockGuard lock(m_WatchLock);
    std::map<uint32_t, Watch_tag> next;  // the accounts that run now
    for (const Seen_tag& s : seen) {
      auto old = m_Watch.find(s.m_nId);
      Watch_tag w;
      if (old != m_Watch.end()) w = old->second;
      if (old == m_Watch.end() || s.m_bIdle || s.m_nBeat != w.m_nBeat) {
        w.m_nBeat = s.m_nBeat;
        w.m_nSinceMs = now;
      }
      if (now - w.m_nSinceMs > limit) {
        answered = false;
        if (!w.m_bWarned) {
          w.m_bWarned = true;
          ZEP_LOG_LINE(LOG_WARN, "Watchdog: account " << s.m_nIndex << " (host " << s.m_strHost
                                                      << ", user " << s.m_strUser
                                                      << ") has not answered for "
                                                      << (now - w.m_nSinceMs) / 1000
                                                      << " s; no ping is sent until it does.");
        }
      } else if (w.m_bWarned) {
        w.m_bWarned = false;
        ZEP_LOG_LINE(LOG_INFO, "Watchdog: account " << s.m_nIndex << " (host " << s.m_strHost
                                                    << ", user " << s.m_strUser
                                                    << ") answers again.");
      }
      next.emplace(s.m_nId, w);
    }
    m_Watch.swap(next);
  }
  if (answered) Send(DYR_NOTIFY_WATCHDOG, sizeof DYR_NOTIFY_WATCHDOG - 1);
}

void CDYRServiceManager::Finish() {
  if (!m_bStarted) return;
  m_bStarted = false;
  // Returns once no node is inside OnNews any more.
  DyrUnlisten(this);
  m_StatusThread.Stop();
}

CDYRWatchdogNode::CDYRWatchdogNode(ZEPFrame* frame, CDYRServiceManager* manager,
                                   unsigned long periodMs)
    : CAppNode(frame), m_pManager(manager), m_nPeriodMs(periodMs) {}

void CDYRWatchdogNode::doRunNode() {
  const ZEPTimerHandle timer = Frame()->ArmTimer(this, m_nPeriodMs, -1);
  for (;;) {
    RecvEvent();
    CEvent* ev = Event().Get();
    if (CQuitEvent::Narrow(ev) != nullptr) break;
    if (timer.Matches(CTimerEvent::Narrow(ev))) m_pManager->OnWatchdogTick(Frame());
  }
}
