#include "link/zeplinkclient.h"

#include "frame/zepframe.h"
#include "link/zeplinkbase.h"
#include "log/zeplog.h"

ZEPLinkClient::ZEPLinkClient(ZEPFrame* frame, bool useSocketThread) : CmdTransfer(frame) {
  Init(false, frame, useSocketThread);
}

ZEPLinkClient::~ZEPLinkClient() {}

void ZEPLinkClient::Init(bool reset, ZEPFrame* frame, bool useSocketThread) {
  if (reset) CmdTransfer::Init(true, frame);
  m_nSeq.store(0);
  m_nSendHBSpan.store(30);
  m_nDieSpan.store(70);
  m_nReconnectSpan.store(10);
  m_bTryReconnect.store(true);
  m_strHost = "";
  m_strPort = "";
  m_bUseSocketThread.store(useSocketThread);
  ResetTimes();
}

void ZEPLinkClient::ResetTimes() {
  const int64_t now = ZEPLinkNowMs();
  m_nLastHBMs.store(now);
  m_nLastSendMs.store(now);
  m_nLastConnectMs.store(now);
  m_tLastHB.store(time(nullptr));
  m_tStart.store(time(nullptr));
}

void ZEPLinkClient::Fini(bool reset) { CmdTransfer::Fini(reset); }

void ZEPLinkClient::SetServerHostPort(const ZEPString& host, const ZEPString& port) {
  m_strHost = host;
  m_strPort = port;
}

void ZEPLinkClient::GetServerHostPort(ZEPString& host, ZEPString& port) const {
  host = m_strHost;
  port = m_strPort;
}

int ZEPLinkClient::SendCmd(unsigned long seq, unsigned short cmd, const char* data,
                           unsigned short length, int encoding) {
  // Read under the send mutex: Clear cannot let the socket go mid-send.
  return SendCmdOn(m_nClientSocket, seq, cmd, data, length, encoding);
}

int ZEPLinkClient::SendCmd(unsigned short cmd, const char* data, unsigned short length,
                           int encoding) {
  return SendCmd(m_nSeq.fetch_add(1), cmd, data, length, encoding);
}

void ZEPLinkClient::UpdateHBTime() {
  m_nLastHBMs.store(ZEPLinkNowMs());
  m_tLastHB.store(time(nullptr));
}

void ZEPLinkClient::Quit() { ZEPLinkQuit(this); }

void ZEPLinkClient::Clear() {
  // Taken under the send mutex, so a send on another thread is finished
  // before the frame closes the descriptor and may give its number away.
  const int sock = TakeSendSocket(m_nClientSocket);
  if (sock > 0 && Frame() != nullptr) Frame()->ClearNode(sock, true);
  m_nLastConnectMs.store(ZEPLinkNowMs());
}

void ZEPLinkClient::BreakLink() { Clear(); }

void ZEPLinkClient::Connect() {
  ZEPFrame* frame = Frame();
  const int sock = frame->CreateClient(m_strHost, m_strPort, ZEP_PROTO_TCP);
  if (sock < 0) {
    ZEP_LOG_LINE(LOG_ERRR, "Cannot connect to: " << m_strHost << ":" << m_strPort);
    ConnectFail();
    return;
  }
  ZEP_LOG_LINE(LOG_INFO, "Connected to: " << m_strHost << ":" << m_strPort);
  // A new connection starts with fresh compression contexts on both ends.
  InitZlibStream();
  InitGetCmd();
  m_nGeneration = frame->GetSocketGeneration(sock);
  m_nClientSocket.store(sock);
  if (frame->AddTCPEvent(this, sock, 0) != 0) {
    // Quitting: nobody would read the socket.
    TakeSendSocket(m_nClientSocket);
    frame->ClearNode(sock, true);
    ConnectFail();
    return;
  }
  ConnectOK();
}

void ZEPLinkClient::OnTick() {
  const int64_t now = ZEPLinkNowMs();
  if (now - m_nLastSendMs.load() >= m_nSendHBSpan.load() * 1000 && IsConnected()) {
    SendHB();
    m_nLastSendMs.store(now);
  }
  if (now - m_nLastHBMs.load() >= m_nDieSpan.load() * 1000 && IsConnected()) {
    ZEP_LOG_LINE(LOG_WARN, "No HB from server. Cleared!");
    Clear();
    NoHBDie();
  }
  if (now - m_nLastConnectMs.load() >= m_nReconnectSpan.load() * 1000 && !IsConnected() &&
      m_bTryReconnect.load()) {
    m_nLastConnectMs.store(now);
    m_nLastHBMs.store(now);
    m_nLastSendMs.store(now);
    Connect();
  }
}

void ZEPLinkClient::doRunNode() {
  ZEPFrame* frame = Frame();
  Connect();
  m_Ticker = frame->ArmTimer(this, 1000, -1);
  ResetTimes();
  BeginRun();
  for (;;) {
    RecvEvent();
    CEvent* e = Event().Get();
    CTCPEvent* ev = CTCPEvent::Narrow(e);
    switch (ZEPLinkClassify(e, m_Ticker)) {
      case kLinkQuit:
        GoingtoQuit();
        return;
      case kLinkTick:
        TimerInSec();
        OnTick();
        break;
      case kLinkData:
        OnData(ev);
        break;
      case kLinkClose:
        ZEP_LOG_LINE(LOG_INFO, "Disconnected by server.");
        if (!IsCurrentLink(ev)) {
          // A close of another socket, or of an earlier one that had this
          // number. The text names members of an earlier version of this
          // class and stays as log readers know it.
          ZEP_LOG_LINE(LOG_WARN, "m_ptrTCP->GetSocket() != m_nClientSocket");
          break;
        }
        Clear();
        DisconnBySVR();
        break;
      case kLinkOther:
        OtherEvent(e);
        break;
      case kLinkIgnore:
        break;
    }
  }
}

bool ZEPLinkClient::IsCurrentLink(const CTCPEvent* ev) const {
  // The descriptor number alone does not tell: a link cleared and connected
  // again may well get the same number back.
  const int sock = m_nClientSocket.load();
  return sock > 0 && ev->GetSocket() == sock &&
         (ev->GetGeneration() == 0 || ev->GetGeneration() == m_nGeneration);
}

void ZEPLinkClient::OnData(CTCPEvent* ev) {
  // Bytes of a link already cleared must not reach the fresh decoder.
  if (!IsCurrentLink(ev)) return;
  if (GeneralCmd_* cmd = GetCmd(ev)) {
    ProcessCmd(cmd);
  } else if (IsRecvBroken()) {
    ZEP_LOG_LINE(LOG_WARN, "Bad cmd stream from server. Cleared!");
    Clear();
    DisconnBySVR();
  }
}

void ZEPLinkClient::GetStatus(ZEPString& out) {
  ZEPLinkStatusHead(out, m_tStart.load(), m_tLastHB.load());
  out << "Server host............: " << m_strHost << ":" << m_strPort << "\r\n"
      << "Server socket..........: " << m_nClientSocket.load() << "\r\n"
      << "\r\n";
}
