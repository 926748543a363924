#include "app/ops/hook.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/proto/protocol.h"
#include "base/lockguard.h"
#include "base/zepprocess.h"
#include "base/zeptext.h"
#include "log/zeplog.h"
#include "log/zeplogsafe.h"

extern char** environ;

namespace {

// How a run is named in the log.
std::string RunName(const std::string& event, int account) {
  return "Hook " + event + " (account " + std::to_string(account) + ")";
}

const int kLineMax = 1024;  // a longer output line is logged in pieces

// Why a run did not start, in the words the log has always used: a child
// that could not set up its group or streams used to exit 126 before the
// program, and was told as that exit.
void SpawnFailed(const std::string& name, const std::string& command, ZEPSpawnStep step, int err) {
  switch (step) {
    case kZEPSpawnPipe:
      ZEP_LOG_LINE(LOG_WARN, name.c_str() << ": no pipe: " << std::strerror(err));
      break;
    case kZEPSpawnSetup:
      ZEP_LOG_LINE(LOG_WARN, name.c_str() << " exited with status 126.");
      break;
    case kZEPSpawnExec:
      ZEP_LOG_LINE(LOG_WARN, name.c_str()
                                 << ": cannot run " << ZEPLogSafeText(ZEPString(command.c_str()))
                                 << ": " << std::strerror(err));
      break;
    default:  // no process (or no program, which the section's checks rule out)
      ZEP_LOG_LINE(LOG_WARN, name.c_str() << ": cannot start a process: " << std::strerror(err));
      break;
  }
}

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

// --- The hook --------------------------------------------------------------

struct CDYRHook::Run_tag {
  ZEPProcess m_Process;  // its group is the one a kill reaches
  int m_nAccount = 0;
  std::string m_strName;  // for the log
  int m_nTimeoutSec = 0;
  int64_t m_nDeadlineMs = 0;
  bool m_bTimedOut = false;
  int m_nLines = 0;
  std::string m_strPartial;  // output after the last line end

  Run_tag() = default;
  Run_tag(Run_tag&&) = default;
  Run_tag& operator=(Run_tag&&) = default;
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
  m_Runner.Post();
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
  // Events queued before the start were posted already: the first turn takes them.
  if (m_Runner.Start([this](ZEPServiceTurn& turn) { Turn(turn); }) != 0) {
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
  m_Runner.Stop();
  // The runner has left, its runs are ours: every one is killed, none is
  // waited for. One that is gone already is reaped here; the rest end with
  // the daemon.
  for (Run_tag& run : m_Runs) {
    (void)run.m_Process.Signal(SIGKILL);
    ZEP_LOG_LINE(LOG_INFO, "Stop: " << run.m_strName.c_str() << " killed with its process group.");
    (void)run.m_Process.Reap(false);
    Finish(run);
  }
  m_Runs.clear();
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
  m_Runner.Post();
}

size_t CDYRHook::GetRunning() {
  ZEPLockGuard lock(m_Lock);
  return m_Queue.Running();
}

size_t CDYRHook::GetWaiting() {
  ZEPLockGuard lock(m_Lock);
  return m_Queue.Waiting();
}

// --- The runner ------------------------------------------------------------

void CDYRHook::Turn(ZEPServiceTurn& turn) {
  StartWaiting();
  const int64_t now = ZEPMonoMs();
  bool ended = false;
  for (size_t i = 0; i < m_Runs.size();) {
    Run_tag& run = m_Runs[i];
    ReadOutput(run, false);
    CheckTimeOut(run, now);
    if (Reap(run)) {
      m_Runs.erase(m_Runs.begin() + static_cast<std::ptrdiff_t>(i));
      ended = true;
    } else {
      ++i;
    }
  }
  // An event of its account, or one held back by the limit, may go now.
  if (ended) m_Runner.Post();
  WatchRuns(turn);
}

void CDYRHook::StartWaiting() {
  std::vector<DYRHookEvent_tag> starts;
  std::string command;
  int timeout = 0;
  {
    ZEPLockGuard lock(m_Lock);
    if (m_bStop) return;
    command = m_strCommand;
    timeout = m_nTimeoutSec;
    DYRHookEvent_tag ev;
    while (m_Queue.TakeNext(ev)) starts.push_back(ev);
  }
  for (const DYRHookEvent_tag& ev : starts) {
    if (command.empty() || !Spawn(ev, command, timeout)) {
      ZEPLockGuard lock(m_Lock);
      m_Queue.Done(ev.m_nAccount);
    }
  }
}

bool CDYRHook::Spawn(const DYRHookEvent_tag& ev, const std::string& command, int timeoutSec) {
  Run_tag run;
  run.m_strName = RunName(ev.m_strEvent, ev.m_nAccount);
  ZEPSpawn_tag child;
  child.m_Argv.push_back(command);
  child.m_Env = DyrHookEnv(ev, m_Inherited);
  child.m_eStdin = kZEPStdNull;
  child.m_eStdout = kZEPStdPipe;
  child.m_eStderr = kZEPStdAsStdout;
  if (run.m_Process.Spawn(child) != 0) {
    SpawnFailed(run.m_strName, command, run.m_Process.GetFailStep(), errno);
    return false;
  }
  run.m_nAccount = ev.m_nAccount;
  run.m_nTimeoutSec = timeoutSec;
  run.m_nDeadlineMs = ZEPMonoMs() + static_cast<int64_t>(timeoutSec) * 1000;
  m_Runs.push_back(std::move(run));
  return true;
}

void CDYRHook::LogLine(Run_tag& run, const std::string& line) {
  ++run.m_nLines;
  if (run.m_nLines > kHookMaxLines) {
    if (run.m_nLines == kHookMaxLines + 1)
      ZEP_LOG_LINE(LOG_INFO, run.m_strName.c_str() << ": more output, not logged.");
    return;
  }
  ZEP_LOG_LINE(LOG_INFO, run.m_strName.c_str() << ": " << DyrHookEscaped(line).c_str());
}

void CDYRHook::ReadOutput(Run_tag& run, bool final) {
  char buf[4096];
  int fd;
  while ((fd = run.m_Process.Fd(1)) >= 0) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {  // the end, or an error that ends it
      close(run.m_Process.TakeFd(1));
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

void CDYRHook::CheckTimeOut(Run_tag& run, int64_t nowMs) {
  if (run.m_bTimedOut || nowMs < run.m_nDeadlineMs) return;
  (void)run.m_Process.Signal(SIGKILL);
  run.m_bTimedOut = true;
  ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " ran past its time-out of " << run.m_nTimeoutSec
                                               << " s: killed with its process group.");
}

bool CDYRHook::Reap(Run_tag& run) {
  // Reaped with what it left running in its group: until then its zombie
  // keeps the group's id ours.
  if (run.m_Process.Reap(true) != 0) {
    if (errno != ECHILD) return false;
    // Reaped behind our back (a waitpid(-1) elsewhere): its group may be
    // anyone's now, so it is not killed, and the run must end here.
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " was reaped by someone else.");
    ReadOutput(run, true);
    Finish(run);
    return true;
  }
  ReadOutput(run, true);
  const int code = run.m_Process.GetExitCode();
  const int sig = run.m_Process.GetSignal();
  if (run.m_bTimedOut) {
    // Said when it was killed.
  } else if (code > 0) {
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " exited with status " << code << ".");
  } else if (sig != 0) {
    ZEP_LOG_LINE(LOG_WARN, run.m_strName.c_str() << " ended by signal " << sig << ".");
  }
  Finish(run);
  return true;
}

void CDYRHook::Finish(Run_tag& run) {
  const int out = run.m_Process.TakeFd(1);
  if (out >= 0) close(out);
  ZEPLockGuard lock(m_Lock);
  m_Queue.Done(run.m_nAccount);
}

void CDYRHook::WatchRuns(ZEPServiceTurn& turn) const {
  const int64_t now = ZEPMonoMs();
  for (const Run_tag& run : m_Runs) {
    turn.Watch(run.m_Process.Fd(1), POLLIN);
    turn.Watch(run.m_Process.GetPidFd(), POLLIN);
    if (!run.m_bTimedOut) turn.WakeAt(run.m_nDeadlineMs);
    // Without a pidfd its end is only seen by looking.
    if (run.m_Process.GetPidFd() < 0) turn.WakeAt(now + ZEP_PROCESS_LOOK_MS);
  }
}
