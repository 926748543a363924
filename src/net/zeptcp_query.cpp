// ZEPTCP: sending, the record queries and the name utilities.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>

#include <cstring>

#include "net/zepaddr.h"
#include "net/zeptcp.h"

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

// ---------------------------------------------------------- name utilities

bool ZEPTCP::IsIPAddr(const char* szIP) { return ZEPParseIPv4(szIP, NULL); }

bool ZEPTCP::IsDigitalStr(const char* sz) { return ZEPIsDecimal(sz); }

int ZEPTCP::HostToIP(const ZEPString& strHost, ZEPString& strIP) {
  const char* host = strHost.GetSafeText();
  if (IsIPAddr(host)) {
    strIP = host;  // a literal as given
    return 0;
  }
  uint32_t a = 0;
  if (!ZEPResolveIPv4(host, &a)) return -1;
  strIP = ZEPIPv4Text(a);
  return 0;
}

ZEPString ZEPTCP::GetHostname() { return ZEPHostName(); }

ZEPString ZEPTCP::GetHostIP() {
  ZEPString name = ZEPHostName();
  uint32_t a = 0;
  if (!ZEPResolveIPv4(name.GetSafeText(), &a)) return ZEPString("");
  return ZEPIPv4Text(a);
}

bool ZEPTCP::IsMyIP(const ZEPString& strIP, int nPort) {
  uint32_t a = 0;
  if (!ZEPParseIPv4(strIP.GetSafeText(), &a)) return false;
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
