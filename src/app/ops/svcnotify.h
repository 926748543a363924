// svcnotify.h — the service manager's notify protocol, the part that is
// plain data: reading NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, and
// building the datagrams the daemon sends.
//
// The protocol needs no library: every message is one datagram of
// newline-separated VARIABLE=value assignments, sent to the AF_UNIX
// datagram socket that NOTIFY_SOCKET names (a file system path starting
// with "/", or "@name" for the abstract namespace). CDYRServiceManager
// (svcmanager.h) sends them.
//
// Owns nothing; every function is plain, any thread. Bad values never
// crash: they come back as -1 with a reason for the log.
#ifndef ZEP_APP_OPS_SVCNOTIFY_H
#define ZEP_APP_OPS_SVCNOTIFY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <vector>

#include "base/zepstring.h"

#define DYR_NOTIFY_READY "READY=1"
#define DYR_NOTIFY_STOPPING "STOPPING=1"
#define DYR_NOTIFY_WATCHDOG "WATCHDOG=1"
// The longest watchdog ping period: a manager's period of more than two
// days still gets a ping a day.
#define DYR_WATCHDOG_MAX_PERIOD_MS 86400000UL

// What the environment asks for.
struct DYRNotifyConf_tag {
  bool m_bNotify = false;  // NOTIFY_SOCKET names a socket we can address
  sockaddr_un m_Addr{};
  socklen_t m_nAddrLen = 0;
  ZEPString m_strSocket;         // NOTIFY_SOCKET as given (for the log)
  uint64_t m_nWatchdogUsec = 0;  // 0: no watchdog for this process
  std::vector<ZEPString> m_Bad;  // each variable that is set but unusable, and why
  ZEPString m_strWatchdogOther;  // WATCHDOG_PID names another process: which
};

// NOTIFY_SOCKET into a socket address. 0, or -1 with `why`: null or empty,
// neither "/" nor "@" first (a relative path, another transport), "@" with
// no name, or longer than the address holds (107 bytes of path or name).
int DyrParseNotifySocket(const char* text, sockaddr_un& addr, socklen_t& len, ZEPString& why);

// WATCHDOG_USEC and WATCHDOG_PID (either may be null: unset) for the
// process `ownPid`. 1 with `usec` when the watchdog is this process's;
// 0 when there is none (WATCHDOG_USEC unset, or WATCHDOG_PID names another
// process: `why` says which); -1 with `why` for a value that is no decimal
// number without sign or blanks, a zero period, or a number beyond 64 bits
// (the period) or beyond a process id.
int DyrParseWatchdog(const char* usecText, const char* pidText, long ownPid, uint64_t& usec,
                     ZEPString& why);

// Both of the above over the three variables' values (null: unset).
DYRNotifyConf_tag DyrReadNotifyConf(const char* notifySocket, const char* watchdogUsec,
                                    const char* watchdogPid, long ownPid);

// The three variables of the running process, which are then removed from
// its environment so that no child the daemon may start speaks for it.
// Main thread, before any other thread exists (getenv/unsetenv).
DYRNotifyConf_tag DyrTakeNotifyEnvironment();

// How many running accounts are in each state.
struct DYRStateCounts_tag {
  int m_nLoggingIn = 0;
  int m_nWatching = 0;
  int m_nReporting = 0;
  int Total() const { return m_nLoggingIn + m_nWatching + m_nReporting; }
};

// "STATUS=2 accounts: 1 logging in, 0 watching, 1 reporting" ("1 account:"
// for one).
ZEPString DyrStatusMessage(const DYRStateCounts_tag& counts);
// "RELOADING=1\nMONOTONIC_USEC=N": a reload begins at monotonic time N.
ZEPString DyrReloadingMessage(uint64_t monotonicUsec);
// The ping period for a watchdog of `usec`: half of it in milliseconds, at
// least 1 and at most DYR_WATCHDOG_MAX_PERIOD_MS.
unsigned long DyrWatchdogPeriodMs(uint64_t usec);

#endif  // ZEP_APP_OPS_SVCNOTIFY_H
