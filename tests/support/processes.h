// processes.h — what the tests ask of the system's process table.
//
// Threads: any; plain functions reading /proc, no locks.
#ifndef ZEP_TESTS_SUPPORT_PROCESSES_H
#define ZEP_TESTS_SUPPORT_PROCESSES_H

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/files.h"

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

// Processes (other than this one) whose command line holds `args` in a row,
// e.g. {"-w", dir}: pid and the command line with spaces between words.
inline std::vector<std::pair<pid_t, std::string>> ProcessesWith(
    const std::vector<std::string>& args) {
  std::string want;
  for (const std::string& a : args) want += a + '\0';
  std::vector<std::pair<pid_t, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid == getpid()) continue;
    std::string cmd = ReadFile(entry.path() / "cmdline");
    if (cmd.find(want) == std::string::npos) continue;
    for (char& c : cmd) c = c == '\0' ? ' ' : c;
    found.emplace_back(pid, cmd);
  }
  return found;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_PROCESSES_H
