// hook.h — the event hook: the program of the [HOOK] section, run beside
// the daemon when an account logs in ("login"), is refused ("refused") or
// is about to log in again ("relogin"), so that a monitor can be told.
//
// A run: the program itself (an absolute path, no shell, no arguments) in
// a process group of its own, standard input /dev/null, standard output
// and error into a pipe whose lines go to the log at INFO, escaped (at most
// kHookMaxLines a run), and an environment of the daemon's own variables
// (any DYR_ ones left out) and the event's (DyrHookEnv). It inherits no
// descriptor of the daemon: the child closes every descriptor above 2
// before it executes the program. Every signal is blocked from before the
// fork until the child has a process group of its own and every catchable
// signal back at its default action, and is unblocked in the child right
// before it executes the program: a signal to the daemon's group never runs
// a handler of the daemon (the wake-up write, STOPPING=1) in a child. A run that outlives its
// time-out is killed with its process group (SIGKILL), and so is whatever the program leaves
// running in its group when it ends; a non-zero exit, a death by a signal or a program that cannot
// be executed give a WARN line.
//
// Nothing waits for a run: the news only queues the event. At most one run
// per account goes at a time (and kHookMaxRunning in all); later events of
// an account wait in a queue of kHookQueueDepth, and one more drops the
// oldest waiting with a WARN line. Stop kills every run and does not wait
// for any to end.
//
// Reaping: a run is waited for by its own process id only (waitid and
// waitpid on that id, never on "any child"), and SIGCHLD keeps its
// disposition, so no other child or signal of the daemon is touched. A
// pidfd tells when a run ends (Linux); without one the runner looks every
// 100 ms while a run goes.
//
// Owns: the queue, the command and its time-out, the running children
// with their pipes, and the runner thread that starts, reads, times out
// and reaps them.
// Threads: OnNews (and Post) on any thread, copying and queueing only;
// Configure, SetCommand, Start and Stop on one controlling thread (the
// daemon's main thread); everything about processes on the runner thread.
// Locks: m_Lock, a leaf, around the queue and the command: OnNews takes it
// inside the listener-list lock of dyrnews.h; nothing is taken inside it
// and nothing is logged under it.
#ifndef ZEP_APP_OPS_HOOK_H
#define ZEP_APP_OPS_HOOK_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/account/news.h"
#include "app/config/hooksection.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"

// Events of one account that may wait behind its run.
static const size_t kHookQueueDepth = 4;
// Runs at a time, all accounts together (a server's restart may make every
// account log in again at once).
static const size_t kHookMaxRunning = 16;
// Output lines of one run that reach the log.
static const int kHookMaxLines = 100;

struct DYRHookEvent_tag {
  std::string m_strEvent;   // "login", "refused" or "relogin"
  std::string m_strReason;  // relogin: "server", "address", "console" or "signal"
  int m_nAccount = 0;       // the section's place in the file, from 1
  std::string m_strUser;
  std::string m_strHost;
  std::string m_strEgress;
  std::string m_strClientID;
  std::string m_strMessage;  // the server's text, as received
};

// What a Configure did to the command: none before or after, the same
// command and time-out kept, a first one started, another one (or another
// time-out) taken, or the one there was stopped.
enum class DYRHookChange { kNone, kKept, kStarted, kChanged, kStopped };
// Its word in a reload's log line: "none", "kept", "started", "changed" or
// "stopped".
const char* DyrHookChangeText(DYRHookChange change);

// The event a piece of news starts; false for news that starts none.
bool DyrHookEventOf(const DYRNews_tag& news, DYRHookEvent_tag& ev);

// The environment of a run: `inherited` ("NAME=VALUE") without its DYR_
// variables, then DYR_EVENT, DYR_ACCOUNT, DYR_USER, DYR_HOST, DYR_EGRESS,
// DYR_CLIENTID, DYR_MESSAGE and, for relogin, DYR_REASON. The server's texts
// (egress, client id, message) are escaped as in the log (ZEPLogSafeText); no
// value holds a zero byte.
std::vector<std::string> DyrHookEnv(const DYRHookEvent_tag& ev,
                                    const std::vector<std::string>& inherited);

// In a child forked with every signal blocked: every catchable signal back
// to its default action (a pending one whose default is to ignore is
// dropped). The mask is left as it is. Async-signal-safe.
void DyrHookChildSignals();

// The queue rule: per account, one run and up to `depth` waiting events.
// Not thread-safe (the hook holds its lock around it).
class CDYRHookQueue {
 public:
  explicit CDYRHookQueue(size_t depth = kHookQueueDepth, size_t maxRunning = kHookMaxRunning);
  // Queues `ev` behind its account's; when `depth` already wait, the oldest
  // is taken out into `dropped` and true is returned.
  bool Push(const DYRHookEvent_tag& ev, DYRHookEvent_tag& dropped);
  // The oldest event of an account with no run going, while fewer than
  // `maxRunning` go; its account then counts as running. Accounts take turns.
  bool TakeNext(DYRHookEvent_tag& ev);
  // The run of `account` has ended.
  void Done(int account);
  // Drops every waiting event; returns how many. Runs stay counted.
  size_t Clear();
  size_t Waiting() const;
  size_t Running() const { return m_nRunning; }

 private:
  struct Lane_tag {
    int m_nAccount = 0;
    bool m_bRunning = false;
    std::deque<DYRHookEvent_tag> m_Waiting;
  };
  size_t m_nDepth;
  size_t m_nMaxRunning;
  size_t m_nRunning = 0;
  size_t m_nNextLane = 0;  // where the next TakeNext starts looking
  std::vector<Lane_tag> m_Lanes;
};

class CDYRHook : public CDYRListener {
 public:
  CDYRHook();
  ~CDYRHook() override;
  CDYRHook(const CDYRHook&) = delete;
  CDYRHook& operator=(const CDYRHook&) = delete;

  // Reads the [HOOK] section of `iniPath` and takes it: one INFO line with
  // what runs, or one WARN line why nothing does. A file that cannot be read
  // keeps what was taken. Returns what became of the command.
  DYRHookChange Configure(const char* iniPath);
  // The same without a file: an empty command runs nothing (and drops the
  // waiting events). Runs going keep the command they started with.
  void SetCommand(const std::string& command, int timeoutSec);
  // Listens to the news and starts the runner.
  void Start();
  // Stops listening, kills every run with its process group and drops the
  // waiting events, without waiting for the runs to end. Idempotent.
  void Stop();

  void OnNews(const DYRNews_tag& news) override;
  // Queues one event, as OnNews does for the news that starts one.
  void Post(const DYRHookEvent_tag& ev);
  // Runs going and events waiting (for tests and the report).
  size_t GetRunning();
  size_t GetWaiting();

 private:
  struct Run_tag;
  static void* RunnerProc(void* self);
  void RunnerLoop();
  // Runner thread: starts `ev` with `command`; false when it could not.
  bool Spawn(const DYRHookEvent_tag& ev, const std::string& command, int timeoutSec,
             std::vector<Run_tag>& runs);
  void ReadOutput(Run_tag& run, bool final);
  void LogLine(Run_tag& run, const std::string& line);
  // Runner thread: reaps `run` when it has ended; true when it has.
  bool Reap(Run_tag& run);
  void Finish(Run_tag& run);

  std::vector<std::string> m_Inherited;  // the daemon's environment, from Start
  bool m_bStarted = false;               // controlling thread only

  Mutex m_Lock;
  CDYRHookQueue m_Queue GUARDED_BY(m_Lock);
  std::string m_strCommand GUARDED_BY(m_Lock);
  int m_nTimeoutSec GUARDED_BY(m_Lock) = kHookDefaultTimeoutSec;
  bool m_bStop GUARDED_BY(m_Lock) = false;
  ZEPWakeFd m_Wake;
  Thread m_Runner;
};

#endif  // ZEP_APP_OPS_HOOK_H
