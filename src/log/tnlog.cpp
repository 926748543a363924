#include "log/tnlog.h"

#include <cstring>

std::atomic<TNLogSendFn> g_pTNLogSend{nullptr};

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame) : ZEPLog(), m_pFrame(pFrame), m_nSocket(-1) {}

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame, const char* path)
    : ZEPLog(path), m_pFrame(pFrame), m_nSocket(-1) {}

void ZEPTNLog::PostProcess(char* line) {
  if (m_pFrame == nullptr) return;
  std::strcat(line, "\r\n");  // the buffer keeps two spare bytes for this
  int nSocket = m_nSocket.load();
  if (nSocket <= 0) return;
  TNLogSendFn send = g_pTNLogSend.load();
  if (send == nullptr) return;
  if (send(m_pFrame, nSocket, line) != 0) {
    // Detach only the console that failed, not one attached meanwhile.
    m_nSocket.compare_exchange_strong(nSocket, -1);
  }
}
