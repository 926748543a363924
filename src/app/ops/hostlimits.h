// hostlimits.h — how many accounts the limits in force let the daemon run.
//
// An account takes two sockets (its main and assist links) and, while they
// are read, the wake-up descriptor of each socket's thread: four
// descriptors. It takes three threads (the two socket threads and the
// worker its node runs on), the two stack mappings of each, and two local
// UDP ports (a connected datagram socket binds one). At start the daemon
// compares what its accounts need with each limit in force and logs one
// line: INFO naming the limit that leaves least room when every account
// fits, WARN naming the limit and how many accounts fit when they do not;
// for pids.max, the cgroup that sets it. The hook's runs (up to
// kHookMaxRunning processes at once, hook.h) are tasks of the same
// cgroup and user, and count against the limits of tasks.
// Without that line a short limit only shows as links that cannot be opened
// ("错误:无法联接:…") or sockets that are never read.
//
// Owns nothing. Threads: any. Locks: none of its own; DyrCheckScaleLimits
// logs (g_LogMutex) with no other lock held.
#ifndef ZEP_APP_OPS_HOSTLIMITS_H
#define ZEP_APP_OPS_HOSTLIMITS_H

#include <cstddef>
#include <string>
#include <vector>

#include "base/zepstring.h"

struct DYRLimit_tag {
  const char* m_pszName;  // as an operator would look it up
  long long m_nLimit;     // < 0: none, or not known here
  long long m_nInUse;     // taken before the accounts start
  long long m_nPerAccount;
  std::string m_strWhere = std::string();  // where it is set (a cgroup); "" when the name says
};

// The pids.max that binds a cgroup: the directory that sets it, its limit
// and the tasks its subtree holds.
struct DYRPidsLimit_tag {
  std::string m_strDir;
  long long m_nMax = -1;
  long long m_nCurrent = -1;
};

// The binding pids.max of this process's cgroup, found under `root`
// (normally /sys/fs/cgroup) from `procCgroup`, the text of
// /proc/self/cgroup: the v1 pids hierarchy's line ("N:pids:/path", under
// root/pids) where there is one, else the unified hierarchy's ("0::/path").
// Every directory from the leaf up to the hierarchy's root is looked at (a
// parent's limit, a user slice's TasksMax or a container's, holds the whole
// subtree): the one that leaves least room (pids.max - pids.current) binds.
// A level whose pids.max reads "max" or cannot be read sets nothing; one
// whose pids.current cannot be read is taken to hold what the leaf holds
// (`ownTasks` when the leaf's cannot be read either). 0 with `out` set; -1
// when no level sets a limit.
int DyrFindPidsLimit(const char* root, const std::string& procCgroup, long long ownTasks,
                     DYRPidsLimit_tag& out);

// Accounts that fit under the limit: (limit - in use) / per account, 0 when
// nothing is left, -1 when there is no limit (or nothing per account).
long long DyrAccountsThatFit(const DYRLimit_tag& limit);

// What the start-up line found: no limit known (and no line), every
// account fits under the tightest limit, or some do not.
enum class DYRScaleFit { kNoLimit, kAllFit, kShort };

// The start-up line for `accounts` against `limits`, its text in `line`
// (empty with kNoLimit). The caller logs kAllFit at INFO and kShort at WARN.
DYRScaleFit DyrScaleLine(size_t accounts, const std::vector<DYRLimit_tag>& limits, ZEPString& line);

// The limits in force now, with what this process (or, for system-wide
// limits, the system) already uses: RLIMIT_NOFILE, RLIMIT_NPROC (not for
// root, which it does not bind), the binding pids.max of the cgroup's path
// (DyrFindPidsLimit), threads-max, pid_max, vm.max_map_count and the local
// port range. `laterTasks` more tasks (the hook's processes) count as in
// use for each limit of tasks. A limit that cannot be read is left out.
std::vector<DYRLimit_tag> DyrLimitsInForce(long long laterTasks = 0);

// Processes the [HOOK] of `iniPath` may run at once: kHookMaxRunning when
// it runs a command, else 0.
long long DyrHookTasks(const char* iniPath);

// Logs the start-up line for `accounts` read from `iniPath` (before their
// nodes start, after the descriptor limit was raised), its hook's
// processes counted.
void DyrCheckScaleLimits(size_t accounts, const char* iniPath);

#endif  // ZEP_APP_OPS_HOSTLIMITS_H
