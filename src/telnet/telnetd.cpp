#include "telnet/telnetd.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/lockguard.h"
#include "base/zepcharset.h"
#include "base/zepconst.h"
#include "frame/zepframe.h"
#include "log/tnlog.h"
#include "log/zeplog.h"

std::atomic<TelnetDecryptFn> g_pTelnetDecrypt{nullptr};

namespace {

const char kPasswordPrompt[] = "Password:";

}  // namespace

int TelnetLogSend(ZEPFrame* /*frame*/, int sock, const char* line) {
  if (sock <= 0 || line == nullptr) return -1;
  const size_t len = std::strlen(line);
  ssize_t n;
  do {
    n = send(sock, line, len, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(len) ? 0 : -1;
}

// ------------------------------------------------------------- listener

CTelnetdNode::CTelnetdNode(ZEPFrame* frame, const TelnetLimits_tag& limits)
    : CAppNode(frame),
      m_strHost(""),
      m_strPort(""),
      m_strPrompt("ADMIN>"),
      m_strPasswd("407132"),
      m_Limits(limits),
      m_Refusals(limits.m_nRefusedQuietSec) {}

CTelnetdNode::~CTelnetdNode() {}

void CTelnetdNode::SetHostPort(const ZEPString& host, const ZEPString& port) {
  m_strHost = host;
  m_strPort = port;
}

void CTelnetdNode::SetPrompt(const ZEPString& prompt) {
  ZEPLockGuard lock(m_SettingsLock);
  m_strPrompt = prompt;
}

ZEPString CTelnetdNode::GetPrompt() {
  ZEPLockGuard lock(m_SettingsLock);
  return m_strPrompt;
}

int CTelnetdNode::SetPasswd(const ZEPString& scrambled) {
  TelnetDecryptFn decrypt = g_pTelnetDecrypt.load();
  if (decrypt == nullptr) return -1;
  ZEPString plain;
  decrypt(scrambled.GetSafeText(), plain);
  SetPlainPasswd(plain);
  return 0;
}

void CTelnetdNode::SetPlainPasswd(const ZEPString& password) {
  ZEPLockGuard lock(m_SettingsLock);
  m_strPasswd = password;
}

ZEPString CTelnetdNode::GetPasswd() {
  ZEPLockGuard lock(m_SettingsLock);
  return m_strPasswd;
}

bool CTelnetdNode::IsPasswd(const ZEPString& typed) {
  const ZEPString want = GetPasswd();
  const uint32_t n = want.GetLength();
  if (n == 0) return false;
  const uint32_t m = typed.GetLength();
  const char* a = want.GetSafeText();
  const char* b = typed.GetSafeText();
  // Every byte of the password is looked at, whatever was typed.
  unsigned diff = n ^ m;
  for (uint32_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < m ? b[i] : 0));
  return diff == 0;
}

int CTelnetdNode::Listen() {
  ZEPFrame* frame = Frame();
  for (int tries = 1;; ++tries) {
    const int sock = frame->CreateServer(m_strHost, m_strPort, ZEP_PROTO_TCP);
    if (sock >= 0) return sock;
    if (tries >= m_Limits.m_nListenTries) break;
    ZEPTimerHandle wait = frame->ArmTimer(this, 500, 1);
    if (!wait.IsSet()) break;  // quitting
    for (;;) {
      RecvEvent();
      CEvent* e = Event().Get();
      if (CQuitEvent::Narrow(e) != nullptr) {
        // The wait may have fired as the quit came: by its serial, an ended
        // timer is left alone (and so is a timer now using its record).
        frame->DisarmTimer(wait);
        return -1;
      }
      if (wait.Matches(CTimerEvent::Narrow(e))) break;
    }
  }
  ZEP_LOG_LINE(LOG_ERRR, "Listen on " << m_strHost << ":" << m_strPort << " fail.");
  return -1;
}

void CTelnetdNode::doRunNode() {
  ZEPFrame* frame = Frame();
  const int sock = Listen();
  if (sock < 0) {
    m_nListenState.store(-1);
    return;
  }
  SetSocket(sock);
  frame->SetSocketPriority(sock, 1);
  if (frame->AddTCPEvent(this, sock, 0) != 0) {
    // Told to quit before it began: nothing will accept on it.
    frame->ClearNode(sock, true);
    m_nListenState.store(-1);
    return;
  }
  m_nListenPort.store(frame->GetLocalPort(sock));
  m_nListenState.store(1);
  ZEP_LOG_LINE(LOG_INFO, "Console listening on " << m_strHost << ":" << frame->GetLocalPort(sock));
  for (;;) {
    RecvEvent();
    CEvent* e = Event().Get();
    if (CQuitEvent::Narrow(e) != nullptr) break;
    if (CTimerEvent* t = CTimerEvent::Narrow(e)) {
      if (m_RefusalTicker.Matches(t)) CloseRefusals(false);
      continue;
    }
    CTCPEvent* ev = CTCPEvent::Narrow(e);
    if (ev != nullptr && ev->GetSocket() == sock) Serve(ev);
  }
  CloseRefusals(true);
  m_nListenState.store(0);
}

void CTelnetdNode::Refuse(int child) {
  ZEPFrame* frame = Frame();
  ZEPString text;
  text << "too many console sessions (" << m_Limits.m_nMaxSessions << "), try again later\r\n";
  // A fresh connection's send buffer takes the line at once; whether the
  // client reads it is its own affair.
  frame->SendData(child, text.GetSafeText(), static_cast<int>(text.GetLength()));
  ZEPString peer;
  peer << frame->GetPeerIP(child) << ":" << frame->GetPeerPort(child);
  frame->ClearNode(child, true);
  const int64_t now = ZEPMonoSec();
  // A flood that went quiet is summed up before a new one opens.
  CloseRefusals(false);
  if (!m_Refusals.OnPause(0, 0, now, 0)) return;
  ZEP_LOG_LINE(LOG_WARN, "Console " << peer << ": too many console sessions ("
                                    << m_Limits.m_nMaxSessions << "), connection refused.");
  if (!m_RefusalTicker.IsSet()) m_RefusalTicker = frame->ArmTimer(this, 1000, -1);
}

void CTelnetdNode::CloseRefusals(bool all) {
  std::vector<ZEPFloodEpisodes::Episode> over;
  m_Refusals.Close(ZEPMonoSec(), all, &over);
  for (const ZEPFloodEpisodes::Episode& ep : over) {
    // A lone refusal was told in full by its own line.
    if (ep.m_nPauses < 2) continue;
    ZEPString why;
    if (all)
      why << "listener stopped";
    else
      why << "none for " << static_cast<long long>(m_Refusals.GetQuietSec()) << " s";
    ZEP_LOG_LINE(LOG_WARN, "Console: " << static_cast<unsigned long long>(ep.m_nPauses)
                                       << " connections refused (too many console sessions) in "
                                       << static_cast<long long>(ep.m_nLastSec - ep.m_nFirstSec)
                                       << " s; " << why << ".");
  }
  if (m_Refusals.OpenCount() == 0 && m_RefusalTicker.IsSet()) Frame()->DisarmTimer(m_RefusalTicker);
}

void CTelnetdNode::Serve(CTCPEvent* ev) {
  // A listening socket reports new connections only; anything else (an
  // error on the socket) is no connection and is passed over.
  if (!ev->IsTcpNew() || ev->GetRecvSize() != static_cast<int>(sizeof(int))) {
    ZEP_LOG_LINE(LOG_WARN, "Console listener: event " << ev->GetRC() << " ignored.");
    return;
  }
  int child = -1;
  std::memcpy(&child, ev->GetBuffer(), sizeof(int));
  ZEPFrame* frame = Frame();
  // Only this thread adds sessions, so the count cannot pass the cap between
  // this test and the new node; a session ending meanwhile only frees a place.
  if (m_nSessions.load() >= m_Limits.m_nMaxSessions) {
    Refuse(child);
    return;
  }
  CTelnetClientNode* node = NewClientNode();
  if (node == nullptr) {
    frame->ClearNode(child, true);
    return;
  }
  node->SetSocket(child);
  if (frame->AddNode(node, true) != 0) {
    // Shutting down: the connection is closed unserved.
    node->DestroyMe();
    frame->ClearNode(child, true);
    return;
  }
  // A node that already quit took no socket along: close it here.
  if (frame->AddTCPEvent(node, child, 0) != 0) frame->ClearNode(child, true);
}

// -------------------------------------------------------- console node

CTelnetClientNode::CTelnetClientNode(ZEPFrame* frame, CTelnetdNode* owner)
    : CAppNode(frame),
      m_nConnectMs(ZEPMonoMs()),
      m_Owner(owner),
      m_Input(owner->GetLimits().m_nMaxLine),
      m_eCharset(owner->GetCharset()) {
  owner->m_nClients.fetch_add(1);
  owner->m_nSessions.fetch_add(1);
}

CTelnetClientNode::~CTelnetClientNode() {
  LeaveSession();
  m_Owner->m_nClients.fetch_sub(1);
}

void CTelnetClientNode::LeaveSession() {
  if (!m_bInSession) return;
  m_bInSession = false;
  m_Owner->m_nSessions.fetch_sub(1);
}

int CTelnetClientNode::SendRaw(const char* data, size_t len) {
  if (m_bSendFailed) return -1;
  if (len == 0 || data == nullptr) return 0;
  if (Frame()->SendData(GetSocket(), data, static_cast<int>(len)) != 0) {
    m_bSendFailed = true;
    return -1;
  }
  return 0;
}

int CTelnetClientNode::Send(const char* data, size_t len) {
  if (m_eCharset != kZEPCharsetUtf8) return SendRaw(data, len);
  m_strWire.clear();
  // Without a converter in the C library the text goes out as it is.
  if (ZEPGbToUtf8(data, len, m_strWire) != 0) return SendRaw(data, len);
  return SendRaw(m_strWire.data(), m_strWire.size());
}

int CTelnetClientNode::Send(const ZEPString& text) {
  return Send(text.GetSafeText(), text.GetLength());
}

int CTelnetClientNode::SetLogCopy(bool on) {
  // Under the log lock: once a socket is off, no line is still being sent
  // to it (PostProcess runs under this lock too).
  ZEPLockGuard lock(g_LogMutex);
  ZEPTNLog* log = dynamic_cast<ZEPTNLog*>(zeplog);
  if (log == nullptr) return -1;
  if (on) return log->AddSocket(GetSocket(), m_eCharset == kZEPCharsetUtf8);
  log->RemoveSocket(GetSocket());
  return 0;
}

bool CTelnetClientNode::IsLogCopy() {
  ZEPLockGuard lock(g_LogMutex);
  ZEPTNLog* log = dynamic_cast<ZEPTNLog*>(zeplog);
  return log != nullptr && log->HasSocket(GetSocket());
}

void CTelnetClientNode::TakeInput(CTCPEvent* ev) {
  const ZEPReceived_tag in = ev->Received();
  m_pIn = in.m_pData;
  m_nIn = in.m_nSize;
}

void CTelnetClientNode::Advance(size_t used) {
  m_pIn += used;
  m_nIn -= used;
}

int CTelnetClientNode::AcceptPasswd() {
  size_t used = 0;
  ZEPString answers;  // to option requests only: the password is not echoed
  const CTelnetInput::Result r = m_Input.Feed(m_pIn, m_nIn, used, answers);
  Advance(used);
  if (SendRaw(answers.GetSafeText(), answers.GetLength()) != 0) return -1;
  if (r == CTelnetInput::kNeedMore) return 0;
  if (r == CTelnetInput::kTooLong) return -1;
  return m_Owner->IsPasswd(m_Input.GetLine()) ? 1 : -1;
}

int CTelnetClientNode::ProcessTelnetCmd() {
  while (!m_bQuit) {
    size_t used = 0;
    ZEPString echo;
    const CTelnetInput::Result r = m_Input.Feed(m_pIn, m_nIn, used, echo);
    Advance(used);
    if (SendRaw(echo.GetSafeText(), echo.GetLength()) != 0) return -1;
    if (r == CTelnetInput::kNeedMore) return 0;
    if (r == CTelnetInput::kTooLong) {
      ZEPString why;
      why << "line too long: more than " << static_cast<unsigned long>(m_Input.GetMaxLine())
          << " bytes\r\n";
      Send(why);
    } else {
      ExecuteCmd(m_Input.GetLine());
    }
    if (m_bSendFailed) return -1;
    if (m_bQuit) return 0;
    if (Send(m_Owner->GetPrompt()) != 0) return -1;
  }
  return 0;
}

bool CTelnetClientNode::OnTick() {
  // The listener is gone (stopped, or restarted with new settings): its
  // sessions end with it.
  if (m_Owner->IsQuiting() || m_Owner->GetListenState() != 1) return true;
  ++m_nIdleSeconds;
  const TelnetLimits_tag& limits = m_Owner->GetLimits();
  if (!m_bLoggedIn.load() && ZEPMonoMs() - m_nConnectMs >= limits.m_nLoginMaxSec * 1000LL) {
    ZEP_LOG_LINE(LOG_WARN, "Console " << m_strPeer << ": not logged in within "
                                      << limits.m_nLoginMaxSec << " s, connection closed.");
    return true;
  }
  const int limit = m_bLoggedIn.load() ? limits.m_nIdleSec : limits.m_nLoginIdleSec;
  if (m_nIdleSeconds > limit) {
    ZEP_LOG_LINE(LOG_INFO, "Console " << m_strPeer << ": idle for more than " << limit
                                      << " s, connection closed.");
    return true;
  }
  return false;
}

void CTelnetClientNode::doRunNode() {
  ZEPFrame* frame = Frame();
  const int sock = GetSocket();
  m_strPeer = "";
  m_strPeer << frame->GetPeerIP(sock) << ":" << frame->GetPeerPort(sock);
  m_Ticker = frame->ArmTimer(this, 1000, -1);
  // The offer first, so that a telnet client leaves line mode before the
  // password is typed.
  ZEPString hello;
  CTelnetOptions::AppendOffer(hello);
  hello << kPasswordPrompt;
  if (SendRaw(hello.GetSafeText(), hello.GetLength()) != 0) m_bQuit = true;
  while (!m_bQuit) {
    RecvEvent();
    CEvent* e = Event().Get();
    if (CQuitEvent::Narrow(e) != nullptr) break;
    if (CTimerEvent* t = CTimerEvent::Narrow(e)) {
      // A late tick of an ended timer whose record this one reuses would
      // count an idle second too many.
      if (m_Ticker.Matches(t) && OnTick()) break;
      continue;
    }
    CTCPEvent* ev = CTCPEvent::Narrow(e);
    if (ev == nullptr || ev->GetSocket() != sock) continue;
    if (ev->IsTcpClose()) break;
    if (!ev->IsTcpData()) continue;
    TakeInput(ev);
    if (!m_bLoggedIn.load()) {
      // Only typing holds the prompt open: NUL bytes or telnet commands do not.
      const uint64_t edits = m_Input.GetEdits();
      const int rc = AcceptPasswd();
      if (m_Input.GetEdits() != edits) m_nIdleSeconds = 0;
      if (rc == 0) continue;
      if (rc < 0) {
        if (!m_bSendFailed)
          ZEP_LOG_LINE(LOG_WARN, "Console " << m_strPeer << ": wrong password, connection closed.");
        break;
      }
      m_bLoggedIn.store(true);
      m_Input.SetEcho(true);
      ZEP_LOG_LINE(LOG_INFO, "Console " << m_strPeer << ": logged in.");
      OnLogin();
      if (Send("\r\n", 2) != 0 || Send(m_Owner->GetPrompt()) != 0) break;
    }
    // Once logged in, any byte is activity. The bytes after the password's
    // line end are the first commands.
    m_nIdleSeconds = 0;
    if (ProcessTelnetCmd() != 0) m_bQuit = true;
  }
  // The place is free before the frame closes the connection: a client that
  // saw its session end may connect again at once.
  LeaveSession();
  // The descriptor is closed once this node has quit: no log line may be
  // sent to it after that, nor to whatever later gets its number.
  SetLogCopy(false);
}
