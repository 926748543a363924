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
// engine lock, and a change the owner must act on is followed by Wake(),
// which writes the owner's wake-up descriptor (also under the engine lock).
//
// Generations: every record gets a generation number when it is added, never
// reused by the engine. The system reuses descriptor numbers, so results,
// events and flow-control pauses carry (descriptor, generation) and a pause
// or resume meant for a closed socket never reaches the new one.
//
// Clocks: creation times and time to die are kept on the monotonic clock in
// ms; SetTime2Die takes a wall-clock time() and converts it once. The
// per-second bandwidth windows are 64-bit wall-clock seconds that restart on
// any change of the second, so a clock set back starves nobody.
//
// Lock order: (caller's map / node-list / queue locks) -> engine lock -> record
// pool lock; g_LogMutex innermost (CloseSocket logs while the engine lock may
// be held).
#ifndef ZEP_NET_ZEPTCP_H
#define ZEP_NET_ZEPTCP_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepstring.h"
#include "base/zeptlist.h"

// Kinds of socket record.
enum {
  ZEP_SOCK_SERVER = 1,  // listening TCP socket or bound UDP socket
  ZEP_SOCK_CHILD = 2,   // TCP connection accepted by a listener
  ZEP_SOCK_CLIENT = 3   // created by CreateClient
};
// Protocols (ZEP_PROTO_*), result codes (ZEP_TCP_*) and the largest read
// (ZEP_TCP_BUFSIZE) are in base/zepconst.h.

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
  uint32_t m_nGeneration;  // set by AddSocket, see above
  int64_t m_nSecond;       // Select's per-second byte window (time())
  int m_nBytes;
  std::atomic<int> m_nBandwidth;  // bytes per second
  std::atomic<bool> m_bStarted;
  std::atomic<bool> m_bPaused;
  std::atomic<bool> m_bGetOnePacket;
  std::atomic<bool> m_bFCPaused;
  int64_t m_nCreateMs;               // monotonic ms when added
  std::atomic<int> m_nStartTimeout;  // seconds an unstarted record may live
  std::atomic<int64_t> m_nDieMs;     // monotonic ms; 0 = never
  int m_nProtocol;
  std::atomic<int> m_nPriority;  // 1 high, 2 normal
  std::atomic<bool> m_bClosePending;
  std::atomic<bool> m_bCloseOnClear;
  int64_t m_nThreadSecond;  // the owning socket thread's byte window (time())
  int m_nThreadBytes;
  // A listener out of descriptors: the owning socket thread's current pause
  // between accepts in ms (0: accepting normally) and the failures since the
  // last accept that worked.
  int m_nAcceptPauseMs = 0;
  uint64_t m_nAcceptFailedRun = 0;
  // The owning socket thread's wake-up descriptor while it owns the record
  // (-1 otherwise): set by the owner, cleared by it under the engine lock.
  std::atomic<int> m_nWakeFd;

  TCPSocketData() { Init(true, 0); }
  // Resets a record taken from the pool to the creation defaults.
  void Init(bool bFull, int nBandwidth);
  // Started, not paused by anyone: a candidate for reading.
  bool IsReadable() const { return m_bStarted.load() && !m_bPaused.load() && !m_bFCPaused.load(); }
  bool IsHeld() const { return m_bPaused.load() || m_bFCPaused.load(); }
  // Wakes the owner after a flag change. Engine lock held (so the owner
  // cannot close the descriptor meanwhile).
  void Wake() {
    int fd = m_nWakeFd.load();
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof(one));
    (void)n;
  }
  // Monotonic ms at which the record expires (time to die, or the start
  // time-out of an unstarted record); INT64_MAX when never.
  int64_t ExpiryMs() const;
};

struct TCPData {
  int m_nSocket;
  uint32_t m_nGeneration;
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
  // `pGen`, when given, receives the generation of the result's record.
  int Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
             uint32_t* pGen = nullptr);
  int SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                               int& nProtocol, uint32_t* pGen = nullptr);
  int SelectOut(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                ZEPList<TCPData>& list, uint32_t* pGen = nullptr);

  // --- Sending (no engine state; any thread).
  int SendData(int nSocket, const char* pData, int nLength);
  int SendUdpTo(int nSocket, const sockaddr* pAddr, const char* pData, int nLength);

  // Removes the record and, with bClose, closes the descriptor. 0, or -1 when
  // the socket has no record. Engine lock held.
  int ClearNode(int nSocket, bool bClose);
  TCPSocketData* SeekSocket(int nSocket) const;
  // The generation of the socket's record, 0 without a record.
  uint32_t GetGeneration(int nSocket) const;
  int GetSocketCount() const { return static_cast<int>(m_SocketList.GetCount()); }

  // --- Per-socket setters (engine lock held): -1 without a record, else 0.
  int SetStarted(int nSocket, bool bStarted);
  int SetPaused(int nSocket, bool bPaused);
  int SetFCPaused(int nSocket, bool bPaused);
  // Only the record of that generation (0: whichever record has the number).
  int SetFCPaused(int nSocket, uint32_t nGeneration, bool bPaused);
  int SetGetOnePacket(int nSocket, bool bOne);
  int SetPriority(int nSocket, int nPriority);
  // nTime: a wall-clock time(); 0 = never.
  int SetTime2Die(int nSocket, long nTime);
  int SetStartTimeout(int nSocket, int nSeconds);
  int SetBandwidth(int nSocket, int nBandwidth);  // 0 even without a record

  // --- Engine settings.
  void SetDefaultConnBandwidth(int n) { m_nDefaultConnBandwidth = n; }
  int GetDefaultConnBandwidth() const { return m_nDefaultConnBandwidth.load(); }
  void SetTotalBandwidth(int n) { m_nTotalBandwidth = n; }
  int GetTotalBandwidth() const { return m_nTotalBandwidth.load(); }
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
  // A record got a deadline (it was added unstarted, or its time to die or
  // start time-out was set) at monotonic ms `dueMs`. Engine lock held.
  virtual void DeadlineAdded(int64_t /*dueMs*/) {}
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
  int FillPass(Rotation& rot, bool bResume, int nPriority, int64_t nowMs);
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
  bool ExpireRecord(TCPSocketData* pNode, int64_t nowMs) const;
  int ReadOne(TCPSocketData* pNode, ZEPList<TCPData>& list);
  static int PopResult(ZEPList<TCPData>& list, ZEPFixMem<TCPData, 100, 10, 10>& pool, int& nSocket,
                       char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                       uint32_t* pGen);
  int CountResults(ZEPList<TCPData>& list, int nSocket) const;
  void DropResults(ZEPList<TCPData>& list, int nSocket);

  ZEPList<TCPData> m_PendingList;
  ZEPList<TCPData> m_HighPendingList;
  ZEPFixMem<TCPData, 100, 10, 10> m_TCPDataPool;
  pollfd m_PollFD[kPollCapacity];
  TCPSocketData* m_PollNode[kPollCapacity];
  int m_nPollCapacity;
  std::atomic<int> m_nDefaultConnBandwidth;  // read by creators on any thread
  std::atomic<int> m_nTotalBandwidth;
  std::atomic<int> m_nSelectSize;
  int64_t m_nTotalSecond;  // time()
  int m_nTotalBytes;
  std::atomic<uint32_t> m_nNextGeneration{1};
  Rotation m_Normal;
  Rotation m_High;
  std::vector<uint32_t> m_BlackList;
};

#endif  // ZEP_NET_ZEPTCP_H
