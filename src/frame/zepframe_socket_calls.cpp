// ZEPFrame, socket half: the UDP services and the socket calls the frame
// forwards to the engine, each under the engine lock where the engine needs
// it.
#include <arpa/inet.h>

#include "base/lockguard.h"
#include "frame/zepframe.h"
#include "net/zepaddr.h"
#include "net/zepmttcp.h"

// --------------------------------------------------------- UDP services

ZEPString ZEPFrame::GetUDPPackageIP(CTCPEvent* ev) {
  if (ev == nullptr) return ZEPString("");
  return ZEPIPv4Text(ev->GetSenderAddr()->sin_addr.s_addr);
}

int ZEPFrame::GetUDPPackagePort(CTCPEvent* ev) {
  if (ev == nullptr) return 0;
  return ntohs(ev->GetSenderAddr()->sin_port);
}

int ZEPFrame::ReplyUDPData(CTCPEvent* ev, const char* data, int length) {
  if (ev == nullptr) return -1;
  return m_pTCP->SendUdpTo(ev->GetSocket(), reinterpret_cast<const sockaddr*>(ev->GetSenderAddr()),
                           data, length);
}

// ------------------------------------------------- forwarding to the engine

int ZEPFrame::CreateServer(const ZEPString& host, const ZEPString& port, int protocol) {
  return m_pTCP->CreateServer(host, port, protocol);
}
int ZEPFrame::CreateClient(const ZEPString& host, const ZEPString& port, int protocol) {
  return m_pTCP->CreateClient(host, port, protocol);
}
int ZEPFrame::CreateUDPSocket(int kind) { return m_pTCP->CreateUDPSocket(kind); }
int ZEPFrame::CreateNetlinkSocket(int protocol, uint32_t groups) {
  return m_pTCP->CreateNetlinkSocket(protocol, groups);
}
int ZEPFrame::SendData(int sock, const char* data, int length) {
  return m_pTCP->SendData(sock, data, length);
}
int ZEPFrame::SendUdpTo(int sock, const sockaddr* addr, const char* data, int length) {
  return m_pTCP->SendUdpTo(sock, addr, data, length);
}

// Called by a node's queue with its queue lock held: takes only the engine
// lock and calls back into no queue.
int ZEPFrame::SetFCPaused(int sock, bool paused) { return SetFCPaused(sock, 0, paused); }
int ZEPFrame::SetFCPaused(int sock, uint32_t generation, bool paused) {
  if (m_pTCP == nullptr) return -1;
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(sock)) << 32) | generation;
  auto it = m_FCPausers.find(key);
  if (paused) {
    if (it != m_FCPausers.end()) {
      ++it->second;  // paused already, for another counter
      return 0;
    }
    const int rc = m_pTCP->SetFCPaused(sock, generation, true);
    // A pause that reached no record (gone, or of another generation) holds
    // nothing, and its resume is ignored below.
    if (rc == 0) m_FCPausers[key] = 1;
    return rc;
  }
  if (it == m_FCPausers.end()) return -1;
  if (--it->second > 0) return 0;
  m_FCPausers.erase(it);
  return m_pTCP->SetFCPaused(sock, generation, false);
}
int ZEPFrame::SetPaused(int sock, bool paused) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetPaused(sock, paused);
}
int ZEPFrame::SetGetOnePacket(int sock, bool one) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetGetOnePacket(sock, one);
}
int ZEPFrame::SetTime2Die(int sock, long when) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetTime2Die(sock, when);
}
int ZEPFrame::SetStartTimeout(int sock, int seconds) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetStartTimeoutLocked(sock, seconds);
}
int ZEPFrame::SetStarted(int sock, bool start) { return m_pTCP->SetStarted(sock, start); }
int ZEPFrame::SetSocketPriority(int sock, int priority) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetPriority(sock, priority);
}
int ZEPFrame::SetBandwidth(int sock, int bytesPerSecond) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetBandwidth(sock, bytesPerSecond);
}
void ZEPFrame::SetDefaultConnBandwidth(int n) { m_pTCP->SetDefaultConnBandwidth(n); }
int ZEPFrame::GetDefaultConnBandwidth() { return m_pTCP->GetDefaultConnBandwidth(); }
void ZEPFrame::SetDefaultTotalBandwidth(int n) { m_pTCP->SetTotalBandwidth(n); }
void ZEPFrame::SetSelectSize(int n) { m_pTCP->SetSelectSize(n); }
int ZEPFrame::GetSocketRecvBuffer(int sock) { return m_pTCP->GetSocketRecvBuffer(sock); }
int ZEPFrame::SetSocketRecvBuffer(int sock, long size) {
  return m_pTCP->SetSocketRecvBuffer(sock, size);
}
int ZEPFrame::GetSocketSendBuffer(int sock) { return m_pTCP->GetSocketSendBuffer(sock); }
int ZEPFrame::SetSocketSendBuffer(int sock, long size) {
  return m_pTCP->SetSocketSendBuffer(sock, size);
}
int ZEPFrame::GetClientSockAddr(int sock, sockaddr* addr) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetClientSockAddr(sock, addr);
}
int ZEPFrame::GetSocketBufDataCount(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetSocketBufDataCount(sock);
}
ZEPString ZEPFrame::GetIPAddr(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetIPAddr(sock);
}
int ZEPFrame::GetPeerPort(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetPeerPort(sock);
}
ZEPString ZEPFrame::GetPeerIP(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetPeerIP(sock);
}
int ZEPFrame::GetLocalPort(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetLocalPort(sock);
}
ZEPString ZEPFrame::GetLocalIP(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetLocalIP(sock);
}
int ZEPFrame::SeekSocket(int sock, TCPSocketInfo* copy) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  const TCPSocketData* p = m_pTCP->SeekSocket(sock);
  if (p == nullptr) return -1;
  if (copy != nullptr) p->GetInfo(copy);
  return 0;
}
uint32_t ZEPFrame::GetSocketGeneration(int sock) { return m_pTCP->GetGeneration(sock); }
ZEPString ZEPFrame::GetHostname() { return ZEPTCP::GetHostname(); }
ZEPString ZEPFrame::GetHostIP() { return ZEPTCP::GetHostIP(); }
int ZEPFrame::HostToIP(const ZEPString& host, ZEPString& ip) { return ZEPTCP::HostToIP(host, ip); }
bool ZEPFrame::IsMyIP(const ZEPString& ip, int port) { return m_pTCP->IsMyIP(ip, port); }
bool ZEPFrame::IsSocketWritable(int sock) { return m_pTCP->IsSocketWritable(sock); }
int ZEPFrame::AddIPBlackList(const char* ip) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->AddIPBlackList(ip);
}
int ZEPFrame::DelIPBlackList(const char* ip) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->DelIPBlackList(ip);
}
void ZEPFrame::ClrIPBlackList() {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  m_pTCP->ClrIPBlackList();
}
int ZEPFrame::CountChild(const ZEPString& host, const ZEPString& port) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->CountChild(host, port);
}
