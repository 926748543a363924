// processes.h — what the tests ask of the system's process table.
#ifndef ZEP_TESTS_SUPPORT_PROCESSES_H
#define ZEP_TESTS_SUPPORT_PROCESSES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zeptest {

// Whether a process of group `pgid` is alive. A zombie is not: a process
// killed after its parent let go of it waits for whoever reaps orphans.
inline bool GroupAlive(long pgid) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream f(entry.path() / "stat");
    std::string stat;
    if (!std::getline(f, stat)) continue;
    // "pid (name) state ppid pgrp ...": the name may hold anything but ")".
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (!(rest >> state >> ppid >> pgrp)) continue;
    if (pgrp == pgid && state != 'Z') return true;
  }
  return false;
}

// Whether process `pid` is alive; a zombie is not (see above).
inline bool ProcessAlive(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return false;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_PROCESSES_H
