// ZEPTCP: the engine's records and their index by descriptor number, the
// reads (accepts, TCP and UDP reads) and the polling backend's entry points,
// the per-socket setters and the black list. Socket creation is in
// zeptcp_create.cpp; sending, the record queries and the name utilities in
// zeptcp_query.cpp.
#include "net/zeptcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "log/zeplog.h"
#include "net/zepaddr.h"
#include "net/zeptcp_poll.h"

namespace {
// The poller's table: the engine's own operations, run under its lock.
void PollExpire(void* engine, TCPSocketData* p) NO_THREAD_SAFETY_ANALYSIS {
  static_cast<ZEPTCP*>(engine)->ExpireLocked(p);
}
int PollReadOne(void* engine, TCPSocketData* p, ZEPList<TCPData>& out) NO_THREAD_SAFETY_ANALYSIS {
  return static_cast<ZEPTCP*>(engine)->ReadOneLocked(p, out);
}
void PollFreeResult(void* engine, TCPData* d) NO_THREAD_SAFETY_ANALYSIS {
  static_cast<ZEPTCP*>(engine)->FreeResultLocked(d);
}
int PollTotalBandwidth(void* engine) { return static_cast<ZEPTCP*>(engine)->GetTotalBandwidth(); }
}  // namespace

ZEPTCPPollOps ZEPTCP::PollOps() NO_THREAD_SAFETY_ANALYSIS {
  ZEPTCPPollOps ops;
  ops.m_pEngine = this;
  ops.m_pSockets = &m_SocketList;
  ops.m_pfExpire = PollExpire;
  ops.m_pfReadOne = PollReadOne;
  ops.m_pfFreeResult = PollFreeResult;
  ops.m_pfTotalBandwidth = PollTotalBandwidth;
  return ops;
}

ZEPTCP::ZEPTCP()
    : m_pPoller(new ZEPTCPPoller(PollOps())),
      m_nDefaultConnBandwidth(kDefaultBandwidth),
      m_nTotalBandwidth(kDefaultBandwidth),
      m_nSelectSize(1024) {
  // A write to a connection the peer closed must fail with EPIPE, not end
  // the daemon.
  signal(SIGPIPE, SIG_IGN);
}

ZEPTCP::~ZEPTCP() {
  // Nobody else uses the engine any more; the lock only keeps the analysis
  // of what it guards simple.
  ZEPLockGuard lock(m_EngineLock);
  m_pPoller->Clear();
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor)) {
    UnlistLocked(p);
    DropRecordLocked(p, true);
  }
  cursor.Release();
  m_TailCursor.Release();
  ClrIPBlackList();
}

// ---------------------------------------------------------------- records

TCPSocketData* ZEPTCP::NewRecord(int nKind, int nProtocol) {
  TCPSocketData* p;
  {
    ZEPLockGuard lock(m_TCPSocketDataPool.GetMutex());
    p = m_TCPSocketDataPool.Malloc();
  }
  ZEP_ASSERT(NULL != p);
  p->Init(true, m_nDefaultConnBandwidth.load());
  p->m_nKind = nKind;
  p->m_nProtocol = nProtocol;
  return p;
}

void ZEPTCP::FreeRecord(TCPSocketData* pNode) {
  // The route may go with the record: dropped before the pool lock, so that
  // its destruction nests inside nothing but the caller's locks.
  if (ZEPSocketRoute* route = pNode->m_pRoute.exchange(nullptr)) route->downcount();
  pNode->m_ListNode.Release();
  int rc;
  {
    ZEPLockGuard lock(m_TCPSocketDataPool.GetMutex());
    rc = m_TCPSocketDataPool.Free(pNode);
  }
  ZEP_ASSERT(0 == rc);
}

void ZEPTCP::DropRecordLocked(TCPSocketData* pNode, bool bClose) {
  m_pPoller->DropResults(pNode->m_nSocket);
  WakePollerLocked();  // it may sleep on the descriptor being closed
  if (bClose && pNode->m_nSocket >= 0) CloseSocket(pNode->m_nSocket);
  FreeRecord(pNode);
}

void ZEPTCP::DiscardNewRecord(TCPSocketData* pNode) {
  if (pNode->m_nSocket >= 0) CloseSocket(pNode->m_nSocket);
  FreeRecord(pNode);
}

unsigned ZEPTCP::GetTCPSocketDataPoolCount() {
  ZEPLockGuard lock(m_TCPSocketDataPool.GetMutex());
  return m_TCPSocketDataPool.GetCount();
}

unsigned ZEPTCP::GetTCPDataPoolCount() {
  ZEPLockGuard lock(m_EngineLock);
  return m_TCPDataPool.GetCount();
}

void ZEPTCP::UnlistLocked(TCPSocketData* pNode) {
  TCPSocketData* pCurrNode = m_SocketList.RemoveAtCursor(&pNode->m_ListNode);
  ZEP_ASSERT(pCurrNode == pNode);
  pNode->m_ListNode.Release();
  const int s = pNode->m_nSocket;
  // A newer record of the same number (this one's descriptor was closed
  // behind the engine's back) keeps its slot.
  if (s >= 0 && static_cast<size_t>(s) < m_BySocket.size() && m_BySocket[s] == pNode)
    m_BySocket[s] = nullptr;
}

void ZEPTCP::ExpireLocked(TCPSocketData* pNode) {
  UnlistLocked(pNode);
  DropRecordLocked(pNode, true);
}

void ZEPTCP::FreeResultLocked(TCPData* d) { m_TCPDataPool.Free(d); }

bool ZEPTCP::WakeOwnerLocked(TCPSocketData* pNode) {
  if (!pNode->WakeOwner()) return false;
  m_nOwnerWakeups.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void ZEPTCP::WakePollerLocked() {
  if (!m_bPollerAsleep.load()) return;
  m_bPollerAsleep.store(false);
  if (m_pPollWake != nullptr) {
    m_pPollWake->Notify();
    m_nPollerWakeups.fetch_add(1, std::memory_order_relaxed);
  }
}

int ZEPTCP::AddSocket(TCPSocketData* pNode) {
  ZEPLockGuard lock(m_EngineLock);
  return AddSocketLocked(pNode);
}

int ZEPTCP::AddSocketLocked(TCPSocketData* pNode) {
  pNode->m_nCreateMs = ZEPMonoMs();
  uint32_t gen = m_nNextGeneration.fetch_add(1);
  if (gen == 0) gen = m_nNextGeneration.fetch_add(1);  // 0 means "no record"
  pNode->m_nGeneration = gen;
  m_SocketList.AddTail(pNode);
  // The tail cursor follows the last node, so the new record's node is one
  // step on: the record keeps it, and leaves the list without a walk.
  TCPSocketData* p = m_TailCursor.IsNull() ? m_SocketList.GetFirst(&m_TailCursor)
                                           : m_SocketList.GetNext(&m_TailCursor);
  while (p != NULL && p != pNode) p = m_SocketList.GetNext(&m_TailCursor);
  ZEP_ASSERT(p == pNode);
  pNode->m_ListNode = m_TailCursor;
  const int s = pNode->m_nSocket;
  if (s >= 0) {
    if (static_cast<size_t>(s) >= m_BySocket.size())
      m_BySocket.resize(std::max(static_cast<size_t>(s) + 1, m_BySocket.size() * 2), nullptr);
    m_BySocket[s] = pNode;
  }
  DeadlineAddedLocked(pNode->ExpiryMs());
  return 0;
}

uint32_t ZEPTCP::GetGeneration(int nSocket) const {
  ZEPLockGuard lock(m_EngineLock);
  return GetGenerationLocked(nSocket);
}

uint32_t ZEPTCP::GetGenerationLocked(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  return p != NULL ? p->m_nGeneration : 0;
}

ZEPSocketRoute* ZEPTCP::TakeRouteLocked(int nSocket, ZEPSocketRoute* pFresh, uint32_t* pGen) {
  TCPSocketData* p = SeekSocket(nSocket);
  *pGen = p != NULL ? p->m_nGeneration : 0;
  if (p == NULL) return nullptr;
  ZEPSocketRoute* route = p->m_pRoute.load();
  if (route == nullptr && pFresh != nullptr) {
    pFresh->upcount();  // the record's
    p->m_pRoute.store(pFresh);
    route = pFresh;
  }
  if (route != nullptr) route->upcount();  // the caller's
  return route;
}

int ZEPTCP::GetSocketCount() const {
  ZEPLockGuard lock(m_EngineLock);
  return GetSocketCountLocked();
}

TCPSocketData* ZEPTCP::SeekSocket(int nSocket) const {
  if (nSocket < 0 || static_cast<size_t>(nSocket) >= m_BySocket.size()) return NULL;
  return m_BySocket[nSocket];
}

TCPSocketData* ZEPTCP::SeekSocket(int nSocket, uint32_t nGeneration) const {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL || (nGeneration != 0 && p->m_nGeneration != nGeneration)) return NULL;
  return p;
}

int ZEPTCP::ClearNodeLocked(int nSocket, bool bClose) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL) return -1;
  UnlistLocked(p);
  DropRecordLocked(p, bClose);
  return 0;
}

int ZEPTCP::CloseSocket(int nSocket) {
  int64_t before = ZEPMonoSec();
  int rc = close(nSocket);
  int64_t spent = ZEPMonoSec() - before;
  if (spent > 2) ZEP_LOG_LINE(LOG_ERRR, "Close a socket last too long: " << spent);
  return rc;
}

// ---------------------------------------------------------------- reading

TCPData* ZEPTCP::NewResultLocked(ZEPList<TCPData>& list, int nSocket, int nProtocol) {
  TCPData* d = m_TCPDataPool.Malloc();
  ZEP_ASSERT(NULL != d);
  d->m_nSocket = nSocket;
  d->m_nGeneration = GetGenerationLocked(nSocket);
  d->m_nLength = 0;
  d->m_nRC = ZEP_TCP_CLOSE;
  d->m_nProtocol = nProtocol;
  std::memset(&d->m_From, 0, sizeof(d->m_From));
  list.AddTail(d);
  return d;
}

int ZEPTCP::AcceptRaw(int nListen, sockaddr_in* pPeer) {
  socklen_t len = sizeof(*pPeer);
  std::memset(pPeer, 0, sizeof(*pPeer));
  int s;
  do {
    s = accept(nListen, reinterpret_cast<sockaddr*>(pPeer), &len);
  } while (s < 0 && errno == EINTR);
  return s;
}

TCPSocketData* ZEPTCP::NewChildRecord(const TCPSocketData* pListen, int nNew,
                                      const sockaddr_in& peer) {
  SetMySocketOpt(nNew);
  TCPSocketData* p = NewRecord(ZEP_SOCK_CHILD, ZEP_PROTO_TCP);
  p->m_nSocket = nNew;
  p->m_Addr = peer;
  p->m_strIP = ZEPIPv4Text(peer.sin_addr.s_addr);
  p->m_strHost = p->m_strIP;
  p->m_nPort = ntohs(peer.sin_port);
  ZEPString port;
  port << p->m_nPort;
  p->m_strPort = port;
  p->m_nLocalPort = pListen->m_nLocalPort ? pListen->m_nLocalPort : pListen->m_nPort;
  p->m_strLocalIP = pListen->m_strIP;
  p->m_strListenHost = pListen->m_strHost;
  p->m_strListenPort = pListen->m_strPort;
  return p;
}

int ZEPTCP::Accept(int nSocket, ZEPList<TCPData>& list) {
  TCPSocketData* pListen = SeekSocket(nSocket);
  if (pListen == NULL) return -1;
  sockaddr_in peer;
  int s = AcceptRaw(nSocket, &peer);
  if (s < 0) return -1;
  if (IsRefusedLocked(peer)) {
    CloseSocket(s);
    return -1;
  }
  AddSocketLocked(NewChildRecord(pListen, s, peer));
  TCPData* d = NewResultLocked(list, nSocket, ZEP_PROTO_TCP);
  d->m_nRC = ZEP_TCP_NEW;
  d->m_nLength = sizeof(int);
  std::memcpy(d->m_Buffer, &s, sizeof(int));
  d->m_From = peer;
  return s;
}

// A read's result: code 1 with the bytes, or code 3 and the socket paused.
int ZEPTCP::SettleResultLocked(TCPData* d, ssize_t n) {
  if (n > 0) {
    d->m_nRC = ZEP_TCP_DATA;
    d->m_nLength = static_cast<int>(n);
    return static_cast<int>(n);
  }
  SetPaused(d->m_nSocket, true);
  return 0;
}

int ZEPTCP::RecvTCPData(int nSocket, ZEPList<TCPData>& list) {
  TCPData* d = NewResultLocked(list, nSocket, ZEP_PROTO_TCP);
  ssize_t n;
  do {
    n = read(nSocket, d->m_Buffer, static_cast<size_t>(GetSelectSize()));
  } while (n < 0 && errno == EINTR);
  return SettleResultLocked(d, n);
}

int ZEPTCP::RecvUDPData(int nSocket, ZEPList<TCPData>& list) {
  TCPData* d = NewResultLocked(list, nSocket, ZEP_PROTO_UDP);
  socklen_t len = sizeof(d->m_From);
  ssize_t n;
  do {
    n = recvfrom(nSocket, d->m_Buffer, sizeof(d->m_Buffer), 0,
                 reinterpret_cast<sockaddr*>(&d->m_From), &len);
  } while (n < 0 && errno == EINTR);
  return SettleResultLocked(d, n);
}

int ZEPTCP::ReadOneLocked(TCPSocketData* pNode, ZEPList<TCPData>& list) {
  if (pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP) {
    Accept(pNode->m_nSocket, list);
    return 0;
  }
  if (pNode->m_nProtocol == ZEP_PROTO_UDP) return RecvUDPData(pNode->m_nSocket, list);
  return RecvTCPData(pNode->m_nSocket, list);
}

// ------------------------------------------------- the polling backend

int ZEPTCP::Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                   uint32_t* pGen) {
  return m_pPoller->Select(nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCP::SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                                     int& nProtocol, uint32_t* pGen) {
  return m_pPoller->SelectHighPrioritySocket(nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCP::SelectOut(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                      int& nProtocol, ZEPList<TCPData>& list, uint32_t* pGen) {
  return m_pPoller->PopResult(list, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCP::GetSocketBufDataCount(int nSocket) { return m_pPoller->CountResults(nSocket); }

bool ZEPTCP::IsSocketInPollFD(int nSocket, int nCount, int nMask) const {
  return m_pPoller->IsSocketInPollFD(nSocket, nCount, nMask);
}

int ZEPTCP::TakeResult(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                       int& nProtocol, uint32_t* pGen) {
  return m_pPoller->TakeResult(nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCP::WaitForInput(ZEPWakeFd* pWake) {
  int64_t timeout;
  int count;
  pollfd* fds;
  {
    ZEPLockGuard lock(m_EngineLock);
    count = m_pPoller->FillWait(ZEPMonoMs(), &timeout);
    if (timeout == 0) return 0;
    fds = m_pPoller->WaitArray();
    m_pPollWake = pWake;
    // Every change that could make a socket readable for Select (a start,
    // a resume, a new deadline, a socket closing) is made under this lock,
    // so it either is in the array already or finds the flag and wakes us.
    m_bPollerAsleep.store(true);
  }
  const int wakeFd = pWake != nullptr ? pWake->Fd() : -1;
  nfds_t n = static_cast<nfds_t>(count);
  if (wakeFd >= 0) {
    fds[n].fd = wakeFd;
    fds[n].events = POLLIN;
    fds[n].revents = 0;
    ++n;
  } else if (timeout < 0 || timeout > 500) {
    timeout = 500;  // no wake-up descriptor: look again twice a second
  }
  int rc = poll(fds, n, static_cast<int>(timeout));
  m_bPollerAsleep.store(false);
  if (rc <= 0) return 0;
  if (wakeFd >= 0 && fds[count].revents != 0) {
    pWake->Drain();
    --rc;
  }
  return rc;
}

// ---------------------------------------------------------------- setters

int ZEPTCP::SetStartedLocked(int nSocket, bool b) {
  return WithRecordLocked(nSocket, [this, b](TCPSocketData* p) REQUIRES(m_EngineLock) {
    p->m_bStarted = b;
    if (b) WakePollerLocked();
  });
}
int ZEPTCP::SetPaused(int nSocket, bool b) {
  return WithRecordLocked(nSocket, [this, b](TCPSocketData* p) REQUIRES(m_EngineLock) {
    p->m_bPaused = b;
    WakeOwnerLocked(p);
    if (!b) WakePollerLocked();
  });
}
int ZEPTCP::SetFCPaused(int nSocket, bool b) { return SetFCPaused(nSocket, 0, b); }
int ZEPTCP::SetFCPaused(int nSocket, uint32_t nGeneration, bool b) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL) return -1;
  // A pause or resume counted for a socket that is gone (its number now
  // names a newer record) is not this record's business.
  if (nGeneration != 0 && p->m_nGeneration != nGeneration) return -1;
  p->m_bFCPaused = b;
  WakeOwnerLocked(p);
  if (!b) WakePollerLocked();
  return 0;
}
int ZEPTCP::SetGetOnePacket(int nSocket, bool b) {
  return WithRecordLocked(nSocket, [b](TCPSocketData* p) { p->m_bGetOnePacket = b; });
}
int ZEPTCP::SetPriority(int nSocket, int n) {
  return WithRecordLocked(nSocket, [this, n](TCPSocketData* p) REQUIRES(m_EngineLock) {
    p->m_nPriority = n;
    WakeOwnerLocked(p);  // the owner applies it to its thread at once
  });
}
int ZEPTCP::SetTime2Die(int nSocket, long n) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL) return -1;
  if (n == 0) {
    p->m_nDieMs = 0;
    return 0;
  }
  // The wall-clock time is turned into a monotonic deadline once, so a
  // later change of the wall clock does not move it.
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  int64_t wallMs = static_cast<int64_t>(wall.tv_sec) * 1000 + wall.tv_nsec / 1000000;
  int64_t die = ZEPMonoMs() + (static_cast<int64_t>(n) * 1000 - wallMs);
  p->m_nDieMs = die > 0 ? die : 1;
  DeadlineAddedLocked(p->ExpiryMs());
  return 0;
}
int ZEPTCP::SetStartTimeoutLocked(int nSocket, int n) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL) return -1;
  p->m_nStartTimeout = n;
  DeadlineAddedLocked(p->ExpiryMs());
  return 0;
}

int ZEPTCP::SetBandwidth(int nSocket, int nBandwidth) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p != NULL) {
    p->m_nBandwidth = nBandwidth;
    WakePollerLocked();  // a socket held back by its old limit may be read
  }
  return 0;
}

void ZEPTCP::SetSelectSize(int n) {
  // Reads land in an event's buffer.
  if (n < 1) n = 1;
  if (n > ZEP_TCP_BUFSIZE) n = ZEP_TCP_BUFSIZE;
  m_nSelectSize = n;
}

// ------------------------------------------------------------- black list

bool ZEPTCP::IsBlackListedLocked(uint32_t nAddr) const {
  for (uint32_t a : m_BlackList)
    if (a == nAddr) return true;
  return false;
}

int ZEPTCP::AddIPBlackList(const char* szIP) {
  uint32_t a = 0;
  // inet_addr's INADDR_NONE for a bad text would black-list 255.255.255.255.
  if (!ZEPParseIPv4(szIP, &a)) return -1;
  if (IsBlackListedLocked(a)) return 1;
  m_BlackList.push_back(a);
  return 0;
}

int ZEPTCP::DelIPBlackList(const char* szIP) {
  uint32_t a = 0;
  if (!ZEPParseIPv4(szIP, &a)) return 1;
  for (size_t i = 0; i < m_BlackList.size(); ++i) {
    if (m_BlackList[i] == a) {
      m_BlackList.erase(m_BlackList.begin() + static_cast<long>(i));
      return 0;
    }
  }
  return 1;
}
