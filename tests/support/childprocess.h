// childprocess.h — the built programs (dyrclient, ddnsserver, cmdlink) run
// as children of a test with fork/exec, and where the build put them.
//
// Threads: a Process belongs to the thread that made it; it takes no locks.
// Everything the child needs is prepared before fork, so a test with other
// threads running may start one.
#ifndef ZEP_TESTS_SUPPORT_CHILDPROCESS_H
#define ZEP_TESTS_SUPPORT_CHILDPROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/waitfor.h"

namespace zeptest {

using Clock = std::chrono::steady_clock;

// The build directory: $ZEP_BIN_DIR when set (CTest sets it), else the one
// this binary was configured in.
inline std::string BinDir() {
  const char* env = std::getenv("ZEP_BIN_DIR");
  if (env != nullptr && *env != '\0') return env;
#ifdef ZEP_BIN_DIR
  return ZEP_BIN_DIR;
#else
  return ".";
#endif
}

// A child process; killed (and reaped) at destruction if still running.
class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { Kill(); }

  // Starts `args` (args[0] is the program path) with stdout and stderr into
  // `outPath` and stdin from `inPath` (or /dev/null), in `cwd` when given.
  // `env` changes the child's environment: "NAME=VALUE" sets, "NAME" removes.
  bool Start(const std::vector<std::string>& args, const std::string& outPath,
             const std::string& inPath = "/dev/null", const std::string& cwd = "",
             const std::vector<std::string>& env = {}) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
    for (const std::string& change : env) {
      const std::string name = change.substr(0, change.find('=')) + "=";
      vars.erase(std::remove_if(vars.begin(), vars.end(),
                                [&](const std::string& v) { return v.rfind(name, 0) == 0; }),
                 vars.end());
      if (change.find('=') != std::string::npos) vars.push_back(change);
    }
    std::vector<char*> envp;
    for (const std::string& v : vars) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    // A second start forgets the first child: one still running is ended
    // now, and the exit of the first must not stand for the second's.
    Kill();
    m_bExited = false;
    m_nStatus = -1;
    std::fflush(nullptr);  // or the child could write our buffered output again
    m_Pid = fork();
    if (m_Pid < 0) return false;
    if (m_Pid == 0) {
      // Only async-signal-safe calls from here on.
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
      int in = open(inPath.c_str(), O_RDONLY);
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in >= 0) dup2(in, 0);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    m_Started = Clock::now();
    return true;
  }
  // SIGKILL and reap, when the child still runs.
  void Kill() {
    if (m_Pid > 0 && !m_bExited) {
      kill(m_Pid, SIGKILL);
      int st;
      waitpid(m_Pid, &st, 0);
      m_bExited = true;
      m_nStatus = 128 + SIGKILL;
    }
  }
  pid_t pid() const { return m_Pid; }
  bool Signal(int sig) { return m_Pid > 0 && !m_bExited && kill(m_Pid, sig) == 0; }
  // Waits up to `ms` for the exit; true with the exit status (or 128+signal).
  bool Wait(int ms, int& status) {
    if (m_bExited || m_Pid <= 0) {
      status = m_nStatus;
      return m_bExited;
    }
    bool done = WaitFor(
        [&] {
          int st;
          pid_t r = waitpid(m_Pid, &st, WNOHANG);
          if (r != m_Pid) return false;
          m_nStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          m_bExited = true;
          return true;
        },
        ms);
    status = m_nStatus;
    return done;
  }
  bool Running() {
    int st;
    return m_Pid > 0 && !Wait(0, st);
  }
  Clock::time_point started() const { return m_Started; }

 private:
  pid_t m_Pid = -1;
  bool m_bExited = false;
  int m_nStatus = -1;
  Clock::time_point m_Started;
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_CHILDPROCESS_H
