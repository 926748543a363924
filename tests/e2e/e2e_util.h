// Helpers of the end-to-end tests: a scratch work directory, the real
// binaries started with fork/exec, a scripted DDNS server on loopback UDP,
// and bounded waits. Every wait has a deadline; nothing sleeps unbounded.
#ifndef ZEP_TESTS_E2E_E2E_UTIL_H
#define ZEP_TESTS_E2E_E2E_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/waitfor.h"

namespace e2e {

using Clock = std::chrono::steady_clock;

inline std::string BinDir() {
  const char* env = std::getenv("ZEP_BIN_DIR");
  return env && *env ? env : ZEP_BIN_DIR;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

using zeptest::WaitFor;

inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
    ++n;
  return n;
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
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid == getpid()) continue;
    // ReadFile, not an istreambuf_iterator: a process that ends while it is
    // read makes the read fail (ESRCH), which the iterator throws.
    std::string cmd = ReadFile(entry.path() / "cmdline");
    if (cmd.find(want) == std::string::npos) continue;
    for (char& c : cmd) c = c == '\0' ? ' ' : c;
    found.emplace_back(pid, cmd);
  }
  return found;
}

// A work directory removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/dyre2e_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process; killed (and reaped) at destruction if still running.
class Process {
 public:
  // Starts `args` (args[0] is the program path) with stdout and stderr into
  // `outPath` and stdin from `inPath` (or /dev/null), in `cwd` when given.
  // `env` changes the child's environment: "NAME=VALUE" sets, "NAME" removes.
  bool Start(const std::vector<std::string>& args, const std::string& outPath,
             const std::string& inPath = "/dev/null", const std::string& cwd = "",
             const std::vector<std::string>& env = {}) {
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are made.
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
    exited_ = false;
    status_ = -1;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
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
    started_ = Clock::now();
    return true;
  }
  ~Process() { Kill(); }
  // SIGKILL and reap, when the child still runs.
  void Kill() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
      exited_ = true;
      status_ = 128 + SIGKILL;
    }
  }
  pid_t pid() const { return pid_; }
  bool Signal(int sig) { return pid_ > 0 && !exited_ && kill(pid_, sig) == 0; }
  // Waits up to `ms` for the exit; true with the exit status (or 128+signal).
  bool Wait(int ms, int& status) {
    if (exited_) {
      status = status_;
      return true;
    }
    bool done = WaitFor(
        [&] {
          int st;
          pid_t r = waitpid(pid_, &st, WNOHANG);
          if (r != pid_) return false;
          status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          exited_ = true;
          return true;
        },
        ms);
    status = status_;
    return done;
  }
  bool Running() {
    int st;
    return !Wait(0, st);
  }
  Clock::time_point started() const { return started_; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  Clock::time_point started_;
};

// One UDP socket bound to 127.0.0.1 on an ephemeral port.
class UdpPort {
 public:
  UdpPort() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPort() { close(fd_); }
  int port() const { return port_; }
  int fd() const { return fd_; }
  // One datagram within `ms`; false on time-out.
  bool Recv(std::string& data, sockaddr_in& from, int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[65536];
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    data.assign(buf, static_cast<size_t>(n));
    return true;
  }
  void SendTo(const sockaddr_in& to, const std::string& data) {
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

inline int SourcePort(const sockaddr_in& a) { return ntohs(a.sin_port); }

// Bytes still waiting in the receive queues of this host's UDP sockets bound
// to `port` (from /proc/net/udp). A flood fills the queue of a slow reader and
// the kernel drops what comes after, so a test that floods a socket waits for
// this to reach 0 before sending a datagram that must arrive.
inline long UdpBytesQueued(int port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);  // header
  long total = 0;
  while (std::getline(in, line)) {
    unsigned local_ip = 0, local_port = 0, remote_ip = 0, remote_port = 0, st = 0;
    unsigned long tx = 0, rx = 0;
    if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &local_ip, &local_port,
                    &remote_ip, &remote_port, &st, &tx, &rx) == 7 &&
        static_cast<int>(local_port) == port) {
      total += static_cast<long>(rx);
    }
  }
  return total;
}

}  // namespace e2e

#endif  // ZEP_TESTS_E2E_E2E_UTIL_H
