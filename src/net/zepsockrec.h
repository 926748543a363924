// zepsockrec.h — the socket engine's records: TCPSocketData (one per
// socket), TCPData (one read result waiting in the polling backend),
// TCPSocketInfo (a copy of a record for callers outside the engine) and
// ZEPSocketRoute (where the events of one record go).
//
// Owns nothing: the engine (ZEPTCP, zeptcp.h) allocates, lists and frees the
// records; the polling backend (zeptcp_poll.h) and the socket threads
// (zepthreadtcp.h) read them. Both include this unit, not each other.
//
// Threads and locks: a record's plain fields are guarded by the engine lock
// of the engine that lists it. The flags an owning socket thread reads
// without that lock are atomics, still written only under it; a change the
// owner must act on is followed by WakeOwner(), which writes the owner's
// wake-up descriptor only when the owner sleeps (or is about to): an owner
// that is reading finds the change when it next looks at the flags.
#ifndef ZEP_NET_ZEPSOCKREC_H
#define ZEP_NET_ZEPSOCKREC_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "base/zepbytebudget.h"
#include "base/zepconst.h"
#include "base/zepstring.h"
#include "base/zeptlist.h"

class CTCPEvent;

// Seconds an unstarted record may live, by default.
const int kZEPDefaultStartTimeout = 60;

// Where the events of one socket record go. Implemented above the engines
// (the frame routes to the nodes attached to the socket). Deliver is called
// by the record's owning socket thread only, with no engine lock held; the
// implementation says which locks it takes.
class ZEPSocketRoute : public RefCount {
 public:
  // True when someone took the event.
  virtual bool Deliver(CTCPEvent* ev) = 0;
};

// Kinds of socket record.
enum {
  ZEP_SOCK_SERVER = 1,  // listening TCP socket or bound UDP socket
  ZEP_SOCK_CHILD = 2,   // TCP connection accepted by a listener
  ZEP_SOCK_CLIENT = 3   // created by CreateClient
};
// Protocols (ZEP_PROTO_*), result codes (ZEP_TCP_*) and the largest read
// (ZEP_TCP_BUFSIZE) are in base/zepconst.h.

// What one record says at one moment, copied under the engine lock: a caller
// may keep and read it after the lock is left, when the record itself may
// already be gone.
struct TCPSocketInfo {
  int m_nSocket = -1;
  uint32_t m_nGeneration = 0;
  int m_nKind = 0;
  int m_nProtocol = 0;
  sockaddr_in m_Addr{};
  ZEPString m_strHost;
  ZEPString m_strPort;
  ZEPString m_strIP;
  int m_nPort = 0;
  int m_nLocalPort = 0;
  ZEPString m_strLocalIP;
  ZEPString m_strListenHost;
  ZEPString m_strListenPort;
  int m_nBandwidth = 0;
  int m_nPriority = 0;
  bool m_bStarted = false;
  bool m_bPaused = false;
  bool m_bGetOnePacket = false;
  bool m_bFCPaused = false;
  bool m_bClosePending = false;
};

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
  uint32_t m_nGeneration;         // set by AddSocket, see above
  ZEPByteBudget m_Budget;         // the polling engine's per-second window (engine lock)
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
  ZEPByteBudget m_ThreadBudget;  // the owning socket thread's window (that thread only)
  // A listener out of descriptors: the owning socket thread's current pause
  // between accepts in ms (0: accepting normally) and the failures since the
  // last accept that worked.
  int m_nAcceptPauseMs = 0;
  uint64_t m_nAcceptFailedRun = 0;
  // The owning socket thread's wake-up descriptor while it owns the record
  // (-1 otherwise): set by the owner, cleared by it under the engine lock.
  std::atomic<int> m_nWakeFd;
  // The owner sleeps (or is about to) on its wake-up descriptor; a flag
  // change since it last looked (see WakeOwner, EnterSleep).
  std::atomic<bool> m_bOwnerAsleep{false};
  std::atomic<bool> m_bWakeWanted{false};
  // The record's node in the engine's socket list (engine lock): removing a
  // record takes no walk.
  SmartPtr<CListNode> m_ListNode;
  // Set once under the engine lock (TakeRouteLocked), read by the owner
  // without it; the record's reference is dropped when the record is freed.
  std::atomic<ZEPSocketRoute*> m_pRoute{nullptr};

  TCPSocketData() { Init(true, 0); }
  // Resets a record taken from the pool to the creation defaults.
  void Init(bool bFull, int nBandwidth);
  // Started, not paused by anyone: a candidate for reading.
  bool IsReadable() const { return m_bStarted.load() && !m_bPaused.load() && !m_bFCPaused.load(); }
  bool IsHeld() const { return m_bPaused.load() || m_bFCPaused.load(); }
  // Wakes the owner after a flag change, when it sleeps: true when the
  // wake-up descriptor was written. Engine lock held (so the owner cannot
  // close the descriptor meanwhile).
  bool WakeOwner() {
    m_bWakeWanted.store(true);
    if (!m_bOwnerAsleep.load()) return false;
    int fd = m_nWakeFd.load();
    if (fd < 0) return false;
    uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof(one));
    return n == static_cast<ssize_t>(sizeof(one));
  }
  // The owner, before it blocks: false when a wake-up is already wanted (it
  // must look at the flags instead of sleeping). With WakeOwner's store and
  // load this is the usual pair of sequentially consistent flags: a waker
  // that finds the owner awake has set m_bWakeWanted before the owner looks.
  bool EnterSleep() {
    m_bOwnerAsleep.store(true);
    if (!m_bWakeWanted.exchange(false)) return true;
    m_bOwnerAsleep.store(false);
    return false;
  }
  // The owner, awake again: whatever wake-up was wanted, it now looks.
  void LeaveSleep() {
    m_bOwnerAsleep.store(false);
    m_bWakeWanted.store(false);
  }
  // Monotonic ms at which the record expires (time to die, or the start
  // time-out of an unstarted record); INT64_MAX when never.
  int64_t ExpiryMs() const;
  // The copy of the fields a caller outside the engine may see. Engine lock
  // held.
  void GetInfo(TCPSocketInfo* pInfo) const;
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

#endif  // ZEP_NET_ZEPSOCKREC_H
