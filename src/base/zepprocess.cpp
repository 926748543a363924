#include "base/zepprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/zepmultithread_clock.h"

extern char** environ;

namespace {

// The child's end of standard error when it follows standard output.
const int kFollowStdout = -3;

// What a child sends its parent when it cannot run the program.
struct ChildReport_tag {
  int m_nStep;
  int m_nErrno;
};

}  // namespace

// Everything the child needs, made before the fork: after it, the child
// makes only async-signal-safe calls.
struct ZEPChildPlan_tag {
  const char* m_pPath;
  char* const* m_pArgv;
  char* const* m_pEnv;
  int m_Child[3];  // the child's ends; -1: inherited as it is
  int m_nReport;
  bool m_bGroup;
  int m_nLimit;
};

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

[[noreturn]] void ChildFails(int report, ZEPSpawnStep step) {
  const ChildReport_tag msg{step, errno};
  // One small write into an empty pipe: whole or not at all.
  ssize_t n = write(report, &msg, sizeof msg);
  (void)n;
  _exit(step == kZEPSpawnExec ? 127 : 126);
}

[[noreturn]] void RunChild(const ZEPChildPlan_tag& plan) {
  if (plan.m_bGroup && setpgid(0, 0) != 0) ChildFails(plan.m_nReport, kZEPSpawnSetup);
  // Also what the parent ignores (SIGPIPE, say): the program must not.
  ZEPChildDefaultSignals();
  // Moved above 2 first: a parent started with 0, 1 or 2 closed may have
  // been given those numbers for these ends, and dup2 onto itself would keep
  // close-on-exec.
  const int report = fcntl(plan.m_nReport, F_DUPFD_CLOEXEC, 3);
  if (report < 0) ChildFails(plan.m_nReport, kZEPSpawnSetup);
  int moved[3] = {-1, -1, -1};
  for (int s = 0; s < 3; ++s) {
    if (plan.m_Child[s] >= 0 && (moved[s] = fcntl(plan.m_Child[s], F_DUPFD_CLOEXEC, 3)) < 0)
      ChildFails(report, kZEPSpawnSetup);
  }
  for (int s = 0; s < 3; ++s) {
    if (moved[s] >= 0 && dup2(moved[s], s) < 0) ChildFails(report, kZEPSpawnSetup);
  }
  if (plan.m_Child[2] == kFollowStdout && dup2(1, 2) < 0) ChildFails(report, kZEPSpawnSetup);
  ZEPCloseFrom(3, report, plan.m_nLimit);
  // The program starts with nothing blocked, whatever the parent's thread blocks.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(plan.m_pPath, plan.m_pArgv, plan.m_pEnv);
  ChildFails(report, kZEPSpawnExec);
}

// The child's and the parent's end of one standard stream; -1 for none.
int OpenStream(int stream, ZEPStdio how, int& child, int& parent) {
  child = parent = -1;
  if (how == kZEPStdAsStdout) {
    child = kFollowStdout;  // standard error only (Spawn checks)
    return 0;
  }
  if (how == kZEPStdNull) {
    child = open("/dev/null", (stream == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    return child >= 0 ? 0 : -1;
  }
  if (how != kZEPStdPipe) return 0;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  child = stream == 0 ? fds[0] : fds[1];
  parent = stream == 0 ? fds[1] : fds[0];
  fcntl(parent, F_SETFL, fcntl(parent, F_GETFL) | O_NONBLOCK);
  return 0;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);  // close-on-exec already; said once more
  return fd;
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

void ZEPChildDefaultSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  // The C library's own signals refuse, and SIGKILL and SIGSTOP cannot be
  // caught: those calls fail and change nothing.
  for (int sig = 1; sig < NSIG; ++sig) (void)sigaction(sig, &dfl, nullptr);
}

void ZEPCloseFrom(int from, int keep, int limit) {
#ifdef SYS_close_range
  const auto range = [](int first, unsigned last) {
    return static_cast<unsigned>(first) > last ||
           syscall(SYS_close_range, static_cast<unsigned>(first), last, 0u) == 0;
  };
  if (keep < from ? range(from, ~0u)
                  : range(from, static_cast<unsigned>(keep) - 1u) && range(keep + 1, ~0u))
    return;
#endif
  for (int fd = from; fd < limit; ++fd) {
    if (fd != keep) close(fd);
  }
}

int ZEPDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < 1048576)
    return static_cast<int>(lim.rlim_cur);
  return 65536;
}

ZEPProcess::~ZEPProcess() { CloseAll(); }

ZEPProcess::ZEPProcess(ZEPProcess&& other) noexcept { *this = std::move(other); }

ZEPProcess& ZEPProcess::operator=(ZEPProcess&& other) noexcept {
  if (this == &other) return *this;
  CloseAll();
  m_nPid = other.m_nPid;
  m_nPidFd = other.m_nPidFd;
  for (int s = 0; s < 3; ++s) m_Fds[s] = other.m_Fds[s];
  m_bGroup = other.m_bGroup;
  m_bReaped = other.m_bReaped;
  m_bLost = other.m_bLost;
  m_nStatus = other.m_nStatus;
  m_eFailStep = other.m_eFailStep;
  other.m_nPid = -1;
  other.m_nPidFd = -1;
  for (int& fd : other.m_Fds) fd = -1;
  return *this;
}

void ZEPProcess::CloseAll() {
  CloseFd(m_nPidFd);
  for (int& fd : m_Fds) CloseFd(fd);
}

int ZEPProcess::Fd(int stream) const { return stream >= 0 && stream < 3 ? m_Fds[stream] : -1; }

int ZEPProcess::TakeFd(int stream) {
  if (stream < 0 || stream >= 3) return -1;
  const int fd = m_Fds[stream];
  m_Fds[stream] = -1;
  return fd;
}

int ZEPProcess::Spawn(const ZEPSpawn_tag& child) {
  if (m_nPid > 0 && !m_bReaped && !m_bLost) {
    m_eFailStep = kZEPSpawnArgs;
    errno = EBUSY;
    return -1;
  }
  *this = ZEPProcess();
  if (child.m_Argv.empty() || child.m_Argv[0].empty() || child.m_eStdin == kZEPStdAsStdout ||
      child.m_eStdout == kZEPStdAsStdout) {
    m_eFailStep = kZEPSpawnArgs;
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& a : child.m_Argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& e : child.m_Env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  ZEPChildPlan_tag plan{child.m_Argv[0].c_str(),
                        argv.data(),
                        child.m_bInheritEnv ? environ : env.data(),
                        {-1, -1, -1},
                        -1,
                        child.m_bNewGroup,
                        ZEPDescriptorLimit()};
  return StartChild(child, plan);
}

int ZEPProcess::StartChild(const ZEPSpawn_tag& child, ZEPChildPlan_tag& plan) {
  const ZEPStdio how[3] = {child.m_eStdin, child.m_eStdout, child.m_eStderr};
  int report[2] = {-1, -1};  // the child's failure; closed by a successful exec
  int rc = 0;
  for (int s = 0; rc == 0 && s < 3; ++s) rc = OpenStream(s, how[s], plan.m_Child[s], m_Fds[s]);
  if (rc == 0) rc = pipe2(report, O_CLOEXEC);
  if (rc != 0) {
    const int err = errno;
    for (int& fd : plan.m_Child) CloseFd(fd);
    for (int& fd : report) CloseFd(fd);
    CloseAll();
    m_eFailStep = kZEPSpawnPipe;
    errno = err;
    return -1;
  }
  plan.m_nReport = report[1];
  // Until the child has default actions, a signal to the parent's group
  // would run the parent's handler in it: blocked across the fork.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = fork();
  if (pid == 0) RunChild(plan);
  const int forkErr = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  for (int& fd : plan.m_Child) CloseFd(fd);
  CloseFd(report[1]);
  if (pid < 0) {
    CloseFd(report[0]);
    CloseAll();
    m_eFailStep = kZEPSpawnFork;
    errno = forkErr;
    return -1;
  }
  m_nPid = pid;
  m_bGroup = child.m_bNewGroup;
  // Both sides set the group, so a kill of it can never miss the child.
  if (m_bGroup) setpgid(pid, pid);
  return FinishStart(report[0]);
}

int ZEPProcess::FinishStart(int report) {
  ChildReport_tag msg{};
  ssize_t n;
  while ((n = read(report, &msg, sizeof msg)) < 0 && errno == EINTR) {
  }
  close(report);
  if (n != static_cast<ssize_t>(sizeof msg)) {
    m_nPidFd = OpenPidFd(m_nPid);
    return 0;
  }
  // It never ran the program: it ends at once, and is reaped here.
  int st = 0;
  while (waitpid(m_nPid, &st, 0) < 0 && errno == EINTR) {
  }
  CloseAll();
  m_nPid = -1;
  m_bGroup = false;
  m_eFailStep = static_cast<ZEPSpawnStep>(msg.m_nStep);
  errno = msg.m_nErrno;
  return -1;
}

int ZEPProcess::HasEnded() {
  if (m_bReaped) return 1;
  if (m_nPid <= 0 || m_bLost) {
    errno = ECHILD;
    return -1;
  }
  siginfo_t info{};
  // WNOWAIT: the child stays a zombie, and its ids stay ours.
  if (waitid(P_PID, static_cast<id_t>(m_nPid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno == ECHILD) m_bLost = true;
    return -1;
  }
  return info.si_pid == m_nPid ? 1 : 0;
}

int ZEPProcess::WaitUntil(int64_t deadlineMs) {
  for (;;) {
    const int ended = HasEnded();
    if (ended != 0) return ended > 0 ? 0 : -1;
    const int64_t left = deadlineMs - ZEPMonoMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (m_nPidFd >= 0) {
      pollfd p{m_nPidFd, POLLIN, 0};
      (void)poll(&p, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
    } else {
      (void)poll(nullptr, 0,
                 static_cast<int>(left < ZEP_PROCESS_LOOK_MS ? left : ZEP_PROCESS_LOOK_MS));
    }
  }
}

int ZEPProcess::Signal(int sig) {
  if (m_nPid <= 0 || m_bReaped || m_bLost) {
    errno = ESRCH;
    return -1;
  }
  return kill(m_bGroup ? -m_nPid : m_nPid, sig);
}

int ZEPProcess::Reap(bool killGroup) {
  const int ended = HasEnded();
  if (ended < 0) return -1;
  if (m_bReaped) return 0;
  if (ended == 0) {
    errno = EAGAIN;
    return -1;
  }
  // Its zombie still holds the group's id: what it left there is ours.
  if (killGroup && m_bGroup) kill(-m_nPid, SIGKILL);
  int st = 0;
  pid_t r;
  while ((r = waitpid(m_nPid, &st, 0)) < 0 && errno == EINTR) {
  }
  CloseFd(m_nPidFd);  // readable for good now: of no more use
  if (r != m_nPid) {
    m_bLost = true;
    errno = ECHILD;
    return -1;
  }
  m_nStatus = st;
  m_bReaped = true;
  return 0;
}

int ZEPProcess::Terminate(int64_t graceMs) {
  if (m_bReaped) return 0;
  if (HasEnded() < 0) return -1;
  if (graceMs > 0 && Signal(SIGTERM) == 0 && WaitUntil(ZEPMonoMs() + graceMs) != 0 &&
      errno == ECHILD)
    return -1;
  // A group of zombies alone may refuse the signal: it needs none.
  (void)Signal(SIGKILL);
  // SIGKILL cannot be caught: the end comes; waited for without reaping,
  // so that Reap can still reach what the child left in its group.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(m_nPid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) {
      if (errno == ECHILD) m_bLost = true;
      return -1;
    }
  }
  return Reap(true);
}

int ZEPProcess::GetExitCode() const {
  return m_bReaped && WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1;
}

int ZEPProcess::GetSignal() const {
  return m_bReaped && WIFSIGNALED(m_nStatus) ? WTERMSIG(m_nStatus) : 0;
}
