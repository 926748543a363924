#include "app/dyrlimits.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "log/zeplog.h"

namespace {

// What one account takes of each (see the header).
const long long kDescriptorsPerAccount = 4;
const long long kThreadsPerAccount = 3;
const long long kMappingsPerAccount = 2 * kThreadsPerAccount;
const long long kPortsPerAccount = 2;
// Taken after the check by the daemon itself: the console's listener and
// the address watch, each a socket, a wake-up descriptor and threads.
const long long kOwnDescriptorsLater = 8;
const long long kOwnThreadsLater = 4;

long long ReadNumber(const char* path) {
  std::ifstream in(path);
  long long n = -1;
  if (!(in >> n)) return -1;
  return n;
}

long long CountLines(const char* path) {
  std::ifstream in(path);
  if (!in) return -1;
  long long n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

long long CountDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  long long n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

long long StatusField(const char* key) {
  std::ifstream in("/proc/self/status");
  const size_t len = std::strlen(key);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, len, key) == 0) return std::atoll(line.c_str() + len);
  return -1;
}

// Threads of the whole system: the fourth field of /proc/loadavg, "1/126".
long long SystemThreads() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c, runnable;
  if (!(in >> a >> b >> c >> runnable)) return -1;
  size_t slash = runnable.find('/');
  return slash == std::string::npos ? -1 : std::atoll(runnable.c_str() + slash + 1);
}

// The directory of this process's cgroup that holds pids.max: the pids
// controller's ("N:pids:/path", a split hierarchy) or else the unified one
// ("0::/path"); "" when neither is listed.
std::string CgroupDir() {
  std::ifstream in("/proc/self/cgroup");
  std::string unified;
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(":pids:");
    if (at != std::string::npos) return "/sys/fs/cgroup/pids" + line.substr(at + 6);
    if (line.compare(0, 3, "0::") == 0) unified = "/sys/fs/cgroup" + line.substr(3);
  }
  return unified;
}

long long RlimitCur(int resource) {
  rlimit lim{};
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long long>(lim.rlim_cur);
}

void Add(std::vector<DYRLimit_tag>& out, const char* name, long long limit, long long inUse,
         long long perAccount) {
  if (limit < 0 || inUse < 0) return;
  out.push_back(DYRLimit_tag{name, limit, inUse, perAccount});
}

}  // namespace

long long DyrAccountsThatFit(const DYRLimit_tag& limit) {
  if (limit.m_nLimit < 0 || limit.m_nPerAccount <= 0) return -1;
  if (limit.m_nInUse >= limit.m_nLimit) return 0;
  return (limit.m_nLimit - limit.m_nInUse) / limit.m_nPerAccount;
}

int DyrScaleLine(size_t accounts, const std::vector<DYRLimit_tag>& limits, ZEPString& line) {
  line = "";
  const DYRLimit_tag* tightest = nullptr;
  long long fewest = -1;
  ZEPString alsoShort;
  const long long want = static_cast<long long>(accounts);
  for (const DYRLimit_tag& l : limits) {
    long long fit = DyrAccountsThatFit(l);
    if (fit < 0) continue;
    if (tightest == nullptr || fit < fewest) {
      if (tightest != nullptr && fewest < want) alsoShort << " " << tightest->m_pszName;
      tightest = &l;
      fewest = fit;
    } else if (fit < want) {
      alsoShort << " " << l.m_pszName;
    }
  }
  if (tightest == nullptr) return -1;
  const bool fits = fewest >= want;
  line << "Scale: " << want << " account(s) need " << tightest->m_nPerAccount << " of "
       << tightest->m_pszName << " each; its limit is " << tightest->m_nLimit << " with "
       << tightest->m_nInUse << " in use, so " << fewest << " account(s) fit";
  if (fits) return LOG_INFO;
  line << ": the other " << (want - fewest)
       << " cannot open their links or are never read until the limit is raised";
  if (!alsoShort.IsEmpty()) line << " (short too:" << alsoShort << ")";
  return LOG_WARN;
}

std::vector<DYRLimit_tag> DyrLimitsInForce() {
  std::vector<DYRLimit_tag> out;
  Add(out, "RLIMIT_NOFILE (descriptors)", RlimitCur(RLIMIT_NOFILE),
      CountDescriptors() + kOwnDescriptorsLater, kDescriptorsPerAccount);
  const long long threads = StatusField("Threads:");
  const long long ownThreads = threads < 0 ? -1 : threads + kOwnThreadsLater;
  // Counted per user, this process only here (other processes of the user
  // take their share too); root is not held to it.
  if (getuid() != 0)
    Add(out, "RLIMIT_NPROC (threads of the user)", RlimitCur(RLIMIT_NPROC), ownThreads,
        kThreadsPerAccount);
  const std::string cg = CgroupDir();
  if (!cg.empty()) {
    // "max" reads as no number: no limit.
    Add(out, "the cgroup's pids.max (TasksMax)", ReadNumber((cg + "/pids.max").c_str()),
        ReadNumber((cg + "/pids.current").c_str()) + kOwnThreadsLater, kThreadsPerAccount);
  }
  const long long system = SystemThreads();
  const long long systemInUse = system < 0 ? -1 : system + kOwnThreadsLater;
  Add(out, "kernel.threads-max", ReadNumber("/proc/sys/kernel/threads-max"), systemInUse,
      kThreadsPerAccount);
  Add(out, "kernel.pid_max", ReadNumber("/proc/sys/kernel/pid_max"), systemInUse,
      kThreadsPerAccount);
  const long long maps = CountLines("/proc/self/maps");
  Add(out, "vm.max_map_count (mappings)", ReadNumber("/proc/sys/vm/max_map_count"),
      maps < 0 ? -1 : maps + 2 * kOwnThreadsLater, kMappingsPerAccount);
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  long long low = 0, high = -1;
  if (range >> low >> high && high >= low) {
    const long long udp = CountLines("/proc/net/udp");  // a heading, then a socket a line
    Add(out, "net.ipv4.ip_local_port_range (local ports)", high - low + 1, udp < 1 ? -1 : udp - 1,
        kPortsPerAccount);
  }
  return out;
}

void DyrCheckScaleLimits(size_t accounts) {
  if (accounts == 0) return;
  ZEPString line;
  int level = DyrScaleLine(accounts, DyrLimitsInForce(), line);
  if (level >= 0) ZEP_LOG_LINE(static_cast<LOG_TYPE_>(level), line);
}
