// zeptcp.h — ZEPTCP, the socket engine: every socket the nodes use.
//
// Owns: one TCPSocketData record per socket (listeners, clients, accepted
// children, UDP sockets), kept in m_SocketList and drawn from the thread-safe
// pool m_TCPSocketDataPool; the TCPData read results waiting to be handed out
// by Select (m_PendingList, m_HighPendingList, drawn from m_TCPDataPool); the
// IPv4 black list; the poll array of one Select cycle. Closing a record's
// descriptor and returning the record to its pool is the engine's job.
//
// Threads: ZEPTCP has no lock of its own. Everything that touches the socket
// list, a record, the pending lists or the black list must be serialised by
// the caller with the engine lock of ZEP_MTTcp (zepsktthrdpool.h). Record
// allocation and release also take the record pool's own mutex (a leaf lock,
// taken inside the engine lock), because socket threads free records while
// other threads create them. Creation (CreateServer, CreateClient,
// CreateUDPSocket) runs without the engine lock and only locks inside
// AddSocket; SendData, SendUdpTo, the buffer options and the name utilities
// touch no engine state and may be called from any thread at any time.
//
// Record flags that an owning socket thread reads without the engine lock
// (started, paused, flow-control paused, get-one-packet, close pending,
// priority, bandwidth) are atomics; they are still only written under the
// engine lock.
//
// Lock order: (caller's map / node-list / queue locks) -> engine lock -> record
// pool lock; g_LogMutex innermost (CloseSocket logs while the engine lock may
// be held).
#ifndef ZEP_NET_ZEPTCP_H
#define ZEP_NET_ZEPTCP_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "base/zepfixmem.h"
#include "base/zepstring.h"
#include "base/zeptlist.h"

// Kinds of socket record.
enum {
  ZEP_SOCK_SERVER = 1,  // listening TCP socket or bound UDP socket
  ZEP_SOCK_CHILD = 2,   // TCP connection accepted by a listener
  ZEP_SOCK_CLIENT = 3   // created by CreateClient
};
// Protocols of a record and of a read result.
enum { ZEP_PROTO_TCP = 1, ZEP_PROTO_UDP = 2 };
// Result codes of a read (and of a CTCPEvent).
enum { ZEP_RC_DATA = 1, ZEP_RC_NEW = 2, ZEP_RC_CLOSE = 3 };

// Largest datagram and largest read: the size of an event's buffer.
constexpr int ZEP_TCP_BUFSIZE = 4096;

struct TCPSocketData {
  int m_nSocket;
  sockaddr_in m_Addr;  // client: the server; server: the bound address; child: the peer
  int m_nKind;
  ZEPString m_strHost;
  ZEPString m_strPort;
  ZEPString m_strIP;
  int m_nPort;  // host order
  int m_nLocalPort;
  ZEPString m_strLocalIP;
  ZEPString m_strListenHost;
  ZEPString m_strListenPort;
  int m_nSecond;  // Select's per-second byte window
  int m_nBytes;
  std::atomic<int> m_nBandwidth;  // bytes per second
  std::atomic<bool> m_bStarted;
  std::atomic<bool> m_bPaused;
  std::atomic<bool> m_bGetOnePacket;
  std::atomic<bool> m_bFCPaused;
  long m_nCreateTime;
  std::atomic<int> m_nStartTimeout;  // seconds an unstarted record may live
  std::atomic<long> m_nTime2Die;     // absolute time(); 0 = never
  int m_nProtocol;
  std::atomic<int> m_nPriority;  // 1 high, 2 normal
  std::atomic<bool> m_bClosePending;
  std::atomic<bool> m_bCloseOnClear;
  int m_nThreadSecond;  // the owning socket thread's byte window
  int m_nThreadBytes;
  // Lets an owning socket thread that idles on a pause wake as soon as the
  // pause is lifted or close pending is set, not only at its next 1 ms look.
  std::mutex m_WaitLock;
  std::condition_variable m_WaitCond;

  TCPSocketData() { Init(true, 0); }
  // Resets a record taken from the pool to the creation defaults.
  void Init(bool bFull, int nBandwidth);
  // Started, not paused by anyone: a candidate for reading.
  bool IsReadable() const { return m_bStarted.load() && !m_bPaused.load() && !m_bFCPaused.load(); }
  bool IsHeld() const { return m_bPaused.load() || m_bFCPaused.load(); }
  // Wakes the owner after a flag change; the waiter lock is a leaf lock.
  void Wake() {
    { std::lock_guard<std::mutex> lk(m_WaitLock); }
    m_WaitCond.notify_all();
  }
};

struct TCPData {
  int m_nSocket;
  char m_Buffer[ZEP_TCP_BUFSIZE];
  int m_nLength;
  int m_nRC;
  int m_nProtocol;
  sockaddr_in m_From;
};

class ZEPTCP {
 public:
  static const int kPollCapacity = 1024;
  static const int kFDSetSize = 2500;
  static const int kDefaultBandwidth = 10 * 1024 * 1024;
  static const int kDefaultStartTimeout = 60;

  ZEPTCP();
  virtual ~ZEPTCP();
  ZEPTCP(const ZEPTCP&) = delete;
  ZEPTCP& operator=(const ZEPTCP&) = delete;

  // Stamps the create time and appends the record. Caller holds the engine
  // lock (ZEP_MTTcp's override takes it itself).
  virtual int AddSocket(TCPSocketData* pNode);
  // close(); a close that takes more than 2 s is logged.
  virtual int CloseSocket(int nSocket);

  // --- Creation: descriptor or -1 (nothing is left behind on failure).
  int CreateServer(const ZEPString& strHost, const ZEPString& strPort, int nProtocol);
  int CreateClient(const ZEPString& strHost, const ZEPString& strPort, int nProtocol);
  int CreateUDPSocket(int nKind);
  int Sockaddr(TCPSocketData* pNode);
  void SetMySocketOpt(int nSocket);

  // --- Reading (engine lock held). Each appends one result to `list`.
  int Accept(int nSocket, ZEPList<TCPData>& list);
  int RecvTCPData(int nSocket, ZEPList<TCPData>& list);
  int RecvUDPData(int nSocket, ZEPList<TCPData>& list);
  // One result per call, 0 when nothing is ready; never blocks. `szBuffer`
  // must hold ZEP_TCP_BUFSIZE bytes; `pFrom` may be null.
  int Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol);
  int SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                               int& nProtocol);
  int SelectOut(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                ZEPList<TCPData>& list);

  // --- Sending (no engine state; any thread).
  int SendData(int nSocket, const char* pData, int nLength);
  int SendUdpTo(int nSocket, const sockaddr* pAddr, const char* pData, int nLength);

  // Removes the record and, with bClose, closes the descriptor. 0, or -1 when
  // the socket has no record. Engine lock held.
  int ClearNode(int nSocket, bool bClose);
  TCPSocketData* SeekSocket(int nSocket) const;
  int GetSocketCount() const { return static_cast<int>(m_SocketList.GetCount()); }

  // --- Per-socket setters (engine lock held): -1 without a record, else 0.
  int SetStarted(int nSocket, bool bStarted);
  int SetPaused(int nSocket, bool bPaused);
  int SetFCPaused(int nSocket, bool bPaused);
  int SetGetOnePacket(int nSocket, bool bOne);
  int SetPriority(int nSocket, int nPriority);
  int SetTime2Die(int nSocket, long nTime);
  int SetStartTimeout(int nSocket, int nSeconds);
  int SetBandwidth(int nSocket, int nBandwidth);  // 0 even without a record

  // --- Engine settings.
  void SetDefaultConnBandwidth(int n) { m_nDefaultConnBandwidth = n; }
  int GetDefaultConnBandwidth() const { return m_nDefaultConnBandwidth; }
  void SetTotalBandwidth(int n) { m_nTotalBandwidth = n; }
  int GetTotalBandwidth() const { return m_nTotalBandwidth; }
  // Bytes asked of one TCP read(), kept within 1..ZEP_TCP_BUFSIZE.
  void SetSelectSize(int n);
  int GetSelectSize() const { return m_nSelectSize.load(); }
  int GetFDSetSize() const { return kFDSetSize; }

  // --- Socket buffer options (no engine state).
  int SetSocketSendBuffer(int nSocket, long nSize);
  int SetSocketRecvBuffer(int nSocket, long nSize);
  int GetSocketSendBuffer(int nSocket);
  int GetSocketRecvBuffer(int nSocket);

  // --- Record queries (engine lock held).
  ZEPString GetIPAddr(int nSocket) const;
  ZEPString GetPeerIP(int nSocket) const;
  int GetPeerPort(int nSocket) const;
  ZEPString GetLocalIP(int nSocket) const;
  int GetLocalPort(int nSocket) const;
  int GetClientSockAddr(int nSocket, sockaddr* pAddr) const;
  int GetSocketBufDataCount(int nSocket);
  bool IsSocketInPollFD(int nSocket, int nCount, int nMask) const;

  // Writable right now; any descriptor value is safe (poll, not an fd_set).
  bool IsSocketWritable(int nSocket) const;

  // --- Name utilities (no engine state; any thread).
  static bool IsIPAddr(const char* szIP);
  // Parses a dotted-decimal text of four parts 0-255 into a network-order
  // address; false for anything else.
  static bool ParseIPv4(const char* szIP, uint32_t* pAddr);
  static bool IsDigitalStr(const char* sz);
  static int HostToIP(const ZEPString& strHost, ZEPString& strIP);
  static ZEPString GetHostname();
  static ZEPString GetHostIP();
  bool IsMyIP(const ZEPString& strIP, int nPort);
  static const char* ReadUntil(const char* szText, const char* szDelims);

  // --- Black list (engine lock held). Addresses are kept in network order.
  int AddIPBlackList(const char* szIP);
  int DelIPBlackList(const char* szIP);
  void ClrIPBlackList() { m_BlackList.clear(); }
  bool IsBlackListed(uint32_t nAddr) const;

  // Kind-2 records accepted by the listener created with this host and port
  // text. Engine lock held.
  int CountChild(const ZEPString& strHost, const ZEPString& strPort) const;

  unsigned GetTCPDataPoolCount() const { return m_TCPDataPool.GetCount(); }
  unsigned GetTCPSocketDataPoolCount();

 protected:
  // Record pool access under the pool's own lock.
  TCPSocketData* NewRecord(int nKind, int nProtocol);
  void FreeRecord(TCPSocketData* pNode);
  // Closes (when asked) and frees a record that is no longer in the list.
  void DropRecord(TCPSocketData* pNode, bool bClose);
  // Removes the record at the cursor; the cursor must stand on it.
  void RemoveAtCursor(SmartPtr<CListNode>& cursor, TCPSocketData* pNode);
  // Builds a kind-2 record for a new descriptor accepted on pListen. Returns
  // the record (already added with AddSocket's non-locking form when
  // bLocked, else through the virtual AddSocket), or null when refused.
  TCPSocketData* AcceptChild(TCPSocketData* pListen, int nNew, const sockaddr_in& peer,
                             bool bLocked);
  // One accept() on the listener: the new descriptor (peer filled) or -1.
  int AcceptRaw(int nListen, sockaddr_in* pPeer);
  // A new connection that must be closed at once: the engine is at its
  // descriptor ceiling or the peer is black-listed. Engine lock held.
  bool IsRefused(const sockaddr_in& peer) const {
    return IsAtCeiling() || IsBlackListed(peer.sin_addr.s_addr);
  }
  bool IsAtCeiling() const { return GetSocketCount() >= GetFDSetSize() - 10; }

  TCPData* NewResult(ZEPList<TCPData>& list, int nSocket, int nProtocol);
  int SettleResult(TCPData* d, ssize_t n);
  TCPSocketData* NewAddressedRecord(int nKind, const ZEPString& strHost, const ZEPString& strPort,
                                    int nProtocol);

  ZEPList<TCPSocketData> m_SocketList;
  ZEPMTFixMem<TCPSocketData, 100, 10, 10> m_TCPSocketDataPool;

 private:
  // The rotation state of one Select flavour (normal or high priority).
  struct Rotation {
    SmartPtr<CListNode> m_FillCursor;  // last record put into the poll array (or read)
    SmartPtr<CListNode> m_ReadCursor;  // where the current cycle's reading starts after
    bool m_bResume = false;
  };
  // Fills the poll array from the list, expiring records on the way. Returns
  // the entry count; sets rot.m_bResume when the array filled up before the
  // end of the list.
  int FillPass(Rotation& rot, bool bResume, int nPriority, long now);
  // Reads the ready records of the last FillPass; nPriority 2 does the
  // bandwidth accounting. Returns false when the total budget ran out.
  bool ReadPass(Rotation& rot, bool bCycleResume, int nCount, int nPriority,
                ZEPList<TCPData>& list);
  template <class F>
  int WithRecord(int nSocket, F f) {
    TCPSocketData* p = SeekSocket(nSocket);
    if (p == NULL) return -1;
    f(p);
    return 0;
  }
  bool ExpireRecord(TCPSocketData* pNode, long now) const;
  int ReadOne(TCPSocketData* pNode, ZEPList<TCPData>& list);
  static int PopResult(ZEPList<TCPData>& list, ZEPFixMem<TCPData, 100, 10, 10>& pool, int& nSocket,
                       char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol);
  int CountResults(ZEPList<TCPData>& list, int nSocket) const;
  void DropResults(ZEPList<TCPData>& list, int nSocket);

  ZEPList<TCPData> m_PendingList;
  ZEPList<TCPData> m_HighPendingList;
  ZEPFixMem<TCPData, 100, 10, 10> m_TCPDataPool;
  pollfd m_PollFD[kPollCapacity];
  TCPSocketData* m_PollNode[kPollCapacity];
  int m_nPollCapacity;
  int m_nDefaultConnBandwidth;
  int m_nTotalBandwidth;
  std::atomic<int> m_nSelectSize;
  long m_nTotalSecond;
  int m_nTotalBytes;
  Rotation m_Normal;
  Rotation m_High;
  std::vector<uint32_t> m_BlackList;
};

#endif  // ZEP_NET_ZEPTCP_H
