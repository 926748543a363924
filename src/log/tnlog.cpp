#include "log/tnlog.h"

#include <sys/socket.h>

#include <cstring>

int TNLogFrameSend(ZEPFrame* /*pFrame*/, int nSocket, const char* pLine) {
  if (nSocket <= 0 || pLine == nullptr) return -1;
  size_t len = std::strlen(pLine);
  // MSG_NOSIGNAL: a console that went away must not kill the process.
  ssize_t n = send(nSocket, pLine, len, MSG_NOSIGNAL);
  return (n >= 0 && static_cast<size_t>(n) == len) ? 0 : -1;
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
