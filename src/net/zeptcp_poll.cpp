#include "net/zeptcp_poll.h"

#include <errno.h>

#include <climits>
#include <cstring>

#include "base/zepassert.h"
#include "base/zepmultithread.h"
#include "log/zeplog.h"

// ---------------------------------------------------------------- poller

ZEPTCPPoller::ZEPTCPPoller(const ZEPTCPPollOps& ops) : m_Ops(ops), m_Sockets(*ops.m_pSockets) {
  std::memset(m_PollFD, 0, sizeof(m_PollFD));
  std::memset(m_PollNode, 0, sizeof(m_PollNode));
}

void ZEPTCPPoller::Clear() {
  m_Normal.m_FillCursor.Release();
  m_Normal.m_ReadCursor.Release();
  m_High.m_FillCursor.Release();
  m_High.m_ReadCursor.Release();
  while (TCPData* p = m_PendingList.RemoveHead()) m_Ops.m_pfFreeResult(m_Ops.m_pEngine, p);
  while (TCPData* p = m_HighPendingList.RemoveHead()) m_Ops.m_pfFreeResult(m_Ops.m_pEngine, p);
}

int ZEPTCPPoller::FillPass(Rotation& rot, bool bResume, int nPriority, int64_t now) {
  SmartPtr<CListNode> cursor;
  TCPSocketData* p;
  if (bResume) {
    rot.m_ReadCursor = rot.m_FillCursor;
    cursor = rot.m_FillCursor;
    p = m_Sockets.GetNext(&cursor);
  } else {
    rot.m_ReadCursor.Release();
    p = m_Sockets.GetFirst(&cursor);
  }
  int count = 0;
  bool full = false;
  for (; p != NULL; p = m_Sockets.GetNext(&cursor)) {
    if (now >= p->ExpiryMs()) {
      m_Ops.m_pfExpire(m_Ops.m_pEngine, p);
      continue;
    }
    if (!p->IsReadable() || p->m_nPriority.load() != nPriority) continue;
    m_PollFD[count].fd = p->m_nSocket;
    m_PollFD[count].events = POLLRDNORM;
    m_PollFD[count].revents = 0;
    m_PollNode[count] = p;
    ++count;
    if (count >= m_nPollCapacity - 1) {
      full = true;
      break;
    }
  }
  rot.m_FillCursor = cursor.Get();
  // Resume only when something is left after the last entry.
  rot.m_bResume = full && m_Sockets.GetNext(&cursor) != NULL;
  return count;
}

bool ZEPTCPPoller::ReadPass(Rotation& rot, bool bCycleResume, int nCount, int nPriority,
                            ZEPList<TCPData>& list) {
  SmartPtr<CListNode> cursor = rot.m_ReadCursor;
  TCPSocketData* p = bCycleResume ? m_Sockets.GetNext(&cursor) : m_Sockets.GetFirst(&cursor);
  const bool bAccount = nPriority == ZEP_PRIO_NORMAL;
  const int64_t t = ZEPByteBudget::Now();
  const int64_t total = TotalBandwidth();
  // The list is walked in the fill order, so the entries come up in turn;
  // records appended meanwhile (accepted children) are not in the array.
  for (int i = 0; p != NULL && i < nCount; p = m_Sockets.GetNext(&cursor)) {
    if (p != m_PollNode[i]) continue;
    const short rev = m_PollFD[i++].revents;
    // An error or hang-up is read as well, so that it is reported (code 3)
    // instead of being polled again and again.
    if ((rev & (POLLIN | POLLRDNORM | POLLERR | POLLHUP)) == 0 || !p->IsReadable()) continue;
    const int64_t limit = p->m_nBandwidth.load();
    if (bAccount) {
      p->m_Budget.Enter(t);
      if (p->m_Budget.IsSpent(limit, t)) continue;  // this socket's second is spent
      m_Total.Enter(t);
    }
    int n = m_Ops.m_pfReadOne(m_Ops.m_pEngine, p, list);
    if (n > 0) {
      if (bAccount) {
        p->m_Budget.Charge(n, limit, t);
        m_Total.Charge(n, total, t);
      }
      if (p->m_bGetOnePacket.load()) p->m_bPaused = true;
    }
    if (bAccount && m_Total.IsSpent(total, t)) {
      // Next second starts with the socket after this one.
      rot.m_FillCursor = cursor.Get();
      return false;
    }
  }
  return true;
}

int ZEPTCPPoller::PopResult(ZEPList<TCPData>& list, int& nSocket, char* szBuffer, int& nLength,
                            sockaddr_in* pFrom, int& nProtocol, uint32_t* pGen) {
  TCPData* d = list.RemoveHead();
  if (d == NULL) return 0;
  nSocket = d->m_nSocket;
  if (pGen != NULL) *pGen = d->m_nGeneration;
  nLength = d->m_nLength;
  if (nLength > 0) std::memcpy(szBuffer, d->m_Buffer, static_cast<size_t>(nLength));
  nProtocol = d->m_nProtocol;
  if (pFrom != NULL) *pFrom = d->m_From;
  int rc = d->m_nRC;
  m_Ops.m_pfFreeResult(m_Ops.m_pEngine, d);
  return rc;
}

int ZEPTCPPoller::SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength,
                                           sockaddr_in* pFrom, int& nProtocol, uint32_t* pGen) {
  if (m_Sockets.GetCount() == 0) return 0;
  if (m_HighPendingList.GetCount() > 0)
    return PopResult(m_HighPendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
  const int64_t now = ZEPMonoMs();
  do {
    bool bCycleResume = m_High.m_bResume;
    int count = FillPass(m_High, bCycleResume, ZEP_PRIO_HIGH, now);
    if (count == 0) break;
    int rc = poll(m_PollFD, static_cast<nfds_t>(count), 0);
    if (rc < 0) {
      const int err = errno;
      ZEP_LOG_LINE(LOG_WARN, "SelectHighPrioritySocket: returns value less than 0, nSocketCount:"
                                 << count << " errno:" << err);
      m_High.m_bResume = false;
      return 0;
    }
    if (rc > 0) ReadPass(m_High, bCycleResume, count, ZEP_PRIO_HIGH, m_HighPendingList);
  } while (m_High.m_bResume);
  return PopResult(m_HighPendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCPPoller::Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                         int& nProtocol, uint32_t* pGen) {
  if (m_Sockets.GetCount() == 0) return 0;
  int rc = SelectHighPrioritySocket(nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
  if (rc != 0) return rc;
  if (m_PendingList.GetCount() > 0)
    return PopResult(m_PendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
  if (m_Total.IsSpent(TotalBandwidth(), ZEPByteBudget::Now())) return 0;
  const int64_t now = ZEPMonoMs();
  do {
    bool bCycleResume = m_Normal.m_bResume;
    int count = FillPass(m_Normal, bCycleResume, ZEP_PRIO_NORMAL, now);
    // Nothing (more) to poll: hand out what earlier cycles read.
    if (count == 0) break;
    int prc = poll(m_PollFD, static_cast<nfds_t>(count), 0);
    if (prc < 0) {
      const int err = errno;
      ZEP_LOG_LINE(LOG_WARN,
                   "Select: returns value less than 0, nSocketCount:" << count << " errno:" << err);
      m_Normal.m_bResume = false;
      return 0;
    }
    if (prc > 0 && !ReadPass(m_Normal, bCycleResume, count, ZEP_PRIO_NORMAL, m_PendingList)) {
      m_Normal.m_bResume = true;  // the budget ran out: continue here next second
      break;
    }
  } while (m_Normal.m_bResume && !m_Total.IsSpent(TotalBandwidth(), ZEPByteBudget::Now()));
  return PopResult(m_PendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCPPoller::CountIn(const ZEPList<TCPData>& list, int nSocket) {
  int n = 0;
  SmartPtr<CListNode> cursor;
  for (TCPData* d = list.GetFirst(&cursor); d != NULL; d = list.GetNext(&cursor))
    if (d->m_nSocket == nSocket) ++n;
  return n;
}

int ZEPTCPPoller::CountResults(int nSocket) const {
  return CountIn(m_PendingList, nSocket) + CountIn(m_HighPendingList, nSocket);
}

void ZEPTCPPoller::DropIn(ZEPList<TCPData>& list, int nSocket) {
  SmartPtr<CListNode> cursor;
  for (TCPData* d = list.GetFirst(&cursor); d != NULL; d = list.GetNext(&cursor)) {
    if (d->m_nSocket != nSocket) continue;
    list.RemoveAtCursor(&cursor);
    m_Ops.m_pfFreeResult(m_Ops.m_pEngine, d);
  }
}

void ZEPTCPPoller::DropResults(int nSocket) {
  DropIn(m_PendingList, nSocket);
  DropIn(m_HighPendingList, nSocket);
}

bool ZEPTCPPoller::IsSocketInPollFD(int nSocket, int nCount, int nMask) const {
  if (nCount > m_nPollCapacity) nCount = m_nPollCapacity;
  for (int i = 0; i < nCount; ++i)
    if (m_PollFD[i].fd == nSocket && (m_PollFD[i].revents & nMask) != 0) return true;
  return false;
}

int ZEPTCPPoller::TakeResult(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                             int& nProtocol, uint32_t* pGen) {
  int rc = PopResult(m_HighPendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
  if (rc != 0) return rc;
  return PopResult(m_PendingList, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCPPoller::FillWait(int64_t nowMs, int64_t* pTimeoutMs) {
  int64_t timeout = -1;
  auto until = [&timeout](int64_t ms) {
    if (ms < 0) ms = 0;
    if (timeout < 0 || ms < timeout) timeout = ms;
  };
  if (m_PendingList.GetCount() > 0 || m_HighPendingList.GetCount() > 0) until(0);
  const int64_t t = ZEPByteBudget::Now();
  const int64_t total = TotalBandwidth();
  const bool bTotalSpent = m_Total.IsSpent(total, t);
  size_t count = 0;
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_Sockets.GetFirst(&cursor); p != NULL; p = m_Sockets.GetNext(&cursor)) {
    const int64_t due = p->ExpiryMs();
    if (due != INT64_MAX) until(due - nowMs);
    if (!p->IsReadable()) continue;
    if (p->m_nPriority.load() == ZEP_PRIO_NORMAL &&
        (bTotalSpent || p->m_Budget.IsSpent(p->m_nBandwidth.load(), t))) {
      // Held back by a budget until the next second: Select would skip it,
      // and polling it would only spin.
      until(ZEPByteBudget::MsToNextSecond());
      continue;
    }
    if (m_WaitFD.size() < count + 2) m_WaitFD.resize(count + 64);
    m_WaitFD[count].fd = p->m_nSocket;
    m_WaitFD[count].events = POLLRDNORM;
    m_WaitFD[count].revents = 0;
    ++count;
  }
  if (m_WaitFD.size() < count + 1) m_WaitFD.resize(count + 1);
  *pTimeoutMs = timeout;
  return static_cast<int>(count);
}
