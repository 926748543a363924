#include "app/ops/hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/proto/protocol.h"
#include "base/lockguard.h"
#include "base/zeptext.h"
#include "log/zeplog.h"
#include "log/zeplogsafe.h"

extern char** environ;

namespace {

// What the environment may carry of a text: no zero byte (it would end it).
std::string EnvSafe(const std::string& text) { return std::string(text.c_str()); }

std::string Escaped(const std::string& text) {
  return ZEPStdString(ZEPLogSafeText(text.data(), text.size()));
}

// How a run is named in the log.
std::string RunName(const std::string& event, int account) {
  return "Hook " + event + " (account " + std::to_string(account) + ")";
}

// Opens a descriptor that tells when `pid` ends, -1 where there is none.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);  // pidfds are close-on-exec already
  return fd;
#else
  (void)pid;
  return -1;
#endif
}

// In the child, between fork and exec: async-signal-safe calls only.
void CloseAbove2Except(int keep, int maxFd) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0 &&
      syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
    return;
#endif
  for (int fd = 3; fd < maxFd; ++fd) {
    if (fd != keep) close(fd);
  }
}

const int kLineMax = 1024;       // a longer output line is logged in pieces
const int64_t kNoPidFdMs = 100;  // how often a run without pidfd is looked at

}  // namespace

bool DyrHookEventOf(const DYRNews_tag& news, DYRHookEvent_tag& ev) {
  ev = DYRHookEvent_tag();
  switch (news.m_nKind) {
    case DYRNews_tag::kLogin:
      ev.m_strEvent = "login";
      break;
    case DYRNews_tag::kRefused:
      ev.m_strEvent = "refused";
      break;
    case DYRNews_tag::kRelogin:
      ev.m_strEvent = "relogin";
      ev.m_strReason = news.m_pReason != nullptr ? news.m_pReason : "";
      break;
    default:
      return false;
  }
  ev.m_nAccount = news.m_nAccount;
  ev.m_strUser = ZEPStdString(news.m_strUser);
  ev.m_strHost = ZEPStdString(news.m_strHost);
  ev.m_strEgress = ZEPStdString(news.m_Status.m_strEgress);
  ev.m_strClientID = ZEPStdString(news.m_Status.m_strClientID);
  ev.m_strMessage = ZEPStdString(news.m_strMessage);
  return true;
}

std::vector<std::string> DyrHookEnv(const DYRHookEvent_tag& ev,
                                    const std::vector<std::string>& inherited) {
  std::vector<std::string> env;
  for (const std::string& var : inherited) {
    // Ours are set below; a DYR_ variable of the daemon's must not pass for one.
    if (var.compare(0, 4, "DYR_") != 0) env.push_back(var);
  }
  env.push_back("DYR_EVENT=" + ev.m_strEvent);
  env.push_back("DYR_ACCOUNT=" + std::to_string(ev.m_nAccount));
  env.push_back("DYR_USER=" + EnvSafe(ev.m_strUser));
  env.push_back("DYR_HOST=" + EnvSafe(ev.m_strHost));
  env.push_back("DYR_EGRESS=" + Escaped(ev.m_strEgress));
  env.push_back("DYR_CLIENTID=" + Escaped(ev.m_strClientID));
  env.push_back("DYR_MESSAGE=" + Escaped(ev.m_strMessage));
  if (ev.m_strEvent == "relogin") env.push_back("DYR_REASON=" + ev.m_strReason);
  return env;
}

// --- The queue rule --------------------------------------------------------

CDYRHookQueue::CDYRHookQueue(size_t depth, size_t maxRunning)
    : m_nDepth(depth > 0 ? depth : 1), m_nMaxRunning(maxRunning > 0 ? maxRunning : 1) {}

bool CDYRHookQueue::Push(const DYRHookEvent_tag& ev, DYRHookEvent_tag& dropped) {
  Lane_tag* lane = nullptr;
  for (Lane_tag& l : m_Lanes) {
    if (l.m_nAccount == ev.m_nAccount) lane = &l;
  }
  if (lane == nullptr) {
    m_Lanes.emplace_back();
    lane = &m_Lanes.back();
    lane->m_nAccount = ev.m_nAccount;
  }
  bool full = lane->m_Waiting.size() >= m_nDepth;
  if (full) {
    dropped = lane->m_Waiting.front();
    lane->m_Waiting.pop_front();
  }
  lane->m_Waiting.push_back(ev);
  return full;
}

bool CDYRHookQueue::TakeNext(DYRHookEvent_tag& ev) {
  if (m_nRunning >= m_nMaxRunning) return false;
  for (size_t k = 0; k < m_Lanes.size(); ++k) {
    const size_t i = (m_nNextLane + k) % m_Lanes.size();
    Lane_tag& lane = m_Lanes[i];
    if (lane.m_bRunning || lane.m_Waiting.empty()) continue;
    ev = lane.m_Waiting.front();
    lane.m_Waiting.pop_front();
    lane.m_bRunning = true;
    ++m_nRunning;
    m_nNextLane = i + 1;
    return true;
  }
  return false;
}

void CDYRHookQueue::Done(int account) {
  for (size_t i = 0; i < m_Lanes.size(); ++i) {
    Lane_tag& lane = m_Lanes[i];
    if (lane.m_nAccount != account || !lane.m_bRunning) continue;
    lane.m_bRunning = false;
    --m_nRunning;
    // An idle, empty lane is forgotten: accounts come and go with reloads.
    if (lane.m_Waiting.empty()) {
      m_Lanes.erase(m_Lanes.begin() + static_cast<std::ptrdiff_t>(i));
      if (m_nNextLane > i) --m_nNextLane;
    }
    return;
  }
}

size_t CDYRHookQueue::Clear() {
  size_t n = 0;
  for (size_t i = m_Lanes.size(); i-- > 0;) {
    n += m_Lanes[i].m_Waiting.size();
    m_Lanes[i].m_Waiting.clear();
    if (!m_Lanes[i].m_bRunning) m_Lanes.erase(m_Lanes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  m_nNextLane = 0;
  return n;
}

size_t CDYRHookQueue::Waiting() const {
  size_t n = 0;
  for (const Lane_tag& l : m_Lanes) n += l.m_Waiting.size();
  return n;
}

// --- The hook --------------------------------------------------------------

struct CDYRHook::Run_tag {
  pid_t m_nPid = -1;  // also the process group
  int m_nOutFd = -1;  // the read end of its output pipe, -1 once closed
  int m_nPidFd = -1;
  int m_nAccount = 0;
  std::string m_strName;  // for the log
  int m_nTimeoutSec = 0;
  int64_t m_nDeadlineMs = 0;
  bool m_bTimedOut = false;
  int m_nLines = 0;
  std::string m_strPartial;  // output after the last line end
};

CDYRHook::CDYRHook() {}

CDYRHook::~CDYRHook() { Stop(); }

void CDYRHook::SetCommand(const std::string& command, int timeoutSec) {
  size_t dropped = 0;
  {
    ZEPLockGuard lock(m_Lock);
    m_strCommand = command;
    m_nTimeoutSec = timeoutSec > 0 ? timeoutSec : kHookDefaultTimeoutSec;
    if (command.empty()) dropped = m_Queue.Clear();
  }
  if (dropped > 0)
    ZEP_LOG_LINE(LOG_INFO, "Hook: no command any more, " << static_cast<unsigned long>(dropped)
                                                         << " waiting event(s) dropped.");
  m_Wake.Notify();
}

const char* DyrHookChangeText(DYRHookChange change) {
  switch (change) {
    case DYRHookChange::kNone:
      return "none";
    case DYRHookChange::kKept:
      return "kept";
    case DYRHookChange::kStarted:
      return "started";
    case DYRHookChange::kChanged:
      return "changed";
    case DYRHookChange::kStopped:
      return "stopped";
  }
  return "none";
}

DYRHookChange CDYRHook::Configure(const char* iniPath) {
  std::string before;
  int beforeTimeout = 0;
  {
    ZEPLockGuard lock(m_Lock);
    before = m_strCommand;
    beforeTimeout = m_nTimeoutSec;
  }
  DYRHookConf_tag conf;
  if (ReadDyrHook(iniPath, conf) != 0)
    return before.empty() ? DYRHookChange::kNone : DYRHookChange::kKept;
  std::string command;
  int timeout = kHookDefaultTimeoutSec;
  std::vector<ZEPString> warnings;
  DyrHookSettings(conf, command, timeout, warnings);
  for (const ZEPString& warning : warnings) ZEP_LOG_LINE(LOG_WARN, warning);
  DYRHookChange change = DYRHookChange::kKept;
  if (command.empty()) {
    change = before.empty() ? DYRHookChange::kNone : DYRHookChange::kStopped;
  } else if (before.empty()) {
    change = DYRHookChange::kStarted;
  } else if (command != before || timeout != beforeTimeout) {
    change = DYRHookChange::kChanged;
  }
  if (!command.empty() && change != DYRHookChange::kKept)
    ZEP_LOG_LINE(LOG_INFO, "Hook: " << ZEPLogSafeText(ZEPString(command.c_str())) << ", time-out "
                                    << timeout << " s.");
  SetCommand(command, timeout);
  return change;
}

void CDYRHook::Start() {
  if (m_bStarted) return;
  m_bStarted = true;
  m_Inherited.clear();
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) m_Inherited.emplace_back(*e);
  {
    ZEPLockGuard lock(m_Lock);
    m_bStop = false;
  }
  DyrListen(this);
  if (m_Wake.Fd() < 0 || !m_Runner.Create(&CDYRHook::RunnerProc, this)) {
    ZEP_LOG_LINE(LOG_WARN, "Hook: no runner thread, the hook is not run.");
    DyrUnlisten(this);
  }
}

void CDYRHook::Stop() {
  if (!m_bStarted) return;
  m_bStarted = false;
  DyrUnlisten(this);
  {
    ZEPLockGuard lock(m_Lock);
    m_bStop = true;
  }
  m_Wake.Notify();
  // The runner only kills, and leaves at once.
  if (m_Runner.GetThreadHandle() != nullptr) m_Runner.Wait();
  ZEPLockGuard lock(m_Lock);
  m_Queue.Clear();
}

void CDYRHook::OnNews(const DYRNews_tag& news) {
  DYRHookEvent_tag ev;
  if (DyrHookEventOf(news, ev)) Post(ev);
}

void CDYRHook::Post(const DYRHookEvent_tag& ev) {
  DYRHookEvent_tag dropped;
  bool full = false;
  {
    ZEPLockGuard lock(m_Lock);
    if (m_strCommand.empty() || m_bStop) return;
    full = m_Queue.Push(ev, dropped);
  }
  if (full)
    ZEP_LOG_LINE(LOG_WARN, "Hook queue of account "
                               << ev.m_nAccount << " is full: its oldest event ("
                               << dropped.m_strEvent.c_str() << ") is dropped.");
  m_Wake.Notify();
}

size_t CDYRHook::GetRunning() {
  ZEPLockGuard lock(m_Lock);
  return m_Queue.Running();
}

size_t CDYRHook::GetWaiting() {
  ZEPLockGuard lock(m_Lock);
  return m_Queue.Waiting();
}

void* CDYRHook::RunnerProc(void* self) {
  static_cast<CDYRHook*>(self)->RunnerLoop();
  return nullptr;
}

void DyrHookChildSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  // The C library's own signals refuse, and SIGKILL and SIGSTOP cannot be
  // caught: those calls fail and change nothing.
  for (int sig = 1; sig < NSIG; ++sig) (void)sigaction(sig, &dfl, nullptr);
}

bool CDYRHook::Spawn(const DYRHookEvent_tag& ev, const std::string& command, int timeoutSec,
                     std::vector<Run_tag>& runs) {
  const std::string name = RunName(ev.m_strEvent, ev.m_nAccount);
  // Everything the child needs is made before fork: after it, only
  // async-signal-safe calls.
  const std::vector<std::string> env = DyrHookEnv(ev, m_Inherited);
  std::vector<char*> envp;
  for (const std::string& var : env) envp.push_back(const_cast<char*>(var.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(command.c_str()), nullptr};
  rlimit lim{};
  const int maxFd =
      getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < 1048576
          ? static_cast<int>(lim.rlim_cur)
          : 65536;
  int out[2] = {-1, -1};
  int report[2] = {-1, -1};  // exec's failure, as errno; closed by a successful exec
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    const int err = errno;
    for (int fd : {out[0], out[1], report[0], report[1]})
      if (fd >= 0) close(fd);
    ZEP_LOG_LINE(LOG_WARN, name.c_str() << ": no pipe: " << std::strerror(err));
    return false;
  }
  // Until the child is in a group of its own with default actions, a signal
  // to the daemon's group would run the daemon's handler in it: blocked
  // across the fork, and in the child until it executes the program.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    // Also what the daemon ignores (SIGPIPE, SIGXFSZ): the program must not.
    DyrHookChildSignals();
    // Moved above 2 first: a daemon started with 0, 1 or 2 closed may have
    // been given them for these pipes.
    const int outFd = fcntl(out[1], F_DUPFD, 3);
    const int reportFd = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_RDONLY);
    if (outFd < 0 || reportFd < 0 || null < 0 || dup2(null, 0) < 0 || dup2(outFd, 1) < 0 ||
        dup2(outFd, 2) < 0)
      _exit(126);
    CloseAbove2Except(reportFd, maxFd);
    // The program starts with nothing blocked, whatever our thread blocks.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(command.c_str(), argv, envp.data());
    const int err = errno;
    ssize_t w = write(reportFd, &err, sizeof err);
    (void)w;
    _exit(127);
  }
  const int forkErr = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(out[1]);
  close(report[1]);
  if (pid < 0) {
    close(out[0]);
    close(report[0]);
    ZEP_LOG_LINE(LOG_WARN, name.c_str() << ": cannot start a process: " << std::strerror(forkErr));
    return false;
  }
  // Both sides set the group, so a kill of it can never miss the child.
  setpgid(pid, pid);
  int execErr = 0;
  ssize_t n;
  while ((n = read(report[0], &execErr, sizeof execErr)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof execErr)) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    close(out[0]);
    ZEP_LOG_LINE(LOG_WARN, name.c_str()
                               << ": cannot run " << ZEPLogSafeText(ZEPString(command.c_str()))
                               << ": " << std::strerror(execErr));
    return false;
  }
  fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
  Run_tag run;
  run.m_nPid = pid;
  run.m_nOutFd = out[0];
  run.m_nPidFd = OpenPidFd(pid);
  run.m_nAccount = ev.m_nAccount;
  run.m_strName = name;
  run.m_nTimeoutSec = timeoutSec;
  run.m_nDeadlineMs = ZEPMonoMs() + static_cast<int64_t>(timeoutSec) * 1000;
  runs.push_back(run);
  return true;
}

void CDYRHook::LogLine(Run_tag& run, const std::string& line) {
  ++run.m_nLines;
  if (run.m_nLines > kHookMaxLines) {
    if (run.m_nLines == kHookMaxLines + 1)
      ZEP_LOG_LINE(LOG_INFO, run.m_strName.c_str() << ": more output, not logged.");
    return;
  }
  ZEP_LOG_LINE(LOG_INFO, run.m_strName.c_str() << ": " << Escaped(line).c_str());
}

void CDYRHook::ReadOutput(Run_tag& run, bool final) {
  char buf[4096];
  while (run.m_nOutFd >= 0) {
    const ssize_t n = read(run.m_nOutFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {  // the end, or an error that ends it
      close(run.m_nOutFd);
      run.m_nOutFd = -1;
      break;
    }
    run.m_strPartial.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
      const size_t eol = run.m_strPartial.find('\n', start);
      const size_t left = run.m_strPartial.size() - start;
      if (eol == std::string::npos && left < static_cast<size_t>(kLineMax)) break;
      size_t len = eol == std::string::npos ? static_cast<size_t>(kLineMax) : eol - start;
      if (len > static_cast<size_t>(kLineMax)) len = kLineMax;
      std::string line = run.m_strPartial.substr(start, len);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      LogLine(run, line);
      start += len + (start + len == eol ? 1 : 0);
    }
    run.m_strPartial.erase(0, start);
  }
  if (final && !run.m_strPartial.empty()) {
    LogLine(run, run.m_strPartial);
    run.m_strPartial.clear();
  }
}

bool CDYRHook::Reap(Run_tag& run) {
  siginfo_t info{};
  // WNOWAIT: the child stays a zombie, so its process id, and with it its
  // group's, cannot have been given to anyone else when the group is killed.
  if (waitid(P_PID, static_cast<id_t>(run.m_nPid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != ECHILD) return false;
    // Reaped behind our back (a waitpid(-1) elsewhere): its group may be
    // anyone's now, so it is not killed, and its pidfd stays readable, so
    // the run must end here.
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " was reaped by someone else.");
    ReadOutput(run, true);
    Finish(run);
    return true;
  }
  if (info.si_pid != run.m_nPid) return false;
  kill(-run.m_nPid, SIGKILL);  // what it left running in its group
  int st = 0;
  while (waitpid(run.m_nPid, &st, 0) < 0 && errno == EINTR) {
  }
  ReadOutput(run, true);
  if (run.m_bTimedOut) {
    // Said when it was killed.
  } else if (WIFEXITED(st) && WEXITSTATUS(st) != 0) {
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str()
                               << " exited with status " << WEXITSTATUS(st) << ".");
  } else if (WIFSIGNALED(st)) {
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " ended by signal " << WTERMSIG(st) << ".");
  }
  Finish(run);
  return true;
}

void CDYRHook::Finish(Run_tag& run) {
  if (run.m_nOutFd >= 0) close(run.m_nOutFd);
  if (run.m_nPidFd >= 0) close(run.m_nPidFd);
  run.m_nOutFd = run.m_nPidFd = -1;
  ZEPLockGuard lock(m_Lock);
  m_Queue.Done(run.m_nAccount);
}

void CDYRHook::RunnerLoop() {
  std::vector<Run_tag> runs;
  for (;;) {
    std::vector<DYRHookEvent_tag> starts;
    std::string command;
    int timeout = 0;
    {
      ZEPLockGuard lock(m_Lock);
      if (m_bStop) break;
      command = m_strCommand;
      timeout = m_nTimeoutSec;
      DYRHookEvent_tag ev;
      while (m_Queue.TakeNext(ev)) starts.push_back(ev);
    }
    for (const DYRHookEvent_tag& ev : starts) {
      if (command.empty() || !Spawn(ev, command, timeout, runs)) {
        ZEPLockGuard lock(m_Lock);
        m_Queue.Done(ev.m_nAccount);
      }
    }

    std::vector<pollfd> fds;
    fds.push_back(pollfd{m_Wake.Fd(), POLLIN, 0});
    int64_t waitMs = -1;
    const int64_t now = ZEPMonoMs();
    for (const Run_tag& run : runs) {
      if (run.m_nOutFd >= 0) fds.push_back(pollfd{run.m_nOutFd, POLLIN, 0});
      if (run.m_nPidFd >= 0) fds.push_back(pollfd{run.m_nPidFd, POLLIN, 0});
      int64_t left = run.m_bTimedOut ? -1 : run.m_nDeadlineMs - now;
      if (run.m_nPidFd < 0) left = left < 0 || left > kNoPidFdMs ? kNoPidFdMs : left;
      if (left >= 0 && (waitMs < 0 || left < waitMs)) waitMs = left;
    }
    const int rc = poll(fds.data(), fds.size(), waitMs < 0 ? -1 : static_cast<int>(waitMs));
    if (rc < 0 && errno != EINTR) ZEPSleep(10);  // never a busy loop
    if ((fds[0].revents & POLLIN) != 0) m_Wake.Drain();

    const int64_t after = ZEPMonoMs();
    for (size_t i = 0; i < runs.size();) {
      Run_tag& run = runs[i];
      ReadOutput(run, false);
      if (!run.m_bTimedOut && after >= run.m_nDeadlineMs) {
        kill(-run.m_nPid, SIGKILL);
        run.m_bTimedOut = true;
        ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str()
                                   << " ran past its time-out of " << run.m_nTimeoutSec
                                   << " s: killed with its process group.");
      }
      if (Reap(run)) {
        runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  // The stop: every run is killed, none is waited for. One that is gone
  // already is reaped here; the rest end with the daemon.
  for (Run_tag& run : runs) {
    kill(-run.m_nPid, SIGKILL);
    ZEP_LOG_LINE(LOG_INFO, "Stop: " << run.m_strName.c_str() << " killed with its process group.");
    int st = 0;
    waitpid(run.m_nPid, &st, WNOHANG);
    Finish(run);
  }
}
