// zeptcp_poll.h — ZEPTCPPoller, the polling backend of the socket engine:
// what ZEPTCP::Select and SelectHighPrioritySocket do behind the engine's
// interface.
//
// Owns: the poll array of one cycle (1024 entries, at most 1023 used) with
// the record of each entry; two rotations (normal and high priority), each a
// fill cursor, a read cursor and a resume flag over the engine's socket list,
// so that more sockets than one poll() holds are served in turn; the two
// lists of read results waiting to be handed out (normal and high
// priority), whose records come from the engine's m_TCPDataPool; the total
// per-second byte budget of the normal sockets.
//
// The engine owns one poller. A cycle fills the array from the started,
// unpaused records of one priority (expiring records whose time to die or
// start time-out has passed), polls with a zero time-out and reads the
// ready ones through the engine (ZEPTCP::Accept, RecvTCPData, RecvUDPData),
// so it never waits. Normal sockets are read within two budgets (ZEPByteBudget
// on the monotonic clock): a socket whose own second is spent is skipped
// until the next; a spent total stops the pass, and the next second starts
// with the socket after the last one read.
//
// Threads and locks: every operation takes the engine it belongs to and
// requires that engine's lock (the poller is guarded by it as a whole: the
// engine holds it PT_GUARDED_BY its lock). Inside it the poller takes only
// the record pool's lock, through the engine, when it frees an expired
// record, and g_LogMutex for a log line (its own poll() failures, a slow
// close).
#ifndef ZEP_NET_ZEPTCP_POLL_H
#define ZEP_NET_ZEPTCP_POLL_H

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>

#include "base/zepbytebudget.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "net/zeptcp.h"

class ZEPTCPPoller {
 public:
  static const int kPollCapacity = 1024;

  ZEPTCPPoller();
  // Clear must have run: the cursors stand in the engine's socket list and
  // the results belong to the engine's pool.
  ~ZEPTCPPoller() = default;
  ZEPTCPPoller(const ZEPTCPPoller&) = delete;
  ZEPTCPPoller& operator=(const ZEPTCPPoller&) = delete;

  // The outputs as ZEPTCP::Select; a result of the high-priority list first.
  int Select(ZEPTCP& e, int& nSocket, char* szBuffer, int& nLength, sockaddr_in* pFrom,
             int& nProtocol, uint32_t* pGen) REQUIRES(e.GetEngineLock());
  int SelectHighPrioritySocket(ZEPTCP& e, int& nSocket, char* szBuffer, int& nLength,
                               sockaddr_in* pFrom, int& nProtocol, uint32_t* pGen)
      REQUIRES(e.GetEngineLock());
  // Pops the head of `list` into the outputs and frees it; 0 when empty.
  static int PopResult(ZEPTCP& e, ZEPList<TCPData>& list, int& nSocket, char* szBuffer,
                       int& nLength, sockaddr_in* pFrom, int& nProtocol, uint32_t* pGen)
      REQUIRES(e.GetEngineLock());
  // Results of the socket not yet handed out, over both lists.
  int CountResults(int nSocket) const;
  // Frees the results still waiting for the socket: they must not be handed
  // out later under a number the system may give to a new socket.
  void DropResults(ZEPTCP& e, int nSocket) REQUIRES(e.GetEngineLock());
  bool IsSocketInPollFD(int nSocket, int nCount, int nMask) const;
  // Lets go of the cursors and frees every waiting result (engine teardown).
  void Clear(ZEPTCP& e) REQUIRES(e.GetEngineLock());

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
  int FillPass(ZEPTCP& e, Rotation& rot, bool bResume, int nPriority, int64_t nowMs)
      REQUIRES(e.GetEngineLock());
  // Reads the ready records of the last FillPass; nPriority 2 does the
  // bandwidth accounting. Returns false when the total budget ran out.
  bool ReadPass(ZEPTCP& e, Rotation& rot, bool bCycleResume, int nCount, int nPriority,
                ZEPList<TCPData>& list) REQUIRES(e.GetEngineLock());
  static int CountIn(const ZEPList<TCPData>& list, int nSocket);
  static void DropIn(ZEPTCP& e, ZEPList<TCPData>& list, int nSocket) REQUIRES(e.GetEngineLock());

  ZEPList<TCPData> m_PendingList;
  ZEPList<TCPData> m_HighPendingList;
  pollfd m_PollFD[kPollCapacity];
  TCPSocketData* m_PollNode[kPollCapacity];
  int m_nPollCapacity = kPollCapacity;
  Rotation m_Normal;
  Rotation m_High;
  ZEPByteBudget m_Total;  // the normal sockets' total per second
};

#endif  // ZEP_NET_ZEPTCP_POLL_H
