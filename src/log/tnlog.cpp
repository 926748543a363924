#include "log/tnlog.h"

#include <cstring>

#include "frame/zepframe.h"

int TNLogFrameSend(ZEPFrame* pFrame, int nSocket, const char* pLine) {
  if (pFrame == nullptr || nSocket <= 0 || pLine == nullptr) return -1;
  // Length 0: up to the terminating zero; the frame sends it whole or fails.
  return pFrame->SendData(nSocket, pLine, 0) == 0 ? 0 : -1;
}

std::atomic<TNLogSendFn> g_pTNLogSend{&TNLogFrameSend};

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame) : ZEPLog(), m_pFrame(pFrame), m_nSocket(-1) {}

ZEPTNLog::ZEPTNLog(ZEPFrame* pFrame, const char* path)
    : ZEPLog(path), m_pFrame(pFrame), m_nSocket(-1) {}

void ZEPTNLog::PostProcess(char* line) {
  if (m_pFrame == nullptr) return;
  std::strcat(line, "\r\n");  // the buffer keeps two spare bytes for this
  int nSocket = m_nSocket.load();
  if (nSocket <= 0) return;
  if (g_pTNLogSend.load()(m_pFrame, nSocket, line) != 0) {
    // Detach only the console that failed, not one attached meanwhile.
    m_nSocket.compare_exchange_strong(nSocket, -1);
  }
}
