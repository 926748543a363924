// addrwatch.h — CDYRAddrWatch, the node that hears from the kernel that the
// host's IPv4 addresses or links changed, and tells every account at once.
//
// Owns: the netlink route socket (ZEP_NETLINK_ROUTE, subscribed to IPv4
// address and link changes) that it opens and attaches to itself. The frame
// reads it like a datagram socket: a socket thread sleeps in poll() until
// the kernel sends, so nothing here wakes on a period. Each datagram from
// the kernel (another sender is passed over) is read by ZEPParseRouteMsgs;
// when an IPv4 address came or went, a link came up, or the datagram could
// not all be read, every node of the frame gets one user event
// DYR_USER_ADDRESS_CHANGED. Client nodes act on it (CDYRClient, at most once
// a second each); other nodes pass it over. A read error (the kernel had to
// drop messages: the socket's buffer overflowed) is taken as a change too,
// and reading resumes (at once, or a second later when errors come faster).
//
// Where no route socket can be opened (not Linux, a sandbox), one INFO line
// says so and the node ends: the accounts' timers alone notice changes.
//
// Log: one INFO line when the socket is up (or unavailable), and one per
// change at most once a second (the ones left out are counted in the next).
//
// Threads: constructed and added by StartAddrWatch on any thread (the main
// thread in the daemon); everything else runs on the node's worker.
// Locks: none of its own. Frame calls take the frame's locks with none of
// ours held (AllEnqueue: the node-list lock, then each node's queue lock);
// g_LogMutex for each line.
// Lifetime: a node of the frame like any other: it ends on its quit event
// (or when no socket can be had), and the frame then detaches and closes its
// socket and destroys it.
#ifndef ZEP_APP_ACCOUNT_ADDRWATCH_H
#define ZEP_APP_ACCOUNT_ADDRWATCH_H

#include <cstdint>

#include "base/zepbytebudget.h"
#include "events/appnode.h"
#include "events/timerhandle.h"
#include "net/zeproutemsg.h"

class ZEPFrame;
struct TimeEvent_tag;

class CDYRAddrWatch : public CAppNode {
 public:
  // Opens the route socket: a descriptor or -1 with errno set. The default
  // asks the frame (CreateNetlinkSocket); a test may stand in for it.
  using OpenFn = int (*)(ZEPFrame* frame);
  explicit CDYRAddrWatch(ZEPFrame* frame, OpenFn open = nullptr);
  ~CDYRAddrWatch() override {}

  void doRunNode() override;
  void DestroyMe() override { delete this; }

 private:
  // A datagram of the route socket: tells the accounts when it says so.
  void OnDatagram(CTCPEvent* ev);
  // A read error: the accounts are told, reading resumes.
  void OnReadError();
  // Every node of the frame gets DYR_USER_ADDRESS_CHANGED.
  void TellAccounts();
  // The INFO line of a change, at most one a second.
  void LogChange(const ZEPRouteNews_tag& news);

  OpenFn m_pOpen;
  int m_nSocket = -1;
  // Lines of changes (one a second) and resumes after read errors (one a
  // second at once, later ones by m_ResumeTimer).
  ZEPByteBudget m_LogBudget;
  int m_nUnlogged = 0;
  ZEPByteBudget m_ResumeBudget;
  ZEPTimerHandle m_ResumeTimer;
};

// Adds an address watch to the frame, started: 0, or -1 when the frame
// refused it (it is exiting). Whether a route socket can be had is told by
// the node itself, in the log.
int StartAddrWatch(ZEPFrame* frame);

#endif  // ZEP_APP_ACCOUNT_ADDRWATCH_H
