#include "app/account/clientnode.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/account/accountview.h"
#include "app/proto/texts.h"
#include "base/lockguard.h"
#include "base/zepsmallfile.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"
#include "log/zeplogsafe.h"

Mutex g_IDFileMutex;

namespace {
// The datagram lines folded into episodes; the kind is the episodes' key.
enum LogFlood_ { kFloodSocketClose = 0, kFloodInvalidReply = 1, kFloodRefusal = 2 };
// What each kind is called in its count line, and the level of both lines.
struct LogFlood_tag {
  const char* m_pszName;
  LOG_TYPE_ m_nLevel;
};
const LogFlood_tag kLogFloods[] = {
    {"socket close events", LOG_INFO},
    {"invalid login replies", LOG_MESG},
    {"login refusals", LOG_MESG},
};

// Whether the last write of the id file failed (g_IDFileMutex): a file that
// stays unwritable is reported once, not at every login of every account.
bool g_bIDFileFailed GUARDED_BY(g_IDFileMutex) = false;
// Whether the last read found something else than a file at the id file's
// name (g_IDFileMutex): told once, not by every account.
bool g_bIDFileRefused GUARDED_BY(g_IDFileMutex) = false;
// An id is a few digits; it goes into one datagram.
const size_t kIDFileLimit = 4096;
}  // namespace

CDYRClient::CDYRClient(ZEPFrame* frame, unsigned long loginRetryMs, int logQuietSec)
    : CAppNode(frame),
      m_nLoginRetryMs(loginRetryMs != 0 ? loginRetryMs : DYR_LOGIN_TIMEOUT_MS),
      m_LogFloods(logQuietSec) {}

void CDYRClient::SetIDFile(const std::string& path) {
  m_strIDFile = path;
  bool warn = false;
  {
    ZEPLockGuard lock(g_IDFileMutex);
    // Only the file the daemon wrote: a link planted there would have us
    // send another file's bytes to the server as our id, and a FIFO would
    // hold the start.
    std::string text;
    const int rc = ZEPLoadSmallFile(m_strIDFile.c_str(), false, kIDFileLimit, text);
    if (rc == 0 && !text.empty()) {
      m_strClientID = ZEPString::FromBytes(text.data(), static_cast<uint32_t>(text.size()));
    } else {
      m_strClientID = static_cast<const char*>(nullptr);
    }
    warn = rc == -2 && !g_bIDFileRefused;
    g_bIDFileRefused = rc == -2;
  }
  // The log lock is never taken under g_IDFileMutex.
  if (warn) {
    ZEP_LOG_LINE(LOG_WARN, m_strIDFile.c_str() << " is " ZEP_NOT_REGULAR
                                               << ": no client id is read from it; the next one "
                                                  "the server gives replaces it.");
  }
}

CDYRClient::~CDYRClient() = default;

void CDYRClient::DestroyMe() { delete this; }

void CDYRClient::AddDomain(ZEPString domain, ZEPString offline) {
  m_Account.m_Domains.push_back(DomainNode{domain, offline});
}

int CDYRClient::MakeLoginMsg(ZEPString& msg) {
  return ::MakeLoginMsg(m_Account, m_strClientID, msg);
}

void CDYRClient::CloseLink(int& socket) {
  if (socket > 0) Frame()->DelTCPEvent(this, socket, true);
  socket = -1;
}

int CDYRClient::OpenLink(const ZEPString& port) {
  int socket = Frame()->CreateClient(m_strServerIP, port, ZEP_PROTO_UDP);
  if (socket <= 0) {
    ZEP_LOG_LINE(LOG_MESG, DYR_MSG_NO_CONNECT << m_strServerIP << ":" << port);
    return socket;
  }
  ZEP_LOG_LINE(LOG_INFO, DYR_MSG_CONNECTED << m_strServerIP << ":" << port);
  Frame()->AddTCPEvent(this, socket, 0);
  return socket;
}

void CDYRClient::DoLogin() {
  // Every attempt is given up and started again when this timer fires,
  // whatever went wrong below. A login started early (an address change, a
  // relogin) drops the pending one, which would only tick for nothing.
  Frame()->DisarmTimer(m_LoginTimer);
  m_LoginTimer = Frame()->ArmTimer(this, m_nLoginRetryMs, 1);
  CloseLink(m_nMainSocket);
  CloseLink(m_nAsstSocket);

  if (Frame()->HostToIP(m_Account.m_strHost, m_strServerIP) != 0) {
    ZEP_LOG_LINE(LOG_MESG, DYR_MSG_NO_HOST_IP << m_Account.m_strHost);
    return;
  }
  m_nMainSocket = OpenLink(m_Account.m_strMainPort);
  if (m_nMainSocket <= 0) return;
  m_nAsstSocket = OpenLink(m_Account.m_strAsstPort);
  if (m_nAsstSocket <= 0) return;

  ZEPString msg;
  MakeLoginMsg(msg);
  Frame()->SendData(m_nMainSocket, msg.GetSafeText(), static_cast<int>(msg.GetLength()));
}

DYRStatus_tag CDYRClient::CurrentStatus() const {
  DYRStatus_tag st;
  st.m_nState = m_nState;
  st.m_strEgress = m_strEgress;
  st.m_strClientID = m_strClientID;
  st.m_nLoginReplySec = m_nLoginReplySec;
  st.m_nReportSec = m_nReportSec;
  return st;
}

void CDYRClient::PublishStatus() {
  const DYRStatus_tag now = CurrentStatus();
  {
    ZEPLockGuard lock(m_StatusLock);
    if (m_bPublished && now == m_Status) return;
    m_Status = now;
    m_bPublished = true;
  }
  // Told with no lock of ours held (listeners take their own).
  Tell(DYRNews_tag::kStatus);
}

void CDYRClient::Tell(int kind, const char* reason, const ZEPString* message) {
  DYRNews_tag news;
  news.m_nKind = static_cast<DYRNews_tag::Kind>(kind);
  news.m_nNode = GetAppID();
  news.m_nAccount = GetIndex();
  news.m_strHost = m_Account.m_strHost;
  news.m_strUser = m_Account.m_strUserName;
  news.m_Status = CurrentStatus();
  if (reason != nullptr) news.m_pReason = reason;
  if (message != nullptr) news.m_strMessage = *message;
  DyrTell(news);
}

DYRStatus_tag CDYRClient::GetStatus() {
  ZEPLockGuard lock(m_StatusLock);
  return m_Status;
}

ZEPString CDYRClient::StatusLine() {
  // Host and user never change once the node runs.
  const std::string line =
      AccountStatusLine(GetIndex(), m_Account, GetStatus(), ZEPMonoSec(), kAccountLineReport);
  return ZEPString::FromBytes(line.data(), static_cast<uint32_t>(line.size()));
}

void DyrReportAccounts(ZEPFrame* frame, ZEPString& text) {
  for (SmartPtr<CDYRClient>& c : AccountList(frame, 0, false)) text << "\r\n" << c->StatusLine();
}

int CDYRClient::DoReportIP() {
  ZEP_LOG_LINE(LOG_MESG, DYR_MSG_REPORTING);
  CloseLink(m_nAsstSocket);
  // The server takes the client's address from the source of this datagram,
  // so every report comes from a fresh socket.
  m_nAsstSocket = OpenLink(m_Account.m_strAsstPort);
  if (m_nAsstSocket < 1) return 0;
  if (m_strClientID.IsEmpty()) return 0;
  int rc = Frame()->SendData(m_nAsstSocket, m_strClientID.GetText(),
                             static_cast<int>(m_strClientID.GetLength()));
  if (rc == 0) m_nReportSec = ZEPMonoSec();
  return rc;
}

void CDYRClient::ClearReportTimer() { Frame()->DisarmTimer(m_ReportTimer); }

void CDYRClient::DoReLogin() { ReLogin(kReasonServer); }

void CDYRClient::ReLogin(const char* reason) {
  Tell(DYRNews_tag::kRelogin, reason);
  m_nState = kLoggingIn;
  ClearReportTimer();
  ZEP_LOG_LINE(LOG_MESG, DYR_MSG_RELOGIN);
  DoLogin();
}

void CDYRClient::ReqOffline() {
  if (m_nMainSocket <= 0) return;
  ZEPString msg;
  MakeOfflineMsg(m_strClientID, msg);
  Frame()->SendData(m_nMainSocket, msg.GetSafeText(), static_cast<int>(msg.GetLength()));
}

void CDYRClient::SaveClientId(const ZEPString& id) {
  bool warn = false;
  int error = 0;
  {
    ZEPLockGuard lock(g_IDFileMutex);
    if (!(id == m_strClientID)) {
      m_strClientID = id;
      // A failed write costs only the id of the next run: the account goes on.
      if (!m_strIDFile.empty() &&
          ZEPSavePrivateFile(m_strIDFile.c_str(), m_strClientID.GetSafeText(),
                             m_strClientID.GetLength()) != 0) {
        error = errno;
        warn = !g_bIDFileFailed;
        g_bIDFileFailed = true;
      } else {
        g_bIDFileFailed = false;
      }
    }
  }
  // The log lock is never taken under g_IDFileMutex.
  if (warn)
    ZEP_LOG_LINE(LOG_WARN, DYR_MSG_ID_NOT_SAVED << m_strIDFile.c_str() << ": " << strerror(error));
}

void CDYRClient::OnLoginReply(const DYRLoginReply_tag& reply) {
  const int verdict = reply.m_Kind;
  // The server answered, whatever it said.
  if (verdict != DYR_REPLY_IGNORED) m_nLoginReplySec = ZEPMonoSec();
  switch (verdict) {
    case DYR_REPLY_IGNORED:
      return;
    case DYR_REPLY_INVALID:
      if (LogFirstOf(kFloodInvalidReply)) ZEP_LOG_LINE(LOG_MESG, DYR_MSG_LOGIN_INVALID);
      return;
    case DYR_REPLY_REFUSED:
      if (!LogFirstOf(kFloodRefusal)) return;
      ZEP_LOG_LINE(LOG_MESG, DYR_MSG_LOGIN_FAILED << ZEPLogSafeText(reply.m_strMsg));
      Tell(DYRNews_tag::kRefused, nullptr, &reply.m_strMsg);
      return;
    case DYR_REPLY_ACCEPTED:
      break;
  }
  m_strEgress = reply.m_strExitDYR;
  // An accepted reply the client cannot use is an invalid one: its lines,
  // the version notice included, are folded like the others'.
  const bool usable = IsUsableLogin(reply);
  const bool logged = usable || LogFirstOf(kFloodInvalidReply);
  if (logged && !reply.m_strVersion.IsEmpty()) {
    ZEP_LOG_LINE(LOG_MESG, DYR_MSG_NEW_VERSION << ZEPLogSafeText(reply.m_strVersion) << " "
                                               << DYR_MSG_DOWNLOAD_AT
                                               << ZEPLogSafeText(reply.m_strDownLoadURL));
  }
  int32_t span = ReadReportSpan(reply.m_strReportIPSpan);
  if (span > 0) m_nReportSpan = span;
  if (!usable) {
    if (logged) ZEP_LOG_LINE(LOG_MESG, DYR_MSG_LOGIN_INVALID);
    return;
  }
  SaveClientId(reply.m_strK);
  ZEP_LOG_LINE(LOG_MESG, DYR_MSG_LOGIN_OK << DYR_MSG_EGRESS_IS << ZEPLogSafeText(m_strEgress));

  m_bEgressIsLocal = Frame()->IsMyIP(m_strEgress, DYR_MYIP_TEST_PORT);
  if (!m_bEgressIsLocal || reply.m_strHasTop == "Y") {
    m_nState = kReporting;
    m_ReportTimer = Frame()->ArmTimer(this, static_cast<unsigned long>(m_nReportSpan), -1);
  } else {
    m_nState = kWatching;
    m_ReportTimer = Frame()->ArmTimer(this, DYR_WATCH_PERIOD_MS, -1);
  }
  ZEP_LOG_LINE(LOG_INFO, ZEPLogSafeText(m_strEgress)
                             << " " << ZEPLogSafeText(reply.m_strHasTop) << " " << m_nState);
  Tell(DYRNews_tag::kLogin, nullptr, &reply.m_strMsg);
}

bool CDYRClient::LogFirstOf(int kind) {
  // An episode that went quiet is told before a new one opens.
  CloseLogFloods(false);
  if (!m_LogFloods.OnPause(kind, 0, ZEPMonoSec(), 0)) return false;
  if (!m_FloodTimer.IsSet()) m_FloodTimer = Frame()->ArmTimer(this, 1000, -1);
  return true;
}

void CDYRClient::CloseLogFloods(bool all) {
  if (m_LogFloods.OpenCount() == 0) return;
  std::vector<ZEPFloodEpisodes::Episode> over;
  m_LogFloods.Close(ZEPMonoSec(), all, &over);
  for (const ZEPFloodEpisodes::Episode& ep : over) {
    // A lone line was told in full.
    if (ep.m_nPauses < 2) continue;
    const LogFlood_tag& name = kLogFloods[ep.m_nSocket];
    ZEPString why;
    if (all)
      why << "account stopping";
    else
      why << "quiet for " << static_cast<long long>(m_LogFloods.GetQuietSec()) << " s";
    ZEP_LOG_LINE(name.m_nLevel,
                 "Flood of " << name.m_pszName << " over (" << why
                             << "): " << static_cast<unsigned long long>(ep.m_nPauses) << " in "
                             << static_cast<long long>(ep.m_nLastSec - ep.m_nFirstSec) << " s");
  }
  if (m_LogFloods.OpenCount() == 0) Frame()->DisarmTimer(m_FloodTimer);
}

void CDYRClient::CheckEgress() {
  if (!Frame()->IsMyIP(m_strEgress, DYR_MYIP_TEST_PORT)) ReLogin(kReasonAddress);
}

void CDYRClient::ReportOrReLogin() {
  if (m_bEgressIsLocal && !Frame()->IsMyIP(m_strEgress, DYR_MYIP_TEST_PORT)) {
    ReLogin(kReasonAddress);
  } else {
    DoReportIP();
  }
}

void CDYRClient::OnTimer(CTimerEvent* timer) {
  if (m_FloodTimer.Matches(timer)) {
    CloseLogFloods(false);
    return;
  }
  if (m_GateTimer.Matches(timer)) {
    m_GateTimer.Clear();
    if (m_ActGate.Fire(ZEPMonoMs())) Act(kReasonAddress);
    return;
  }
  switch (m_nState) {
    case kLoggingIn:
      if (m_LoginTimer.Matches(timer)) {
        ZEP_LOG_LINE(LOG_MESG, DYR_MSG_LOGIN_TIMEOUT);
        DoLogin();
      }
      break;
    case kWatching:
      if (m_ReportTimer.Matches(timer)) CheckEgress();
      break;
    case kReporting:
      if (m_ReportTimer.Matches(timer)) ReportOrReLogin();
      break;
    default:
      break;
  }
}

void CDYRClient::ActNow() { Act(kReasonSignal); }

void CDYRClient::OnAddressChange() {
  const int64_t now = ZEPMonoMs();
  switch (m_ActGate.Request(now)) {
    case CDYRActGate::kActNow:
      Act(kReasonAddress);
      break;
    case CDYRActGate::kDeferred:
      m_GateTimer = Frame()->ArmTimer(this, static_cast<unsigned long>(m_ActGate.DueInMs(now)), 1);
      // Without a timer (the node is quitting) the change is not put off.
      if (!m_GateTimer.IsSet() && m_ActGate.Fire(now)) Act(kReasonAddress);
      break;
    case CDYRActGate::kFolded:
      break;
  }
}

void CDYRClient::Act(const char* reason) {
  switch (m_nState) {
    case kLoggingIn:
      // DoLogin drops the pending login timer and arms a new one.
      Tell(DYRNews_tag::kRelogin, reason);
      DoLogin();
      break;
    case kWatching:
      CheckEgress();
      break;
    case kReporting:
      ReportOrReLogin();
      break;
    default:
      break;
  }
}

void CDYRClient::OnSocketData(CTCPEvent* ev) {
  if (!ev->IsTcpData()) return;
  const ZEPReceived_tag got = ev->Received();
  const int socket = ev->GetSocket();
  const int link = socket == m_nMainSocket   ? DYR_LINK_MAIN
                   : socket == m_nAsstSocket ? DYR_LINK_ASST
                                             : DYR_LINK_OTHER;
  DYRLoginReply_tag reply;
  switch (ReadClientDatagram(m_nState == kLoggingIn, m_nState == kReporting, link, got.m_pData,
                             static_cast<int>(got.m_nSize), reply)) {
    case DYR_DATAGRAM_LOGIN_REPLY:
      OnLoginReply(reply);
      break;
    case DYR_DATAGRAM_RELOGIN:
      ReLogin(kReasonServer);
      break;
    default:
      break;
  }
}

void CDYRClient::doRunNode() {
  m_nState = kLoggingIn;
  DoLogin();
  for (;;) {
    PublishStatus();
    RecvEvent();
    CEvent* ev = Event().Get();
    if (CQuitEvent::Narrow(ev) != nullptr) break;
    CTCPEvent* tcp = CTCPEvent::Narrow(ev);
    if (tcp != nullptr && tcp->IsTcpClose()) {
      // An unreachable server port shows up as a receive error; the link
      // stays and is replaced at the next login or report.
      if (LogFirstOf(kFloodSocketClose)) ZEP_LOG_LINE(LOG_INFO, DYR_MSG_SOCKET_CLOSED);
      Frame()->SetPaused(tcp->GetSocket(), false);
      continue;
    }
    CUserEvent* user = CUserEvent::Narrow(ev);
    if (tcp != nullptr) {
      OnSocketData(tcp);
    } else if (user != nullptr) {
      if (user->GetTag() == DYR_USER_ACT_NOW) ActNow();
      if (user->GetTag() == DYR_USER_RELOGIN) ReLogin(kReasonConsole);
      if (user->GetTag() == DYR_USER_ADDRESS_CHANGED) OnAddressChange();
    } else {
      OnTimer(CTimerEvent::Narrow(ev));
    }
  }
  CloseLogFloods(true);
  ReqOffline();
  m_bEnded.store(true);
  Tell(DYRNews_tag::kEnded);
}
