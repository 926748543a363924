#include "log/tnlog.h"

#include <cstring>

std::atomic<TNLogSendFn> g_pTNLogSend{nullptr};

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame) : ZEPLog(), m_pFrame(pFrame), m_nSocket(-1) {
  for (std::atomic<int>& slot : m_nExtra) slot.store(-1);
}

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame, const char* path)
    : ZEPLog(path), m_pFrame(pFrame), m_nSocket(-1) {
  for (std::atomic<int>& slot : m_nExtra) slot.store(-1);
}

int ZEPTNLog::AddSocket(int nSocket) {
  if (nSocket <= 0) return -1;
  if (HasSocket(nSocket)) return 0;
  for (std::atomic<int>& slot : m_nExtra) {
    int empty = -1;
    if (slot.compare_exchange_strong(empty, nSocket)) return 0;
  }
  return -1;
}

void ZEPTNLog::RemoveSocket(int nSocket) {
  if (nSocket <= 0) return;
  int mine = nSocket;
  m_nSocket.compare_exchange_strong(mine, -1);
  for (std::atomic<int>& slot : m_nExtra) {
    mine = nSocket;
    slot.compare_exchange_strong(mine, -1);
  }
}

bool ZEPTNLog::HasSocket(int nSocket) const {
  if (nSocket <= 0) return false;
  if (m_nSocket.load() == nSocket) return true;
  for (const std::atomic<int>& slot : m_nExtra)
    if (slot.load() == nSocket) return true;
  return false;
}

int ZEPTNLog::GetSocketCount() const {
  int n = m_nSocket.load() > 0 ? 1 : 0;
  for (const std::atomic<int>& slot : m_nExtra) n += slot.load() > 0 ? 1 : 0;
  return n;
}

void ZEPTNLog::SendTo(std::atomic<int>& slot, const char* line) {
  int nSocket = slot.load();
  if (nSocket <= 0) return;
  TNLogSendFn send = g_pTNLogSend.load();
  if (send == nullptr) return;
  if (send(m_pFrame, nSocket, line) != 0) {
    // Detach only the console that failed, not one attached meanwhile.
    slot.compare_exchange_strong(nSocket, -1);
  }
}

void ZEPTNLog::PostProcess(char* line) {
  if (m_pFrame == nullptr) return;
  std::strcat(line, "\r\n");  // the buffer keeps two spare bytes for this
  SendTo(m_nSocket, line);
  for (std::atomic<int>& slot : m_nExtra) SendTo(slot, line);
}
