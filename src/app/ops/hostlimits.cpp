#include "app/ops/hostlimits.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/ops/hook.h"
#include "base/zepdecimal.h"
#include "base/zepsmallfile.h"
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

// The kernel's small files are read whole through read(2): the iostreams
// would touch some 400 KB of the C++ library for these few numbers, once,
// in a daemon whose whole resident size is 4.5 MB. A file past its cap is
// taken for one that cannot be read.
const size_t kKernelTextMax = 16384;
const size_t kKernelNumberMax = 256;

bool ReadText(const char* path, std::string& out, size_t max = kKernelTextMax) {
  return ZEPLoadSmallFile(path, true, max, out) == 0;
}

// The decimal number a file starts with (blanks first allowed); -1 for none,
// "max" included.
long long ReadNumber(const char* path) {
  std::string text;
  uint64_t n = 0;
  if (!ReadText(path, text, kKernelNumberMax) ||
      ZEPParseDecimal(text.data(), text.size(), 0, INT64_MAX, n,
                      kZepDecimalBlanks | kZepDecimalPrefix) != 0)
    return -1;
  return static_cast<long long>(n);
}

// Lines of a file of any length, a last one without its end included.
long long CountLines(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long long n = 0;
  char buf[8192];
  char last = '\n';
  for (;;) {
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) n += buf[i] == '\n';
    last = buf[got - 1];
  }
  close(fd);
  return n + (last != '\n' ? 1 : 0);
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
  std::string text;
  if (!ReadText("/proc/self/status", text)) return -1;
  const size_t len = std::strlen(key);
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    uint64_t n = 0;
    if (text.compare(at, len, key) == 0)
      return ZEPParseDecimal(text.data() + at + len, eol - at - len, 0, INT64_MAX, n,
                             kZepDecimalBlanks | kZepDecimalPrefix) == 0
                 ? static_cast<long long>(n)
                 : -1;
    at = eol + 1;
  }
  return -1;
}

// Threads of the whole system: the fourth field of /proc/loadavg, "1/126".
long long SystemThreads() {
  std::string text;
  if (!ReadText("/proc/loadavg", text, kKernelNumberMax)) return -1;
  long long running = 0, all = 0;
  if (std::sscanf(text.c_str(), "%*s %*s %*s %lld/%lld", &running, &all) != 2) return -1;
  return all;
}

// The directory of this process's cgroup in the hierarchy that counts its
// tasks (see DyrFindPidsLimit), and the path that hierarchy's root is
// reached by from it; false when /proc/self/cgroup lists neither.
bool CgroupPath(const std::string& text, const std::string& root, std::string& base,
                std::string& path) {
  bool unified = false;
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(at, eol - at);
    at = eol + 1;
    const size_t c1 = line.find(':');
    const size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
    const std::string where = line.substr(c2 + 1);
    if (("," + controllers + ",").find(",pids,") != std::string::npos) {
      // A split hierarchy: the pids controller's is the one that counts.
      base = root + "/" + controllers;
      path = where;
      return true;
    }
    if (!unified && line.compare(0, 3, "0::") == 0) {
      unified = true;
      base = root;
      path = where;
    }
  }
  return unified;
}

long long RlimitCur(int resource) {
  rlimit lim{};
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long long>(lim.rlim_cur);
}

void Add(std::vector<DYRLimit_tag>& out, const char* name, long long limit, long long inUse,
         long long perAccount, const std::string& where = std::string()) {
  if (limit < 0 || inUse < 0) return;
  out.push_back(DYRLimit_tag{name, limit, inUse, perAccount, where});
}

}  // namespace

int DyrFindPidsLimit(const char* root, const std::string& procCgroup, long long ownTasks,
                     DYRPidsLimit_tag& out) {
  out = DYRPidsLimit_tag();
  std::string base, path;
  if (root == nullptr || !CgroupPath(procCgroup, root, base, path)) return -1;
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  long long leafCurrent = -1;
  long long leastRoom = 0;
  for (bool leaf = true;; leaf = false) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string dir = path == "/" ? base : base + path;
    const long long current = ReadNumber((dir + "/pids.current").c_str());
    if (leaf) leafCurrent = current >= 0 ? current : ownTasks;
    const long long max = ReadNumber((dir + "/pids.max").c_str());
    if (max >= 0) {
      // A subtree holds at least what its leaf holds.
      const long long inUse = current >= 0 ? current : leafCurrent;
      if (inUse >= 0 && (out.m_nMax < 0 || max - inUse < leastRoom)) {
        out.m_strDir = dir;
        out.m_nMax = max;
        out.m_nCurrent = inUse;
        leastRoom = max - inUse;
      }
    }
    if (path == "/") break;
    const size_t slash = path.rfind('/');
    path.erase(slash == 0 ? 1 : slash);
  }
  return out.m_nMax >= 0 ? 0 : -1;
}

long long DyrAccountsThatFit(const DYRLimit_tag& limit) {
  if (limit.m_nLimit < 0 || limit.m_nPerAccount <= 0) return -1;
  if (limit.m_nInUse >= limit.m_nLimit) return 0;
  return (limit.m_nLimit - limit.m_nInUse) / limit.m_nPerAccount;
}

DYRScaleFit DyrScaleLine(size_t accounts, const std::vector<DYRLimit_tag>& limits,
                         ZEPString& line) {
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
  if (tightest == nullptr) return DYRScaleFit::kNoLimit;
  const bool fits = fewest >= want;
  line << "Scale: " << want << " account(s) need " << tightest->m_nPerAccount << " of "
       << tightest->m_pszName;
  if (!tightest->m_strWhere.empty()) line << " at " << tightest->m_strWhere.c_str();
  line << " each; its limit is " << tightest->m_nLimit << " with " << tightest->m_nInUse
       << " in use, so " << fewest << " account(s) fit";
  if (fits) return DYRScaleFit::kAllFit;
  line << ": the other " << (want - fewest)
       << " cannot open their links or are never read until the limit is raised";
  if (!alsoShort.IsEmpty()) line << " (short too:" << alsoShort << ")";
  return DYRScaleFit::kShort;
}

std::vector<DYRLimit_tag> DyrLimitsInForce(long long laterTasks) {
  std::vector<DYRLimit_tag> out;
  Add(out, "RLIMIT_NOFILE (descriptors)", RlimitCur(RLIMIT_NOFILE),
      CountDescriptors() + kOwnDescriptorsLater, kDescriptorsPerAccount);
  const long long threads = StatusField("Threads:");
  const long long ownThreads = threads < 0 ? -1 : threads + kOwnThreadsLater + laterTasks;
  // Counted per user, this process only here (other processes of the user
  // take their share too); root is not held to it.
  if (getuid() != 0)
    Add(out, "RLIMIT_NPROC (threads of the user)", RlimitCur(RLIMIT_NPROC), ownThreads,
        kThreadsPerAccount);
  std::string procCgroup;
  DYRPidsLimit_tag pids;
  if (ReadText("/proc/self/cgroup", procCgroup) &&
      DyrFindPidsLimit("/sys/fs/cgroup", procCgroup, threads, pids) == 0) {
    Add(out, "the cgroup's pids.max (TasksMax)", pids.m_nMax,
        pids.m_nCurrent + kOwnThreadsLater + laterTasks, kThreadsPerAccount, pids.m_strDir);
  }
  const long long system = SystemThreads();
  const long long systemInUse = system < 0 ? -1 : system + kOwnThreadsLater + laterTasks;
  Add(out, "kernel.threads-max", ReadNumber("/proc/sys/kernel/threads-max"), systemInUse,
      kThreadsPerAccount);
  Add(out, "kernel.pid_max", ReadNumber("/proc/sys/kernel/pid_max"), systemInUse,
      kThreadsPerAccount);
  const long long maps = CountLines("/proc/self/maps");
  Add(out, "vm.max_map_count (mappings)", ReadNumber("/proc/sys/vm/max_map_count"),
      maps < 0 ? -1 : maps + 2 * kOwnThreadsLater, kMappingsPerAccount);
  std::string range;
  long long low = 0, high = -1;
  if (ReadText("/proc/sys/net/ipv4/ip_local_port_range", range, kKernelNumberMax) &&
      std::sscanf(range.c_str(), "%lld %lld", &low, &high) == 2 && high >= low) {
    const long long udp = CountLines("/proc/net/udp");  // a heading, then a socket a line
    Add(out, "net.ipv4.ip_local_port_range (local ports)", high - low + 1, udp < 1 ? -1 : udp - 1,
        kPortsPerAccount);
  }
  return out;
}

long long DyrHookTasks(const char* iniPath) {
  DYRHookConf_tag conf;
  if (ReadDyrHook(iniPath, conf) != 0 || !conf.m_bPresent) return 0;
  std::string command;
  int timeout = 0;
  std::vector<ZEPString> warnings;
  DyrHookSettings(conf, command, timeout, warnings);
  return command.empty() ? 0 : static_cast<long long>(kHookMaxRunning);
}

void DyrCheckScaleLimits(size_t accounts, const char* iniPath) {
  if (accounts == 0) return;
  ZEPString line;
  switch (DyrScaleLine(accounts, DyrLimitsInForce(DyrHookTasks(iniPath)), line)) {
    case DYRScaleFit::kNoLimit:
      break;
    case DYRScaleFit::kAllFit:
      ZEP_LOG_LINE(LOG_INFO, line);
      break;
    case DYRScaleFit::kShort:
      ZEP_LOG_LINE(LOG_WARN, line);
      break;
  }
}
