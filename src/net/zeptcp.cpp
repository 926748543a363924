#include "net/zeptcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/zepassert.h"
#include "base/zepmultithread.h"
#include "log/zeplog.h"

namespace {

const char* Txt(const ZEPString& s) { return s.GetSafeText(); }

ZEPString Dotted(uint32_t nAddr) {
  char buf[INET_ADDRSTRLEN] = {0};
  in_addr a;
  a.s_addr = nAddr;
  inet_ntop(AF_INET, &a, buf, sizeof(buf));
  return ZEPString(buf);
}

// The resolver's first IPv4 address of a host name. getaddrinfo rather than
// gethostbyname: several node threads resolve at the same time.
bool Resolve(const char* szHost, uint32_t* pAddr) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* res = NULL;
  if (getaddrinfo(szHost, NULL, &hints, &res) != 0 || res == NULL) return false;
  bool ok = false;
  for (addrinfo* p = res; p != NULL; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
      *pAddr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  freeaddrinfo(res);
  return ok;
}

void LogPollFailure(const char* szWho, int nCount, int nErr) {
  g_LogMutex.Acquire();
  if (zeplog != NULL) {
    strLog << szWho << ": returns value less than 0, nSocketCount:" << nCount << " errno:" << nErr;
    zeplog->Log(__FILE__, __LINE__, LOG_WARN, strLog);
  }
  g_LogMutex.Release();
}

}  // namespace

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
  m_nSecond = 0;
  m_nBytes = 0;
  m_nBandwidth = nBandwidth;
  m_bStarted = false;
  m_bPaused = false;
  m_bGetOnePacket = false;
  m_bFCPaused = false;
  m_nCreateMs = 0;
  m_nStartTimeout = ZEPTCP::kDefaultStartTimeout;
  m_nDieMs = 0;
  m_nProtocol = ZEP_PROTO_TCP;
  m_nPriority = ZEP_PRIO_NORMAL;
  m_bClosePending = false;
  m_bCloseOnClear = true;
  m_nThreadSecond = 0;
  m_nThreadBytes = 0;
  m_nAcceptPauseMs = 0;
  m_nAcceptFailedRun = 0;
  m_nWakeFd = -1;
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

ZEPTCP::ZEPTCP()
    : m_nPollCapacity(kPollCapacity),
      m_nDefaultConnBandwidth(kDefaultBandwidth),
      m_nTotalBandwidth(kDefaultBandwidth),
      m_nSelectSize(1024),
      m_nTotalSecond(0),
      m_nTotalBytes(0) {
  std::memset(m_PollFD, 0, sizeof(m_PollFD));
  std::memset(m_PollNode, 0, sizeof(m_PollNode));
  // A write to a connection the peer closed must fail with EPIPE, not end
  // the daemon.
  signal(SIGPIPE, SIG_IGN);
}

ZEPTCP::~ZEPTCP() {
  m_Normal.m_FillCursor.Release();
  m_Normal.m_ReadCursor.Release();
  m_High.m_FillCursor.Release();
  m_High.m_ReadCursor.Release();
  while (TCPSocketData* p = m_SocketList.RemoveHead()) DropRecord(p, true);
  ClrIPBlackList();
  while (TCPData* p = m_PendingList.RemoveHead()) m_TCPDataPool.Free(p);
  while (TCPData* p = m_HighPendingList.RemoveHead()) m_TCPDataPool.Free(p);
}

// ---------------------------------------------------------------- records

TCPSocketData* ZEPTCP::NewRecord(int nKind, int nProtocol) {
  m_TCPSocketDataPool.GetMutex().Acquire();
  TCPSocketData* p = m_TCPSocketDataPool.Malloc();
  m_TCPSocketDataPool.GetMutex().Release();
  ZEP_ASSERT(NULL != p);
  p->Init(true, m_nDefaultConnBandwidth.load());
  p->m_nKind = nKind;
  p->m_nProtocol = nProtocol;
  return p;
}

void ZEPTCP::FreeRecord(TCPSocketData* pNode) {
  m_TCPSocketDataPool.GetMutex().Acquire();
  int rc = m_TCPSocketDataPool.Free(pNode);
  m_TCPSocketDataPool.GetMutex().Release();
  ZEP_ASSERT(0 == rc);
}

void ZEPTCP::DropRecord(TCPSocketData* pNode, bool bClose) {
  // Results still waiting for this socket would otherwise be handed out
  // later under a descriptor number the system may have given to a new one.
  DropResults(m_PendingList, pNode->m_nSocket);
  DropResults(m_HighPendingList, pNode->m_nSocket);
  if (bClose && pNode->m_nSocket >= 0) CloseSocket(pNode->m_nSocket);
  FreeRecord(pNode);
}

void ZEPTCP::DropResults(ZEPList<TCPData>& list, int nSocket) {
  SmartPtr<CListNode> cursor;
  for (TCPData* d = list.GetFirst(&cursor); d != NULL; d = list.GetNext(&cursor)) {
    if (d->m_nSocket != nSocket) continue;
    list.RemoveAtCursor(&cursor);
    m_TCPDataPool.Free(d);
  }
}

unsigned ZEPTCP::GetTCPSocketDataPoolCount() {
  m_TCPSocketDataPool.GetMutex().Acquire();
  unsigned n = m_TCPSocketDataPool.GetCount();
  m_TCPSocketDataPool.GetMutex().Release();
  return n;
}

void ZEPTCP::RemoveAtCursor(SmartPtr<CListNode>& cursor, TCPSocketData* pNode) {
  TCPSocketData* pCurrNode = m_SocketList.RemoveAtCursor(&cursor);
  ZEP_ASSERT(pCurrNode == pNode);
}

int ZEPTCP::AddSocket(TCPSocketData* pNode) {
  pNode->m_nCreateMs = ZEPMonoMs();
  uint32_t gen = m_nNextGeneration.fetch_add(1);
  if (gen == 0) gen = m_nNextGeneration.fetch_add(1);  // 0 means "no record"
  pNode->m_nGeneration = gen;
  m_SocketList.AddTail(pNode);
  DeadlineAdded(pNode->ExpiryMs());
  return 0;
}

uint32_t ZEPTCP::GetGeneration(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  return p != NULL ? p->m_nGeneration : 0;
}

TCPSocketData* ZEPTCP::SeekSocket(int nSocket) const {
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor))
    if (p->m_nSocket == nSocket) return p;
  return NULL;
}

int ZEPTCP::ClearNode(int nSocket, bool bClose) {
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor)) {
    if (p->m_nSocket != nSocket) continue;
    RemoveAtCursor(cursor, p);
    DropRecord(p, bClose);
    return 0;
  }
  return -1;
}

int ZEPTCP::CloseSocket(int nSocket) {
  int64_t before = ZEPMonoSec();
  int rc = close(nSocket);
  int64_t spent = ZEPMonoSec() - before;
  if (spent > 2) {
    g_LogMutex.Acquire();
    if (zeplog != NULL) {
      strLog << "Close a socket last too long: " << spent;
      zeplog->Log(__FILE__, __LINE__, LOG_ERRR, strLog);
    }
    g_LogMutex.Release();
  }
  return rc;
}

// --------------------------------------------------------------- creation

int ZEPTCP::Sockaddr(TCPSocketData* pNode) {
  std::memset(&pNode->m_Addr, 0, sizeof(pNode->m_Addr));
  pNode->m_Addr.sin_family = AF_INET;
  const char* host = pNode->m_strHost.GetSafeText();
  uint32_t addr = 0;
  if (*host == '\0') {
    addr = htonl(INADDR_ANY);
  } else if (!ParseIPv4(host, &addr) && !Resolve(host, &addr)) {
    return -1;
  }
  pNode->m_Addr.sin_addr.s_addr = addr;
  pNode->m_strIP = Dotted(addr);

  const char* port = pNode->m_strPort.GetSafeText();
  int nPort;
  if (IsDigitalStr(port)) {
    long v = std::strtol(port, NULL, 10);
    // A port number outside 16 bits names no port; atoi would wrap it.
    if (std::strlen(port) > 5 || v > 65535) return -1;
    nPort = static_cast<int>(v);
  } else {
    servent se;
    servent* pse = NULL;
    char buf[1024];
    const char* proto = pNode->m_nProtocol == ZEP_PROTO_TCP ? "tcp" : "udp";
    if (getservbyname_r(port, proto, &se, buf, sizeof(buf), &pse) != 0 || pse == NULL) return -1;
    nPort = ntohs(static_cast<uint16_t>(pse->s_port));
  }
  pNode->m_Addr.sin_port = htons(static_cast<uint16_t>(nPort));
  pNode->m_nPort = nPort;
  return 0;
}

void ZEPTCP::SetMySocketOpt(int nSocket) {
  timeval tv;
  tv.tv_sec = 90;
  tv.tv_usec = 0;
  setsockopt(nSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int tos = IPTOS_THROUGHPUT;
  setsockopt(nSocket, IPPROTO_IP, IP_TOS, &tos, sizeof(tos));
  int on = 1;
  setsockopt(nSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  linger lg;
  lg.l_onoff = 0;
  lg.l_linger = 0;
  setsockopt(nSocket, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  if (GetSocketSendBuffer(nSocket) < 1024) SetSocketSendBuffer(nSocket, 1024);
  if (GetSocketRecvBuffer(nSocket) < 1024) SetSocketRecvBuffer(nSocket, 1024);
}

static int NewSocket(int nProtocol) {
  if (nProtocol == ZEP_PROTO_TCP) return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

// A record for a new socket of this kind with its address resolved, or null
// (nothing left behind) when the socket or the address cannot be had.
TCPSocketData* ZEPTCP::NewAddressedRecord(int nKind, const ZEPString& strHost,
                                          const ZEPString& strPort, int nProtocol) {
  int s = NewSocket(nProtocol);
  if (s < 0) return NULL;
  TCPSocketData* p = NewRecord(nKind, nProtocol);
  p->m_nSocket = s;
  p->m_strHost = strHost.IsNull() ? ZEPString("") : strHost;
  p->m_strPort = strPort.IsNull() ? ZEPString("") : strPort;
  if (Sockaddr(p) != 0) {
    DropRecord(p, true);
    return NULL;
  }
  return p;
}

// The local end as bound: for a server asked for port 0 the port it got.
static void FillLocal(TCPSocketData* p) {
  sockaddr_in local;
  socklen_t len = sizeof(local);
  if (getsockname(p->m_nSocket, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    p->m_nLocalPort = ntohs(local.sin_port);
    p->m_strLocalIP = Dotted(local.sin_addr.s_addr);
  }
}

int ZEPTCP::CreateServer(const ZEPString& strHost, const ZEPString& strPort, int nProtocol) {
  if (nProtocol != ZEP_PROTO_TCP) nProtocol = ZEP_PROTO_UDP;
  TCPSocketData* p = NewAddressedRecord(ZEP_SOCK_SERVER, strHost, strPort, nProtocol);
  if (p == NULL) return -1;
  int s = p->m_nSocket;
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  SetMySocketOpt(s);
  if (bind(s, reinterpret_cast<sockaddr*>(&p->m_Addr), sizeof(p->m_Addr)) != 0 ||
      (nProtocol == ZEP_PROTO_TCP && listen(s, 5) != 0)) {
    DropRecord(p, true);
    return -1;
  }
  FillLocal(p);
  AddSocket(p);
  return s;
}

int ZEPTCP::CreateClient(const ZEPString& strHost, const ZEPString& strPort, int nProtocol) {
  if (strHost.IsEmpty()) return -1;
  if (nProtocol != ZEP_PROTO_TCP) nProtocol = ZEP_PROTO_UDP;
  TCPSocketData* p = NewAddressedRecord(ZEP_SOCK_CLIENT, strHost, strPort, nProtocol);
  if (p == NULL) return -1;
  int s = p->m_nSocket;
  SetMySocketOpt(s);
  if (connect(s, reinterpret_cast<sockaddr*>(&p->m_Addr), sizeof(p->m_Addr)) != 0) {
    DropRecord(p, true);
    return -1;
  }
  FillLocal(p);
  AddSocket(p);
  return s;
}

int ZEPTCP::CreateUDPSocket(int nKind) {
  int s = NewSocket(ZEP_PROTO_UDP);
  if (s < 0) return -1;
  SetMySocketOpt(s);
  TCPSocketData* p = NewRecord(nKind, ZEP_PROTO_UDP);
  p->m_nSocket = s;
  AddSocket(p);
  return s;
}

// ---------------------------------------------------------------- reading

TCPData* ZEPTCP::NewResult(ZEPList<TCPData>& list, int nSocket, int nProtocol) {
  TCPData* d = m_TCPDataPool.Malloc();
  ZEP_ASSERT(NULL != d);
  d->m_nSocket = nSocket;
  d->m_nGeneration = GetGeneration(nSocket);
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

TCPSocketData* ZEPTCP::AcceptChild(TCPSocketData* pListen, int nNew, const sockaddr_in& peer,
                                   bool bLocked) {
  SetMySocketOpt(nNew);
  TCPSocketData* p = NewRecord(ZEP_SOCK_CHILD, ZEP_PROTO_TCP);
  p->m_nSocket = nNew;
  p->m_Addr = peer;
  p->m_strIP = Dotted(peer.sin_addr.s_addr);
  p->m_strHost = p->m_strIP;
  p->m_nPort = ntohs(peer.sin_port);
  ZEPString port;
  port << p->m_nPort;
  p->m_strPort = port;
  p->m_nLocalPort = pListen->m_nLocalPort ? pListen->m_nLocalPort : pListen->m_nPort;
  p->m_strLocalIP = pListen->m_strIP;
  p->m_strListenHost = pListen->m_strHost;
  p->m_strListenPort = pListen->m_strPort;
  if (bLocked)
    ZEPTCP::AddSocket(p);  // Select runs under the engine lock already
  else
    AddSocket(p);
  return p;
}

int ZEPTCP::Accept(int nSocket, ZEPList<TCPData>& list) {
  TCPSocketData* pListen = SeekSocket(nSocket);
  if (pListen == NULL) return -1;
  sockaddr_in peer;
  int s = AcceptRaw(nSocket, &peer);
  if (s < 0) return -1;
  if (IsRefused(peer)) {
    CloseSocket(s);
    return -1;
  }
  AcceptChild(pListen, s, peer, true);
  TCPData* d = NewResult(list, nSocket, ZEP_PROTO_TCP);
  d->m_nRC = ZEP_TCP_NEW;
  d->m_nLength = sizeof(int);
  std::memcpy(d->m_Buffer, &s, sizeof(int));
  d->m_From = peer;
  return s;
}

// A read's result: code 1 with the bytes, or code 3 and the socket paused.
int ZEPTCP::SettleResult(TCPData* d, ssize_t n) {
  if (n > 0) {
    d->m_nRC = ZEP_TCP_DATA;
    d->m_nLength = static_cast<int>(n);
    return static_cast<int>(n);
  }
  SetPaused(d->m_nSocket, true);
  return 0;
}

int ZEPTCP::RecvTCPData(int nSocket, ZEPList<TCPData>& list) {
  TCPData* d = NewResult(list, nSocket, ZEP_PROTO_TCP);
  ssize_t n;
  do {
    n = read(nSocket, d->m_Buffer, static_cast<size_t>(GetSelectSize()));
  } while (n < 0 && errno == EINTR);
  return SettleResult(d, n);
}

int ZEPTCP::RecvUDPData(int nSocket, ZEPList<TCPData>& list) {
  TCPData* d = NewResult(list, nSocket, ZEP_PROTO_UDP);
  socklen_t len = sizeof(d->m_From);
  ssize_t n;
  do {
    n = recvfrom(nSocket, d->m_Buffer, sizeof(d->m_Buffer), 0,
                 reinterpret_cast<sockaddr*>(&d->m_From), &len);
  } while (n < 0 && errno == EINTR);
  return SettleResult(d, n);
}

int ZEPTCP::ReadOne(TCPSocketData* pNode, ZEPList<TCPData>& list) {
  if (pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP) {
    Accept(pNode->m_nSocket, list);
    return 0;
  }
  if (pNode->m_nProtocol == ZEP_PROTO_UDP) return RecvUDPData(pNode->m_nSocket, list);
  return RecvTCPData(pNode->m_nSocket, list);
}

bool ZEPTCP::ExpireRecord(TCPSocketData* pNode, int64_t nowMs) const {
  return nowMs >= pNode->ExpiryMs();
}

int ZEPTCP::FillPass(Rotation& rot, bool bResume, int nPriority, int64_t now) {
  SmartPtr<CListNode> cursor;
  TCPSocketData* p;
  if (bResume) {
    rot.m_ReadCursor = rot.m_FillCursor;
    cursor = rot.m_FillCursor;
    p = m_SocketList.GetNext(&cursor);
  } else {
    rot.m_ReadCursor.Release();
    p = m_SocketList.GetFirst(&cursor);
  }
  int count = 0;
  bool full = false;
  for (; p != NULL; p = m_SocketList.GetNext(&cursor)) {
    if (ExpireRecord(p, now)) {
      RemoveAtCursor(cursor, p);
      DropRecord(p, true);
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
  rot.m_bResume = full && m_SocketList.GetNext(&cursor) != NULL;
  return count;
}

bool ZEPTCP::ReadPass(Rotation& rot, bool bCycleResume, int nCount, int nPriority,
                      ZEPList<TCPData>& list) {
  SmartPtr<CListNode> cursor = rot.m_ReadCursor;
  TCPSocketData* p = bCycleResume ? m_SocketList.GetNext(&cursor) : m_SocketList.GetFirst(&cursor);
  const bool bAccount = nPriority == ZEP_PRIO_NORMAL;
  // Windows are wall-clock seconds, compared for a change rather than for
  // growth: a clock set back starts a new window instead of starving every
  // socket until it catches up.
  const int64_t t = static_cast<int64_t>(time(NULL));
  // The list is walked in the fill order, so the entries come up in turn;
  // records appended meanwhile (accepted children) are not in the array.
  for (int i = 0; p != NULL && i < nCount; p = m_SocketList.GetNext(&cursor)) {
    if (p != m_PollNode[i]) continue;
    const short rev = m_PollFD[i++].revents;
    // An error or hang-up is read as well, so that it is reported (code 3)
    // instead of being polled again and again.
    if ((rev & (POLLIN | POLLRDNORM | POLLERR | POLLHUP)) == 0 || !p->IsReadable()) continue;
    if (bAccount) {
      if (t != p->m_nSecond) {
        p->m_nSecond = t;
        p->m_nBytes = 0;
      } else if (p->m_nBytes >= p->m_nBandwidth.load()) {
        continue;
      }
      if (t != m_nTotalSecond) {
        m_nTotalSecond = t;
        m_nTotalBytes = 0;
      }
    }
    int n = ReadOne(p, list);
    if (n > 0) {
      if (bAccount) {
        p->m_nBytes += n;
        m_nTotalBytes += n;
      }
      if (p->m_bGetOnePacket.load()) p->m_bPaused = true;
    }
    if (bAccount && m_nTotalBytes >= m_nTotalBandwidth) {
      // Next second starts with the socket after this one.
      rot.m_FillCursor = cursor.Get();
      return false;
    }
  }
  return true;
}

int ZEPTCP::PopResult(ZEPList<TCPData>& list, ZEPFixMem<TCPData, 100, 10, 10>& pool, int& nSocket,
                      char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                      uint32_t* pGen) {
  TCPData* d = list.RemoveHead();
  if (d == NULL) return 0;
  nSocket = d->m_nSocket;
  if (pGen != NULL) *pGen = d->m_nGeneration;
  nLength = d->m_nLength;
  if (nLength > 0) std::memcpy(szBuffer, d->m_Buffer, static_cast<size_t>(nLength));
  nProtocol = d->m_nProtocol;
  if (pFrom != NULL) *pFrom = d->m_From;
  int rc = d->m_nRC;
  pool.Free(d);
  return rc;
}

int ZEPTCP::SelectOut(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                      int& nProtocol, ZEPList<TCPData>& list, uint32_t* pGen) {
  return PopResult(list, m_TCPDataPool, nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
}

int ZEPTCP::SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                                     int& nProtocol, uint32_t* pGen) {
  if (m_SocketList.GetCount() == 0) return 0;
  if (m_HighPendingList.GetCount() > 0)
    return PopResult(m_HighPendingList, m_TCPDataPool, nSocket, szBuffer, nLength, pFrom, nProtocol,
                     pGen);
  const int64_t now = ZEPMonoMs();
  do {
    bool bCycleResume = m_High.m_bResume;
    int count = FillPass(m_High, bCycleResume, ZEP_PRIO_HIGH, now);
    if (count == 0) break;
    int rc = poll(m_PollFD, static_cast<nfds_t>(count), 0);
    if (rc < 0) {
      LogPollFailure("SelectHighPrioritySocket", count, errno);
      m_High.m_bResume = false;
      return 0;
    }
    if (rc > 0) ReadPass(m_High, bCycleResume, count, ZEP_PRIO_HIGH, m_HighPendingList);
  } while (m_High.m_bResume);
  return PopResult(m_HighPendingList, m_TCPDataPool, nSocket, szBuffer, nLength, pFrom, nProtocol,
                   pGen);
}

int ZEPTCP::Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                   uint32_t* pGen) {
  if (m_SocketList.GetCount() == 0) return 0;
  int rc = SelectHighPrioritySocket(nSocket, szBuffer, nLength, pFrom, nProtocol, pGen);
  if (rc != 0) return rc;
  if (m_PendingList.GetCount() > 0)
    return PopResult(m_PendingList, m_TCPDataPool, nSocket, szBuffer, nLength, pFrom, nProtocol,
                     pGen);
  if (static_cast<int64_t>(time(NULL)) == m_nTotalSecond && m_nTotalBytes >= m_nTotalBandwidth)
    return 0;
  const int64_t now = ZEPMonoMs();
  do {
    bool bCycleResume = m_Normal.m_bResume;
    int count = FillPass(m_Normal, bCycleResume, ZEP_PRIO_NORMAL, now);
    // Nothing (more) to poll: hand out what earlier cycles read.
    if (count == 0) break;
    int prc = poll(m_PollFD, static_cast<nfds_t>(count), 0);
    if (prc < 0) {
      LogPollFailure("Select", count, errno);
      m_Normal.m_bResume = false;
      return 0;
    }
    if (prc > 0 && !ReadPass(m_Normal, bCycleResume, count, ZEP_PRIO_NORMAL, m_PendingList)) {
      m_Normal.m_bResume = true;  // the budget ran out: continue here next second
      break;
    }
  } while (m_Normal.m_bResume && m_nTotalBytes < m_nTotalBandwidth);
  return PopResult(m_PendingList, m_TCPDataPool, nSocket, szBuffer, nLength, pFrom, nProtocol,
                   pGen);
}

int ZEPTCP::CountResults(ZEPList<TCPData>& list, int nSocket) const {
  int n = 0;
  SmartPtr<CListNode> cursor;
  for (TCPData* d = list.GetFirst(&cursor); d != NULL; d = list.GetNext(&cursor))
    if (d->m_nSocket == nSocket) ++n;
  return n;
}

int ZEPTCP::GetSocketBufDataCount(int nSocket) {
  return CountResults(m_PendingList, nSocket) + CountResults(m_HighPendingList, nSocket);
}

bool ZEPTCP::IsSocketInPollFD(int nSocket, int nCount, int nMask) const {
  if (nCount > m_nPollCapacity) nCount = m_nPollCapacity;
  for (int i = 0; i < nCount; ++i)
    if (m_PollFD[i].fd == nSocket && (m_PollFD[i].revents & nMask) != 0) return true;
  return false;
}

// ---------------------------------------------------------------- sending

int ZEPTCP::SendData(int nSocket, const char* pData, int nLength) {
  if (nSocket <= 0 || pData == NULL || nLength < 0) return -1;
  if (nLength == 0) nLength = static_cast<int>(std::strlen(pData));
  // A short write on a stream would leave half a message behind that a
  // retry could not repair: finish it (or fail) here.
  int done = 0;
  while (done < nLength) {
    ssize_t n = send(nSocket, pData + done, static_cast<size_t>(nLength - done), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<int>(n);
  }
  return 0;
}

int ZEPTCP::SendUdpTo(int nSocket, const sockaddr* pAddr, const char* pData, int nLength) {
  if (pAddr == NULL || pData == NULL || nLength < 0) return -1;
  return static_cast<int>(sendto(nSocket, pData, static_cast<size_t>(nLength), MSG_NOSIGNAL, pAddr,
                                 sizeof(sockaddr_in)));
}

// ---------------------------------------------------------------- setters

int ZEPTCP::SetStarted(int nSocket, bool b) {
  return WithRecord(nSocket, [b](TCPSocketData* p) { p->m_bStarted = b; });
}
int ZEPTCP::SetPaused(int nSocket, bool b) {
  return WithRecord(nSocket, [b](TCPSocketData* p) {
    p->m_bPaused = b;
    p->Wake();
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
  p->Wake();
  return 0;
}
int ZEPTCP::SetGetOnePacket(int nSocket, bool b) {
  return WithRecord(nSocket, [b](TCPSocketData* p) { p->m_bGetOnePacket = b; });
}
int ZEPTCP::SetPriority(int nSocket, int n) {
  return WithRecord(nSocket, [n](TCPSocketData* p) {
    p->m_nPriority = n;
    p->Wake();  // the owner applies it to its thread at once
  });
}
int ZEPTCP::SetTime2Die(int nSocket, long n) {
  return WithRecord(nSocket, [this, n](TCPSocketData* p) {
    if (n == 0) {
      p->m_nDieMs = 0;
      return;
    }
    // The wall-clock time is turned into a monotonic deadline once, so a
    // later change of the wall clock does not move it.
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    int64_t wallMs = static_cast<int64_t>(wall.tv_sec) * 1000 + wall.tv_nsec / 1000000;
    int64_t die = ZEPMonoMs() + (static_cast<int64_t>(n) * 1000 - wallMs);
    p->m_nDieMs = die > 0 ? die : 1;
    DeadlineAdded(p->ExpiryMs());
  });
}
int ZEPTCP::SetStartTimeout(int nSocket, int n) {
  return WithRecord(nSocket, [this, n](TCPSocketData* p) {
    p->m_nStartTimeout = n;
    DeadlineAdded(p->ExpiryMs());
  });
}

int ZEPTCP::SetBandwidth(int nSocket, int nBandwidth) {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p != NULL) p->m_nBandwidth = nBandwidth;
  return 0;
}

void ZEPTCP::SetSelectSize(int n) {
  // Reads land in a 4096-byte event buffer.
  if (n < 1) n = 1;
  if (n > ZEP_TCP_BUFSIZE) n = ZEP_TCP_BUFSIZE;
  m_nSelectSize = n;
}

int ZEPTCP::SetSocketSendBuffer(int nSocket, long nSize) {
  int v = static_cast<int>(nSize);
  return setsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &v, sizeof(v));
}

int ZEPTCP::SetSocketRecvBuffer(int nSocket, long nSize) {
  int v = static_cast<int>(nSize);
  return setsockopt(nSocket, SOL_SOCKET, SO_RCVBUF, &v, sizeof(v));
}

int ZEPTCP::GetSocketSendBuffer(int nSocket) {
  int v = 0;
  socklen_t len = sizeof(v);
  if (getsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &v, &len) != 0) return -1;
  return v;
}

int ZEPTCP::GetSocketRecvBuffer(int nSocket) {
  int v = 0;
  socklen_t len = sizeof(v);
  if (getsockopt(nSocket, SOL_SOCKET, SO_RCVBUF, &v, &len) != 0) return -1;
  return v;
}

// ---------------------------------------------------------------- queries

ZEPString ZEPTCP::GetIPAddr(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  return p ? p->m_strIP : ZEPString("");
}

ZEPString ZEPTCP::GetPeerIP(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL || p->m_nKind == ZEP_SOCK_SERVER) return ZEPString("");
  return p->m_strIP;
}

int ZEPTCP::GetPeerPort(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL || p->m_nKind == ZEP_SOCK_SERVER) return 0;
  return p->m_nPort;
}

ZEPString ZEPTCP::GetLocalIP(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  return p ? p->m_strLocalIP : ZEPString("");
}

int ZEPTCP::GetLocalPort(int nSocket) const {
  TCPSocketData* p = SeekSocket(nSocket);
  return p ? p->m_nLocalPort : 0;
}

int ZEPTCP::GetClientSockAddr(int nSocket, sockaddr* pAddr) const {
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL || pAddr == NULL) return -1;
  std::memcpy(pAddr, &p->m_Addr, sizeof(p->m_Addr));
  return 0;
}

bool ZEPTCP::IsSocketWritable(int nSocket) const {
  if (nSocket < 0) return false;
  pollfd pfd;
  pfd.fd = nSocket;
  pfd.events = POLLOUT;
  pfd.revents = 0;
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLOUT) != 0;
}

int ZEPTCP::CountChild(const ZEPString& strHost, const ZEPString& strPort) const {
  int n = 0;
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor))
    if (p->m_nKind == ZEP_SOCK_CHILD && p->m_strListenHost == strHost &&
        p->m_strListenPort == strPort)
      ++n;
  return n;
}

// ------------------------------------------------------------- black list

bool ZEPTCP::IsBlackListed(uint32_t nAddr) const {
  for (uint32_t a : m_BlackList)
    if (a == nAddr) return true;
  return false;
}

int ZEPTCP::AddIPBlackList(const char* szIP) {
  uint32_t a = 0;
  // inet_addr's INADDR_NONE for a bad text would black-list 255.255.255.255.
  if (szIP == NULL || !ParseIPv4(szIP, &a)) return -1;
  if (IsBlackListed(a)) return 1;
  m_BlackList.push_back(a);
  return 0;
}

int ZEPTCP::DelIPBlackList(const char* szIP) {
  uint32_t a = 0;
  if (szIP == NULL || !ParseIPv4(szIP, &a)) return 1;
  for (size_t i = 0; i < m_BlackList.size(); ++i) {
    if (m_BlackList[i] == a) {
      m_BlackList.erase(m_BlackList.begin() + static_cast<long>(i));
      return 0;
    }
  }
  return 1;
}

// ---------------------------------------------------------- name utilities

bool ZEPTCP::ParseIPv4(const char* szIP, uint32_t* pAddr) {
  if (szIP == NULL) return false;
  uint32_t host = 0;
  const char* s = szIP;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*s != '.') return false;
      ++s;
    }
    int digits = 0;
    unsigned v = 0;
    while (*s >= '0' && *s <= '9') {
      if (++digits > 3) return false;
      v = v * 10 + static_cast<unsigned>(*s - '0');
      ++s;
    }
    if (digits == 0 || v > 255) return false;
    host = (host << 8) | v;
  }
  if (*s != '\0') return false;
  if (pAddr != NULL) *pAddr = htonl(host);
  return true;
}

bool ZEPTCP::IsIPAddr(const char* szIP) { return ParseIPv4(szIP, NULL); }

bool ZEPTCP::IsDigitalStr(const char* sz) {
  if (sz == NULL) return false;
  for (; *sz != '\0'; ++sz)
    if (*sz < '0' || *sz > '9') return false;
  return true;
}

int ZEPTCP::HostToIP(const ZEPString& strHost, ZEPString& strIP) {
  const char* host = Txt(strHost);
  if (IsIPAddr(host)) {
    strIP = host;
    return 0;
  }
  uint32_t a = 0;
  if (*host == '\0' || !Resolve(host, &a)) return -1;
  strIP = Dotted(a);
  return 0;
}

ZEPString ZEPTCP::GetHostname() {
  char buf[128];
  if (gethostname(buf, sizeof(buf)) != 0) return ZEPString("");
  buf[sizeof(buf) - 1] = '\0';
  return ZEPString(buf);
}

ZEPString ZEPTCP::GetHostIP() {
  ZEPString name = GetHostname();
  uint32_t a = 0;
  if (name.IsEmpty() || !Resolve(name.GetText(), &a)) return ZEPString("");
  return Dotted(a);
}

bool ZEPTCP::IsMyIP(const ZEPString& strIP, int nPort) {
  uint32_t a = 0;
  if (!ParseIPv4(Txt(strIP), &a)) return false;
  int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s < 0) return false;
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = a;
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  int rc = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  int err = errno;
  CloseSocket(s);
  // Only a local address can have a port in use; a foreign one fails with
  // EADDRNOTAVAIL. Reading "in use" as foreign would make the client log in
  // again at every watch tick.
  return rc == 0 || err == EADDRINUSE;
}

const char* ZEPTCP::ReadUntil(const char* szText, const char* szDelims) {
  if (szText == NULL) return NULL;
  if (szDelims == NULL) szDelims = " \t\r\n";
  for (const char* p = szText; *p != '\0'; ++p)
    if (std::strchr(szDelims, *p) != NULL) return p;
  return NULL;
}
