#include "net/zepmttcp.h"

#include "base/lockguard.h"

int ZEP_MTTcp::SetStarted(int nSocket, bool bStart) {
  ZEPLockGuard lock(m_EngineLock);
  return SetStartedLocked(nSocket, bStart);
}

int ZEP_MTTcp::ClearNode(int nSocket, bool bClose) {
  ZEPLockGuard lock(m_EngineLock);
  return ClearNodeLocked(nSocket, bClose);
}
