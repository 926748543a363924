// zeptcp_poll.h — ZEPTCPPoller, the polling backend of the socket engine:
// what ZEPTCP::Select and SelectHighPrioritySocket do behind the engine's
// interface, and the wait of the polling configuration's service thread.
//
// Owns: the poll array of one cycle (1024 entries, at most 1023 used) with
// the record of each entry; two rotations (normal and high priority), each a
// fill cursor, a read cursor and a resume flag over the engine's socket list,
// so that more sockets than one poll() holds are served in turn; the two
// lists of read results waiting to be handed out (normal and high
// priority), whose records come from the engine's result pool; the total
// per-second byte budget of the normal sockets; the array of the wait.
//
// The poller knows the engine only through its table of operations
// (ZEPTCPPollOps): the socket list, and what expiring a record, reading one
// and freeing a result mean. It never includes the engine. A cycle fills the
// array from the started, unpaused records of one priority (expiring records
// whose time to die or start time-out has passed), polls with a zero
// time-out and reads the ready ones through the table, so it never waits.
// Normal sockets are read within two budgets (ZEPByteBudget on the monotonic
// clock): a socket whose own second is spent is skipped until the next; a
// spent total stops the pass, and the next second starts with the socket
// after the last one read.
//
// Threads and locks: every operation requires the lock of the engine that
// owns the poller (the engine holds it PT_GUARDED_BY that lock); the table's
// operations run under it. Inside, the poller takes only what the table's
// operations take (the record pool's lock when an expired record is freed)
// and g_LogMutex for a log line (its own poll() failures).
#ifndef ZEP_NET_ZEPTCP_POLL_H
#define ZEP_NET_ZEPTCP_POLL_H

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <vector>

#include "base/zepbytebudget.h"
#include "base/zeptlist.h"
#include "net/zepsockrec.h"

// What the poller asks of the engine that owns it. Every operation runs
// with that engine's lock held.
struct ZEPTCPPollOps {
  void* m_pEngine = nullptr;
  ZEPList<TCPSocketData>* m_pSockets = nullptr;  // the engine's socket list
  // The record's time is up: out of the list, closed and freed.
  void (*m_pfExpire)(void* engine, TCPSocketData* p) = nullptr;
  // One accept or read of the record's kind, its result appended to `out`;
  // the bytes read (0 for an accept, a close or an error).
  int (*m_pfReadOne)(void* engine, TCPSocketData* p, ZEPList<TCPData>& out) = nullptr;
  // A result handed out or dropped goes back to the engine's pool.
  void (*m_pfFreeResult)(void* engine, TCPData* d) = nullptr;
  // The engine's total bytes per second.
  int (*m_pfTotalBandwidth)(void* engine) = nullptr;
};

class ZEPTCPPoller {
 public:
  static const int kPollCapacity = 1024;

  explicit ZEPTCPPoller(const ZEPTCPPollOps& ops);
  // Clear must have run: the cursors stand in the engine's socket list and
  // the results belong to the engine's pool.
  ~ZEPTCPPoller() = default;
  ZEPTCPPoller(const ZEPTCPPoller&) = delete;
  ZEPTCPPoller& operator=(const ZEPTCPPoller&) = delete;

  // The outputs as ZEPTCP::Select; a result of the high-priority list first.
  int Select(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
             uint32_t* pGen);
  int SelectHighPrioritySocket(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
                               int& nProtocol, uint32_t* pGen);
  // A result already read, high priority first, without polling; 0 when
  // none waits.
  int TakeResult(int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom, int& nProtocol,
                 uint32_t* pGen);
  // Pops the head of `list` into the outputs and frees it; 0 when empty.
  int PopResult(ZEPList<TCPData>& list, int& nSocket, char* szBuffer, int& nLength,
                sockaddr_in* pFrom, int& nProtocol, uint32_t* pGen);
  // Results of the socket not yet handed out, over both lists.
  int CountResults(int nSocket) const;
  // Frees the results still waiting for the socket: they must not be handed
  // out later under a number the system may give to a new socket.
  void DropResults(int nSocket);
  bool IsSocketInPollFD(int nSocket, int nCount, int nMask) const;
  // Lets go of the cursors and frees every waiting result (engine teardown).
  void Clear();

  // The wait of the polling configuration: fills the wait array with every
  // record Select could read now (one entry more is left free at the end
  // for the caller's wake-up descriptor) and returns their number; *pTimeoutMs
  // gets how long the caller may sleep: until the next record expires, or
  // the next second when a byte budget holds sockets back; -1 for no limit,
  // 0 when results wait already. The array stays valid until the next call.
  int FillWait(int64_t nowMs, int64_t* pTimeoutMs);
  pollfd* WaitArray() { return m_WaitFD.data(); }

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
  static int CountIn(const ZEPList<TCPData>& list, int nSocket);
  void DropIn(ZEPList<TCPData>& list, int nSocket);
  int TotalBandwidth() const { return m_Ops.m_pfTotalBandwidth(m_Ops.m_pEngine); }

  const ZEPTCPPollOps m_Ops;
  ZEPList<TCPSocketData>& m_Sockets;
  ZEPList<TCPData> m_PendingList;
  ZEPList<TCPData> m_HighPendingList;
  pollfd m_PollFD[kPollCapacity];
  TCPSocketData* m_PollNode[kPollCapacity];
  int m_nPollCapacity = kPollCapacity;
  Rotation m_Normal;
  Rotation m_High;
  ZEPByteBudget m_Total;  // the normal sockets' total per second
  std::vector<pollfd> m_WaitFD;
};

#endif  // ZEP_NET_ZEPTCP_POLL_H
