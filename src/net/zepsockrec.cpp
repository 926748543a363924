#include "net/zepsockrec.h"

#include <cstring>

void TCPSocketData::Init(bool /*bFull*/, int nBandwidth) {
  m_nSocket = -1;
  std::memset(&m_Addr, 0, sizeof(m_Addr));
  m_nKind = 0;
  m_strHost = "";
  m_strPort = "";
  m_strIP = "";
  m_nPort = 0;
  m_nLocalPort = 0;
  m_strLocalIP = "";
  m_strListenHost = "";
  m_strListenPort = "";
  m_nGeneration = 0;
  m_Budget = ZEPByteBudget();
  m_nBandwidth = nBandwidth;
  m_bStarted = false;
  m_bPaused = false;
  m_bGetOnePacket = false;
  m_bFCPaused = false;
  m_nCreateMs = 0;
  m_nStartTimeout = kZEPDefaultStartTimeout;
  m_nDieMs = 0;
  m_nProtocol = ZEP_PROTO_TCP;
  m_nPriority = ZEP_PRIO_NORMAL;
  m_bClosePending = false;
  m_bCloseOnClear = true;
  m_ThreadBudget = ZEPByteBudget();
  m_nAcceptPauseMs = 0;
  m_nAcceptFailedRun = 0;
  m_nWakeFd = -1;
  m_bOwnerAsleep = false;
  m_bWakeWanted = false;
}

int64_t TCPSocketData::ExpiryMs() const {
  int64_t due = INT64_MAX;
  int64_t die = m_nDieMs.load();
  if (die != 0) due = die;
  if (!m_bStarted.load()) {
    int64_t start = m_nCreateMs + static_cast<int64_t>(m_nStartTimeout.load()) * 1000;
    if (start < due) due = start;
  }
  return due;
}

void TCPSocketData::GetInfo(TCPSocketInfo* pInfo) const {
  pInfo->m_nSocket = m_nSocket;
  pInfo->m_nGeneration = m_nGeneration;
  pInfo->m_nKind = m_nKind;
  pInfo->m_nProtocol = m_nProtocol;
  pInfo->m_Addr = m_Addr;
  pInfo->m_strHost = m_strHost;
  pInfo->m_strPort = m_strPort;
  pInfo->m_strIP = m_strIP;
  pInfo->m_nPort = m_nPort;
  pInfo->m_nLocalPort = m_nLocalPort;
  pInfo->m_strLocalIP = m_strLocalIP;
  pInfo->m_strListenHost = m_strListenHost;
  pInfo->m_strListenPort = m_strListenPort;
  pInfo->m_nBandwidth = m_nBandwidth.load();
  pInfo->m_nPriority = m_nPriority.load();
  pInfo->m_bStarted = m_bStarted.load();
  pInfo->m_bPaused = m_bPaused.load();
  pInfo->m_bGetOnePacket = m_bGetOnePacket.load();
  pInfo->m_bFCPaused = m_bFCPaused.load();
  pInfo->m_bClosePending = m_bClosePending.load();
}
