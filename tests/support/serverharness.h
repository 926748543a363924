// serverharness.h — test helpers around the reference server binary: start
// `ddnsserver` on ephemeral loopback ports in a private temporary directory,
// read its state file and datagram log, drive it through its control file,
// and talk to it over real UDP sockets. Every wait has a deadline.
//
// Threads: a harness object belongs to the test thread that made it.
#ifndef ZEP_TESTS_SUPPORT_SERVERHARNESS_H
#define ZEP_TESTS_SUPPORT_SERVERHARNESS_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/childprocess.h"
#include "support/files.h"
#include "support/tempdir.h"
#include "support/udpsocket.h"
#include "support/waitfor.h"

namespace zeptest {

// The ddnsserver process with state, log and control files in its own
// directory and both ports chosen by the kernel.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> extraArgs = {}) : m_Args(std::move(extraArgs)) {}
  ~ServerProcess() { Stop(); }

  bool Start() {
    std::vector<std::string> args = {BinDir() + "/ddnsserver",
                                     "--main-port",
                                     "0",
                                     "--assist-port",
                                     "0",
                                     "--state",
                                     StatePath(),
                                     "--log",
                                     LogPath(),
                                     "--control",
                                     ControlPath()};
    args.insert(args.end(), m_Args.begin(), m_Args.end());
    std::fflush(nullptr);  // or the child would write our buffered output again
    m_Pid = fork();
    if (m_Pid == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      // Its stdout repeats the log; keep test output quiet.
      if (std::freopen(OutPath().c_str(), "w", stdout) == nullptr) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (m_Pid < 0) return false;
    return WaitFor([this] {
      std::string s = State();
      unsigned mp = 0, ap = 0;
      if (std::sscanf(s.c_str(), "main_port %u\nassist_port %u", &mp, &ap) != 2) return false;
      m_MainPort = static_cast<uint16_t>(mp);
      m_AssistPort = static_cast<uint16_t>(ap);
      return mp != 0 && ap != 0;
    });
  }

  // SIGTERM and wait (SIGKILL after 5 s). Returns the exit status, -1 if it
  // had to be killed or was not running.
  int Stop() {
    if (m_Pid <= 0) return -1;
    kill(m_Pid, SIGTERM);
    int status = 0;
    int rc = -1;
    bool done = WaitFor([&] { return waitpid(m_Pid, &status, WNOHANG) == m_Pid; });
    if (done && WIFEXITED(status)) {
      rc = WEXITSTATUS(status);
    } else if (!done) {
      kill(m_Pid, SIGKILL);
      waitpid(m_Pid, &status, 0);
    }
    m_Pid = -1;
    return rc;
  }

  // Reaps the process if it has ended.
  bool Alive() {
    if (m_Pid > 0 && waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) m_Pid = -1;
    return m_Pid > 0;
  }
  void Signal(int sig) const {
    if (m_Pid > 0) kill(m_Pid, sig);
  }

  // Written aside and renamed so the server never reads half a file.
  void Control(const std::string& lines) const {
    std::string tmp = ControlPath() + ".tmp";
    std::ofstream(tmp) << lines;
    std::rename(tmp.c_str(), ControlPath().c_str());
  }

  std::string State() const { return ReadFile(StatePath()); }
  std::string Log() const { return ReadFile(LogPath()); }
  std::string StatePath() const { return m_Dir / "state"; }
  std::string LogPath() const { return m_Dir / "log"; }
  std::string ControlPath() const { return m_Dir / "control"; }
  std::string OutPath() const { return m_Dir / "stdout"; }
  uint16_t MainPort() const { return m_MainPort; }
  uint16_t AssistPort() const { return m_AssistPort; }

 private:
  TempDir m_Dir;
  std::vector<std::string> m_Args;
  pid_t m_Pid = -1;
  uint16_t m_MainPort = 0;
  uint16_t m_AssistPort = 0;
};

// The value of `key=` in the first line of `text` that starts with
// `prefix`; "" when there is none.
inline std::string Field(const std::string& text, const std::string& prefix,
                         const std::string& key) {
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::stringstream words(line);
    std::string w;
    while (words >> w) {
      if (w.compare(0, key.size() + 1, key + "=") == 0) return w.substr(key.size() + 1);
    }
    return "";
  }
  return "";
}

inline std::string Hex(const std::string& bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_SERVERHARNESS_H
