#include "link/zeplinkserver.h"

#include "frame/zepframe.h"
#include "link/zeplinkbase.h"
#include "log/zeplog.h"

ZEPLinkSvrChild::ZEPLinkSvrChild(ZEPFrame* frame, int childSocket, bool useSocketThread)
    : CmdTransfer(frame) {
  Init(false, frame, childSocket, useSocketThread);
}

ZEPLinkSvrChild::~ZEPLinkSvrChild() {}

void ZEPLinkSvrChild::Init(bool reset, ZEPFrame* frame, int childSocket, bool useSocketThread) {
  if (reset) CmdTransfer::Init(true, frame);
  m_nSeq.store(0);
  m_nChildSocket = childSocket;
  m_nSendHBSpan.store(30);
  m_nDieSpan.store(70);
  m_bUseSocketThread.store(useSocketThread);
  m_bQuitSent.store(false);
  const int64_t now = ZEPLinkNowMs();
  m_nLastHBMs.store(now);
  m_nLastSendMs.store(now);
  m_tLastHB.store(time(nullptr));
  m_tConnect.store(time(nullptr));
}

void ZEPLinkSvrChild::Fini(bool reset) { CmdTransfer::Fini(reset); }

int ZEPLinkSvrChild::SendCmd(unsigned long seq, unsigned short cmd, const char* data,
                             unsigned short length, int encoding) {
  // Read under the send mutex: the child lets its socket go there when its
  // loop ends, before the frame closes it.
  const int rc = SendCmdOn(m_nChildSocket, seq, cmd, data, length, encoding);
  if (rc != 0) Quit();
  return rc;
}

int ZEPLinkSvrChild::SendCmd(unsigned short cmd, const char* data, unsigned short length,
                             int encoding) {
  return SendCmd(m_nSeq.fetch_add(1), cmd, data, length, encoding);
}

void ZEPLinkSvrChild::UpdateHBTime() {
  m_nLastHBMs.store(ZEPLinkNowMs());
  m_tLastHB.store(time(nullptr));
}

void ZEPLinkSvrChild::Quit() {
  // One quit event is enough, however many sends fail meanwhile.
  if (m_bQuitSent.exchange(true)) return;
  ZEPLinkQuit(this);
}

bool ZEPLinkSvrChild::OnTick() {
  const int64_t now = ZEPLinkNowMs();
  if (now - m_nLastSendMs.load() >= m_nSendHBSpan.load() * 1000 && m_nChildSocket.load() > 0) {
    m_nLastSendMs.store(now);
    SendHB();
  }
  if (now - m_nLastHBMs.load() >= m_nDieSpan.load() * 1000 && m_nChildSocket.load() > 0) {
    ZEP_LOG_LINE(LOG_WARN, "No HB from client. Cleared!");
    NoHBDie();
    return true;
  }
  return false;
}

void ZEPLinkSvrChild::doRunNode() {
  RunChild();
  // The frame closes the socket once the node has quit; a send on another
  // thread from here on fails instead of writing to that number.
  TakeSendSocket(m_nChildSocket);
}

void ZEPLinkSvrChild::RunChild() {
  ZEPFrame* frame = Frame();
  const int sock = m_nChildSocket.load();
  m_tStart.store(time(nullptr));
  InitZlibStream();
  if (frame->AddTCPEvent(this, sock, 0) != 0) {
    // Quitting before it began: nothing reads the socket, so end at once.
    GoingtoQuit();
    return;
  }
  m_Ticker = frame->ArmTimer(this, 1000, -1);
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
        if (OnTick()) {
          GoingtoQuit();
          return;
        }
        break;
      case kLinkData:
        if (ev->GetSocket() != sock) break;
        if (GeneralCmd_* cmd = GetCmd(ev)) {
          ProcessCmd(cmd);
        } else if (IsRecvBroken()) {
          ZEP_LOG_LINE(LOG_WARN, "Bad cmd stream from client. Cleared!");
          GoingtoQuit();
          return;
        }
        break;
      case kLinkClose:
        if (ev->GetSocket() == sock) {
          DisconnByCln();
          Quit();
        } else {
          // The text names members of an earlier version of this class and
          // stays as log readers know it.
          ZEP_LOG_LINE(LOG_WARN, "m_ptrTCP->GetSocket() != m_nChildSocket");
        }
        break;
      case kLinkOther:
      case kLinkIgnore:
        OtherEvent(e);
        break;
    }
  }
}

void ZEPLinkSvrChild::GetStatus(ZEPString& out) {
  ZEPLinkStatusHead(out, m_tStart.load(), m_tLastHB.load());
  out << "Way Point conn time....: " << static_cast<long>(m_tConnect.load()) << "\r\n"
      << "Child socket...........: " << m_nChildSocket.load() << "\r\n"
      << "\r\n";
}
