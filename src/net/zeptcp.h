// zeptcp.h — ZEPTCP, the socket engine: every socket the nodes use.
//
// Owns: one TCPSocketData record per socket (listeners, clients, accepted
// children, UDP sockets), kept in m_SocketList and drawn from the thread-safe
// pool m_TCPSocketDataPool; the TCPData read results (pool m_TCPDataPool);
// the IPv4 black list; the polling backend (ZEPTCPPoller, zeptcp_poll.h: the
// poll array, the rotations and the results waiting to be handed out by
// Select), which reaches the engine only through the table of operations the
// engine gives it (PollOps). Records are also indexed by descriptor number,
// so every per-socket look-up is one index and removing a record takes no
// walk of the list (each record keeps its own list node). Closing a record's descriptor and
// returning the record to its pool is the engine's job. Address texts and resolution are
// zepaddr.h's; the name utilities here forward to it.
//
// The engine lock: m_EngineLock, the one Mutex that guards the socket list,
// the records' plain fields, the black list, the result pool and the polling
// backend (the GUARDED_BY marks below). It is declared here, beside what it
// guards, so that every operation can say what it needs: one marked
// REQUIRES(m_EngineLock) (or named ...Locked) expects its caller to hold it;
// AddSocket, GetSocketCount, GetGeneration and GetTCPDataPoolCount take it
// themselves; the locking forms of SetStarted and ClearNode are ZEP_MTTcp's
// (zepmttcp.h). The frame holds it through GetEngineLock() around Select and
// its per-socket calls.
//
// Threads: creation (CreateServer, CreateClient, CreateUDPSocket,
// CreateNetlinkSocket) runs without the engine lock and takes it only inside
// AddSocket: a record that fails before it is added (socket, resolution,
// bind, listen or connect failing) was never listed and so has no results
// waiting; it is closed and freed without touching anything the lock guards.
// SendData, SendUdpTo, the buffer options, IsSocketWritable and the name
// utilities touch no engine state and may be called from any thread at any
// time. Record allocation and release take the record pool's own mutex
// (inside the engine lock when a listed record is freed), because socket
// threads free records while other threads create them.
//
// Record flags that an owning socket thread reads without the engine lock
// (started, paused, flow-control paused, get-one-packet, close pending,
// priority, bandwidth) are atomics; they are still only written under the
// engine lock, and a change the owner must act on is followed by
// WakeOwnerLocked, which writes the owner's wake-up descriptor (also under
// the engine lock) only when the owner sleeps; the wake-ups written are
// counted (GetOwnerWakeups). The polling configuration's thread sleeps in
// WaitForInput; a change that gives it something to read wakes it the same
// way (GetPollerWakeups).
//
// Generations: every record gets a generation number when it is added, never
// reused by the engine. The system reuses descriptor numbers, so results,
// events and flow-control pauses carry (descriptor, generation) and a pause
// or resume meant for a closed socket never reaches the new one.
//
// Clocks: creation times and time to die are kept on the monotonic clock in
// ms; SetTime2Die takes a wall-clock time() and converts it once. The
// per-second byte windows are ZEPByteBudgets on the monotonic clock.
//
// Routes: the layer above may give a record a ZEPSocketRoute (TakeRouteLocked,
// once per record), which the owning socket thread hands every event of the
// record to, instead of having the socket looked up again for each read. A
// route belongs to one record, so to one generation: an event of a closed
// socket whose number was reused cannot take the new socket's route. The
// record holds a reference on its route until the record is freed.
//
// Lock order: (caller's socket-map / route / node-list / queue locks) ->
// engine lock -> record pool lock; g_LogMutex innermost (CloseSocket logs
// while the engine lock may be held).
#ifndef ZEP_NET_ZEPTCP_H
#define ZEP_NET_ZEPTCP_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/zepbytebudget.h"
#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "net/zepsockrec.h"
#include "net/zeptcp_poll.h"

class ZEPTCPPoller;

// A shortage (of descriptors, local ports, threads) said once per episode:
// the failure that starts one is logged with its reason, and the first
// success after a quiet spell (no failure for the quiet time, longer than
// the accounts' 20 s retry, so that a link that closes and lets another one
// open ends nothing) with how many failed meanwhile; nothing in between,
// however many accounts retry. Any thread; atomics only.
class ZEPShortage {
 public:
  static const int64_t kQuietMs = 30000;
  // True when this failure at monotonic `nowMs` starts an episode: the
  // caller says why.
  bool Failed(int64_t nowMs) {
    m_nFailed.fetch_add(1);
    m_nLastFailMs.store(nowMs);
    return !m_bShort.exchange(true);
  }
  // After a success at `nowMs`: the failures of the episode that it ends, 0
  // when none was running or it is not quiet yet (the usual case costs one
  // load).
  uint64_t Recovered(int64_t nowMs) {
    if (!m_bShort.load(std::memory_order_relaxed)) return 0;
    if (nowMs - m_nLastFailMs.load() < m_nQuietMs.load()) return 0;
    if (!m_bShort.exchange(false)) return 0;
    return m_nFailed.exchange(0);
  }
  bool IsShort() const { return m_bShort.load(); }
  void SetQuietMs(int64_t ms) { m_nQuietMs = ms; }

 private:
  std::atomic<bool> m_bShort{false};
  std::atomic<uint64_t> m_nFailed{0};
  std::atomic<int64_t> m_nLastFailMs{0};
  std::atomic<int64_t> m_nQuietMs{kQuietMs};
};

class ZEPTCP {
 public:
  static const int kFDSetSize = 2500;
  static const int kDefaultBandwidth = 10 * 1024 * 1024;
  static const int kDefaultStartTimeout = kZEPDefaultStartTimeout;

  ZEPTCP();
  virtual ~ZEPTCP();
  ZEPTCP(const ZEPTCP&) = delete;
  ZEPTCP& operator=(const ZEPTCP&) = delete;

  Mutex& GetEngineLock() RETURN_CAPABILITY(m_EngineLock) { return m_EngineLock; }

  // Takes the engine lock and adds the record (AddSocketLocked).
  virtual int AddSocket(TCPSocketData* pNode) EXCLUDES(m_EngineLock);
  // close(); a close that takes more than 2 s is logged.
  virtual int CloseSocket(int nSocket);
  // Stamps the create time and the generation and appends the record.
  int AddSocketLocked(TCPSocketData* pNode) REQUIRES(m_EngineLock);

  // --- Creation: descriptor or -1 (nothing is left behind on failure).
  int CreateServer(const ZEPString& strHost, const ZEPString& strPort, int nProtocol)
      EXCLUDES(m_EngineLock);
  int CreateClient(const ZEPString& strHost, const ZEPString& strPort, int nProtocol)
      EXCLUDES(m_EngineLock);
  int CreateUDPSocket(int nKind) EXCLUDES(m_EngineLock);
  // A netlink datagram socket of `nProtocol` (ZEP_NETLINK_ROUTE,
  // net/zeproutemsg.h) bound to the multicast groups `nGroups`: the kernel's
  // own messages, on Linux; elsewhere -1 with errno EAFNOSUPPORT. Its record
  // is a bound datagram socket (kind server, protocol UDP), read like one: a
  // datagram per event, the sender's netlink address in the event's sender
  // address. On failure errno says why.
  int CreateNetlinkSocket(int nProtocol, uint32_t nGroups) EXCLUDES(m_EngineLock);
  // Resolves the record's host and port texts into its address; 0 or -1.
  int Sockaddr(TCPSocketData* pNode);
  void SetMySocketOpt(int nSocket);

  // --- Reading (the polling engine). Each appends one result to `list`.
  int Accept(int nSocket, ZEPList<TCPData>& list) REQUIRES(m_EngineLock);
  int RecvTCPData(int nSocket, ZEPList<TCPData>& list) REQUIRES(m_EngineLock);
  int RecvUDPData(int nSocket, ZEPList<TCPData>& list) REQUIRES(m_EngineLock);
  // One result per call, 0 when nothing is ready; never blocks. `szBuffer`
  // must hold ZEP_TCP_BUFSIZE bytes; `pFrom` may be null.
  // `pGen`, when given, receives the generation of the result's record.
  int Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
             uint32_t* pGen = nullptr) REQUIRES(m_EngineLock);
  int SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                               int& nProtocol, uint32_t* pGen = nullptr) REQUIRES(m_EngineLock);
  // Pops the head of `list` into the outputs (0 when it is empty).
  int SelectOut(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                ZEPList<TCPData>& list, uint32_t* pGen = nullptr) REQUIRES(m_EngineLock);
  // A result that an earlier Select read already, without polling; 0 when
  // none waits. One poll reads every ready socket: the caller takes them all
  // before it waits again.
  int TakeResult(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                 uint32_t* pGen = nullptr) REQUIRES(m_EngineLock);
  // The polling configuration's sleep, between Selects that found nothing:
  // waits until a socket Select would read is readable, the next record
  // expires, a byte budget's second ends, or `pWake` is written (drained
  // here). Any change that makes a socket readable for Select while it waits
  // (started, resumed, a new deadline, a record dropped) writes `pWake` too.
  // Takes the engine lock to fill its array and waits without it; one
  // thread at a time. The number of sockets found readable (0 when woken,
  // timed out, or when results wait already and it did not sleep).
  int WaitForInput(ZEPWakeFd* pWake) EXCLUDES(m_EngineLock);

  // --- Sending (no engine state; any thread).
  int SendData(int nSocket, const char* pData, int nLength);
  int SendUdpTo(int nSocket, const sockaddr* pAddr, const char* pData, int nLength);

  // Removes the record and, with bClose, closes the descriptor. 0, or -1 when
  // the socket has no record.
  int ClearNodeLocked(int nSocket, bool bClose) REQUIRES(m_EngineLock);
  // The record itself: valid only while the caller holds the engine lock.
  // One index look-up (records are kept by descriptor number).
  TCPSocketData* SeekSocket(int nSocket) const REQUIRES(m_EngineLock);
  // Only the record of that generation (0: whichever record has the number).
  TCPSocketData* SeekSocket(int nSocket, uint32_t nGeneration) const REQUIRES(m_EngineLock);
  // The generation of the socket's record, 0 without a record.
  uint32_t GetGeneration(int nSocket) const EXCLUDES(m_EngineLock);
  uint32_t GetGenerationLocked(int nSocket) const REQUIRES(m_EngineLock);
  // The route of the socket's record: the one it has, or else `pFresh`
  // (which the record then holds a reference on; null: none is given).
  // The caller gets a reference on what is returned, and *pGen the record's
  // generation. Null, and *pGen 0, when the socket has no record.
  ZEPSocketRoute* TakeRouteLocked(int nSocket, ZEPSocketRoute* pFresh, uint32_t* pGen)
      REQUIRES(m_EngineLock);
  int GetSocketCount() const EXCLUDES(m_EngineLock);
  int GetSocketCountLocked() const REQUIRES(m_EngineLock) {
    return static_cast<int>(m_SocketList.GetCount());
  }

  // --- Per-socket setters: -1 without a record, else 0.
  int SetStartedLocked(int nSocket, bool bStarted) REQUIRES(m_EngineLock);
  int SetPaused(int nSocket, bool bPaused) REQUIRES(m_EngineLock);
  int SetFCPaused(int nSocket, bool bPaused) REQUIRES(m_EngineLock);
  // Only the record of that generation (0: whichever record has the number).
  int SetFCPaused(int nSocket, uint32_t nGeneration, bool bPaused) REQUIRES(m_EngineLock);
  int SetGetOnePacket(int nSocket, bool bOne) REQUIRES(m_EngineLock);
  int SetPriority(int nSocket, int nPriority) REQUIRES(m_EngineLock);
  // nTime: a wall-clock time(); 0 = never.
  int SetTime2Die(int nSocket, long nTime) REQUIRES(m_EngineLock);
  int SetStartTimeoutLocked(int nSocket, int nSeconds) REQUIRES(m_EngineLock);
  int SetBandwidth(int nSocket, int nBandwidth) REQUIRES(m_EngineLock);  // 0 even without a record

  // --- Engine settings (atomics; any thread).
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

  // --- Record queries.
  ZEPString GetIPAddr(int nSocket) const REQUIRES(m_EngineLock);
  ZEPString GetPeerIP(int nSocket) const REQUIRES(m_EngineLock);
  int GetPeerPort(int nSocket) const REQUIRES(m_EngineLock);
  ZEPString GetLocalIP(int nSocket) const REQUIRES(m_EngineLock);
  int GetLocalPort(int nSocket) const REQUIRES(m_EngineLock);
  int GetClientSockAddr(int nSocket, sockaddr* pAddr) const REQUIRES(m_EngineLock);
  int GetSocketBufDataCount(int nSocket) REQUIRES(m_EngineLock);
  bool IsSocketInPollFD(int nSocket, int nCount, int nMask) const REQUIRES(m_EngineLock);

  // Writable right now; any descriptor value is safe (poll, not an fd_set).
  bool IsSocketWritable(int nSocket) const;

  // --- Name utilities (no engine state; any thread): zepaddr.h's.
  static bool IsIPAddr(const char* szIP);
  static bool IsDigitalStr(const char* sz);
  static int HostToIP(const ZEPString& strHost, ZEPString& strIP);
  static ZEPString GetHostname();
  static ZEPString GetHostIP();
  // Binds a UDP socket to ip:port to tell a local address from a foreign one.
  bool IsMyIP(const ZEPString& strIP, int nPort);
  static const char* ReadUntil(const char* szText, const char* szDelims);

  // --- Black list. Addresses are kept in network order.
  int AddIPBlackList(const char* szIP) REQUIRES(m_EngineLock);
  int DelIPBlackList(const char* szIP) REQUIRES(m_EngineLock);
  void ClrIPBlackList() REQUIRES(m_EngineLock) { m_BlackList.clear(); }

  // Kind-2 records accepted by the listener created with this host and port
  // text.
  int CountChild(const ZEPString& strHost, const ZEPString& strPort) const REQUIRES(m_EngineLock);

  unsigned GetTCPDataPoolCount() EXCLUDES(m_EngineLock);
  // Wake-ups written: to socket threads that slept when a flag of their
  // record changed, and to the polling configuration's sleeping thread.
  uint64_t GetOwnerWakeups() const { return m_nOwnerWakeups.load(std::memory_order_relaxed); }
  uint64_t GetPollerWakeups() const { return m_nPollerWakeups.load(std::memory_order_relaxed); }
  // Records at which accepted connections are refused (closed at once):
  // GetFDSetSize() - 10 = 2490 unless set (tests).
  void SetSocketCeiling(int n) { m_nSocketCeiling = n; }
  int GetSocketCeiling() const { return m_nSocketCeiling.load(); }
  unsigned GetTCPSocketDataPoolCount();
  // Whether sockets cannot be opened now for want of descriptors (or
  // memory), or connected for want of local ports.
  bool IsShortOfDescriptors() const { return m_DescriptorShortage.IsShort(); }
  bool IsShortOfPorts() const { return m_PortShortage.IsShort(); }
  // How long a shortage must stay quiet before a success ends it (tests).
  void SetShortageQuietMs(int64_t ms) {
    m_DescriptorShortage.SetQuietMs(ms);
    m_PortShortage.SetQuietMs(ms);
  }

 protected:
  // A record got a deadline (it was added unstarted, or its time to die or
  // start time-out was set) at monotonic ms `dueMs`.
  // Polling: the sleeping poller computes its time-out again.
  virtual void DeadlineAddedLocked(int64_t /*dueMs*/) REQUIRES(m_EngineLock) { WakePollerLocked(); }
  // Record pool access under the pool's own lock.
  TCPSocketData* NewRecord(int nKind, int nProtocol);
  void FreeRecord(TCPSocketData* pNode);
  // Closes (when asked) and frees a record taken out of the list, with the
  // results still waiting for its socket.
  void DropRecordLocked(TCPSocketData* pNode, bool bClose) REQUIRES(m_EngineLock);
  // Closes and frees a record that was never added: nothing of it can be in
  // the socket list or among the results, so no engine lock is needed.
  void DiscardNewRecord(TCPSocketData* pNode);
  // Takes the record out of the list and the index (no walk).
  void UnlistLocked(TCPSocketData* pNode) REQUIRES(m_EngineLock);
  // Wakes the record's owner when it sleeps, counting the wake-up.
  bool WakeOwnerLocked(TCPSocketData* pNode) REQUIRES(m_EngineLock);
  // Wakes the polling configuration's thread when it sleeps in
  // WaitForInput (one atomic load otherwise).
  void WakePollerLocked() REQUIRES(m_EngineLock);
  // A kind-2 record, not yet added, for a new descriptor accepted on pListen.
  TCPSocketData* NewChildRecord(const TCPSocketData* pListen, int nNew, const sockaddr_in& peer);
  // socket(); a failure for want of descriptors or memory is logged once per
  // shortage (WARN), and the first socket after it says how many failed.
  // errno is the socket() failure's.
  int OpenSocket(int nDomain, int nType, int nProtocol);
  // connect(); a failure for want of a local port is logged the same way.
  int ConnectSocket(int nSocket, const sockaddr_in& addr);
  int NewSocket(int nProtocol);
  // One accept() on the listener: the new descriptor (peer filled) or -1.
  int AcceptRaw(int nListen, sockaddr_in* pPeer);
  // A new connection that must be closed at once: the engine is at its
  // descriptor ceiling or the peer is black-listed.
  bool IsRefusedLocked(const sockaddr_in& peer) const REQUIRES(m_EngineLock) {
    return GetSocketCountLocked() >= GetSocketCeiling() ||
           IsBlackListedLocked(peer.sin_addr.s_addr);
  }
  bool IsBlackListedLocked(uint32_t nAddr) const REQUIRES(m_EngineLock);

  mutable Mutex m_EngineLock;  // see above
  ZEPList<TCPSocketData> m_SocketList GUARDED_BY(m_EngineLock);
  ZEPMTFixMem<TCPSocketData, 100, 10, 10> m_TCPSocketDataPool;  // its own mutex

 public:
  // The poller's table of operations (PollOps) calls these.
  // A record whose time is up: out of the list, closed and freed.
  void ExpireLocked(TCPSocketData* pNode) REQUIRES(m_EngineLock);
  // One accept or read of the record's kind into `list`; the bytes read.
  int ReadOneLocked(TCPSocketData* pNode, ZEPList<TCPData>& list) REQUIRES(m_EngineLock);
  void FreeResultLocked(TCPData* d) REQUIRES(m_EngineLock);

 private:
  ZEPTCPPollOps PollOps();
  TCPData* NewResultLocked(ZEPList<TCPData>& list, int nSocket, int nProtocol)
      REQUIRES(m_EngineLock);
  int SettleResultLocked(TCPData* d, ssize_t n) REQUIRES(m_EngineLock);
  TCPSocketData* NewAddressedRecord(int nKind, const ZEPString& strHost, const ZEPString& strPort,
                                    int nProtocol);
  template <class F>
  int WithRecordLocked(int nSocket, F f) REQUIRES(m_EngineLock) {
    TCPSocketData* p = SeekSocket(nSocket);
    if (p == NULL) return -1;
    f(p);
    return 0;
  }

  ZEPFixMem<TCPData, 100, 10, 10> m_TCPDataPool GUARDED_BY(m_EngineLock);
  const std::unique_ptr<ZEPTCPPoller> m_pPoller PT_GUARDED_BY(m_EngineLock);
  std::atomic<int> m_nDefaultConnBandwidth;  // read by creators on any thread
  std::atomic<int> m_nTotalBandwidth;
  std::atomic<int> m_nSelectSize;
  std::atomic<uint32_t> m_nNextGeneration{1};
  ZEPShortage m_DescriptorShortage;
  ZEPShortage m_PortShortage;
  std::vector<uint32_t> m_BlackList GUARDED_BY(m_EngineLock);
  // The listed records by descriptor number (null: none), grown as needed.
  std::vector<TCPSocketData*> m_BySocket GUARDED_BY(m_EngineLock);
  // Stands on the socket list's last node (see AddSocketLocked).
  SmartPtr<CListNode> m_TailCursor GUARDED_BY(m_EngineLock);
  std::atomic<int> m_nSocketCeiling{kFDSetSize - 10};
  std::atomic<uint64_t> m_nOwnerWakeups{0};
  std::atomic<uint64_t> m_nPollerWakeups{0};
  // WaitForInput's descriptor and whether it sleeps (set under the lock,
  // cleared by the sleeper or by the waker that wrote the descriptor).
  ZEPWakeFd* m_pPollWake GUARDED_BY(m_EngineLock) = nullptr;
  std::atomic<bool> m_bPollerAsleep{false};
};

#endif  // ZEP_NET_ZEPTCP_H
