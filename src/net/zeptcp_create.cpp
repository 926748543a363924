// ZEPTCP: socket creation. Servers, clients, UDP and netlink sockets get a
// descriptor and a record here, with the socket options every socket gets
// and the logging of descriptor and local-port shortages.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/ip.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/netlink.h>
#endif

#include <cstring>

#include "log/zeplog.h"
#include "net/zepaddr.h"
#include "net/zeptcp.h"

// --------------------------------------------------------------- creation

int ZEPTCP::Sockaddr(TCPSocketData* pNode) {
  std::memset(&pNode->m_Addr, 0, sizeof(pNode->m_Addr));
  pNode->m_Addr.sin_family = AF_INET;
  const char* host = pNode->m_strHost.GetSafeText();
  uint32_t addr = htonl(INADDR_ANY);
  if (*host != '\0' && !ZEPResolveIPv4(host, &addr)) return -1;
  pNode->m_Addr.sin_addr.s_addr = addr;
  pNode->m_strIP = ZEPIPv4Text(addr);
  int nPort = ZEPParsePort(pNode->m_strPort.GetSafeText(), pNode->m_nProtocol == ZEP_PROTO_TCP);
  if (nPort < 0) return -1;
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

namespace {

// The reason a socket() failed, for the log; null when it is no shortage.
const char* ShortageText(int error) {
  switch (error) {
    case EMFILE:
      return "the process is out of descriptors (EMFILE)";
    case ENFILE:
      return "the system's file table is full (ENFILE)";
    case ENOBUFS:
    case ENOMEM:
      return "the kernel is out of memory for sockets";
    default:
      return nullptr;
  }
}

long DescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long>(lim.rlim_cur);
}

}  // namespace

int ZEPTCP::OpenSocket(int nDomain, int nType, int nProtocol) {
  int s = socket(nDomain, nType, nProtocol);
  if (s >= 0) {
    if (uint64_t failed = m_DescriptorShortage.Recovered(ZEPMonoMs()))
      ZEP_LOG_LINE(LOG_INFO,
                   "Sockets can be opened again; " << failed << " could not be meanwhile.");
    return s;
  }
  const int error = errno;
  const char* why = ShortageText(error);
  if (why != nullptr && m_DescriptorShortage.Failed(ZEPMonoMs())) {
    ZEP_LOG_LINE(LOG_WARN,
                 "A socket cannot be opened: "
                     << why << ", descriptor limit " << DescriptorLimit()
                     << "; links fail until descriptors are free (said once until then).");
  }
  errno = error;
  return -1;
}

int ZEPTCP::ConnectSocket(int nSocket, const sockaddr_in& addr) {
  int rc = connect(nSocket, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  if (rc == 0) {
    if (uint64_t failed = m_PortShortage.Recovered(ZEPMonoMs()))
      ZEP_LOG_LINE(LOG_INFO,
                   "Local ports are free again; " << failed << " connects failed meanwhile.");
    return 0;
  }
  const int error = errno;
  // A datagram socket's connect binds a local port; none free is EAGAIN.
  if (error == EAGAIN && m_PortShortage.Failed(ZEPMonoMs())) {
    ZEP_LOG_LINE(LOG_WARN,
                 "A socket cannot be connected: no local port is free (EAGAIN, see "
                 "net.ipv4.ip_local_port_range); links fail until one is (said once "
                 "until then).");
  }
  errno = error;
  return rc;
}

int ZEPTCP::NewSocket(int nProtocol) {
  if (nProtocol == ZEP_PROTO_TCP) return OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
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
    DiscardNewRecord(p);
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
    p->m_strLocalIP = ZEPIPv4Text(local.sin_addr.s_addr);
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
    DiscardNewRecord(p);
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
  if (ConnectSocket(s, p->m_Addr) != 0) {
    DiscardNewRecord(p);
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

int ZEPTCP::CreateNetlinkSocket(int nProtocol, uint32_t nGroups) {
#ifdef __linux__
  int s = OpenSocket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, nProtocol);
  if (s < 0) return -1;
  sockaddr_nl addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = nGroups;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int error = errno;
    close(s);
    errno = error;
    return -1;
  }
  TCPSocketData* p = NewRecord(ZEP_SOCK_SERVER, ZEP_PROTO_UDP);
  p->m_nSocket = s;
  p->m_strHost = "netlink";
  ZEPString port;
  port << nProtocol;
  p->m_strPort = port;
  AddSocket(p);
  return s;
#else
  (void)nProtocol;
  (void)nGroups;
  errno = EAFNOSUPPORT;
  return -1;
#endif
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
