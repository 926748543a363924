// dyrlimits.h — how many accounts the limits in force let the daemon run.
//
// An account takes two sockets (its main and assist links) and, while they
// are read, the wake-up descriptor of each socket's thread: four
// descriptors. It takes three threads (the two socket threads and the
// worker its node runs on), the two stack mappings of each, and two local
// UDP ports (a connected datagram socket binds one). At start the daemon
// compares what its accounts need with each limit in force and logs one
// line: INFO naming the limit that leaves least room when every account
// fits, WARN naming the limit and how many accounts fit when they do not.
// Without that line a short limit only shows as links that cannot be opened
// ("错误:无法联接:…") or sockets that are never read.
//
// Owns nothing. Threads: any. Locks: none of its own; DyrCheckScaleLimits
// logs (g_LogMutex) with no other lock held.
#ifndef ZEP_APP_DYRLIMITS_H
#define ZEP_APP_DYRLIMITS_H

#include <cstddef>
#include <vector>

#include "base/zepstring.h"

struct DYRLimit_tag {
  const char* m_pszName;  // as an operator would look it up
  long long m_nLimit;     // < 0: none, or not known here
  long long m_nInUse;     // taken before the accounts start
  long long m_nPerAccount;
};

// Accounts that fit under the limit: (limit - in use) / per account, 0 when
// nothing is left, -1 when there is no limit (or nothing per account).
long long DyrAccountsThatFit(const DYRLimit_tag& limit);

// The start-up line for `accounts` against `limits`: its log level
// (LOG_INFO or LOG_WARN, zeplog.h) and its text in `line`; -1 and an empty
// line when no limit is known.
int DyrScaleLine(size_t accounts, const std::vector<DYRLimit_tag>& limits, ZEPString& line);

// The limits in force now, with what this process (or, for system-wide
// limits, the system) already uses: RLIMIT_NOFILE, RLIMIT_NPROC (not for
// root, which it does not bind), the cgroup's pids.max, threads-max,
// pid_max, vm.max_map_count and the local port range. A limit that cannot
// be read is left out.
std::vector<DYRLimit_tag> DyrLimitsInForce();

// Logs the start-up line for `accounts` (before their nodes start, after
// the descriptor limit was raised).
void DyrCheckScaleLimits(size_t accounts);

#endif  // ZEP_APP_DYRLIMITS_H
