#include "cmdlink.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "frame/zepframe.h"

EchoChild::EchoChild(ZEPFrame* frame, int sock, const ServeOptions& opts)
    : ZEPLinkSvrChild(frame, sock, false), m_nEncoding(opts.nEncoding) {
  SetSendHBSpan(opts.nHBSpan);
  SetDieSpan(opts.nDieSpan);
  SetShouldCheckSum(opts.bCheckSum);
  if (opts.bKey) SetDesKey(opts.key);
}

void EchoChild::SendHB() { SendCmd(kHeartbeatCode, nullptr, 0, CTT_PLAIN); }

void EchoChild::ProcessCmd(GeneralCmd_* cmd) {
  if (cmd->m_nCode == kHeartbeatCode) {
    UpdateHBTime();
    return;
  }
  const int encoding = m_nEncoding >= 0 ? m_nEncoding : cmd->m_nEncoding;
  std::printf("recv code=%u seq=%u enc=%u len=%u\n", cmd->m_nCode, cmd->m_nSeq, cmd->m_nEncoding,
              cmd->m_nPayload);
  std::fflush(stdout);
  SendCmd(cmd->m_nSeq, cmd->m_nCode, cmd->m_Data, cmd->m_nPayload, encoding);
}

void EchoListener::doRunNode() {
  for (;;) {
    RecvEvent();
    CEvent* e = Event().Get();
    if (CQuitEvent::Narrow(e) != nullptr) return;
    CTCPEvent* ev = CTCPEvent::Narrow(e);
    if (ev == nullptr || !ev->IsTcpNew() || ev->GetRecvSize() != sizeof(int)) continue;
    int sock = -1;
    std::memcpy(&sock, ev->GetBuffer(), sizeof(int));
    EchoChild* child = new EchoChild(Frame(), sock, m_Opts);
    if (Frame()->AddNode(child, true) != 0) {
      // Shutting down: the connection is closed unserved.
      child->DestroyMe();
      Frame()->ClearNode(sock, true);
    }
  }
}

SendClient::SendClient(ZEPFrame* frame, int expected)
    : ZEPLinkClient(frame, false), m_nExpected(expected) {
  // One connection attempt: a send that loses its link fails.
  SetTryReconnect(false);
}

void SendClient::SendHB() { SendCmd(kHeartbeatCode, nullptr, 0, CTT_PLAIN); }

void SendClient::ProcessCmd(GeneralCmd_* cmd) {
  if (cmd->m_nCode == kHeartbeatCode) {
    UpdateHBTime();
    SendHB();
    return;
  }
  std::printf("echo code=%u seq=%u enc=%u len=%u data=", cmd->m_nCode, cmd->m_nSeq,
              cmd->m_nEncoding, cmd->m_nPayload);
  std::fwrite(cmd->m_Data, 1, cmd->m_nPayload, stdout);
  std::printf("\n");
  std::fflush(stdout);
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++m_nEchoes;
  m_Cond.notify_all();
}

void SendClient::Settle(int state) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (m_nState == 0 || state < 0) m_nState = state;
  m_Cond.notify_all();
}

bool SendClient::WaitConnected(int ms) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_Cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_nState != 0; });
  return m_nState == 1;
}

bool SendClient::WaitEchoes(int ms) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_Cond.wait_for(lock, std::chrono::milliseconds(ms),
                  [&] { return m_nEchoes >= m_nExpected || m_nState < 0; });
  return m_nEchoes >= m_nExpected;
}
